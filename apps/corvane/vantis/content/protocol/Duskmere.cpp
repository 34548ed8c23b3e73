// The pure half of the game data discovery: path joining, the Steam
// library-file scanner, the fixed places the search probes and their order.
// The probing itself (stat, listing, environment) is in DuskmerePosix.cpp.

#include <cstddef>

#include "protocol/DuskmereInternal.h"
#include "foundation/FileSystem.h"

namespace vantis::content::duskmere {

namespace {

// Steam's application ID as Flatpak publishes it.
constexpr const char* kSteamFlatpakId = "com.valvesoftware.Steam";

// The folder names the game has been published under on Steam.
constexpr const char* kSteamFolderNames[] = {"Duskmere", "The Grimvale III Duskmere",
                                             "The Grimvale III - Duskmere"};

char foldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Library files write a Windows-style backslash doubled; a lone one stays.
std::string undoubleBackslashes(const std::string& value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    out += value[i];
    const bool doubled = value[i] == '\\' && i + 1 < value.size() && value[i + 1] == '\\';
    if (doubled) ++i;
  }
  return out;
}

}  // namespace

bool equalFolded(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (foldAscii(a[i]) != foldAscii(b[i])) return false;
  }
  return true;
}

std::string join(const std::string& base, const std::string& relative) {
  // A trailing backslash is not a separator here: give it one of its own,
  // which the conversion in joinPath then doubles into "//".
  const bool endsInBackslash = !base.empty() && !relative.empty() && base.back() == '\\';
  return joinPath(endsInBackslash ? base + "/" : base, relative);
}

void scanLibraryPaths(const std::string& text, std::vector<std::string>& libraries) {
  static const std::string kKey = "\"path\"";
  std::size_t pos = 0;
  for (;;) {
    const std::size_t key = text.find(kKey, pos);
    if (key == std::string::npos) return;
    const std::size_t open = text.find('"', key + kKey.size());
    if (open == std::string::npos) return;
    const std::size_t close = text.find('"', open + 1);
    if (close == std::string::npos) return;
    const std::string value = undoubleBackslashes(text.substr(open + 1, close - open - 1));
    if (!value.empty()) libraries.push_back(value);
    pos = close + 1;
  }
}

std::vector<std::string> steamFolders(const std::string& home) {
  return {home + "/.steam/steam", home + "/.local/share/Steam",
          home + "/.var/app/" + kSteamFlatpakId + "/.local/share/Steam"};
}

std::vector<std::string> libraryFiles(const std::string& steamFolder) {
  return {join(steamFolder, "steamapps/libraryfolders.vdf"),
          join(steamFolder, "config/libraryfolders.vdf")};
}

std::vector<std::string> steamBases(const std::string& library) {
  const std::string common = join(library, "steamapps/common");
  std::vector<std::string> bases;
  for (const char* name : kSteamFolderNames) bases.push_back(join(common, name));
  return bases;
}

std::vector<std::string> gogBases(const std::string& home) {
  return {home + "/Games/Heroic/Duskmere",
          home + "/Games/Heroic/The Grimvale III Duskmere GOTY Edition",
          home + "/Games/gog/duskmere", home + "/GOG Games/Duskmere"};
}

bool isListed(const std::vector<DuskmereInstall>& installs, const std::string& dataFiles) {
  for (const DuskmereInstall& install : installs) {
    if (equalFolded(install.dataFiles, dataFiles)) return true;
  }
  return false;
}

}  // namespace vantis::content::duskmere
