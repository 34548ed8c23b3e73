// Planning a transfer without doing it. The blob store is only looked at
// here (never created), so that a plan costs the instance nothing.

#include "transfer/TransferPlan.h"

#include "foundation/DiskSpace.h"
#include "foundation/FileSystem.h"
#include "protocol/SyncCredits.h"
#include "protocol/SyncMessages.h"

namespace vantis::content {

std::uint64_t workBytes(const std::vector<FileRecord>& workList) {
  std::uint64_t total = 0;
  for (const FileRecord& record : workList) {
    if (record.size > 0) total += static_cast<std::uint64_t>(record.size);
  }
  return total;
}

FetchPlan planDownloads(const TransferContext& context, const std::vector<FileRecord>& workList,
                        const BundleIndex& index, const std::map<std::string, LocalBlob>& local) {
  // An empty stored blob is not there: taken for stored it would fail its
  // file's check and end the run. No release names an empty blob (an empty
  // file has none), so nothing is fetched for nothing.
  const BlobPresent present = [&context, &local](const std::string& hash) {
    if (local.count(hash) != 0) return true;
    std::uint64_t size = 0;
    return fileSize(blobPath(context.paths.blobStore, hash), size) && size != 0;
  };
  return planFetches(workList, index, present, context.cutting.maxSize);
}

Result<TransferPlan> planTransfer(const TransferContext& context,
                                  const std::vector<FileRecord>& workList,
                                  const BundleIndex& index, const CheckedFiles& checked,
                                  ProgressMeter& meter) {
  TransferPlan plan;
  if (workList.empty()) return plan;
  const Result<LocalBlobs> local =
      findLocalBlobs(workList, context, checked, meter, MovingBlobs::leave);
  if (!local) return local.failure();
  plan.fetch = planDownloads(context, workList, index, local->blobs);
  plan.workBytes = workBytes(workList);
  return plan;
}

std::uint64_t diskSpaceNeeded(const FetchPlan& plan, const std::vector<FileRecord>& workList) {
  return plan.downloadTotal + workBytes(workList);
}

Status checkDiskSpace(const TransferContext& context, std::uint64_t needed) {
  const std::string& where = context.paths.content;
  std::uint64_t free = 0;
  const bool measured =
      context.freeSpace ? context.freeSpace(where, free) : freeDiskSpace(where, free);
  if (!measured || needed <= free) return {};
  return Failure{messages::notEnoughDiskSpace(formatModSize(needed), formatModSize(free))};
}

}  // namespace vantis::content
