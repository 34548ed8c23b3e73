// The publishing sequence. Its order is the whole safety argument: a player
// reads the pointer first and then only what it names, so every document is
// in place, complete and flushed to disk before the one that names it.

#include "Publisher.h"

#include <algorithm>
#include <cctype>
#include <chrono>

#include "Bundling.h"
#include "Content.h"
#include "Files.h"
#include "Hashing.h"
#include "ReleaseDocs.h"
#include "ReleaseInputs.h"
#include "ServerState.h"
#include "Signing.h"
#include "Zstd.h"
#include "foundation/Crypto.h"
#include "foundation/JsonWriter.h"
#include "release/Layout.h"
#include "release/Manifest.h"
#include "release/Pointer.h"
#include "release/SafePath.h"

namespace vantis::publish {

namespace {

constexpr std::uint64_t kMaxBodyBytes = content::kMaxBodyBytes;
constexpr long long kSecondsPerDay = 86400;
constexpr std::size_t kMaxVersionBytes = 64;
const char* const kInterrupted = "publishing was interrupted";

struct Inputs {
  std::string configRequired, configOptional;
  content::JsonValue credits, people;
};

bool versionCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '+' ||
         c == '-';
}

bool validVersion(const std::string& version) {
  if (version.empty() || version.size() > kMaxVersionBytes) return false;
  if (!std::isalnum(static_cast<unsigned char>(version[0]))) return false;
  for (const char c : version) {
    if (!versionCharacter(c)) return false;
  }
  return true;
}

// The name under "manifest/" that a release's documents are written under
// until the pointer is about to name them: hidden (web servers are told not
// to serve such names) and never a version, which starts with a letter or
// digit.
std::string stagedVersion(const std::string& version) { return "." + version + ".part"; }

bool step(const Progress& progress, const char* phase, std::string& error) {
  if (progress(phase, 0, 1)) return true;
  error = kInterrupted;
  return false;
}

bool loadInputs(const ReleaseOptions& options, Inputs& inputs, ReleaseReport& report,
                std::string& error) {
  bool hasToken = false;
  if (options.configRequiredPath.empty()) {
    report.warnings.push_back(
        "no --config-required: players keep whatever engine configuration they have");
  } else if (!loadConfigTemplate(options.configRequiredPath, inputs.configRequired, hasToken,
                                 error)) {
    return false;
  } else if (!hasToken) {
    report.warnings.push_back(options.configRequiredPath + " does not hold " + kDataFolderToken);
  }
  inputs.configOptional = inputs.configRequired;
  if (!options.configOptionalPath.empty()) {
    if (!loadConfigTemplate(options.configOptionalPath, inputs.configOptional, hasToken, error)) {
      return false;
    }
    if (!hasToken) {
      report.warnings.push_back(options.configOptionalPath + " does not hold " + kDataFolderToken);
    }
  } else if (!options.optionalDir.empty()) {
    report.warnings.push_back(
        "no --config-optional: the Overhaul tier uses the required tier's configuration");
  }
  if (options.creditsPath.empty()) return true;
  return loadCredits(options.creditsPath, inputs.credits, inputs.people, error);
}

bool checkServedRelease(const ReleaseOptions& options, const CurrentRelease& current,
                        std::string& error) {
  if (!current.exists) return true;
  if (!current.signedWithKey && !options.newKey) {
    error = "the release the folder serves now was not signed with " + options.keyPath +
            "; players' built-in key would refuse one of the two (use --new-key if the key "
            "really changed)";
    return false;
  }
  if (options.sequence <= current.sequence) {
    error = "sequence " + std::to_string(options.sequence) +
            " is not higher than the served release's " + std::to_string(current.sequence) +
            " (version " + current.version + ")";
    return false;
  }
  if (options.version == current.version) {
    error = "version " + options.version +
            " is the one being served; its lists cannot be replaced while players read them "
            "(publish under a new version)";
    return false;
  }
  return true;
}

// A version is published once. An earlier release's folder on the chain is
// checked by digest on every later publish, and any folder may have been
// served: a cache keeps "manifest/<version>/" for good, and would hand
// players the old documents under the new pointer.
bool checkVersionUnused(const ReleaseOptions& options, std::string& error) {
  const std::string folder =
      joinPath(options.serverDir, content::releaseFolder(options.version));
  if (!pathExists(folder)) return true;
  error = "the release folder " + folder +
          " exists already; a version is published once, since caches keep its documents for "
          "good (publish under a new version, or delete the folder if no pointer ever named it)";
  return false;
}

// Release folders with no pointer to vouch for them (a folder whose pointer
// was moved away, or another publisher's) teach nothing; say so, since the
// players of those releases get no retirements from this one.
void noteUnservedReleases(const ReleaseOptions& options, const CurrentRelease& current,
                          ReleaseReport& report) {
  if (current.exists) return;
  for (const std::string& version : listSubfolders(joinPath(options.serverDir, "manifest"))) {
    if (version == options.version || version[0] == '.') continue;
    report.warnings.push_back("the release folders under " +
                              joinPath(options.serverDir, "manifest") +
                              " were not learned from: no served release vouches for them");
    return;
  }
}

bool writeDocument(const std::string& serverDir, const std::string& relative,
                   const std::string& text, std::string& error) {
  if (text.size() > kMaxBodyBytes) {
    error = relative + " would be larger than the 256 MiB players download";
    return false;
  }
  if (replaceFile(joinPath(serverDir, relative), text)) return true;
  error = "cannot write " + joinPath(serverDir, relative);
  return false;
}

bool flush(const std::string& serverDir, std::string& error) {
  if (syncFileSystem(serverDir)) return true;
  error = "cannot flush " + serverDir + " to disk";
  return false;
}

bool inside(const std::string& folder, const std::string& parent) {
  return !folder.empty() && !parent.empty() &&
         (folder == parent || folder.compare(0, parent.size() + 1, parent + "/") == 0);
}

// Folders nested in each other would publish one as part of the other: the
// server folder as content (growing with every release), or the Overhaul
// as required content.
bool checkFolderNesting(const ReleaseOptions& options, std::string& error) {
  const std::string server = canonicalPath(options.serverDir);
  const std::string required = canonicalPath(options.requiredDir);
  const std::string overhaul =
      options.optionalDir.empty() ? std::string() : canonicalPath(options.optionalDir);
  if (inside(server, required) || inside(server, overhaul)) {
    error = "the server folder " + options.serverDir + " lies inside a content folder";
  } else if (inside(required, server) || inside(overhaul, server)) {
    error = "a content folder lies inside the server folder " + options.serverDir;
  } else if (inside(overhaul, required) || inside(required, overhaul)) {
    error = "the required and the optional content folders lie inside one another";
  } else {
    return true;
  }
  return false;
}

// Content: every blob under "/chunks/", the bundles under "/bundles/".
bool storeContent(const ReleaseOptions& options, const Progress& progress, Content& content,
                  std::vector<Bundle>& bundles, ReleaseReport& report, std::string& error) {
  const unsigned threads = options.threads ? options.threads : defaultThreads();
  if (!step(progress, "scanning", error) || !checkFolderNesting(options, error) ||
      !scanContent(options.requiredDir, options.optionalDir, content, error) ||
      !hashContent(content, releaseCutting(options), threads, progress, error) ||
      !storeChunks(options.serverDir, content, releaseCompression(options), threads, progress,
                   report.chunks, error)) {
    return false;
  }
  for (const SourceFile& file : content.sources) report.contentBytes += file.size;
  bundles = planBundles(content, options.bundleSize, options.bundleBlobMax);
  return storeBundles(options.serverDir, content, bundles, releaseCompression(options), threads,
                      progress, report.bundles, error);
}

// The lists' text must be JSON, which carries UTF-8 only; the paths were
// checked when the content was scanned, so this is a guard.
bool listsAreText(const std::vector<std::string>& texts, std::string& error) {
  for (const std::string& text : texts) {
    if (!content::isUtf8(text)) {
      error = "a list holds text that is not UTF-8";
      return false;
    }
  }
  return true;
}

// Cuts one list into sections, stores them and names them in the manifest.
bool addSections(const ReleaseOptions& options, const content::ListDocument& list,
                 const std::string& text, content::Manifest& manifest, ReleaseReport& report,
                 std::string& error) {
  const std::vector<std::string> texts = sectionTexts(text, sectionAverage(text.size()));
  // Players refuse a manifest that names more; such a list (hundreds of
  // MiB) is left whole, as it would be for an older player.
  if (texts.size() > content::kMaxSectionsPerList) return true;
  if (!storeSections(options.serverDir, texts, releaseCompression(options), report.sections,
                     error)) {
    return false;
  }
  content::ListSections& sections = manifest.sections[list.part];
  sections.present = true;
  for (const std::string& section : texts) {
    sections.sections.push_back({content::Sha256::of(section), section.size()});
  }
  return true;
}

// The four lists, then the manifest that names them by digest.
bool writeDocuments(const ReleaseOptions& options, const Progress& progress, const Content& content,
                    const std::vector<Bundle>& bundles, const CurrentRelease& current,
                    const PathHistory& history, const Inputs& inputs, ReleaseReport& report,
                    std::string& manifestSha256, std::string& error) {
  std::vector<content::FileRecord> required = tierEntries(content, content.required);
  std::vector<content::FileRecord> optional = tierEntries(content, content.optional);
  report.requiredFiles = required.size();
  report.optionalFiles = optional.size();
  report.alwaysHash = markAlwaysHash(history, required, optional);
  const std::vector<content::RetiredRecord> retired = retiredRecords(history, required, optional);
  report.retired = retired.size();
  const std::string requiredText = fileListText(required);
  const std::string optionalText = fileListText(optional);
  const std::string bundleText = bundleIndexText(bundles);
  const std::string retiredText = retiredListText(retired);
  if (!listsAreText({requiredText, optionalText, bundleText, retiredText}, error)) return false;
  const std::string& version = options.version;
  const std::string staged = stagedVersion(version);
  if (!step(progress, "writing lists", error) ||
      !writeDocument(options.serverDir, content::listFile(staged, content::kFilesRequiredList.file),
                     requiredText, error) ||
      !writeDocument(options.serverDir, content::listFile(staged, content::kFilesOptionalList.file),
                     optionalText, error) ||
      !writeDocument(options.serverDir, content::listFile(staged, content::kBundlesList.file),
                     bundleText, error) ||
      !writeDocument(options.serverDir, content::listFile(staged, content::kFilesRetiredList.file),
                     retiredText, error)) {
    return false;
  }
  content::Manifest manifest;
  if (options.listSections &&
      !(addSections(options, content::kFilesRequiredList, requiredText, manifest, report, error) &&
        addSections(options, content::kFilesOptionalList, optionalText, manifest, report, error) &&
        addSections(options, content::kBundlesList, bundleText, manifest, report, error))) {
    return false;
  }
  manifest.packVersion = version;
  manifest.sequence = options.sequence;
  manifest.fileCount = optional.size();
  manifest.cutting = releaseCutting(options);
  manifest.encoding = options.compression;
  // The served release becomes this one's predecessor, so that the pointer
  // about to be signed vouches for it and, through it, for the whole chain
  // the next publish learns its history from.
  manifest.namesPrevious = true;
  if (current.exists) {
    manifest.previousManifest = current.manifest;
    manifest.previousManifestSha256 = current.manifestSha256;
  }
  // Each list's length bounds its download: a server that sends more is cut
  // off there instead of at the players' general limit.
  manifest.filesRequired = {true, "", content::Sha256::of(requiredText), required.size(),
                            requiredText.size()};
  manifest.filesOptional = {true, "", content::Sha256::of(optionalText), optional.size(),
                            optionalText.size()};
  manifest.bundles = {true, "", content::Sha256::of(bundleText), bundles.size(), bundleText.size()};
  manifest.filesRetired = {true, "", content::Sha256::of(retiredText), retired.size(),
                           retiredText.size()};
  manifest.configRequired = inputs.configRequired;
  manifest.configOptional = inputs.configOptional;
  manifest.credits = inputs.credits;
  manifest.people = inputs.people;
  const content::Result<std::string> text = content::manifestText(manifest);
  if (!text) {
    error = text.error();
    return false;
  }
  if (!step(progress, "writing manifest", error) ||
      !writeDocument(options.serverDir, content::manifestFile(staged), *text, error)) {
    return false;
  }
  manifestSha256 = content::Sha256::of(*text);
  return true;
}

// The expiry `days` from now; empty for 0 (never).
std::string expiryAfter(std::uint64_t days) {
  if (days == 0) return std::string();
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  const long long now = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch).count();
  return content::expiryText(now + static_cast<long long>(days) * kSecondsPerDay);
}

