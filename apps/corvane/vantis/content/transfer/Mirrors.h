// The servers a transfer downloads from: the first one and the mirrors that
// hold the same releases. Every object is checked against the digest a signed
// document names, so any mirror may serve any of it; a mirror only decides
// how fast, and whether at all.
//
// `MirrorUse` is a plain record any thread may copy. A `WorkerMirrors`
// belongs to one download worker (its clients are that worker's alone).
// Not here: which mirror's pointer is believed (the pipeline), retries and
// the move to the next mirror (the workers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "http/Http.h"

namespace vantis::content {

// What one server gave the download workers of a run.
struct MirrorUse {
  std::string url;
  std::uint64_t bytes = 0;     // bodies received and stored
  std::uint64_t requests = 0;  // downloads it served
};

// Adds `more` to `uses`, matching by URL; servers not yet listed are
// appended in the order `more` names them.
void addMirrorUse(std::vector<MirrorUse>& uses, const std::vector<MirrorUse>& more);

// One worker's way through the servers: a client per server, opened when it
// is first needed, and the server the worker's next download goes to. A
// worker stays with the server it moved to: one that failed it once is
// likely to fail the next download too.
class WorkerMirrors {
 public:
  // `prepare` sets up each client once it is open (key, trust, floor rate).
  WorkerMirrors(const std::vector<std::string>& urls,
                std::function<void(HttpClient&)> prepare);

  std::size_t count() const { return urls_.size(); }
  std::size_t current() const { return current_; }
  const std::string& currentUrl() const { return urls_[current_]; }
  // The current server's client; null when its URL cannot be opened.
  HttpClient* client();
  // The next server, after the last the first again.
  void moveOn() { current_ = (current_ + 1) % urls_.size(); }

 private:
  std::vector<std::string> urls_;
  std::function<void(HttpClient&)> prepare_;
  std::vector<std::unique_ptr<HttpClient>> clients_;  // null until first needed
  std::vector<bool> unusable_;                        // the URL was refused by open
  std::size_t current_ = 0;
};

}  // namespace vantis::content
