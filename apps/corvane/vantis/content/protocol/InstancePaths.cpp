// The instance's layout. Instance-relative paths are written with
// backslashes, as the records have always named them, and become real paths
// only here, through `joinPath`.

#include "protocol/InstancePaths.h"

#include "foundation/FileSystem.h"

namespace vantis::content {

std::string InstancePaths::programRecord(Tier tier) const {
  return joinPath(cache, std::string("binary-check-") + tierName(tier) + ".json");
}

InstancePaths instancePaths(const std::string& root) {
  InstancePaths paths;
  paths.root = root;
  paths.content = joinPath(root, "content");
  paths.programs = joinPath(root, "content\\bin");
  paths.cache = joinPath(root, "content\\cache");
  paths.state = joinPath(paths.cache, "state.json");
  paths.highestSequence = joinPath(paths.cache, "highest-sequence.txt");
  paths.manifestCopy = joinPath(paths.cache, "manifest-head.json");
  paths.blobStore = joinPath(paths.cache, "blobs");
  paths.sections = joinPath(paths.cache, "sections");
  paths.checkedFiles = joinPath(paths.cache, "checked-files.txt");
  paths.rememberedDuskmere = joinPath(paths.cache, "duskmere.txt");
  paths.updateLock = joinPath(paths.cache, "sync.lock");
  paths.tierConfig = joinPath(root, "settings\\corvane.cfg");
  return paths;
}

}  // namespace vantis::content
