// Reading the release's lists: the file-list reader's validation and
// per-entry decision against a real instance folder, the bundle index and
// retired readers, and the manifest and list fetches against a release
// served by nginx.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "foundation/Crypto.h"
#include "http/Http.h"
#include "NginxServer.h"
#include "pipeline/Sync.h"
#include "protocol/SyncLists.h"
#include "ReleaseServer.h"
#include "TempDir.h"

namespace vantis::content {
namespace {

using namespace skarvel::test;

std::vector<unsigned char> bytesOf(const std::string& text) {
  return std::vector<unsigned char>(text.begin(), text.end());
}

const std::string kZeroDigest(64, '0');

// One file-list line; `extra` is spliced in before the closing brace.
std::string entry(const std::string& path, long long size, const std::string& sha256,
                  const std::string& extra = "") {
  return R"({"path":")" + path + R"(","size":)" + std::to_string(size) + R"(,"sha256":")" + sha256 +
         "\"" + extra + "}\n";
}

// ---- the file-list reader ---------------------------------------------------

class FileListReader : public ::testing::Test {
 protected:
  // Writes an installed file under the instance's "content" folder.
  void install(const std::string& path, const std::string& bytes) {
    writeFile(instance.file("content/" + path), bytes);
  }

  // Reads the list into `result`; "ok", or the failure's message.
  std::string read(const std::string& body) {
    context.contentDir = instance.file("content");
    Result<FileList> list = readFileList(bytesOf(body), context);
    result = list ? std::move(*list) : FileList();
    return list ? "ok" : list.error();
  }

  std::vector<std::string> workPaths() const {
    std::vector<std::string> paths;
    for (const FileRecord& record : result.work) paths.push_back(record.path);
    return paths;
  }

  TempDir instance;
  FileListContext context;
  FileList result;
};

TEST_F(FileListReader, ReadsEveryMemberOfAnEntry) {
  const std::string chunk(64, 'c');
  const std::string body =
      R"({"path":"a\\b.bin","size":5,"sha256":")" + kZeroDigest +
      R"(","target":"instance","platform":"linux","alwaysHash":true,"chunks":[")" + chunk +
      R"(","ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"],"other":1})";
  ASSERT_EQ(read(body), "ok");
  ASSERT_EQ(result.work.size(), 1u);
  const FileRecord& record = result.work[0];
  EXPECT_EQ(record.path, "a\\b.bin");
  EXPECT_EQ(record.size, 5);
  EXPECT_EQ(record.sha256, kZeroDigest);
  EXPECT_EQ(record.target, "instance");
  EXPECT_EQ(record.platform, "linux");
  EXPECT_TRUE(record.alwaysHash);
  EXPECT_EQ(record.chunks, (std::vector<std::string>{chunk, std::string(64, 'f')}));
  EXPECT_EQ(result.workBytes, 5u);
  EXPECT_EQ(result.listedPaths, (std::set<std::string>{"a\\b.bin"}));
  EXPECT_EQ(result.entriesRead, 1u);
}

TEST_F(FileListReader, RefusesABadEntry) {
  const std::string upperChunk = std::string(63, 'a') + "A";
  struct Case {
    std::string badLine;
    std::string message;
  };
  const Case cases[] = {
      {entry("../escape", 1, kZeroDigest),
       "The update contained an unsafe path and was refused: ../escape"},
      {entry("win/..\\\\x", 1, kZeroDigest, R"(,"platform":"windows")"),
       "The update contained an unsafe path and was refused: win/..\\x"},
      {entry("", 1, kZeroDigest), "The update contained an unsafe path and was refused: "},
      {entry("short", 1, "abc"), "A file entry had no hash."},
      {R"({"path":"nohash","size":1})"
       "\n",
       "A file entry had no hash."},
      {entry("upper", 1, kZeroDigest, R"(,"chunks":[")" + upperChunk + "\"]"),
       "The update manifest is malformed. Refused."},
      {entry("number", 1, kZeroDigest, R"(,"chunks":[5])"),
       "The update manifest is malformed. Refused."},
      {entry("short-chunk", 1, kZeroDigest, R"(,"chunks":["abc"])"),
       "The update manifest is malformed. Refused."},
  };
  for (const Case& c : cases) {
    const std::string body =
        entry("first", 1, kZeroDigest) + c.badLine + entry("after", 1, kZeroDigest);
    EXPECT_EQ(read(body), c.message) << c.badLine;
  }
}

