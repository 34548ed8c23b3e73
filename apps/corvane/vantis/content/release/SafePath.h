// The one rule for the content paths a release names, applied where a path
// comes in: the synchroniser refuses a whole list that names one unsafe
// path, the publisher refuses to publish one, and the pruning of retired
// files applies it before deleting anything. A path is relative to the
// instance's "content" folder, with "/" or "\" as separator.
//
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <string>

namespace vantis::content {

inline constexpr std::size_t kMaxPathBytes = 400;

// 1 to 400 bytes, no ":", not starting with "/" or "\"; split at "/" and "\"
// (empty parts skipped), no part is "." or "..", ends in "." or a space,
// holds a byte 0x00-0x1F or one of `"*<>?|`, or is a reserved device name
// (con, prn, aux, nul, com1-com9, lpt1-lpt9, compared case-insensitively on
// the text before the part's first ".").
bool safeRelativePath(const std::string& path);

// True when the path lies in "cache/" (any letter case, either separator):
// the synchroniser's own folder inside the content folder, which no release
// may write into or delete from.
bool inCacheFolder(const std::string& path);

}  // namespace vantis::content
