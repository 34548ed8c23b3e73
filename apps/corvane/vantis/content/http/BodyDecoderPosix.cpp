// The body decoder over ISA-L's inflate (raw deflate, the gzip framing read
// here) and libzstd (a streaming decompression context kept from reply to
// reply). A first install inflates every byte of the pack, and on a release's
// bundles ISA-L's inflate runs about half again as fast as zlib's, streaming
// as zlib does: a whole-buffer inflater would have to hold each compressed
// body beside its decoded one, six of them at once.

#include "http/BodyDecoder.h"

#include <isa-l/igzip_lib.h>
#include <zstd.h>

#include <algorithm>
#include <cctype>
#include <vector>

namespace vantis::content {

namespace {

// Decoded bytes are handed on in stretches of this size: one allocation for
// the client's life, and few calls per object.
constexpr std::size_t kOutBytes = 128 << 10;
// HTTP's zstd coding allows a window of 8 MiB at most, and the publisher's
// levels never ask for more; a frame asking for more would take memory a
// server should not be able to claim.
constexpr int kZstdWindowLogMax = 23;
// A gzip header is ten bytes plus the optional name, comment and extra
// field; one longer than this is not a reply body.
constexpr std::size_t kMaxGzipHeader = 64 << 10;
constexpr std::size_t kGzipTrailer = 8;

constexpr std::uint8_t kGzipHeaderCrc = 2, kGzipExtra = 4, kGzipName = 8,
                       kGzipComment = 16, kGzipReserved = 0xe0;

// Where the zero-terminated field starting at `at` ends (one past its zero),
// or 0 when its end has not arrived.
std::size_t afterZero(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  const auto zero = std::find(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end(), 0);
  return zero == bytes.end() ? 0 : static_cast<std::size_t>(zero - bytes.begin()) + 1;
}

// The leading bytes are the fixed part of a deflate member's header, as
// far as they have arrived.
bool gzipStartValid(const std::vector<std::uint8_t>& bytes) {
  const std::size_t n = bytes.size();
  if (n >= 1 && bytes[0] != 0x1f) return false;
  if (n >= 2 && bytes[1] != 0x8b) return false;
  if (n >= 3 && bytes[2] != 8) return false;  // deflate, the only method there is
  return n < 4 || (bytes[3] & kGzipReserved) == 0;
}

// The length of the whole member header at the start of `bytes`; 0 while
// it has not all arrived. Only call once gzipStartValid holds.
std::size_t gzipHeaderLength(const std::vector<std::uint8_t>& bytes) {
  const std::size_t n = bytes.size();
  if (n < 10) return 0;
  const std::uint8_t flags = bytes[3];
  std::size_t at = 10;
  if (flags & kGzipExtra) {
    if (n < at + 2) return 0;
    at += 2 + (bytes[at] | (static_cast<std::size_t>(bytes[at + 1]) << 8));
    if (n < at) return 0;
  }
  for (const std::uint8_t text : {kGzipName, kGzipComment}) {
    if ((flags & text) == 0) continue;
    at = afterZero(bytes, at);
    if (at == 0) return 0;
  }
  if (flags & kGzipHeaderCrc) at += 2;
  return n < at ? 0 : at;
}

std::uint32_t littleEndian32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::string trimmedLower(const std::string& value) {
  const std::size_t begin = value.find_first_not_of(" \t");
  if (begin == std::string::npos) return std::string();
  const std::size_t end = value.find_last_not_of(" \t\r\n");
  std::string text = value.substr(begin, end - begin + 1);
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The inflater reads ahead into a bit buffer of up to eight bytes, and at
// the stream's end it keeps there what it took past it: the trailer's first
// bytes, whole, above the last deflate byte's padding. They go to `into`, in
// order, as if never read; they may have arrived in an earlier stretch.
void takeReadAhead(inflate_state& inflater, std::vector<std::uint8_t>& into) {
  const int bits = std::max(inflater.read_in_length, 0);
  std::uint64_t buffered = inflater.read_in >> (bits % 8);
  for (int n = bits / 8; n > 0; --n, buffered >>= 8) {
    into.push_back(static_cast<std::uint8_t>(buffered));
  }
  inflater.read_in = 0;
  inflater.read_in_length = 0;
}

// Inflates what it can of `size` bytes at `data` into `sink`, through `out`:
// `used` says how many it took, `ended` whether the deflate stream ended
// there, in which case `readAhead` holds the bytes after it the inflater
// took. False on bytes that are not deflate, or when the sink said stop.
bool inflateSome(inflate_state& inflater, std::vector<std::uint8_t>& out,
                 std::uint32_t& memberLength, const std::uint8_t* data, std::size_t size,
                 const DecodedSink& sink, std::size_t& used, bool& ended,
                 std::vector<std::uint8_t>& readAhead) {
  inflater.next_in = const_cast<std::uint8_t*>(data);
  inflater.avail_in = static_cast<std::uint32_t>(std::min<std::size_t>(size, 1u << 30));
  const std::uint32_t offered = inflater.avail_in;
  for (;;) {
    inflater.next_out = out.data();
    inflater.avail_out = static_cast<std::uint32_t>(out.size());
    const std::uint32_t before = inflater.avail_in;
    const int result = isal_inflate(&inflater);
    const std::size_t produced = out.size() - inflater.avail_out;
    memberLength += static_cast<std::uint32_t>(produced);
    if (produced > 0 && !sink(out.data(), produced)) return false;
    if (result < 0) return false;
    ended = inflater.block_state == ISAL_BLOCK_FINISH;
    // Stop at the member's end, or once the input is used up and the output
    // not filled. A call that moves nothing while bytes wait would only be
    // made again: such bytes are refused rather than looped on.
    const bool moved = produced > 0 || inflater.avail_in != before;
    const bool drained = inflater.avail_in == 0 && inflater.avail_out != 0;
    if (ended || drained) break;
    if (!moved) return false;
  }
  used = offered - inflater.avail_in;
  if (ended) takeReadAhead(inflater, readAhead);
  return true;
}

// What opens a zstd frame: its magic number, little-endian. HTTP's zstd
// coding is the format's frames, the standard one or a skippable one; the
// library also reads the frames of its early versions, which a publisher
// never writes and which, fed in pieces, do not decode as they do whole.
constexpr std::size_t kZstdMagicBytes = 4;
constexpr std::uint32_t kZstdFrameMagic = 0xFD2FB528u;
constexpr std::uint32_t kZstdSkippableMagic = 0x184D2A50u;  // to 0x184D2A5F

bool zstdFrameAllowed(const std::uint8_t* magic) {
  const std::uint32_t value = littleEndian32(magic);
  return value == kZstdFrameMagic || (value & 0xFFFFFFF0u) == kZstdSkippableMagic;
}

// How many bytes of a frame's start are gathered before libzstd sees any of
// it: the magic number and, for a standard frame, the whole header. Once a
// header is whole, libzstd checks whether the frame lies whole in the input
// of that call, looking for it from where that input starts: a header fed
// in two calls would have the bytes after its first part taken for a frame
// of their own, and a body would decode differently cut than whole.
std::size_t zstdFrameOpening(const std::vector<std::uint8_t>& gathered) {
  const std::size_t descriptorAt = kZstdMagicBytes;
  if (gathered.size() < descriptorAt) return descriptorAt;
  if (littleEndian32(gathered.data()) != kZstdFrameMagic) return descriptorAt;
  if (gathered.size() == descriptorAt) return descriptorAt + 1;
  static constexpr std::size_t kDictionaryIdBytes[] = {0, 1, 2, 4};
  static constexpr std::size_t kContentSizeBytes[] = {0, 2, 4, 8};
  const std::uint8_t descriptor = gathered[descriptorAt];
  const bool singleSegment = (descriptor & 0x20) != 0;
  std::size_t contentSize = kContentSizeBytes[descriptor >> 6];
  if (contentSize == 0 && singleSegment) contentSize = 1;
  const std::size_t windowBytes = singleSegment ? 0 : 1;
  return descriptorAt + 1 + windowBytes + kDictionaryIdBytes[descriptor & 3] + contentSize;
}

// Decodes from `data` until its bytes run out or the frame ends, handing
// the output to `sink`; `used` says how much was taken, so that the next
// frame's magic number is judged too.
bool decodeZstdFrame(ZSTD_DCtx* zstd, std::vector<std::uint8_t>& output, bool& inFrame,
                     const std::uint8_t* data, std::size_t size, const DecodedSink& sink,
                     std::size_t& used) {
  ZSTD_inBuffer in{data, size, 0};
  bool outputFull = false;
  do {
    ZSTD_outBuffer out{output.data(), output.size(), 0};
    const std::size_t result = ZSTD_decompressStream(zstd, &out, &in);
    if (ZSTD_isError(result)) return false;
    if (out.pos > 0 && !sink(output.data(), out.pos)) return false;
    // Zero means the frame ended and all of it was handed on.
    inFrame = result != 0;
    outputFull = out.pos == out.size;
  } while (inFrame && (in.pos < in.size || outputFull));
  used = in.pos;
  return true;
}

}  // namespace

BodyEncoding bodyEncodingNamed(const std::string& value) {
  const std::string name = trimmedLower(value);
  if (name.empty() || name == "identity") return BodyEncoding::identity;
  if (name == "gzip" || name == "x-gzip") return BodyEncoding::gzip;
  if (name == "zstd") return BodyEncoding::zstd;
  return BodyEncoding::unknown;
}

struct BodyDecoder::Codecs {
  enum class GzipPart { header, deflate, trailer };

