// The reply body decoder: gzip and zstd bodies as servers send them, whole
// and split at every byte, and the bodies it must refuse or call unfinished.

#include "http/BodyDecoder.h"

#include <gtest/gtest.h>
#include <zlib.h>
#include <zstd.h>

#include <string>
#include <vector>

#include "HandRelease.h"

namespace vantis::content {
namespace {

using skarvel::test::gzipBytes;

std::string patterned(std::size_t size) {
  std::string text;
  for (std::size_t i = 0; text.size() < size; ++i) text += "line " + std::to_string(i * 7919) + "\n";
  text.resize(size);
  return text;
}

std::string rawDeflate(const std::string& data) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, data.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string littleEndian32(std::uint32_t value) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xff);
  return bytes;
}

// A member with every optional header field: extra, name, comment, header CRC.
std::string gzipWithEveryField(const std::string& data) {
  std::string member("\x1f\x8b\x08\x1e\0\0\0\0\0\x03", 10);
  member += std::string("\x04\0ab\0\0", 6);  // an extra field of four bytes, two of them zero
  member += std::string("name.bin\0", 9) + std::string("a comment\0", 10) + "hc";
  const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(data.data()),
                          static_cast<uInt>(data.size()));
  return member + rawDeflate(data) + littleEndian32(static_cast<std::uint32_t>(crc)) +
         littleEndian32(static_cast<std::uint32_t>(data.size()));
}

std::string zstdFrame(const std::string& data) {
  std::string out(ZSTD_compressBound(data.size()), '\0');
  out.resize(ZSTD_compress(out.data(), out.size(), data.data(), data.size(), 3));
  return out;
}

// A frame that declares a 32 MiB window: streamed, so its size is unknown.
std::string zstdWideWindowFrame(const std::string& data) {
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, 25);
  std::string out(ZSTD_compressBound(data.size()) + 64, '\0');
  ZSTD_outBuffer output{out.data(), out.size(), 0};
  ZSTD_inBuffer input{data.data(), data.size(), 0};
  ZSTD_compressStream2(context, &output, &input, ZSTD_e_continue);
  ZSTD_inBuffer none{nullptr, 0, 0};
  while (ZSTD_compressStream2(context, &output, &none, ZSTD_e_end) != 0) {
  }
  ZSTD_freeCCtx(context);
  out.resize(output.pos);
  return out;
}

struct Decoded {
  bool fed = true;
  bool complete = false;
  std::string bytes;
};

// Feeds `body` in pieces of `step` bytes (all at once for 0).
Decoded decode(BodyEncoding encoding, const std::string& body, std::size_t step) {
  BodyDecoder decoder;
  decoder.start(encoding);
  Decoded result;
  const DecodedSink sink = [&result](const std::uint8_t* data, std::size_t size) {
    result.bytes.append(reinterpret_cast<const char*>(data), size);
    return true;
  };
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(body.data());
  const std::size_t piece = step == 0 ? body.size() : step;
  for (std::size_t at = 0; at < body.size() && result.fed; at += piece) {
    result.fed = decoder.feed(bytes + at, std::min(piece, body.size() - at), sink);
  }
  result.complete = decoder.complete();
  return result;
}

struct DecodeCase {
  const char* name;
  BodyEncoding encoding;
  std::string body;
  std::string expected;  // the decoded bytes when it decodes
  bool fed;              // every piece was taken
  bool complete;         // and the body may end there
};

