// Moving bytes past the page cache (O_DIRECT): the alignment, the aligned
// block the bytes are copied through, and positional writes that send the
// whole blocks of a range straight to the disk and its ends through the
// cache. The direct writer and the range reader are built on these; the
// files assembled in place use the positional writes.
//
// Stateless; any thread, each with its own block. Not here: which writes
// are worth it (the callers': a direct write waits for the disk, so only
// long ones).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantis::content {

// Direct transfers need the memory, the file offset and the length aligned
// to the device's logical block; 4,096 covers both usual sizes (512, 4,096).
constexpr std::size_t kDirectAlignment = 4096;
// Large enough that the disk, not the call, sets the pace; under the size
// from which the allocator maps each block afresh (see the heap's tuning),
// so that a block freed and allocated again is memory already there.
constexpr std::size_t kDirectBlockBytes = 512 << 10;

// A block of `kDirectBlockBytes`, aligned for direct transfers; nullptr when
// none can be had. Released with `freeDirectBlock`.
char* allocateDirectBlock();
void freeDirectBlock(char* block);

// Switches O_DIRECT on or off for the open file; false where the file
// system refuses it.
bool setDirectIo(int descriptor, bool on);

// Writes all `length` bytes at `offset`, resuming after short writes and
// signals. False on the first error (errno set).
bool writeAllAt(int descriptor, const void* data, std::size_t length, std::uint64_t offset);

// Writes `length` bytes at `offset` of one file open twice: the whole
// aligned blocks inside the range through `direct` (opened with O_DIRECT),
// copied through `block`; the partial blocks at either end, or everything
// when `direct` is -1, through `buffered`. A direct write the file system
// refuses (EINVAL) sets `refused` and goes through `buffered` instead.
bool writeSplitAt(int buffered, int direct, char* block, std::uint64_t offset,
                  const char* data, std::size_t length, bool& refused);

}  // namespace vantis::content
