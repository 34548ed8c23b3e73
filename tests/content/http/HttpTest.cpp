// HttpClient against real servers on 127.0.0.1: the scripted test server for
// statuses, headers, limits, cancellation, dripping servers, dropped
// connections and what the client sends; nginx for plain HTTP, HTTPS with a
// certificate pin or against a trust store found in the usual places, gzip
// objects, and six clients on six threads at once.

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <zstd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <memory>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "http/Http.h"
#include "HandRelease.h"
#include "NginxServer.h"
#include "ScriptServer.h"
#include "TempDir.h"

namespace vantis::content {
namespace {

using namespace skarvel::test;

const char* const kNotGenuine = "the login server could not be verified as genuine";

std::string text(const HttpResponse& response) {
  return std::string(response.body.begin(), response.body.end());
}

// size bytes that differ from position to position (and from seed to seed),
// zero bytes included, so a shifted or truncated copy never looks right.
std::string patterned(size_t size, unsigned seed = 1) {
  std::string bytes(size, '\0');
  uint32_t state = seed * 2654435761u + 12345u;
  for (char& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>(state >> 23);
  }
  return bytes;
}

bool isPrefixOf(const std::string& part, const std::string& whole) {
  return part.size() <= whole.size() && whole.compare(0, part.size(), part) == 0;
}

std::string getFailure(CURLcode code) {
  return std::string("could not reach the server (") + curl_easy_strerror(code) + ")";
}

std::string postFailure(CURLcode code) {
  return std::string("could not reach the login server (") + curl_easy_strerror(code) + ")";
}

ScriptedResponse reply(int status, const std::string& body) {
  ScriptedResponse response;
  response.status = status;
  response.body = body;
  return response;
}

class HttpScripted : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.ok());
    ASSERT_TRUE(client.open(server.url()));
  }

  ScriptServer server;
  HttpClient client;
};

TEST_F(HttpScripted, GetSendsUserAgentAccessKeyAndBaseQuery) {
  server.on("/base/current.json", reply(200, "{\"v\":1}"));
  HttpClient keyed;
  ASSERT_TRUE(keyed.open(server.url() + "/base?tier=2"));
  keyed.accessKey = "k3y";

  HttpResponse got = keyed.get("/current.json");

  EXPECT_EQ(got.error, "");
  EXPECT_EQ(got.status, 200);
  EXPECT_EQ(text(got), "{\"v\":1}");
  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "GET");
  EXPECT_EQ(seen[0].target, "/base/current.json?tier=2");
  EXPECT_EQ(seen[0].header("Host"), "127.0.0.1:" + std::to_string(server.port()));
  EXPECT_EQ(seen[0].header("User-Agent"), "Skarvel/1.0");
  EXPECT_EQ(seen[0].header("X-Access-Key"), "k3y");
  std::string encodings = seen[0].header("Accept-Encoding");
  EXPECT_NE(encodings.find("gzip"), std::string::npos) << encodings;
  EXPECT_NE(encodings.find("zstd"), std::string::npos) << encodings;
}

TEST_F(HttpScripted, NoAccessKeyHeaderWithoutAKey) {
  server.on("/x", reply(200, "x"));
  client.get("/x");
  client.post("/x", "text/plain", "y");
  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_FALSE(seen[0].hasHeader("X-Access-Key"));
  EXPECT_FALSE(seen[1].hasHeader("X-Access-Key"));
}

TEST_F(HttpScripted, StatusesComeBackWithTheirBodyAndNoError) {
  const std::pair<int, std::string> cases[] = {
      {200, "fine"}, {404, "no such object"}, {403, "denied"}, {500, "broken"},
      {503, "busy"}, {204, ""}};
  for (const auto& [status, body] : cases) {
    SCOPED_TRACE(status);
    server.on("/s", reply(status, body));
    HttpResponse got = client.get("/s");
    EXPECT_EQ(got.status, status);
    EXPECT_EQ(text(got), body);
    EXPECT_EQ(got.error, "");
    EXPECT_FALSE(got.pinRejected);
    // An empty reply leaves the body without any storage.
    if (body.empty()) {
      EXPECT_EQ(got.body.capacity(), 0u);
    }
  }
}

TEST_F(HttpScripted, RedirectsAreNotFollowed) {
  server.on("/moved", reply(200, "followed"));
  for (int status : {301, 302, 303, 307, 308}) {
    SCOPED_TRACE(status);
    ScriptedResponse redirect = reply(status, "see elsewhere");
    redirect.headers = {{"Location", server.url() + "/moved"}};
    server.on("/old", redirect);

    HttpResponse got = client.get("/old");

    EXPECT_EQ(got.status, status);
    EXPECT_EQ(text(got), "see elsewhere");
    EXPECT_EQ(got.error, "");
  }
  for (const auto& request : server.requests()) EXPECT_EQ(request.target, "/old");
}

struct LengthCase {
  const char* name;
  HeaderLines headers;
  bool chunked;
  unsigned long expected;
};

