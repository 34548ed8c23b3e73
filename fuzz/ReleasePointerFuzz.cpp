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
  const Result<ReleasePointer> forUpdate = checkPointerForUpdate(body);
  const Result<ReleasePointer> forRemoval = checkPointerForRemoval(body);
  for (const Result<ReleasePointer>* pointer : {&forUpdate, &forRemoval}) {
    if (!*pointer) {
      FUZZ_CHECK(isMessage(pointer->error()));
      continue;
    }
    FUZZ_CHECK(pointer->error().empty());
    FUZZ_CHECK(!(*pointer)->packVersion.empty());
  }
  if (forUpdate) FUZZ_CHECK(forUpdate->sequence >= 0);
  // The removal's reading is the laxer one once the payload says anything.
  if (forUpdate) FUZZ_CHECK(forRemoval.ok());
  return 0;
}