TEST(BodyDecoder, DecodesWhatServersSendAndRefusesTheRest) {
  const std::string small = patterned(3000);
  const std::string large = patterned(700000);  // several output stretches
  const std::string gzipped = gzipBytes(small);
  const std::string wrongLength = gzipped.substr(0, gzipped.size() - 4) + littleEndian32(2999);
  std::string reserved = gzipped;
  reserved[3] = '\x20';
  const std::string zstd = zstdFrame(small);
  // The format's early-version magic number on a frame, and a skippable
  // frame of three bytes.
  const std::string earlyVersion = "\x27" + zstd.substr(1);
  const std::string skippable = std::string("\x50\x2a\x4d\x18\x03\0\0\0abc", 11);
  // A frame's header whose bytes after the magic number read as a whole
  // skippable frame: the frame goes on, whether its header arrives in one
  // piece or in several.
  const std::string headerLikeAFrame =
      std::string("\x28\xb5\x2f\xfd", 4) + skippable.substr(0, 4) + std::string(8, '\0');
  // Bytes deflate cannot shrink go out as stored blocks.
  std::string noise(200000, '\0');
  for (std::size_t i = 0, x = 12345; i < noise.size(); ++i) {
    x = x * 6364136223846793005u + 1442695040888963407u;
    noise[i] = static_cast<char>(x >> 56);
  }
  // A member whose deflate stream is damaged in its middle.
  std::string damaged = gzipBytes(large);
  for (std::size_t i = 100; i < 140; ++i) damaged[i] = '\xff';
  const DecodeCase cases[] = {
      {"identity", BodyEncoding::identity, small, small, true, true},
      {"gzip", BodyEncoding::gzip, gzipped, small, true, true},
      {"gzip, large", BodyEncoding::gzip, gzipBytes(large), large, true, true},
      {"gzip with every header field", BodyEncoding::gzip, gzipWithEveryField(small), small, true,
       true},
      {"two gzip members", BodyEncoding::gzip, gzipped + gzipBytes(large), small + large, true,
       true},
      {"gzip of stored blocks, then another member", BodyEncoding::gzip,
       gzipBytes(noise) + gzipped, noise + small, true, true},
      {"gzip, nothing sent", BodyEncoding::gzip, "", "", true, true},
      {"zstd", BodyEncoding::zstd, zstd, small, true, true},
      {"zstd, large", BodyEncoding::zstd, zstdFrame(large), large, true, true},
      {"two zstd frames", BodyEncoding::zstd, zstd + zstdFrame(large), small + large, true, true},
      {"gzip cut short", BodyEncoding::gzip, gzipped.substr(0, gzipped.size() - 3), small, true,
       false},
      {"gzip header cut short", BodyEncoding::gzip, gzipWithEveryField(small).substr(0, 20), "",
       true, false},
      {"zstd cut short", BodyEncoding::zstd, zstd.substr(0, zstd.size() - 3), "", true, false},
      {"zstd cut inside a magic number", BodyEncoding::zstd, zstd + zstd.substr(0, 2), small,
       true, false},
      {"a skippable frame, then zstd", BodyEncoding::zstd, skippable + zstd, small, true, true},
      {"zstd whose header holds a frame", BodyEncoding::zstd, headerLikeAFrame, "", true, false},
      {"zstd of the format's early versions", BodyEncoding::zstd, earlyVersion, "", false, false},
      {"gzip stating another length", BodyEncoding::gzip, wrongLength, "", false, false},
      {"gzip with bytes after it", BodyEncoding::gzip, gzipped + "junk", "", false, false},
      {"not gzip", BodyEncoding::gzip, small, "", false, false},
      {"gzip with a damaged deflate stream", BodyEncoding::gzip, damaged, "", false, false},
      {"gzip with a reserved flag", BodyEncoding::gzip, reserved, "", false, false},
      {"not zstd", BodyEncoding::zstd, small, "", false, false},
      {"zstd wanting a window over 8 MiB", BodyEncoding::zstd, zstdWideWindowFrame(large), "",
       false, false},
      {"an unknown encoding", BodyEncoding::unknown, gzipped, "", false, false},
  };
  for (const DecodeCase& c : cases) {
    for (const std::size_t step : {std::size_t{0}, std::size_t{1}, std::size_t{4093}}) {
      const Decoded decoded = decode(c.encoding, c.body, step);
      const std::string where = std::string(c.name) + ", pieces of " + std::to_string(step);
      EXPECT_EQ(decoded.fed, c.fed) << where;
      EXPECT_EQ(decoded.complete, c.complete) << where;
      const bool compare = c.fed && (c.complete || !c.expected.empty());
      if (compare) {
        EXPECT_TRUE(decoded.bytes == c.expected) << where;
      }
    }
  }
}

TEST(BodyDecoder, StopsWhenTheSinkSaysSoAndStartsAfresh) {
  BodyDecoder decoder;
  const std::string body = gzipBytes(patterned(500000));
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(body.data());
  std::size_t handed = 0;
  const DecodedSink refuse = [&handed](const std::uint8_t*, std::size_t size) {
    handed += size;
    return false;
  };
  decoder.start(BodyEncoding::gzip);
  EXPECT_FALSE(decoder.feed(bytes, body.size(), refuse));
  EXPECT_LT(handed, 500000u);
  // The same decoder, reused for the next reply, owes nothing to the last.
  std::string out;
  const DecodedSink keep = [&out](const std::uint8_t* data, std::size_t size) {
    out.append(reinterpret_cast<const char*>(data), size);
    return true;
  };
  decoder.start(BodyEncoding::gzip);
  EXPECT_TRUE(decoder.feed(bytes, body.size(), keep));
  EXPECT_TRUE(decoder.complete());
  EXPECT_TRUE(out == patterned(500000));
}

TEST(BodyEncodingNamed, ReadsHeaderValues) {
  const std::pair<const char*, BodyEncoding> rows[] = {
      {"", BodyEncoding::identity},         {"identity", BodyEncoding::identity},
      {"gzip", BodyEncoding::gzip},         {" GZip \r\n", BodyEncoding::gzip},
      {"x-gzip", BodyEncoding::gzip},       {"zstd", BodyEncoding::zstd},
      {"br", BodyEncoding::unknown},        {"gzip, zstd", BodyEncoding::unknown},
      {"deflate", BodyEncoding::unknown},
  };
  for (const auto& [value, encoding] : rows) {
    EXPECT_EQ(bodyEncodingNamed(value), encoding) << "\"" << value << "\"";
  }
}

}  // namespace
}  // namespace vantis::content
