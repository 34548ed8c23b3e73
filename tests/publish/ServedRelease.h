// Reads a release back out of a server folder the way a player's
// synchroniser would, with the synchroniser's own readers: the pointer check,
// the manifest digest, the list digests and readers, the bundle index. Then
// checks every stored object: each bundle's body against its id and each blob
// inside it at its offset and length, each chunk against its name, and each
// listed file reassembled from its chunks. Test code for the publisher.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "foundation/Json.h"
#include "protocol/SyncLists.h"
#include "protocol/SyncPointer.h"

namespace vantis::publish::test {

struct ServedRelease {
  vantis::content::ReleasePointer pointer;
  std::string pointerText;  // "current.json" as stored
  vantis::content::JsonValue manifest;
  std::vector<vantis::content::FileRecord> required;
  std::vector<vantis::content::FileRecord> optional;
  std::map<std::string, vantis::content::BundleRecord> bundles;
  std::vector<std::string> retired;
};

// Reads the release that `serverDir` serves. Returns the empty text when every
// document verified and read, else the first problem.
std::string readServedRelease(const std::string& serverDir, ServedRelease& out);

// Checks every bundle, chunk and file of a read release as described above;
// the empty text when all hold.
std::string checkServedContent(const std::string& serverDir, const ServedRelease& release);

// readServedRelease and checkServedContent in one.
std::string checkServedFolder(const std::string& serverDir);

// Decodes exactly one gzip member that ends the data; false on anything else
// (a second member, trailing bytes, a damaged stream).
bool gunzipSingleMember(const std::string& packed, std::string& out);

// The record of `path` in a tier, or null.
const vantis::content::FileRecord* findRecord(const std::vector<vantis::content::FileRecord>& tier,
                                              const std::string& path);

// "<dir>/chunks/ab/cd/<hash>.gz" and the bundle path likewise.
std::string chunkFile(const std::string& serverDir, const std::string& hash);
std::string bundleFile(const std::string& serverDir, const std::string& id);

}  // namespace vantis::publish::test
