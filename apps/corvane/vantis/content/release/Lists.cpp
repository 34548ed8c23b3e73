// The lists' framing and lines. The lists can hold hundreds of thousands of
// entries, so the framing never copies a body: each line is parsed where it
// lies and dropped before the next.

#include "release/Lists.h"

#include <cstring>
#include <utility>

#include "foundation/JsonWriter.h"

namespace vantis::content {

namespace {

// Only arrays have elements; an object where a list belongs yields none.
std::size_t elementsOf(const JsonValue& value) {
  return value.kind == JsonValue::Kind::Array ? value.size() : 0;
}

const std::string& textOf(const JsonValue& value) {
  return value.asString(JsonValue::sEmptyString);
}

}  // namespace

Status forEachLine(const void* body, std::size_t size, const LineHandler& handler) {
  const char* next = static_cast<const char*>(body);
  const char* const end = next + size;
  std::uint64_t lineNumber = 0;
  while (next < end) {
    const char* lineEnd = static_cast<const char*>(std::memchr(next, '\n', end - next));
    if (lineEnd == nullptr) lineEnd = end;
    const char* lineBegin = next;
    next = lineEnd + (lineEnd < end ? 1 : 0);
    if (lineBegin == lineEnd) continue;

    ++lineNumber;
    JsonValue line;
    std::string parseError;
    if (!parseJson(lineBegin, lineEnd, line, parseError)) {
      return Failure{"manifest line " + std::to_string(lineNumber) + ": " + parseError};
    }
    Status handled = handler(line);
    if (!handled) return handled;
  }
  return {};
}

Status forEachLine(const std::vector<unsigned char>& body, const LineHandler& handler) {
  return forEachLine(body.data(), body.size(), handler);
}

Status forEachLine(const std::string& body, const LineHandler& handler) {
  return forEachLine(body.data(), body.size(), handler);
}

void appendLine(const std::string& line, std::string& list) {
  list += line;
  list += '\n';
}

FileRecord readFileRecord(const JsonValue& line) {
  FileRecord record;
  record.path = textOf(line["path"]);
  record.size = line["size"].asInt(0);
  record.sha256 = textOf(line["sha256"]);
  record.target = textOf(line["target"]);
  record.platform = textOf(line["platform"]);
  record.alwaysHash = line["alwaysHash"].asBool(false);
  const JsonValue& chunks = line["chunks"];
  record.chunks.reserve(elementsOf(chunks));
  for (std::size_t i = 0; i < elementsOf(chunks); ++i) record.chunks.push_back(textOf(chunks[i]));
  return record;
}

std::string fileRecordLine(const FileRecord& record) {
  JsonObjectWriter line;
  line.text("path", record.path).number("size", record.size).text("sha256", record.sha256);
  line.text("target", record.target);
  if (!record.platform.empty()) line.text("platform", record.platform);
  if (record.alwaysHash) line.boolean("alwaysHash", true);
  return line.raw("chunks", jsonTextArray(record.chunks)).finish();
}

BundleRecord readBundleRecord(const JsonValue& line) {
  BundleRecord bundle;
  bundle.id = textOf(line["id"]);
  bundle.size = line["size"].asInt(0);
  const JsonValue& entries = line["blobs"];
  for (std::size_t i = 0; i < elementsOf(entries); ++i) {
    const JsonValue& entry = entries[i];
    bundle.blobs.push_back(BundleRecord::Blob{textOf(entry[std::size_t{0}]),
                                              entry[std::size_t{1}].asInt(0),
                                              entry[std::size_t{2}].asInt(0)});
  }
  return bundle;
}

std::string bundleRecordLine(const BundleRecord& record) {
  std::string blobs = "[";
  for (const BundleRecord::Blob& blob : record.blobs) {
    if (blobs.size() > 1) blobs += ',';
    blobs += "[" + quoteJson(blob.digest) + "," + std::to_string(blob.offset) + "," +
             std::to_string(blob.length) + "]";
  }
  blobs += ']';
  return JsonObjectWriter()
      .text("id", record.id)
      .number("size", record.size)
      .raw("blobs", blobs)
      .finish();
}

RetiredRecord readRetiredRecord(const JsonValue& line) {
  RetiredRecord record;
  record.path = textOf(line["path"]);
  // Present in any form, the member asks for a content check: a line that
  // meant to protect the player's files never falls back to deleting them.
  const JsonValue& versions = line["versions"];
  record.versionsNamed = versions.kind != JsonValue::Kind::Null;
  for (std::size_t i = 0; i < elementsOf(versions); ++i) {
    const JsonValue& version = versions[i];
    record.versions.push_back(
        ShippedVersion{version[std::size_t{0}].asInt(-1), textOf(version[std::size_t{1}])});
  }
  return record;
}

std::string retiredRecordLine(const RetiredRecord& record) {
  JsonObjectWriter line;
  line.text("path", record.path);
  if (!record.versionsNamed) return line.finish();
  std::string versions = "[";
  for (const ShippedVersion& version : record.versions) {
    if (versions.size() > 1) versions += ',';
    versions += "[" + std::to_string(version.size) + "," + quoteJson(version.sha256) + "]";
  }
  versions += ']';
  return line.raw("versions", versions).finish();
}

}  // namespace vantis::content
