// POSIX implementation of the pieces the direct transfers share.

#include "foundation/DirectIo.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vantis::content {

namespace {

std::uint64_t alignUp(std::uint64_t offset) {
  return (offset + kDirectAlignment - 1) / kDirectAlignment * kDirectAlignment;
}

std::uint64_t alignDown(std::uint64_t offset) {
  return offset / kDirectAlignment * kDirectAlignment;
}

// Whole aligned blocks, through the block in steps of its size: direct
// transfers need aligned memory, and the caller's bytes lie anywhere.
bool writeDirect(int direct, char* block, std::uint64_t offset, const char* data,
                 std::size_t length, bool& refused) {
  while (length > 0) {
    const std::size_t step = length < kDirectBlockBytes ? length : kDirectBlockBytes;
    std::memcpy(block, data, step);
    if (!writeAllAt(direct, block, step, offset)) {
      refused = errno == EINVAL;
      return false;
    }
    offset += step;
    data += step;
    length -= step;
  }
  return true;
}

}  // namespace

char* allocateDirectBlock() {
  void* block = nullptr;
  if (::posix_memalign(&block, kDirectAlignment, kDirectBlockBytes) != 0) return nullptr;
  return static_cast<char*>(block);
}

void freeDirectBlock(char* block) { std::free(block); }

bool setDirectIo(int descriptor, bool on) {
  const int flags = ::fcntl(descriptor, F_GETFL);
  if (flags < 0) return false;
  const int wanted = on ? (flags | O_DIRECT) : (flags & ~O_DIRECT);
  return ::fcntl(descriptor, F_SETFL, wanted) == 0;
}

bool writeAllAt(int descriptor, const void* data, std::size_t length, std::uint64_t offset) {
  const char* next = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t count = ::pwrite(descriptor, next, length, static_cast<off_t>(offset));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    next += count;
    offset += static_cast<std::uint64_t>(count);
    length -= static_cast<std::size_t>(count);
  }
  return true;
}

bool writeSplitAt(int buffered, int direct, char* block, std::uint64_t offset,
                  const char* data, std::size_t length, bool& refused) {
  const std::uint64_t end = offset + length;
  const std::uint64_t first = alignUp(offset);
  const std::uint64_t last = alignDown(end);
  const bool anyWhole = direct >= 0 && block && first < last;
  if (!anyWhole) return writeAllAt(buffered, data, length, offset);
  const std::size_t head = static_cast<std::size_t>(first - offset);
  const std::size_t middle = static_cast<std::size_t>(last - first);
  const bool middleWritten = writeDirect(direct, block, first, data + head, middle, refused) ||
                             (refused && writeAllAt(buffered, data + head, middle, first));
  return middleWritten && writeAllAt(buffered, data, head, offset) &&
         writeAllAt(buffered, data + head + middle, static_cast<std::size_t>(end - last), last);
}

}  // namespace vantis::content
