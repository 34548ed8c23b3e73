// The synchroniser's public interface: the records that cross between the
// command line, the sync pipeline and any program that embeds it, and the
// library's entry points. `sync` runs on the calling thread; every callback in
// `SyncOptions` is called on that thread too. Worker threads exist only inside
// the transfer step and never call back.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "http/Http.h"
#include "http/TrustStore.h"
#include "protocol/Duskmere.h"
#include "protocol/SyncCredits.h"
#include "protocol/Tier.h"
#include "transfer/Mirrors.h"
#include "transfer/ProgressMeter.h"

namespace vantis::content {

// What the library takes from the process environment, read once by the
// program (`readSyncEnvironment`) and passed in with the options, so that
// nothing inside depends on the environment it happens to run in.
struct SyncEnvironment {
  GameSearch gameSearch;  // HOME and SKARVEL_DUSKMERE_DIR
  // Where https requests find trusted certificates: SSL_CERT_FILE and
  // SSL_CERT_DIR when set; left as it is, the usual places are searched.
  TrustStore trustStore;
};

// HOME, SKARVEL_DUSKMERE_DIR, SSL_CERT_FILE and SSL_CERT_DIR of this process
// (unset reads as empty).
SyncEnvironment readSyncEnvironment();

struct SyncOptions {
  std::string root;
  std::string url = "http://127.0.0.1:8080";
  // Further servers holding the same releases, tried in this order after
  // `url`. Every server's pointer is asked for: the highest sequence whose
  // signature holds wins (the first server among equals), so a mirror that
  // lags behind or serves a forged pointer cannot hold an update back. The
  // documents and downloads come from the winner first, and move on to the
  // others when it fails. Empty: `url` alone, as it always was.
  std::vector<std::string> mirrors;
  std::string accessKey;
  Tier tier = Tier::required;
  std::string duskmereDataFiles;
  bool verify = false;
  std::vector<std::string> reuseRoots;
  // Empty counts as "not running".
  std::function<bool()> gameRunning;
  // Returning false asks the pipeline to stop; empty counts as "go on".
  std::function<bool(const Progress&)> progress;
  std::function<void(const std::vector<Credit>&)> onCredits;
  SyncEnvironment environment;
  // The floor rate every request of the run keeps (the download workers'
  // too): one that receives fewer than minBytesPerSecond * slowWindowSeconds
  // bytes within slowWindowSeconds is given up. The defaults let a 64 KiB/s
  // home link finish; tests shorten the window to see a drip end quickly.
  std::uint64_t minBytesPerSecond = kFloorBytesPerSecond;
  std::uint64_t slowWindowSeconds = kFloorWindowSeconds;
  // The free bytes on the disk that holds a path, false when unknown; asked
  // before anything is downloaded. Empty asks the file system.
  std::function<bool(const std::string& path, std::uint64_t& bytes)> freeSpace;
  // The most bytes per second the download workers receive together; 0
  // leaves the rate to the link.
  std::uint64_t maxBytesPerSecond = 0;
};

struct SyncResult {
  bool ok = false;
  bool changed = false;
  bool programsChanged = false;
  std::uint64_t filesDeferred = 0;
  bool finishLater = false;
  std::string version;
  std::string error;
  std::string fullCheckReason;
  std::uint64_t filesWritten = 0;
  std::uint64_t filesRemoved = 0;
  std::uint64_t bytesDownloaded = 0;
  std::uint64_t bytesRemoved = 0;
  std::uint64_t filesNotRemoved = 0;
  bool removalDeferred = false;
  std::string removalSummary;
  bool duskmereMissing = false;
  std::string duskmereDataFiles;
  std::vector<Credit> credits;
  // What each server gave the download workers (bodies and downloads), the
  // server the release came from first; empty when nothing was downloaded.
  std::vector<MirrorUse> mirrors;
};

// Keeps the instance at `options.root` current with the server's release.
// Holds the instance's lock (InstanceLock.h) for the whole run: while
// another run holds it, fails at once with "Another update of this instance
// is running. Wait for it to finish and try again." and changes nothing.
SyncResult sync(const SyncOptions& options);

// What an update of the instance would do, found without doing it.
struct UpdateCheck {
  bool ok = false;
  std::string error;             // the message when `ok` is false, else empty
  bool updateAvailable = false;  // the server's release differs or files must be installed
  std::string installed;         // the version installed for the tier; empty for none
  std::string version;           // the version the server publishes
  std::uint64_t files = 0;       // files an update would install
  std::uint64_t fileBytes = 0;   // their sizes together
  std::uint64_t downloadBytes = 0;  // what it would download for them
};

// Asks the server what an update of the instance at `options.root` to its
// release would take, for the options' tier: fetches and verifies the
// pointer, the manifest, the tier's file list and the bundle index, reads
// the installed files as an update would (by the checked-files record, in
// full with `verify` or when the state record demands it) and plans the
// downloads, counting the blobs installed files already hold. Writes nothing
// in the instance and takes no lock: a run beside it is not disturbed, and
// at worst the figures are those of the moment before that run's changes.
// Fails with the messages `sync` fails with for the same documents (a
// server that cannot be reached is a failure here, not "playing installed
// content"), and with "Cancelled." when `progress` said stop.
UpdateCheck checkForUpdate(const SyncOptions& options);

// The outcome of removing the optional tier. The counters come from the
// deletion pass (files deleted, their bytes, files that could not be deleted,
// folders removed because they became empty); entries that were refused or
// kept are not reported.
struct ClearResult {
  // True only when the files were handled, the required tier's
  // configuration was written and the state record was written.
  bool ok = false;
  std::uint64_t removed = 0;
  std::uint64_t bytesRemoved = 0;
  std::uint64_t failed = 0;
  std::uint64_t foldersRemoved = 0;
  std::string error;  // the message when `ok` is false, else empty
};

// Takes the instance at `options.root` back to the required tier: fetches
// and verifies the current release's optional and required file lists,
// deletes the optional tier's mod files ("instance" entries under "mods/")
// that the required list does not also name, writes the required tier's
// configuration, and records that no tier is installed and that the next
// required-tier sync must check every file in full. Uses `root`, `url`,
// `accessKey`, `duskmereDataFiles` and `gameRunning` (asked before the start
// and again after the lists are fetched). A release older than the highest
// one recorded in the instance is refused ("The server offered an older
// release than the one installed. Refused."), as are expired and unverified
// pointers. Any failure before the deletion leaves the instance untouched.
// Calling thread only. Holds the instance's lock as `sync` does, and is
// refused the same way beside another run.
ClearResult clearOverhaul(const SyncOptions& options);

// The local half of `clearOverhaul` once the lists are known: deletes
// `removal` (paths relative to the "content" folder) except what `keep`
// names, writes the required configuration from `manifestText` (the
// manifest's raw bytes), and writes the state record with the previous
// record's sequence, else `sequence`. Touches only the local disk; files
// already deleted stay deleted whatever fails after them. Holds the
// instance's lock, refused like `clearOverhaul` beside another run.
ClearResult finishClear(const SyncOptions& options, const std::vector<std::string>& removal,
                        const std::set<std::string>& keep, std::int64_t sequence,
                        const std::string& manifestText);

// The version installed for `tier` in the instance at `root`, or empty when
// none is known (no record, an unreadable one, or no entry for the tier).
std::string installedVersion(const std::string& root, Tier tier);

// The version name of the release the server currently publishes, taken
// from its signed pointer; empty when the client is not open, the request
// fails, or the pointer does not verify. Touches nothing on disk and reports
// no message. `client` must already be opened on the content server; the
// pointer is read up to kMaxDocumentBytes, under the floor rate and cancel
// flag the caller gave the client.
std::string publishedVersion(HttpClient& client);

}  // namespace vantis::content
