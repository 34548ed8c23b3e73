// Per-server accounting and one worker's clients, one per server.

#include "transfer/Mirrors.h"

#include <utility>

namespace vantis::content {

void addMirrorUse(std::vector<MirrorUse>& uses, const std::vector<MirrorUse>& more) {
  for (const MirrorUse& use : more) {
    auto same = uses.begin();
    while (same != uses.end() && same->url != use.url) ++same;
    if (same == uses.end()) {
      uses.push_back(use);
      continue;
    }
    same->bytes += use.bytes;
    same->requests += use.requests;
  }
}

WorkerMirrors::WorkerMirrors(const std::vector<std::string>& urls,
                             std::function<void(HttpClient&)> prepare)
    : urls_(urls), prepare_(std::move(prepare)), clients_(urls.size()),
      unusable_(urls.size(), false) {}

HttpClient* WorkerMirrors::client() {
  if (unusable_[current_]) return nullptr;
  std::unique_ptr<HttpClient>& client = clients_[current_];
  if (client) return client.get();
  auto opened = std::make_unique<HttpClient>();
  if (!opened->open(urls_[current_])) {
    unusable_[current_] = true;
    return nullptr;
  }
  if (prepare_) prepare_(*opened);
  client = std::move(opened);
  return client.get();
}

}  // namespace vantis::content
