// gzip as the publisher stores objects: one member, the same bytes for the
// same input; and decoding them back the way players' libcurl does, which
// takes only one whole member.

#include <gtest/gtest.h>

#include <random>

#include "Gzip.h"
#include "release/Layout.h"

namespace vantis::publish {
namespace {

TEST(GzipCompress, WritesOneMemberThatDecodesToTheInput) {
  std::mt19937 random(7);
  std::string noise(3u << 20, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  for (const std::string& input :
       {std::string(), std::string("a"), std::string(1u << 20, 'z'), noise}) {
    std::string packed, unpacked;
    ASSERT_TRUE(gzipCompress(input.data(), input.size(), 6, packed));
    ASSERT_TRUE(gzipDecompress(packed, input.size(), unpacked)) << input.size();
    EXPECT_EQ(input, unpacked);
    std::string again;
    ASSERT_TRUE(gzipCompress(input.data(), input.size(), 6, again));
    EXPECT_EQ(packed, again) << "the same input must give the same file";
  }
}

TEST(GzipCompress, RefusesALevelZlibDoesNotKnow) {
  std::string packed;
  EXPECT_FALSE(gzipCompress("a", 1, 42, packed));
}

TEST(GzipDecompress, TakesOnlyOneWholeMemberWithinTheLimit) {
  std::string member, other, out;
  ASSERT_TRUE(gzipCompress("hello blob", 10, 6, member));
  ASSERT_TRUE(gzipCompress("more", 4, 6, other));
  const struct {
    const char* name;
    std::string packed;
    std::uint64_t limit;
    bool decodes;
  } rows[] = {
      {"one member", member, content::kMaxBodyBytes, true},
      {"exactly at the limit", member, 10, true},
      {"one byte over the limit", member, 9, false},
      {"a second member", member + other, content::kMaxBodyBytes, false},
      {"trailing bytes", member + "x", content::kMaxBodyBytes, false},
      {"cut off", member.substr(0, member.size() - 3), content::kMaxBodyBytes, false},
      {"not gzip", "hello blob", content::kMaxBodyBytes, false},
      {"nothing", "", content::kMaxBodyBytes, false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(gzipDecompress(row.packed, row.limit, out), row.decodes) << row.name;
    if (row.decodes) EXPECT_EQ(out, "hello blob") << row.name;
  }
}

}  // namespace
}  // namespace vantis::publish
