// POSIX implementation of the range reader: O_DIRECT, switched on when the
// file is opened, in aligned blocks of which the wanted bytes are copied
// out; where the file system refuses it, plain reads.

#include "foundation/RangeReader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "foundation/DirectIo.h"

namespace vantis::content {

RangeReader::~RangeReader() {
  close();
  freeDirectBlock(block_);
}

bool RangeReader::open(const std::string& path) {
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  adopt(descriptor);
  return descriptor >= 0;
}

void RangeReader::adopt(int descriptor) {
  close();
  direct_ = false;
  descriptor_ = descriptor;
  if (descriptor < 0) return;
  if (!block_) block_ = allocateDirectBlock();
  // Refused by file systems without direct reads (EINVAL): then the cache.
  direct_ = block_ && setDirectIo(descriptor, true);
}

void RangeReader::close() {
  if (descriptor_ >= 0) ::close(descriptor_);
  descriptor_ = -1;
}

bool RangeReader::read(std::uint64_t offset, std::size_t length, char* out) {
  while (length > 0) {
    const std::int64_t count = readSome(offset, length, out);
    if (count <= 0) return false;
    offset += static_cast<std::uint64_t>(count);
    out += count;
    length -= static_cast<std::size_t>(count);
  }
  return true;
}

std::int64_t RangeReader::readSome(std::uint64_t offset, std::size_t capacity, char* out) {
  if (descriptor_ < 0) return -1;
  if (direct_) {
    const std::int64_t count = readDirect(offset, capacity, out);
    if (count >= 0 || errno != EINVAL) return count;
    // A file system that took the flag but not this read: the cache.
    direct_ = !setDirectIo(descriptor_, false);
    if (direct_) return -1;
  }
  for (;;) {
    const ssize_t count = ::pread(descriptor_, out, capacity, static_cast<off_t>(offset));
    if (count >= 0 || errno != EINTR) return count;
  }
}

// One aligned block read that covers the range's front, of which the
// wanted bytes are copied out.
std::int64_t RangeReader::readDirect(std::uint64_t offset, std::size_t capacity, char* out) {
  const std::uint64_t start = offset - offset % kDirectAlignment;
  const std::size_t skip = static_cast<std::size_t>(offset - start);
  const std::size_t rounded =
      (skip + capacity + kDirectAlignment - 1) / kDirectAlignment * kDirectAlignment;
  const std::size_t want = rounded < kDirectBlockBytes ? rounded : kDirectBlockBytes;
  for (;;) {
    const ssize_t count = ::pread(descriptor_, block_, want, static_cast<off_t>(start));
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return -1;
    if (static_cast<std::size_t>(count) <= skip) return 0;
    const std::size_t available = static_cast<std::size_t>(count) - skip;
    const std::size_t take = available < capacity ? available : capacity;
    std::memcpy(out, block_ + skip, take);
    return static_cast<std::int64_t>(take);
  }
}

}  // namespace vantis::content
