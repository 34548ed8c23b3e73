// arc4random for programs that link the C++ runtime statically and must run
// on glibc 2.35, which has no arc4random (see GlibcFloor.cmake). The runtime's
// reference is redirected here at link time; nothing else calls it, and the
// C library's own arc4random is left alone for everyone else.
//
// Like glibc's, it never fails: randomness comes from getrandom (the kernel's
// pool, blocking only until it is first seeded), and a kernel that cannot
// give any ends the program rather than hand out predictable numbers.

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

extern "C" std::uint32_t __wrap_arc4random(void) {
  std::uint32_t value = 0;
  auto* bytes = reinterpret_cast<unsigned char*>(&value);
  std::size_t filled = 0;
  while (filled < sizeof value) {
    ssize_t got = getrandom(bytes + filled, sizeof value - filled, 0);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    std::abort();
  }
  return value;
}
