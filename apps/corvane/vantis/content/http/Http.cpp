// The pure half of HttpClient: how a base URL is taken apart and how request
// targets and URLs are put together. No libcurl here, so these rules can be
// tested without a network; HttpPosix.cpp holds the transfers.

#include "http/Http.h"

#include <string>

namespace vantis::content {

namespace {

bool startsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

bool isAllDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Decimal digits to a port; 0 for 0 and for anything above 65535 (checked
// digit by digit, so a long run of digits cannot overflow).
unsigned portValue(const std::string& digits) {
  unsigned long value = 0;
  for (char c : digits) {
    value = value * 10 + static_cast<unsigned long>(c - '0');
    if (value > 65535) return 0;
  }
  return static_cast<unsigned>(value);
}

// Splits "host:port" off the authority. Returns false only for a numeric port
// outside 1..65535. A colon that is not followed by digits alone stays in the
// host, and so does a colon inside an IPv6 literal's brackets: only a colon
// after the closing "]" can start a port, so "[::1]:8080" reaches port 8080
// instead of a host that no request could ever be sent to.
bool splitPort(const std::string& authority, std::string& host, uint16_t& port) {
  host = authority;
  size_t colon = authority.rfind(':');
  if (colon == std::string::npos) return true;
  size_t bracket = authority.rfind(']');
  bool colonInsideLiteral = bracket != std::string::npos && colon < bracket;
  if (colonInsideLiteral) return true;
  std::string digits = authority.substr(colon + 1);
  if (!isAllDigits(digits)) return true;
  unsigned value = portValue(digits);
  if (value == 0) return false;
  port = static_cast<uint16_t>(value);
  host = authority.substr(0, colon);
  return true;
}

}  // namespace

bool HttpClient::parseBaseUrl(const std::string& url) {
  host.clear();
  basePath.clear();
  query.clear();
  port = 0;
  secure = false;

  bool isSecure = startsWith(url, "https://");
  if (!isSecure && !startsWith(url, "http://")) return false;
  std::string rest = url.substr(isSecure ? 8 : 7);

  // A "?" ends the authority as well as a "/": "http://host?k=v" names the
  // host "host" with a query, not a host that would send the request to "/"
  // with the request path stuck inside the query.
  size_t pathStart = rest.find_first_of("/?");
  std::string authority = rest.substr(0, pathStart);
  std::string path = pathStart == std::string::npos ? std::string() : rest.substr(pathStart);
  while (!path.empty() && path.back() == '/') path.pop_back();

  uint16_t parsedPort = isSecure ? 443 : 80;
  std::string parsedHost;
  if (!splitPort(authority, parsedHost, parsedPort)) return false;
  if (parsedHost.empty()) return false;

  // The query is split off after the trailing slashes went, so "/a/?k=v"
  // keeps its slash: the server sees the path as the operator wrote it.
  size_t mark = path.find('?');
  if (mark != std::string::npos) {
    query = path.substr(mark + 1);
    path.erase(mark);
  }
  host = parsedHost;
  basePath = path;
  port = parsedPort;
  secure = isSecure;
  return true;
}

bool HttpClient::openLike(const HttpClient& other) {
  if (other.host.empty() || !open(other.requestUrl(""))) return false;
  accessKey = other.accessKey;
  certificatePin = other.certificatePin;
  maxBodyBytes = other.maxBodyBytes;
  timeoutMs = other.timeoutMs;
  minBytesPerSecond = other.minBytesPerSecond;
  slowWindowSeconds = other.slowWindowSeconds;
  cancel = other.cancel;
  trustStore = other.trustStore;
  return true;
}

std::string HttpClient::target(const std::string& path) const {
  std::string result = basePath + path;
  if (query.empty()) return result;
  result += path.find('?') == std::string::npos ? '?' : '&';
  result += query;
  return result;
}

std::string HttpClient::requestUrl(const std::string& path) const {
  std::string url = secure ? "https://" : "http://";
  url += host;
  url += ':';
  url += std::to_string(port);
  url += target(path);
  return url;
}

}  // namespace vantis::content
