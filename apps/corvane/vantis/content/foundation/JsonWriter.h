// Writing JSON text: quoting a string, building one compact object member by
// member, and writing a parsed value back out. Every JSON text the library
// and the publisher write goes through here, so one set of quoting rules
// holds for records, lists, the manifest and the pointer alike.
//
// Pure functions and a value type; any thread. Not a general serialiser: no
// pretty printing, no streaming, and numbers are integers except where a
// parsed value carries a fraction.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/Json.h"

namespace vantis::content {

// True when `text` is well-formed UTF-8: no stray continuation bytes, no
// overlong forms, no UTF-16 surrogates, nothing beyond U+10FFFF.
bool isUtf8(const std::string& text);

// The value as a JSON string: quotation marks around it, a backslash before
// every quotation mark and backslash, control bytes as \u00XX; every other
// byte (UTF-8 included) as it is.
std::string quoteJson(const std::string& value);

// `["a","b"]` from the texts, each quoted by `quoteJson`.
std::string jsonTextArray(const std::vector<std::string>& texts);

// One compact object, members in the order they are added:
//   JsonObjectWriter().text("path", p).number("size", n).finish()
class JsonObjectWriter {
 public:
  JsonObjectWriter& text(const char* key, const std::string& value);
  JsonObjectWriter& number(const char* key, std::int64_t value);
  JsonObjectWriter& unsignedNumber(const char* key, std::uint64_t value);
  JsonObjectWriter& boolean(const char* key, bool value);
  // `json` must already be one JSON value's text.
  JsonObjectWriter& raw(const char* key, const std::string& json);
  // The object's text; the writer is spent afterwards.
  std::string finish();

 private:
  void key(const char* name);
  std::string text_ = "{";
};

// The compact text of a parsed value: members in document order (duplicates
// kept), strings through `quoteJson`, integral numbers within +-2^53 as
// integers and others in the shortest form that reads back as the same
// double.
std::string writeJson(const JsonValue& value);

// The number of arrays and objects around the innermost value: 1 for
// {"a":1}, 2 for {"a":[1]}, 0 for a number.
int nestingDepth(const JsonValue& value);

}  // namespace vantis::content
