#include "Tree.h"

#include <stdlib.h>

#include <filesystem>

#include "TempDir.h"

namespace skarvel::test {

namespace fs = std::filesystem;

std::map<std::string, std::string> treeOf(const std::string& dir, const std::string& skip) {
  std::map<std::string, std::string> tree;
  if (!fs::exists(dir)) return tree;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    const std::string relative = fs::relative(entry.path(), dir).string();
    if (!skip.empty() && relative.rfind(skip, 0) == 0) continue;
    tree[relative] = readFile(entry.path().string());
  }
  return tree;
}

std::map<std::string, std::string> installedContent(const std::string& instance) {
  return treeOf(instance + "/content", "cache/");
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
