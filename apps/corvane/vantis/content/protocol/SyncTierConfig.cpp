// Writes the engine configuration for a tier: settles the player's data
// folder when the template needs one, quotes it into the first token and
// replaces the file whole.

#include "protocol/SyncTierConfig.h"

#include <cstddef>
#include <string>
#include <vector>

#include "foundation/FileSystem.h"
#include "protocol/Duskmere.h"
#include "protocol/SyncMessages.h"

namespace vantis::content {

namespace {

void dropTrailingLineEnds(std::string& text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
}

// The first install with both expansions gives the fullest game; any install
// beats none.
std::string bestInstall(const std::vector<DuskmereInstall>& installs) {
  for (const DuskmereInstall& install : installs) {
    if (install.hasVerethal && install.hasHollowfen) return install.dataFiles;
  }
  return installs.empty() ? std::string() : installs.front().dataFiles;
}

// The caller's folder wins; the remembered one is consulted only when the
// caller named none, so a wrong explicit choice is never silently swapped
// for an old one. Empty when no copy of the game exists.
std::string settleDataFiles(const InstancePaths& paths, const DataFolderChoice& choice) {
  std::string folder = choice.preferred;
  if (folder.empty()) readWholeFile(paths.rememberedDuskmere, folder);
  dropTrailingLineEnds(folder);
  if (isDuskmereDataFiles(folder)) return folder;
  return bestInstall(findDuskmere(choice.search));
}

// The engine's quoted values escape '"' and '&' with an '&'; backslashes,
// spaces and UTF-8 go in as they are, or the path would no longer name the
// folder.
std::string quoteForConfig(const std::string& path) {
  std::string quoted;
  quoted.reserve(path.size());
  for (char c : path) {
    if (c == '"' || c == '&') quoted += '&';
    quoted += c;
  }
  return quoted;
}

}  // namespace

const std::string& tierConfigTemplate(const Manifest& manifest, Tier tier) {
  return tier == Tier::optional ? manifest.configOptional : manifest.configRequired;
}

Result<std::string> writeTierConfig(const InstancePaths& paths, std::string templateText,
                                    const DataFolderChoice& choice) {
  // A release without a text for this tier leaves whatever the engine has.
  if (templateText.empty()) return std::string();
  const std::string token = kDuskmereToken;
  const std::size_t at = templateText.find(token);
  std::string folder;
  if (at != std::string::npos) {
    folder = settleDataFiles(paths, choice);
    if (folder.empty()) return Failure{messages::kDuskmereMissing};
    // Remembered every time so the next run need not search; a failure only
    // costs that search, so it is not reported.
    replaceWholeFile(paths.rememberedDuskmere, folder);
    // Only the first token: the template may hold the same text elsewhere
    // on purpose.
    templateText.replace(at, token.size(), quoteForConfig(folder));
  }
  // Write "<path>.part" and rename: the engine must never read a half-written
  // configuration, and a failed write keeps the old one whole.
  if (!replaceWholeFile(paths.tierConfig, templateText)) {
    return Failure{messages::kConfigNotWritten};
  }
  return folder;
}

}  // namespace vantis::content
