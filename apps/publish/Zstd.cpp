// libzstd's one-shot compressor and its streaming decoder. The decoder is fed
// the whole object but drains into a fixed buffer, so the bound on the
// output is checked before memory grows past it.

#include "Zstd.h"

#include <zstd.h>

#include <memory>

namespace vantis::publish {

namespace {

struct CompressContextFree {
  void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};
struct DecompressContextFree {
  void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

bool failed(std::size_t code) { return ZSTD_isError(code) != 0; }

// A frame of data, not a skippable frame (whose magic number differs and
// which zstd's own checks also accept as a frame).
bool startsDataFrame(const std::string& head) {
  if (head.size() < 4) return false;
  std::uint32_t magic = 0;
  for (std::size_t i = 4; i > 0; --i) magic = (magic << 8) | static_cast<unsigned char>(head[i - 1]);
  return magic == ZSTD_MAGICNUMBER;
}

// Runs the frame through the decoder until it ends. The decoder answers 0
// exactly when a frame is complete; input left then is a second frame or
// trailing bytes, and input running out before that is a cut-off frame.
bool decodeFrame(ZSTD_DCtx* context, const std::string& packed, std::uint64_t maxBytes,
                 std::string& out) {
  ZSTD_inBuffer input{packed.data(), packed.size(), 0};
  char buffer[65536];
  std::size_t status = 1;
  while (status != 0) {
    ZSTD_outBuffer output{buffer, sizeof buffer, 0};
    const std::size_t before = input.pos;
    status = ZSTD_decompressStream(context, &output, &input);
    if (failed(status) || out.size() + output.pos > maxBytes) return false;
    out.append(buffer, output.pos);
    // Neither input taken nor output given: the frame was cut off.
    const bool stuck = input.pos == before && output.pos == 0;
    if (status != 0 && stuck) return false;
  }
  return input.pos == input.size;
}

}  // namespace

bool zstdCompress(const void* data, std::size_t length, int level, std::string& out) {
  if (level < kMinZstdLevel || level > kMaxZstdLevel) return false;
  const std::unique_ptr<ZSTD_CCtx, CompressContextFree> context(ZSTD_createCCtx());
  // The size in the header and no checksum, set explicitly rather than left
  // to the library's defaults: the size lets "diff" read an object's decoded
  // size without decoding it, and the object's name already checks its bytes.
  // The default single-threaded compressor keeps equal input to equal output.
  if (!context || failed(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, level)) ||
      failed(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_contentSizeFlag, 1)) ||
      failed(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 0))) {
    return false;
  }
  out.resize(ZSTD_compressBound(length));
  const std::size_t written = ZSTD_compress2(context.get(), &out[0], out.size(), data, length);
  if (failed(written)) return false;
  out.resize(written);
  return true;
}

bool zstdDecompress(const std::string& packed, std::uint64_t maxBytes, std::string& out) {
  out.clear();
  std::uint64_t declared = 0;
  if (!zstdDecodedSize(packed, declared) || declared > maxBytes) return false;
  const std::unique_ptr<ZSTD_DCtx, DecompressContextFree> context(ZSTD_createDCtx());
  if (!context) return false;
  out.reserve(static_cast<std::size_t>(declared));
  return decodeFrame(context.get(), packed, maxBytes, out) && out.size() == declared;
}

bool zstdDecodedSize(const std::string& head, std::uint64_t& size) {
  if (!startsDataFrame(head)) return false;
  const std::size_t looked = head.size() < kZstdHeaderBytes ? head.size() : kZstdHeaderBytes;
  const unsigned long long stated = ZSTD_getFrameContentSize(head.data(), looked);
  const bool known = stated != ZSTD_CONTENTSIZE_UNKNOWN && stated != ZSTD_CONTENTSIZE_ERROR;
  if (!known) return false;
  size = stated;
  return true;
}

}  // namespace vantis::publish
