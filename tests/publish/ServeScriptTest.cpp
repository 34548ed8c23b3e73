// scripts/serve.sh serving a published release with real nginx on a free
// 127.0.0.1 port: what a client gets for each kind of path, how it stops, and
// how it refuses to start.

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "foundation/Crypto.h"
#include "Publisher.h"
#include "ServedRelease.h"
#include "TempDir.h"
#include "TestSigning.h"
#include "Zstd.h"
#include "release/Layout.h"

namespace vantis::publish {
namespace {

using namespace skarvel::test;
// The test helper, not the publisher's reader of the same name.
using skarvel::test::readFile;

// A port that was free a moment ago (the listener is closed again).
int freePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return 0;
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

// serve.sh in its own process group, its output in a file; stopped (and,
// should that fail, killed with everything it started) when the object goes.
class ServeScript {
 public:
  ServeScript(const std::string& folder, int port, const std::string& log) : log_(log) {
    const std::string script = std::string(SKARVEL_SOURCE_DIR) + "/scripts/serve.sh";
    const std::string portText = std::to_string(port);
    char* argv[] = {const_cast<char*>(script.c_str()), const_cast<char*>(folder.c_str()),
                    const_cast<char*>(portText.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    if (posix_spawn(&pid_, script.c_str(), &actions, &attributes, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }

  ~ServeScript() {
    if (pid_ <= 0 || exited_) return;
    ::kill(pid_, SIGTERM);
    if (waitFor(std::chrono::seconds(10)) < 0) {
      ::kill(-pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  // Waits until the output holds `text` or the script ended; bounded.
  bool waitForOutput(const std::string& text) {
    for (int i = 0; i < 200; ++i) {
      if (readFile(log_).find(text) != std::string::npos) return true;
      if (waitFor(std::chrono::milliseconds(0)) >= 0)
        return readFile(log_).find(text) != std::string::npos;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  // The exit status once the script ended within `limit`, else -1.
  int waitFor(std::chrono::milliseconds limit) {
    if (exited_) return status_;
    const auto end = std::chrono::steady_clock::now() + limit;
    do {
      int raw = 0;
      if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
        exited_ = true;
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return status_;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < end);
    return -1;
  }

  pid_t pid() const { return pid_; }
  std::string output() const { return readFile(log_); }

 private:
  std::string log_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = -1;
};

struct Response {
  long status = 0;
  std::string body;
  std::string headers;
};

std::size_t append(char* data, std::size_t size, std::size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

Response get(int port, const std::string& path) {
  Response response;
  CURL* curl = curl_easy_init();
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + path;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 10000L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, append);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response.body);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, append);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &response.headers);
  if (curl_easy_perform(curl) == CURLE_OK) {
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
  }
  curl_easy_cleanup(curl);
  return response;
}

class ServeScriptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 6; ++i)
      writeFile(dir.file("req/mods/a/" + std::to_string(i)), "file " + std::to_string(i));
    writeFile(dir.file("req/mods/a/big"), std::string(5000, 'b'));
    ReleaseOptions options;
    options.serverDir = dir.file("srv");
    options.keyPath = vantis::content::test::devSigningKeyPath();
    options.version = "1.0";
    options.sequence = 1;
    options.requiredDir = dir.file("req");
    options.cutMode = CutMode::fixed;
    options.chunkSize = 1024;
    ReleaseReport report;
    std::string error;
    auto proceed = [](const std::string&, std::uint64_t, std::uint64_t) { return true; };
    ASSERT_TRUE(publishRelease(options, proceed, report, error)) << error;
    ASSERT_EQ("", test::readServedRelease(dir.file("srv"), release));
  }

  TempDir dir;
  test::ServedRelease release;
};

TEST_F(ServeScriptTest, ServesEveryDocumentAsTheSynchroniserNeedsIt) {
  const int port = freePort();
  ASSERT_NE(0, port);
  ServeScript serve(dir.file("srv"), port, dir.file("serve.log"));
  ASSERT_TRUE(serve.waitForOutput("at http://127.0.0.1:" + std::to_string(port) + "/"))
      << serve.output();

  const Response pointer = get(port, "/current.json");
  EXPECT_EQ(200, pointer.status);
  EXPECT_EQ(release.pointerText, pointer.body);
  const Response list = get(port, "/manifest/1.0/files-required.ndjson");
  EXPECT_EQ(200, list.status);
  EXPECT_EQ(readFile(dir.file("srv/manifest/1.0/files-required.ndjson")), list.body);

  ASSERT_EQ(1u, release.bundles.size());
  const std::string id = release.bundles.begin()->first;
  const Response bundle =
      get(port, "/bundles/" + id.substr(0, 2) + "/" + id.substr(2, 2) + "/" + id + ".gz");
  EXPECT_EQ(200, bundle.status);
  EXPECT_EQ(id, content::Sha256::of(bundle.body));
  EXPECT_NE(std::string::npos, bundle.headers.find("Content-Encoding: gzip"));
  // A blob as a gzip release stores it, and as a zstd release would.
  const std::string hash = test::findRecord(release.required, "mods/a/big")->chunks[4];
  const std::string blob(5000 - 4096, 'b');
  std::string packed;
  ASSERT_TRUE(zstdCompress(blob.data(), blob.size(), 3, packed));
  const content::Encoding zstd = content::Encoding::zstd;
  writeFile(dir.file("srv/" + content::objectFile(content::ObjectKind::blob, hash, zstd)), packed);
  for (const content::Encoding encoding : {content::Encoding::gzip, zstd}) {
    SCOPED_TRACE(content::encodingName(encoding));
    const Response chunk =
        get(port, "/" + content::objectFile(content::ObjectKind::blob, hash, encoding));
    EXPECT_EQ(200, chunk.status);
    EXPECT_EQ(blob, chunk.body);
    EXPECT_NE(std::string::npos, chunk.headers.find(std::string("Content-Encoding: ") +
                                                    content::encodingName(encoding)));
  }

  // No listings, no lock file, no half-written files.
  writeFile(dir.file("srv/current.json.part"), "{}");
  for (const char* path :
       {"/", "/chunks/", "/manifest/1.0/", "/.publish.lock", "/current.json.part"}) {
    EXPECT_EQ(404, get(port, path).status) << path;
  }

  ASSERT_EQ(0, ::kill(serve.pid(), SIGTERM));
  EXPECT_EQ(0, serve.waitFor(std::chrono::seconds(10))) << serve.output();
  EXPECT_NE(std::string::npos, serve.output().find("Stopped serving"));
  EXPECT_EQ(0, get(port, "/current.json").status);
}

TEST_F(ServeScriptTest, RefusesATakenPortAndAMissingFolder) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
  ASSERT_EQ(0, ::listen(fd, 1));
  socklen_t length = sizeof address;
  ASSERT_EQ(0, ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length));
  const int port = ntohs(address.sin_port);
  {
    ServeScript serve(dir.file("srv"), port, dir.file("taken.log"));
    EXPECT_EQ(1, serve.waitFor(std::chrono::seconds(15)));
    EXPECT_NE(std::string::npos,
              serve.output().find("serve.sh: nginx could not serve on 127.0.0.1:" +
                                  std::to_string(port) + " (see its message above)"))
        << serve.output();
  }
  ::close(fd);
  ServeScript missing(dir.file("nothing"), port, dir.file("missing.log"));
  EXPECT_EQ(1, missing.waitFor(std::chrono::seconds(15)));
  EXPECT_EQ("serve.sh: no such folder: " + dir.file("nothing") + "\n", missing.output());
}

}  // namespace
}  // namespace vantis::publish
