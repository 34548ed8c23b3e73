// Fuzzes the bootstrap's reader of the update journal, which an updater
// outside the system writes and which the bootstrap replays by moving files.
// Every entry must come from one line of the journal: a staged name without
// a "|" or a line feed, and a destination in which no backslash survives.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "InstallText.h"

using namespace vantis::bootstrap;

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
  }
  return 0;
}
