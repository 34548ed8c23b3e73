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

// True when the bundle index is worth fetching for `wantedBlobs` distinct
// blobs: no bundle is fetched whole for fewer than kMinBundleBlobs, so
// below that every blob is fetched alone and the index would be read for
// nothing (tens of MiB in a large pack).
bool bundleIndexWanted(std::size_t wantedBlobs);

// What one request costs beside its bytes, counted in bytes: the round trip
// before the first byte arrives.
inline constexpr std::uint64_t kRequestCostBytes = 32u << 10;

// How many sections a client fetches side by side, each over its own
// connection, as many as the download workers.
inline constexpr std::uint64_t kSectionConnections = 6;

// True when a list cut into sections is better fetched whole, in one
// request, than as the `missing` sections of `missingBytes` bytes that the
// client does not hold (a first install, or a change all over the list),
// fetched kSectionConnections at a time: each round of them costs one
// request's round trip.
bool fetchListWhole(std::uint64_t missing, std::uint64_t missingBytes, std::uint64_t listBytes);

}  // namespace vantis::content
