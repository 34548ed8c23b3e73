// The small, stateless helpers through which the synchroniser touches the
// disk. Internal to the library: shared by the sync pipeline, the records and
// the pruning. Each answers success or failure and leaves the message to the
// caller. They keep no state and may run on any thread, as long as two
// threads never write the same path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace vantis::content {

class DirectWriter;
class Sha256;

// Joins an instance-relative path (written with backslashes) onto a base and
// turns every backslash into "/". Nothing is normalised: refusing ".." and
// absolute paths is the callers' job.
std::string joinPath(const std::string& base, const std::string& relative);

// Creates every directory of the chain (mode 0755 less the umask), ignoring
// failures: an existing directory is the normal case, and a real failure
// shows when the caller opens a file there.
void makeDirectories(const std::string& path);
void makeParentDirectories(const std::string& path);

// Writes the bytes as a new file at the path (parents created), made by
// `createTemporaryFile`: what lay there is removed, never written through.
// True only when every byte was written and the file closed cleanly.
bool writeWholeFile(const std::string& path, const void* data, std::size_t length);

// Replaces the file at `path` with the bytes, through "<path>.part" and a
// rename, so a reader sees the old file or the new one, never a half-written
// one. On failure the old file is untouched and the ".part" is removed.
bool replaceWholeFile(const std::string& path, const std::string& data);

// `replaceWholeFile`, and on the disk when it returns true: the temporary's
// data is flushed before the rename and the folder after it, so that a power
// cut leaves the old file or the new one, never an empty one. For the record
// that vouches for everything else; it costs two flushes.
bool replaceWholeFileDurably(const std::string& path, const std::string& data);

// ---- Putting written files on the disk ---------------------------------------
//
// A power cut loses what was written but not yet flushed, in any order: a
// renamed file's name may survive without its data. A run therefore starts
// the write-back of each file as soon as it is written, then flushes once for
// all of them (one syncfs per file system written to) before anything that
// depends on them: before renaming them into place, and before the record
// that says they are installed.

// Asks the system to start writing the file's data out now, without waiting
// for it to be written: by the time of the flush most of it is on the disk.
// It may wait while the disk's queue is full. Failures are ignored (it is
// only a head start).
void startWriteBack(const std::string& path);

// Flushes the file system that holds `path` (syncfs) and waits for it. Only
// a head start, like startWriteBack: failures are ignored, and what is
// written afterwards still needs the flush that counts.
void flushFileSystemEarly(const std::string& path);

// The file systems a run wrote to, each named by one folder on it.
struct FileSystems {
  std::map<std::uint64_t, std::string> folderByDevice;
  std::string lastFolder;  // consecutive files mostly share a folder: asked once
};

// Notes the file system of the folder holding `path`.
void noteFileSystemOf(FileSystems& written, const std::string& path);
void noteFileSystems(FileSystems& written, const FileSystems& more);

// Flushes everything written to each noted file system (syncfs). False when
// a flush reports an error: what was written may not be on the disk.
bool syncFileSystems(const FileSystems& written);

// Installed copies about to be replaced by a rename, held open so that the
// rename does not free their blocks itself: freeing a file of megabytes
// waits on the disk, and the renames run one after another on the calling
// thread. release() lets them go on a thread of its own, while the caller
// goes on with its records; the destructor waits for it. Calling thread
// only; holding is a speed-up, never needed: a copy that cannot be held
// (or one past the limit of descriptors held at once) is freed by its
// rename as before.
class ReplacedCopies {
 public:
  ReplacedCopies() = default;
  ReplacedCopies(const ReplacedCopies&) = delete;
  ReplacedCopies& operator=(const ReplacedCopies&) = delete;
  ~ReplacedCopies();

  // Holds the file at `path`, if there is one (links not followed).
  void hold(const std::string& path);
  // Lets go of everything held so far, on a thread of its own, once the
  // letting go asked before is done.
  void release();

 private:
  std::vector<int> held_;
  std::thread releasing_;
};

// Flushes one file's data (fdatasync); false on failure.
bool flushFileData(const std::string& path);

// False (output untouched) only when the file cannot be opened.
bool readWholeFile(const std::string& path, std::string& out);
// The file's first `limit` bytes, or all of it when shorter; false (output
// untouched) when it cannot be opened or read.
bool readFileFront(const std::string& path, std::size_t limit, std::string& out);

