// Reading and writing the checked-files record. A line-based text rather
// than JSON: it holds a line per content file, is read on every update and
// must parse in a few milliseconds for packs of many thousands of files.

#include "protocol/SyncCheckedFiles.h"

#include <charconv>
#include <cstddef>

#include "foundation/Crypto.h"

namespace vantis::content {

namespace {

constexpr const char* kFirstLine = "checked-files 1";

bool validChunks(const std::string& chunks) {
  for (const std::string& digest : splitChunks(chunks)) {
    if (!isLowerHexDigest(digest)) return false;
  }
  return true;
}

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

bool parseLine(const std::string& line, std::string& path, CheckedFile& file) {
  std::string sha, size, inode, modified, changed, chunkSize, chunks;
  std::size_t position = 0;
  const bool split = nextField(line, position, sha) && nextField(line, position, size) &&
                     nextField(line, position, inode) && nextField(line, position, modified) &&
                     nextField(line, position, changed) && nextField(line, position, chunkSize) &&
                     nextField(line, position, chunks);
  if (!split || position >= line.size()) return false;
  if (chunks == "-") chunks.clear();
  const bool valid = isLowerHexDigest(sha) && validChunks(chunks) &&
                     parseNumber(size, file.identity.size) &&
                     parseNumber(inode, file.identity.inode) &&
                     parseNumber(modified, file.identity.modifiedNs) &&
                     parseNumber(changed, file.identity.changedNs) &&
                     parseNumber(chunkSize, file.chunkSize);
  if (!valid) return false;
  file.sha256 = std::move(sha);
  file.chunks = std::move(chunks);
  path.assign(line, position, std::string::npos);
  return true;
}

}  // namespace

std::vector<std::string> splitChunks(const std::string& chunks) {
  std::vector<std::string> digests;
  if (chunks.empty()) return digests;
  for (std::size_t start = 0;;) {
    const std::size_t comma = chunks.find(',', start);
    digests.push_back(chunks.substr(start, comma == std::string::npos ? comma : comma - start));
    if (comma == std::string::npos) return digests;
    start = comma + 1;
  }
}

std::string joinChunks(const std::vector<std::string>& digests) {
  std::string joined;
  for (const std::string& digest : digests) {
    if (!joined.empty()) joined += ',';
    joined += digest;
  }
  return joined;
}

std::string formatCheckedFiles(const CheckedFiles& files) {
  std::string text = std::string(kFirstLine) + "\n";
  for (const auto& [path, file] : files) {
    text += file.sha256 + ' ' + std::to_string(file.identity.size) + ' ' +
            std::to_string(file.identity.inode) + ' ' + std::to_string(file.identity.modifiedNs) +
            ' ' + std::to_string(file.identity.changedNs) + ' ' + std::to_string(file.chunkSize) +
            ' ' + (file.chunks.empty() ? "-" : file.chunks) + ' ' + path + '\n';
  }
  return text;
}

void parseCheckedFiles(const std::string& text, CheckedFiles& files) {
  files.clear();
  std::size_t start = 0;
  bool first = true;
  while (start < text.size()) {
    const std::size_t newline = text.find('\n', start);
    // A last line without its line feed was cut off: it is not taken.
    if (newline == std::string::npos) return;
    const std::string line = text.substr(start, newline - start);
    start = newline + 1;
    if (first) {
      if (line != kFirstLine) return;
      first = false;
      continue;
    }
    std::string path;
    CheckedFile file;
    if (parseLine(line, path, file)) files[path] = std::move(file);
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
