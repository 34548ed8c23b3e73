// The synchroniser's only transport: one HttpClient talks to one content
// server, bound once to a base URL, and answers each request with an
// HttpResponse value (status, body bytes, error text). It adds the access key
// header, bounds the size and the slowness of replies, honours cancellation,
// finds the system's trusted certificates for https, and can pin the server's
// TLS certificate to one SHA-256 digest instead.
//
// Thread use: a client belongs to one thread at a time; the download stage
// gives every worker its own client. Clients on different threads may run at
// once (libcurl's global state is set up once per process, and no request
// uses signals). This is not a general HTTP library: no streaming to disk, no
// redirects, no cookies, no judging of statuses (a 404 comes back with an
// empty error; callers treat only 200..299 with an empty error as success).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "http/BodyDecoder.h"
#include "http/TrustStore.h"

// libcurl's easy handle type, declared the way curl/curl.h declares it so
// that callers do not see libcurl's header.
using CURL = void;

namespace vantis::content {

// The floor rate of a GET unless its client is told otherwise (see
// HttpClient::minBytesPerSecond).
inline constexpr uint64_t kFloorBytesPerSecond = 1024;
inline constexpr uint64_t kFloorWindowSeconds = 60;

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
  // True when an https request was not sent because no trusted certificates
  // could be found (or the ones named cannot be used). That is this
  // computer's problem, not the server's, and does not clear up by itself.
  bool trustStoreMissing = false;
  // True when the request ended because it was cancelled (its progress
  // function said stop, or the client's `cancel` flag was set): the error
  // is then "cancelled", and the stop is the caller's, not the server's.
  bool cancelled = false;
  // True when the body was refused for passing its bound (the error is then
  // "the response was larger than expected", or for a POST "the reply was
  // too large"). With a 2xx status the server sent more than the caller
  // knew the content to be.
  bool tooLarge = false;

  // The one rule for success every caller applies: a 2xx status and no
  // client error. A 404 or 503 body is never content.
  bool succeeded() const { return error.empty() && status >= 200 && status <= 299; }
};

// Called after every body chunk with (body bytes received so far, expected
// total from the last non-zero Content-Length header or 0), and again after
// every second in which nothing arrived, with the same counts: a caller
// waiting on a server that says nothing can still stop it. Returning false
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

  // Opens this client on `other`'s base URL with `other`'s settings (access
  // key, pin, limits, floor rate, cancel flag, trust store): a second
  // connection to the same server, for requests made side by side. False,
  // as open, when `other` is not open.
  bool openLike(const HttpClient& other);

  // The request target for a server-relative path (which should begin with
  // "/"): basePath, then path, then the base query after "?" (or after "&"
  // when path already holds a "?"). Nothing is encoded or normalised.
  std::string target(const std::string& path) const;

  // The full URL a request for path goes to. The port is always written,
  // also when it is the scheme's default.
  std::string requestUrl(const std::string& path) const;

  // GET path. A body larger than maxBodyBytes (counted after decoding) ends
  // the transfer with "the response was larger than expected" as soon as it
  // is; a progress function that returns false, or the `cancel` flag, ends it
  // with "cancelled"; a server slower than the floor rate ends it with "the
  // server was too slow: less than N bytes in S seconds". An exception thrown
  // by the progress function ends the transfer and is rethrown from here.
  HttpResponse get(const std::string& path, const HttpProgress& progress);
  HttpResponse get(const std::string& path);
  // The same into `response`, whose body keeps the memory it already has: a
  // worker that fetches thousands of bodies reuses one buffer instead of
  // having the system hand out (and clear) fresh pages for every one.
  void get(const std::string& path, const HttpProgress& progress, HttpResponse& response);
  // GET path whose successful (2xx) body may hold at most maxBytes bytes, for
  // a caller that knows the size from a signed document; maxBodyBytes still
  // caps it, and an error reply (not 2xx) is bounded by maxBodyBytes alone, so
  // that its status is not hidden behind its size. Refused with "the response
  // was larger than expected" once the decoded body passes the bound, or at
  // once when an unencoded reply's Content-Length announces more.
  HttpResponse get(const std::string& path, std::uint64_t maxBytes);
  void get(const std::string& path, std::uint64_t maxBytes, const HttpProgress& progress,
           HttpResponse& response);

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
  // The floor rate of a GET: it ends once fewer than minBytesPerSecond *
  // slowWindowSeconds bytes (as they come over the wire, headers included)
  // arrived within slowWindowSeconds; each window opens when the previous
  // one's quota is met. With the defaults, 60 KiB a minute: a 64 KiB/s home
  // link shared by six download workers gives each about ten times that, and
  // the window outlasts the retransmission pauses of a poor line. A server
  // that drips is given up within a window and a second; one that sends just
  // above the floor is bounded by the size bound of the request. Either
  // value 0 turns the floor off.
  uint64_t minBytesPerSecond = kFloorBytesPerSecond;
  uint64_t slowWindowSeconds = kFloorWindowSeconds;
  // When set, every request (GET and POST) ends with "cancelled" soon after
  // *cancel becomes true: it is looked at about once a second also while
  // nothing arrives, and a request is not sent when it is already true. The
  // flag may be set from any thread and must outlive the requests.
  const std::atomic<bool>* cancel = nullptr;
  // Where https requests find the certificates they trust; looked for once,
  // at the client's first https request without a pin (assign it before).
  // A pinned request needs none: the pin alone decides. When none is found,
  // an https request is not sent: it fails with the phrase TrustStore.h
  // gives, and trustStoreMissing set.
  TrustStore trustStore;

 private:
  // Splits url into the fields above; false (fields cleared) on rejection.
  bool parseBaseUrl(const std::string& url);
  void release();
  // Tells libcurl where the trusted certificates are; false (with the
  // response's error set) when an unpinned https request has none.
  bool applyTrust(HttpResponse& response);

  CURL* handle = nullptr;      // owned; lives from open to the destructor
  CURL* openHandle = nullptr;  // handle, only once open succeeded
  // The certificates trustStore led to, once looked for.
  bool trustSearched = false;
  TrustedCertificates trusted;
  // Undoes each reply's Content-Encoding; kept from reply to reply, so that
  // its buffers and windows are allocated once per client.
  BodyDecoder decoder;
};

}  // namespace vantis::content
