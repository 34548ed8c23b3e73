// Fuzzes the reader of the checked-files record ("checked-files.txt"), a
// file in the instance that anything on the computer may have changed, and
// whose word decides whether an installed file is read again and where its
// blobs lie. Beyond the sanitizers: every line it keeps holds a 64-character
// lower-case digest, blobs of such digests whose lengths add up to the
// file's size, a non-empty path without a line break, and what it kept
// survives being written out and read back unchanged.

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "protocol/SyncCheckedFiles.h"
#include "foundation/Crypto.h"

using namespace vantis::content;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CheckedFiles files;
  parseCheckedFiles(skarvel::fuzz::textOf(data, size), files);
  for (const auto& [path, file] : files) {
    FUZZ_CHECK(!path.empty() && path.find('\n') == std::string::npos);
    FUZZ_CHECK(isLowerHexDigest(file.sha256));
    std::uint64_t total = 0;
    for (const RecordedBlob& blob : splitBlobs(file.blobs)) {
      FUZZ_CHECK(isLowerHexDigest(blob.digest) && blob.length != 0);
      total += blob.length;
    }
    FUZZ_CHECK(file.blobs.empty() || total == file.identity.size);
    FUZZ_CHECK(joinBlobs(splitBlobs(file.blobs)) == file.blobs);
  }

  CheckedFiles reread;
  parseCheckedFiles(formatCheckedFiles(files), reread);
  FUZZ_CHECK(reread.size() == files.size());
  for (const auto& [path, file] : files) {
    const auto again = reread.find(path);
    FUZZ_CHECK(again != reread.end());
    FUZZ_CHECK(again->second.identity == file.identity);
    FUZZ_CHECK(again->second.sha256 == file.sha256);
    FUZZ_CHECK(again->second.cutting == file.cutting);
    FUZZ_CHECK(again->second.blobs == file.blobs);
  }
  return 0;
}
