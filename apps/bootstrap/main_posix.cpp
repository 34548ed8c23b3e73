// Skarvel: the small program the user starts. It finds its install folder
// from its own executable, finishes an update that an outside updater staged
// but could not complete, replaces itself when a newer copy was staged,
// brings an old single-instance install up to one folder per channel, fills
// an incomplete channel from the other one, and then starts the graphical
// launcher (or the game client), waits for it and exits with its status.
//
// It runs single-threaded, needs nothing but the C library at run time and
// shares no code with the synchroniser: it must still start when everything
// else in the install is broken, so that it can at least say what is wrong.
// It is not an updater: it only replays what the updater left behind.

#include "InstallText.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using vantis::bootstrap::JournalEntry;

constexpr mode_t kFolderMode = 0755;
constexpr mode_t kPermissionBits = 07777;
// Deeper than any install; only a cycle of linked folders reaches it.
constexpr size_t kMaxTreeDepth = 64;

const char* const kJournalPath = "content/cache/update-journal.txt";
const char* const kStagingPath = "content/cache/staging";
const char* const kStubPath = "content/bin/stub/Skarvel";

const char* const kNoInstallMessage = "Could not work out where Skarvel is installed.";
const char* const kUpdateMessage =
    "An update could not be finished.\n\n"
    "A file was in use. Close Duskmere if it is still running, then try again.";

// The folders the start step needs, settled by the layout steps.
struct Folders {
  std::string installDir;
  std::string instanceRoot;
  std::string programRoot;
  int layoutVersion = 1;
};

// ---- Error reporting -------------------------------------------------------

// Runs in the dialog child: the bootstrap changed LD_LIBRARY_PATH for its
// own programs (and may be nested in one), so the desktop's dialog gets the
// library path the desktop had, or it may load the game's private libraries.
[[noreturn]] void showDialog(const std::string& message) {
  if (const char* host = getenv("SKARVEL_HOST_LD_LIBRARY_PATH")) {
    if (*host != '\0')
      setenv("LD_LIBRARY_PATH", host, 1);
    else
      unsetenv("LD_LIBRARY_PATH");
  }
  // Messages name paths and journal lines, which may hold "<" or "&": shown
  // as markup they could hide text or make the dialog refuse the message.
  execlp("zenity", "zenity", "--error", "--no-markup", "--title", "Orvendal: Skarvel", "--text",
         message.c_str(), static_cast<char*>(nullptr));
  _exit(127);
}

// The one way fatal problems reach the user: standard error always, and a
// dialog when a desktop is there, because the bootstrap is usually started
// from a menu where nobody reads standard error. Never fails loudly.
void fail(const std::string& message) {
  fprintf(stderr, "[Orvendal: Skarvel] %s\n", message.c_str());
  bool haveDisplay = getenv("DISPLAY") != nullptr || getenv("WAYLAND_DISPLAY") != nullptr;
  if (!haveDisplay) return;
  pid_t pid = fork();
  if (pid < 0) return;
  if (pid == 0) showDialog(message);
  // Wait, so the bootstrap ends only once the user has closed the dialog.
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// ---- File-system routines --------------------------------------------------

std::string exePath() {
  char buffer[4096];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return {};
  return vantis::bootstrap::stripExeSuffixes(std::string(buffer, static_cast<size_t>(length)));
}

bool directoryExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool fileExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// A read error fails the whole read: a truncated copy of a program would
// otherwise be moved into place as if it were the real one.
bool readWholeFile(const std::string& path, std::string& out) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  out.clear();
  static char chunk[65536];
  size_t count = 0;
  while ((count = fread(chunk, 1, sizeof chunk, file)) > 0) out.append(chunk, count);
  bool readError = ferror(file) != 0;
  fclose(file);
  return !readError;
}

// True only when both files could be read and differ; an unreadable file
// counts as "same", so nothing is replaced on the strength of a failed read.
bool filesDiffer(const std::string& first, const std::string& second) {
  std::string firstData;
  std::string secondData;
  if (!readWholeFile(first, firstData) || !readWholeFile(second, secondData)) return false;
  return firstData != secondData;
}

// The permission bits (with set-user-ID, set-group-ID and sticky) of `path`.
bool permissionBits(const std::string& path, mode_t& bits) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  bits = info.st_mode & kPermissionBits;
  return true;
}

