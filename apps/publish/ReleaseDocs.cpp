// The publisher's decisions about a release's documents.

#include "ReleaseDocs.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>
#include <utility>

#include "foundation/Crypto.h"

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
      const auto size = static_cast<std::uint64_t>(entry.size);
      for (const auto& version : seen.versions[entry.path]) {
        const bool sameSize = version.first == size;
        if (sameSize && version.second != entry.sha256) entry.alwaysHash = true;
      }
      const auto unknown = history.unknownBefore.find(entry.path);
      if (unknown != history.unknownBefore.end() && unknown->second.count(size) == 0) {
        entry.alwaysHash = true;
      }
      if (entry.alwaysHash) ++marked;
    }
  }
  return marked;
}

std::vector<content::RetiredRecord> retiredRecords(
    const PathHistory& history, const std::vector<content::FileRecord>& required,
    const std::vector<content::FileRecord>& optional) {
  std::set<std::string> shipped;
  for (const auto* tier : {&required, &optional}) {
    for (const content::FileRecord& entry : *tier) shipped.insert(entry.path);
  }
  std::vector<content::RetiredRecord> retired;
  for (const auto& [path, versions] : history.versions) {
    if (shipped.count(path) != 0) continue;
    content::RetiredRecord record{path, true, {}};
    for (const auto& [size, sha256] : versions) {
      record.versions.push_back({static_cast<std::int64_t>(size), sha256});
    }
    retired.push_back(std::move(record));
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

std::string retiredListText(const std::vector<content::RetiredRecord>& records) {
  std::string text;
  for (const content::RetiredRecord& record : records) {
    content::appendLine(content::retiredRecordLine(record), text);
  }
  return text;
}

namespace {

// The first 8 bytes of the piece's SHA-256, read big-endian.
std::uint64_t pieceHash(const char* begin, std::size_t length) {
  const std::string hex = content::Sha256::of(begin, length);
  return std::stoull(hex.substr(0, 16), nullptr, 16);
}

}  // namespace

std::uint64_t sectionAverage(std::uint64_t listBytes) {
  constexpr std::uint64_t kFloor = 2u << 10;
  const auto balanced = static_cast<std::uint64_t>(std::sqrt(16.0 * static_cast<double>(listBytes)));
  // Every boundary depends on the average, so it must not move with each
  // small change of the list's length: a power of two changes only when the
  // list has grown or shrunk by a factor of four.
  std::uint64_t average = kFloor;
  while (average * 2 <= balanced) average *= 2;
  return average;
}

std::vector<std::string> sectionTexts(const std::string& listText, std::uint64_t average) {
  std::vector<std::string> sections;
  std::size_t start = 0;
  std::size_t next = 0;
  while (next < listText.size()) {
    const std::size_t stop = listText.find_first_of(",\n", next);
    const std::size_t end = stop == std::string::npos ? listText.size() : stop + 1;
    const std::uint64_t pieceBytes = end - next;
    const std::uint64_t sectionBytes = end - start;
    const bool pieceSaysCut = pieceHash(listText.data() + next, pieceBytes) % average < pieceBytes;
    const bool cut = (sectionBytes >= average / 4 && pieceSaysCut) || sectionBytes >= 4 * average;
    next = end;
    if (!cut) continue;
    sections.push_back(listText.substr(start, end - start));
    start = end;
  }
  if (start < listText.size()) sections.push_back(listText.substr(start));
  return sections;
}

}  // namespace vantis::publish
