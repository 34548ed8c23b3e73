// Fuzzes the bootstrap's readers of the launcher settings, the layout file
// and its own executable path: texts that other programs and the kernel
// write. Each must accept any bytes and answer with one of the values the
// start-up can act on.

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "InstallText.h"

using namespace vantis::bootstrap;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = skarvel::fuzz::textOf(data, size);

  const std::string channel = channelFromSettings(text);
  FUZZ_CHECK(channel == "live" || channel == "dev");
  if (channel == "dev") FUZZ_CHECK(text.find("server=dev") != std::string::npos);

  (void)layoutVersionFromText(text);
  // Only the first 32 bytes count: what follows them changes nothing.
  if (text.size() > 32) {
    FUZZ_CHECK(layoutVersionFromText(text) == layoutVersionFromText(text.substr(0, 32)));
  }

  const std::string exe = stripExeSuffixes(text);
  FUZZ_CHECK(exe.size() <= text.size() && text.compare(0, exe.size(), exe) == 0);
  const std::string folder = installDirOf(exe);
  FUZZ_CHECK(folder.size() < exe.size() || folder.empty());
  if (!folder.empty()) FUZZ_CHECK(exe[folder.size()] == '/');
  return 0;
}
