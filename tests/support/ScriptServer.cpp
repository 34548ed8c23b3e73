// The scripted test server: one thread accepts, one thread per connection
// reads requests, records them and plays the script for their path. Every
// blocking call waits at most 50 ms before it looks at the stop flag again,
// so the destructor's joins are bounded.

#include "ScriptServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace skarvel::test {

namespace {

constexpr int kPollMs = 50;
constexpr std::size_t kMaxHeadBytes = 1 << 20;
constexpr std::size_t kMaxBodyBytes = 64 << 20;

std::string lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

const char* reasonFor(int status) {
  switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Scripted";
  }
}

bool hasHeaderNamed(const HeaderLines& headers, const std::string& name) {
  for (const auto& header : headers) {
    if (lowered(header.first) == name) return true;
  }
  return false;
}

// False when the connection must close after the response: its end is marked
// by nothing but the close, or the script asks for it.
bool keepsOpen(const ScriptedResponse& response) {
  bool namesLength = hasHeaderNamed(response.headers, "content-length");
  bool sizedBody = response.addContentLength && response.repeat != 0;
  bool framed = response.chunked || namesLength || sizedBody;
  bool asksToClose = false;
  for (const auto& header : response.headers) {
    if (lowered(header.first) == "connection" && lowered(header.second) == "close") asksToClose = true;
  }
  return framed && !asksToClose;
}

std::string trimmed(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// Sends everything unless the peer goes away or the server stops. The socket
// has a short send time-out so a client that stops reading cannot hold a
// thread forever.
bool sendAll(int socket, const char* data, std::size_t size, const std::atomic<bool>& stopping) {
  while (size > 0) {
    if (stopping) return false;
    ssize_t sent = ::send(socket, data, size, MSG_NOSIGNAL);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

bool sendText(int socket, const std::string& text, const std::atomic<bool>& stopping) {
  return sendAll(socket, text.data(), text.size(), stopping);
}

// Reads more bytes into buffer; false on end of stream, error or stop.
bool receiveMore(int socket, std::string& buffer, const std::atomic<bool>& stopping) {
  while (!stopping) {
    pollfd wanted{socket, POLLIN, 0};
    int ready = ::poll(&wanted, 1, kPollMs);
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    char chunk[16384];
    ssize_t got = ::recv(socket, chunk, sizeof chunk, 0);
    if (got <= 0) return false;
    buffer.append(chunk, static_cast<std::size_t>(got));
    return true;
  }
  return false;
}

// Parses the request line and headers of `head` (without the blank line).
RecordedRequest parseHead(const std::string& head) {
  RecordedRequest request;
  size_t lineEnd = head.find("\r\n");
  std::string requestLine = head.substr(0, lineEnd);
  size_t firstSpace = requestLine.find(' ');
  size_t lastSpace = requestLine.rfind(' ');
  if (firstSpace != std::string::npos && lastSpace > firstSpace) {
    request.method = requestLine.substr(0, firstSpace);
    request.target = requestLine.substr(firstSpace + 1, lastSpace - firstSpace - 1);
    request.version = requestLine.substr(lastSpace + 1);
  }
  while (lineEnd != std::string::npos) {
    size_t start = lineEnd + 2;
    lineEnd = head.find("\r\n", start);
    std::string line = head.substr(start, lineEnd == std::string::npos ? std::string::npos
                                                                       : lineEnd - start);
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    request.headers.emplace_back(line.substr(0, colon), trimmed(line.substr(colon + 1)));
  }
  return request;
}

}  // namespace

std::string RecordedRequest::header(const std::string& name) const {
  std::string wanted = lowered(name);
  for (const auto& entry : headers) {
    if (lowered(entry.first) == wanted) return entry.second;
  }
  return std::string();
}

bool RecordedRequest::hasHeader(const std::string& name) const {
  return hasHeaderNamed(headers, lowered(name));
}

ScriptServer::ScriptServer() {
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  bool listening = ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                   ::listen(listener, 64) == 0 &&
                   ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  if (!listening) {
    ::close(listener);
    return;
  }
  listener_ = listener;
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

ScriptServer::~ScriptServer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stopped_.notify_all();
  if (acceptor_.joinable()) acceptor_.join();
  // The acceptor is gone, so no worker is added any more.
  for (std::thread& worker : workers_) worker.join();
  if (listener_ >= 0) ::close(listener_);
}

std::string ScriptServer::url() const { return "http://127.0.0.1:" + std::to_string(port_); }

void ScriptServer::on(const std::string& path, const ScriptedResponse& response) {
  std::lock_guard<std::mutex> lock(mutex_);
  scripts_[path] = response;
}

void ScriptServer::onNext(const std::string& path, const ScriptedResponse& response, int times) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (int i = 0; i < times; ++i) queued_[path].push_back(response);
}

std::vector<RecordedRequest> ScriptServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

ScriptedResponse ScriptServer::scriptFor(const std::string& target) {
  std::string path = target.substr(0, target.find('?'));
  std::lock_guard<std::mutex> lock(mutex_);
  auto next = queued_.find(path);
  if (next != queued_.end() && !next->second.empty()) {
    ScriptedResponse response = next->second.front();
    next->second.pop_front();
    return response;
  }
  auto found = scripts_.find(path);
  if (found != scripts_.end()) return found->second;
  ScriptedResponse missing;
  missing.status = 404;
  missing.body = "not found\n";
  return missing;
}

bool ScriptServer::waitFor(int milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !stopped_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                            [this] { return stopping_.load(); });
}

