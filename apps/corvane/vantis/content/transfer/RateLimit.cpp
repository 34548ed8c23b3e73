// The shared token bucket of the download workers; see RateLimit.h.

#include "transfer/RateLimit.h"

#include <algorithm>

namespace vantis::content {

namespace {

constexpr double kBurstSeconds = 0.1;

}  // namespace

RateLimit::RateLimit(std::uint64_t bytesPerSecond)
    : rate_(bytesPerSecond), available_(0.0), refilled_(Clock::now()) {}

std::chrono::microseconds RateLimit::take(std::uint64_t bytes) {
  if (rate_ == 0) return std::chrono::microseconds(0);
  const double rate = static_cast<double>(rate_);
  std::lock_guard<std::mutex> lock(mutex_);
  const Clock::time_point now = Clock::now();
  const double elapsed = std::chrono::duration<double>(now - refilled_).count();
  refilled_ = now;
  available_ = std::min(available_ + elapsed * rate, rate * kBurstSeconds);
  available_ -= static_cast<double>(bytes);
  if (available_ >= 0) return std::chrono::microseconds(0);
  // The debt is paid off at the rate: whoever made it waits that long.
  return std::chrono::microseconds(static_cast<std::int64_t>(-available_ / rate * 1e6));
}

}  // namespace vantis::content
