// Lists in sections. The cache holds each list of the installed release
// with its table of sections; nothing vouches for a cached section but its
// digest, so it is checked on every read, and one that fails is fetched
// again.

#include "protocol/SyncSections.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <utility>

#include "foundation/Crypto.h"
#include "foundation/FileSystem.h"
#include "foundation/Json.h"
#include "protocol/SyncMessages.h"
#include "release/FetchRule.h"
#include "release/Layout.h"

namespace vantis::content {

namespace {

// A list's sections as the instance keeps them: all in one file,
// "<part>.sections", the manifest's table of them on the first line and
// their texts one after another behind it. One file per section would cost
// a first install hundreds of file creations before its first download.
std::string cachedListPath(const std::string& cacheFolder, const ListDocument& list) {
  return joinPath(cacheFolder, std::string(list.part) + ".sections");
}

// What a list's cache file holds, by section digest. Nothing vouches for it
// but those digests, so each section is checked when it is taken.
struct CachedList {
  std::string text;  // the whole file
  std::size_t tableEnd = 0;  // where the table's line ends
  std::unordered_map<std::string, std::pair<std::size_t, std::uint64_t>> at;  // offset, size
  // The folder's files named by a section's digest, as earlier instances
  // kept sections: listed once, so that a first install does not ask after
  // each of hundreds of sections in turn.
  std::set<std::string> sectionFiles;
};

// How much of the list's cache file is read: all of it, to take sections
// from; or its table alone, to learn which sections it holds (a pack's
// bundle index keeps megabytes there, read only when the index is wanted).
enum class CacheReading { whole, tableOnly };

// The list's cache file and the folder's section files. The file holds no
// section when it is missing, larger than any list could be, or its table
// cannot be read or does not add up to what follows it.
CachedList readCachedList(const std::string& cacheFolder, const ListDocument& list,
                          CacheReading reading = CacheReading::whole) {
  constexpr std::uint64_t kTableBytesBound = kMaxSectionsPerList * 80;
  CachedList cached;
  for (const std::string& name : namesIn(cacheFolder)) {
    if (isLowerHexDigest(name)) cached.sectionFiles.insert(name);
  }
  std::uint64_t size = 0;
  const std::string path = cachedListPath(cacheFolder, list);
  if (!fileSize(path, size) || size > kMaxBodyBytes + kTableBytesBound) return cached;
  const bool whole = reading == CacheReading::whole;
  const bool read = whole ? readWholeFile(path, cached.text)
                          : readFileFront(path, std::min(size, kTableBytesBound), cached.text);
  if (!read) return cached;
  const std::size_t tableEnd = cached.text.find('\n');
  if (tableEnd == std::string::npos) return cached;
  const std::uint64_t fileBytes = whole ? cached.text.size() : size;
  JsonValue table;
  std::string error;
  const char* begin = cached.text.data();
  if (!parseJson(begin, begin + tableEnd, table, error)) return cached;
  const std::optional<ListSections> sections =
      readSectionTable(table, fileBytes - tableEnd - 1);
  if (!sections) return cached;
  cached.tableEnd = tableEnd;
  std::size_t offset = cached.tableEnd + 1;
  for (const ListSection& section : sections->sections) {
    cached.at.emplace(section.sha256, std::make_pair(offset, section.size));
    offset += section.size;
  }
  return cached;
}

bool holds(const CachedList& cached, const ListSection& section) {
  const auto found = cached.at.find(section.sha256);
  return found != cached.at.end() && found->second.second == section.size;
}

// A section kept as a file of its own, named by its digest, as instances
// kept them before their lists were kept whole; still read, never written.
std::string sectionFilePath(const std::string& cacheFolder, const ListSection& section) {
  return joinPath(cacheFolder, section.sha256);
}

// A file of its own holds the section, by its size.
bool holdsAsFile(const std::string& cacheFolder, const CachedList& cached,
                 const ListSection& section) {
  std::uint64_t size = 0;
  return cached.sectionFiles.count(section.sha256) != 0 &&
         fileSize(sectionFilePath(cacheFolder, section), size) && size == section.size;
}

// The cached copy of the section when it is exactly the section.
bool readCached(const std::string& cacheFolder, const CachedList& cached,
                const ListSection& section, std::string& text) {
  if (holds(cached, section)) {
    text.assign(cached.text, cached.at.at(section.sha256).first, section.size);
  } else if (!holdsAsFile(cacheFolder, cached, section) ||
             !readWholeFile(sectionFilePath(cacheFolder, section), text)) {
    return false;
  }
  return Sha256::equals(Sha256::of(text), section.sha256);
}

// The list's sections as far as the cache holds them.
struct Held {
  CachedList cached;
  std::vector<std::string> texts;  // empty where not held
  std::vector<bool> held;
  std::uint64_t missingBytes = 0;
  std::uint64_t missing = 0;
  std::uint64_t fromListFile = 0;  // held, and taken from the list's cache file
};

Held readHeld(const ListSections& sections, const std::string& cacheFolder,
              const ListDocument& list) {
  Held held;
  held.cached = readCachedList(cacheFolder, list);
  for (const ListSection& section : sections.sections) {
    std::string text;
    const bool cached = readCached(cacheFolder, held.cached, section, text);
    held.texts.push_back(cached ? std::move(text) : std::string());
    held.held.push_back(cached);
    if (cached && holds(held.cached, section)) ++held.fromListFile;
    if (cached) continue;
    held.missingBytes += section.size;
    ++held.missing;
  }
  return held;
}

// Keeps the list for the next update, unless the file already holds just
// these sections; a cache that cannot be written only costs the next run
// these sections again.
void cacheList(const std::string& cacheFolder, const ListDocument& list,
               const ListSections& sections, const Held& held,
               const std::vector<unsigned char>& body) {
  std::string text = sectionTableText(sections);
  const CachedList& cached = held.cached;
  const bool sameTable =
      cached.tableEnd == text.size() && cached.text.compare(0, text.size(), text) == 0;
  if (sameTable && held.fromListFile == sections.sections.size()) return;
  text += '\n';
  text.append(body.begin(), body.end());
  makeDirectories(cacheFolder);
  replaceWholeFile(cachedListPath(cacheFolder, list), text);
}

// The whole list, fetched in one request, and kept in the cache when the
// manifest's sections add up to it.
Result<std::vector<unsigned char>> fetchWhole(HttpClient& client, const std::string& packVersion,
                                              const Manifest& manifest, const ListDocument& list,
                                              const std::string& cacheFolder, const Held& held,
                                              const FetchMessages& messages,
                                              const HttpProgress& progress) {
  const ListPart& whole = manifest.part(list);
  Result<std::vector<unsigned char>> body =
      fetchVerified(client, listRequest(packVersion, list), listBytesBound(whole), whole.sha256,
                    messages, progress);
  if (!body) return body;
  const ListSections& sections = manifest.sectionsOf(list);
  std::uint64_t total = 0;
  for (const ListSection& section : sections.sections) total += section.size;
  if (total == body->size()) cacheList(cacheFolder, list, sections, held, *body);
  return body;
}

// What the connections fetching one list's sections share.
struct SectionFetch {
  const ListSections& sections;
  Encoding encoding;  // how the release stores its sections
  const FetchMessages& messages;
  const std::vector<std::size_t>& order;  // the missing sections' indexes
  Held& held;                  // each slot written by the one connection that took it
  std::atomic<std::size_t> next{0};     // the next index into `order` to take
  std::atomic<bool> stop{false};        // a failure or the caller said stop
  std::atomic<std::uint64_t> fetched{0};
  std::mutex guard;
  std::optional<Failure> failure;  // the first one; guarded by `guard`
};

void noteFailure(SectionFetch& shared, const Failure& failure) {
  std::lock_guard<std::mutex> lock(shared.guard);
  if (!shared.failure) shared.failure = failure;
  shared.stop = true;
}

// Takes missing sections one at a time until none is left or one failed.
void fetchSections(SectionFetch& shared, HttpClient& client, const HttpProgress& progress) {
  while (!shared.stop) {
    const std::size_t taken = shared.next++;
    if (taken >= shared.order.size()) return;
    const std::size_t index = shared.order[taken];
    const ListSection& section = shared.sections.sections[index];
    const Result<std::vector<unsigned char>> body =
        fetchVerified(client, "/" + objectFile(ObjectKind::section, section.sha256, shared.encoding),
                      section.size, section.sha256, shared.messages, progress);
    if (!body) return noteFailure(shared, body.failure());
    ++shared.fetched;
    shared.held.texts[index].assign(body->begin(), body->end());
  }
}

// The missing sections fetched and the list put together; a failure says
// only that this way did not work. A section is a few KiB, so its request
// is mostly a round trip: they go over up to kParallelRequests
// connections at once, the caller's and others opened like it. Only the
// caller's thread asks `progress`; the others stop when it says stop.
Status fetchMissing(HttpClient& client, const ListSections& sections, Encoding encoding,
                    const FetchMessages& messages,
                    const HttpProgress& progress, Held& held, SectionCounts& counts) {
  // Sections with one digest are one text (a list may repeat a run of
  // lines): fetched once, and copied to the others once it is in.
  std::vector<std::size_t> order;
  std::vector<std::pair<std::size_t, std::size_t>> copies;  // (to, from)
  std::unordered_map<std::string, std::size_t> firstOf;
  for (std::size_t i = 0; i < sections.sections.size(); ++i) {
    if (held.held[i]) continue;
    const auto [first, isNew] = firstOf.try_emplace(sections.sections[i].sha256, i);
    if (isNew) order.push_back(i);
    if (!isNew) copies.emplace_back(i, first->second);
  }
  SectionFetch shared{sections, encoding, messages, order, held, {}, {}, {}, {}, {}};
  const HttpProgress asked = [&shared, &progress](unsigned long got, unsigned long total) {
    if (progress && !progress(got, total)) shared.stop = true;
    return !shared.stop;
  };
  const HttpProgress follow = [&shared](unsigned long, unsigned long) { return !shared.stop; };
  const std::size_t connections =
      std::min<std::size_t>(order.size(), static_cast<std::size_t>(kParallelRequests));
  std::vector<std::unique_ptr<HttpClient>> others;
  std::vector<std::thread> threads;
  for (std::size_t i = 1; i < connections; ++i) {
    others.push_back(std::make_unique<HttpClient>());
    if (!others.back()->openLike(client)) break;
    threads.emplace_back(fetchSections, std::ref(shared), std::ref(*others.back()), follow);
  }
  fetchSections(shared, client, asked);
  for (std::thread& thread : threads) thread.join();
  counts.fetched += shared.fetched;
  if (shared.failure) return *shared.failure;
  for (const auto& [to, from] : copies) held.texts[to] = held.texts[from];
  return {};
}

}  // namespace

Result<std::vector<unsigned char>> fetchListBody(HttpClient& client, const std::string& packVersion,
                                                 const Manifest& manifest,
                                                 const ListDocument& list,
                                                 const std::string& cacheFolder,
                                                 const FetchMessages& messages,
                                                 const HttpProgress& progress,
                                                 SectionCounts* counts) {
  if (manifest.sectionsMalformed) return Failure{messages::kManifestRefused};
  const ListPart& whole = manifest.part(list);
  const ListSections& sections = manifest.sectionsOf(list);
  if (!sections.present) {
    return fetchVerified(client, listRequest(packVersion, list), listBytesBound(whole),
                         whole.sha256, messages, progress);
  }
  SectionCounts ignored;
  SectionCounts& counted = counts ? *counts : ignored;
  Held held = readHeld(sections, cacheFolder, list);
  counted.cached += sections.sections.size() - held.missing;
  std::uint64_t listBytes = 0;
  for (const ListSection& section : sections.sections) listBytes += section.size;
  // A few hundred sections fetched one by one take longer than the whole
  // list in one request, however few bytes they are.
  if (fetchListWhole(held.missing, held.missingBytes, listBytes)) {
    ++counted.wholeLists;
    return fetchWhole(client, packVersion, manifest, list, cacheFolder, held, messages, progress);
  }
  const Status fetched =
      fetchMissing(client, sections, manifest.encoding, messages, progress, held, counted);
  if (!fetched && fetched.error() == messages::kCancelled) return fetched.failure();
  std::vector<unsigned char> body;
  body.reserve(listBytes);
  for (const std::string& text : held.texts) body.insert(body.end(), text.begin(), text.end());
  // Each section matched its own digest; together they must still be the
  // list the manifest names, or the manifest cut some other list.
  const bool isTheList = fetched && Sha256::equals(Sha256::of(body.data(), body.size()), whole.sha256);
  if (isTheList) {
    cacheList(cacheFolder, list, sections, held, body);
    return body;
  }
  // A host set up before sections existed may not serve them as stored
  // objects (or not at all); the whole list is still published beside them
  // and vouched for by the same digest, so the update goes on with it.
  ++counted.wholeLists;
  return fetchWhole(client, packVersion, manifest, list, cacheFolder, held, messages, progress);
}

std::uint64_t listFetchCost(const Manifest& manifest, const ListDocument& list,
                            const std::string& cacheFolder) {
  const ListSections& sections = manifest.sectionsOf(list);
  if (!sections.present) {
    const ListPart& whole = manifest.part(list);
    const std::uint64_t bytes = whole.size ? *whole.size : 0;
    return listFetchCost(1, bytes, bytes);
  }
  const CachedList cached = readCachedList(cacheFolder, list, CacheReading::tableOnly);
  std::uint64_t missing = 0, missingBytes = 0, listBytes = 0;
  for (const ListSection& section : sections.sections) {
    listBytes += section.size;
    const bool held = holds(cached, section) || holdsAsFile(cacheFolder, cached, section);
    if (held) continue;
    ++missing;
    missingBytes += section.size;
  }
  return listFetchCost(missing, missingBytes, listBytes);
}

void keepSections(const std::string& cacheFolder, const Manifest& manifest,
                  const std::vector<ListDocument>& lists) {
  std::set<std::string> keep;
  for (const ListDocument& list : lists) {
    keep.insert(std::string(list.part) + ".sections");
    for (const ListSection& section : manifest.sectionsOf(list).sections) {
      keep.insert(section.sha256);
    }
  }
  removeFilesExcept(cacheFolder, keep);
}

}  // namespace vantis::content
