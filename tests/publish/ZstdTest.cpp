// zstd as the publisher stores objects: one frame stating its decoded size,
// the same bytes for the same input; and decoding them back the way players
// do, which takes only one whole frame.

#include <gtest/gtest.h>

#include <zstd.h>

#include <random>

#include "Zstd.h"
#include "release/Layout.h"

namespace vantis::publish {
namespace {

TEST(ZstdCompress, WritesOneFrameThatStatesItsSizeAndDecodesToTheInput) {
  std::mt19937 random(7);
  std::string noise(3u << 20, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  for (const std::string& input :
       {std::string(), std::string("a"), std::string(1u << 20, 'z'), noise}) {
    for (int level : {kMinZstdLevel, 3, kMaxZstdLevel}) {
      std::string packed, unpacked, again;
      ASSERT_TRUE(zstdCompress(input.data(), input.size(), level, packed));
      std::uint64_t stated = 1;
      EXPECT_TRUE(zstdDecodedSize(packed.substr(0, kZstdHeaderBytes), stated));
      EXPECT_EQ(input.size(), stated);
      ASSERT_TRUE(zstdDecompress(packed, input.size(), unpacked)) << input.size();
      EXPECT_EQ(input, unpacked);
      ASSERT_TRUE(zstdCompress(input.data(), input.size(), level, again));
      EXPECT_EQ(packed, again) << "the same input must give the same file";
    }
  }
}

TEST(ZstdCompress, RefusesALevelOutsideTheOffered) {
  std::string packed;
  EXPECT_FALSE(zstdCompress("a", 1, 0, packed));
  EXPECT_FALSE(zstdCompress("a", 1, 20, packed));
}

TEST(ZstdDecompress, TakesOnlyOneWholeFrameStatingItsSizeWithinTheLimit) {
  std::string frame, other, out;
  ASSERT_TRUE(zstdCompress("hello blob", 10, 3, frame));
  ASSERT_TRUE(zstdCompress("more", 4, 3, other));
  // The first block's type set to the reserved one: without a checksum,
  // damage only shows where the frame's structure breaks (verify compares
  // the decoded bytes with the object's name for the rest).
  std::string damaged = frame;
  damaged[6] = static_cast<char>(damaged[6] | 0x06);
  // A frame header without the size (descriptor 0: no size, no checksum,
  // 1-byte window) and one raw block of "hello blob", flagged last.
  const std::string sizeless = std::string("\x28\xb5\x2f\xfd\x00\x48\x51\x00\x00", 9) +
                               "hello blob";
  // A skippable frame (magic 0x184D2A50) of 4 bytes.
  const std::string skippable = std::string("\x50\x2a\x4d\x18\x04\x00\x00\x00", 8) + "abcd";
  const struct {
    const char* name;
    std::string packed;
    std::uint64_t limit;
    bool decodes;
  } rows[] = {
      {"one frame", frame, content::kMaxBodyBytes, true},
      {"exactly at the limit", frame, 10, true},
      {"one byte over the limit", frame, 9, false},
      {"a second frame", frame + other, content::kMaxBodyBytes, false},
      {"trailing bytes", frame + "x", content::kMaxBodyBytes, false},
      {"cut off", frame.substr(0, frame.size() - 3), content::kMaxBodyBytes, false},
      {"header only", frame.substr(0, 6), content::kMaxBodyBytes, false},
      {"damaged", damaged, content::kMaxBodyBytes, false},
      {"no size in the header", sizeless, content::kMaxBodyBytes, false},
      {"a skippable frame before it", skippable + frame, content::kMaxBodyBytes, false},
      {"not zstd", "hello blob", content::kMaxBodyBytes, false},
      {"nothing", "", content::kMaxBodyBytes, false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(zstdDecompress(row.packed, row.limit, out), row.decodes) << row.name;
    if (row.decodes) {
      EXPECT_EQ(out, "hello blob") << row.name;
    }
  }
  // The sizeless frame is whole: it is refused for lacking the size alone.
  char plain[32];
  EXPECT_EQ(10u, ZSTD_decompress(plain, sizeof plain, sizeless.data(), sizeless.size()));
}

}  // namespace
}  // namespace vantis::publish