void ScriptServer::acceptLoop() {
  int connections = 0;
  while (!stopping_) {
    pollfd wanted{listener_, POLLIN, 0};
    if (::poll(&wanted, 1, kPollMs) <= 0) continue;
    int socket = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (socket < 0) continue;
    timeval sendLimit{0, kPollMs * 1000};
    ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
    int connection = ++connections;
    std::lock_guard<std::mutex> lock(mutex_);
    workers_.emplace_back([this, socket, connection] { serve(socket, connection); });
  }
}

void ScriptServer::serve(int socket, int connection) {
  std::string buffer;
  bool open = true;
  while (open && !stopping_) {
    size_t headEnd = buffer.find("\r\n\r\n");
    if (headEnd == std::string::npos) {
      open = buffer.size() < kMaxHeadBytes && receiveMore(socket, buffer, stopping_);
      continue;
    }
    RecordedRequest request = parseHead(buffer.substr(0, headEnd));
    request.connection = connection;
    std::size_t bodySize = std::strtoull(request.header("content-length").c_str(), nullptr, 10);
    if (bodySize > kMaxBodyBytes) break;
    size_t bodyStart = headEnd + 4;
    while (open && buffer.size() - bodyStart < bodySize) {
      open = receiveMore(socket, buffer, stopping_);
    }
    if (!open) break;
    request.body = buffer.substr(bodyStart, bodySize);
    buffer.erase(0, bodyStart + bodySize);
    ScriptedResponse script = scriptFor(request.target);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
    }
    open = answer(socket, script);
  }
  ::close(socket);
}

// Plays one script; false when the connection must close afterwards.
bool ScriptServer::answer(int socket, const ScriptedResponse& response) {
  if (response.delayMs > 0 && !waitFor(response.delayMs)) return false;
  std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " +
                     reasonFor(response.status) + "\r\n";
  for (const auto& header : response.headers) head += header.first + ": " + header.second + "\r\n";
  bool namesLength = hasHeaderNamed(response.headers, "content-length");
  bool endless = response.repeat == 0;
  if (response.chunked) {
    head += "Transfer-Encoding: chunked\r\n";
  } else if (response.addContentLength && !namesLength && !endless) {
    head += "Content-Length: " + std::to_string(response.body.size() * response.repeat) + "\r\n";
  }
  head += "\r\n";
  if (!sendHead(socket, head, response)) return false;
  if (response.repeat != 1) return sendRepeated(socket, response) && keepsOpen(response);

  const std::string& body = response.body;
  std::size_t pieceSize = response.pieceBytes > 0 ? response.pieceBytes : body.size();
  std::size_t sent = 0;
  while (sent < body.size()) {
    if (sent >= response.dropAfter) return false;
    std::size_t size = std::min(pieceSize, body.size() - sent);
    size = std::min(size, response.dropAfter - sent);
    std::string piece = body.substr(sent, size);
    if (response.chunked) {
      char length[32];
      std::snprintf(length, sizeof length, "%zx\r\n", size);
      piece = length + piece + "\r\n";
    }
    if (!sendText(socket, piece, stopping_)) return false;
    sent += size;
    bool morePieces = sent < body.size() && sent < response.dropAfter;
    if (morePieces && response.pieceDelayMs > 0 && !waitFor(response.pieceDelayMs)) return false;
  }
  if (sent >= response.dropAfter && response.dropAfter != std::string::npos) return false;
  if (response.chunked && !sendText(socket, "0\r\n\r\n", stopping_)) return false;
  return keepsOpen(response);
}

bool ScriptServer::sendHead(int socket, const std::string& head, const ScriptedResponse& response) {
  bool dripping = response.dripHead && response.pieceBytes > 0;
  if (!dripping) return sendText(socket, head, stopping_);
  for (std::size_t sent = 0; sent < head.size(); sent += response.pieceBytes) {
    if (sent > 0 && !waitFor(response.pieceDelayMs)) return false;
    if (!sendText(socket, head.substr(sent, response.pieceBytes), stopping_)) return false;
  }
  return true;
}

// A repeated body: the same bytes (framed as one chunk each, when chunked)
// sent again and again. An endless one ends only when sending fails, which is
// when the client hangs up or the server stops.
bool ScriptServer::sendRepeated(int socket, const ScriptedResponse& response) {
  // Sending nothing forever would never notice either.
  if (response.body.empty()) return !response.chunked || sendText(socket, "0\r\n\r\n", stopping_);
  std::string copy = response.body;
  if (response.chunked) {
    char length[32];
    std::snprintf(length, sizeof length, "%zx\r\n", copy.size());
    copy = length + copy + "\r\n";
  }
  for (std::uint64_t sent = 0; response.repeat == 0 || sent < response.repeat; ++sent) {
    if (!sendText(socket, copy, stopping_)) return false;
  }
  return !response.chunked || sendText(socket, "0\r\n\r\n", stopping_);
}

}  // namespace skarvel::test
