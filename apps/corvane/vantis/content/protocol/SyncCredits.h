// The credits list: turns the manifest's "credits" (mods) and "people"
// arrays into the flat `Credit` records that the sync hands to `onCredits`
// and returns in `SyncResult::credits`. The public size text of a mod,
// `formatModSize`, is declared in Sync.h.
//
// Private to the sync unit. Pure functions of the parsed manifest: nothing is
// validated, missing or mistyped members read as empty, 0 or false, and no
// function here can fail. Any thread may call them on its own values.
#pragma once

#include <vector>

#include "foundation/Json.h"
#include "pipeline/Sync.h"

namespace vantis::content {

// Empties `out`, then appends one record per element of the manifest's
// "credits" array (every element, even one without a name), in order, then
// one per element of "people" that has both a non-empty "section" and
// "name", in order. Nothing is sorted or de-duplicated.
void readCredits(const JsonValue& manifest, std::vector<Credit>& out);

// Sets `credit.status` from the "status" text of a "support" object and
// appends one `SupportLink` per element of its "links" array. `links` is not
// emptied first; a Null `support` gives an empty status and no links.
void readSupport(const JsonValue& support, Credit& credit);

}  // namespace vantis::content
