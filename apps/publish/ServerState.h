// What a server folder already holds: the release its pointer serves now,
// and every file version that any earlier release listed. The publisher
// needs both before it writes anything: the first to refuse an old sequence
// number or a foreign key, the second to decide which entries must always be
// hashed and which paths are retired.
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
  bool signedWithKey = false;  // its signature holds under the publishing key
};

// Reads "current.json" of `serverDir`. No pointer is not an error; a pointer
// that cannot be read or parsed is (the publisher would otherwise skip the
// sequence check). `publicPoint` is the 65-byte point of the publishing key.
bool readCurrentRelease(const std::string& serverDir, const std::string& publicPoint,
                        CurrentRelease& out, std::string& error);

// Every (size, sha256) that each path had in the file lists of the earlier
// releases in the folder, both tiers.
struct PathHistory {
  std::map<std::string, std::set<std::pair<std::uint64_t, std::string>>> versions;
};

// Reads "manifest/<version>/files-required.ndjson" and "files-optional.ndjson"
// of every release folder. A list that exists but does not read as lines of
// file entries fails the whole read.
bool readHistory(const std::string& serverDir, PathHistory& out, std::string& error);

}  // namespace vantis::publish
