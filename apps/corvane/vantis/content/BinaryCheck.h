// The per-tier record of installed program files and its quick check.
#pragma once

#include <string>

namespace vantis::content::binarycheck {

// The value as a JSON string: quotation marks around it, a backslash before
// every quotation mark and backslash, control bytes as \u00XX; every other
// byte (UTF-8 included) as it is. Every record the synchroniser writes by
// hand quotes its texts through this one function.
std::string quote(const std::string& value);

}  // namespace vantis::content::binarycheck
