// What a transfer will do, worked out before it does any of it: which blobs
// installed files still hold, which must be downloaded, and whether the
// instance's disk can take the update. The transfer plans through here, and
// an update check (which must write nothing) asks the same questions, so the
// figures it shows are the ones a real run acts on.
//
// Calling thread only. Reads installed files and the blob store; writes
// nothing. Not here: the downloads and the assembly (SyncTransfer.h).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "foundation/Result.h"
#include "protocol/SyncCheckedFiles.h"
#include "protocol/SyncLists.h"
#include "transfer/InPlaceFiles.h"
#include "transfer/LocalBlobs.h"
#include "transfer/ProgressMeter.h"
#include "transfer/SyncTransfer.h"

namespace vantis::content {

struct TransferPlan {
  FetchPlan fetch;              // the downloads
  std::uint64_t workBytes = 0;  // the files to assemble, together
};

// The sizes of the work list's files, together (a negative size counts 0).
std::uint64_t workBytes(const std::vector<FileRecord>& workList);

// Plans the downloads of the blobs neither in `local` (read from installed
// files instead) nor in the blob store, nor already in every file that
// `inPlace` assembles them into. A stored blob of no bytes counts as
// missing: a power cut can leave a blob's name without its bytes.
FetchPlan planDownloads(const TransferContext& context, const std::vector<FileRecord>& workList,
                        const BundleIndex& index, const std::map<std::string, LocalBlob>& local,
                        const InPlaceFiles* inPlace = nullptr);

// What `runTransfer` would download for `workList`, without a byte written:
// finds the blobs installed files hold (`findLocalBlobs`, reporting "Reusing
// local files", copying nothing into the store) and plans the rest. Fails
// only with "Cancelled." when the caller stopped the reading of installed
// copies. An empty work list plans nothing.
Result<TransferPlan> planTransfer(const TransferContext& context,
                                  const std::vector<FileRecord>& workList,
                                  const BundleIndex& index, const CheckedFiles& checked,
                                  ProgressMeter& meter);

// The disk space the update takes before anything of it is freed: every
// download (the blob store goes only after a complete run; a whole bundle
// counts whole, though only its wanted blobs are kept) plus every file
// assembled beside the copy it replaces (which goes only once all new files
// are in place). Files that get smaller are not counted in its favour: the
// run must not run out of space before it frees anything.
std::uint64_t diskSpaceNeeded(const FetchPlan& plan, const std::vector<FileRecord>& workList);

// Refuses an update the instance's disk cannot take: "Not enough free disk
// space for this update: <needed> needed, <free> free." (sizes in tenths:
// "6.1 MB", "1.2 GB"; the need rounded up, the free space down). The free space is asked for the
// content folder through `context.freeSpace`, else `freeDiskSpace`; space
// that cannot be measured refuses nothing (the writes still report a full
// disk).
Status checkDiskSpace(const TransferContext& context, std::uint64_t needed);

}  // namespace vantis::content
