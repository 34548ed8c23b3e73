// Removing the optional tier: `clearOverhaul` learns from the server which
// files belong to each tier of the current release, and `finishClear` does
// the local half (deletion, required configuration, state record). Both run
// on the calling thread. Nothing is deleted until every document has been
// verified and the game has been found not running a second time, so a
// refusal at any earlier step leaves the instance exactly as it was.

#include "pipeline/SyncOverhaul.h"

#include <utility>

#include "foundation/FileSystem.h"
#include "http/Http.h"
#include "protocol/Prune.h"
#include "pipeline/SyncInternal.h"
#include "protocol/SyncLists.h"
#include "protocol/SyncPointer.h"
#include "protocol/SyncTierConfig.h"

namespace vantis::content {

namespace {

const char kGameRunning[] = "Close the game first.";
const char kUnreachable[] = "Could not reach the content server.";
const char kListUnverified[] = "The file list could not be verified.";
const char kListMalformed[] = "The file list was malformed.";
const char kConfigNotWritten[] =
    "Overhaul was removed, but the Required settings could not be written. "
    "Start the launcher again to repair.";

const char kModsPrefix[] = "mods/";
const std::size_t kModsPrefixBytes = sizeof kModsPrefix - 1;

bool gameIsRunning(const SyncOptions& options) {
  return options.gameRunning && options.gameRunning();
}

ClearResult refused(std::string message) {
  ClearResult result;
  result.error = std::move(message);
  return result;
}

bool fetchPointer(HttpClient& client, ReleasePointer& pointer, std::string& error) {
  const HttpResponse response = client.get(kReleasePointerPath);
  if (!response.succeeded()) {
    error = kUnreachable;
    return false;
  }
  pointer = checkReleasePointer(response.body, ReleaseReader::overhaul);
  if (!pointer.ok) error = pointer.error;
  return pointer.ok;
}

bool fetchList(HttpClient& client, const ReleasePointer& pointer, const JsonValue& manifest,
               const char* listName, const char* part, std::vector<unsigned char>& body) {
  const std::string path = listPath(pointer.packVersion, listName);
  return fetchVerified(client, path, listDigest(manifest, part), body) == FetchOutcome::ok;
}

// Both lists are verified before either is read, so a tampered list is
// refused before anything is built from the other.
bool fetchTierLists(HttpClient& client, const ReleasePointer& pointer, const JsonValue& manifest,
                    std::vector<std::string>& removal, std::set<std::string>& keep,
                    std::string& error) {
  std::vector<unsigned char> optionalList;
  std::vector<unsigned char> requiredList;
  const bool fetched =
      fetchList(client, pointer, manifest, kFilesOptionalList, kFilesOptionalPart, optionalList) &&
      fetchList(client, pointer, manifest, kFilesRequiredList, kFilesRequiredPart, requiredList);
  if (!fetched) {
    error = kListUnverified;
    return false;
  }
  if (!readRemovalList(optionalList, removal) || !readKeepSet(requiredList, keep)) {
    error = kListMalformed;
    return false;
  }
  return true;
}

// The required tier's configuration from the manifest text; false when the
// manifest does not parse or the text could not be written (for instance
// because the base game is no longer on this computer).
bool writeRequiredConfig(const SyncOptions& options, const std::string& cacheDir,
                         const std::string& manifestText) {
  JsonValue manifest;
  std::string parseError;
  if (!parseJson(manifestText, manifest, parseError)) return false;
  std::string dataFiles;
  bool duskmereMissing = false;
  std::string error;
  return writeTierConfigText(options.root, cacheDir, tierConfigTemplate(manifest, Tier::required),
                             options.duskmereDataFiles, dataFiles, duskmereMissing, error);
}

}  // namespace

bool readRemovalList(const std::vector<unsigned char>& optionalList,
                     std::vector<std::string>& removal) {
  auto handler = [&removal](const JsonValue& line) {
    const std::string& path = line["path"].asString(JsonValue::sEmptyString);
    const bool instanceFile = line["target"].asString(JsonValue::sEmptyString) == "instance";
    const bool underMods = path.compare(0, kModsPrefixBytes, kModsPrefix) == 0;
    if (instanceFile && underMods) removal.push_back(path);
    return true;
  };
  std::string error;
  return forEachLine(optionalList, handler, error);
}

bool readKeepSet(const std::vector<unsigned char>& requiredList, std::set<std::string>& keep) {
  auto handler = [&keep](const JsonValue& line) {
    keep.insert(line["path"].asString(JsonValue::sEmptyString));
    return true;
  };
  std::string error;
  return forEachLine(requiredList, handler, error);
}

ClearResult clearOverhaul(const SyncOptions& options) {
  if (gameIsRunning(options)) return refused(kGameRunning);
  HttpClient client;
  if (!client.open(options.url)) return refused(kUnreachable);
  client.accessKey = options.accessKey;
  client.trustStore = options.trustStore;

  std::string error;
  ReleasePointer pointer;
  if (!fetchPointer(client, pointer, error)) return refused(error);
  JsonValue manifest;
  std::string manifestBytes;
  if (!fetchManifest(client, pointer, ReleaseReader::overhaul, ProgressReport(), manifest,
                     manifestBytes, error)) {
    return refused(error);
  }
  std::vector<std::string> removal;
  std::set<std::string> keep;
  if (!fetchTierLists(client, pointer, manifest, removal, keep, error)) return refused(error);

  // Asked again: the game may have been started while the lists were
  // fetched, and its files must not vanish under it.
  if (gameIsRunning(options)) return refused(kGameRunning);
  return finishClear(options, removal, keep, pointer.sequence, manifestBytes);
}

ClearResult finishClear(const SyncOptions& options, const std::vector<std::string>& removal,
                        const std::set<std::string>& keep, std::int64_t sequence,
                        const std::string& manifestText) {
  ClearResult result;
  const prune::PruneResult pruned = prune::run(joinPath(options.root, "content"), removal, keep);
  result.removed = pruned.removed;
  result.bytesRemoved = pruned.bytesRemoved;
  result.failed = pruned.failed;
  result.foldersRemoved = pruned.foldersRemoved;

  const std::string cacheDir = joinPath(options.root, kCacheDir);
  const bool configWritten = writeRequiredConfig(options, cacheDir, manifestText);

  // The previous record's sequence stays, so that the removal can never
  // lower the downgrade protection. When the required configuration could
  // not be written, the record keeps naming the tier whose configuration is
  // still on disk, so that the next sync rewrites it.
  long long recordedSequence = sequence;
  std::string configTier = tierName(Tier::required);
  JsonValue previous;
  if (readStateDocument(options.root, previous)) {
    recordedSequence = previous["sequence"].asInt(recordedSequence);
    const std::string& previousTier = previous["configTier"].asString(JsonValue::sEmptyString);
    if (!configWritten && !previousTier.empty()) configTier = previousTier;
  }

  const std::string statePath = joinPath(cacheDir, kStateFile);
  if (!writeClearedState(recordedSequence, configTier, cacheDir, statePath, result.error)) {
    return result;
  }
  if (!configWritten) {
    result.error = kConfigNotWritten;
    return result;
  }
  result.ok = true;
  return result;
}

}  // namespace vantis::content
