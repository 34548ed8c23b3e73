// Reading the process environment: the one place the library looks at it,
// called by the program at its start.

#include <cstdlib>

#include "pipeline/Sync.h"

namespace vantis::content {

namespace {

// An unset variable reads as empty, the same as one set to nothing.
std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

}  // namespace

SyncEnvironment readSyncEnvironment() {
  SyncEnvironment environment;
  environment.gameSearch.home = variable("HOME");
  environment.gameSearch.explicitDir = variable("SKARVEL_DUSKMERE_DIR");
  environment.trustStore.certificateFile = variable("SSL_CERT_FILE");
  environment.trustStore.certificateDir = variable("SSL_CERT_DIR");
  return environment;
}

}  // namespace vantis::content
