// Planning a transfer without doing it. The blob store is only looked at
// here (never created), so that a plan costs the instance nothing.

#include "transfer/TransferPlan.h"

#include "foundation/DiskSpace.h"
#include "foundation/FileSystem.h"
#include "protocol/SyncCredits.h"
#include "protocol/SyncMessages.h"

namespace vantis::content {

Result<TransferPlan> planTransfer(const TransferContext& context,
                                  const std::vector<FileRecord>& workList,
                                  const BundleIndex& index, const CheckedFiles& checked,
                                  ProgressMeter& meter) {
  TransferPlan plan;
  if (workList.empty()) return plan;
  Result<LocalBlobs> local = findLocalBlobs(workList, context, checked, meter);
  if (!local) return local.failure();
  plan.local = std::move(*local);
  const std::set<std::string>& covered = plan.local.covered;
  const BlobPresent present = [&context, &covered](const std::string& hash) {
    if (covered.count(hash) != 0) return true;
    std::uint64_t size = 0;
    return fileSize(blobPath(context.paths.blobStore, hash), size);
  };
  plan.fetch = planFetches(workList, index, present, context.chunkSize);
  for (const FileRecord& record : workList) {
    if (record.size > 0) plan.workBytes += static_cast<std::uint64_t>(record.size);
  }
  return plan;
}

std::uint64_t diskSpaceNeeded(const TransferPlan& plan) {
  return plan.fetch.downloadTotal + plan.workBytes;
}

bool instanceFreeSpace(const TransferContext& context, std::uint64_t& bytes) {
  const std::string& where = context.paths.content;
  return context.freeSpace ? context.freeSpace(where, bytes) : freeDiskSpace(where, bytes);
}

Status checkDiskSpace(const TransferContext& context, const TransferPlan& plan) {
  const std::uint64_t needed = diskSpaceNeeded(plan);
  std::uint64_t free = 0;
  const bool measured = instanceFreeSpace(context, free);
  if (!measured || needed <= free) return {};
  return Failure{messages::notEnoughDiskSpace(formatModSize(needed), formatModSize(free))};
}

}  // namespace vantis::content
