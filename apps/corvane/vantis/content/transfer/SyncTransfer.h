// The transfer step of a sync: it turns the work list (the file-list records
// that must be installed, already sorted) into installed files. Every file is
// the concatenation of blobs named by their SHA-256; missing blobs are fetched
// into the blob store one by one ("chunks") or inside whole bundles, on up to
// six worker threads, while the calling thread reports progress. Then the
// calling thread assembles each file from its blobs, checks its size and
// digest and renames it into place.
//
// Private to the library. `runTransfer` is called on the sync's calling
// thread; it starts and joins its workers itself, and no callback of
// `SyncOptions` ever runs on a worker. The planning and blob-store parts
// below are exposed for the tests; `storeBlob` and `blobPath` may run on any
// thread. Not here: fetching the bundle index (the pipeline, through the list
// readers), the HTTP rules (the client), the order of the work list (the
// pipeline).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "foundation/FileSystem.h"
#include "foundation/Result.h"
#include "http/Http.h"
#include "http/TrustStore.h"
#include "protocol/InstancePaths.h"
#include "protocol/SyncCheckedFiles.h"
#include "protocol/SyncLists.h"
#include "transfer/InPlaceFiles.h"
#include "transfer/LocalBlobs.h"
#include "transfer/Mirrors.h"
#include "transfer/ProgressMeter.h"
#include "transfer/RateLimit.h"
#include "transfer/WriteBackQueue.h"

