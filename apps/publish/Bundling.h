// Grouping small blobs into bundles: one download that brings many small
// files at once. Players fetch a bundle whole only when they want more than
// four of its blobs and at least half of its bytes, and otherwise fetch the
// blobs one by one from "/chunks/", so every blob also lies there alone.
//
// Pure planning over hashed content; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Content.h"
#include "release/Layout.h"

namespace vantis::publish {

// One blob inside a bundle.
struct BundleBlob {
  std::string hash;
  std::uint64_t offset = 0;  // inside the bundle
  std::uint64_t length = 0;
  std::size_t source = 0;          // where its bytes lie: content.sources[source]
  std::uint64_t sourceOffset = 0;  // ... at this offset
};

struct Bundle {
  std::string id;  // SHA-256 of the bundle's bytes, known once they are read
  std::uint64_t size = 0;
  std::vector<BundleBlob> blobs;  // in bundle order, back to back
};

// Plans the bundles of a release. Blobs of at most `blobMax` bytes are
// grouped by content folder (required or Overhaul) and mod folder
// (`modFolderOf`), in path order, each blob once per group; each group is cut
// into bundles of at most `target` bytes (a blob larger than that alone fills
// one). Groups are planned independently, so a change inside one mod leaves
// the other mods' bundles, and so their ids, as they were.
std::vector<Bundle> planBundles(const Content& content, std::uint64_t target,
                                std::uint64_t blobMax);

}  // namespace vantis::publish
