// Which content paths may be published. Players' synchronisers refuse a
// whole release when one listed path fails their safety rule, so the
// publisher applies the same rule before anything is written, and adds the
// few refusals that only make sense on this side (see `publishablePath`).
//
// Pure functions; any thread.
#pragma once

#include <string>

namespace vantis::publish {

// The synchroniser's rule, byte for byte the same: 1 to 400 bytes; no ":";
// not starting with "/" or "\"; split at "/" and "\" (empty parts skipped),
// no part is "." or "..", ends with "." or a space, holds a byte 0x00-0x1F or
// one of " * < > ? |, or is a reserved device name (con, prn, aux, nul,
// com1-9, lpt1-9, compared in lower case up to the first ".").
bool safeRelativePath(const std::string& path);

// True when `path`, a "/"-separated path found on disk, may be published;
// otherwise `reason` says why, as a lower-case phrase. Beyond the rule above
// it refuses:
// - a name holding "\": players read it as a folder separator, so the file
//   would land somewhere else than it lies here;
// - bytes that are not UTF-8: the lists are JSON, which carries text only;
// - anything under "cache/" (any case): that is the synchroniser's own
//   folder inside the content folder, and a published file there would
//   overwrite its records.
bool publishablePath(const std::string& path, std::string& reason);

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or
// values above U+10FFFF).
bool isUtf8(const std::string& text);

}  // namespace vantis::publish
