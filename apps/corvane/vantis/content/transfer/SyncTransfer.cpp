// Fetch planning, the blob store and the download workers of the transfer
// step. The calling thread plans, starts the workers, reports progress while
// they run and joins them; the workers share only `DownloadShared`. Assembly
// of the files lives in SyncAssembly.cpp.

#include "transfer/SyncTransfer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <limits>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <unistd.h>

#include "foundation/Crypto.h"
#include "foundation/FileSystem.h"
#include "foundation/FreeMemory.h"
#include "http/Http.h"
#include "protocol/SyncMessages.h"
#include "release/FetchRule.h"
#include "release/Layout.h"
#include "transfer/TransferPlan.h"

namespace vantis::content {

namespace {

constexpr std::size_t kMaxWorkers = 6;
constexpr int kAttempts = 3;
constexpr int kRankNone = 2;
constexpr auto kReportInterval = std::chrono::milliseconds(200);

// Every temporary blob name in this process is distinct: two workers storing
// the same blob (listed in a fetched bundle and also fetched alone, or in two
// bundles) must never truncate each other's file or rename it from under
// each other. The process id keeps a leftover of an earlier run apart too.
std::atomic<std::uint64_t> sPartSerial{0};

std::string uniquePartPath(const std::string& path) {
  const std::uint64_t serial = sPartSerial.fetch_add(1);
  return path + "." + std::to_string(::getpid()) + "-" + std::to_string(serial) + ".part";
}

std::uint64_t nonNegative(std::int64_t value) {
  return value < 0 ? 0 : static_cast<std::uint64_t>(value);
}

std::string baseName(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool isClientError(const HttpResponse& response) {
  return response.status >= 400 && response.status <= 499;
}

// What planning learns per needed blob from the records that use it.
struct BlobFacts {
  int rank = kRankNone;
  // Where the work list first names it: record index, then place in it.
  std::pair<std::size_t, std::size_t> firstUse{0, 0};
  std::uint64_t sizeGuess = 0;
  // The longest the blob can be: a blob is a stretch of each file that
  // names it, and no longer than the release's longest blob.
  std::uint64_t largest = 0;
  std::size_t uses = 0;    // how many times the work list names it
  bool wholeFile = false;  // some record is this blob alone
  const std::string* named = nullptr;  // its digest in the work list, first named
};

// Looked up, and walked in no order that matters: a hash table, since a
// first install plans for tens of thousands of blobs before its first
// download, on the one thread, with the other core idle.
using BlobFactsByHash = std::unordered_map<std::string, BlobFacts>;

BlobFactsByHash collectNeeded(const std::vector<FileRecord>& workList, std::uint64_t longestBlob) {
  BlobFactsByHash facts;
  facts.reserve(blobsNamed(workList));
  for (std::size_t r = 0; r < workList.size(); ++r) {
    const FileRecord& record = workList[r];
    const int rank = recordRank(record);
    const std::uint64_t count = record.chunks.size();
    const std::uint64_t size = nonNegative(record.size);
    const std::uint64_t largest = longestBlob != 0 ? std::min(size, longestBlob) : size;
    for (std::size_t c = 0; c < record.chunks.size(); ++c) {
      const std::string& hash = record.chunks[c];
      const auto [entry, isNew] = facts.try_emplace(hash);
      BlobFacts& blob = entry->second;
      if (isNew) {
        blob.named = &hash;
        blob.firstUse = {r, c};
      }
      if (isNew || rank < blob.rank) blob.rank = rank;
      blob.sizeGuess = size / count;
      blob.largest = std::max(blob.largest, largest);
      blob.uses += 1;
      blob.wholeFile = blob.wholeFile || count == 1;
    }
  }
  return facts;
}

// One blob fetched alone: the bytes the plan expects, and its bound.
FetchJob chunkJob(const std::string& hash, const std::unordered_map<std::string, BlobLocation>& blobs,
                  const BlobFacts& facts) {
  const auto location = blobs.find(hash);
  if (location == blobs.end()) return FetchJob{false, hash, facts.sizeGuess, facts.largest};
  const std::uint64_t length = nonNegative(location->second.length);
  return FetchJob{false, hash, length, length};
}

// The missing blobs one bundle holds, gathered as each blob is looked up
// once: a first install plans tens of thousands, and each lookup in tables
// that large is a wait for memory.
struct WantedInBundle {
  std::vector<const std::string*> blobs;  // keys of the plan's facts
  std::uint64_t bytes = 0;                // their lengths in the index
  int rank = kRankNone;                   // the lowest of their ranks
  // The earliest first use among them.
  std::pair<std::size_t, std::size_t> firstUse{std::numeric_limits<std::size_t>::max(), 0};
};

bool fetchWhole(const std::string& id, const WantedInBundle& wanted, const BundleIndex& index,
                std::uint64_t& size) {
  const auto bundle = index.bundles.find(id);
  size = bundle == index.bundles.end() ? 0 : nonNegative(bundle->second.size);
  return fetchBundleWhole(id, size, wanted.blobs.size(), wanted.bytes);
}

// ---- Workers -------------------------------------------------------------------

// Sleeps up to `ms`, waking early once a failure (or a cancel) was recorded.
void pauseUnlessFailed(DownloadShared& shared, int ms) {
  constexpr int kSlice = 50;
  for (int waited = 0; waited < ms && !shared.failed; waited += kSlice) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kSlice));
  }
}

