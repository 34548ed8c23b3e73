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

// The average length of the sections of a list of `listBytes` bytes: the
// largest power of two not above sqrt(16 * listBytes), never below 2 KiB.
// The manifest names every section, so it grows with their number, while an
// update fetches every section a change touches, which grows with their
// length; this length keeps the two costs alike for an update of a few
// files in a list of any size (2 KiB sections in a 465 KiB list, 16 KiB in a
// 23 MiB one). A power of two, since every boundary depends on it: it stays
// put while a list changes by a few lines. A list of the largest body a
// client takes still makes a few thousand sections, far below what a
// manifest may name. bench/README.md has the measurements.
std::uint64_t sectionAverage(std::uint64_t listBytes);

// A list's text cut into sections, in order: together they are the text.
// The text is read as pieces that each end after a comma or a line feed (so
// a long line, such as the record of a large archive naming hundreds of
// blobs, is cut inside as well). A section ends after a piece whose own
// digest says so (about one piece in `average` bytes' worth, never before a
// quarter of `average`) or once it reaches four times `average`. A boundary
// depends only on the pieces before it back to the previous one, so a
// changed, added or removed piece changes its own section (and at most the
// next), and the sections elsewhere keep their digests from release to
// release; two lists that share runs of lines (the tiers) share their
// sections too. Clients only put the sections together, so where they are
// cut is the publisher's choice alone.
std::vector<std::string> sectionTexts(const std::string& listText, std::uint64_t average);

}  // namespace vantis::publish
