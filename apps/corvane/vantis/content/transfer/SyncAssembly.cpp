// Assembly of the transfer step: on the calling thread, after every download
// worker has been joined, each file of the work list is streamed together
// from its blobs into "<target>.part" and checked against its size and
// digest; then every checked part is put on the disk with one flush and
// renamed into place. Blobs come from the store, which checked them when
// they arrived, or from installed files, checked here as they are read.
// Nothing here runs beside the workers.

#include <cstdio>
#include <future>
#include <map>
#include <system_error>
#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/Crypto.h"
#include "foundation/DirectWriter.h"
#include "foundation/FileSystem.h"
#include "protocol/SyncMessages.h"
#include "release/BlobCut.h"
#include "transfer/InPlaceFiles.h"
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
                     const LocalBlobs& local) {
  for (const std::string& hash : record.chunks) {
    std::uint64_t size = 0;
    if (local.blobs.count(hash) == 0 && !fileSize(blobPath(blobStore, hash), size)) return false;
  }
  return true;
}

// Every blob of the record is in the store, in installed files, or already
// in its file assembled in place.
bool blobsThere(const std::string& blobStore, const FileRecord& record,
                const InPlaceFile* inPlace, const LocalBlobs& local) {
  if (inPlace) return inPlaceReady(*inPlace, record.chunks, blobStore);
  return allBlobsPresent(blobStore, record, local);
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
  const LocalBlobs& local;    // blobs read from installed files
  WriteBackQueue& writeBack;  // where written parts are sent to the disk
};

// What building a part came to: the part, checked, with the blobs it was
// made of; a failure that ends the sync; or a blob read from an installed
// file that no longer matched its digest, naming that file.
struct Built {
  Status status;
  std::vector<RecordedBlob> blobs;
  bool stale = false;
  std::string staleSource;  // the installed file's path, as recorded
};

// Blobs `first` on that lie back to back in one installed file: read with
// one call, up to a copy block (one blob at least).
std::size_t runOfLocalBlobs(const FileJob& job, std::size_t first, std::uint64_t& bytes) {
  const std::vector<std::string>& chunks = job.record.chunks;
  const LocalBlob& head = job.local.blobs.at(chunks[first]);
  std::size_t count = 1;
  bytes = head.length;
  for (std::size_t i = first + 1; i < chunks.size(); ++i) {
    const auto next = job.local.blobs.find(chunks[i]);
    const bool adjoins = next != job.local.blobs.end() && next->second.source == head.source &&
                         next->second.offset == head.offset + bytes &&
                         bytes + next->second.length <= kCopyBytes;
    if (!adjoins) break;
    bytes += next->second.length;
    ++count;
  }
  return count;
}

// A run of blobs read from one installed file. Each is checked against its
// digest before a byte of it is written: the file may have changed since it
// was recorded or read. The blobs' check and the file's digest each run on
// a thread of their own while the next run is read and this one written, so
// that reading an installed copy costs its write, as a download does, not
// its write and two digests one after the other.
struct LocalRun {
  explicit LocalRun(std::vector<char>& buffer) : bytes(buffer) {}
  std::vector<char>& bytes;  // one of `Buffers::runs`
  std::size_t first = 0;     // index of its first blob in the record's chunks
  std::size_t count = 0;
  std::future<bool> checked;  // true when every blob matched
  std::future<void> fed;      // the run is in the file's digest
};

// What the assembly reads and copies through, made once and used for every
// file: a megabyte or more made fresh per file costs its page faults each
// time, which on this kind of machine is more than copying it.
struct Buffers {
  std::vector<char> copy = std::vector<char>(kCopyBytes);
  std::vector<char> runs[2];
  DirectWriter writer;
};

bool checkRun(const FileJob& job, const LocalRun& run) {
  std::size_t at = 0;
  for (std::size_t i = run.first; i < run.first + run.count; ++i) {
    const std::string& hash = job.record.chunks[i];
    const std::size_t length = static_cast<std::size_t>(job.local.blobs.at(hash).length);
    if (!Sha256::equals(Sha256::of(run.bytes.data() + at, length), hash)) return false;
    at += length;
  }
  return true;
}

