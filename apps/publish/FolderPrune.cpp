// Pruning a server folder. What to keep is learned first and whole, and
// only then is anything deleted: a chain that does not read leaves
// everything in place, since what it would have named is unknown.
//
// Deletion order: release folders (each manifest before the lists it names,
// so a folder never shows a manifest whose lists are gone), then bundles,
// then blobs. Each entry is one unlink or one folder, and none of them is
// named by a kept release, so players installing a kept release meet the
// same folder before, during and after the prune.

#include "FolderPrune.h"

#include <set>

#include "Files.h"
#include "Publisher.h"
#include "ServerState.h"
#include "StoredRelease.h"
#include "release/Layout.h"

namespace vantis::publish {

namespace {

// The object areas, in the order their unused objects are deleted.
const char* const kObjectAreas[] = {"bundles", "chunks", "sections"};
const char* const kReleasesArea = "manifest";

// What the chain holds that must stay.
struct Kept {
  std::set<std::string> folders;  // "manifest/<name>" the chain reaches
  std::set<std::string> objects;  // object files a kept release names
};

std::string folderOf(const std::string& relative) {
  return relative.substr(0, relative.rfind('/'));
}

// Each release's objects under its own encoding's names: a copy of the same
// blob in the other encoding is named by no player of this release.
void keepObjects(const StoredRelease& release, Kept& kept) {
  const content::Encoding encoding = release.manifest.encoding;
  for (const auto* tier : {&release.required, &release.optional}) {
    for (const content::FileRecord& file : *tier) {
      for (const std::string& hash : file.chunks) {
        kept.objects.insert(content::objectFile(content::ObjectKind::blob, hash, encoding));
      }
    }
  }
  for (const content::BundleRecord& bundle : release.bundles) {
    kept.objects.insert(content::objectFile(content::ObjectKind::bundle, bundle.id, encoding));
  }
  // Players of a kept release fetch its lists' sections as well.
  for (const auto& [list, sections] : release.manifest.sections) {
    for (const content::ListSection& section : sections.sections) {
      kept.objects.insert(content::objectFile(content::ObjectKind::section, section.sha256, encoding));
    }
  }
}

bool readKept(const PruneOptions& options, const CurrentRelease& current, Kept& kept,
              PruneReport& report, std::string& error) {
  std::string first;
  const ProblemSink problems = keepFirstProblem(first);
  // Players read the served release's lists from its version's folder.
  kept.folders.insert(content::releaseFolder(current.version));
  walkChain(options.serverDir, current.manifest, current.manifestSha256, problems,
            [&](StoredRelease& release) {
              ++report.chainReleases;
              kept.folders.insert(folderOf(release.manifestFile));
              kept.folders.insert(content::releaseFolder(release.manifest.packVersion));
              if (report.kept.size() == options.keep) return true;
              report.kept.push_back(release.manifest.packVersion);
              if (readStoredLists(options.serverDir, release, problems)) keepObjects(release, kept);
              return first.empty();
            });
  if (first.empty()) return true;
  error = "cannot tell what the kept releases use: " + first +
          " (nothing was deleted; SkarvelPublish verify lists every problem)";
  return false;
}

bool listTreeOf(const std::string& root, std::vector<TreeFile>& files, std::string& error) {
  if (listTree(root, files, error)) return true;
  error = "cannot list the server folder: " + error;
  return false;
}

bool listUnusedFolders(const PruneOptions& options, const Kept& kept, PruneReport& report,
                       std::string& error) {
  for (const std::string& name : listSubfolders(joinPath(options.serverDir, kReleasesArea))) {
    const std::string relative = content::releaseFolder(name);
    if (kept.folders.count(relative) != 0) continue;
    std::vector<TreeFile> files;
    if (!listTreeOf(joinPath(options.serverDir, relative), files, error)) return false;
    UnusedEntry entry{relative, 0, true};
    for (const TreeFile& file : files) entry.bytes += file.size;
    report.unused.push_back(entry);
  }
  return true;
}

bool listUnusedObjects(const PruneOptions& options, const Kept& kept, PruneReport& report,
                       std::string& error) {
  for (const char* area : kObjectAreas) {
    const std::string root = joinPath(options.serverDir, area);
    std::vector<TreeFile> files;
    if (!isDirectory(root)) continue;
    if (!listTreeOf(root, files, error)) return false;
    for (const TreeFile& file : files) {
      const std::string relative = std::string(area) + "/" + file.relative;
      if (kept.objects.count(relative) == 0) report.unused.push_back({relative, file.size, false});
    }
  }
  return true;
}

bool deleteFolder(const std::string& serverDir, const std::string& relative) {
  const std::string name = relative.substr(relative.find('/') + 1);
  return removeFile(joinPath(serverDir, content::manifestFile(name))) &&
         removeTree(joinPath(serverDir, relative));
}

// Deletes a blob or bundle, then its "ab/cd" folders once they are empty
// (a folder still holding objects stays).
bool deleteObject(const std::string& serverDir, const std::string& relative) {
  if (!removeFile(joinPath(serverDir, relative))) return false;
  const std::string inner = folderOf(relative);
  if (removeFolder(joinPath(serverDir, inner))) removeFolder(joinPath(serverDir, folderOf(inner)));
  return true;
}

void deleteUnused(const PruneOptions& options, PruneReport& report) {
  for (const UnusedEntry& entry : report.unused) {
    const bool gone = entry.folder ? deleteFolder(options.serverDir, entry.relative)
                                   : deleteObject(options.serverDir, entry.relative);
    if (gone) {
      ++report.deleted;
    } else {
      report.failures.push_back("cannot delete " + joinPath(options.serverDir, entry.relative));
    }
  }
}

}  // namespace

bool pruneServerFolder(const PruneOptions& options, PruneReport& report, std::string& error) {
  report = PruneReport();
  if (options.keep == 0) {
    error = "keep at least 1 release: the served one is never pruned";
    return false;
  }
  if (!isDirectory(options.serverDir)) {
    error = "the server folder " + options.serverDir + " does not exist";
    return false;
  }
  FolderLock lock;
  CurrentRelease current;
  Kept kept;
  if (!lockFolder(options.serverDir, lock, error) ||
      !readCurrentRelease(options.serverDir, std::string(), current, error)) {
    return false;
  }
  if (!current.exists) {
    error = "the folder " + options.serverDir +
            " serves no release (no current.json): nothing tells what to keep";
    return false;
  }
  if (!readKept(options, current, kept, report, error) ||
      !listUnusedFolders(options, kept, report, error) ||
      !listUnusedObjects(options, kept, report, error)) {
    return false;
  }
  for (const UnusedEntry& entry : report.unused) report.unusedBytes += entry.bytes;
  if (options.remove) deleteUnused(options, report);
  return true;
}

}  // namespace vantis::publish
