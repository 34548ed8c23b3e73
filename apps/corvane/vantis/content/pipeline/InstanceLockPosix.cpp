// The instance lock over flock(2). flock belongs to the open file
// description, so it is released when the run closes the file or its process
// ends in any way, and a second open of the same file (another process, or
// another run in this one) conflicts with it.
//
// The holder removes the file before it lets go, so that a run leaves no
// file behind. That opens one trap: a run that opened the file just before
// the holder removed it gets the lock on a file no longer named, which
// excludes nobody. So a lock counts only while the name still leads to the
// locked file; otherwise the name is opened again.

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

// True when `path` names the file open at `descriptor`.
bool namesFile(const std::string& path, int descriptor) {
  struct stat named {};
  struct stat open {};
  return ::lstat(path.c_str(), &named) == 0 && ::fstat(descriptor, &open) == 0 &&
         named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

// A few turns are plenty: the name only changes under a run that is
// letting go just then, and one that keeps changing means runs come and go.
constexpr int kTurns = 3;

}  // namespace

InstanceLock::~InstanceLock() {
  if (descriptor_ < 0) return;
  // Removed while still held, so no one can lock it in between.
  if (namesFile(path_, descriptor_)) ::unlink(path_.c_str());
  ::close(descriptor_);
}

Status InstanceLock::take(const InstancePaths& paths) {
  if (descriptor_ >= 0) return {};
  makeDirectories(paths.cache);
  for (int turn = 0; turn < kTurns; ++turn) {
    const int descriptor = openLockFile(paths.updateLock);
    if (descriptor < 0) return {};
    if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
      const bool heldElsewhere = errno == EWOULDBLOCK;
      ::close(descriptor);
      if (heldElsewhere) return Failure{messages::kAnotherUpdateRunning};
      return {};
    }
    if (namesFile(paths.updateLock, descriptor)) {
      descriptor_ = descriptor;
      path_ = paths.updateLock;
      return {};
    }
    ::close(descriptor);
  }
  return Failure{messages::kAnotherUpdateRunning};
}

}  // namespace vantis::content
