// The program-file record: path, reading, writing and the quick check of the
// installed programs against it.

#include "BinaryCheck.h"

namespace vantis::content::binarycheck {

std::string quote(const std::string& value) {
  static const char kHex[] = "0123456789abcdef";
  std::string quoted = "\"";
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20) {
      quoted += "\\u00";
      quoted += kHex[byte >> 4];
      quoted += kHex[byte & 0x0f];
      continue;
    }
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

}  // namespace vantis::content::binarycheck
