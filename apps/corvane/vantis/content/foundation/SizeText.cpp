// The one reader of typed sizes; see SizeText.h.

#include "foundation/SizeText.h"

namespace vantis::content {

bool parseSizeText(const std::string& text, std::uint64_t& size) {
  if (text.empty() || text.size() > 20) return false;
  std::uint64_t value = 0;
  std::size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const std::uint64_t digit = static_cast<std::uint64_t>(text[i] - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  if (i == 0) return false;
  unsigned shift = 0;
  if (i + 1 == text.size()) {
    const char unit = text[i];
    shift = unit == 'K' || unit == 'k'   ? 10
            : unit == 'M' || unit == 'm' ? 20
            : unit == 'G' || unit == 'g' ? 30
                                         : 64;
    if (shift == 64) return false;
  } else if (i != text.size()) {
    return false;
  }
  if (shift && value > (UINT64_MAX >> shift)) return false;
  size = value << shift;
  return true;
}

}  // namespace vantis::content
