// The content of one release as found on disk: every file of the required
// folder and of the Overhaul folder, which tier lists which file, and each
// file's digest and blobs once hashed. Also the rules that classify a path
// (program file or not, which platform, which mod folder).
//
// Built and filled on the calling thread, except that `hashContent` (in
// Hashing.h) fills `sha256` and `blobs` from worker threads, one file each.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Files.h"

namespace vantis::publish {

// One blob of a file: `length` bytes at `offset`, named by their SHA-256.
struct Blob {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  std::string hash;
};

// One file on disk that the release ships.
struct SourceFile {
  std::string path;      // "/"-separated, relative to its content folder
  std::string absolute;  // where it lies on disk
  std::uint64_t size = 0;
  FileId id;                  // the file the listing saw, the only one read
  bool overhaul = false;      // from the Overhaul folder, not the required one
  std::string sha256;         // the whole file's digest, once hashed
  std::vector<Blob> blobs;  // in file order; none for an empty file
};

struct Content {
  std::vector<SourceFile> sources;
  // Indexes into `sources`, sorted by path. The optional tier is the
  // required content plus the Overhaul, the Overhaul's file winning where
  // both folders hold a path.
  std::vector<std::size_t> required;
  std::vector<std::size_t> optional;
};

// Reads both folders (`overhaulDir` may be empty: then the optional tier is
// the required one). Refuses a missing folder, a link or special file, and
// any path that `publishablePath` refuses, naming it.
bool scanContent(const std::string& requiredDir, const std::string& overhaulDir, Content& out,
                 std::string& error);

// "binary" for program files (everything under "bin/", and
// "resources/version"), "instance" for everything else.
std::string targetOf(const std::string& path);
// "linux" for files under "bin/" (programs built for this platform), else
// empty (files for every platform).
std::string platformOf(const std::string& path);

// The folder whose files are bundled together: "mods/<name>" for a file
// inside a mod, else the first folder of the path, or "" for a file at the
// top. An update of one mod then touches only that mod's bundles.
std::string modFolderOf(const std::string& path);

}  // namespace vantis::publish
