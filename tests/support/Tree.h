// Whole-tree helpers for tests that compare an instance with a release, or a
// folder before and after a run, byte for byte.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace skarvel::test {

// Relative path -> what is there.
using Tree = std::map<std::string, std::string>;

// Every regular file below `dir` (relative path -> bytes), skipping paths
// that start with `skip`. Empty when `dir` does not exist.
Tree treeOf(const std::string& dir, const std::string& skip = "");

// The installed content of an instance: its "content" folder without the
// synchroniser's own "cache".
Tree installedContent(const std::string& instance);

// Every entry below `dir`, links not followed: a file as "file " + its
// bytes, a folder as "dir", a link as "link " + its target. For a folder
// compared before and after a run, where a folder that went or a link that
// became a file is a change too. Empty when `dir` does not exist.
Tree snapshot(const std::string& dir);

// Every path that differs, one line each ("  missing  a", "  changed  b",
// "  extra    c"), so that a failure names what was installed or lost
// instead of printing two trees. Empty when the trees are the same.
std::string differences(const Tree& expected, const Tree& actual);

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
