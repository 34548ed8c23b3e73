// Lists cut into sections, as a player meets them: SkarvelPublish's releases
// served by nginx on 127.0.0.1, installed and updated by SkarvelSync in temp
// instances. An update fetches only the sections whose digest changed, a
// damaged section in the instance's copy of a list is fetched again, and releases with whole lists
// only still install and update, also into an instance that later meets
// sections.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "HandRelease.h"
#include "Program.h"
#include "foundation/Crypto.h"
#include "release/Layout.h"
#include "ReleaseServer.h"
#include "TempDir.h"
#include "Tree.h"

namespace {

namespace fs = std::filesystem;
using skarvel::test::ProgramRun;
using skarvel::test::ReleaseServer;
using skarvel::test::TempDir;
using skarvel::test::copyTree;
using skarvel::test::installedContent;
using skarvel::test::readFile;
using skarvel::test::runSync;
using skarvel::test::treeOf;
using skarvel::test::writeFile;

const char* const kWholeLists = "--whole-lists";

class ListSections : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.ok()) << server.error(); }

  std::string instance() const { return work.file("instance"); }
  std::string cache() const { return instance() + "/content/cache/sections"; }

  // Enough small files in a few mod folders that the file list is cut into
  // several sections (tens of KiB each).
  std::string makeV1() {
    const std::string v1 = work.file("v1");
    for (int i = 0; i < 2400; ++i) {
      writeFile(v1 + "/mods/m" + std::to_string(i % 4) + "/f" + std::to_string(i) + ".txt",
                "file " + std::to_string(i) + "\n");
    }
    return v1;
  }

  // A copy of `from` as `name` with these files changed.
  std::string changed(const std::string& from, const std::string& name,
                      const std::vector<int>& files) {
    const std::string tree = work.file(name);
    copyTree(from, tree);
    for (const int file : files) {
      writeFile(tree + "/mods/m" + std::to_string(file % 4) + "/f" + std::to_string(file) + ".txt",
                "changed in " + name + "\n");
    }
    return tree;
  }

  void publish(const std::string& version, int sequence, const std::string& content,
               const std::vector<std::string>& extra = {}) {
    const ProgramRun run = server.publish(version, sequence, content, extra);
    ASSERT_EQ(run.status, 0) << run.output;
  }

  // Syncs with `marker` as the query, so the run's requests can be counted.
  void sync(const std::string& marker, const std::string& expected) {
    const ProgramRun run = runSync(instance(), server.url() + "?" + marker);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(installedContent(instance()), treeOf(expected)) << marker;
  }

  std::size_t requests(const std::string& prefix, const std::string& marker) const {
    return server.countRequests(prefix, "?" + marker);
  }
  // Requests for the file list or the bundle index whole.
  std::size_t wholeListRequests(const std::string& marker) const {
    return server.countRequests("/manifest/", "files-required.ndjson?" + marker) +
           server.countRequests("/manifest/", "bundles.ndjson?" + marker);
  }

  // The digests of the required file list's sections in a release.
  std::set<std::string> listSections(const std::string& version) const {
    const std::string manifest = readFile(server.file("manifest/" + version + "/manifest.json"));
    const std::string open = "\"sections\":{\"filesRequired\":[";
    const std::size_t from = manifest.find(open);
    if (from == std::string::npos) return {};
    const std::size_t start = from + open.size();
    const std::string member = manifest.substr(start, manifest.find("]]", start) - start);
    std::set<std::string> digests;
    for (const std::string& digest : skarvel::test::digestsIn(member)) digests.insert(digest);
    return digests;
  }

  std::set<std::string> cached() const {
    std::set<std::string> names;
    if (!fs::exists(cache())) return names;
    for (const auto& entry : fs::directory_iterator(cache())) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  // The required file list as the instance keeps it: its table of sections
  // on the first line, their texts behind it. Each section's place in it.
  std::string keptList() const { return cache() + "/filesRequired.sections"; }
  std::map<std::string, std::pair<std::size_t, std::size_t>> keptSections() const {
    const std::string text = readFile(keptList());
    const std::string table = text.substr(0, text.find('\n'));
    std::map<std::string, std::pair<std::size_t, std::size_t>> at;
    std::size_t offset = table.size() + 1;
    const std::regex pair(R"re(\["([0-9a-f]{64})",([0-9]+)\])re");
    for (auto it = std::sregex_iterator(table.begin(), table.end(), pair);
         it != std::sregex_iterator(); ++it) {
      const std::size_t size = std::stoul((*it)[2]);
      at.emplace((*it)[1], std::make_pair(offset, size));
      offset += size;
    }
    return at;
  }

  ReleaseServer server;
  TempDir work;
};

