// Choosing, preparing and filling the files assembled in place. The system
// calls are in InPlaceFilesPosix.cpp.

#include "transfer/InPlaceFiles.h"

#include "foundation/Crypto.h"
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
  const int descriptor = writer.descriptorFor(file);
  return descriptor >= 0 && writeAt(descriptor, offset, data, length);
}

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

// Feeds the blob just written at `position` to the running digest when it
// starts where the digest stands: its bytes are in memory now, and reading
// them back later would hash them a second time. A place further on is left
// to the read-back rather than kept waiting for the gap before it to fill.
void feedDigest(InPlaceFile& file, std::size_t position, const std::uint8_t* data) {
  const std::lock_guard<std::mutex> lock(file.hashing);
  if (file.hashedTo != file.offsets[position]) return;
  file.running.update(data, file.lengths[position]);
  file.hashedTo += file.lengths[position];
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
}

int PlaceWriter::descriptorFor(InPlaceFile& file) {
  if (file_ == &file && descriptor_ >= 0) return descriptor_;
  if (descriptor_ >= 0) closeFile(descriptor_);
  file_ = &file;
  descriptor_ = ensureInPlace(file) ? openInPlaceForWriting(file) : -1;
  return descriptor_;
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
