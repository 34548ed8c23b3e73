// Building the credits list from a parsed manifest, and the size text of a
// mod. The manifest is trusted (its digest came from the signed pointer) but
// its credits are free-form display data, so every member is read with a
// fallback and nothing is refused.

#include "protocol/SyncCredits.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

namespace vantis::content {

namespace {

// Only arrays have elements; an object where a list belongs yields none.
std::size_t elementsOf(const JsonValue& value) {
  return value.kind == JsonValue::Kind::Array ? value.size() : 0;
}

const std::string& textOf(const JsonValue& object, const char* key) {
  return object[key].asString(JsonValue::sEmptyString);
}

// Converting an out-of-range double to an unsigned integer is undefined, so a
// negative size reads as 0 and one beyond 2^64 as the largest value instead of
// whatever the conversion happens to produce.
std::uint64_t byteCount(const JsonValue& value) {
  const double number = value.asNumber(0);
  const double limit = 18446744073709551616.0;  // 2^64
  if (!(number > 0)) return 0;
  if (number >= limit) return UINT64_MAX;
  return static_cast<std::uint64_t>(number);
}

// The mod's authors joined with ", ", then each contributor as
// "author (role)", so one text reads naturally in a single line of credits.
std::string authorsText(const JsonValue& mod) {
  std::string text;
  const JsonValue& authors = mod["authors"];
  for (std::size_t i = 0; i < elementsOf(authors); ++i) {
    if (i > 0) text += ", ";
    text += authors[i].asString(JsonValue::sEmptyString);
  }
  const JsonValue& contributors = mod["credits"];
  for (std::size_t i = 0; i < elementsOf(contributors); ++i) {
    if (!text.empty()) text += ", ";
    text += textOf(contributors[i], "author") + " (" + textOf(contributors[i], "role") + ")";
  }
  return text;
}

Credit modCredit(const JsonValue& mod) {
  Credit credit;
  credit.name = textOf(mod, "name");
  credit.url = textOf(mod, "url");
  credit.version = textOf(mod, "version");
  credit.optional = textOf(mod, "tier") == "optional";
  credit.sizeBytes = byteCount(mod["sizeBytes"]);
  readSupport(mod["support"], credit);
  const JsonValue& authors = mod["authors"];
  credit.authorCount = elementsOf(authors);
  if (credit.authorCount == 1)
    credit.author = authors[std::size_t{0}].asString(JsonValue::sEmptyString);
  credit.authors = authorsText(mod);
  return credit;
}

}  // namespace

void readSupport(const JsonValue& support, Credit& credit) {
  credit.status = textOf(support, "status");
  const JsonValue& links = support["links"];
  for (std::size_t i = 0; i < elementsOf(links); ++i) {
    const JsonValue& link = links[i];
    credit.links.push_back(SupportLink{textOf(link, "author"), textOf(link, "kind"),
                                       textOf(link, "url"), textOf(link, "text")});
  }
}

std::vector<Credit> readCredits(const Manifest& manifest) {
  std::vector<Credit> out;
  const JsonValue& mods = manifest.credits;
  for (std::size_t i = 0; i < elementsOf(mods); ++i) out.push_back(modCredit(mods[i]));

  const JsonValue& people = manifest.people;
  for (std::size_t i = 0; i < elementsOf(people); ++i) {
    const JsonValue& person = people[i];
    Credit credit;
    credit.section = textOf(person, "section");
    credit.name = textOf(person, "name");
    credit.authors = textOf(person, "role");
    credit.url = textOf(person, "url");
    // A person is shown under a heading by name; without either there is
    // nothing to show.
    if (credit.section.empty() || credit.name.empty()) continue;
    readSupport(person["support"], credit);
    credit.authorCount = 1;
    credit.author = credit.name;
    out.push_back(std::move(credit));
  }
  return out;
}

std::string formatModSize(unsigned long long bytes) {
  const unsigned long long mebibyte = 1048576ULL;
  const unsigned long long gibibyte = 1073741824ULL;
  char text[64];
  if (bytes < mebibyte) return "<1 MB";
  if (bytes < gibibyte) {
    // Nearest whole MiB, halves up, but never "1024 MB" just under 1 GiB.
    unsigned long long megabytes = (bytes + mebibyte / 2) / mebibyte;
    if (megabytes > 1023) megabytes = 1023;
    std::snprintf(text, sizeof text, "%llu MB", megabytes);
    return text;
  }
  std::snprintf(text, sizeof text, "%.1f GB",
                static_cast<double>(bytes) / static_cast<double>(gibibyte));
  return text;
}

}  // namespace vantis::content
