// The steps of `sync` that its two halves share: the release check and the
// short path for an unchanged release (SyncPipeline.cpp) and the full update
// (SyncUpdate.cpp). Each step takes what it reads and returns what it
// produces; only the top of each half writes the `SyncResult`.
//
// Private to the pipeline; calling thread only.
#pragma once

#include <set>
#include <functional>
#include <string>
#include <vector>

#include "foundation/FileSystem.h"
#include "foundation/Json.h"
#include "foundation/Result.h"
#include "http/Http.h"
#include "pipeline/Sync.h"
#include "protocol/InstancePaths.h"
#include "protocol/SyncMessages.h"
#include "protocol/SyncPointer.h"
#include "protocol/SyncState.h"
#include "release/Manifest.h"
#include "protocol/SyncCheckedFiles.h"
#include "protocol/SyncLists.h"
#include "transfer/ProgressMeter.h"
#include "transfer/SyncTransfer.h"

namespace vantis::content {

// What every step of one sync may read; fixed before the first step.
struct SyncContext {
  const SyncOptions& options;
  InstancePaths paths;
  HttpClient& client;  // the calling thread's, opened on the server
  // The servers in the order this run tries them: the one `client` is open
  // on first. Empty when the options name no mirrors (then only `client`).
  std::vector<std::string> servers;
};

// `url`, then the mirrors, as the options give them.
std::vector<std::string> serverUrls(const SyncOptions& options);

// The servers' release pointers, each asked for in turn.
struct PointerChoice {
  bool cancelled = false;  // the caller stopped a request
  // The verified pointer with the highest sequence (the first server's among
  // equals), else the first server's refusal.
  Result<ReleasePointer> pointer = Failure{};
  bool refused = false;           // some server answered with a pointer that failed
  HttpResponse unanswered;        // the first server's failed response, when none answered
  std::vector<std::string> order; // the winner first, then the others as given
};

// Asks every server of the options for its pointer (with `client`, opened on
// each in turn and left open on the winner, or on the first server when
// none won).
PointerChoice choosePointer(const SyncOptions& options, HttpClient& client, ProgressMeter& meter);



// The release the verified pointer names, once its manifest is in hand.
struct Release {
  ReleasePointer pointer;
  Manifest manifest;
  std::string manifestBytes;  // as received, for the manifest copy
};

// What the previous installed-state record says, as the update needs it.
struct Installed {
  JsonValue record;      // Null when there was none
  InstalledState state;  // for the tier being synced
};

// True when the options' game-running callback says so.
bool gameIsRunning(const SyncOptions& options);

// Gives a freshly opened client what the options say of every request: the
// access key, where trusted certificates are, and the floor rate.
void prepareClient(HttpClient& client, const SyncOptions& options);

// The progress function of one request of the calling thread. A request
// that is still waiting on the server a second after it began asks the
// caller again (the phase and detail already shown), once a second, and a
// false answer cancels it; a quick request asks nothing. Make it just before
// the request: the second counts from then.
HttpProgress askWhileWaiting(ProgressMeter& meter);

// Fetches the manifest the pointer names (reporting "Checking for updates",
// "manifest" first; the answer is ignored) and checks it. Fails with
// "Could not download the update manifest.", "The update manifest did not
// match its signature. Refused.", "The update manifest was malformed: " +
// the parser's message, or "Cancelled." when the caller stopped the request.
Result<Release> fetchRelease(const SyncContext& context, const ReleasePointer& pointer,
                             ProgressMeter& meter);

// Writes the tier's engine configuration from the manifest and records its
// data folder and whether the game was found in `result`.
Status writeTierConfiguration(const SyncContext& context, const Manifest& manifest,
                              SyncResult& result);

// Records the release as installed for the options' tier. Everything the
// run wrote is put on the disk first (`written`, and the file systems of the
// cache and of the engine configuration), then the record itself: a power
// cut must never leave a record that vouches for files still unwritten.
// Fails with "Could not record the installed version." when either flush
// or the write fails.
Status recordInstalledRelease(const SyncContext& context, const ReleasePointer& pointer,
                              const Installed& installed, const FileSystems& written);

// Fetches the tier's file list (checked against the manifest) and reads it
// against the installed files and `recorded` (the checked-files record):
// what must be installed, what the release names, its program files. Reads
// installed files (reporting "Preparing" or "Verifying files"). With
// `keepSections` the list comes by its sections, kept in the instance's
// cache; without, it comes whole and nothing is written. A full check when
// the options or the state record ask for one.
Result<FileList> fetchWorkList(const SyncContext& context, const Release& release,
                               const Installed& installed, const CheckedFiles& recorded,
                               bool keepSections, ProgressMeter& meter);

// What the record knows of files the list does not name: moved or retired
// files stay in place until the transfer is over, and their blobs serve it.
CheckedFiles unlistedFiles(const CheckedFiles& recorded, const std::set<std::string>& listed);

// The transfer's view of the run: the options' server, key, trust store,
// floor rate, game check and free-space measure, the instance's paths and the
// release's cutting.
TransferContext makeTransferContext(const SyncContext& context, const Release& release,
                                    CheckedFiles otherFiles);

// The full update path: taken for a new release, a full check, or when the
// installed programs no longer match their record. Fetches the manifest and
// the tier's file list, installs what is missing or stale (reusing other
// instances' copies, then downloading) and completes the update.
void runFullUpdate(const SyncContext& context, const ReleasePointer& pointer,
                   const Installed& installed, ProgressMeter& meter, SyncResult& result);

// Runs `fetch` with the context's client, then, while it fails for any
// reason but the caller's stop, with a client on each further server in
// turn: a document is checked against the digest a verified document names,
// so any server that holds it will do. Fails with the first server's
// message when none could serve it.
template <typename T>
Result<T> fromAnyServer(const SyncContext& context,
                        const std::function<Result<T>(HttpClient&)>& fetch) {
  Result<T> first = fetch(context.client);
  for (std::size_t i = 1; i < context.servers.size() && !first; ++i) {
    if (first.error() == messages::kCancelled) return first;
    HttpClient other;
    if (!other.open(context.servers[i])) continue;
    prepareClient(other, context.options);
    Result<T> again = fetch(other);
    if (again || again.error() == messages::kCancelled) return again;
  }
  return first;
}

}  // namespace vantis::content
