// Where an https request finds the certificates it trusts. The install folder
// carries its own libcurl and OpenSSL, whose built-in idea of that place is the
// one distribution they were built on; so the client looks where the common
// distributions keep their trust store, or where the player names one.
//
// The program's edge fills `TrustStore` from SSL_CERT_FILE and SSL_CERT_DIR;
// nothing here reads the environment, so tests and embedding programs give the
// store as values. `findTrustedCertificates` only looks at the file system and
// may be called from any thread. It is not a certificate parser: a file that
// is there and readable is taken, and OpenSSL judges its contents.
#pragma once

#include <string>
#include <vector>

namespace vantis::content {

// The bundle files the common distributions keep, in the order searched.
std::vector<std::string> systemCertificateBundles();
// The folders of certificates under hashed names ("5ad8a5d6.0"), in order.
std::vector<std::string> systemCertificateFolders();

struct TrustStore {
  // A PEM bundle named by the player (SSL_CERT_FILE). When set it replaces
  // the search of `bundleCandidates`, and must be readable.
  std::string certificateFile;
  // One or more folders, separated by ':', named by the player
  // (SSL_CERT_DIR). When set it replaces the search of `folderCandidates`,
  // and one of them must be a folder.
  std::string certificateDir;
  // Searched in order for the first readable, non-empty regular file.
  std::vector<std::string> bundleCandidates = systemCertificateBundles();
  // Searched in order for the first folder that holds a hashed name.
  std::vector<std::string> folderCandidates = systemCertificateFolders();
};

// What an https request loads: a bundle, a folder, or both.
struct TrustedCertificates {
  std::string file;    // empty: none
  std::string folder;  // empty: none
  // Empty when something was found; otherwise a lower-case phrase without a
  // full stop that says what is missing and how to name it.
  std::string error;
};

// The certificates `store` leads to. A named file or folder that cannot be
// used is an error of its own, never silently replaced by the search.
TrustedCertificates findTrustedCertificates(const TrustStore& store);

}  // namespace vantis::content
