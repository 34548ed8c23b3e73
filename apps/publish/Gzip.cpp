// zlib's deflate and inflate with a gzip wrapper (window bits 15 + 16), fed
// in steps that fit zlib's 32-bit counters, so blobs of any size compress.

#include "Gzip.h"

#include <zlib.h>

#include <algorithm>

namespace vantis::publish {

namespace {

constexpr int kGzipWindowBits = 15 + 16;
constexpr int kMemoryLevel = 8;
constexpr std::size_t kStep = 1u << 30;

bool deflateAll(z_stream& stream, const unsigned char* data, std::size_t length, std::string& out) {
  std::size_t used = 0;
  int status = Z_OK;
  do {
    const std::size_t input = std::min(kStep, length);
    stream.next_in = const_cast<unsigned char*>(data);
    stream.avail_in = static_cast<uInt>(input);
    data += input;
    length -= input;
    const int flush = length == 0 ? Z_FINISH : Z_NO_FLUSH;
    do {
      if (out.size() - used < 65536)
        out.resize(out.size() + std::max<std::size_t>(65536, out.size() / 2));
      stream.next_out = reinterpret_cast<unsigned char*>(&out[used]);
      stream.avail_out = static_cast<uInt>(std::min(out.size() - used, kStep));
      const uInt before = stream.avail_out;
      status = deflate(&stream, flush);
      used += before - stream.avail_out;
      if (status == Z_STREAM_ERROR) return false;
    } while (stream.avail_out == 0 || (flush == Z_FINISH && status != Z_STREAM_END));
  } while (length > 0);
  out.resize(used);
  return status == Z_STREAM_END;
}

// Inflates until the member ends (true, when no input is left after it),
// the input runs out, the stream turns out damaged, or the output would pass
// `maxBytes`. zlib answers Z_BUF_ERROR once it can make no progress, which
// with space left for output means the stream was cut off.
bool inflateMember(z_stream& stream, const std::string& packed, std::uint64_t maxBytes,
                   std::string& out) {
  std::size_t consumed = 0;
  int status = Z_OK;
  char buffer[65536];
  while (status == Z_OK) {
    if (stream.avail_in == 0 && consumed < packed.size()) {
      const std::size_t input = std::min(kStep, packed.size() - consumed);
      stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data() + consumed));
      stream.avail_in = static_cast<uInt>(input);
      consumed += input;
    }
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    status = inflate(&stream, Z_NO_FLUSH);
    const std::size_t produced = sizeof buffer - stream.avail_out;
    if (out.size() + produced > maxBytes) return false;
    out.append(buffer, produced);
  }
  return status == Z_STREAM_END && stream.avail_in == 0 && consumed == packed.size();
}

}  // namespace

bool gzipCompress(const void* data, std::size_t length, int level, std::string& out) {
  z_stream stream{};
  if (deflateInit2(&stream, level, Z_DEFLATED, kGzipWindowBits, kMemoryLevel, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    return false;
  }
  out.clear();
  out.resize(deflateBound(&stream, static_cast<uLong>(std::min(length, kStep))) + 64);
  const bool ok = deflateAll(stream, static_cast<const unsigned char*>(data), length, out);
  deflateEnd(&stream);
  return ok;
}

bool gzipDecompress(const std::string& packed, std::uint64_t maxBytes, std::string& out) {
  out.clear();
  z_stream stream{};
  if (inflateInit2(&stream, kGzipWindowBits) != Z_OK) return false;
  const bool whole = inflateMember(stream, packed, maxBytes, out);
  inflateEnd(&stream);
  return whole;
}

}  // namespace vantis::publish
