// The documents of a release, as text: the file lists of both tiers, the
// bundle index, the retired list, the manifest and the signed pointer. Their
// formats are what players' synchronisers read; any change here must keep
// them readable by every installed client.
//
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Bundling.h"
#include "Content.h"
#include "JsonText.h"
#include "ServerState.h"

namespace vantis::publish {

// One line of a file list.
struct FileEntry {
  std::string path;
  std::uint64_t size = 0;
  std::string sha256;
  std::string target;       // "binary" or "instance"
  std::string platform;     // "linux" or empty (written only when set)
  bool alwaysHash = false;  // written only when true
  std::vector<std::string> chunks;
};

// The entries of one tier (`tier` indexes `content.sources`), in its order.
std::vector<FileEntry> tierEntries(const Content& content, const std::vector<std::size_t>& tier);

// Players compare an installed file by size alone unless its entry says
// "alwaysHash". So every entry whose path had other content of the same size
// in an earlier release, or in the other tier of this one (a player who
// switches tiers keeps the file), gets it: otherwise that player would keep
// the old content for good. Returns the number of entries marked.
std::size_t markAlwaysHash(const PathHistory& history, std::vector<FileEntry>& required,
                           std::vector<FileEntry>& optional);

// The paths that any earlier release listed and this one ships in neither
// tier, sorted. All earlier releases count, not only the last one: a player
// who skipped a release still holds what that release would have retired.
std::vector<std::string> retiredPaths(const PathHistory& history,
                                      const std::vector<FileEntry>& required,
                                      const std::vector<FileEntry>& optional);

// Line-delimited lists: one compact JSON object per line, each line ending in
// a line feed. False when a text is not UTF-8 (paths are checked earlier, so
// this is a guard).
bool fileListText(const std::vector<FileEntry>& entries, std::string& out);
bool bundleIndexText(const std::vector<Bundle>& bundles, std::string& out);
bool retiredListText(const std::vector<std::string>& paths, std::string& out);

// Where a release's documents lie, relative to the server folder.
std::string releaseFolder(const std::string& version);  // "manifest/<version>"
std::string manifestPath(const std::string& version);   // ".../manifest.json"

struct ManifestFields {
  std::string version;
  long long sequence = 0;
  std::string filesRequiredSha256, filesOptionalSha256, bundlesSha256, filesRetiredSha256;
  std::uint64_t requiredCount = 0, optionalCount = 0, bundleCount = 0, retiredCount = 0;
  std::uint64_t chunkSize = 0;  // every blob of a file but its last is this long
  std::string configRequired, configOptional;
  Json credits = Json::array();
  Json people = Json::array();
};

// The manifest text. Refuses, with a reason, a manifest that players could
// not read: larger than 8 MiB or nested deeper than 15 levels (the credits
// are the only part that can grow that far).
bool manifestText(const ManifestFields& fields, std::string& out, std::string& error);

// The pointer's payload: {"packVersion","sequence","manifest","manifestSha256"}.
std::string pointerPayload(const std::string& version, long long sequence,
                           const std::string& manifest, const std::string& manifestSha256);

// "/current.json": {"payload": Base64 of the payload, "signature": Base64 of
// the 64-byte r || s signature of exactly those payload bytes}.
std::string pointerDocument(const std::string& payload, const std::string& signature);

}  // namespace vantis::publish
