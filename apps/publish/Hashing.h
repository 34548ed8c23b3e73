// Hashing release content: each file's SHA-256 and its cut into blobs, each
// named by its own SHA-256, by the release's cutting (release/BlobCut.h,
// the same code players cut their installed copies with). Files are read
// once, in 1 MiB steps, on all threads at once.
#pragma once

#include <cstdint>
#include <string>

#include "Content.h"
#include "Parallel.h"
#include "release/BlobCut.h"

namespace vantis::publish {

// Fills `sha256` and `blobs` of every source. `cutting` must be one that
// `content::cuttingProblem` accepts. Fails, naming the file, when one cannot
// be read or its size differs from what the scan saw (it changed while being
// published). Reports the phase "hashing" in bytes.
bool hashContent(Content& content, const content::BlobCutting& cutting, unsigned threads,
                 const Progress& progress, std::string& error);

}  // namespace vantis::publish
