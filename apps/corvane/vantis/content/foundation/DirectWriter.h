// Writing a new file front to back straight to the disk, past the page
// cache, where the file system allows it: for the large files the
// synchroniser assembles, whose every byte would otherwise first be copied
// into freshly allocated cache pages (on a virtual machine that hands freed
// memory back to its host, the dearest part of writing a file) and then
// written out by the flush before the renames.
//
// One writer per thread, reused file after file so that its block is
// allocated once. Where the file system refuses direct writes, it writes
// through the cache as any file does. Not here: checking what is written
// (the caller's digest), the rename, and the flush that makes the file's
// size and blocks durable (syncfs covers both ways of writing).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vantis::content {

class DirectWriter {
 public:
  DirectWriter() = default;
  ~DirectWriter();
  DirectWriter(const DirectWriter&) = delete;
  DirectWriter& operator=(const DirectWriter&) = delete;

  // Creates `path` as `createTemporaryFile` does and starts writing it at
  // its first byte. A file still open is closed first, as by `finish`.
  // False when the file cannot be created or the block not allocated.
  bool create(const std::string& path);

  // Appends `length` bytes. False when a write failed: the file is then
  // short and only fit for removal.
  bool append(const void* data, std::size_t length);

  // Writes what is left and closes the file. False when any write since
  // `create` or the close failed.
  bool finish();

  // Whether the bytes went past the page cache: then nothing is left for a
  // write-back to send ahead of the flush.
  bool direct() const { return direct_; }

 private:
  bool writeBlock(std::size_t length);
  bool writeBuffered(const char* data, std::size_t length);

  int descriptor_ = -1;
  bool direct_ = false;
  bool failed_ = false;
  char* block_ = nullptr;  // aligned as direct writes need, kBlockBytes long
  std::size_t used_ = 0;   // bytes of `block_` not yet written
  std::uint64_t offset_ = 0;  // where `block_` goes in the file
};

}  // namespace vantis::content