// The bits a new file gets by default: 0666 less the umask.
mode_t defaultFileBits() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

std::string folderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// ---- Durable replacement -------------------------------------------------------
//
// A power cut may keep any name change whose folder was not flushed and lose
// any file data that was not: a name can reach the disk before the bytes it
// names, leaving an empty program. So file data is flushed before the rename
// that gives it its name, and the folder after, before anything that relies
// on the new name (removing the journal, writing the layout file) happens.

// Flushes the names created, renamed or removed in `folder`. Errors are
// ignored: a file system that cannot flush folders gives what it can.
void syncFolder(const std::string& folder) {
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

void syncFolders(std::vector<std::string> folders) {
  std::sort(folders.begin(), folders.end());
  folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
  for (const std::string& folder : folders) syncFolder(folder);
}

// Flushes a file someone else wrote (the updater's staged files) before it
// is renamed into place.
void syncFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

bool writeAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t count = write(fd, data.data() + done, data.size() - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    done += static_cast<size_t>(count);
  }
  return true;
}

enum class Flush { now, later };

// Writes `data` as a brand-new file at `temporary` with exactly `bits`.
// Whatever lay there goes first, and the file is created exclusively without
// following links: a link planted at the temporary's name (to a file outside
// the install, or a hard link left behind by another copy) can never receive
// the bytes; if something takes the name again in between, the create fails.
// With Flush::now the data is on disk when this returns. The file is removed
// on any failure, a short write to a full disk included.
bool writeTemporary(const std::string& temporary, const std::string& data, mode_t bits, Flush flush) {
  unlink(temporary.c_str());
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool written = writeAll(fd, data) && fchmod(fd, bits) == 0;
  bool flushed = written && (flush == Flush::later || fsync(fd) == 0);
  bool closed = close(fd) == 0;
  if (flushed && closed) return true;
  unlink(temporary.c_str());
  return false;
}

// Puts `data` at `path` through "<path>.part" and one rename, so that `path`
// holds the old file or the whole new one at every moment, power cut
// included.
bool replaceFile(const std::string& path, const std::string& data, mode_t bits) {
  std::string part = path + ".part";
  if (!writeTemporary(part, data, bits, Flush::now)) return false;
  if (rename(part.c_str(), path.c_str()) != 0) {
    unlink(part.c_str());
    return false;
  }
  syncFolder(folderOf(path));
  return true;
}

// Copies `source` to `destination` with its permission bits.
bool copyFileThroughPart(const std::string& source, const std::string& destination) {
  std::string data;
  mode_t bits = 0;
  if (!readWholeFile(source, data) || !permissionBits(source, bits)) return false;
  return replaceFile(destination, data, bits);
}

// ---- Settings ----------------------------------------------------------------

std::string readChannel(const std::string& installDir) {
  std::string text;
  if (!readWholeFile(installDir + "/settings/launcher-settings.txt", text)) return "live";
  return vantis::bootstrap::channelFromSettings(text);
}

int readLayoutVersion(const std::string& installDir) {
  std::string text;
  if (!readWholeFile(installDir + "/settings/install-layout.txt", text)) return 1;
  return vantis::bootstrap::layoutVersionFromText(text);
}

// Layout 2 keeps each channel in its own folder; layout 1 has the live
// instance at the top and a dev instance that runs the top's programs.
Folders foldersFor(const std::string& installDir, const std::string& channel, int layoutVersion) {
  if (layoutVersion > 1) {
    std::string root = installDir + "/" + channel;
    return {installDir, root, root, 2};
  }
  std::string root = channel == "dev" ? installDir + "/dev" : installDir;
  return {installDir, root, installDir, 1};
}

// ---- Finishing a staged update -------------------------------------------------

// What lies at a staged file's path. Only a missing file counts as moved by
// an earlier replay; one that cannot be looked at, or is not a plain file (a
// folder, a link to somewhere else), is a line that cannot be carried out,
// never one that is done, or its update would be dropped without a word.
enum class Staged { due, gone, unusable };

Staged stagedState(const std::string& source) {
  struct stat info;
  if (lstat(source.c_str(), &info) != 0) {
    bool missing = errno == ENOENT || errno == ENOTDIR;
    return missing ? Staged::gone : Staged::unusable;
  }
  return S_ISREG(info.st_mode) ? Staged::due : Staged::unusable;
}

