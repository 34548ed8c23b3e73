// Fetching the manifest and the lists it names, their line framing, and the
// readers that turn lines into records. The lists can hold hundreds of
// thousands of entries, so each line is parsed and dropped in turn, and the
// per-entry decision settles on a size comparison whenever it can: only a
// full check, a program file or "alwaysHash" makes it read an installed file,
// and then by streaming it through the digest.

#include "protocol/SyncLists.h"

#include <cstddef>
#include <cstring>
#include <utility>

#include "foundation/Crypto.h"
#include "foundation/FileSystem.h"
#include "http/Http.h"
#include "pipeline/SyncInternal.h"

namespace vantis::content {

namespace {

const std::size_t kMaxPathBytes = 400;
const std::size_t kDigestChars = 64;
const std::uint64_t kProgressEvery = 512;

// Device names that some file systems the content may be unpacked on treat
// specially whatever their extension; a file named so could never be written
// back or could reach a device instead.
bool isReservedName(const std::string& part) {
  static const char* const kReserved[] = {
      "con",  "prn",  "aux",  "nul",  "com1", "com2", "com3", "com4", "com5", "com6", "com7",
      "com8", "com9", "lpt1", "lpt2", "lpt3", "lpt4", "lpt5", "lpt6", "lpt7", "lpt8", "lpt9"};
  std::string stem = part.substr(0, part.find('.'));
  for (char& c : stem) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  for (const char* name : kReserved) {
    if (stem == name) return true;
  }
  return false;
}

bool safePart(const std::string& part) {
  if (part == "." || part == "..") return false;
  const char last = part.back();
  if (last == '.' || last == ' ') return false;
  for (char c : part) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || std::strchr("\"*<>?|", c) != nullptr) return false;
  }
  return !isReservedName(part);
}

// Only arrays have elements; an object where a list belongs yields none.
std::size_t elementsOf(const JsonValue& value) {
  return value.kind == JsonValue::Kind::Array ? value.size() : 0;
}

bool isSeparator(char c) { return c == '/' || c == '\\'; }

FileRecord fileRecordOf(const JsonValue& line) {
  FileRecord record;
  record.path = line["path"].asString(JsonValue::sEmptyString);
  record.size = line["size"].asInt(0);
  record.sha256 = line["sha256"].asString(JsonValue::sEmptyString);
  record.target = line["target"].asString(JsonValue::sEmptyString);
  record.platform = line["platform"].asString(JsonValue::sEmptyString);
  record.alwaysHash = line["alwaysHash"].asBool(false);
  const JsonValue& chunks = line["chunks"];
  record.chunks.reserve(elementsOf(chunks));
  for (std::size_t i = 0; i < elementsOf(chunks); ++i) {
    record.chunks.push_back(chunks[i].asString(JsonValue::sEmptyString));
  }
  return record;
}

// The file-entry handler: validates one entry, then files it under the
// outputs. Keeps the stop flag apart from the error so that the caller can
// tell a cancelled read from a malformed list.
struct FileEntryHandler {
  const FileListContext& context;
  FileListResult& result;
  std::string& error;
  std::string contentDir;
  bool stopped = false;

  bool operator()(const JsonValue& line) {
    FileRecord record = fileRecordOf(line);
    ++result.entriesRead;
    if (!validate(record)) return false;
    // Entries for other platforms are validated (an unsafe path anywhere
    // refuses the whole list) but never installed here.
    const bool forThisPlatform = record.platform.empty() || record.platform == "linux";
    if (!forThisPlatform) return true;
    keep(std::move(record));
    return reportEvery512();
  }

  bool validate(const FileRecord& record) {
    if (!safeRelativePath(record.path)) {
      error = "The update contained an unsafe path and was refused: " + record.path;
      return false;
    }
    if (record.sha256.size() != kDigestChars) {
      error = "A file entry had no hash.";
      return false;
    }
    for (const std::string& chunk : record.chunks) {
      if (isLowerHexDigest(chunk)) continue;
      error = "The update manifest is malformed. Refused.";
      return false;
    }
    return true;
  }

