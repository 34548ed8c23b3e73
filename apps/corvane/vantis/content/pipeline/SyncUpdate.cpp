// The full update path: manifest and file list, the per-file decision, reuse
// of identical files from other instances, the transfer, and the completion
// (configuration, state, program record, retired files, blob store).
// Calling thread only; the transfer's workers are joined before it returns.

#include "pipeline/SyncUpdate.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "protocol/BinaryCheck.h"
#include "foundation/Crypto.h"
#include "foundation/FileSystem.h"
#include "http/Http.h"
#include "protocol/Prune.h"
#include "protocol/SyncCredits.h"
#include "protocol/SyncLists.h"
#include "protocol/SyncTierConfig.h"
#include "transfer/SyncTransfer.h"

namespace vantis::content {

namespace {

constexpr const char* kPlatform = "linux";

bool gameIsRunning(const SyncOptions& options) {
  return options.gameRunning && options.gameRunning();
}

std::string installedPath(const SyncRun& run, const std::string& relative) {
  return joinPath(run.contentDir, relative);
}

bool fetchManifestAndCredits(SyncRun& run, const ReleasePointer& pointer) {
  if (!fetchReleaseManifest(run, pointer)) return false;
  readCredits(run.manifest, run.result.credits);
  if (run.options.onCredits) run.options.onCredits(run.result.credits);
  replaceWholeFile(run.manifestCopyPath, run.manifestBytes);
  return true;
}

bool fetchFileList(SyncRun& run, std::vector<unsigned char>& body) {
  const bool optional = run.options.tier == Tier::optional;
  const std::string path =
      listPath(run.packVersion, optional ? kFilesOptionalList : kFilesRequiredList);
  const std::string& digest =
      listDigest(run.manifest, optional ? kFilesOptionalPart : kFilesRequiredPart);
  switch (fetchVerified(*run.client, path, digest, body)) {
    case FetchOutcome::ok:
      return true;
    case FetchOutcome::requestFailed:
      run.result.error = "Could not download the file list.";
      return false;
    case FetchOutcome::digestMismatch:
      run.result.error = "The file list did not match the manifest. Refused.";
      return false;
  }
  return false;
}

// Reads the verified list: what must be installed, what the release names,
// and its program files.
bool readWorkList(SyncRun& run, const std::vector<unsigned char>& body, FileListResult& list) {
  const CheckedFiles recorded = readCheckedFiles(run.checkedFilesPath);
  FileListContext context;
  context.checked = &recorded;
  context.chunkSize = run.chunkSize;
  context.root = run.options.root;
  context.fullCheck = run.fullCheck;
  context.nothingInstalled = run.installedVersion.empty();
  context.fileCount = run.manifest["fileCount"].asInt(0);
  context.report = [&run](const std::string& phase, const std::string& detail) {
    return run.reportProgress(phase, detail);
  };
  run.reportProgress(context.nothingInstalled ? "Preparing" : "Verifying files", "");
  std::string error;
  switch (readFileList(body, context, list, error)) {
    case ListOutcome::ok:
      return true;
    case ListOutcome::stopped:
      run.result.error = "Cancelled.";
      return false;
    case ListOutcome::malformed:
      run.result.error = error.empty() ? "The file list was malformed." : error;
      return false;
  }
  return false;
}

// Hard-links (or copies) one candidate into "<target>.part" and checks it.
// The link follows a symbolic link as the size check did: a plain link()
// would install the symbolic link itself, which passes the check but keeps
// pointing at whatever the other instance (or anyone) puts there later.
bool takeFromCandidate(const FileRecord& record, const std::string& candidate,
                       const std::string& target) {
  const std::string part = target + ".part";
  makeParentDirectories(part);
  ::unlink(part.c_str());
  std::uint64_t size = 0;
  std::string hex;
  const bool linked =
      ::linkat(AT_FDCWD, candidate.c_str(), AT_FDCWD, part.c_str(), AT_SYMLINK_FOLLOW) == 0;
  const bool had =
      linked ? hashFileSha256(part, size, hex) : copyFileHashing(candidate, part, size, hex);
  const bool matches = had && size == static_cast<std::uint64_t>(record.size) &&
                       Sha256::equals(hex, record.sha256);
  if (matches) {
    makeParentDirectories(target);
    if (::rename(part.c_str(), target.c_str()) == 0) return true;
  }
  ::unlink(part.c_str());
  return false;
}

enum class Reuse { installed, deferred, notFound };

Reuse reuseOne(SyncRun& run, const FileRecord& record) {
  const std::string target = installedPath(run, record.path);
  for (const std::string& root : run.options.reuseRoots) {
    const std::string candidate = joinPath(joinPath(root, "content"), record.path);
    std::uint64_t size = 0;
    if (!fileSize(candidate, size) || size != static_cast<std::uint64_t>(record.size)) continue;
    std::uint64_t existing = 0;
    if (fileSize(target, existing) && gameIsRunning(run.options)) return Reuse::deferred;
    if (takeFromCandidate(record, candidate, target)) return Reuse::installed;
  }
  return Reuse::notFound;
}

std::uint64_t nonProgramBytes(const std::vector<FileRecord>& work) {
  std::uint64_t total = 0;
  for (const FileRecord& record : work) {
    if (record.target != "binary") total += static_cast<std::uint64_t>(record.size);
  }
  return total;
}

// Files another instance already holds are linked or copied instead of
// downloaded. Programs never are: a program is only ever installed from
// verified downloads of this release.
bool reuseFromOtherInstances(SyncRun& run, std::vector<FileRecord>& work) {
  const std::uint64_t reusable = nonProgramBytes(work);
  if (run.options.reuseRoots.empty() || work.empty() || reusable == 0) return true;
  Progress& progress = run.progress;
  progress.stepDone = 0;
  progress.stepTotal = reusable;
  std::vector<FileRecord> remaining;
  for (FileRecord& record : work) {
    if (record.target == "binary") {
      remaining.push_back(std::move(record));
      continue;
    }
    const auto size = static_cast<std::uint64_t>(record.size);
    switch (reuseOne(run, record)) {
      case Reuse::deferred:
        run.result.filesDeferred += 1;
        progress.bytesDone += size;
        break;
      case Reuse::installed:
        // Another file now: what was known of the old one no longer holds.
        run.checked.erase(record.path);
        run.result.filesWritten += 1;
        progress.filesDone = run.result.filesWritten;
        progress.bytesDone += size;
        break;
      case Reuse::notFound:
        remaining.push_back(record);
        break;
    }
    progress.stepDone += size;
    if (!run.reportProgress("Reusing local files", record.path)) {
      run.result.error = "Cancelled.";
      return false;
    }
  }
  work = std::move(remaining);
  return true;
}

void writeProgramRecord(SyncRun& run, const std::vector<binarycheck::Entry>& programs) {
  binarycheck::Record record;
  if (!binarycheck::capture(run.contentDir, run.packVersion, kPlatform, programs, record)) {
    // Without a record the next unchanged run takes the full path.
    ::unlink(run.recordPath.c_str());
    return;
  }
  replaceWholeFile(run.recordPath, binarycheck::format(record));
}

void removeRetiredFiles(SyncRun& run, const std::set<std::string>& listed) {
  const JsonValue& part = run.manifest["parts"][kFilesRetiredPart];
  if (part.kind == JsonValue::Kind::Null) return;
  if (gameIsRunning(run.options)) {
    run.result.removalDeferred = true;
    return;
  }
  run.reportProgress("Removing files the pack no longer uses", "");
  std::vector<unsigned char> body;
  const FetchOutcome fetched =
      fetchVerified(*run.client, listPath(run.packVersion, kFilesRetiredList),
                    listDigest(run.manifest, kFilesRetiredPart), body);
  if (fetched == FetchOutcome::requestFailed) {
    run.result.removalSummary = "the list of removed files could not be downloaded";
    return;
  }
  if (fetched == FetchOutcome::digestMismatch) {
    run.result.removalSummary = "the list of removed files did not match the manifest; nothing removed";
    return;
  }
  std::vector<std::string> retired;
  std::string error;
  if (!readRetiredList(body, retired, error)) {
    run.result.removalSummary = "the list of removed files was malformed; nothing removed";
    return;
  }
  const prune::PruneResult pruned = prune::run(run.contentDir, retired, listed);
  run.result.filesRemoved = pruned.removed;
  run.result.bytesRemoved = pruned.bytesRemoved;
  run.result.filesNotRemoved = pruned.failed;
  run.result.removalSummary = prune::summary(pruned);
}

void complete(SyncRun& run, const FileListResult& list, bool workRemained) {
  if (run.result.filesDeferred != 0) {
    // A running game holds some old files: record nothing, keep the blob
    // store, and let a later run finish.
    run.result.finishLater = true;
  } else {
    if (!writeTierConfiguration(run)) return;
    writeProgramRecord(run, list.programs);
    removeRetiredFiles(run, list.listedPaths);
    // Only a hint for the next run: a record that cannot be written costs
    // that run some reading, nothing else.
    writeCheckedFiles(run.checkedFilesPath, run.checked);
    // Only a complete run may drop the blob store; a failed one keeps it so
    // that the next run does not fetch the same pieces again.
    removeDirectoryTree(run.blobStore);
    // The state record goes last: it is what tells the next run that this
    // release is in place. Written before the removals, a run killed between
    // the two would leave the retired files and the whole blob store behind
    // until the next release, since the next run would find nothing to do.
    if (!recordInstalledRelease(run)) return;
  }
  run.result.ok = true;
  run.result.changed = workRemained || run.result.filesWritten != 0;
}

}  // namespace

bool writeTierConfiguration(SyncRun& run) {
  const std::string& templateText = tierConfigTemplate(run.manifest, run.options.tier);
  return writeTierConfigText(run.options.root, run.cacheDir, templateText,
                             run.options.duskmereDataFiles, run.result.duskmereDataFiles,
                             run.result.duskmereMissing, run.result.error);
}

bool recordInstalledRelease(SyncRun& run) {
  return writeInstalledState(run.options.root, run.options.tier, run.packVersion, run.sequence,
                             run.previousState, run.cacheDir, run.statePath, run.result.error);
}

bool writeConfigurationAndState(SyncRun& run) {
  return writeTierConfiguration(run) && recordInstalledRelease(run);
}

void runFullUpdate(SyncRun& run, const ReleasePointer& pointer) {
  if (!fetchManifestAndCredits(run, pointer)) return;
  run.chunkSize = releaseChunkSize(run.manifest);
  std::vector<unsigned char> body;
  if (!fetchFileList(run, body)) return;

  FileListResult list;
  if (!readWorkList(run, body, list)) return;
  body = std::vector<unsigned char>();
  run.checked = std::move(list.known);
  std::stable_sort(list.work.begin(), list.work.end(), [](const FileRecord& a, const FileRecord& b) {
    return recordRank(a) < recordRank(b);
  });
  run.progress.filesTotal = list.work.size();
  run.progress.bytesTotal = list.workBytes;

  if (!reuseFromOtherInstances(run, list.work)) return;
  const bool workRemained = !list.work.empty();
  if (workRemained && !runTransfer(run, list.work)) return;
  complete(run, list, workRemained);
}

}  // namespace vantis::content