// The expected total only reaches the progress function, so that is where
// it is observed.
TEST_F(HttpScripted, ContentLengthFeedsTheExpectedTotal) {
  const std::string body = patterned(50);
  const LengthCase cases[] = {
      {"exact length", {{"Content-Length", "50"}}, false, 50},
      {"capitals", {{"CONTENT-LENGTH", "1234"}}, true, 1234},
      {"mixed case and blanks", {{"content-Length", "   777"}}, true, 777},
      {"zero leaves it at 0", {{"Content-Length", "0"}}, true, 0},
      {"zero after a value keeps the value",
       {{"Content-Length", "1234"}, {"Content-Length", "0"}}, true, 1234},
      {"no header", {}, true, 0},
  };
  for (const LengthCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedResponse scripted = reply(200, body);
    scripted.headers = c.headers;
    scripted.chunked = c.chunked;
    server.on("/len", scripted);
    std::vector<std::pair<unsigned long, unsigned long>> calls;

    HttpResponse got = client.get("/len", [&](unsigned long received, unsigned long expected) {
      calls.emplace_back(received, expected);
      return true;
    });

    ASSERT_EQ(got.error, "");
    EXPECT_EQ(text(got), body);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().first, body.size());
    for (const auto& call : calls) EXPECT_EQ(call.second, c.expected);
  }
}

TEST_F(HttpScripted, ProgressSeesTheBodyGrowToItsFullSize) {
  const std::string body = patterned(300000);
  ScriptedResponse scripted = reply(200, body);
  scripted.pieceBytes = 65536;
  server.on("/big", scripted);
  std::vector<unsigned long> received;

  HttpResponse got = client.get("/big", [&](unsigned long bytes, unsigned long expected) {
    received.push_back(bytes);
    EXPECT_EQ(expected, 300000u);
    return true;
  });

  ASSERT_EQ(got.error, "");
  EXPECT_EQ(text(got), body);
  ASSERT_GT(received.size(), 1u);
  for (size_t i = 1; i < received.size(); ++i) EXPECT_GT(received[i], received[i - 1]);
  EXPECT_EQ(received.back(), body.size());
}

struct LimitCase {
  const char* name;
  size_t size;
  bool chunked;
  bool accepted;
};

TEST_F(HttpScripted, BodyLimitAcceptsExactlyMaxBodyBytes) {
  client.maxBodyBytes = 64;
  const LimitCase cases[] = {
      {"exactly the limit", 64, false, true},
      {"exactly the limit, chunked", 64, true, true},
      {"one byte more", 65, false, false},
      {"one byte more, chunked", 65, true, false},
      {"far more", 100000, false, false},
  };
  for (const LimitCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string body = patterned(c.size, 7);
    ScriptedResponse scripted = reply(200, body);
    scripted.chunked = c.chunked;
    scripted.pieceBytes = 16;
    server.on("/limit", scripted);

    HttpResponse got = client.get("/limit");

    EXPECT_EQ(got.status, 200);
    if (c.accepted) {
      EXPECT_EQ(got.error, "");
      EXPECT_EQ(text(got), body);
      continue;
    }
    EXPECT_EQ(got.error, "the response was larger than expected");
    // Whatever chunks fitted are kept, and nothing beyond the limit.
    EXPECT_LE(got.body.size(), 64u);
    EXPECT_TRUE(isPrefixOf(text(got), body));
  }
}

TEST_F(HttpScripted, ProgressReturningFalseCancels) {
  const std::string body = patterned(1 << 20);
  server.on("/big", reply(200, body));
  int calls = 0;

  HttpResponse got = client.get("/big", [&](unsigned long, unsigned long) {
    ++calls;
    return false;
  });

  EXPECT_EQ(got.error, "cancelled");
  EXPECT_EQ(got.status, 200);
  EXPECT_EQ(calls, 1);
  // The chunk handed over with the refused call is kept.
  EXPECT_FALSE(got.body.empty());
  EXPECT_LT(got.body.size(), body.size());
  EXPECT_TRUE(isPrefixOf(text(got), body));
}

TEST_F(HttpScripted, CancellingPartWayKeepsWhatArrived) {
  const std::string body = patterned(1 << 20);
  server.on("/big", reply(200, body));

  HttpResponse got = client.get("/big", [](unsigned long received, unsigned long) {
    return received < 100000;
  });

  EXPECT_EQ(got.error, "cancelled");
  EXPECT_GE(got.body.size(), 100000u);
  EXPECT_LT(got.body.size(), body.size());
  EXPECT_TRUE(isPrefixOf(text(got), body));

  // The client is still good for the next request.
  server.on("/small", reply(200, "ok"));
  HttpResponse next = client.get("/small");
  EXPECT_EQ(next.error, "");
  EXPECT_EQ(text(next), "ok");
}

