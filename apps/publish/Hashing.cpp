// One pass over each file feeds two digests at once: the whole file's and
// the current blob's. Where a blob ends is the cutter's decision alone, so an
// unchanged file always yields the same blobs, and a player cutting the same
// bytes finds the same ones.

#include "Hashing.h"

#include <atomic>

#include "foundation/Crypto.h"
#include "Files.h"

namespace vantis::publish {

namespace {

constexpr std::size_t kReadBytes = 1u << 20;

bool hashFile(SourceFile& file, const content::BlobCutter& cutter,
              std::atomic<std::uint64_t>& bytesDone, std::string& error) {
  file.blobs.clear();
  content::Sha256 whole;
  content::BlobStream blobs(cutter, [&file](const std::string& digest, std::uint64_t offset,
                                            std::uint64_t length) {
    file.blobs.push_back(Blob{offset, length, digest});
    return true;
  });
  bool named = true;
  auto sink = [&](const char* data, std::size_t length) {
    whole.update(data, length);
    named = blobs.feed(data, length) && named;
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
  named = blobs.finish() && named;
  if (length != file.size) {
    error = file.absolute + " changed size while it was being published";
    return false;
  }
  file.sha256 = named ? whole.hex() : std::string();
  if (file.sha256.empty()) error = "cannot hash " + file.absolute;
  return !file.sha256.empty();
}

}  // namespace

bool hashContent(Content& content, const content::BlobCutting& cutting, unsigned threads,
                 const Progress& progress, std::string& error) {
  std::uint64_t total = 0;
  for (const SourceFile& file : content.sources) total += file.size;
  std::atomic<std::uint64_t> bytesDone{0};
  if (!progress("hashing", 0, total)) {
    error = "publishing was interrupted";
    return false;
  }
  // One cutter for every thread: its table is built once and only read.
  const content::BlobCutter cutter(cutting);
  auto work = [&](std::size_t index, std::string& message) {
    return hashFile(content.sources[index], cutter, bytesDone, message);
  };
  auto tick = [&] { return progress("hashing", bytesDone.load(), total); };
  return runParallel(content.sources.size(), threads, work, tick, error);
}

}  // namespace vantis::publish
