// The handler does nothing but store into a lock-free atomic, which is all
// a signal handler may safely do: no allocation, no stdio, no locks that
// the interrupted thread might hold. SA_RESTART keeps the file system calls
// the signal lands in from failing with EINTR; the run stops at its next
// progress report instead.

#include "cli/StopSignals.h"

#include <signal.h>

#include <atomic>

namespace vantis::content {

namespace {

std::atomic<int> sStopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free,
              "a signal handler may use only lock-free atomics");

extern "C" void recordStopSignal(int number) {
  int none = 0;
  // The first signal is the one the exit status names.
  sStopSignal.compare_exchange_strong(none, number);
}

}  // namespace

void catchStopSignals() {
  struct sigaction action {};
  action.sa_handler = recordStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

int stopSignalReceived() { return sStopSignal.load(); }

}  // namespace vantis::content
