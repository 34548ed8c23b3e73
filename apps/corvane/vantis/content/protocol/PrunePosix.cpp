// The POSIX half of pruning: removing one listed file or one emptied folder
// under the content root. Each folder on the way is opened relative to the
// one before with O_NOFOLLOW, and the last component is inspected and removed
// relative to its open parent. A plain lstat() of the joined path would check
// only the last component: a linked folder inside the content folder (say
// "mods/x" pointing at the user's home) would let a retired "mods/x/file" be
// deleted outside the instance. A file that must be judged by its content
// first is opened the same way and read through that descriptor.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>

#include "protocol/Prune.h"

namespace vantis::content::prune {

namespace {

// Owns one open descriptor (a folder, or a file being judged).
struct Descriptor {
  int fd = -1;
  explicit Descriptor(int descriptor) : fd(descriptor) {}
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
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
  Descriptor current(openRoot(contentRoot));
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

// Opens the file found at `leaf` and lets `check` judge it. Opened without
// following a link and without blocking (a pipe put in its place since the
// lstat cannot hold the run), and judged only while it is still the file
// that was found there, so that what is judged is what would be deleted.
bool passesCheck(int parent, const std::string& leaf, const struct stat& found,
                 const RemovalCheck& check) {
  Descriptor file(::openat(parent, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  FileIdentity identity;
  if (file.fd < 0 || !openFileIdentity(file.fd, identity)) return false;
  if (identity.inode != static_cast<std::uint64_t>(found.st_ino)) return false;
  const DigestReader digest = [&file]() {
    std::uint64_t size = 0;
    std::string hex;
    return hashOpenFileSha256(file.fd, size, hex) ? hex : std::string();
  };
  return check(identity, digest);
}

}  // namespace

Removal removeRegularFile(const std::string& contentRoot, const std::string& relative,
                          const RemovalCheck& check, std::uint64_t& size) {
  std::string leaf;
  Descriptor parent(openParent(contentRoot, relative, leaf));
  if (parent.fd < 0) return Removal::untouched;
  struct stat info;
  if (::fstatat(parent.fd, leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return Removal::untouched;
  // A link, folder or device is left alone: only files the pack installed go.
  if (!S_ISREG(info.st_mode)) return Removal::untouched;
  if (check && !passesCheck(parent.fd, leaf, info, check)) return Removal::kept;
  if (::unlinkat(parent.fd, leaf.c_str(), 0) != 0) return Removal::failed;
  size = static_cast<std::uint64_t>(info.st_size);
  return Removal::removed;
}

bool removeEmptyFolder(const std::string& contentRoot, const std::string& relative) {
  std::string leaf;
  Descriptor parent(openParent(contentRoot, relative, leaf));
  if (parent.fd < 0) return false;
  // AT_REMOVEDIR refuses a link (ENOTDIR) and a folder that still holds
  // anything (ENOTEMPTY).
  return ::unlinkat(parent.fd, leaf.c_str(), AT_REMOVEDIR) == 0;
}

}  // namespace vantis::content::prune
