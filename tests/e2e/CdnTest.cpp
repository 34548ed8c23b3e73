// SkarvelSync through a real cache, the way a CDN serves: Varnish, configured
// with the VCL the README documents (read from the README itself, so that
// what players' hosts copy is what runs here), in front of the nginx origin
// that SkarvelPublish publishes into. The cache's own counters (varnishstat)
// and the origin's access log tell who answered what.

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "NginxServer.h"
#include "Program.h"
#include "ReleaseServer.h"
#include "TempDir.h"
#include "Tree.h"
#include "VarnishServer.h"
#include "foundation/Crypto.h"

namespace {

namespace fs = std::filesystem;
using skarvel::test::copyTree;
using skarvel::test::demoFile;
using skarvel::test::installedContent;
using skarvel::test::NginxConfig;
using skarvel::test::NginxServer;
using skarvel::test::ProgramRun;
using skarvel::test::readFile;
using skarvel::test::ReleaseServer;
using skarvel::test::runSync;
using skarvel::test::TempDir;
using skarvel::test::treeOf;
using skarvel::test::VarnishServer;
using vantis::content::Sha256;

// The README's Varnish configuration, its backend pointed at the test's
// origin; empty (with a failure) when the README no longer holds it as the
// test expects.
std::string documentedVcl(const std::string& originUrl) {
  const std::string readme = readFile(std::string(SKARVEL_SOURCE_DIR) + "/README.md");
  const std::string open = "```vcl\n";
  const std::size_t start = readme.find(open);
  const std::size_t end = start == std::string::npos ? start : readme.find("\n```", start);
  if (end == std::string::npos) {
    ADD_FAILURE() << "README.md holds no ```vcl block";
    return "";
  }
  std::string vcl = readme.substr(start + open.size(), end + 1 - start - open.size());
  const std::string port = ".port = \"8080\";";
  const std::size_t at = vcl.find(port);
  if (at == std::string::npos || vcl.find(port, at + 1) != std::string::npos) {
    ADD_FAILURE() << "the README's VCL must name its backend's port once as " << port;
    return "";
  }
  const std::string originPort = originUrl.substr(originUrl.rfind(':') + 1);
  return vcl.replace(at, port.size(), ".port = \"" + originPort + "\";");
}

// A CDN that keeps the pointer for kPointerSeconds, put before the README's
// rules (Varnish runs subroutines of one name in the order written).
constexpr int kPointerSeconds = 4;
std::string withCachedPointer(std::string vcl) {
  const std::string first = "vcl 4.1;\n";
  const std::string rules =
      "sub vcl_recv {\n"
      "    if (req.url ~ \"^/current\\.json\") { return (hash); }\n"
      "}\n"
      "sub vcl_backend_response {\n"
      "    if (bereq.url ~ \"^/current\\.json\" && beresp.status == 200) {\n"
      "        set beresp.ttl = " +
      std::to_string(kPointerSeconds) +
      "s;\n"
      "        set beresp.grace = 0s;\n"
      "        return (deliver);\n"
      "    }\n"
      "}\n";
  if (vcl.compare(0, first.size(), first) != 0) return vcl;
  return vcl.insert(first.size(), rules);
}

struct Response {
  long status = 0;
  std::string headers;
  std::string body;
};

std::size_t append(char* data, std::size_t size, std::size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

// One GET as a plain HTTP client makes it: the body exactly as sent, never
// decoded here; "Accept-Encoding: gzip" only when asked for.
Response fetchRaw(const std::string& url, bool acceptGzip) {
  Response response;
  CURL* curl = curl_easy_init();
  curl_slist* headers = acceptGzip ? curl_slist_append(nullptr, "Accept-Encoding: gzip") : nullptr;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 30000L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, append);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response.body);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, append);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &response.headers);
  if (curl_easy_perform(curl) == CURLE_OK) {
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return response;
}

// The server folder's paths of one kind of stored object ("chunks").
std::vector<std::string> storedObjects(const std::string& serverFolder, const std::string& kind) {
  std::vector<std::string> paths;
  for (const auto& entry : fs::recursive_directory_iterator(serverFolder + "/" + kind)) {
    if (entry.is_regular_file()) paths.push_back(entry.path().string().substr(serverFolder.size()));
  }
  return paths;
}

