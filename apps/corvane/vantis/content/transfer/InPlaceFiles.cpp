// Choosing, preparing and filling the files assembled in place. The system
// calls are in InPlaceFilesPosix.cpp.

#include "transfer/InPlaceFiles.h"

#include "foundation/Crypto.h"
#include "foundation/DirectIo.h"
#include "foundation/FileSystem.h"
#include "protocol/SyncMessages.h"
#include "transfer/SyncTransfer.h"

namespace vantis::content {

namespace {

// The offsets and lengths of the record's blobs as the bundle index gives
// them; false when a blob is not there, or they do not make up the file.
bool layOut(const FileRecord& record, const BundleIndex& index, InPlaceFile& file) {
  std::uint64_t at = 0;
  for (const std::string& hash : record.chunks) {
    const auto location = index.blobs.find(hash);
    if (location == index.blobs.end() || location->second.length <= 0) return false;
    const std::uint64_t length = static_cast<std::uint64_t>(location->second.length);
    if (length > file.size - at) return false;
    file.offsets.push_back(at);
    file.lengths.push_back(length);
    at += length;
  }
  return at == file.size;
}

bool usesLocalBlob(const FileRecord& record, const std::map<std::string, LocalBlob>& local) {
  for (const std::string& hash : record.chunks) {
    if (local.count(hash) != 0) return true;
  }
  return false;
}

// Marks every blob that a stopped run left at its offset, checked against
// its digest: the file is only a cache, and anything may have happened to it.
void findPlaced(InPlaceFile& file, const std::vector<std::string>& blobs) {
  const int descriptor = openInPlaceForReading(file, file.device, file.inode);
  if (descriptor < 0) return;
  file.exists = true;
  std::vector<char> bytes;
  for (std::size_t i = 0; i < blobs.size(); ++i) {
    if (!readAt(descriptor, file.offsets[i], file.lengths[i], bytes)) break;
    if (!Sha256::equals(Sha256::of(bytes.data(), bytes.size()), blobs[i])) continue;
    file.placed[i] = true;
    --file.missing;
  }
  closeFile(descriptor);
}

std::unique_ptr<InPlaceFile> plannedFile(std::size_t index, const FileRecord& record,
                                         const std::string& blobStore) {
  auto file = std::make_unique<InPlaceFile>();
  file->record = index;
  file->path = inPlacePath(blobStore, record.sha256);
  file->size = static_cast<std::uint64_t>(record.size);
  return file;
}

// Places the blob at one place; false when the write failed.
bool writePlace(InPlaceFile& file, const std::uint8_t* data, std::size_t length,
                std::uint64_t offset, PlaceWriter& writer) {
  return writer.write(file, offset, data, length);
}

// From this length on a write goes straight to the disk. A direct write
// waits for the disk: blob by blob (16 KiB on average) a first install took
// half as long again, while runs of a bundle's blobs gain.
constexpr std::size_t kDirectFrom = 256 << 10;

// A file being filled is sent to the disk each time this much more of it
// has landed.
constexpr std::uint64_t kWriteBackStep = 8 << 20;

// The read-back goes in steps of this size, never the whole file at once.
// Small enough to come from the thread's heap and be reused there: a
// buffer of a MiB would be mapped fresh for every file and fault in page by
// page, which costs more than reading into it.
constexpr std::size_t kReadBackStep = 64 << 10;

// Where the running digest stands once finished: no place starts there, so
// a late second copy of a blob can no longer feed it.
constexpr std::uint64_t kDigestFinished = ~std::uint64_t(0);

// Feeds, from the disk, the blobs from `next` on that were marked placed
// without being fed (their worker stopped waiting for the digest), so that
// the digest does not stop at them and leave every blob after them to the
// read-back too. Call with `hashing` held.
void catchUp(InPlaceFile& file, std::size_t next) {
  int descriptor = -1;
  std::vector<char> bytes;
  for (; next < file.offsets.size(); ++next) {
    const bool waitingHere = file.placed[next] && file.hashedTo == file.offsets[next];
    if (!waitingHere) break;
    if (descriptor < 0) {
      std::uint64_t device = 0, inode = 0;
      descriptor = openInPlaceForReading(file, device, inode);
      const bool sameFile = descriptor >= 0 && device == file.device && inode == file.inode;
      if (!sameFile) break;
    }
    if (!readAt(descriptor, file.offsets[next], file.lengths[next], bytes)) break;
    file.running.update(bytes.data(), bytes.size());
    file.hashedTo += file.lengths[next];
  }
  if (descriptor >= 0) closeFile(descriptor);
}

// Feeds the blob just written at `position` to the running digest when it
// starts where the digest stands: its bytes are in memory now, and reading
// them back later would cost a read as well as the digest. False for a
// place further on, which its worker may hold until the digest reaches it
// (`DigestFeeder`) or leave to the read-back.
bool feedDigest(InPlaceFile& file, std::size_t position, const std::uint8_t* data) {
  const std::lock_guard<std::mutex> lock(file.hashing);
  if (file.hashedTo != file.offsets[position]) return false;
  file.running.update(data, file.lengths[position]);
  file.hashedTo += file.lengths[position];
  catchUp(file, position + 1);
  return true;
}

// Feeds the open file to the running digest from where it stands to the
// file's end; false when a read fails.
bool hashToEnd(InPlaceFile& file, int descriptor) {
  const std::unique_ptr<char[]> buffer(new char[kReadBackStep]);  // never zeroed: read into
  for (;;) {
    const std::int64_t count = readSomeAt(descriptor, file.hashedTo, buffer.get(), kReadBackStep);
    if (count <= 0) return count == 0;
    file.running.update(buffer.get(), static_cast<std::size_t>(count));
    file.hashedTo += static_cast<std::uint64_t>(count);
  }
}

// Hashes what the running digest has not seen, to the file's end as a
// whole-file read would: a file grown past its length is then caught by its
// size. Only the file the blobs were written into counts. A digest fed to
// the end reads nothing: the file was given its length before the workers
// started, and they write only inside it.
bool readBackRest(InPlaceFile& file) {
  if (file.hashedTo == file.size) return true;
  std::uint64_t device = 0, inode = 0;
  const int descriptor = openInPlaceForReading(file, device, inode);
  if (descriptor < 0) return false;
  const bool sameFile = device == file.device && inode == file.inode;
  const bool read = sameFile && hashToEnd(file, descriptor);
  closeFile(descriptor);
  return read;
}

// Sets the file's digest and size once its last blob has landed. A worker
// placing another copy of a blob may still take the lock, but only to find
// the digest finished.
void finishDigest(InPlaceFile& file) {
  const std::lock_guard<std::mutex> lock(file.hashing);
  const bool read = readBackRest(file);
  file.digestSize = file.hashedTo;
  file.digest = read ? file.running.hex() : std::string();
  file.hashedTo = kDigestFinished;
}

// Notes the place filled. Once the file is whole its digest is finished
// here, beside the downloads still running, rather than by the assembly
// after them all; then it goes to the disk.
void markPlaced(InPlaceFile& file, std::size_t position, WriteBackQueue& writeBack) {
  if (file.placed[position].exchange(true)) return;
  const bool whole = file.missing.fetch_sub(1) == 1;
  if (whole) {
    finishDigest(file);
    writeBack.add(file.path);
    return;
  }
  const std::uint64_t length = file.lengths[position];
  // Two workers may both pass a step and both send the file: harmless.
  if (file.unsent.fetch_add(length) + length < kWriteBackStep) return;
  file.unsent = 0;
  writeBack.add(file.path);
}

using Place = std::pair<std::size_t, std::size_t>;  // `files` index, blob position

const Place* onlyPlace(const InPlaceFiles& files, const std::string& hash) {
  const auto found = files.places.find(hash);
  if (found == files.places.end() || found->second.size() != 1) return nullptr;
  return &found->second.front();
}

// How many blobs from `first` on follow each other both in the body and in
// one file, each with that one place: at least one.
std::size_t blobsInStep(const InPlaceFiles& files, const std::vector<BodyBlob>& run,
                        std::size_t first) {
  const Place* head = onlyPlace(files, *run[first].hash);
  if (!head) return 1;
  std::size_t count = 1;
  for (std::size_t i = first + 1; i < run.size(); ++i, ++count) {
    const Place* next = onlyPlace(files, *run[i].hash);
    const bool follows = next && next->first == head->first &&
                         next->second == head->second + count &&
                         run[i].data == run[i - 1].data + run[i - 1].length;
    if (!follows) break;
  }
  return count;
}

// Writes `count` blobs from `first` on, found to follow each other in the
// file, with one call, and notes each placed as `placeBlob` does.
Status placeInStep(const InPlaceFiles& files, const std::vector<BodyBlob>& run,
                   std::size_t first, std::size_t count, const std::string& cache,
                   WriteBackQueue& writeBack, PlaceWriter& writer, DigestFeeder* feeder) {
  const Place& head = *onlyPlace(files, *run[first].hash);
  InPlaceFile& file = *files.files[head.first];
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (file.lengths[head.second + i] != run[first + i].length) {
      return Failure{messages::kDownloadCorrupt};
    }
    bytes += run[first + i].length;
  }
  // A blob placed already is written again with the same checked bytes.
  if (!writePlace(file, run[first].data, bytes, file.offsets[head.second], writer)) {
    return Failure{messages::cacheNotWritable(cache)};
  }
  bool fedAny = false;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t position = head.second + i;
    if (file.placed[position]) continue;
    const bool fed = feedDigest(file, position, run[first + i].data);
    fedAny = fedAny || fed;
    if (!fed && feeder) {
      feeder->held.push_back(HeldBlob{&file, position, run[first + i].data});
      continue;
    }
    markPlaced(file, position, writeBack);
  }
  if (fedAny && feeder) feeder->announce();
  return {};
}

}  // namespace

