// Reading a server folder's releases back the way players reach them: a
// release's manifest only when it matches the digest that names it, its
// lists only when they match the digests the manifest names, and the chain
// of releases that the served pointer vouches for, each manifest naming its
// predecessor's by digest. The folder's upkeep commands read releases this
// way: verify hears of every problem, prune and diff stop at the first.
//
// Calling thread only; plain records. Not here: the publish's own reading of
// history (ServerState.h, which must hold to the messages a publish gives),
// checking stored objects (Verify.h), the pointer's signature (Verify.h).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "release/Lists.h"
#include "release/Manifest.h"

namespace vantis::publish {

// One thing wrong with a file of the server folder: its path relative to the
// folder and a lower-case phrase ("does not match the digest that
// current.json names").
struct Problem {
  std::string file;
  std::string what;
};

using ProblemSink = std::function<void(const Problem&)>;

// A sink that keeps the first problem as "<file>: <what>" in `first`, for
// callers that stop at one.
ProblemSink keepFirstProblem(std::string& first);

// How a file of the server folder compares with the digest that names it.
enum class FileMatch { matches, outside, missing, unreadable, differs };

// Reads `relative` into `body` and compares its SHA-256 with `sha256`.
// `outside` (nothing read) for a path that is not a safe relative path.
FileMatch readMatching(const std::string& serverDir, const std::string& relative,
                       const std::string& sha256, std::string& body);

// One release's documents as read. Entries and bundles that clients would
// refuse were reported and are left out.
struct StoredRelease {
  std::string manifestFile;    // relative to the server folder
  std::string manifestSha256;  // the digest that named it
  std::uint64_t manifestBytes = 0;
  content::Manifest manifest;
  std::vector<content::FileRecord> required, optional;
  std::vector<content::BundleRecord> bundles;
  std::size_t retired = 0;  // lines of the retired list
  // The stored size of each list read, by its path relative to the folder.
  std::map<std::string, std::uint64_t> listBytes;
};

// Reads the manifest `manifestFile`, which `namedBy` names with `sha256`.
// Problems: a path outside the folder, a missing or unreadable file, another
// digest, text that is not a JSON object, no "packVersion", a predecessor
// named only in part. False after any.
bool readStoredManifest(const std::string& serverDir, const std::string& manifestFile,
                        const std::string& sha256, const std::string& namedBy, StoredRelease& out,
                        const ProblemSink& problems);

// Reads the lists of a release whose manifest was read, from
// "manifest/<its packVersion>/": both file lists and the bundle index must be
// named and match, the retired list must match when named. Each entry is
// judged as clients judge it (a safe path, a whole size, digests of 64
// lower-case hexadecimal characters) and each bundle line by its id and the
// places of its blobs. Every problem goes to `problems`; false after any.
bool readStoredLists(const std::string& serverDir, StoredRelease& release,
                     const ProblemSink& problems);

// Walks the chain back from the manifest the served pointer names (`manifest`
// with `sha256`): hands each release whose manifest reads (lists not yet
// read) to `visit`, newest first, until a manifest names no predecessor,
// `visit` answers false, or a manifest does not read; its problem goes to
// `problems`, and the walk ends there, since nothing before it is vouched
// for. False only in that last case.
bool walkChain(const std::string& serverDir, const std::string& manifest, const std::string& sha256,
               const ProblemSink& problems, const std::function<bool(StoredRelease&)>& visit);

}  // namespace vantis::publish
