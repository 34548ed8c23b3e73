// Rewriting a published release by hand. Documents are edited as text, the
// way SkarvelPublish wrote them, so that every byte the test does not touch
// stays as the publisher made it.

#include "HandRelease.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <utility>
#include <vector>

#include "foundation/Crypto.h"
#include "Program.h"
#include "ScriptServer.h"
#include "TempDir.h"
#include "TestSigning.h"
#include "Tree.h"

namespace skarvel::test {

namespace {

// Runs a shell line with "$1" and "$2" bound to `in` and `out`.
void runShell(const std::string& line, const std::string& in, const std::string& out) {
  const ProgramRun run = runProgram({"/bin/sh", "-c", line, "sh", in, out});
  ASSERT_EQ(run.status, 0) << line << ": " << run.output;
}

std::string pipeThrough(const std::string& line, const std::string& bytes) {
  TempDir scratch;
  writeFile(scratch.file("in"), bytes);
  runShell(line, scratch.file("in"), scratch.file("out"));
  return readFile(scratch.file("out"));
}

// The manifest's "parts" member that names each list's digest.
std::string partOf(const std::string& listName) {
  static const std::map<std::string, std::string> kParts = {
      {"files-required.ndjson", "filesRequired"},
      {"files-optional.ndjson", "filesOptional"},
      {"bundles.ndjson", "bundles"},
      {"files-retired.ndjson", "filesRetired"}};
  const auto found = kParts.find(listName);
  EXPECT_NE(found, kParts.end()) << "no manifest part for " << listName;
  return found == kParts.end() ? std::string() : found->second;
}

std::string objectPath(const std::string& folder, const std::string& kind,
                       const std::string& hash) {
  return folder + "/" + kind + "/" + hash.substr(0, 2) + "/" + hash.substr(2, 2) + "/" + hash +
         ".gz";
}

}  // namespace

std::string sha256Hex(const std::string& bytes) { return vantis::content::Sha256::of(bytes); }

std::vector<std::string> digestsIn(const std::string& text) {
  const auto isHex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
  std::vector<std::string> digests;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t end = i;
    while (end < text.size() && isHex(text[end])) ++end;
    if (end - i == 64) digests.push_back(text.substr(i, 64));
    i = end + 1;
  }
  return digests;
}

std::string gzipBytes(const std::string& bytes) {
  return pipeThrough("gzip -n -c \"$1\" > \"$2\"", bytes);
}

std::string gunzipBytes(const std::string& compressed) {
  return pipeThrough("gzip -d -c \"$1\" > \"$2\"", compressed);
}