namespace vantis::content {

// ---- Entry point -------------------------------------------------------------

// What the transfer needs to know of the run.
struct TransferContext {
  std::string url;        // the workers open their own clients on it
  // Further servers holding the same release, in the order they are tried
  // once `url` fails a download (no connection, an error status, a stall, a
  // body that fails its digest).
  std::vector<std::string> mirrors;
  std::string accessKey;  // and send it with every request
  TrustStore trustStore;  // where https requests find trusted certificates
  InstancePaths paths;    // content folder, blob store, records
  BlobCutting cutting;    // how the release cut its files; unknown when it does not say
  Encoding encoding = Encoding::gzip;  // how the release's blobs and bundles are stored
  // What the checked-files record knows of files the list does not name
  // (moved or retired ones, still in place during the transfer): blobs
  // are taken from them too.
  CheckedFiles otherFiles;
  // Asked before a file is replaced; empty counts as "not running".
  std::function<bool()> gameRunning;
  // The floor rate of every worker's requests (see HttpClient).
  std::uint64_t minBytesPerSecond = kFloorBytesPerSecond;
  std::uint64_t slowWindowSeconds = kFloorWindowSeconds;
  // Free bytes on the disk that holds a path, false when unknown; empty
  // asks the system (freeDiskSpace). Tests put in a disk of their own size.
  std::function<bool(const std::string& path, std::uint64_t& bytes)> freeSpace;
  // The most bytes per second all workers receive together; 0: no limit.
  // Under a limit, each request's floor rate is lowered to half a worker's
  // share of it, so that the limit never passes for a stalled server.
  std::uint64_t maxBytesPerSecond = 0;
  // Where set, the installed copies the renames replace are held here and
  // let go after the last rename (see ReplacedCopies); outlives the run.
  ReplacedCopies* replaced = nullptr;
};

// What one transfer did. The counters hold also when `status` failed: the
// files whose blobs all arrived are installed before a failure ends it.
struct TransferReport {
  Status status;
  std::uint64_t filesWritten = 0;
  std::uint64_t filesDeferred = 0;  // the game was running and the file in place
  std::uint64_t bytesDownloaded = 0;
  bool programsChanged = false;
  std::size_t jobs = 0;            // downloads planned
  std::size_t bundleJobs = 0;      // of which whole bundles
  std::size_t workersStarted = 0;  // worker threads that ran
  std::vector<MirrorUse> mirrors;  // what each server gave, `url` first
  FileSystems written;             // where files were placed, for the flush before the record
};

// The bundle index to plan by, asked for once the installed files have been
// read, with the number of distinct blobs they do not give: an empty index (every blob fetched alone) or the
// failure that ends the run.
using BundleIndexSource = std::function<Result<BundleIndex>(std::size_t blobsToFetch)>;

// Installs every record of `workList` (sorted, program files first) under
// the content folder. An empty work list does nothing and requests nothing.
// Steps:
//  1. looks for the blobs it needs in installed files (`findLocalBlobs`),
//     reporting "Reusing local files";
//  2. asks `index` for the bundle index, plans the blobs neither there nor
//     in the store (`planFetches`, through `planDownloads`, TransferPlan.h), refuses an update
//     the disk cannot take (`checkDiskSpace`) before it downloads anything,
//     and downloads them on `workerCount(jobs)` threads, each with its own
//     HttpClient per server, reporting "Downloading" about every 200 ms
//     until every worker has ended. A download that fails on one server is
//     tried on the next (each once, the last with the retries a lone server
//     gets), and the worker stays there for its later jobs; the download
//     fails only when no server could serve a job;
//  3. assembles and checks every file into its "<target>.part" in list
//     order, reporting "Installing" for every 64th record; then flushes them
//     all to the disk at once (one syncfs per file system) and renames each
//     into place, so that no installed name ever leads to data a power cut
//     could still take;
//  4. should a blob read from an installed file not match its digest there
//     (the file changed since it was recorded or read), the records that
//     needed it are left for a second round that takes nothing from
//     installed files: their blobs are planned and downloaded, and they are
//     assembled, in this same run.
// Progress: sets bytesTotal (download + work list + bytes already done),
// stepTotal and the done counters, never above their totals. `checked`
// (what the instance knows of its files) is read for blob reuse and updated
// for every file installed. Fails when the sync must end: "Cancelled."
// while installed copies were read, "Not enough free disk space for this
// update: ..." (no file replaced, nothing downloaded; at most the blobs step
// 1 copied into the store are there), a download failed or was cancelled
// (the files whose blobs all arrived are still installed first), "Cancelled." at
// "Installing", or a file could not be written or failed its integrity
// check (the blobs it was made from are then removed from the store, so that
// the next run fetches them again). The blob store is kept in every case;
// deleting it after a complete sync is the pipeline's job.
TransferReport runTransfer(const TransferContext& context, const std::vector<FileRecord>& workList,
                           const BundleIndexSource& index, CheckedFiles& checked,
                           ProgressMeter& meter);

// ---- Blob store ----------------------------------------------------------------

// <blobStore>/<first two characters>/<hash>.
std::string blobPath(const std::string& blobStore, const std::string& hash);

// Stores `length` bytes at `data` as the blob `hash` in the instance's blob
// store: refused with "A downloaded file failed its integrity check.
// Refused." unless their SHA-256 equals `hash`; otherwise written to a
// temporary name of its own beside the blob path (so writers of the same
// blob never share a file) and renamed over it, or failed with "Could not
// write to <cache folder>. Check there is free disk space and the folder is
// not read-only." (temporary removed). Any thread.
Status storeBlob(const InstancePaths& paths, const std::string& hash, const void* data,
                 std::size_t length);

// ---- Planning ------------------------------------------------------------------

// How many blobs the records name, each use counted: what a table of their
// blobs is sized for before it is filled, so that it never grows on the way.
std::size_t blobsNamed(const std::vector<FileRecord>& workList);

// 0 for a "binary" record whose base name is "Skarvel.exe" or "Skarvel", 1
// for every other "binary" record, 2 for the rest. Lower goes first.
int recordRank(const FileRecord& record);

// One planned download.
struct FetchJob {
  bool bundle = false;       // a whole bundle, else one blob
  std::string hash;          // the bundle's id or the blob's digest
  std::uint64_t bytes = 0;   // planned length, which progress never goes past
  // The most bytes its body may hold: what the signed documents say of it,
  // never less than the genuine object.
  std::uint64_t maxBytes = kMaxBodyBytes;
};

// The plan of one transfer; read-only while the workers run.
struct FetchPlan {
  // Every blob a record of the work list names. Hash tables: the workers
  // look up each blob of every bundle they fetch. Views of the work list's
  // digests, not copies (a first install names tens of thousands): the plan
  // must not outlive the work list it was made for.
  std::unordered_set<std::string_view> needed;
  // Blobs that are a whole file no other record shares: the assembly renames
  // them into place as they are.
  std::unordered_set<std::string_view> wholeFiles;
  std::vector<FetchJob> jobs;    // sorted by rank, program files first
  std::uint64_t downloadTotal = 0;
};

// True when the blob is already in the store.
using BlobPresent = std::function<bool(const std::string& hash)>;

// Plans the downloads for `workList`. Missing blobs (not `present`) that a
// bundle holds are fetched with the whole bundle when it is listed with a
// non-zero size, at least 5 of its blobs are wanted, the wanted bytes are at
// least half its size, and its id can be a digest at all (64 lower-case hex
// characters: no other id can ever match its body); otherwise, and for blobs
// no bundle holds, one job per blob. A job's rank is the lowest rank of the
// records that use its wanted blobs. A job's bound (`maxBytes`) is a whole
// bundle's size in the index; a blob's length in the index, else the largest
// a blob of the files that name it can be: the file's size, and no more than
// `longestBlob` (the longest blob the release's cutting makes, 0 when unknown).
FetchPlan planFetches(const std::vector<FileRecord>& workList, const BundleIndex& index,
                      const BlobPresent& present, std::uint64_t longestBlob = 0);

// The number of worker threads for `jobs` downloads: min(6, jobs).
std::size_t workerCount(std::size_t jobs);

// "/" and the job's object path on the server, for objects stored with
// `encoding`; empty for a hash shorter than 4 characters, which names
// nothing the server can hold.
std::string requestPath(const FetchJob& job, Encoding encoding = Encoding::gzip);

// ---- Shared download state -----------------------------------------------------

// The one record the workers share, owned by the calling thread for the span
// of the download. Everything not atomic, under a mutex or said to guard
// itself is set before the first worker starts and only read afterwards.
struct DownloadShared {
  const TransferContext* context = nullptr;                      // read-only
  const std::vector<FetchJob>* jobs = nullptr;                   // read-only
  const std::map<std::string, BundleRecord>* bundles = nullptr;  // read-only
  const std::unordered_set<std::string_view>* needed = nullptr;      // read-only
  const std::unordered_set<std::string_view>* wholeFiles = nullptr;  // read-only
  WriteBackQueue* writeBack = nullptr;                           // any thread may add
  std::uint64_t bodyBytes = 0;  // read-only: what each worker's body buffer starts with
  RateLimit* rateLimit = nullptr;  // the pointer read-only; the limit guards itself
  // Read-only, but for the placed flags, which guard themselves.
  const InPlaceFiles* inPlace = nullptr;
  DigestWaits digestWaits;  // guards itself

