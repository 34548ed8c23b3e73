// HttpClient's transfers over one libcurl easy handle, and the certificate
// pin as an OpenSSL verification callback. The URL rules live in Http.cpp,
// the search for trusted certificates in TrustStorePosix.cpp.
//
// Every request resets the handle and sets all its options afresh, so nothing
// of one request leaks into the next except libcurl's connection cache, which
// is the point of keeping the handle: keep-alive connections to the content
// server are reused. Callbacks run on the requesting thread inside
// curl_easy_perform and only touch the request's TransferContext.
//
// What a server sends is bounded three ways, each ending the transfer as soon
// as it is crossed: the size bound (the body, and an announced length), the
// floor rate (a server that drips keeps no request alive for long), and the
// cancel flag, which libcurl's progress hook looks at also while nothing
// arrives.

#include <curl/curl.h>
#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <string>

#include "foundation/Crypto.h"
#include "http/Http.h"

namespace vantis::content {

namespace {

constexpr const char* kUserAgent = "Skarvel/1.0";
constexpr long kConnectTimeoutMs = 15000;
constexpr uint64_t kPostReplyLimit = 262144;

std::once_flag sCurlInit;

void ensureCurlInitialised() {
  std::call_once(sCurlInit, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

using Clock = std::chrono::steady_clock;

// One request's state, on the requesting function's stack; libcurl hands its
// address to the body, header and progress callbacks.
struct TransferContext {
  HttpResponse* response = nullptr;
  BodyDecoder* decoder = nullptr;  // the client's, started at each header block
  bool badEncoding = false;        // the body did not decode
  uint64_t limit = 0;       // bound of a successful (2xx) body
  uint64_t errorLimit = 0;  // bound of any other body
  const HttpProgress* progress = nullptr;  // null for POST
  uint64_t expected = 0;                   // last non-zero Content-Length
  bool tooLarge = false;
  bool cancelled = false;
  bool tooSlow = false;
  // An exception thrown inside a callback (the caller's progress function, or
  // a failed allocation). It must not unwind through libcurl's C frames, so
  // the callback stops the transfer and the request rethrows it afterwards.
  std::exception_ptr failure;

  // The header block being read: a redirect or an interim reply has its own.
  long blockStatus = 0;  // 0 until a status line arrived
  bool blockEncoded = false;
  bool blockAnnounced = false;
  uint64_t blockLength = 0;
  uint64_t headerBytes = 0;

  const std::atomic<bool>* cancel = nullptr;
  // When the progress function was last called: a stalled transfer calls
  // it again once a second of silence has passed.
  Clock::time_point lastProgress{};
  // The floor rate: windowQuota bytes within every window; 0 means none.
  uint64_t windowQuota = 0;
  Clock::duration window{};
  Clock::time_point windowStart{};
  uint64_t windowStartBytes = 0;
};

bool transferStopped(const TransferContext& transfer) {
  return transfer.tooLarge || transfer.cancelled || transfer.tooSlow || transfer.badEncoding ||
         transfer.failure;
}

bool wantsProgress(const TransferContext& transfer) {
  return transfer.progress != nullptr && *transfer.progress;
}

// A caller's bound is for the content it expects; an error reply is not that
// content, and a 404 must come back as a 404 rather than as "too large" when
// nginx's error page outgrows a small blob's bound. An unknown status takes
// the tighter bound.
uint64_t bodyLimit(const TransferContext& transfer) {
  long status = transfer.blockStatus;
  bool errorReply = status != 0 && (status < 200 || status > 299);
  return errorReply ? transfer.errorLimit : transfer.limit;
}

// Appends decoded bytes to the body, within its bound. False when the
// bound is passed.
bool appendDecoded(TransferContext& transfer, const uint8_t* bytes, size_t n) {
  std::vector<uint8_t>& body = transfer.response->body;
  // Counted after decoding: the bound is the content's; written so that
  // b + n cannot overflow.
  const uint64_t limit = bodyLimit(transfer);
  bool overLimit = n > limit || body.size() > limit - n;
  if (overLimit) {
    transfer.tooLarge = true;
    return false;
  }
  // As bytes of the body's own type: from char the insert converts byte by
  // byte, which cost a first install a twentieth of its CPU time; from
  // uint8_t it is one memmove.
  body.insert(body.end(), bytes, bytes + n);
  return true;
}

size_t takeBody(TransferContext& transfer, const char* data, size_t n) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(data);
  const DecodedSink append = [&transfer](const uint8_t* decoded, size_t size) {
    return appendDecoded(transfer, decoded, size);
  };
  if (!transfer.decoder->feed(bytes, n, append)) {
    if (!transfer.tooLarge) transfer.badEncoding = true;
    return 0;
  }
  if (!wantsProgress(transfer)) return n;
  transfer.lastProgress = Clock::now();
  if (!(*transfer.progress)(transfer.response->body.size(), transfer.expected)) {
    transfer.cancelled = true;
    return 0;
  }
  return n;
}

// Body sink. Returning anything but n makes libcurl end the transfer.
size_t writeBody(char* data, size_t size, size_t count, void* context) {
  auto& transfer = *static_cast<TransferContext*>(context);
  // A zero-length chunk cannot stop libcurl by returning 0, so a stop decided
  // then is enforced at the next chunk.
  if (transferStopped(transfer)) return 0;
  try {
    return takeBody(transfer, data, size * count);
  } catch (...) {
    transfer.failure = std::current_exception();
    return 0;
  }
}

bool startsWith(const std::string& line, const char* prefix) {
  return line.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// The text after "name:" without the blanks around it and the CR LF.
std::string headerValue(const std::string& line, size_t nameLength) {
  size_t begin = line.find_first_not_of(" \t", nameLength);
  size_t end = line.find_last_not_of(" \t\r\n");
  if (begin == std::string::npos || end == std::string::npos || end < begin) return std::string();
  return line.substr(begin, end - begin + 1);
}

// Reads one lower-cased header line into the current block. strtoull skips
// leading blanks and stops at the first non-digit, so the trailing CR LF does
// not matter.
void noteHeader(TransferContext& transfer, const std::string& line) {
  if (startsWith(line, "http/")) {
    size_t space = line.find(' ');
    bool hasCode = space != std::string::npos;
    transfer.blockStatus = hasCode ? std::strtol(line.c_str() + space, nullptr, 10) : 0;
    transfer.blockEncoded = false;
    transfer.blockAnnounced = false;
    transfer.decoder->start(BodyEncoding::identity);
  } else if (startsWith(line, "content-length:")) {
    uint64_t length = std::strtoull(line.c_str() + 15, nullptr, 10);
    // Only a non-zero value reaches the progress function, as it always has.
    if (length != 0) transfer.expected = length;
    transfer.blockAnnounced = true;
    transfer.blockLength = length;
  } else if (startsWith(line, "content-encoding:")) {
    const std::string coding = headerValue(line, 17);
    const bool encoded = !coding.empty() && coding != "identity";
    // A second header line stacks its coding on the first, as a list in
    // one line does: a body is decoded once, never layer after layer.
    if (!encoded) return;
    const bool stacked = transfer.blockEncoded;
    transfer.blockEncoded = true;
    transfer.decoder->start(stacked ? BodyEncoding::unknown : bodyEncodingNamed(coding));
  }
}

// At the blank line that ends a block: does the reply announce a body beyond
// its bound? Only an unencoded length says that: an encoded one counts the
// bytes on the wire, and an incompressible blob stored gzipped is a little
// larger there than the bound its decoded size gives.
bool announcesTooMuch(const TransferContext& transfer, const std::string& line) {
  bool endOfBlock = line == "\r\n" || line == "\n";
  if (!endOfBlock || !transfer.blockAnnounced || transfer.blockEncoded) return false;
  return transfer.blockLength > bodyLimit(transfer);
}

// Header sink: Content-Length feeds the progress function and, with the
// status and Content-Encoding, the early size refusal. Returning anything but
// n makes libcurl end the transfer.
size_t readHeader(char* data, size_t size, size_t count, void* context) {
  auto& transfer = *static_cast<TransferContext*>(context);
  size_t n = size * count;
  transfer.headerBytes += n;
  bool tooMuch = false;
  try {
    std::string line(data, n);
    for (char& c : line) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    noteHeader(transfer, line);
    tooMuch = announcesTooMuch(transfer, line);
  } catch (...) {
    transfer.failure = std::current_exception();
  }
  if (!tooMuch) return n;
  transfer.tooLarge = true;
  return 0;
}

bool cancelRequested(const TransferContext& transfer) {
  return transfer.cancel != nullptr && transfer.cancel->load(std::memory_order_relaxed);
}

// The body sink calls the progress function only when bytes arrive, so a
// caller waiting on a server that says nothing could not stop it before the
// floor rate does: after a second of silence it is asked here. False ends
// the transfer.
bool askWhileSilent(TransferContext& transfer) {
  if (!wantsProgress(transfer)) return true;
  const Clock::time_point now = Clock::now();
  if (now - transfer.lastProgress < std::chrono::seconds(1)) return true;
  transfer.lastProgress = now;
  try {
    if ((*transfer.progress)(transfer.response->body.size(), transfer.expected)) return true;
    transfer.cancelled = true;
  } catch (...) {
    transfer.failure = std::current_exception();
  }
  return false;
}

// libcurl's progress hook, called after every chunk and about once a second
// while nothing moves, which is what lets a stalled request see the cancel
// flag and the floor rate. dlnow counts body bytes before decoding, so a
// compressed drip is measured as the trickle it is. Non-zero ends the
// transfer.
int watchTransfer(void* context, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t) {
  auto& transfer = *static_cast<TransferContext*>(context);
  if (cancelRequested(transfer)) {
    transfer.cancelled = true;
    return 1;
  }
  if (!askWhileSilent(transfer)) return 1;
  if (transfer.windowQuota == 0) return 0;
  const uint64_t arrived = static_cast<uint64_t>(dlnow) + transfer.headerBytes;
  const Clock::time_point now = Clock::now();
  if (arrived - transfer.windowStartBytes >= transfer.windowQuota) {
    transfer.windowStart = now;
    transfer.windowStartBytes = arrived;
    return 0;
  }
  if (now - transfer.windowStart < transfer.window) return 0;
  transfer.tooSlow = true;
  return 1;
}

// Replaces OpenSSL's whole chain verification for one connection: the leaf
// certificate is accepted exactly when the SHA-256 of its DER encoding equals
// the pin. So a self-signed certificate with the right digest passes and a
// publicly trusted one with another digest does not. userData is the address
// of a pointer to the client's certificatePin.
int pinVerifyCallback(X509_STORE_CTX* store, void* userData) {
  auto* pinSlot = static_cast<const std::string* const*>(userData);
  bool havePin = pinSlot != nullptr && *pinSlot != nullptr && !(*pinSlot)->empty();
  if (!havePin) return 0;
  X509* certificate = X509_STORE_CTX_get0_cert(store);
  if (certificate == nullptr) return 0;
  unsigned char* der = nullptr;
  int length = i2d_X509(certificate, &der);
  if (length <= 0 || der == nullptr) return 0;
  bool matches = false;
  try {
    matches = Sha256::equals(Sha256::of(der, static_cast<size_t>(length)), **pinSlot);
  } catch (...) {
    matches = false;  // no exception may cross OpenSSL's frames
  }
  OPENSSL_free(der);
  // Name the reason, so that libcurl reports a verification failure rather
  // than a handshake that failed for no stated cause.
  if (!matches) X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
  return matches ? 1 : 0;
}

CURLcode sslCtxCallback(CURL*, void* sslContext, void* userData) {
  SSL_CTX_set_cert_verify_callback(static_cast<SSL_CTX*>(sslContext), pinVerifyCallback,
                                   userData);
  return CURLE_OK;
}

// A libcurl header list freed on every way out of a request.
class HeaderList {
 public:
  HeaderList() = default;
  ~HeaderList() { curl_slist_free_all(list_); }
  HeaderList(const HeaderList&) = delete;
  HeaderList& operator=(const HeaderList&) = delete;

  void add(const std::string& line) {
    curl_slist* grown = curl_slist_append(list_, line.c_str());
    if (grown == nullptr) throw std::bad_alloc();  // a request without its headers is wrong
    list_ = grown;
  }
  curl_slist* get() const { return list_; }

 private:
  curl_slist* list_ = nullptr;
};

bool pinInForce(const HttpClient& client) {
  return client.secure && !client.certificatePin.empty();
}

// Sets the pin options when a pin is in force. pinSlot must outlive the
// transfer. False when this libcurl cannot take the OpenSSL callback, in which
// case the request must not be sent: without the callback it would fall back
// to ordinary verification and the pin would silently not hold.
bool applyPin(CURL* handle, const HttpClient& client, const std::string** pinSlot) {
  if (!pinInForce(client)) return true;
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  // The host name is not matched against the certificate: the pin alone says
  // which server this is.
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 0L);
  CURLcode callbackSet = curl_easy_setopt(handle, CURLOPT_SSL_CTX_FUNCTION, sslCtxCallback);
  curl_easy_setopt(handle, CURLOPT_SSL_CTX_DATA, static_cast<void*>(pinSlot));
  return callbackSet == CURLE_OK;
}

void setSinks(CURL* handle, TransferContext* transfer) {
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, writeBody);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, static_cast<void*>(transfer));
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, readHeader);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, static_cast<void*>(transfer));
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, watchTransfer);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, static_cast<void*>(transfer));
}

