// Blobs that installed files already hold. The release names every file as
// its blobs' digests; a blob whose digest some installed file holds need not
// be downloaded. Where installed files are found:
//  - the checked-files record knows how each file it recorded was cut, blob
//    by blob with lengths, so its blobs are known without reading it: the
//    changed file's own installed copy, a file the release moved or
//    duplicated, any unchanged file;
//  - a changed file's installed copy that the record does not know (or knew
//    under another cutting) is read and cut with the release's cutting
//    (release/BlobCut.h, the publisher's own code), so a small change in a
//    large archive costs the blobs around the change.
// A blob is read during assembly straight from a file that stays in place
// until then: a file the transfer does not replace, or the changed file's
// own installed copy when no other file needs the blob. A blob only a file
// about to be replaced holds, and that other files need, is copied into the
// blob store first.
//
// Private to the transfer step; calling thread only, before the workers
// start. Nothing here is trusted: every blob is checked against its digest
// when it is read, here for the store and in assembly for a file, and a blob
// whose bytes differ is never used. Not here: what is downloaded (planning)
// and how files are put together (assembly).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "foundation/RangeReader.h"
#include "foundation/Result.h"
#include "protocol/SyncCheckedFiles.h"
#include "protocol/SyncLists.h"
#include "transfer/ProgressMeter.h"

namespace vantis::content {

// An installed file that blobs are read from.
struct LocalSource {
  std::string path;  // as the list or the record writes it
  std::string real;  // where it lies
};

// Where one blob lies: `length` bytes at `offset` of `sources[source]`.
struct LocalBlob {
  std::size_t source = 0;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

struct LocalBlobs {
  std::vector<LocalSource> sources;
  // Blob digest -> where assembly reads it; none of these is downloaded.
  std::map<std::string, LocalBlob> blobs;
  std::size_t stored = 0;  // blobs copied into the blob store instead
};

// True when the release's cutting of the record's installed copy could hold
// some of its blobs, so that reading the copy is worth it: a known cutting,
// more than one blob (the one blob of a one-blob file is the file, which is
// known to differ), and for a fixed cutting as many blobs as its size cuts
// into (a list cut with another size never matches).
bool blobsFit(const FileRecord& record, const BlobCutting& cutting);

struct TransferContext;

// Finds, for the blobs the work list needs, installed files that hold them:
// in `checked` (what the run knows of the files the list names) and in the
// context's `otherFiles` (recorded files the list does not name, taken only
// while their identity is unchanged), and by reading the installed copy of
// every record that `blobsFit` the context's cutting and that the record
// does not know cut that way (for a fixed cutting no further than the new
// file reaches). Blobs only a file about to be replaced holds, and that
// another record needs as well, are copied into the blob store now, each
// checked against its digest. Reports "Reusing local files" with the
// record's path before each copy read and about every 200 ms within a large
// one; a false answer fails it with "Cancelled.". A file that is missing or
// cannot be read holds nothing; that is no failure.
//
// With `MovingBlobs::leave` nothing is copied and nothing written: the blobs
// that would be copied stay in `blobs` where they lie, which is right for a
// plan that only counts what need not be downloaded, never for assembly.
enum class MovingBlobs { store, leave };
Result<LocalBlobs> findLocalBlobs(const std::vector<FileRecord>& workList,
                                    const TransferContext& context, const CheckedFiles& checked,
                                    ProgressMeter& meter, MovingBlobs moving = MovingBlobs::store);

// Reads blobs out of installed files, keeping the last file open: a file's
// blobs mostly come one after another from one installed copy.
class LocalBlobReader {
 public:
  // Reads `length` bytes at `offset` of the file at `real` into `out`
  // (resized to them). False when the file cannot be opened or read, or
  // ends before the range does.
  bool read(const std::string& real, std::uint64_t offset, std::uint64_t length,
            std::vector<char>& out);

 private:
  std::string path_;
  RangeReader file_;
  bool open_ = false;
};

}  // namespace vantis::content