InPlaceFile* InPlaceFiles::forRecord(std::size_t index) const {
  const auto found = byRecord.find(index);
  return found == byRecord.end() ? nullptr : files[found->second].get();
}

bool InPlaceFiles::complete(const std::string& hash) const {
  const auto found = places.find(hash);
  if (found == places.end() || alsoStored.count(hash) != 0) return false;
  for (const auto& [index, position] : found->second) {
    if (!files[index]->placed[position]) return false;
  }
  return true;
}

bool InPlaceFiles::storeToo(const std::string& hash) const {
  return places.count(hash) == 0 || alsoStored.count(hash) != 0;
}

std::string inPlaceFolder(const std::string& blobStore) { return joinPath(blobStore, "files"); }

std::string inPlacePath(const std::string& blobStore, const std::string& sha256) {
  return joinPath(inPlaceFolder(blobStore), sha256);
}

InPlaceFiles chooseInPlaceFiles(const std::string& blobStore,
                                const std::vector<FileRecord>& workList, const BundleIndex& index,
                                const std::map<std::string, LocalBlob>& local) {
  InPlaceFiles chosen;
  chosen.folder = inPlaceFolder(blobStore);
  // What a stopped run left, listed once: on a first install there is
  // nothing, and opening each file to find so would cost a call apiece.
  const std::set<std::string> left = namesIn(chosen.folder);
  chosen.places.reserve(blobsNamed(workList));
  std::unordered_set<std::string> contents;
  for (std::size_t i = 0; i < workList.size(); ++i) {
    const FileRecord& record = workList[i];
    // A file's name in the store is its digest, so it must be one.
    const bool candidate = !record.chunks.empty() && record.size > 0 &&
                           isLowerHexDigest(record.sha256) && !usesLocalBlob(record, local) &&
                           contents.count(record.sha256) == 0;
    std::unique_ptr<InPlaceFile> file;
    if (candidate) file = plannedFile(i, record, blobStore);
    if (!file || !layOut(record, index, *file)) {
      for (const std::string& hash : record.chunks) chosen.alsoStored.insert(hash);
      continue;
    }
    contents.insert(record.sha256);
    file->placed = std::make_unique<std::atomic<bool>[]>(record.chunks.size());
    file->missing = record.chunks.size();
    if (left.count(record.sha256) != 0) findPlaced(*file, record.chunks);
    chosen.anyLeft = chosen.anyLeft || file->missing != record.chunks.size();
    const std::size_t at = chosen.files.size();
    for (std::size_t b = 0; b < record.chunks.size(); ++b) {
      chosen.places[record.chunks[b]].push_back({at, b});
    }
    chosen.byRecord[i] = at;
    chosen.files.push_back(std::move(file));
  }
  return chosen;
}

