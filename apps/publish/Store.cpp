// Writing blobs and bundles. Existence of the final name is taken as proof
// that it is whole: it only ever appears through a rename of a fully written
// ".part", so a publish that was cut off leaves nothing that could be
// mistaken for a stored blob.

#include "Store.h"

#include <atomic>
#include <map>

#include "Files.h"
#include "ObjectCodec.h"
#include "foundation/Crypto.h"
#include "release/Layout.h"

namespace vantis::publish {

namespace {

std::string blobFile(const std::string& hash, const Compression& compression) {
  return content::objectFile(content::ObjectKind::blob, hash, compression.encoding);
}

std::string bundleFile(const std::string& id, const Compression& compression) {
  return content::objectFile(content::ObjectKind::bundle, id, compression.encoding);
}

struct BlobSource {
  std::size_t source = 0;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

// Reads one blob from its file and proves it is still the blob of that name.
bool readBlob(const SourceFile& file, std::uint64_t offset, std::uint64_t length,
              const std::string& hash, std::string& data, std::string& error) {
  const ReadOutcome read = readAt(file.absolute, file.id, offset, length, data);
  if (read == ReadOutcome::replaced) {
    error = replacedWhilePublished(file.absolute);
    return false;
  }
  if (read != ReadOutcome::read || content::Sha256::of(data) != hash) {
    error = file.absolute + " changed while it was being published";
    return false;
  }
  return true;
}

// Compresses and writes `data` under `relative` unless it exists already.
bool storeCompressed(const std::string& serverDir, const std::string& relative,
                     const std::string& data, const Compression& compression,
                     std::atomic<std::uint64_t>& stored,
                     std::atomic<std::uint64_t>& bytesWritten, std::string& error) {
  const std::string path = joinPath(serverDir, relative);
  std::string packed;
  if (!compressObject(compression, data.data(), data.size(), packed)) {
    error = "cannot compress " + relative;
    return false;
  }
  if (!replaceFile(path, packed)) {
    error = "cannot write " + path;
    return false;
  }
  ++stored;
  bytesWritten += packed.size();
  return true;
}

}  // namespace

bool storeChunks(const std::string& serverDir, const Content& content,
                 const Compression& compression, unsigned threads,
                 const Progress& progress, StoreCounts& counts, std::string& error) {
  std::map<std::string, BlobSource> distinct;
  for (std::size_t i = 0; i < content.sources.size(); ++i) {
    for (const Blob& blob : content.sources[i].blobs) {
      distinct.emplace(blob.hash, BlobSource{i, blob.offset, blob.length});
    }
  }
  std::vector<std::pair<std::string, BlobSource>> blobs(distinct.begin(), distinct.end());
  std::uint64_t total = 0;
  for (const auto& blob : blobs) total += blob.second.length;
  std::atomic<std::uint64_t> done{0}, stored{0}, reused{0}, bytesWritten{0};
  auto work = [&](std::size_t index, std::string& message) {
    const std::string& hash = blobs[index].first;
    const BlobSource& where = blobs[index].second;
    done += where.length;
    if (pathExists(joinPath(serverDir, blobFile(hash, compression)))) {
      ++reused;
      return true;
    }
    std::string data;
    return readBlob(content.sources[where.source], where.offset, where.length, hash, data,
                    message) &&
           storeCompressed(serverDir, blobFile(hash, compression), data, compression, stored, bytesWritten, message);
  };
  auto tick = [&] { return progress("storing blobs", done.load(), total); };
  const bool ok = tick() && runParallel(blobs.size(), threads, work, tick, error);
  if (error.empty() && !ok) error = "publishing was interrupted";
  counts.stored += stored;
  counts.reused += reused;
  counts.bytesWritten += bytesWritten;
  return ok;
}

bool storeBundles(const std::string& serverDir, const Content& content,
                  std::vector<Bundle>& bundles, const Compression& compression, unsigned threads,
                  const Progress& progress, StoreCounts& counts, std::string& error) {
  std::atomic<std::uint64_t> done{0}, stored{0}, reused{0}, bytesWritten{0};
  auto work = [&](std::size_t index, std::string& message) {
    Bundle& bundle = bundles[index];
    std::string body;
    body.reserve(bundle.size);
    std::string data;
    for (const BundleBlob& blob : bundle.blobs) {
      if (!readBlob(content.sources[blob.source], blob.sourceOffset, blob.length, blob.hash, data,
                    message)) {
        return false;
      }
      body += data;
    }
    bundle.id = content::Sha256::of(body);
    ++done;
    if (pathExists(joinPath(serverDir, bundleFile(bundle.id, compression)))) {
      ++reused;
      return true;
    }
    return storeCompressed(serverDir, bundleFile(bundle.id, compression), body, compression, stored, bytesWritten,
                           message);
  };
  auto tick = [&] { return progress("storing bundles", done.load(), bundles.size()); };
  const bool ok = tick() && runParallel(bundles.size(), threads, work, tick, error);
  if (error.empty() && !ok) error = "publishing was interrupted";
  counts.stored += stored;
  counts.reused += reused;
  counts.bytesWritten += bytesWritten;
  return ok;
}

bool storeSections(const std::string& serverDir, const std::vector<std::string>& sections,
                   const Compression& compression, StoreCounts& counts, std::string& error) {
  std::atomic<std::uint64_t> stored{0}, bytesWritten{0};
  for (const std::string& text : sections) {
    const std::string relative =
        content::objectFile(content::ObjectKind::section, content::Sha256::of(text),
                            compression.encoding);
    if (pathExists(joinPath(serverDir, relative))) {
      ++counts.reused;
      continue;
    }
    if (!storeCompressed(serverDir, relative, text, compression, stored, bytesWritten, error)) {
      return false;
    }
  }
  counts.stored += stored;
  counts.bytesWritten += bytesWritten;
  return true;
}

}  // namespace vantis::publish
