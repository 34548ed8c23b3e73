// The probing half of the game data discovery: stat and folder listing. Every failure here means "not found" and is never reported; only
// the remembered folder's write answers success or failure.

#include <dirent.h>
#include <sys/stat.h>

#include "foundation/FileSystem.h"
#include "protocol/DuskmereInternal.h"
#include "protocol/InstancePaths.h"

namespace vantis::content {

namespace {

constexpr const char* kMasterFile = "Duskmere.qmf";
constexpr const char* kEnvironmentDir = "SKARVEL_DUSKMERE_DIR";

// stat follows links: a link to the master file counts as the file.
bool isRegularFile(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// A missing or unreadable file reads as empty: it lists no library.
std::string readText(const std::string& path) {
  std::string text;
  readWholeFile(path, text);
  return text;
}

// The base's data folder, or empty when it holds the master file neither in
// "Data Files" nor directly. The exact name only: the search probes, it does
// not list folders.
std::string dataFolderOf(const std::string& base) {
  const std::string dataFiles = duskmere::join(base, "Data Files");
  if (isRegularFile(duskmere::join(dataFiles, kMasterFile))) return dataFiles;
  if (isRegularFile(duskmere::join(base, kMasterFile))) return base;
  return std::string();
}

void addCandidate(std::vector<DuskmereInstall>& installs, const std::string& base,
                  const char* source) {
  if (base.empty()) return;
  const std::string dataFiles = dataFolderOf(base);
  if (dataFiles.empty() || duskmere::isListed(installs, dataFiles)) return;
  DuskmereInstall install;
  install.dataFiles = dataFiles;
  install.source = source;
  install.hasVerethal = isRegularFile(duskmere::join(dataFiles, "Verethal.qmf"));
  install.hasHollowfen = isRegularFile(duskmere::join(dataFiles, "Hollowfen.qmf"));
  installs.push_back(install);
}

void addSteamFolder(std::vector<DuskmereInstall>& installs, const std::string& steamFolder) {
  std::vector<std::string> libraries = {steamFolder};
  for (const std::string& file : duskmere::libraryFiles(steamFolder)) {
    duskmere::scanLibraryPaths(readText(file), libraries);
  }
  for (const std::string& library : libraries) {
    for (const std::string& base : duskmere::steamBases(library)) {
      addCandidate(installs, base, "Steam");
    }
  }
}

}  // namespace

bool isDuskmereDataFiles(const std::string& folder) {
  if (folder.empty()) return false;
  if (isRegularFile(duskmere::join(folder, kMasterFile))) return true;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return false;
  bool found = false;
  while (const dirent* entry = ::readdir(dir)) {
    const bool namedAsMaster = duskmere::equalFolded(entry->d_name, "duskmere.qmf");
    if (namedAsMaster && isRegularFile(duskmere::join(folder, entry->d_name))) {
      found = true;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

std::vector<DuskmereInstall> findDuskmere(const GameSearch& search) {
  std::vector<DuskmereInstall> installs;
  addCandidate(installs, search.explicitDir, kEnvironmentDir);
  const std::string& home = search.home;
  if (home.empty()) return installs;
  for (const std::string& steamFolder : duskmere::steamFolders(home)) {
    addSteamFolder(installs, steamFolder);
  }
  for (const std::string& base : duskmere::gogBases(home)) addCandidate(installs, base, "GOG");
  return installs;
}

bool rememberDuskmere(const std::string& instance, const std::string& dataFiles) {
  // Replaced through "<path>.part" and a rename: a failed write keeps the
  // folder remembered before rather than leaving half a path.
  return replaceWholeFile(instancePaths(instance).rememberedDuskmere, dataFiles);
}

}  // namespace vantis::content
