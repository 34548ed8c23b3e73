// Releases read back out of a server folder. Nothing is read before the
// digest that names it has been checked, and a list entry is judged by the
// rules clients apply, so that what these readers accept is what players
// install: a problem found here is one a player would meet.

#include "StoredRelease.h"

#include <set>
#include <utility>

#include "Files.h"
#include "foundation/Crypto.h"
#include "foundation/Json.h"
#include "release/Layout.h"
#include "release/SafePath.h"

namespace vantis::publish {

namespace {

using content::JsonValue;

std::string lineText(std::uint64_t number) { return "line " + std::to_string(number) + ": "; }

// A size as the publisher writes it: a whole number of bytes.
bool isWholeSize(const JsonValue& size) {
  return size.kind == JsonValue::Kind::Number && size.asInt(-1) >= 0 &&
         size.asNumber(-1.0) == static_cast<double>(size.asInt(-1));
}

// What clients would refuse in a file entry, or the empty text.
std::string entryProblem(const JsonValue& line, const content::FileRecord& entry) {
  if (!content::safeRelativePath(entry.path)) return "players refuse the path " + entry.path;
  if (!isWholeSize(line["size"])) return entry.path + " has no whole size";
  if (!content::isLowerHexDigest(entry.sha256)) {
    return entry.path + " has no digest of 64 lower-case hexadecimal characters";
  }
  for (const std::string& blob : entry.chunks) {
    if (!content::isLowerHexDigest(blob)) return entry.path + " names a blob that is not a digest";
  }
  return std::string();
}

// A bundle line whose id can be a digest and whose blobs lie inside it.
std::string bundleProblem(const JsonValue& line, const content::BundleRecord& bundle) {
  if (!content::isLowerHexDigest(bundle.id)) return "the bundle id is not a digest";
  if (!isWholeSize(line["size"])) return "bundle " + bundle.id + " has no whole size";
  for (const content::BundleRecord::Blob& blob : bundle.blobs) {
    const bool inside = blob.offset >= 0 && blob.length >= 0 && blob.offset <= bundle.size &&
                        blob.length <= bundle.size - blob.offset;
    if (!content::isLowerHexDigest(blob.digest)) {
      return "bundle " + bundle.id + " holds a blob that is not a digest";
    }
    if (!inside) return "bundle " + bundle.id + " places blob " + blob.digest + " outside itself";
  }
  return std::string();
}

// Reads a file the way `readMatching` does and reports what is wrong with it.
bool readNamed(const std::string& serverDir, const std::string& relative, const std::string& sha256,
               const std::string& namedBy, std::string& body, const ProblemSink& problems) {
  switch (readMatching(serverDir, relative, sha256, body)) {
    case FileMatch::matches:
      return true;
    case FileMatch::outside:
      problems({namedBy, "names " + relative + ", which is not a path inside the server folder"});
      return false;
    case FileMatch::missing:
      problems({relative, "missing (named by " + namedBy + ")"});
      return false;
    case FileMatch::unreadable:
      problems({relative, "cannot be read (named by " + namedBy + ")"});
      return false;
    case FileMatch::differs:
      problems({relative, "does not match the digest that " + namedBy + " names"});
      return false;
  }
  return false;
}

// Hands each line of a list to `judge`, which answers a problem or the empty
// text; a line that does not parse ends the list, as it ends a client's.
bool readLines(const std::string& relative, const std::string& body, const ProblemSink& problems,
               const std::function<std::string(const JsonValue&)>& judge) {
  bool clean = true;
  std::uint64_t number = 0;
  const content::Status read = content::forEachLine(body, [&](const JsonValue& line) {
    const std::string problem = judge(line);
    ++number;
    if (problem.empty()) return content::Status();
    problems({relative, lineText(number) + problem});
    clean = false;
    return content::Status();
  });
  if (read) return clean;
  problems({relative, read.error()});
  return false;
}

bool readFileList(const std::string& relative, const std::string& body,
                  std::vector<content::FileRecord>& out, const ProblemSink& problems) {
  return readLines(relative, body, problems, [&out](const JsonValue& line) {
    content::FileRecord entry = content::readFileRecord(line);
    std::string problem = entryProblem(line, entry);
    if (problem.empty()) out.push_back(std::move(entry));
    return problem;
  });
}

bool readBundleIndex(const std::string& relative, const std::string& body,
                     std::vector<content::BundleRecord>& out, const ProblemSink& problems) {
  return readLines(relative, body, problems, [&out](const JsonValue& line) {
    content::BundleRecord bundle = content::readBundleRecord(line);
    std::string problem = bundleProblem(line, bundle);
    if (problem.empty()) out.push_back(std::move(bundle));
    return problem;
  });
}

using ListReader = std::function<bool(const std::string& relative, const std::string& body)>;

// Reads one list the manifest names, by its digest, and hands it to `read`.
bool readList(const std::string& serverDir, StoredRelease& release,
              const content::ListDocument& list, const ListReader& read,
              const ProblemSink& problems) {
  const content::ListPart& part = release.manifest.part(list);
  if (!part.present) {
    problems({release.manifestFile, std::string("names no \"") + list.part + "\" list"});
    return false;
  }
  const std::string relative = content::listFile(release.manifest.packVersion, list.file);
  std::string body;
  if (!readNamed(serverDir, relative, part.sha256, release.manifestFile, body, problems)) {
    return false;
  }
  release.listBytes[relative] = body.size();
  return read(relative, body);
}

}  // namespace

ProblemSink keepFirstProblem(std::string& first) {
  return [&first](const Problem& problem) {
    if (first.empty()) first = problem.file + ": " + problem.what;
  };
}

FileMatch readMatching(const std::string& serverDir, const std::string& relative,
                       const std::string& sha256, std::string& body) {
  if (!content::safeRelativePath(relative)) return FileMatch::outside;
  const std::string path = joinPath(serverDir, relative);
  if (!readFile(path, body)) return pathExists(path) ? FileMatch::unreadable : FileMatch::missing;
  return content::Sha256::equals(content::Sha256::of(body), sha256) ? FileMatch::matches
                                                                    : FileMatch::differs;
}

bool readStoredManifest(const std::string& serverDir, const std::string& manifestFile,
                        const std::string& sha256, const std::string& namedBy, StoredRelease& out,
                        const ProblemSink& problems) {
  out = StoredRelease();
  std::string text, message;
  if (!readNamed(serverDir, manifestFile, sha256, namedBy, text, problems)) return false;
  out.manifestFile = manifestFile;
  out.manifestSha256 = sha256;
  out.manifestBytes = text.size();
  JsonValue document;
  if (!content::parseJson(text, document, message)) {
    problems({manifestFile, "not JSON: " + message});
    return false;
  }
  out.manifest = content::readManifest(document);
  const content::Manifest& manifest = out.manifest;
  const bool inPart = manifest.previousManifest.empty() != manifest.previousManifestSha256.empty();
  if (document.kind != JsonValue::Kind::Object || manifest.packVersion.empty()) {
    problems({manifestFile, "not a manifest (no \"packVersion\")"});
  } else if (manifest.namesPrevious && inPart) {
    problems({manifestFile, "names its predecessor only in part"});
  } else if (manifest.sectionsMalformed) {
    problems({manifestFile, "names list sections players cannot read (players refuse it)"});
  } else if (manifest.encodingUnknown) {
    problems({manifestFile, "names an encoding players cannot decode (players refuse it)"});
  } else {
    return true;
  }
  return false;
}

bool readStoredLists(const std::string& serverDir, StoredRelease& release,
                     const ProblemSink& problems) {
  const std::pair<const content::ListDocument*, ListReader> lists[] = {
      {&content::kFilesRequiredList,
       [&](const std::string& relative, const std::string& body) {
         return readFileList(relative, body, release.required, problems);
       }},
      {&content::kFilesOptionalList,
       [&](const std::string& relative, const std::string& body) {
         return readFileList(relative, body, release.optional, problems);
       }},
      {&content::kBundlesList,
       [&](const std::string& relative, const std::string& body) {
         return readBundleIndex(relative, body, release.bundles, problems);
       }},
      {&content::kFilesRetiredList,
       [&](const std::string& relative, const std::string& body) {
         return readLines(relative, body, problems, [&release](const JsonValue&) {
           ++release.retired;
           return std::string();
         });
       }},
  };
  bool clean = true;
  for (const auto& [list, read] : lists) {
    // A release without a retired list retires nothing.
    const bool optional = list == &content::kFilesRetiredList;
    if (optional && !release.manifest.part(*list).present) continue;
    clean = readList(serverDir, release, *list, read, problems) && clean;
  }
  return clean;
}

bool walkChain(const std::string& serverDir, const std::string& manifest, const std::string& sha256,
               const ProblemSink& problems, const std::function<bool(StoredRelease&)>& visit) {
  std::string file = manifest;
  std::string digest = sha256;
  std::string namedBy = content::kPointerFile;
  // Each step reads a manifest of a digest not met before, so the walk ends
  // even in a folder that held a cycle (which would take a SHA-256
  // collision).
  std::set<std::string> seen;
  while (!file.empty() && seen.insert(digest).second) {
    StoredRelease release;
    if (!readStoredManifest(serverDir, file, digest, namedBy, release, problems)) return false;
    const bool oldest = !release.manifest.namesPrevious;
    std::string previous = release.manifest.previousManifest;
    std::string previousSha256 = release.manifest.previousManifestSha256;
    namedBy = release.manifestFile;
    if (!visit(release) || oldest) break;
    file = std::move(previous);
    digest = std::move(previousSha256);
  }
  return true;
}

}  // namespace vantis::publish
