// What a server folder already holds: the release its pointer serves now,
// and every file version that the releases before it shipped. The publisher
// needs both before it writes anything: the first to refuse an old sequence
// number or a foreign key, the second to decide which entries must always be
// hashed and which paths are retired.
//
// History is learned only from releases the served pointer vouches for: its
// manifest (by the digest the pointer names), each predecessor that a
// manifest names (by the digest named there), and each of those releases'
// lists (by the digests their manifest names). Other folders under
// "manifest/" are never read, so a list planted there cannot become a
// retirement. A chain that reaches a manifest written before manifests named
// their predecessor ends there; see `PathHistory::unknownBefore`.
//
// Read on the calling thread while the publish lock is held.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>

namespace vantis::publish {

struct CurrentRelease {
  bool exists = false;  // "current.json" is there
  std::string version;
  long long sequence = -1;
  std::string manifest;        // the manifest's path the pointer names
  std::string manifestSha256;  // and its digest
  std::string expires;         // empty when the pointer never expires
  bool signedWithKey = false;  // its signature holds under the publishing key
};

// Reads "current.json" of `serverDir`. No pointer is not an error; a pointer
// that cannot be read or parsed is (the publisher would otherwise skip the
// sequence check). `publicPoint` is the 65-byte point of the publishing key.
bool readCurrentRelease(const std::string& serverDir, const std::string& publicPoint,
                        CurrentRelease& out, std::string& error);

// What the releases on the served chain shipped, both tiers.
struct PathHistory {
  // Every (size, sha256) each path had.
  std::map<std::string, std::set<std::pair<std::uint64_t, std::string>>> versions;
  // Paths whose content before the chain's oldest release is not known,
  // because that release's manifest names no predecessor (it was published
  // before manifests did). Its own lists are verified, and its publisher
  // had marked "alwaysHash" from everything before it: an entry of that
  // release without the mark vouches that no other content of its size was
  // ever shipped at its path. Each path maps to those vouched sizes; a path
  // that release retired without naming versions maps to none.
  std::map<std::string, std::set<std::uint64_t>> unknownBefore;
  std::size_t releases = 0;  // releases on the chain
};

// Walks the chain from the served pointer `current` (nothing without one).
// A file on the chain that is missing, cannot be read, does not match the
// digest its successor names, or does not read as this program writes it
// fails the walk with a phrase naming the file; nothing off the chain is
// read. The caller has decided whether `current` is to be trusted (its
// signature, or --new-key).
bool readHistory(const std::string& serverDir, const CurrentRelease& current, PathHistory& out,
                 std::string& error);

}  // namespace vantis::publish
