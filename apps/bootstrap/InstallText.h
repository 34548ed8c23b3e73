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

// True when `path`, joined to a folder, can only name something inside that
// folder on any file system the install may sit on: 1 to 400 bytes, no ":",
// not starting with "/" or "\", no part that is "." or "..", ends in "." or
// a space, holds a control byte or one of "*<>?| or is a reserved device
// name (con, prn, aux, nul, com1..9, lpt1..9, whatever the extension or
// letter case). "/" and "\" both separate parts; empty parts are skipped.
// The same rule as the synchroniser's file lists, kept as a copy because the
// bootstrap shares no code with it.
bool safeRelativePath(std::string_view path);

// True when `path` (relative to an instance) is its "content/cache" folder or
// lies inside it, in any letter case: that folder holds the synchroniser's
// records and the staging area, which no staged file may replace.
bool insideCacheFolder(std::string_view path);

// True when the bootstrap may carry out `entry`: its staged name is a safe
// relative path (under the staging folder) and its destination one that is
// not inside the cache folder (under the instance folder).
bool journalEntryAllowed(const JournalEntry& entry);

// `entry` as the line to name in a message: staged name, "|", destination,
// with every control byte shown as "?" and cut after 200 bytes (marked with
// "..."), so that a hostile line cannot drive the terminal or fill a dialog.
std::string journalLineForDisplay(const JournalEntry& entry);

// The link target of "/proc/self/exe" with a trailing ".old" removed, then a
// trailing " (deleted)" removed, each only when the path is longer than the
// ending. A bootstrap that renamed itself away still names the file it
// should be, and one whose file was replaced does not carry the kernel's mark.
std::string stripExeSuffixes(std::string path);

// The folder part of an executable path: everything before the last "/".
// Empty when the path has no "/" or its only "/" is the first character.
std::string installDirOf(std::string_view exePath);

}  // namespace vantis::bootstrap
