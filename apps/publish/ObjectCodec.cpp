// Dispatch only: each codec's rules live in Gzip.cpp and Zstd.cpp.

#include "ObjectCodec.h"

#include "Gzip.h"
#include "Zstd.h"

namespace vantis::publish {

bool compressObject(const Compression& compression, const void* data, std::size_t length,
                    std::string& out) {
  if (compression.encoding == content::Encoding::zstd) {
    return zstdCompress(data, length, compression.level, out);
  }
  return gzipCompress(data, length, compression.level, out);
}

bool decompressObject(content::Encoding encoding, const std::string& packed,
                      std::uint64_t maxBytes, std::string& out) {
  if (encoding == content::Encoding::zstd) return zstdDecompress(packed, maxBytes, out);
  return gzipDecompress(packed, maxBytes, out);
}

std::string undecodableObject(content::Encoding encoding) {
  if (encoding == content::Encoding::zstd) {
    return "not one whole zstd frame stating its size, of at most 256 MiB";
  }
  return "not one whole gzip member of at most 256 MiB";
}

}  // namespace vantis::publish
