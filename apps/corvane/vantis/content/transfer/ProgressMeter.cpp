// The progress meter. The rate is the average over the whole run, which is
// what a player reads as "how fast is this going"; a rate over the last
// second would swing with every file.

#include "transfer/ProgressMeter.h"

#include <time.h>

#include <utility>

namespace vantis::content {

double monotonicSeconds() {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

ProgressMeter::ProgressMeter(std::function<bool(const Progress&)> report)
    : report_(std::move(report)), startSeconds_(monotonicSeconds()) {}

bool ProgressMeter::report(const std::string& phase, const std::string& detail) {
  progress.phase = phase;
  progress.detail = detail;
  if (progress.bytesTotal != 0 && progress.bytesDone > progress.bytesTotal) {
    progress.bytesDone = progress.bytesTotal;
  }
  if (progress.stepTotal != 0 && progress.stepDone > progress.stepTotal) {
    progress.stepDone = progress.stepTotal;
  }
  // It means nothing in the first half second, so it stays unknown until
  // then.
  const double elapsed = monotonicSeconds() - startSeconds_;
  if (elapsed > 0.5 && progress.bytesDone != 0) {
    progress.bytesPerSecond = static_cast<double>(progress.bytesDone) / elapsed;
    if (progress.bytesDone >= progress.bytesTotal) {
      progress.secondsLeft = 0;
    } else if (progress.bytesPerSecond > 0) {
      progress.secondsLeft =
          static_cast<double>(progress.bytesTotal - progress.bytesDone) / progress.bytesPerSecond;
    } else {
      progress.secondsLeft = 0;
    }
  }
  if (!report_) return true;
  return report_(progress);
}

}  // namespace vantis::content
