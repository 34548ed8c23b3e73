// The write-back thread: takes queued paths in order and starts each one's
// write-back (startWriteBack), and now and then flushes their file system,
// until told to stop.

#include "transfer/WriteBackQueue.h"

#include <chrono>
#include <system_error>
#include <utility>

#include "foundation/FileSystem.h"

namespace vantis::content {

namespace {

// Started write-backs put the data on its way, but the flush at the end
// still writes the inodes and folders and has the disk empty its own cache,
// and that grows with all that was written since the last flush: a tenth
// of a second and more after a first install. Flushed every so often
// while the transfer goes on, the disk does most of that beside the
// downloads, and the final flush finds only the tail.
constexpr std::chrono::milliseconds kFlushEvery{250};

}  // namespace

WriteBackQueue::WriteBackQueue() {
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    // No thread to be had: files are then only written out by the flush.
  }
}

WriteBackQueue::~WriteBackQueue() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void WriteBackQueue::add(const std::string& path) {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    paths_.push_back(path);
  }
  wake_.notify_one();
}

void WriteBackQueue::run() {
  using Clock = std::chrono::steady_clock;
  Clock::time_point lastFlush = Clock::now();
  for (;;) {
    std::string path;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !paths_.empty(); });
      if (stopping_) return;
      path = std::move(paths_.front());
      paths_.pop_front();
    }
    startWriteBack(path);
    if (Clock::now() - lastFlush < kFlushEvery) continue;
    flushFileSystemEarly(path);
    lastFlush = Clock::now();
  }
}

}  // namespace vantis::content
