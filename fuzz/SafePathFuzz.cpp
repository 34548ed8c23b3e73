// Fuzzes the path-safety rule that stands between a file list and the disk.
// An accepted path must stay inside the folder it is joined onto: checked
// here independently of the rule's own wording, on the parts a join and the
// kernel would see.

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "release/SafePath.h"

using vantis::content::safeRelativePath;

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

// True when no part between separators could climb out of, or name the
// folder itself: "." and ".." in any spelling a trailing dot or space leaves.
bool partsStayInside(const std::string& path) {
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t stop = start;
    while (stop < path.size() && !isSeparator(path[stop])) ++stop;
    const std::string part = path.substr(start, stop - start);
    if (part == "." || part == "..") return false;
    if (!part.empty() && (part.back() == '.' || part.back() == ' ')) return false;
    start = stop + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = skarvel::fuzz::textOf(data, size);
  if (!safeRelativePath(path)) return 0;
  FUZZ_CHECK(!path.empty() && path.size() <= 400);
  FUZZ_CHECK(!isSeparator(path[0]));
  FUZZ_CHECK(path.find(':') == std::string::npos);
  // A zero byte would cut the path short at the first system call.
  FUZZ_CHECK(path.find('\0') == std::string::npos);
  FUZZ_CHECK(partsStayInside(path));
  return 0;
}
