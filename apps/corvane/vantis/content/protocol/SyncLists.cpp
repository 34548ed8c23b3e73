// Fetching the manifest and the lists it names, their line framing, and the
// readers that turn lines into records. The lists can hold hundreds of
// thousands of entries, so each line is parsed and dropped in turn, and the
// per-entry decision settles on a size comparison whenever it can: only a
// full check, a program file or "alwaysHash" makes it read an installed file,
// and then by streaming it through the digest.

#include "protocol/SyncLists.h"

#include <cstddef>
#include <utility>

#include "foundation/Crypto.h"
#include "foundation/FileSystem.h"
#include "http/Http.h"
#include "protocol/SyncMessages.h"
#include "release/SafePath.h"

namespace vantis::content {

namespace {

const std::size_t kDigestChars = 64;
const std::uint64_t kProgressEvery = 512;

Status validate(const FileRecord& record) {
  if (!safeRelativePath(record.path)) return Failure{messages::unsafePath(record.path)};
  if (record.sha256.size() != kDigestChars) return Failure{messages::kEntryWithoutHash};
  for (const std::string& blob : record.chunks) {
    if (!isLowerHexDigest(blob)) return Failure{messages::kBlobDigestMalformed};
  }
  return {};
}

// The file-entry handler: validates one entry, then files it under the
// outputs.
struct FileEntryHandler {
  const FileListContext& context;
  FileList& result;

  Status operator()(const JsonValue& line) {
    FileRecord record = readFileRecord(line);
    ++result.entriesRead;
    Status valid = validate(record);
    if (!valid) return valid;
    // Entries for other platforms are validated (an unsafe path anywhere
    // refuses the whole list) but never installed here.
    const bool forThisPlatform = record.platform.empty() || record.platform == kPlatformLinux;
    if (!forThisPlatform) return {};
    keep(std::move(record));
    return reportEvery512();
  }

  void keep(FileRecord record) {
    result.listedPaths.insert(record.path);
    const bool programFile = record.target == kTargetBinary &&
                             (!record.platform.empty() || record.path == "resources/version");
    if (programFile) {
      binarycheck::Entry entry;
      entry.path = record.path;
      entry.size = static_cast<std::uint64_t>(record.size);
      entry.sha256 = record.sha256;
      result.programs.push_back(std::move(entry));
    }
    CopyKnowledge copy;
    copy.cutting = context.cutting;
    if (context.checked) {
      const auto line = context.checked->find(record.path);
      if (line != context.checked->end()) copy.recorded = &line->second;
    }
    const bool current =
        installedCopyCurrent(joinPath(context.contentDir, record.path), record, context.fullCheck,
                             copy);
    if (copy.learned) result.known[record.path] = std::move(copy.knowledge);
    if (current) return;
    result.workBytes += static_cast<std::uint64_t>(record.size);
    result.work.push_back(std::move(record));
  }

