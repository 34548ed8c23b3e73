// The one place that picks gzip or zstd for a stored object, so that storing,
// verifying and measuring objects never branch on the encoding themselves:
// each names the release's encoding (its manifest's "encoding") and gets
// that release's objects' names and bytes.
//
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>

#include "release/Layout.h"

namespace vantis::publish {

// How a release's objects are written: the encoding and its level (gzip
// 1-9, zstd kMinZstdLevel-kMaxZstdLevel).
struct Compression {
  content::Encoding encoding = content::Encoding::gzip;
  int level = 6;
};

// Compresses `length` bytes as one gzip member or one zstd frame.
bool compressObject(const Compression& compression, const void* data, std::size_t length,
                    std::string& out);

// Decodes one whole stored object of `encoding` into at most `maxBytes`
// bytes (gzipDecompress, zstdDecompress).
bool decompressObject(content::Encoding encoding, const std::string& packed,
                      std::uint64_t maxBytes, std::string& out);

// "not one whole gzip member of at most 256 MiB" or its zstd counterpart:
// what verify says of an object that does not decode.
std::string undecodableObject(content::Encoding encoding);

}  // namespace vantis::publish