// Waits as long as the shared rate limit asks for `bytes` that arrived, in
// slices, so that a cancel is not kept waiting.
void throttle(DownloadShared& shared, std::uint64_t bytes) {
  constexpr auto kSlice = std::chrono::milliseconds(50);
  std::chrono::microseconds wait = shared.rateLimit->take(bytes);
  while (wait.count() > 0 && !shared.cancelled) {
    const std::chrono::microseconds step = std::min<std::chrono::microseconds>(wait, kSlice);
    std::this_thread::sleep_for(step);
    wait -= step;
  }
}

// GETs the job with up to `attempts` attempts, feeding the progress counter
// as bytes arrive so that a slow link still shows movement. What an attempt
// counted is taken back when it fails; a 4xx is final at once.
void fetchWithRetries(DownloadShared& shared, HttpClient& client, const FetchJob& job,
                      const std::string& path, int attempts, HttpResponse& response,
                      std::uint64_t& counted) {
  std::uint64_t seen = 0;  // body bytes of this attempt the rate limit was told of
  const HttpProgress onBytes = [&](unsigned long received, unsigned long) {
    const std::uint64_t capped = std::min<std::uint64_t>(received, job.bytes);
    if (capped > counted) {
      shared.progressBytes += capped - counted;
      counted = capped;
    }
    if (received > seen && shared.rateLimit->limits()) throttle(shared, received - seen);
    seen = std::max<std::uint64_t>(seen, received);
    return !shared.cancelled;
  };
  for (int attempt = 1; attempt <= attempts; ++attempt) {
    if (shared.failed) break;
    counted = 0;
    seen = 0;
    client.get(path, job.maxBytes, onBytes, response);
    if (response.succeeded()) break;
    shared.progressBytes -= counted;
    counted = 0;
    if (isClientError(response)) break;
    // No wait after the last attempt: nothing follows it.
    if (attempt < attempts) pauseUnlessFailed(shared, attempt * 500);
  }
}

// Writes a checked blob into the store under a temporary name and renames
// it: a blob file is whole or absent, since its existence is what marks it
// as stored.
Status writeStoredBlob(const InstancePaths& paths, const std::string& hash, const void* data,
                       std::size_t length) {
  const std::string path = blobPath(paths.blobStore, hash);
  const std::string part = uniquePartPath(path);
  makeParentDirectories(path);
  const bool stored =
      writeWholeFile(part, data, length) && std::rename(part.c_str(), path.c_str()) == 0;
  if (stored) return {};
  std::remove(part.c_str());
  return Failure{messages::cacheNotWritable(paths.cache)};
}

