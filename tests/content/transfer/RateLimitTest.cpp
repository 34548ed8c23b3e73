#include "transfer/RateLimit.h"

#include <gtest/gtest.h>

#include <chrono>

namespace vantis::content {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

TEST(RateLimit, NoLimitNeverAsksForAWait) {
  RateLimit none(0);
  EXPECT_FALSE(none.limits());
  EXPECT_EQ(none.take(1ull << 40).count(), 0);
}

TEST(RateLimit, DebtsOfAllCallersAddUpAndArePaidAtTheRate) {
  RateLimit limit(1000);
  ASSERT_TRUE(limit.limits());
  // The bucket starts empty: 2000 bytes at 1000 a second are two seconds'
  // worth, less what the moments since the start have earned.
  const microseconds first = limit.take(2000);
  EXPECT_LE(first, milliseconds(2000));
  EXPECT_GT(first, milliseconds(1500));
  // A second caller right after inherits the first one's debt.
  const microseconds second = limit.take(1000);
  EXPECT_GT(second, first);
  EXPECT_LE(second, milliseconds(3000));
}

}  // namespace
}  // namespace vantis::content
