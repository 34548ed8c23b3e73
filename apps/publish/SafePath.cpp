// The publisher's path rules: the release's own, and what only the
// publisher can know to refuse.

#include "SafePath.h"

#include "foundation/JsonWriter.h"
#include "release/SafePath.h"

namespace vantis::publish {

bool publishablePath(const std::string& path, std::string& reason) {
  if (!vantis::content::safeRelativePath(path)) {
    reason = "players' synchronisers refuse this path";
    return false;
  }
  if (path.find('\\') != std::string::npos) {
    reason = "a name holds a backslash, which players read as a folder separator";
    return false;
  }
  if (!vantis::content::isUtf8(path)) {
    reason = "the name is not UTF-8";
    return false;
  }
  if (vantis::content::inCacheFolder(path)) {
    reason = "\"cache\" is the synchroniser's own folder and may not hold content";
    return false;
  }
  return true;
}

}  // namespace vantis::publish
