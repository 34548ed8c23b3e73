// What an update from one release of a server folder to another costs a
// player, per tier: the files it installs, and the requests and bytes it
// downloads. Planned the way players' synchronisers plan: a file is fetched
// when the installed one (the older release's) differs by the rules players
// compare by; its blobs that the installed copy still holds at their place
// are read from there; the rest come in whole bundles or one by one by the
// players' own bundle rule (release/FetchRule.h); and the documents a run
// fetches are counted too. So a content team sees the patch before players
// download it.
//
// Not modelled: files a player reuses from other instances, a blob store
// left by an interrupted run, and files a player changed by hand (they are
// fetched too). Calling thread only; reads, never writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vantis::publish {

struct DiffOptions {
  std::string serverDir;
  std::string from;  // the installed release's version
  std::string to;    // the version updated to
};

// The update of one tier.
struct TierDiff {
  std::size_t files = 0;          // files installed
  std::size_t listed = 0;         // files the tier lists for this platform
  std::uint64_t fileBytes = 0;    // bytes of the files installed
  std::size_t documents = 0;      // requests for the pointer, manifest, lists and sections
  std::size_t bundles = 0;        // whole bundles fetched
  std::size_t blobs = 0;          // single blobs fetched
  std::uint64_t bytes = 0;        // downloaded, as decoded (documents included)
  std::uint64_t storedBytes = 0;  // the same requests' bodies as stored in the folder

  std::size_t requests() const { return documents + bundles + blobs; }
};

struct DiffReport {
  long long fromSequence = -1;
  long long toSequence = -1;
  std::size_t retired = 0;  // paths the newer release retires
  TierDiff required, optional;
};

// Reads both releases from "manifest/<version>/" (each list checked against
// its manifest's digest) and plans the update of each tier. Refuses with a
// one-line `error`: a release that is not there or does not read, an object
// a planned request needs that is not in the folder, or an update players
// would not make (`to` not of a higher sequence than `from`).
bool diffReleases(const DiffOptions& options, DiffReport& report, std::string& error);

}  // namespace vantis::publish
