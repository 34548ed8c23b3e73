// Free space through statvfs(3). f_bavail, not f_bfree: the blocks a file
// system keeps back for its owner are no space a player's update may count
// on, even when the program happens to run as that owner.

#include "foundation/DiskSpace.h"

#include <sys/statvfs.h>

namespace vantis::content {

namespace {

// "/a/b/c" -> "/a/b", "/a" -> "/", "a" -> ".", "/" and "." stay.
std::string parentOf(const std::string& path) {
  const std::size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return "/";
  const std::size_t slash = path.find_last_of('/', end);
  if (slash == std::string::npos) return ".";
  const std::size_t kept = path.find_last_not_of('/', slash);
  return kept == std::string::npos ? "/" : path.substr(0, kept + 1);
}

}  // namespace

bool freeDiskSpace(const std::string& path, std::uint64_t& bytes) {
  std::string at = path.empty() ? "." : path;
  // Each turn drops one name, so this ends at "/" or "." at the latest.
  for (;;) {
    struct statvfs info {};
    if (::statvfs(at.c_str(), &info) == 0) {
      bytes = static_cast<std::uint64_t>(info.f_bavail) * static_cast<std::uint64_t>(info.f_frsize);
      return true;
    }
    const std::string parent = parentOf(at);
    if (parent == at) return false;
    at = parent;
  }
}

}  // namespace vantis::content