  void keep(FileRecord record) {
    result.listedPaths.insert(record.path);
    const bool programFile = record.target == "binary" &&
                             (!record.platform.empty() || record.path == "resources/version");
    if (programFile) {
      binarycheck::Entry entry;
      entry.path = record.path;
      entry.size = static_cast<std::uint64_t>(record.size);
      entry.sha256 = record.sha256;
      result.programs.push_back(std::move(entry));
    }
    CopyKnowledge copy;
    copy.chunkSize = context.chunkSize;
    if (context.checked) {
      const auto line = context.checked->find(record.path);
      if (line != context.checked->end()) copy.recorded = &line->second;
    }
    const bool current =
        installedCopyCurrent(joinPath(contentDir, record.path), record, context.fullCheck, copy);
    if (copy.learned) result.known[record.path] = std::move(copy.knowledge);
    if (current) return;
    result.workBytes += static_cast<std::uint64_t>(record.size);
    result.work.push_back(std::move(record));
  }

  bool reportEvery512() {
    if (result.entriesRead % kProgressEvery != 0 || !context.report) return true;
    const char* phase = context.nothingInstalled ? "Preparing" : "Verifying files";
    const std::string detail =
        std::to_string(result.entriesRead) + " of " + std::to_string(context.fileCount) + " files";
    if (context.report(phase, detail)) return true;
    stopped = true;
    return false;
  }
};

}  // namespace

bool fetchManifest(HttpClient& client, const ReleasePointer& pointer, ReleaseReader reader,
                   const ProgressReport& report, JsonValue& manifest, std::string& manifestBytes,
                   std::string& error) {
  const bool forSync = reader == ReleaseReader::sync;
  if (report) report("Checking for updates", "manifest");

  HttpResponse response = client.get("/" + pointer.manifestPath);
  if (!response.succeeded()) {
    error = forSync ? "Could not download the update manifest."
                    : "The update manifest could not be verified.";
    return false;
  }
  const std::string digest = Sha256::of(response.body.data(), response.body.size());
  if (!Sha256::equals(digest, pointer.manifestSha256)) {
    error = forSync ? "The update manifest did not match its signature. Refused."
                    : "The update manifest could not be verified.";
    return false;
  }

  JsonValue parsed;
  std::string parseError;
  const char* begin = reinterpret_cast<const char*>(response.body.data());
  if (!parseJson(begin, begin + response.body.size(), parsed, parseError)) {
    error = forSync ? "The update manifest was malformed: " + parseError
                    : "The update manifest was malformed.";
    return false;
  }
  manifest = std::move(parsed);
  manifestBytes.assign(begin, response.body.size());
  return true;
}

std::string listPath(const std::string& packVersion, const std::string& listName) {
  return "/manifest/" + packVersion + "/" + listName;
}

const std::string& listDigest(const JsonValue& manifest, const std::string& part) {
  return manifest["parts"][part]["sha256"].asString(JsonValue::sEmptyString);
}

FetchOutcome fetchVerified(HttpClient& client, const std::string& path,
                           const std::string& expectedSha256, std::vector<unsigned char>& body) {
  body.clear();
  HttpResponse response = client.get(path);
  if (!response.succeeded()) return FetchOutcome::requestFailed;
  const std::string digest = Sha256::of(response.body.data(), response.body.size());
  if (!Sha256::equals(digest, expectedSha256)) return FetchOutcome::digestMismatch;
  body = std::move(response.body);
  return FetchOutcome::ok;
}

bool forEachLine(const std::vector<unsigned char>& body, const LineHandler& handler,
                 std::string& error) {
  const char* next = reinterpret_cast<const char*>(body.data());
  const char* const end = next + body.size();
  std::uint64_t lineNumber = 0;
  while (next < end) {
    const char* lineEnd = static_cast<const char*>(std::memchr(next, '\n', end - next));
    if (lineEnd == nullptr) lineEnd = end;
    const char* lineBegin = next;
    next = lineEnd + (lineEnd < end ? 1 : 0);
    if (lineBegin == lineEnd) continue;

    ++lineNumber;
    JsonValue line;
    std::string parseError;
    if (!parseJson(lineBegin, lineEnd, line, parseError)) {
      error = "manifest line " + std::to_string(lineNumber) + ": " + parseError;
      return false;
    }
    if (!handler(line)) return false;
  }
  return true;
}

