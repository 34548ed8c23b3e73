// The instance lock over flock(2). flock belongs to the open file
// description, so it is released when the run closes the file or its process
// ends in any way, and a second open of the same file (another process, or
// another run in this one) conflicts with it.

#include "pipeline/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "foundation/FileSystem.h"
#include "protocol/SyncMessages.h"

namespace vantis::content {

namespace {

// Opened for reading only: the file is never written, so whatever it might
// be a hard link to keeps its bytes. O_NOFOLLOW refuses a link at the name
// instead of creating or opening its target; O_NONBLOCK keeps a planted FIFO
// from holding the run at the open.
constexpr int kOpenFlags = O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

bool isPlainFile(int descriptor) {
  struct stat info {};
  return ::fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode);
}

// The lock file, or -1. Something other than a plain file at its name (a
// link, a FIFO) is removed and the file made afresh, once.
int openLockFile(const std::string& path) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int descriptor = ::open(path.c_str(), kOpenFlags, 0644);
    const bool planted = descriptor >= 0 || errno == ELOOP;
    if (descriptor >= 0 && isPlainFile(descriptor)) return descriptor;
    if (descriptor >= 0) ::close(descriptor);
    if (!planted) return -1;
    ::unlink(path.c_str());
  }
  return -1;
}

}  // namespace

InstanceLock::~InstanceLock() {
  if (descriptor_ >= 0) ::close(descriptor_);
}

Status InstanceLock::take(const InstancePaths& paths) {
  if (descriptor_ >= 0) return {};
  makeDirectories(paths.cache);
  const int descriptor = openLockFile(paths.updateLock);
  if (descriptor < 0) return {};
  if (::flock(descriptor, LOCK_EX | LOCK_NB) == 0) {
    descriptor_ = descriptor;
    return {};
  }
  const bool heldElsewhere = errno == EWOULDBLOCK;
  ::close(descriptor);
  if (heldElsewhere) return Failure{messages::kAnotherUpdateRunning};
  return {};
}

}  // namespace vantis::content
