// Whole-tree helpers for tests that compare an instance with a release, or a
// folder before and after a run, byte for byte.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace skarvel::test {

// Every regular file below `dir` (relative path -> bytes), skipping paths
// that start with `skip`. Empty when `dir` does not exist.
std::map<std::string, std::string> treeOf(const std::string& dir, const std::string& skip = "");

// The installed content of an instance: its "content" folder without the
// synchroniser's own "cache".
std::map<std::string, std::string> installedContent(const std::string& instance);

// Copies `from` into `to` (created), overwriting files of the same name.
void copyTree(const std::string& from, const std::string& to);

// Sets (or, given nothing, unsets) one environment variable for a test and
// puts back what was there before, so that no test leaks its HOME into the
// next.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

}  // namespace skarvel::test
