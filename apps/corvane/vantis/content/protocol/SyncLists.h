// The release's documents after the pointer: the manifest, fetched and
// checked against the pointer's digest, and the line-delimited lists it names
// by digest (the file list of each tier, the bundle index, the retired
// files). This header fetches them, frames their lines, and reads each kind
// of line into the records the pipeline plans with; the file-list reader also
// decides, per entry, whether the installed copy is already current.
//
// Private to the sync unit (pipeline, transfer, overhaul removal). Calling
// thread only. Nothing here writes to the disk: the file-list reader only
// looks at installed files. What is done with the records (planning,
// downloads, assembly, removal) belongs to the callers.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "protocol/BinaryCheck.h"
#include "foundation/Json.h"
#include "protocol/SyncCheckedFiles.h"
#include "protocol/SyncPointer.h"

namespace vantis::content {

class HttpClient;

// The list documents under "/manifest/<packVersion>/", and the member of the
// manifest's "parts" object whose "sha256" each must match.
inline constexpr const char* kFilesRequiredList = "files-required.ndjson";
inline constexpr const char* kFilesOptionalList = "files-optional.ndjson";
inline constexpr const char* kBundlesList = "bundles.ndjson";
inline constexpr const char* kFilesRetiredList = "files-retired.ndjson";
inline constexpr const char* kFilesRequiredPart = "filesRequired";
inline constexpr const char* kFilesOptionalPart = "filesOptional";
inline constexpr const char* kBundlesPart = "bundles";
inline constexpr const char* kFilesRetiredPart = "filesRetired";

// A progress report: (phase, detail) -> false when the user asked to stop.
// The pipeline passes its `SyncRun::reportProgress`; an empty function
// reports nothing and never stops.
using ProgressReport = std::function<bool(const std::string& phase, const std::string& detail)>;

// One entry of a file list. `path` is relative to the instance's "content"
// folder, with "/" or "\" as separator, exactly as the list wrote it.
struct FileRecord {
  std::string path;
  std::int64_t size = 0;
  std::string sha256;    // whole-file digest (only its length is checked)
  std::string target;    // "binary" marks a program file
  std::string platform;  // empty for every platform, else one name
  bool alwaysHash = false;
  std::vector<std::string> chunks;  // blob digests, in assembly order
};

// Where a blob lies inside a bundle.
struct BlobLocation {
  std::string bundle;
  std::int64_t offset = 0;
  std::int64_t length = 0;
};

// One line of the bundle index.
struct BundleRecord {
  struct Blob {
    std::string digest;
    std::int64_t offset = 0;
    std::int64_t length = 0;
  };
  std::string id;
  std::int64_t size = 0;
  std::vector<Blob> blobs;  // in the order of the line
};

// ---- Fetching -------------------------------------------------------------

// Fetches the manifest named by a verified pointer: reports ("Checking for
// updates", "manifest") first (the answer is ignored), GETs "/" +
// `pointer.manifestPath`, checks the body's SHA-256 against
// `pointer.manifestSha256` and parses it. On success fills `manifest` and
// `manifestBytes` (the raw body, for the manifest copy) and returns true.
// On failure sets `error` and returns false, leaving both outputs alone:
//   request failed   sync: "Could not download the update manifest."
//                    overhaul: "The update manifest could not be verified."
//   digest differs   sync: "The update manifest did not match its signature. Refused."
//                    overhaul: "The update manifest could not be verified."
//   not JSON         sync: "The update manifest was malformed: " + parser message
//                    overhaul: "The update manifest was malformed."
bool fetchManifest(HttpClient& client, const ReleasePointer& pointer, ReleaseReader reader,
                   const ProgressReport& report, JsonValue& manifest, std::string& manifestBytes,
                   std::string& error);

// "/manifest/" + packVersion + "/" + listName.
std::string listPath(const std::string& packVersion, const std::string& listName);

// The digest the manifest names for one list: "parts" -> part -> "sha256",
// empty (which never matches) when absent.
const std::string& listDigest(const JsonValue& manifest, const std::string& part);

enum class FetchOutcome { ok, requestFailed, digestMismatch };

// GETs `path` once and accepts the body only when the request succeeded
// (status 200..299, no client error) and its SHA-256 equals `expectedSha256`.
// The whole body is checked before any line of it is read, so a tampered
// list is refused before a single file is examined. `body` receives the
// response body on `ok` and is emptied otherwise. The caller words the
// failure ("Could not download the file list.", ...).
FetchOutcome fetchVerified(HttpClient& client, const std::string& path,
                           const std::string& expectedSha256, std::vector<unsigned char>& body);

// ---- Line framing and readers ----------------------------------------------

// Receives one parsed line; returns false to stop the reading (after setting
// the reader's error when it has something to say).
using LineHandler = std::function<bool(const JsonValue& line)>;

// The framing every list shares: the body is split at line feeds (a last line
// needs none); empty lines are skipped and not counted; every other line is
// parsed as one JSON document (a carriage return before the line feed is
// white space) and handed to `handler`. Returns true after the last line (an
// empty body is an empty list). A line that does not parse sets `error` to
// "manifest line " + N + ": " + parser message, N counting non-empty lines
// from 1, and returns false; a handler's false is returned at once. Each line
// is parsed and dropped in turn, so memory does not grow with the list.
bool forEachLine(const std::vector<unsigned char>& body, const LineHandler& handler,
                 std::string& error);

// The path-safety rule for every path a list names: 1 to 400 bytes, no ":",
// not starting with "/" or "\"; split at "/" and "\" (empty parts skipped),
// no part is "." or "..", ends in "." or a space, holds a byte 0x00-0x1F or
// one of `"*<>?|`, or is a reserved device name (con, prn, aux, nul,
// com1-com9, lpt1-lpt9, compared case-insensitively on the text before the
// part's first ".").
bool safeRelativePath(const std::string& path);

// The per-entry decision: true when the installed copy at `installedPath`
// (a real path) is a regular file of exactly `record.size` bytes and, when a
// digest is demanded (`fullCheck`, a "binary" target or `alwaysHash`), its
// streamed SHA-256 equals `record.sha256`. Costs one stat unless a digest is
// demanded; never reads a whole file into memory.
bool installedCopyCurrent(const std::string& installedPath, const FileRecord& record,
                          bool fullCheck);

// What the decision knows and learns about one installed copy.
struct CopyKnowledge {
  const CheckedFile* recorded = nullptr;  // the checked-files line for the path, if any
  std::uint64_t chunkSize = 0;            // the release's, kept with what is learned
  bool learned = false;                   // `knowledge` describes the copy as it is now
  CheckedFile knowledge;
};

// The same decision, helped by the checked-files record. When the recorded
// line still matches the copy's identity (and no full check is asked for),
// its digest stands for the content: the copy is current exactly when that
// digest is the entry's, with no read, and a copy known to hold other
// content is never taken for current because its size matches. Otherwise as
// above. What is known afterwards (the record's line, or the identity and
// digest just computed, with the entry's chunks when it matched) is left in
// `copy`.
bool installedCopyCurrent(const std::string& installedPath, const FileRecord& record,
                          bool fullCheck, CopyKnowledge& copy);

// What the file-list reader needs to know about the instance and the run.
struct FileListContext {
  std::string root;               // the instance folder
  bool fullCheck = false;         // hash every installed copy of the right size
  bool nothingInstalled = false;  // progress phase "Preparing" instead of "Verifying files"
  std::int64_t fileCount = 0;     // the manifest's "fileCount", for progress texts
  ProgressReport report;          // asked every 512 entries
  const CheckedFiles* checked = nullptr;  // what the instance recorded, if anything
  std::uint64_t chunkSize = 0;            // the manifest's "chunkSize", 0 when unknown
};

// What the file-list reader yields. On a failure or a stop the fields keep
// what the lines before it added; callers then drop them.
struct FileListResult {
  std::vector<FileRecord> work;              // entries to fetch, in list order
  std::uint64_t workBytes = 0;               // sum of their sizes (as unsigned)
  std::set<std::string> listedPaths;         // every kept entry's path, as written
  std::vector<binarycheck::Entry> programs;  // program entries: path, size, sha256
  std::uint64_t entriesRead = 0;             // entries read, including dropped ones
  CheckedFiles known;  // per kept entry, what is known of its installed copy now
};

enum class ListOutcome {
  ok,
  malformed,  // `error` holds the message
  stopped,    // the progress report asked to stop; `error` untouched
};

// Reads a verified file list. Per entry, in order: counts it; refuses an
// unsafe path ("The update contained an unsafe path and was refused: " +
// path), a "sha256" that is not 64 characters ("A file entry had no hash.")
// and a chunk digest that is not 64 lower-case hex digits ("The update
// manifest is malformed. Refused."); drops entries for a platform other than
// "linux" (after validating them); records the path and, for a "binary"
// entry with a platform or the path "resources/version", the program entry;
// puts the entry on the work list unless `installedCopyCurrent` (with the
// context's checked-files record) holds for root + "content" + path, and
// keeps what it learned of the copy in `known`. After every kept entry whose count is a multiple
// of 512 it reports ("Preparing" or "Verifying files", "<count> of
// <fileCount> files") and stops with `stopped` when the answer is false.
ListOutcome readFileList(const std::vector<unsigned char>& body, const FileListContext& context,
                         FileListResult& result, std::string& error);

// Reads the bundle index into a map from blob digest to its place (a later
// line naming the same blob wins) and a map from bundle id to its record (a
// later line with the same id wins). Only a line that does not parse fails
// it, with `forEachLine`'s message; the lines are not otherwise validated.
bool readBundleIndex(const std::vector<unsigned char>& body,
                     std::map<std::string, BlobLocation>& blobs,
                     std::map<std::string, BundleRecord>& bundles, std::string& error);

// Appends each line's "path" text (empty when absent) to `paths`, in order.
// The paths are judged later by the pruning. Fails only on a line that does
// not parse, with `forEachLine`'s message.
bool readRetiredList(const std::vector<unsigned char>& body, std::vector<std::string>& paths,
                     std::string& error);

}  // namespace vantis::content
