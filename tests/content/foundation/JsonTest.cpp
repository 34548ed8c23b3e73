// Tests of the JSON reader: every parser message, the size and nesting limits,
// number conversion, string decoding to exact bytes, and the lookups that must
// never fail.
#include "foundation/Json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace vantis::content {
namespace {

struct Refusal {
  std::string input;
  std::string message;
};

std::string nested(int levels, const std::string& inner) {
  return std::string(levels, '[') + inner + std::string(levels, ']');
}

JsonValue parseOrFail(const std::string& text) {
  JsonValue value;
  std::string error;
  EXPECT_TRUE(parseJson(text, value, error)) << "input: " << text << ", error: " << error;
  EXPECT_EQ(error, "");
  return value;
}

TEST(ParseJson, RefusesWithTheInnermostMessage) {
  const std::vector<Refusal> rows = {
      {"", "unexpected end of input"},
      {" \t\r\n", "unexpected end of input"},
      {"{} x", "unexpected trailing content"},
      {"true x", "unexpected trailing content"},
      {"truex", "unexpected trailing content"},
      {"01", "unexpected trailing content"},
      {"[01]", "expected ',' or ']'"},
      {"[truex]", "expected ',' or ']'"},
      {"\xEF\xBB\xBF{}", "expected a number"},  // no byte-order mark
      {"\f1", "expected a number"},             // form feed is not white space
      {"/* c */ 1", "expected a number"},
      {"tru", "bad literal"},
      {"nul", "bad literal"},
      {"fals", "bad literal"},
      {"True", "expected a number"},
      {"nulL", "bad literal"},
      {"+1", "expected a number"},
      {"-", "expected a number"},
      {"-x", "expected a number"},
      {".5", "expected a number"},
      {"]", "expected a number"},
      {"}", "expected a number"},
      {",", "expected a number"},
      {":", "expected a number"},
      {"[1,]", "expected a number"},
      {"1.", "expected a fraction"},
      {"1.e5", "expected a fraction"},
      {"1e", "expected an exponent"},
      {"1e+", "expected an exponent"},
      {"1E-x", "expected an exponent"},
      {"1e400", "number out of range"},
      {"-1e400", "number out of range"},
      {"1.7976931348623159e308", "number out of range"},
      {"[1e99999999999999999999999]", "number out of range"},
      {"\"abc", "unterminated string"},
      {"\"a\tb\"", "control character in string"},
      {std::string("\"a\0b\"", 5), "control character in string"},
      {"\"\x1F\"", "control character in string"},
      {"\"\\", "unterminated escape"},
      {"\"\\x\"", "unknown escape"},
      {"\"\\U0041\"", "unknown escape"},
      {"\"\\u12\"", "bad \\u escape"},
      {"\"\\u12", "bad \\u escape"},
      {"\"\\u12g4\"", "bad \\u escape"},
      {"\"\\uDE00\"", "lone low surrogate"},
      {"\"\\uD83D\"", "lone high surrogate"},
      {"\"\\uD83D", "lone high surrogate"},
      {"\"\\uD83D\\n\"", "lone high surrogate"},
      {"\"\\uD83D\\u", "bad \\u escape"},
      {"\"\\uD83D\\uDE0\"", "bad \\u escape"},
      {"\"\\uD83D\\u0041\"", "bad low surrogate"},
      {"\"\\uD83D\\uD83D\"", "bad low surrogate"},
      {"[", "unexpected end of input"},
      {"[1", "unterminated array"},
      {"[1 ", "unterminated array"},
      {"[1 2]", "expected ',' or ']'"},
      {"[1}", "expected ',' or ']'"},
      {"{", "expected a quoted key"},
      {"{,}", "expected a quoted key"},
      {"{a:1}", "expected a quoted key"},
      {"{\"a\":1,}", "expected a quoted key"},
      {"{\"a\"", "expected ':'"},
      {"{\"a\" 1}", "expected ':'"},
      {"{\"a\":", "unexpected end of input"},
      {"{\"a\":1", "unterminated object"},
      {"{\"a\":1]", "expected ',' or '}'"},
      {"{\"a\":1 \"b\":2}", "expected ',' or '}'"},
      {"{\"a\":[1,{\"b\":\"\\q\"}]}", "unknown escape"},  // innermost message survives
      {"{\"a\\", "unterminated escape"},
  };
  for (const auto& row : rows) {
    JsonValue value;
    value.kind = JsonValue::Kind::Number;
    value.number = 7;
    std::string error = "stale";
    EXPECT_FALSE(parseJson(row.input, value, error)) << "input: " << row.input;
    EXPECT_EQ(error, row.message) << "input: " << row.input;
    EXPECT_EQ(value.kind, JsonValue::Kind::Null) << "input: " << row.input;
    EXPECT_EQ(value.number, 0.0) << "input: " << row.input;
  }
}

TEST(ParseJson, RefusesMissingInput) {
  JsonValue value;
  std::string error;
  EXPECT_FALSE(parseJson(nullptr, nullptr, value, error));
  EXPECT_EQ(error, "no input");
  const char text[] = "[1]";
  EXPECT_FALSE(parseJson(text + 2, text, value, error));
  EXPECT_EQ(error, "no input");
  EXPECT_FALSE(parseJson(text, text, value, error));
  EXPECT_EQ(error, "unexpected end of input");
}

TEST(ParseJson, FailureLeavesNothingOfThePartialParse) {
  JsonValue value = parseOrFail("{\"a\":[1,2,3],\"b\":\"x\"}");
  std::string error;
  EXPECT_FALSE(parseJson("{\"a\":[1,2,3],\"b\":\"x\"", value, error));
  EXPECT_EQ(error, "unterminated object");
  EXPECT_EQ(value.kind, JsonValue::Kind::Null);
  EXPECT_TRUE(value.members.empty());
  EXPECT_TRUE(value.items.empty());
  EXPECT_EQ(value.text, "");
}

TEST(ParseJson, AcceptsExactlyEightMebibytes) {
  const std::size_t limit = 8u * 1024 * 1024;
  // A string that fills the document to the byte: quote, filler, quote.
  std::string document = "\"" + std::string(limit - 2, 'x') + "\"";
  ASSERT_EQ(document.size(), limit);
  JsonValue value = parseOrFail(document);
  EXPECT_EQ(value.text.size(), limit - 2);

  // One more byte is refused before any byte is read, even the invalid ones.
  std::string tooLarge(limit + 1, '\x01');
  std::string error;
  EXPECT_FALSE(parseJson(tooLarge, value, error));
  EXPECT_EQ(error, "document too large");
}

TEST(ParseJson, LimitsNesting) {
  struct Row {
    std::string input;
    bool accepted;
  };
  const std::vector<Row> rows = {
      {nested(15, "1"), true},
      {nested(16, "1"), false},
      {nested(16, ""), true},
      {nested(17, ""), false},
      {std::string(15, '[') + "{\"a\":1}" + std::string(15, ']'), false},
      {std::string(15, '[') + "{}" + std::string(15, ']'), true},
      {std::string(14, '[') + "{\"a\":[1]}" + std::string(14, ']'), false},
      {std::string(100000, '['), false},  // must not exhaust the stack
  };
  for (const auto& row : rows) {
    JsonValue value;
    std::string error;
    EXPECT_EQ(parseJson(row.input, value, error), row.accepted) << "input: " << row.input.substr(0, 40);
    EXPECT_EQ(error, row.accepted ? "" : "nested too deeply") << "input: " << row.input.substr(0, 40);
  }
  // Depth is lowered again on close: siblings at the deepest level still parse.
  parseOrFail("[" + nested(14, "1") + "," + nested(14, "2") + "]");
}

TEST(ParseJson, ReadsCompleteDocuments) {
  EXPECT_EQ(parseOrFail("42").asInt(0), 42);
  EXPECT_EQ(parseOrFail("\"lone\"").asString(JsonValue::sEmptyString), "lone");
  EXPECT_TRUE(parseOrFail("true").asBool(false));
  EXPECT_FALSE(parseOrFail("false").asBool(true));
  EXPECT_EQ(parseOrFail("null").kind, JsonValue::Kind::Null);
  EXPECT_EQ(parseOrFail(" \t\r\n{} \n").kind, JsonValue::Kind::Object);
  EXPECT_EQ(parseOrFail("[]").kind, JsonValue::Kind::Array);

  JsonValue doc = parseOrFail(
      " { \"name\" : \"Vale\" , \"n\" : [ 1 , 2.5 , -3 ] , \"on\" : true , \"none\" : null , \"o\" : { } } ");
  EXPECT_EQ(doc.size(), 5u);
  EXPECT_EQ(doc["name"].asString(JsonValue::sEmptyString), "Vale");
  EXPECT_EQ(doc["n"].size(), 3u);
  EXPECT_EQ(doc["n"][1].asNumber(0), 2.5);
  EXPECT_EQ(doc["n"][2].asInt(0), -3);
  EXPECT_TRUE(doc["on"].asBool(false));
  EXPECT_TRUE(doc.has("none"));
  EXPECT_EQ(doc["o"].kind, JsonValue::Kind::Object);
  EXPECT_EQ(doc.members[0].first, "name");
  EXPECT_EQ(doc.members[4].first, "o");
}

TEST(ParseJson, ConvertsNumbersExactly) {
  struct Row {
    std::string input;
    double expected;
  };
  const std::vector<Row> rows = {
      {"0", 0.0},
      {"-0.0", -0.0},
      {"0.1", 0.1},
      {"1E2", 100.0},
      {"1e+2", 100.0},
      {"25e-1", 2.5},
      {"123456789012345678901234567890", 123456789012345678901234567890.0},
      {"1.7976931348623157e308", 1.7976931348623157e308},
      {"4.9e-324", 4.9e-324},  // the smallest subnormal survives
      {"2.2250738585072011e-308", 2.2250738585072011e-308},
      {"1e-400", 0.0},
      {"0e999999999999", 0.0},
      {"0.000000000000000000000000000001e-400", 0.0},
  };
  for (const auto& row : rows) {
    JsonValue value = parseOrFail(row.input);
    EXPECT_EQ(value.kind, JsonValue::Kind::Number) << row.input;
    EXPECT_EQ(value.number, row.expected) << row.input;
    EXPECT_EQ(std::signbit(value.number), std::signbit(row.expected)) << row.input;
  }
  EXPECT_TRUE(std::signbit(parseOrFail("-0").number));
  EXPECT_TRUE(std::signbit(parseOrFail("-1e-400").number));
  EXPECT_EQ(parseOrFail("-1e-400").number, 0.0);
}

TEST(ParseJson, DecodesStringsToExactBytes) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {R"("\"\/\\\b\f\n\r\t")", "\"/\\\b\f\n\r\t"},
      {R"("\u0041\u00e9\u20AC")", "A\xC3\xA9\xE2\x82\xAC"},
      {R"("\u007F\u0080\u07FF\u0800\uFFFF")", "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
      {R"("\uD83D\uDE00")", "\xF0\x9F\x98\x80"},
      {R"("\uD800\uDC00\uDBFF\uDFFF")", "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
      {R"("a\u0000b")", std::string("a\0b", 3)},
      {"\"\x7F\x80\xFF\xC3\"", "\x7F\x80\xFF\xC3"},  // no UTF-8 validation
      {"\"\"", ""},
  };
  for (const auto& row : rows) {
    JsonValue value = parseOrFail(row.first);
    EXPECT_EQ(value.kind, JsonValue::Kind::String) << row.first;
    EXPECT_EQ(value.text, row.second) << row.first;
  }
}

