// The JSON reader's value lookups and its strict recursive-descent parser.
// Recursion is bounded by the nesting limit and input by the size limit, so a
// hostile document can neither exhaust the stack nor take unbounded memory
// beyond a small multiple of its own size. Nothing here throws on bad input;
// only allocation failure escapes.
#include "foundation/Json.h"

#include <charconv>
#include <cstring>
#include <functional>
#include <system_error>

namespace vantis::content {

// Defined before use by any code path, but not safe to touch from other
// statics' initialisers: they are ordinary dynamically initialised objects.
const JsonValue JsonValue::sNull;
const std::string JsonValue::sEmptyString;

const std::string& JsonValue::asString(const std::string& fallback) const {
  return kind == Kind::String ? text : fallback;
}

double JsonValue::asNumber(double fallback) const {
  return kind == Kind::Number ? number : fallback;
}

long long JsonValue::asInt(long long fallback) const {
  // Beyond 2^53 a double no longer holds every integer, so a large count or
  // size read from a document would silently be a different number.
  const double limit = 9007199254740992.0;
  bool inRange = kind == Kind::Number && number >= -limit && number <= limit;
  return inRange ? static_cast<long long>(number) : fallback;
}

bool JsonValue::asBool(bool fallback) const {
  return kind == Kind::Bool ? boolean : fallback;
}

const JsonValue& JsonValue::operator[](const std::string& key) const {
  if (kind != Kind::Object) return sNull;
  for (const auto& member : members) {
    if (member.first == key) return member.second;
  }
  return sNull;
}

const JsonValue& JsonValue::operator[](std::size_t index) const {
  if (kind != Kind::Array || index >= items.size()) return sNull;
  return items[index];
}

std::size_t JsonValue::size() const {
  if (kind == Kind::Array) return items.size();
  if (kind == Kind::Object) return members.size();
  return 0;
}

bool JsonValue::has(const std::string& key) const {
  return &(*this)[key] != &sNull;
}

namespace {

const std::size_t kMaxDocumentBytes = 8 * 1024 * 1024;
// A value may sit inside at most this many open arrays or objects.
const std::int32_t kMaxDepth = 15;

bool isWhite(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

const char* skipWhite(const char* pos, const char* end) {
  while (pos != end && isWhite(*pos)) ++pos;
  return pos;
}

const char* skipDigits(const char* pos, const char* end) {
  while (pos != end && isDigit(*pos)) ++pos;
  return pos;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads 4 hexadecimal digits at `pos` into `unit`; false if fewer remain or
// one is not a digit.
bool readHex4(const char* pos, const char* end, unsigned& unit) {
  if (end - pos < 4) return false;
  unit = 0;
  for (int i = 0; i < 4; ++i) {
    int digit = hexDigit(pos[i]);
    if (digit < 0) return false;
    unit = unit * 16 + static_cast<unsigned>(digit);
  }
  return true;
}

void appendUtf8(std::string& out, unsigned long code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// The single-byte escapes: the byte they stand for, or -1 for an unknown one.
int simpleEscape(char c) {
  switch (c) {
    case '"': return '"';
    case '/': return '/';
    case '\\': return '\\';
    case 'b': return 0x08;
    case 'f': return 0x0C;
    case 'n': return 0x0A;
    case 'r': return 0x0D;
    case 't': return 0x09;
    default: return -1;
  }
}

// For text that matched the number grammar but lies outside the doubles: true
// if it is too large (overflow), false if too small (underflow). Such a number
// is at least about 1e308 or below about 1e-324, so the decimal exponent of its
// first non-zero digit tells the two apart. The exponent saturates so that a
// thousand-digit exponent cannot overflow the arithmetic.
bool tooLarge(const char* pos, const char* end) {
  if (*pos == '-') ++pos;
  long long magnitude = 0;  // decimal exponent of the first non-zero digit
  bool seenNonZero = false;
  const char* intEnd = skipDigits(pos, end);
  for (const char* p = pos; p != intEnd && !seenNonZero; ++p) {
    if (*p == '0') continue;
    seenNonZero = true;
    magnitude = (intEnd - p) - 1;
  }
  pos = intEnd;
  if (pos != end && *pos == '.') {
    const char* fraction = ++pos;
    pos = skipDigits(pos, end);
    for (const char* p = fraction; p != pos && !seenNonZero; ++p) {
      if (*p == '0') continue;
      seenNonZero = true;
      magnitude = -((p - fraction) + 1);
    }
  }
  long long exponent = 0;
  if (pos != end && (*pos == 'e' || *pos == 'E')) {
    ++pos;
    bool negative = *pos == '-';
    if (*pos == '+' || *pos == '-') ++pos;
    for (; pos != end && isDigit(*pos); ++pos) {
      if (exponent < 100000000) exponent = exponent * 10 + (*pos - '0');
    }
    if (negative) exponent = -exponent;
  }
  return magnitude + exponent >= 0;
}

// Converts text already matched against the number grammar. The conversion is
// the exact decimal-to-double rounding of the C library's "C" locale, done
// without consulting the process locale, so "." is always the decimal point.
bool convertNumber(const char* begin, const char* end, double& number) {
  auto result = std::from_chars(begin, end, number);
  if (result.ec == std::errc()) return true;
  // Out of range leaves `number` untouched: overflow is an error, underflow
  // reads as a zero of the number's sign, as the C library's conversion gives.
  if (tooLarge(begin, end)) return false;
  number = *begin == '-' ? -0.0 : 0.0;
  return true;
}

bool fail(std::string& error, const char* message) {
  if (error.empty()) error = message;
  return false;
}

bool literal(const char*& pos, const char* end, const char* word) {
  std::size_t length = std::strlen(word);
  bool matches = static_cast<std::size_t>(end - pos) >= length && std::memcmp(pos, word, length) == 0;
  if (matches) pos += length;
  return matches;
}

bool number(JsonParser& parser, JsonValue& out) {
  const char* begin = parser.pos;
  const char*& pos = parser.pos;
  const char* end = parser.end;
  if (*pos == '-') ++pos;
  if (pos == end || !isDigit(*pos)) return fail(parser.error, "expected a number");
  // A leading zero is the whole integer part: "012" is 0 followed by junk.
  pos = *pos == '0' ? pos + 1 : skipDigits(pos, end);
  if (pos != end && *pos == '.') {
    ++pos;
    if (pos == end || !isDigit(*pos)) return fail(parser.error, "expected a fraction");
    pos = skipDigits(pos, end);
  }
  if (pos != end && (*pos == 'e' || *pos == 'E')) {
    ++pos;
    if (pos != end && (*pos == '+' || *pos == '-')) ++pos;
    if (pos == end || !isDigit(*pos)) return fail(parser.error, "expected an exponent");
    pos = skipDigits(pos, end);
  }
  out.kind = JsonValue::Kind::Number;
  if (!convertNumber(begin, pos, out.number)) return fail(parser.error, "number out of range");
  return true;
}

}  // namespace

bool JsonParser::value(JsonValue& out) {
  out = JsonValue();
  if (pos == end) return fail(error, "unexpected end of input");
  if (depth > kMaxDepth) return fail(error, "nested too deeply");
  char first = *pos;
  switch (first) {
    case '"':
      out.kind = JsonValue::Kind::String;
      return string(out.text);
    case '[': return array(out);
    case '{': return object(out);
    case 't':
    case 'f':
      if (!literal(pos, end, first == 't' ? "true" : "false")) return fail(error, "bad literal");
      out.kind = JsonValue::Kind::Bool;
      out.boolean = first == 't';
      return true;
    case 'n':
      if (!literal(pos, end, "null")) return fail(error, "bad literal");
      return true;
    default:
      return number(*this, out);
  }
}

bool JsonParser::array(JsonValue& out) {
  out = JsonValue();
  out.kind = JsonValue::Kind::Array;
  ++depth;
  ++pos;
  pos = skipWhite(pos, end);
  if (pos != end && *pos == ']') {
    ++pos;
    --depth;
    return true;
  }
  for (;;) {
    pos = skipWhite(pos, end);
    JsonValue element;
    if (!value(element)) return false;
    out.items.push_back(std::move(element));
    pos = skipWhite(pos, end);
    if (pos == end) return fail(error, "unterminated array");
    char c = *pos++;
    if (c == ',') continue;
    if (c != ']') return fail(error, "expected ',' or ']'");
    --depth;
    return true;
  }
}

bool JsonParser::object(JsonValue& out) {
  out = JsonValue();
  out.kind = JsonValue::Kind::Object;
  ++depth;
  ++pos;
  pos = skipWhite(pos, end);
  if (pos != end && *pos == '}') {
    ++pos;
    --depth;
    return true;
  }
  for (;;) {
    pos = skipWhite(pos, end);
    if (pos == end || *pos != '"') return fail(error, "expected a quoted key");
    std::string key;
    if (!string(key)) return false;
    pos = skipWhite(pos, end);
    if (pos == end || *pos != ':') return fail(error, "expected ':'");
    pos = skipWhite(pos + 1, end);
    JsonValue member;
    if (!value(member)) return false;
    // Duplicates are kept in order; lookups search from the front, so the
    // first occurrence is the one every reader sees.
    out.members.emplace_back(std::move(key), std::move(member));
    pos = skipWhite(pos, end);
    if (pos == end) return fail(error, "unterminated object");
    char c = *pos++;
    if (c == ',') continue;
    if (c != '}') return fail(error, "expected ',' or '}'");
    --depth;
    return true;
  }
}

bool JsonParser::string(std::string& out) {
  out.clear();
  ++pos;
  for (;;) {
    // Copy the run of plain bytes in one go; bytes 0x7F-0xFF pass unchecked.
    const char* run = pos;
    while (pos != end && *pos != '"' && *pos != '\\' && static_cast<unsigned char>(*pos) >= 0x20) ++pos;
    out.append(run, pos);
    if (pos == end) return fail(error, "unterminated string");
    if (*pos == '"') {
      ++pos;
      return true;
    }
    if (*pos != '\\') return fail(error, "control character in string");
    ++pos;
    if (pos == end) return fail(error, "unterminated escape");
    char c = *pos++;
    if (c != 'u') {
      int byte = simpleEscape(c);
      if (byte < 0) return fail(error, "unknown escape");
      out += static_cast<char>(byte);
      continue;
    }
    unsigned unit = 0;
    if (!readHex4(pos, end, unit)) return fail(error, "bad \\u escape");
    pos += 4;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return fail(error, "lone low surrogate");
    if (unit < 0xD800 || unit > 0xDBFF) {
      appendUtf8(out, unit);
      continue;
    }
    bool escapeFollows = end - pos >= 2 && pos[0] == '\\' && pos[1] == 'u';
    if (!escapeFollows) return fail(error, "lone high surrogate");
    pos += 2;
    unsigned low = 0;
    if (!readHex4(pos, end, low)) return fail(error, "bad \\u escape");
    pos += 4;
    if (low < 0xDC00 || low > 0xDFFF) return fail(error, "bad low surrogate");
    appendUtf8(out, 0x10000 + (static_cast<unsigned long>(unit) - 0xD800) * 0x400 + (low - 0xDC00));
  }
}

bool parseJson(const char* begin, const char* end, JsonValue& out, std::string& error) {
  out = JsonValue();
  error.clear();
  // std::less gives a total order even for pointers into different buffers.
  if (begin == nullptr || std::less<const char*>()(end, begin)) return fail(error, "no input");
  // Refuse before reading a byte: the limit bounds the work a document costs.
  if (static_cast<std::size_t>(end - begin) > kMaxDocumentBytes) return fail(error, "document too large");
  JsonParser parser;
  parser.pos = skipWhite(begin, end);
  parser.end = end;
  JsonValue parsed;
  if (!parser.value(parsed)) return fail(error, parser.error.empty() ? "malformed JSON" : parser.error.c_str());
  if (skipWhite(parser.pos, end) != end) return fail(error, "unexpected trailing content");
  out = std::move(parsed);
  return true;
}

bool parseJson(const std::string& text, JsonValue& out, std::string& error) {
  return parseJson(text.data(), text.data() + text.size(), out, error);
}

}  // namespace vantis::content
