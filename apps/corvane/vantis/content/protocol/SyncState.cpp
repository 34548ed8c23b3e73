// Reading and writing the installed-state record. It is small and written
// whole through a temporary file and flushed, so a reader finds the old
// record or the new one, never a mix, also after a power cut.

#include "protocol/SyncState.h"

#include <algorithm>

#include "foundation/FileSystem.h"
#include "foundation/JsonWriter.h"
#include "pipeline/Sync.h"
#include "protocol/SyncMessages.h"
#include "release/Layout.h"

namespace vantis::content {

namespace {

// The record's one text form; both writers build it here so that every
// value goes through the same quoting. Versions come from the server and a
// carried-over tier name from the previous record: quoted, a quotation mark
// in one cannot make the record unreadable and silently lift the downgrade
// protection. Ordinary values are written byte for byte as before.
std::string stateText(long long sequence, const std::string& required,
                      const std::string& optional, const std::string& configTier,
                      bool verifyDemanded) {
  JsonObjectWriter record;
  record.number("sequence", sequence).text("required", required).text("optional", optional);
  record.text("configTier", configTier);
  if (verifyDemanded) record.text("verify", "required");
  return record.finish();
}

// The highest-sequence record raised before the state record is replaced:
// a run cut off between the two leaves the higher number on disk, never a
// state the record has not caught up with.
Status replaceRecord(const InstancePaths& paths, long long sequence, const std::string& text,
                     const char* failure) {
  makeDirectories(paths.cache);
  // Flushed before the rename and after it: renamed unflushed, the record
  // could come back empty after a power cut, which reads as nothing
  // installed and no sequence to refuse older releases by.
  if (raiseHighestSequence(paths, sequence) && replaceWholeFileDurably(paths.state, text)) {
    return {};
  }
  return Failure{failure};
}

// Digits and a line feed; anything else (a damaged or foreign file) holds
// no number. A number beyond what a pointer can carry reads as nothing too,
// so that a damaged digit cannot refuse every release for good.
long long readHighestSequence(const InstancePaths& paths) {
  std::string text;
  if (!readWholeFile(paths.highestSequence, text)) return -1;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  const bool digits = !text.empty() && text.size() <= 16 &&
                      text.find_first_not_of("0123456789") == std::string::npos;
  if (!digits) return -1;
  const long long sequence = std::stoll(text);
  return sequence <= kMaxSequence ? sequence : -1;
}

}  // namespace

std::string installedVersionIn(const JsonValue& record, Tier tier) {
  // The tier's own key wins even when empty; the older "packVersion" form
  // only ever described the required tier.
  const std::string key = tierName(tier);
  if (record.has(key)) return record[key].asString(JsonValue::sEmptyString);
  if (tier == Tier::required && record.has("packVersion")) {
    return record["packVersion"].asString(JsonValue::sEmptyString);
  }
  return std::string();
}

JsonValue readStateDocument(const InstancePaths& paths) {
  std::string text;
  std::string error;
  JsonValue document;
  if (readWholeFile(paths.state, text)) parseJson(text, document, error);
  return document;
}

std::string installedVersion(const std::string& root, Tier tier) {
  return installedVersionIn(readStateDocument(instancePaths(root)), tier);
}

long long highestRecordedSequence(const InstancePaths& paths, const JsonValue& record) {
  return std::max(record["sequence"].asInt(-1), readHighestSequence(paths));
}

bool raiseHighestSequence(const InstancePaths& paths, long long sequence) {
  if (sequence < 0 || sequence <= readHighestSequence(paths)) return true;
  makeDirectories(paths.cache);
  // Durable like the state record: the number exists to outlive a lost one.
  return replaceWholeFileDurably(paths.highestSequence, std::to_string(sequence) + "\n");
}

InstalledState readInstalledState(const JsonValue& previous, Tier tier) {
  InstalledState state;
  state.sequence = previous["sequence"].asInt(-1);
  state.version = installedVersionIn(previous, tier);
  state.configTier = previous["configTier"].asString(JsonValue::sEmptyString);
  state.verifyDemanded =
      tier == Tier::required && previous["verify"].asString(JsonValue::sEmptyString) == "required";
  return state;
}

Status writeInstalledState(const InstancePaths& paths, Tier tier, const std::string& packVersion,
                           long long sequence, const JsonValue& previous) {
  std::string required = installedVersionIn(previous, Tier::required);
  std::string optional = installedVersionIn(previous, Tier::optional);
  (tier == Tier::optional ? optional : required) = packVersion;
  // A required-tier sync has just checked every file in full, so it settles
  // the demand; an optional-tier sync leaves it owed.
  const bool keepDemand = tier == Tier::optional &&
                          previous["verify"].asString(JsonValue::sEmptyString) == "required";
  const std::string text = stateText(sequence, required, optional, tierName(tier), keepDemand);
  return replaceRecord(paths, sequence, text, messages::kStateNotWritten);
}

Status writeClearedState(const InstancePaths& paths, long long sequence,
                         const std::string& configTier) {
  // Both versions empty: the next sync of either tier finds nothing
  // installed. The demand makes the required tier's next sync repair any
  // required file that the optional tier had replaced.
  const std::string text = stateText(sequence, "", "", configTier, true);
  return replaceRecord(paths, sequence, text, messages::kChangeNotRecorded);
}

}  // namespace vantis::content
