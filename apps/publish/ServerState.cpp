// Reading the server folder's own documents back. They were written by this
// program, so anything unexpected is reported rather than guessed around:
// guessing wrong here would hide a downgrade or skip an "alwaysHash". And
// they are read only along the chain of digests that starts at the signed
// pointer: whoever can write into the served folder can add files there,
// and the next signed release must not vouch for what they added.

#include "ServerState.h"

#include <vector>

#include "Files.h"
#include "StoredRelease.h"
#include "foundation/Crypto.h"
#include "foundation/Json.h"
#include "release/Layout.h"
#include "release/Lists.h"
#include "release/Manifest.h"
#include "release/Pointer.h"

namespace vantis::publish {

namespace {

using content::JsonValue;

const char* const kChangedHint =
    " (the served folder was changed after it was published; restore the file, or move "
    "current.json away to start afresh)";

// A file entry as this program writes it: a path, a size that is a whole
// number of bytes and a digest.
bool isFileEntry(const JsonValue& line) {
  const JsonValue& size = line["size"];
  return line["path"].kind == JsonValue::Kind::String && size.asInt(-1) >= 0 &&
         size.asNumber(-1.0) == static_cast<double>(size.asInt(-1)) &&
         line["sha256"].kind == JsonValue::Kind::String;
}

// Reads `relative` (a path inside the server folder) only when its digest
// is the one `namedBy` names.
bool readVerified(const std::string& serverDir, const std::string& relative,
                  const std::string& sha256, const std::string& namedBy, std::string& body,
                  std::string& error) {
  const std::string path = joinPath(serverDir, relative);
  switch (readMatching(serverDir, relative, sha256, body)) {
    case FileMatch::matches:
      return true;
    case FileMatch::outside:
      error = namedBy + " names " + relative + ", which is not a path inside the server folder";
      return false;
    case FileMatch::missing:
    case FileMatch::unreadable:
      error = "cannot read " + path + ", which " + namedBy + " names" + kChangedHint;
      return false;
    case FileMatch::differs:
      break;
  }
  error = path + " does not match the digest that " + namedBy + " names" + kChangedHint;
  return false;
}

// One release on the chain: its manifest, read and checked.
struct ChainRelease {
  std::string manifestFile;  // relative to the server folder
  content::Manifest manifest;
  bool oldest = false;  // names no predecessor: what came before is unknown
};

bool readFileList(const std::string& serverDir, const ChainRelease& release,
                  const content::ListDocument& list, PathHistory& out, std::string& error) {
  const content::ListPart& part = release.manifest.part(list);
  if (!part.present) return true;
  const std::string relative = content::listFile(release.manifest.packVersion, list.file);
  std::string body;
  if (!readVerified(serverDir, relative, part.sha256, release.manifestFile, body, error)) {
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
    const auto size = static_cast<std::uint64_t>(entry.size);
    out.versions[entry.path].emplace(size, entry.sha256);
    if (!release.oldest) return content::Status();
    std::set<std::uint64_t>& vouched = out.unknownBefore[entry.path];
    if (!entry.alwaysHash) vouched.insert(size);
    return content::Status();
  });
  if (read) return true;
  error = "cannot read the earlier release list " + joinPath(serverDir, relative) + ": " +
          read.error();
  return false;
}

// Retired lines that name versions add them; a line without them (written
// before lines named them) only says that its path had content once,
// which is then not known.
bool readRetired(const std::string& serverDir, const ChainRelease& release, PathHistory& out,
                 std::string& error) {
  const content::ListPart& part = release.manifest.filesRetired;
  if (!part.present) return true;
  const std::string relative =
      content::listFile(release.manifest.packVersion, content::kFilesRetiredList.file);
  std::string body;
  if (!readVerified(serverDir, relative, part.sha256, release.manifestFile, body, error)) {
    return false;
  }
  const content::Status read = content::forEachLine(body, [&](const JsonValue& line) {
    const content::RetiredRecord record = content::readRetiredRecord(line);
    if (!record.versionsNamed) out.unknownBefore[record.path];
    for (const content::ShippedVersion& version : record.versions) {
      if (version.size < 0 || !content::isLowerHexDigest(version.sha256)) continue;
      out.versions[record.path].emplace(static_cast<std::uint64_t>(version.size),
                                        version.sha256);
    }
    return content::Status();
  });
  if (read) return true;
  error = "cannot read the earlier release list " + joinPath(serverDir, relative) + ": " +
          read.error();
  return false;
}

bool readChainManifest(const std::string& serverDir, const std::string& relative,
                       const std::string& sha256, const std::string& namedBy,
                       ChainRelease& release, std::string& error) {
  std::string text, message;
  if (!readVerified(serverDir, relative, sha256, namedBy, text, error)) return false;
  JsonValue document;
  if (!content::parseJson(text, document, message)) {
    error = "cannot read the manifest " + joinPath(serverDir, relative) + ": " + message;
    return false;
  }
  release.manifestFile = relative;
  release.manifest = content::readManifest(document);
  release.oldest = !release.manifest.namesPrevious;
  const bool namesBoth = !release.manifest.previousManifest.empty() &&
                         !release.manifest.previousManifestSha256.empty();
  const bool namesNone = release.manifest.previousManifest.empty() &&
                         release.manifest.previousManifestSha256.empty();
  if (release.oldest || namesBoth || namesNone) return true;
  error = "the manifest " + joinPath(serverDir, relative) + " names its predecessor only in part";
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
  out.manifest = fields.manifest;
  out.manifestSha256 = fields.manifestSha256;
  out.expires = fields.expires;
  out.signedWithKey =
      publicPoint.size() == 65 &&
      content::verifyP256(reinterpret_cast<const unsigned char*>(publicPoint.data()),
                          pointer.payload.data(), pointer.payload.size(),
                          pointer.signature.data());
  return true;
}

bool readHistory(const std::string& serverDir, const CurrentRelease& current, PathHistory& out,
                 std::string& error) {
  out = PathHistory();
  if (!current.exists) return true;
  std::string manifestFile = current.manifest;
  std::string sha256 = current.manifestSha256;
  std::string namedBy = content::kPointerFile;
  // Each step is a manifest with a digest not seen before, so the walk ends
  // even if a folder held a cycle (which would take a SHA-256 collision).
  std::set<std::string> seen;
  while (!manifestFile.empty() && seen.insert(sha256).second) {
    ChainRelease release;
    if (!readChainManifest(serverDir, manifestFile, sha256, namedBy, release, error) ||
        !readFileList(serverDir, release, content::kFilesRequiredList, out, error) ||
        !readFileList(serverDir, release, content::kFilesOptionalList, out, error) ||
        !readRetired(serverDir, release, out, error)) {
      return false;
    }
    ++out.releases;
    if (release.oldest) break;
    namedBy = release.manifestFile;
    manifestFile = release.manifest.previousManifest;
    sha256 = release.manifest.previousManifestSha256;
  }
  return true;
}

}  // namespace vantis::publish
