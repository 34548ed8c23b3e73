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

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using vantis::bootstrap::JournalEntry;

constexpr mode_t sFolderMode = 0755;
constexpr mode_t sPermissionBits = 07777;
// Deeper than any install; only a cycle of linked folders reaches it.
constexpr size_t sMaxTreeDepth = 64;

const char* const sJournalPath = "content/cache/update-journal.txt";
const char* const sStagingPath = "content/cache/staging";
const char* const sStubPath = "content/bin/stub/Skarvel";

const char* const sNoInstallMessage = "Could not work out where Skarvel is installed.";
const char* const sUpdateMessage =
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
  execlp("zenity", "zenity", "--error", "--title", "Orvendal: Skarvel", "--text", message.c_str(),
         static_cast<char*>(nullptr));
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

// Writes `data` to a new file at `path`, removing it on any failure. The
// close is checked too: a stream cut short when it is flushed at close (a
// full disk) must not pass for a complete file.
bool writeNewFile(const std::string& path, const std::string& data) {
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool written = fwrite(data.data(), 1, data.size(), file) == data.size();
  bool closed = fclose(file) == 0;
  if (written && closed) return true;
  unlink(path.c_str());
  return false;
}

// The permission bits (with set-user-ID, set-group-ID and sticky) of `path`.
bool permissionBits(const std::string& path, mode_t& bits) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  bits = info.st_mode & sPermissionBits;
  return true;
}

// Copies `source` to `destination` through "<destination>.part" and a
// rename, so that a copy cut short never sits under the final name.
bool copyFileThroughPart(const std::string& source, const std::string& destination) {
  std::string data;
  mode_t bits = 0;
  if (!readWholeFile(source, data) || !permissionBits(source, bits)) return false;
  std::string part = destination + ".part";
  if (!writeNewFile(part, data)) return false;
  chmod(part.c_str(), bits);
  if (rename(part.c_str(), destination.c_str()) == 0) return true;
  unlink(part.c_str());
  return false;
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

// Moves one staged file into place. A missing source was moved by an earlier
// replay, which makes replaying a journal twice harmless. False means the
// line must be tried again on the next start.
bool replayJournalLine(const std::string& source, const std::string& destination) {
  if (!fileExists(source)) return true;
  if (rename(source.c_str(), destination.c_str()) == 0) return true;
  bool otherDevice = errno == EXDEV;
  if (!otherDevice) return false;
  // The source is removed only once its copy is in place: until then it is
  // the only complete copy of the new file.
  if (!copyFileThroughPart(source, destination)) return false;
  unlink(source.c_str());
  return true;
}

// False when a line could not be moved; the journal then stays for the next
// start, which skips what is already done. No folder is created for a
// destination: one that is missing fails like a file in use.
bool finishStagedUpdate(const std::string& instanceRoot) {
  std::string journal = instanceRoot + "/" + sJournalPath;
  std::string text;
  if (!fileExists(journal) || !readWholeFile(journal, text)) return true;
  std::string stagingPrefix = instanceRoot + "/" + sStagingPath + "/";
  bool allMoved = true;
  for (const JournalEntry& entry : vantis::bootstrap::parseJournal(text)) {
    if (!replayJournalLine(stagingPrefix + entry.stagedName, instanceRoot + "/" + entry.destination))
      allMoved = false;
  }
  if (allMoved) unlink(journal.c_str());
  return allMoved;
}

// ---- Replacing the bootstrap itself ----------------------------------------------

std::string stagedStub(const std::string& instanceRoot, const std::string& installDir) {
  std::string inInstance = instanceRoot + "/" + sStubPath;
  if (fileExists(inInstance)) return inInstance;
  std::string inInstall = installDir + "/" + sStubPath;
  if (fileExists(inInstall)) return inInstall;
  return {};
}

// Writes the stub to `fresh` and reads it back: a new bootstrap that is not
// byte for byte the stub must never take the running one's name.
bool writeCheckedCopy(const std::string& stub, const std::string& fresh) {
  unlink(fresh.c_str());
  std::string data;
  if (!readWholeFile(stub, data) || !writeNewFile(fresh, data)) return false;
  chmod(fresh.c_str(), 0755);
  if (!filesDiffer(fresh, stub)) return true;
  unlink(fresh.c_str());
  return false;
}

// Renames self away and the new copy in; on failure puts self back, so the
// install always has a bootstrap under its name.
bool swapInNewSelf(const std::string& self, const std::string& fresh) {
  std::string old = self + ".old";
  bool movedAway = rename(self.c_str(), old.c_str()) == 0;
  bool movedIn = movedAway && rename(fresh.c_str(), self.c_str()) == 0;
  if (movedIn) return true;
  if (movedAway) rename(old.c_str(), self.c_str());
  unlink(fresh.c_str());
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
  mkdir((live + "/logs").c_str(), sFolderMode);
  complete = complete && directoryExists(live + "/logs");
  std::string settings = live + "/settings";
  mkdir(settings.c_str(), sFolderMode);
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
  mkdir((dev + "/settings").c_str(), sFolderMode);
  mkdir((dev + "/logs").c_str(), sFolderMode);
  return directoryExists(dev + "/settings") && directoryExists(dev + "/logs");
}

void writeLayoutVersion(const std::string& installDir, int version) {
  mkdir((installDir + "/settings").c_str(), sFolderMode);
  writeNewFile(installDir + "/settings/install-layout.txt", std::to_string(version) + "\n");
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
    mkdir(live.c_str(), sFolderMode);
    complete = rename(oldContent.c_str(), newContent.c_str()) == 0;
  }
  if (!directoryExists(newContent)) return 1;
  complete = moveLogsAndSettings(installDir, live) && complete;
  bool devReady = prepareDevFolder(installDir);
  if (complete && devReady) writeLayoutVersion(installDir, 2);
  return 2;
}