// What a worker keeps from job to job: one body buffer, whose pages are
// taken from the system once, not once per download; the file its blobs
// last went into, open for the next ones; and the run of a bundle's blobs
// being gathered.
struct WorkerBuffers {
  explicit WorkerBuffers(DigestWaits& waits) : feeder(waits) {}
  HttpResponse response;
  PlaceWriter writer;
  std::vector<BodyBlob> run;
  DigestFeeder feeder;
};

// A blob the worker has: written straight into the files assembled in
// place, and into the store for the files that are not (or that become the
// blob as it is). `inCheckedBundle`: its bytes come from a bundle whose
// digest held.
Status keepBlob(DownloadShared& shared, const std::string& hash, const std::uint8_t* data,
                std::size_t length, bool inCheckedBundle, PlaceWriter& writer) {
  // A checked bundle holds what the signed index put there, and a file
  // assembled in place is checked whole before it is used: a digest of each
  // of its blobs as well would only cost time. A stored blob is checked
  // always, since its name is all later runs go by.
  const bool placedOnly = inCheckedBundle && !shared.inPlace->storeToo(hash);
  if (!placedOnly && !Sha256::equals(Sha256::of(data, length), hash)) {
    return Failure{messages::kDownloadCorrupt};
  }
  const InstancePaths& paths = shared.context->paths;
  const Status placed = placeBlob(*shared.inPlace, hash, data, length, paths.cache,
                                  *shared.writeBack, writer);
  if (!placed || !shared.inPlace->storeToo(hash)) return placed;
  const Status stored = writeStoredBlob(paths, hash, data, length);
  if (!stored) return stored;
  // A blob that becomes a file as it is goes to the disk while the download
  // goes on; the others are copied into their files and deleted, and are
  // better never written out at all.
  if (shared.wholeFiles->count(hash) != 0) {
    shared.writeBack->add(blobPath(paths.blobStore, hash));
  }
  return {};
}

// An index entry inside the body; false for one that reaches past its end
// or has a negative place, so that no read ever leaves the body.
bool withinBody(const BundleRecord::Blob& blob, std::size_t bodySize) {
  if (blob.offset < 0 || blob.length < 0) return false;
  const std::uint64_t offset = static_cast<std::uint64_t>(blob.offset);
  const std::uint64_t length = static_cast<std::uint64_t>(blob.length);
  return offset <= bodySize && length <= bodySize - offset;
}

// Places the run of blobs gathered so far and starts a new one.
Status placeRun(DownloadShared& shared, WorkerBuffers& own) {
  const Status placed = placeBlobRun(*shared.inPlace, own.run, shared.context->paths.cache,
                                     *shared.writeBack, own.writer, &own.feeder);
  own.run.clear();
  return placed;
}

Status placeBundle(DownloadShared& shared, const FetchJob& job,
                   const std::vector<std::uint8_t>& body, WorkerBuffers& own) {
  const auto bundle = shared.bundles->find(job.hash);
  const bool intact = bundle != shared.bundles->end() &&
                      Sha256::equals(Sha256::of(body.data(), body.size()), job.hash);
  if (!intact) return Failure{messages::kBundleCorrupt};
  // Blobs are written straight out of the body: no copy of a bundle is made.
  // Those that only files assembled in place need are gathered into runs,
  // which a large file's blobs mostly form, and written a run at a time.
  std::vector<BodyBlob>& run = own.run;
  run.clear();
  for (const BundleRecord::Blob& blob : bundle->second.blobs) {
    if (shared.needed->count(blob.digest) == 0) continue;
    if (!withinBody(blob, body.size())) return Failure{messages::kBundleShort};
    const std::uint8_t* start = body.data() + blob.offset;
    const std::size_t length = static_cast<std::size_t>(blob.length);
    if (!shared.inPlace->storeToo(blob.digest)) {
      run.push_back(BodyBlob{&blob.digest, start, length});
      continue;
    }
    const Status placed = placeRun(shared, own);
    if (!placed) return placed;
    const Status stored = keepBlob(shared, blob.digest, start, length, true, own.writer);
    if (!stored) return stored;
  }
  return placeRun(shared, own);
}

