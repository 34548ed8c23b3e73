// The rules by which a client fetches lists and the bundle index, as tables:
// the publisher's diff predicts updates by the same functions.

#include <gtest/gtest.h>

#include "release/FetchRule.h"

namespace vantis::content {
namespace {

constexpr std::uint64_t kKiB = 1024;

TEST(FetchListWhole, CountsOneRoundTripPerSixSections) {
  struct Row {
    std::uint64_t missing, missingBytes, listBytes;
    bool whole;
    std::uint64_t cost;
  };
  const Row rows[] = {
      {1, 3 * kKiB, 465 * kKiB, false, 35 * kKiB},
      {6, 18 * kKiB, 465 * kKiB, false, 50 * kKiB},
      {7, 21 * kKiB, 465 * kKiB, false, 85 * kKiB},
      {170, 465 * kKiB, 465 * kKiB, true, 497 * kKiB},  // a first install
      {1, 40 * kKiB, 40 * kKiB, true, 72 * kKiB},        // a list without sections
  };
  for (const Row& row : rows) {
    EXPECT_EQ(fetchListWhole(row.missing, row.missingBytes, row.listBytes), row.whole)
        << row.missing;
    EXPECT_EQ(listFetchCost(row.missing, row.missingBytes, row.listBytes), row.cost)
        << row.missing;
  }
}

TEST(BundleIndexWanted, OnlyWhenTheRoundTripsItMaySaveOutweighIt) {
  struct Row {
    std::size_t blobsToFetch;
    std::uint64_t indexCost;
    bool wanted;
  };
  const Row rows[] = {
      {4, 0, false},                  // no bundle is fetched whole for fewer than five
      {12, 35 * kKiB, false},         // two rounds alone: one saved at most
      {13, 35 * kKiB, true},          // three rounds alone
      {20, 119 * kKiB, false},        // a 1 % update: its blobs alone cost less
      {4720, 497 * kKiB, true},       // a first install
  };
  for (const Row& row : rows) {
    EXPECT_EQ(bundleIndexWanted(row.blobsToFetch, row.indexCost), row.wanted) << row.blobsToFetch;
  }
}

}  // namespace
}  // namespace vantis::content
