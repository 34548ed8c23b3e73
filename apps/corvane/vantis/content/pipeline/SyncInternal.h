// Private to the sync unit: the pieces that its files (pipeline, release
// pointer, lists, transfer, state, tier configuration, credits, overhaul)
// share. Not part of the library's public interface, and free to change with
// it. Everything here runs on the calling thread of `sync` unless its
// comment says otherwise.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/Json.h"
#include "pipeline/Sync.h"
#include "protocol/SyncCheckedFiles.h"

namespace vantis::content {

class HttpClient;

// True for 64 lower-case hexadecimal characters: the only text that can be
// a digest this system compares (Sha256::hex writes nothing else).
inline bool isLowerHexDigest(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    const bool hexDigit = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    if (!hexDigit) return false;
  }
  return true;
}

// Instance-relative paths of the records in the cache folder.
inline constexpr const char* kCacheDir = "content\\cache";
inline constexpr const char* kStateFile = "state.json";

// The state of one `sync` call that its steps share: paths, progress, the
// release being installed and the one client of the calling thread. Lives on
// the calling thread's stack; worker threads never see it.
struct SyncRun {
  SyncRun(const SyncOptions& options, SyncResult& result);

  const SyncOptions& options;
  SyncResult& result;

  // Real paths (already joined) of the table the whole pipeline uses.
  std::string cacheDir;          // <root>/content/cache
  std::string statePath;         // <cache>/state.json
  std::string manifestCopyPath;  // <cache>/manifest-head.json
  std::string blobStore;         // <cache>/blobs
  std::string programDir;        // <root>/content/bin
  std::string contentDir;        // <root>/content
  std::string recordPath;        // <cache>/binary-check-<tier>.json
  std::string checkedFilesPath;  // <cache>/checked-files.txt

  HttpClient* client = nullptr;  // the calling thread's client, set once opened

  // The verified release.
  std::string packVersion;
  long long sequence = -1;
  JsonValue manifest;
  std::string manifestBytes;
  std::uint64_t chunkSize = 0;  // the manifest's "chunkSize" on the full path; 0 unknown

  // From the previous installed-state record (Null when there was none).
  JsonValue previousState;
  std::string installedVersion;  // of the tier being synced
  bool fullCheck = false;        // every installed file's digest is checked

  // What is known of the installed copies of the listed files: read by the
  // list reader, extended by every file installed, recorded when complete.
  CheckedFiles checked;

  Progress progress;
  double startSeconds = 0.0;

  // Sets phase and detail, keeps the done counters within their totals,
  // updates rate and time left, and asks the caller's progress function.
  // True means go on (also when no function is set). Callers decide whether
  // the answer is honoured.
  bool reportProgress(const std::string& phase, const std::string& detail);
};

// Seconds on the monotonic clock.
double monotonicSeconds();

// What the sync reads from the previous installed-state record. An
// unreadable or unparsable record reads as nothing installed.
struct InstalledState {
  long long sequence = -1;      // -1: none recorded, never refuses a release
  std::string version;          // installed version of the tier being synced
  std::string configTier;       // tier the engine configuration was written for
  bool verifyDemanded = false;  // a full check is owed (required tier only)
};

// Reads "<root>/content/cache/state.json" into `document`; a missing or
// malformed record leaves `document` Null (which every rule reads as an
// empty record) and returns false.
bool readStateDocument(const std::string& root, JsonValue& document);

// The reading rules applied to a parsed previous record for `tier`.
InstalledState readInstalledState(const JsonValue& previous, Tier tier);

// Records `packVersion` and `sequence` for `tier` after an update or a
// profile switch. On failure sets `error` to "Could not record the installed
// version." and returns false; the previous record then stays intact.
bool writeInstalledState(const std::string& root, Tier tier, const std::string& packVersion,
                         long long sequence, const JsonValue& previous,
                         const std::string& cacheDir, const std::string& statePath,
                         std::string& error);

// Records the removal of the optional tier: no version for either tier,
// `configTier` as the tier whose configuration is on disk, and the demand
// that the next required-tier sync check every file in full. Written through
// a temporary file and a rename like every other record. On failure sets
// `error` to "Could not record the change." and returns false; the previous
// record then stays intact.
bool writeClearedState(long long sequence, const std::string& configTier,
                       const std::string& cacheDir, const std::string& statePath,
                       std::string& error);

}  // namespace vantis::content
