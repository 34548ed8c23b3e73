// nlohmann-json's parse and dump behind non-throwing calls.

#include "JsonText.h"

#include <algorithm>

namespace vantis::publish {

bool parseJsonText(const std::string& text, Json& out, std::string& error) {
  try {
    out = Json::parse(text);
    return true;
  } catch (const Json::exception& failure) {
    // "[json.exception.parse_error.101] parse error at line 1, ..." reads
    // better without the bracketed code.
    error = failure.what();
    const std::size_t code = error.find("] ");
    if (code != std::string::npos) error.erase(0, code + 2);
    return false;
  }
}

bool writeJsonText(const Json& value, std::string& out) {
  try {
    out = value.dump();
    return true;
  } catch (const Json::exception&) {
    return false;
  }
}

int nestingDepth(const Json& value) {
  if (!value.is_array() && !value.is_object()) return 0;
  int deepest = 0;
  for (const Json& item : value) deepest = std::max(deepest, nestingDepth(item));
  return deepest + 1;
}

}  // namespace vantis::publish
