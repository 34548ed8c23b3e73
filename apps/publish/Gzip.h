// gzip compression of blobs and bundles as the server stores them: one gzip
// member per file, because libcurl decodes only the first member of a
// stream and would silently drop the rest; and decoding them again the way
// players do, for checking a server folder.
//
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace vantis::publish {

// Compresses `length` bytes into one gzip member at `level` (1-9). The
// header carries no name and no time, so equal input gives equal output.
bool gzipCompress(const void* data, std::size_t length, int level, std::string& out);

// Decodes `packed` into `out` when it is exactly one whole gzip member with
// nothing after it, decoding to at most `maxBytes` bytes. False for a second
// member or trailing bytes (players would drop them), a damaged or cut-off
// stream, and anything larger (players refuse such a body; stopping there
// also keeps a hostile object from filling memory).
bool gzipDecompress(const std::string& packed, std::uint64_t maxBytes, std::string& out);

}  // namespace vantis::publish