TEST_F(HttpScripted, ExceptionFromProgressPropagatesAfterTheTransfer) {
  server.on("/big", reply(200, patterned(200000)));
  EXPECT_THROW(client.get("/big",
                          [](unsigned long, unsigned long) -> bool {
                            throw std::runtime_error("caller gave up");
                          }),
               std::runtime_error);

  server.on("/small", reply(200, "ok"));
  HttpResponse next = client.get("/small");
  EXPECT_EQ(next.error, "");
  EXPECT_EQ(text(next), "ok");
}

TEST_F(HttpScripted, DroppedConnectionKeepsThePartialBody) {
  const std::string body = patterned(1000);
  ScriptedResponse scripted = reply(200, body);
  scripted.dropAfter = 300;
  server.on("/cut", scripted);

  HttpResponse got = client.get("/cut");

  EXPECT_EQ(got.error, getFailure(CURLE_PARTIAL_FILE));
  EXPECT_EQ(got.status, 200);
  EXPECT_EQ(text(got), body.substr(0, 300));
  EXPECT_FALSE(got.pinRejected);
}

TEST_F(HttpScripted, SuccessiveRequestsReuseOneConnection) {
  server.on("/a", reply(200, "a"));
  server.on("/b", reply(200, "b"));
  ASSERT_EQ(client.get("/a").error, "");
  ASSERT_EQ(client.get("/b").error, "");
  ASSERT_EQ(client.post("/a", "text/plain", "p").error, "");
  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[1].connection, seen[0].connection);
  EXPECT_EQ(seen[2].connection, seen[0].connection);
}

TEST_F(HttpScripted, AReusedResponseHoldsOnlyTheLatestRequest) {
  const std::string big = patterned(100000);
  server.on("/big", reply(200, big));
  server.on("/gone", reply(404, ""));
  server.on("/small", reply(200, "small"));
  HttpResponse response;
  client.get("/big", HttpProgress(), response);
  ASSERT_TRUE(response.succeeded()) << response.error;
  EXPECT_EQ(text(response), big);
  const std::size_t capacity = response.body.capacity();

  client.get("/gone", HttpProgress(), response);
  EXPECT_EQ(response.status, 404);
  EXPECT_TRUE(response.body.empty());
  client.get("/small", HttpProgress(), response);
  EXPECT_EQ(text(response), "small");
  EXPECT_EQ(response.body.capacity(), capacity) << "the body's memory is kept";

  HttpClient closed;
  closed.get("/small", HttpProgress(), response);
  EXPECT_EQ(response.error, "not connected");
  EXPECT_EQ(response.status, 0);
  EXPECT_TRUE(response.body.empty());
}

TEST_F(HttpScripted, PostSendsTheBodyWholeWithItsHeaders) {
  // Zero bytes inside, and large enough that libcurl would otherwise ask for
  // "100-continue" first.
  const std::string body = std::string("a\0b\0\0c", 6) + patterned(2 << 20);
  server.on("/login", reply(201, "{\"token\":\"t\"}"));
  client.accessKey = "secret";

  HttpResponse got = client.post("/login", "application/octet-stream", body);

  EXPECT_EQ(got.error, "");
  EXPECT_EQ(got.status, 201);
  EXPECT_EQ(text(got), "{\"token\":\"t\"}");
  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 1u);
  const auto& request = seen[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, "/login");
  EXPECT_TRUE(request.body == body) << "body of " << request.body.size() << " bytes differs";
  EXPECT_EQ(request.header("Content-Type"), "application/octet-stream");
  EXPECT_EQ(request.header("X-Access-Key"), "secret");
  EXPECT_EQ(request.header("User-Agent"), "Skarvel/1.0");
  EXPECT_FALSE(request.hasHeader("Expect"));
  size_t typeAt = 0, keyAt = 0;
  for (size_t i = 0; i < request.headers.size(); ++i) {
    if (request.headers[i].first == "Content-Type") typeAt = i;
    if (request.headers[i].first == "X-Access-Key") keyAt = i;
  }
  EXPECT_LT(typeAt, keyAt);
}

TEST_F(HttpScripted, PostReturnsErrorStatusesWithoutError) {
  server.on("/login", reply(403, "wrong password"));
  HttpResponse got = client.post("/login", "application/json", "{}");
  EXPECT_EQ(got.status, 403);
  EXPECT_EQ(text(got), "wrong password");
  EXPECT_EQ(got.error, "");
}

TEST_F(HttpScripted, PostReplyLimitIs256KiB) {
  server.on("/fits", reply(200, patterned(262144)));
  server.on("/over", reply(200, patterned(262145)));

  HttpResponse fits = client.post("/fits", "text/plain", "");
  EXPECT_EQ(fits.error, "");
  EXPECT_EQ(fits.body.size(), 262144u);

  HttpResponse over = client.post("/over", "text/plain", "");
  EXPECT_EQ(over.error, "the reply was too large");
  EXPECT_EQ(over.status, 200);
  EXPECT_LE(over.body.size(), 262144u);
  EXPECT_TRUE(isPrefixOf(text(over), patterned(262145)));
}

