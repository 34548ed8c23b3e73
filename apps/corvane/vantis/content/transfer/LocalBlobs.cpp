// Finding the blobs of changed files in their installed copies. Each copy is
// read once, cut into blobs of the release's chunk size, and each blob's digest
// is looked up among the blobs its own record names.

#include "transfer/LocalBlobs.h"

#include <algorithm>

#include "foundation/FileSystem.h"
#include "protocol/SyncMessages.h"
#include "transfer/SyncTransfer.h"

namespace vantis::content {

namespace {

constexpr const char* kPhase = "Reusing local files";
constexpr double kReportSeconds = 0.2;
// Large reads: the copies worth looking at are the large files.
constexpr std::size_t kReadBytes = 1 << 20;

// A record whose installed copy is worth reading, and how far to read it.
struct Candidate {
  std::size_t index = 0;
  std::string path;
  std::uint64_t bytes = 0;
};

std::vector<Candidate> candidatesOf(const std::string& contentDir,
                                    const std::vector<FileRecord>& workList,
                                    std::uint64_t chunkSize) {
  std::vector<Candidate> found;
  for (std::size_t i = 0; i < workList.size(); ++i) {
    const FileRecord& record = workList[i];
    if (!blobsFit(record, chunkSize)) continue;
    Candidate candidate{i, joinPath(contentDir, record.path), 0};
    std::uint64_t installed = 0;
    if (!fileSize(candidate.path, installed) || installed == 0) continue;
    // Blobs past the new file's last one could only match content moved by
    // whole blobs; not worth reading an overgrown copy for.
    const std::uint64_t reach = static_cast<std::uint64_t>(record.chunks.size()) * chunkSize;
    candidate.bytes = std::min(installed, reach);
    found.push_back(candidate);
  }
  return found;
}

// Reads one installed copy into `blobs`. False only when the user asked to
// stop; a copy that cannot be read simply holds what was read before.
bool scanCopy(ProgressMeter& meter, const FileRecord& record, const Candidate& candidate,
              std::uint64_t chunkSize, LocalBlobMap& blobs, std::vector<char>& buffer) {
  const std::set<std::string> wanted(record.chunks.begin(), record.chunks.end());
  std::uint64_t offset = 0;
  bool stopped = false;
  double lastReport = monotonicSeconds();
  const BlobDigest onBlob = [&](const std::string& hex, std::uint64_t length) {
    if (wanted.count(hex) != 0) blobs.emplace(hex, LocalBlob{offset, length});
    offset += length;
    meter.progress.stepDone += length;
    const double now = monotonicSeconds();
    if (now - lastReport < kReportSeconds) return true;
    lastReport = now;
    stopped = !meter.report(kPhase, record.path);
    return !stopped;
  };
  hashFileBlobs(candidate.path, chunkSize, candidate.bytes, onBlob, buffer);
  // What a failed read did not reach still counts as looked at.
  meter.progress.stepDone += candidate.bytes - std::min(candidate.bytes, offset);
  return !stopped;
}

// The blobs of a copy the checked-files record says it was cut into, when
// it was cut with this release's chunk size: no need to read it. False when
// the record cannot tell.
bool blobsFromRecord(const CheckedFile& known, const FileRecord& record, std::uint64_t chunkSize,
                      LocalBlobMap& blobs) {
  if (known.chunkSize != chunkSize || known.chunks.empty()) return false;
  const std::vector<std::string> cut = splitChunks(known.chunks);
  const std::uint64_t size = known.identity.size;
  if (size == 0 || (size - 1) / chunkSize + 1 != cut.size()) return false;
  const std::set<std::string> wanted(record.chunks.begin(), record.chunks.end());
  for (std::size_t i = 0; i < cut.size(); ++i) {
    if (wanted.count(cut[i]) == 0) continue;
    const std::uint64_t offset = i * chunkSize;
    blobs.emplace(cut[i], LocalBlob{offset, std::min(chunkSize, size - offset)});
  }
  return true;
}

}  // namespace

bool blobsFit(const FileRecord& record, std::uint64_t chunkSize) {
  if (chunkSize == 0 || record.size <= 0 || record.chunks.size() < 2) return false;
  const std::uint64_t size = static_cast<std::uint64_t>(record.size);
  const std::uint64_t blobs = (size - 1) / chunkSize + 1;
  return blobs == record.chunks.size();
}

Result<LocalBlobs> findLocalBlobs(const std::vector<FileRecord>& workList,
                                    const TransferContext& context, const CheckedFiles& checked,
                                    ProgressMeter& meter) {
  const std::uint64_t chunkSize = context.chunkSize;
  LocalBlobs blobs;
  blobs.perRecord.assign(workList.size(), LocalBlobMap());
  const std::vector<Candidate> candidates =
      candidatesOf(context.paths.content, workList, chunkSize);
  if (candidates.empty()) return blobs;

  Progress& progress = meter.progress;
  progress.stepDone = 0;
  progress.stepTotal = 0;
  for (const Candidate& candidate : candidates) progress.stepTotal += candidate.bytes;
  std::vector<char> buffer(kReadBytes);
  for (const Candidate& candidate : candidates) {
    const FileRecord& record = workList[candidate.index];
    LocalBlobMap& found = blobs.perRecord[candidate.index];
    const auto known = checked.find(record.path);
    if (known != checked.end() && blobsFromRecord(known->second, record, chunkSize, found)) {
      progress.stepDone += candidate.bytes;
      continue;
    }
    const bool goOn = meter.report(kPhase, record.path) &&
                      scanCopy(meter, record, candidate, chunkSize, found, buffer);
    if (!goOn) return Failure{messages::kCancelled};
  }
  blobs.covered = coveredBlobs(workList, blobs.perRecord);
  return blobs;
}

std::set<std::string> coveredBlobs(const std::vector<FileRecord>& workList,
                                   const std::vector<LocalBlobMap>& perRecord) {
  std::map<std::string, std::size_t> users;    // records that name the blob
  std::map<std::string, std::size_t> holders;  // of which hold it themselves
  for (std::size_t i = 0; i < workList.size(); ++i) {
    const std::set<std::string> names(workList[i].chunks.begin(), workList[i].chunks.end());
    for (const std::string& hash : names) {
      ++users[hash];
      if (i < perRecord.size() && perRecord[i].count(hash) != 0) ++holders[hash];
    }
  }
  std::set<std::string> covered;
  for (const auto& [hash, count] : holders) {
    if (count == users[hash]) covered.insert(hash);
  }
  return covered;
}

}  // namespace vantis::content