Status storeBundle(DownloadShared& shared, const FetchJob& job,
                   const std::vector<std::uint8_t>& body, WorkerBuffers& own) {
  const Status placed = placeBundle(shared, job, body, own);
  // The held blobs lie in the body: they are fed before it goes.
  own.feeder.feedHeld(*shared.writeBack, placed.ok());
  return placed;
}

// A body that is not what its digest says is the server's fault, and
// another server may have the genuine one; a blob that cannot be written is
// this computer's, and no server can help.
bool serverAtFault(const Status& stored) {
  const std::string& message = stored.error();
  return message == messages::kDownloadCorrupt || message == messages::kBundleCorrupt ||
         message == messages::kBundleShort;
}

void noteServed(DownloadShared& shared, std::size_t server, std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(shared.servedMutex);
  shared.served[server].bytes += bytes;
  shared.served[server].requests += 1;
}

// Every body lands in fresh memory unless the buffer it goes to is already
// there, and fresh memory is what a download costs most on a busy machine:
// the system clears and maps every page, one fault per 4 KiB. So each worker
// starts with a buffer large enough for the largest body the plan holds,
// backed by large pages where the system has them; pages never written cost
// nothing. A body larger than that still grows.
constexpr std::uint64_t kMaxBodyReserve = 64u << 20;

// The planned size of a blob of a file of several blobs is a guess (the
// file's size over its blobs) a little short of the blob it is; such a
// guess lies above half the longest blob, and the blob is likely that long.
std::uint64_t likelyBodyBytes(const FetchJob& job, std::uint64_t longest) {
  const bool blobOfLargerFile = !job.bundle && longest != 0 && job.bytes > longest / 2;
  return blobOfLargerFile ? std::max(job.bytes, longest) : job.bytes;
}

std::uint64_t bodyBytesFor(const FetchPlan& plan, std::uint64_t longest) {
  std::uint64_t largest = 0;
  for (const FetchJob& job : plan.jobs) largest = std::max(largest, likelyBodyBytes(job, longest));
  return std::min(largest, kMaxBodyReserve);
}

void reserveBody(std::vector<std::uint8_t>& body, std::uint64_t bytes) {
  constexpr std::uint64_t kLargePagesFrom = 2u << 20;
  if (bytes <= body.capacity()) return;
  body.reserve(static_cast<std::size_t>(bytes));
  if (bytes >= kLargePagesFrom) preferLargePages(body.data(), body.capacity());
}

enum class Attempt { done, nextServer, stop };

// The job on the worker's current server: `lastChance` when no other server
// is left to try it on, so that its failure is the download's. A lone
// server gets the retries; with servers left, one failure moves on.
Attempt tryOnServer(DownloadShared& shared, WorkerMirrors& servers, const FetchJob& job,
                    const std::string& path, bool lastChance, WorkerBuffers& own) {
  HttpResponse& response = own.response;
  HttpClient* client = servers.client();
  if (!client) {
    if (lastChance) recordFailure(shared, messages::serverUnreachable(servers.currentUrl()));
    return lastChance ? Attempt::stop : Attempt::nextServer;
  }
  std::uint64_t counted = 0;
  fetchWithRetries(shared, *client, job, path, lastChance ? kAttempts : 1, response, counted);
  if (shared.failed) return Attempt::stop;
  if (!response.succeeded()) {
    if (lastChance) recordFailure(shared, messages::downloadFailed(response.error));
    return lastChance ? Attempt::stop : Attempt::nextServer;
  }
  const Status stored = job.bundle ? storeBundle(shared, job, response.body, own)
                                   : keepBlob(shared, job.hash, response.body.data(),
                                              response.body.size(), false, own.writer);
  if (!stored) {
    shared.progressBytes -= counted;
    if (!lastChance && serverAtFault(stored)) return Attempt::nextServer;
    recordFailure(shared, stored.error());
    return Attempt::stop;
  }
  shared.receivedBytes += response.body.size();
  noteServed(shared, servers.current(), response.body.size());
  // The job is done: count it as planned, whatever the guess was.
  shared.progressBytes += job.bytes - counted;
  return Attempt::done;
}

