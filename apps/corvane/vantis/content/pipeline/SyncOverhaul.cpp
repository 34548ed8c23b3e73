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
#include "pipeline/InstanceLock.h"
#include "pipeline/Sync.h"
#include "pipeline/SyncSteps.h"
#include "protocol/InstancePaths.h"
#include "protocol/Prune.h"
#include "protocol/SyncLists.h"
#include "protocol/SyncMessages.h"
#include "protocol/SyncPointer.h"
#include "protocol/SyncState.h"
#include "protocol/SyncTierConfig.h"
#include "release/Layout.h"

namespace vantis::content {

namespace {

const char kModsPrefix[] = "mods/";
const std::size_t kModsPrefixBytes = sizeof kModsPrefix - 1;

ClearResult refused(std::string message) {
  ClearResult result;
  result.error = std::move(message);
  return result;
}

Result<ReleasePointer> fetchPointer(HttpClient& client) {
  const HttpResponse response = client.get(kPointerRequest, kMaxDocumentBytes);
  if (!response.succeeded()) return Failure{messages::kServerUnreachable};
  return checkPointerForRemoval(response.body);
}

Result<std::string> fetchManifestText(HttpClient& client, const ReleasePointer& pointer) {
  const FetchMessages wording{messages::kManifestUnverified, messages::kManifestUnverified};
  const Result<std::vector<unsigned char>> bytes = fetchManifestBytes(client, pointer, wording);
  if (!bytes) return bytes.failure();
  if (!parseManifest(*bytes)) return Failure{messages::kManifestMalformed};
  return std::string(bytes->begin(), bytes->end());
}

Result<std::vector<unsigned char>> fetchList(HttpClient& client, const ReleasePointer& pointer,
                                             const JsonValue& manifest, const ListDocument& list) {
  const FetchMessages wording{messages::kFileListUnverified, messages::kFileListUnverified};
  const ListPart part = readManifest(manifest).part(list);
  return fetchVerified(client, listRequest(pointer.packVersion, list), listBytesBound(part),
                       part.sha256, wording);
}

// What the removal deletes and what it must keep.
struct TierLists {
  std::vector<std::string> removal;
  std::set<std::string> keep;
};

// Both lists are verified before either is read, so a tampered list is
// refused before anything is built from the other.
Result<TierLists> fetchTierLists(HttpClient& client, const ReleasePointer& pointer,
                                 const JsonValue& manifest) {
  const Result<std::vector<unsigned char>> optionalList =
      fetchList(client, pointer, manifest, kFilesOptionalList);
  if (!optionalList) return optionalList.failure();
  const Result<std::vector<unsigned char>> requiredList =
      fetchList(client, pointer, manifest, kFilesRequiredList);
  if (!requiredList) return requiredList.failure();
  TierLists lists;
  if (!readRemovalList(*optionalList, lists.removal) || !readKeepSet(*requiredList, lists.keep)) {
    return Failure{messages::kFileListMalformed};
  }
  return lists;
}

// What one server says the removal is, every document verified.
struct ServedRemoval {
  std::int64_t sequence = 0;
  std::string manifestText;
  TierLists lists;
};

// Refused as the removal is when the server cannot be reached, a document
// does not hold, or its release is older than one this instance has had:
// an older release's lists would delete by an older idea of the tiers, and
// its sequence must not reach the state record.
Result<ServedRemoval> fetchRemoval(const SyncOptions& options, const std::string& url,
                                   long long highest) {
  HttpClient client;
  if (!client.open(url)) return Failure{messages::kServerUnreachable};
  prepareClient(client, options);
  const Result<ReleasePointer> pointer = fetchPointer(client);
  if (!pointer) return pointer.failure();
  if (highest >= 0 && pointer->sequence < highest) return Failure{messages::kOlderRelease};
  const Result<std::string> manifestText = fetchManifestText(client, *pointer);
  if (!manifestText) return manifestText.failure();
  JsonValue manifest;
  std::string parseError;
  parseJson(*manifestText, manifest, parseError);
  Result<TierLists> lists = fetchTierLists(client, *pointer, manifest);
  if (!lists) return lists.failure();
  return ServedRemoval{pointer->sequence, *manifestText, std::move(*lists)};
}

// The required tier's configuration from the manifest text; false when the
// manifest does not parse or the text could not be written (for instance
// because the base game is no longer on this computer).
bool writeRequiredConfig(const SyncOptions& options, const InstancePaths& paths,
                         const std::string& manifestText) {
  JsonValue manifest;
  std::string parseError;
  if (!parseJson(manifestText, manifest, parseError)) return false;
  const DataFolderChoice choice{options.duskmereDataFiles, options.environment.gameSearch};
  return writeTierConfig(paths, tierConfigTemplate(readManifest(manifest), Tier::required), choice)
      .ok();
}

// The local half of `finishClear`, once the instance's lock is held.
ClearResult finishClearLocked(const SyncOptions& options, const std::vector<std::string>& removal,
                              const std::set<std::string>& keep, std::int64_t sequence,
                              const std::string& manifestText);

}  // namespace

bool readRemovalList(const std::vector<unsigned char>& optionalList,
                     std::vector<std::string>& removal) {
  auto handler = [&removal](const JsonValue& line) {
    const FileRecord record = readFileRecord(line);
    const bool instanceFile = record.target == kTargetInstance;
    const bool underMods = record.path.compare(0, kModsPrefixBytes, kModsPrefix) == 0;
    if (instanceFile && underMods) removal.push_back(record.path);
    return Status();
  };
  return forEachLine(optionalList, handler).ok();
}

bool readKeepSet(const std::vector<unsigned char>& requiredList, std::set<std::string>& keep) {
  auto handler = [&keep](const JsonValue& line) {
    keep.insert(readFileRecord(line).path);
    return Status();
  };
  return forEachLine(requiredList, handler).ok();
}

ClearResult clearOverhaul(const SyncOptions& options) {
  InstanceLock lock;
  const Status locked = lock.take(instancePaths(options.root));
  if (!locked) return refused(locked.error());
  if (gameIsRunning(options)) return refused(messages::kCloseTheGame);
  const InstancePaths paths = instancePaths(options.root);
  const long long highest = highestRecordedSequence(paths, readStateDocument(paths));
  // The servers in turn, as the sync would try them: a mirror serves when
  // the first server cannot be reached or its documents do not hold. What
  // the first server answered is the refusal reported.
  Result<ServedRemoval> served = Failure{};
  for (const std::string& url : serverUrls(options)) {
    Result<ServedRemoval> answer = fetchRemoval(options, url, highest);
    const bool first = served.error().empty();
    if (answer || first) served = std::move(answer);
    if (served) break;
  }
  if (!served) return refused(served.error());

  // Asked again: the game may have been started while the lists were
  // fetched, and its files must not vanish under it.
  if (gameIsRunning(options)) return refused(messages::kCloseTheGame);
  return finishClearLocked(options, served->lists.removal, served->lists.keep, served->sequence,
                           served->manifestText);
}

ClearResult finishClear(const SyncOptions& options, const std::vector<std::string>& removal,
                        const std::set<std::string>& keep, std::int64_t sequence,
                        const std::string& manifestText) {
  InstanceLock lock;
  const Status locked = lock.take(instancePaths(options.root));
  if (!locked) return refused(locked.error());
  return finishClearLocked(options, removal, keep, sequence, manifestText);
}

namespace {

ClearResult finishClearLocked(const SyncOptions& options, const std::vector<std::string>& removal,
                              const std::set<std::string>& keep, std::int64_t sequence,
                              const std::string& manifestText) {
  const InstancePaths paths = instancePaths(options.root);
  ClearResult result;
  const prune::PruneResult pruned = prune::run(paths.content, removal, keep);
  result.removed = pruned.removed;
  result.bytesRemoved = pruned.bytesRemoved;
  result.failed = pruned.failed;
  result.foldersRemoved = pruned.foldersRemoved;

  const bool configWritten = writeRequiredConfig(options, paths, manifestText);

  // The previous record's sequence stays, so that the removal can never
  // lower the downgrade protection. When the required configuration could
  // not be written, the record keeps naming the tier whose configuration is
  // still on disk, so that the next sync rewrites it.
  long long recordedSequence = sequence;
  std::string configTier = tierName(Tier::required);
  const JsonValue previous = readStateDocument(paths);
  recordedSequence = previous["sequence"].asInt(recordedSequence);
  const std::string& previousTier = previous["configTier"].asString(JsonValue::sEmptyString);
  if (!configWritten && !previousTier.empty()) configTier = previousTier;

  const Status recorded = writeClearedState(paths, recordedSequence, configTier);
  if (!recorded) {
    result.error = recorded.error();
    return result;
  }
  if (!configWritten) {
    result.error = messages::kRequiredSettingsNotWritten;
    return result;
  }
  result.ok = true;
  return result;
}

}  // namespace

}  // namespace vantis::content
