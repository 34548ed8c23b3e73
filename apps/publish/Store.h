// The server folder's content area: where blobs and bundles lie and how they
// are written. Every blob and bundle is stored once under its SHA-256,
// compressed with the release's encoding, and never rewritten: an earlier
// release's copy in the same encoding is reused. A copy in the other
// encoding has another name (".gz" or ".zst") and does not count, since
// players of this release request this encoding's name.
//
// Called from one thread; the work itself runs on `threads` worker threads,
// each writing distinct paths.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Bundling.h"
#include "Content.h"
#include "ObjectCodec.h"
#include "Parallel.h"

namespace vantis::publish {

struct StoreCounts {
  std::uint64_t stored = 0;        // written by this run
  std::uint64_t reused = 0;        // already in the server folder
  std::uint64_t bytesWritten = 0;  // compressed bytes written by this run
};

// Stores every distinct blob of the content under "/chunks/". Each blob is
// read again from its file and checked against the digest the hashing pass
// gave it, so a file edited in between is refused instead of being stored
// under a name that does not match its bytes. Phase "storing blobs", in bytes.
bool storeChunks(const std::string& serverDir, const Content& content,
                 const Compression& compression, unsigned threads,
                 const Progress& progress, StoreCounts& counts, std::string& error);

// Reads each planned bundle's blobs (checking each), fills in its `id` and
// stores it under "/bundles/" unless that id is there already. Phase
// "storing bundles", in bundles.
bool storeBundles(const std::string& serverDir, const Content& content,
                  std::vector<Bundle>& bundles, const Compression& compression, unsigned threads,
                  const Progress& progress, StoreCounts& counts, std::string& error);

// Stores each section text under "/sections/" by its SHA-256 unless it is
// there already (most sections of a release are its predecessor's).
bool storeSections(const std::string& serverDir, const std::vector<std::string>& sections,
                   const Compression& compression, StoreCounts& counts, std::string& error);

}  // namespace vantis::publish
