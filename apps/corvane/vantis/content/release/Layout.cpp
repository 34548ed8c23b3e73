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

const char* encodingName(Encoding encoding) {
  return encoding == Encoding::zstd ? "zstd" : "gzip";
}

std::optional<Encoding> encodingNamed(const std::string& name) {
  if (name == "gzip") return Encoding::gzip;
  if (name == "zstd") return Encoding::zstd;
  return std::nullopt;
}

// The suffix differs by encoding so that one server folder can hold a
// release of each: an object stored once is never rewritten, and the server
// sends each suffix with its own Content-Encoding.
std::string objectFile(ObjectKind kind, const std::string& hash, Encoding encoding) {
  if (hash.size() < 4) return std::string();
  const char* area = kind == ObjectKind::bundle    ? "bundles/"
                     : kind == ObjectKind::section ? "sections/"
                                                   : "chunks/";
  const char* suffix = encoding == Encoding::zstd ? ".zst" : ".gz";
  return area + hash.substr(0, 2) + "/" + hash.substr(2, 2) + "/" + hash + suffix;
}

}  // namespace vantis::content
