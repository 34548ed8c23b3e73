// The public half of the key that signs release pointers, compiled into the
// synchroniser from the PEM file named at configure time (SKARVEL_SIGNING_KEY).
// It is the root of trust: every document the synchroniser installs from is
// reached from a pointer signed with the private half.
#pragma once

namespace vantis::content {

// The 65-byte uncompressed P-256 point: 0x04, then X and Y, 32 bytes each.
extern const unsigned char sContentSigningKey[65];

}  // namespace vantis::content
