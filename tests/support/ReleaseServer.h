// A content server for end-to-end tests: a server folder that the real
// SkarvelPublish fills, served by a real nginx on 127.0.0.1 with the gzip
// rules of scripts/serve.sh. Everything lives in a temp folder that goes away
// with the object.
//
//   ReleaseServer server;
//   ASSERT_TRUE(server.ok()) << server.error();
//   ASSERT_EQ(server.publish("1.0", 1, contentDir).status, 0);
//   ... SkarvelSync --root <instance> --url server.url() ...
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "NginxServer.h"
#include "Program.h"
#include "Publishing.h"
#include "TempDir.h"

namespace skarvel::test {

class ReleaseServer {
 public:
  ReleaseServer();
  // Over HTTPS with this PEM certificate and key.
  ReleaseServer(const std::string& certificateFile, const std::string& keyFile);

  bool ok() const { return nginx_ && nginx_->ok(); }
  std::string error() const { return nginx_ ? nginx_->error() : "nginx not started"; }
  std::string url() const { return nginx_->url(); }
  // The served folder: "current.json", "manifest/", "chunks/", "bundles/".
  std::string folder() const { return dir_.file("server"); }
  std::string file(const std::string& relative) const { return folder() + "/" + relative; }

  // Publishes into folder() (see publishRelease).
  ProgramRun publish(const std::string& version, int sequence, const std::string& requiredDir,
                     const std::vector<std::string>& extra = {});

  // The request lines nginx served so far ("GET /current.json HTTP/1.1").
  std::vector<std::string> requests() const;
  // How many served requests' targets start with `prefix` and hold `marker`.
  // nginx logs a request when it ends, which for one whose client died may
  // be later than the test looks: to count one run's requests, give that run
  // a query of its own (the client adds it to every request) as the marker.
  std::size_t countRequests(const std::string& prefix, const std::string& marker = "") const;

 private:
  TempDir dir_;
  std::unique_ptr<NginxServer> nginx_;
};

// Runs SkarvelSync with `args` after "--root <root> --url <url>", with
// SKARVEL_DUSKMERE_DIR pointing at the repository's stand-in base game.
ProgramRun runSync(const std::string& root, const std::string& url,
                   const std::vector<std::string>& args = {}, ProgramOptions options = {});

// The stand-in base game the demo and the tests use.
std::string demoBaseGame();
// SKARVEL_SOURCE_DIR + "/demo/" + relative.
std::string demoFile(const std::string& relative);

}  // namespace skarvel::test
