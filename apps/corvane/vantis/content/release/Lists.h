// The release's line-delimited lists: their framing and the record each kind
// of line holds, read by the synchroniser and written by the publisher. A
// list is one compact JSON object per line, each line ending in a line feed:
// the file list of each tier, the bundle index and the retired files.
//
// Readers never fail on a line that parses: members that are missing or of
// the wrong kind read as empty, 0 or false, and judging a record (the path
// rule, digests) is the caller's. Writers leave out members that hold their
// default, which keeps the lists of a large pack small. Pure functions; any
// thread. Not here: fetching the lists, the per-entry decisions.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "foundation/Json.h"
#include "foundation/Result.h"

namespace vantis::content {

// ---- Framing -------------------------------------------------------------------

// Receives one parsed line; a failure stops the reading and is handed on.
using LineHandler = std::function<Status(const JsonValue& line)>;

// The body is split at line feeds (a last line needs none); empty lines are
// skipped and not counted; every other line is parsed as one JSON document
// (a carriage return before the line feed is white space) and handed to
// `handler`. Succeeds after the last line (an empty body is an empty list).
// A line that does not parse fails with "manifest line " + N + ": " + the
// parser's message, N counting non-empty lines from 1; a handler's failure
// is returned as it is. Each line is parsed and dropped in turn, so memory
// does not grow with the list.
Status forEachLine(const void* body, std::size_t size, const LineHandler& handler);
Status forEachLine(const std::vector<unsigned char>& body, const LineHandler& handler);
Status forEachLine(const std::string& body, const LineHandler& handler);

// Appends `line` (one JSON object's text) and its line feed to `list`.
void appendLine(const std::string& line, std::string& list);

// ---- File lists ------------------------------------------------------------------

// The "target" of a program file, which is installed only from verified
// downloads and checked before every unchanged run, and of any other file.
inline constexpr const char* kTargetBinary = "binary";
inline constexpr const char* kTargetInstance = "instance";
// The one platform this synchroniser installs for.
inline constexpr const char* kPlatformLinux = "linux";

// One entry of a file list. `path` is relative to the instance's "content"
// folder, with "/" or "\" as separator, exactly as the list wrote it.
struct FileRecord {
  std::string path;
  std::int64_t size = 0;
  std::string sha256;    // whole-file digest
  std::string target;    // "binary" marks a program file
  std::string platform;  // empty for every platform, else one name
  bool alwaysHash = false;
  std::vector<std::string> chunks;  // blob digests, in assembly order
};

FileRecord readFileRecord(const JsonValue& line);
// {"path","size","sha256","target"[,"platform"][,"alwaysHash"],"chunks"}.
std::string fileRecordLine(const FileRecord& record);

// ---- Bundle index ----------------------------------------------------------------

// One line of the bundle index: a bundle and the blobs it holds back to back.
struct BundleRecord {
  struct Blob {
    std::string digest;
    std::int64_t offset = 0;
    std::int64_t length = 0;
  };
  std::string id;  // the SHA-256 of the bundle's bytes
  std::int64_t size = 0;
  std::vector<Blob> blobs;  // in the order of the line
};

BundleRecord readBundleRecord(const JsonValue& line);
// {"id","size","blobs":[[digest,offset,length],...]}.
std::string bundleRecordLine(const BundleRecord& record);

// ---- Retired files -----------------------------------------------------------------

// One content a release shipped at a path: its size and whole-file digest.
struct ShippedVersion {
  std::int64_t size = 0;
  std::string sha256;
};

// One line of the retired list: a path an earlier release shipped and this
// one does not, and what the releases shipped there. A client deletes the
// file at the path only when its content is one of `versions`: anything else
// there is the player's. A line without "versions" comes from a publisher
// that did not name them; its file goes whatever it holds, as it always did.
struct RetiredRecord {
  std::string path;
  bool versionsNamed = false;  // the line has "versions" (even an empty or odd one)
  std::vector<ShippedVersion> versions{};
};

// A "versions" element that is not [size, digest] reads as size -1 and an
// empty digest, which no file matches.
RetiredRecord readRetiredRecord(const JsonValue& line);
// {"path"} or {"path","versions":[[size,sha256],...]}.
std::string retiredRecordLine(const RetiredRecord& record);

}  // namespace vantis::content
