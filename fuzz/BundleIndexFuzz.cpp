// Fuzzes the bundle-index reader. It validates nothing of its own (the
// transfer checks every offset against the bundle it fetched), so the point
// is memory safety on hostile lines plus one promise the transfer relies on:
// every blob the index places names a bundle the index holds. (A later line
// with the same bundle id may list other blobs; that is allowed, since the
// transfer slices a bundle by the bundle's own list, never by the blob map.)

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "FuzzSupport.h"
#include "protocol/SyncLists.h"

using namespace vantis::content;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Result<BundleIndex> index = readBundleIndex(skarvel::fuzz::bytesOf(data, size));
  if (!index) {
    FUZZ_CHECK(index.error().compare(0, 14, "manifest line ") == 0);
    return 0;
  }
  FUZZ_CHECK(index.error().empty());
  for (const auto& placed : index->blobs) FUZZ_CHECK(index->bundles.count(placed.second.bundle) == 1);
  return 0;
}
