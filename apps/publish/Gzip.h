// gzip compression of blobs and bundles as the server stores them: one gzip
// member per file, because libcurl decodes only the first member of a
// stream and would silently drop the rest.
//
// Pure function; any thread.
#pragma once

#include <string>

namespace vantis::publish {

// Compresses `length` bytes into one gzip member at `level` (1-9). The
// header carries no name and no time, so equal input gives equal output.
bool gzipCompress(const void* data, std::size_t length, int level, std::string& out);

}  // namespace vantis::publish
