// The publisher's contact with the disk: walking a content folder without
// following links, reading parts of files, replacing files through a
// temporary name, and the lock that keeps two publishers out of one server
// folder. Every function answers success or failure and leaves the message to
// the caller (except `listTree`, whose refusals name the offending path).
//
// All functions are stateless and may run on any thread, as long as two
// threads never write the same path. This is not the synchroniser's file
// layer: the publisher writes a static server folder, not an instance.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vantis::publish {

// Which file a listing saw at a path (its lstat's device and inode): what is
// read later must be that file, not one put in its place since.
struct FileId {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
};

// One regular file found under a content folder.
struct TreeFile {
  std::string relative;  // "/"-separated, relative to the walked folder
  std::string absolute;  // the walked folder joined with `relative`
  std::uint64_t size = 0;
  FileId id;
};

// How reading a listed file went. `replaced`: the path no longer leads to
// the listed file (a link or another file was put there since).
enum class ReadOutcome { read, failed, replaced };

// The refusal of a `replaced` read: "<path> was replaced while it was being
// published".
std::string replacedWhilePublished(const std::string& path);

// Lists every regular file under `root`, sorted by `relative` in byte order.
// A symbolic link, a device, a socket or a pipe anywhere in the tree stops
// the walk with an error naming it: published content must be plain files, and
// a link could publish something from outside the folder. Empty folders are
// not listed (a release is a set of files).
bool listTree(const std::string& root, std::vector<TreeFile>& out, std::string& error);

bool isDirectory(const std::string& path);
bool pathExists(const std::string& path);  // lstat: a dangling link exists

// The size of the file at `path` (links not followed); false when there is
// none. `id`, when given, receives which file that is, for a later readAt.
bool fileSize(const std::string& path, std::uint64_t& size, FileId* id = nullptr);

// Removes one file, or one empty folder. False when it is still there
// afterwards (a folder that is not empty stays).
bool removeFile(const std::string& path);
bool removeFolder(const std::string& path);

// Removes `path` and, for a folder, everything in it, links not followed.
// True when nothing is there afterwards.
bool removeTree(const std::string& path);

// rename(2): a file or a folder, replacing a file or an empty folder.
bool renamePath(const std::string& from, const std::string& to);

// mkdir -p with mode 0755; false when the folder does not exist afterwards.
bool makeDirectories(const std::string& path);

// The two readers of content files open `path` without following a link
// and read only when the opened file is the listed one (`listed`).

// Reads exactly `length` bytes at `offset`; failed on a short read (the file
// shrank) or an error.
ReadOutcome readAt(const std::string& path, const FileId& listed, std::uint64_t offset,
                   std::uint64_t length, std::string& out);

// Reads the whole file in order, handing it to `sink` in steps of at most
// `step` bytes; `length` receives the bytes read. Failed when it cannot be
// opened or read.
ReadOutcome streamFile(const std::string& path, const FileId& listed, std::size_t step,
                       const std::function<void(const char*, std::size_t)>& sink,
                       std::uint64_t& length);

// The whole file; false when it cannot be opened or read.
bool readFile(const std::string& path, std::string& out);

// Writes "<path>.part", then renames it over `path`, so that a web server
// answering while this runs sends the old file or the new one, never a part.
// The ".part" is made new whatever lay there (content::createTemporaryFile),
// so a link planted at it is never written through. Parent folders are
// created. On failure the ".part" is removed and the old file stays.
bool replaceFile(const std::string& path, const void* data, std::size_t length);
bool replaceFile(const std::string& path, const std::string& data);

// Creates a new file with mode 0600 that must not exist yet (private keys);
// nothing at all may lie at the path, not even a dangling link.
bool createPrivateFile(const std::string& path, const std::string& data);
// Creates a new file with the default mode that must not exist yet.
bool createNewFile(const std::string& path, const std::string& data);

// Reads the whole file like `readFile`, and says whether group or others
// may read it (a private key must be its owner's alone), from the opened
// file itself.
bool readPrivateFile(const std::string& path, std::string& out, bool& shared);

// Flushes everything written to the file system that holds `path` to stable
// storage, so that the next step (a list, the pointer) never survives a power
// loss that the content it names did not.
bool syncFileSystem(const std::string& path);

// Takes an exclusive lock on `path` (created if missing) for the life of the
// process or until `unlockFile`. False when it cannot be created or when
// another process holds it (then `busy` is true).
bool lockFile(const std::string& path, int& descriptor, bool& busy);
void unlockFile(int descriptor);

// The names of the sub-folders of `path` (not "." and ".."), sorted; empty
// when it cannot be read.
std::vector<std::string> listSubfolders(const std::string& path);

// The absolute path with every link and "." or ".." resolved; empty when it
// does not exist.
std::string canonicalPath(const std::string& path);

// Joins with exactly one "/" between the parts.
std::string joinPath(const std::string& base, const std::string& relative);

}  // namespace vantis::publish
