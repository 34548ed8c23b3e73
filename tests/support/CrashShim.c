/* Records a program's file operations for the crash-state tests
 * (CrashState.h). Preloaded with LD_PRELOAD, it passes every call on to the
 * C library and, when the call succeeded and touched something under
 * $SKARVEL_CRASH_ROOT, appends one record to $SKARVEL_CRASH_LOG. Every
 * process that inherits the environment records into the same log, so a
 * program that starts another (or itself again) is followed.
 *
 * A record is one header line and then the bytes it carries:
 *   op pid dev ino offset value mode flag path path2 payload-length \n payload
 * Paths are absolute, with their folder part resolved, and %XX-escaped
 * (space, control bytes, bytes above 0x7e and "%"); "-" is an absent path.
 * The header and payload are appended in one writev to a log opened with
 * O_APPEND, so the records of several processes and threads never
 * interleave.
 *
 * Written in C so that it loads into any program (shells included) without
 * a C++ runtime. It sees only calls that cross into the C library: the
 * library's own internal calls (stdio writing a buffer out) do not, which is
 * why a stdio stream's file is recorded whole when it is flushed, synced or
 * closed. Memory-mapped writes are not seen. Test code only. */
#define _GNU_SOURCE
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

static char sRoot[PATH_MAX];
static size_t sRootLength;
static char sLog[PATH_MAX];
/* Streams opened for writing under the root, by descriptor: their data
 * reaches the kernel through stdio's internal writes, which are not seen. */
#define TRACKED_STREAMS 4096
static unsigned char sStreamFds[TRACKED_STREAMS];

