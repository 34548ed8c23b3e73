// POSIX and C stdio implementation of the file helpers. Reads and writes go
// in 64 KiB steps so that no content file is ever held whole in memory.

#include "foundation/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <future>
#include <system_error>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "foundation/Crypto.h"
#include "foundation/DirectWriter.h"
#include "foundation/TemporaryFile.h"

namespace vantis::content {

namespace {

constexpr std::size_t kChunkBytes = 65536;

// fclose() flushes the stream: a full disk often shows only there, so a
// failed close is a failed write.
bool closeWritten(std::FILE* file) { return std::fclose(file) == 0; }

constexpr std::uint64_t kNoLimit = UINT64_MAX;
// From this size on, a block is hashed on a second thread while it is being
// written: both take about as long, and a large file's copy then costs one
// of them instead of both.
constexpr std::size_t kHashAsideBytes = 512 * 1024;

bool writeAll(const char* data, std::size_t length, std::FILE* out) {
  return std::fwrite(data, 1, length, out) == length;
}

// Feeds one block to `digest` and writes it to `out` (when given).
bool hashAndWrite(const char* data, std::size_t length, Sha256& digest, std::FILE* out) {
  if (!out) {
    digest.update(data, length);
    return true;
  }
  if (length < kHashAsideBytes) {
    digest.update(data, length);
    return writeAll(data, length, out);
  }
  std::future<void> hashed;
  try {
    hashed = std::async(std::launch::async, [&] { digest.update(data, length); });
  } catch (const std::system_error&) {
    // No thread to be had: hash here, as small blocks are.
    digest.update(data, length);
    return writeAll(data, length, out);
  }
  const bool written = writeAll(data, length, out);
  // Waited for whatever the write did: the block must not be reused, nor
  // the digest read, while the other thread still hashes it.
  hashed.get();
  return written;
}

// Moves up to `limit` bytes from `in` through `buffer` into `digest`, and
// into `out` as well when one is given, adding the count to `moved`. The one
// read-hash(-write) loop of the helpers. False on a read error (which must
// not pass for the end of the file) or a short write.
bool pumpHashing(std::FILE* in, std::uint64_t limit, std::FILE* out, Sha256& digest,
                 std::uint64_t& moved, std::vector<char>& buffer) {
  for (std::uint64_t left = limit; left != 0;) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), left));
    const std::size_t got = std::fread(buffer.data(), 1, want, in);
    if (got == 0) break;
    if (!hashAndWrite(buffer.data(), got, digest, out)) return false;
    moved += got;
    left -= got;
  }
  return std::ferror(in) == 0;
}

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Flushes a folder's entries: the names created, renamed and removed in it.
bool syncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

bool writeNewFile(const std::string& path, const void* data, std::size_t length, bool flush) {
  makeParentDirectories(path);
  const int fd = createTemporaryFile(path);
  if (fd < 0) return false;
  // One write for the whole buffer: a blob is then on disk whole or not at
  // all after a power cut, never with a hole where an earlier piece was lost.
  const bool written = writeAllBytes(fd, data, length) && (!flush || ::fdatasync(fd) == 0);
  // A failed close can be the first sign of a full disk.
  const bool closed = ::close(fd) == 0;
  return written && closed;
}

bool replaceThroughPart(const std::string& path, const std::string& data, bool flush) {
  // Write "<path>.part" and rename: a cut-off write must never replace the
  // record that is still whole.
  const std::string part = path + ".part";
  if (!writeNewFile(part, data.data(), data.size(), flush)) {
    ::unlink(part.c_str());
    return false;
  }
  if (::rename(part.c_str(), path.c_str()) != 0) {
    ::unlink(part.c_str());
    return false;
  }
  return !flush || syncFolder(folderOf(path));
}

}  // namespace

std::string joinPath(const std::string& base, const std::string& relative) {
  if (base.empty()) return relative;
  if (relative.empty()) return base;
  std::string joined = base;
  const char last = base.back();
  if (last != '/' && last != '\\') joined += '/';
  joined += relative;
  for (char& c : joined) {
    if (c == '\\') c = '/';
  }
  return joined;
}

void makeDirectories(const std::string& path) {
  // Every blob and every installed file asks for its folder, which nearly
  // always exists: one lock-free stat answers that. A mkdir of each level
  // instead costs a dozen calls per file, each taking its parent's lock, for
  // which six download workers storing into the same folders queue up.
  struct stat info;
  if (path.empty() || (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))) return;
  if (::mkdir(path.c_str(), 0755) == 0 || errno != ENOENT) return;
  // A missing parent: create the chain from the top (at most one call per
  // level, as deep as the path goes), then this level.
  const std::size_t slash = path.find_last_of('/', path.size() - 2);
  if (slash == std::string::npos || slash == 0) return;
  makeDirectories(path.substr(0, slash));
  ::mkdir(path.c_str(), 0755);
}

void makeParentDirectories(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return;
  makeDirectories(path.substr(0, slash));
}

bool writeWholeFile(const std::string& path, const void* data, std::size_t length) {
  return writeNewFile(path, data, length, false);
}