  std::atomic<std::uint64_t> nextJob{0};        // fetch-and-add hands out jobs
  std::atomic<bool> failed{false};              // set with the slot, never cleared
  std::atomic<bool> cancelled{false};           // the user asked to stop: abort transfers
  std::atomic<std::uint64_t> receivedBytes{0};  // bodies of completed jobs
  std::atomic<std::uint64_t> progressBytes{0};  // arrived so far, each job capped at its plan
  std::atomic<std::uint64_t> workersStarted{0};

  std::mutex failureMutex;  // guards `failure`
  std::string failure;      // the first failure's message

  std::vector<std::string> urls;  // read-only: `url`, then the mirrors
  std::mutex servedMutex;         // guards `served`
  std::vector<MirrorUse> served;  // per server of `urls`, in that order

  std::mutex endMutex;            // guards `workersEnded`
  std::condition_variable ended;  // signalled when a worker ends
  std::size_t workersEnded = 0;
};

// Keeps the first failure's message (later ones are dropped) and sets the
// failed flag, so that every worker stops at its next job or retry. Any
// thread.
void recordFailure(DownloadShared& shared, const std::string& message);

// ---- Assembly -------------------------------------------------------------------

// Where the blobs of the assembly lie besides the store.
struct StoreContents {
  const LocalBlobs& local;  // in installed files
  InPlaceFiles& inPlace;    // already in the files assembled in place
};

// Step 3 of `runTransfer`, on the calling thread after every worker has been
// joined. `downloadFailure` is the recorded download message, empty when the
// download completed: with one, only the records whose blobs are all in the
// store (or in installed files, or placed) are installed, and the message
// then ends the sync. `contents.local` says which blobs are read from
// installed files rather than from the store; each is checked against its
// digest as it is read, before a byte of it is written. A record with a blob
// that does not match is not installed: its part is removed, the installed
// file it came from is dropped from `checked`, and its index is added to
// `stale`. A record assembled in place gets its missing blobs from the
// store, is checked whole where it lies and renamed to its part; one that
// cannot be finished stays in the store for the next run. Adds to the
// report's file counters and sets its status.
void assembleFiles(const TransferContext& context, const std::vector<FileRecord>& workList,
                   const std::string& downloadFailure, const StoreContents& contents,
                   CheckedFiles& checked, WriteBackQueue& writeBack, ProgressMeter& meter,
                   TransferReport& report, std::vector<std::size_t>& stale);

// Adds execute bits to a regular file that starts like a program (ELF, or
// "#!"): owner always, group and others where they may read. Anything else,
// and any failure, leaves the file alone.
void makeProgramExecutable(const std::string& path);

// Asks the system to back the `length` bytes at `data` with large pages
// where it can: a download buffer of megabytes is then mapped in a few
// faults instead of one per 4 KiB page. Only a hint; failures are ignored.
void preferLargePages(void* data, std::size_t length);

}  // namespace vantis::content
