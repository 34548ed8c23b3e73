// Fuzzes the reply body decoder, the first code to touch what a server sends
// as gzip or zstd. The first byte picks the encoding and how the rest is cut
// into pieces, as a network would cut it. Beyond memory safety it holds the
// decoder to the promises the client relies on: once the sink says stop
// (the size bound), the feed fails and the body is never complete; a feed
// that failed is never followed by a complete body; and a decoder started
// again owes nothing to the body before (the same input decodes the same).

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "http/BodyDecoder.h"

using namespace vantis::content;

namespace {

// Decoded bytes beyond this are refused, as the client's size bound would.
constexpr std::size_t kBound = 1 << 20;

struct Outcome {
  bool fed = true;
  bool complete = false;
  bool bounded = false;  // the sink refused bytes beyond the bound
  std::string decoded;
};

Outcome decode(BodyDecoder& decoder, BodyEncoding encoding, std::size_t piece,
               const std::uint8_t* data, std::size_t size) {
  Outcome outcome;
  decoder.start(encoding);
  const DecodedSink sink = [&outcome](const std::uint8_t* bytes, std::size_t count) {
    if (outcome.decoded.size() + count > kBound) {
      outcome.bounded = true;
      return false;
    }
    outcome.decoded.append(reinterpret_cast<const char*>(bytes), count);
    return true;
  };
  for (std::size_t at = 0; at < size && outcome.fed; at += piece) {
    outcome.fed = decoder.feed(data + at, std::min(piece, size - at), sink);
  }
  outcome.complete = decoder.complete();
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const BodyEncoding encoding = data[0] & 1 ? BodyEncoding::zstd : BodyEncoding::gzip;
  const std::size_t piece = 1 + (data[0] >> 1) * 97;
  BodyDecoder decoder;
  const Outcome first = decode(decoder, encoding, piece, data + 1, size - 1);
  FUZZ_CHECK(first.decoded.size() <= kBound);
  FUZZ_CHECK(!first.bounded || !first.fed);
  FUZZ_CHECK(first.fed || !first.complete);
  const Outcome again = decode(decoder, encoding, size, data + 1, size - 1);
  FUZZ_CHECK(again.fed == first.fed || first.bounded || again.bounded);
  FUZZ_CHECK(!first.fed || !again.fed || again.decoded == first.decoded);
  FUZZ_CHECK(!first.fed || !again.fed || again.complete == first.complete);
  return 0;
}