// One job from request to stored blobs, on each server at most once from
// the worker's current one on. False ends the worker: a failure was
// recorded, or another worker's failure (or a cancel) was seen.
bool runJob(DownloadShared& shared, WorkerMirrors& servers, const FetchJob& job,
            WorkerBuffers& own) {
  const std::string path = requestPath(job, shared.context->encoding);
  if (path.empty()) {
    // A name too short to be a digest can never pass the integrity check.
    recordFailure(shared, messages::kDownloadCorrupt);
    return false;
  }
  for (std::size_t tried = 1; tried <= servers.count(); ++tried) {
    const bool lastChance = tried == servers.count();
    switch (tryOnServer(shared, servers, job, path, lastChance, own)) {
      case Attempt::done:
        return true;
      case Attempt::stop:
        return false;
      case Attempt::nextServer:
        servers.moveOn();
        break;
    }
  }
  return false;
}

// A worker's share of a rate limit can lie below the floor rate (six
// workers under 6 KiB/s get 1 KiB/s each): the floor then goes down to half
// that share, or off for a limit of a few bytes, so that waiting for the
// limit never reads as a server too slow to keep.
std::uint64_t floorUnderLimit(std::uint64_t floor, std::uint64_t limit) {
  if (limit == 0) return floor;
  return std::min(floor, limit / (2 * kMaxWorkers));
}

void prepareWorkerClient(DownloadShared& shared, HttpClient& client) {
  const TransferContext& context = *shared.context;
  client.accessKey = context.accessKey;
  client.trustStore = context.trustStore;
  client.minBytesPerSecond = floorUnderLimit(context.minBytesPerSecond, context.maxBytesPerSecond);
  client.slowWindowSeconds = context.slowWindowSeconds;
  // A cancel ends a transfer under way at once, also one stalled on a
  // server that sends nothing (the progress function would not be asked).
  client.cancel = &shared.cancelled;
}

void workerLoop(DownloadShared& shared) {
  WorkerMirrors servers(shared.urls,
                        [&shared](HttpClient& client) { prepareWorkerClient(shared, client); });
  const std::uint64_t jobCount = shared.jobs->size();
  WorkerBuffers own(shared.digestWaits);
  reserveBody(own.response.body, shared.bodyBytes);
  for (;;) {
    const std::uint64_t index = shared.nextJob.fetch_add(1);
    if (index >= jobCount || shared.failed) return;
    if (!runJob(shared, servers, (*shared.jobs)[index], own)) return;
  }
}

void worker(DownloadShared& shared) {
  shared.workersStarted += 1;
  workerLoop(shared);
  std::lock_guard<std::mutex> lock(shared.endMutex);
  shared.workersEnded += 1;
  shared.ended.notify_all();
}

void cancelDownload(DownloadShared& shared) {
  // The flag goes up before `cancelled`, so a worker whose transfer the
  // cancel aborts always finds the failure already recorded and ends quietly.
  recordFailure(shared, messages::kCancelled);
  shared.cancelled = true;
}