bool replaceWholeFile(const std::string& path, const std::string& data) {
  return replaceThroughPart(path, data, false);
}

bool replaceWholeFileDurably(const std::string& path, const std::string& data) {
  return replaceThroughPart(path, data, true);
}

void startWriteBack(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
  ::close(fd);
}

void flushFileSystemEarly(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  ::syncfs(fd);
  ::close(fd);
}

void noteFileSystemOf(FileSystems& written, const std::string& path) {
  const std::string folder = folderOf(path);
  if (folder == written.lastFolder) return;
  written.lastFolder = folder;
  struct stat info;
  if (::stat(folder.c_str(), &info) != 0) return;
  written.folderByDevice.emplace(static_cast<std::uint64_t>(info.st_dev), folder);
}

void noteFileSystems(FileSystems& written, const FileSystems& more) {
  for (const auto& [device, folder] : more.folderByDevice) written.folderByDevice.emplace(device, folder);
}

bool syncFileSystems(const FileSystems& written) {
  bool synced = true;
  for (const auto& [device, folder] : written.folderByDevice) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // A folder gone since it was noted leaves its file system unflushed.
    synced = fd >= 0 && ::syncfs(fd) == 0 && synced;
    if (fd >= 0) ::close(fd);
  }
  return synced;
}

bool flushFileData(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  const bool flushed = ::fdatasync(fd) == 0;
  ::close(fd);
  return flushed;
}

bool readWholeFile(const std::string& path, std::string& out) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  // Read into room sized once from the file's length: growing the string as
  // the bytes come copies a record of megabytes several times over and
  // touches every fresh page twice. The length only guides; a file that
  // grows meanwhile is still read to its end.
  struct stat info;
  const bool sized = ::fstat(::fileno(file), &info) == 0 && info.st_size > 0;
  std::size_t room = sized ? static_cast<std::size_t>(info.st_size) + 1 : kChunkBytes;
  out.clear();
  for (;;) {
    const std::size_t had = out.size();
    out.resize(had + room);
    const std::size_t got = std::fread(&out[had], 1, room, file);
    out.resize(had + got);
    if (got < room) break;
    room = kChunkBytes;
  }
  std::fclose(file);
  return true;
}

bool readFileFront(const std::string& path, std::size_t limit, std::string& out) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  std::string front(limit, '\0');
  front.resize(std::fread(&front[0], 1, limit, file));
  const bool read = std::ferror(file) == 0;
  std::fclose(file);
  if (read) out = std::move(front);
  return read;
}

// Well under the usual limit of 1,024 descriptors, which the workers'
// connections and the files being written share.
constexpr std::size_t kMostHeld = 256;

void ReplacedCopies::hold(const std::string& path) {
  if (held_.size() >= kMostHeld) return;
  // O_PATH: neither read nor execute permission is needed, and a fifo put
  // there cannot block the open.
  const int descriptor = ::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (descriptor >= 0) held_.push_back(descriptor);
}

void ReplacedCopies::release() {
  if (releasing_.joinable()) releasing_.join();
  if (held_.empty()) return;
  std::vector<int> closing;
  closing.swap(held_);
  auto closeAll = [closing = std::move(closing)] {
    for (const int descriptor : closing) ::close(descriptor);
  };
  try {
    releasing_ = std::thread(closeAll);
  } catch (const std::system_error&) {
    closeAll();  // no thread to be had: freed here
  }
}

ReplacedCopies::~ReplacedCopies() {
  release();
  if (releasing_.joinable()) releasing_.join();
}

bool folderExists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool entryExists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

bool fileSize(const std::string& path, std::uint64_t& size) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return false;
  if (S_ISDIR(info.st_mode)) return false;
  size = static_cast<std::uint64_t>(info.st_size);
  return true;
}

bool operator==(const FileIdentity& a, const FileIdentity& b) {
  return a.size == b.size && a.inode == b.inode && a.modifiedNs == b.modifiedNs &&
         a.changedNs == b.changedNs;
}

namespace {

bool identityOf(const struct stat& info, FileIdentity& identity) {
  if (!S_ISREG(info.st_mode)) return false;
  constexpr std::int64_t kNsPerSecond = 1000000000;
  identity.size = static_cast<std::uint64_t>(info.st_size);
  identity.inode = static_cast<std::uint64_t>(info.st_ino);
  identity.modifiedNs = info.st_mtim.tv_sec * kNsPerSecond + info.st_mtim.tv_nsec;
  identity.changedNs = info.st_ctim.tv_sec * kNsPerSecond + info.st_ctim.tv_nsec;
  return true;
}

}  // namespace

bool fileIdentity(const std::string& path, FileIdentity& identity) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && identityOf(info, identity);
}

bool openFileIdentity(int descriptor, FileIdentity& identity) {
  struct stat info;
  return ::fstat(descriptor, &info) == 0 && identityOf(info, identity);
}

