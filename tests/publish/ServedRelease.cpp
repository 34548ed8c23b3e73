// The reading side of the publisher's tests, built on the synchroniser's
// library so that a format drift between the two programs fails here.

#include "ServedRelease.h"

#include "Signing.h"
#include "TempDir.h"
#include "TestSigning.h"
#include "Verify.h"
#include "foundation/Crypto.h"
#include "release/Layout.h"

namespace vantis::publish::test {

namespace {

using namespace vantis::content;

std::vector<unsigned char> bytesOf(const std::string& text) {
  return std::vector<unsigned char>(text.begin(), text.end());
}

std::string readList(const std::string& serverDir, const ServedRelease& release,
                     const ListDocument& list, std::vector<unsigned char>& body) {
  const std::string path = serverDir + listRequest(release.pointer.packVersion, list);
  const std::string text = skarvel::test::readFile(path);
  if (text == "<missing>") return "missing " + path;
  if (!Sha256::equals(Sha256::of(text), readManifest(release.manifest).part(list).sha256)) {
    return path + " does not match the manifest's digest";
  }
  body = bytesOf(text);
  return std::string();
}

std::string readTier(const std::string& serverDir, const ServedRelease& release,
                     const ListDocument& list, std::vector<FileRecord>& records) {
  std::vector<unsigned char> body;
  std::string problem = readList(serverDir, release, list, body);
  if (!problem.empty()) return problem;
  // Nothing is installed at this root, so every entry lands on the work list.
  FileListContext context;
  context.contentDir = serverDir + "/no-instance-here";
  const Result<FileList> read = readFileList(body, context);
  if (!read) return std::string(list.file) + ": " + read.error();
  records = read->work;
  return std::string();
}

}  // namespace

std::string chunkFile(const std::string& serverDir, const std::string& hash) {
  return serverDir + "/" + objectFile(ObjectKind::blob, hash);
}

std::string bundleFile(const std::string& serverDir, const std::string& id) {
  return serverDir + "/" + objectFile(ObjectKind::bundle, id);
}

const FileRecord* findRecord(const std::vector<FileRecord>& tier, const std::string& path) {
  for (const FileRecord& record : tier) {
    if (record.path == path) return &record;
  }
  return nullptr;
}

std::string readServedRelease(const std::string& serverDir, ServedRelease& out) {
  out = ServedRelease();
  out.pointerText = skarvel::test::readFile(serverDir + "/current.json");
  const Result<ReleasePointer> pointer = checkPointerForUpdate(bytesOf(out.pointerText));
  if (!pointer) return "pointer: " + pointer.error();
  out.pointer = *pointer;
  const std::string manifest = skarvel::test::readFile(serverDir + "/" + out.pointer.manifestPath);
  if (!Sha256::equals(Sha256::of(manifest), out.pointer.manifestSha256)) {
    return "the manifest does not match the pointer's digest";
  }
  std::string problem;
  if (!parseJson(manifest, out.manifest, problem)) return "manifest: " + problem;
  problem = readTier(serverDir, out, kFilesRequiredList, out.required);
  if (problem.empty()) problem = readTier(serverDir, out, kFilesOptionalList, out.optional);
  std::vector<unsigned char> body;
  if (problem.empty()) problem = readList(serverDir, out, kBundlesList, body);
  if (!problem.empty()) return problem;
  const Result<BundleIndex> index = readBundleIndex(body);
  if (!index) return "bundle index: " + index.error();
  out.bundles = index->bundles;
  problem = readList(serverDir, out, kFilesRetiredList, body);
  if (!problem.empty()) return problem;
  const Result<std::vector<std::string>> retired = readRetiredList(body);
  if (!retired) return "retired: " + retired.error();
  out.retired = *retired;
  return std::string();
}

std::string checkServedContent(const std::string& serverDir) {
  VerifyOptions options;
  options.serverDir = serverDir;
  SigningKey key;
  std::string error;
  if (!loadSigningKey(vantis::content::test::devSigningKeyPath(), key, error)) return error;
  options.keys.push_back({key.publicPoint, vantis::content::test::devSigningKeyPath()});
  const Progress quiet = [](const std::string&, std::uint64_t, std::uint64_t) { return true; };
  VerifyReport report;
  if (!verifyServerFolder(options, quiet, report, error)) return error;
  if (report.problems.empty()) return std::string();
  return report.problems[0].file + ": " + report.problems[0].what;
}

std::string checkServedFolder(const std::string& serverDir) {
  ServedRelease release;
  const std::string problem = readServedRelease(serverDir, release);
  return problem.empty() ? checkServedContent(serverDir) : problem;
}

}  // namespace vantis::publish::test