// The GET limit is a separate field and does not bound POST replies.
TEST_F(HttpScripted, PostIgnoresMaxBodyBytes) {
  client.maxBodyBytes = 4;
  server.on("/p", reply(200, "longer than four"));
  EXPECT_EQ(client.post("/p", "text/plain", "").error, "");
}

TEST_F(HttpScripted, PostGivesUpAfterTimeoutMs) {
  ScriptedResponse slow = reply(200, "late");
  slow.delayMs = 5000;
  server.on("/slow", slow);
  client.timeoutMs = 300;

  HttpResponse got = client.post("/slow", "text/plain", "x");

  EXPECT_EQ(got.error, postFailure(CURLE_OPERATION_TIMEDOUT));
  EXPECT_EQ(got.status, 0);
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// No request of these may outlive this, whatever the machine's speed: the
// windows are two seconds and the dripping answers would take minutes.
constexpr double kGenerousSeconds = 30.0;

struct DripCase {
  const char* name;
  ScriptedResponse script;
  bool statusArrives;
};

ScriptedResponse dripping(size_t pieceBytes, int pieceDelayMs, size_t bodyBytes, bool head) {
  ScriptedResponse script = reply(200, patterned(bodyBytes, 9));
  script.pieceBytes = pieceBytes;
  script.pieceDelayMs = pieceDelayMs;
  script.dripHead = head;
  return script;
}

TEST_F(HttpScripted, AServerBelowTheFloorRateIsGivenUp) {
  client.minBytesPerSecond = 1024;
  client.slowWindowSeconds = 2;
  ScriptedResponse silent = reply(200, "late");
  silent.delayMs = 600000;
  const DripCase cases[] = {
      {"body at 2 bytes per second", dripping(2, 1000, 1000, false), true},
      {"headers at 2 bytes per second", dripping(2, 1000, 1000, true), false},
      {"headers and a byte, then silence", dripping(1, 600000, 1000, false), true},
      {"nothing at all", silent, false},
  };
  for (const DripCase& c : cases) {
    SCOPED_TRACE(c.name);
    server.on("/drip", c.script);
    const auto start = std::chrono::steady_clock::now();

    HttpResponse got = client.get("/drip");

    EXPECT_LT(secondsSince(start), kGenerousSeconds);
    EXPECT_EQ(got.error, "the server was too slow: less than 2048 bytes in 2 seconds");
    EXPECT_EQ(got.status, c.statusArrives ? 200 : 0);
    EXPECT_LT(got.body.size(), 100u);
  }
}

// Windows open afresh once their quota is met: a slow but steady server is
// not given up, however long the whole body takes.
TEST_F(HttpScripted, ASteadyServerAboveTheFloorFinishes) {
  client.minBytesPerSecond = 1024;
  client.slowWindowSeconds = 2;
  const ScriptedResponse steady = dripping(4096, 1000, 5 * 4096, false);
  server.on("/steady", steady);

  HttpResponse got = client.get("/steady");

  EXPECT_EQ(got.error, "");
  EXPECT_EQ(text(got), steady.body);
}

struct BoundCase {
  const char* name;
  ScriptedResponse script;
  std::uint64_t bound;
  std::string error;
  int status;
  bool wholeBody;  // else the body is a prefix no longer than the bound
};

TEST_F(HttpScripted, ARequestsOwnBoundRefusesTheExcessAtOnce) {
  client.maxBodyBytes = 100000;
  const std::string larger = "the response was larger than expected";
  ScriptedResponse announced = reply(200, patterned(5000, 2));
  // Were the announced length not refused, the body would take minutes.
  announced.pieceBytes = 10;
  announced.pieceDelayMs = 1000;
  ScriptedResponse chunked = reply(200, patterned(65, 3));
  chunked.chunked = true;
  chunked.pieceBytes = 16;
  // Random bytes grow a little in gzip, so the length on the wire is above a
  // bound that the decoded blob meets exactly.
  const std::string incompressible = patterned(4096, 4);
  ScriptedResponse gzipped = reply(200, gzipBytes(incompressible));
  gzipped.headers = {{"Content-Encoding", "gzip"}};
  std::string zstd(ZSTD_compressBound(incompressible.size()), '\0');
  zstd.resize(ZSTD_compress(zstd.data(), zstd.size(), incompressible.data(),
                            incompressible.size(), 3));
  ScriptedResponse zstdBody = reply(200, zstd);
  zstdBody.headers = {{"Content-Encoding", "zstd"}};
  // Whole on the wire, cut inside the gzip trailer.
  ScriptedResponse cutShort = reply(200, gzipped.body.substr(0, gzipped.body.size() - 4));
  cutShort.headers = gzipped.headers;
  ScriptedResponse notFound = reply(404, "<html>" + patterned(300, 5) + "</html>");
  const BoundCase cases[] = {
      {"exactly the bound", reply(200, patterned(64, 1)), 64, "", 200, true},
      {"one byte more, chunked", chunked, 64, larger, 200, false},
      {"a longer length announced", announced, 4999, larger, 200, false},
      {"gzip larger on the wire than decoded", gzipped, 4096, "", 200, true},
      {"zstd larger on the wire than decoded", zstdBody, 4096, "", 200, true},
      {"a gzip body that ends inside its member", cutShort, 4096,
       "could not reach the server (Unrecognized or bad HTTP Content or Transfer-Encoding)", 200,
       false},
      {"an error page beyond the bound keeps its status", notFound, 64, "", 404, true},
      {"the client's maxBodyBytes still caps the bound", reply(200, patterned(100001, 6)),
       200000, larger, 200, false},
  };
  for (const BoundCase& c : cases) {
    SCOPED_TRACE(c.name);
    server.on("/bounded", c.script);
    const auto start = std::chrono::steady_clock::now();

    HttpResponse got = client.get("/bounded", c.bound);

    EXPECT_LT(secondsSince(start), kGenerousSeconds);
    EXPECT_EQ(got.error, c.error);
    EXPECT_EQ(got.status, c.status);
    const bool encoded = !c.script.headers.empty();
    const std::string expected = encoded ? incompressible : c.script.body;
    if (c.wholeBody) {
      EXPECT_TRUE(text(got) == expected) << got.body.size() << " bytes";
    } else {
      EXPECT_LE(got.body.size(), c.bound);
      EXPECT_TRUE(isPrefixOf(text(got), expected));
    }
  }
  // Announced beyond the bound: refused before any of the body was taken.
  server.on("/bounded", announced);
  EXPECT_TRUE(client.get("/bounded", 4999).body.empty());
}

TEST_F(HttpScripted, TheCancelFlagEndsRequestsWithoutAProgressFunction) {
  ScriptedResponse silent = reply(200, "late");
  silent.delayMs = 600000;
  server.on("/silent", silent);
  client.timeoutMs = 600000;
  const std::function<HttpResponse()> requests[] = {
      [this] { return client.get("/silent"); },
      [this] { return client.post("/silent", "text/plain", "x"); },
  };
  for (const auto& request : requests) {
    std::atomic<bool> cancel{false};
    client.cancel = &cancel;
    const auto start = std::chrono::steady_clock::now();
    std::thread canceller([&cancel] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      cancel = true;
    });

    HttpResponse got = request();
    canceller.join();

    EXPECT_EQ(got.error, "cancelled");
    EXPECT_TRUE(got.cancelled);
    EXPECT_EQ(got.status, 0);
    EXPECT_LT(secondsSince(start), kGenerousSeconds);
    // Once set, nothing more is sent.
    const size_t sent = server.requests().size();
    EXPECT_EQ(request().error, "cancelled");
    EXPECT_EQ(server.requests().size(), sent);
  }
}