template <typename Task>
auto onItsOwnThread(Task task) -> std::future<decltype(task())> {
  try {
    return std::async(std::launch::async, task);
  } catch (const std::system_error&) {
    // No thread to be had: done here.
    return std::async(std::launch::deferred, task);
  }
}

void startCheck(const FileJob& job, LocalRun& run) {
  run.checked = onItsOwnThread([&job, &run] { return checkRun(job, run); });
}

// The digest is fed the run only after the run before it is in: the caller
// waits for that run's `fed` before starting this one.
void startFeed(LocalRun& run, Sha256& digest) {
  run.fed = onItsOwnThread([&run, &digest] { digest.update(run.bytes.data(), run.bytes.size()); });
}

void markStale(const FileJob& job, std::size_t chunk, Built& built) {
  const LocalBlob& blob = job.local.blobs.at(job.record.chunks[chunk]);
  built.stale = true;
  built.staleSource = job.local.sources[blob.source].path;
}

// Waits for the run's check and writes it. False when a blob differed (with
// `built.stale`) or the write failed; nothing is pending afterwards.
bool finishRun(const FileJob& job, LocalRun& run, DirectWriter& out, std::uint64_t& written,
               Built& built) {
  if (run.count == 0) return true;
  const bool intact = run.checked.get();
  const std::size_t first = run.first;
  const std::size_t count = run.count;
  run.count = 0;
  const bool wrote = intact && out.append(run.bytes.data(), run.bytes.size());
  // Never leave with the digest still reading a buffer about to be reused.
  run.fed.get();
  if (!intact) {
    markStale(job, first, built);
    return false;
  }
  if (!wrote) return false;
  written += run.bytes.size();
  for (std::size_t i = first; i < first + count; ++i) {
    const std::string& hash = job.record.chunks[i];
    built.blobs.push_back(RecordedBlob{hash, job.local.blobs.at(hash).length});
  }
  return true;
}

// Sends what was written through the cache since the last step to the disk
// once a step's worth has gathered. Direct writes are on the disk already.
void writeBackEvery(const FileJob& job, const DirectWriter& out, std::uint64_t written,
                    std::uint64_t& sent) {
  if (out.direct() || written - sent < kWriteBackStep) return;
  job.writeBack.add(job.part);
  sent = written;
}

// Appends every blob of the record, in order, from installed files or the
// store. False when something failed; `built` says what.
bool appendBlobs(const FileJob& job, DirectWriter& out, Sha256& digest, std::uint64_t& written,
                 Buffers& buffers, Built& built) {
  const std::vector<std::string>& chunks = job.record.chunks;
  LocalBlobReader reader;
  LocalRun runs[2] = {LocalRun(buffers.runs[0]), LocalRun(buffers.runs[1])};
  LocalRun* pending = &runs[0];  // read, being checked, not yet written
  LocalRun* next = &runs[1];
  std::uint64_t sent = 0;
  for (std::size_t i = 0; i < chunks.size();) {
    writeBackEvery(job, out, written, sent);
    if (job.local.blobs.count(chunks[i]) == 0) {
      // The digest is fed in file order: what is pending goes first.
      if (!finishRun(job, *pending, out, written, built)) return false;
      const std::uint64_t before = written;
      if (!appendFileHashing(blobPath(job.context.paths.blobStore, chunks[i]), out, digest,
                             written, buffers.copy)) {
        return false;
      }
      built.blobs.push_back(RecordedBlob{chunks[i], written - before});
      ++i;
      continue;
    }
    std::uint64_t bytes = 0;
    next->first = i;
    next->count = runOfLocalBlobs(job, i, bytes);
    const LocalBlob& head = job.local.blobs.at(chunks[i]);
    // Read, and checked, while the run before is still being fed and
    // written: one after the other they leave a core idle.
    if (!reader.read(job.local.sources[head.source].real, head.offset, bytes, next->bytes)) {
      finishRun(job, *pending, out, written, built);
      next->count = 0;
      markStale(job, i, built);
      return false;
    }
    startCheck(job, *next);
    if (!finishRun(job, *pending, out, written, built)) {
      // Never leave with a check running on a buffer that is about to go.
      next->checked.wait();
      next->count = 0;
      return false;
    }
    startFeed(*next, digest);
    i += next->count;
    std::swap(pending, next);
  }
  // Never leave with a check running on a buffer that is about to go.
  return finishRun(job, *pending, out, written, built);
}