// The floor rate of a GET, its first window opening now (the connection and
// the wait for the first byte count against it).
void startFloor(TransferContext& transfer, uint64_t bytesPerSecond, uint64_t windowSeconds) {
  bool floorOff = bytesPerSecond == 0 || windowSeconds == 0;
  transfer.windowQuota = floorOff ? 0 : bytesPerSecond * windowSeconds;
  transfer.window = std::chrono::seconds(windowSeconds);
  transfer.windowStart = Clock::now();
  transfer.lastProgress = transfer.windowStart;
}

std::string tooSlowError(uint64_t bytesPerSecond, uint64_t windowSeconds) {
  return "the server was too slow: less than " + std::to_string(bytesPerSecond * windowSeconds) +
         " bytes in " + std::to_string(windowSeconds) + " seconds";
}

// Offers the codings the client's own decoder reads, and has libcurl hand
// the body on as it came.
void acceptEncodings(CURL* handle) {
  curl_easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, "gzip, zstd");
  curl_easy_setopt(handle, CURLOPT_HTTP_CONTENT_DECODING, 0L);
}

// A body that would not decode, or ended inside a gzip member or zstd frame
// although the transfer itself completed.
bool undecodable(const TransferContext& transfer, CURLcode result) {
  return transfer.badEncoding || (result == CURLE_OK && !transfer.decoder->complete());
}