// Moves one staged file into place and notes the folders whose names it
// changed in `touched`. Replaying a journal twice is harmless: a line whose
// source is gone was done before. False means the line must be tried again
// on the next start.
bool replayJournalLine(const std::string& source, const std::string& destination,
                       std::vector<std::string>& touched) {
  Staged staged = stagedState(source);
  if (staged != Staged::due) return staged == Staged::gone;
  // The updater may not have flushed what it staged; once the journal is
  // gone nothing would bring the bytes back.
  syncFile(source);
  touched.push_back(folderOf(source));
  if (rename(source.c_str(), destination.c_str()) == 0) {
    touched.push_back(folderOf(destination));
    return true;
  }
  bool otherDevice = errno == EXDEV;
  if (!otherDevice) return false;
  // The source is removed only once its copy is in place and flushed: until
  // then it is the only complete copy of the new file.
  if (!copyFileThroughPart(source, destination)) return false;
  unlink(source.c_str());
  return true;
}

std::string refusedLineMessage(const std::string& line) {
  return "An update could not be finished.\n\n"
         "The update list names a file outside the folders an update may change:\n" +
         line + "\n\nRun the update again. If this message comes back, reinstall Skarvel.";
}

// Replays the update journal. Returns the message to report, empty when
// there was nothing to do or every line was carried out (the journal is then
// deleted). A line that failed or was refused keeps the journal for the next
// start, which skips what is already done; the other lines are still tried.
// No folder is created for a destination: one that is missing fails like a
// file in use.
std::string finishStagedUpdate(const std::string& instanceRoot) {
  std::string journal = instanceRoot + "/" + kJournalPath;
  std::string text;
  if (!fileExists(journal) || !readWholeFile(journal, text)) return {};
  std::string stagingPrefix = instanceRoot + "/" + kStagingPath + "/";
  bool allMoved = true;
  std::string refusedLine;
  std::vector<std::string> touched;
  for (const JournalEntry& entry : vantis::bootstrap::parseJournal(text)) {
    // The journal comes from outside: a line that climbs out of the staging
    // folder or the instance, or aims at the synchroniser's records, would
    // let it move files anywhere the player may write.
    if (!vantis::bootstrap::journalEntryAllowed(entry)) {
      if (refusedLine.empty()) refusedLine = vantis::bootstrap::journalLineForDisplay(entry);
      allMoved = false;
      continue;
    }
    if (!replayJournalLine(stagingPrefix + entry.stagedName, instanceRoot + "/" + entry.destination, touched))
      allMoved = false;
  }
  syncFolders(touched);
  if (!refusedLine.empty()) return refusedLineMessage(refusedLine);
  if (!allMoved) return kUpdateMessage;
  unlink(journal.c_str());
  syncFolder(folderOf(journal));
  return {};
}

// ---- Replacing the bootstrap itself ----------------------------------------------

std::string stagedStub(const std::string& instanceRoot, const std::string& installDir) {
  std::string inInstance = instanceRoot + "/" + kStubPath;
  if (fileExists(inInstance)) return inInstance;
  std::string inInstall = installDir + "/" + kStubPath;
  if (fileExists(inInstall)) return inInstall;
  return {};
}

// Writes the stub to `fresh`, flushed, and reads it back: a new bootstrap
// that is not byte for byte the stub must never take the running one's name.
bool writeCheckedCopy(const std::string& stub, const std::string& fresh) {
  std::string data;
  if (!readWholeFile(stub, data) || !writeTemporary(fresh, data, 0755, Flush::now)) return false;
  std::string back;
  if (readWholeFile(fresh, back) && back == data) return true;
  unlink(fresh.c_str());
  return false;
}

// Takes the new copy in with a single rename over `self`: renaming self away
// first would leave a moment, and after a power cut a disk, without any
// bootstrap at all. The running one keeps a second name, ".old", for as long
// as this run needs it (a hard link; where the file system has none there is
// simply no ".old"). The folder is flushed before the new bootstrap runs.
bool swapInNewSelf(const std::string& self, const std::string& fresh) {
  std::string old = self + ".old";
  link(self.c_str(), old.c_str());
  if (rename(fresh.c_str(), self.c_str()) == 0) {
    syncFolder(folderOf(self));
    return true;
  }
  unlink(fresh.c_str());
  unlink(old.c_str());
  return false;
}

