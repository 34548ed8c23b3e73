// Choosing among mirrors: every server's release pointer is asked for and
// checked, and the highest sequence whose signature holds wins. Asking only
// the first server that answers would let one mirror that lags behind (or
// one that serves a forged pointer, which the signature refuses) keep an
// instance on an old release for as long as it answers first. Calling
// thread only.

#include <string>
#include <vector>

#include "pipeline/SyncSteps.h"
#include "protocol/SyncMessages.h"
#include "release/Layout.h"

namespace vantis::content {

namespace {

// The server's pointer response; a URL the client refuses reads as a server
// that could not be reached.
HttpResponse askForPointer(const std::string& url, const SyncOptions& options,
                           HttpClient& client, ProgressMeter& meter) {
  HttpResponse response;
  if (!client.open(url)) {
    response.error = messages::serverUnreachable(url);
    return response;
  }
  prepareClient(client, options);
  client.get(kPointerRequest, kMaxDocumentBytes, askWhileWaiting(meter), response);
  return response;
}

std::vector<std::string> winnerFirst(const std::vector<std::string>& urls, std::size_t winner) {
  std::vector<std::string> order{urls[winner]};
  for (std::size_t i = 0; i < urls.size(); ++i) {
    if (i != winner) order.push_back(urls[i]);
  }
  return order;
}

}  // namespace

std::vector<std::string> serverUrls(const SyncOptions& options) {
  std::vector<std::string> urls{options.url};
  urls.insert(urls.end(), options.mirrors.begin(), options.mirrors.end());
  return urls;
}

PointerChoice choosePointer(const SyncOptions& options, HttpClient& client, ProgressMeter& meter) {
  const std::vector<std::string> urls = serverUrls(options);
  PointerChoice choice;
  std::size_t winner = urls.size();
  bool unansweredSeen = false;
  Result<ReleasePointer> refusal = Failure{};
  for (std::size_t i = 0; i < urls.size(); ++i) {
    HttpResponse response = askForPointer(urls[i], options, client, meter);
    if (response.cancelled) {
      choice.cancelled = true;
      return choice;
    }
    if (!response.succeeded()) {
      if (!unansweredSeen) choice.unanswered = std::move(response);
      unansweredSeen = true;
      continue;
    }
    Result<ReleasePointer> pointer = checkPointerForUpdate(response.body);
    if (!pointer) {
      if (!choice.refused) refusal = std::move(pointer);
      choice.refused = true;
      continue;
    }
    const bool newer = winner == urls.size() || pointer->sequence > choice.pointer->sequence;
    if (!newer) continue;
    choice.pointer = std::move(pointer);
    winner = i;
  }
  const bool anyVerified = winner != urls.size();
  if (!anyVerified && choice.refused) choice.pointer = std::move(refusal);
  choice.order = winnerFirst(urls, anyVerified ? winner : 0);
  // The documents come from the winner: the client is left open on it.
  if (client.open(choice.order.front())) prepareClient(client, options);
  return choice;
}

}  // namespace vantis::content
