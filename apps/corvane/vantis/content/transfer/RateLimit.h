// The download rate a player asked for, held across all download workers
// together: a token bucket the workers draw from as body bytes arrive. A
// worker that overdraws it waits inside its transfer's data callback, so its
// connection's receive window fills and the server slows down to the rate;
// nothing is dropped and nothing is read early.
//
// One `RateLimit` is shared by every worker of a download; `take` may be
// called from any thread. Not here: the sleeping (the worker does it, so that
// a cancel can cut it short) and the documents the calling thread fetches
// (a few small requests, not limited).
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

namespace vantis::content {

class RateLimit {
 public:
  // 0 bytes per second: no limit; `take` then never asks for a wait.
  explicit RateLimit(std::uint64_t bytesPerSecond);

  bool limits() const { return rate_ != 0; }

  // Counts `bytes` that just arrived and returns how long the caller should
  // wait before it reads more, so that all callers together stay at the
  // rate. The bucket holds at most a tenth of a second's bytes: a pause
  // does not buy a burst after it.
  std::chrono::microseconds take(std::uint64_t bytes);

 private:
  using Clock = std::chrono::steady_clock;

  const std::uint64_t rate_;
  std::mutex mutex_;     // guards the members below
  double available_;     // bytes that may arrive now; negative is a debt
  Clock::time_point refilled_;
};

}  // namespace vantis::content
