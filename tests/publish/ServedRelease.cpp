// The reading side of the publisher's tests, built on the synchroniser's
// library so that a format drift between the two programs fails here.

#include "ServedRelease.h"

#include <zlib.h>

#include "foundation/Crypto.h"
#include "release/Layout.h"
#include "TempDir.h"

namespace vantis::publish::test {

namespace {

using namespace vantis::content;

std::vector<unsigned char> bytesOf(const std::string& text) {
  return std::vector<unsigned char>(text.begin(), text.end());
}

std::string readObject(const std::string& path, std::string& body) {
  const std::string packed = skarvel::test::readFile(path);
  if (packed == "<missing>") return "missing " + path;
  if (!gunzipSingleMember(packed, body)) return path + " is not one whole gzip member";
  return std::string();
}

std::string readList(const std::string& serverDir, const ServedRelease& release,
                     const ListDocument& list, std::vector<unsigned char>& body) {
  const std::string path = serverDir + listRequest(release.pointer.packVersion, list);
  const std::string text = skarvel::test::readFile(path);
  if (text == "<missing>") return "missing " + path;
  if (!Sha256::equals(Sha256::of(text), readManifest(release.manifest).part(list).sha256)) {
    return path + " does not match the manifest's digest";
  }
  body = bytesOf(text);
  return std::string();
}

std::string readTier(const std::string& serverDir, const ServedRelease& release,
                     const ListDocument& list, std::vector<FileRecord>& records) {
  std::vector<unsigned char> body;
  std::string problem = readList(serverDir, release, list, body);
  if (!problem.empty()) return problem;
  // Nothing is installed at this root, so every entry lands on the work list.
  FileListContext context;
  context.contentDir = serverDir + "/no-instance-here";
  const Result<FileList> read = readFileList(body, context);
  if (!read) return std::string(list.file) + ": " + read.error();
  records = read->work;
  return std::string();
}

std::string checkBundle(const std::string& serverDir, const BundleRecord& bundle) {
  std::string body;
  std::string problem = readObject(bundleFile(serverDir, bundle.id), body);
  if (!problem.empty()) return problem;
  if (Sha256::of(body) != bundle.id) return "bundle " + bundle.id + " does not hash to its id";
  if (static_cast<std::int64_t>(body.size()) != bundle.size) {
    return "bundle " + bundle.id + " is not as long as its index says";
  }
  for (const BundleRecord::Blob& blob : bundle.blobs) {
    const bool inside = blob.offset >= 0 && blob.length > 0 &&
                        static_cast<std::size_t>(blob.offset + blob.length) <= body.size();
    if (!inside || Sha256::of(body.data() + blob.offset, static_cast<std::size_t>(blob.length)) !=
                       blob.digest) {
      return "blob " + blob.digest + " is not at its place in bundle " + bundle.id;
    }
  }
  return std::string();
}

std::string checkFile(const std::string& serverDir, const FileRecord& record,
                      std::map<std::string, std::string>& chunks) {
  Sha256 whole;
  std::int64_t size = 0;
  for (const std::string& hash : record.chunks) {
    auto found = chunks.find(hash);
    if (found == chunks.end()) {
      std::string body;
      const std::string problem = readObject(chunkFile(serverDir, hash), body);
      if (!problem.empty()) return problem;
      if (Sha256::of(body) != hash) return "chunk " + hash + " does not decode to its hash";
      found = chunks.emplace(hash, body).first;
    }
    whole.update(found->second.data(), found->second.size());
    size += static_cast<std::int64_t>(found->second.size());
  }
  if (size != record.size || whole.hex() != record.sha256) {
    return record.path + " does not reassemble to its size and digest";
  }
  return std::string();
}

}  // namespace

std::string chunkFile(const std::string& serverDir, const std::string& hash) {
  return serverDir + "/" + objectFile(ObjectKind::blob, hash);
}

std::string bundleFile(const std::string& serverDir, const std::string& id) {
  return serverDir + "/" + objectFile(ObjectKind::bundle, id);
}

bool gunzipSingleMember(const std::string& packed, std::string& out) {
  z_stream stream{};
  if (inflateInit2(&stream, 15 + 16) != Z_OK) return false;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
  stream.avail_in = static_cast<uInt>(packed.size());
  out.clear();
  char buffer[65536];
  int status = Z_OK;
  while (status == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    status = inflate(&stream, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - stream.avail_out);
  }
  const bool whole = status == Z_STREAM_END && stream.avail_in == 0;
  inflateEnd(&stream);
  return whole;
}

const FileRecord* findRecord(const std::vector<FileRecord>& tier, const std::string& path) {
  for (const FileRecord& record : tier) {
    if (record.path == path) return &record;
  }
  return nullptr;
}

std::string readServedRelease(const std::string& serverDir, ServedRelease& out) {
  out = ServedRelease();
  out.pointerText = skarvel::test::readFile(serverDir + "/current.json");
  const Result<ReleasePointer> pointer = checkPointerForUpdate(bytesOf(out.pointerText));
  if (!pointer) return "pointer: " + pointer.error();
  out.pointer = *pointer;
  const std::string manifest = skarvel::test::readFile(serverDir + "/" + out.pointer.manifestPath);
  if (!Sha256::equals(Sha256::of(manifest), out.pointer.manifestSha256)) {
    return "the manifest does not match the pointer's digest";
  }
  std::string problem;
  if (!parseJson(manifest, out.manifest, problem)) return "manifest: " + problem;
  problem = readTier(serverDir, out, kFilesRequiredList, out.required);
  if (problem.empty()) problem = readTier(serverDir, out, kFilesOptionalList, out.optional);
  std::vector<unsigned char> body;
  if (problem.empty()) problem = readList(serverDir, out, kBundlesList, body);
  if (!problem.empty()) return problem;
  const Result<BundleIndex> index = readBundleIndex(body);
  if (!index) return "bundle index: " + index.error();
  out.bundles = index->bundles;
  problem = readList(serverDir, out, kFilesRetiredList, body);
  if (!problem.empty()) return problem;
  const Result<std::vector<std::string>> retired = readRetiredList(body);
  if (!retired) return "retired: " + retired.error();
  out.retired = *retired;
  return std::string();
}

std::string checkServedContent(const std::string& serverDir, const ServedRelease& release) {
  for (const auto& bundle : release.bundles) {
    const std::string problem = checkBundle(serverDir, bundle.second);
    if (!problem.empty()) return problem;
  }
  std::map<std::string, std::string> chunks;
  for (const auto* tier : {&release.required, &release.optional}) {
    for (const FileRecord& record : *tier) {
      const std::string problem = checkFile(serverDir, record, chunks);
      if (!problem.empty()) return problem;
    }
  }
  return std::string();
}

std::string checkServedFolder(const std::string& serverDir) {
  ServedRelease release;
  const std::string problem = readServedRelease(serverDir, release);
  return problem.empty() ? checkServedContent(serverDir, release) : problem;
}

}  // namespace vantis::publish::test
