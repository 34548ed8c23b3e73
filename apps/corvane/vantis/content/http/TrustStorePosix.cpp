// The search for the system's trusted certificates: plain stat, open and
// readdir calls, nothing cached. HttpClient asks once per client.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "http/TrustStore.h"

namespace vantis::content {

namespace {

const char* const kNoneFound =
    "no trusted certificates were found on this computer (install the system's "
    "ca-certificates package, or set SSL_CERT_FILE to a certificate bundle or "
    "SSL_CERT_DIR to a folder of certificates)";

// A regular file this process can open and that holds something. Opened
// rather than checked with access(), which asks about the real user rather
// than the one that will read it.
bool isReadableBundle(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  bool usable = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0;
  ::close(fd);
  return usable;
}

bool isFolder(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// OpenSSL looks certificates up in a folder by subject hash: eight lower-case
// hex digits, a dot and a sequence number.
bool isHashedName(const std::string& name) {
  if (name.size() < 10 || name[8] != '.') return false;
  for (size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    bool digit = c >= '0' && c <= '9';
    if (i < 8 && !hex) return false;
    if (i > 8 && !digit) return false;
  }
  return true;
}

// A folder counts only when OpenSSL could find something in it: many systems
// have /etc/ssl/certs as an empty folder, and loading that would turn "no
// trust store" into a verification failure that names no cause.
bool holdsHashedCertificates(const std::string& path) {
  DIR* folder = ::opendir(path.c_str());
  if (folder == nullptr) return false;
  bool found = false;
  while (!found) {
    const dirent* entry = ::readdir(folder);
    if (entry == nullptr) break;
    found = isHashedName(entry->d_name);
  }
  ::closedir(folder);
  return found;
}

// At least one of the ':'-separated folders exists.
bool namesAFolder(const std::string& list) {
  size_t begin = 0;
  while (begin <= list.size()) {
    size_t end = list.find(':', begin);
    if (end == std::string::npos) end = list.size();
    if (end > begin && isFolder(list.substr(begin, end - begin))) return true;
    begin = end + 1;
  }
  return false;
}

std::string firstReadableBundle(const std::vector<std::string>& candidates) {
  for (const std::string& path : candidates) {
    if (isReadableBundle(path)) return path;
  }
  return std::string();
}

std::string firstHashedFolder(const std::vector<std::string>& candidates) {
  for (const std::string& path : candidates) {
    if (holdsHashedCertificates(path)) return path;
  }
  return std::string();
}

}  // namespace

std::vector<std::string> systemCertificateBundles() {
  return {
      "/etc/ssl/certs/ca-certificates.crt",                 // Debian, Ubuntu, Arch, Gentoo
      "/etc/pki/tls/certs/ca-bundle.crt",                   // Fedora, RHEL
      "/etc/ssl/ca-bundle.pem",                             // openSUSE
      "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",  // RHEL and CentOS 7 on
      "/etc/ssl/cert.pem",                                  // Alpine
  };
}

std::vector<std::string> systemCertificateFolders() {
  return {"/etc/ssl/certs", "/etc/pki/tls/certs"};
}

TrustedCertificates findTrustedCertificates(const TrustStore& store) {
  TrustedCertificates found;
  // A store the player named and that is not there is the answer to give:
  // falling back to the search would hide the mistake.
  if (!store.certificateFile.empty() && !isReadableBundle(store.certificateFile)) {
    found.error = "the certificate bundle named by SSL_CERT_FILE cannot be read (" +
                  store.certificateFile + ")";
    return found;
  }
  if (!store.certificateDir.empty() && !namesAFolder(store.certificateDir)) {
    found.error = "the certificate folder named by SSL_CERT_DIR does not exist (" +
                  store.certificateDir + ")";
    return found;
  }
  found.file = !store.certificateFile.empty() ? store.certificateFile
                                               : firstReadableBundle(store.bundleCandidates);
  found.folder = !store.certificateDir.empty() ? store.certificateDir
                                                : firstHashedFolder(store.folderCandidates);
  if (found.file.empty() && found.folder.empty()) found.error = kNoneFound;
  return found;
}

}  // namespace vantis::content