  Status reportEvery512() {
    if (result.entriesRead % kProgressEvery != 0 || !context.report) return {};
    const char* phase = context.nothingInstalled ? "Preparing" : "Verifying files";
    const std::string detail =
        std::to_string(result.entriesRead) + " of " + std::to_string(context.fileCount) + " files";
    if (context.report(phase, detail)) return {};
    return Failure{messages::kCancelled};
  }
};

// The copy is the entry's content, so it is cut into the entry's blobs. Their
// lengths are known only when the cutting was fixed; a content cutting's
// lengths would take reading the copy again, which is not worth it here.
void rememberEntryBlobs(const FileRecord& record, CopyKnowledge& copy) {
  const std::uint64_t size = copy.knowledge.identity.size;
  const bool fits = copy.cutting.method == CutMethod::fixed && !record.chunks.empty() &&
                    fixedBlobCount(size, copy.cutting.maxSize) == record.chunks.size();
  if (!fits) return;
  const std::vector<std::uint64_t> lengths = fixedBlobLengths(size, copy.cutting.maxSize);
  std::vector<RecordedBlob> blobs;
  for (std::size_t i = 0; i < lengths.size(); ++i) blobs.push_back({record.chunks[i], lengths[i]});
  copy.knowledge.cutting = cuttingText(copy.cutting);
  copy.knowledge.blobs = joinBlobs(blobs);
}

}  // namespace

Result<std::vector<unsigned char>> fetchVerified(HttpClient& client, const std::string& path,
                                                 std::uint64_t maxBytes,
                                                 const std::string& expectedSha256,
                                                 const FetchMessages& messages,
                                                 const HttpProgress& progress) {
  HttpResponse response;
  client.get(path, maxBytes, progress, response);
  if (response.cancelled) return Failure{messages::kCancelled};
  // More than the signed document can be is not that document: refused as
  // a mismatch, as the digest would have refused it had it been read whole.
  const bool longerThanSigned =
      response.tooLarge && response.status >= 200 && response.status <= 299;
  if (longerThanSigned) return Failure{messages.mismatch};
  if (!response.succeeded()) return Failure{messages.requestFailed};
  const std::string digest = Sha256::of(response.body.data(), response.body.size());
  if (!Sha256::equals(digest, expectedSha256)) return Failure{messages.mismatch};
  return std::move(response.body);
}

Result<std::vector<unsigned char>> fetchManifestBytes(HttpClient& client,
                                                      const ReleasePointer& pointer,
                                                      const FetchMessages& messages,
                                                      const HttpProgress& progress) {
  return fetchVerified(client, "/" + pointer.manifestPath, kMaxDocumentBytes,
                       pointer.manifestSha256, messages, progress);
}

std::uint64_t listBytesBound(const ListPart& part) {
  return part.size ? *part.size : kMaxBodyBytes;
}

Result<Manifest> parseManifest(const std::vector<unsigned char>& bytes) {
  JsonValue document;
  std::string parseError;
  const char* begin = reinterpret_cast<const char*>(bytes.data());
  if (!parseJson(begin, begin + bytes.size(), document, parseError)) {
    return Failure{messages::manifestUnparsable(parseError)};
  }
  Manifest manifest = readManifest(document);
  // Every object of the release would fail to decode, so nothing is fetched.
  if (manifest.encodingUnknown) return Failure{messages::kEncodingUnreadable};
  return manifest;
}

std::string listRequest(const std::string& packVersion, const ListDocument& list) {
  return "/" + listFile(packVersion, list.file);
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
  // Streamed in steps: program files and archives can be gigabytes, and
  // reading one whole to hash it could exhaust memory and end the sync.
  std::uint64_t hashedSize = 0;
  std::string digest;
  if (!hashFileSha256(installedPath, hashedSize, digest)) return false;
  // The identity is the one taken before the read: a write during it moves
  // the times, so the next run reads the file again.
  copy.knowledge = CheckedFile{identity, digest, std::string(), std::string()};
  copy.learned = true;
  if (!Sha256::equals(digest, record.sha256)) return false;
  rememberEntryBlobs(record, copy);
  return true;
}

Result<FileList> readFileList(const std::vector<unsigned char>& body,
                              const FileListContext& context) {
  FileList list;
  Status read = forEachLine(body, FileEntryHandler{context, list});
  if (!read) return read.failure();
  return list;
}

Result<BundleIndex> readBundleIndex(const std::vector<unsigned char>& body) {
  BundleIndex index;
  Status read = forEachLine(body, [&index](const JsonValue& line) {
    BundleRecord bundle = readBundleRecord(line);
    for (const BundleRecord::Blob& blob : bundle.blobs) {
      index.blobs[blob.digest] = BlobLocation{bundle.id, blob.offset, blob.length};
    }
    const std::string id = bundle.id;
    index.bundles[id] = std::move(bundle);
    return Status();
  });
  if (!read) return read.failure();
  return index;
}

Result<BundleIndex> fetchBundleIndex(HttpClient& client, const std::string& packVersion,
                                     const Manifest& manifest, const HttpProgress& progress) {
  const FetchMessages wording{messages::kBundleIndexNotDownloaded,
                              messages::kBundleIndexMismatch};
  const Result<std::vector<unsigned char>> body =
      fetchVerified(client, listRequest(packVersion, kBundlesList),
                    listBytesBound(manifest.bundles), manifest.bundles.sha256, wording, progress);
  if (!body) return body.failure();
  return readBundleIndex(*body);
}

Result<std::vector<RetiredRecord>> readRetiredRecords(const std::vector<unsigned char>& body) {
  std::vector<RetiredRecord> records;
  Status read = forEachLine(body, [&records](const JsonValue& line) {
    records.push_back(readRetiredRecord(line));
    return Status();
  });
  if (!read) return read.failure();
  return records;
}

Result<std::vector<std::string>> readRetiredList(const std::vector<unsigned char>& body) {
  const Result<std::vector<RetiredRecord>> records = readRetiredRecords(body);
  if (!records) return records.failure();
  std::vector<std::string> paths;
  for (const RetiredRecord& record : *records) paths.push_back(record.path);
  return paths;
}

}  // namespace vantis::content
