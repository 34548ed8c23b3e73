// Fuzzes the Base64 decoder of the release pointer's two fields. Beyond the
// sanitizers: a decoded text never yields more bytes than its alphabet
// characters can carry, and encoding the result again decodes to the same
// bytes.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/Crypto.h"
#include "FuzzSupport.h"

using vantis::content::decodeBase64;

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string encode(const std::vector<unsigned char>& bytes) {
  std::string text;
  std::uint32_t bits = 0;
  int pending = 0;
  for (unsigned char byte : bytes) {
    bits = (bits << 8) | byte;
    pending += 8;
    while (pending >= 6) {
      pending -= 6;
      text += kAlphabet[(bits >> pending) & 0x3f];
    }
  }
  if (pending > 0) text += kAlphabet[(bits << (6 - pending)) & 0x3f];
  return text;
}

std::size_t alphabetCharacters(const std::string& text) {
  std::size_t count = 0;
  for (char c : text) {
    if (c != '\0' && std::strchr(kAlphabet, c) != nullptr) ++count;
  }
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = skarvel::fuzz::textOf(data, size);
  std::vector<unsigned char> decoded;
  if (!decodeBase64(text, decoded)) return 0;
  FUZZ_CHECK(decoded.size() == alphabetCharacters(text) * 6 / 8);

  std::vector<unsigned char> again;
  FUZZ_CHECK(decodeBase64(encode(decoded), again));
  FUZZ_CHECK(again == decoded);
  return 0;
}
