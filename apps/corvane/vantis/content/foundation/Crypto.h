// SHA-256 digests as lower-case hexadecimal text, the ECDSA P-256 check of
// the release pointer's signature, and Base64 for its fields.
// Everything the synchroniser trusts is tied to one of these.
//
// Thread use: a streaming Sha256 object belongs to one thread; Sha256::of,
// Sha256::equals, verifyP256 and decodeBase64 share no mutable state and may
// run on any thread at once. None of them throws on bad input: failure is
// the empty text or false. This is not a general crypto toolkit: no other
// digest, curve or encoding belongs here.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vantis::content {

// A running SHA-256 computation. Feed bytes with update, then call hex once.
// Any failure inside the crypto library makes the object yield only the empty
// text, which never equals any digest, so a digest that cannot be computed
// reads as a mismatch at every call site.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  // Adds `length` bytes at `data`. A length of 0 is a no-op and `data` may
  // then be null.
  void update(const void* data, std::size_t length);

  // Finishes the computation and returns the 64-character lower-case digest,
  // or the empty text on failure. Call it once, after the last update.
  std::string hex();

  // The digest text of one buffer; empty on failure.
  static std::string of(const void* data, std::size_t length);
  static std::string of(const std::string& bytes);

  // True when both texts are non-empty, equally long and byte for byte equal
  // (so case-sensitive). The time taken does not depend on where they differ.
  static bool equals(const std::string& a, const std::string& b);

 private:
  struct State;
  State* state;
};

// True only when `signature` (64 bytes: r then s, each 32 bytes big-endian)
// is a valid ECDSA P-256 signature of the SHA-256 of the `length` bytes at
// `data` under `publicKey` (65 bytes: 0x04, then X and Y, 32 bytes each).
// Any malformed, compressed or off-curve key, null pointer or bad signature
// gives false.
bool verifyP256(const unsigned char* publicKey, const void* data, std::size_t length,
                const unsigned char* signature);

// Standard-alphabet Base64 with padding, on one line.
std::string encodeBase64(const std::string& bytes);

// True for 64 lower-case hexadecimal characters: the only text that can be
// a digest this system compares (Sha256::hex writes nothing else).
bool isLowerHexDigest(const std::string& text);

// Decodes standard-alphabet Base64 into `out` (emptied first). Line feeds,
// carriage returns and equals signs are skipped wherever they stand; any
// other byte outside the alphabet makes it return false, with `out` holding
// whatever was decoded before it. Padding is optional and left-over bits are
// dropped, so "QQ==" and "QQ" both give the byte 0x41.
bool decodeBase64(const std::string& text, std::vector<unsigned char>& out);

}  // namespace vantis::content
