// Reading ranges of installed files straight from the disk, past the page
// cache. Their bytes are read once, checked and written into another file;
// through the cache, each 4 KiB would first take a cache page (on a virtual
// machine that hands idle memory back to its host, a page fault on the host
// too, several times what the disk takes) and push out pages the game may
// want. A file the cache holds dirty is written back by the kernel first,
// so what is read is always the file's content.
//
// One reader per thread; it keeps one file open between reads. Not here:
// checking what was read (the caller's digests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vantis::content {

class RangeReader {
 public:
  RangeReader() = default;
  ~RangeReader();
  RangeReader(const RangeReader&) = delete;
  RangeReader& operator=(const RangeReader&) = delete;

  // Opens `path` for reading, closing the file open before. False when it
  // cannot be opened.
  bool open(const std::string& path);
  // Reads from `descriptor` (open for reading; the reader closes it).
  void adopt(int descriptor);
  void close();

  // Reads the `length` bytes at `offset` of the open file into `out`. False
  // when nothing is open, a read fails, or the file ends before the range.
  bool read(std::uint64_t offset, std::size_t length, char* out);

  // Reads up to `capacity` bytes at `offset` into `out`: the count read, 0
  // at the file's end, -1 when the read fails or nothing is open.
  std::int64_t readSome(std::uint64_t offset, std::size_t capacity, char* out);

 private:
  std::int64_t readDirect(std::uint64_t offset, std::size_t capacity, char* out);

  int descriptor_ = -1;
  bool direct_ = false;    // the open file is read with O_DIRECT
  char* block_ = nullptr;  // aligned as direct reads need
};

}  // namespace vantis::content
