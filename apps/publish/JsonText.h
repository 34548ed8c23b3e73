// Reading and writing JSON text for the publisher, over nlohmann-json, with
// failures as return values: the library reports bad input by throwing, and
// these are the only places that catch it.
//
// Pure functions; any thread.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace vantis::publish {

// Objects keep the order their members were written in, so every document
// comes out in the order players' tools and people expect to read it.
using Json = nlohmann::ordered_json;

// Parses one complete document; on failure `error` holds the parser's
// message (without the library's error-code prefix).
bool parseJsonText(const std::string& text, Json& out, std::string& error);

// Compact text, no white space, non-ASCII written as UTF-8. False only when a
// string is not UTF-8.
bool writeJsonText(const Json& value, std::string& out);

// The number of arrays and objects around the innermost value: 1 for
// {"a":1}, 2 for {"a":[1]}, 0 for a number.
int nestingDepth(const Json& value);

}  // namespace vantis::publish
