// Fuzzes the bootstrap's reader of the update journal, which an updater
// outside the system writes and which the bootstrap replays by moving files.
// Every entry must come from one line of the journal: a staged name without
// a "|" or a line feed, and a destination in which no backslash survives.
// An entry the bootstrap would carry out must stay inside its folders and
// out of the cache, checked here on the parts a join would see; the text
// that names an entry in a message holds no control byte.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "InstallText.h"

using namespace vantis::bootstrap;

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

std::vector<std::string> partsOf(const std::string& path) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : path + "/") {
    if (!isSeparator(c)) {
      part += c;
      continue;
    }
    if (!part.empty()) parts.push_back(part);
    part.clear();
  }
  return parts;
}

std::string lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// True when joining `path` onto a folder can only name something inside it.
bool staysInside(const std::string& path) {
  if (path.empty() || isSeparator(path[0]) || path.find(':') != std::string::npos) return false;
  if (path.find('\0') != std::string::npos) return false;
  for (const std::string& part : partsOf(path))
    if (part == "." || part == ".." || part.back() == '.' || part.back() == ' ') return false;
  return true;
}

bool inCache(const std::string& destination) {
  std::vector<std::string> parts = partsOf(destination);
  return parts.size() >= 2 && lower(parts[0]) == "content" && lower(parts[1]) == "cache";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = skarvel::fuzz::textOf(data, size);
  const std::vector<JournalEntry> entries = parseJournal(text);
  std::size_t bars = 0;
  for (char c : text) bars += c == '|';
  FUZZ_CHECK(entries.size() <= bars);
  for (const JournalEntry& entry : entries) {
    FUZZ_CHECK(entry.stagedName.find('|') == std::string::npos);
    FUZZ_CHECK(entry.stagedName.find('\n') == std::string::npos);
    FUZZ_CHECK(entry.destination.find('\n') == std::string::npos);
    FUZZ_CHECK(entry.destination.find('\\') == std::string::npos);
    FUZZ_CHECK(entry.stagedName.empty() || entry.stagedName[0] != '#');
    // Trailing spaces and carriage returns belong to the line end, not the path.
    if (!entry.destination.empty()) {
      FUZZ_CHECK(entry.destination.back() != ' ' && entry.destination.back() != '\r');
    }
    if (journalEntryAllowed(entry)) {
      FUZZ_CHECK(staysInside(entry.stagedName));
      FUZZ_CHECK(staysInside(entry.destination));
      FUZZ_CHECK(!inCache(entry.destination));
    }
    for (char c : journalLineForDisplay(entry)) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
  }
  return 0;
}
