// The credits list: turns the manifest's "credits" (mods) and "people"
// arrays into the flat `Credit` records that the sync hands to `onCredits`
// and returns in `SyncResult::credits`, and the size text of a mod for
// credit displays.
//
// Part of the library's public interface through Sync.h. Pure functions of
// the manifest: nothing is validated, missing or mistyped members read as
// empty, 0 or false, and no function here can fail. Any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/Json.h"
#include "release/Manifest.h"

namespace vantis::content {

struct SupportLink {
  std::string author;
  std::string kind;
  std::string url;
  std::string text;
};

struct Credit {
  std::string name;
  std::string authors;
  std::string url;
  std::string version;
  std::string status;
  std::vector<SupportLink> links;
  std::uint64_t authorCount = 0;
  std::string author;
  std::uint64_t sizeBytes = 0;
  std::string section;
  bool optional = false;
};

// One record per element of the manifest's "credits" array (every element,
// even one without a name), in order, then one per element of "people" that
// has both a non-empty "section" and "name", in order. Nothing is sorted or
// de-duplicated.
std::vector<Credit> readCredits(const Manifest& manifest);

// Sets `credit.status` from the "status" text of a "support" object and
// appends one `SupportLink` per element of its "links" array. `links` is not
// emptied first; a Null `support` gives an empty status and no links.
void readSupport(const JsonValue& support, Credit& credit);

// The size text of a mod for credit displays: "<1 MB" below 1 MiB, whole
// MiB as "N MB" (nearest, halves up, at most 1023) below 1 GiB, else GiB
// with one decimal as "N.N GB". The units are powers of two.
std::string formatModSize(unsigned long long bytes);

}  // namespace vantis::content
