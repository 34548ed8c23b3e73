// The installed-state record "content\cache\state.json": which release of
// each tier is installed, which tier the engine configuration was written
// for, and whether the next required-tier update owes a full check. Read by
// the front end, the pipeline and the overhaul removal; written by the
// pipeline after a complete update or a profile switch, and by the overhaul
// removal. Calling thread only.

#include <string>

#include "protocol/BinaryCheck.h"
#include "foundation/FileSystem.h"
#include "pipeline/SyncInternal.h"

namespace vantis::content {

namespace {

std::string statePathOf(const std::string& root) {
  return joinPath(root, std::string(kCacheDir) + "\\" + kStateFile);
}

// The tier's own key wins even when empty; the older "packVersion" form only
// ever described the required tier.
std::string versionIn(const JsonValue& document, Tier tier) {
  const std::string key = tierName(tier);
  if (document.has(key)) return document[key].asString(JsonValue::sEmptyString);
  if (tier == Tier::required && document.has("packVersion")) {
    return document["packVersion"].asString(JsonValue::sEmptyString);
  }
  return std::string();
}

// The record's one text form; both writers build it here so that every
// value goes through the same quoting. Versions come from the server and a
// carried-over tier name from the previous record: quoted, a quotation mark
// in one cannot make the record unreadable and silently lift the downgrade
// protection. Ordinary values are written byte for byte as before.
std::string stateText(long long sequence, const std::string& required,
                      const std::string& optional, const std::string& configTier,
                      bool verifyDemanded) {
  std::string text = "{\"sequence\":" + std::to_string(sequence);
  text += ",\"required\":" + binarycheck::quote(required);
  text += ",\"optional\":" + binarycheck::quote(optional);
  text += ",\"configTier\":" + binarycheck::quote(configTier);
  if (verifyDemanded) text += ",\"verify\":\"required\"";
  text += "}";
  return text;
}

}  // namespace

const char* tierName(Tier tier) { return tier == Tier::optional ? "optional" : "required"; }

bool readStateDocument(const std::string& root, JsonValue& document) {
  std::string text;
  std::string error;
  document = JsonValue();
  if (!readWholeFile(statePathOf(root), text)) return false;
  return parseJson(text, document, error);
}

std::string installedVersion(const std::string& root, Tier tier) {
  JsonValue document;
  if (!readStateDocument(root, document)) return std::string();
  return versionIn(document, tier);
}

InstalledState readInstalledState(const JsonValue& previous, Tier tier) {
  InstalledState state;
  state.sequence = previous["sequence"].asInt(-1);
  state.version = versionIn(previous, tier);
  state.configTier = previous["configTier"].asString(JsonValue::sEmptyString);
  state.verifyDemanded =
      tier == Tier::required && previous["verify"].asString(JsonValue::sEmptyString) == "required";
  return state;
}

bool writeInstalledState(const std::string& root, Tier tier, const std::string& packVersion,
                         long long sequence, const JsonValue& previous,
                         const std::string& cacheDir, const std::string& statePath,
                         std::string& error) {
  std::string required = installedVersion(root, Tier::required);
  std::string optional = installedVersion(root, Tier::optional);
  (tier == Tier::optional ? optional : required) = packVersion;
  // A required-tier sync has just checked every file in full, so it settles
  // the demand; an optional-tier sync leaves it owed.
  const bool keepDemand = tier == Tier::optional &&
                          previous["verify"].asString(JsonValue::sEmptyString) == "required";
  const std::string text = stateText(sequence, required, optional, tierName(tier), keepDemand);
  makeDirectories(cacheDir);
  if (replaceWholeFile(statePath, text)) return true;
  error = "Could not record the installed version.";
  return false;
}

bool writeClearedState(long long sequence, const std::string& configTier,
                       const std::string& cacheDir, const std::string& statePath,
                       std::string& error) {
  // Both versions empty: the next sync of either tier finds nothing
  // installed. The demand makes the required tier's next sync repair any
  // required file that the optional tier had replaced.
  const std::string text = stateText(sequence, "", "", configTier, true);
  makeDirectories(cacheDir);
  if (replaceWholeFile(statePath, text)) return true;
  error = "Could not record the change.";
  return false;
}

}  // namespace vantis::content
