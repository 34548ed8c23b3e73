// A checked-files line as a run would record it, for tests of what the
// synchroniser takes from installed files on the record's word.
#pragma once

#include <string>
#include <vector>

#include "protocol/SyncCheckedFiles.h"

namespace skarvel::test {

// The line for the installed file at `real` as it is now (its identity) and
// as made of `pieces` back to back, each one blob, cut by `cutting`.
vantis::content::CheckedFile checkedLine(const std::string& real,
                                         const std::vector<std::string>& pieces,
                                         const std::string& cutting);

}  // namespace skarvel::test