class Cdn : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!VarnishServer::installed()) GTEST_SKIP() << VarnishServer::kNotInstalled;
    ASSERT_TRUE(origin.ok()) << origin.error();
    copyTree(demoFile("v1"), v1());
  }

  void startCache(const std::string& vcl) {
    ASSERT_FALSE(vcl.empty());
    cache = std::make_unique<VarnishServer>(vcl);
    ASSERT_TRUE(cache->ok()) << cache->error();
  }

  std::string v1() const { return work.file("v1"); }
  std::string instance(const std::string& name) const { return work.file(name); }

  ProgramRun publishRelease(const std::string& serverFolder, const std::string& version,
                            int sequence, const std::string& content,
                            const std::string& compression = "gzip") {
    return skarvel::test::runProgram(
        {skarvel::test::builtProgram("SkarvelPublish"), "release", "--quiet", "--server",
         serverFolder, "--key", std::string(SKARVEL_TEST_DATA_DIR) + "/dev-signing-key.pem",
         "--version", version, "--sequence", std::to_string(sequence), "--required", content,
         "--config-required", demoFile("config-required.cfg"), "--compression", compression});
  }
  void publishV1() {
    const ProgramRun run = publishRelease(origin.folder(), "1.0.0", 1, v1());
    ASSERT_EQ(run.status, 0) << run.output;
  }
  // The second release: one changed file, one added mod, one removed file.
  std::string makeV2() {
    const std::string v2 = work.file("v2");
    copyTree(v1(), v2);
    copyTree(demoFile("v2-changes"), v2);
    fs::remove(v2 + "/mods/ashen-roads/readme.txt");
    return v2;
  }

  ProgramRun syncThroughCache(const std::string& name, const std::vector<std::string>& args = {}) {
    return runSync(instance(name), cache->url(), args);
  }
  std::size_t originObjectRequests() const {
    return origin.countRequests("/chunks/") + origin.countRequests("/bundles/");
  }

  // The instance holds exactly `content` and records `version`: one
  // release, whole, never parts of two.
  void expectInstalled(const std::string& name, const std::string& content,
                       const std::string& version, int sequence) {
    EXPECT_EQ(installedContent(instance(name)), treeOf(content)) << name;
    EXPECT_EQ(readFile(instance(name) + "/content/cache/state.json"),
              "{\"sequence\":" + std::to_string(sequence) + ",\"required\":\"" + version +
                  "\",\"optional\":\"\",\"configTier\":\"required\"}")
        << name;
  }

  ReleaseServer origin;
  TempDir work;
  std::unique_ptr<VarnishServer> cache;
};

TEST_F(Cdn, SecondInstanceGetsTheObjectsFromTheCacheAndAPublishIsSeenAtOnce) {
  ASSERT_NO_FATAL_FAILURE(startCache(documentedVcl(origin.url())));
  ASSERT_NO_FATAL_FAILURE(publishV1());
  ProgramRun run = syncThroughCache("a");
  ASSERT_EQ(run.status, 0) << run.output;
  expectInstalled("a", v1(), "1.0.0", 1);
  const std::size_t objects = originObjectRequests();
  const std::size_t documents = origin.countRequests("/manifest/");
  ASSERT_GT(objects, 0u);

  const std::uint64_t hits = cache->counter("MAIN.cache_hit");
  const std::uint64_t requests = cache->counter("MAIN.client_req");
  run = syncThroughCache("b");
  ASSERT_EQ(run.status, 0) << run.output;
  expectInstalled("b", v1(), "1.0.0", 1);
  // The second instance asks for what the first did; only the pointer
  // reaches the origin, everything else is a hit.
  EXPECT_EQ(originObjectRequests(), objects);
  EXPECT_EQ(origin.countRequests("/manifest/"), documents);
  EXPECT_EQ(origin.countRequests("/current.json"), 2u);
  cache->waitForCounter("MAIN.client_req", requests + 1 + objects + documents);
  EXPECT_EQ(cache->counter("MAIN.cache_hit") - hits, objects + documents);

  // Published behind the cache, its objects stored zstd-compressed: the next
  // run of either sees it, whole.
  const std::string v2 = makeV2();
  run = publishRelease(origin.folder(), "1.1.0", 2, v2, "zstd");
  ASSERT_EQ(run.status, 0) << run.output;
  for (const char* name : {"a", "b"}) {
    run = syncThroughCache(name);
    ASSERT_EQ(run.status, 0) << name << "\n" << run.output;
    EXPECT_NE(run.output.find("version   1.1.0\nchanged   yes\n"), std::string::npos) << run.output;
    expectInstalled(name, v2, "1.1.0", 2);
  }
}

