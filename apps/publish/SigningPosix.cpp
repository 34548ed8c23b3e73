// OpenSSL 3 implementation of the publisher's keys and signatures. OpenSSL
// writes ECDSA signatures in DER; players read exactly 64 bytes, so the DER
// form is unpacked here and r and s are padded to 32 bytes each (a DER
// integer drops leading zero bytes, about one signature in 128 has a short r
// or s).

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>
#include <vector>

#include "Files.h"
#include "Signing.h"

namespace vantis::publish {

namespace {

constexpr int kScalarBytes = 32;
constexpr std::size_t kPointBytes = 65;

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;

// Never asks for a pass phrase: an encrypted key is refused, not prompted
// for, so that scripts never hang on a terminal question.
int refusePassphrase(char*, int, int, void*) { return -1; }

std::string bioText(BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

Key readPrivateKey(const std::string& pem) {
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
  if (!bio) return Key(nullptr, EVP_PKEY_free);
  return Key(PEM_read_bio_PrivateKey(bio.get(), nullptr, refusePassphrase, nullptr), EVP_PKEY_free);
}

bool isP256(EVP_PKEY* key) {
  if (!EVP_PKEY_is_a(key, "EC")) return false;
  char group[64] = {0};
  std::size_t length = 0;
  if (!EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                      &length)) {
    return false;
  }
  const std::string name(group, length);
  return name == "prime256v1" || name == "P-256" || name == "secp256r1";
}

bool publicPointOf(EVP_PKEY* key, std::string& point) {
  unsigned char buffer[kPointBytes];
  std::size_t length = 0;
  if (!EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, buffer, sizeof buffer,
                                       &length)) {
    return false;
  }
  point.assign(reinterpret_cast<const char*>(buffer), length);
  return length == kPointBytes && buffer[0] == 0x04;
}

bool derToRaw(const std::vector<unsigned char>& der, std::string& raw) {
  const unsigned char* cursor = der.data();
  ECDSA_SIG* parsed = d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der.size()));
  if (!parsed) return false;
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  ECDSA_SIG_get0(parsed, &r, &s);
  unsigned char out[2 * kScalarBytes];
  const bool ok = BN_bn2binpad(r, out, kScalarBytes) == kScalarBytes &&
                  BN_bn2binpad(s, out + kScalarBytes, kScalarBytes) == kScalarBytes;
  ECDSA_SIG_free(parsed);
  if (ok) raw.assign(reinterpret_cast<const char*>(out), sizeof out);
  return ok;
}

}  // namespace

bool generateKeyPair(std::string& privatePem, std::string& publicPem, std::string& error) {
  Key key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  Bio privateBio(BIO_new(BIO_s_mem()), BIO_free);
  Bio publicBio(BIO_new(BIO_s_mem()), BIO_free);
  const bool written = key && privateBio && publicBio &&
                       PEM_write_bio_PrivateKey(privateBio.get(), key.get(), nullptr, nullptr, 0,
                                                nullptr, nullptr) == 1 &&
                       PEM_write_bio_PUBKEY(publicBio.get(), key.get()) == 1;
  if (!written) {
    error = "could not generate a P-256 key pair";
    return false;
  }
  privatePem = bioText(privateBio.get());
  publicPem = bioText(publicBio.get());
  return true;
}

bool loadSigningKey(const std::string& path, SigningKey& key, std::string& error) {
  std::string pem;
  bool shared = false;
  if (!readPrivateFile(path, pem, shared)) {
    error = "cannot read the key file " + path;
    return false;
  }
  Key loaded = readPrivateKey(pem);
  if (!loaded) {
    error = path + " holds no unencrypted PEM private key";
    return false;
  }
  if (!isP256(loaded.get())) {
    error = path + " is not a P-256 key; releases are signed with ECDSA P-256 only";
    return false;
  }
  // Whoever can read the key can sign releases that every player installs.
  // Asked only once the file is known to hold a private key, so that a
  // public key or a text given by mistake is named for what it is.
  if (shared) {
    error = path + " can be read by other users; make it private with chmod 600 " + path;
    return false;
  }
  if (!publicPointOf(loaded.get(), key.publicPoint)) {
    error = "cannot read the public half of " + path;
    return false;
  }
  key.pem = pem;
  return true;
}

bool loadPublicKey(const std::string& path, std::string& publicPoint, std::string& error) {
  std::string pem;
  if (!readFile(path, pem)) {
    error = "cannot read the key file " + path;
    return false;
  }
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
  Key loaded(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, refusePassphrase, nullptr) : nullptr,
             EVP_PKEY_free);
  if (!loaded) {
    error = path + " holds no PEM public key";
    return false;
  }
  if (!isP256(loaded.get())) {
    error = path + " is not a P-256 key; releases are signed with ECDSA P-256 only";
    return false;
  }
  if (publicPointOf(loaded.get(), publicPoint)) return true;
  error = "cannot read the public key in " + path;
  return false;
}

bool signP256(const SigningKey& key, const std::string& message, std::string& signature,
              std::string& error) {
  error = "could not sign the release pointer";
  Key loaded = readPrivateKey(key.pem);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  EVP_MD_CTX_free);
  if (!loaded || !context) return false;
  if (EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, loaded.get()) != 1) {
    return false;
  }
  const auto* data = reinterpret_cast<const unsigned char*>(message.data());
  std::size_t length = 0;
  if (EVP_DigestSign(context.get(), nullptr, &length, data, message.size()) != 1) return false;
  std::vector<unsigned char> der(length);
  if (EVP_DigestSign(context.get(), der.data(), &length, data, message.size()) != 1) return false;
  der.resize(length);
  if (!derToRaw(der, signature)) return false;
  error.clear();
  return true;
}

}  // namespace vantis::publish
