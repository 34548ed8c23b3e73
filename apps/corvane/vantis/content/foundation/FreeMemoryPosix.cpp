// Through glibc's malloc_trim, which returns the free pages of every arena,
// also those between blocks still in use, and not only the heap's top.

#include "foundation/FreeMemory.h"

#include <malloc.h>

namespace vantis::content {

void giveFreedMemoryBack() { ::malloc_trim(0); }

}  // namespace vantis::content