void setDownloadProgress(ProgressMeter& meter, DownloadShared& shared, std::uint64_t bytesBefore) {
  const std::uint64_t arrived = shared.progressBytes;
  meter.progress.bytesDone = bytesBefore + arrived;
  meter.progress.stepDone = arrived;
}

// Reports "Downloading" until every worker has ended. The loop runs to the
// last worker's end, not just until every job is taken: on a slow link the
// last jobs can take minutes, and the display and the cancel must live on
// through them.
void reportUntilEnded(ProgressMeter& meter, DownloadShared& shared, std::size_t threads,
                      std::uint64_t bytesBefore) {
  for (;;) {
    setDownloadProgress(meter, shared, bytesBefore);
    if (!meter.report("Downloading", "")) {
      cancelDownload(shared);
      return;
    }
    std::unique_lock<std::mutex> lock(shared.endMutex);
    const bool allEnded = shared.ended.wait_for(
        lock, kReportInterval, [&] { return shared.workersEnded == threads; });
    if (allEnded) return;
  }
}

// Starts the workers, reports while they run, joins them. Returns the
// recorded failure, empty when every job completed.
std::string download(const TransferContext& context, const FetchPlan& plan,
                     const BundleIndex& index, const InPlaceFiles& inPlace,
                     WriteBackQueue& writeBack, ProgressMeter& meter, TransferReport& report) {
  DownloadShared shared;
  shared.inPlace = &inPlace;
  shared.writeBack = &writeBack;
  shared.context = &context;
  shared.jobs = &plan.jobs;
  shared.bundles = &index.bundles;
  shared.needed = &plan.needed;
  shared.wholeFiles = &plan.wholeFiles;
  shared.bodyBytes = bodyBytesFor(plan, context.cutting.maxSize);
  RateLimit rateLimit(context.maxBytesPerSecond);
  shared.rateLimit = &rateLimit;
  shared.urls.push_back(context.url);
  shared.urls.insert(shared.urls.end(), context.mirrors.begin(), context.mirrors.end());
  for (const std::string& url : shared.urls) shared.served.push_back(MirrorUse{url});

  const std::uint64_t bytesBefore = meter.progress.bytesDone;
  const std::size_t threads = workerCount(plan.jobs.size());
  std::vector<std::thread> workers;
  workers.reserve(threads);
  try {
    for (std::size_t i = 0; i < threads; ++i) workers.emplace_back(worker, std::ref(shared));
  } catch (...) {
    // The threads already running must be stopped and joined before the
    // exception may leave: a joinable thread's destruction ends the process.
    cancelDownload(shared);
    for (std::thread& thread : workers) thread.join();
    throw;
  }
  reportUntilEnded(meter, shared, threads, bytesBefore);
  for (std::thread& thread : workers) thread.join();

  setDownloadProgress(meter, shared, bytesBefore);
  report.bytesDownloaded += shared.receivedBytes;
  report.workersStarted = shared.workersStarted;
  addMirrorUse(report.mirrors, shared.served);
  std::lock_guard<std::mutex> lock(shared.failureMutex);
  return shared.failure;
}

// Downloads what `plan` says and assembles the work list.
void transferRound(const TransferContext& context, const std::vector<FileRecord>& workList,
                   const BundleIndex& index, const LocalBlobs& local, const FetchPlan& plan,
                   InPlaceFiles& inPlace, CheckedFiles& checked, ProgressMeter& meter,
                   TransferReport& report, std::vector<std::size_t>& stale) {
  report.jobs += plan.jobs.size();
  report.bundleJobs += static_cast<std::size_t>(std::count_if(
      plan.jobs.begin(), plan.jobs.end(), [](const FetchJob& job) { return job.bundle; }));

  Progress& progress = meter.progress;
  progress.bytesTotal = plan.downloadTotal + workBytes(workList) + progress.bytesDone;
  progress.stepDone = 0;
  progress.stepTotal = plan.downloadTotal;

  WriteBackQueue writeBack;
  std::string downloadFailure;
  if (!plan.jobs.empty()) {
    downloadFailure = download(context, plan, index, inPlace, writeBack, meter, report);
  }
  // The workers' heaps keep their body buffers, freed; the assembly's
  // records would otherwise come on top of those.
  giveFreedMemoryBack();
  const StoreContents contents{local, inPlace};
  assembleFiles(context, workList, downloadFailure, contents, checked, writeBack, meter, report,
                stale);
}

}  // namespace

