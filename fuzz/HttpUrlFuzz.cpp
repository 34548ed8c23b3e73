// Fuzzes the client's base-URL parser and its request targets. The input is
// a base URL, a line feed and a request path. `open` only takes the URL
// apart and makes a libcurl handle; no request is ever sent, so the fuzzer
// never touches the network. Checked beyond the sanitizers: an accepted URL
// has a host and a port, keeps the scheme it was given, and every target
// and URL is built from those parts alone.

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "http/Http.h"

using vantis::content::HttpClient;

namespace {

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One client for the whole run, as a program keeps one: opening again
  // replaces the earlier binding, which is part of what is fuzzed.
  static HttpClient client;
  const std::string input = skarvel::fuzz::textOf(data, size);
  const std::size_t split = input.find('\n');
  const std::string url = input.substr(0, split);
  const std::string path = split == std::string::npos ? "/current.json" : input.substr(split + 1);

  if (!client.open(url)) {
    FUZZ_CHECK(client.host.empty() && client.port == 0);
    return 0;
  }
  FUZZ_CHECK(!client.host.empty());
  FUZZ_CHECK(client.port != 0);
  FUZZ_CHECK(client.secure == startsWith(url, "https://"));
  FUZZ_CHECK(client.basePath.find('?') == std::string::npos);

  const std::string target = client.target(path);
  FUZZ_CHECK(startsWith(target, client.basePath + path));
  const std::string full = client.requestUrl(path);
  const std::string origin = std::string(client.secure ? "https://" : "http://") + client.host +
                             ":" + std::to_string(client.port);
  FUZZ_CHECK(full == origin + target);
  return 0;
}
