// The program-file record: path, reading, writing and the quick check of the
// installed programs against it. The one platform call, the stat of a file,
// lives in BinaryCheckPosix.cpp.

#include "protocol/BinaryCheck.h"

#include <utility>

#include "foundation/Crypto.h"
#include "foundation/FileSystem.h"
#include "foundation/Json.h"
#include "foundation/JsonWriter.h"

namespace vantis::content::binarycheck {

namespace {

constexpr const char* kVersionFile = "resources/version";
constexpr std::size_t kDigestLength = 64;

Entry entryFrom(const JsonValue& item) {
  Entry entry;
  entry.path = item["path"].asString(JsonValue::sEmptyString);
  // -1 wraps to a size no file has, so an entry without one never verifies.
  entry.size = static_cast<std::uint64_t>(item["size"].asInt(-1));
  entry.sha256 = item["sha256"].asString(JsonValue::sEmptyString);
  entry.mtime = item["mtime"].asString(JsonValue::sEmptyString);
  return entry;
}

// The checks of one entry, in order; the first failure's reason ends the
// verification. `record` is needed for the revision of the version file.
struct EntryCheck {
  const std::string& contentFolder;
  const Record& record;
  Outcome& outcome;

  bool hashMatches(const Entry& entry, const std::string& path) {
    std::uint64_t size = 0;
    std::string hex;
    if (!hashFileSha256(path, size, hex)) return fail(entry.path + " could not be read");
    outcome.filesHashed += 1;
    outcome.bytesHashed += size;
    if (!Sha256::equals(hex, entry.sha256)) {
      return fail(entry.path + " is not the installed release's (hash)");
    }
    return true;
  }

  // The version file is small and names the revision, so it is read every
  // time: a same-size edit of the revision must never pass on its time alone.
  bool versionMatches(const Entry& entry, const std::string& path) {
    std::string text;
    if (!readFile(path, text)) return fail(entry.path + " could not be read");
    outcome.filesHashed += 1;
    outcome.bytesHashed += text.size();
    const std::string found = revisionOf(text);
    if (found != record.revision) {
      return fail(entry.path + " names revision " + found + ", the release is " + record.revision);
    }
    if (!Sha256::equals(Sha256::of(text), entry.sha256)) {
      return fail(entry.path + " is not the installed release's (hash)");
    }
    return true;
  }

  // True when the entry passed; `mtime` then holds the file's current time
  // and `wasRead` says whether its content was compared.
  bool passes(const Entry& entry, std::string& mtime, bool& wasRead) {
    const std::string path = joinPath(contentFolder, entry.path);
    std::uint64_t size = 0;
    if (!statRegularFile(path, size, mtime)) return fail(entry.path + " is missing");
    if (size != entry.size) return fail(entry.path + " is not the installed release's (size)");
    if (entry.path == kVersionFile) {
      wasRead = true;
      return versionMatches(entry, path);
    }
    // The point of the record: an unchanged time means an unchanged file,
    // so an untouched instance costs one stat per program.
    if (mtime == entry.mtime) return true;
    wasRead = true;
    return hashMatches(entry, path);
  }

  bool fail(const std::string& reason) {
    outcome.reason = reason;
    return false;
  }
};

}  // namespace

std::string recordPath(const std::string& instance, const std::string& tierName) {
  const std::string cache = joinPath(joinPath(instance, "content"), "cache");
  return joinPath(cache, "binary-check-" + tierName + ".json");
}

bool readFile(const std::string& path, std::string& out) {
  out.clear();
  return readWholeFile(path, out);
}

std::string revisionOf(const std::string& versionText) {
  const std::size_t firstBreak = versionText.find('\n');
  if (firstBreak == std::string::npos) return std::string();
  const std::size_t start = firstBreak + 1;
  const std::size_t secondBreak = versionText.find('\n', start);
  std::string line = versionText.substr(
      start, secondBreak == std::string::npos ? std::string::npos : secondBreak - start);
  const std::size_t last = line.find_last_not_of(" \t\r\n");
  line.erase(last == std::string::npos ? 0 : last + 1);
  return line;
}

std::string mtimeText(long long seconds, long nanoseconds) {
  return std::to_string(seconds) + "." + std::to_string(nanoseconds);
}

std::string format(const Record& record) {
  std::string text = "{\"packVersion\":" + quoteJson(record.packVersion);
  text += ",\"platform\":" + quoteJson(record.platform);
  text += ",\"revision\":" + quoteJson(record.revision);
  text += ",\"files\":[";
  for (std::size_t i = 0; i < record.files.size(); ++i) {
    const Entry& entry = record.files[i];
    if (i > 0) text += ',';
    text += "{\"path\":" + quoteJson(entry.path);
    text += ",\"size\":" + std::to_string(entry.size);
    text += ",\"sha256\":" + quoteJson(entry.sha256);
    text += ",\"mtime\":" + quoteJson(entry.mtime);
    text += '}';
  }
  text += "]}";
  return text;
}

bool parse(const std::string& text, Record& record) {
  JsonValue document;
  std::string error;
  if (!parseJson(text, document, error)) return false;
  const JsonValue& files = document["files"];
  const bool isRecord =
      document.kind == JsonValue::Kind::Object && files.kind == JsonValue::Kind::Array;
  if (!isRecord) return false;
  record = Record();
  record.packVersion = document["packVersion"].asString(JsonValue::sEmptyString);
  record.platform = document["platform"].asString(JsonValue::sEmptyString);
  record.revision = document["revision"].asString(JsonValue::sEmptyString);
  for (const JsonValue& item : files.items) {
    Entry entry = entryFrom(item);
    if (entry.path.empty() || entry.sha256.size() != kDigestLength) continue;
    record.files.push_back(std::move(entry));
  }
  return !record.packVersion.empty() && !record.platform.empty();
}

bool capture(const std::string& contentFolder, const std::string& packVersion,
             const std::string& platform, const std::vector<Entry>& entries, Record& record) {
  record = Record();
  record.packVersion = packVersion;
  record.platform = platform;
  for (const Entry& wanted : entries) {
    Entry entry = wanted;
    const std::string path = joinPath(contentFolder, entry.path);
    std::uint64_t size = 0;
    if (!statRegularFile(path, size, entry.mtime)) return false;
    if (size != entry.size) return false;
    if (entry.path == kVersionFile) {
      std::string text;
      if (!readFile(path, text)) return false;
      record.revision = revisionOf(text);
    }
    record.files.push_back(std::move(entry));
  }
  return true;
}

Outcome verify(const std::string& contentFolder, const std::string& packVersion,
               const std::string& platform, Record& record) {
  Outcome outcome;
  const std::string prefix = "the record of the installed programs is for ";
  if (record.packVersion != packVersion) {
    outcome.reason = prefix + record.packVersion + ", not " + packVersion;
    return outcome;
  }
  if (record.platform != platform) {
    outcome.reason = prefix + record.platform;
    return outcome;
  }
  EntryCheck check{contentFolder, record, outcome};
  for (Entry& entry : record.files) {
    outcome.examined += 1;
    std::string mtime;
    bool wasRead = false;
    if (!check.passes(entry, mtime, wasRead)) return outcome;
    if (wasRead && mtime != entry.mtime) {
      entry.mtime = mtime;
      outcome.refreshed = true;
    }
  }
  outcome.ok = true;
  return outcome;
}

}  // namespace vantis::content::binarycheck