TEST_F(FileListReader, AnUnparsableLineCarriesItsNumber) {
  EXPECT_EQ(read(entry("a", 1, kZeroDigest) + "\n{\"path\":\n"),
            "manifest line 2: unexpected end of input");
}

TEST_F(FileListReader, KeepsOnlyEntriesForThisPlatform) {
  const std::string body =
      entry("common", 1, kZeroDigest) +
      entry("win.exe", 1, kZeroDigest, R"(,"platform":"windows","target":"binary")") +
      entry("lin", 1, kZeroDigest, R"(,"platform":"linux")") +
      entry("Lin", 1, kZeroDigest, R"(,"platform":"Linux")");
  ASSERT_EQ(read(body), "ok");
  EXPECT_EQ(workPaths(), (std::vector<std::string>{"common", "lin"}));
  EXPECT_EQ(result.listedPaths, (std::set<std::string>{"common", "lin"}));
  EXPECT_TRUE(result.programs.empty());
  EXPECT_EQ(result.entriesRead, 4u);
}

TEST_F(FileListReader, RecordsProgramEntries) {
  const std::string body =
      entry("bin/game", 7, kZeroDigest, R"(,"target":"binary","platform":"linux")") +
      entry("resources/version", 3, kZeroDigest, R"(,"target":"binary")") +
      entry("bin/anywhere", 2, kZeroDigest, R"(,"target":"binary")") +
      entry("resources\\\\version", 2, kZeroDigest, R"(,"target":"binary")") +
      entry("bin/lib.so", 9, kZeroDigest, R"(,"target":"instance","platform":"linux")");
  ASSERT_EQ(read(body), "ok");
  ASSERT_EQ(result.programs.size(), 2u);
  EXPECT_EQ(result.programs[0].path, "bin/game");
  EXPECT_EQ(result.programs[0].size, 7u);
  EXPECT_EQ(result.programs[0].sha256, kZeroDigest);
  EXPECT_EQ(result.programs[0].mtime, "");
  EXPECT_EQ(result.programs[1].path, "resources/version");
  EXPECT_EQ(result.programs[1].size, 3u);
}

TEST_F(FileListReader, DecidesPerEntryWhetherTheInstalledCopyIsCurrent) {
  const std::string good = "good bytes";
  const std::string goodDigest = Sha256::of(good);
  const std::string same = "same bytes";  // same length as `good`, other content
  std::string upperDigest = goodDigest;
  for (char& c : upperDigest) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const long long size = static_cast<long long>(good.size());

  install("current", good);
  install("stale-same-size", same);
  install("binary-stale", same);
  install("binary-current", good);
  install("always-stale", same);
  install("always-current", good);
  install("wrong-size", good + "!");
  install("upper-digest", good);
  install("is-a-folder/inside", "x");
  install("back/slash", same);
  struct Case {
    std::string line;
    bool fetchedNormally;
    bool fetchedOnFullCheck;
  };
  const Case cases[] = {
      {entry("current", size, goodDigest), false, false},
      {entry("stale-same-size", size, goodDigest), false, true},
      {entry("binary-stale", size, goodDigest, R"(,"target":"binary")"), true, true},
      {entry("binary-current", size, goodDigest, R"(,"target":"binary")"), false, false},
      {entry("always-stale", size, goodDigest, R"(,"alwaysHash":true)"), true, true},
      {entry("always-current", size, goodDigest, R"(,"alwaysHash":true)"), false, false},
      {entry("wrong-size", size, goodDigest), true, true},
      {entry("missing", size, goodDigest), true, true},
      {entry("is-a-folder", 0, goodDigest), true, true},
      {entry("upper-digest", size, upperDigest, R"(,"target":"binary")"), true, true},
      {entry("back\\\\slash", size, goodDigest, R"(,"alwaysHash":true)"), true, true},
      {entry("negative", -1, goodDigest), true, true},
  };
  for (bool fullCheck : {false, true}) {
    for (const Case& c : cases) {
      context.fullCheck = fullCheck;
      ASSERT_EQ(read(c.line), "ok");
      const bool expected = fullCheck ? c.fetchedOnFullCheck : c.fetchedNormally;
      EXPECT_EQ(result.work.size(), expected ? 1u : 0u) << c.line << " full check " << fullCheck;
    }
  }
}

