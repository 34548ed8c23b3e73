// Fuzzes the file-list reader: the line framing plus the file-entry handler
// with its path-safety, digest and platform rules. The instance folder is an
// empty scratch folder, so every entry that passes the rules lands on the
// work list and nothing outside the scratch folder is ever looked at.
// Besides the sanitizers it checks that nothing unsafe gets through: every
// entry the reader keeps has a safe path, a 64-character digest and lower-case
// chunk digests, and the totals agree with the work list.

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "protocol/SyncLists.h"
#include "foundation/Crypto.h"
#include "release/SafePath.h"

using namespace vantis::content;

namespace {

void checkKept(const FileList& result) {
  std::uint64_t total = 0;
  for (const FileRecord& record : result.work) {
    FUZZ_CHECK(safeRelativePath(record.path));
    FUZZ_CHECK(record.sha256.size() == 64);
    FUZZ_CHECK(record.platform.empty() || record.platform == "linux");
    for (const std::string& chunk : record.chunks) FUZZ_CHECK(isLowerHexDigest(chunk));
    FUZZ_CHECK(result.listedPaths.count(record.path) == 1);
    total += static_cast<std::uint64_t>(record.size);
  }
  FUZZ_CHECK(total == result.workBytes);
  FUZZ_CHECK(result.entriesRead >= result.work.size());
  for (const binarycheck::Entry& program : result.programs) {
    FUZZ_CHECK(result.listedPaths.count(program.path) == 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FileListContext context;
  context.contentDir = skarvel::fuzz::scratchFolder() + "/content";
  // A full check makes the handler look at the installed copies as hard as
  // it ever does; with an empty instance they are all missing.
  context.fullCheck = true;
  context.fileCount = 1000;
  std::uint64_t reports = 0;
  context.report = [&reports](const std::string&, const std::string&) {
    // Stop on the second report so that the cancel path is walked too.
    return ++reports < 2;
  };

  const Result<FileList> result = readFileList(skarvel::fuzz::bytesOf(data, size), context);
  if (!result) {
    FUZZ_CHECK(!result.error().empty());
    if (result.error() == "Cancelled.") FUZZ_CHECK(reports == 2);
    return 0;
  }
  checkKept(*result);
  return 0;
}
