// POSIX implementation of the publisher's file helpers. Content files can be
// gigabytes: nothing here reads more than the caller asks for.

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Files.h"
#include "foundation/TemporaryFile.h"

namespace vantis::publish {

namespace {

// A failed close can be the first sign of a full disk: it counts as a
// failed write.
bool writeAndClose(int descriptor, const void *data, std::size_t length) {
  const bool written = content::writeAllBytes(descriptor, data, length);
  const bool closed = ::close(descriptor) == 0;
  return written && closed;
}

bool createExclusive(const std::string &path, const std::string &data,
                     mode_t mode) {
  const int descriptor = content::createExclusiveFile(path, mode);
  if (descriptor < 0)
    return false;
  if (writeAndClose(descriptor, data.data(), data.size()))
    return true;
  ::unlink(path.c_str());
  return false;
}

// Reads to the end and closes. False on a read error, which must not pass
// for the end of the file.
bool readOpened(int descriptor, std::string &out) {
  out.clear();
  char buffer[65536];
  bool ok = true;
  for (;;) {
    const ssize_t got = ::read(descriptor, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      ok = false;
    if (got <= 0)
      break;
    out.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(descriptor);
  return ok;
}

// Opens a listed content file for reading. The listing refused links, but
// the folder may change after it: a file swapped for a link (O_NOFOLLOW
// refuses it) or for another file (its device and inode differ) could
// publish something from outside the folder.
ReadOutcome openListed(const std::string &path, const FileId &listed,
                       int &descriptor) {
  descriptor = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (descriptor < 0)
    return errno == ELOOP ? ReadOutcome::replaced : ReadOutcome::failed;
  struct stat info;
  const bool same = ::fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode) &&
                    static_cast<std::uint64_t>(info.st_dev) == listed.device &&
                    static_cast<std::uint64_t>(info.st_ino) == listed.inode;
  if (same)
    return ReadOutcome::read;
  ::close(descriptor);
  descriptor = -1;
  return ReadOutcome::replaced;
}

std::string describeKind(mode_t mode) {
  if (S_ISLNK(mode))
    return "a symbolic link";
  if (S_ISFIFO(mode))
    return "a pipe";
  if (S_ISSOCK(mode))
    return "a socket";
  return "a device or special file";
}

struct Walk {
  std::string root;
  std::vector<TreeFile> *out;
  std::string error;
};

bool walkFolder(Walk &walk, const std::string &relative) {
  const std::string folder =
      relative.empty() ? walk.root : joinPath(walk.root, relative);
  DIR *dir = ::opendir(folder.c_str());
  if (!dir) {
    walk.error =
        "cannot read the folder " + folder + ": " + std::strerror(errno);
    return false;
  }
  std::vector<std::string> names;
  while (const dirent *entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..")
      names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string &name : names) {
    const std::string child = relative.empty() ? name : relative + "/" + name;
    const std::string absolute = joinPath(walk.root, child);
    struct stat info;
    if (::lstat(absolute.c_str(), &info) != 0) {
      walk.error = "cannot read " + absolute + ": " + std::strerror(errno);
      return false;
    }
    if (S_ISDIR(info.st_mode)) {
      if (!walkFolder(walk, child))
        return false;
      continue;
    }
    if (!S_ISREG(info.st_mode)) {
      walk.error = absolute + " is " + describeKind(info.st_mode) +
                   "; content must be plain files and folders";
      return false;
    }
    const FileId id{static_cast<std::uint64_t>(info.st_dev),
                    static_cast<std::uint64_t>(info.st_ino)};
    walk.out->push_back(TreeFile{child, absolute,
                                 static_cast<std::uint64_t>(info.st_size), id});
  }
  return true;
}

} // namespace

std::string joinPath(const std::string &base, const std::string &relative) {
  if (base.empty())
    return relative;
  if (relative.empty())
    return base;
  if (base.back() == '/')
    return base + relative;
  return base + "/" + relative;
}

std::string replacedWhilePublished(const std::string &path) {
  return path + " was replaced while it was being published";
}

std::string canonicalPath(const std::string &path) {
  char *resolved = ::realpath(path.c_str(), nullptr);
  if (!resolved)
    return std::string();
  const std::string text = resolved;
  std::free(resolved);
  return text;
}

bool listTree(const std::string &root, std::vector<TreeFile> &out,
              std::string &error) {
  out.clear();
  Walk walk{root, &out, std::string()};
  if (!walkFolder(walk, std::string())) {
    error = walk.error;
    return false;
  }
  // The walk sorts each folder's names, but "a/b" against "a.b" needs the
  // whole relative path compared.
  std::sort(out.begin(), out.end(), [](const TreeFile &a, const TreeFile &b) {
    return a.relative < b.relative;
  });
  return true;
}

bool isDirectory(const std::string &path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool pathExists(const std::string &path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

bool fileSize(const std::string &path, std::uint64_t &size, FileId *id) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
    return false;
  size = static_cast<std::uint64_t>(info.st_size);
  if (id != nullptr)
    *id = {static_cast<std::uint64_t>(info.st_dev),
           static_cast<std::uint64_t>(info.st_ino)};
  return true;
}

bool removeFile(const std::string &path) {
  return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool removeFolder(const std::string &path) {
  return ::rmdir(path.c_str()) == 0 || errno == ENOENT;
}

bool removeTree(const std::string &path) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0)
    return errno == ENOENT;
  if (!S_ISDIR(info.st_mode))
    return removeFile(path);
  bool emptied = true;
  if (DIR *dir = ::opendir(path.c_str())) {
    std::vector<std::string> names;
    while (const dirent *entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..")
        names.push_back(name);
    }
    ::closedir(dir);
    for (const std::string &name : names)
      emptied = removeTree(joinPath(path, name)) && emptied;
  }
  return removeFolder(path) && emptied;
}

bool renamePath(const std::string &from, const std::string &to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool makeDirectories(const std::string &path) {
  for (std::size_t i = 1; i < path.size(); ++i) {
    if (path[i] == '/')
      ::mkdir(path.substr(0, i).c_str(), 0755);
  }
  ::mkdir(path.c_str(), 0755);
  return isDirectory(path);
}

ReadOutcome readAt(const std::string &path, const FileId &listed,
                   std::uint64_t offset, std::uint64_t length,
                   std::string &out) {
  int descriptor = -1;
  const ReadOutcome opened = openListed(path, listed, descriptor);
  if (opened != ReadOutcome::read)
    return opened;
  out.resize(length);
  std::uint64_t done = 0;
  while (done < length) {
    const ssize_t got = ::pread(descriptor, &out[done], length - done,
                                static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      break;
    done += static_cast<std::uint64_t>(got);
  }
  ::close(descriptor);
  return done == length ? ReadOutcome::read : ReadOutcome::failed;
}

ReadOutcome
streamFile(const std::string &path, const FileId &listed, std::size_t step,
           const std::function<void(const char *, std::size_t)> &sink,
           std::uint64_t &length) {
  int descriptor = -1;
  const ReadOutcome opened = openListed(path, listed, descriptor);
  if (opened != ReadOutcome::read)
    return opened;
  std::vector<char> buffer(step);
  length = 0;
  bool ok = true;
  for (;;) {
    const ssize_t got = ::read(descriptor, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      ok = false;
    if (got <= 0)
      break;
    sink(buffer.data(), static_cast<std::size_t>(got));
    length += static_cast<std::uint64_t>(got);
  }
  ::close(descriptor);
  return ok ? ReadOutcome::read : ReadOutcome::failed;
}

bool readFile(const std::string &path, std::string &out) {
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0)
    return false;
  return readOpened(descriptor, out);
}

bool readPrivateFile(const std::string &path, std::string &out, bool &shared) {
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0)
    return false;
  // Asked of the opened file: a check by name could be answered by another
  // file than the one read.
  struct stat info;
  if (::fstat(descriptor, &info) != 0) {
    ::close(descriptor);
    return false;
  }
  shared = (info.st_mode & (S_IRGRP | S_IROTH)) != 0;
  return readOpened(descriptor, out);
}

bool replaceFile(const std::string &path, const void *data,
                 std::size_t length) {
  const std::size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0)
    makeDirectories(path.substr(0, slash));
  // Write "<path>.part" and rename: the web server must never send a file
  // that is only half written.
  const std::string part = path + ".part";
  const int descriptor = content::createTemporaryFile(part, 0644);
  if (descriptor < 0)
    return false;
  if (!writeAndClose(descriptor, data, length) ||
      ::rename(part.c_str(), path.c_str()) != 0) {
    ::unlink(part.c_str());
    return false;
  }
  return true;
}

bool replaceFile(const std::string &path, const std::string &data) {
  return replaceFile(path, data.data(), data.size());
}

bool createPrivateFile(const std::string &path, const std::string &data) {
  // O_EXCL with mode 0600: the key is never readable by others, not even
  // for the moment between creating and chmod.
  return createExclusive(path, data, 0600);
}

bool createNewFile(const std::string &path, const std::string &data) {
  return createExclusive(path, data, 0644);
}

bool syncFileSystem(const std::string &path) {
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0)
    return false;
  const bool synced = ::syncfs(descriptor) == 0;
  ::close(descriptor);
  return synced;
}

bool lockFile(const std::string &path, int &descriptor, bool &busy) {
  busy = false;
  descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (descriptor < 0)
    return false;
  if (::flock(descriptor, LOCK_EX | LOCK_NB) == 0)
    return true;
  busy = errno == EWOULDBLOCK;
  ::close(descriptor);
  descriptor = -1;
  return false;
}

void unlockFile(int descriptor) {
  if (descriptor >= 0)
    ::close(descriptor);
}

std::vector<std::string> listSubfolders(const std::string &path) {
  std::vector<std::string> names;
  DIR *dir = ::opendir(path.c_str());
  if (!dir)
    return names;
  while (const dirent *entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..")
      continue;
    if (isDirectory(joinPath(path, name)))
      names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

} // namespace vantis::publish
