// Files assembled where their blobs land. A file that no installed file can
// give a blob of is made whole in "<blob store>/files/<its digest>":
// the download workers write each blob, once checked, straight to its
// offsets there, and the assembly checks the file whole and renames it into
// place. A cold install then writes every byte once, instead of into a blob
// file first and again into its file; a file of one blob is never a blob
// file in the store's folders, and its digest is taken beside the downloads,
// not after them on the one thread. A run stopped part way leaves these
// files in the store; the next run checks each blob where it lies and
// fetches only the ones missing.
//
// `chooseInPlaceFiles` and `makeInPlaceFiles` run on the calling thread
// before the workers start; `placeBlob` on any worker, concurrently; the
// rest on the calling thread once the workers are joined. Not here: which
// blobs are fetched (SyncTransfer.h), the rename into place (the assembly).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "foundation/Crypto.h"
#include "foundation/Result.h"
#include "protocol/SyncLists.h"
#include "transfer/LocalBlobs.h"
#include "transfer/WriteBackQueue.h"

namespace vantis::content {

// One file being assembled in place.
struct InPlaceFile {
  std::size_t record = 0;              // its index in the work list
  std::string path;                    // "<blob store>/files/<file digest>"
  std::uint64_t size = 0;              // the record's size
  std::vector<std::uint64_t> offsets;  // where each blob of the record starts
  std::vector<std::uint64_t> lengths;  // and how long it is
  // The file a stopped run left (`exists`, found before the workers start),
  // and the identity of the file the workers write into: a worker writes
  // only into the file with this identity. A file not there yet is made by
  // the first thread to write into it (`ensureInPlace`). The identity is
  // set before `made`, under `making`, and read only once `made` is seen.
  bool exists = false;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::mutex making;
  std::atomic<bool> made{false};
  // Per blob: its bytes are there, checked. Guards itself.
  std::unique_ptr<std::atomic<bool>[]> placed;
  // Blobs not yet placed; whoever places the last one finishes the digest
  // (reading back what `running` has not seen) and sends the file to the
  // disk. Guards itself.
  std::atomic<std::size_t> missing{0};
  // The digest of the file's first `hashedTo` bytes, fed by the workers
  // from the blobs they place there in file order; placed past it, a blob
  // is left to the read-back. Both guarded by `hashing`.
  std::mutex hashing;
  Sha256 running;
  std::uint64_t hashedTo = 0;
  // Bytes placed since the file was last sent to the disk: a large file
  // is sent in steps as its blobs land, so that the flush before the
  // renames does not find it all still to write. Guards itself.
  std::atomic<std::uint64_t> unsent{0};
  // The file's digest and size, written only by the worker that placed the
  // last blob and read once the workers are joined; empty when they could
  // not be had.
  std::string digest;
  std::uint64_t digestSize = 0;
};

struct InPlaceFiles {
  std::string folder;  // "<blob store>/files", where they all go
  std::vector<std::unique_ptr<InPlaceFile>> files;
  std::map<std::size_t, std::size_t> byRecord;  // work-list index to `files` index
  // Every place of each blob: (`files` index, blob position) pairs. Hash
  // tables: only ever looked up, once or more for each of a first install's
  // tens of thousands of blobs before its first request. Both hold views of
  // the work list's digests, not copies: the work list must outlive them.
  std::unordered_map<std::string_view, std::vector<std::pair<std::size_t, std::size_t>>> places;
  // Blobs that a file assembled the usual way needs too: kept in the store.
  std::unordered_set<std::string_view> alsoStored;
  // Some blob a stopped run left was found in its place. Until the workers
  // start, no other blob is placed.
  bool anyLeft = false;

