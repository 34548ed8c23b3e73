// One update for end-to-end fault tests: two releases of a small pack made by
// the real SkarvelPublish (1.0.0, then 2.0.0 with a changed program, a
// changed file of several blobs fetched one by one, a bundle mostly changed,
// a file retired and one added), and an instance with 1.0.0 installed, made
// once and copied for each test. The releases are served by the scripted
// server (`serve`), so a test can make any one request misbehave, and the
// checks say what must hold after a run that failed and after the next one.
//
//   static UpdateScenario* scenario = new UpdateScenario();   // once
//   ASSERT_EQ(scenario->error(), "");
//   scenario->copyInstalled(root);
//   ScriptServer server;  scenario->serve(server);
//   ... a run that fails ...
//   scenario->expectOnlyWholeFiles(root);
//
// Test code only; failures are reported through gtest assertions.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "TempDir.h"

namespace skarvel::test {

class ScriptServer;

// Relative path -> bytes.
using FileTree = std::map<std::string, std::string>;

class UpdateScenario {
 public:
  // Publishes both releases and installs 1.0.0 (through the built
  // SkarvelSync); `error()` says what failed, if anything.
  UpdateScenario();

  const std::string& error() const { return error_; }
  // The served folder.
  std::string server() const { return dir_.file("server"); }
  const FileTree& release1() const;
  const FileTree& release2() const;
  // The file 2.0.0 retires.
  static const char* retiredFile();

  // Scripts every file of the served folder on `server`, as nginx would
  // answer (objects with "Content-Encoding: gzip").
  void serve(ScriptServer& server) const;
  // The request path of the first blob of the file that 2.0.0 changes most.
  std::string changedBlobPath() const;
  // The request paths of 2.0.0's bundles.
  std::vector<std::string> bundlePaths() const;

  // Replaces `root` with a copy of the instance holding 1.0.0.
  void copyInstalled(const std::string& root) const;

  // After a run that failed or was stopped: every file in place is whole
  // (1.0.0's or 2.0.0's bytes; a program moved aside as "<name>.old" is
  // 1.0.0's), none of 1.0.0's files that 2.0.0 still ships is gone, no
  // "*.part" file lies outside the blob store, the state record is one
  // release's, and the blob store holds only blobs named by their digest.
  void expectOnlyWholeFiles(const std::string& root) const;
  // The content folder is exactly `release` (the cache and programs moved
  // aside left out), the state record names `version`, no blob store is
  // left and no "*.part" file anywhere.
  void expectInstalled(const std::string& root, const FileTree& release,
                       const std::string& version) const;

 private:
  bool publish(const std::string& name, const FileTree& files, const std::string& version,
               int sequence);

  TempDir dir_;
  std::string error_;
};

}  // namespace skarvel::test
