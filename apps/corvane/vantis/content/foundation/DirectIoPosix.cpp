// POSIX implementation of the pieces the direct transfers share.

#include "foundation/DirectIoInternal.h"

#include <fcntl.h>

#include <cstdlib>

namespace vantis::content {

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

}  // namespace vantis::content