TEST(ParseJson, KeysMayBeEmptyOrEscaped) {
  JsonValue doc = parseOrFail(R"({"":1,"k\u00e9y\n":2,"a\u0000b":3})");
  EXPECT_EQ(doc[""].asInt(0), 1);
  EXPECT_EQ(doc["k\xC3\xA9y\n"].asInt(0), 2);
  EXPECT_EQ(doc[std::string("a\0b", 3)].asInt(0), 3);
  EXPECT_FALSE(doc.has("a"));  // the zero byte is part of the key, not its end
}

TEST(ParseJson, KeepsDuplicateKeysAndFindsTheFirst) {
  JsonValue doc = parseOrFail(R"({"a":1,"b":0,"a":2})");
  EXPECT_EQ(doc.size(), 3u);
  EXPECT_EQ(doc["a"].asInt(0), 1);
  EXPECT_EQ(doc.members[2].first, "a");
  EXPECT_EQ(doc.members[2].second.asInt(0), 2);
}

TEST(JsonValue, AsIntTruncatesWithinTwoToTheFiftyThird) {
  struct Row {
    std::string input;
    long long expected;
  };
  const std::vector<Row> rows = {
      {"9007199254740992", 9007199254740992LL},
      {"-9007199254740992", -9007199254740992LL},
      {"9007199254740993", 9007199254740992LL},  // rounds to 2^53 as a double
      {"9007199254740994", -1},
      {"-9007199254740994", -1},
      {"1e16", -1},
      {"1e300", -1},
      {"3.9", 3},
      {"-3.9", -3},
      {"-0.5", 0},
      {"\"5\"", -1},
      {"true", -1},
      {"null", -1},
      {"[5]", -1},
  };
  for (const auto& row : rows) EXPECT_EQ(parseOrFail(row.input).asInt(-1), row.expected) << row.input;
}

