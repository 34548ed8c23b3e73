// Removing the optional tier ("Overhaul"): reading the two verified file
// lists into what the removal deletes and what it must keep. The public entry
// points `clearOverhaul` and `finishClear` are declared in Sync.h; this
// header holds only the list readers they share with their tests.
//
// Private to the sync unit. Pure functions of their inputs, any thread.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace vantis::content {

// Appends, in list order, the "path" of every line of the optional tier's
// file list whose "target" is exactly "instance" and whose path begins with
// exactly "mods/" (case-sensitive; program files and anything outside the
// mods folder are never removed this way). False when a line does not parse.
bool readRemovalList(const std::vector<unsigned char>& optionalList,
                     std::vector<std::string>& removal);

// Inserts the "path" of every line of the required tier's file list (the
// empty text for a line without one). False when a line does not parse.
bool readKeepSet(const std::vector<unsigned char>& requiredList, std::set<std::string>& keep);

}  // namespace vantis::content