// Writes and checks "<target>.part". On failure the part is gone and the
// sync's message is set, unless a blob read from an installed file did not
// match: then only `stale` is set, and the record is left to a download.
Built buildPart(const FileJob& job, Buffers& buffers) {
  const FileRecord& record = job.record;
  const std::string& part = job.part;
  Built built;
  makeParentDirectories(part);
  // Never opened as it lies: a link planted at "<target>.part", or a hard
  // link an interrupted reuse left there, would carry the write outside.
  DirectWriter& out = buffers.writer;
  if (!out.create(part)) {
    built.status = Failure{messages::fileNotWritable(record.path)};
    return built;
  }
  Sha256 digest;
  std::uint64_t written = 0;
  const bool copied = appendBlobs(job, out, digest, written, buffers, built);
  // A failed close is a failed write: a full disk often shows only there.
  const bool closed = out.finish();
  // Written back while the next files are assembled, so that the flush
  // before the renames finds little left to write.
  if (copied && closed && !out.direct()) job.writeBack.add(part);
  if (!copied || !closed) {
    std::remove(part.c_str());
    if (!built.stale) built.status = Failure{messages::kNotAssembled};
    return built;
  }
  if (!matchesRecord(record, written, digest.hex())) {
    std::remove(part.c_str());
    removeBlobs(job.context.paths.blobStore, record);
    // Every blob read from an installed file matched its digest, so the
    // store's are the likely culprits; but the record's word on where blobs
    // lie is not to be taken again either.
    if (!job.local.blobs.empty()) std::remove(job.context.paths.checkedFiles.c_str());
    built.status = Failure{messages::kAssembledCorrupt};
  }
  return built;
}

// How many records of the work list are made from each blob. Looked up,
// never walked in order: a first install counts tens of thousands of blobs
// here, on the one thread its last step runs on.
using BlobUses = std::unordered_map<std::string, std::size_t>;