// Signs the payload and checks the signature the way players will: a
// pointer that fails here would cut every player off.
bool signPointer(const SigningKey& key, const content::PointerPayload& fields,
                 std::string& document, std::string& error) {
  const std::string payload = content::pointerPayloadText(fields);
  std::string signature;
  if (!signP256(key, payload, signature, error)) return false;
  const bool verifies = content::verifyP256(
      reinterpret_cast<const unsigned char*>(key.publicPoint.data()), payload.data(),
      payload.size(), reinterpret_cast<const unsigned char*>(signature.data()));
  if (!verifies) {
    error = "the new release pointer's signature did not verify; nothing was published";
    return false;
  }
  document = content::pointerDocumentText(payload, signature);
  return true;
}

bool replacePointer(const std::string& serverDir, const std::string& document,
                    std::string& error) {
  return writeDocument(serverDir, content::kPointerFile, document, error) &&
         flush(serverDir, error);
}

// The staged documents become the release's folder in one rename, just
// before the pointer names it, and reach the disk before the pointer does.
bool placeReleaseFolder(const ReleaseOptions& options, std::string& error) {
  const std::string staged =
      joinPath(options.serverDir, content::releaseFolder(stagedVersion(options.version)));
  const std::string folder = joinPath(options.serverDir, content::releaseFolder(options.version));
  if (renamePath(staged, folder)) return flush(options.serverDir, error);
  error = "cannot rename " + staged + " to " + folder;
  return false;
}