// Replaces this process with the new bootstrap under the same arguments.
// Returns only when that failed; the old code then simply carries on.
void execNewSelf(int argc, char** argv) {
  std::string path = exePath();
  if (path.empty()) return;
  std::vector<char*> args{const_cast<char*>(path.c_str())};
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  execv(path.c_str(), args.data());
}

// The staged stub stays where it is: it is the reference copy, and the next
// start finds no difference. Every failure leaves the current bootstrap.
void replaceSelfFromStub(const std::string& instanceRoot, const std::string& installDir, int argc,
                         char** argv) {
  std::string self = exePath();
  if (self.empty()) return;
  unlink((self + ".old").c_str());
  std::string stub = stagedStub(instanceRoot, installDir);
  if (stub.empty() || !filesDiffer(stub, self)) return;
  std::string fresh = self + ".new";
  if (!writeCheckedCopy(stub, fresh) || !swapInNewSelf(self, fresh)) return;
  execNewSelf(argc, argv);
}

// ---- Layout migration ------------------------------------------------------------

// Moves `from` to `to` unless `to` is already there; false when a needed
// move failed.
bool moveFolderIfMissing(const std::string& from, const std::string& to) {
  if (!directoryExists(from) || directoryExists(to)) return true;
  return rename(from.c_str(), to.c_str()) == 0;
}

// The rest of the move into "live" once the content is there: logs, the
// settings folder and the engine settings. False when any of them is not
// where it belongs.
bool moveLogsAndSettings(const std::string& installDir, const std::string& live) {
  bool complete = moveFolderIfMissing(installDir + "/logs", live + "/logs");
  mkdir((live + "/logs").c_str(), kFolderMode);
  complete = complete && directoryExists(live + "/logs");
  std::string settings = live + "/settings";
  mkdir(settings.c_str(), kFolderMode);
  std::string oldConfig = installDir + "/settings/corvane.cfg";
  std::string newConfig = settings + "/corvane.cfg";
  if (fileExists(oldConfig) && !fileExists(newConfig) && rename(oldConfig.c_str(), newConfig.c_str()) != 0)
    complete = false;
  return complete && directoryExists(settings);
}

// A dev instance of the old layout keeps its folder; it only needs the
// folders every instance has.
bool prepareDevFolder(const std::string& installDir) {
  std::string dev = installDir + "/dev";
  if (!directoryExists(dev)) return true;
  mkdir((dev + "/settings").c_str(), kFolderMode);
  mkdir((dev + "/logs").c_str(), kFolderMode);
  return directoryExists(dev + "/settings") && directoryExists(dev + "/logs");
}

void writeLayoutVersion(const std::string& installDir, int version) {
  mkdir((installDir + "/settings").c_str(), kFolderMode);
  replaceFile(installDir + "/settings/install-layout.txt", std::to_string(version) + "\n", defaultFileBits());
}

// Brings an old single-instance install into the "live" folder. Returns the
// layout the run goes on with: 2 once the live folder holds the content,
// else 1. The layout file is written only when every move succeeded, so a
// partial migration is retried on the next start; the two shared settings
// files never move.
int migrateLayout(const std::string& installDir) {
  if (readLayoutVersion(installDir) > 1) return 2;
  std::string live = installDir + "/live";
  std::string oldContent = installDir + "/content";
  std::string newContent = live + "/content";
  bool complete = true;
  if (directoryExists(oldContent) && !directoryExists(newContent)) {
    mkdir(live.c_str(), kFolderMode);
    complete = rename(oldContent.c_str(), newContent.c_str()) == 0;
  }
  if (!directoryExists(newContent)) return 1;
  complete = moveLogsAndSettings(installDir, live) && complete;
  bool devReady = prepareDevFolder(installDir);
  // The layout file is the promise that every move is done: after a power
  // cut it must never be found without the moves, or the next start would
  // look for the content only where it never arrived.
  syncFolders({installDir, installDir + "/settings", live, live + "/settings", installDir + "/dev"});
  if (complete && devReady) writeLayoutVersion(installDir, 2);
  return 2;
}

// ---- Completing a channel ------------------------------------------------------------

struct DirectoryId {
  dev_t device;
  ino_t inode;
};

// A seed file written to its temporary, waiting for the flush that covers
// all of them before it takes its name.
struct PendingCopy {
  std::string part;
  std::string destination;
};

