// One list of a release as the client gets it: whole, as it always was, or,
// when the manifest cuts the list into sections, section by section, taking
// every section whose digest the instance already holds from its section
// cache and fetching only the others. Each section is checked against the
// digest the manifest names before it is used or kept, a cached one on every
// read (a damaged copy is fetched again, never trusted), and the sections
// put together against the list's own digest, so the list in hand is always
// the one the signed pointer vouches for through the manifest.
//
// Private to the library; calling thread only. Writes only the section
// cache folder (each file through a temporary and a rename). Not here: what
// the lists hold (SyncLists.h).
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "foundation/Result.h"
#include "http/Http.h"
#include "protocol/SyncLists.h"
#include "release/Manifest.h"

namespace vantis::content {

// What a list fetch cost, for the report and the benchmarks.
struct SectionCounts {
  std::uint64_t fetched = 0;  // sections requested from the server
  std::uint64_t cached = 0;   // sections taken from the cache
  std::uint64_t wholeLists = 0;  // lists fetched whole instead
};

// The list's verified text. A list the manifest does not cut is fetched
// whole (bounded by `listBytesBound`). A cut one is made of its sections:
// each from the cache when it holds exactly the section (the list's file
// `cacheFolder` + "/<part>.sections", or a file named by the section's
// digest, as instances kept them before), the others by GET
// "/sections/ab/cd/<digest>.gz" (at most the section's size). When so many
// are missing that their requests would cost more than the list (an
// instance's first install), the whole list is fetched in one request
// instead; so it is when a section cannot be had (failed, or not its
// digest) or the sections together are not the list. The list then goes
// into its cache file, unless that holds just these sections already. Fails
// with "The update manifest is malformed. Refused." when the manifest's
// "sections" cannot be used, with `messages` when the whole list's request
// fails or its body does not match, and "Cancelled." when `progress` said
// stop. A list that cannot be cached is used all the same.
Result<std::vector<unsigned char>> fetchListBody(HttpClient& client, const std::string& packVersion,
                                             const Manifest& manifest, const ListDocument& list,
                                             const std::string& cacheFolder,
                                             const FetchMessages& messages,
                                             const HttpProgress& progress = {},
                                             SectionCounts* counts = nullptr);

// What fetching `list` would cost by the rule fetchListBody follows
// (release/FetchRule.h), judging the cache by its files' sizes alone.
std::uint64_t listFetchCost(const Manifest& manifest, const ListDocument& list,
                            const std::string& cacheFolder);

// Empties the cache of everything but what the manifest names for `lists`:
// after a complete run the cache holds the installed release's lists and
// nothing older.
void keepSections(const std::string& cacheFolder, const Manifest& manifest,
                  const std::vector<ListDocument>& lists);

}  // namespace vantis::content
