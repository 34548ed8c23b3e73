// Byte counts as people type them on a command line: "8388608", "512K", "8M"
// or "1G" (powers of 1024, either case). Shared by the publisher's sizes and
// the synchroniser's rate limit, so both read a size the same way. Any
// thread; no state.
#pragma once

#include <cstdint>
#include <string>

namespace vantis::content {

// False on anything else (signs, spaces, fractions, other units) or when the
// value does not fit in 64 bits; `size` is then left alone.
bool parseSizeText(const std::string& text, std::uint64_t& size);

}  // namespace vantis::content
