// The server folder's paths. Versions and hashes are inserted as they are:
// the publisher admits only versions made of safe characters, and a client
// requests only hashes a verified document named.

#include "release/Layout.h"

namespace vantis::content {

std::string releaseFolder(const std::string& version) { return "manifest/" + version; }

std::string manifestFile(const std::string& version) {
  return releaseFolder(version) + "/manifest.json";
}

std::string listFile(const std::string& version, const char* file) {
  return releaseFolder(version) + "/" + file;
}

std::string objectFile(ObjectKind kind, const std::string& hash) {
  if (hash.size() < 4) return std::string();
  const char* area = kind == ObjectKind::bundle    ? "bundles/"
                     : kind == ObjectKind::section ? "sections/"
                                                   : "chunks/";
  return area + hash.substr(0, 2) + "/" + hash.substr(2, 2) + "/" + hash + ".gz";
}

}  // namespace vantis::content
