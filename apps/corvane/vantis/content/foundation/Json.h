// The synchroniser's JSON reader: a value type that holds one parsed document
// and a strict parser that fills it. Every document the synchroniser reads
// (release pointer, manifest, list lines, state records) goes through here.
//
// Parsing is all or nothing: a document either parses completely or leaves a
// `Null` value and one short lower-case message for the caller to embed in its
// own sentence. Lookups never fail: a missing key, a wrong kind or an index out
// of range answers with `JsonValue::sNull` or the caller's default, so chains
// like doc["a"]["b"].asString(JsonValue::sEmptyString) are always safe.
//
// Values are plain data with no shared state; any thread may parse and read its
// own values, and the two shared constants are never modified. There is no
// writer: the few JSON texts the program writes are assembled where written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vantis::content {

struct JsonValue {
  enum class Kind : std::int32_t { Null = 0, Bool = 1, Number = 2, String = 3, Array = 4, Object = 5 };

  // All fields exist at once; only those of `kind` are meaningful, the others
  // keep their empty defaults. Copies are deep.
  Kind kind = Kind::Null;
  bool boolean = false;
  double number = 0.0;  // every JSON number, integral or not
  std::string text;     // UTF-8 as decoded; may hold zero bytes
  std::vector<JsonValue> items;
  // In document order with duplicates kept; lookups find the first.
  std::vector<std::pair<std::string, JsonValue>> members;

  // The value every failed lookup returns, and the usual `asString` fallback.
  static const JsonValue sNull;
  static const std::string sEmptyString;

  // `text` for a String, else `fallback` itself (the same object, by reference).
  const std::string& asString(const std::string& fallback) const;
  // `number` for a Number, else `fallback`.
  double asNumber(double fallback) const;
  // For a Number within ±2^53 (ends included), `number` truncated toward zero;
  // else `fallback`. Numbers and strings are never converted into each other.
  long long asInt(long long fallback) const;
  // `boolean` for a Bool, else `fallback`.
  bool asBool(bool fallback) const;

  // The first member with exactly this key, or `sNull` (also when not an Object).
  const JsonValue& operator[](const std::string& key) const;
  // The item at `index` of an Array, or `sNull`.
  const JsonValue& operator[](std::size_t index) const;
  // Items of an Array, members of an Object, 0 otherwise.
  std::size_t size() const;
  // True for an Object with a member of exactly this key, even a null one.
  bool has(const std::string& key) const;
};

// The working state of one parse; lives for one `parseJson` call and reads the
// caller's bytes in place. Each step returns false with `error` set on failure
// and leaves `pos` past what it consumed. The first message written wins.
struct JsonParser {
  const char* pos = nullptr;  // next byte to read
  const char* end = nullptr;  // one past the last byte
  std::int32_t depth = 0;     // arrays and objects currently open
  std::string error;          // empty while nothing went wrong

  bool value(JsonValue& out);        // `pos` on the value's first byte
  bool array(JsonValue& out);        // `pos` on '['
  bool object(JsonValue& out);       // `pos` on '{'
  bool string(std::string& out);     // `pos` on the opening quotation mark
};

// Parses [begin, end) as one complete JSON document of at most 8 MiB with at
// most 15 levels of arrays/objects around any value. On success `out` holds the
// document and `error` is empty; on failure `out` is Null and `error` holds a
// lower-case message without a full stop (e.g. "unterminated string").
bool parseJson(const char* begin, const char* end, JsonValue& out, std::string& error);
bool parseJson(const std::string& text, JsonValue& out, std::string& error);

}  // namespace vantis::content
