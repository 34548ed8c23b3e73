// A scriptable HTTP/1.1 server for tests, on 127.0.0.1 inside the test
// process: for the faults a real server will not produce on demand (chosen
// statuses, odd headers, dropped connections, slow answers) and for checking
// what a client actually sent.
//
//   skarvel::test::ScriptServer server;            // listens on a free port
//   ASSERT_TRUE(server.ok());
//   skarvel::test::ScriptedResponse reply;
//   reply.status = 503;
//   reply.body = "busy";
//   server.on("/current.json", reply);            // path without the query
//   ... client.open(server.url()) ...             // "http://127.0.0.1:<port>"
//   auto seen = server.requests();                // every request, in order
//   EXPECT_EQ(seen[0].header("x-access-key"), "k");
//
// Paths without a script get 404 "not found\n". Connections are kept alive
// until the client closes them, a response asks to drop them, or the server
// is destroyed; the destructor stops and joins every thread it started. All
// member functions may be called from any thread. Plain HTTP only (no TLS,
// no chunked request bodies).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace skarvel::test {

using HeaderLines = std::vector<std::pair<std::string, std::string>>;

struct ScriptedResponse {
  int status = 200;
  // Sent after the status line exactly as given, in this order.
  HeaderLines headers;
  std::string body;
  // Adds "Content-Length: <body size>" unless `headers` already names a
  // content length (in any case) or `chunked` is set.
  bool addContentLength = true;
  // Sends the body with "Transfer-Encoding: chunked", one chunk per piece.
  bool chunked = false;
  // Closes the connection once this many body bytes are out (before the
  // chunk framing, when chunked), whatever the headers promised.
  std::size_t dropAfter = std::string::npos;
  // Waits this long before the status line.
  int delayMs = 0;
  // When non-zero, the body goes out in pieces of this many bytes with
  // pieceDelayMs between them.
  std::size_t pieceBytes = 0;
  int pieceDelayMs = 0;
  // With pieceBytes, the status line and headers go out in such pieces too:
  // a server that drips before the body begins.
  bool dripHead = false;
  // Sends the body this many times over as one response, for bodies far
  // larger than a test wants to hold; 0 repeats it until the client goes
  // away or the server stops. With `chunked` each copy is one chunk; without
  // it the Content-Length (when added) counts every copy, and an endless body
  // has none and ends with the connection. Pieces and `dropAfter` apply only
  // to a body sent once.
  std::uint64_t repeat = 1;
};

struct RecordedRequest {
  std::string method;
  std::string target;  // as sent, query included
  std::string version;
  HeaderLines headers;  // names and values as sent, in order
  std::string body;     // read by Content-Length
  int connection = 0;   // accepted connections are numbered from 1

  // The value of the first header with this name (any case), or "".
  std::string header(const std::string& name) const;
  bool hasHeader(const std::string& name) const;
};

class ScriptServer {
 public:
  ScriptServer();
  ~ScriptServer();
  ScriptServer(const ScriptServer&) = delete;
  ScriptServer& operator=(const ScriptServer&) = delete;

  // False when no listening socket could be made.
  bool ok() const { return listener_ >= 0; }
  uint16_t port() const { return port_; }
  std::string url() const;

  // Answers requests whose path (the target before any "?") is `path`.
  void on(const std::string& path, const ScriptedResponse& response);
  // Answers the next `times` requests for `path` with `response`, ahead of
  // the script set with `on` (or the 404): for faults that clear up, such
  // as "503 twice, then the file". Queued answers are used once each, in the
  // order they were queued.
  void onNext(const std::string& path, const ScriptedResponse& response, int times = 1);
  std::vector<RecordedRequest> requests() const;

 private:
  void acceptLoop();
  void serve(int socket, int connection);
  bool waitFor(int milliseconds);  // false when the server stops meanwhile
  bool answer(int socket, const ScriptedResponse& response);
  bool sendHead(int socket, const std::string& head, const ScriptedResponse& response);
  bool sendRepeated(int socket, const ScriptedResponse& response);
  ScriptedResponse scriptFor(const std::string& target);

  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;  // guards the members below
  std::condition_variable stopped_;
  std::map<std::string, ScriptedResponse> scripts_;
  std::map<std::string, std::deque<ScriptedResponse>> queued_;
  std::vector<RecordedRequest> requests_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

}  // namespace skarvel::test