// A staged folder left by an interrupted publish is never served; the new
// documents replace it whole.
bool clearStagedFolder(const ReleaseOptions& options, std::string& error) {
  const std::string staged =
      joinPath(options.serverDir, content::releaseFolder(stagedVersion(options.version)));
  if (removeTree(staged)) return true;
  error = "cannot remove " + staged + ", left by an interrupted publish";
  return false;
}

bool writePointer(const ReleaseOptions& options, const SigningKey& key,
                  const std::string& manifestSha256, const Progress& progress,
                  ReleaseReport& report, std::string& error) {
  content::PointerPayload fields{options.version, options.sequence,
                                 content::manifestFile(options.version), manifestSha256};
  fields.expires = expiryAfter(options.expiresDays);
  report.expires = fields.expires;
  std::string document;
  return signPointer(key, fields, document, error) &&
         step(progress, "writing pointer", error) && placeReleaseFolder(options, error) &&
         replacePointer(options.serverDir, document, error);
}

// The served release as a refresh finds it: there, signed with this key,
// and its manifest still the one the pointer names.
bool checkRefreshable(const RefreshOptions& options, const CurrentRelease& current,
                      std::string& error) {
  if (!current.exists) {
    error = "the folder " + options.serverDir + " serves no release to refresh";
    return false;
  }
  if (!current.signedWithKey) {
    error = "the release the folder serves now was not signed with " + options.keyPath +
            "; a refresh keeps the key (publish a new release with --new-key to change it)";
    return false;
  }
  std::string manifest;
  const std::string path = joinPath(options.serverDir, current.manifest);
  const bool matches = content::safeRelativePath(current.manifest) && readFile(path, manifest) &&
                       content::Sha256::equals(content::Sha256::of(manifest),
                                               current.manifestSha256);
  if (matches) return true;
  error = "the manifest " + path + " is missing or does not match the served pointer's digest";
  return false;
}

