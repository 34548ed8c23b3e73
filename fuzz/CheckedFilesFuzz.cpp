// Fuzzes the reader of the checked-files record ("checked-files.txt"), a
// file in the instance that anything on the computer may have changed, and
// whose word decides whether an installed file is read again. Beyond the
// sanitizers: every line it keeps holds a 64-character lower-case digest and
// chunks of such digests, a non-empty path without a line break, and what it
// kept survives being written out and read back unchanged.

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
    for (const std::string& chunk : splitChunks(file.chunks)) FUZZ_CHECK(isLowerHexDigest(chunk));
    FUZZ_CHECK(joinChunks(splitChunks(file.chunks)) == file.chunks);
  }

  CheckedFiles reread;
  parseCheckedFiles(formatCheckedFiles(files), reread);
  FUZZ_CHECK(reread.size() == files.size());
  for (const auto& [path, file] : files) {
    const auto again = reread.find(path);
    FUZZ_CHECK(again != reread.end());
    FUZZ_CHECK(again->second.identity == file.identity);
    FUZZ_CHECK(again->second.sha256 == file.sha256);
    FUZZ_CHECK(again->second.chunkSize == file.chunkSize);
    FUZZ_CHECK(again->second.chunks == file.chunks);
  }
  return 0;
}
