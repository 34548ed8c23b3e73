// Fuzzes the JSON reader that every downloaded and stored document goes
// through. Beyond the sanitizers it checks the parser's promises: a failure
// leaves a Null value and a message, a success leaves no message and a tree
// no deeper than the nesting limit, and every lookup on the tree is safe.

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "foundation/Json.h"

using vantis::content::JsonValue;
using vantis::content::parseJson;

namespace {

// Sixteen levels of brackets at most: a value may sit inside fifteen, and
// an empty array or object may be the sixteenth.
constexpr int kMaxContainerLevels = 16;

void walk(const JsonValue& value, int containerLevel) {
  const bool isContainer =
      value.kind == JsonValue::Kind::Array || value.kind == JsonValue::Kind::Object;
  if (isContainer) FUZZ_CHECK(containerLevel + 1 <= kMaxContainerLevels);

  // Lookups of every kind on every value: none may fail or touch memory
  // outside the tree.
  (void)value.asString(JsonValue::sEmptyString);
  (void)value.asNumber(0.0);
  (void)value.asBool(false);
  const long long integer = value.asInt(7);
  if (value.kind != JsonValue::Kind::Number) FUZZ_CHECK(integer == 7);
  FUZZ_CHECK(&value[value.size()] == &JsonValue::sNull);
  const std::string absentKey = "\x01 absent";
  if (!value.has(absentKey)) FUZZ_CHECK(&value[absentKey] == &JsonValue::sNull);

  if (value.kind == JsonValue::Kind::Array) {
    FUZZ_CHECK(value.size() == value.items.size());
    for (const JsonValue& item : value.items) walk(item, containerLevel + 1);
  }
  if (value.kind == JsonValue::Kind::Object) {
    FUZZ_CHECK(value.size() == value.members.size());
    for (const auto& member : value.members) {
      FUZZ_CHECK(value.has(member.first));
      walk(member.second, containerLevel + 1);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* begin = reinterpret_cast<const char*>(data);
  JsonValue document;
  std::string error;
  const bool parsed = parseJson(begin, begin + size, document, error);
  if (!parsed) {
    FUZZ_CHECK(!error.empty());
    FUZZ_CHECK(document.kind == JsonValue::Kind::Null && document.size() == 0);
    return 0;
  }
  FUZZ_CHECK(error.empty());
  walk(document, 0);

  // A deep copy must stand on its own once the original is gone.
  JsonValue copy = document;
  document = JsonValue();
  walk(copy, 0);
  return 0;
}
