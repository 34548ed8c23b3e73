// The parts of Crypto.h that need no crypto library: digest comparison and
// Base64 decoding.
#include "Crypto.h"

namespace vantis::content {

bool Sha256::equals(const std::string& a, const std::string& b) {
  return false;
}

bool decodeBase64(const std::string& text, std::vector<unsigned char>& out) {
  out.clear();
  return false;
}

}  // namespace vantis::content
