// Lists in sections. The cache holds plain section texts named by their
// digest; nothing vouches for a cached file but that digest, so it is
// checked on every read, and a file that fails is fetched again.

#include "protocol/SyncSections.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "foundation/Crypto.h"
#include "foundation/FileSystem.h"
#include "protocol/SyncMessages.h"
#include "release/FetchRule.h"
#include "release/Layout.h"

namespace vantis::content {

namespace {

// The cached copy of the section when it is exactly the section.
bool readCached(const std::string& cacheFolder, const ListSection& section, std::string& text) {
  std::uint64_t size = 0;
  const std::string path = joinPath(cacheFolder, section.sha256);
  if (!fileSize(path, size) || size != section.size || !readWholeFile(path, text)) return false;
  return Sha256::equals(Sha256::of(text), section.sha256);
}

// Keeps a section that matched the manifest's digest; a cache that cannot
// be written only costs the next run this section again.
void cacheSection(const std::string& cacheFolder, const ListSection& section,
                  const std::string& text) {
  makeDirectories(cacheFolder);
  replaceWholeFile(joinPath(cacheFolder, section.sha256), text);
}

// The list's sections as far as the cache holds them.
struct Held {
  std::vector<std::string> texts;  // empty where not held
  std::vector<bool> held;
  std::uint64_t missingBytes = 0;
  std::uint64_t missing = 0;
};

Held readHeld(const ListSections& sections, const std::string& cacheFolder) {
  Held held;
  for (const ListSection& section : sections.sections) {
    std::string text;
    const bool cached = readCached(cacheFolder, section, text);
    held.texts.push_back(cached ? std::move(text) : std::string());
    held.held.push_back(cached);
    if (cached) continue;
    held.missingBytes += section.size;
    ++held.missing;
  }
  return held;
}

// The whole list, fetched in one request; its sections go into the cache,
// each cut at the sizes the manifest gives and kept only when it matches
// its digest.
Result<std::vector<unsigned char>> fetchWhole(HttpClient& client, const std::string& packVersion,
                                              const Manifest& manifest, const ListDocument& list,
                                              const std::string& cacheFolder,
                                              const FetchMessages& messages,
                                              const HttpProgress& progress) {
  const ListPart& whole = manifest.part(list);
  Result<std::vector<unsigned char>> body =
      fetchVerified(client, listRequest(packVersion, list), listBytesBound(whole), whole.sha256,
                    messages, progress);
  if (!body) return body;
  std::uint64_t offset = 0;
  for (const ListSection& section : manifest.sectionsOf(list).sections) {
    if (offset + section.size > body->size()) break;
    const std::string text(body->begin() + offset, body->begin() + offset + section.size);
    offset += section.size;
    if (Sha256::equals(Sha256::of(text), section.sha256)) cacheSection(cacheFolder, section, text);
  }
  return body;
}

// What the connections fetching one list's sections share.
struct SectionFetch {
  const ListSections& sections;
  Encoding encoding;  // how the release stores its sections
  const std::string& cacheFolder;
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
    cacheSection(shared.cacheFolder, section, shared.held.texts[index]);
  }
}

// The missing sections fetched and the list put together; a failure says
// only that this way did not work. A section is a few KiB, so its request
// is mostly a round trip: they go over up to kParallelRequests
// connections at once, the caller's and others opened like it. Only the
// caller's thread asks `progress`; the others stop when it says stop.
Status fetchMissing(HttpClient& client, const ListSections& sections, Encoding encoding,
                    const std::string& cacheFolder, const FetchMessages& messages,
                    const HttpProgress& progress, Held& held, SectionCounts& counts) {
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < sections.sections.size(); ++i) {
    if (!held.held[i]) order.push_back(i);
  }
  SectionFetch shared{sections, encoding, cacheFolder, messages, order, held, {}, {}, {}, {}, {}};
  const HttpProgress asked = [&shared, &progress](unsigned long got, unsigned long total) {
    if (progress && !progress(got, total)) shared.stop = true;
    return !shared.stop;
  };
  const HttpProgress follow = [&shared](unsigned long, unsigned long) { return !shared.stop; };
  makeDirectories(cacheFolder);
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
  Held held = readHeld(sections, cacheFolder);
  counted.cached += sections.sections.size() - held.missing;
  std::uint64_t listBytes = 0;
  for (const ListSection& section : sections.sections) listBytes += section.size;
  // A few hundred sections fetched one by one take longer than the whole
  // list in one request, however few bytes they are.
  if (fetchListWhole(held.missing, held.missingBytes, listBytes)) {
    ++counted.wholeLists;
    return fetchWhole(client, packVersion, manifest, list, cacheFolder, messages, progress);
  }
  const Status fetched =
      fetchMissing(client, sections, manifest.encoding, cacheFolder, messages, progress, held,
                   counted);
  if (!fetched && fetched.error() == messages::kCancelled) return fetched.failure();
  std::vector<unsigned char> body;
  body.reserve(listBytes);
  for (const std::string& text : held.texts) body.insert(body.end(), text.begin(), text.end());
  // Each section matched its own digest; together they must still be the
  // list the manifest names, or the manifest cut some other list.
  const bool isTheList = fetched && Sha256::equals(Sha256::of(body.data(), body.size()), whole.sha256);
  if (isTheList) return body;
  // A host set up before sections existed may not serve them as stored
  // objects (or not at all); the whole list is still published beside them
  // and vouched for by the same digest, so the update goes on with it.
  ++counted.wholeLists;
  return fetchWhole(client, packVersion, manifest, list, cacheFolder, messages, progress);
}

std::uint64_t listFetchCost(const Manifest& manifest, const ListDocument& list,
                            const std::string& cacheFolder) {
  const ListSections& sections = manifest.sectionsOf(list);
  if (!sections.present) {
    const ListPart& whole = manifest.part(list);
    const std::uint64_t bytes = whole.size ? *whole.size : 0;
    return listFetchCost(1, bytes, bytes);
  }
  std::uint64_t missing = 0, missingBytes = 0, listBytes = 0;
  for (const ListSection& section : sections.sections) {
    listBytes += section.size;
    std::uint64_t size = 0;
    const bool held = fileSize(joinPath(cacheFolder, section.sha256), size) && size == section.size;
    if (held) continue;
    ++missing;
    missingBytes += section.size;
  }
  return listFetchCost(missing, missingBytes, listBytes);
}

std::set<std::string> sectionDigests(const Manifest& manifest,
                                     const std::vector<ListDocument>& lists) {
  std::set<std::string> digests;
  for (const ListDocument& list : lists) {
    for (const ListSection& section : manifest.sectionsOf(list).sections) {
      digests.insert(section.sha256);
    }
  }
  return digests;
}

void keepSections(const std::string& cacheFolder, const std::set<std::string>& keep) {
  removeFilesExcept(cacheFolder, keep);
}

}  // namespace vantis::content