// A caller showing progress can stop a request also while the server sends
// nothing at all: its function is asked after every second of silence.
TEST_F(HttpScripted, ProgressIsAskedWhileTheServerSaysNothing) {
  ScriptedResponse silent = reply(200, "late");
  silent.delayMs = 600000;
  server.on("/silent", silent);
  int calls = 0;
  const auto start = std::chrono::steady_clock::now();

  HttpResponse got = client.get("/silent", [&calls](unsigned long received, unsigned long) {
    EXPECT_EQ(received, 0u);
    return ++calls < 2;
  });

  EXPECT_EQ(got.error, "cancelled");
  EXPECT_TRUE(got.cancelled);
  EXPECT_EQ(got.status, 0);
  EXPECT_EQ(calls, 2);
  EXPECT_LT(secondsSince(start), kGenerousSeconds);
  // A request that ends otherwise is not taken for a cancelled one.
  server.on("/small", reply(200, "ok"));
  EXPECT_FALSE(client.get("/small").cancelled);
}

TEST(HttpUnreachable, ClosedPortGivesCouldNotReach) {
  std::string url;
  {
    ScriptServer gone;
    ASSERT_TRUE(gone.ok());
    url = gone.url();
  }
  HttpClient client;
  ASSERT_TRUE(client.open(url));

  HttpResponse got = client.get("/current.json");
  EXPECT_EQ(got.error, getFailure(CURLE_COULDNT_CONNECT));
  EXPECT_EQ(got.status, 0);
  EXPECT_TRUE(got.body.empty());

  HttpResponse posted = client.post("/login", "application/json", "{}");
  EXPECT_EQ(posted.error, postFailure(CURLE_COULDNT_CONNECT));
  EXPECT_FALSE(posted.pinRejected);
}

// Compresses with the gzip command, so the decoder is checked against an
// encoder that is not libcurl's.
std::string gzipped(TempDir& dir, const std::string& data) {
  std::string plain = dir.file("plain.bin");
  writeFile(plain, data);
  if (std::system(("gzip -n -f '" + plain + "'").c_str()) != 0) return std::string();
  return readFile(plain + ".gz");
}

