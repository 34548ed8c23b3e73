// Blobs of a changed file that its installed copy still holds. A release
// cuts every file into blobs of one fixed size from its start (the
// manifest's "chunkSize"), so an installed copy cut the same way yields the
// blobs that a small change left alone: a 64 KiB patch in a 200 MiB archive
// changes one blob of 25. Those are read from the installed copy during
// assembly instead of being downloaded.
//
// Private to the transfer step; calling thread only, before the workers
// start. Nothing here is trusted: a blob counts only when its SHA-256 is a
// digest the verified file list names, and every assembled file is checked
// whole afterwards. Not here: what is downloaded (planning) and how files
// are put together (assembly).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "foundation/Result.h"
#include "protocol/SyncCheckedFiles.h"
#include "protocol/SyncLists.h"
#include "transfer/ProgressMeter.h"

namespace vantis::content {

// Where one blob lies in the installed copy of the file that names it.
struct LocalBlob {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

// Blob digest -> its place in one record's installed copy.
using LocalBlobMap = std::map<std::string, LocalBlob>;

struct LocalBlobs {
  // One map per record of the work list, in its order; empty for a record
  // whose installed copy was not looked at or holds none of its blobs.
  std::vector<LocalBlobMap> perRecord;
  // Blobs that need no download: every record that names one holds it in its
  // own installed copy. A blob some other record needs as well is fetched,
  // since that record's assembly cannot read from a file another record may
  // already have replaced.
  std::set<std::string> covered;
};

// True when cutting a file of `record.size` bytes into blobs of
// `chunkSize` bytes gives as many blobs as `record.chunks` lists, and more
// than one: only then can an installed copy, cut the same way, hold some of
// them (the one blob of a one-blob file is the file, which is known to
// differ). A list cut with another size never matches.
bool blobsFit(const FileRecord& record, std::uint64_t chunkSize);

struct TransferContext;

// Records, for every record that `blobsFit` the context's chunk size, which
// of its blobs the installed copy in the content folder holds: from
// `checked` when that knows how the copy was cut with this chunk size, else
// by reading the copy, at most as far as the new file reaches. Reports
// "Reusing local files" with the record's path before each file and about
// every 200 ms within a large one; a false answer fails it with
// "Cancelled.". A copy that is missing or cannot be read holds nothing; that
// is no failure.
Result<LocalBlobs> findLocalBlobs(const std::vector<FileRecord>& workList,
                                    const TransferContext& context, const CheckedFiles& checked,
                                    ProgressMeter& meter);

// The `covered` rule over filled-in `perRecord` maps.
std::set<std::string> coveredBlobs(const std::vector<FileRecord>& workList,
                                   const std::vector<LocalBlobMap>& perRecord);

}  // namespace vantis::content
