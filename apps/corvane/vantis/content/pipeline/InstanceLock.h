// One run per instance: a sync and an Overhaul removal each hold an
// exclusive lock on their instance from before they touch anything until
// they return, so that a launcher and a command line (or two launchers)
// never work on one instance at once, one deleting the blob store or a file
// the other is about to use. The lock is the system's advisory file lock on
// "content/cache/sync.lock": the system drops it when the holder ends, so a
// run that was killed never blocks the next one (it only leaves the file,
// which a run that ends removes).
//
// Calling thread of the run; a lock belongs to the run that took it. Two
// runs in one process exclude each other too. Not a lock on the files
// themselves: a program that ignores it is not stopped.
#pragma once

#include <string>

#include "foundation/Result.h"
#include "protocol/InstancePaths.h"

namespace vantis::content {

class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock();  // lets go, removing the lock file
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Takes the instance's lock without waiting. Fails with "Another update of
  // this instance is running. Wait for it to finish and try again." when
  // another run holds it; then nothing has been changed. The lock file is
  // created (with the cache folder) when missing, never through a link: a
  // link or anything but a plain file at its name is removed first. When no
  // lock file can be had at all (a read-only cache folder), the run goes on
  // without one: it could not write its records there either, and an
  // installed release must still be playable.
  Status take(const InstancePaths& paths);

 private:
  int descriptor_ = -1;
  std::string path_;
};

}  // namespace vantis::content