std::string undecodableError(const char* reach) {
  return std::string(reach) + " (" + curl_easy_strerror(CURLE_BAD_CONTENT_ENCODING) + ")";
}

// Runs the transfer and reads the status whatever the outcome; rethrows what
// a callback caught once libcurl is out of the way.
CURLcode perform(CURL* handle, TransferContext& transfer) {
  CURLcode result = curl_easy_perform(handle);
  long status = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  transfer.response->status = status;
  if (transfer.failure) std::rethrow_exception(transfer.failure);
  return result;
}

bool isTlsVerificationFailure(CURLcode result) {
  return result == CURLE_SSL_CONNECT_ERROR || result == CURLE_PEER_FAILED_VERIFICATION;
}

void markCancelled(HttpResponse& response) {
  response.error = "cancelled";
  response.cancelled = true;
}

const char* const kPinUnsupported =
    "this libcurl cannot enforce the certificate pin (not built against OpenSSL)";
const char* const kNotGenuine = "the login server could not be verified as genuine";

}  // namespace

HttpClient::HttpClient() { ensureCurlInitialised(); }

HttpClient::~HttpClient() { release(); }

void HttpClient::release() {
  if (handle != nullptr) curl_easy_cleanup(handle);
  handle = nullptr;
  openHandle = nullptr;
  trustSearched = false;
}