// stat() follows links; false for a directory or a missing path.
bool fileSize(const std::string& path, std::uint64_t& size);

// True when `path` is a folder (following links).
bool folderExists(const std::string& path);

// True when anything at all lies at `path`, a dangling link too (lstat).
bool entryExists(const std::string& path);

// What tells one state of a file from another without reading it: as long as
// all four are unchanged, nobody has written to it or put another file in
// its place (a write moves the modification time, a rename or a change of
// permissions the change time).
struct FileIdentity {
  std::uint64_t size = 0;
  std::uint64_t inode = 0;
  std::int64_t modifiedNs = 0;  // modification time, nanoseconds since the epoch
  std::int64_t changedNs = 0;   // status change time, likewise
};
bool operator==(const FileIdentity& a, const FileIdentity& b);

// One stat() of a regular file, links followed as by `fileSize`; false for
// anything else or a missing path.
bool fileIdentity(const std::string& path, FileIdentity& identity);
// The same for a file the caller has open (fstat).
bool openFileIdentity(int descriptor, FileIdentity& identity);

// Removes a tree without ever following a symbolic link, also when `path`
// itself is one (the link goes, the folder it points at stays); what cannot
// be removed stays.
void removeDirectoryTree(const std::string& path);

// The names of the entries directly in `folder` (not "." and ".."); none
// when it is missing or cannot be read.
std::set<std::string> namesIn(const std::string& folder);

// Removes every file directly in `folder` whose name is not in `keep`
// (links as links; folders in it are left alone). A missing folder is empty.
void removeFilesExcept(const std::string& folder, const std::set<std::string>& keep);

// Streams the file through SHA-256 in 64 KiB steps. False when it cannot be
// opened or read.
bool hashFileSha256(const std::string& path, std::uint64_t& size, std::string& hex);
// The same for a file the caller has open, from its current position; the
// descriptor stays open.
bool hashOpenFileSha256(int descriptor, std::uint64_t& size, std::string& hex);

// Receives the digest and length of one blob; false stops the reading.
using BlobDigest = std::function<bool(const std::string& hex, std::uint64_t length)>;

// Streams the first `limit` bytes of the file (all of it when shorter)
// through SHA-256 cut into consecutive blobs of `blobBytes` (the last one may
// be shorter) and hands each blob's digest to `onBlob`, in order. False when
// the file cannot be opened or read, `blobBytes` is 0, or `onBlob` stopped
// it; the blobs handed over before that stand.
bool hashFileBlobs(const std::string& path, std::uint64_t blobBytes, std::uint64_t limit,
                    const BlobDigest& onBlob, std::vector<char>& buffer);

// Appends the whole file at `source` to the open stream `out` through
// `buffer`, feeding every byte written to `digest` and adding the count to
// `written`. False when the source cannot be opened or read, or a write
// comes up short. Closing `out` (and checking that close) is the caller's.
bool appendFileHashing(const std::string& source, std::FILE* out, Sha256& digest,
                       std::uint64_t& written, std::vector<char>& buffer);

// The same, appending to a direct writer.
bool appendFileHashing(const std::string& source, DirectWriter& out, Sha256& digest,
                       std::uint64_t& written, std::vector<char>& buffer);

// Appends the `length` bytes of `source` that start at `offset`, like
// `appendFileHashing`. False also when the file ends before the range does;
// `written` then still counts what was appended.
bool appendFileRangeHashing(const std::string& source, std::uint64_t offset, std::uint64_t length,
                            std::FILE* out, Sha256& digest, std::uint64_t& written,
                            std::vector<char>& buffer);

// Appends the `length` bytes at `data` to `out`, feeding them to `digest`
// (a large block on a second thread, beside its write) and adding the count
// to `written`. False when the write comes up short.
bool appendBytesHashing(const char* data, std::size_t length, std::FILE* out, Sha256& digest,
                        std::uint64_t& written);

// Copies source to destination (whose parent must exist, created as by
// `createTemporaryFile`) while hashing. True only when every byte was copied
// and the destination closed cleanly; the caller decides what to do with a
// partial destination.
bool copyFileHashing(const std::string& source, const std::string& destination,
                     std::uint64_t& size, std::string& hex);

}  // namespace vantis::content
