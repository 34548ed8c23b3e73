// What the fuzz targets share: a check that stops the run with a message
// when a reader breaks one of its own promises (libFuzzer then keeps the
// input as a crash), an empty scratch folder for the readers that look at
// the disk, and a way to turn fuzz bytes into a text or a byte vector.
//
// Fuzz code only; one fuzzer process runs one input at a time, so nothing
// here is guarded. Nothing here is a test helper: the regression tests keep
// their inputs inline.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace skarvel::fuzz {

// A broken promise is as much a finding as a sanitizer report: abort, so
// that libFuzzer writes the input out as a crash.
#define FUZZ_CHECK(condition)                                                      \
  do {                                                                             \
    if (!(condition)) {                                                            \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__,        \
                   #condition);                                                    \
      std::abort();                                                                \
    }                                                                              \
  } while (false)

inline std::string textOf(const std::uint8_t* data, std::size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

inline std::vector<unsigned char> bytesOf(const std::uint8_t* data, std::size_t size) {
  return std::vector<unsigned char>(data, data + size);
}

// Where scratch folders go: $TMPDIR when set, else /dev/shm when there is
// one, since the targets that write a file per input run several times
// faster on a memory file system than on a disk, else the system's
// temporary folder.
inline std::filesystem::path baseFolder() {
  const char* configured = std::getenv("TMPDIR");
  if (configured != nullptr && *configured != '\0') return configured;
  std::error_code ignored;
  if (std::filesystem::is_directory("/dev/shm", ignored)) return "/dev/shm";
  std::filesystem::path fallback = std::filesystem::temp_directory_path(ignored);
  return fallback.empty() ? std::filesystem::path("/tmp") : fallback;
}

// An empty folder under `baseFolder`, made on first use and removed with its
// contents when the process exits normally (libFuzzer exits normally at the
// end of -max_total_time and -runs). A crash leaves it behind, which is the
// least of that run's problems.
inline const std::string& scratchFolder() {
  static const std::string folder = [] {
    std::filesystem::path base = baseFolder();
    std::string pattern = (base / "skarvel-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    return pattern;
  }();
  static const bool registered = [] {
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(folder, ignored);
    });
    return true;
  }();
  (void)registered;
  return folder;
}

}  // namespace skarvel::fuzz
