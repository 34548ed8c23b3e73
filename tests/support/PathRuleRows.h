// The rows every copy of the lists' path rule is held to: the release
// format's own rule and the bootstrap's copy of it (which shares no code with
// the synchroniser by design). One table, so the copies cannot drift apart.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace skarvel::test {

// (path, whether the rule accepts it).
inline const std::vector<std::pair<std::string, bool>>& pathRuleRows() {
  static const std::vector<std::pair<std::string, bool>> rows = {
      {"a", true},
      {"a/b", true},
      {"a\\b", true},
      {"a//b", true},
      {"a/", true},
      {"mods/x/y.esp", true},
      {"console.txt", true},
      {"com10", true},
      {"lpt", true},
      {"a.b.c", true},
      {"caf\xc3\xa9/\xff", true},
      {".hidden", true},
      {"..a", true},
      {std::string(400, 'x'), true},
      {"dir/conx.txt", true},
      {"", false},
      {std::string(401, 'x'), false},
      {"/etc/passwd", false},
      {"\\x", false},
      {"\\\\server\\share", false},
      {"..\\x", false},
      {"a/../b", false},
      {"../../.config/autostart/evil.desktop", false},
      {"a/./b", false},
      {"./a", false},
      {".", false},
      {"..", false},
      {"x/..", false},
      {"a/b/.", false},
      {"a:b", false},
      {"C:/x", false},
      {"dir./f", false},
      {"name ", false},
      {"a/b /c", false},
      {"nul.txt", false},
      {"Con.txt", false},
      {"AUX", false},
      {"com1.tar.gz", false},
      {"x/LPT9", false},
      {"x|y", false},
      {"a\"b", false},
      {"a*b", false},
      {"a<b", false},
      {"a>b", false},
      {"a?b", false},
      {std::string("a\0b", 3), false},
      {"a\tb", false},
      {std::string("a\x01") + "b", false},
      {std::string("a\x1f") + "b", false},
  };
  return rows;
}

}  // namespace skarvel::test
