// A bundle costs one request, but every byte of it is downloaded: it pays
// only when many of its blobs and most of its bytes are wanted. Below that,
// single blobs cost more requests and fewer bytes, which is the better
// trade for a small patch.

#include "release/FetchRule.h"

#include "foundation/Crypto.h"
#include "release/Layout.h"

namespace vantis::content {

bool fetchBundleWhole(const std::string& id, std::uint64_t bundleSize, std::size_t wantedBlobs,
                      std::uint64_t wantedBytes) {
  const bool worthIt = bundleSize != 0 && wantedBlobs >= kMinBundleBlobs &&
                       static_cast<double>(wantedBytes) >= 0.5 * static_cast<double>(bundleSize);
  // Only a digest can match the body's digest: any other id would fail its
  // check after the whole download, every time.
  return worthIt && isLowerHexDigest(id);
}


namespace {

// Requests made kParallelRequests at a time take this many round trips.
std::uint64_t rounds(std::uint64_t requests) {
  return (requests + kParallelRequests - 1) / kParallelRequests;
}

}  // namespace

bool fetchListWhole(std::uint64_t missing, std::uint64_t missingBytes, std::uint64_t listBytes) {
  return missingBytes + rounds(missing) * kRequestCostBytes >= listBytes + kRequestCostBytes;
}

std::uint64_t listFetchCost(std::uint64_t missing, std::uint64_t missingBytes,
                            std::uint64_t listBytes) {
  if (fetchListWhole(missing, missingBytes, listBytes)) return listBytes + kRequestCostBytes;
  return missingBytes + rounds(missing) * kRequestCostBytes;
}

bool bundleIndexWanted(std::size_t blobsToFetch, std::uint64_t indexCost) {
  if (blobsToFetch < kMinBundleBlobs) return false;
  const std::uint64_t savedAtMost = (rounds(blobsToFetch) - 1) * kRequestCostBytes;
  return indexCost < savedAtMost;
}

}  // namespace vantis::content
