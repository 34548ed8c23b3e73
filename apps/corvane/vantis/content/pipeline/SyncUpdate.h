// The full update path of `sync`: taken for a new release, a full check, or
// when the installed programs no longer match their record. Private to the
// sync unit; calling thread only.
#pragma once

#include "foundation/Json.h"
#include "pipeline/SyncInternal.h"
#include "protocol/SyncPointer.h"

namespace vantis::content {

// Fetches the manifest and the tier's file list, installs what is missing or
// stale (reusing other instances' copies, then downloading) and completes the
// update. Leaves the outcome in `run.result`.
void runFullUpdate(SyncRun& run, const ReleasePointer& pointer);

// Fetches and checks the manifest the pointer names into run.manifest and
// run.manifestBytes; false with the message in run.result.error.
bool fetchReleaseManifest(SyncRun& run, const ReleasePointer& pointer);

// Writes the tier configuration from `run.manifest`, then the installed-state
// record. False, with the step's message in `run.result.error`, when either
// fails.
bool writeConfigurationAndState(SyncRun& run);

// The two halves of the above, for a caller with work between them. False,
// with the step's message in `run.result.error`, when the write fails.
bool writeTierConfiguration(SyncRun& run);
bool recordInstalledRelease(SyncRun& run);

}  // namespace vantis::content
