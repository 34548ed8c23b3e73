// Finding the blobs the work list needs in installed files: first in what
// the checked-files record knows (no reading), then by cutting the installed
// copies of changed files that it does not know, then deciding for each blob
// found whether assembly may read it where it lies or it must be copied
// into the store before anything is replaced.

#include "transfer/LocalBlobs.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "foundation/FileSystem.h"
#include "protocol/SyncMessages.h"
#include "release/BlobCut.h"
#include "release/SafePath.h"
#include "transfer/SyncTransfer.h"

namespace vantis::content {

namespace {

constexpr const char* kPhase = "Reusing local files";
constexpr double kReportSeconds = 0.2;
// Large reads: the copies worth reading are the large files.
constexpr std::size_t kReadBytes = 1 << 20;

// Who needs a blob: the first record of the work list that names it, and
// whether any other record names it too.
struct BlobUse {
  std::size_t record = 0;
  bool shared = false;
};

// Looked up by the record's digests in place, without a copy of each.
using BlobUses = std::map<std::string, BlobUse, std::less<>>;

BlobUses blobUses(const std::vector<FileRecord>& workList) {
  BlobUses uses;
  for (std::size_t i = 0; i < workList.size(); ++i) {
    for (const std::string& hash : workList[i].chunks) {
      const auto [use, isNew] = uses.emplace(hash, BlobUse{i, false});
      if (!isNew && use->second.record != i) use->second.shared = true;
    }
  }
  return uses;
}

// The installed copies the transfer replaces: real path -> record index.
std::map<std::string, std::size_t> replacedFiles(const std::string& contentDir,
                                                 const std::vector<FileRecord>& workList) {
  std::map<std::string, std::size_t> replaced;
  for (std::size_t i = 0; i < workList.size(); ++i) {
    replaced.emplace(joinPath(contentDir, workList[i].path), i);
  }
  return replaced;
}

// Blobs a recorded file holds by the record's word: only when they add up
// to the file, which a line the record wrote always does.
bool recordedBlobsHold(const CheckedFile& file) {
  if (file.blobs.empty()) return false;
  std::uint64_t total = 0;
  forEachRecordedBlob(file.blobs, [&total](std::string_view, std::uint64_t length) {
    total += length;
    return true;
  });
  return total == file.identity.size;
}

// Each needed blob's best place so far: a file that stays in place beats
// one the transfer replaces.
struct Finder {
  const BlobUses& uses;
  const std::map<std::string, std::size_t>& replaced;
  LocalBlobs found;
  std::map<std::string, std::size_t> sourceOf;  // real path -> index in found.sources

  bool stays(std::size_t source) const {
    return replaced.count(found.sources[source].real) == 0;
  }

  std::size_t source(const std::string& path, const std::string& real) {
    const auto [known, isNew] = sourceOf.emplace(real, found.sources.size());
    if (isNew) found.sources.push_back(LocalSource{path, real});
    return known->second;
  }

  void offer(const std::string& digest, std::size_t source, std::uint64_t offset,
             std::uint64_t length) {
    if (uses.count(digest) == 0) return;
    const auto held = found.blobs.find(digest);
    if (held != found.blobs.end() && (stays(held->second.source) || !stays(source))) return;
    found.blobs[digest] = LocalBlob{source, offset, length};
  }

