// Undoes a reply's Content-Encoding as the body arrives: gzip (one member or
// several back to back) and zstd (one frame or several). The client decodes
// bodies itself rather than leaving it to libcurl, for two reasons: libcurl
// sets up a fresh zstd decoder, with its window, for every reply, and on a
// first install of thousands of objects the fresh memory alone costs more
// than the decoding; and gzip's CRC-32 repeats, slowly, the SHA-256 check
// every object gets anyway. So one decoder lives as long as its client and
// is reset for each reply, and a gzip member is inflated raw, its trailer
// checked only for the length it states.
//
// One decoder belongs to one client, and so to one thread at a time. Not
// here: the size bound and the floor rate (HttpPosix.cpp), whether the bytes
// are the right ones (the caller's digest).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vantis::content {

enum class BodyEncoding { identity, gzip, zstd, unknown };

// The encoding a Content-Encoding value names, its case and surrounding
// blanks ignored: "" and "identity" are identity, "gzip" and "x-gzip" gzip,
// "zstd" zstd; anything else (a list of codings among them) is unknown.
BodyEncoding bodyEncodingNamed(const std::string& value);

// Receives each stretch of decoded bytes, in order; false stops the decoding.
using DecodedSink = std::function<bool(const std::uint8_t* data, std::size_t size)>;

class BodyDecoder {
 public:
  BodyDecoder();
  ~BodyDecoder();
  BodyDecoder(const BodyDecoder&) = delete;
  BodyDecoder& operator=(const BodyDecoder&) = delete;

  // Forgets any earlier body and expects one in `encoding`. Identity passes
  // bytes through unchanged; unknown refuses the first byte.
  void start(BodyEncoding encoding);
  // Decodes the next `size` bytes of the body into `sink`. False when they
  // are not a valid continuation in the encoding (the decoder then refuses
  // everything until the next start), or when the sink said stop.
  bool feed(const std::uint8_t* data, std::size_t size, const DecodedSink& sink);
  // True when the body may end here: nothing arrived, or every gzip member
  // and zstd frame begun is complete. A body cut short is not.
  bool complete() const;

 private:
  struct Codecs;
  bool feedGzip(const std::uint8_t* data, std::size_t size, const DecodedSink& sink);
  bool feedZstd(const std::uint8_t* data, std::size_t size, const DecodedSink& sink);

  BodyEncoding encoding_ = BodyEncoding::identity;
  bool failed_ = false;
  std::unique_ptr<Codecs> codecs_;  // made at the first encoded body, then kept
};

}  // namespace vantis::content
