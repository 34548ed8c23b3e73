// Reading the server folder's own documents back. They were written by this
// program, so anything unexpected is reported rather than guessed around:
// guessing wrong here would hide a downgrade or skip an "alwaysHash".

#include "ServerState.h"

#include <vector>

#include "foundation/Crypto.h"
#include "Files.h"
#include "JsonText.h"

namespace vantis::publish {

namespace {

constexpr std::size_t kSignatureBytes = 64;
constexpr long long kMaxSafeInteger = 9007199254740992LL;  // 2^53

bool readPayload(const Json& document, std::string& payload, std::string& signature) {
  if (!document.is_object()) return false;
  const Json payloadText = document.value("payload", Json());
  const Json signatureText = document.value("signature", Json());
  if (!payloadText.is_string() || !signatureText.is_string()) return false;
  std::vector<unsigned char> bytes;
  if (!vantis::content::decodeBase64(payloadText.get<std::string>(), bytes)) return false;
  payload.assign(bytes.begin(), bytes.end());
  if (!vantis::content::decodeBase64(signatureText.get<std::string>(), bytes)) return false;
  signature.assign(bytes.begin(), bytes.end());
  return true;
}

bool readEntry(const Json& line, PathHistory& out) {
  if (!line.is_object()) return false;
  const Json path = line.value("path", Json());
  const Json size = line.value("size", Json());
  const Json sha256 = line.value("sha256", Json());
  if (!path.is_string() || !size.is_number_unsigned() || !sha256.is_string()) return false;
  out.versions[path.get<std::string>()].emplace(size.get<std::uint64_t>(),
                                                sha256.get<std::string>());
  return true;
}

bool readList(const std::string& path, PathHistory& out, std::string& error) {
  std::string body;
  if (!readFile(path, body)) {
    error = "cannot read the earlier release list " + path;
    return false;
  }
  std::size_t start = 0;
  for (std::size_t number = 1; start < body.size(); ++number) {
    std::size_t end = body.find('\n', start);
    if (end == std::string::npos) end = body.size();
    const std::string line = body.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    Json entry;
    std::string message = "not a file entry";
    if (!parseJsonText(line, entry, message) || !readEntry(entry, out)) {
      error = "cannot read the earlier release list " + path + " at line " +
              std::to_string(number) + ": " + message;
      return false;
    }
  }
  return true;
}

}  // namespace

bool readCurrentRelease(const std::string& serverDir, const std::string& publicPoint,
                        CurrentRelease& out, std::string& error) {
  out = CurrentRelease();
  const std::string path = joinPath(serverDir, "current.json");
  if (!pathExists(path)) return true;
  out.exists = true;
  const std::string problem = "cannot read the release pointer " + path +
                              " that the folder serves now (move it away to start afresh)";
  std::string text, payload, signature, message;
  Json document, fields;
  if (!readFile(path, text) || !parseJsonText(text, document, message) ||
      !readPayload(document, payload, signature) || !parseJsonText(payload, fields, message) ||
      !fields.is_object()) {
    error = problem;
    return false;
  }
  const Json version = fields.value("packVersion", Json());
  const Json sequence = fields.value("sequence", Json());
  if (!version.is_string() || !sequence.is_number_integer()) {
    error = problem;
    return false;
  }
  out.version = version.get<std::string>();
  out.sequence = sequence.get<long long>();
  if (out.sequence > kMaxSafeInteger) out.sequence = kMaxSafeInteger;
  out.signedWithKey =
      publicPoint.size() == 65 && signature.size() == kSignatureBytes &&
      vantis::content::verifyP256(reinterpret_cast<const unsigned char*>(publicPoint.data()),
                                  payload.data(), payload.size(),
                                  reinterpret_cast<const unsigned char*>(signature.data()));
  return true;
}

bool readHistory(const std::string& serverDir, PathHistory& out, std::string& error) {
  out = PathHistory();
  const std::string releases = joinPath(serverDir, "manifest");
  for (const std::string& version : listSubfolders(releases)) {
    for (const char* name : {"files-required.ndjson", "files-optional.ndjson"}) {
      const std::string list = joinPath(joinPath(releases, version), name);
      if (pathExists(list) && !readList(list, out, error)) return false;
    }
  }
  return true;
}

}  // namespace vantis::publish
