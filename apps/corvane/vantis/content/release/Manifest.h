// The manifest: the one document of a release that the signed pointer names
// by digest. It names each list by digest in turn, says how files were cut
// into blobs, carries the engine configuration text of each tier and the
// credits. The publisher writes it from a `Manifest` record and the
// synchroniser reads it into one, so every member is named here once.
//
// Pure functions; any thread. Reading never fails on a document that parsed:
// a member that is missing or of the wrong kind reads as its default, and
// what an absent member means is the reader's decision (an absent retired
// list means nothing was retired).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Json.h"
#include "foundation/Result.h"
#include "release/BlobCut.h"
#include "release/Layout.h"

namespace vantis::content {

// One member of "parts": where a list lies and the digest it must have.
struct ListPart {
  bool present = false;  // the manifest names this list at all
  std::string path;      // "manifest/<version>/<file>"; clients build it themselves
  std::string sha256;    // empty when absent, which matches no body
  std::uint64_t count = 0;
  // The list's length in bytes ("size"), which bounds its download. A
  // manifest written before the member existed does not say: then only the
  // client's own bound applies.
  std::optional<std::uint64_t> size;
};

// One section of a list: a run of whole lines stored as an object of its own
// ("sections/ab/cd/<sha256>.gz"), named by the SHA-256 and the length of its
// text.
struct ListSection {
  std::string sha256;
  std::uint64_t size = 0;
};

// A list cut into sections ("sections" member). Their texts one after the
// other are the list's whole text byte for byte, so the list's "parts"
// digest holds for them as well: a client that keeps the sections of the
// release it installed fetches only those whose digest it does not hold.
struct ListSections {
  bool present = false;  // the manifest cuts this list; else it is fetched whole
  std::vector<ListSection> sections;
};

// The lists a manifest may cut into sections (the retired list is fetched
// only when files are removed, and stays whole).
bool sectionedList(const ListDocument& list);

struct Manifest {
  std::string packVersion;
  long long sequence = 0;
  // Shown as "N of fileCount files" while either tier's list is read: the
  // optional tier's count, the longer of the two.
  std::uint64_t fileCount = 0;
  // How files were cut into blobs: "cutting" (by content) when the manifest
  // has it, else fixed at "chunkSize", else unknown, and then nothing can be
  // cut from an installed copy.
  BlobCutting cutting;
  // How its blobs, bundles and sections are compressed ("encoding"; gzip
  // when absent). `encodingUnknown` when the member names an encoding this
  // build cannot decode: the objects' names then say nothing a client can
  // request, so such a release is refused.
  Encoding encoding = Encoding::gzip;
  bool encodingUnknown = false;
  // The release this one followed: its manifest's path and digest, so that a
  // pointer's signature vouches for every release before it through this
  // chain. Both empty for the first release of a server folder.
  // `namesPrevious` is false for a manifest written before the members
  // existed, whose predecessors nothing vouches for (the writer then leaves
  // them out, and players ignore them either way).
  bool namesPrevious = false;
  std::string previousManifest;
  std::string previousManifestSha256;
  ListPart filesRequired, filesOptional, bundles, filesRetired;
  // Keyed by the list's "parts" member name; a manifest without "sections"
  // has none, and its lists are fetched whole as they always were.
  std::map<std::string, ListSections> sections;
  // "sections" is there but a client cannot use it: not an object, a list's
  // member not an array of [digest, size] pairs (64 lower-case hexadecimal
  // characters, a whole size up to the largest body), more than
  // kMaxSectionsPerList of them, or sizes that do not add up to the list's
  // "size". Such a manifest is refused rather than read whole, since a
  // publisher that wrote it cannot be trusted to have written the rest.
  bool sectionsMalformed = false;
  std::string configRequired, configOptional;  // engine configuration templates
  JsonValue credits, people;                   // passed through as the publisher found them

  const ListPart& part(const ListDocument& list) const;
  ListPart& part(const ListDocument& list);
  // The list's sections; not `present` when the manifest does not cut it.
  const ListSections& sectionsOf(const ListDocument& list) const;
};

// A list's sections as the manifest writes them, [[digest, size], ...],
// and read back: nothing when `member` is not such an array (the rules of
// `sectionsMalformed`) or, `total` given, its sizes do not add up to it.
std::string sectionTableText(const ListSections& sections);
std::optional<ListSections> readSectionTable(const JsonValue& member,
                                             std::optional<std::uint64_t> total);

// The manifest in a parsed document.
Manifest readManifest(const JsonValue& document);

// The manifest's text, members in a fixed order; `parts` paths are filled in
// from the version. Refuses, with a lower-case reason, a manifest that
// clients could not read: text that is not UTF-8, more than 8 MiB, or
// arrays and objects nested deeper than 15 levels (the credits are the only
// part that can grow that far).
Result<std::string> manifestText(const Manifest& manifest);

}  // namespace vantis::content
