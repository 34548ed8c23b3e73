// Publishing one release into a static server folder: content first (blobs,
// bundles), then the lists, then the manifest, then the signed pointer
// "/current.json", each written under a temporary name and renamed. A web
// server may serve the folder throughout, and a publish cut off at any point
// leaves the release that was served before whole and served.
//
// Called from one thread; it uses `threads` worker threads of its own.
// Two publishers never run in one folder at once: the second is refused.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ObjectCodec.h"
#include "Parallel.h"
#include "Store.h"
#include "release/BlobCut.h"

namespace vantis::publish {

// How files are cut into blobs: where their content says (an insertion then
// changes only the blobs around it) or at fixed offsets.
enum class CutMode { content, fixed };

struct ReleaseOptions {
  std::string serverDir;
  std::string keyPath;      // PEM private key, P-256
  std::string version;      // names the release and its folder on the server
  long long sequence = -1;  // must exceed the served release's
  std::string requiredDir;
  std::string optionalDir;                 // the Overhaul's own files; empty for none
  std::string configRequiredPath;          // engine configuration templates; empty for none
  std::string configOptionalPath;          // empty: the required template serves both tiers
  std::string creditsPath;                 // empty for none
  CutMode cutMode = CutMode::content;
  std::uint64_t chunkSize = 8u << 20;      // fixed cutting: every blob but a file's last
  std::uint64_t cutAverage = 16u << 10;    // content cutting: the average blob, a power of two
  std::uint64_t cutMin = 0;                // the shortest; 0: a quarter of the average
  std::uint64_t cutMax = 0;  // the longest; 0: 8 x the average, at most bundleBlobMax
  std::uint64_t bundleSize = 8u << 20;     // bundle target
  std::uint64_t bundleBlobMax = 1u << 20;  // largest blob that goes into bundles
  unsigned threads = 0;                    // 0: every core
  // How the objects are compressed. gzip by default: players' installed
  // synchronisers read only gzip, and the release that brings them a newer
  // one must be readable by the old one.
  content::Encoding compression = content::Encoding::gzip;
  int gzipLevel = 6;
  int zstdLevel = 3;
  bool newKey = false;  // sign although the served release has another key
  // Cut the file lists and the bundle index into sections the manifest names,
  // beside the whole lists that older players read.
  bool listSections = true;
  // Days until the pointer stops being current (players refuse it a day
  // later); 0 for a pointer that never expires.
  std::uint64_t expiresDays = 0;
};

// The most days a pointer may be given: a hundred years.
inline constexpr std::uint64_t kMaxExpiresDays = 36500;

struct ReleaseReport {
  std::size_t requiredFiles = 0;
  std::size_t optionalFiles = 0;
  std::uint64_t contentBytes = 0;  // bytes of all distinct source files
  StoreCounts chunks;
  StoreCounts bundles;
  StoreCounts sections;  // of the lists, all three counted together
  std::size_t alwaysHash = 0;  // entries marked, both tiers
  std::size_t retired = 0;
  std::size_t earlierReleases = 0;  // releases on the served chain, learned from
  std::string expires;              // the pointer's expiry; empty: never
  std::vector<std::string> warnings;  // lower-case phrases, for the caller to show
};

// The server folder's publish lock (".publish.lock"), held while the object
// lives: publishing, refreshing and pruning a folder exclude one another.
struct FolderLock {
  int descriptor = -1;
  FolderLock() = default;
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
};

// Takes the lock; false with "another publish is running in <folder>" while
// another process holds it.
bool lockFolder(const std::string& serverDir, FolderLock& lock, std::string& error);
// The cutting the options ask for, with the content cutting's derived sizes
// filled in.
content::BlobCutting releaseCutting(const ReleaseOptions& options);

// The encoding the options ask for, with its level.
Compression releaseCompression(const ReleaseOptions& options);

// Checks the options that need no disk: version name, sequence range, sizes,
// the cutting (a content cutting's longest blob at most `bundleBlobMax`, so
// that every blob is bundled and a cold install stays at a few hundred
// requests), compression levels.
bool checkReleaseOptions(const ReleaseOptions& options, std::string& error);

// Publishes the release. On failure `error` holds one lower-case phrase and
// the folder still serves what it served before (content written so far
// stays, and is reused by the next attempt). `progress` hears every step;
// answering false interrupts the publish like a failure would.
bool publishRelease(const ReleaseOptions& options, const Progress& progress, ReleaseReport& report,
                    std::string& error);

// Re-signing the served release with a new expiry, so that players keep
// taking it while no new release is due.
struct RefreshOptions {
  std::string serverDir;
  std::string keyPath;
  std::uint64_t expiresDays = 0;  // 1 to kMaxExpiresDays
};

struct RefreshReport {
  std::string version;
  long long sequence = -1;
  std::string expires;  // the new expiry, RFC 3339 UTC
};

// Rewrites "current.json" with the same version, sequence and manifest and
// the new expiry, signed with the key at `keyPath`, which must be the one the
// served pointer was signed with; the manifest it names must still match its
// digest. The sequence stays: players refuse a lower one, not an equal one,
// so the refreshed pointer installs as the unchanged release. On failure
// `error` holds one lower-case phrase and the served pointer is untouched.
bool refreshRelease(const RefreshOptions& options, RefreshReport& report, std::string& error);

}  // namespace vantis::publish
