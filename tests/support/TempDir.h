// A temporary folder for one test, removed with everything in it when the
// object goes out of scope. Tests that touch the disk build their trees in
// one, never in the source or build folder.
#pragma once

#include <cstddef>
#include <string>

namespace skarvel::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + relative.
  std::string file(const std::string& relative) const;

 private:
  std::string path_;
};

// Writes `data` to `path`, creating parent folders. Aborts the test on failure.
void writeFile(const std::string& path, const std::string& data);
// The whole file, or "<missing>" when it cannot be read.
std::string readFile(const std::string& path);
bool exists(const std::string& path);
// `size` bytes that never repeat within a file and differ between seeds, so
// that a shifted or mixed-up copy never passes for the right one.
std::string patterned(std::size_t size, unsigned seed);

}  // namespace skarvel::test