Status makeInPlaceFiles(InPlaceFiles& files, const std::string& cache) {
  for (const auto& file : files.files) {
    file->made = file->exists && resizeInPlace(*file);
    if (file->made) continue;
    // Not there, or no longer what was read: nothing in it counts.
    for (std::size_t i = 0; i < file->offsets.size(); ++i) file->placed[i] = false;
    file->missing = file->offsets.size();
  }
  if (files.files.empty()) return {};
  // The files themselves are made by the workers as their blobs land: on a
  // first install, hundreds of files made one after another here held back
  // the first download. Their folder is made now, so that a store that
  // cannot take a file still stops the run before anything is fetched.
  makeDirectories(files.folder);
  if (!folderExists(files.folder)) return Failure{messages::cacheNotWritable(cache)};
  return {};
}

bool ensureInPlace(InPlaceFile& file) {
  if (file.made.load(std::memory_order_acquire)) return true;
  const std::lock_guard<std::mutex> lock(file.making);
  if (file.made.load(std::memory_order_relaxed)) return true;
  if (!createInPlace(file)) return false;
  file.made.store(true, std::memory_order_release);
  return true;
}

PlaceWriter::~PlaceWriter() {
  if (descriptor_ >= 0) closeFile(descriptor_);
  if (direct_ >= 0) closeFile(direct_);
  freeDirectBlock(block_);
}