  // The blobs a recorded file holds, as the record gives them.
  void offerRecorded(const std::string& path, const std::string& real, const CheckedFile& file) {
    if (!recordedBlobsHold(file)) return;
    std::uint64_t offset = 0;
    bool any = false;
    std::size_t index = 0;
    forEachRecordedBlob(file.blobs, [&](std::string_view digest, std::uint64_t length) {
      const auto use = uses.find(digest);
      if (use != uses.end()) {
        if (!any) index = source(path, real);
        any = true;
        offer(use->first, index, offset, length);
      }
      offset += length;
      return true;
    });
  }
};

// A recorded file the list does not name still holds what the record says
// while its identity is unchanged (a file the release moved or retired
// keeps its place until the transfer is over).
void offerOtherFiles(const std::string& contentDir, const CheckedFiles& others, Finder& finder) {
  for (const auto& [path, file] : others) {
    if (file.blobs.empty() || !safeRelativePath(path)) continue;
    const std::string real = joinPath(contentDir, path);
    FileIdentity now;
    if (!fileIdentity(real, now) || !(now == file.identity)) continue;
    finder.offerRecorded(path, real, file);
  }
}

// A changed file's installed copy to read, and how far.
struct Candidate {
  std::size_t index = 0;
  std::string real;
  std::uint64_t bytes = 0;
};

// The records whose installed copy is worth reading: the cutting fits them
// and the record does not already know the copy cut this way.
std::vector<Candidate> candidatesOf(const std::string& contentDir,
                                    const std::vector<FileRecord>& workList,
                                    const BlobCutting& cutting, const CheckedFiles& checked) {
  const std::string cut = cuttingText(cutting);
  std::vector<Candidate> found;
  for (std::size_t i = 0; i < workList.size(); ++i) {
    const FileRecord& record = workList[i];
    if (!blobsFit(record, cutting)) continue;
    const auto known = checked.find(record.path);
    const bool knownCut = known != checked.end() && known->second.cutting == cut &&
                          recordedBlobsHold(known->second);
    if (knownCut) continue;
    Candidate candidate{i, joinPath(contentDir, record.path), 0};
    if (!fileSize(candidate.real, candidate.bytes) || candidate.bytes == 0) continue;
    if (cutting.method == CutMethod::fixed) {
      // Blobs past the new file's last one could only match content moved
      // by whole blobs; not worth reading an overgrown copy for.
      const std::uint64_t reach = record.chunks.size() * cutting.maxSize;
      candidate.bytes = std::min(candidate.bytes, reach);
    }
    found.push_back(candidate);
  }
  return found;
}

// Cuts one installed copy and offers its blobs. False only when the user
// asked to stop; a copy that cannot be read holds what was read before.
bool scanCopy(ProgressMeter& meter, const std::string& path, const Candidate& candidate,
              const BlobCutter& cutter, Finder& finder, std::vector<char>& buffer) {
  std::FILE* file = std::fopen(candidate.real.c_str(), "rb");
  std::uint64_t done = 0;
  bool stopped = false;
  if (file) {
    const std::size_t source = finder.source(path, candidate.real);
    BlobStream stream(cutter, [&finder, source](const std::string& digest, std::uint64_t offset,
                                                std::uint64_t length) {
      finder.offer(digest, source, offset, length);
      return true;
    });
    double lastReport = monotonicSeconds();
    while (done < candidate.bytes && !stopped) {
      const std::size_t want =
          static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), candidate.bytes - done));
      const std::size_t got = std::fread(buffer.data(), 1, want, file);
      if (got == 0) break;
      stream.feed(buffer.data(), got);
      done += got;
      meter.progress.stepDone += got;
      if (monotonicSeconds() - lastReport < kReportSeconds) continue;
      lastReport = monotonicSeconds();
      stopped = !meter.report(kPhase, path);
    }
    // Whatever was read names true blobs, a cut-off last one included: each
    // digest is of the bytes that were there.
    stream.finish();
    std::fclose(file);
  }
  // What a failed read did not reach still counts as looked at.
  meter.progress.stepDone += candidate.bytes - done;
  return !stopped;
}

Status readCopies(const std::vector<FileRecord>& workList, const std::vector<Candidate>& candidates,
                  const BlobCutting& cutting, Finder& finder, ProgressMeter& meter) {
  if (candidates.empty()) return {};
  Progress& progress = meter.progress;
  progress.stepDone = 0;
  progress.stepTotal = 0;
  for (const Candidate& candidate : candidates) progress.stepTotal += candidate.bytes;
  const BlobCutter cutter(cutting);
  std::vector<char> buffer(kReadBytes);
  for (const Candidate& candidate : candidates) {
    const std::string& path = workList[candidate.index].path;
    const bool goOn = meter.report(kPhase, path) &&
                      scanCopy(meter, path, candidate, cutter, finder, buffer);
    if (!goOn) return Failure{messages::kCancelled};
  }
  return {};
}