// One seed copy in progress: the folders it is inside (to stop link
// cycles), the files waiting for their names, and the folders whose names
// it changed (to flush at the end).
struct TreeCopy {
  std::vector<DirectoryId> chain;
  std::vector<PendingCopy> pending;
  std::vector<std::string> changedFolders;
};

void copyTreeIfMissing(const std::string& source, const std::string& target, TreeCopy& copy);

bool onChain(const std::vector<DirectoryId>& chain, const struct stat& info) {
  for (const DirectoryId& id : chain)
    if (id.device == info.st_dev && id.inode == info.st_ino) return true;
  return false;
}

// Creates `folder` and notes it and its parent as changed: both names must
// reach the disk before the seed counts on them.
void makeFolder(const std::string& folder, TreeCopy& copy) {
  if (mkdir(folder.c_str(), kFolderMode) != 0) return;
  copy.changedFolders.push_back(folder);
  copy.changedFolders.push_back(folderOf(folder));
}

void copyFileIfMissing(const std::string& from, const std::string& to, TreeCopy& copy) {
  if (fileExists(to)) return;
  std::string data;
  mode_t bits = 0;
  if (!readWholeFile(from, data) || !permissionBits(from, bits)) return;
  std::string part = to + ".part";
  if (writeTemporary(part, data, bits, Flush::later)) copy.pending.push_back({part, to});
}

void copyEntryIfMissing(const std::string& from, const std::string& to, TreeCopy& copy) {
  struct stat info;
  if (stat(from.c_str(), &info) != 0) return;
  if (S_ISDIR(info.st_mode)) {
    copyTreeIfMissing(from, to, copy);
    return;
  }
  if (S_ISREG(info.st_mode)) copyFileIfMissing(from, to, copy);
}