bool PlaceWriter::open(InPlaceFile& file) {
  if (file_ == &file && descriptor_ >= 0) return true;
  if (descriptor_ >= 0) closeFile(descriptor_);
  if (direct_ >= 0) closeFile(direct_);
  file_ = &file;
  direct_ = -1;
  descriptor_ = ensureInPlace(file) ? openInPlaceForWriting(file) : -1;
  return descriptor_ >= 0;
}

// The open file's direct descriptor, opened on first need; -1 where the
// file system (or the memory for the block) is not to be had.
int PlaceWriter::directFor(InPlaceFile& file) {
  if (direct_ >= 0 || directRefused_) return direct_;
  if (!block_) block_ = allocateDirectBlock();
  direct_ = block_ ? openInPlaceForWriting(file, true) : -1;
  directRefused_ = direct_ < 0;
  return direct_;
}

bool PlaceWriter::write(InPlaceFile& file, std::uint64_t offset, const void* data,
                        std::size_t length) {
  if (!open(file)) return false;
  const int direct = length >= kDirectFrom ? directFor(file) : -1;
  bool refused = false;
  const bool written = writeSplitAt(descriptor_, direct, block_, offset,
                                    static_cast<const char*>(data), length, refused);
  if (refused) {
    closeFile(direct_);
    direct_ = -1;
    directRefused_ = true;
  }
  return written;
}

Status placeBlob(const InPlaceFiles& files, const std::string& hash, const std::uint8_t* data,
                 std::size_t length, const std::string& cache, WriteBackQueue& writeBack,
                 PlaceWriter& writer) {
  const auto found = files.places.find(hash);
  if (found == files.places.end()) return {};
  for (const auto& [index, position] : found->second) {
    InPlaceFile& file = *files.files[index];
    if (file.placed[position]) continue;
    if (file.lengths[position] != length) return Failure{messages::kDownloadCorrupt};
    if (!writePlace(file, data, length, file.offsets[position], writer)) {
      return Failure{messages::cacheNotWritable(cache)};
    }
    // Fed before `missing` drops: whoever sees it reach zero then knows that
    // every blob fed from memory is in the digest and no one feeds it still.
    feedDigest(file, position, data);
    markPlaced(file, position, writeBack);
  }
  return {};
}

Status placeBlobRun(const InPlaceFiles& files, const std::vector<BodyBlob>& run,
                    const std::string& cache, WriteBackQueue& writeBack, PlaceWriter& writer,
                    DigestFeeder* feeder) {
  for (std::size_t first = 0; first < run.size();) {
    const bool onePlace = onlyPlace(files, *run[first].hash) != nullptr;
    const std::size_t count = blobsInStep(files, run, first);
    const Status placed =
        onePlace ? placeInStep(files, run, first, count, cache, writeBack, writer, feeder)
                 : placeBlob(files, *run[first].hash, run[first].data, run[first].length,
                             cache, writeBack, writer);
    if (!placed) return placed;
    first += count;
  }
  return {};
}

void stopDigestWaits(DigestWaits& waits) {
  {
    const std::lock_guard<std::mutex> lock(waits.mutex);
    waits.stopped = true;
  }
  waits.advanced.notify_all();
}

