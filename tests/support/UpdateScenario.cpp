#include "UpdateScenario.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "HandRelease.h"
#include "Program.h"
#include "ReleaseServer.h"
#include "ScriptServer.h"
#include "Tree.h"
#include "foundation/Crypto.h"
#include "pipeline/Sync.h"
#include "protocol/SyncLists.h"
#include "release/Layout.h"

namespace skarvel::test {

namespace {

namespace fs = std::filesystem;

// Small enough that the big file is several blobs, each fetched alone; the
// small files share a bundle.
constexpr std::size_t kChunkBytes = 64 * 1024;
const char* const kBigFile = "mods/beta/big.bin";
const char* const kRetiredFile = "mods/beta/readme.txt";

FileTree makeRelease1() {
  FileTree files = {{"bin/skarvel-tool", "#!/bin/sh\necho tool 1\n"},
                    {"resources/version", "1\n"},
                    {kBigFile, patterned(4 * kChunkBytes + 1234, 100)},
                    {kRetiredFile, "beta, first cut\n"},
                    {"mods/gamma/notes.txt", "gamma stays as it is\n"}};
  for (unsigned i = 0; i < 8; ++i) {
    files["mods/alpha/part" + std::to_string(i) + ".dat"] = patterned(3000 + i, i);
  }
  return files;
}

FileTree makeRelease2() {
  FileTree files = makeRelease1();
  files["bin/skarvel-tool"] = "#!/bin/sh\necho tool 2\n";
  files["resources/version"] = "2\n";
  files[kBigFile] = patterned(6 * kChunkBytes + 4321, 200);
  for (unsigned i = 0; i < 6; ++i) {
    files["mods/alpha/part" + std::to_string(i) + ".dat"] = patterned(3100 + i, 20 + i);
  }
  files.erase(kRetiredFile);
  files["mods/delta/new.esp"] = "delta arrives in release 2\n";
  return files;
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string objectRequest(vantis::content::ObjectKind kind, const std::string& hash) {
  return "/" + vantis::content::objectFile(kind, hash);
}

std::string installedVersionOf(const std::string& root) {
  return vantis::content::installedVersion(root, vantis::content::Tier::required);
}

}  // namespace

UpdateScenario::UpdateScenario() {
  if (!publish("r1", release1(), "1.0.0", 1)) return;
  {
    ScriptServer first;
    serve(first);
    vantis::content::SyncOptions options;
    options.root = dir_.file("installed");
    options.url = first.url();
    const vantis::content::SyncResult result = vantis::content::sync(options);
    if (!result.ok) {
      error_ = "installing 1.0.0 failed: " + result.error;
      return;
    }
  }
  publish("r2", release2(), "2.0.0", 2);
}

const FileTree& UpdateScenario::release1() const {
  static const FileTree files = makeRelease1();
  return files;
}

const FileTree& UpdateScenario::release2() const {
  static const FileTree files = makeRelease2();
  return files;
}

const char* UpdateScenario::retiredFile() { return kRetiredFile; }

bool UpdateScenario::publish(const std::string& name, const FileTree& files,
                             const std::string& version, int sequence) {
  for (const auto& [path, bytes] : files) writeFile(dir_.file(name + "/" + path), bytes);
  const ProgramRun run = runProgram(
      {builtProgram("SkarvelPublish"), "release", "--quiet", "--server", server(), "--key",
       std::string(SKARVEL_TEST_DATA_DIR) + "/dev-signing-key.pem", "--version", version,
       "--sequence", std::to_string(sequence), "--required", dir_.file(name), "--chunk-size",
       "64K", "--bundle-blob-max", "16K"});
  if (run.status == 0) return true;
  error_ = "publishing " + version + " failed:\n" + run.output;
  return false;
}

void UpdateScenario::serve(ScriptServer& server) const { serveFolder(server, this->server()); }

std::string UpdateScenario::changedBlobPath() const {
  const std::string firstBlob = release2().at(kBigFile).substr(0, kChunkBytes);
  return objectRequest(vantis::content::ObjectKind::blob, vantis::content::Sha256::of(firstBlob));
}

std::vector<std::string> UpdateScenario::bundlePaths() const {
  const std::string text = readFile(server() + "/manifest/2.0.0/bundles.ndjson");
  const std::vector<unsigned char> body(text.begin(), text.end());
  const auto index = vantis::content::readBundleIndex(body);
  std::vector<std::string> paths;
  if (!index) return paths;
  for (const auto& entry : index->bundles) {
    paths.push_back(objectRequest(vantis::content::ObjectKind::bundle, entry.first));
  }
  return paths;
}

void UpdateScenario::copyInstalled(const std::string& root) const {
  fs::remove_all(root);
  fs::create_directories(root);
  fs::copy(dir_.file("installed"), root, fs::copy_options::recursive);
}

void UpdateScenario::expectOnlyWholeFiles(const std::string& root) const {
  const FileTree& first = release1();
  const FileTree& second = release2();
  for (const auto& [path, bytes] : treeOf(root + "/content")) {
    const bool inBlobStore = path.rfind("cache/blobs/", 0) == 0;
    if (inBlobStore && !endsWith(path, ".part")) {
      EXPECT_EQ(fs::path(path).filename().string(), vantis::content::Sha256::of(bytes))
          << "unchecked blob " << path;
    }
    if (path.rfind("cache/", 0) == 0) continue;
    EXPECT_FALSE(endsWith(path, ".part")) << "half-written " << path;
    const std::string program = endsWith(path, ".old") ? path.substr(0, path.size() - 4) : "";
    if (!program.empty() && first.count(program) != 0 && first.at(program) == bytes) continue;
    const bool whole = (first.count(path) != 0 && first.at(path) == bytes) ||
                       (second.count(path) != 0 && second.at(path) == bytes);
    EXPECT_TRUE(whole) << "not a whole release file: " << path;
  }
  for (const auto& entry : second) {
    const std::string& path = entry.first;
    const bool kept = exists(root + "/content/" + path) ||
                      exists(root + "/content/" + path + ".old");
    if (first.count(path) != 0) {
      EXPECT_TRUE(kept) << "lost " << path;
    }
  }
  const std::string version = installedVersionOf(root);
  EXPECT_TRUE(version == "1.0.0" || version == "2.0.0") << version;
}

void UpdateScenario::expectInstalled(const std::string& root, const FileTree& release,
                                     const std::string& version) const {
  FileTree inPlace;
  for (const auto& [path, bytes] : treeOf(root + "/content", "cache/")) {
    const bool movedAside =
        endsWith(path, ".old") && release1().count(path.substr(0, path.size() - 4)) != 0;
    if (!movedAside) inPlace[path] = bytes;
  }
  EXPECT_TRUE(inPlace == release) << "the content is not release " << version;
  for (const auto& entry : release) {
    EXPECT_EQ(inPlace.count(entry.first), 1u) << "missing " << entry.first;
  }
  for (const auto& entry : inPlace) {
    EXPECT_EQ(release.count(entry.first), 1u) << "extra " << entry.first;
  }
  EXPECT_EQ(installedVersionOf(root), version);
  EXPECT_FALSE(exists(root + "/content/cache/blobs")) << "the blob store goes after a complete run";
  for (const auto& entry : treeOf(root)) {
    EXPECT_FALSE(endsWith(entry.first, ".part")) << entry.first;
  }
}

}  // namespace skarvel::test
