// Runs many independent items of work (one file to hash, one blob to
// compress) on a few threads while the calling thread reports progress.
//
// Called from one thread; `work` runs on the worker threads and must only
// touch what its index owns (plus atomics), `tick` runs on the calling thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace vantis::publish {

// Progress of a long step: its name ("hashing", "storing blobs", ...), the
// work done and the work in all, in the step's own unit. Answering false
// interrupts the publish at the next point where that is safe.
using Progress =
    std::function<bool(const std::string& phase, std::uint64_t done, std::uint64_t total)>;

// The number of threads to use when the caller asked for 0: every core.
unsigned defaultThreads();

// Calls work(i, error) once for every i in [0, count) on min(threads, count)
// threads, taking indexes in order. The calling thread calls `tick` about once
// a second while work remains, and once at the end. The first failing item's
// message wins and no further item is started; a false `tick` stops the run
// the same way with the message "publishing was interrupted". True only when
// every item succeeded.
bool runParallel(std::size_t count, unsigned threads,
                 const std::function<bool(std::size_t, std::string&)>& work,
                 const std::function<bool()>& tick, std::string& error);

}  // namespace vantis::publish
