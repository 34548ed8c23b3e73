// The rules of retired-file pruning: which listed paths are refused, the
// order in which emptied folders are removed, and the summary text. The
// platform calls live in PrunePosix.cpp.

#include "protocol/Prune.h"

#include <cctype>
#include <cstddef>
#include <utility>

#include "foundation/Crypto.h"
#include "release/SafePath.h"

namespace vantis::content::prune {

namespace {

constexpr std::uint64_t kBytesPerMegabyte = std::uint64_t(1) << 20;

bool isSeparator(char c) { return c == '/' || c == '\\'; }

// Every check and the keep-set lookup compare this form, so that "Mods\A.esp"
// and "mods/a.esp" are one file to the rules; the deletion uses the path as
// listed.
std::string normalise(const std::string& path) {
  std::string out = path;
  for (char& c : out) {
    if (c == '\\') c = '/';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The lists' path rule skips an empty segment ("a//b", a trailing "/") as
// naming nothing; a deletion walks the path one folder at a time, where an
// empty name would stand for the folder itself, so here it refuses.
bool hasEmptySegment(const std::string& normalised) {
  return normalised.find("//") != std::string::npos || normalised.back() == '/';
}

// The rules in their fixed order; the first that matches refuses the entry.
bool refuses(const std::string& listed, const std::set<std::string>& keep) {
  if (!safeRelativePath(listed)) return true;
  const std::string normalised = normalise(listed);
  if (hasEmptySegment(normalised)) return true;
  // The synchroniser's own records live in "cache"; configuration files are
  // the engine's, and a file directly in the root belongs to no mod.
  if (inCacheFolder(normalised)) return true;
  if (endsWith(normalised, ".cfg")) return true;
  if (normalised.find('/') == std::string::npos) return true;
  return keep.count(normalised) != 0;
}

std::size_t depthOf(const std::string& folder) {
  std::size_t depth = 0;
  for (char c : folder) depth += isSeparator(c) ? 1 : 0;
  return depth;
}

// Deepest first, so that a folder is only tried after every emptied folder
// below it has gone; ties in plain byte order.
struct DeepestFirst {
  bool operator()(const std::string& a, const std::string& b) const {
    const std::size_t depthA = depthOf(a);
    const std::size_t depthB = depthOf(b);
    if (depthA != depthB) return depthA > depthB;
    return a < b;
  }
};

std::size_t lastSeparator(const std::string& path) { return path.find_last_of("/\\"); }

std::uint64_t removeEmptiedFolders(const std::string& contentRoot,
                                   const std::set<std::string>& touched) {
  std::set<std::string, DeepestFirst> work(touched.begin(), touched.end());
  std::uint64_t removed = 0;
  while (!work.empty()) {
    const std::string folder = *work.begin();
    work.erase(work.begin());
    const std::size_t separator = lastSeparator(folder);
    // A top-level folder such as "mods" is part of the instance's layout.
    const bool topLevel = separator == std::string::npos;
    if (topLevel) continue;
    if (!removeEmptyFolder(contentRoot, folder)) continue;
    ++removed;
    work.insert(folder.substr(0, separator));
  }
  return removed;
}

// One deletion pass over `count` entries; `entry(i)` gives the i-th listed
// path and the check its file must pass (none: it goes whatever it holds).
using Entry = std::function<const std::string&(std::size_t index, RemovalCheck& check)>;

PruneResult runOver(const std::string& contentRoot, std::size_t count, const Entry& entry,
                    const std::set<std::string>& keep) {
  std::set<std::string> normalisedKeep;
  for (const std::string& path : keep) normalisedKeep.insert(normalise(path));

  PruneResult result;
  std::set<std::string> touched;  // as listed: same case, same separators
  for (std::size_t i = 0; i < count; ++i) {
    RemovalCheck check;
    const std::string& listed = entry(i, check);
    ++result.listed;
    if (refuses(listed, normalisedKeep)) {
      ++result.refused;
      continue;
    }
    std::uint64_t size = 0;
    const Removal removal = removeRegularFile(contentRoot, listed, check, size);
    if (removal == Removal::failed) ++result.failed;
    if (removal == Removal::kept) ++result.kept;
    if (removal != Removal::removed) continue;
    ++result.removed;
    result.bytesRemoved += size;
    const std::size_t separator = lastSeparator(listed);
    if (separator != std::string::npos) touched.insert(listed.substr(0, separator));
  }
  result.foldersRemoved = removeEmptiedFolders(contentRoot, touched);
  return result;
}

bool hasVersionOfSize(const RetiredRecord& record, std::uint64_t size) {
  for (const ShippedVersion& version : record.versions) {
    if (version.size >= 0 && static_cast<std::uint64_t>(version.size) == size) return true;
  }
  return false;
}

// The file is one the releases shipped at its path. The size settles most
// cases without reading; then the record's digest, while its line still
// describes the file as it is; only then the file itself.
bool isShippedContent(const RetiredRecord& record, const CheckedFiles& checked,
                      const FileIdentity& identity, const DigestReader& readDigest) {
  if (!hasVersionOfSize(record, identity.size)) return false;
  const auto line = checked.find(record.path);
  const bool recordHolds = line != checked.end() && line->second.identity == identity;
  const std::string digest = recordHolds ? line->second.sha256 : readDigest();
  for (const ShippedVersion& version : record.versions) {
    const bool sameSize = static_cast<std::uint64_t>(version.size) == identity.size;
    if (sameSize && Sha256::equals(version.sha256, digest)) return true;
  }
  return false;
}

}  // namespace

PruneResult run(const std::string& contentRoot, const std::vector<std::string>& paths,
                const std::set<std::string>& keep) {
  return runOver(
      contentRoot, paths.size(),
      [&paths](std::size_t i, RemovalCheck&) -> const std::string& { return paths[i]; }, keep);
}

PruneResult run(const std::string& contentRoot, const std::vector<RetiredRecord>& retired,
                const std::set<std::string>& keep, const CheckedFiles& checked) {
  auto entry = [&](std::size_t i, RemovalCheck& check) -> const std::string& {
    const RetiredRecord& record = retired[i];
    if (record.versionsNamed) {
      check = [&record, &checked](const FileIdentity& identity, const DigestReader& digest) {
        return isShippedContent(record, checked, identity, digest);
      };
    }
    return record.path;
  };
  return runOver(contentRoot, retired.size(), entry, keep);
}

std::string summary(const PruneResult& result) {
  std::string text =
      std::to_string(result.removed) + " of " + std::to_string(result.listed) +
      " retired file(s) removed (" + std::to_string(result.bytesRemoved / kBytesPerMegabyte) +
      " MB), " + std::to_string(result.foldersRemoved) + " empty folder(s), " +
      std::to_string(result.failed) + " could not be deleted, " +
      std::to_string(result.refused) + " refused";
  // Only lists that name what shipped can keep a file; the text of every
  // other pass stays as launchers have always read it.
  if (result.kept != 0) {
    text += ", " + std::to_string(result.kept) + " kept (not what the pack shipped)";
  }
  return text;
}

}  // namespace vantis::content::prune