bool HttpClient::applyTrust(HttpResponse& response) {
  if (!secure) return true;
  // The pin replaces the whole chain check, so no trust store is loaded: a
  // missing one must not stop a pinned request (libcurl would refuse to
  // start when the file it was built to load is not there).
  if (pinInForce(*this)) {
    curl_easy_setopt(openHandle, CURLOPT_CAINFO, static_cast<char*>(nullptr));
    curl_easy_setopt(openHandle, CURLOPT_CAPATH, static_cast<char*>(nullptr));
    return true;
  }
  if (!trustSearched) {
    trusted = findTrustedCertificates(trustStore);
    trustSearched = true;
  }
  if (!trusted.error.empty()) {
    response.error = trusted.error;
    response.trustStoreMissing = true;
    return false;
  }
  // Both set every time: libcurl's own defaults name the places of the
  // distribution it was built on, which may not exist here.
  const char* file = trusted.file.empty() ? nullptr : trusted.file.c_str();
  const char* folder = trusted.folder.empty() ? nullptr : trusted.folder.c_str();
  curl_easy_setopt(openHandle, CURLOPT_CAINFO, file);
  curl_easy_setopt(openHandle, CURLOPT_CAPATH, folder);
  return true;
}

bool HttpClient::open(const std::string& baseUrl) {
  release();
  if (!parseBaseUrl(baseUrl)) return false;
  handle = curl_easy_init();
  if (handle == nullptr) return false;
  openHandle = handle;
  return true;
}

