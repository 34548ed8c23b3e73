// Progress reporting for the whole pipeline: one record, kept truthful (done
// never above total) and handed to the caller's callback. Calling thread
// only; the download workers feed it through an atomic counter that the
// calling thread reads.

#include <time.h>

#include "foundation/FileSystem.h"
#include "pipeline/SyncInternal.h"

namespace vantis::content {

double monotonicSeconds() {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

SyncRun::SyncRun(const SyncOptions& runOptions, SyncResult& runResult)
    : options(runOptions), result(runResult) {
  const std::string& root = options.root;
  cacheDir = joinPath(root, kCacheDir);
  statePath = joinPath(cacheDir, kStateFile);
  manifestCopyPath = joinPath(cacheDir, "manifest-head.json");
  blobStore = joinPath(cacheDir, "blobs");
  programDir = joinPath(root, "content\\bin");
  contentDir = joinPath(root, "content");
  recordPath = joinPath(cacheDir, std::string("binary-check-") + tierName(options.tier) + ".json");
  checkedFilesPath = joinPath(cacheDir, kCheckedFilesName);
}

bool SyncRun::reportProgress(const std::string& phase, const std::string& detail) {
  progress.phase = phase;
  progress.detail = detail;
  if (progress.bytesTotal != 0 && progress.bytesDone > progress.bytesTotal) {
    progress.bytesDone = progress.bytesTotal;
  }
  if (progress.stepTotal != 0 && progress.stepDone > progress.stepTotal) {
    progress.stepDone = progress.stepTotal;
  }
  // The rate is the average over the whole sync; it means nothing in the
  // first half second, so it stays unknown until then.
  const double elapsed = monotonicSeconds() - startSeconds;
  if (elapsed > 0.5 && progress.bytesDone != 0) {
    progress.bytesPerSecond = static_cast<double>(progress.bytesDone) / elapsed;
    if (progress.bytesDone >= progress.bytesTotal) {
      progress.secondsLeft = 0;
    } else if (progress.bytesPerSecond > 0) {
      progress.secondsLeft =
          static_cast<double>(progress.bytesTotal - progress.bytesDone) / progress.bytesPerSecond;
    } else {
      progress.secondsLeft = 0;
    }
  }
  if (!options.progress) return true;
  return options.progress(progress);
}

}  // namespace vantis::content
