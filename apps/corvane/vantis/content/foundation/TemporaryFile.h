// Creating the files that are written under a temporary name and renamed
// over their final one: the synchroniser's ".part" files, blob temporaries
// and records, and the publisher's. One way for all of them, so that a link
// planted at a temporary name (or a hard link left by an interrupted run)
// never makes a write land in a file outside. Stateless; any thread, as long
// as two threads never create the same path. Not here: the rename, and what
// is written (the callers').
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace vantis::content {

// Creates `path` only when nothing at all lies there, never following a
// link (O_CREAT|O_EXCL|O_NOFOLLOW): for files that must not replace anything
// (a new key). The descriptor is write-only and closed on exec; -1 (errno
// set) on failure. `mode` is less the umask.
int createExclusiveFile(const std::string& path, unsigned mode = 0666);

// A temporary: whatever lies at `path` is removed first (a file, or a
// symbolic or hard link: the name goes, never what it points at), then the
// file is created as by `createExclusiveFile`. -1 when either fails, also
// when something is put back at `path` in between.
int createTemporaryFile(const std::string& path, unsigned mode = 0666);

// `createTemporaryFile` as a binary stdio stream; nullptr on failure.
std::FILE* openTemporaryStream(const std::string& path);

// Writes all `length` bytes to `fd`, resuming after short writes and
// signals. False on the first error.
bool writeAllBytes(int fd, const void* data, std::size_t length);

}  // namespace vantis::content
