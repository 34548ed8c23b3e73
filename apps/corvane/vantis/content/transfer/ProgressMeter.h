// Progress of one run: the public `Progress` record a caller is shown, and
// the meter that keeps it truthful (done never above total, a rate and a
// time left once they mean something) and hands it to the caller's
// function. Every step of a run reports through the one meter it is given.
//
// Calling thread only: the download workers feed it through an atomic
// counter that the calling thread reads into the meter.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace vantis::content {

struct Progress {
  std::string phase;
  std::string detail;
  std::uint64_t bytesDone = 0;
  std::uint64_t bytesTotal = 0;
  std::uint64_t stepDone = 0;
  std::uint64_t stepTotal = 0;
  std::uint64_t filesDone = 0;
  std::uint64_t filesTotal = 0;
  double bytesPerSecond = 0.0;
  double secondsLeft = -1.0;
};

// Seconds on the monotonic clock.
double monotonicSeconds();

class ProgressMeter {
 public:
  // `report` may be empty: then nothing is shown and every answer is "go on".
  explicit ProgressMeter(std::function<bool(const Progress&)> report = {});

  // The counters, for the step under way to set.
  Progress progress;

  // Sets phase and detail, keeps the done counters within their totals,
  // updates rate and time left, and asks the caller's function. True means
  // go on. Callers decide whether the answer is honoured.
  bool report(const std::string& phase, const std::string& detail);

 private:
  std::function<bool(const Progress&)> report_;
  double startSeconds_;
};

}  // namespace vantis::content