  // The file the record at `index` is assembled in, or nullptr.
  InPlaceFile* forRecord(std::size_t index) const;
  // True when every place of `hash` holds it and nothing else needs it: it
  // need not be fetched.
  bool complete(const std::string& hash) const;
  // True when the blob, once fetched, must also go into the store.
  bool storeToo(const std::string& hash) const;
};

// "<blob store>/files", and "<blob store>/files/<file digest>" in it.
std::string inPlaceFolder(const std::string& blobStore);
std::string inPlacePath(const std::string& blobStore, const std::string& sha256);

// Chooses the records of `workList`, which must outlive the result,
// assembled in place: those of one or more blobs, none of them in `local`,
// whose blob lengths the bundle index gives and add up to the file's size;
// of records with the same content only the first. A file already at a
// record's path (left by a stopped run) is read and every blob found at its
// offset is marked placed. Reads, never writes.
InPlaceFiles chooseInPlaceFiles(const std::string& blobStore,
                                const std::vector<FileRecord>& workList, const BundleIndex& index,
                                const std::map<std::string, LocalBlob>& local);

// Gives every chosen file a stopped run left its length, forgets what it
// held when it is no longer the one that was read, and makes the folder
// they all go in; the files not there yet are made as their first blob
// lands. Fails with the store's "Could not write to <cache folder>..."
// message.
Status makeInPlaceFiles(InPlaceFiles& files, const std::string& cache);

// Makes the file afresh, with its length, unless it is made already. Any
// thread; false when it cannot be made.
bool ensureInPlace(InPlaceFile& file);

// The file a thread last wrote a blob into, kept open for the next blob:
// a bundle's blobs mostly go one after another into the same file, and
// opening it for each one costs more than writing it. One per thread; it
// closes the file when it goes.
class PlaceWriter {
 public:
  PlaceWriter() = default;
  ~PlaceWriter();
  PlaceWriter(const PlaceWriter&) = delete;
  PlaceWriter& operator=(const PlaceWriter&) = delete;

  // Writes `length` bytes at `offset` of `file` (made first when it is not
  // there yet), only while it is still the file with its recorded
  // identity. A long write sends its whole 4 KiB blocks straight to the
  // disk where the file system allows it. False when the file cannot be
  // had or a write fails.
  bool write(InPlaceFile& file, std::uint64_t offset, const void* data, std::size_t length);

 private:
  bool open(InPlaceFile& file);
  int directFor(InPlaceFile& file);

  const InPlaceFile* file_ = nullptr;
  int descriptor_ = -1;
  int direct_ = -1;              // the same file opened for direct writes, or -1
  bool directRefused_ = false;  // by the file system: not asked again
  char* block_ = nullptr;        // aligned, what direct writes are copied through
};

// Writes the `length` bytes of the blob `hash` at `data`, whose digest the
// caller has checked, to every place of it not yet filled. A file whose
// last blob this was gets its `digest` and `digestSize`, of its bytes as
// they lie on disk, before this returns. Fails with
// "A downloaded file failed its integrity check. Refused." when the blob is
// not as long as its places, or the store's message when a write fails.
// Any thread, each with its own `writer`.
Status placeBlob(const InPlaceFiles& files, const std::string& hash, const std::uint8_t* data,
                 std::size_t length, const std::string& cache, WriteBackQueue& writeBack,
                 PlaceWriter& writer);

// One blob of a downloaded body: its digest and its bytes there.
struct BodyBlob {
  const std::string* hash;
  const std::uint8_t* data;
  std::size_t length;
};

// The download's workers that hold blobs placed ahead of their file's
// digest, each waiting for the digest to reach them. One per download.
struct DigestWaits {
  std::mutex mutex;
  std::condition_variable advanced;  // some digest went forward, or a worker left
  std::uint64_t feeds = 0;           // guarded by `mutex`: times a digest went forward
  std::size_t placing = 0;           // guarded by `mutex`: workers placing blobs
  std::size_t waiting = 0;           // guarded by `mutex`: of them, waiting
  bool stopped = false;              // guarded by `mutex`: the download is ending
};

// Ends every wait, now and later: the download failed or was cancelled.
// Any thread.
void stopDigestWaits(DigestWaits& waits);

// A blob written past where its file's digest stood, not yet marked placed,
// whose bytes still lie in the body at `data`.
struct HeldBlob {
  InPlaceFile* file;
  std::size_t position;
  const std::uint8_t* data;
};

// One worker's part in the waits: counted among the workers placing while
// it lives. The blobs of a large file arrive in several bodies on several
// workers, and a digest can only be fed in file order: a blob placed ahead
// of it would otherwise be read back from the disk once the file is whole.
// So the worker holds such blobs, with their body, until the digest reaches
// them, as long as some other worker is still placing (and so may bring the
// bytes before them), for no more than a second, and only while no more
// than half the workers wait. One per worker thread.
class DigestFeeder {
 public:
  explicit DigestFeeder(DigestWaits& waits);
  ~DigestFeeder();
  DigestFeeder(const DigestFeeder&) = delete;
  DigestFeeder& operator=(const DigestFeeder&) = delete;

