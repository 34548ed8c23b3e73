// The public halves of the keys that sign release pointers, compiled into the
// synchroniser from the PEM files named at configure time (SKARVEL_SIGNING_KEY,
// a CMake list). They are the root of trust: every document the synchroniser
// installs from is reached from a pointer signed with one of the private
// halves. More than one lets a deployment ship its next key to players before
// it starts signing with it.
#pragma once

#include <cstddef>

namespace vantis::content {

// A 65-byte uncompressed P-256 point: 0x04, then X and Y, 32 bytes each.
inline constexpr std::size_t kSigningKeyBytes = 65;

// A list of such points; a pointer verifies when its signature holds under
// any one of them.
struct SigningKeys {
  const unsigned char (*points)[kSigningKeyBytes] = nullptr;
  std::size_t count = 0;
};

// Every compiled-in key, in the order they were given at configure time.
extern const SigningKeys sContentSigningKeys;
// The first of them (the repository's development key in a default build),
// for tools and tests that need a single key.
extern const unsigned char (&sContentSigningKey)[kSigningKeyBytes];

}  // namespace vantis::content
