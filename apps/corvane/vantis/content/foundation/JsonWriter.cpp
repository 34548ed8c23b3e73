// JSON text out. Strings are written byte for byte apart from the escapes
// JSON demands, so a text read by the parser and written here comes back
// unchanged; numbers take the shortest form that reads back exactly, so a
// value passed through (the credits into the manifest) keeps its meaning.

#include "foundation/JsonWriter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace vantis::content {

namespace {

// Length of the UTF-8 sequence that starts with `lead`, 0 when no sequence
// may start with it.
std::size_t sequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// Overlong three- and four-byte forms, UTF-16 surrogates and code points
// beyond U+10FFFF show in the second byte.
bool secondByteAllowed(unsigned char lead, unsigned char second) {
  if (lead == 0xE0) return second >= 0xA0;
  if (lead == 0xED) return second <= 0x9F;
  if (lead == 0xF0) return second >= 0x90;
  if (lead == 0xF4) return second <= 0x8F;
  return true;
}

std::string numberText(double number) {
  const double limit = 9007199254740992.0;
  const bool integral = std::trunc(number) == number && std::fabs(number) <= limit;
  if (integral) return std::to_string(static_cast<long long>(number));
  char text[40];
  for (int precision = 15; precision <= 17; ++precision) {
    std::snprintf(text, sizeof text, "%.*g", precision, number);
    if (std::strtod(text, nullptr) == number) break;
  }
  return text;
}

void write(const JsonValue& value, std::string& out) {
  switch (value.kind) {
    case JsonValue::Kind::Null:
      out += "null";
      return;
    case JsonValue::Kind::Bool:
      out += value.boolean ? "true" : "false";
      return;
    case JsonValue::Kind::Number:
      out += numberText(value.number);
      return;
    case JsonValue::Kind::String:
      out += quoteJson(value.text);
      return;
    case JsonValue::Kind::Array:
      out += '[';
      for (std::size_t i = 0; i < value.items.size(); ++i) {
        if (i != 0) out += ',';
        write(value.items[i], out);
      }
      out += ']';
      return;
    case JsonValue::Kind::Object:
      out += '{';
      for (std::size_t i = 0; i < value.members.size(); ++i) {
        if (i != 0) out += ',';
        out += quoteJson(value.members[i].first);
        out += ':';
        write(value.members[i].second, out);
      }
      out += '}';
      return;
  }
}

}  // namespace

bool isUtf8(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = sequenceLength(lead);
    if (length == 0 || i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    if (length > 1 && !secondByteAllowed(lead, static_cast<unsigned char>(text[i + 1]))) {
      return false;
    }
    i += length;
  }
  return true;
}

std::string quoteJson(const std::string& value) {
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

std::string jsonTextArray(const std::vector<std::string>& texts) {
  std::string out = "[";
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i != 0) out += ',';
    out += quoteJson(texts[i]);
  }
  out += ']';
  return out;
}

void JsonObjectWriter::key(const char* name) {
  if (text_.size() > 1) text_ += ',';
  text_ += quoteJson(name);
  text_ += ':';
}

JsonObjectWriter& JsonObjectWriter::text(const char* name, const std::string& value) {
  key(name);
  text_ += quoteJson(value);
  return *this;
}

JsonObjectWriter& JsonObjectWriter::number(const char* name, std::int64_t value) {
  key(name);
  text_ += std::to_string(value);
  return *this;
}

JsonObjectWriter& JsonObjectWriter::unsignedNumber(const char* name, std::uint64_t value) {
  key(name);
  text_ += std::to_string(value);
  return *this;
}

JsonObjectWriter& JsonObjectWriter::boolean(const char* name, bool value) {
  key(name);
  text_ += value ? "true" : "false";
  return *this;
}

JsonObjectWriter& JsonObjectWriter::raw(const char* name, const std::string& json) {
  key(name);
  text_ += json;
  return *this;
}

std::string JsonObjectWriter::finish() {
  text_ += '}';
  return std::move(text_);
}

std::string writeJson(const JsonValue& value) {
  std::string out;
  write(value, out);
  return out;
}

int nestingDepth(const JsonValue& value) {
  int deepest = 0;
  for (const JsonValue& item : value.items) deepest = std::max(deepest, nestingDepth(item));
  for (const auto& member : value.members) deepest = std::max(deepest, nestingDepth(member.second));
  const bool container =
      value.kind == JsonValue::Kind::Array || value.kind == JsonValue::Kind::Object;
  return container ? deepest + 1 : 0;
}

}  // namespace vantis::content
