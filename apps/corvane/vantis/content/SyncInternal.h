// Private to the sync unit: the pieces that its files (pipeline, release
// pointer, lists, transfer, state, tier configuration, credits, overhaul)
// share. Not part of the library's public interface, and free to change with
// it. Everything here runs on the calling thread of `sync` unless its
// comment says otherwise.
#pragma once

#include <string>

#include "Json.h"
#include "Sync.h"

namespace vantis::content {

// Instance-relative paths of the records in the cache folder.
inline constexpr const char* kCacheDir = "content\\cache";
inline constexpr const char* kStateFile = "state.json";

// What the sync reads from the previous installed-state record. An
// unreadable or unparsable record reads as nothing installed.
struct InstalledState {
  long long sequence = -1;      // -1: none recorded, never refuses a release
  std::string version;          // installed version of the tier being synced
  std::string configTier;       // tier the engine configuration was written for
  bool verifyDemanded = false;  // a full check is owed (required tier only)
};

// Reads "<root>/content/cache/state.json" into `document`; a missing or
// malformed record leaves `document` Null (which every rule reads as an
// empty record) and returns false.
bool readStateDocument(const std::string& root, JsonValue& document);

// The reading rules applied to a parsed previous record for `tier`.
InstalledState readInstalledState(const JsonValue& previous, Tier tier);

// Records `packVersion` and `sequence` for `tier` after an update or a
// profile switch. On failure sets `error` to "Could not record the installed
// version." and returns false; the previous record then stays intact.
bool writeInstalledState(const std::string& root, Tier tier, const std::string& packVersion,
                         long long sequence, const JsonValue& previous,
                         const std::string& cacheDir, const std::string& statePath,
                         std::string& error);

}  // namespace vantis::content