DigestFeeder::DigestFeeder(DigestWaits& waits) : waits_(waits) {
  const std::lock_guard<std::mutex> lock(waits_.mutex);
  waits_.placing += 1;
}

DigestFeeder::~DigestFeeder() {
  {
    const std::lock_guard<std::mutex> lock(waits_.mutex);
    waits_.placing -= 1;
  }
  // One fewer worker may bring the bytes a waiting one needs.
  waits_.advanced.notify_all();
}

void DigestFeeder::announce() {
  {
    const std::lock_guard<std::mutex> lock(waits_.mutex);
    waits_.feeds += 1;
  }
  waits_.advanced.notify_all();
}

// Feeds the held blobs whose digests stand where they start, in body
// order, so that blobs that follow one another go in one pass. True when
// any was fed.
bool DigestFeeder::feedReady(WriteBackQueue& writeBack) {
  std::size_t kept = 0;
  for (const HeldBlob& blob : held) {
    if (!feedDigest(*blob.file, blob.position, blob.data)) {
      held[kept++] = blob;
      continue;
    }
    markPlaced(*blob.file, blob.position, writeBack);
  }
  const bool fedAny = kept != held.size();
  held.resize(kept);
  return fedAny;
}

// Waits until some digest goes forward after `seen`; false when the wait
// is not worth it: every other worker placing is waiting too (nobody may
// bring the missing bytes), or the deadline passed. Never more than half
// the workers wait: on a slow link the others keep its connections busy.
bool DigestFeeder::awaitFeed(std::uint64_t& seen, std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(waits_.mutex);
  if (waits_.feeds != seen) {
    seen = waits_.feeds;
    return true;
  }
  const bool tooMany = (waits_.waiting + 1) * 2 > waits_.placing;
  if (tooMany || waits_.stopped) return false;
  waits_.waiting += 1;
  const auto movedOrHopeless = [this, &seen] {
    return waits_.feeds != seen || waits_.waiting >= waits_.placing || waits_.stopped;
  };
  waits_.advanced.wait_until(lock, deadline, movedOrHopeless);
  waits_.waiting -= 1;
  const bool moved = waits_.feeds != seen;
  seen = waits_.feeds;
  return moved;
}

void DigestFeeder::feedHeld(WriteBackQueue& writeBack, bool wait) {
  // Long enough for the bodies in flight beside this one to land on a busy
  // computer; short enough that a slow link loses little of its
  // parallelism to a worker holding one.
  constexpr std::chrono::seconds kHoldLimit{1};
  const auto deadline = std::chrono::steady_clock::now() + kHoldLimit;
  std::uint64_t seen = 0;
  {
    const std::lock_guard<std::mutex> lock(waits_.mutex);
    seen = waits_.feeds;
  }
  while (!held.empty()) {
    if (feedReady(writeBack)) announce();
    if (held.empty() || !wait || !awaitFeed(seen, deadline)) break;
  }
  // Whatever is still held is read back from the disk, by whoever feeds
  // the digest up to it or once its file is whole. Marked first and then
  // offered once more: a digest that reached it in between is fed here.
  for (const HeldBlob& blob : held) {
    markPlaced(*blob.file, blob.position, writeBack);
    feedDigest(*blob.file, blob.position, blob.data);
  }
  held.clear();
}

bool inPlaceReady(const InPlaceFile& file, const std::vector<std::string>& blobs,
                  const std::string& blobStore) {
  for (std::size_t i = 0; i < blobs.size(); ++i) {
    std::uint64_t size = 0;
    if (!file.placed[i] && !fileSize(blobPath(blobStore, blobs[i]), size)) return false;
  }
  return true;
}

bool fillFromStore(InPlaceFile& file, const std::vector<std::string>& blobs,
                   const std::string& blobStore) {
  std::string bytes;
  PlaceWriter writer;
  for (std::size_t i = 0; i < blobs.size(); ++i) {
    if (file.placed[i]) continue;
    const bool filled = readWholeFile(blobPath(blobStore, blobs[i]), bytes) &&
                        bytes.size() == file.lengths[i] &&
                        writePlace(file, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                   bytes.size(), file.offsets[i], writer);
    if (!filled) return false;
    file.placed[i] = true;
  }
  return true;
}

}  // namespace vantis::content
