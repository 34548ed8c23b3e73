// Fuzzes the release pointer check, the first thing the synchroniser does
// with bytes from the server, with both readers' rules. Mutated inputs
// almost never carry a valid signature, so most runs end at the signature
// check; the seed corpus holds a genuinely signed pointer so that the
// checks after it are reached too. Beyond the sanitizers: a refused pointer
// yields nothing but its message, and an accepted one is complete.

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "protocol/SyncPointer.h"

using namespace vantis::content;

namespace {

// A sentence of its own, or the sync reader's sentence around a parser
// message (which ends without a full stop).
bool isMessage(const std::string& error) {
  static const std::string kParserPrefix = "The release pointer was malformed: ";
  if (error.compare(0, kParserPrefix.size(), kParserPrefix) == 0) {
    return error.size() > kParserPrefix.size();
  }
  return !error.empty() && error.back() == '.';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto body = skarvel::fuzz::bytesOf(data, size);
  for (ReleaseReader reader : {ReleaseReader::sync, ReleaseReader::overhaul}) {
    const ReleasePointer pointer = checkReleasePointer(body, reader);
    if (!pointer.ok) {
      FUZZ_CHECK(isMessage(pointer.error));
      FUZZ_CHECK(pointer.payload.kind == JsonValue::Kind::Null);
      FUZZ_CHECK(pointer.packVersion.empty() && pointer.sequence == -1);
      FUZZ_CHECK(pointer.manifestPath.empty() && pointer.manifestSha256.empty());
      continue;
    }
    FUZZ_CHECK(pointer.error.empty());
    FUZZ_CHECK(!pointer.packVersion.empty());
    FUZZ_CHECK(pointer.payload.kind != JsonValue::Kind::Null);
    if (reader == ReleaseReader::sync) FUZZ_CHECK(pointer.sequence >= 0);
  }
  return 0;
}
