// The path rule. Every name it refuses is one that could climb out of the
// content folder, that some file system the content is unpacked on cannot
// hold, or that reaches a device instead of a file there.

#include "release/SafePath.h"

#include <cstring>

namespace vantis::content {

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Device names that some file systems treat specially whatever their
// extension; a file named so could never be written back or could reach a
// device instead.
bool isReservedName(const std::string& part) {
  static const char* const kReserved[] = {
      "con",  "prn",  "aux",  "nul",  "com1", "com2", "com3", "com4", "com5", "com6", "com7",
      "com8", "com9", "lpt1", "lpt2", "lpt3", "lpt4", "lpt5", "lpt6", "lpt7", "lpt8", "lpt9"};
  std::string stem = part.substr(0, part.find('.'));
  for (char& c : stem) c = lowerAscii(c);
  for (const char* name : kReserved) {
    if (stem == name) return true;
  }
  return false;
}

bool safePart(const std::string& part) {
  if (part == "." || part == "..") return false;
  const char last = part.back();
  if (last == '.' || last == ' ') return false;
  for (char c : part) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || std::strchr("\"*<>?|", c) != nullptr) return false;
  }
  return !isReservedName(part);
}

}  // namespace

bool safeRelativePath(const std::string& path) {
  if (path.empty() || path.size() > kMaxPathBytes) return false;
  if (path.find(':') != std::string::npos) return false;
  if (isSeparator(path[0])) return false;
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t stop = start;
    while (stop < path.size() && !isSeparator(path[stop])) ++stop;
    // Empty parts ("a//b", a trailing "/") name nothing and are skipped.
    if (stop > start && !safePart(path.substr(start, stop - start))) return false;
    start = stop + 1;
  }
  return true;
}

bool inCacheFolder(const std::string& path) {
  static const char kCache[] = "cache/";
  if (path.size() < sizeof kCache - 1) return false;
  for (std::size_t i = 0; i + 1 < sizeof kCache; ++i) {
    const char c = isSeparator(path[i]) ? '/' : lowerAscii(path[i]);
    if (c != kCache[i]) return false;
  }
  return true;
}

}  // namespace vantis::content
