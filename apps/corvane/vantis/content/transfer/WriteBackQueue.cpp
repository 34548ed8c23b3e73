// The write-back thread: takes queued paths in order and starts each one's
// write-back (startWriteBack), until told to stop.

#include "transfer/WriteBackQueue.h"

#include <system_error>
#include <utility>

#include "foundation/FileSystem.h"

namespace vantis::content {

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
  }
}

}  // namespace vantis::content
