// Private to the game data discovery: the pure parts of the search (its
// path joining, the Steam library-file scanner, the fixed places it probes
// and the sameness of two data folders), shared by DuskmerePosix.cpp and the
// tests. No file is touched here.
#pragma once

#include <string>
#include <vector>

#include "protocol/Duskmere.h"

namespace vantis::content::duskmere {

// As `joinPath`, except that only a trailing "/" on the base counts as a
// separator: base "a\" and relative "b" give "a//b".
std::string join(const std::string& base, const std::string& relative);

// Appends every non-empty "path" value of a Steam library file, in file
// order: the text after the key "path" (quotes included) between the next
// two quotation marks, each doubled backslash made single. The file is
// scanned, not parsed; an escaped quote ends the value.
void scanLibraryPaths(const std::string& text, std::vector<std::string>& libraries);

// The three Steam folders under `home`, in search order (plain
// concatenation: no separator added or removed).
std::vector<std::string> steamFolders(const std::string& home);

// Where a Steam folder lists its libraries, in reading order.
std::vector<std::string> libraryFiles(const std::string& steamFolder);

// The game's possible install folders inside one Steam library, in order.
std::vector<std::string> steamBases(const std::string& library);

// The GOG and Heroic install folders under `home`, in search order.
std::vector<std::string> gogBases(const std::string& home);

// Byte for byte with ASCII letters folded to lower case, whatever the
// locale: folder names on disk are bytes, not text.
bool equalFolded(const std::string& a, const std::string& b);

// True when some install's data folder equals `dataFiles` byte for byte
// with ASCII letters folded to lower case.
bool isListed(const std::vector<DuskmereInstall>& installs, const std::string& dataFiles);

}  // namespace vantis::content::duskmere