HttpResponse HttpClient::get(const std::string& path) { return get(path, maxBodyBytes); }

HttpResponse HttpClient::get(const std::string& path, const HttpProgress& progress) {
  HttpResponse response;
  get(path, maxBodyBytes, progress, response);
  return response;
}

HttpResponse HttpClient::get(const std::string& path, std::uint64_t maxBytes) {
  HttpResponse response;
  get(path, maxBytes, HttpProgress(), response);
  return response;
}

void HttpClient::get(const std::string& path, const HttpProgress& progress,
                     HttpResponse& response) {
  get(path, maxBodyBytes, progress, response);
}

void HttpClient::get(const std::string& path, std::uint64_t maxBytes,
                     const HttpProgress& progress, HttpResponse& response) {
  // Cleared, not replaced: the body keeps its memory for the next request.
  response.status = 0;
  response.body.clear();
  response.error.clear();
  response.pinRejected = false;
  response.trustStoreMissing = false;
  response.cancelled = false;
  response.tooLarge = false;
  if (openHandle == nullptr) {
    response.error = "not connected";
    return;
  }
  if (cancel != nullptr && cancel->load()) {
    markCancelled(response);
    return;
  }
  curl_easy_reset(openHandle);
  std::string url = requestUrl(path);
  HeaderList headers;
  if (!accessKey.empty()) headers.add("X-Access-Key: " + accessKey);

  TransferContext transfer;
  transfer.response = &response;
  transfer.decoder = &decoder;
  decoder.start(BodyEncoding::identity);
  transfer.limit = maxBytes < maxBodyBytes ? maxBytes : maxBodyBytes;
  transfer.errorLimit = maxBodyBytes;
  transfer.progress = &progress;
  transfer.cancel = cancel;

  curl_easy_setopt(openHandle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(openHandle, CURLOPT_USERAGENT, kUserAgent);
  // No signals for time-outs: clients run on several threads at once.
  curl_easy_setopt(openHandle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(openHandle, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  // No whole-transfer limit, since a large bundle on a slow line may take
  // long: the floor rate ends a transfer that stalls or drips, and the size
  // bound one that goes on for ever just above it.
  acceptEncodings(openHandle);
  setSinks(openHandle, &transfer);
  if (headers.get() != nullptr) curl_easy_setopt(openHandle, CURLOPT_HTTPHEADER, headers.get());
  if (!applyTrust(response)) return;
  const std::string* pin = &certificatePin;
  if (!applyPin(openHandle, *this, &pin)) {
    response.error = kPinUnsupported;
    return;
  }

  startFloor(transfer, minBytesPerSecond, slowWindowSeconds);
  CURLcode result = perform(openHandle, transfer);
  if (transfer.cancelled) {
    markCancelled(response);
  } else if (transfer.tooLarge) {
    response.error = "the response was larger than expected";
    response.tooLarge = true;
  } else if (transfer.tooSlow) {
    response.error = tooSlowError(minBytesPerSecond, slowWindowSeconds);
  } else if (undecodable(transfer, result)) {
    response.error = undecodableError("could not reach the server");
  } else if (result != CURLE_OK && pinInForce(*this) && isTlsVerificationFailure(result)) {
    response.error = kNotGenuine;
    response.pinRejected = true;
  } else if (result != CURLE_OK) {
    response.error = std::string("could not reach the server (") + curl_easy_strerror(result) + ")";
  }
}

HttpResponse HttpClient::post(const std::string& path, const std::string& contentType,
                              const std::string& body) {
  HttpResponse response;
  if (openHandle == nullptr) {
    response.error = "not connected";
    return response;
  }
  if (cancel != nullptr && cancel->load()) {
    markCancelled(response);
    return response;
  }
  curl_easy_reset(openHandle);
  std::string url = requestUrl(path);
  HeaderList headers;
  headers.add("Content-Type: " + contentType);
  if (!accessKey.empty()) headers.add("X-Access-Key: " + accessKey);
  // An empty Expect removes the "100-continue" handshake libcurl would add,
  // which costs a round trip (or a second's wait) for nothing.
  headers.add("Expect:");

  TransferContext transfer;
  transfer.response = &response;
  transfer.decoder = &decoder;
  decoder.start(BodyEncoding::identity);
  transfer.limit = kPostReplyLimit;
  transfer.errorLimit = kPostReplyLimit;
  transfer.cancel = cancel;

  curl_easy_setopt(openHandle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(openHandle, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(openHandle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(openHandle, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  curl_easy_setopt(openHandle, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
  acceptEncodings(openHandle);
  curl_easy_setopt(openHandle, CURLOPT_POST, 1L);
  curl_easy_setopt(openHandle, CURLOPT_POSTFIELDS, body.data());
  // The length is given, so a body with zero bytes inside is sent whole.
  curl_easy_setopt(openHandle, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(openHandle, CURLOPT_HTTPHEADER, headers.get());
  setSinks(openHandle, &transfer);
  if (!applyTrust(response)) return response;
  const std::string* pin = &certificatePin;
  if (!applyPin(openHandle, *this, &pin)) {
    response.error = kPinUnsupported;
    return response;
  }

  CURLcode result = perform(openHandle, transfer);
  if (transfer.cancelled) {
    markCancelled(response);
  } else if (transfer.tooLarge) {
    response.error = "the reply was too large";
    response.tooLarge = true;
  } else if (undecodable(transfer, result)) {
    response.error = undecodableError("could not reach the login server");
  } else if (result == CURLE_OK) {
    response.error.clear();
  } else if (isTlsVerificationFailure(result)) {
    response.error = kNotGenuine;
    response.pinRejected = pinInForce(*this);
  } else {
    response.error =
        std::string("could not reach the login server (") + curl_easy_strerror(result) + ")";
  }
  return response;
}

}  // namespace vantis::content