void removeDirectoryTree(const std::string& path) {
  // Opened without following, at every level: a link in the tree's place
  // (the player's, say, to keep the blob store on another disk) is removed
  // like any link inside the tree and never entered, so the folder it points
  // at keeps its files.
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    struct stat info;
    if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) ::unlink(path.c_str());
    return;
  }
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    ::close(fd);
    return;
  }
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string child = joinPath(path, name);
    struct stat info;
    // lstat: a link to a folder outside the tree is removed, never entered.
    if (::lstat(child.c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      removeDirectoryTree(child);
    } else {
      ::unlink(child.c_str());
    }
  }
  ::closedir(dir);
  ::rmdir(path.c_str());
}

std::set<std::string> namesIn(const std::string& folder) {
  std::set<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.insert(name);
  }
  ::closedir(dir);
  return names;
}

void removeFilesExcept(const std::string& folder, const std::set<std::string>& keep) {
  for (const std::string& name : namesIn(folder)) {
    if (keep.count(name) != 0) continue;
    const std::string child = joinPath(folder, name);
    struct stat info;
    if (::lstat(child.c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) ::unlink(child.c_str());
  }
}

namespace {

// Hashes the stream to its end and closes it.
bool hashStream(std::FILE* file, std::uint64_t& size, std::string& hex) {
  Sha256 digest;
  std::vector<char> buffer(kChunkBytes);
  const bool read = pumpHashing(file, kNoLimit, nullptr, digest, size, buffer);
  std::fclose(file);
  if (!read) return false;
  hex = digest.hex();
  return true;
}

}  // namespace

bool hashFileSha256(const std::string& path, std::uint64_t& size, std::string& hex) {
  size = 0;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  return file && hashStream(file, size, hex);
}

bool hashOpenFileSha256(int descriptor, std::uint64_t& size, std::string& hex) {
  size = 0;
  // A stream of its own over a second descriptor, so that closing the
  // stream leaves the caller's open.
  const int own = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return false;
  std::FILE* file = ::fdopen(own, "rb");
  if (!file) ::close(own);
  return file && hashStream(file, size, hex);
}

bool hashFileBlobs(const std::string& path, std::uint64_t blobBytes, std::uint64_t limit,
                    const BlobDigest& onBlob, std::vector<char>& buffer) {
  if (blobBytes == 0) return false;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  bool whole = true;
  for (std::uint64_t done = 0; whole && done < limit;) {
    Sha256 digest;
    std::uint64_t got = 0;
    const std::uint64_t want = std::min(blobBytes, limit - done);
    whole = pumpHashing(file, want, nullptr, digest, got, buffer);
    if (!whole || got == 0) break;
    whole = onBlob(digest.hex(), got);
    // A short blob is the file's last.
    if (got < want) break;
    done += got;
  }
  std::fclose(file);
  return whole;
}

bool appendFileHashing(const std::string& source, std::FILE* out, Sha256& digest,
                       std::uint64_t& written, std::vector<char>& buffer) {
  std::FILE* in = std::fopen(source.c_str(), "rb");
  if (!in) return false;
  const bool copied = pumpHashing(in, kNoLimit, out, digest, written, buffer);
  std::fclose(in);
  return copied;
}

bool appendFileHashing(const std::string& source, DirectWriter& out, Sha256& digest,
                       std::uint64_t& written, std::vector<char>& buffer) {
  std::FILE* in = std::fopen(source.c_str(), "rb");
  if (!in) return false;
  bool copied = true;
  for (;;) {
    const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), in);
    if (got == 0) break;
    digest.update(buffer.data(), got);
    copied = out.append(buffer.data(), got);
    if (!copied) break;
    written += got;
  }
  copied = copied && std::ferror(in) == 0;
  std::fclose(in);
  return copied;
}

bool appendFileRangeHashing(const std::string& source, std::uint64_t offset, std::uint64_t length,
                            std::FILE* out, Sha256& digest, std::uint64_t& written,
                            std::vector<char>& buffer) {
  std::FILE* in = std::fopen(source.c_str(), "rb");
  if (!in) return false;
  std::uint64_t moved = 0;
  const bool placed = offset <= static_cast<std::uint64_t>(INT64_MAX) &&
                      ::fseeko(in, static_cast<off_t>(offset), SEEK_SET) == 0;
  const bool copied = placed && pumpHashing(in, length, out, digest, moved, buffer);
  std::fclose(in);
  written += moved;
  // A file that has shrunk since it was looked at ends before the range does.
  return copied && moved == length;
}

bool appendBytesHashing(const char* data, std::size_t length, std::FILE* out, Sha256& digest,
                        std::uint64_t& written) {
  if (!hashAndWrite(data, length, digest, out)) return false;
  written += length;
  return true;
}

bool copyFileHashing(const std::string& source, const std::string& destination,
                     std::uint64_t& size, std::string& hex) {
  size = 0;
  // The destination is created only once the source is known to open.
  std::FILE* probe = std::fopen(source.c_str(), "rb");
  if (!probe) return false;
  std::fclose(probe);
  std::FILE* out = openTemporaryStream(destination);
  if (!out) return false;
  Sha256 digest;
  std::vector<char> buffer(kChunkBytes);
  const bool copied = appendFileHashing(source, out, digest, size, buffer);
  const bool closed = closeWritten(out);
  hex = digest.hex();
  return copied && closed;
}

}  // namespace vantis::content
