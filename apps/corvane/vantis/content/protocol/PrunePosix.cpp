// The POSIX half of pruning: removing one listed file or one emptied folder
// under the content root. Each folder on the way is opened relative to the
// one before with O_NOFOLLOW, and the last component is inspected and removed
// relative to its open parent. A plain lstat() of the joined path would check
// only the last component: a linked folder inside the content folder (say
// "mods/x" pointing at the user's home) would let a retired "mods/x/file" be
// deleted outside the instance.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>

#include "protocol/Prune.h"

namespace vantis::content::prune {

namespace {

// Owns one open folder descriptor.
struct Folder {
  int fd = -1;
  explicit Folder(int descriptor) : fd(descriptor) {}
  ~Folder() {
    if (fd >= 0) ::close(fd);
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
};

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// The root is the caller's own folder and may itself be a link (content kept
// on another disk); only what lies below it is opened without following. An
// empty root would turn every listed path into an absolute one, so it opens
// nothing.
int openRoot(const std::string& contentRoot) {
  if (contentRoot.empty()) return -1;
  std::string root = contentRoot;
  for (char& c : root) {
    if (c == '\\') c = '/';
  }
  return ::open(root.c_str(), kFolderFlags);
}

// Opens the folder that holds the last component of `relative` and puts that
// component in `leaf`; -1 when any folder on the way is missing, is not a
// folder, or is a link.
int openParent(const std::string& contentRoot, const std::string& relative, std::string& leaf) {
  Folder current(openRoot(contentRoot));
  if (current.fd < 0) return -1;
  std::size_t start = 0;
  for (;;) {
    const std::size_t separator = relative.find_first_of("/\\", start);
    if (separator == std::string::npos) break;
    const std::string name = relative.substr(start, separator - start);
    const int next = ::openat(current.fd, name.c_str(), kFolderFlags | O_NOFOLLOW);
    if (next < 0) return -1;
    ::close(current.fd);
    current.fd = next;
    start = separator + 1;
  }
  leaf = relative.substr(start);
  if (leaf.empty()) return -1;
  const int parent = current.fd;
  current.fd = -1;
  return parent;
}

}  // namespace

Removal removeRegularFile(const std::string& contentRoot, const std::string& relative,
                          std::uint64_t& size) {
  std::string leaf;
  Folder parent(openParent(contentRoot, relative, leaf));
  if (parent.fd < 0) return Removal::untouched;
  struct stat info;
  if (::fstatat(parent.fd, leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return Removal::untouched;
  // A link, folder or device is left alone: only files the pack installed go.
  if (!S_ISREG(info.st_mode)) return Removal::untouched;
  if (::unlinkat(parent.fd, leaf.c_str(), 0) != 0) return Removal::failed;
  size = static_cast<std::uint64_t>(info.st_size);
  return Removal::removed;
}

bool removeEmptyFolder(const std::string& contentRoot, const std::string& relative) {
  std::string leaf;
  Folder parent(openParent(contentRoot, relative, leaf));
  if (parent.fd < 0) return false;
  // AT_REMOVEDIR refuses a link (ENOTDIR) and a folder that still holds
  // anything (ENOTEMPTY).
  return ::unlinkat(parent.fd, leaf.c_str(), AT_REMOVEDIR) == 0;
}

}  // namespace vantis::content::prune
