// The program-file record's one platform call: the stat of an installed
// program, giving its size and modification-time text.

#include <sys/stat.h>

#include "protocol/BinaryCheck.h"

namespace vantis::content::binarycheck {

bool statRegularFile(const std::string& path, std::uint64_t& size, std::string& mtime) {
  struct stat info;
  // stat, not lstat: a program installed as a link is judged by its target.
  if (::stat(path.c_str(), &info) != 0) return false;
  if (!S_ISREG(info.st_mode)) return false;
  size = static_cast<std::uint64_t>(info.st_size);
  mtime = mtimeText(static_cast<long long>(info.st_mtim.tv_sec), info.st_mtim.tv_nsec);
  return true;
}

}  // namespace vantis::content::binarycheck