TEST_F(Cdn, AStalePointerOnlyDelaysTheUpdate) {
  ASSERT_NO_FATAL_FAILURE(startCache(withCachedPointer(documentedVcl(origin.url()))));
  ASSERT_NO_FATAL_FAILURE(publishV1());
  // Installed earlier, straight from the origin; the cache holds nothing.
  ProgramRun run = runSync(instance("a"), origin.url());
  ASSERT_EQ(run.status, 0) << run.output;

  // 1.1.0 is published into a copy of the folder and uploaded the way the
  // README says, the pointer last, so that the cache can be holding the old
  // pointer at the moment the new one goes up.
  const std::string staging = work.file("staging");
  copyTree(origin.folder(), staging);
  const std::string v2 = makeV2();
  run = publishRelease(staging, "1.1.0", 2, v2);
  ASSERT_EQ(run.status, 0) << run.output;
  copyTree(staging + "/chunks", origin.file("chunks"));
  copyTree(staging + "/bundles", origin.file("bundles"));
  copyTree(staging + "/manifest", origin.file("manifest"));

  run = syncThroughCache("a");  // the cache keeps 1.0.0's pointer from here
  ASSERT_EQ(run.status, 0) << run.output;
  const auto pointerExpires =
      std::chrono::steady_clock::now() + std::chrono::seconds(kPointerSeconds);
  fs::copy_file(staging + "/current.json", origin.file("current.json.part"));
  fs::rename(origin.file("current.json.part"), origin.file("current.json"));
  const std::size_t pointers = origin.countRequests("/current.json");

  // In between: the old release, kept by one instance and installed whole by another.
  run = syncThroughCache("a");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("changed   no (already up to date)"), std::string::npos) << run.output;
  expectInstalled("a", v1(), "1.0.0", 1);
  run = syncThroughCache("b");
  ASSERT_EQ(run.status, 0) << run.output;
  expectInstalled("b", v1(), "1.0.0", 1);
  ASSERT_EQ(origin.countRequests("/current.json"), pointers)
      << "the cache should have answered with the pointer it holds";

  // Once it runs out, both get the new release.
  std::this_thread::sleep_until(pointerExpires + std::chrono::milliseconds(500));
  for (const char* name : {"a", "b"}) {
    run = syncThroughCache(name);
    ASSERT_EQ(run.status, 0) << name << "\n" << run.output;
    expectInstalled(name, v2, "1.1.0", 2);
  }
}

TEST_F(Cdn, AnObjectFetchedForOneAccessKeyIsNotServedForAnother) {
  ASSERT_NO_FATAL_FAILURE(startCache(documentedVcl(origin.url())));
  ASSERT_NO_FATAL_FAILURE(publishV1());
  ProgramRun run = syncThroughCache("a", {"--key", "first"});
  ASSERT_EQ(run.status, 0) << run.output;
  const std::size_t objects = originObjectRequests();

  run = syncThroughCache("b", {"--key", "first"});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(originObjectRequests(), objects) << "the same key shares the cache";

  run = syncThroughCache("c", {"--key", "second"});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(originObjectRequests(), 2 * objects) << "another key is judged by the origin";
  expectInstalled("c", v1(), "1.0.0", 1);
}

// Blobs and bundles are stored as gzip members. Whether the origin labels
// them (nginx as documented) or not (a bare static host), the cache sends
// the stored bytes as they are with "Content-Encoding: gzip", decodes them
// for a client that does not accept gzip, and players install through it.
TEST_F(Cdn, StoredGzipMembersReachClientsAsStored) {
  ASSERT_NO_FATAL_FAILURE(publishV1());
  NginxConfig bare;
  bare.root = origin.folder();
  NginxServer bareOrigin(bare);
  ASSERT_TRUE(bareOrigin.ok()) << bareOrigin.error();

  for (const std::string& originUrl : {origin.url(), bareOrigin.url()}) {
    SCOPED_TRACE(originUrl);
    ASSERT_NO_FATAL_FAILURE(startCache(documentedVcl(originUrl)));
    for (const char* kind : {"chunks", "bundles"}) {
      const std::vector<std::string> paths = storedObjects(origin.folder(), kind);
      ASSERT_FALSE(paths.empty()) << kind;
      const std::string path = paths.front();
      const std::string name = path.substr(path.rfind('/') + 1, 64);
      const Response stored = fetchRaw(cache->url() + path, true);
      EXPECT_EQ(stored.status, 200);
      EXPECT_NE(stored.headers.find("Content-Encoding: gzip\r\n"), std::string::npos)
          << stored.headers;
      EXPECT_EQ(stored.body, readFile(origin.folder() + path));
      const Response decoded = fetchRaw(cache->url() + path, false);
      EXPECT_EQ(decoded.status, 200);
      EXPECT_EQ(decoded.headers.find("Content-Encoding"), std::string::npos) << decoded.headers;
      EXPECT_EQ(Sha256::of(decoded.body), name);
    }
    const std::string player = "via-" + originUrl.substr(originUrl.rfind(':') + 1);
    const ProgramRun run = syncThroughCache(player);
    ASSERT_EQ(run.status, 0) << run.output;
    expectInstalled(player, v1(), "1.0.0", 1);
    cache.reset();
  }
}

TEST_F(Cdn, ErrorsAreNotKept) {
  ASSERT_NO_FATAL_FAILURE(startCache(documentedVcl(origin.url())));
  ASSERT_NO_FATAL_FAILURE(publishV1());
  // A blob asked for before it is uploaded is found once it is.
  const std::vector<std::string> paths = storedObjects(origin.folder(), "chunks");
  ASSERT_FALSE(paths.empty());
  const std::string path = paths.front();
  const std::string moved = work.file("held-back");
  fs::rename(origin.folder() + path, moved);
  EXPECT_EQ(fetchRaw(cache->url() + path, true).status, 404);
  fs::rename(moved, origin.folder() + path);
  const Response later = fetchRaw(cache->url() + path, true);
  EXPECT_EQ(later.status, 200);
  EXPECT_EQ(later.body, readFile(origin.folder() + path));
}

}  // namespace
