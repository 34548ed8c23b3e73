// SHA-256 and the P-256 signature check over OpenSSL's libcrypto.
#include "Crypto.h"

namespace vantis::content {

struct Sha256::State {
  bool failed = true;
};

Sha256::Sha256() : state(new State) {}

Sha256::~Sha256() { delete state; }

void Sha256::update(const void* data, std::size_t length) {}

std::string Sha256::hex() { return std::string(); }

std::string Sha256::of(const void* data, std::size_t length) {
  Sha256 digest;
  digest.update(data, length);
  return digest.hex();
}

std::string Sha256::of(const std::string& bytes) { return of(bytes.data(), bytes.size()); }

bool verifyP256(const unsigned char* publicKey, const void* data, std::size_t length,
                const unsigned char* signature) {
  return false;
}

}  // namespace vantis::content
