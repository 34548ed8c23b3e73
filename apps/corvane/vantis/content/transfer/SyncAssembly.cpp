// Assembly of the transfer step: on the calling thread, after every download
// worker has been joined, each file of the work list is streamed together
// from its blobs into "<target>.part" and checked against its size and
// digest; then every checked part is put on the disk with one flush and
// renamed into place. Nothing here runs beside the workers.

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "foundation/Crypto.h"
#include "foundation/FileSystem.h"
#include "foundation/TemporaryFile.h"
#include "protocol/SyncMessages.h"
#include "transfer/SyncTransfer.h"

namespace vantis::content {

namespace {

// Large enough that each write goes straight to the file, small enough that
// a file of many gigabytes never needs more memory than this.
constexpr std::size_t kCopyBytes = 1 << 20;
// A large file is sent to the disk in steps of this size while it is
// copied, so that the flush before the renames never waits for all of it.
constexpr std::uint64_t kWriteBackStep = 8 << 20;

bool allBlobsPresent(const std::string& blobStore, const FileRecord& record,
                     const LocalBlobMap& local) {
  for (const std::string& hash : record.chunks) {
    std::uint64_t size = 0;
    if (local.count(hash) == 0 && !fileSize(blobPath(blobStore, hash), size)) return false;
  }
  return true;
}

bool targetExists(const std::string& target) {
  std::uint64_t size = 0;
  return fileSize(target, size);
}

bool matchesRecord(const FileRecord& record, std::uint64_t written, const std::string& digest) {
  const bool sizeMatches = record.size >= 0 && written == static_cast<std::uint64_t>(record.size);
  return sizeMatches && Sha256::equals(digest, record.sha256);
}

// A file that fails its check was built from blobs the store trusts because
// they exist; one of them is damaged (a cut-off write survived a power loss,
// a bad disk). The store outlives failed runs, so unless they go, every later
// run would fail the same way and the instance could never be repaired.
void removeBlobs(const std::string& blobStore, const FileRecord& record) {
  for (const std::string& hash : record.chunks) {
    std::remove(blobPath(blobStore, hash).c_str());
  }
}

// One file's assembly: where its parts come from and where it goes.
struct FileJob {
  const TransferContext& context;
  const FileRecord& record;
  const std::string& target;  // the installed path
  const std::string& part;    // "<target>.part"
  const LocalBlobMap& local;      // blobs taken from the installed copy
  WriteBackQueue& writeBack;      // where written parts are sent to the disk
};

// Appends one blob, from the installed copy (the target, still in place)
// when it holds it, else from the store.
bool appendBlob(const FileJob& job, const std::string& hash, std::FILE* out, Sha256& digest,
                std::uint64_t& written, std::vector<char>& buffer) {
  const auto placed = job.local.find(hash);
  const std::string& target = job.target;
  if (placed == job.local.end()) {
    return appendFileHashing(blobPath(job.context.paths.blobStore, hash), out, digest, written,
                             buffer);
  }
  return appendFileRangeHashing(target, placed->second.offset, placed->second.length, out, digest,
                                written, buffer);
}

// Writes and checks "<target>.part". On failure the part is gone and the
// sync's message is set. A blob taken from the installed copy is checked
// only as part of the whole file: should the copy have changed since it was
// read, the file fails its check here and the next run reads it afresh.
Status buildPart(const FileJob& job, std::vector<char>& buffer) {
  const FileRecord& record = job.record;
  const std::string& part = job.part;
  makeParentDirectories(part);
  // Never opened as it lies: a link planted at "<target>.part", or a hard
  // link an interrupted reuse left there, would carry the write outside.
  std::FILE* out = openTemporaryStream(part);
  if (!out) return Failure{messages::fileNotWritable(record.path)};
  Sha256 digest;
  std::uint64_t written = 0;
  std::uint64_t sent = 0;
  bool copied = true;
  for (const std::string& hash : record.chunks) {
    copied = appendBlob(job, hash, out, digest, written, buffer);
    if (!copied) break;
    if (written - sent < kWriteBackStep) continue;
    copied = std::fflush(out) == 0;
    if (!copied) break;
    job.writeBack.add(part);
    sent = written;
  }
  // A failed close is a failed write: a full disk often shows only there.
  const bool closed = std::fclose(out) == 0;
  // Written back while the next files are assembled, so that the flush
  // before the renames finds little left to write.
  if (copied && closed) job.writeBack.add(part);
  if (!copied || !closed) {
    std::remove(part.c_str());
    return Failure{messages::kNotAssembled};
  }
  if (!matchesRecord(record, written, digest.hex())) {
    std::remove(part.c_str());
    removeBlobs(job.context.paths.blobStore, record);
    // The blobs read from the installed copy may be what was wrong, placed
    // there on the word of the checked-files record: the next run must not
    // take that word again.
    if (!job.local.empty()) std::remove(job.context.paths.checkedFiles.c_str());
    return Failure{messages::kAssembledCorrupt};
  }
  return {};
}

// How many records of the work list are made from each blob.
std::map<std::string, std::size_t> countBlobUses(const std::vector<FileRecord>& workList) {
  std::map<std::string, std::size_t> uses;
  for (const FileRecord& record : workList) {
    for (const std::string& hash : record.chunks) ++uses[hash];
  }
  return uses;
}

// A file that is one whole blob no other file of this run needs is that
// blob: it is checked where it lies and renamed to "<target>.part", instead
// of being copied, which on a cold install would write every such file twice
// and create it twice. Where the rename cannot be done (the store on another
// file system) the file is copied as usual.
Status adoptSoleBlob(const FileJob& job, std::vector<char>& buffer) {
  const std::string& blobStore = job.context.paths.blobStore;
  const std::string blob = blobPath(blobStore, job.record.chunks.front());
  std::uint64_t size = 0;
  std::string digest;
  if (!hashFileSha256(blob, size, digest)) return Failure{messages::kNotAssembled};
  if (!matchesRecord(job.record, size, digest)) {
    removeBlobs(blobStore, job.record);
    return Failure{messages::kAssembledCorrupt};
  }
  makeParentDirectories(job.part);
  if (std::rename(blob.c_str(), job.part.c_str()) != 0) return buildPart(job, buffer);
  job.writeBack.add(job.part);
  return {};
}

// Renames the checked part over the target. A program file's old copy is
// moved aside to "<target>.old" only now, once its replacement is whole and
// checked: a failed assembly must never leave the instance without the
// program. Should the final rename fail, the old copy is put back.
Status moveIntoPlace(const FileRecord& record, const std::string& part,
                     const std::string& target) {
  const bool program = record.target == kTargetBinary;
  const std::string old = target + ".old";
  bool movedAside = false;
  if (program) {
    std::remove(old.c_str());
    movedAside = std::rename(target.c_str(), old.c_str()) == 0;
  }
  makeParentDirectories(target);
  if (std::rename(part.c_str(), target.c_str()) == 0) return {};
  if (movedAside) std::rename(old.c_str(), target.c_str());
  std::remove(part.c_str());
  return Failure{messages::fileNotPlaced(record.path)};
}

// The part, whole and checked, with its execute bits where it is a program:
// everything it will be once renamed, so that the flush covers all of it.
Status buildChecked(const FileJob& job, bool soleBlob, std::vector<char>& buffer) {
  Status built = soleBlob ? adoptSoleBlob(job, buffer) : buildPart(job, buffer);
  if (built && job.record.target == kTargetBinary) makeProgramExecutable(job.part);
  return built;
}

// The file just installed is the record's content, cut into its blobs:
// remembered with its identity, so that the next run need not read it.
void rememberInstalled(const TransferContext& context, const FileRecord& record,
                       const std::string& target, CheckedFiles& checked) {
  FileIdentity identity;
  if (!fileIdentity(target, identity)) {
    checked.erase(record.path);
    return;
  }
  checked[record.path] =
      CheckedFile{identity, record.sha256, context.chunkSize, joinChunks(record.chunks)};
}

// Drops from the store each blob of the file just built that no later file
// of this run needs. Left in the store until the run completes, every such
// blob would be written out by the flush before the renames, only to be
// deleted: on a cold install nearly as many bytes as the files themselves.
// A blob some file still needs (one that is deferred or not yet built)
// stays, so a failed or cancelled run keeps what the next run must have.
void dropUsedBlobs(const FileJob& job, std::map<std::string, std::size_t>& uses) {
  for (const std::string& hash : job.record.chunks) {
    const auto left = uses.find(hash);
    if (left == uses.end() || left->second == 0) continue;
    if (--left->second == 0) std::remove(blobPath(job.context.paths.blobStore, hash).c_str());
  }
}

// A checked part waiting for its rename: the record's place in the work list.
struct Built {
  std::size_t index;
  std::string target;
  std::string part;
};

// Renames every checked part into place, once their data is on the disk:
// renamed first, a part's name could survive a power cut that its data did
// not, and a file of the right size full of zeros passes the next run's
// size check. One flush for all of them, not one per file. Also after a
// failure: the files already checked are installed (see runTransfer).
Status placeBuilt(const TransferContext& context, const std::vector<FileRecord>& workList,
                  const std::vector<Built>& built, CheckedFiles& checked, TransferReport& report) {
  if (built.empty()) return {};
  if (!syncFileSystems(report.written)) {
    for (const Built& file : built) std::remove(file.part.c_str());
    return Failure{messages::kNotAssembled};
  }
  Status first;
  for (const Built& file : built) {
    const FileRecord& record = workList[file.index];
    Status placed = moveIntoPlace(record, file.part, file.target);
    if (!placed) {
      // The others are whole and checked: they still go into place.
      if (first) first = placed;
      continue;
    }
    rememberInstalled(context, record, file.target, checked);
    if (record.target == kTargetBinary) report.programsChanged = true;
    report.filesWritten += 1;
  }
  return first;
}

void countDone(Progress& progress, const FileRecord& record) {
  const std::uint64_t size = record.size < 0 ? 0 : static_cast<std::uint64_t>(record.size);
  progress.bytesDone += size;
  progress.stepDone += size;
}

}  // namespace

void assembleFiles(const TransferContext& context, const std::vector<FileRecord>& workList,
                   const std::string& downloadFailure, const std::vector<LocalBlobMap>& localBlobs,
                   CheckedFiles& checked, WriteBackQueue& writeBack, ProgressMeter& meter,
                   TransferReport& report) {
  const bool downloadFailed = !downloadFailure.empty();
  Progress& progress = meter.progress;
  progress.stepDone = 0;
  progress.stepTotal = 0;
  for (const FileRecord& record : workList) {
    progress.stepTotal += record.size < 0 ? 0 : static_cast<std::uint64_t>(record.size);
  }
  std::vector<char> buffer(kCopyBytes);
  std::map<std::string, std::size_t> uses = countBlobUses(workList);
  const LocalBlobMap none;
  std::vector<Built> built;
  for (std::size_t i = 0; i < workList.size(); ++i) {
    const FileRecord& record = workList[i];
    const LocalBlobMap& local = i < localBlobs.size() ? localBlobs[i] : none;
    if (downloadFailed && !allBlobsPresent(context.paths.blobStore, record, local)) continue;
    const std::string target = joinPath(context.paths.content, record.path);
    const std::string part = target + ".part";
    const bool gameRunning = context.gameRunning && targetExists(target) && context.gameRunning();
    if (gameRunning) {
      report.filesDeferred += 1;
      countDone(progress, record);
      continue;
    }
    const FileJob job{context, record, target, part, local, writeBack};
    const bool soleBlob = record.chunks.size() == 1 && uses.at(record.chunks.front()) == 1;
    report.status = buildChecked(job, soleBlob, buffer);
    if (!report.status) break;
    built.push_back(Built{i, target, part});
    dropUsedBlobs(job, uses);
    noteFileSystemOf(report.written, part);
    progress.filesDone += 1;
    countDone(progress, record);
    if ((i & 63) == 0 && !meter.report("Installing", record.path)) {
      report.status = Failure{messages::kCancelled};
      break;
    }
  }
  const Status placed = placeBuilt(context, workList, built, checked, report);
  if (report.status && !placed) report.status = placed;
  if (report.status && downloadFailed) report.status = Failure{downloadFailure};
}

}  // namespace vantis::content
