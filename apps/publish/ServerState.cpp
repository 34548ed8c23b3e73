// Reading the server folder's own documents back. They were written by this
// program, so anything unexpected is reported rather than guessed around:
// guessing wrong here would hide a downgrade or skip an "alwaysHash".

#include "ServerState.h"

#include <vector>

#include "Files.h"
#include "foundation/Crypto.h"
#include "foundation/Json.h"
#include "release/Layout.h"
#include "release/Lists.h"
#include "release/Pointer.h"

namespace vantis::publish {

namespace {

using content::JsonValue;

// A file entry as this program writes it: a path, a size that is a whole
// number of bytes and a digest.
bool isFileEntry(const JsonValue& line) {
  const JsonValue& size = line["size"];
  return line["path"].kind == JsonValue::Kind::String && size.asInt(-1) >= 0 &&
         size.asNumber(-1.0) == static_cast<double>(size.asInt(-1)) &&
         line["sha256"].kind == JsonValue::Kind::String;
}

bool readList(const std::string& path, PathHistory& out, std::string& error) {
  std::string body;
  if (!readFile(path, body)) {
    error = "cannot read the earlier release list " + path;
    return false;
  }
  std::uint64_t number = 0;
  const content::Status read = content::forEachLine(body, [&](const JsonValue& line) {
    ++number;
    if (!isFileEntry(line)) {
      return content::Status(content::Failure{"manifest line " + std::to_string(number) +
                                              ": not a file entry"});
    }
    const content::FileRecord entry = content::readFileRecord(line);
    out.versions[entry.path].emplace(static_cast<std::uint64_t>(entry.size), entry.sha256);
    return content::Status();
  });
  if (read) return true;
  error = "cannot read the earlier release list " + path + ": " + read.error();
  return false;
}

bool readPointer(const std::string& path, content::SignedPointer& pointer,
                 content::PointerPayload& fields) {
  std::string text, message;
  JsonValue document, payload;
  if (!readFile(path, text) || !content::parseJson(text, document, message)) return false;
  if (!content::splitPointerDocument(document, pointer)) return false;
  const char* begin = reinterpret_cast<const char*>(pointer.payload.data());
  if (!content::parseJson(begin, begin + pointer.payload.size(), payload, message)) return false;
  fields = content::readPointerPayload(payload);
  return payload.kind == JsonValue::Kind::Object && !fields.packVersion.empty() &&
         fields.sequence >= 0;
}

}  // namespace

bool readCurrentRelease(const std::string& serverDir, const std::string& publicPoint,
                        CurrentRelease& out, std::string& error) {
  out = CurrentRelease();
  const std::string path = joinPath(serverDir, content::kPointerFile);
  if (!pathExists(path)) return true;
  out.exists = true;
  content::SignedPointer pointer;
  content::PointerPayload fields;
  if (!readPointer(path, pointer, fields)) {
    error = "cannot read the release pointer " + path +
            " that the folder serves now (move it away to start afresh)";
    return false;
  }
  out.version = fields.packVersion;
  out.sequence = fields.sequence;
  out.signedWithKey =
      publicPoint.size() == 65 &&
      content::verifyP256(reinterpret_cast<const unsigned char*>(publicPoint.data()),
                          pointer.payload.data(), pointer.payload.size(),
                          pointer.signature.data());
  return true;
}

bool readHistory(const std::string& serverDir, PathHistory& out, std::string& error) {
  out = PathHistory();
  const std::string releases = joinPath(serverDir, "manifest");
  for (const std::string& version : listSubfolders(releases)) {
    for (const content::ListDocument& list :
         {content::kFilesRequiredList, content::kFilesOptionalList}) {
      const std::string file = joinPath(serverDir, content::listFile(version, list.file));
      if (pathExists(file) && !readList(file, out, error)) return false;
    }
  }
  return true;
}

}  // namespace vantis::publish
