// The publisher's keys and signatures: making a P-256 key pair, loading the
// private key a release is signed with, and signing the pointer's payload in
// the raw 64-byte form (r then s, 32 bytes each) that players check against
// their compiled-in public key.
//
// Stateless functions over plain records; any thread. Only the ECDSA P-256
// over SHA-256 scheme exists here: players know no other.
#pragma once

#include <string>

namespace vantis::publish {

// A loaded private key: its PEM text (re-read by OpenSSL for each use, so no
// library object outlives a call) and its public point.
struct SigningKey {
  std::string pem;
  std::string publicPoint;  // 65 bytes: 0x04, X, Y
};

// A fresh P-256 key pair as PEM texts: the private key in PKCS#8 and the
// public key as SubjectPublicKeyInfo (what the build's SKARVEL_SIGNING_KEY
// expects).
bool generateKeyPair(std::string& privatePem, std::string& publicPem, std::string& error);

// Loads the private key at `path`. Refuses, with a one-line reason, a file
// that cannot be read, that holds no unencrypted private key (a public key,
// a certificate, an encrypted key), a key that is not on the P-256 curve, or
// a key file that group or others can read.
bool loadSigningKey(const std::string& path, SigningKey& key, std::string& error);

// Loads the public key at `path` (PEM SubjectPublicKeyInfo, what keygen
// writes as "signing-key.pub.pem") into its 65-byte point. Refuses, with a
// one-line reason, a file that cannot be read, holds no public key or a key
// that is not on the P-256 curve.
bool loadPublicKey(const std::string& path, std::string& publicPoint, std::string& error);

// Signs SHA-256 of `message`; `signature` receives 64 bytes r || s.
bool signP256(const SigningKey& key, const std::string& message, std::string& signature,
              std::string& error);

}  // namespace vantis::publish
