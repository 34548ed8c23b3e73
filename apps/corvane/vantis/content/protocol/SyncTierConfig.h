// The engine configuration "settings\corvane.cfg" for a content tier. The
// synchroniser does not compose it: each release's manifest carries the whole
// text per tier under "config", and this writes the chosen tier's text with
// the player's own data folder put in place of a token. Internal to the
// library: called by the pipeline after an update or on a profile switch and
// by the overhaul removal, on their calling thread, after every transfer
// worker has finished. Finding the game is Duskmere.h's business.
#pragma once

#include <string>

#include "foundation/Result.h"
#include "protocol/Duskmere.h"
#include "protocol/InstancePaths.h"
#include "protocol/Tier.h"
#include "release/Manifest.h"

namespace vantis::content {

// Stands in a template where the data folder's path belongs; the template
// supplies any quotes around it.
inline constexpr const char* kDuskmereToken = "@@DUSKMERE_DATA_FILES@@";

// The configuration text for `tier` in a release's manifest: "config" then
// "optional" for the optional tier, "required" for every other. Empty when
// the manifest has none.
const std::string& tierConfigTemplate(const Manifest& manifest, Tier tier);

// How the data folder is chosen when a template needs one.
struct DataFolderChoice {
  std::string preferred;  // the caller's choice, normally empty
  GameSearch search;      // where else to look
};

// Writes `templateText` to the instance's "settings\corvane.cfg" through a
// ".part" file and a rename, with the first token replaced by the data
// folder (quoted: "&" before every '"' and '&'). Bytes are otherwise written
// as they are: no header, no line-ending change, no newline added. Yields the
// data folder it used (empty when it needed none).
//
// - An empty template succeeds at once and leaves the file untouched.
// - Without the token nothing is searched.
// - With it, the folder is settled: `choice.preferred`, else the remembered
//   folder (the instance's "duskmere.txt"), kept if it holds the master
//   file; else the first install found with both expansions, else the first
//   found. The answer is remembered. When there is none, it fails with
//   "Duskmere could not be found on this computer. ..." and nothing is
//   written.
// - When the file cannot be written, it fails with "Could not write
//   corvane.cfg." and the old file, if any, is intact.
Result<std::string> writeTierConfig(const InstancePaths& paths, std::string templateText,
                                    const DataFolderChoice& choice);

}  // namespace vantis::content
