// Where a release lies on a content server and how large its parts may be:
// the pointer, each release's folder with its manifest and lists, the
// blob and bundle objects, and the limits every reader applies. The
// publisher writes exactly these paths and the synchroniser requests exactly
// these, so both take them from here and from nowhere else.
//
// Pure functions and constants; any thread. Not here: what the documents
// hold (Lists.h, Manifest.h, Pointer.h) and who may publish (the publisher).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vantis::content {

// ---- Paths, relative to the server folder (requests put "/" before them) ---

// The signed pointer to the current release.
inline constexpr const char* kPointerFile = "current.json";
// "/current.json": what a client requests.
inline constexpr const char* kPointerRequest = "/current.json";

// "manifest/<version>": a release's documents.
std::string releaseFolder(const std::string& version);
// "manifest/<version>/manifest.json".
std::string manifestFile(const std::string& version);
// "manifest/<version>/<list file>".
std::string listFile(const std::string& version, const char* file);

// One of the line-delimited lists a manifest names under "parts": its file
// name in the release folder, its member of "parts", and the name of the
// member that counts its lines.
struct ListDocument {
  const char* file;
  const char* part;
  const char* countMember;
};

inline constexpr ListDocument kFilesRequiredList{"files-required.ndjson", "filesRequired",
                                                 "fileCount"};
inline constexpr ListDocument kFilesOptionalList{"files-optional.ndjson", "filesOptional",
                                                 "fileCount"};
inline constexpr ListDocument kBundlesList{"bundles.ndjson", "bundles", "bundleCount"};
inline constexpr ListDocument kFilesRetiredList{"files-retired.ndjson", "filesRetired",
                                                "fileCount"};

// The kinds of stored object, each under its own folder: blobs, bundles,
// and the sections a manifest cuts its lists into ("sections" member).
enum class ObjectKind { blob, bundle, section };

// How a release's objects are compressed, as the manifest's "encoding"
// member names it. A manifest without the member is gzip, as every release
// was before zstd, which decodes several times faster.
enum class Encoding { gzip, zstd };

// "gzip" or "zstd".
const char* encodingName(Encoding encoding);
// The encoding of that name; none for a name this build does not know.
std::optional<Encoding> encodingNamed(const std::string& name);

// "chunks/ab/cd/<hash>.gz", "bundles/ab/cd/<hash>.gz" or
// "sections/ab/cd/<hash>.gz" (".zst" for zstd): characters 1-2 and
// 3-4 of the hash as folders, so no folder holds more than a few hundred
// entries. Empty for a hash shorter than 4 characters, which names nothing
// a server can hold.
std::string objectFile(ObjectKind kind, const std::string& hash,
                       Encoding encoding = Encoding::gzip);

// ---- Limits ------------------------------------------------------------------

// The largest body a client downloads in one request: a list, a blob or a
// bundle. The publisher refuses to write anything larger.
inline constexpr std::uint64_t kMaxBodyBytes = 256u << 20;
// The largest manifest (and pointer) a client parses, and the deepest
// nesting of arrays and objects it reads in one: the JSON reader's limits.
inline constexpr std::size_t kMaxDocumentBytes = 8u << 20;
inline constexpr int kMaxNesting = 15;
// Sequence numbers are read as doubles, which hold every integer up to 2^53.
inline constexpr long long kMaxSequence = 9007199254740992LL;
// A bundle is fetched whole only when at least this many of its blobs are
// wanted, so the publisher makes none with fewer.
inline constexpr std::size_t kMinBundleBlobs = 5;
// A manifest names at most this many sections per list; with sections of
// tens of KiB that covers lists far beyond any body a client takes, while a
// manifest that names more is refused before anything is fetched.
inline constexpr std::size_t kMaxSectionsPerList = 20000;

}  // namespace vantis::content