BlobUses countBlobUses(const std::vector<FileRecord>& workList) {
  BlobUses uses;
  uses.reserve(blobsNamed(workList));
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
Built adoptSoleBlob(const FileJob& job, Buffers& buffers) {
  const std::string& blobStore = job.context.paths.blobStore;
  const std::string& hash = job.record.chunks.front();
  const std::string blob = blobPath(blobStore, hash);
  Built built;
  std::uint64_t size = 0;
  std::string digest;
  if (!hashFileSha256(blob, size, digest)) {
    built.status = Failure{messages::kNotAssembled};
    return built;
  }
  if (!matchesRecord(job.record, size, digest)) {
    removeBlobs(blobStore, job.record);
    built.status = Failure{messages::kAssembledCorrupt};
    return built;
  }
  makeParentDirectories(job.part);
  if (std::rename(blob.c_str(), job.part.c_str()) != 0) return buildPart(job, buffers);
  job.writeBack.add(job.part);
  built.blobs.push_back(RecordedBlob{hash, size});
  return built;
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
  // The part lies beside the target: its folder is there.
  if (std::rename(part.c_str(), target.c_str()) == 0) return {};
  if (movedAside) std::rename(old.c_str(), target.c_str());
  std::remove(part.c_str());
  return Failure{messages::fileNotPlaced(record.path)};
}

// A file assembled in place: the blobs it still lacks come from the store,
// then it is checked whole where it lies and renamed to "<target>.part"
// (copied where the store is on another file system).
Built adoptInPlace(const FileJob& job, InPlaceFile& file) {
  const std::string& blobStore = job.context.paths.blobStore;
  Built built;
  const bool readBack = !file.digest.empty() && file.missing == 0;
  std::uint64_t size = file.digestSize;
  std::string digest = file.digest;
  const bool hashed = readBack || (fillFromStore(file, job.record.chunks, blobStore) &&
                                   hashFileSha256(file.path, size, digest));
  if (!hashed) {
    built.status = Failure{messages::kNotAssembled};
    return built;
  }
  if (!matchesRecord(job.record, size, digest)) {
    std::remove(file.path.c_str());
    removeBlobs(blobStore, job.record);
    built.status = Failure{messages::kAssembledCorrupt};
    return built;
  }
  makeParentDirectories(job.part);
  const bool renamed = std::rename(file.path.c_str(), job.part.c_str()) == 0;
  const bool moved = renamed || copyFileHashing(file.path, job.part, size, digest);
  if (!renamed) std::remove(file.path.c_str());
  if (!moved || !matchesRecord(job.record, size, digest)) {
    std::remove(job.part.c_str());
    built.status = Failure{messages::kNotAssembled};
    return built;
  }
  // A file whole when its last blob landed was sent to the disk then; a
  // rename keeps it the same file.
  const bool sentWhole = renamed && readBack;
  if (!sentWhole) job.writeBack.add(job.part);
  for (std::size_t i = 0; i < file.lengths.size(); ++i) {
    built.blobs.push_back(RecordedBlob{job.record.chunks[i], file.lengths[i]});
  }
  return built;
}

// The part, whole and checked, with its execute bits where it is a program:
// everything it will be once renamed, so that the flush covers all of it.
Built buildChecked(const FileJob& job, InPlaceFile* inPlace, bool soleBlob,
                   Buffers& buffers) {
  Built built = inPlace    ? adoptInPlace(job, *inPlace)
                : soleBlob ? adoptSoleBlob(job, buffers)
                           : buildPart(job, buffers);
  if (built.status && !built.stale && job.record.target == kTargetBinary) {
    makeProgramExecutable(job.part);
  }
  return built;
}

// The file just installed is the record's content, cut into its blobs:
// remembered with its identity and how it was cut, so that the next run
// need not read it, neither to judge it nor to take blobs from it.
void rememberInstalled(const TransferContext& context, const FileRecord& record,
                       const std::string& target, const std::vector<RecordedBlob>& blobs,
                       CheckedFiles& checked) {
  FileIdentity identity;
  if (!fileIdentity(target, identity)) {
    checked.erase(record.path);
    return;
  }
  checked[record.path] =
      CheckedFile{identity, record.sha256, cuttingText(context.cutting), joinBlobs(blobs)};
}

// Drops from the store each blob of the file just built that no later file
// of this run needs. Left in the store until the run completes, every such
// blob would be written out by the flush before the renames, only to be
// deleted: on a cold install nearly as many bytes as the files themselves.
// A blob some file still needs (one that is deferred or not yet built)
// stays, so a failed or cancelled run keeps what the next run must have.
// The blobs only files assembled in place needed went straight into those
// files and never into the store: there is nothing to delete, and on a first
// install asking would be thousands of failed calls. Nor were the blobs
// read from installed files: an update that rebuilds a large archive from
// its installed copy would ask once for each of its thousands of blobs.
// (One a stopped run left in the store goes with the store when the run
// completes.)
void dropUsedBlobs(const FileJob& job, const InPlaceFiles& inPlace, bool assembledInPlace,
                   BlobUses& uses) {
  for (const std::string& hash : job.record.chunks) {
    const auto left = uses.find(hash);
    if (left == uses.end() || left->second == 0) continue;
    if (--left->second != 0) continue;
    const bool neverStored = (assembledInPlace && !inPlace.storeToo(hash)) ||
                             job.local.blobs.count(hash) != 0;
    if (!neverStored) std::remove(blobPath(job.context.paths.blobStore, hash).c_str());
  }
}

// A checked part waiting for its rename: the record's place in the work
// list, and the blobs it was made of.
struct ReadyPart {
  std::size_t index;
  std::string target;
  std::string part;
  std::vector<RecordedBlob> blobs;
};

// Renames every checked part into place, once their data is on the disk:
// renamed first, a part's name could survive a power cut that its data did
// not, and a file of the right size full of zeros passes the next run's
// size check. One flush for all of them, not one per file. Also after a
// failure: the files already checked are installed (see runTransfer).
// Installed files that blobs were read from stay in place until now, so
// every run of blobs read from them found the file the record described.
Status placeBuilt(const TransferContext& context, const std::vector<FileRecord>& workList,
                  const std::vector<ReadyPart>& ready, CheckedFiles& checked,
                  TransferReport& report) {
  if (ready.empty()) return {};
  if (!syncFileSystems(report.written)) {
    for (const ReadyPart& file : ready) std::remove(file.part.c_str());
    return Failure{messages::kNotAssembled};
  }
  Status first;
  for (const ReadyPart& file : ready) {
    const FileRecord& record = workList[file.index];
    if (context.replaced) context.replaced->hold(file.target);
    Status placed = moveIntoPlace(record, file.part, file.target);
    if (!placed) {
      // The others are whole and checked: they still go into place.
      if (first) first = placed;
      continue;
    }
    rememberInstalled(context, record, file.target, file.blobs, checked);
    if (record.target == kTargetBinary) report.programsChanged = true;
    report.filesWritten += 1;
  }
  if (context.replaced) context.replaced->release();
  return first;
}

void countDone(Progress& progress, const FileRecord& record) {
  const std::uint64_t size = record.size < 0 ? 0 : static_cast<std::uint64_t>(record.size);
  progress.bytesDone += size;
  progress.stepDone += size;
}

}  // namespace