TEST(NginxHttp, ServesFilesAndMissingOnes) {
  TempDir root;
  const std::string pointer = "{\"release\":\"0.9.2\"}\n";
  const std::string blob = patterned(300000, 3);
  writeFile(root.file("current.json"), pointer);
  writeFile(root.file("data/blob.bin"), blob);
  NginxConfig config;
  config.root = root.path();
  NginxServer server(config);
  ASSERT_TRUE(server.ok()) << server.error();
  HttpClient client;
  ASSERT_TRUE(client.open(server.url() + "/"));

  HttpResponse got = client.get("/current.json");
  EXPECT_EQ(got.error, "");
  EXPECT_EQ(got.status, 200);
  EXPECT_EQ(text(got), pointer);

  got = client.get("/data/blob.bin");
  EXPECT_EQ(got.error, "");
  EXPECT_TRUE(text(got) == blob);

  got = client.get("/missing.json");
  EXPECT_EQ(got.status, 404);
  EXPECT_EQ(got.error, "");
  EXPECT_NE(text(got).find("404"), std::string::npos);
}

TEST(NginxHttp, GzipObjectsArriveDecodedAndCountDecoded) {
  TempDir root;
  TempDir work;
  const std::string original = std::string(200000, 'z') + patterned(1000, 5);
  const std::string packed = gzipped(work, original);
  ASSERT_FALSE(packed.empty());
  ASSERT_LT(packed.size(), 20000u);
  const std::string paths[] = {"/chunks/ab/cd/abcd.gz", "/bundles/01/23/0123.gz"};
  for (const std::string& path : paths) writeFile(root.file(path), packed);
  NginxConfig config;
  config.root = root.path();
  config.extra = NginxServer::gzipObjectLocations();
  NginxServer server(config);
  ASSERT_TRUE(server.ok()) << server.error();

  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    HttpClient client;
    ASSERT_TRUE(client.open(server.url()));
    client.maxBodyBytes = original.size();
    HttpResponse got = client.get(path);
    EXPECT_EQ(got.error, "");
    EXPECT_EQ(got.status, 200);
    EXPECT_TRUE(text(got) == original) << "got " << got.body.size() << " bytes";

    // The limit applies to the decoded bytes, not to the few on the wire.
    client.maxBodyBytes = original.size() - 1;
    got = client.get(path);
    EXPECT_EQ(got.error, "the response was larger than expected");
  }
}

class NginxHttps : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(root.file("current.json"), "{\"pinned\":true}");
    std::string certificate, key;
    ASSERT_TRUE(makeTestCertificate(certs.path(), certificate, key));
    pin = certificatePin(certificate);
    ASSERT_EQ(pin.size(), 64u);
    NginxConfig config;
    config.root = root.path();
    config.certificateFile = certificate;
    config.keyFile = key;
    server = std::make_unique<NginxServer>(config);
    ASSERT_TRUE(server->ok()) << server->error();
    // The certificate names "skarvel-test", not 127.0.0.1: with a pin the
    // host name is not checked.
    ASSERT_TRUE(client.open(server->url()));
  }

  TempDir root;
  TempDir certs;
  std::string pin;
  std::unique_ptr<NginxServer> server;
  HttpClient client;
};

TEST_F(NginxHttps, PinAcceptsTheMatchingSelfSignedCertificate) {
  client.certificatePin = pin;

  HttpResponse got = client.get("/current.json");
  EXPECT_EQ(got.error, "");
  EXPECT_EQ(got.status, 200);
  EXPECT_EQ(text(got), "{\"pinned\":true}");
  EXPECT_FALSE(got.pinRejected);

  // nginx refuses POST on a static file; what matters is that TLS held.
  HttpResponse posted = client.post("/current.json", "application/json", "{}");
  EXPECT_EQ(posted.error, "");
  EXPECT_EQ(posted.status, 405);
  EXPECT_FALSE(posted.pinRejected);
}

TEST_F(NginxHttps, WrongPinsAreRefused) {
  TempDir other;
  std::string otherCertificate, otherKey;
  ASSERT_TRUE(makeTestCertificate(other.path(), otherCertificate, otherKey));
  std::string upper = pin;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::string wrongPins[] = {
      std::string(64, '0'),
      certificatePin(otherCertificate),
      upper,  // the digest is compared case-sensitively
      pin.substr(0, 63),
      pin + "0",
  };
  for (const std::string& wrong : wrongPins) {
    SCOPED_TRACE(wrong);
    HttpClient pinned;
    ASSERT_TRUE(pinned.open(server->url()));
    pinned.certificatePin = wrong;

    HttpResponse got = pinned.get("/current.json");
    EXPECT_EQ(got.error, kNotGenuine);
    EXPECT_TRUE(got.pinRejected);
    EXPECT_EQ(got.status, 0);
    EXPECT_TRUE(got.body.empty());

    HttpResponse posted = pinned.post("/current.json", "application/json", "{}");
    EXPECT_EQ(posted.error, kNotGenuine);
    EXPECT_TRUE(posted.pinRejected);
  }
}

