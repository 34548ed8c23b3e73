// Sends written files to the disk early, on a thread of its own. A
// transfer writes every file it installs before one flush puts them all on
// the disk; asked right after each is written, the system writes them out
// while the rest of the transfer goes on, and the flush finds little left.
// Asking can block while the disk's queue is full, so it is done here,
// never on a download worker or the assembly.
//
// One per transfer, owned by the calling thread; `add` may be called from
// any thread. Only a head start: what is still queued when the object goes
// is dropped (the flush writes it anyway), and a file gone by the time its
// turn comes is skipped.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace vantis::content {

class WriteBackQueue {
 public:
  WriteBackQueue();
  ~WriteBackQueue();
  WriteBackQueue(const WriteBackQueue&) = delete;
  WriteBackQueue& operator=(const WriteBackQueue&) = delete;

  // Queues the file at `path` (what it holds when its turn comes).
  void add(const std::string& path);

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::string> paths_;
  bool stopping_ = false;
  std::thread thread_;  // not joinable when it could not be started
};

}  // namespace vantis::content