TEST(JsonValue, NeverConvertsBetweenKinds) {
  JsonValue number = parseOrFail("1");
  JsonValue text = parseOrFail("\"true\"");
  JsonValue flag = parseOrFail("true");
  EXPECT_FALSE(number.asBool(false));
  EXPECT_FALSE(text.asBool(false));
  EXPECT_EQ(text.asNumber(-2), -2);
  EXPECT_EQ(flag.asNumber(-2), -2);
  EXPECT_EQ(number.asString("fallback"), "fallback");
  EXPECT_EQ(flag.size(), 0u);
  EXPECT_EQ(text.size(), 0u);
  EXPECT_FALSE(text.has("true"));
}

TEST(JsonValue, LookupsChainThroughNull) {
  JsonValue doc = parseOrFail(R"({"a":{"b":[10,{"c":"deep"}]},"list":[1],"nothing":null})");
  EXPECT_EQ(doc["a"]["b"][1]["c"].asString(JsonValue::sEmptyString), "deep");
  EXPECT_EQ(&doc["missing"], &JsonValue::sNull);
  EXPECT_EQ(&doc["missing"]["b"][3]["c"], &JsonValue::sNull);
  EXPECT_EQ(&doc["a"]["b"][2], &JsonValue::sNull);                 // index past the end
  EXPECT_EQ(&doc["a"][std::size_t{0}], &JsonValue::sNull);         // index into an object
  EXPECT_EQ(&doc["list"]["0"], &JsonValue::sNull);                 // key into an array
  EXPECT_EQ(&doc["a"]["b"][std::size_t{0}]["x"], &JsonValue::sNull);  // key into a number
  EXPECT_EQ(&JsonValue::sNull["x"][std::size_t{0}], &JsonValue::sNull);
  EXPECT_TRUE(doc.has("nothing"));
  EXPECT_FALSE(doc.has("missing"));
  EXPECT_FALSE(doc["a"]["b"].has("c"));
  EXPECT_EQ(JsonValue::sNull.kind, JsonValue::Kind::Null);
  EXPECT_EQ(JsonValue::sEmptyString, "");
}

