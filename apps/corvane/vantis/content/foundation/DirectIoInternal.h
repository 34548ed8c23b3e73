// What the direct writer and the range reader share to move bytes past the
// page cache (O_DIRECT): the alignment, and the aligned block the bytes
// are copied through. Private to the foundation.
//
// Stateless; any thread, each with its own block.
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

}  // namespace vantis::content
