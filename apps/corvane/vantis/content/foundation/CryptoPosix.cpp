// SHA-256 and the ECDSA P-256 signature check over OpenSSL's libcrypto. This
// is the only file that calls libcrypto for them; callers see Crypto.h.
//
// The key is built through the provider interface (EVP_PKEY_fromdata) rather
// than the EC_KEY calls that OpenSSL 3 deprecates. Both decode the point
// with the same routine, which refuses a point that is not on the curve.
#include "foundation/Crypto.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/sha.h>

namespace vantis::content {

struct Sha256::State {
  EVP_MD_CTX* context = nullptr;  // owned; null when it could not be created
  bool failed = false;            // once set, the object yields only the empty text
};

Sha256::Sha256() : state(new State) {
  state->context = EVP_MD_CTX_new();
  bool started = state->context != nullptr &&
                 EVP_DigestInit_ex(state->context, EVP_sha256(), nullptr) == 1;
  state->failed = !started;
}

Sha256::~Sha256() {
  EVP_MD_CTX_free(state->context);
  delete state;
}

void Sha256::update(const void* data, std::size_t length) {
  // A zero length must not reach OpenSSL: the caller may pass a null pointer
  // with it, for example the data of an empty vector.
  if (state->failed || length == 0) return;
  if (EVP_DigestUpdate(state->context, data, length) != 1) state->failed = true;
}

std::string Sha256::hex() {
  if (state->failed) return std::string();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  bool finished = EVP_DigestFinal_ex(state->context, digest, &size) == 1;
  // The context is spent after finishing; mark it so that a stray second
  // call or a later update yields the empty text instead of a wrong digest.
  state->failed = true;
  if (!finished || size != 32) return std::string();

  static const char kHexDigits[] = "0123456789abcdef";
  std::string text(64, '0');
  for (unsigned int i = 0; i < size; ++i) {
    text[2 * i] = kHexDigits[digest[i] >> 4];
    text[2 * i + 1] = kHexDigits[digest[i] & 0x0f];
  }
  return text;
}

std::string Sha256::of(const void* data, std::size_t length) {
  Sha256 digest;
  digest.update(data, length);
  return digest.hex();
}

std::string Sha256::of(const std::string& bytes) { return of(bytes.data(), bytes.size()); }

namespace {

constexpr std::size_t kPointSize = 65;
constexpr int kScalarSize = 32;

// The P-256 public key from its 65-byte uncompressed form, or null. Decoding
// the point checks that it lies on the curve.
EVP_PKEY* loadPublicKey(const unsigned char* point) {
  char groupName[] = "prime256v1";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, groupName, 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY,
                                        const_cast<unsigned char*>(point), kPointSize),
      OSSL_PARAM_construct_end()};
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
  EVP_PKEY* key = nullptr;
  bool built = context != nullptr && EVP_PKEY_fromdata_init(context) == 1 &&
               EVP_PKEY_fromdata(context, &key, EVP_PKEY_PUBLIC_KEY, params) == 1;
  EVP_PKEY_CTX_free(context);
  if (built) return key;
  EVP_PKEY_free(key);
  return nullptr;
}

// The DER encoding OpenSSL's verifier takes, from the fixed-width r || s.
// Empty on failure.
std::vector<unsigned char> derSignature(const unsigned char* signature) {
  std::vector<unsigned char> der;
  BIGNUM* r = BN_bin2bn(signature, kScalarSize, nullptr);
  BIGNUM* s = BN_bin2bn(signature + kScalarSize, kScalarSize, nullptr);
  ECDSA_SIG* sig = ECDSA_SIG_new();
  if (r == nullptr || s == nullptr || sig == nullptr || ECDSA_SIG_set0(sig, r, s) != 1) {
    BN_free(r);
    BN_free(s);
    ECDSA_SIG_free(sig);
    return der;
  }
  // The signature object owns r and s from here on.
  int size = i2d_ECDSA_SIG(sig, nullptr);
  if (size > 0) {
    der.resize(static_cast<std::size_t>(size));
    unsigned char* cursor = der.data();
    if (i2d_ECDSA_SIG(sig, &cursor) != size) der.clear();
  }
  ECDSA_SIG_free(sig);
  return der;
}

bool verifyDigest(EVP_PKEY* key, const unsigned char* digest,
                  const std::vector<unsigned char>& der) {
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key, nullptr);
  // Only 1 means a valid signature; 0 is a bad one and negative an error.
  bool valid = context != nullptr && EVP_PKEY_verify_init(context) == 1 &&
               EVP_PKEY_CTX_set_signature_md(context, EVP_sha256()) == 1 &&
               EVP_PKEY_verify(context, der.data(), der.size(), digest, SHA256_DIGEST_LENGTH) == 1;
  EVP_PKEY_CTX_free(context);
  return valid;
}

}  // namespace

bool verifyP256(const unsigned char* publicKey, const void* data, std::size_t length,
                const unsigned char* signature) {
  // Only the uncompressed form is accepted: the compiled-in key has it, and
  // anything else is a malformed key, refused before any curve work.
  bool uncompressedKey = publicKey != nullptr && publicKey[0] == 0x04;
  if (!uncompressedKey || signature == nullptr) return false;
  // Same reason as Sha256::update: SHA256 is not handed a null pointer.
  static const unsigned char kNoBytes = 0;
  if (length == 0) data = &kNoBytes;

  EVP_PKEY* key = loadPublicKey(publicKey);
  if (key == nullptr) return false;
  std::vector<unsigned char> der = derSignature(signature);
  unsigned char digest[SHA256_DIGEST_LENGTH];
  bool hashed = SHA256(static_cast<const unsigned char*>(data), length, digest) != nullptr;
  bool valid = !der.empty() && hashed && verifyDigest(key, digest, der);
  EVP_PKEY_free(key);
  return valid;
}

}  // namespace vantis::content
