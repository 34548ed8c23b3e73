// Readers of the bootstrap's settings, layout and journal texts. The formats
// come from outside (the graphical launcher writes the settings, the
// installer the layout file, an updater the journal), so every reader accepts
// any bytes and falls back to the old, safe meaning instead of failing.

#include "InstallText.h"

#include <algorithm>
#include <iterator>

namespace vantis::bootstrap {

namespace {

// Calls `visit` with every LF-separated line of `text`, the last one included
// even without a final LF.
template <typename Visit>
void forEachLine(std::string_view text, Visit visit) {
  while (!text.empty()) {
    size_t end = text.find('\n');
    if (end == std::string_view::npos) {
      visit(text);
      return;
    }
    visit(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool isSeparator(char c) { return c == '/' || c == '\\'; }

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i)
    if (lowerAscii(text[i]) != lower[i]) return false;
  return true;
}

// Calls `visit` with every non-empty part of `path`, split at "/" and "\";
// stops early, returning false, when `visit` does.
template <typename Visit>
bool forEachPart(std::string_view path, Visit visit) {
  size_t start = 0;
  while (start < path.size()) {
    size_t stop = start;
    while (stop < path.size() && !isSeparator(path[stop])) ++stop;
    if (stop > start && !visit(path.substr(start, stop - start))) return false;
    start = stop + 1;
  }
  return true;
}

// Names that some file systems the install may be copied to treat as
// devices whatever their extension: a file so named reaches a device, or
// could never be written back.
bool isReservedDeviceName(std::string_view part) {
  static constexpr std::string_view kReserved[] = {
      "con",  "prn",  "aux",  "nul",  "com1", "com2", "com3", "com4", "com5", "com6", "com7",
      "com8", "com9", "lpt1", "lpt2", "lpt3", "lpt4", "lpt5", "lpt6", "lpt7", "lpt8", "lpt9"};
  std::string_view stem = part.substr(0, part.find('.'));
  for (std::string_view name : kReserved)
    if (equalsIgnoringCase(stem, name)) return true;
  return false;
}

bool isControlByte(char c) { return static_cast<unsigned char>(c) < 0x20; }

bool safePart(std::string_view part) {
  if (part == "." || part == "..") return false;
  if (part.back() == '.' || part.back() == ' ') return false;
  for (char c : part)
    if (isControlByte(c) || std::string_view("\"*<>?|").find(c) != std::string_view::npos) return false;
  return !isReservedDeviceName(part);
}

// Removes `suffix` only when something is left before it: a file literally
// named ".old" is still a name.
void removeSuffixFromLonger(std::string& path, std::string_view suffix) {
  if (path.size() > suffix.size() && endsWith(path, suffix))
    path.resize(path.size() - suffix.size());
}

}  // namespace

std::string_view trimLineEnd(std::string_view line) {
  size_t end = line.size();
  while (end > 0 && (line[end - 1] == ' ' || line[end - 1] == '\r')) --end;
  return line.substr(0, end);
}

std::string channelFromSettings(std::string_view text) {
  static constexpr std::string_view kServerKey = "server=";
  bool decided = false;
  bool dev = false;
  forEachLine(text, [&](std::string_view rawLine) {
    std::string_view line = trimLineEnd(rawLine);
    if (decided || !startsWith(line, kServerKey)) return;
    decided = true;
    dev = line.substr(kServerKey.size()) == "dev";
  });
  return dev ? "dev" : "live";
}

std::int32_t layoutVersionFromText(std::string_view text) {
  static constexpr size_t kScanLimit = 32;
  std::string_view head = text.substr(0, kScanLimit);
  size_t pos = 0;
  while (pos < head.size() &&
         (head[pos] == ' ' || head[pos] == '\t' || head[pos] == '\n' || head[pos] == '\r'))
    ++pos;
  // Unsigned on purpose: an absurd number wraps instead of overflowing, and
  // a value that lands at or below 1 simply keeps the old layout.
  std::uint32_t value = 0;
  size_t digits = 0;
  for (; pos < head.size() && head[pos] >= '0' && head[pos] <= '9'; ++pos, ++digits)
    value = value * 10u + static_cast<std::uint32_t>(head[pos] - '0');
  if (digits == 0) return 1;
  return static_cast<std::int32_t>(value);
}

std::vector<JournalEntry> parseJournal(std::string_view text) {
  std::vector<JournalEntry> entries;
  forEachLine(text, [&](std::string_view rawLine) {
    std::string_view line = trimLineEnd(rawLine);
    size_t bar = line.find('|');
    bool usable = !line.empty() && line[0] != '#' && bar != std::string_view::npos;
    if (!usable) return;
    JournalEntry entry{std::string(line.substr(0, bar)), std::string(line.substr(bar + 1))};
    // Only the destination is an instance path in the updater's notation;
    // the staged name is a file name that may legitimately hold a backslash.
    std::replace(entry.destination.begin(), entry.destination.end(), '\\', '/');
    entries.push_back(std::move(entry));
  });
  return entries;
}

bool safeRelativePath(std::string_view path) {
  static constexpr size_t kMaxPathBytes = 400;
  if (path.empty() || path.size() > kMaxPathBytes) return false;
  if (path.find(':') != std::string_view::npos || isSeparator(path[0])) return false;
  return forEachPart(path, safePart);
}

bool insideCacheFolder(std::string_view path) {
  // Compared part by part, so that "content//cache" or "CONTENT\\Cache" cannot
  // slip past a plain prefix test.
  static constexpr std::string_view kCacheParts[] = {"content", "cache"};
  size_t matched = 0;
  forEachPart(path, [&](std::string_view part) {
    if (!equalsIgnoringCase(part, kCacheParts[matched])) return false;
    ++matched;
    return matched < std::size(kCacheParts);
  });
  return matched == std::size(kCacheParts);
}

bool journalEntryAllowed(const JournalEntry& entry) {
  return safeRelativePath(entry.stagedName) && safeRelativePath(entry.destination) &&
         !insideCacheFolder(entry.destination);
}

std::string journalLineForDisplay(const JournalEntry& entry) {
  static constexpr size_t kShownBytes = 200;
  std::string line = entry.stagedName + "|" + entry.destination;
  bool cut = line.size() > kShownBytes;
  line.resize(std::min(line.size(), kShownBytes));
  for (char& c : line)
    if (isControlByte(c) || c == '\x7f') c = '?';
  return cut ? line + "..." : line;
}

std::string stripExeSuffixes(std::string path) {
  removeSuffixFromLonger(path, ".old");
  removeSuffixFromLonger(path, " (deleted)");
  return path;
}

std::string installDirOf(std::string_view exePath) {
  size_t slash = exePath.rfind('/');
  if (slash == std::string_view::npos) return {};
  return std::string(exePath.substr(0, slash));
}

}  // namespace vantis::bootstrap