// What the checked-files record says of an unchanged copy stands for its
// content; a copy that changed since is judged as if nothing were recorded.
TEST_F(FileListReader, TakesTheRecordedDigestOfAnUnchangedCopyAndLearnsWhatItReads) {
  const std::string good = "good bytes", other = "some other";  // of one length
  const std::string goodDigest = Sha256::of(good), otherDigest = Sha256::of(other);
  const std::string chunk(64, 'c');
  const std::string always = R"(,"alwaysHash":true,"chunks":[")" + chunk + R"("])";
  const long long size = static_cast<long long>(good.size());
  struct Case {
    const char* why;
    std::string installed;
    const char* recordedDigest;  // nullptr: no line for the path
    bool sameIdentity;
    std::string flags;
    bool fullCheck;
    bool fetched;
    std::string learnedDigest;  // empty: nothing learned
    bool learnedChunks;
  };
  const Case cases[] = {
      {"unchanged and current", good, "good", true, always, false, false, goodDigest, false},
      {"taken on the record's word, unread", other, "good", true, always, false, false,
       goodDigest, false},
      {"a full check reads it all the same", other, "good", true, always, true, true,
       otherDigest, false},
      {"known to differ though the size matches", good, "other", true, "", false, true,
       otherDigest, false},
      {"changed since it was recorded", other, "good", false, always, false, true, otherDigest,
       false},
      {"read, current: cut into the entry's chunks", good, nullptr, false, always, false, false,
       goodDigest, true},
      {"a size check learns nothing", good, nullptr, false, "", false, false, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    install("a.bsa", c.installed);
    CheckedFiles recorded;
    if (c.recordedDigest) {
      CheckedFile line;
      ASSERT_TRUE(fileIdentity(instance.file("content/a.bsa"), line.identity));
      if (!c.sameIdentity) line.identity.modifiedNs -= 1;
      line.sha256 = std::string(c.recordedDigest) == "good" ? goodDigest : otherDigest;
      recorded["a.bsa"] = line;
    }
    context.checked = &recorded;
    context.cutting = fixedCutting(4096);
    context.fullCheck = c.fullCheck;
    ASSERT_EQ(read(entry("a.bsa", size, goodDigest, c.flags)), "ok");
    EXPECT_EQ(result.work.size(), c.fetched ? 1u : 0u);
    if (c.learnedDigest.empty()) {
      EXPECT_EQ(result.known.count("a.bsa"), 0u);
      continue;
    }
    ASSERT_EQ(result.known.count("a.bsa"), 1u);
    const CheckedFile& learned = result.known.at("a.bsa");
    EXPECT_EQ(learned.sha256, c.learnedDigest);
    FileIdentity now;
    ASSERT_TRUE(fileIdentity(instance.file("content/a.bsa"), now));
    EXPECT_TRUE(learned.identity == now) << "what is learned describes the copy as it is";
    // One blob of a file shorter than 4096 bytes: the whole file.
    EXPECT_EQ(learned.blobs, c.learnedChunks ? chunk + ":" + std::to_string(size) : "");
    EXPECT_EQ(learned.cutting, c.learnedChunks ? "fixed:4096" : "");
  }
}

TEST_F(FileListReader, SumsTheSizesOfTheWorkList) {
  install("present", "12345");
  const std::string body =
      entry("present", 5, kZeroDigest) + entry("a", 100, kZeroDigest) + entry("b", 23, kZeroDigest);
  ASSERT_EQ(read(body), "ok");
  EXPECT_EQ(workPaths(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(result.workBytes, 123u);
  EXPECT_EQ(result.listedPaths.size(), 3u);
}

// A list of `count` entries, all missing from the instance; the entries whose
// (1-based) number is in `otherPlatform` are for windows.
std::string manyEntries(int count, std::set<int> otherPlatform = {}) {
  std::string body;
  for (int i = 1; i <= count; ++i) {
    const bool windows = otherPlatform.count(i) != 0;
    body +=
        entry("f" + std::to_string(i), 1, kZeroDigest, windows ? R"(,"platform":"windows")" : "");
  }
  return body;
}

TEST_F(FileListReader, ReportsProgressEvery512Entries) {
  std::vector<std::string> reports;
  context.fileCount = 1100;
  context.report = [&](const std::string& phase, const std::string& detail) {
    reports.push_back(phase + "|" + detail);
    return true;
  };
  ASSERT_EQ(read(manyEntries(1100)), "ok");
  EXPECT_EQ(reports, (std::vector<std::string>{"Verifying files|512 of 1100 files",
                                               "Verifying files|1024 of 1100 files"}));

  reports.clear();
  context.nothingInstalled = true;
  context.fileCount = 0;
  // Entry 512 is another platform's: it counts, but no report follows it.
  ASSERT_EQ(read(manyEntries(1100, {512})), "ok");
  EXPECT_EQ(reports, std::vector<std::string>{"Preparing|1024 of 0 files"});
  EXPECT_EQ(result.entriesRead, 1100u);
  EXPECT_EQ(result.work.size(), 1099u);
}

TEST_F(FileListReader, AStopAskedByTheReportCancels) {
  int reports = 0;
  context.report = [&](const std::string&, const std::string&) { return ++reports < 2; };
  EXPECT_EQ(read(manyEntries(2000)), "Cancelled.");
  EXPECT_EQ(reports, 2);
}

// A multi-gigabyte installed file must be hashed in pieces: reading it whole
// would need its size in memory and could bring the whole sync down. The
// check runs in a child whose address space is capped far below the file's
// size, so reading the file whole could not succeed there.
TEST_F(FileListReader, HashesAHugeInstalledFileWithoutHoldingItInMemory) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reserves more address space than the cap allows";
#else
  const std::uint64_t size = 1ULL << 30;  // 1 GiB of zeros, sparse on disk
  const std::string path = instance.file("content/huge.pak");
  install("huge.pak", "");
  ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(size)), 0);

  FileRecord record;
  record.path = "huge.pak";
  record.size = static_cast<std::int64_t>(size);
  // The digest of 2^30 zero bytes, worked out with sha256sum.
  record.sha256 = "49bc20df15e412a64472421e13fe86ff1c5165e18b2afccf160d4dc19fe68a14";
  record.target = "binary";

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlim_t cap = 256ULL << 20;  // a quarter of the file
    const rlimit limit{cap, cap};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(3);
    // Nothing may escape the child into the test framework, which would go
    // on running the remaining tests in it.
    try {
      ::_exit(installedCopyCurrent(path, record, false) ? 0 : 1);
    } catch (...) {
      ::_exit(2);
    }
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the check died, status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

// ---- bundle index and retired list -----------------------------------------

TEST(ReadBundleIndex, MapsBlobsToTheirBundlesLaterLinesWinning) {
  const std::string body = R"({"id":"b1","size":300,"blobs":[["x",0,100],["y",100,200]]})"
                           "\n"
                           R"({"id":"b2","size":50,"blobs":[["y",10,40],[],["z"]]})"
                           "\n"
                           R"({"id":"b1","size":7,"blobs":[["w",0,7]]})"
                           "\n"
                           R"({"blobs":{"k":1}})";
  const Result<BundleIndex> index = readBundleIndex(bytesOf(body));
  ASSERT_TRUE(index) << index.error();
  const auto& blobs = index->blobs;
  const std::map<std::string, BundleRecord>& bundles = index->bundles;

  ASSERT_EQ(bundles.size(), 3u);
  const BundleRecord& b1 = bundles.at("b1");
  EXPECT_EQ(b1.size, 7);
  ASSERT_EQ(b1.blobs.size(), 1u);
  EXPECT_EQ(b1.blobs[0].digest, "w");
  const BundleRecord& b2 = bundles.at("b2");
  EXPECT_EQ(b2.id, "b2");
  EXPECT_EQ(b2.size, 50);
  ASSERT_EQ(b2.blobs.size(), 3u);
  EXPECT_EQ(b2.blobs[0].offset, 10);
  EXPECT_EQ(b2.blobs[0].length, 40);
  EXPECT_EQ(b2.blobs[1].digest, "");
  EXPECT_EQ(b2.blobs[2].digest, "z");
  EXPECT_EQ(b2.blobs[2].length, 0);
  EXPECT_TRUE(bundles.at("").blobs.empty());

  // "x" still points into the first b1 line: the blob map is not rebuilt
  // when a bundle id repeats.
  EXPECT_EQ(blobs.at("x").bundle, "b1");
  EXPECT_EQ(blobs.at("x").length, 100);
  EXPECT_EQ(blobs.at("y").bundle, "b2");
  EXPECT_EQ(blobs.at("y").offset, 10);
  EXPECT_EQ(blobs.at("w").bundle, "b1");
  EXPECT_EQ(blobs.count(""), 1u);
}

TEST(ReadBundleIndex, FailsOnlyOnALineThatDoesNotParse) {
  EXPECT_EQ(readBundleIndex(bytesOf("{\"id\":\"a\"}\n\n[1,\n")).error(),
            "manifest line 2: unexpected end of input");
}

TEST(ReadRetiredList, CollectsPathsInOrder) {
  const Result<std::vector<std::string>> paths =
      readRetiredList(bytesOf("{\"path\":\"b\"}\n{\"path\":\"a\"}\r\n{}\n{\"path\":3}"));
  ASSERT_TRUE(paths);
  EXPECT_EQ(*paths, (std::vector<std::string>{"b", "a", "", ""}));
  EXPECT_EQ(readRetiredList(bytesOf("nope")).error(), "manifest line 1: bad literal");
}

// ---- fetching from a served release -----------------------------------------

// A release laid out as the content server serves it: the manifest at
// "manifest/<version>/manifest.json" and the lists beside it.
class ServedRelease : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string listBody = entry("a", 1, kZeroDigest);
    put("manifest/1.0/files-required.ndjson", listBody);
    manifestText =
        R"({"fileCount":1,"parts":{"filesRequired":{"sha256":")" + Sha256::of(listBody) + R"("}}})";
    put("manifest/1.0/manifest.json", manifestText);
    put("manifest/1.0/not-json.json", "{\"parts\":");
    NginxConfig config;
    config.root = site.path();
    server = std::make_unique<NginxServer>(config);
    ASSERT_TRUE(server->ok()) << server->error();
    ASSERT_TRUE(client.open(server->url()));
    pointer.packVersion = "1.0";
    pointer.manifestPath = "manifest/1.0/manifest.json";
    pointer.manifestSha256 = Sha256::of(manifestText);
  }

  void put(const std::string& path, const std::string& bytes) { writeFile(site.file(path), bytes); }

  // The message the update's manifest fetch gives for `pointer`, or "ok".
  std::string fetch() {
    const FetchMessages wording{"request failed", "mismatch"};
    const Result<std::vector<unsigned char>> bytes = fetchManifestBytes(client, pointer, wording);
    if (!bytes) return bytes.error();
    const Result<Manifest> manifest = parseManifest(*bytes);
    return manifest ? "ok" : manifest.error();
  }

  TempDir site;
  std::unique_ptr<NginxServer> server;
  HttpClient client;
  ReleasePointer pointer;
  std::string manifestText;
};

