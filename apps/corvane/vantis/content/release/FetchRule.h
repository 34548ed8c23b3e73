// The rule by which a client takes a bundle: whole, or only the blobs of it
// that it wants, one request each. The synchroniser plans its downloads by
// it and the publisher's "diff" predicts an update's downloads by it, so the
// two never disagree about what an update costs.
//
// Pure function; any thread. Not here: which blobs are wanted (the
// synchroniser's planning, the publisher's diff), the bundle index itself
// (Lists.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vantis::content {

// True when the bundle `id` of `bundleSize` bytes is worth fetching whole for
// `wantedBlobs` of its blobs holding `wantedBytes` bytes: its size is known
// (not 0), at least kMinBundleBlobs blobs are wanted, they make at least
// half its bytes, and the id can be a digest at all (64 lower-case
// hexadecimal characters).
bool fetchBundleWhole(const std::string& id, std::uint64_t bundleSize, std::size_t wantedBlobs,
                      std::uint64_t wantedBytes);

// What one request costs beside its bytes, counted in bytes: the round trip
// before the first byte arrives.
inline constexpr std::uint64_t kRequestCostBytes = 32u << 10;

// How many requests a client makes side by side, each over its own
// connection: its download workers, or the fetches of one list's sections.
inline constexpr std::uint64_t kParallelRequests = 6;

// True when a list cut into sections is better fetched whole, in one
// request, than as the `missing` sections of `missingBytes` bytes that the
// client does not hold (a first install, or a change all over the list),
// fetched kParallelRequests at a time: each round of them costs one
// request's round trip.
bool fetchListWhole(std::uint64_t missing, std::uint64_t missingBytes, std::uint64_t listBytes);

// What fetching a list costs, in bytes, each round of requests counted as
// kRequestCostBytes: the whole list in one request, or its `missing`
// sections, whichever fetchListWhole picks. A list not cut into sections is
// `missing` = 1 section of `missingBytes` = `listBytes`.
std::uint64_t listFetchCost(std::uint64_t missing, std::uint64_t missingBytes,
                            std::uint64_t listBytes);

// True when the bundle index, which costs `indexCost` (listFetchCost) to
// fetch, is worth it for `blobsToFetch` distinct blobs that must be
// downloaded. No bundle is fetched whole for fewer than kMinBundleBlobs, and
// bundles save no byte, only round trips: at most those of fetching every
// blob alone, kParallelRequests at a time, but one. So a small update (or a
// large one whose files mostly come from installed copies) reads none of
// the index, whatever the pack's size.
bool bundleIndexWanted(std::size_t blobsToFetch, std::uint64_t indexCost);

}  // namespace vantis::content
