#include "Tree.h"

#include <stdlib.h>

#include <filesystem>

#include "TempDir.h"

namespace skarvel::test {

namespace fs = std::filesystem;

Tree treeOf(const std::string& dir, const std::string& skip) {
  Tree tree;
  if (!fs::exists(dir)) return tree;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    const std::string relative = fs::relative(entry.path(), dir).string();
    if (!skip.empty() && relative.rfind(skip, 0) == 0) continue;
    tree[relative] = readFile(entry.path().string());
  }
  return tree;
}

Tree installedContent(const std::string& instance) {
  return treeOf(instance + "/content", "cache/");
}

Tree snapshot(const std::string& dir) {
  Tree tree;
  if (!fs::exists(dir)) return tree;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    const std::string relative = fs::relative(entry.path(), dir).string();
    const fs::file_status status = entry.symlink_status();
    if (fs::is_symlink(status)) {
      tree[relative] = "link " + fs::read_symlink(entry.path()).string();
    } else if (fs::is_directory(status)) {
      tree[relative] = "dir";
    } else {
      tree[relative] = "file " + readFile(entry.path().string());
    }
  }
  return tree;
}

std::string differences(const Tree& expected, const Tree& actual) {
  std::string text;
  for (const auto& [path, what] : expected) {
    const auto found = actual.find(path);
    if (found == actual.end()) text += "  missing  " + path + "\n";
    else if (found->second != what) text += "  changed  " + path + "\n";
  }
  for (const auto& entry : actual) {
    if (expected.count(entry.first) == 0) text += "  extra    " + entry.first + "\n";
  }
  return text;
}

void copyTree(const std::string& from, const std::string& to) {
  fs::create_directories(to);
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

ScopedEnv::ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
  if (const char* old = std::getenv(name)) old_ = old;
  if (value) {
    ::setenv(name, value->c_str(), 1);
  } else {
    ::unsetenv(name);
  }
}

ScopedEnv::~ScopedEnv() {
  if (old_) {
    ::setenv(name_, old_->c_str(), 1);
  } else {
    ::unsetenv(name_);
  }
}

}  // namespace skarvel::test