// ---- Blob store ------------------------------------------------------------------

std::string blobPath(const std::string& blobStore, const std::string& hash) {
  return joinPath(blobStore, hash.substr(0, 2) + "\\" + hash);
}

Status storeBlob(const InstancePaths& paths, const std::string& hash, const void* data,
                 std::size_t length) {
  if (!Sha256::equals(Sha256::of(data, length), hash)) return Failure{messages::kDownloadCorrupt};
  return writeStoredBlob(paths, hash, data, length);
}

// ---- Planning ----------------------------------------------------------------------

std::size_t blobsNamed(const std::vector<FileRecord>& workList) {
  std::size_t named = 0;
  for (const FileRecord& record : workList) named += record.chunks.size();
  return named;
}

int recordRank(const FileRecord& record) {
  if (record.target != kTargetBinary) return 2;
  const std::string name = baseName(record.path);
  return name == "Skarvel.exe" || name == "Skarvel" ? 0 : 1;
}

FetchPlan planFetches(const std::vector<FileRecord>& workList, const BundleIndex& index,
                      const BlobPresent& present, std::uint64_t longestBlob) {
  FetchPlan plan;
  const BlobFactsByHash facts = collectNeeded(workList, longestBlob);
  plan.needed.reserve(facts.size());
  std::vector<std::string> chunks;
  std::map<std::string, WantedInBundle> wantedPerBundle;
  for (const auto& [hash, blob] : facts) {
    plan.needed.insert(*blob.named);
    if (blob.wholeFile && blob.uses == 1) plan.wholeFiles.insert(*blob.named);
    if (present(hash)) continue;
    const auto location = index.blobs.find(hash);
    if (location == index.blobs.end()) {
      chunks.push_back(hash);
      continue;
    }
    WantedInBundle& wanted = wantedPerBundle[location->second.bundle];
    wanted.blobs.push_back(&hash);
    wanted.bytes += nonNegative(location->second.length);
    wanted.rank = std::min(wanted.rank, blob.rank);
    wanted.firstUse = std::min(wanted.firstUse, blob.firstUse);
  }

  struct WholeBundle {
    const std::string* id;
    const WantedInBundle* wanted;
    std::uint64_t size;
  };
  std::vector<WholeBundle> bundles;
  for (const auto& [id, wanted] : wantedPerBundle) {
    std::uint64_t size = 0;
    if (fetchWhole(id, wanted, index, size)) {
      bundles.push_back({&id, &wanted, size});
      continue;
    }
    for (const std::string* hash : wanted.blobs) chunks.push_back(*hash);
  }
  // Bundles in the order the work list first names their blobs: a large
  // file's bundles then arrive nearly in file order, and the file's digest
  // is taken from each blob as it lands instead of read back from the disk.
  std::stable_sort(bundles.begin(), bundles.end(), [](const auto& a, const auto& b) {
    return a.wanted->firstUse < b.wanted->firstUse;
  });
  std::vector<std::pair<FetchJob, int>> ranked;
  for (const WholeBundle& bundle : bundles) {
    ranked.push_back({FetchJob{true, *bundle.id, bundle.size, bundle.size}, bundle.wanted->rank});
    plan.downloadTotal += bundle.size;
  }
  // In digest order, not the table's: the same plan on every run.
  std::sort(chunks.begin(), chunks.end());
  for (const std::string& hash : chunks) {
    const BlobFacts& blob = facts.at(hash);
    FetchJob job = chunkJob(hash, index.blobs, blob);
    plan.downloadTotal += job.bytes;
    ranked.push_back({std::move(job), blob.rank});
  }

  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& a, const auto& b) { return a.second < b.second; });
  plan.jobs.reserve(ranked.size());
  for (auto& entry : ranked) plan.jobs.push_back(std::move(entry.first));
  return plan;
}

