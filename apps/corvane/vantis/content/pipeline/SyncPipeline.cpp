// The first half of `sync`: the instance lock, clean-up of replaced
// programs, the release pointer, the comparison with the installed release
// and the short path for an unchanged one (program check, credits, profile
// switch). A real update or a full check continues in the full update path.
// Calling thread only.

#include <cstdio>
#include <string>
#include <vector>

#include "foundation/Crypto.h"
#include "foundation/FileSystem.h"
#include "http/Http.h"
#include "pipeline/InstanceLock.h"
#include "pipeline/SyncSteps.h"
#include "protocol/BinaryCheck.h"
#include "protocol/SyncCredits.h"
#include "protocol/SyncLists.h"
#include "protocol/SyncMessages.h"
#include "protocol/SyncTierConfig.h"
#include "release/Layout.h"
#include "release/Lists.h"

namespace vantis::content {

namespace {

// The names in the program folder that end in ".old" (and are more than
// that), read whole before any is renamed: a folder changed while it is read
// may show an entry twice or not at all.
std::vector<std::string> replacedProgramNames(const std::string& programs) {
  std::vector<std::string> names;
  for (const std::string& name : namesIn(programs)) {
    const bool replaced = name.size() >= 5 && name.compare(name.size() - 4, 4, ".old") == 0;
    if (replaced) names.push_back(name);
  }
  return names;
}

// Programs replaced by an earlier run wait under "<name>.old" until the game
// no longer runs them. A program is replaced by two renames (the old copy
// aside, the new one in), so a run killed between them leaves "<name>.old"
// as the only copy of the program: that one is put back, never deleted,
// game or no game, so that the instance can still start offline.
void settleReplacedPrograms(const SyncContext& context) {
  const std::string& programs = context.paths.programs;
  const std::vector<std::string> names = replacedProgramNames(programs);
  if (names.empty()) return;
  const bool gameRunning = gameIsRunning(context.options);
  for (const std::string& name : names) {
    const std::string old = joinPath(programs, name);
    const std::string program = old.substr(0, old.size() - 4);
    if (!entryExists(program)) {
      std::rename(old.c_str(), program.c_str());
    } else if (!gameRunning) {
      std::remove(old.c_str());
    }
  }
}

SyncResult failed(const std::string& message) {
  SyncResult result;
  result.error = message;
  return result;
}

// The server could not be asked: keep playing what is installed, or fail
// when nothing is.
SyncResult serverUnavailable(const SyncContext& context, const HttpResponse& response,
                             ProgressMeter& meter) {
  // No trusted certificates is this computer's fault, not an outage: it will
  // not clear up by itself, so the player is told rather than kept on the
  // installed release without a word.
  if (response.trustStoreMissing) return failed(messages::cannotCheck(response.error));
  const std::string installed = installedVersion(context.options.root, context.options.tier);
  if (installed.empty()) {
    return failed(!response.error.empty() ? response.error
                                          : messages::serverReturned(response.status));
  }
  SyncResult result;
  result.ok = true;
  result.version = installed;
  meter.report("Update check unavailable - playing installed content", "");
  return result;
}

// The installed programs checked against their record: the reason for a
// full check, or empty when they are intact.
std::string checkInstalledPrograms(const SyncContext& context, const ReleasePointer& pointer) {
  const std::string recordPath = context.paths.programRecord(context.options.tier);
  std::string text;
  binarycheck::Record record;
  if (!binarycheck::readFile(recordPath, text) || !binarycheck::parse(text, record)) {
    return "no record of the installed programs";
  }
  const binarycheck::Outcome outcome =
      binarycheck::verify(context.paths.content, pointer.packVersion, kPlatformLinux, record);
  if (!outcome.ok) return outcome.reason;
  // Failing to refresh the record only costs some hashing next time.
  if (outcome.refreshed) replaceWholeFile(recordPath, binarycheck::format(record));
  return std::string();
}

// The manifest copy, when it is the manifest the verified pointer names. A
// refused update to another release has already replaced the copy with that
// release's manifest: genuine, but its credits and configuration texts
// belong to a release that was never installed.
Result<Release> readManifestCopy(const SyncContext& context, const ReleasePointer& pointer) {
  std::string copy;
  if (!readWholeFile(context.paths.manifestCopy, copy)) return Failure{};
  if (!Sha256::equals(Sha256::of(copy), pointer.manifestSha256)) return Failure{};
  JsonValue document;
  std::string parseError;
  if (!parseJson(copy, document, parseError)) return Failure{};
  return Release{pointer, readManifest(document), copy};
}

// The unchanged release's manifest, from the copy when it is that release's,
// else from the server. Its credits are handed on either way (none when no
// manifest could be had).
Result<Release> manifestOfInstalledRelease(const SyncContext& context,
                                           const ReleasePointer& pointer, ProgressMeter& meter,
                                           SyncResult& result) {
  Result<Release> release = readManifestCopy(context, pointer);
  if (!release) {
    release = fetchRelease(context, pointer, meter);
    if (release) replaceWholeFile(context.paths.manifestCopy, release->manifestBytes);
  }
  if (release) result.credits = readCredits(release->manifest);
  if (context.options.onCredits) context.options.onCredits(result.credits);
  return release;
}

// The unchanged release. True when the sync is finished (successfully or
// not); false when the full update path must run.
bool finishUnchangedRelease(const SyncContext& context, const ReleasePointer& pointer,
                            const Installed& installed, ProgressMeter& meter,
                            SyncResult& result) {
  const std::string reason = checkInstalledPrograms(context, pointer);
  if (!reason.empty()) {
    result.fullCheckReason = reason;
    return false;
  }
  const Result<Release> release = manifestOfInstalledRelease(context, pointer, meter, result);
  if (!release && release.error() == messages::kCancelled) {
    result.error = release.error();
    return true;
  }
  const bool configured = installed.state.configTier == tierName(context.options.tier);
  if (!configured && !release) return false;
  if (!configured) {
    meter.report("Switching profile", "");
    Status switched = writeTierConfiguration(context, release->manifest, result);
    if (switched) switched = recordInstalledRelease(context, pointer, installed, FileSystems{});
    result.error = switched.error();
    result.ok = switched.ok();
    return true;
  }
  // The verified pointer names what is installed: its number is the
  // instance's from now on, also for an instance whose state record came
  // before the highest-sequence record did. Failing only costs that.
  raiseHighestSequence(context.paths, pointer.sequence);
  result.ok = true;
  return true;
}

// From a verified pointer on: the downgrade refusal, then the unchanged
// release's short path or the full update.
SyncResult updateTo(const SyncContext& context, const ReleasePointer& pointer,
                    ProgressMeter& meter) {
  SyncResult result;
  result.version = pointer.packVersion;
  Installed installed;
  installed.record = readStateDocument(context.paths);
  installed.state = readInstalledState(installed.record, context.options.tier);
  // The state record's own number is not enough: deleting or rewriting it
  // would let any older signed release in again.
  const long long highest = highestRecordedSequence(context.paths, installed.record);
  if (highest >= 0 && pointer.sequence < highest) {
    result.error = messages::kOlderRelease;
    return result;
  }
  const bool fullCheck = context.options.verify || installed.state.verifyDemanded;
  const bool unchanged = !fullCheck && installed.state.version == pointer.packVersion;
  if (unchanged && finishUnchangedRelease(context, pointer, installed, meter, result)) {
    return result;
  }
  runFullUpdate(context, pointer, installed, meter, result);
  return result;
}

SyncResult runSync(const SyncContext& context, ProgressMeter& meter) {
  HttpResponse response;
  context.client.get(kPointerRequest, kMaxDocumentBytes, askWhileWaiting(meter), response);
  // A stop is the player's, not an outage: it must not pass for "playing
  // installed content".
  if (response.cancelled) return failed(messages::kCancelled);
  if (!response.succeeded()) return serverUnavailable(context, response, meter);
  const Result<ReleasePointer> pointer = checkPointerForUpdate(response.body);
  if (!pointer) return failed(pointer.error());
  return updateTo(context, *pointer, meter);
}

// The same with mirrors: the pointer is the best any server vouches for,
// and the run goes on with the servers in the order the choice gives.
SyncResult runSyncWithMirrors(const SyncContext& context, ProgressMeter& meter) {
  PointerChoice choice = choosePointer(context.options, context.client, meter);
  if (choice.cancelled) return failed(messages::kCancelled);
  const bool noneAnswered = !choice.pointer && !choice.refused;
  if (noneAnswered) return serverUnavailable(context, choice.unanswered, meter);
  if (!choice.pointer) return failed(choice.pointer.error());
  const SyncContext chosen{context.options, context.paths, context.client, choice.order};
  return updateTo(chosen, *choice.pointer, meter);
}

}  // namespace

bool gameIsRunning(const SyncOptions& options) {
  return options.gameRunning && options.gameRunning();
}

void prepareClient(HttpClient& client, const SyncOptions& options) {
  client.accessKey = options.accessKey;
  client.trustStore = options.environment.trustStore;
  client.minBytesPerSecond = options.minBytesPerSecond;
  client.slowWindowSeconds = options.slowWindowSeconds;
}

HttpProgress askWhileWaiting(ProgressMeter& meter) {
  constexpr double kAskEverySeconds = 1.0;
  double lastAsked = monotonicSeconds();
  return [&meter, lastAsked](unsigned long, unsigned long) mutable {
    const double now = monotonicSeconds();
    if (now - lastAsked < kAskEverySeconds) return true;
    lastAsked = now;
    const std::string phase = meter.progress.phase;
    const std::string detail = meter.progress.detail;
    return meter.report(phase, detail);
  };
}

Result<Release> fetchRelease(const SyncContext& context, const ReleasePointer& pointer,
                             ProgressMeter& meter) {
  meter.report("Checking for updates", "manifest");
  const FetchMessages wording{messages::kManifestNotDownloaded, messages::kManifestMismatch};
  using Bytes = std::vector<unsigned char>;
  const Result<Bytes> bytes =
      fromAnyServer<Bytes>(context, [&](HttpClient& client) {
        return fetchManifestBytes(client, pointer, wording, askWhileWaiting(meter));
      });
  if (!bytes) return bytes.failure();
  Result<Manifest> manifest = parseManifest(*bytes);
  if (!manifest) return manifest.failure();
  return Release{pointer, std::move(*manifest), std::string(bytes->begin(), bytes->end())};
}

Status writeTierConfiguration(const SyncContext& context, const Manifest& manifest,
                              SyncResult& result) {
  const SyncOptions& options = context.options;
  const DataFolderChoice choice{options.duskmereDataFiles, options.environment.gameSearch};
  const Result<std::string> written =
      writeTierConfig(context.paths, tierConfigTemplate(manifest, options.tier), choice);
  if (written) result.duskmereDataFiles = *written;
  if (written.error() == messages::kDuskmereMissing) result.duskmereMissing = true;
  return written ? Status() : written.failure();
}

Status recordInstalledRelease(const SyncContext& context, const ReleasePointer& pointer,
                              const Installed& installed, const FileSystems& written) {
  FileSystems all = written;
  noteFileSystemOf(all, context.paths.state);
  noteFileSystemOf(all, context.paths.tierConfig);
  if (!syncFileSystems(all)) return Failure{messages::kStateNotWritten};
  return writeInstalledState(context.paths, context.options.tier, pointer.packVersion,
                             pointer.sequence, installed.record);
}

SyncResult sync(const SyncOptions& options) {
  HttpClient client;
  const SyncContext context{options, instancePaths(options.root), client, {}};
  InstanceLock lock;
  const Status locked = lock.take(context.paths);
  if (!locked) return failed(locked.error());
  settleReplacedPrograms(context);
  ProgressMeter meter(options.progress);
  meter.report("Checking for updates", "");
  if (!options.mirrors.empty()) return runSyncWithMirrors(context, meter);
  if (!client.open(options.url)) return failed(messages::serverUnreachable(options.url));
  prepareClient(client, options);
  return runSync(context, meter);
}

}  // namespace vantis::content
