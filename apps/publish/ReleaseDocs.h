// What the publisher decides about a release's documents: the entries of
// each tier, which of them players must always hash, which paths are
// retired, and the lists' text. The formats themselves are the release's
// (release/Lists.h, release/Manifest.h, release/Pointer.h), shared with the
// players' synchronisers.
//
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Bundling.h"
#include "Content.h"
#include "ServerState.h"
#include "release/Lists.h"

namespace vantis::publish {

// The entries of one tier (`tier` indexes `content.sources`), in its order.
std::vector<content::FileRecord> tierEntries(const Content& content,
                                             const std::vector<std::size_t>& tier);

// Players compare an installed file by size alone unless its entry says
// "alwaysHash". So every entry whose path had other content of the same size
// in an earlier release, or in the other tier of this one (a player who
// switches tiers keeps the file), gets it: otherwise that player would keep
// the old content for good. So does an entry whose path had content before
// the history begins (`PathHistory::unknownBefore`) at a size that history
// does not vouch for. Returns the number of entries marked.
std::size_t markAlwaysHash(const PathHistory& history, std::vector<content::FileRecord>& required,
                           std::vector<content::FileRecord>& optional);

// A retired line for every path that an earlier release on the chain listed
// and this one ships in neither tier, sorted by path, each naming every
// (size, sha256) the releases shipped there: players delete only those.
// All earlier releases count, not only the last one: a player who skipped a
// release still holds what that release would have retired. Paths known only
// from before the history begins are not retired, since no version of
// theirs is known.
std::vector<content::RetiredRecord> retiredRecords(
    const PathHistory& history, const std::vector<content::FileRecord>& required,
    const std::vector<content::FileRecord>& optional);

// The lists' text, one line per entry, bundle or path.
std::string fileListText(const std::vector<content::FileRecord>& entries);
std::string bundleIndexText(const std::vector<Bundle>& bundles);
std::string retiredListText(const std::vector<content::RetiredRecord>& records);

// The average length of a list's section. Smaller sections make a small
// change cost less to fetch and the manifest, which names every section,
// longer; bench/README.md has the measurements behind this value.
inline constexpr std::uint64_t kSectionAverageBytes = 32u << 10;

// A list's text cut into sections of whole lines, in order: together they
// are the text. A section ends after a line whose own digest says so (about
// one line in `average` bytes' worth, never before a quarter of `average`)
// or once it reaches four times `average`. A boundary depends only on the
// lines before it back to the previous one, so a changed, added or removed
// line changes its own section (and at most the next), and the sections
// elsewhere keep their digests from release to release; two lists that
// share runs of lines (the tiers) share their sections too.
std::vector<std::string> sectionTexts(const std::string& listText, std::uint64_t average);

}  // namespace vantis::publish
