// Release surgery for attack tests: the documents and objects of a release
// that SkarvelPublish wrote into a server folder, rewritten by hand the way
// a hostile server or a careless publisher would, with the chain of digests
// (pointer -> manifest -> lists) re-linked and the pointer re-signed with the
// development key, so that only the link a test attacks is broken.
//
//   HandRelease release(server.folder(), "1.1.0");
//   release.setList("files-required.ndjson",
//                   release.list("files-required.ndjson") +
//                       release.fileEntry("../../outside/evil.txt", "pwned\n"));
//   ... SkarvelSync refuses the whole list ...
//
// Gzip objects go through the gzip program (`gzip -n`), the way an operator
// would alter them by hand. Test code only; failures abort the test through
// gtest assertions.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace skarvel::test {

class ScriptServer;

// Lower-case hexadecimal SHA-256 of `bytes`.
std::string sha256Hex(const std::string& bytes);
// One gzip member without name or time, and its inverse, through `gzip`.
std::string gzipBytes(const std::string& bytes);
std::string gunzipBytes(const std::string& compressed);
// Every run of exactly 64 lower-case hexadecimal characters in `text`, in
// order: the digests a list or a manifest names. Not with std::regex, whose
// recursion overflows the stack on a record of hundreds of blobs.
std::vector<std::string> digestsIn(const std::string& text);
// A JSON string literal (quotes included) holding `text` byte for byte:
// quotation marks, backslashes and control bytes escaped, nothing else.
std::string jsonQuote(const std::string& text);

class HandRelease {
 public:
  HandRelease(std::string serverFolder, std::string version);

  // The decoded payload of "current.json".
  std::string pointerPayload() const;
  // Writes "current.json" for `payload`, signed with the PEM key at `keyPath`.
  void signPointer(const std::string& payload, const std::string& keyPath) const;
  void signPointer(const std::string& payload) const;

  std::string manifest() const;
  // Writes the manifest and re-signs the pointer with the manifest's new
  // digest.
  void setManifest(const std::string& text) const;

  // A list of this release by file name ("files-required.ndjson",
  // "files-optional.ndjson", "bundles.ndjson", "files-retired.ndjson").
  std::string list(const std::string& name) const;
  // Writes the list, names its new digest (and size) in the manifest, and
  // re-links the pointer to the manifest.
  // The manifest then names no list sections: the lists are served whole.
  void setList(const std::string& name, const std::string& text) const;
  // Writes the list and nothing else: the manifest still names the old digest.
  void replaceListOnly(const std::string& name, const std::string& text) const;

  // Stores `bytes` as a chunk object and returns its hash.
  std::string addChunk(const std::string& bytes) const;
  // A file-list line (with its line feed) for `bytes` at `path`, stored as
  // one chunk.
  std::string fileEntry(const std::string& path, const std::string& bytes,
                        const std::string& target = "instance",
                        const std::string& platform = "") const;

  // The stored gzip object of a chunk or a bundle.
  std::string chunkFile(const std::string& hash) const;
  std::string bundleFile(const std::string& id) const;
  // Decompresses the object at `path`, lets `edit` change the bytes, and
  // stores them compressed again under the same name.
  void editObject(const std::string& path, const std::function<void(std::string&)>& edit) const;

  std::string folder() const { return folder_; }
  std::string manifestFile() const;
  std::string listFile(const std::string& name) const;
  std::string pointerFile() const { return folder_ + "/current.json"; }

 private:
  std::string folder_;
  std::string version_;
};

// `text` with the string value of the first `"key":"` replaced by `value`.
std::string withStringValue(const std::string& text, const std::string& key,
                            const std::string& value);

// Scripts every file below `folder` on `server` under "/" + its relative
// path, the way the content server answers: stored objects under "/chunks/"
// and "/bundles/" go out with "Content-Encoding: gzip". Re-run it after the
// folder changed.
void serveFolder(ScriptServer& server, const std::string& folder);

}  // namespace skarvel::test
