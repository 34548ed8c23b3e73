// Fuzzes the retired-list reader and, through it, the line framing that all
// three lists share. The framing is checked against a plain count: a body
// that reads without error yields one record per non-empty line, and a
// failure names a line within the body. Each record is written and read
// back, which must keep its path and whether it names versions.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "foundation/Json.h"
#include "protocol/SyncLists.h"
#include "release/Lists.h"

using namespace vantis::content;

namespace {

std::size_t nonEmptyLines(const std::string& body) {
  std::size_t count = 0;
  std::size_t start = 0;
  while (start < body.size()) {
    std::size_t stop = body.find('\n', start);
    if (stop == std::string::npos) stop = body.size();
    if (stop > start) ++count;
    start = stop + 1;
  }
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = skarvel::fuzz::textOf(data, size);
  const Result<std::vector<RetiredRecord>> paths =
      readRetiredRecords(skarvel::fuzz::bytesOf(data, size));
  const std::size_t lines = nonEmptyLines(text);
  if (paths) {
    FUZZ_CHECK(paths.error().empty());
    FUZZ_CHECK(paths->size() == lines);
    // A line that names versions always asks for a content check, and what
    // it names reads back through the writer unchanged.
    for (const RetiredRecord& record : *paths) {
      FUZZ_CHECK(record.versionsNamed || record.versions.empty());
      JsonValue again;
      std::string error;
      FUZZ_CHECK(parseJson(retiredRecordLine(record), again, error));
      const RetiredRecord back = readRetiredRecord(again);
      FUZZ_CHECK(back.path == record.path && back.versionsNamed == record.versionsNamed);
      FUZZ_CHECK(back.versions.size() == record.versions.size());
    }
    return 0;
  }
  // "manifest line N: message", with N the first line that did not parse.
  const std::string& error = paths.error();
  const std::string prefix = "manifest line ";
  FUZZ_CHECK(error.compare(0, prefix.size(), prefix) == 0);
  const std::size_t number = std::stoul(error.substr(prefix.size()));
  FUZZ_CHECK(number >= 1 && number <= lines);
  FUZZ_CHECK(error.find(": ", prefix.size()) + 2 < error.size());
  return 0;
}
