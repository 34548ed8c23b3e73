// Composing the release documents. Optional members ("platform",
// "alwaysHash") are left out when they hold their default, which keeps the
// lists small: a large pack lists tens of thousands of files.

#include "ReleaseDocs.h"

#include <set>

#include "Signing.h"

namespace vantis::publish {

namespace {

// Players parse the manifest as one document with these limits.
constexpr std::size_t kMaxManifestBytes = 8u << 20;
constexpr int kMaxNesting = 15;

Json fileLine(const FileEntry& entry) {
  Json line;
  line["path"] = entry.path;
  line["size"] = entry.size;
  line["sha256"] = entry.sha256;
  line["target"] = entry.target;
  if (!entry.platform.empty()) line["platform"] = entry.platform;
  if (entry.alwaysHash) line["alwaysHash"] = true;
  line["chunks"] = entry.chunks;
  return line;
}

Json bundleLine(const Bundle& bundle) {
  Json blobs = Json::array();
  for (const BundleBlob& blob : bundle.blobs) {
    blobs.push_back(Json::array({blob.hash, blob.offset, blob.length}));
  }
  Json line;
  line["id"] = bundle.id;
  line["size"] = bundle.size;
  line["blobs"] = blobs;
  return line;
}

bool appendLine(const Json& line, std::string& out) {
  std::string text;
  if (!writeJsonText(line, text)) return false;
  out += text;
  out += '\n';
  return true;
}

Json part(const std::string& file, const std::string& version, const std::string& sha256,
          const char* countName, std::uint64_t count) {
  Json entry;
  entry["path"] = releaseFolder(version) + "/" + file;
  entry["sha256"] = sha256;
  entry[countName] = count;
  return entry;
}

}  // namespace

std::vector<FileEntry> tierEntries(const Content& content, const std::vector<std::size_t>& tier) {
  std::vector<FileEntry> entries;
  for (const std::size_t index : tier) {
    const SourceFile& file = content.sources[index];
    FileEntry entry;
    entry.path = file.path;
    entry.size = file.size;
    entry.sha256 = file.sha256;
    entry.target = targetOf(file.path);
    entry.platform = platformOf(file.path);
    for (const Piece& piece : file.pieces) entry.chunks.push_back(piece.hash);
    entries.push_back(entry);
  }
  return entries;
}

std::size_t markAlwaysHash(const PathHistory& history, std::vector<FileEntry>& required,
                           std::vector<FileEntry>& optional) {
  PathHistory seen = history;
  for (const auto* tier : {&required, &optional}) {
    for (const FileEntry& entry : *tier)
      seen.versions[entry.path].emplace(entry.size, entry.sha256);
  }
  std::size_t marked = 0;
  for (auto* tier : {&required, &optional}) {
    for (FileEntry& entry : *tier) {
      for (const auto& version : seen.versions[entry.path]) {
        if (version.first == entry.size && version.second != entry.sha256) entry.alwaysHash = true;
      }
      if (entry.alwaysHash) ++marked;
    }
  }
  return marked;
}

std::vector<std::string> retiredPaths(const PathHistory& history,
                                      const std::vector<FileEntry>& required,
                                      const std::vector<FileEntry>& optional) {
  std::set<std::string> shipped;
  for (const auto* tier : {&required, &optional}) {
    for (const FileEntry& entry : *tier) shipped.insert(entry.path);
  }
  std::vector<std::string> retired;
  for (const auto& version : history.versions) {
    if (shipped.count(version.first) == 0) retired.push_back(version.first);
  }
  return retired;
}

bool fileListText(const std::vector<FileEntry>& entries, std::string& out) {
  out.clear();
  for (const FileEntry& entry : entries) {
    if (!appendLine(fileLine(entry), out)) return false;
  }
  return true;
}

bool bundleIndexText(const std::vector<Bundle>& bundles, std::string& out) {
  out.clear();
  for (const Bundle& bundle : bundles) {
    if (!appendLine(bundleLine(bundle), out)) return false;
  }
  return true;
}

bool retiredListText(const std::vector<std::string>& paths, std::string& out) {
  out.clear();
  for (const std::string& path : paths) {
    Json line;
    line["path"] = path;
    if (!appendLine(line, out)) return false;
  }
  return true;
}

std::string releaseFolder(const std::string& version) { return "manifest/" + version; }

std::string manifestPath(const std::string& version) {
  return releaseFolder(version) + "/manifest.json";
}

bool manifestText(const ManifestFields& fields, std::string& out, std::string& error) {
  const std::string& v = fields.version;
  Json manifest;
  manifest["packVersion"] = v;
  manifest["sequence"] = fields.sequence;
  // Players show "N of fileCount files" while reading either tier's list;
  // the optional tier is the longer one, so the count never runs past it.
  manifest["fileCount"] = fields.optionalCount;
  // Files are cut into pieces of this many bytes from their start. Players
  // that know it can cut an installed copy the same way and keep the pieces
  // a changed file still shares with it instead of downloading them again;
  // players that do not read it download every piece, as before.
  manifest["chunkSize"] = fields.chunkSize;
  Json& parts = manifest["parts"];
  parts["filesRequired"] = part("files-required.ndjson", v, fields.filesRequiredSha256, "fileCount",
                                fields.requiredCount);
  parts["filesOptional"] = part("files-optional.ndjson", v, fields.filesOptionalSha256, "fileCount",
                                fields.optionalCount);
  parts["bundles"] =
      part("bundles.ndjson", v, fields.bundlesSha256, "bundleCount", fields.bundleCount);
  parts["filesRetired"] =
      part("files-retired.ndjson", v, fields.filesRetiredSha256, "fileCount", fields.retiredCount);
  manifest["config"]["required"] = fields.configRequired;
  manifest["config"]["optional"] = fields.configOptional;
  manifest["credits"] = fields.credits;
  manifest["people"] = fields.people;
  if (!writeJsonText(manifest, out)) {
    error = "the manifest holds text that is not UTF-8";
    return false;
  }
  if (out.size() > kMaxManifestBytes) {
    error = "the manifest would be " + std::to_string(out.size()) +
            " bytes; players read at most 8 MiB (shorten the credits)";
    return false;
  }
  if (nestingDepth(manifest) > kMaxNesting) {
    error = "the credits are nested too deeply; players read at most 15 levels in the manifest";
    return false;
  }
  return true;
}

std::string pointerPayload(const std::string& version, long long sequence,
                           const std::string& manifest, const std::string& manifestSha256) {
  Json payload;
  payload["packVersion"] = version;
  payload["sequence"] = sequence;
  payload["manifest"] = manifest;
  payload["manifestSha256"] = manifestSha256;
  std::string text;
  writeJsonText(payload, text);
  return text;
}

std::string pointerDocument(const std::string& payload, const std::string& signature) {
  Json document;
  document["payload"] = encodeBase64(payload);
  document["signature"] = encodeBase64(signature);
  std::string text;
  writeJsonText(document, text);
  return text + "\n";
}

}  // namespace vantis::publish
