// Signs bytes with a PEM private key through OpenSSL, for the tests' release
// pointers. Failures return empty results; the calling test asserts on them.
#include "TestSigning.h"

#include <cstdio>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace vantis::content::test {

namespace {

EVP_PKEY* readPrivateKey(const std::string& keyPath) {
  FILE* file = std::fopen(keyPath.c_str(), "rb");
  if (file == nullptr) return nullptr;
  EVP_PKEY* key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
  std::fclose(file);
  return key;
}

// OpenSSL signs in DER; the pointer carries r || s, 32 bytes each.
std::vector<unsigned char> fixedWidth(const std::vector<unsigned char>& der) {
  std::vector<unsigned char> raw;
  const unsigned char* cursor = der.data();
  ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der.size()));
  if (sig == nullptr) return raw;
  raw.resize(64);
  bool converted = BN_bn2binpad(ECDSA_SIG_get0_r(sig), raw.data(), 32) == 32 &&
                   BN_bn2binpad(ECDSA_SIG_get0_s(sig), raw.data() + 32, 32) == 32;
  ECDSA_SIG_free(sig);
  if (!converted) raw.clear();
  return raw;
}

}  // namespace

std::string devSigningKeyPath() { return std::string(SKARVEL_TEST_DATA_DIR) + "/dev-signing-key.pem"; }

std::vector<unsigned char> signP256(const std::string& keyPath, const std::string& bytes) {
  std::vector<unsigned char> der;
  EVP_PKEY* key = readPrivateKey(keyPath);
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  std::size_t size = 0;
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  bool signedOk = key != nullptr && context != nullptr &&
                  EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key) == 1 &&
                  EVP_DigestSign(context, nullptr, &size, data, bytes.size()) == 1;
  if (signedOk) {
    der.resize(size);
    signedOk = EVP_DigestSign(context, der.data(), &size, data, bytes.size()) == 1;
    der.resize(size);
  }
  EVP_MD_CTX_free(context);
  EVP_PKEY_free(key);
  if (!signedOk) return {};
  return fixedWidth(der);
}

std::string encodeBase64(const std::vector<unsigned char>& bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]), bytes.data(),
                               static_cast<int>(bytes.size()));
  text.resize(static_cast<std::size_t>(length));
  return text;
}

std::string encodeBase64(const std::string& bytes) {
  return encodeBase64(std::vector<unsigned char>(bytes.begin(), bytes.end()));
}

std::string signedPointer(const std::string& payload) {
  std::vector<unsigned char> signature = signP256(devSigningKeyPath(), payload);
  if (signature.empty()) return std::string();
  return "{\"payload\":\"" + encodeBase64(payload) + "\",\"signature\":\"" +
         encodeBase64(signature) + "\"}";
}

}  // namespace vantis::content::test
