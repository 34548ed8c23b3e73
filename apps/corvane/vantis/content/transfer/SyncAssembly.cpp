// Assembly of the transfer step: on the calling thread, after every download
// worker has been joined, each file of the work list is streamed together
// from its blobs into "<target>.part", checked against its size and digest,
// and renamed into place. Nothing here runs beside the workers.

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "foundation/Crypto.h"
#include "foundation/FileSystem.h"
#include "transfer/SyncTransfer.h"

namespace vantis::content {

namespace {

// Large enough that each write goes straight to the file, small enough that
// a file of many gigabytes never needs more memory than this.
constexpr std::size_t kCopyBytes = 1 << 20;

bool allBlobsPresent(const std::string& blobStore, const FileRecord& record,
                     const PieceMap& local) {
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

// Appends one blob, from the installed copy (the target, still in place)
// when it holds it, else from the store.
bool appendBlob(SyncRun& run, const std::string& hash, const std::string& target,
                const PieceMap& local, std::FILE* out, Sha256& digest, std::uint64_t& written,
                std::vector<char>& buffer) {
  const auto piece = local.find(hash);
  if (piece == local.end()) {
    return appendFileHashing(blobPath(run.blobStore, hash), out, digest, written, buffer);
  }
  return appendFileRangeHashing(target, piece->second.offset, piece->second.length, out, digest,
                                written, buffer);
}

// Writes and checks "<target>.part". On failure the part is gone and the
// sync's message is set. A piece taken from the installed copy is checked
// only as part of the whole file: should the copy have changed since it was
// read, the file fails its check here and the next run reads it afresh.
bool buildPart(SyncRun& run, const FileRecord& record, const std::string& target,
               const std::string& part, const PieceMap& local, std::vector<char>& buffer) {
  makeParentDirectories(part);
  std::FILE* out = std::fopen(part.c_str(), "wb");
  if (!out) {
    run.result.error = "Could not write " + record.path +
                       ". Check there is free disk space and the folder is not read-only.";
    return false;
  }
  Sha256 digest;
  std::uint64_t written = 0;
  bool copied = true;
  for (const std::string& hash : record.chunks) {
    copied = appendBlob(run, hash, target, local, out, digest, written, buffer);
    if (!copied) break;
  }
  // A failed close is a failed write: a full disk often shows only there.
  const bool closed = std::fclose(out) == 0;
  if (!copied || !closed) {
    std::remove(part.c_str());
    run.result.error = "An update file could not be assembled. Check there is free disk space.";
    return false;
  }
  if (!matchesRecord(record, written, digest.hex())) {
    std::remove(part.c_str());
    removeBlobs(run.blobStore, record);
    // The pieces read from the installed copy may be what was wrong, placed
    // there on the word of the checked-files record: the next run must not
    // take that word again.
    if (!local.empty()) std::remove(run.checkedFilesPath.c_str());
    run.result.error = "An update file failed its integrity check. Refused.";
    return false;
  }
  return true;
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
bool adoptSoleBlob(SyncRun& run, const FileRecord& record, const std::string& target,
                   const std::string& part, std::vector<char>& buffer) {
  const std::string blob = blobPath(run.blobStore, record.chunks.front());
  std::uint64_t size = 0;
  std::string digest;
  if (!hashFileSha256(blob, size, digest)) {
    run.result.error = "An update file could not be assembled. Check there is free disk space.";
    return false;
  }
  if (!matchesRecord(record, size, digest)) {
    removeBlobs(run.blobStore, record);
    run.result.error = "An update file failed its integrity check. Refused.";
    return false;
  }
  makeParentDirectories(part);
  if (std::rename(blob.c_str(), part.c_str()) == 0) return true;
  return buildPart(run, record, target, part, PieceMap(), buffer);
}

// Renames the checked part over the target. A program file's old copy is
// moved aside to "<target>.old" only now, once its replacement is whole and
// checked: a failed assembly must never leave the instance without the
// program. Should the final rename fail, the old copy is put back.
bool moveIntoPlace(SyncRun& run, const FileRecord& record, const std::string& part,
                   const std::string& target) {
  const bool program = record.target == "binary";
  const std::string old = target + ".old";
  bool movedAside = false;
  if (program) {
    std::remove(old.c_str());
    movedAside = std::rename(target.c_str(), old.c_str()) == 0;
  }
  makeParentDirectories(target);
  if (std::rename(part.c_str(), target.c_str()) == 0) return true;
  if (movedAside) std::rename(old.c_str(), target.c_str());
  std::remove(part.c_str());
  run.result.error = "Could not write " + record.path + ". Check the folder is not read-only.";
  return false;
}

bool installFile(SyncRun& run, const FileRecord& record, const std::string& target,
                 const PieceMap& local, bool soleBlob, std::vector<char>& buffer) {
  const std::string part = target + ".part";
  const bool built = soleBlob ? adoptSoleBlob(run, record, target, part, buffer)
                              : buildPart(run, record, target, part, local, buffer);
  if (!built) return false;
  if (record.target == "binary") makeProgramExecutable(part);
  return moveIntoPlace(run, record, part, target);
}

// The file just installed is the record's content, cut into its chunks:
// remembered with its identity, so that the next run need not read it.
void rememberInstalled(SyncRun& run, const FileRecord& record, const std::string& target) {
  FileIdentity identity;
  if (!fileIdentity(target, identity)) {
    run.checked.erase(record.path);
    return;
  }
  run.checked[record.path] =
      CheckedFile{identity, record.sha256, run.chunkSize, joinChunks(record.chunks)};
}

void countDone(SyncRun& run, const FileRecord& record) {
  const std::uint64_t size = record.size < 0 ? 0 : static_cast<std::uint64_t>(record.size);
  run.progress.bytesDone += size;
  run.progress.stepDone += size;
}

}  // namespace

bool assembleFiles(SyncRun& run, const std::vector<FileRecord>& workList,
                   const std::string& downloadFailure, const std::vector<PieceMap>& localPieces) {
  const bool downloadFailed = !downloadFailure.empty();
  run.progress.stepDone = 0;
  run.progress.stepTotal = 0;
  for (const FileRecord& record : workList) {
    run.progress.stepTotal += record.size < 0 ? 0 : static_cast<std::uint64_t>(record.size);
  }
  std::vector<char> buffer(kCopyBytes);
  const std::map<std::string, std::size_t> uses = countBlobUses(workList);
  SyncResult& result = run.result;
  const PieceMap none;
  for (std::size_t i = 0; i < workList.size(); ++i) {
    const FileRecord& record = workList[i];
    const PieceMap& local = i < localPieces.size() ? localPieces[i] : none;
    if (downloadFailed && !allBlobsPresent(run.blobStore, record, local)) continue;
    const std::string target = joinPath(run.contentDir, record.path);
    const bool gameRunning = run.options.gameRunning && targetExists(target) &&
                             run.options.gameRunning();
    if (gameRunning) {
      result.filesDeferred += 1;
      countDone(run, record);
      continue;
    }
    const bool soleBlob = record.chunks.size() == 1 && uses.at(record.chunks.front()) == 1;
    if (!installFile(run, record, target, local, soleBlob, buffer)) return false;
    rememberInstalled(run, record, target);
    if (record.target == "binary") result.programsChanged = true;
    result.filesWritten += 1;
    run.progress.filesDone = result.filesWritten;
    countDone(run, record);
    if ((i & 63) == 0 && !run.reportProgress("Installing", record.path)) {
      result.error = "Cancelled.";
      return false;
    }
  }
  if (downloadFailed) {
    result.error = downloadFailure;
    return false;
  }
  return true;
}

}  // namespace vantis::content
