// Giving memory the program has freed back to the system, so that a long
// run's resident size follows what it holds rather than the most it ever
// held: the allocator keeps freed memory for reuse (and is told to keep
// much of it, see the heap's tuning), which suits a burst of small records
// but not a phase that is over for good.
//
// Any thread; best called between phases, with no other thread allocating
// much. Only a release: nothing freed is lost, and where the system refuses
// it nothing happens.
#pragma once

namespace vantis::content {

void giveFreedMemoryBack();

}  // namespace vantis::content