// ---- Completing a channel ------------------------------------------------------------

struct DirectoryId {
  dev_t device;
  ino_t inode;
};

void copyTreeLevel(const std::string& source, const std::string& target,
                   std::vector<DirectoryId>& chain);

bool onChain(const std::vector<DirectoryId>& chain, const struct stat& info) {
  for (const DirectoryId& id : chain)
    if (id.device == info.st_dev && id.inode == info.st_ino) return true;
  return false;
}

void copyFileIfMissing(const std::string& from, const std::string& to) {
  if (fileExists(to)) return;
  copyFileThroughPart(from, to);
}

void copyEntryIfMissing(const std::string& from, const std::string& to, std::vector<DirectoryId>& chain) {
  struct stat info;
  if (stat(from.c_str(), &info) != 0) return;
  if (S_ISDIR(info.st_mode)) {
    copyTreeLevel(from, to, chain);
    return;
  }
  if (S_ISREG(info.st_mode)) copyFileIfMissing(from, to);
}

// Links to folders are followed, but never into a folder the copy is already
// inside: a link back to a parent would otherwise make it descend forever.
void copyTreeLevel(const std::string& source, const std::string& target,
                   std::vector<DirectoryId>& chain) {
  struct stat info;
  if (stat(source.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return;
  if (onChain(chain, info) || chain.size() >= sMaxTreeDepth) return;
  mkdir(target.c_str(), sFolderMode);
  DIR* folder = opendir(source.c_str());
  if (folder == nullptr) return;
  chain.push_back({info.st_dev, info.st_ino});
  while (const dirent* entry = readdir(folder)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    copyEntryIfMissing(source + "/" + name, target + "/" + name, chain);
  }
  chain.pop_back();
  closedir(folder);
}

// Copies what `target` lacks from `source`; files the target already has are
// never overwritten, whatever their content. All failures are silent: the
// start step reports a program that is still missing.
void copyTreeIfMissing(const std::string& source, const std::string& target) {
  std::vector<DirectoryId> chain;
  copyTreeLevel(source, target, chain);
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
  for (const char* sub : {"", "/content", "/logs", "/settings"}) mkdir((root + sub).c_str(), sFolderMode);
  copyTreeIfMissing(seed + "/content/bin", root + "/content/bin");
  copyTreeIfMissing(seed + "/content/resources", root + "/content/resources");
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
  mode_t wanted = (mode & sPermissionBits) | S_IXUSR;
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
    if (wanted == (info.st_mode & sPermissionBits)) continue;
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
    fail(sNoInstallMessage);
    return 1;
  }
  std::string channel = readChannel(installDir);
  Folders first = foldersFor(installDir, channel, readLayoutVersion(installDir));
  if (!finishStagedUpdate(first.instanceRoot)) {
    fail(sUpdateMessage);
    return 1;
  }
  replaceSelfFromStub(first.instanceRoot, installDir, argc, argv);
  return startProgram(settleLayout(installDir, channel), argc, argv);
}