TEST_F(ServedRelease, FetchesAndChecksTheManifest) {
  const Result<std::vector<unsigned char>> bytes =
      fetchManifestBytes(client, pointer, FetchMessages{"request failed", "mismatch"});
  ASSERT_TRUE(bytes) << bytes.error();
  EXPECT_EQ(std::string(bytes->begin(), bytes->end()), manifestText);
  const Result<Manifest> manifest = parseManifest(*bytes);
  ASSERT_TRUE(manifest) << manifest.error();
  EXPECT_EQ(manifest->fileCount, 1u);
}

TEST_F(ServedRelease, RefusesAManifestWithTheCallersMessages) {
  pointer.manifestPath = "manifest/1.0/absent.json";
  EXPECT_EQ(fetch(), "request failed");

  pointer.manifestPath = "manifest/1.0/manifest.json";
  pointer.manifestSha256 = Sha256::of(manifestText + " ");
  EXPECT_EQ(fetch(), "mismatch");
  pointer.manifestSha256 = "";
  EXPECT_EQ(fetch(), "mismatch");

  pointer.manifestPath = "manifest/1.0/not-json.json";
  pointer.manifestSha256 = Sha256::of(std::string("{\"parts\":"));
  EXPECT_EQ(fetch(), "The update manifest was malformed: unexpected end of input");

  // Objects in an encoding this build cannot decode would all fail: refused
  // before any is requested.
  const std::string newer = R"({"encoding":"br","parts":{}})";
  put("manifest/1.0/newer.json", newer);
  pointer.manifestPath = "manifest/1.0/newer.json";
  pointer.manifestSha256 = Sha256::of(newer);
  EXPECT_EQ(fetch(), "The update is compressed in a way this SkarvelSync cannot read. Refused.");
}

