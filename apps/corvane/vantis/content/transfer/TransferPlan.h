// What a transfer will do, worked out before it does any of it: which blobs
// the installed copies of changed files still hold, which must be
// downloaded, and whether the instance's disk can take the update. The
// transfer plans through here, and an update check (which must write
// nothing) asks the same questions, so the figures it shows are the ones a
// real run acts on.
//
// Calling thread only. Reads the installed copies and the blob store; writes
// nothing. Not here: the downloads and the assembly (SyncTransfer.h).
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/Result.h"
#include "protocol/SyncCheckedFiles.h"
#include "protocol/SyncLists.h"
#include "transfer/LocalBlobs.h"
#include "transfer/ProgressMeter.h"
#include "transfer/SyncTransfer.h"

namespace vantis::content {

struct TransferPlan {
  LocalBlobs local;             // blobs read from installed copies instead
  FetchPlan fetch;              // the downloads
  std::uint64_t workBytes = 0;  // the files to assemble, together
};

// Steps 1 and 2 of `runTransfer` short of downloading: finds the blobs the
// installed copies hold (`findLocalBlobs`, reporting "Reusing local files")
// and plans the downloads of the blobs neither there nor in the blob store
// (`planFetches`). Fails only with "Cancelled." when the caller stopped the
// reading of installed copies. An empty work list plans nothing.
Result<TransferPlan> planTransfer(const TransferContext& context,
                                  const std::vector<FileRecord>& workList,
                                  const BundleIndex& index, const CheckedFiles& checked,
                                  ProgressMeter& meter);

// The disk space the update takes before anything of it is freed: every
// download (the blob store goes only after a complete run; a whole bundle
// counts whole, though only its wanted blobs are kept) plus every file
// assembled beside the copy it replaces (which goes only once the new one
// is in place). Files that get smaller and blobs freed along the way are not
// counted in its favour: the run must not run out of space before it frees
// anything.
std::uint64_t diskSpaceNeeded(const TransferPlan& plan);

// The free bytes on the instance's disk (asked for the content folder,
// through `context.freeSpace`, else `freeDiskSpace`); false when unknown.
bool instanceFreeSpace(const TransferContext& context, std::uint64_t& bytes);

// Refuses an update the instance's disk cannot take: "Not enough free disk
// space for this update: <needed> needed, <free> free." (sizes as the
// credits show them: "300 MB", "1.2 GB"). Space that cannot be measured
// refuses nothing: the writes still report a full disk.
Status checkDiskSpace(const TransferContext& context, const TransferPlan& plan);

}  // namespace vantis::content
