// How a release cuts its files into blobs, and the one cutter that does it.
// The publisher names blobs by cutting every file; the synchroniser cuts the
// installed copy of a changed file the same way and keeps every blob whose
// digest the new list names. Both must find the very same boundaries in the
// same bytes, so both use the code here and the manifest names every
// parameter it needs.
//
// Two methods:
//  - fixed: every blob is `maxSize` bytes but a file's last. A byte inserted
//    near a file's start moves every boundary after it, so the whole rest of
//    the file changes. The manifest says so with "chunkSize" alone.
//  - gear: boundaries fall where the content says, so an insertion changes
//    only the blobs around it and the boundaries after it fall back into
//    step. A rolling hash over the last 64 bytes, h = (h << 1) + table[byte],
//    is updated for every byte from the blob's `minSize`th on (the first
//    minSize - 1 bytes are skipped, which is what keeps blobs from being
//    tiny and the cutting fast). After each hashed byte, with L the blob's
//    length so far, the blob ends there when
//        L >= maxSize, or
//        L <  averageSize and the top log2(averageSize) + normalization bits of h are all 0, or
//        L >= averageSize and the top log2(averageSize) - normalization bits of h are all 0;
//    the stricter test before the average and the looser one after it keep
//    most blobs near the average. The file's last blob ends with the file.
//    table[i] is the first 8 bytes, read big-endian, of the SHA-256 of the
//    seed's bytes followed by the single byte i (0 to 255). The hash starts
//    at 0 for every blob and is kept modulo 2^64.
//
// Pure values and functions; a `BlobCutter` is read-only once built and may
// be shared by any number of threads, each cutting its own stream with its
// own `CutState` (or `BlobStream`, which also names each blob by its
// SHA-256). Not here: reading files, what is done with the blobs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Json.h"

namespace vantis::content {

class Sha256;

enum class CutMethod { unknown, fixed, gear };

struct BlobCutting {
  CutMethod method = CutMethod::unknown;
  std::uint64_t minSize = 0;      // gear: no blob but a file's last is shorter
  std::uint64_t averageSize = 0;  // gear: a power of two, where the tests change
  std::uint64_t maxSize = 0;      // fixed: every blob but a file's last; gear: the longest
  int normalization = 0;          // gear: bits added before, and taken after, the average
  std::string seed;               // gear: the table's seed
};

bool operator==(const BlobCutting& a, const BlobCutting& b);
bool operator!=(const BlobCutting& a, const BlobCutting& b);

// The seed and normalization the publisher uses unless told otherwise.
inline constexpr const char* kGearSeed = "skarvel-gear-1";
inline constexpr int kGearNormalization = 2;

BlobCutting fixedCutting(std::uint64_t size);
BlobCutting gearCutting(std::uint64_t minSize, std::uint64_t averageSize, std::uint64_t maxSize,
                        int normalization = kGearNormalization, const std::string& seed = kGearSeed);

// Empty when the cutting can be applied; else a lower-case reason. Fixed:
// a size from 1 byte to 256 MiB. Gear: 64 <= min < average < max <= 256 MiB,
// the average a power of two, both tests keeping from 1 to 63 bits, and a
// seed of 1 to 64 letters, digits, ".", "_" or "-".
std::string cuttingProblem(const BlobCutting& cutting);

// One word that tells cuttings apart, for records that keep how a file was
// cut: "fixed:<size>" or "gear:<min>:<average>:<max>:<normalization>:<seed>";
// empty for a cutting that cannot be applied.
std::string cuttingText(const BlobCutting& cutting);

// The manifest's "cutting" member: written for a gear cutting only (a fixed
// one is "chunkSize", which every client reads), as
// {"method":"gear","minSize":..,"averageSize":..,"maxSize":..,"normalization":..,"seed":".."}.
std::string cuttingMemberText(const BlobCutting& cutting);
// The member read back; an unknown method or any parameter missing, of the
// wrong kind or out of range reads as unknown (nothing is cut then).
BlobCutting readCuttingMember(const JsonValue& member);

// How many blobs a fixed cutting of `blobSize` makes of a file of `fileSize`
// bytes, and their lengths (none for an empty file or a size of 0). Compare
// the count before asking for the lengths of a size read from outside.
std::uint64_t fixedBlobCount(std::uint64_t fileSize, std::uint64_t blobSize);
std::vector<std::uint64_t> fixedBlobLengths(std::uint64_t fileSize, std::uint64_t blobSize);

// Where one stream stands in its open blob.
struct CutState {
  std::uint64_t length = 0;  // bytes of the open blob so far
  std::uint64_t hash = 0;
};

class BlobCutter {
 public:
  // `cutting` must be one that `cuttingProblem` accepts.
  explicit BlobCutter(const BlobCutting& cutting);

  // Looks at `size` bytes that continue the open blob and returns how many
  // of them belong to it; `ends` says whether it ends after them (then the
  // state is that of a new, empty blob and the rest starts it). A stream's
  // last blob ends with the stream, whatever this says.
  std::size_t scan(CutState& state, const unsigned char* data, std::size_t size,
                   bool& ends) const;

  const BlobCutting& cutting() const { return cutting_; }
  const std::array<std::uint64_t, 256>& table() const { return table_; }

 private:
  BlobCutting cutting_;
  std::array<std::uint64_t, 256> table_{};
  std::uint64_t maskBefore_ = 0;  // tested while the blob is shorter than the average
  std::uint64_t maskAfter_ = 0;
};

// Receives each blob of a stream in order: its SHA-256, where it starts in
// the stream and its length. False stops the stream.
using BlobSink =
    std::function<bool(const std::string& digest, std::uint64_t offset, std::uint64_t length)>;

// A stream cut into blobs and each blob named by its SHA-256: what the
// publisher lists and what the synchroniser looks for in installed copies.
class BlobStream {
 public:
  BlobStream(const BlobCutter& cutter, BlobSink sink);
  ~BlobStream();
  BlobStream(const BlobStream&) = delete;
  BlobStream& operator=(const BlobStream&) = delete;

  // False once the sink stopped the stream (or a digest could not be made).
  bool feed(const void* data, std::size_t size);
  // Ends the stream's last blob, if any bytes are open.
  bool finish();
  std::uint64_t bytes() const { return offset_ + open_; }

 private:
  bool closeBlob();

  const BlobCutter& cutter_;
  BlobSink sink_;
  CutState state_;
  std::unique_ptr<Sha256> digest_;  // of the open blob
  std::uint64_t offset_ = 0;  // where the open blob starts
  std::uint64_t open_ = 0;    // its bytes so far
  bool stopped_ = false;
};

}  // namespace vantis::content
