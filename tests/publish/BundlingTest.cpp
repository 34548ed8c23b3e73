// Bundle planning over hand-made content: which blobs are bundled, how groups
// are kept apart and where bundles are cut.

#include <gtest/gtest.h>

#include "Bundling.h"

namespace vantis::publish {
namespace {

// Adds a file of one piece per length, each named "<path>#<n>".
void addFile(Content& content, const std::string& path, const std::vector<std::uint64_t>& lengths,
             bool overhaul = false) {
  SourceFile file;
  file.path = path;
  file.overhaul = overhaul;
  for (const std::uint64_t length : lengths) {
    file.blobs.push_back(
        Blob{file.size, length, path + "#" + std::to_string(file.blobs.size())});
    file.size += length;
  }
  content.sources.push_back(file);
}

std::vector<std::string> hashes(const Bundle& bundle) {
  std::vector<std::string> out;
  for (const BundleBlob& blob : bundle.blobs) out.push_back(blob.hash);
  return out;
}

TEST(PlanBundles, GroupsSmallBlobsByModAndSkipsGroupsTooSmallToFetchWhole) {
  Content content;
  for (int i = 0; i < 5; ++i) addFile(content, "mods/a/" + std::to_string(i), {10});
  addFile(content, "mods/a/big", {100, 10});  // the 100-byte blob stays out
  for (int i = 0; i < 4; ++i) addFile(content, "mods/b/" + std::to_string(i), {10});
  for (int i = 0; i < 5; ++i) addFile(content, "mods/a/o" + std::to_string(i), {10}, true);
  const std::vector<Bundle> bundles = planBundles(content, 1000, 50);
  ASSERT_EQ(2u, bundles.size());
  EXPECT_EQ((std::vector<std::string>{"mods/a/0#0", "mods/a/1#0", "mods/a/2#0", "mods/a/3#0",
                                      "mods/a/4#0", "mods/a/big#1"}),
            hashes(bundles[0]));
  // The Overhaul's files of the same mod form their own group.
  EXPECT_EQ("mods/a/o0#0", bundles[1].blobs[0].hash);
  EXPECT_EQ(60u, bundles[0].size);
  EXPECT_EQ(50u, bundles[0].blobs[5].offset);
  EXPECT_EQ(100u, bundles[0].blobs[5].sourceOffset);
  EXPECT_EQ(5u, bundles[0].blobs[5].source);
}

TEST(PlanBundles, CutsAtTheTargetAndLeavesATooSmallRestUnbundled) {
  Content content;
  for (int i = 0; i < 12; ++i) addFile(content, "mods/a/" + std::to_string(i), {10});
  content.sources[11].blobs[0].hash = content.sources[10].blobs[0].hash;  // same bytes
  const std::vector<Bundle> bundles = planBundles(content, 50, 50);
  ASSERT_EQ(2u, bundles.size());
  EXPECT_EQ(5u, bundles[0].blobs.size());
  EXPECT_EQ(50u, bundles[0].size);
  EXPECT_EQ((std::vector<std::string>{"mods/a/5#0", "mods/a/6#0", "mods/a/7#0", "mods/a/8#0",
                                      "mods/a/9#0"}),
            hashes(bundles[1]));
  EXPECT_EQ(0u, bundles[1].blobs[0].offset);
  // What is left (blob 10, listed once though two files hold it) is too
  // little for a bundle: players fetch it as a chunk.
}

}  // namespace
}  // namespace vantis::publish
