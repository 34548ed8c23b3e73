// The first half of `sync`: clean-up of replaced programs, the release
// pointer, the comparison with the installed release and the short path for
// an unchanged one (program check, credits, profile switch). A real update or
// a full check continues in the full update path. Calling thread only.

#include <dirent.h>
#include <unistd.h>

#include <string>

#include "protocol/BinaryCheck.h"
#include "foundation/Crypto.h"
#include "foundation/FileSystem.h"
#include "http/Http.h"
#include "protocol/SyncCredits.h"
#include "pipeline/SyncInternal.h"
#include "protocol/SyncLists.h"
#include "protocol/SyncPointer.h"
#include "pipeline/SyncUpdate.h"

namespace vantis::content {

namespace {

constexpr const char* kPlatform = "linux";

bool gameIsRunning(const SyncOptions& options) {
  return options.gameRunning && options.gameRunning();
}

// Programs replaced by an earlier run wait under "<name>.old" until the game
// no longer runs them.
void removeReplacedPrograms(const SyncRun& run) {
  if (gameIsRunning(run.options)) return;
  DIR* dir = ::opendir(run.programDir.c_str());
  if (!dir) return;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    const bool replaced = name.size() >= 5 && name.compare(name.size() - 4, 4, ".old") == 0;
    if (replaced) ::unlink(joinPath(run.programDir, name).c_str());
  }
  ::closedir(dir);
}

// The server could not be asked: keep playing what is installed, or fail
// when nothing is.
void serverUnavailable(SyncRun& run, const HttpResponse& response) {
  // No trusted certificates is this computer's fault, not an outage: it will
  // not clear up by itself, so the player is told rather than kept on the
  // installed release without a word.
  if (response.trustStoreMissing) {
    run.result.error = "Cannot check for updates: " + response.error + ".";
    return;
  }
  const std::string installed = installedVersion(run.options.root, run.options.tier);
  if (!installed.empty()) {
    run.result.ok = true;
    run.result.changed = false;
    run.result.version = installed;
    run.reportProgress("Update check unavailable - playing installed content", "");
    return;
  }
  run.result.error = !response.error.empty()
                         ? response.error
                         : "The content server returned " + std::to_string(response.status);
}

// Checks the installed programs against their record. Returns the reason for
// a full check, or empty when they are intact.
std::string checkInstalledPrograms(SyncRun& run) {
  std::string text;
  binarycheck::Record record;
  if (!binarycheck::readFile(run.recordPath, text) || !binarycheck::parse(text, record)) {
    return "no record of the installed programs";
  }
  const binarycheck::Outcome outcome =
      binarycheck::verify(run.contentDir, run.packVersion, kPlatform, record);
  if (!outcome.ok) return outcome.reason;
  // Failing to refresh the record only costs some hashing next time.
  if (outcome.refreshed) replaceWholeFile(run.recordPath, binarycheck::format(record));
  return std::string();
}

// The manifest copy, when it is the manifest the verified pointer names. A
// refused update to another release has already replaced the copy with that
// release's manifest: genuine, but its credits and configuration texts
// belong to a release that was never installed.
bool readManifestCopy(SyncRun& run, const ReleasePointer& pointer) {
  std::string copy;
  std::string parseError;
  if (!readWholeFile(run.manifestCopyPath, copy)) return false;
  if (!Sha256::equals(Sha256::of(copy), pointer.manifestSha256)) return false;
  return parseJson(copy, run.manifest, parseError);
}

// Credits of the unchanged release, from the manifest copy when it is that
// release's, else from the server. False when no manifest could be had.
bool loadCreditsOfInstalledRelease(SyncRun& run, const ReleasePointer& pointer) {
  bool available = readManifestCopy(run, pointer);
  if (!available) {
    available = fetchReleaseManifest(run, pointer);
    if (available) replaceWholeFile(run.manifestCopyPath, run.manifestBytes);
    run.result.error.clear();
  }
  if (available) readCredits(run.manifest, run.result.credits);
  if (run.options.onCredits) run.options.onCredits(run.result.credits);
  return available;
}

// The unchanged release. Returns true when the sync is finished (successfully
// or not); false when the full update path must run.
bool finishUnchangedRelease(SyncRun& run, const ReleasePointer& pointer,
                            const InstalledState& installed) {
  const std::string reason = checkInstalledPrograms(run);
  if (!reason.empty()) {
    run.result.fullCheckReason = reason;
    return false;
  }
  const bool manifestAvailable = loadCreditsOfInstalledRelease(run, pointer);
  if (installed.configTier == tierName(run.options.tier)) {
    run.result.ok = true;
    run.result.changed = false;
    return true;
  }
  if (!manifestAvailable) return false;
  run.reportProgress("Switching profile", "");
  if (!writeConfigurationAndState(run)) return true;
  run.result.ok = true;
  run.result.changed = false;
  return true;
}

bool fetchReleasePointer(SyncRun& run, ReleasePointer& pointer) {
  const HttpResponse response = run.client->get(kReleasePointerPath);
  if (!response.succeeded()) {
    serverUnavailable(run, response);
    return false;
  }
  pointer = checkReleasePointer(response.body, ReleaseReader::sync);
  if (!pointer.ok) {
    run.result.error = pointer.error;
    return false;
  }
  run.packVersion = pointer.packVersion;
  run.sequence = pointer.sequence;
  run.result.version = pointer.packVersion;
  return true;
}

void runSync(SyncRun& run) {
  removeReplacedPrograms(run);
  run.startSeconds = monotonicSeconds();
  run.reportProgress("Checking for updates", "");

  HttpClient client;
  if (!client.open(run.options.url)) {
    run.result.error = "Could not reach the content server at " + run.options.url;
    return;
  }
  client.accessKey = run.options.accessKey;
  client.trustStore = run.options.trustStore;
  run.client = &client;

  ReleasePointer pointer;
  if (!fetchReleasePointer(run, pointer)) return;

  JsonValue previous;
  readStateDocument(run.options.root, previous);
  const InstalledState installed = readInstalledState(previous, run.options.tier);
  run.previousState = previous;
  if (installed.sequence >= 0 && run.sequence < installed.sequence) {
    run.result.error = "The server offered an older release than the one installed. Refused.";
    return;
  }
  run.fullCheck = run.options.verify || installed.verifyDemanded;
  run.installedVersion = installed.version;
  const bool unchanged = !run.fullCheck && installed.version == run.packVersion;
  if (unchanged && finishUnchangedRelease(run, pointer, installed)) return;
  runFullUpdate(run, pointer);
}

}  // namespace

bool fetchReleaseManifest(SyncRun& run, const ReleasePointer& pointer) {
  const ProgressReport report = [&run](const std::string& phase, const std::string& detail) {
    return run.reportProgress(phase, detail);
  };
  return fetchManifest(*run.client, pointer, ReleaseReader::sync, report, run.manifest,
                       run.manifestBytes, run.result.error);
}

SyncResult sync(const SyncOptions& options) {
  SyncResult result;
  SyncRun run(options, result);
  runSync(run);
  return result;
}

}  // namespace vantis::content