TEST_F(ServedRelease, FetchesAListOnlyWhenItsDigestMatches) {
  JsonValue document;
  std::string error;
  ASSERT_TRUE(parseJson(manifestText, document, error));
  const Manifest manifest = readManifest(document);
  const std::string path = listRequest("1.0", kFilesRequiredList);
  EXPECT_EQ(path, "/manifest/1.0/files-required.ndjson");
  const std::string& digest = manifest.filesRequired.sha256;
  EXPECT_EQ(digest.size(), 64u);
  EXPECT_EQ(manifest.filesRetired.sha256, "");

  const FetchMessages wording{"request failed", "mismatch"};
  const Result<std::vector<unsigned char>> body =
      fetchVerified(client, path, kMaxBodyBytes, digest, wording);
  ASSERT_TRUE(body) << body.error();
  // Bounded by its signed size: exactly that is taken, a byte less is a
  // body longer than the document can be.
  EXPECT_TRUE(fetchVerified(client, path, body->size(), digest, wording));
  EXPECT_EQ(fetchVerified(client, path, body->size() - 1, digest, wording).error(), "mismatch");
  FileListContext context;
  TempDir instance;
  context.contentDir = instance.file("content");
  const Result<FileList> list = readFileList(*body, context);
  ASSERT_TRUE(list) << list.error();
  EXPECT_EQ(list->work.size(), 1u);

  // One byte changed on the server: refused before a line is read.
  put("manifest/1.0/files-required.ndjson", entry("b", 1, kZeroDigest));
  EXPECT_EQ(fetchVerified(client, path, kMaxBodyBytes, digest, wording).error(), "mismatch");
  EXPECT_EQ(fetchVerified(client, path, kMaxBodyBytes, "", wording).error(), "mismatch");
  EXPECT_EQ(fetchVerified(client, listRequest("1.0", kBundlesList), kMaxBodyBytes, digest, wording)
                .error(),
            "request failed");
}

