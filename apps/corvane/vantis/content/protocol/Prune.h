// Deletes the files that a release retired (or the optional tier's files when
// that tier is removed) from the instance's content folder, then the folders
// those deletions left empty. The list comes from the network, so every path
// that could reach outside the content folder, every protected file and every
// file the installed release still uses is refused, and no symbolic link is
// ever followed. A retired line that names what the releases shipped at its
// path deletes only that content: whatever else lies there is the player's
// and is kept. Keeps no state and reports only counts; nothing here is an
// error. Calling thread only, after all downloads have finished and never
// while the game runs (the callers check). Fetching and verifying the list is
// not done here.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "foundation/FileSystem.h"
#include "protocol/SyncCheckedFiles.h"
#include "release/Lists.h"

namespace vantis::content::prune {

// The counts of one deletion pass. An entry that passes the rules but no
// longer exists, or is not a regular file reached without links, is counted
// in `listed` only.
struct PruneResult {
  std::uint64_t listed = 0;          // every entry of the list
  std::uint64_t removed = 0;         // files deleted
  std::uint64_t bytesRemoved = 0;    // sum of the deleted files' sizes
  std::uint64_t refused = 0;         // unsafe, protected, or still used
  std::uint64_t failed = 0;          // existed but could not be deleted
  std::uint64_t foldersRemoved = 0;  // folders removed because they became empty
  std::uint64_t kept = 0;            // regular files holding nothing the releases shipped there
};

// Deletes each listed path (relative, either separator, any case) under
// `contentRoot`, unless a safety rule refuses it or its normalised form
// ("/" separators, ASCII lower case) is in the normalised `keep` set. Then
// removes the emptied folders deepest first, never a top-level one. Never
// fails as a whole. Every file found goes, whatever it holds.
PruneResult run(const std::string& contentRoot, const std::vector<std::string>& paths,
                const std::set<std::string>& keep);

// The same for a retired list, except that a line naming "versions" deletes
// its file only when the file's size and SHA-256 are one of them; any other
// file is left alone and counted in `kept`. The digest is taken from
// `checked` (the record's line for the path, as listed) while that line's
// identity is the file's, else read from the file; a file of a size no
// version has is kept without reading.
PruneResult run(const std::string& contentRoot, const std::vector<RetiredRecord>& retired,
                const std::set<std::string>& keep, const CheckedFiles& checked);

// "3 of 5 retired file(s) removed (2 MB), 1 empty folder(s), 0 could not be
// deleted, 2 refused": a lower-case fragment for the sync report. Megabytes
// are bytes / 2^20, truncated. When files were kept, ", N kept (not what the
// pack shipped)" follows; a pass that kept none reads as it always did.
std::string summary(const PruneResult& result);

// The platform half (PrunePosix.cpp); `relative` has already passed the rules.
// Both walk from `contentRoot` one folder at a time without following a link,
// so that a linked folder inside the content folder can never lead a deletion
// outside it.
enum class Removal { untouched, removed, failed, kept };
// The digest of the file being judged, read on demand; empty when it cannot
// be read.
using DigestReader = std::function<std::string()>;
// Whether a regular file found at a listed path may go, given its identity
// (taken from the open file) and its digest on demand.
using RemovalCheck = std::function<bool(const FileIdentity& identity, const DigestReader& digest)>;
// Removes a regular file; `size` receives its size when removed. Anything else
// (missing, a link, a folder, a device, a linked folder on the way) is
// `untouched`. With a `check`, the file is opened without following links and
// judged first; one the check refuses (or that cannot be opened) is `kept`.
Removal removeRegularFile(const std::string& contentRoot, const std::string& relative,
                          const RemovalCheck& check, std::uint64_t& size);
// Removes an empty folder; false when it is not one or cannot be removed.
bool removeEmptyFolder(const std::string& contentRoot, const std::string& relative);

}  // namespace vantis::content::prune