/* The C library's own `name`, looked up once per call site. */
#define REAL(name)                                                     \
  ({                                                                   \
    static __typeof__(&name) real_;                                    \
    if (real_ == NULL) real_ = (__typeof__(&name))realFunction(#name); \
    real_;                                                             \
  })

static void* realFunction(const char* name) {
  void* function = dlsym(RTLD_NEXT, name);
  if (function == NULL) abort();
  return function;
}

static int active(void) { return sRootLength > 0 && sLog[0] != '\0'; }

static int underRoot(const char* path) {
  if (strncmp(path, sRoot, sRootLength) != 0) return 0;
  return path[sRootLength] == '/' || path[sRootLength] == '\0';
}

static char* escapePath(const char* path, char* out, size_t size) {
  static const char kHex[] = "0123456789abcdef";
  if (path == NULL || path[0] == '\0') {
    snprintf(out, size, "-");
    return out;
  }
  size_t used = 0;
  for (const unsigned char* c = (const unsigned char*)path; *c != '\0' && used + 4 < size; ++c) {
    if (*c <= 0x20 || *c >= 0x7f || *c == '%') {
      out[used++] = '%';
      out[used++] = kHex[*c >> 4];
      out[used++] = kHex[*c & 15];
    } else {
      out[used++] = (char)*c;
    }
  }
  out[used] = '\0';
  return out;
}

static void emit(const char* op, const struct stat* info, long long offset, long long value, int flag,
                 const char* path, const char* path2, const void* data, size_t length) {
  static __thread char header[4 * PATH_MAX * 2 + 256];
  static __thread char first[3 * PATH_MAX + 4];
  static __thread char second[3 * PATH_MAX + 4];
  unsigned long long dev = info != NULL ? (unsigned long long)info->st_dev : 0;
  unsigned long long ino = info != NULL ? (unsigned long long)info->st_ino : 0;
  unsigned mode = info != NULL ? (unsigned)info->st_mode : 0;
  int headerLength =
      snprintf(header, sizeof header, "%s %d %llu %llu %lld %lld %o %d %s %s %zu\n", op, (int)getpid(), dev,
               ino, offset, value, mode, flag, escapePath(path, first, sizeof first),
               escapePath(path2, second, sizeof second), length);
  if (headerLength < 0 || (size_t)headerLength >= sizeof header) return;
  int fd = REAL(open)(sLog, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  struct iovec parts[2] = {{header, (size_t)headerLength}, {(void*)data, length}};
  REAL(writev)(fd, parts, length > 0 ? 2 : 1);
  REAL(close)(fd);
}

/* The absolute path of `path` as seen from `dirfd`, its folder part resolved
 * through links (the last part is kept: rename and unlink act on it). */
static int resolvePath(int dirfd, const char* path, char* out) {
  char joined[2 * PATH_MAX];
  if (path == NULL) return 0;
  if (path[0] == '/') {
    snprintf(joined, sizeof joined, "%s", path);
  } else {
    char base[PATH_MAX];
    if (dirfd == AT_FDCWD) {
      if (getcwd(base, sizeof base) == NULL) return 0;
    } else {
      char link[64];
      snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
      ssize_t count = readlink(link, base, sizeof base - 1);
      if (count <= 0) return 0;
      base[count] = '\0';
    }
    snprintf(joined, sizeof joined, "%s/%s", base, path);
  }
  size_t length = strlen(joined);
  while (length > 1 && joined[length - 1] == '/') joined[--length] = '\0';
  char* slash = strrchr(joined, '/');
  char folder[PATH_MAX];
  *slash = '\0';
  const char* name = slash + 1;
  if (realpath(joined[0] == '\0' ? "/" : joined, folder) == NULL) return 0;
  int written = snprintf(out, PATH_MAX, "%s/%s", strcmp(folder, "/") == 0 ? "" : folder, name);
  return written > 0 && written < PATH_MAX;
}

/* The path of an open descriptor of a regular file or folder under the
 * root, with its identity; 0 when it is anything else. */
static int describeFd(int fd, char* path, struct stat* info) {
  if (!active() || fd < 0 || fstat(fd, info) != 0) return 0;
  if (!S_ISREG(info->st_mode) && !S_ISDIR(info->st_mode)) return 0;
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t count = readlink(link, path, PATH_MAX - 1);
  if (count <= 0) return 0;
  path[count] = '\0';
  return underRoot(path);
}

/* The whole file behind `fd`, read through a descriptor of its own: the
 * stream's may be write-only. */
static void recordWholeFile(int fd) {
  char path[PATH_MAX];
  struct stat info;
  if (!describeFd(fd, path, &info) || !S_ISREG(info.st_mode)) return;
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  int reader = REAL(open)(link, O_RDONLY | O_CLOEXEC);
  if (reader < 0) return;
  size_t size = (size_t)info.st_size;
  char* data = malloc(size > 0 ? size : 1);
  size_t done = 0;
  while (data != NULL && done < size) {
    ssize_t count = pread(reader, data + done, size - done, (off_t)done);
    if (count <= 0) break;
    done += (size_t)count;
  }
  REAL(close)(reader);
  if (data != NULL) emit("content", &info, 0, 0, 0, path, NULL, data, done);
  free(data);
}

static void trackStream(int fd, int on) {
  if (fd >= 0 && fd < TRACKED_STREAMS) sStreamFds[fd] = (unsigned char)on;
}

static int isStream(int fd) { return fd >= 0 && fd < TRACKED_STREAMS && sStreamFds[fd]; }

__attribute__((constructor)) static void start(void) {
  const char* root = getenv("SKARVEL_CRASH_ROOT");
  const char* log = getenv("SKARVEL_CRASH_LOG");
  if (root == NULL || log == NULL || strlen(root) >= sizeof sRoot || strlen(log) >= sizeof sLog) return;
  strcpy(sRoot, root);
  strcpy(sLog, log);
  sRootLength = strlen(sRoot);
  char self[PATH_MAX];
  ssize_t count = readlink("/proc/self/exe", self, sizeof self - 1);
  self[count > 0 ? count : 0] = '\0';
  emit("begin", NULL, 0, 0, 0, self, NULL, NULL, 0);
}

/* ---- Opening ------------------------------------------------------------ */

static int writeIntent(int flags) { return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0; }

struct OpenNote {
  int watched;
  int existed;
};

static struct OpenNote beforeOpen(int dirfd, const char* path, int flags) {
  struct OpenNote note = {0, 0};
  char full[PATH_MAX];
  if (!active() || !writeIntent(flags) || !resolvePath(dirfd, path, full)) return note;
  struct stat info;
  note.watched = 1;
  note.existed = lstat(full, &info) == 0;
  return note;
}

static void afterOpen(struct OpenNote note, int fd, int flags) {
  char path[PATH_MAX];
  struct stat info;
  if (!note.watched || fd < 0 || !describeFd(fd, path, &info)) return;
  int created = !note.existed && (flags & O_CREAT) != 0;
  emit("open", &info, 0, flags, created, path, NULL, NULL, 0);
}

static mode_t modeArgument(int flags, va_list args) {
  return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(args, int) : 0;
}

#define OPEN_AT(name)                                      \
  int name(int dirfd, const char* path, int flags, ...) {  \
    va_list args;                                          \
    va_start(args, flags);                                 \
    mode_t mode = modeArgument(flags, args);               \
    va_end(args);                                          \
    struct OpenNote note = beforeOpen(dirfd, path, flags); \
    int fd = REAL(name)(dirfd, path, flags, mode);         \
    int saved = errno;                                     \
    afterOpen(note, fd, flags);                            \
    errno = saved;                                         \
    return fd;                                             \
  }

#define OPEN(name)                                            \
  int name(const char* path, int flags, ...) {                \
    va_list args;                                             \
    va_start(args, flags);                                    \
    mode_t mode = modeArgument(flags, args);                  \
    va_end(args);                                             \
    struct OpenNote note = beforeOpen(AT_FDCWD, path, flags); \
    int fd = REAL(name)(path, flags, mode);                   \
    int saved = errno;                                        \
    afterOpen(note, fd, flags);                               \
    errno = saved;                                            \
    return fd;                                                \
  }

OPEN(open)
OPEN(open64)
OPEN_AT(openat)
OPEN_AT(openat64)

/* The forms the fortified headers call when no mode is given. */
#define OPEN_2(name)                                          \
  int name(const char* path, int flags) {                     \
    struct OpenNote note = beforeOpen(AT_FDCWD, path, flags); \
    int fd = REAL(name)(path, flags);                         \
    int saved = errno;                                        \
    afterOpen(note, fd, flags);                               \
    errno = saved;                                            \
    return fd;                                                \
  }

#define OPENAT_2(name)                                     \
  int name(int dirfd, const char* path, int flags) {       \
    struct OpenNote note = beforeOpen(dirfd, path, flags); \
    int fd = REAL(name)(dirfd, path, flags);               \
    int saved = errno;                                     \
    afterOpen(note, fd, flags);                            \
    errno = saved;                                         \
    return fd;                                             \
  }

int __open_2(const char* path, int flags);
int __open64_2(const char* path, int flags);
int __openat_2(int dirfd, const char* path, int flags);
int __openat64_2(int dirfd, const char* path, int flags);
OPEN_2(__open_2)
OPEN_2(__open64_2)
OPENAT_2(__openat_2)
OPENAT_2(__openat64_2)

#define CREAT(name)                                           \
  int name(const char* path, mode_t mode) {                   \
    int flags = O_WRONLY | O_CREAT | O_TRUNC;                 \
    struct OpenNote note = beforeOpen(AT_FDCWD, path, flags); \
    int fd = REAL(name)(path, mode);                          \
    int saved = errno;                                        \
    afterOpen(note, fd, flags);                               \
    errno = saved;                                            \
    return fd;                                                \
  }

CREAT(creat)
CREAT(creat64)

/* ---- stdio streams -------------------------------------------------------- */

static int streamFlags(const char* mode) {
  int flags = strchr(mode, '+') != NULL ? O_RDWR : 0;
  if (mode[0] == 'w') flags |= O_WRONLY | O_CREAT | O_TRUNC;
  if (mode[0] == 'a') flags |= O_WRONLY | O_CREAT | O_APPEND;
  if (strchr(mode, 'x') != NULL) flags |= O_EXCL;
  return flags;
}

#define FOPEN(name)                                           \
  FILE* name(const char* path, const char* mode) {            \
    int flags = streamFlags(mode);                            \
    struct OpenNote note = beforeOpen(AT_FDCWD, path, flags); \
    FILE* stream = REAL(name)(path, mode);                    \
    int saved = errno;                                        \
    if (stream != NULL && note.watched) {                     \
      afterOpen(note, fileno(stream), flags);                 \
      trackStream(fileno(stream), 1);                         \
    }                                                         \
    errno = saved;                                            \
    return stream;                                            \
  }

FOPEN(fopen)
FOPEN(fopen64)

/* A stream over a descriptor opened before (its opening is recorded): what
 * is written through it goes through stdio's own writes as well. */
FILE* fdopen(int fd, const char* mode) {
  FILE* stream = REAL(fdopen)(fd, mode);
  int saved = errno;
  char path[PATH_MAX];
  struct stat info;
  int writes = mode[0] != 'r' || strchr(mode, '+') != NULL;
  if (stream != NULL && writes && describeFd(fd, path, &info) && S_ISREG(info.st_mode)) trackStream(fd, 1);
  errno = saved;
  return stream;
}

int fflush(FILE* stream) {
  int result = REAL(fflush)(stream);
  int saved = errno;
  if (result == 0 && stream != NULL && isStream(fileno(stream))) recordWholeFile(fileno(stream));
  errno = saved;
  return result;
}

int fclose(FILE* stream) {
  int fd = stream != NULL ? fileno(stream) : -1;
  if (isStream(fd)) {
    REAL(fflush)(stream);
    recordWholeFile(fd);
    trackStream(fd, 0);
  }
  char path[PATH_MAX];
  struct stat info;
  int watched = describeFd(fd, path, &info);
  int result = REAL(fclose)(stream);
  int saved = errno;
  if (watched) emit("close", &info, 0, 0, 0, path, NULL, NULL, 0);
  errno = saved;
  return result;
}

/* ---- Data ------------------------------------------------------------------ */

/* Where a write through `fd` lands: the end for an appending descriptor. */
static long long writeOffset(int fd, const struct stat* info) {
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0 && (flags & O_APPEND)) return (long long)info->st_size;
  return (long long)lseek(fd, 0, SEEK_CUR);
}

static void recordWrite(int fd, long long offset, const struct stat* info, const char* path, const void* data,
                        ssize_t count) {
  if (count > 0) emit("write", info, offset, 0, 0, path, NULL, data, (size_t)count);
}

ssize_t write(int fd, const void* data, size_t size) {
  char path[PATH_MAX];
  struct stat info;
  int watched = describeFd(fd, path, &info) && S_ISREG(info.st_mode);
  long long offset = watched ? writeOffset(fd, &info) : 0;
  ssize_t count = REAL(write)(fd, data, size);
  int saved = errno;
  if (watched) recordWrite(fd, offset, &info, path, data, count);
  errno = saved;
  return count;
}

#define PWRITE(name, offsetType)                                               \
  ssize_t name(int fd, const void* data, size_t size, offsetType offset) {     \
    char path[PATH_MAX];                                                       \
    struct stat info;                                                          \
    int watched = describeFd(fd, path, &info) && S_ISREG(info.st_mode);        \
    ssize_t count = REAL(name)(fd, data, size, offset);                        \
    int saved = errno;                                                         \
    if (watched) recordWrite(fd, (long long)offset, &info, path, data, count); \
    errno = saved;                                                             \
    return count;                                                              \
  }

PWRITE(pwrite, off_t)
PWRITE(pwrite64, off64_t)

/* The first `count` bytes of `parts`, gathered, for the record. */
static char* gather(const struct iovec* parts, int partCount, ssize_t count) {
  char* data = malloc(count > 0 ? (size_t)count : 1);
  if (data == NULL) return NULL;
  size_t done = 0;
  for (int i = 0; i < partCount && done < (size_t)count; ++i) {
    size_t take = parts[i].iov_len < (size_t)count - done ? parts[i].iov_len : (size_t)count - done;
    memcpy(data + done, parts[i].iov_base, take);
    done += take;
  }
  return data;
}

static void recordGathered(int fd, long long offset, const struct stat* info, const char* path,
                           const struct iovec* parts, int partCount, ssize_t count) {
  if (count <= 0) return;
  char* data = gather(parts, partCount, count);
  if (data == NULL) return;
  recordWrite(fd, offset, info, path, data, count);
  free(data);
}

ssize_t writev(int fd, const struct iovec* parts, int partCount) {
  char path[PATH_MAX];
  struct stat info;
  int watched = describeFd(fd, path, &info) && S_ISREG(info.st_mode);
  long long offset = watched ? writeOffset(fd, &info) : 0;
  ssize_t count = REAL(writev)(fd, parts, partCount);
  int saved = errno;
  if (watched) recordGathered(fd, offset, &info, path, parts, partCount, count);
  errno = saved;
  return count;
}

ssize_t pwritev(int fd, const struct iovec* parts, int partCount, off_t offset) {
  char path[PATH_MAX];
  struct stat info;
  int watched = describeFd(fd, path, &info) && S_ISREG(info.st_mode);
  ssize_t count = REAL(pwritev)(fd, parts, partCount, offset);
  int saved = errno;
  if (watched) recordGathered(fd, (long long)offset, &info, path, parts, partCount, count);
  errno = saved;
  return count;
}

#define FTRUNCATE(name, offsetType)                                          \
  int name(int fd, offsetType length) {                                      \
    int result = REAL(name)(fd, length);                                     \
    int saved = errno;                                                       \
    char path[PATH_MAX];                                                     \
    struct stat info;                                                        \
    if (result == 0 && describeFd(fd, path, &info))                          \
      emit("truncate", &info, 0, (long long)length, 0, path, NULL, NULL, 0); \
    errno = saved;                                                           \
    return result;                                                           \
  }

FTRUNCATE(ftruncate, off_t)
FTRUNCATE(ftruncate64, off64_t)

#define TRUNCATE(name, offsetType)                                                         \
  int name(const char* file, offsetType length) {                                          \
    int result = REAL(name)(file, length);                                                 \
    int saved = errno;                                                                     \
    char path[PATH_MAX];                                                                   \
    struct stat info;                                                                      \
    if (result == 0 && active() && resolvePath(AT_FDCWD, file, path) && underRoot(path) && \
        stat(file, &info) == 0)                                                            \
      emit("truncate", &info, 0, (long long)length, 0, path, NULL, NULL, 0);               \
    errno = saved;                                                                         \
    return result;                                                                         \
  }

TRUNCATE(truncate, off_t)
TRUNCATE(truncate64, off64_t)

/* Writes this model does not follow: recorded so that a test can tell. */
static void unmodelled(int fd, const char* call) {
  char path[PATH_MAX];
  struct stat info;
  if (describeFd(fd, path, &info)) emit("unmodelled", &info, 0, 0, 0, path, call, NULL, 0);
}

ssize_t copy_file_range(int in, off64_t* inOffset, int out, off64_t* outOffset, size_t size, unsigned flags) {
  ssize_t count = REAL(copy_file_range)(in, inOffset, out, outOffset, size, flags);
  int saved = errno;
  if (count > 0) unmodelled(out, "copy_file_range");
  errno = saved;
  return count;
}

ssize_t sendfile(int out, int in, off_t* offset, size_t size) {
  ssize_t count = REAL(sendfile)(out, in, offset, size);
  int saved = errno;
  if (count > 0) unmodelled(out, "sendfile");
  errno = saved;
  return count;
}

int fallocate(int fd, int mode, off_t offset, off_t length) {
  int result = REAL(fallocate)(fd, mode, offset, length);
  int saved = errno;
  if (result == 0) unmodelled(fd, "fallocate");
  errno = saved;
  return result;
}

/* ---- Permissions ------------------------------------------------------------ */

static void recordChmod(const char* path, const struct stat* info) {
  emit("chmod", info, 0, 0, 0, path, NULL, NULL, 0);
}

int fchmod(int fd, mode_t mode) {
  int result = REAL(fchmod)(fd, mode);
  int saved = errno;
  char path[PATH_MAX];
  struct stat info;
  if (result == 0 && describeFd(fd, path, &info)) recordChmod(path, &info);
  errno = saved;
  return result;
}

int fchmodat(int dirfd, const char* file, mode_t mode, int flags) {
  int result = REAL(fchmodat)(dirfd, file, mode, flags);
  int saved = errno;
  char path[PATH_MAX];
  struct stat info;
  if (result == 0 && active() && resolvePath(dirfd, file, path) && underRoot(path) &&
      fstatat(dirfd, file, &info, flags & AT_SYMLINK_NOFOLLOW) == 0)
    recordChmod(path, &info);
  errno = saved;
  return result;
}

int chmod(const char* file, mode_t mode) {
  int result = REAL(chmod)(file, mode);
  int saved = errno;
  char path[PATH_MAX];
  struct stat info;
  if (result == 0 && active() && resolvePath(AT_FDCWD, file, path) && underRoot(path) &&
      stat(file, &info) == 0)
    recordChmod(path, &info);
  errno = saved;
  return result;
}

/* ---- Flushes ---------------------------------------------------------------- */

static void recordFsync(int fd) {
  char path[PATH_MAX];
  struct stat info;
  if (describeFd(fd, path, &info)) emit("fsync", &info, 0, 0, 0, path, NULL, NULL, 0);
}

#define FSYNC(name)                        \
  int name(int fd) {                       \
    if (isStream(fd)) recordWholeFile(fd); \
    int result = REAL(name)(fd);           \
    int saved = errno;                     \
    if (result == 0) recordFsync(fd);      \
    errno = saved;                         \
    return result;                         \
  }

FSYNC(fsync)
FSYNC(fdatasync)

int syncfs(int fd) {
  int result = REAL(syncfs)(fd);
  int saved = errno;
  if (result == 0 && active()) emit("sync", NULL, 0, 0, 0, NULL, NULL, NULL, 0);
  errno = saved;
  return result;
}

void sync(void) {
  REAL(sync)();
  if (active()) emit("sync", NULL, 0, 0, 0, NULL, NULL, NULL, 0);
}

int close(int fd) {
  char path[PATH_MAX];
  struct stat info;
  int watched = describeFd(fd, path, &info);
  trackStream(fd, 0);
  int result = REAL(close)(fd);
  int saved = errno;
  if (watched && result == 0) emit("close", &info, 0, 0, 0, path, NULL, NULL, 0);
  errno = saved;
  return result;
}

/* ---- Names --------------------------------------------------------------------- */

/* A path an operation names, resolved before the call. */
struct Name {
  int watched;
  char path[PATH_MAX];
  struct stat before;
  int existed;
};

static void noteName(struct Name* name, int dirfd, const char* path) {
  name->watched = active() && resolvePath(dirfd, path, name->path) && underRoot(name->path);
  name->existed = name->watched && lstat(name->path, &name->before) == 0;
}

static void emitNamed(const char* op, const struct Name* name, const char* path2, const struct Name* other) {
  struct stat after;
  const char* second = other != NULL ? other->path : path2;
  const char* probe = other != NULL ? other->path : name->path;
  if (lstat(probe, &after) != 0) return;
  emit(op, &after, 0, 0, 0, name->path, second, NULL, 0);
}

int mkdirat(int dirfd, const char* path, mode_t mode) {
  struct Name name;
  noteName(&name, dirfd, path);
  int result = REAL(mkdirat)(dirfd, path, mode);
  int saved = errno;
  if (result == 0 && name.watched) emitNamed("mkdir", &name, NULL, NULL);
  errno = saved;
  return result;
}

int mkdir(const char* path, mode_t mode) {
  struct Name name;
  noteName(&name, AT_FDCWD, path);
  int result = REAL(mkdir)(path, mode);
  int saved = errno;
  if (result == 0 && name.watched) emitNamed("mkdir", &name, NULL, NULL);
  errno = saved;
  return result;
}

int symlinkat(const char* target, int dirfd, const char* path) {
  struct Name name;
  noteName(&name, dirfd, path);
  int result = REAL(symlinkat)(target, dirfd, path);
  int saved = errno;
  if (result == 0 && name.watched) emitNamed("symlink", &name, target, NULL);
  errno = saved;
  return result;
}

int symlink(const char* target, const char* path) {
  struct Name name;
  noteName(&name, AT_FDCWD, path);
  int result = REAL(symlink)(target, path);
  int saved = errno;
  if (result == 0 && name.watched) emitNamed("symlink", &name, target, NULL);
  errno = saved;
  return result;
}

/* Removal: the identity is the one the name had before the call. */
static void emitRemoved(const char* op, const struct Name* name) {
  if (name->existed) emit(op, &name->before, 0, 0, 0, name->path, NULL, NULL, 0);
}

int unlinkat(int dirfd, const char* path, int flags) {
  struct Name name;
  noteName(&name, dirfd, path);
  int result = REAL(unlinkat)(dirfd, path, flags);
  int saved = errno;
  if (result == 0 && name.watched) emitRemoved(flags & AT_REMOVEDIR ? "rmdir" : "unlink", &name);
  errno = saved;
  return result;
}

int unlink(const char* path) {
  struct Name name;
  noteName(&name, AT_FDCWD, path);
  int result = REAL(unlink)(path);
  int saved = errno;
  if (result == 0 && name.watched) emitRemoved("unlink", &name);
  errno = saved;
  return result;
}

int rmdir(const char* path) {
  struct Name name;
  noteName(&name, AT_FDCWD, path);
  int result = REAL(rmdir)(path);
  int saved = errno;
  if (result == 0 && name.watched) emitRemoved("rmdir", &name);
  errno = saved;
  return result;
}

/* Two names: recorded when either lies under the root, so that a file
 * moved in from outside or out to it is not missed. */
static void noteTwo(struct Name* from, struct Name* to, int fromFd, const char* fromPath, int toFd,
                    const char* toPath) {
  noteName(from, fromFd, fromPath);
  noteName(to, toFd, toPath);
  int either = from->watched || to->watched;
  if (!either) return;
  if (!from->watched) from->watched = resolvePath(fromFd, fromPath, from->path);
  if (!to->watched) to->watched = resolvePath(toFd, toPath, to->path);
}

static void emitTwo(const char* op, struct Name* from, struct Name* to) {
  if (!from->watched || !to->watched) return;
  emitNamed(op, from, NULL, to);
}

int renameat2(int fromFd, const char* fromPath, int toFd, const char* toPath, unsigned flags) {
  struct Name from, to;
  noteTwo(&from, &to, fromFd, fromPath, toFd, toPath);
  int result = REAL(renameat2)(fromFd, fromPath, toFd, toPath, flags);
  int saved = errno;
  if (result == 0) emitTwo(flags & RENAME_EXCHANGE ? "exchange" : "rename", &from, &to);
  errno = saved;
  return result;
}

int renameat(int fromFd, const char* fromPath, int toFd, const char* toPath) {
  struct Name from, to;
  noteTwo(&from, &to, fromFd, fromPath, toFd, toPath);
  int result = REAL(renameat)(fromFd, fromPath, toFd, toPath);
  int saved = errno;
  if (result == 0) emitTwo("rename", &from, &to);
  errno = saved;
  return result;
}

int rename(const char* fromPath, const char* toPath) {
  struct Name from, to;
  noteTwo(&from, &to, AT_FDCWD, fromPath, AT_FDCWD, toPath);
  int result = REAL(rename)(fromPath, toPath);
  int saved = errno;
  if (result == 0) emitTwo("rename", &from, &to);
  errno = saved;
  return result;
}

int linkat(int fromFd, const char* fromPath, int toFd, const char* toPath, int flags) {
  struct Name from, to;
  noteTwo(&from, &to, fromFd, fromPath, toFd, toPath);
  int result = REAL(linkat)(fromFd, fromPath, toFd, toPath, flags);
  int saved = errno;
  if (result == 0) emitTwo("link", &from, &to);
  errno = saved;
  return result;
}

int link(const char* fromPath, const char* toPath) {
  struct Name from, to;
  noteTwo(&from, &to, AT_FDCWD, fromPath, AT_FDCWD, toPath);
  int result = REAL(link)(fromPath, toPath);
  int saved = errno;
  if (result == 0) emitTwo("link", &from, &to);
  errno = saved;
  return result;
}
