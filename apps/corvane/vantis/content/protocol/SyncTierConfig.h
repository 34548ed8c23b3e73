// The engine configuration "settings\corvane.cfg" for a content tier. The
// synchroniser does not compose it: each release's manifest carries the whole
// text per tier under "config", and this writes the chosen tier's text with
// the player's own data folder put in place of a token. Internal to the
// library: called by the pipeline after an update or on a profile switch and
// by the overhaul removal, on their calling thread, after every transfer
// worker has finished. Finding the game is Duskmere.h's business.
#pragma once

#include <string>

#include "foundation/Json.h"
#include "pipeline/Sync.h"

namespace vantis::content {

// The configuration file, relative to the instance folder.
inline constexpr const char* kTierConfigFile = "settings\\corvane.cfg";
// Stands in a template where the data folder's path belongs; the template
// supplies any quotes around it.
inline constexpr const char* kDuskmereToken = "@@DUSKMERE_DATA_FILES@@";

// The configuration text for `tier` in a release's parsed manifest: "config"
// then "optional" for the optional tier, "required" for every other. Empty
// when either member is missing or not of the right kind (the reference is
// then `JsonValue::sEmptyString`).
const std::string& tierConfigTemplate(const JsonValue& manifest, Tier tier);

// Writes `templateText` to `root` + "settings\corvane.cfg" through a ".part"
// file and a rename, with the first token replaced by the data folder
// (quoted: "&" before every '"' and '&'). Bytes are otherwise written as they
// are: no header, no line-ending change, no newline added.
//
// - An empty template succeeds at once and leaves the file untouched.
// - Without the token nothing is searched and the outputs stay untouched.
// - With it, the folder is settled: `preferredDataFiles` (the caller's
//   choice, normally empty), else the remembered folder in
//   `cacheDir` + "duskmere.txt", kept if it holds the master file; else the
//   first install found with both expansions, else the first found. The
//   answer is remembered and put in `dataFiles`. When there is none,
//   `duskmereMissing` becomes true (never false here), `error` says so and
//   nothing is written.
// - When the file cannot be written, `error` is "Could not write
//   corvane.cfg." and the old file, if any, is intact.
// `error` is overwritten on failure only. True on success.
bool writeTierConfigText(const std::string& root, const std::string& cacheDir,
                         std::string templateText, const std::string& preferredDataFiles,
                         std::string& dataFiles, bool& duskmereMissing, std::string& error);

}  // namespace vantis::content
