// Planning an update the way a player's synchroniser plans it, from the two
// releases' documents alone. Every rule here is the player's: the per-file
// comparison, the blobs taken from installed copies, the bundle rule (shared
// through release/FetchRule.h) and the documents a run requests. Sizes are
// the stored objects' own, so the figures are what the server sends.

#include "ReleaseDiff.h"

#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "Files.h"
#include "StoredRelease.h"
#include "Zstd.h"
#include "foundation/Crypto.h"
#include "release/BlobCut.h"
#include "release/FetchRule.h"
#include "release/Layout.h"
#include "release/SafePath.h"

namespace vantis::publish {

namespace {

using content::FileRecord;

// The gzip trailer's last four bytes: the decoded size modulo 4 GiB, which
// is the size itself for an object of at most 256 MiB. (A zstd frame states
// its size in its header.)
constexpr std::uint64_t kTrailerBytes = 4;
constexpr std::uint64_t kSmallestMember = 18;

// The bundle index as players read it: later lines win.
struct BundleIndex {
  std::map<std::string, std::uint64_t> bundleSize;
  std::map<std::string, std::pair<std::string, std::uint64_t>> blobAt;  // bundle, length
};

BundleIndex indexOf(const StoredRelease& release) {
  BundleIndex index;
  for (const content::BundleRecord& bundle : release.bundles) {
    index.bundleSize[bundle.id] = static_cast<std::uint64_t>(bundle.size);
    for (const content::BundleRecord::Blob& blob : bundle.blobs) {
      index.blobAt[blob.digest] = {bundle.id, static_cast<std::uint64_t>(blob.length)};
    }
  }
  return index;
}

bool forThisPlatform(const FileRecord& entry) {
  return entry.platform.empty() || entry.platform == content::kPlatformLinux;
}

// A player keeps an installed file of the right size, unless the entry asks
// for its digest to be compared too.
bool stillCurrent(const FileRecord* installed, const FileRecord& wanted) {
  if (!installed || installed->size != wanted.size) return false;
  const bool compareDigest = wanted.target == content::kTargetBinary || wanted.alwaysHash;
  return !compareDigest || installed->sha256 == wanted.sha256;
}

// The blobs no changed file needs to download. Players cut every installed
// file they know with the new release's cutting and take any blob they need
// from it; where both releases were cut the same way, that is every blob of
// the older release's files. Where the cuttings differ, what the installed
// copies still share can only be told from their bytes, so nothing is
// counted as held: the figure is then the most the update can download.
std::set<std::string> heldLocally(const std::map<std::string, const FileRecord*>& installed,
                                  const content::BlobCutting& from,
                                  const content::BlobCutting& to) {
  std::set<std::string> held;
  const bool sameCut = !content::cuttingText(to).empty() && from == to;
  if (!sameCut) return held;
  for (const auto& [path, entry] : installed) {
    held.insert(entry->chunks.begin(), entry->chunks.end());
  }
  return held;
}

// A gzip member's decoded size from its trailer's last four bytes.
bool gzipStatedSize(const std::string& path, std::uint64_t stored, const FileId& id,
                    std::uint64_t& decoded) {
  std::string trailer;
  if (stored < kSmallestMember ||
      readAt(path, id, stored - kTrailerBytes, kTrailerBytes, trailer) != ReadOutcome::read) {
    return false;
  }
  decoded = 0;
  for (std::size_t i = kTrailerBytes; i > 0; --i) {
    decoded = (decoded << 8) | static_cast<unsigned char>(trailer[i - 1]);
  }
  return true;
}

// A zstd frame's decoded size from its header, which the publisher always
// fills in.
bool zstdStatedSize(const std::string& path, std::uint64_t stored, const FileId& id,
                    std::uint64_t& decoded) {
  std::string head;
  const std::uint64_t length = std::min<std::uint64_t>(stored, kZstdHeaderBytes);
  return readAt(path, id, 0, length, head) == ReadOutcome::read && zstdDecodedSize(head, decoded);
}

// Adds one stored object's request and sizes to the tier.
bool countObject(const std::string& serverDir, content::Encoding encoding, content::ObjectKind kind,
                 const std::string& hash, TierDiff& tier, std::string& error) {
  const std::string relative = content::objectFile(kind, hash, encoding);
  const std::string path = joinPath(serverDir, relative);
  std::uint64_t stored = 0, decoded = 0;
  FileId id;
  const bool zstd = encoding == content::Encoding::zstd;
  const bool read = fileSize(path, stored, &id) &&
                    (zstd ? zstdStatedSize(path, stored, id, decoded)
                          : gzipStatedSize(path, stored, id, decoded));
  if (!read) {
    error = relative + ", which the update downloads, is missing or not a " +
            (zstd ? "zstd frame" : "gzip member") +
            " (SkarvelPublish verify lists what is wrong)";
    return false;
  }
  tier.bytes += decoded;
  tier.storedBytes += stored;
  ++(kind == content::ObjectKind::bundle ? tier.bundles : tier.blobs);
  return true;
}

void countDocument(std::uint64_t bytes, TierDiff& tier) {
  ++tier.documents;
  tier.bytes += bytes;
  tier.storedBytes += bytes;
}

// What a player holding `from` lacks of `to`'s list: it keeps the sections
// of the release it holds.
struct ListShortfall {
  std::set<std::string> held;
  std::uint64_t missing = 0, missingBytes = 0, listBytes = 0;
};

ListShortfall shortfall(const StoredRelease& from, const StoredRelease& to,
                        const content::ListDocument& list) {
  ListShortfall lacking;
  for (const auto& [name, fromSections] : from.manifest.sections) {
    for (const content::ListSection& section : fromSections.sections) {
      lacking.held.insert(section.sha256);
    }
  }
  for (const content::ListSection& section : to.manifest.sectionsOf(list).sections) {
    lacking.listBytes += section.size;
    if (lacking.held.count(section.sha256) != 0) continue;
    ++lacking.missing;
    lacking.missingBytes += section.size;
  }
  return lacking;
}

std::uint64_t listBytesOf(const StoredRelease& to, const content::ListDocument& list) {
  const auto found = to.listBytes.find(content::listFile(to.manifest.packVersion, list.file));
  return found == to.listBytes.end() ? 0 : found->second;
}

// What fetching the list costs that player, by the players' rule.
std::uint64_t listCost(const StoredRelease& from, const StoredRelease& to,
                       const content::ListDocument& list) {
  if (!to.manifest.sectionsOf(list).present) {
    const std::uint64_t whole = listBytesOf(to, list);
    return content::listFetchCost(1, whole, whole);
  }
  const ListShortfall lacking = shortfall(from, to, list);
  return content::listFetchCost(lacking.missing, lacking.missingBytes, lacking.listBytes);
}

// One list as that player fetches it: whole when it is not cut into
// sections or the players' rule finds that cheaper, else the sections
// `from` did not name.
void countList(const std::string& serverDir, const StoredRelease& from, const StoredRelease& to,
               const content::ListDocument& list, TierDiff& tier) {
  const content::ListSections& sections = to.manifest.sectionsOf(list);
  const ListShortfall lacking = shortfall(from, to, list);
  if (!sections.present ||
      content::fetchListWhole(lacking.missing, lacking.missingBytes, lacking.listBytes)) {
    countDocument(listBytesOf(to, list), tier);
    return;
  }
  for (const content::ListSection& section : sections.sections) {
    if (lacking.held.count(section.sha256) != 0) continue;
    std::uint64_t stored = 0;
    fileSize(joinPath(serverDir, content::objectFile(content::ObjectKind::section, section.sha256,
                                                     to.manifest.encoding)),
             stored);
    ++tier.documents;
    tier.bytes += section.size;
    tier.storedBytes += stored;
  }
}

// The pointer, the manifest and the tier's list always; the bundle index when
// the players' rule reads it; the retired list when the release names one.
void countDocuments(const std::string& serverDir, const StoredRelease& from,
                    const StoredRelease& to, const content::ListDocument& tierList,
                    bool indexRead, TierDiff& tier) {
  std::uint64_t pointer = 0;
  fileSize(joinPath(serverDir, content::kPointerFile), pointer);
  countDocument(pointer, tier);
  countDocument(to.manifestBytes, tier);
  countList(serverDir, from, to, tierList, tier);
  if (indexRead) countList(serverDir, from, to, content::kBundlesList, tier);
  if (to.manifest.filesRetired.present) {
    countDocument(listBytesOf(to, content::kFilesRetiredList), tier);
  }
}

// The files of the tier that a player holding `from` installs.
std::vector<const FileRecord*> changedFiles(
    const std::vector<FileRecord>& toTier,
    const std::map<std::string, const FileRecord*>& installed, TierDiff& tier) {
  std::vector<const FileRecord*> work;
  for (const FileRecord& entry : toTier) {
    if (!forThisPlatform(entry)) continue;
    ++tier.listed;
    const auto copy = installed.find(entry.path);
    if (stillCurrent(copy == installed.end() ? nullptr : copy->second, entry)) continue;
    work.push_back(&entry);
    ++tier.files;
    tier.fileBytes += static_cast<std::uint64_t>(entry.size);
  }
  return work;
}

// The downloads for the files in `work`: blobs that no installed copy
// covers, in whole bundles where the players' rule says so, else one by one.
bool planDownloads(const std::string& serverDir, content::Encoding encoding,
                   const std::vector<const FileRecord*>& work, const std::set<std::string>& covered,
                   const BundleIndex& index, TierDiff& tier, std::string& error) {
  std::set<std::string> needed;
  for (const FileRecord* entry : work) needed.insert(entry->chunks.begin(), entry->chunks.end());
  std::vector<std::string> single;
  std::map<std::string, std::vector<std::string>> wanted;
  for (const std::string& hash : needed) {
    const auto at = index.blobAt.find(hash);
    if (covered.count(hash) != 0) continue;
    if (at == index.blobAt.end()) {
      single.push_back(hash);
    } else {
      wanted[at->second.first].push_back(hash);
    }
  }
  for (const auto& [id, hashes] : wanted) {
    std::uint64_t wantedBytes = 0;
    for (const std::string& hash : hashes) wantedBytes += index.blobAt.at(hash).second;
    if (!content::fetchBundleWhole(id, index.bundleSize.at(id), hashes.size(), wantedBytes)) {
      single.insert(single.end(), hashes.begin(), hashes.end());
    } else if (!countObject(serverDir, encoding, content::ObjectKind::bundle, id, tier, error)) {
      return false;
    }
  }
  for (const std::string& hash : single) {
    if (!countObject(serverDir, encoding, content::ObjectKind::blob, hash, tier, error)) return false;
  }
  return true;
}

bool planTier(const std::string& serverDir, const StoredRelease& from, const StoredRelease& to,
              const content::ListDocument& tierList, TierDiff& tier, std::string& error) {
  const bool optional = &tierList == &content::kFilesOptionalList;
  std::map<std::string, const FileRecord*> installed;
  for (const FileRecord& entry : optional ? from.optional : from.required) {
    if (forThisPlatform(entry)) installed[entry.path] = &entry;
  }
  const std::vector<const FileRecord*> work =
      changedFiles(optional ? to.optional : to.required, installed, tier);
  const std::set<std::string> covered =
      heldLocally(installed, from.manifest.cutting, to.manifest.cutting);
  std::set<std::string> toFetch;
  for (const FileRecord* entry : work) {
    for (const std::string& hash : entry->chunks) {
      if (covered.count(hash) == 0) toFetch.insert(hash);
    }
  }
  const bool indexRead = content::bundleIndexWanted(
      toFetch.size(), listCost(from, to, content::kBundlesList));
  if (!planDownloads(serverDir, to.manifest.encoding, work, covered,
                     indexRead ? indexOf(to) : BundleIndex(), tier, error)) {
    return false;
  }
  countDocuments(serverDir, from, to, tierList, indexRead, tier);
  return true;
}

// A release by its version, its manifest taken as it stands (a release
// under review need not be served yet) and its lists by the manifest's
// digests.
bool readRelease(const std::string& serverDir, const std::string& version, StoredRelease& out,
                 std::string& error) {
  const std::string relative = content::manifestFile(version);
  std::string text, first;
  if (!content::safeRelativePath(relative) || !readFile(joinPath(serverDir, relative), text)) {
    error = "the server folder " + serverDir + " holds no release " + version + " (no " + relative +
            ")";
    return false;
  }
  const ProblemSink problems = keepFirstProblem(first);
  if (readStoredManifest(serverDir, relative, content::Sha256::of(text), relative, out, problems) &&
      out.manifest.packVersion != version) {
    problems({relative, "is of version " + out.manifest.packVersion});
  }
  if (first.empty() && readStoredLists(serverDir, out, problems)) return true;
  error = "cannot read release " + version + ": " + first;
  return false;
}

}  // namespace

bool diffReleases(const DiffOptions& options, DiffReport& report, std::string& error) {
  report = DiffReport();
  StoredRelease from, to;
  if (!readRelease(options.serverDir, options.from, from, error) ||
      !readRelease(options.serverDir, options.to, to, error)) {
    return false;
  }
  report.fromSequence = from.manifest.sequence;
  report.toSequence = to.manifest.sequence;
  if (report.toSequence <= report.fromSequence) {
    error = options.to + " (sequence " + std::to_string(report.toSequence) +
            ") is not newer than " + options.from + " (sequence " +
            std::to_string(report.fromSequence) + "): players only move to a higher sequence";
    return false;
  }
  report.retired = to.retired;
  return planTier(options.serverDir, from, to, content::kFilesRequiredList, report.required,
                  error) &&
         planTier(options.serverDir, from, to, content::kFilesOptionalList, report.optional, error);
}

}  // namespace vantis::publish
