// The parts of Crypto.h that need no crypto library: the digest comparison
// and text, and Base64. All may run on any thread.
#include "foundation/Crypto.h"

#include <cstdint>
#include <mutex>

namespace vantis::content {

bool Sha256::equals(const std::string& a, const std::string& b) {
  // An empty text is a digest that could not be computed: it matches nothing,
  // not even another empty text.
  if (a.empty() || b.empty() || a.size() != b.size()) return false;
  // Visit every byte so that the time taken does not tell where two digests
  // first differ.
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return difference == 0;
}

bool isLowerHexDigest(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    const bool hexDigit = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    if (!hexDigit) return false;
  }
  return true;
}

namespace {

const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Each byte's 6-bit value in the standard alphabet, or -1.
signed char sBase64Values[256];
std::once_flag sBase64Once;

void buildBase64Table() {
  for (signed char& value : sBase64Values) value = -1;
  for (int i = 0; i < 64; ++i) {
    sBase64Values[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<signed char>(i);
  }
}

// Line breaks and padding may stand anywhere: the pointer's fields come from
// encoders that wrap lines or pad, and neither changes the decoded bytes.
bool isSkippedBase64Byte(unsigned char byte) {
  return byte == '\n' || byte == '\r' || byte == '=';
}

}  // namespace

std::string encodeBase64(const std::string& bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t left = bytes.size() - i;
    std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (left > 1) group |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    if (left > 2) group |= static_cast<unsigned char>(bytes[i + 2]);
    out += kBase64Alphabet[(group >> 18) & 63];
    out += kBase64Alphabet[(group >> 12) & 63];
    out += left > 1 ? kBase64Alphabet[(group >> 6) & 63] : '=';
    out += left > 2 ? kBase64Alphabet[group & 63] : '=';
  }
  return out;
}

bool decodeBase64(const std::string& text, std::vector<unsigned char>& out) {
  std::call_once(sBase64Once, buildBase64Table);
  out.clear();
  out.reserve(text.size() / 4 * 3 + 3);
  std::uint32_t bits = 0;  // only the lowest `pending` bits are kept
  int pending = 0;
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (isSkippedBase64Byte(byte)) continue;
    int value = sBase64Values[byte];
    if (value < 0) return false;
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    pending += 6;
    if (pending < 8) continue;
    pending -= 8;
    out.push_back(static_cast<unsigned char>(bits >> pending));
    bits &= (std::uint32_t{1} << pending) - 1;
  }
  // Fewer than 8 left-over bits are the encoder's filler; they are dropped.
  return true;
}

}  // namespace vantis::content