std::string jsonQuote(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (byte < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      quoted += escape;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

std::string withStringValue(const std::string& text, const std::string& key,
                            const std::string& value) {
  const std::string opening = "\"" + key + "\":\"";
  const std::size_t start = text.find(opening);
  EXPECT_NE(start, std::string::npos) << "no " << opening << " in " << text;
  if (start == std::string::npos) return text;
  const std::size_t valueStart = start + opening.size();
  const std::size_t valueEnd = text.find('"', valueStart);
  return text.substr(0, valueStart) + value + text.substr(valueEnd);
}

HandRelease::HandRelease(std::string serverFolder, std::string version)
    : folder_(std::move(serverFolder)), version_(std::move(version)) {}

std::string HandRelease::manifestFile() const {
  return folder_ + "/manifest/" + version_ + "/manifest.json";
}

std::string HandRelease::listFile(const std::string& name) const {
  return folder_ + "/manifest/" + version_ + "/" + name;
}

std::string HandRelease::pointerPayload() const {
  const std::string pointer = readFile(pointerFile());
  const std::string opening = "\"payload\":\"";
  const std::size_t start = pointer.find(opening) + opening.size();
  const std::string text = pointer.substr(start, pointer.find('"', start) - start);
  std::vector<unsigned char> bytes;
  EXPECT_TRUE(vantis::content::decodeBase64(text, bytes)) << pointer;
  return std::string(bytes.begin(), bytes.end());
}

void HandRelease::signPointer(const std::string& payload, const std::string& keyPath) const {
  const std::vector<unsigned char> signature = vantis::content::test::signP256(keyPath, payload);
  ASSERT_EQ(signature.size(), 64u) << "could not sign with " << keyPath;
  writeFile(pointerFile(), "{\"payload\":\"" + vantis::content::test::encodeBase64(payload) +
                               "\",\"signature\":\"" +
                               vantis::content::test::encodeBase64(signature) + "\"}\n");
}

void HandRelease::signPointer(const std::string& payload) const {
  signPointer(payload, vantis::content::test::devSigningKeyPath());
}

std::string HandRelease::manifest() const { return readFile(manifestFile()); }

void HandRelease::setManifest(const std::string& text) const {
  writeFile(manifestFile(), text);
  signPointer(withStringValue(pointerPayload(), "manifestSha256", sha256Hex(text)));
}

std::string HandRelease::list(const std::string& name) const { return readFile(listFile(name)); }

void HandRelease::replaceListOnly(const std::string& name, const std::string& text) const {
  writeFile(listFile(name), text);
}

void HandRelease::setList(const std::string& name, const std::string& text) const {
  replaceListOnly(name, text);
  // The digest that follows this list's own part key, not the first one of
  // the manifest: two empty lists share a digest.
  const std::string manifestText = manifest();
  const std::string partKey = "\"" + partOf(name) + "\":";
  const std::size_t part = manifestText.find(partKey);
  ASSERT_NE(part, std::string::npos) << "the manifest has no " << partKey;
  std::string rest = withStringValue(manifestText.substr(part), "sha256", sha256Hex(text));
  // The part's size bounds the list's download, so it follows the text too
  // (a manifest from before sizes has none to change).
  const std::size_t size = rest.find("\"size\":");
  if (size != std::string::npos && size < rest.find('}')) {
    const std::size_t digits = size + 7;
    const std::size_t end = rest.find_first_not_of("0123456789", digits);
    rest = rest.substr(0, digits) + std::to_string(text.size()) + rest.substr(end);
  }
  // Sections cut the list as it was: a hand-made list is served whole, as
  // lists were before sections, so the manifest names none.
  std::string edited = manifestText.substr(0, part) + rest;
  const std::size_t sections = edited.find(",\"sections\":{");
  if (sections != std::string::npos) {
    edited.erase(sections, edited.find('}', sections) + 1 - sections);
  }
  setManifest(edited);
}

std::string HandRelease::addChunk(const std::string& bytes) const {
  const std::string hash = sha256Hex(bytes);
  writeFile(chunkFile(hash), gzipBytes(bytes));
  return hash;
}

std::string HandRelease::fileEntry(const std::string& path, const std::string& bytes,
                                   const std::string& target, const std::string& platform) const {
  const std::string hash = addChunk(bytes);
  std::string line = "{\"path\":" + jsonQuote(path) + ",\"size\":" + std::to_string(bytes.size()) +
                     ",\"sha256\":\"" + hash + "\",\"target\":" + jsonQuote(target);
  if (!platform.empty()) line += ",\"platform\":" + jsonQuote(platform);
  return line + ",\"chunks\":[\"" + hash + "\"]}\n";
}

std::string HandRelease::chunkFile(const std::string& hash) const {
  return objectPath(folder_, "chunks", hash);
}

std::string HandRelease::bundleFile(const std::string& id) const {
  return objectPath(folder_, "bundles", id);
}

void HandRelease::editObject(const std::string& path,
                             const std::function<void(std::string&)>& edit) const {
  ASSERT_TRUE(exists(path)) << path;
  std::string bytes = gunzipBytes(readFile(path));
  edit(bytes);
  writeFile(path, gzipBytes(bytes));
}

void serveFolder(ScriptServer& server, const std::string& folder) {
  for (const auto& [relative, bytes] : treeOf(folder)) {
    const std::string path = "/" + relative;
    ScriptedResponse response;
    response.body = bytes;
    const bool object = path.rfind("/chunks/", 0) == 0 || path.rfind("/bundles/", 0) == 0;
    if (object) response.headers.emplace_back("Content-Encoding", "gzip");
    server.on(path, response);
  }
}

}  // namespace skarvel::test
