// zstd compression of blobs, bundles and sections as the server stores them
// for a release whose manifest says "zstd": one frame per file, with the
// decoded size in its header; and decoding them again the way players do,
// for checking a server folder.
//
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace vantis::publish {

// The levels offered: above 19 zstd widens its window past what players'
// decoders accept by default.
inline constexpr int kMinZstdLevel = 1;
inline constexpr int kMaxZstdLevel = 19;

// Compresses `length` bytes into one zstd frame at `level`
// (kMinZstdLevel-kMaxZstdLevel) whose header holds the decoded size and no
// checksum (the object's name is its digest). Equal input gives equal
// output.
bool zstdCompress(const void* data, std::size_t length, int level, std::string& out);

// Decodes `packed` into `out` when it is exactly one whole zstd frame that
// states its decoded size, with nothing after it, decoding to at most
// `maxBytes` bytes. False for a second frame or trailing bytes, a damaged or
// cut-off frame, a frame without its size, and anything larger (stopping
// there also keeps a hostile object from filling memory).
bool zstdDecompress(const std::string& packed, std::uint64_t maxBytes, std::string& out);

// The decoded size a frame's header states, read from the object's first
// bytes (at most kZstdHeaderBytes are looked at). False when `head` does not
// start a frame that states it.
inline constexpr std::size_t kZstdHeaderBytes = 18;
bool zstdDecodedSize(const std::string& head, std::uint64_t& size);

}  // namespace vantis::publish