  Codecs() : out(kOutBytes) {}
  ~Codecs() { ZSTD_freeDCtx(zstd); }
  bool makeInflater() {
    // Its state holds the window and the decoding tables, tens of KiB: made
    // once, not kept inside every client that never sees a gzip body.
    if (!inflater) inflater = std::make_unique<inflate_state>();
    return true;
  }
  bool makeZstd() {
    if (zstd == nullptr) {
      zstd = ZSTD_createDCtx();
      if (zstd != nullptr) ZSTD_DCtx_setParameter(zstd, ZSTD_d_windowLogMax, kZstdWindowLogMax);
    }
    return zstd != nullptr;
  }

  std::vector<std::uint8_t> out;
  std::unique_ptr<inflate_state> inflater;
  ZSTD_DCtx* zstd = nullptr;

  // gzip: which part of a member comes next, the header or trailer bytes
  // gathered so far, and how long the member has decoded (the trailer
  // states it modulo 2^32).
  GzipPart part = GzipPart::header;
  std::vector<std::uint8_t> gathered;
  std::uint32_t memberLength = 0;
  // zstd: a frame has begun and not yet ended.
  bool inFrame = false;
};

BodyDecoder::BodyDecoder() = default;
BodyDecoder::~BodyDecoder() = default;

void BodyDecoder::start(BodyEncoding encoding) {
  encoding_ = encoding;
  failed_ = false;
  if (encoding == BodyEncoding::identity || encoding == BodyEncoding::unknown) return;
  if (!codecs_) codecs_ = std::make_unique<Codecs>();
  codecs_->part = Codecs::GzipPart::header;
  codecs_->gathered.clear();
  codecs_->inFrame = false;
  const bool ready = encoding == BodyEncoding::gzip ? codecs_->makeInflater()
                                                    : codecs_->makeZstd();
  if (!ready) failed_ = true;
  if (ready && encoding == BodyEncoding::zstd) {
    ZSTD_DCtx_reset(codecs_->zstd, ZSTD_reset_session_only);
  }
}

bool BodyDecoder::feed(const std::uint8_t* data, std::size_t size, const DecodedSink& sink) {
  if (failed_ || size == 0) return !failed_;
  bool fed = false;
  switch (encoding_) {
    case BodyEncoding::identity:
      fed = sink(data, size);
      break;
    case BodyEncoding::gzip:
      fed = feedGzip(data, size, sink);
      break;
    case BodyEncoding::zstd:
      fed = feedZstd(data, size, sink);
      break;
    case BodyEncoding::unknown:
      break;
  }
  failed_ = !fed;
  return fed;
}

bool BodyDecoder::complete() const {
  if (failed_) return false;
  if (encoding_ == BodyEncoding::gzip) {
    return codecs_->part == Codecs::GzipPart::header && codecs_->gathered.empty();
  }
  if (encoding_ == BodyEncoding::zstd) return !codecs_->inFrame && codecs_->gathered.empty();
  return true;
}

bool BodyDecoder::feedGzip(const std::uint8_t* data, std::size_t size, const DecodedSink& sink) {
  Codecs& c = *codecs_;
  while (size > 0) {
    if (c.part == Codecs::GzipPart::header) {
      // Gathered whole before inflating: a header may be split anywhere.
      const std::size_t before = c.gathered.size();
      const std::size_t take = std::min(size, kMaxGzipHeader + 1 - before);
      c.gathered.insert(c.gathered.end(), data, data + take);
      if (!gzipStartValid(c.gathered)) return false;
      const std::size_t length = gzipHeaderLength(c.gathered);
      if (length == 0) {
        if (c.gathered.size() > kMaxGzipHeader) return false;
        return take == size;
      }
      data += length - before;
      size -= length - before;
      c.gathered.clear();
      // Raw deflate: the gzip framing is read here, and its CRC-32 is left
      // to the caller's digest.
      isal_inflate_init(c.inflater.get());
      c.inflater->crc_flag = ISAL_DEFLATE;
      c.memberLength = 0;
      c.part = Codecs::GzipPart::deflate;
      continue;
    }
    if (c.part == Codecs::GzipPart::deflate) {
      std::size_t used = 0;
      bool ended = false;
      if (!inflateSome(*c.inflater, c.out, c.memberLength, data, size, sink, used, ended,
                       c.gathered)) {
        return false;
      }
      data += used;
      size -= used;
      if (ended) c.part = Codecs::GzipPart::trailer;
    } else {
      const std::size_t take = std::min(size, kGzipTrailer - c.gathered.size());
      c.gathered.insert(c.gathered.end(), data, data + take);
      data += take;
      size -= take;
    }
    // The trailer may be whole as the deflate stream ends, read ahead with it.
    const bool trailerWhole = c.part == Codecs::GzipPart::trailer &&
                              c.gathered.size() == kGzipTrailer;
    if (!trailerWhole) continue;
    // The CRC-32 is left alone (the caller's digest covers every byte);
    // the length is free to check and catches a member cut or padded.
    if (littleEndian32(c.gathered.data() + 4) != c.memberLength) return false;
    c.gathered.clear();
    c.part = Codecs::GzipPart::header;
  }
  return true;
}

bool BodyDecoder::feedZstd(const std::uint8_t* data, std::size_t size, const DecodedSink& sink) {
  Codecs& c = *codecs_;
  while (size > 0) {
    if (c.inFrame) {
      std::size_t used = 0;
      if (!decodeZstdFrame(c.zstd, c.out, c.inFrame, data, size, sink, used)) return false;
      data += used;
      size -= used;
      continue;
    }
    // A frame begins: its magic number is gathered and judged, and its
    // header gathered, before the library sees a byte of it.
    const std::size_t take = std::min(size, zstdFrameOpening(c.gathered) - c.gathered.size());
    c.gathered.insert(c.gathered.end(), data, data + take);
    data += take;
    size -= take;
    if (c.gathered.size() < kZstdMagicBytes) return true;
    if (!zstdFrameAllowed(c.gathered.data())) return false;
    if (c.gathered.size() < zstdFrameOpening(c.gathered)) continue;
    std::size_t used = 0;
    if (!decodeZstdFrame(c.zstd, c.out, c.inFrame, c.gathered.data(), c.gathered.size(), sink,
                         used)) {
      return false;
    }
    c.gathered.clear();
  }
  return true;
}

}  // namespace vantis::content
