// The checks of a server folder, in the order a player meets what they
// check: pointer, manifests and lists, then the objects. A problem early on
// does not stop the later checks where they can still be made (a pointer
// signed with an unknown key still names a manifest worth checking), so one
// run lists everything to repair.

#include "Verify.h"

#include <atomic>
#include <map>
#include <set>

#include "Files.h"
#include "ObjectCodec.h"
#include "foundation/Crypto.h"
#include "foundation/Json.h"
#include "release/Layout.h"
#include "release/Pointer.h"

namespace vantis::publish {

namespace {

using content::JsonValue;

const char* const kPointer = content::kPointerFile;

// The problems of one run, each kept once: a blob that two files share is
// reported for the first.
struct ProblemList {
  std::vector<Problem>* out;
  std::set<std::pair<std::string, std::string>> seen;

  void add(const Problem& problem) {
    if (seen.insert({problem.file, problem.what}).second) out->push_back(problem);
  }
  ProblemSink sink() {
    return [this](const Problem& problem) { add(problem); };
  }
};

std::string keyNames(const std::vector<VerifyKey>& keys) {
  std::string names;
  for (const VerifyKey& key : keys) names += (names.empty() ? "" : " or ") + key.name;
  return names;
}

bool signedWithOneOf(const std::vector<VerifyKey>& keys, const content::SignedPointer& pointer) {
  for (const VerifyKey& key : keys) {
    const auto* point = reinterpret_cast<const unsigned char*>(key.point.data());
    const bool verifies = key.point.size() == 65 &&
                          content::verifyP256(point, pointer.payload.data(), pointer.payload.size(),
                                              pointer.signature.data());
    if (verifies) return true;
  }
  return false;
}

// Players refuse a pointer a day after its expiry; an expired one is a
// problem already, since the day's grace is only for players' clocks.
void checkExpiry(const content::PointerPayload& fields, long long now, VerifyReport& report,
                 const ProblemSink& problems) {
  if (!fields.expiresNamed) return;
  long long expires = 0;
  if (!content::readExpiry(fields.expires, expires)) {
    problems({kPointer, "its expiry \"" + fields.expires + "\" does not read as a time"});
    return;
  }
  report.expires = fields.expires;
  if (now > expires) {
    problems({kPointer, "expired at " + fields.expires +
                            "; players refuse it a day later (refresh it, or publish)"});
  }
}

// The pointer document taken apart, nothing checked yet.
bool readPointerFile(const std::string& serverDir, content::SignedPointer& pointer,
                     const ProblemSink& problems) {
  const std::string path = joinPath(serverDir, kPointer);
  std::string text, message;
  JsonValue document;
  if (!readFile(path, text)) {
    problems(
        {kPointer, pathExists(path) ? "cannot be read" : "missing: the folder serves no release"});
  } else if (!content::parseJson(text, document, message)) {
    problems({kPointer, "not JSON: " + message});
  } else if (!content::splitPointerDocument(document, pointer)) {
    problems({kPointer, "not a signed pointer (a Base64 \"payload\" and 64-byte \"signature\")"});
  } else {
    return true;
  }
  return false;
}

// The pointer, as a player reads it. False when nothing can be learned from
// it; a signature that does not verify is reported and the rest still read.
bool checkPointer(const VerifyOptions& options, content::PointerPayload& fields,
                  VerifyReport& report, const ProblemSink& problems) {
  content::SignedPointer pointer;
  if (!readPointerFile(options.serverDir, pointer, problems)) return false;
  if (!signedWithOneOf(options.keys, pointer)) {
    problems({kPointer, "its signature does not verify with " + keyNames(options.keys)});
  }
  const char* begin = reinterpret_cast<const char*>(pointer.payload.data());
  JsonValue payload;
  std::string message;
  if (!content::parseJson(begin, begin + pointer.payload.size(), payload, message)) {
    problems({kPointer, "its signed payload is not JSON: " + message});
    return false;
  }
  fields = content::readPointerPayload(payload);
  if (fields.packVersion.empty() || fields.sequence < 0 || fields.manifest.empty()) {
    problems({kPointer, "its signed payload lacks \"packVersion\", \"sequence\" or \"manifest\""});
    return false;
  }
  report.version = fields.packVersion;
  report.sequence = fields.sequence;
  checkExpiry(fields, options.now, report, problems);
  return true;
}

// Every release on the chain has its lists read by digest; the newest
// `wholeReleases` are kept for their objects.
void checkChain(const VerifyOptions& options, const content::PointerPayload& fields,
                std::vector<StoredRelease>& whole, VerifyReport& report,
                const ProblemSink& problems) {
  walkChain(options.serverDir, fields.manifest, fields.manifestSha256, problems,
            [&](StoredRelease& release) {
              // Players look for the lists in the pointer's version's folder,
              // the publisher in the manifest's: they must be one.
              const bool served = report.releases == 0;
              if (served && release.manifest.packVersion != fields.packVersion) {
                problems({release.manifestFile, "is of version " + release.manifest.packVersion +
                                                    ", the pointer's is " + fields.packVersion});
              }
              ++report.releases;
              readStoredLists(options.serverDir, release, problems);
              if (whole.size() < options.wholeReleases) whole.push_back(std::move(release));
              return true;
            });
}

// ---- Objects -------------------------------------------------------------------

// One thing to check on a worker: a listed file (with its blobs) or a bundle.
struct ObjectItem {
  std::string namedBy;  // the list or index that names it
  const content::FileRecord* file = nullptr;
  const content::BundleRecord* bundle = nullptr;
  // A list cut into sections: the sections and the whole list's digest.
  const content::ListSections* sections = nullptr;
  std::string listSha256;
  // The encoding of the release that names it: its objects' names and bytes.
  content::Encoding encoding = content::Encoding::gzip;
};

// Reads and decodes one stored object and checks it against its name.
bool readObject(const std::string& serverDir, content::ObjectKind kind, const std::string& hash,
                const ObjectItem& item, std::string& body, std::vector<Problem>& problems) {
  const std::string relative = content::objectFile(kind, hash, item.encoding);
  const std::string& namedBy = item.namedBy;
  const std::string path = joinPath(serverDir, relative);
  std::string packed;
  if (!readFile(path, packed)) {
    const char* what = pathExists(path) ? "cannot be read" : "missing";
    problems.push_back({relative, std::string(what) + " (named by " + namedBy + ")"});
    return false;
  }
  if (!decompressObject(item.encoding, packed, content::kMaxBodyBytes, body)) {
    problems.push_back({relative, undecodableObject(item.encoding)});
    return false;
  }
  if (content::Sha256::of(body) == hash) return true;
  problems.push_back({relative, "decodes to bytes that do not hash to its name"});
  return false;
}

void checkFile(const std::string& serverDir, const ObjectItem& item,
               std::vector<Problem>& problems) {
  const content::FileRecord& file = *item.file;
  content::Sha256 whole;
  std::uint64_t size = 0;
  bool blobsRead = true;
  std::string body;
  for (const std::string& hash : file.chunks) {
    if (!readObject(serverDir, content::ObjectKind::blob, hash, item, body, problems)) {
      blobsRead = false;
      continue;
    }
    whole.update(body.data(), body.size());
    size += body.size();
  }
  const bool reassembles =
      size == static_cast<std::uint64_t>(file.size) && whole.hex() == file.sha256;
  if (blobsRead && !reassembles) {
    problems.push_back(
        {item.namedBy, file.path + " does not reassemble from its blobs to its size and digest"});
  }
}

void checkBundle(const std::string& serverDir, const ObjectItem& item,
                 std::vector<Problem>& problems) {
  const content::BundleRecord& bundle = *item.bundle;
  const std::string relative =
      content::objectFile(content::ObjectKind::bundle, bundle.id, item.encoding);
  std::string body;
  if (!readObject(serverDir, content::ObjectKind::bundle, bundle.id, item, body, problems)) {
    return;
  }
  if (body.size() != static_cast<std::uint64_t>(bundle.size)) {
    problems.push_back({relative, "is " + std::to_string(body.size()) + " bytes, " + item.namedBy +
                                      " says " + std::to_string(bundle.size)});
    return;
  }
  for (const content::BundleRecord::Blob& blob : bundle.blobs) {
    const std::string at =
        content::Sha256::of(body.data() + blob.offset, static_cast<std::size_t>(blob.length));
    if (at == blob.digest) continue;
    problems.push_back({relative, "does not hold blob " + blob.digest + " at offset " +
                                      std::to_string(blob.offset) + " as " + item.namedBy +
                                      " says"});
  }
}

// Every section decodes to its name, and the sections together are the
// list the manifest names: what players put together must be that list.
void checkSections(const std::string& serverDir, const ObjectItem& item,
                   std::vector<Problem>& problems) {
  content::Sha256 whole;
  bool read = true;
  std::string body;
  for (const content::ListSection& section : item.sections->sections) {
    if (!readObject(serverDir, content::ObjectKind::section, section.sha256, item, body,
                    problems)) {
      read = false;
      continue;
    }
    whole.update(body.data(), body.size());
  }
  if (read && whole.hex() != item.listSha256) {
    problems.push_back({item.namedBy, "its sections do not make up the list it names"});
  }
}

void addSectionItems(const StoredRelease& release, std::vector<ObjectItem>& items) {
  const std::string& version = release.manifest.packVersion;
  for (const content::ListDocument& list :
       {content::kFilesRequiredList, content::kFilesOptionalList, content::kBundlesList}) {
    const content::ListSections& sections = release.manifest.sectionsOf(list);
    if (!sections.present) continue;
    ObjectItem item;
    item.namedBy = content::manifestFile(version) + " (sections of " + list.file + ")";
    item.sections = &sections;
    item.listSha256 = release.manifest.part(list).sha256;
    item.encoding = release.manifest.encoding;
    items.push_back(item);
  }
}

// Each distinct file (same digest and blobs) and each distinct bundle once,
// named by the first list that names it. A release of the other encoding
// names other objects (".gz" or ".zst"), so the encoding is part of what
// makes them distinct.
std::vector<ObjectItem> objectItems(const std::vector<StoredRelease>& releases,
                                    VerifyReport& report) {
  std::vector<ObjectItem> items;
  std::set<std::string> files, bundles, blobs;
  for (const StoredRelease& release : releases) {
    const std::string& version = release.manifest.packVersion;
    const content::Encoding encoding = release.manifest.encoding;
    const std::string stored = std::string(content::encodingName(encoding)) + ":";
    const std::pair<const char*, const std::vector<content::FileRecord>*> tiers[] = {
        {content::kFilesRequiredList.file, &release.required},
        {content::kFilesOptionalList.file, &release.optional}};
    for (const auto& [list, entries] : tiers) {
      for (const content::FileRecord& file : *entries) {
        std::string key = stored + file.sha256;
        for (const std::string& hash : file.chunks) {
          key += hash;
          blobs.insert(stored + hash);
        }
        if (!files.insert(key).second) continue;
        items.push_back({content::listFile(version, list), &file, nullptr, nullptr, {}, encoding});
      }
    }
    for (const content::BundleRecord& bundle : release.bundles) {
      if (!bundles.insert(stored + bundle.id).second) continue;
      items.push_back({content::listFile(version, content::kBundlesList.file), nullptr, &bundle,
                       nullptr, {}, encoding});
    }
    addSectionItems(release, items);
  }
  report.files = files.size();
  report.blobs = blobs.size();
  report.bundles = bundles.size();
  return items;
}

bool checkObjects(const VerifyOptions& options, const std::vector<StoredRelease>& releases,
                  const Progress& progress, VerifyReport& report, ProblemList& problems,
                  std::string& error) {
  const std::vector<ObjectItem> items = objectItems(releases, report);
  std::vector<std::vector<Problem>> found(items.size());
  std::atomic<std::uint64_t> done{0};
  auto work = [&](std::size_t index, std::string&) {
    const ObjectItem& item = items[index];
    if (item.file) checkFile(options.serverDir, item, found[index]);
    if (item.bundle) checkBundle(options.serverDir, item, found[index]);
    if (item.sections) checkSections(options.serverDir, item, found[index]);
    ++done;
    return true;
  };
  auto tick = [&] { return progress("checking objects", done.load(), items.size()); };
  const unsigned threads = options.threads ? options.threads : defaultThreads();
  if (!tick() || !runParallel(items.size(), threads, work, tick, error)) {
    error = "verifying was interrupted";
    return false;
  }
  for (const std::vector<Problem>& list : found) {
    for (const Problem& problem : list) problems.add(problem);
  }
  return true;
}

}  // namespace

bool verifyServerFolder(const VerifyOptions& options, const Progress& progress,
                        VerifyReport& report, std::string& error) {
  report = VerifyReport();
  if (!isDirectory(options.serverDir)) {
    error = "the server folder " + options.serverDir + " does not exist";
    return false;
  }
  if (options.keys.empty()) {
    error = "name the key the pointer must be signed with";
    return false;
  }
  ProblemList problems{&report.problems, {}};
  content::PointerPayload fields;
  if (!checkPointer(options, fields, report, problems.sink())) return true;
  std::vector<StoredRelease> whole;
  checkChain(options, fields, whole, report, problems.sink());
  report.checkedWhole = whole.size();
  return checkObjects(options, whole, progress, report, problems, error);
}

}  // namespace vantis::publish
