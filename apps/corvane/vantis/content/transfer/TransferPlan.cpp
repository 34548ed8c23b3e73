// Planning a transfer without doing it. The blob store is only looked at
// here (never created), so that a plan costs the instance nothing.

#include "transfer/TransferPlan.h"

#include "foundation/DiskSpace.h"
#include "foundation/FileSystem.h"
#include <cstdio>

#include "protocol/SyncMessages.h"

namespace vantis::content {

namespace {

// Tenths of a megabyte (of a gigabyte from 1024 MB on). The need is rounded
// up and the free space down, so that a refusal never reads "1.8 MB
// needed, 1.8 MB free".
std::string sizeText(std::uint64_t bytes, bool roundUp) {
  constexpr std::uint64_t kMiB = 1048576;
  const bool gigabytes = bytes >= 1024 * kMiB;
  const std::uint64_t unit = gigabytes ? 1024 * kMiB : kMiB;
  // Whole units and tenths apart: bytes * 10 could overflow.
  std::uint64_t tenths = bytes / unit * 10 + bytes % unit * 10 / unit;
  const bool inexact = bytes % unit * 10 % unit != 0;
  if (roundUp && inexact) ++tenths;
  char text[48];
  std::snprintf(text, sizeof text, "%llu.%llu %s", static_cast<unsigned long long>(tenths / 10),
                static_cast<unsigned long long>(tenths % 10), gigabytes ? "GB" : "MB");
  return text;
}

}  // namespace

std::uint64_t workBytes(const std::vector<FileRecord>& workList) {
  std::uint64_t total = 0;
  for (const FileRecord& record : workList) {
    if (record.size > 0) total += static_cast<std::uint64_t>(record.size);
  }
  return total;
}

FetchPlan planDownloads(const TransferContext& context, const std::vector<FileRecord>& workList,
                        const BundleIndex& index, const std::map<std::string, LocalBlob>& local,
                        const InPlaceFiles* inPlace) {
  // An empty stored blob is not there: taken for stored it would fail its
  // file's check and end the run. No release names an empty blob (an empty
  // file has none), so nothing is fetched for nothing. A blob's folder (its
  // digest's first two characters) is looked at once, and on a first
  // install, with no store at all, none is: no blob need be asked for.
  // Only blobs a stopped run left are in place yet: with none found, such as
  // on a first install, no blob need be looked up among the places.
  std::map<std::string, bool> folders;
  const bool storeThere = folderExists(context.paths.blobStore);
  const bool anyInPlace = inPlace && inPlace->anyLeft;
  const BlobPresent present = [&context, &local, inPlace, anyInPlace, &folders,
                               storeThere](const std::string& hash) {
    if (local.count(hash) != 0 || (anyInPlace && inPlace->complete(hash))) return true;
    if (!storeThere) return false;
    const std::string path = blobPath(context.paths.blobStore, hash);
    const std::string folder = path.substr(0, path.size() - hash.size() - 1);
    const auto known = folders.find(folder);
    const bool folderThere =
        known != folders.end() ? known->second : (folders[folder] = folderExists(folder));
    std::uint64_t size = 0;
    return folderThere && fileSize(path, size) && size != 0;
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
  return Failure{messages::notEnoughDiskSpace(sizeText(needed, true), sizeText(free, false))};
}

}  // namespace vantis::content
