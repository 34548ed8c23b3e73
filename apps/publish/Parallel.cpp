// A shared atomic index hands out work in order without a lock; the first
// failure is kept in one mutex-guarded slot and stops every worker at its
// next item, so a bad file ends the run quickly on all threads.

#include "Parallel.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace vantis::publish {

namespace {

struct Shared {
  std::atomic<std::size_t> next{0};  // next index to hand out
  std::atomic<bool> stopped{false};  // a failure or a cancel happened
  std::mutex lock;                   // guards `message` and `running`
  std::condition_variable finished;  // signalled when `running` drops
  std::string message;               // first failure, guarded by `lock`
  unsigned running = 0;              // live workers, guarded by `lock`
};

void fail(Shared& shared, const std::string& message) {
  std::lock_guard<std::mutex> guard(shared.lock);
  if (shared.message.empty()) shared.message = message;
  shared.stopped = true;
}

void workerLoop(Shared& shared, std::size_t count,
                const std::function<bool(std::size_t, std::string&)>& work) {
  while (!shared.stopped) {
    const std::size_t index = shared.next.fetch_add(1);
    if (index >= count) break;
    std::string message;
    if (!work(index, message)) fail(shared, message.empty() ? "an unknown failure" : message);
  }
  std::lock_guard<std::mutex> guard(shared.lock);
  --shared.running;
  shared.finished.notify_all();
}

}  // namespace

unsigned defaultThreads() { return std::max(1u, std::thread::hardware_concurrency()); }

bool runParallel(std::size_t count, unsigned threads,
                 const std::function<bool(std::size_t, std::string&)>& work,
                 const std::function<bool()>& tick, std::string& error) {
  Shared shared;
  const unsigned workers =
      static_cast<unsigned>(std::min<std::size_t>(std::max(1u, threads), count));
  shared.running = workers;
  std::vector<std::thread> pool;
  for (unsigned i = 0; i < workers; ++i) {
    pool.emplace_back(workerLoop, std::ref(shared), count, std::cref(work));
  }
  for (;;) {
    {
      std::unique_lock<std::mutex> guard(shared.lock);
      if (shared.finished.wait_for(guard, std::chrono::seconds(1),
                                   [&] { return shared.running == 0; })) {
        break;
      }
    }
    if (!tick()) fail(shared, "publishing was interrupted");
  }
  for (std::thread& thread : pool) thread.join();
  // The last tick shows the phase complete; a cancel answered there still
  // stops the publish before its next step.
  const bool ticked = tick();
  if (!shared.message.empty()) {
    error = shared.message;
    return false;
  }
  if (!ticked) {
    error = "publishing was interrupted";
    return false;
  }
  return true;
}

}  // namespace vantis::publish
