// Writes the engine configuration for a tier: settles the player's data
// folder when the template needs one, quotes it into the first token and
// replaces the file whole.

#include "protocol/SyncTierConfig.h"

#include <cstddef>
#include <string>
#include <vector>

#include "protocol/Duskmere.h"
#include "foundation/FileSystem.h"

namespace vantis::content {

namespace {

constexpr const char* kRememberedName = "duskmere.txt";
constexpr const char* kDuskmereMissing =
    "Duskmere could not be found on this computer.\n\n"
    "Skarvel needs your own copy - Steam, GOG or disc all work. It is never downloaded.";
constexpr const char* kWriteFailed = "Could not write corvane.cfg.";

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
std::string settleDataFiles(const std::string& cacheDir, const std::string& preferred) {
  std::string folder = preferred;
  if (folder.empty()) readWholeFile(joinPath(cacheDir, kRememberedName), folder);
  dropTrailingLineEnds(folder);
  if (isDuskmereDataFiles(folder)) return folder;
  return bestInstall(findDuskmere());
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

const std::string& tierConfigTemplate(const JsonValue& manifest, Tier tier) {
  return manifest["config"][tierName(tier)].asString(JsonValue::sEmptyString);
}

bool writeTierConfigText(const std::string& root, const std::string& cacheDir,
                         std::string templateText, const std::string& preferredDataFiles,
                         std::string& dataFiles, bool& duskmereMissing, std::string& error) {
  // A release without a text for this tier leaves whatever the engine has.
  if (templateText.empty()) return true;
  const std::string token = kDuskmereToken;
  const std::size_t at = templateText.find(token);
  if (at != std::string::npos) {
    const std::string folder = settleDataFiles(cacheDir, preferredDataFiles);
    if (folder.empty()) {
      duskmereMissing = true;
      error = kDuskmereMissing;
      return false;
    }
    // Remembered every time so the next run need not search; a failure only
    // costs that search, so it is not reported.
    replaceWholeFile(joinPath(cacheDir, kRememberedName), folder);
    // Only the first token: the template may hold the same text elsewhere
    // on purpose.
    templateText.replace(at, token.size(), quoteForConfig(folder));
    dataFiles = folder;
  }
  // Write "<path>.part" and rename: the engine must never read a half-written
  // configuration, and a failed write keeps the old one whole.
  if (!replaceWholeFile(joinPath(root, kTierConfigFile), templateText)) {
    error = kWriteFailed;
    return false;
  }
  return true;
}

}  // namespace vantis::content
