// The platform-specific steps of the transfer: giving an installed program
// file its execute bits (calling thread only, on a file nobody else writes),
// and asking for large pages under a download buffer (any thread, on its own
// buffer).

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include <cstring>

#include "transfer/SyncTransfer.h"

namespace vantis::content {

namespace {

bool startsLikeProgram(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  unsigned char head[4] = {0, 0, 0, 0};
  const ssize_t got = ::read(fd, head, sizeof head);
  ::close(fd);
  const bool elf = got == 4 && std::memcmp(head, "\x7f" "ELF", 4) == 0;
  const bool script = got >= 2 && head[0] == '#' && head[1] == '!';
  return elf || script;
}

}  // namespace

void preferLargePages(void* data, std::size_t length) {
  // Only whole pages inside the buffer may be advised; the system uses large
  // pages for the aligned stretches among them.
  const std::uintptr_t page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const std::uintptr_t start = (reinterpret_cast<std::uintptr_t>(data) + page - 1) / page * page;
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(data) + length) / page * page;
  if (end <= start) return;
  ::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

void makeProgramExecutable(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return;
  const mode_t old = info.st_mode & 07777;
  // Execute only where reading is allowed: a file others may not read gains
  // no execute bit for them either.
  mode_t wanted = old | S_IXUSR;
  if (old & S_IRGRP) wanted |= S_IXGRP;
  if (old & S_IROTH) wanted |= S_IXOTH;
  // Data files among the program files (no magic) keep their permissions.
  if (wanted == old || !startsLikeProgram(path)) return;
  ::chmod(path.c_str(), wanted);
}

}  // namespace vantis::content
