// gzip output of the publisher: one member, readable by zlib as players'
// libcurl reads it, the same bytes for the same input.

#include <gtest/gtest.h>

#include <random>

#include "Gzip.h"
#include "ServedRelease.h"

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
    ASSERT_TRUE(test::gunzipSingleMember(packed, unpacked)) << input.size();
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

}  // namespace
}  // namespace vantis::publish