TEST(JsonValue, AsStringReturnsTheFallbackObjectItself) {
  JsonValue doc = parseOrFail(R"({"s":"here","n":5})");
  const std::string fallback = "default";
  EXPECT_EQ(&doc["missing"].asString(fallback), &fallback);
  EXPECT_EQ(&doc["n"].asString(fallback), &fallback);
  EXPECT_EQ(&doc["missing"].asString(JsonValue::sEmptyString), &JsonValue::sEmptyString);
  EXPECT_EQ(&doc["s"].asString(fallback), &doc["s"].text);
}

TEST(JsonValue, DefaultIsEmptyNull) {
  JsonValue value;
  EXPECT_EQ(value.kind, JsonValue::Kind::Null);
  EXPECT_FALSE(value.boolean);
  EXPECT_EQ(value.number, 0.0);
  EXPECT_TRUE(value.text.empty());
  EXPECT_EQ(value.size(), 0u);
  EXPECT_EQ(static_cast<int>(JsonValue::Kind::Object), 5);
  EXPECT_EQ(sizeof(JsonValue::Kind), 4u);
}

TEST(JsonValue, CopiesAreDeep) {
  JsonValue original = parseOrFail(R"({"a":[1,{"b":"x"}],"c":true})");
  JsonValue copy = original;
  JsonValue assigned;
  assigned = original;
  original.members[0].second.items[1].members[0].second.text = "changed";
  original.members[0].second.items.clear();
  original.members.pop_back();
  for (const JsonValue* other : {&copy, &assigned}) {
    EXPECT_EQ((*other)["a"][1]["b"].asString(JsonValue::sEmptyString), "x");
    EXPECT_EQ((*other)["a"].size(), 2u);
    EXPECT_TRUE((*other)["c"].asBool(false));
  }
  // Fields that do not belong to the kind are copied too.
  JsonValue mixed;
  mixed.kind = JsonValue::Kind::Number;
  mixed.text = "kept";
  mixed.items.push_back(original);
  JsonValue mixedCopy = mixed;
  EXPECT_EQ(mixedCopy.text, "kept");
  EXPECT_EQ(mixedCopy.items.size(), 1u);
}

}  // namespace
}  // namespace vantis::content
