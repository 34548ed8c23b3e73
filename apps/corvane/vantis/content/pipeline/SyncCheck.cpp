// The update check: the documents an update reads, and its plan, without
// the update. It shares every step with `sync` up to the transfer, so that
// its figures are the ones a run acts on, and stops before any step that
// writes (the lock, the manifest copy, settling replaced programs).
// Calling thread only.

#include <string>
#include <vector>

#include "http/Http.h"
#include "pipeline/SyncSteps.h"
#include "protocol/SyncMessages.h"
#include "release/Layout.h"
#include "transfer/TransferPlan.h"

namespace vantis::content {

namespace {

UpdateCheck failedCheck(const std::string& message) {
  UpdateCheck check;
  check.error = message;
  return check;
}

Result<ReleasePointer> fetchPointer(const SyncContext& context, ProgressMeter& meter) {
  HttpResponse response;
  context.client.get(kPointerRequest, kMaxDocumentBytes, askWhileWaiting(meter), response);
  if (response.cancelled) return Failure{messages::kCancelled};
  if (response.trustStoreMissing) return Failure{messages::cannotCheck(response.error)};
  if (!response.succeeded()) {
    return Failure{!response.error.empty() ? response.error
                                           : messages::serverReturned(response.status)};
  }
  return checkPointerForUpdate(response.body);
}

// The plan of the update to `release`, counted into `check`.
Status planUpdate(const SyncContext& context, const Release& release, const Installed& installed,
                  ProgressMeter& meter, UpdateCheck& check) {
  const CheckedFiles recorded = readCheckedFiles(context.paths.checkedFiles);
  const Result<FileList> list =
      fetchWorkList(context, release, installed, recorded, false, meter);
  if (!list) return list.failure();
  if (list->work.empty()) return {};
  const Result<BundleIndex> index = fetchBundleIndex(
      context.client, release.pointer.packVersion, release.manifest, askWhileWaiting(meter));
  if (!index) return index.failure();
  const TransferContext transfer =
      makeTransferContext(context, release, unlistedFiles(recorded, list->listedPaths));
  const Result<TransferPlan> plan = planTransfer(transfer, list->work, *index, list->known, meter);
  if (!plan) return plan.failure();
  check.files = list->work.size();
  check.fileBytes = plan->workBytes;
  check.downloadBytes = plan->fetch.downloadTotal;
  return {};
}

UpdateCheck runCheck(const SyncContext& context, ProgressMeter& meter) {
  const Result<ReleasePointer> pointer = fetchPointer(context, meter);
  if (!pointer) return failedCheck(pointer.error());
  Installed installed;
  installed.record = readStateDocument(context.paths);
  installed.state = readInstalledState(installed.record, context.options.tier);
  const long long highest = highestRecordedSequence(context.paths, installed.record);
  if (highest >= 0 && pointer->sequence < highest) return failedCheck(messages::kOlderRelease);

  UpdateCheck check;
  check.installed = installed.state.version;
  check.version = pointer->packVersion;
  const Result<Release> release = fetchRelease(context, *pointer, meter);
  if (!release) return failedCheck(release.error());
  const Status planned = planUpdate(context, *release, installed, meter, check);
  if (!planned) return failedCheck(planned.error());
  check.ok = true;
  check.updateAvailable = check.files != 0 || check.installed != check.version;
  return check;
}

}  // namespace

UpdateCheck checkForUpdate(const SyncOptions& options) {
  HttpClient client;
  const SyncContext context{options, instancePaths(options.root), client, {}};
  ProgressMeter meter(options.progress);
  meter.report("Checking for updates", "");
  if (!client.open(options.url)) return failedCheck(messages::serverUnreachable(options.url));
  prepareClient(client, options);
  return runCheck(context, meter);
}

}  // namespace vantis::content
