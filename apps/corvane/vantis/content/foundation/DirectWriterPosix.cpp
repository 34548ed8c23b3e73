// POSIX implementation of the direct writer: O_DIRECT switched on after the
// file is created, whole aligned blocks written with pwrite, and the last
// part of a block that does not fill a whole sector written through the
// cache with O_DIRECT switched off again.

#include "foundation/DirectWriter.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "foundation/DirectIo.h"
#include "foundation/TemporaryFile.h"

namespace vantis::content {

DirectWriter::~DirectWriter() {
  if (descriptor_ >= 0) ::close(descriptor_);
  freeDirectBlock(block_);
}

bool DirectWriter::create(const std::string& path) {
  if (descriptor_ >= 0) finish();
  if (!block_) block_ = allocateDirectBlock();
  if (!block_) return false;
  descriptor_ = createTemporaryFile(path);
  if (descriptor_ < 0) return false;
  // Refused by file systems without direct writes (EINVAL): then the cache.
  direct_ = setDirectIo(descriptor_, true);
  failed_ = false;
  used_ = 0;
  offset_ = 0;
  return true;
}

bool DirectWriter::append(const void* data, std::size_t length) {
  if (descriptor_ < 0 || failed_) return false;
  const char* next = static_cast<const char*>(data);
  while (length > 0) {
    const std::size_t room = kDirectBlockBytes - used_;
    const std::size_t take = length < room ? length : room;
    std::memcpy(block_ + used_, next, take);
    used_ += take;
    next += take;
    length -= take;
    if (used_ == kDirectBlockBytes && !writeBlock(kDirectBlockBytes)) return false;
  }
  return true;
}

bool DirectWriter::finish() {
  if (descriptor_ < 0) return false;
  const std::size_t whole = used_ - used_ % kDirectAlignment;
  bool written = !failed_ && writeBlock(whole);
  // The tail is shorter than a sector: only the cache can take it.
  if (written && used_ > 0) {
    written = (!direct_ || setDirectIo(descriptor_, false)) && writeBuffered(block_, used_);
  }
  const bool closed = ::close(descriptor_) == 0;
  descriptor_ = -1;
  return written && closed;
}

// Writes the first `length` bytes of the block (a multiple of the
// alignment) at the block's place and keeps the rest at its front.
bool DirectWriter::writeBlock(std::size_t length) {
  if (length == 0) return true;
  bool written = false;
  if (direct_) {
    written = writeAllAt(descriptor_, block_, length, offset_);
    // A file system that accepted the flag but not this write: the cache.
    if (!written && errno == EINVAL && setDirectIo(descriptor_, false)) direct_ = false;
  }
  if (!written && !direct_) written = writeAllAt(descriptor_, block_, length, offset_);
  if (!written) {
    failed_ = true;
    return false;
  }
  offset_ += length;
  used_ -= length;
  std::memmove(block_, block_ + length, used_);
  return true;
}

bool DirectWriter::writeBuffered(const char* data, std::size_t length) {
  if (!writeAllAt(descriptor_, data, length, offset_)) {
    failed_ = true;
    return false;
  }
  offset_ += length;
  used_ = 0;
  return true;
}

}  // namespace vantis::content
