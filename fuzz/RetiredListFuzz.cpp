// Fuzzes the retired-list reader and, through it, the line framing that all
// three lists share. The framing is checked against a plain count: a body
// that reads without error yields one path per non-empty line, and a failure
// names a line within the body.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "protocol/SyncLists.h"

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
  const Result<std::vector<std::string>> paths = readRetiredList(skarvel::fuzz::bytesOf(data, size));
  const std::size_t lines = nonEmptyLines(text);
  if (paths) {
    FUZZ_CHECK(paths.error().empty());
    FUZZ_CHECK(paths->size() == lines);
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
