// Reads a release back out of a server folder the way a player's
// synchroniser would, with the synchroniser's own readers: the pointer check,
// the manifest digest, the list digests and readers, the bundle index, so
// that a format drift between the two programs fails here. Every stored
// object is checked by the publisher's own verify, which reads the folder
// the same way. Test code for the publisher.
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

// Checks every bundle, blob and file of the release the folder serves, signed
// with the development key (verifyServerFolder); the first problem as
// "<file>: <what>", or the empty text when all hold.
std::string checkServedContent(const std::string& serverDir);

// readServedRelease and checkServedContent in one.
std::string checkServedFolder(const std::string& serverDir);

// The record of `path` in a tier, or null.
const vantis::content::FileRecord* findRecord(const std::vector<vantis::content::FileRecord>& tier,
                                              const std::string& path);

// "<dir>/chunks/ab/cd/<hash>.gz" and the bundle path likewise.
std::string chunkFile(const std::string& serverDir, const std::string& hash);
std::string bundleFile(const std::string& serverDir, const std::string& id);

}  // namespace vantis::publish::test