TEST_F(ListSections, AnUpdateFetchesOnlyTheChangedSections) {
  const std::string v1 = makeV1();
  publish("1.0", 1, v1);
  ASSERT_NE(readFile(server.file("manifest/1.0/manifest.json")).find("\"sections\""),
            std::string::npos);
  sync("install", v1);
  // A first install fetches each list whole (one request beats dozens) and
  // keeps each in one file with its sections' table.
  EXPECT_EQ(requests("/sections/", "install"), 0u);
  EXPECT_EQ(cached(), (std::set<std::string>{"bundles.sections", "filesRequired.sections"}));
  EXPECT_GE(keptSections().size(), 4u);

  const std::string v2 = changed(v1, "v2", {517});
  publish("2.0", 2, v2);
  sync("update", v2);
  EXPECT_GE(requests("/sections/", "update"), 1u);
  EXPECT_LE(requests("/sections/", "update"), 2u);
  EXPECT_EQ(wholeListRequests("update"), 0u) << "no whole list, and no bundle index for one blob";

  // A cached section that no longer matches its digest is fetched again and
  // replaced, never used.
  const std::string v3 = changed(v2, "v3", {3});
  publish("3.0", 3, v3);
  std::string damaged;
  for (const std::string& digest : listSections("3.0")) {
    if (keptSections().count(digest) != 0) damaged = digest;
  }
  ASSERT_FALSE(damaged.empty());
  const auto [offset, size] = keptSections().at(damaged);
  std::string kept = readFile(keptList());
  kept[offset + size / 2] ^= 1;
  writeFile(keptList(), kept);
  sync("damaged", v3);
  EXPECT_EQ(wholeListRequests("damaged"), 0u);
  EXPECT_EQ(requests("/sections/" + damaged.substr(0, 2) + "/" + damaged.substr(2, 2) + "/" +
                         damaged,
                     "damaged"),
            1u);
  EXPECT_LE(requests("/sections/", "damaged"), 3u);
  const auto [after, length] = keptSections().at(damaged);
  EXPECT_EQ(vantis::content::Sha256::of(readFile(keptList()).substr(after, length)), damaged);
}

// Changes all over the list: the changed sections come side by side over
// several connections, and a section the server lost sends the client to
// the whole list, which the same digest vouches for.
TEST_F(ListSections, ChangesAllOverTheListComeSideBySideOrAsTheWholeList) {
  const std::string v1 = makeV1();
  publish("1.0", 1, v1);
  sync("install", v1);
  const std::string v2 = changed(v1, "v2", {101, 302, 503, 704, 905, 1106, 1307, 1508, 1709, 1910});
  publish("2.0", 2, v2);
  sync("many", v2);
  EXPECT_GE(requests("/sections/", "many"), 8u);
  EXPECT_EQ(server.countRequests("/manifest/", "files-required.ndjson?many"), 0u);

  const std::string v3 = changed(v2, "v3", {202, 603, 1004, 1405, 1806, 2207});
  publish("3.0", 3, v3);
  std::string lost;
  for (const std::string& digest : listSections("3.0")) {
    if (keptSections().count(digest) == 0) lost = digest;
  }
  ASSERT_FALSE(lost.empty());
  fs::remove(server.file(vantis::content::objectFile(vantis::content::ObjectKind::section, lost)));
  sync("lost", v3);
  EXPECT_EQ(server.countRequests("/manifest/", "files-required.ndjson?lost"), 1u);
}

// Releases of the earlier form name no sections: installed and updated as
// ever, whole lists only. An instance installed from one updates to a
// release with sections, and from then on fetches only what changed.
TEST_F(ListSections, WholeListReleasesInstallUpdateAndLeadOnToSections) {
  const std::string v1 = makeV1();
  publish("1.0", 1, v1, {kWholeLists});
  EXPECT_EQ(readFile(server.file("manifest/1.0/manifest.json")).find("\"sections\""),
            std::string::npos);
  sync("install", v1);
  const std::string v2 = changed(v1, "v2", {10});
  publish("2.0", 2, v2, {kWholeLists});
  sync("whole", v2);
  EXPECT_EQ(wholeListRequests("whole"), 1u);
  EXPECT_EQ(requests("/sections/", "whole"), 0u);
  EXPECT_TRUE(cached().empty());

  const std::string v3 = changed(v2, "v3", {20});
  publish("3.0", 3, v3);
  sync("first", v3);
  EXPECT_EQ(wholeListRequests("first"), 1u);
  EXPECT_FALSE(cached().empty());

  const std::string v4 = changed(v3, "v4", {1100});
  publish("4.0", 4, v4);
  sync("sections", v4);
  EXPECT_EQ(wholeListRequests("sections"), 0u);
  EXPECT_GE(requests("/sections/", "sections"), 1u);
  EXPECT_LE(requests("/sections/", "sections"), 2u);
}

}  // namespace
