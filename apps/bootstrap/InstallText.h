// Pure readers of the texts the bootstrap acts on: the channel settings file,
// the layout file, the update journal, and the path of its own executable.
// They take bytes and return values, touch no file and keep no state, so any
// thread may call them and a fuzzer can drive them directly. Reading the
// files and acting on the results is main_posix.cpp's job, not theirs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantis::bootstrap {

// `line` without its trailing spaces and CR characters (tabs and leading
// blanks stay).
std::string_view trimLineEnd(std::string_view line);

// "dev" when the first line of the launcher settings that begins with
// "server=" reads exactly "server=dev" once trimmed; "live" otherwise,
// including when no such line exists.
std::string channelFromSettings(std::string_view text);

// The layout version written in the first 32 bytes of `text`: leading blanks
// (space, tab, LF, CR) skipped, then decimal digits. 1 when the text is empty,
// has another character before the first digit, or no digit at all.
std::int32_t layoutVersionFromText(std::string_view text);

// One usable line of the update journal: a file under the staging folder
// (taken byte for byte) and its destination under the instance folder
// (backslashes already turned into "/").
struct JournalEntry {
  std::string stagedName;
  std::string destination;
};

// The usable lines of an update journal, in file order. Empty lines, lines
// that begin with "#" and lines without "|" are skipped.
std::vector<JournalEntry> parseJournal(std::string_view text);

// The link target of "/proc/self/exe" with a trailing ".old" removed, then a
// trailing " (deleted)" removed, each only when the path is longer than the
// ending. A bootstrap that renamed itself away still names the file it
// should be, and one whose file was replaced does not carry the kernel's mark.
std::string stripExeSuffixes(std::string path);

// The folder part of an executable path: everything before the last "/".
// Empty when the path has no "/" or its only "/" is the first character.
std::string installDirOf(std::string_view exePath);

}  // namespace vantis::bootstrap
