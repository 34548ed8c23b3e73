// Tidying a server folder: the objects (blobs under "chunks/", bundles under
// "bundles/", list sections under "sections/") that none of the newest releases on the served chain names,
// and the folders under "manifest/" that the chain does not reach. Listed
// always, deleted only when asked.
//
// What always stays: every object a kept release names, the served one
// first, so that a player in the middle of updating to one never meets a
// missing object; and the documents of every release on the chain, however
// old, since each manifest names its predecessor by digest and the next
// publish walks that chain to learn what players may still hold (their
// objects go, their few small documents stay).
//
// Holds the folder's publish lock throughout: a publish running meanwhile
// could otherwise reuse an object about to be deleted, and name it in a
// release that players then cannot install. Calling thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vantis::publish {

struct PruneOptions {
  std::string serverDir;
  std::size_t keep = 0;  // releases of the chain kept, newest first; at least 1
  bool remove = false;   // delete what is unused, not only list it
};

// One thing no kept release uses.
struct UnusedEntry {
  std::string relative;  // "chunks/ab/cd/<hash>.gz" (.zst), or "manifest/<name>" for a folder
  std::uint64_t bytes = 0;
  bool folder = false;  // a release folder off the chain
};

struct PruneReport {
  std::vector<std::string> kept;  // the kept releases' versions, newest first
  std::size_t chainReleases = 0;  // releases on the chain in all
  // Folders, then bundles, then blobs, each in name order: the order in
  // which they are deleted.
  std::vector<UnusedEntry> unused;
  std::uint64_t unusedBytes = 0;
  std::size_t deleted = 0;            // entries deleted
  std::vector<std::string> failures;  // what could not be deleted, one phrase each
};

// Lists (and with `remove` deletes) what the newest `keep` releases on the
// chain the served pointer starts do not use. Refuses, deleting nothing,
// with a one-line `error`: a folder that serves no release, a chain whose
// kept releases' documents do not read (what they name would be unknown),
// or a publish holding the lock. True otherwise, also when some deletions
// failed (they are in `report.failures`).
bool pruneServerFolder(const PruneOptions& options, PruneReport& report, std::string& error);

}  // namespace vantis::publish
