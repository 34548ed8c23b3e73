// The per-tier record of installed program files and its quick check.
//
// A release installs the programs themselves (the "binary" entries for this
// platform and "resources/version"). After an install the pipeline captures
// each program file's size, digest and modification time into a small record
// in the instance's cache folder; before a later sync it verifies the files
// against that record, hashing only those whose size or time changed, and
// reads the reason for a full check from the outcome. Nothing here talks to
// the server, and nothing here writes the record: the pipeline writes
// `format` (record) to `recordPath` with `replaceWholeFile`.
//
// Calling thread only (the pipeline's); the functions keep no state. Failures
// are reasons or false, never exceptions. Paths join with `joinPath` and files
// hash with `hashFileSha256` (FileSystem.h), the same helpers the rest of the
// library uses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantis::content::binarycheck {

// One program file, relative to the instance's "content" folder with "/"
// separators. `mtime` is the modification-time text (see `mtimeText`); it is
// empty in entries taken from a file list, which never matches a file.
struct Entry {
  std::string path;
  std::uint64_t size = 0;
  std::string sha256;  // 64 lower-case hex digits
  std::string mtime;
};

struct Record {
  std::string packVersion;   // the release the record is for
  std::string platform;      // "linux"
  std::string revision;      // second line of "resources/version"
  std::vector<Entry> files;  // in capture order
};

struct Outcome {
  bool ok = false;
  std::string reason;  // empty when ok; a lower-case phrase without full stop
  std::uint64_t examined = 0;
  std::uint64_t filesHashed = 0;
  std::uint64_t bytesHashed = 0;
  bool refreshed = false;  // an entry's mtime changed: write the record back
};

// "<instance>/content/cache/binary-check-<tier>.json", tier being "required"
// or "optional". One record per tier; the platform is stored inside.
std::string recordPath(const std::string& instance, const std::string& tierName);

// Empties `out`, then reads the whole file into it. False only when the file
// cannot be opened; unlike `readWholeFile`, `out` is empty then too, so a
// failed read never leaves an earlier text behind.
bool readFile(const std::string& path, std::string& out);

// The revision named by a version file: its second line without trailing
// spaces, tabs, carriage returns and line feeds; empty without a line feed.
std::string revisionOf(const std::string& versionText);

// Seconds, a full stop and nanoseconds, both in plain decimal without leading
// zeros: (12, 5) gives "12.5" and (12, 500000000) gives "12.500000000".
std::string mtimeText(long long seconds, long nanoseconds);

// The size and modification-time text of a regular file (links followed).
// False when the path is missing or is not a regular file.
bool statRegularFile(const std::string& path, std::uint64_t& size, std::string& mtime);

// The record file's text: compact JSON, members in a fixed order, e.g.
// {"packVersion":"1.0","platform":"linux","revision":"r","files":[]}.
std::string format(const Record& record);

// Reads a record file's text. False, with `record` untouched, unless the text
// is a JSON object with a "files" array. Otherwise `record` is refilled:
// missing texts read as empty, a missing size as one no file has, entries
// with an empty path or a digest that is not 64 bytes long are dropped. True
// only when packVersion and platform are both non-empty.
bool parse(const std::string& text, Record& record);

// Records the just-installed program files under `contentFolder`: each must
// be a regular file of its entry's size; its modification time is taken and
// "resources/version" gives the revision. Digests come from the verified
// file list; nothing is hashed. False at the first file that fails; the
// partly filled record must then be discarded.
bool capture(const std::string& contentFolder, const std::string& packVersion,
             const std::string& platform, const std::vector<Entry>& entries, Record& record);

// Checks the installed program files against the record, stopping at the
// first failure with its reason. A file whose modification time matches the
// record is taken as unchanged without reading it; "resources/version" is
// always read. Files read and found equal get their new time in `record` and
// set `refreshed`.
Outcome verify(const std::string& contentFolder, const std::string& packVersion,
               const std::string& platform, Record& record);

}  // namespace vantis::content::binarycheck
