// POSIX implementation of the temporary files: unlink, then an exclusive
// create that refuses a link.

#include "foundation/TemporaryFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace vantis::content {

int createExclusiveFile(const std::string& path, unsigned mode) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                static_cast<mode_t>(mode));
}

int createTemporaryFile(const std::string& path, unsigned mode) {
  // Opening what lies there with O_TRUNC would write through a link into
  // the file it reaches; removing the name and then creating a new file
  // exclusively cannot. The name is removed only when something is there:
  // asked for each of a first install's thousands of files, the removal
  // found nothing and still locked the folder against the other workers'
  // creates. Should a link be planted again in between, the create fails
  // rather than follows it.
  const int created = createExclusiveFile(path, mode);
  if (created >= 0 || errno != EEXIST) return created;
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return -1;
  return createExclusiveFile(path, mode);
}

std::FILE* openTemporaryStream(const std::string& path) {
  const int fd = createTemporaryFile(path);
  if (fd < 0) return nullptr;
  std::FILE* stream = ::fdopen(fd, "wb");
  if (!stream) ::close(fd);
  return stream;
}

bool writeAllBytes(int fd, const void* data, std::size_t length) {
  const char* next = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t written = ::write(fd, next, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    next += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace vantis::content