// Copies what `target` lacks from `source` into temporaries that
// finishTreeCopy names. Links to folders are followed, but never into a
// folder the copy is already inside: a link back to a parent would otherwise
// make it descend forever.
void copyTreeIfMissing(const std::string& source, const std::string& target, TreeCopy& copy) {
  struct stat info;
  if (stat(source.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return;
  if (onChain(copy.chain, info) || copy.chain.size() >= kMaxTreeDepth) return;
  makeFolder(target, copy);
  DIR* folder = opendir(source.c_str());
  if (folder == nullptr) return;
  copy.chain.push_back({info.st_dev, info.st_ino});
  while (const dirent* entry = readdir(folder)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    copyEntryIfMissing(source + "/" + name, target + "/" + name, copy);
  }
  copy.chain.pop_back();
  closedir(folder);
}

// Flushes the data of every waiting file with one flush per file system
// rather than one per file: a seed may be thousands of resource files.
void syncPendingData(const std::vector<PendingCopy>& pending) {
  std::vector<dev_t> flushed;
  for (const PendingCopy& file : pending) {
    struct stat info;
    if (stat(file.part.c_str(), &info) != 0) continue;
    if (std::find(flushed.begin(), flushed.end(), info.st_dev) != flushed.end()) continue;
    int fd = open(file.part.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    syncfs(fd);
    close(fd);
    flushed.push_back(info.st_dev);
  }
}

using PendingFiles = std::vector<PendingCopy>::iterator;

// Renames the files from `begin` to `end` into place, then flushes the
// folders the copy changed.
void nameFiles(PendingFiles begin, PendingFiles end, TreeCopy& copy) {
  for (auto file = begin; file != end; ++file) {
    if (rename(file->part.c_str(), file->destination.c_str()) == 0)
      copy.changedFolders.push_back(folderOf(file->destination));
    else
      unlink(file->part.c_str());
  }
  syncFolders(copy.changedFolders);
  copy.changedFolders.clear();
}

// Gives every waiting file its name once its data is on disk, so that a
// power cut leaves each seed file whole or missing, never empty under its
// name. The files in `last` (those that make a channel count as complete)
// are named only once every other name is on disk: a channel cut off part
// way stays incomplete, and the next start copies what it still lacks.
void finishTreeCopy(TreeCopy& copy, const std::vector<std::string>& last) {
  syncPendingData(copy.pending);
  auto notLast = [&](const PendingCopy& file) {
    return std::find(last.begin(), last.end(), file.destination) == last.end();
  };
  PendingFiles firstOfLast = std::stable_partition(copy.pending.begin(), copy.pending.end(), notLast);
  nameFiles(copy.pending.begin(), firstOfLast, copy);
  nameFiles(firstOfLast, copy.pending.end(), copy);
}

// The files whose presence (with two folders) makes a channel complete.
std::vector<std::string> channelMarkers(const std::string& instanceRoot) {
  std::string bin = instanceRoot + "/content/bin";
  return {bin + "/SkarvelLauncher", bin + "/SkarvelClient", bin + "/defaults.bin"};
}

bool channelComplete(const std::string& instanceRoot) {
  std::string bin = instanceRoot + "/content/bin";
  bool hasProgram = fileExists(bin + "/SkarvelLauncher") || fileExists(bin + "/SkarvelClient");
  return hasProgram && fileExists(bin + "/defaults.bin") && directoryExists(bin + "/lib") &&
         directoryExists(instanceRoot + "/content/resources/vfs");
}

// A channel the user has just switched to may be empty: seed it from the
// other channel's programs and resources, which the synchroniser then
// brings up to that channel's release.
void completeChannel(const Folders& folders, const std::string& channel) {
  if (channelComplete(folders.instanceRoot)) return;
  std::string seed = folders.installDir + (channel == "live" ? "/dev" : "/live");
  if (!directoryExists(seed + "/content/bin")) return;
  const std::string& root = folders.instanceRoot;
  // Files the channel already has are never overwritten, whatever their
  // content. All failures are silent: the start step reports a program that
  // is still missing.
  TreeCopy copy;
  for (const char* sub : {"", "/content", "/logs", "/settings"}) makeFolder(root + sub, copy);
  copyTreeIfMissing(seed + "/content/bin", root + "/content/bin", copy);
  copyTreeIfMissing(seed + "/content/resources", root + "/content/resources", copy);
  finishTreeCopy(copy, channelMarkers(root));
}

// Migration and channel completion; returns the folders the start uses.
Folders settleLayout(const std::string& installDir, const std::string& channel) {
  Folders folders = foldersFor(installDir, channel, migrateLayout(installDir));
  if (folders.layoutVersion > 1) completeChannel(folders, channel);
  return folders;
}

// ---- Starting the program ------------------------------------------------------------

// Permissions a program file should have: owner execute, and execute for
// group and others wherever they may read.
mode_t wantedPermissions(mode_t mode) {
  mode_t wanted = (mode & kPermissionBits) | S_IXUSR;
  if (mode & S_IRGRP) wanted |= S_IXGRP;
  if (mode & S_IROTH) wanted |= S_IXOTH;
  return wanted;
}

// Archives and some copy tools drop execute bits. Only files that are
// programs by their first bytes (an ELF header or "#!") get them back; data
// files in the same folder stay as they are.
bool startsLikeProgram(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  unsigned char head[4] = {0, 0, 0, 0};
  ssize_t count = read(fd, head, sizeof head);
  close(fd);
  bool elf = count == 4 && memcmp(head, "\x7f" "ELF", 4) == 0;
  bool script = count >= 2 && head[0] == '#' && head[1] == '!';
  return elf || script;
}

void makeProgramsExecutable(const std::string& programFolder) {
  DIR* folder = opendir(programFolder.c_str());
  if (folder == nullptr) return;
  while (const dirent* entry = readdir(folder)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string path = programFolder + "/" + name;
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    mode_t wanted = wantedPermissions(info.st_mode);
    if (wanted == (info.st_mode & kPermissionBits)) continue;
    if (startsLikeProgram(path)) chmod(path.c_str(), wanted);
  }
  closedir(folder);
}

std::string resourcesFolder(const Folders& folders) {
  std::string resources = folders.instanceRoot + "/content/resources";
  bool oldSharedResources = folders.layoutVersion == 1 && !directoryExists(resources + "/vfs");
  return oldSharedResources ? folders.installDir + "/content/resources" : resources;
}

std::vector<std::string> programArguments(const std::string& program, const Folders& folders, int argc,
                                          char** argv) {
  std::vector<std::string> args{program};
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  args.insert(args.end(), {"--instance-root", folders.instanceRoot, "--skarvel-settings",
                           folders.installDir + "/settings", "--resources", resourcesFolder(folders)});
  return args;
}

void exportPath(const char* name, const std::string& folder) {
  const char* previous = getenv(name);
  bool extend = previous != nullptr && *previous != '\0';
  setenv(name, extend ? (folder + ":" + previous).c_str() : folder.c_str(), 1);
}

// Runs in the started program's child. The host's library path is kept once,
// by the outermost bootstrap, so that dialogs of nested starts still get the
// desktop's own libraries.
[[noreturn]] void runChild(const std::string& program, const std::string& programFolder,
                           char* const* argv, int readEnd, int writeEnd) {
  if (readEnd >= 0) close(readEnd);
  if (chdir(programFolder.c_str()) != 0) {
    // The program may still start; it reports its own trouble.
  }
  const char* hostPath = getenv("LD_LIBRARY_PATH");
  setenv("SKARVEL_HOST_LD_LIBRARY_PATH", hostPath != nullptr ? hostPath : "", 0);
  exportPath("LD_LIBRARY_PATH", programFolder + "/lib");
  exportPath("OSG_LIBRARY_PATH", programFolder);
  execv(program.c_str(), argv);
  int error = errno;
  if (writeEnd >= 0) {
    ssize_t ignored = write(writeEnd, &error, sizeof error);
    (void)ignored;
  }
  _exit(127);
}

// Reads the child's start error. The write end is close-on-exec, so the read
// returns end of file exactly when execv succeeded, and 4 bytes when it
// failed: no race with the program's start.
bool readStartError(int readEnd, int& error) {
  int value = 0;
  ssize_t count = 0;
  do {
    count = read(readEnd, &value, sizeof value);
  } while (count < 0 && errno == EINTR);
  close(readEnd);
  if (count != static_cast<ssize_t>(sizeof value)) return false;
  error = value;
  return true;
}

int waitForChild(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// Starts `program` with `args`, waits, and returns the bootstrap's exit
// status: the program's own, 1 when a signal ended it or it did not start.
int runAndWait(const std::string& program, const std::string& programFolder,
               const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  // Without the pipe the start goes on; a failed execv then shows only as
  // the child's status 127.
  int ends[2] = {-1, -1};
  if (pipe(ends) == 0) {
    fcntl(ends[0], F_SETFD, FD_CLOEXEC);
    fcntl(ends[1], F_SETFD, FD_CLOEXEC);
  } else {
    ends[0] = ends[1] = -1;
  }
  pid_t pid = fork();
  if (pid < 0) {
    fail("Skarvel could not be started.");
    return 1;
  }
  if (pid == 0) runChild(program, programFolder, argv.data(), ends[0], ends[1]);
  if (ends[1] >= 0) close(ends[1]);
  int startError = 0;
  bool notStarted = ends[0] >= 0 && readStartError(ends[0], startError);
  int status = waitForChild(pid);
  if (notStarted) {
    fail("Skarvel could not start " + program + " (" + strerror(startError) + ").");
    return 1;
  }
  bool endedBySignal = (status & 0x7f) != 0;
  return endedBySignal ? 1 : (status >> 8) & 0xff;
}

int startProgram(const Folders& folders, int argc, char** argv) {
  std::string programFolder = folders.programRoot + "/content/bin";
  makeProgramsExecutable(programFolder);
  std::string program = folders.programRoot + "/content/bin/SkarvelLauncher";
  if (!fileExists(program)) program = folders.programRoot + "/content/bin/SkarvelClient";
  if (!fileExists(program)) {
    fail("Skarvel is missing part of its installation.\n\nExpected to find:\n" + program +
         "\n\nExtract the whole Skarvel folder from the download, keeping it intact.");
    return 1;
  }
  return runAndWait(program, programFolder, programArguments(program, folders, argc, argv));
}

}  // namespace

int main(int argc, char** argv) {
  // A parent that ignores SIGCHLD passes that on; its children are then
  // reaped by the kernel and waitpid could not tell the program's status.
  signal(SIGCHLD, SIG_DFL);
  std::string installDir = vantis::bootstrap::installDirOf(exePath());
  if (installDir.empty()) {
    fail(kNoInstallMessage);
    return 1;
  }
  std::string channel = readChannel(installDir);
  Folders first = foldersFor(installDir, channel, readLayoutVersion(installDir));
  std::string unfinished = finishStagedUpdate(first.instanceRoot);
  if (!unfinished.empty()) {
    fail(unfinished);
    return 1;
  }
  replaceSelfFromStub(first.instanceRoot, installDir, argc, argv);
  return startProgram(settleLayout(installDir, channel), argc, argv);
}