void assembleFiles(const TransferContext& context, const std::vector<FileRecord>& workList,
                   const std::string& downloadFailure, const StoreContents& contents,
                   CheckedFiles& checked, WriteBackQueue& writeBack, ProgressMeter& meter,
                   TransferReport& report, std::vector<std::size_t>& stale) {
  const LocalBlobs& local = contents.local;
  const bool downloadFailed = !downloadFailure.empty();
  Progress& progress = meter.progress;
  progress.stepDone = 0;
  progress.stepTotal = 0;
  for (const FileRecord& record : workList) {
    progress.stepTotal += record.size < 0 ? 0 : static_cast<std::uint64_t>(record.size);
  }
  Buffers buffers;
  BlobUses uses = countBlobUses(workList);
  std::vector<ReadyPart> ready;
  for (std::size_t i = 0; i < workList.size(); ++i) {
    const FileRecord& record = workList[i];
    InPlaceFile* inPlace = contents.inPlace.forRecord(i);
    if (downloadFailed && !blobsThere(context.paths.blobStore, record, inPlace, local)) continue;
    const std::string target = joinPath(context.paths.content, record.path);
    const std::string part = target + ".part";
    const bool gameRunning = context.gameRunning && targetExists(target) && context.gameRunning();
    if (gameRunning) {
      report.filesDeferred += 1;
      countDone(progress, record);
      continue;
    }
    const FileJob job{context, record, target, part, local, writeBack};
    const bool soleBlob = record.chunks.size() == 1 && uses.at(record.chunks.front()) == 1 &&
                          local.blobs.count(record.chunks.front()) == 0;
    Built built = buildChecked(job, inPlace, soleBlob, buffers);
    if (built.stale) {
      // What the record said of that file no longer holds.
      checked.erase(built.staleSource);
      stale.push_back(i);
      continue;
    }
    report.status = std::move(built.status);
    if (!report.status) break;
    ready.push_back(ReadyPart{i, target, part, std::move(built.blobs)});
    dropUsedBlobs(job, contents.inPlace, inPlace != nullptr, uses);
    noteFileSystemOf(report.written, part);
    progress.filesDone += 1;
    countDone(progress, record);
    if ((i & 63) == 0 && !meter.report("Installing", record.path)) {
      report.status = Failure{messages::kCancelled};
      break;
    }
  }
  const Status placed = placeBuilt(context, workList, ready, checked, report);
  if (report.status && !placed) report.status = placed;
  if (report.status && downloadFailed) report.status = Failure{downloadFailure};
}

}  // namespace vantis::content