TEST_F(NginxHttps, WithoutPinTheSelfSignedCertificateFails) {
  HttpResponse got = client.get("/current.json");
  EXPECT_EQ(got.error, getFailure(CURLE_PEER_FAILED_VERIFICATION));
  EXPECT_FALSE(got.pinRejected);
  EXPECT_EQ(got.status, 0);

  // POST names a verification failure as such even without a pin, but does
  // not blame a pin that is not there.
  HttpResponse posted = client.post("/current.json", "application/json", "{}");
  EXPECT_EQ(posted.error, kNotGenuine);
  EXPECT_FALSE(posted.pinRejected);
}

const char* const kNoTrustStore =
    "no trusted certificates were found on this computer (install the system's "
    "ca-certificates package, or set SSL_CERT_FILE to a certificate bundle or "
    "SSL_CERT_DIR to a folder of certificates)";

// HTTPS checked the ordinary way: nginx shows a certificate for 127.0.0.1
// that a private authority issued, and the client trusts that authority only
// when its trust store holds it. The stores are laid out in a temp folder
// the way other distributions lay out /etc, and handed to the client as
// values: nothing here depends on this machine's own trust store.
class NginxTrust : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(root.file("current.json"), "{\"trusted\":true}");
    ASSERT_TRUE(makeTestAuthority(certs.path(), authority));
    NginxConfig config;
    config.root = root.path();
    config.certificateFile = authority.certificateFile;
    config.keyFile = authority.keyFile;
    server = std::make_unique<NginxServer>(config);
    ASSERT_TRUE(server->ok()) << server->error();
    ca = readFile(authority.caFile);
    ASSERT_TRUE(addHashedCertificate(authority.caFile, etc("pki/tls/certs")));
  }

  std::string etc(const std::string& relative) const { return fakeRoot.file("etc/" + relative); }

  // A store that finds nothing unless a case says otherwise.
  static TrustStore emptyStore() {
    TrustStore store;
    store.bundleCandidates.clear();
    store.folderCandidates.clear();
    return store;
  }

  HttpResponse fetch(const TrustStore& store) {
    HttpClient client;
    EXPECT_TRUE(client.open(server->url()));
    client.trustStore = store;
    return client.get("/current.json");
  }

  TempDir root;
  TempDir certs;
  TempDir fakeRoot;
  TestAuthority authority;
  std::string ca;
  std::unique_ptr<NginxServer> server;
};

struct TrustCase {
  const char* name;
  TrustStore store;
  std::string error;  // empty: the request succeeds
  bool storeMissing;  // the request was not sent for want of a store
};

TEST_F(NginxTrust, TheAuthorityIsFoundWhereverTheStoreNamesOrFindsIt) {
  writeFile(fakeRoot.file("opt/company/roots.pem"), ca);
  writeFile(etc("ssl/ca-bundle.pem"), ca);
  writeFile(etc("empty.pem"), "");
  writeFile(etc("ssl/certs/not-hashed.pem"), ca);
  TempDir otherCerts;
  TestAuthority other;
  ASSERT_TRUE(makeTestAuthority(otherCerts.path(), other));
  writeFile(etc("ssl/other.pem"), readFile(other.caFile));

  std::vector<TrustCase> cases;
  TrustStore store = emptyStore();
  store.certificateFile = fakeRoot.file("opt/company/roots.pem");
  cases.push_back({"a bundle named in SSL_CERT_FILE", store, "", false});
  store = emptyStore();
  store.certificateDir = fakeRoot.file("missing") + ":" + etc("pki/tls/certs");
  cases.push_back({"a hashed folder named in SSL_CERT_DIR", store, "", false});
  store = emptyStore();
  store.bundleCandidates = {etc("ssl/certs/ca-certificates.crt"), etc("empty.pem"),
                            etc("ssl/ca-bundle.pem")};
  cases.push_back(
      {"the first readable bundle searched, past a missing and an empty one", store, "", false});
  store = emptyStore();
  store.folderCandidates = {etc("ssl/certs"), etc("pki/tls/certs")};
  cases.push_back(
      {"the first hashed folder searched, past one without hashed names", store, "", false});
  store = emptyStore();
  store.bundleCandidates = {etc("ssl/other.pem")};
  cases.push_back({"a store without the authority", store,
                   getFailure(CURLE_PEER_FAILED_VERIFICATION), false});
  store = emptyStore();
  store.bundleCandidates = {etc("ssl/certs/ca-certificates.crt"), etc("empty.pem")};
  store.folderCandidates = {etc("ssl/certs"), fakeRoot.file("missing")};
  cases.push_back({"nothing found", store, kNoTrustStore, true});
  store = emptyStore();
  store.certificateFile = fakeRoot.file("opt/company/missing.pem");
  store.bundleCandidates = {etc("ssl/ca-bundle.pem")};
  cases.push_back({"a named bundle that is not there, though the search would find one", store,
                   "the certificate bundle named by SSL_CERT_FILE cannot be read (" +
                       fakeRoot.file("opt/company/missing.pem") + ")",
                   true});
  store = emptyStore();
  store.certificateDir = fakeRoot.file("missing");
  cases.push_back({"a named folder that is not there", store,
                   "the certificate folder named by SSL_CERT_DIR does not exist (" +
                       fakeRoot.file("missing") + ")",
                   true});

  for (const TrustCase& c : cases) {
    SCOPED_TRACE(c.name);
    HttpResponse got = fetch(c.store);
    EXPECT_EQ(got.error, c.error);
    EXPECT_EQ(got.status, c.error.empty() ? 200 : 0);
    EXPECT_EQ(got.trustStoreMissing, c.storeMissing);
    if (c.error.empty()) {
      EXPECT_EQ(text(got), "{\"trusted\":true}");
    }
  }
}

