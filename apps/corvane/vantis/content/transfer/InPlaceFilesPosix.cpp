// The system calls of the files assembled in place: opened without
// following links, written with pwrite so that workers filling different
// places of one file never share a file position.

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/TemporaryFile.h"
#include "transfer/InPlaceFiles.h"

namespace vantis::content {

namespace {

// A regular file with one name: a hard link planted in the store would
// otherwise carry the writes into a file elsewhere.
bool soleRegularFile(const struct stat& info) {
  return S_ISREG(info.st_mode) && info.st_nlink == 1;
}

bool sameFile(const struct stat& info, const InPlaceFile& file) {
  return soleRegularFile(info) && static_cast<std::uint64_t>(info.st_dev) == file.device &&
         static_cast<std::uint64_t>(info.st_ino) == file.inode;
}

}  // namespace

bool readAt(int descriptor, std::uint64_t offset, std::uint64_t length, std::vector<char>& out) {
  out.resize(static_cast<std::size_t>(length));
  std::size_t done = 0;
  while (done < out.size()) {
    const std::int64_t count =
        readSomeAt(descriptor, offset + done, out.data() + done, out.size() - done);
    if (count <= 0) return false;
    done += static_cast<std::size_t>(count);
  }
  return true;
}

std::int64_t readSomeAt(int descriptor, std::uint64_t offset, char* out, std::size_t capacity) {
  for (;;) {
    const ssize_t count = ::pread(descriptor, out, capacity, static_cast<off_t>(offset));
    if (count >= 0) return count;
    if (errno != EINTR) return -1;
  }
}

int openInPlaceForReading(const InPlaceFile& file, std::uint64_t& device, std::uint64_t& inode) {
  const int descriptor = ::open(file.path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (descriptor < 0) return -1;
  struct stat info;
  if (::fstat(descriptor, &info) != 0 || !soleRegularFile(info)) {
    ::close(descriptor);
    return -1;
  }
  device = static_cast<std::uint64_t>(info.st_dev);
  inode = static_cast<std::uint64_t>(info.st_ino);
  return descriptor;
}

int openInPlaceForWriting(const InPlaceFile& file, bool direct) {
  const int flags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC | (direct ? O_DIRECT : 0);
  const int descriptor = ::open(file.path.c_str(), flags);
  if (descriptor < 0) return -1;
  struct stat info;
  if (::fstat(descriptor, &info) != 0 || !sameFile(info, file)) {
    ::close(descriptor);
    return -1;
  }
  return descriptor;
}

bool createInPlace(InPlaceFile& file) {
  const int descriptor = createTemporaryFile(file.path);
  if (descriptor < 0) return false;
  struct stat info;
  const bool made = ::ftruncate(descriptor, static_cast<off_t>(file.size)) == 0 &&
                    ::fstat(descriptor, &info) == 0;
  if (made) {
    file.device = static_cast<std::uint64_t>(info.st_dev);
    file.inode = static_cast<std::uint64_t>(info.st_ino);
  }
  ::close(descriptor);
  return made;
}

bool resizeInPlace(const InPlaceFile& file) {
  const int descriptor = openInPlaceForWriting(file);
  if (descriptor < 0) return false;
  const bool resized = ::ftruncate(descriptor, static_cast<off_t>(file.size)) == 0;
  ::close(descriptor);
  return resized;
}

void closeFile(int descriptor) { ::close(descriptor); }

}  // namespace vantis::content