// The content cutting's problem in the publisher's words, or empty.
std::string contentCuttingProblem(const ReleaseOptions& options) {
  const content::BlobCutting cutting = releaseCutting(options);
  const std::string problem = content::cuttingProblem(cutting);
  if (!problem.empty()) {
    return "the content cutting (smallest " + std::to_string(cutting.minSize) + ", average " +
           std::to_string(cutting.averageSize) + ", largest " + std::to_string(cutting.maxSize) +
           " bytes) cannot be used: " + problem;
  }
  if (cutting.maxSize > options.bundleBlobMax) {
    return "the largest blob (" + std::to_string(cutting.maxSize) +
           " bytes) must not exceed --bundle-blob-max (" + std::to_string(options.bundleBlobMax) +
           " bytes): every blob cut by content goes into bundles, so that a first install "
           "stays at a few hundred requests";
  }
  return std::string();
}

}  // namespace

FolderLock::~FolderLock() { unlockFile(descriptor); }

bool lockFolder(const std::string& serverDir, FolderLock& lock, std::string& error) {
  bool busy = false;
  const std::string lockPath = joinPath(serverDir, ".publish.lock");
  if (lockFile(lockPath, lock.descriptor, busy)) return true;
  error = busy ? "another publish is running in " + serverDir : "cannot create " + lockPath;
  return false;
}

content::BlobCutting releaseCutting(const ReleaseOptions& options) {
  if (options.cutMode == CutMode::fixed) return content::fixedCutting(options.chunkSize);
  const std::uint64_t average = options.cutAverage;
  const std::uint64_t minSize = options.cutMin != 0 ? options.cutMin : average / 4;
  std::uint64_t maxSize = options.cutMax;
  if (maxSize == 0) {
    maxSize = average <= UINT64_MAX / 8 ? average * 8 : UINT64_MAX;
    // The derived longest blob stays within the bundling threshold; one
    // named on the command line is checked against it instead.
    if (options.bundleBlobMax > average) maxSize = std::min(maxSize, options.bundleBlobMax);
  }
  return content::gearCutting(minSize, average, maxSize);
}

