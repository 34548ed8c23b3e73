// The path rules of the publisher. `safeRelativePath` must stay identical to
// the synchroniser's; the publisher refuses a superset, never less.

#include "SafePath.h"

#include <cctype>

namespace vantis::publish {

namespace {

constexpr std::size_t kMaxPathBytes = 400;

bool isSeparator(char c) { return c == '/' || c == '\\'; }

bool isReservedDeviceName(const std::string& part) {
  static const char* const kNames[] = {
      "con",  "prn",  "aux",  "nul",  "com1", "com2", "com3", "com4", "com5", "com6", "com7",
      "com8", "com9", "lpt1", "lpt2", "lpt3", "lpt4", "lpt5", "lpt6", "lpt7", "lpt8", "lpt9"};
  std::string stem = part.substr(0, part.find('.'));
  for (char& c : stem) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const char* name : kNames) {
    if (stem == name) return true;
  }
  return false;
}

bool hasForbiddenByte(const std::string& part) {
  for (const char c : part) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20) return true;
    if (c == '"' || c == '*' || c == '<' || c == '>' || c == '?' || c == '|') return true;
  }
  return false;
}

bool safePart(const std::string& part) {
  if (part == "." || part == "..") return false;
  if (part.back() == '.' || part.back() == ' ') return false;
  return !hasForbiddenByte(part) && !isReservedDeviceName(part);
}

// Length of the UTF-8 sequence that starts with `lead`, 0 when no sequence
// may start with it.
std::size_t sequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

bool isUnderCacheFolder(const std::string& path) {
  if (path.size() < 6) return false;
  std::string head = path.substr(0, 6);
  for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return head == "cache/";
}

}  // namespace

bool safeRelativePath(const std::string& path) {
  if (path.empty() || path.size() > kMaxPathBytes) return false;
  if (path.find(':') != std::string::npos) return false;
  if (isSeparator(path[0])) return false;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = start;
    while (end < path.size() && !isSeparator(path[end])) ++end;
    // Empty parts ("a//b", a trailing "/") are skipped, as players do.
    if (end > start && !safePart(path.substr(start, end - start))) return false;
    start = end + 1;
  }
  return true;
}

bool isUtf8(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = sequenceLength(lead);
    if (length == 0 || i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    const unsigned char second = length > 1 ? static_cast<unsigned char>(text[i + 1]) : 0;
    // Overlong three- and four-byte forms, UTF-16 surrogates, beyond U+10FFFF.
    if (lead == 0xE0 && second < 0xA0) return false;
    if (lead == 0xED && second > 0x9F) return false;
    if (lead == 0xF0 && second < 0x90) return false;
    if (lead == 0xF4 && second > 0x8F) return false;
    i += length;
  }
  return true;
}

bool publishablePath(const std::string& path, std::string& reason) {
  if (!safeRelativePath(path)) {
    reason = "players' synchronisers refuse this path";
    return false;
  }
  if (path.find('\\') != std::string::npos) {
    reason = "a name holds a backslash, which players read as a folder separator";
    return false;
  }
  if (!isUtf8(path)) {
    reason = "the name is not UTF-8";
    return false;
  }
  if (isUnderCacheFolder(path)) {
    reason = "\"cache\" is the synchroniser's own folder and may not hold content";
    return false;
  }
  return true;
}

}  // namespace vantis::publish
