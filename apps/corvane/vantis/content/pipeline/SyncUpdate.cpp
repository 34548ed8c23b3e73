// The full update path: manifest and file list, the per-file decision, reuse
// of identical files from other instances, the transfer, and the completion
// (configuration, state, program record, retired files, blob store).
// Calling thread only; the transfer's workers are joined before it returns.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "foundation/Crypto.h"
#include "foundation/FileSystem.h"
#include "http/Http.h"
#include "pipeline/SyncSteps.h"
#include "protocol/BinaryCheck.h"
#include "protocol/Prune.h"
#include "protocol/SyncCheckedFiles.h"
#include "protocol/SyncCredits.h"
#include "protocol/SyncLists.h"
#include "protocol/SyncMessages.h"
#include "protocol/SyncSections.h"
#include "release/FetchRule.h"
#include "transfer/SyncTransfer.h"

namespace vantis::content {

namespace {

// Fetches the release's manifest, hands its credits on and keeps a copy for
// later unchanged runs.
Result<Release> fetchManifestAndCredits(const SyncContext& context, const ReleasePointer& pointer,
                                        ProgressMeter& meter, SyncResult& result) {
  Result<Release> release = fetchRelease(context, pointer, meter);
  if (!release) return release;
  result.credits = readCredits(release->manifest);
  if (context.options.onCredits) context.options.onCredits(result.credits);
  replaceWholeFile(context.paths.manifestCopy, release->manifestBytes);
  return release;
}

const ListDocument& tierList(const SyncContext& context) {
  return context.options.tier == Tier::optional ? kFilesOptionalList : kFilesRequiredList;
}

// The bundle index, when it pays for the blobs the transfer must download
// (a small update reads none of it, however large the pack).
Result<BundleIndex> bundleIndexFor(const SyncContext& context, const Release& release,
                                   std::size_t blobsToFetch, ProgressMeter& meter) {
  const std::uint64_t cost = listFetchCost(release.manifest, kBundlesList, context.paths.sections);
  if (!bundleIndexWanted(blobsToFetch, cost)) return BundleIndex{};
  const FetchMessages wording{messages::kBundleIndexNotDownloaded,
                              messages::kBundleIndexMismatch};
  const Result<std::vector<unsigned char>> body =
      fromAnyServer<std::vector<unsigned char>>(context, [&](HttpClient& client) {
        return fetchListBody(client, release.pointer.packVersion, release.manifest, kBundlesList,
                             context.paths.sections, wording, askWhileWaiting(meter));
      });
  if (!body) return body.failure();
  return readBundleIndex(*body);
}

// Hard-links (or copies) one candidate into "<target>.part" and checks it.
// The link follows a symbolic link as the size check did: a plain link()
// would install the symbolic link itself, which passes the check but keeps
// pointing at whatever the other instance (or anyone) puts there later.
// A copy is flushed before its rename, as the transfer's files are (a link
// brings data the other instance has long written): copies happen only
// across file systems, so they are rare and a flush each costs little.
bool takeFromCandidate(const FileRecord& record, const std::string& candidate,
                       const std::string& target, FileSystems& written) {
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
  if (matches && (linked || flushFileData(part))) {
    makeParentDirectories(target);
    noteFileSystemOf(written, target);
    if (::rename(part.c_str(), target.c_str()) == 0) return true;
  }
  ::unlink(part.c_str());
  return false;
}

enum class Reuse { installed, deferred, notFound };

Reuse reuseOne(const SyncContext& context, const FileRecord& record, FileSystems& written) {
  const std::string target = joinPath(context.paths.content, record.path);
  for (const std::string& root : context.options.reuseRoots) {
    const std::string candidate = joinPath(instancePaths(root).content, record.path);
    std::uint64_t size = 0;
    if (!fileSize(candidate, size) || size != static_cast<std::uint64_t>(record.size)) continue;
    std::uint64_t existing = 0;
    if (fileSize(target, existing) && gameIsRunning(context.options)) return Reuse::deferred;
    if (takeFromCandidate(record, candidate, target, written)) return Reuse::installed;
  }
  return Reuse::notFound;
}

std::uint64_t nonProgramBytes(const std::vector<FileRecord>& work) {
  std::uint64_t total = 0;
  for (const FileRecord& record : work) {
    if (record.target != kTargetBinary) total += static_cast<std::uint64_t>(record.size);
  }
  return total;
}

// Files another instance already holds are linked or copied instead of
// downloaded. Programs never are: a program is only ever installed from
// verified downloads of this release. Leaves the records still to fetch in
// `work`.
Status reuseFromOtherInstances(const SyncContext& context, std::vector<FileRecord>& work,
                               CheckedFiles& checked, FileSystems& written, ProgressMeter& meter,
                               SyncResult& result) {
  const std::uint64_t reusable = nonProgramBytes(work);
  if (context.options.reuseRoots.empty() || work.empty() || reusable == 0) return {};
  Progress& progress = meter.progress;
  progress.stepDone = 0;
  progress.stepTotal = reusable;
  std::vector<FileRecord> remaining;
  for (FileRecord& record : work) {
    if (record.target == kTargetBinary) {
      remaining.push_back(std::move(record));
      continue;
    }
    const auto size = static_cast<std::uint64_t>(record.size);
    switch (reuseOne(context, record, written)) {
      case Reuse::deferred:
        result.filesDeferred += 1;
        progress.bytesDone += size;
        break;
      case Reuse::installed:
        // Another file now: what was known of the old one no longer holds.
        checked.erase(record.path);
        result.filesWritten += 1;
        progress.filesDone = result.filesWritten;
        progress.bytesDone += size;
        break;
      case Reuse::notFound:
        remaining.push_back(record);
        break;
    }
    progress.stepDone += size;
    if (!meter.report("Reusing local files", record.path)) return Failure{messages::kCancelled};
  }
  work = std::move(remaining);
  return {};
}

// The transfer, which asks for the bundle index once it knows what it must
// download; its counts go into the result.
Status transfer(const SyncContext& context, const Release& release,
                const std::vector<FileRecord>& work, CheckedFiles otherFiles,
                CheckedFiles& checked, FileSystems& written, ReplacedCopies* replaced,
                ProgressMeter& meter, SyncResult& result) {
  TransferContext transferContext = makeTransferContext(context, release, std::move(otherFiles));
  transferContext.replaced = replaced;
  const BundleIndexSource index = [&](std::size_t blobsToFetch) {
    return bundleIndexFor(context, release, blobsToFetch, meter);
  };
  const TransferReport report = runTransfer(transferContext, work, index, checked, meter);
  result.filesWritten += report.filesWritten;
  result.filesDeferred += report.filesDeferred;
  result.bytesDownloaded += report.bytesDownloaded;
  addMirrorUse(result.mirrors, report.mirrors);
  result.programsChanged = result.programsChanged || report.programsChanged;
  noteFileSystems(written, report.written);
  return report.status;
}

void writeProgramRecord(const SyncContext& context, const Release& release,
                        const std::vector<binarycheck::Entry>& programs) {
  const std::string path = context.paths.programRecord(context.options.tier);
  binarycheck::Record record;
  if (!binarycheck::capture(context.paths.content, release.pointer.packVersion, kPlatformLinux,
                            programs, record)) {
    // Without a record the next unchanged run takes the full path.
    ::unlink(path.c_str());
    return;
  }
  replaceWholeFile(path, binarycheck::format(record));
}

// The retired list, fetched and read; the failure is the report's fragment,
// or "Cancelled." when the caller stopped the request.
Result<std::vector<RetiredRecord>> fetchRetiredList(const SyncContext& context,
                                                    const Release& release, ProgressMeter& meter) {
  const ListPart& part = release.manifest.filesRetired;
  const FetchMessages wording{messages::kRetiredListNotDownloaded,
                              messages::kRetiredListMismatch};
  const Result<std::vector<unsigned char>> body =
      fromAnyServer<std::vector<unsigned char>>(context, [&](HttpClient& client) {
        return fetchVerified(client, listRequest(release.pointer.packVersion, kFilesRetiredList),
                             listBytesBound(part), part.sha256, wording, askWhileWaiting(meter));
      });
  if (!body) return body.failure();
  Result<std::vector<RetiredRecord>> retired = readRetiredRecords(*body);
  if (!retired) return Failure{messages::kRetiredListMalformed};
  return retired;
}

// Fails only when the caller stopped the retired list's request: any other
// outcome is a note in the report.
Status removeRetiredFiles(const SyncContext& context, const Release& release,
                          const std::set<std::string>& listed, ProgressMeter& meter,
                          SyncResult& result) {
  if (!release.manifest.filesRetired.present) return {};
  if (gameIsRunning(context.options)) {
    result.removalDeferred = true;
    return {};
  }
  meter.report("Removing files the pack no longer uses", "");
  const Result<std::vector<RetiredRecord>> retired = fetchRetiredList(context, release, meter);
  if (!retired && retired.error() == messages::kCancelled) return retired.failure();
  if (!retired) {
    result.removalSummary = retired.error();
    return {};
  }
  // The record as the previous runs left it (this run's is written after
  // the removals): it knows the digests of the files they installed, so
  // most retired files are judged without being read.
  const CheckedFiles recorded =
      retired->empty() ? CheckedFiles() : readCheckedFiles(context.paths.checkedFiles);
  const prune::PruneResult pruned =
      prune::run(context.paths.content, *retired, listed, recorded);
  result.filesRemoved = pruned.removed;
  result.bytesRemoved = pruned.bytesRemoved;
  result.filesNotRemoved = pruned.failed;
  result.removalSummary = prune::summary(pruned);
  return {};
}

void complete(const SyncContext& context, const Release& release, const Installed& installed,
              const FileList& list, const CheckedFiles& checked, const FileSystems& written,
              bool workRemained, ProgressMeter& meter, SyncResult& result) {
  if (result.filesDeferred != 0) {
    // A running game holds some old files: record nothing, keep the blob
    // store, and let a later run finish.
    result.finishLater = true;
  } else {
    Status configured = writeTierConfiguration(context, release.manifest, result);
    if (!configured) {
      result.error = configured.error();
      return;
    }
    writeProgramRecord(context, release, list.programs);
    const Status removal = removeRetiredFiles(context, release, list.listedPaths, meter, result);
    // Only a hint for the next run: a record that cannot be written costs
    // that run some reading, nothing else.
    writeCheckedFiles(context.paths.checkedFiles, checked);
    // Stopped while the retired list was awaited: like any stopped run, it
    // keeps its blobs and records no release, so the next run finishes.
    if (!removal) {
      result.error = removal.error();
      return;
    }
    // Only a complete run may drop the blob store; a failed one keeps it so
    // that the next run does not fetch the same blobs again.
    removeDirectoryTree(context.paths.blobStore);
    // The sections of the release now installed stay for the next update,
    // which fetches only the sections that changed; older ones go.
    keepSections(context.paths.sections, release.manifest, {tierList(context), kBundlesList});
    // The state record goes last: it is what tells the next run that this
    // release is in place. Written before the removals, a run killed between
    // the two would leave the retired files and the whole blob store behind
    // until the next release, since the next run would find nothing to do.
    Status recorded = recordInstalledRelease(context, release.pointer, installed, written);
    if (!recorded) {
      result.error = recorded.error();
      return;
    }
  }
  result.ok = true;
  result.changed = workRemained || result.filesWritten != 0;
}

// The update from the verified list on: reuse, transfer, completion.
Status install(const SyncContext& context, const Release& release, const Installed& installed,
               FileList& list, const CheckedFiles& recorded, ProgressMeter& meter,
               SyncResult& result) {
  CheckedFiles checked = std::move(list.known);
  std::stable_sort(list.work.begin(), list.work.end(), [](const FileRecord& a, const FileRecord& b) {
    return recordRank(a) < recordRank(b);
  });
  meter.progress.filesTotal = list.work.size();
  meter.progress.bytesTotal = list.workBytes;

  FileSystems written;
  // Let go of while the records are written, and waited for when this ends.
  // A first install replaces nothing: asking after every file would only
  // cost a failed call each.
  ReplacedCopies replaced;
  ReplacedCopies* const replacing = installed.state.version.empty() ? nullptr : &replaced;
  Status step = reuseFromOtherInstances(context, list.work, checked, written, meter, result);
  if (!step) return step;
  const bool workRemained = !list.work.empty();
  if (workRemained) {
    step = transfer(context, release, list.work, unlistedFiles(recorded, list.listedPaths),
                    checked, written, replacing, meter, result);
  }
  if (!step) return step;
  complete(context, release, installed, list, checked, written, workRemained, meter, result);
  return {};
}

// The tier's list: from its sections, kept in the instance's cache for the
// next update, or (`keepSections` false: a look that must write nothing)
// whole.
Result<std::vector<unsigned char>> fetchFileList(const SyncContext& context,
                                                 const Release& release, bool keepSections,
                                                 ProgressMeter& meter) {
  const ListDocument& list = tierList(context);
  const FetchMessages wording{messages::kFileListNotDownloaded, messages::kFileListMismatch};
  const ListPart& part = release.manifest.part(list);
  return fromAnyServer<std::vector<unsigned char>>(context, [&](HttpClient& client) {
    if (keepSections) {
      return fetchListBody(client, release.pointer.packVersion, release.manifest, list,
                           context.paths.sections, wording, askWhileWaiting(meter));
    }
    return fetchVerified(client, listRequest(release.pointer.packVersion, list),
                         listBytesBound(part), part.sha256, wording, askWhileWaiting(meter));
  });
}

// Reads the verified list: what must be installed, what the release names,
// and its program files.
Result<FileList> readWorkList(const SyncContext& context, const Release& release,
                              const std::vector<unsigned char>& body, const CheckedFiles& recorded,
                              bool fullCheck, bool nothingInstalled, ProgressMeter& meter) {
  FileListContext list;
  list.checked = &recorded;
  list.cutting = release.manifest.cutting;
  list.contentDir = context.paths.content;
  list.fullCheck = fullCheck;
  list.nothingInstalled = nothingInstalled;
  list.fileCount = release.manifest.fileCount;
  list.report = [&meter](const std::string& phase, const std::string& detail) {
    return meter.report(phase, detail);
  };
  meter.report(nothingInstalled ? "Preparing" : "Verifying files", "");
  return readFileList(body, list);
}

}  // namespace

Result<FileList> fetchWorkList(const SyncContext& context, const Release& release,
                               const Installed& installed, const CheckedFiles& recorded,
                               bool keepSections, ProgressMeter& meter) {
  const Result<std::vector<unsigned char>> body =
      fetchFileList(context, release, keepSections, meter);
  if (!body) return body.failure();
  const bool fullCheck = context.options.verify || installed.state.verifyDemanded;
  return readWorkList(context, release, *body, recorded, fullCheck,
                      installed.state.version.empty(), meter);
}

// What the record knows of files the list does not name: moved or retired
// files stay in place until the transfer is over, and their blobs serve it.
CheckedFiles unlistedFiles(const CheckedFiles& recorded, const std::set<std::string>& listed) {
  CheckedFiles others;
  for (const auto& [path, file] : recorded) {
    if (listed.count(path) == 0 && !file.blobs.empty()) others.emplace(path, file);
  }
  return others;
}

TransferContext makeTransferContext(const SyncContext& context, const Release& release,
                                    CheckedFiles otherFiles) {
  TransferContext transferContext;
  transferContext.url = context.servers.empty() ? context.options.url : context.servers.front();
  if (!context.servers.empty()) {
    transferContext.mirrors.assign(context.servers.begin() + 1, context.servers.end());
  }
  transferContext.maxBytesPerSecond = context.options.maxBytesPerSecond;
  transferContext.accessKey = context.options.accessKey;
  transferContext.trustStore = context.options.environment.trustStore;
  transferContext.minBytesPerSecond = context.options.minBytesPerSecond;
  transferContext.slowWindowSeconds = context.options.slowWindowSeconds;
  transferContext.paths = context.paths;
  transferContext.cutting = release.manifest.cutting;
  transferContext.encoding = release.manifest.encoding;
  transferContext.otherFiles = std::move(otherFiles);
  transferContext.gameRunning = context.options.gameRunning;
  transferContext.freeSpace = context.options.freeSpace;
  return transferContext;
}

void runFullUpdate(const SyncContext& context, const ReleasePointer& pointer,
                   const Installed& installed, ProgressMeter& meter, SyncResult& result) {
  const Result<Release> release = fetchManifestAndCredits(context, pointer, meter, result);
  if (!release) {
    result.error = release.error();
    return;
  }
  const CheckedFiles recorded = readCheckedFiles(context.paths.checkedFiles);
  Result<FileList> list = fetchWorkList(context, *release, installed, recorded, true, meter);
  if (!list) {
    result.error = list.error();
    return;
  }
  const Status installedAll =
      install(context, *release, installed, *list, recorded, meter, result);
  if (!installedAll) result.error = installedAll.error();
}

}  // namespace vantis::content
