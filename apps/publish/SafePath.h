// Which content paths may be published. Players' synchronisers refuse a
// whole release when one listed path fails the release's path rule, so the
// publisher applies that rule before anything is written, and adds the few
// refusals that only make sense on this side.
//
// Pure functions; any thread.
#pragma once

#include <string>

namespace vantis::publish {

// True when `path`, a "/"-separated path found on disk, may be published;
// otherwise `reason` says why, as a lower-case phrase. Beyond the release's
// path rule it refuses:
// - a name holding "\": players read it as a folder separator, so the file
//   would land somewhere else than it lies here;
// - bytes that are not UTF-8: the lists are JSON, which carries text only;
// - anything under "cache/" (any case): that is the synchroniser's own
//   folder inside the content folder, and a published file there would
//   overwrite its records.
bool publishablePath(const std::string& path, std::string& reason);

}  // namespace vantis::publish
