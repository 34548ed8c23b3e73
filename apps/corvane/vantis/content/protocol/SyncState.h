// The installed-state record "content\cache\state.json": which release of
// each tier is installed, which tier the engine configuration was written
// for, the highest sequence number installed, and whether the next
// required-tier update owes a full check. Read by the front end, the
// pipeline and the overhaul removal; written by the pipeline after a
// complete update or a profile switch, and by the overhaul removal.
//
// Calling thread only. Not here: deciding what an installed release means
// for the update (the pipeline).
#pragma once

#include <string>

#include "foundation/Json.h"
#include "foundation/Result.h"
#include "protocol/InstancePaths.h"
#include "protocol/Tier.h"

namespace vantis::content {

// What the sync reads from the previous installed-state record. An
// unreadable or unparsable record reads as nothing installed.
struct InstalledState {
  long long sequence = -1;      // -1: none recorded, never refuses a release
  std::string version;          // installed version of the tier being synced
  std::string configTier;       // tier the engine configuration was written for
  bool verifyDemanded = false;  // a full check is owed (required tier only)
};

// The record parsed; Null (which every rule reads as an empty record) when
// it is missing or malformed.
JsonValue readStateDocument(const InstancePaths& paths);

// The reading rules applied to a parsed previous record for `tier`.
InstalledState readInstalledState(const JsonValue& previous, Tier tier);

// The version the record names for `tier`, or empty.
std::string installedVersionIn(const JsonValue& record, Tier tier);

// Records `packVersion` and `sequence` for `tier` after an update or a
// profile switch, keeping the other tier's version from `previous`. Fails
// with "Could not record the installed version."; the previous record then
// stays intact.
Status writeInstalledState(const InstancePaths& paths, Tier tier, const std::string& packVersion,
                           long long sequence, const JsonValue& previous);

// Records the removal of the optional tier: no version for either tier,
// `configTier` as the tier whose configuration is on disk, and the demand
// that the next required-tier sync check every file in full. Written through
// a temporary file and a rename like every other record. Fails with "Could
// not record the change."; the previous record then stays intact.
Status writeClearedState(const InstancePaths& paths, long long sequence,
                         const std::string& configTier);

}  // namespace vantis::content
