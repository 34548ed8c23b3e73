// The allocator's settings, and the heap's advice, through glibc and the
// kernel.

#include "cli/Heap.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace vantis::content {

namespace {

// What the heap grows by at once, and what it keeps when memory is freed.
constexpr std::size_t kHeapStep = 64u << 20;

// Grows the heap by one step now, with a block freed at once, and asks for
// large pages over what it grew by. Asked later, the advice would miss the
// stretches the heap grows by afterwards, since each is a mapping of its own.
void growHeapOnLargePages() {
  void* const before = ::sbrk(0);
  // Under the mapping threshold, so from the heap; volatile, or the
  // compiler drops an allocation freed unused.
  void* volatile block = std::malloc(512u << 10);
  std::free(block);
  void* const after = ::sbrk(0);
  if (before == reinterpret_cast<void*>(-1) || after <= before) return;
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const std::uintptr_t start = (reinterpret_cast<std::uintptr_t>(before) + page - 1) / page * page;
  const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(after) / page * page;
  if (end > start) ::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

}  // namespace

void tuneHeap() {
  // Download bodies of a megabyte and more are mapped for each request and
  // unmapped after it. Left to itself, the allocator raises this threshold
  // after the first large body is freed and from then on serves bodies from
  // per-thread arenas that keep their high-water mark: six workers then
  // hold about twice the memory their bodies need.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  // Reading a release's lists and planning its transfer makes hundreds of
  // thousands of small records. On small pages each fresh page costs a fault,
  // and a fault (tens of microseconds on a virtual machine) costs more than
  // filling the page: thousands of them were a third of the time before a
  // first install's first download. One step of large pages takes a fault
  // per 2 MiB instead; only the pages touched take memory. A heap given
  // back and grown again would fault all over again, so it is kept.
  mallopt(M_TOP_PAD, static_cast<int>(kHeapStep));
  mallopt(M_TRIM_THRESHOLD, static_cast<int>(2 * kHeapStep));
  growHeapOnLargePages();
}

}  // namespace vantis::content
