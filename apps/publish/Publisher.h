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
  std::uint64_t cutAverage = 64u << 10;    // content cutting: the average blob, a power of two
  std::uint64_t cutMin = 0;                // the shortest; 0: a quarter of the average
  std::uint64_t cutMax = 0;  // the longest; 0: 8 x the average, at most bundleBlobMax
  std::uint64_t bundleSize = 8u << 20;     // bundle target
  std::uint64_t bundleBlobMax = 1u << 20;  // largest blob that goes into bundles
  unsigned threads = 0;                    // 0: every core
  int gzipLevel = 6;
  bool newKey = false;  // sign although the served release has another key
};

struct ReleaseReport {
  std::size_t requiredFiles = 0;
  std::size_t optionalFiles = 0;
  std::uint64_t contentBytes = 0;  // bytes of all distinct source files
  StoreCounts chunks;
  StoreCounts bundles;
  std::size_t alwaysHash = 0;  // entries marked, both tiers
  std::size_t retired = 0;
  std::vector<std::string> warnings;  // lower-case phrases, for the caller to show
};

// The cutting the options ask for, with the content cutting's derived sizes
// filled in.
content::BlobCutting releaseCutting(const ReleaseOptions& options);

// Checks the options that need no disk: version name, sequence range, sizes,
// the cutting (a content cutting's longest blob at most `bundleBlobMax`, so
// that every blob is bundled and a cold install stays at a few hundred
// requests), compression level.
bool checkReleaseOptions(const ReleaseOptions& options, std::string& error);

// Publishes the release. On failure `error` holds one lower-case phrase and
// the folder still serves what it served before (content written so far
// stays, and is reused by the next attempt). `progress` hears every step;
// answering false interrupts the publish like a failure would.
bool publishRelease(const ReleaseOptions& options, const Progress& progress, ReleaseReport& report,
                    std::string& error);

}  // namespace vantis::publish