bool safeRelativePath(const std::string& path) {
  if (path.empty() || path.size() > kMaxPathBytes) return false;
  if (path.find(':') != std::string::npos) return false;
  if (isSeparator(path[0])) return false;
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t stop = start;
    while (stop < path.size() && !isSeparator(path[stop])) ++stop;
    // Empty parts ("a//b", a trailing "/") name nothing and are skipped.
    if (stop > start && !safePart(path.substr(start, stop - start))) return false;
    start = stop + 1;
  }
  return true;
}

bool installedCopyCurrent(const std::string& installedPath, const FileRecord& record,
                          bool fullCheck) {
  CopyKnowledge nothingKnown;
  return installedCopyCurrent(installedPath, record, fullCheck, nothingKnown);
}

bool installedCopyCurrent(const std::string& installedPath, const FileRecord& record,
                          bool fullCheck, CopyKnowledge& copy) {
  FileIdentity identity;
  if (!fileIdentity(installedPath, identity)) return false;
  const bool recordHolds = copy.recorded != nullptr && copy.recorded->identity == identity;
  if (recordHolds) {
    copy.knowledge = *copy.recorded;
    copy.learned = true;
  }
  if (record.size < 0 || identity.size != static_cast<std::uint64_t>(record.size)) return false;
  // Unchanged since it was installed or hashed: its digest is known. A full
  // check reads every file all the same, since that is what it is for.
  if (recordHolds && !fullCheck) return Sha256::equals(copy.knowledge.sha256, record.sha256);
  const bool digestDemanded = fullCheck || record.target == "binary" || record.alwaysHash;
  if (!digestDemanded) return true;
  // Streamed in pieces: program files and archives can be gigabytes, and
  // reading one whole to hash it could exhaust memory and end the sync.
  std::uint64_t hashedSize = 0;
  std::string digest;
  if (!hashFileSha256(installedPath, hashedSize, digest)) return false;
  // The identity is the one taken before the read: a write during it moves
  // the times, so the next run reads the file again.
  copy.knowledge = CheckedFile{identity, digest, 0, std::string()};
  copy.learned = true;
  if (!Sha256::equals(digest, record.sha256)) return false;
  // The copy is the entry's content, so it is cut into the entry's chunks.
  copy.knowledge.chunkSize = copy.chunkSize;
  copy.knowledge.chunks = joinChunks(record.chunks);
  return true;
}

ListOutcome readFileList(const std::vector<unsigned char>& body, const FileListContext& context,
                         FileListResult& result, std::string& error) {
  FileEntryHandler handler{context, result, error, joinPath(context.root, "content")};
  if (forEachLine(body, std::ref(handler), error)) return ListOutcome::ok;
  return handler.stopped ? ListOutcome::stopped : ListOutcome::malformed;
}

bool readBundleIndex(const std::vector<unsigned char>& body,
                     std::map<std::string, BlobLocation>& blobs,
                     std::map<std::string, BundleRecord>& bundles, std::string& error) {
  auto handler = [&](const JsonValue& line) {
    BundleRecord bundle;
    bundle.id = line["id"].asString(JsonValue::sEmptyString);
    bundle.size = line["size"].asInt(0);
    const JsonValue& entries = line["blobs"];
    for (std::size_t i = 0; i < elementsOf(entries); ++i) {
      const JsonValue& entry = entries[i];
      BundleRecord::Blob blob{entry[std::size_t{0}].asString(JsonValue::sEmptyString),
                              entry[std::size_t{1}].asInt(0), entry[std::size_t{2}].asInt(0)};
      blobs[blob.digest] = BlobLocation{bundle.id, blob.offset, blob.length};
      bundle.blobs.push_back(std::move(blob));
    }
    const std::string id = bundle.id;
    bundles[id] = std::move(bundle);
    return true;
  };
  return forEachLine(body, handler, error);
}

bool readRetiredList(const std::vector<unsigned char>& body, std::vector<std::string>& paths,
                     std::string& error) {
  auto handler = [&](const JsonValue& line) {
    paths.push_back(line["path"].asString(JsonValue::sEmptyString));
    return true;
  };
  return forEachLine(body, handler, error);
}

}  // namespace vantis::content