Compression releaseCompression(const ReleaseOptions& options) {
  const bool zstd = options.compression == content::Encoding::zstd;
  return Compression{options.compression, zstd ? options.zstdLevel : options.gzipLevel};
}

bool checkReleaseOptions(const ReleaseOptions& options, std::string& error) {
  if (!validVersion(options.version)) {
    error = "the version \"" + options.version +
            "\" must be 1 to 64 letters, digits, \".\", \"_\", \"+\" or \"-\", starting with a "
            "letter or digit (it names a folder on the server)";
  } else if (options.sequence < 0 || options.sequence > content::kMaxSequence) {
    error = "the sequence must be a whole number from 0 to 9007199254740992";
  } else if (options.chunkSize == 0 || options.chunkSize > kMaxBodyBytes) {
    error =
        "the chunk size must be from 1 byte to 256 MiB (players download at most 256 MiB at once)";
  } else if (options.cutMode == CutMode::content && !contentCuttingProblem(options).empty()) {
    error = contentCuttingProblem(options);
  } else if (options.bundleSize == 0 || options.bundleSize > kMaxBodyBytes) {
    error =
        "the bundle size must be from 1 byte to 256 MiB (players download at most 256 MiB at once)";
  } else if (options.gzipLevel < 1 || options.gzipLevel > 9) {
    error = "the compression level must be from 1 to 9";
  } else if (options.zstdLevel < kMinZstdLevel || options.zstdLevel > kMaxZstdLevel) {
    error = "the zstd level must be from 1 to 19";
  } else if (options.expiresDays > kMaxExpiresDays) {
    error = "the expiry must be from 1 to 36500 days";
  } else if (options.serverDir.empty() || options.requiredDir.empty() || options.keyPath.empty()) {
    error = "the server folder, the key and the required content folder must be named";
  } else {
    return true;
  }
  return false;
}

bool publishRelease(const ReleaseOptions& options, const Progress& progress, ReleaseReport& report,
                    std::string& error) {
  report = ReleaseReport();
  SigningKey key;
  Inputs inputs;
  if (!checkReleaseOptions(options, error) || !loadSigningKey(options.keyPath, key, error) ||
      !loadInputs(options, inputs, report, error)) {
    return false;
  }
  if (!makeDirectories(options.serverDir)) {
    error = "cannot create the server folder " + options.serverDir;
    return false;
  }
  FolderLock lock;
  if (!lockFolder(options.serverDir, lock, error)) return false;
  CurrentRelease current;
  PathHistory history;
  Content content;
  std::vector<Bundle> bundles;
  std::string manifestSha256;
  const bool learned = readCurrentRelease(options.serverDir, key.publicPoint, current, error) &&
                       checkServedRelease(options, current, error) &&
                       readHistory(options.serverDir, current, history, error) &&
                       checkVersionUnused(options, error);
  if (!learned) return false;
  report.earlierReleases = history.releases;
  noteUnservedReleases(options, current, report);
  return storeContent(options, progress, content, bundles, report, error) &&
         flush(options.serverDir, error) && clearStagedFolder(options, error) &&
         writeDocuments(options, progress, content, bundles, current, history, inputs, report,
                        manifestSha256, error) &&
         flush(options.serverDir, error) &&
         writePointer(options, key, manifestSha256, progress, report, error);
}

bool refreshRelease(const RefreshOptions& options, RefreshReport& report, std::string& error) {
  report = RefreshReport();
  if (options.expiresDays == 0 || options.expiresDays > kMaxExpiresDays) {
    error = "a refresh needs an expiry of 1 to 36500 days";
    return false;
  }
  if (!isDirectory(options.serverDir)) {
    error = "the server folder " + options.serverDir + " does not exist";
    return false;
  }
  SigningKey key;
  FolderLock lock;
  CurrentRelease current;
  if (!loadSigningKey(options.keyPath, key, error) ||
      !lockFolder(options.serverDir, lock, error) ||
      !readCurrentRelease(options.serverDir, key.publicPoint, current, error) ||
      !checkRefreshable(options, current, error)) {
    return false;
  }
  content::PointerPayload fields{current.version, current.sequence, current.manifest,
                                 current.manifestSha256};
  fields.expires = expiryAfter(options.expiresDays);
  std::string document;
  if (!signPointer(key, fields, document, error) ||
      !replacePointer(options.serverDir, document, error)) {
    return false;
  }
  report.version = current.version;
  report.sequence = current.sequence;
  report.expires = fields.expires;
  return true;
}

}  // namespace vantis::publish
