// The synchroniser's only transport: one HttpClient talks to one content
// server, bound once to a base URL, and answers each request with an
// HttpResponse value (status, body bytes, error text). It adds the access key
// header, bounds the size of replies, offers a progress and cancellation hook
// and can pin the server's TLS certificate to one SHA-256 digest.
//
// Thread use: a client belongs to one thread at a time; the download stage
// gives every worker its own client. Clients on different threads may run at
// once (libcurl's global state is set up once per process, and no request
// uses signals). This is not a general HTTP library: no streaming to disk, no
// redirects, no cookies, no judging of statuses (a 404 comes back with an
// empty error; callers treat only 200..299 with an empty error as success).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// libcurl's easy handle type, declared the way curl/curl.h declares it so
// that callers do not see libcurl's header.
using CURL = void;

namespace vantis::content {

// The outcome of one request. A new response has status 0, an empty body, an
// empty error and pinRejected false.
struct HttpResponse {
  // HTTP status of the last response; 0 when none arrived or no transfer was
  // attempted.
  int64_t status = 0;
  // The content-decoded body received, also the part that arrived before a
  // failure. Empty (and unallocated) when nothing arrived.
  std::vector<uint8_t> body;
  // Empty on success; otherwise a lower-case phrase without a full stop that
  // callers embed in their own sentence.
  std::string error;
  // True when a TLS failure was blamed on the certificate pin.
  bool pinRejected = false;

  // The one rule for success every caller applies: a 2xx status and no
  // client error. A 404 or 503 body is never content.
  bool succeeded() const { return error.empty() && status >= 200 && status <= 299; }
};

// Called after every body chunk with (body bytes received so far, expected
// total from the last non-zero Content-Length header or 0). Returning false
// cancels the transfer.
using HttpProgress = std::function<bool(unsigned long, unsigned long)>;

class HttpClient {
 public:
  // Initialises libcurl's global state on the first construction in the
  // process; it is never undone.
  HttpClient();
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Binds the client to a base URL: "http://" or "https://" (exactly, in
  // lower case), a host, an optional ":port" (1..65535), an optional path
  // whose trailing slashes are dropped and an optional "?query" that is added
  // to every request. A bracketed IPv6 literal is kept whole as the host.
  // Returns false on any rejection; the client then answers every request
  // with "not connected". Opening again replaces the earlier binding.
  bool open(const std::string& baseUrl);

  // The request target for a server-relative path (which should begin with
  // "/"): basePath, then path, then the base query after "?" (or after "&"
  // when path already holds a "?"). Nothing is encoded or normalised.
  std::string target(const std::string& path) const;

  // The full URL a request for path goes to. The port is always written,
  // also when it is the scheme's default.
  std::string requestUrl(const std::string& path) const;

  // GET path. Bodies larger than maxBodyBytes (counted after decoding) end
  // the transfer with "the response was larger than expected"; a progress
  // function that returns false ends it with "cancelled". An exception thrown
  // by the progress function ends the transfer and is rethrown from here.
  HttpResponse get(const std::string& path, const HttpProgress& progress);
  HttpResponse get(const std::string& path);
  // The same into `response`, whose body keeps the memory it already has: a
  // worker that fetches thousands of bodies reuses one buffer instead of
  // having the system hand out (and clear) fresh pages for every one.
  void get(const std::string& path, const HttpProgress& progress, HttpResponse& response);

  // POST body (sent whole, zero bytes included) with the given content type.
  // Replies are limited to 262144 bytes and the whole exchange to timeoutMs.
  HttpResponse post(const std::string& path, const std::string& contentType,
                    const std::string& body);

  // The parts of the base URL, set by a successful open.
  std::string host;      // exactly as written, brackets of an IPv6 literal kept
  std::string basePath;  // without trailing "/" and without the query
  std::string query;     // without the "?"
  uint16_t port = 0;     // explicit, else 443 for https and 80 for http
  bool secure = false;   // the base URL began with "https://"

  // Sent as "X-Access-Key: " + accessKey on every request when non-empty.
  // Assign it after open, before the first request.
  std::string accessKey;
  // When non-empty on an https client, the only server certificate accepted
  // is the one whose DER encoding has this SHA-256 (64 lower-case hex
  // characters); the usual chain and host name checks are then replaced by
  // this comparison. Ignored over plain http.
  std::string certificatePin;
  // Largest body a GET may return.
  uint64_t maxBodyBytes = 268435456;
  // Whole-exchange time limit of a POST, in milliseconds.
  uint64_t timeoutMs = 60000;

 private:
  // Splits url into the fields above; false (fields cleared) on rejection.
  bool parseBaseUrl(const std::string& url);
  void release();

  CURL* handle = nullptr;      // owned; lives from open to the destructor
  CURL* openHandle = nullptr;  // handle, only once open succeeded
};

}  // namespace vantis::content
