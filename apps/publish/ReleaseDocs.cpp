// The publisher's decisions about a release's documents.

#include "ReleaseDocs.h"

#include <set>

namespace vantis::publish {

std::vector<content::FileRecord> tierEntries(const Content& content,
                                             const std::vector<std::size_t>& tier) {
  std::vector<content::FileRecord> entries;
  for (const std::size_t index : tier) {
    const SourceFile& file = content.sources[index];
    content::FileRecord entry;
    entry.path = file.path;
    entry.size = static_cast<std::int64_t>(file.size);
    entry.sha256 = file.sha256;
    entry.target = targetOf(file.path);
    entry.platform = platformOf(file.path);
    for (const Blob& blob : file.blobs) entry.chunks.push_back(blob.hash);
    entries.push_back(entry);
  }
  return entries;
}

std::size_t markAlwaysHash(const PathHistory& history, std::vector<content::FileRecord>& required,
                           std::vector<content::FileRecord>& optional) {
  PathHistory seen = history;
  for (const auto* tier : {&required, &optional}) {
    for (const content::FileRecord& entry : *tier) {
      seen.versions[entry.path].emplace(static_cast<std::uint64_t>(entry.size), entry.sha256);
    }
  }
  std::size_t marked = 0;
  for (auto* tier : {&required, &optional}) {
    for (content::FileRecord& entry : *tier) {
      for (const auto& version : seen.versions[entry.path]) {
        const bool sameSize = version.first == static_cast<std::uint64_t>(entry.size);
        if (sameSize && version.second != entry.sha256) entry.alwaysHash = true;
      }
      if (entry.alwaysHash) ++marked;
    }
  }
  return marked;
}

std::vector<std::string> retiredPaths(const PathHistory& history,
                                      const std::vector<content::FileRecord>& required,
                                      const std::vector<content::FileRecord>& optional) {
  std::set<std::string> shipped;
  for (const auto* tier : {&required, &optional}) {
    for (const content::FileRecord& entry : *tier) shipped.insert(entry.path);
  }
  std::vector<std::string> retired;
  for (const auto& version : history.versions) {
    if (shipped.count(version.first) == 0) retired.push_back(version.first);
  }
  return retired;
}

std::string fileListText(const std::vector<content::FileRecord>& entries) {
  std::string text;
  for (const content::FileRecord& entry : entries) {
    content::appendLine(content::fileRecordLine(entry), text);
  }
  return text;
}

std::string bundleIndexText(const std::vector<Bundle>& bundles) {
  std::string text;
  for (const Bundle& bundle : bundles) {
    content::BundleRecord record{bundle.id, static_cast<std::int64_t>(bundle.size), {}};
    for (const BundleBlob& blob : bundle.blobs) {
      record.blobs.push_back({blob.hash, static_cast<std::int64_t>(blob.offset),
                              static_cast<std::int64_t>(blob.length)});
    }
    content::appendLine(content::bundleRecordLine(record), text);
  }
  return text;
}

std::string retiredListText(const std::vector<std::string>& paths) {
  std::string text;
  for (const std::string& path : paths) {
    content::appendLine(content::retiredRecordLine(content::RetiredRecord{path}), text);
  }
  return text;
}

}  // namespace vantis::publish