// ---- a release made by the publisher ------------------------------------------

// Publishes two releases with SkarvelPublish (the second drops one mod and
// changes the program), serves them with nginx, and reads the current one the
// way the sync does, against an instance that holds the first release.
class PublishedRelease : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.ok()) << server.error(); }

  void publish(const std::string& version, int sequence) {
    const ProgramRun run =
        server.publish(version, sequence, work.file("content"), {"--jobs", "1"});
    ASSERT_EQ(run.status, 0) << run.output;
  }

  ReleaseServer server;
  TempDir work;
  TempDir instance;
};

TEST_F(PublishedRelease, ReadsTheCurrentReleaseAsTheSyncDoes) {
  writeFile(work.file("content/bin/game"), "program one");
  writeFile(work.file("content/mods/a/x.esp"), "retired soon");
  writeFile(work.file("content/textures/t.dds"), std::string(3000, 't'));
  publish("1.0", 1);
  for (const std::string path : {"bin/game", "mods/a/x.esp", "textures/t.dds"}) {
    const std::string published = readFile(work.file("content/" + path));
    writeFile(instance.file("content/" + path), published);
  }
  ASSERT_EQ(::unlink(work.file("content/mods/a/x.esp").c_str()), 0);
  writeFile(work.file("content/bin/game"), "program two");  // same size, new bytes
  publish("2.0", 2);

  HttpClient client;
  ASSERT_TRUE(client.open(server.url()));
  EXPECT_EQ(publishedVersion(client), "2.0");

  const HttpResponse pointerResponse = client.get(kPointerRequest);
  ASSERT_EQ(pointerResponse.status, 200);
  const Result<ReleasePointer> pointer = checkPointerForUpdate(pointerResponse.body);
  ASSERT_TRUE(pointer) << pointer.error();
  EXPECT_EQ(pointer->packVersion, "2.0");
  EXPECT_EQ(pointer->sequence, 2);

  const FetchMessages wording{"request failed", "mismatch"};
  const Result<std::vector<unsigned char>> manifestBytes =
      fetchManifestBytes(client, *pointer, wording);
  ASSERT_TRUE(manifestBytes) << manifestBytes.error();
  const Result<Manifest> manifest = parseManifest(*manifestBytes);
  ASSERT_TRUE(manifest) << manifest.error();
  // Each list is fetched under the size its manifest gives, and is exactly
  // that long.
  const auto fetchList = [&](const ListDocument& list) {
    const ListPart& part = manifest->part(list);
    EXPECT_TRUE(part.size.has_value()) << list.file;
    Result<std::vector<unsigned char>> body = fetchVerified(
        client, listRequest("2.0", list), listBytesBound(part), part.sha256, wording);
    if (body) {
      EXPECT_EQ(body->size(), part.size.value_or(0)) << list.file;
    }
    return body;
  };

  const Result<std::vector<unsigned char>> required = fetchList(kFilesRequiredList);
  ASSERT_TRUE(required) << required.error();
  FileListContext context;
  context.contentDir = instance.file("content");
  context.fileCount = manifest->fileCount;
  const Result<FileList> files = readFileList(*required, context);
  ASSERT_TRUE(files) << files.error();
  ASSERT_EQ(files->work.size(), 1u);  // only the changed program; the texture is current
  EXPECT_EQ(files->work[0].path, "bin/game");
  EXPECT_EQ(files->listedPaths, (std::set<std::string>{"bin/game", "textures/t.dds"}));
  ASSERT_EQ(files->programs.size(), 1u);
  EXPECT_EQ(files->programs[0].path, "bin/game");

  const Result<std::vector<unsigned char>> bundles = fetchList(kBundlesList);
  ASSERT_TRUE(bundles) << bundles.error();
  EXPECT_TRUE(readBundleIndex(*bundles));

  const Result<std::vector<unsigned char>> retiredBody = fetchList(kFilesRetiredList);
  ASSERT_TRUE(retiredBody) << retiredBody.error();
  const Result<std::vector<std::string>> retired = readRetiredList(*retiredBody);
  ASSERT_TRUE(retired) << retired.error();
  EXPECT_EQ(*retired, std::vector<std::string>{"mods/a/x.esp"});
}

}  // namespace
}  // namespace vantis::content
