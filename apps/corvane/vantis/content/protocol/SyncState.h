// The installed-state record "content\cache\state.json": which release of
// each tier is installed, which tier the engine configuration was written
// for, the highest sequence number installed, and whether the next
// required-tier update owes a full check. Read by the front end, the
// pipeline and the overhaul removal; written by the pipeline after a
// complete update or a profile switch, and by the overhaul removal.
//
// Beside it, "content\cache\highest-sequence.txt" keeps the highest
// sequence number ever recorded, and is only ever rewritten upward: a state
// record that is deleted, damaged or rewritten (by the player, a tool or a
// restored backup) cannot lower the downgrade protection, so a server
// replaying an older signed pointer is refused either way.
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

// The highest sequence recorded in the instance: the larger of `record`'s
// "sequence" and the highest-sequence record's; -1 when neither holds one
// (a release of any sequence is then accepted).
long long highestRecordedSequence(const InstancePaths& paths, const JsonValue& record);

// Raises the highest-sequence record to `sequence` when that is higher than
// what it holds (or it holds nothing readable); never lowers it. False when
// it had to be written and could not be.
bool raiseHighestSequence(const InstancePaths& paths, long long sequence);

// Records `packVersion` and `sequence` for `tier` after an update or a
// profile switch, keeping the other tier's version from `previous`, and
// raises the highest-sequence record first. Fails with "Could not record the
// installed version."; the previous record then stays intact.
Status writeInstalledState(const InstancePaths& paths, Tier tier, const std::string& packVersion,
                           long long sequence, const JsonValue& previous);

// Records the removal of the optional tier: no version for either tier,
// `configTier` as the tier whose configuration is on disk, and the demand
// that the next required-tier sync check every file in full. Written through
// a temporary file and a rename like every other record, after the
// highest-sequence record is raised to `sequence`. Fails with "Could not
// record the change."; the previous record then stays intact.
Status writeClearedState(const InstancePaths& paths, long long sequence,
                         const std::string& configTier);

}  // namespace vantis::content
