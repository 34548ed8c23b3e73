// Reading and writing the checked-files record. A line-based text rather
// than JSON: it holds a line per content file, is read on every update and
// must parse in a few milliseconds for packs of many thousands of files.

#include "protocol/SyncCheckedFiles.h"

#include <charconv>
#include <cstddef>

#include "foundation/Crypto.h"
#include "release/BlobCut.h"

namespace vantis::content {

namespace {

constexpr const char* kFirstLine = "checked-files 2";
// What synchronisers wrote before the record kept blob lengths.
constexpr const char* kFirstLineV1 = "checked-files 1";
constexpr const char* kNone = "-";

// Cuts the next space-ended field off `line` at `position`.
bool nextField(const std::string& line, std::size_t& position, std::string& field) {
  const std::size_t space = line.find(' ', position);
  if (space == std::string::npos) return false;
  field.assign(line, position, space - position);
  position = space + 1;
  return true;
}

template <typename Number>
bool parseNumber(const std::string& text, Number& value) {
  const char* end = text.data() + text.size();
  const auto parsed = std::from_chars(text.data(), end, value);
  return !text.empty() && parsed.ec == std::errc() && parsed.ptr == end;
}

// The comma-separated items of `text` (none for an empty text).
std::vector<std::string> splitCommas(const std::string& text) {
  std::vector<std::string> items;
  if (text.empty()) return items;
  for (std::size_t start = 0;;) {
    const std::size_t comma = text.find(',', start);
    items.push_back(text.substr(start, comma == std::string::npos ? comma : comma - start));
    if (comma == std::string::npos) return items;
    start = comma + 1;
  }
}

bool lowerHexDigest(std::string_view text) {
  constexpr std::size_t kDigestChars = 64;
  if (text.size() != kDigestChars) return false;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// Blobs that name a digest and a length each and add up to the file: a
// line that says anything else was not written by this program whole.
bool validBlobs(const std::string& blobs, std::uint64_t size) {
  std::uint64_t total = 0;
  const bool each = forEachRecordedBlob(blobs, [&](std::string_view digest, std::uint64_t length) {
    const bool valid = lowerHexDigest(digest) && length != 0 && length <= size - total;
    total += valid ? length : 0;
    return valid;
  });
  return each && (total == size || blobs.empty());
}

bool knownCuttingWord(const std::string& cutting) {
  return cutting.rfind("fixed:", 0) == 0 || cutting.rfind("gear:", 0) == 0;
}

// The fields every line starts with, and the path that ends it.
struct LineFields {
  std::string sha, size, inode, modified, changed, cutting, blobs, path;
};

bool splitLine(const std::string& line, LineFields& fields) {
  std::size_t position = 0;
  const bool split =
      nextField(line, position, fields.sha) && nextField(line, position, fields.size) &&
      nextField(line, position, fields.inode) && nextField(line, position, fields.modified) &&
      nextField(line, position, fields.changed) && nextField(line, position, fields.cutting) &&
      nextField(line, position, fields.blobs);
  if (!split || position >= line.size()) return false;
  fields.path.assign(line, position, std::string::npos);
  if (fields.blobs == kNone) fields.blobs.clear();
  if (fields.cutting == kNone) fields.cutting.clear();
  return true;
}

bool readIdentity(const LineFields& fields, CheckedFile& file) {
  return isLowerHexDigest(fields.sha) && parseNumber(fields.size, file.identity.size) &&
         parseNumber(fields.inode, file.identity.inode) &&
         parseNumber(fields.modified, file.identity.modifiedNs) &&
         parseNumber(fields.changed, file.identity.changedNs);
}

bool parseLine(const std::string& line, std::string& path, CheckedFile& file) {
  LineFields fields;
  if (!splitLine(line, fields) || !readIdentity(fields, file)) return false;
  const bool cuttingValid = fields.cutting.empty() || knownCuttingWord(fields.cutting);
  if (!cuttingValid || !validBlobs(fields.blobs, file.identity.size)) return false;
  file.sha256 = std::move(fields.sha);
  file.cutting = std::move(fields.cutting);
  file.blobs = std::move(fields.blobs);
  path = std::move(fields.path);
  return true;
}

// A line of the first form: "<chunk size> <digest,digest,...>" where the
// cutting and the blobs stand now. Its blobs were cut at fixed offsets, so
// their lengths follow from the size; when they do not fit it, they are
// dropped and only the digest is kept.
bool parseLineV1(const std::string& line, std::string& path, CheckedFile& file) {
  LineFields fields;
  std::uint64_t chunkSize = 0;
  if (!splitLine(line, fields) || !readIdentity(fields, file) ||
      !parseNumber(fields.cutting, chunkSize)) {
    return false;
  }
  const std::vector<std::string> digests = splitCommas(fields.blobs);
  for (const std::string& digest : digests) {
    if (!isLowerHexDigest(digest)) return false;
  }
  const std::string cutting = cuttingText(fixedCutting(chunkSize));
  const bool fits = fixedBlobCount(file.identity.size, chunkSize) == digests.size();
  if (!digests.empty() && fits && !cutting.empty()) {
    const std::vector<std::uint64_t> lengths = fixedBlobLengths(file.identity.size, chunkSize);
    std::vector<RecordedBlob> blobs;
    for (std::size_t i = 0; i < digests.size(); ++i) blobs.push_back({digests[i], lengths[i]});
    file.cutting = cutting;
    file.blobs = joinBlobs(blobs);
  }
  file.sha256 = std::move(fields.sha);
  path = std::move(fields.path);
  return true;
}

}  // namespace

bool forEachRecordedBlob(const std::string& blobs, const RecordedBlobVisit& visit) {
  if (blobs.empty()) return true;
  const std::string_view text(blobs);
  for (std::size_t start = 0;;) {
    const std::size_t comma = text.find(',', start);
    const std::string_view item =
        text.substr(start, comma == std::string_view::npos ? comma : comma - start);
    const std::size_t colon = item.find(':');
    std::uint64_t length = 0;
    if (colon != std::string_view::npos) {
      const char* end = item.data() + item.size();
      const auto parsed = std::from_chars(item.data() + colon + 1, end, length);
      // A leading zero reads as a number but is not how a length is written,
      // so the blob list would not survive being written out again unchanged.
      const bool leadingZero = colon + 1 < item.size() && item[colon + 1] == '0';
      if (parsed.ec != std::errc() || parsed.ptr != end || leadingZero) length = 0;
    }
    if (!visit(item.substr(0, colon), length)) return false;
    if (comma == std::string_view::npos) return true;
    start = comma + 1;
  }
}

std::vector<RecordedBlob> splitBlobs(const std::string& blobs) {
  std::vector<RecordedBlob> split;
  forEachRecordedBlob(blobs, [&split](std::string_view digest, std::uint64_t length) {
    split.push_back(RecordedBlob{std::string(digest), length});
    return true;
  });
  return split;
}

std::string joinBlobs(const std::vector<RecordedBlob>& blobs) {
  std::string joined;
  for (const RecordedBlob& blob : blobs) {
    if (!joined.empty()) joined += ',';
    joined += blob.digest + ':' + std::to_string(blob.length);
  }
  return joined;
}

std::string formatCheckedFiles(const CheckedFiles& files) {
  // Sized up front: the record runs to megabytes for a large pack, and
  // growing it line by line would copy it over and over.
  constexpr std::size_t kNumbersAndSpaces = 96;
  std::size_t bytes = std::char_traits<char>::length(kFirstLine) + 1;
  for (const auto& [path, file] : files) {
    bytes += file.sha256.size() + file.cutting.size() + file.blobs.size() + path.size() +
             kNumbersAndSpaces;
  }
  std::string text;
  text.reserve(bytes);
  text.append(kFirstLine).append("\n");
  for (const auto& [path, file] : files) {
    text.append(file.sha256).append(" ").append(std::to_string(file.identity.size));
    text.append(" ").append(std::to_string(file.identity.inode));
    text.append(" ").append(std::to_string(file.identity.modifiedNs));
    text.append(" ").append(std::to_string(file.identity.changedNs));
    text.append(" ").append(file.cutting.empty() ? kNone : file.cutting);
    text.append(" ").append(file.blobs.empty() ? kNone : file.blobs);
    text.append(" ").append(path).append("\n");
  }
  return text;
}

void parseCheckedFiles(const std::string& text, CheckedFiles& files) {
  files.clear();
  std::size_t start = 0;
  bool first = true;
  bool firstForm = false;
  while (start < text.size()) {
    const std::size_t newline = text.find('\n', start);
    // A last line without its line feed was cut off: it is not taken.
    if (newline == std::string::npos) return;
    const std::string line = text.substr(start, newline - start);
    start = newline + 1;
    if (first) {
      if (line != kFirstLine && line != kFirstLineV1) return;
      firstForm = line == kFirstLineV1;
      first = false;
      continue;
    }
    std::string path;
    CheckedFile file;
    const bool parsed = firstForm ? parseLineV1(line, path, file) : parseLine(line, path, file);
    if (parsed) files[path] = std::move(file);
  }
}

CheckedFiles readCheckedFiles(const std::string& path) {
  CheckedFiles files;
  std::string text;
  if (readWholeFile(path, text)) parseCheckedFiles(text, files);
  return files;
}

bool writeCheckedFiles(const std::string& path, const CheckedFiles& files) {
  return replaceWholeFile(path, formatCheckedFiles(files));
}

}  // namespace vantis::content
