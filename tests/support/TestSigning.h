// Test-side signing with the development key pair, so that tests can make
// release pointers the synchroniser accepts (the public half is the compiled-in
// key). Test code only: the synchroniser itself never signs anything.
#pragma once

#include <string>
#include <vector>

namespace vantis::content::test {

// The development private key, the partner of the compiled-in public key.
std::string devSigningKeyPath();

// The ECDSA P-256 signature over SHA-256 of `bytes` with the PEM private key
// at `keyPath`, in the fixed-width form r || s (64 bytes). Empty on failure.
std::vector<unsigned char> signP256(const std::string& keyPath, const std::string& bytes);

// Standard-alphabet Base64 with padding and without line breaks.
std::string encodeBase64(const std::string& bytes);
std::string encodeBase64(const std::vector<unsigned char>& bytes);

// A "/current.json" body: the payload and its signature with the development
// key, both Base64-encoded. Empty when signing fails.
std::string signedPointer(const std::string& payload);

}  // namespace vantis::content::test
