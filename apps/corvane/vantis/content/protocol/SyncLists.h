// The release's documents after the pointer: the manifest, fetched and
// checked against the pointer's digest, and the line-delimited lists it names
// by digest (the file list of each tier, the bundle index, the retired
// files). This header fetches them and reads their lines into the records
// the pipeline plans with; the file-list reader also
// decides, per entry, whether the installed copy is already current.
//
// Private to the library (pipeline, overhaul removal). Calling thread only. Nothing here writes to the disk: the file-list reader only
// looks at installed files. What is done with the records (planning,
// downloads, assembly, removal) belongs to the callers.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/Json.h"
#include "foundation/Result.h"
#include "http/Http.h"
#include "protocol/BinaryCheck.h"
#include "protocol/SyncCheckedFiles.h"
#include "protocol/SyncPointer.h"
#include "release/Layout.h"
#include "release/Lists.h"
#include "release/Manifest.h"

namespace vantis::content {

// Receives a progress report: (phase, detail) -> false when the user asked
// to stop. An empty function reports nothing and never stops.
using ProgressReport = std::function<bool(const std::string& phase, const std::string& detail)>;

// Where a blob lies inside a bundle.
struct BlobLocation {
  std::string bundle;
  std::int64_t offset = 0;
  std::int64_t length = 0;
};

// ---- Fetching -------------------------------------------------------------

// The two sentences a fetch fails with: each caller words its own.
struct FetchMessages {
  const char* requestFailed;  // no answer, or not a 2xx
  const char* mismatch;       // the body's digest is not the one named
};

// GETs `path` once, its body bounded by `maxBytes`, and hands the body back
// only when the request succeeded (status 200..299, no client error) and its
// SHA-256 equals `expectedSha256`. The whole body is checked before any line
// of it is read, so a tampered document is refused before a single file is
// examined. A 2xx body longer than `maxBytes` is refused as a mismatch (it
// cannot be the document the digest names). `progress` (may be empty) is
// the request's: when it says stop, the fetch fails with "Cancelled."
// rather than the request's message.
Result<std::vector<unsigned char>> fetchVerified(HttpClient& client, const std::string& path,
                                                 std::uint64_t maxBytes,
                                                 const std::string& expectedSha256,
                                                 const FetchMessages& messages,
                                                 const HttpProgress& progress = {});

// The manifest the verified pointer names: "/" + manifestPath, at most
// kMaxDocumentBytes, checked against manifestSha256 (failures worded by
// `messages`, a stop by `progress` "Cancelled.").
Result<std::vector<unsigned char>> fetchManifestBytes(HttpClient& client,
                                                      const ReleasePointer& pointer,
                                                      const FetchMessages& messages,
                                                      const HttpProgress& progress = {});

// The most bytes a list's body may hold: the size the manifest gives it, else
// (a manifest from before lists had a size) the largest body a client takes.
std::uint64_t listBytesBound(const ListPart& part);

// The manifest's bytes parsed: "The update manifest was malformed: " + the
// parser's message when they are not JSON; kEncodingUnreadable when its
// objects are compressed in a way this build cannot decode.
Result<Manifest> parseManifest(const std::vector<unsigned char>& bytes);

// "/manifest/" + packVersion + "/" + the list's file.
std::string listRequest(const std::string& packVersion, const ListDocument& list);

// ---- Readers -------------------------------------------------------------------

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
  BlobCutting cutting;                    // the release's, kept with what is learned
  bool learned = false;                   // `knowledge` describes the copy as it is now
  CheckedFile knowledge;
};

// The same decision, helped by the checked-files record. When the recorded
// line still matches the copy's identity (and no full check is asked for),
// its digest stands for the content: the copy is current exactly when that
// digest is the entry's, with no read, and a copy known to hold other
// content is never taken for current because its size matches. Otherwise as
// above. What is known afterwards (the record's line, or the identity and
// digest just computed, with the entry's blobs when it matched and their
// lengths follow from a fixed cutting) is left in `copy`.
bool installedCopyCurrent(const std::string& installedPath, const FileRecord& record,
                          bool fullCheck, CopyKnowledge& copy);

// What the file-list reader needs to know about the instance and the run.
struct FileListContext {
  std::string contentDir;         // the instance's content folder
  bool fullCheck = false;         // hash every installed copy of the right size
  bool nothingInstalled = false;  // progress phase "Preparing" instead of "Verifying files"
  std::uint64_t fileCount = 0;    // the manifest's "fileCount", for progress texts
  ProgressReport report;          // asked every 512 entries
  const CheckedFiles* checked = nullptr;  // what the instance recorded, if anything
  BlobCutting cutting;                    // the manifest's, unknown when it does not say
};

// What the file-list reader yields.
struct FileList {
  std::vector<FileRecord> work;              // entries to fetch, in list order
  std::uint64_t workBytes = 0;               // sum of their sizes (as unsigned)
  std::set<std::string> listedPaths;         // every kept entry's path, as written
  std::vector<binarycheck::Entry> programs;  // program entries: path, size, sha256
  std::uint64_t entriesRead = 0;             // entries read, including dropped ones
  CheckedFiles known;  // per kept entry, what is known of its installed copy now
};

// Reads a verified file list. Per entry, in order: counts it; refuses an
// unsafe path ("The update contained an unsafe path and was refused: " +
// path), a "sha256" that is not 64 characters ("A file entry had no hash.")
// and a blob digest that is not 64 lower-case hex digits ("The update
// manifest is malformed. Refused."); drops entries for a platform other than
// "linux" (after validating them); records the path and, for a "binary"
// entry with a platform or the path "resources/version", the program entry;
// puts the entry on the work list unless `installedCopyCurrent` (with the
// context's checked-files record) holds for contentDir + path, and keeps
// what it learned of the copy in `known`. After every kept entry whose count
// is a multiple of 512 it reports ("Preparing" or "Verifying files", "<count>
// of <fileCount> files") and fails with "Cancelled." when the answer is
// false. A line that does not parse fails with the framing's message.
Result<FileList> readFileList(const std::vector<unsigned char>& body,
                              const FileListContext& context);

// The bundle index: blob digest to its place (a later line naming the same
// blob wins) and bundle id to its record (a later line with the same id
// wins). Blobs are looked up by the tens of thousands while a first install
// waits to start, so by hash rather than in order.
struct BundleIndex {
  std::unordered_map<std::string, BlobLocation> blobs;
  std::map<std::string, BundleRecord> bundles;
};

// Only a line that does not parse fails it, with the framing's message; the
// lines are not otherwise validated.
Result<BundleIndex> readBundleIndex(const std::vector<unsigned char>& body);

// The release's bundle index, fetched (bounded by `listBytesBound`),
// checked against the manifest and read: "Could not download the bundle
// index.", "The bundle index did not match the manifest. Refused.",
// "Cancelled." when `progress` said stop, or the framing's message.
Result<BundleIndex> fetchBundleIndex(HttpClient& client, const std::string& packVersion,
                                     const Manifest& manifest,
                                     const HttpProgress& progress = {});

// Each line's record (path and, when the line names them, the versions
// shipped there), in order. The paths are judged later by the pruning. Fails
// only on a line that does not parse, with the framing's message.
Result<std::vector<RetiredRecord>> readRetiredRecords(const std::vector<unsigned char>& body);
// The same reading, paths only ("path" text, empty when absent).
Result<std::vector<std::string>> readRetiredList(const std::vector<unsigned char>& body);

}  // namespace vantis::content