  // Feeds the held blobs as their digests reach them, waiting as said
  // above when `wait`; those it cannot feed are left to the read-back.
  // Marks them all placed and forgets them. Call before the body they lie
  // in goes.
  void feedHeld(WriteBackQueue& writeBack, bool wait = true);
  // Tells the waiting workers that a digest went forward.
  void announce();

  std::vector<HeldBlob> held;  // filled by `placeBlobRun`

 private:
  bool feedReady(WriteBackQueue& writeBack);
  bool awaitFeed(std::uint64_t& seen, std::chrono::steady_clock::time_point deadline);

  DigestWaits& waits_;
};

// `placeBlob` for blobs of one body, in body order. With a `feeder`, the
// blobs written together that lie past their file's digest are held there
// for `feedHeld` rather than marked placed. Where some of them lie
// back to back both in the body and in one file, and have no other place,
// they are written with one call, which sends its whole 4 KiB blocks
// straight to the disk: a first install's large files arrive in bundles as
// runs of hundreds of blobs, and written blob by blob through the cache
// every 4 KiB took a freshly cleared cache page (on a virtual machine that
// hands idle memory back to its host, a fault on the host too).
Status placeBlobRun(const InPlaceFiles& files, const std::vector<BodyBlob>& run,
                    const std::string& cache, WriteBackQueue& writeBack, PlaceWriter& writer,
                    DigestFeeder* feeder = nullptr);

// Fills each place of `file` still empty from the store's copy of its blob
// (`blobPath`). False when a blob is in neither.
bool fillFromStore(InPlaceFile& file, const std::vector<std::string>& blobs,
                   const std::string& blobStore);

// True when every blob of the file is placed or in the store.
bool inPlaceReady(const InPlaceFile& file, const std::vector<std::string>& blobs,
                  const std::string& blobStore);

// ---- Platform calls ---------------------------------------------------------------

// Reads `length` bytes at `offset` of the open file into `out`; false when
// it ends first.
bool readAt(int descriptor, std::uint64_t offset, std::uint64_t length, std::vector<char>& out);
// Reads up to `capacity` bytes at `offset` into `out`: how many it read,
// 0 at the file's end, -1 on failure.
std::int64_t readSomeAt(int descriptor, std::uint64_t offset, char* out, std::size_t capacity);

// Opens an in-place file, never through a link: for reading, or for writing
// when it is still the file with the identity recorded. -1 on failure.
int openInPlaceForReading(const InPlaceFile& file, std::uint64_t& device, std::uint64_t& inode);
int openInPlaceForWriting(const InPlaceFile& file, bool direct = false);

// Creates the file afresh (whatever lay there goes) with the file's length,
// and records its identity.
bool createInPlace(InPlaceFile& file);
// Sets the length of the file already there, when it is still the one read.
bool resizeInPlace(const InPlaceFile& file);

void closeFile(int descriptor);

}  // namespace vantis::content
