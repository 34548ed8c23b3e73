// The pointer's two layers. The payload is written compactly and signed as
// it stands, so nothing (no re-encoding, no member order) may change between
// signing and checking: the client verifies the decoded bytes it received
// and only then parses them.

#include "release/Pointer.h"

#include <algorithm>
#include <cstdio>

#include "foundation/Crypto.h"
#include "foundation/JsonWriter.h"

namespace vantis::content {

namespace {

struct CalendarTime {
  long long year, month, day, hour, minute, second;
};

constexpr long long kSecondsPerDay = 86400;

long long number(const std::string& text, std::size_t at, std::size_t digits) {
  long long value = 0;
  for (std::size_t i = at; i < at + digits; ++i) value = value * 10 + (text[i] - '0');
  return value;
}

bool leapYear(long long year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

long long daysInMonth(long long year, long long month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && leapYear(year) ? 29 : kDays[month - 1];
}

bool validTime(const CalendarTime& t) {
  if (t.year < 1970 || t.month < 1 || t.month > 12) return false;
  if (t.day < 1 || t.day > daysInMonth(t.year, t.month)) return false;
  return t.hour < 24 && t.minute < 60 && t.second < 60;
}

// Days from 1970-01-01 of a proleptic Gregorian date: the calendar counted
// in 400-year eras starting on 1 March, so that the leap day ends a year.
long long daysFromCivil(long long year, long long month, long long day) {
  year -= month <= 2 ? 1 : 0;
  const long long era = year / 400;
  const long long yearOfEra = year - era * 400;
  const long long dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const long long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

long long secondsOf(const CalendarTime& t) {
  return daysFromCivil(t.year, t.month, t.day) * kSecondsPerDay + t.hour * 3600 + t.minute * 60 +
         t.second;
}

// The inverse of daysFromCivil, for days from 1970 that are not negative.
CalendarTime calendarOf(long long seconds) {
  const long long days = seconds / kSecondsPerDay + 719468;
  const long long inDay = seconds % kSecondsPerDay;
  const long long era = days / 146097;
  const long long dayOfEra = days - era * 146097;
  const long long yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const long long shifted = (5 * dayOfYear + 2) / 153;
  const long long day = dayOfYear - (153 * shifted + 2) / 5 + 1;
  const long long month = shifted < 10 ? shifted + 3 : shifted - 9;
  const long long year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  return CalendarTime{year, month, day, inDay / 3600, inDay % 3600 / 60, inDay % 60};
}

}  // namespace

std::string pointerPayloadText(const PointerPayload& payload) {
  JsonObjectWriter text;
  text.text("packVersion", payload.packVersion)
      .number("sequence", payload.sequence)
      .text("manifest", payload.manifest)
      .text("manifestSha256", payload.manifestSha256);
  if (!payload.expires.empty()) text.text("expires", payload.expires);
  return text.finish();
}

bool readExpiry(const std::string& text, long long& seconds) {
  // Exactly one shape, so that a publisher and a client can never read one
  // text as two times.
  static const char kShape[] = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != sizeof kShape - 1) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return false;
  }
  const CalendarTime time{number(text, 0, 4), number(text, 5, 2), number(text, 8, 2),
                          number(text, 11, 2), number(text, 14, 2), number(text, 17, 2)};
  if (!validTime(time)) return false;
  seconds = secondsOf(time);
  return true;
}

std::string expiryText(long long seconds) {
  const long long lowest = 0;
  const long long highest = secondsOf(CalendarTime{9999, 12, 31, 23, 59, 59});
  const CalendarTime time = calendarOf(std::min(std::max(seconds, lowest), highest));
  char text[96];  // room for any long long the compiler imagines in each field
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", time.year,
                time.month, time.day, time.hour, time.minute, time.second);
  return text;
}

std::string pointerDocumentText(const std::string& payload, const std::string& signature) {
  return JsonObjectWriter()
             .text("payload", encodeBase64(payload))
             .text("signature", encodeBase64(signature))
             .finish() +
         "\n";
}

bool splitPointerDocument(const JsonValue& document, SignedPointer& out) {
  const bool decoded =
      decodeBase64(document["payload"].asString(JsonValue::sEmptyString), out.payload) &&
      decodeBase64(document["signature"].asString(JsonValue::sEmptyString), out.signature);
  return decoded && out.signature.size() == kSignatureBytes;
}

PointerPayload readPointerPayload(const JsonValue& payload) {
  PointerPayload fields;
  fields.packVersion = payload["packVersion"].asString(JsonValue::sEmptyString);
  fields.sequence = payload["sequence"].asInt(-1);
  fields.manifest = payload["manifest"].asString(JsonValue::sEmptyString);
  fields.manifestSha256 = payload["manifestSha256"].asString(JsonValue::sEmptyString);
  fields.expiresNamed = payload.has("expires");
  fields.expires = payload["expires"].asString(JsonValue::sEmptyString);
  return fields;
}

}  // namespace vantis::content