std::size_t workerCount(std::size_t jobs) { return std::min(kMaxWorkers, jobs); }

std::string requestPath(const FetchJob& job, Encoding encoding) {
  const std::string object =
      objectFile(job.bundle ? ObjectKind::bundle : ObjectKind::blob, job.hash, encoding);
  return object.empty() ? object : "/" + object;
}

// ---- Download ------------------------------------------------------------------------

void recordFailure(DownloadShared& shared, const std::string& message) {
  {
    std::lock_guard<std::mutex> lock(shared.failureMutex);
    if (shared.failure.empty()) shared.failure = message;
    shared.failed = true;
  }
  // A worker holding blobs for a digest must not keep a cancel waiting.
  stopDigestWaits(shared.digestWaits);
}

namespace {

// The distinct blobs of the work list that installed files do not give.
// Only counted, so the table holds views of the work list's digests rather
// than a copy of each.
std::size_t blobsToFetch(const std::vector<FileRecord>& workList, const LocalBlobs& local) {
  std::unordered_set<std::string_view> wanted;
  wanted.reserve(blobsNamed(workList));
  for (const FileRecord& record : workList) {
    for (const std::string& blob : record.chunks) {
      if (local.blobs.count(blob) == 0) wanted.insert(blob);
    }
  }
  return wanted.size();
}

}  // namespace

TransferReport runTransfer(const TransferContext& context, const std::vector<FileRecord>& workList,
                           const BundleIndexSource& indexSource, CheckedFiles& checked,
                           ProgressMeter& meter) {
  TransferReport report;
  if (workList.empty()) return report;
  // Before planning: a blob installed files hold is read from there, not
  // downloaded.
  Result<LocalBlobs> local = findLocalBlobs(workList, context, checked, meter);
  if (!local) {
    report.status = local.failure();
    return report;
  }
  const Result<BundleIndex> fetchedIndex = indexSource(blobsToFetch(workList, *local));
  if (!fetchedIndex) {
    report.status = fetchedIndex.failure();
    return report;
  }
  const BundleIndex& index = *fetchedIndex;
  InPlaceFiles inPlace =
      chooseInPlaceFiles(context.paths.blobStore, workList, index, local->blobs);
  const FetchPlan plan = planDownloads(context, workList, index, local->blobs, &inPlace);
  // Refused before the blob store is even made: an update that cannot fit
  // must not leave half its blobs behind on a full disk.
  report.status = checkDiskSpace(context, diskSpaceNeeded(plan, workList));
  if (!report.status) return report;
  // Reading the lists and planning freed tens of megabytes on this thread's
  // heap, which keeps them: given back before the workers take their body
  // buffers, or those would come on top.
  giveFreedMemoryBack();
  makeDirectories(context.paths.blobStore);
  report.status = makeInPlaceFiles(inPlace, context.paths.cache);
  if (!report.status) return report;

  std::vector<std::size_t> stale;
  transferRound(context, workList, index, *local, plan, inPlace, checked, meter, report, stale);
  if (!report.status || stale.empty()) return report;
  // An installed file changed under its record: what it was to give is
  // downloaded now, and nothing more is taken from installed files.
  std::vector<FileRecord> again;
  for (const std::size_t i : stale) again.push_back(workList[i]);
  std::vector<std::size_t> staleAgain;
  const FetchPlan planAgain = planDownloads(context, again, index, {});
  InPlaceFiles none;
  transferRound(context, again, index, LocalBlobs(), planAgain, none, checked, meter, report,
                staleAgain);
  return report;
}

}  // namespace vantis::content
