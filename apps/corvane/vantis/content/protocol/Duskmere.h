// Finding and remembering the player's own copy of the base game, whose data
// folder (the one holding the master file "Duskmere.qmf") the engine
// configuration must name. The game is never downloaded: it is searched for
// in the usual install places of the current user (an explicit folder in
// SKARVEL_DUSKMERE_DIR, Steam, GOG and Heroic) and remembered per instance.
//
// Calling thread only; nothing here keeps state between calls apart from the
// remembered folder file. The search only probes fixed paths and never walks
// a tree; it never fails, it only finds less.
#pragma once

#include <string>
#include <vector>

namespace vantis::content {

// Where to look besides the fixed places: the process's HOME and
// SKARVEL_DUSKMERE_DIR, read by the program at its start and passed in, so
// that nothing here depends on the environment it happens to run in.
struct GameSearch {
  std::string home;         // HOME; empty: only `explicitDir` is looked at
  std::string explicitDir;  // SKARVEL_DUSKMERE_DIR; empty when unset
};

struct DuskmereInstall {
  std::string dataFiles;      // the data folder
  std::string source;         // "SKARVEL_DUSKMERE_DIR", "Steam" or "GOG"
  bool hasVerethal = false;   // holds the first expansion's "Verethal.qmf"
  bool hasHollowfen = false;  // holds the second expansion's "Hollowfen.qmf"
};

// True when the folder holds a regular file (links followed) named
// "Duskmere.qmf", in any letter case. False for an empty path.
bool isDuskmereDataFiles(const std::string& folder);

// Every install found on this computer, in search order: `explicitDir`, the
// Steam libraries of the three usual Steam folders under `home`, then the
// GOG and Heroic folders under `home`. A base counts when
// it or its "Data Files" subfolder holds "Duskmere.qmf" (exact name).
// Folders equal but for ASCII letter case are listed once, first come.
// Unreadable places are skipped; without a home only `explicitDir` is used.
std::vector<DuskmereInstall> findDuskmere(const GameSearch& search);

// Records `dataFiles` unchanged as the remembered data folder of the
// instance at `instance` ("content\cache\duskmere.txt": the path as plain
// bytes without a line ending; parent folders created). The file is replaced whole, so a failed write
// keeps the previously remembered folder. True when the write succeeded.
bool rememberDuskmere(const std::string& instance, const std::string& dataFiles);

}  // namespace vantis::content
