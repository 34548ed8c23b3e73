// Scanning and classifying release content. The path rules are applied
// here, before anything is hashed or written, so a bad tree is refused
// while the server folder is still untouched.

#include "Content.h"

#include <map>

#include "Files.h"
#include "SafePath.h"

namespace vantis::publish {

namespace {

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool scanFolder(const std::string& dir, const char* what, bool overhaul, Content& out,
                std::string& error) {
  if (!isDirectory(dir)) {
    error = std::string("the ") + what + " content folder " + dir + " does not exist";
    return false;
  }
  std::vector<TreeFile> files;
  if (!listTree(dir, files, error)) return false;
  for (const TreeFile& file : files) {
    std::string reason;
    if (!publishablePath(file.relative, reason)) {
      error = "cannot publish " + file.absolute + ": " + reason;
      return false;
    }
    SourceFile source;
    source.path = file.relative;
    source.absolute = file.absolute;
    source.size = file.size;
    source.id = file.id;
    source.overhaul = overhaul;
    out.sources.push_back(source);
  }
  return true;
}

}  // namespace

bool scanContent(const std::string& requiredDir, const std::string& overhaulDir, Content& out,
                 std::string& error) {
  out = Content();
  if (!scanFolder(requiredDir, "required", false, out, error)) return false;
  const std::size_t requiredCount = out.sources.size();
  if (requiredCount == 0) {
    // Publishing nothing would retire every file players have.
    error = "the required content folder " + requiredDir + " holds no files";
    return false;
  }
  if (!overhaulDir.empty() && !scanFolder(overhaulDir, "optional", true, out, error)) return false;
  // Both folders come back sorted by path; the map keeps the tier sorted and
  // lets the Overhaul's file replace the required one of the same path.
  std::map<std::string, std::size_t> optional;
  for (std::size_t i = 0; i < out.sources.size(); ++i) {
    if (i < requiredCount) out.required.push_back(i);
    optional[out.sources[i].path] = i;
  }
  for (const auto& entry : optional) out.optional.push_back(entry.second);
  return true;
}

std::string targetOf(const std::string& path) {
  const bool program = startsWith(path, "bin/") || path == "resources/version";
  return program ? "binary" : "instance";
}

std::string platformOf(const std::string& path) {
  return startsWith(path, "bin/") ? "linux" : std::string();
}

std::string modFolderOf(const std::string& path) {
  const std::size_t first = path.find('/');
  if (first == std::string::npos) return std::string();
  const std::string top = path.substr(0, first);
  if (top != "mods") return top;
  const std::size_t second = path.find('/', first + 1);
  if (second == std::string::npos) return top;
  return path.substr(0, second);
}

}  // namespace vantis::publish
