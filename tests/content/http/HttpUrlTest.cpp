// HttpClient's URL rules: how open takes a base URL apart, and how request
// targets and URLs are joined. Pure and fast; no request is sent.

#include <gtest/gtest.h>

#include <string>

#include "http/Http.h"

namespace vantis::content {
namespace {

struct BaseUrlCase {
  const char* url;
  bool accepted;
  bool secure;
  const char* host;
  uint16_t port;
  const char* basePath;
  const char* query;
};

constexpr BaseUrlCase rejected(const char* url) { return {url, false, false, "", 0, "", ""}; }

TEST(OpenBaseUrl, AcceptsOrRejectsEachForm) {
  const BaseUrlCase cases[] = {
      // Scheme: exactly "http://" or "https://".
      {"https://example.org", true, true, "example.org", 443, "", ""},
      {"http://example.org", true, false, "example.org", 80, "", ""},
      rejected(""),
      rejected("ftp://example.org"),
      rejected("HTTPS://example.org"),
      rejected("Http://example.org"),
      rejected("example.org"),
      rejected("http:/example.org"),
      rejected("http//example.org"),
      // Trailing slashes go; the host is kept as written.
      {"https://example.org/", true, true, "example.org", 443, "", ""},
      {"http://Example.ORG//", true, false, "Example.ORG", 80, "", ""},
      {"http://h/a//", true, false, "h", 80, "/a", ""},
      {"http://h/a/b", true, false, "h", 80, "/a/b", ""},
      // The query is split after the slashes went, at its first "?".
      {"http://example.org:8080/base//?tier=1", true, false, "example.org", 8080, "/base//",
       "tier=1"},
      {"http://h/a/?k=v", true, false, "h", 80, "/a/", "k=v"},
      {"http://h/a?k=v&x=2?y", true, false, "h", 80, "/a", "k=v&x=2?y"},
      {"http://h/a?k=v/", true, false, "h", 80, "/a", "k=v"},
      {"http://h/?", true, false, "h", 80, "/", ""},
      // A query straight after the authority still belongs to the path.
      {"http://h?k=v", true, false, "h", 80, "", "k=v"},
      {"http://h:8080?k=v", true, false, "h", 8080, "", "k=v"},
      // Ports.
      {"http://h:1", true, false, "h", 1, "", ""},
      {"https://h:65535/x", true, true, "h", 65535, "/x", ""},
      {"http://h:08080", true, false, "h", 8080, "", ""},
      rejected("http://h:0"),
      rejected("http://h:65536"),
      rejected("http://h:99999999999999999999999"),
      {"http://h:abc", true, false, "h:abc", 80, "", ""},
      {"https://h:80a", true, true, "h:80a", 443, "", ""},
      {"http://h:", true, false, "h:", 80, "", ""},
      {"http://a:b:8080", true, false, "a:b", 8080, "", ""},
      // IPv6 literals: a colon inside the brackets never starts a port.
      {"http://[::1]", true, false, "[::1]", 80, "", ""},
      {"https://[2001:db8::7]/p", true, true, "[2001:db8::7]", 443, "/p", ""},
      {"http://[::1]:8080/p", true, false, "[::1]", 8080, "/p", ""},
      {"https://[::1]:abc", true, true, "[::1]:abc", 443, "", ""},
      rejected("http://[::1]:0"),
      // Empty hosts.
      rejected("http://"),
      rejected("https://"),
      rejected("http:///path"),
      rejected("http://:8080"),
      rejected("https://:8080/x"),
      rejected("http://?k=v"),
  };
  for (const BaseUrlCase& c : cases) {
    SCOPED_TRACE(c.url);
    HttpClient client;
    ASSERT_EQ(client.open(c.url), c.accepted);
    if (!c.accepted) continue;
    EXPECT_EQ(client.secure, c.secure);
    EXPECT_EQ(client.host, c.host);
    EXPECT_EQ(client.port, c.port);
    EXPECT_EQ(client.basePath, c.basePath);
    EXPECT_EQ(client.query, c.query);
  }
}

struct TargetCase {
  const char* base;
  const char* path;
  const char* target;
  const char* url;
};

TEST(HttpTarget, JoinsBasePathPathAndQuery) {
  const TargetCase cases[] = {
      {"https://example.org", "/current.json", "/current.json",
       "https://example.org:443/current.json"},
      {"https://example.org/", "/current.json", "/current.json",
       "https://example.org:443/current.json"},
      {"http://example.org", "/current.json", "/current.json",
       "http://example.org:80/current.json"},
      {"http://example.org:8080/base//?tier=1", "/x.json", "/base///x.json?tier=1",
       "http://example.org:8080/base///x.json?tier=1"},
      {"http://example.org:8080/base//?tier=1", "/x?y=1", "/base///x?y=1&tier=1",
       "http://example.org:8080/base///x?y=1&tier=1"},
      {"http://h/cdn/", "/chunks/ab/cd/abcd.gz", "/cdn/chunks/ab/cd/abcd.gz",
       "http://h:80/cdn/chunks/ab/cd/abcd.gz"},
      // Nothing is encoded or normalised.
      {"http://h", "/a b/../c%", "/a b/../c%", "http://h:80/a b/../c%"},
      {"http://h", "", "", "http://h:80"},
      {"https://[::1]:8443?k=v", "/x", "/x?k=v", "https://[::1]:8443/x?k=v"},
  };
  for (const TargetCase& c : cases) {
    SCOPED_TRACE(std::string(c.base) + " + " + c.path);
    HttpClient client;
    ASSERT_TRUE(client.open(c.base));
    EXPECT_EQ(client.target(c.path), c.target);
    EXPECT_EQ(client.requestUrl(c.path), c.url);
  }
}

TEST(HttpClient, RequestsWithoutSuccessfulOpenFailAsNotConnected) {
  HttpClient neverOpened;
  HttpClient refused;
  ASSERT_FALSE(refused.open("ftp://example.org"));
  for (HttpClient* client : {&neverOpened, &refused}) {
    HttpResponse got = client->get("/current.json");
    EXPECT_EQ(got.error, "not connected");
    EXPECT_EQ(got.status, 0);
    EXPECT_TRUE(got.body.empty());
    EXPECT_FALSE(got.pinRejected);
    HttpResponse posted = client->post("/login", "application/json", "{}");
    EXPECT_EQ(posted.error, "not connected");
    EXPECT_EQ(posted.status, 0);
  }
}

TEST(HttpClient, ReopeningReplacesTheBinding) {
  HttpClient client;
  ASSERT_TRUE(client.open("https://one.example:8443/base?k=v"));
  ASSERT_TRUE(client.open("http://two.example"));
  EXPECT_EQ(client.requestUrl("/x"), "http://two.example:80/x");

  // A refused second URL leaves nothing of the first one usable.
  ASSERT_FALSE(client.open("gopher://three.example"));
  EXPECT_EQ(client.host, "");
  EXPECT_EQ(client.get("/x").error, "not connected");
}

}  // namespace
}  // namespace vantis::content
