// The content tiers of a pack: the required content, and the optional tier
// players know as the "Overhaul". A tier's name is its key in the state
// record, the manifest's "config" object and the program-file record's file
// name. Any thread.
#pragma once

#include <cstdint>

namespace vantis::content {

enum class Tier : std::int32_t { required = 0, optional = 1 };

// "required" or "optional".
inline const char* tierName(Tier tier) { return tier == Tier::optional ? "optional" : "required"; }

}  // namespace vantis::content
