// Fuzzes the reader of the program-file record ("binary-check-<tier>.json"),
// a file in the instance that anything on the computer may have changed.
// Beyond the sanitizers: a text that does not parse leaves the record as it
// was, every kept entry has a path and a 64-byte digest, and what the record
// holds survives being written out with `format` and read back with `parse`,
// byte for byte (the writer's quoting and the reader's escapes agree). The
// same bytes also go through `revisionOf`, the reader of the version file.

#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/BinaryCheck.h"
#include "FuzzSupport.h"

using namespace vantis::content;

namespace {

// Sizes beyond 2^53 (and the "no size" that a missing one reads as) cannot
// come back as written: the reader takes numbers as doubles.
constexpr std::uint64_t kExactSizes = 9007199254740992ULL;

void checkSameRecord(const binarycheck::Record& a, const binarycheck::Record& b) {
  FUZZ_CHECK(a.packVersion == b.packVersion);
  FUZZ_CHECK(a.platform == b.platform);
  FUZZ_CHECK(a.revision == b.revision);
  FUZZ_CHECK(a.files.size() == b.files.size());
  for (std::size_t i = 0; i < a.files.size(); ++i) {
    FUZZ_CHECK(a.files[i].path == b.files[i].path);
    FUZZ_CHECK(a.files[i].sha256 == b.files[i].sha256);
    FUZZ_CHECK(a.files[i].mtime == b.files[i].mtime);
    if (a.files[i].size <= kExactSizes) FUZZ_CHECK(a.files[i].size == b.files[i].size);
  }
}

// The revision is one line, without the blanks that end it.
void checkRevision(const std::string& text) {
  const std::string revision = binarycheck::revisionOf(text);
  FUZZ_CHECK(revision.find('\n') == std::string::npos);
  if (revision.empty()) return;
  const char last = revision.back();
  FUZZ_CHECK(last != ' ' && last != '\t' && last != '\r');
  FUZZ_CHECK(text.find(revision) != std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  checkRevision(skarvel::fuzz::textOf(data, size));
  binarycheck::Record record;
  record.packVersion = "untouched";
  const bool complete = binarycheck::parse(skarvel::fuzz::textOf(data, size), record);
  if (record.packVersion == "untouched") {
    FUZZ_CHECK(!complete && record.platform.empty() && record.files.empty());
    return 0;
  }
  FUZZ_CHECK(complete == (!record.packVersion.empty() && !record.platform.empty()));
  for (const binarycheck::Entry& entry : record.files) {
    FUZZ_CHECK(!entry.path.empty() && entry.sha256.size() == 64);
  }

  binarycheck::Record reread;
  const bool rereadComplete = binarycheck::parse(binarycheck::format(record), reread);
  FUZZ_CHECK(rereadComplete == complete);
  checkSameRecord(record, reread);
  return 0;
}