TEST_F(NginxTrust, WithoutAStoreNothingIsSentButAPinStillHolds) {
  HttpClient client;
  ASSERT_TRUE(client.open(server->url()));
  client.trustStore = emptyStore();

  HttpResponse got = client.get("/current.json");
  EXPECT_EQ(got.error, kNoTrustStore);
  EXPECT_TRUE(got.trustStoreMissing);
  HttpResponse posted = client.post("/current.json", "application/json", "{}");
  EXPECT_EQ(posted.error, kNoTrustStore);
  EXPECT_TRUE(posted.trustStoreMissing);
  EXPECT_EQ(readFile(server->accessLogFile()), "");

  client.certificatePin = certificatePin(authority.certificateFile);
  got = client.get("/current.json");
  EXPECT_EQ(got.error, "");
  EXPECT_EQ(got.status, 200);
  EXPECT_FALSE(got.trustStoreMissing);
}

TEST(NginxHttp, PinIsIgnoredOverPlainHttp) {
  TempDir root;
  writeFile(root.file("current.json"), "{}");
  NginxConfig config;
  config.root = root.path();
  NginxServer server(config);
  ASSERT_TRUE(server.ok()) << server.error();
  HttpClient client;
  ASSERT_TRUE(client.open(server.url()));
  client.certificatePin = std::string(64, '0');

  HttpResponse got = client.get("/current.json");
  EXPECT_EQ(got.error, "");
  EXPECT_EQ(text(got), "{}");
  EXPECT_FALSE(got.pinRejected);
}

// What the download stage does: six workers, each with its own client,
// fetching at once; half over plain HTTP, half over pinned HTTPS, with
// gzip objects among the files.
TEST(HttpConcurrency, SixClientsOnSixThreads) {
  TempDir root;
  TempDir work;
  std::vector<std::string> paths;
  std::vector<std::string> contents;
  for (unsigned i = 0; i < 16; ++i) {
    paths.push_back("/data/file" + std::to_string(i) + ".bin");
    contents.push_back(patterned(8000 + i * 9000, i + 10));
    writeFile(root.file(paths.back()), contents.back());
  }
  for (unsigned i = 0; i < 4; ++i) {
    std::string original = std::string(50000 + i, 'q') + patterned(3000, i + 40);
    paths.push_back("/chunks/0" + std::to_string(i) + "/aa/blob" + std::to_string(i) + ".gz");
    contents.push_back(original);
    writeFile(root.file(paths.back()), gzipped(work, original));
  }
  TempDir certs;
  std::string certificate, key;
  ASSERT_TRUE(makeTestCertificate(certs.path(), certificate, key));
  const std::string pin = certificatePin(certificate);
  NginxConfig plainConfig;
  plainConfig.root = root.path();
  plainConfig.extra = NginxServer::gzipObjectLocations();
  NginxConfig tlsConfig = plainConfig;
  tlsConfig.certificateFile = certificate;
  tlsConfig.keyFile = key;
  NginxServer plain(plainConfig);
  NginxServer tls(tlsConfig);
  ASSERT_TRUE(plain.ok()) << plain.error();
  ASSERT_TRUE(tls.ok()) << tls.error();

  constexpr int kWorkers = 6;
  constexpr int kRounds = 3;
  std::vector<std::string> failures(kWorkers);  // each worker writes only its own slot
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      HttpClient client;
      bool secure = w % 2 == 1;
      if (!client.open(secure ? tls.url() : plain.url())) {
        failures[w] = "open failed";
        return;
      }
      if (secure) client.certificatePin = pin;
      for (int round = 0; round < kRounds; ++round) {
        for (size_t k = 0; k < paths.size(); ++k) {
          size_t i = (k + static_cast<size_t>(w) * 3) % paths.size();
          HttpResponse got = client.get(paths[i]);
          bool same = got.error.empty() && got.status == 200 && text(got) == contents[i];
          if (!same) failures[w] += paths[i] + ": " + got.error + "\n";
        }
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  for (int w = 0; w < kWorkers; ++w) EXPECT_EQ(failures[w], "") << "worker " << w;
}

}  // namespace
}  // namespace vantis::content
