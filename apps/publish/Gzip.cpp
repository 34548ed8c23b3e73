// zlib's deflate with a gzip wrapper (window bits 15 + 16), fed in steps
// that fit zlib's 32-bit counters, so blobs of any size compress.

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

}  // namespace vantis::publish