// A blob assembly may read where it lies: in a file the transfer leaves in
// place, or in the installed copy of the one record that needs it, which
// that record's own assembly reads before replacing it.
bool readableInPlace(const Finder& finder, const std::string& digest, const LocalBlob& blob) {
  if (finder.stays(blob.source)) return true;
  const BlobUse& use = finder.uses.at(digest);
  return !use.shared && finder.replaced.at(finder.found.sources[blob.source].real) == use.record;
}

// Copies the blobs no file keeps in place long enough into the store, each
// checked against its digest there; one that fails is left to the download.
void storeMovingBlobs(const TransferContext& context, Finder& finder) {
  LocalBlobReader reader;
  std::vector<char> bytes;
  for (auto blob = finder.found.blobs.begin(); blob != finder.found.blobs.end();) {
    if (readableInPlace(finder, blob->first, blob->second)) {
      ++blob;
      continue;
    }
    std::uint64_t size = 0;
    const bool inStore = fileSize(blobPath(context.paths.blobStore, blob->first), size);
    const std::string& real = finder.found.sources[blob->second.source].real;
    const bool copied =
        inStore || (reader.read(real, blob->second.offset, blob->second.length, bytes) &&
                    storeBlob(context.paths, blob->first, bytes.data(), bytes.size()).ok());
    if (copied && !inStore) ++finder.found.stored;
    blob = finder.found.blobs.erase(blob);
  }
}

}  // namespace

bool blobsFit(const FileRecord& record, const BlobCutting& cutting) {
  if (record.size <= 0 || record.chunks.size() < 2 || !cuttingProblem(cutting).empty()) {
    return false;
  }
  if (cutting.method != CutMethod::fixed) return true;
  const std::uint64_t size = static_cast<std::uint64_t>(record.size);
  return fixedBlobCount(size, cutting.maxSize) == record.chunks.size();
}

Result<LocalBlobs> findLocalBlobs(const std::vector<FileRecord>& workList,
                                    const TransferContext& context, const CheckedFiles& checked,
                                    ProgressMeter& meter, MovingBlobs moving) {
  const std::vector<Candidate> candidates =
      candidatesOf(context.paths.content, workList, context.cutting, checked);
  // A first install has no file to take a blob from: the tables below would
  // cost it a search for each of its tens of thousands of blobs, for nothing.
  const bool nothingOffered = checked.empty() && context.otherFiles.empty() && candidates.empty();
  if (nothingOffered) return LocalBlobs();
  const BlobUses uses = blobUses(workList);
  const std::map<std::string, std::size_t> replaced =
      replacedFiles(context.paths.content, workList);
  Finder finder{uses, replaced, LocalBlobs(), {}};
  for (const auto& [path, file] : checked) {
    finder.offerRecorded(path, joinPath(context.paths.content, path), file);
  }
  offerOtherFiles(context.paths.content, context.otherFiles, finder);
  const Status read = readCopies(workList, candidates, context.cutting, finder, meter);
  if (!read) return read.failure();
  if (moving == MovingBlobs::store) storeMovingBlobs(context, finder);
  return std::move(finder.found);
}

bool LocalBlobReader::read(const std::string& real, std::uint64_t offset, std::uint64_t length,
                           std::vector<char>& out) {
  if (!open_ || path_ != real) {
    path_ = real;
    open_ = file_.open(real);
  }
  if (!open_ || length > SIZE_MAX) return false;
  out.resize(static_cast<std::size_t>(length));
  return file_.read(offset, out.size(), out.data());
}

}  // namespace vantis::content
