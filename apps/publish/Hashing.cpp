// One pass over each file feeds two digests at once: the whole file's and
// the current blob's. Blob boundaries are fixed offsets (multiples of the
// chunk size), so an unchanged file always yields the same blobs.

#include "Hashing.h"

#include <algorithm>
#include <atomic>
#include <memory>

#include "foundation/Crypto.h"
#include "Files.h"

namespace vantis::publish {

namespace {

constexpr std::size_t kReadBytes = 1u << 20;

// Cuts the byte stream of one file into blobs while hashing it.
struct Cutter {
  Cutter(std::uint64_t size, std::vector<Blob>& out) : chunkSize(size), blobs(out) {}

  std::uint64_t chunkSize;
  std::vector<Blob>& blobs;
  content::Sha256 whole;
  std::unique_ptr<content::Sha256> part;  // the open blob, if any
  std::uint64_t offset = 0;      // bytes seen so far
  Blob open;

  void feed(const char* data, std::size_t length) {
    whole.update(data, length);
    while (length > 0) {
      if (!part) {
        part.reset(new content::Sha256);
        open = Blob{offset, 0, std::string()};
      }
      const std::size_t take =
          static_cast<std::size_t>(std::min<std::uint64_t>(length, chunkSize - open.length));
      part->update(data, take);
      open.length += take;
      offset += take;
      data += take;
      length -= take;
      if (open.length == chunkSize) close();
    }
  }

  void close() {
    if (!part) return;
    open.hash = part->hex();
    blobs.push_back(open);
    part.reset();
  }
};

bool hashFile(SourceFile& file, std::uint64_t chunkSize, std::atomic<std::uint64_t>& bytesDone,
              std::string& error) {
  file.blobs.clear();
  Cutter cutter(chunkSize, file.blobs);
  auto sink = [&](const char* data, std::size_t length) {
    cutter.feed(data, length);
    bytesDone += length;
  };
  std::uint64_t length = 0;
  const ReadOutcome read = streamFile(file.absolute, file.id, kReadBytes, sink, length);
  if (read == ReadOutcome::replaced) {
    error = replacedWhilePublished(file.absolute);
    return false;
  }
  if (read != ReadOutcome::read) {
    error = "cannot read " + file.absolute;
    return false;
  }
  cutter.close();
  if (length != file.size) {
    error = file.absolute + " changed size while it was being published";
    return false;
  }
  file.sha256 = cutter.whole.hex();
  for (const Blob& blob : file.blobs) {
    if (blob.hash.empty()) file.sha256.clear();
  }
  if (file.sha256.empty()) error = "cannot hash " + file.absolute;
  return !file.sha256.empty();
}

}  // namespace

bool hashContent(Content& content, std::uint64_t chunkSize, unsigned threads,
                 const Progress& progress, std::string& error) {
  std::uint64_t total = 0;
  for (const SourceFile& file : content.sources) total += file.size;
  std::atomic<std::uint64_t> bytesDone{0};
  if (!progress("hashing", 0, total)) {
    error = "publishing was interrupted";
    return false;
  }
  auto work = [&](std::size_t index, std::string& message) {
    return hashFile(content.sources[index], chunkSize, bytesDone, message);
  };
  auto tick = [&] { return progress("hashing", bytesDone.load(), total); };
  return runParallel(content.sources.size(), threads, work, tick, error);
}

}  // namespace vantis::publish
