// The checked-files record: what an instance knows about its own content
// files between runs. For every file a complete run installed or hashed it
// keeps the file's identity at that moment (size, inode, modification and
// change time), the SHA-256 of its content and the blobs it was cut into. As
// long as a file's identity is unchanged, its content is the recorded one, so
// a later update need not read it again: not to learn whether it is current,
// and not to find which blobs it holds, for its own next version or for any
// other file that needs them. The same trust the program-file record places
// in a modification time, with the inode and change time added.
//
// Private to the sync unit; calling thread only. The record is a hint: a
// missing, unreadable or malformed one means nothing is known and every file
// is judged as if there were none. Whatever it says, every blob taken on its
// word is checked against its digest when it is read, and a file assembled
// with its help is still checked whole before it is installed. Not here: the
// decisions it feeds (the list reader, the transfer).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/FileSystem.h"

namespace vantis::content {

// "checked-files.txt" in the cache folder.
inline constexpr const char* kCheckedFilesName = "checked-files.txt";

struct CheckedFile {
  FileIdentity identity;
  std::string sha256;   // of the whole content
  std::string cutting;  // `cuttingText` of the cutting `blobs` came from; empty when not known
  std::string blobs;    // "<digest>:<length>" per blob, comma-joined, in order; empty when none
};

// By path, exactly as the file list writes it.
using CheckedFiles = std::map<std::string, CheckedFile>;

// One blob of a recorded file: its digest and length. Its offset is the sum
// of the lengths before it, so a blob can be read without reading the rest.
struct RecordedBlob {
  std::string digest;
  std::uint64_t length = 0;
};

// Hands each blob of `blobs` to `visit`, in order and without copying: its
// digest as written and its length (0 when it does not read as a number).
// False when `visit` stopped it.
using RecordedBlobVisit = std::function<bool(std::string_view digest, std::uint64_t length)>;
bool forEachRecordedBlob(const std::string& blobs, const RecordedBlobVisit& visit);
// The blobs of `blobs`, in order (none for an empty text).
std::vector<RecordedBlob> splitBlobs(const std::string& blobs);
// The blobs joined as `CheckedFile::blobs` holds them.
std::string joinBlobs(const std::vector<RecordedBlob>& blobs);

// The record's text: a first line "checked-files 2", then one line per file:
// sha256, size, inode, modification ns, change ns, cutting and blobs ("-"
// for either when not known), separated by single spaces, then a space and
// the path (which may hold spaces but never a line break).
std::string formatCheckedFiles(const CheckedFiles& files);

// Reads the text into `files` (emptied first). A text without a known first
// line reads as nothing known; a line that does not hold exactly what
// `formatCheckedFiles` writes, or whose blobs do not add up to its size, is
// skipped. The record of earlier synchronisers ("checked-files 1": a chunk
// size where the cutting stands, bare digests for the blobs) still reads: a
// file cut at fixed offsets of that size, the lengths following from it.
void parseCheckedFiles(const std::string& text, CheckedFiles& files);

// The record file read and parsed; nothing known when it cannot be read.
CheckedFiles readCheckedFiles(const std::string& path);

// Replaces the record file through a temporary file and a rename. False when
// it could not be written; the old record then stays.
bool writeCheckedFiles(const std::string& path, const CheckedFiles& files);

}  // namespace vantis::content
