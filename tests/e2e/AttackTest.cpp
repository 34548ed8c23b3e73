// SkarvelSync against a hostile content server: every document, object and
// answer a server can hand it, forged, replayed, mixed up, oversized, endless
// or redirected, and file lists naming places outside the instance. Each test
// runs the real program against a real release (SkarvelPublish, nginx on
// 127.0.0.1, or the scripted server where nginx cannot misbehave on demand)
// and checks three things: the exact refusal ("FAILED: <message>", exit
// status 1), that nothing unverified was installed and nothing deleted (the
// whole test folder, the player's own files and a folder outside the
// instance included, compared before and after), and that the run ended on
// its own, neither crashed nor hung.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Crypto.h"
#include "HandRelease.h"
#include "Program.h"
#include "ReleaseServer.h"
#include "ScriptServer.h"
#include "TempDir.h"
#include "TestSigning.h"
#include "Tree.h"

namespace {

namespace fs = std::filesystem;
using namespace skarvel::test;

const char* const kNotGenuine = "The update could not be verified as genuine and has been refused.";
const char* const kMalformed = "The release pointer was malformed.";
const char* const kUnsafe = "The update contained an unsafe path and was refused: ";
const char* const kTooLarge = "the response was larger than expected";
const char* const kManifestCopy = "instance/content/cache/manifest-head.json";
const char* const kBlobStore = "instance/content/cache/blobs";
const std::uint64_t kBodyLimit = 268435456;

bool under(const std::string& path, const std::string& folder) {
  return path == folder || path.rfind(folder + "/", 0) == 0;
}

// The blob store may keep what a failed run fetched, but only blobs that
// passed their check: every file there must be named by its own digest.
// Files still being assembled in place ("files/") are named by the digest
// they will have once whole; the next run checks each blob in them again.
void dropVerifiedBlobs(Tree& tree) {
  const std::string assembling = std::string(kBlobStore) + "/files";
  for (auto it = tree.begin(); it != tree.end();) {
    if (!under(it->first, kBlobStore)) {
      ++it;
      continue;
    }
    if (it->second.rfind("file ", 0) == 0 && !under(it->first, assembling)) {
      const std::string name = fs::path(it->first).filename().string();
      EXPECT_EQ(name, sha256Hex(it->second.substr(5))) << "unverified bytes in the blob store";
    }
    it = tree.erase(it);
  }
}

// Neither hung nor crashed, and no sanitizer complained (in a sanitizer
// build, whose reports could otherwise pass for an ordinary exit status 1).
void expectEndedCleanly(const ProgramRun& run) {
  EXPECT_FALSE(run.timedOut) << "the run hung";
  EXPECT_EQ(run.signal, 0) << "the run crashed";
  EXPECT_EQ(run.output.find("Sanitizer"), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find("runtime error:"), std::string::npos) << run.output;
}

void expectRefused(const ProgramRun& run, const std::string& message) {
  expectEndedCleanly(run);
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find("\nFAILED: " + message + "\n"), std::string::npos)
      << "expected FAILED: " << message << "\n" << run.output;
}

// For refusals whose reason ends in a text of libcurl's, which differs
// between its versions.
void expectRefusedStartingWith(const ProgramRun& run, const std::string& opening) {
  expectEndedCleanly(run);
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find("\nFAILED: " + opening), std::string::npos)
      << "expected FAILED: " << opening << "...\n" << run.output;
}

void expectFinishedOk(const ProgramRun& run) {
  expectEndedCleanly(run);
  EXPECT_EQ(run.status, 0) << run.output;
}

std::string fileContent(std::size_t size, char seed) {
  std::string bytes(size, ' ');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + (seed + i * 7) % 26);
  return bytes;
}

std::string base64Of(const std::vector<unsigned char>& bytes) {
  return vantis::content::test::encodeBase64(bytes);
}

std::string pointerOf(const std::string& payload, const std::vector<unsigned char>& signature) {
  return "{\"payload\":\"" + vantis::content::test::encodeBase64(payload) +
         "\",\"signature\":\"" + base64Of(signature) + "\"}";
}

// The signature bytes of a "current.json" body.
std::vector<unsigned char> signatureOf(const std::string& pointer) {
  const std::string opening = "\"signature\":\"";
  const std::size_t start = pointer.find(opening) + opening.size();
  std::vector<unsigned char> signature;
  EXPECT_TRUE(vantis::content::decodeBase64(
      pointer.substr(start, pointer.find('"', start) - start), signature));
  return signature;
}

// r || s in the DER form OpenSSL produces, which the pointer must not carry.
std::vector<unsigned char> derOf(const std::vector<unsigned char>& raw) {
  auto integer = [](const unsigned char* bytes) {
    std::vector<unsigned char> out{0x02};
    const bool highBit = (bytes[0] & 0x80) != 0;
    out.push_back(static_cast<unsigned char>(highBit ? 33 : 32));
    if (highBit) out.push_back(0);
    out.insert(out.end(), bytes, bytes + 32);
    return out;
  };
  const std::vector<unsigned char> r = integer(raw.data());
  const std::vector<unsigned char> s = integer(raw.data() + 32);
  std::vector<unsigned char> der{0x30, static_cast<unsigned char>(r.size() + s.size())};
  der.insert(der.end(), r.begin(), r.end());
  der.insert(der.end(), s.begin(), s.end());
  return der;
}

// The one chunk the alpha update (see Attack::publishAlphaUpdate) fetches.
std::string alphaUpdateChunk() { return sha256Hex(fileContent(900, 3)); }

class Attack : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.ok()) << server.error();
    writeRelease1(work.file("r1"));
    publish("1.0.0", 1, work.file("r1"));
    const ProgramRun installed = sync();
    ASSERT_EQ(installed.status, 0) << installed.output;
    addPlayerFiles(instance());
  }

  std::string instance() const { return work.file("instance"); }
  std::string content(const std::string& relative) const {
    return instance() + "/content/" + relative;
  }

  static void writeRelease1(const std::string& dir) {
    writeFile(dir + "/bin/tool.sh", "#!/bin/sh\necho tool 1.0\n");
    writeFile(dir + "/resources/version", "1.0.0\n");
    writeFile(dir + "/mods/alpha/alpha.esp", fileContent(700, 1));
    writeFile(dir + "/mods/alpha/readme.txt", "Alpha, the first mod.\n");
    writeFile(dir + "/mods/beta/beta.esp", fileContent(500, 2));
  }

  // What a player has beside the pack, and a folder outside the instance
  // that links inside it point at. None of it may ever change.
  void addPlayerFiles(const std::string& root) {
    writeFile(root + "/content/mods/player-mod/mine.esp", "the player's own mod\n");
    writeFile(root + "/content/mods/player-mod/game.cfg", "player setting\n");
    writeFile(root + "/content/mods/alpha/my-notes.txt", "notes on alpha\n");
    writeFile(root + "/settings/player.cfg", "fov=90\n");
    writeFile(root + "/logs/session.log", "played\n");
    writeFile(work.file("outside/precious.txt"), "precious\n");
    writeFile(work.file("outside/stash/keep.txt"), "keep me\n");
    fs::create_directories(root + "/content/mods");
    fs::create_directory_symlink(work.file("outside"), root + "/content/mods/linked");
    fs::create_symlink(work.file("outside/precious.txt"),
                       root + "/content/mods/alpha/link-to-precious.txt");
  }

  // Whole lists only: these attacks tamper with the lists where clients
  // fetch them whole (sections are checked the same way, by digest, in
  // ListSectionsTest).
  void publish(const std::string& version, int sequence, const std::string& dir,
               std::vector<std::string> extra = {}) {
    extra.insert(extra.end(),
                 {"--config-required", demoFile("config-required.cfg"), "--whole-lists"});
    const ProgramRun run = server.publish(version, sequence, dir, extra);
    ASSERT_EQ(run.status, 0) << run.output;
  }

  // 1.1.0: alpha.esp changes (one chunk to fetch) and beta is retired.
  HandRelease publishAlphaUpdate() {
    const std::string dir = work.file("r2");
    writeRelease1(dir);
    writeFile(dir + "/mods/alpha/alpha.esp", fileContent(900, 3));
    fs::remove_all(dir + "/mods/beta");
    publish("1.1.0", 2, dir);
    return HandRelease(server.folder(), "1.1.0");
  }

  // 1.1.0: a new mod of small files, which come as one bundle: enough of
  // them that reading the bundle index pays.
  static constexpr int kGammaFiles = 14;
  HandRelease publishGammaUpdate() {
    const std::string dir = work.file("r2");
    writeRelease1(dir);
    for (int i = 1; i <= kGammaFiles; ++i) {
      writeFile(dir + "/mods/gamma/g" + std::to_string(i) + ".esp",
                fileContent(300 + 50 * i, static_cast<char>(10 + i)));
    }
    publish("1.1.0", 2, dir);
    HandRelease release(server.folder(), "1.1.0");
    EXPECT_NE(release.list("bundles.ndjson").find("\"blobs\":[["), std::string::npos)
        << "the new mod should be one bundle";
    return release;
  }

  ProgramRun sync() { return runSync(instance(), server.url()); }
  ProgramRun syncAt(const std::string& url) { return runSync(instance(), url); }

  Tree now() {
    Tree tree = snapshot(work.path());
    dropVerifiedBlobs(tree);
    return tree;
  }
  void remember() { before = now(); }

  // A run on an instance with nothing installed, which must leave no file
  // behind; the folder goes afterwards so that the test folder compares.
  ProgramRun syncFresh(const std::string& url) {
    const std::string fresh = work.file("fresh");
    const ProgramRun run = runSync(fresh, url);
    for (const auto& [path, what] : snapshot(fresh)) {
      EXPECT_EQ(what, "dir") << "a refused run left " << path;
    }
    fs::remove_all(fresh);
    return run;
  }

  // Nothing installed, nothing lost: the whole test folder as remembered,
  // except records that a verified document rewrote (`rewritten`) and the
  // blob store's verified blobs.
  void expectUntouched(const std::vector<std::string>& rewritten = {}) {
    Tree after = now();
    Tree expected = before;
    for (const std::string& path : rewritten) {
      after.erase(path);
      expected.erase(path);
    }
    EXPECT_TRUE(expected == after) << differences(expected, after);
  }

  // The player's files and the outside folder, whatever else a run did.
  void expectPlayerFilesKept() {
    const Tree after = now();
    for (const auto& [path, what] : before) {
      const bool players = under(path, "outside") || under(path, "instance/logs") ||
                           path == "instance/settings/player.cfg" ||
                           under(path, "instance/content/mods/player-mod") ||
                           under(path, "instance/content/mods/linked") ||
                           path == "instance/content/mods/alpha/my-notes.txt" ||
                           path == "instance/content/mods/alpha/link-to-precious.txt";
      if (!players) continue;
      const auto found = after.find(path);
      EXPECT_TRUE(found != after.end() && found->second == what) << "the player lost " << path;
    }
  }

  ScriptServer& scripted() {
    if (!script) script = std::make_unique<ScriptServer>();
    EXPECT_TRUE(script->ok());
    return *script;
  }

  // A redirect in place of `path`, which the run must not follow (see the
  // redirect tests).
  void expectRedirectNotFollowed(const std::string& path, const std::string& message);

  ReleaseServer server;
  TempDir work;
  Tree before;
  std::unique_ptr<ScriptServer> script;
};

// ---- A published update, altered --------------------------------------------

// An update whose pointer, manifest, lists or objects a hostile server
// changed after publishing. HandRelease re-links and re-signs the chain
// around the change where a case says so, so that only the link it attacks
// is broken. The run is refused with the case's message and nothing is
// installed or lost.
struct Tampering {
  const char* name;
  enum class Update { alpha, gamma } update;  // publishAlphaUpdate or publishGammaUpdate
  void (*tamper)(const HandRelease& release, const TempDir& work);
  const char* message;
  // The manifest verified before the refusal, so its copy was rewritten.
  bool manifestVerified;
};

// Names the case in gtest's output instead of dumping its bytes.
void PrintTo(const Tampering& tampering, std::ostream* out) { *out << tampering.name; }

class TamperedUpdate : public Attack, public ::testing::WithParamInterface<Tampering> {};

TEST_P(TamperedUpdate, IsRefusedWithNothingInstalledOrLost) {
  const Tampering& tampering = GetParam();
  const HandRelease release = tampering.update == Tampering::Update::alpha
                                  ? publishAlphaUpdate()
                                  : publishGammaUpdate();
  tampering.tamper(release, work);
  if (HasFatalFailure()) return;
  remember();
  expectRefused(sync(), tampering.message);
  if (tampering.manifestVerified) {
    expectUntouched({kManifestCopy});
  } else {
    expectUntouched();
  }
}

// A table row's test name: its `name`.
template <typename Row>
std::string rowName(const ::testing::TestParamInfo<Row>& row) {
  return row.param.name;
}

constexpr Tampering::Update kAlpha = Tampering::Update::alpha;
constexpr Tampering::Update kGamma = Tampering::Update::gamma;
const char* const kManifestRefused = "The update manifest did not match its signature. Refused.";
const char* const kFileListRefused = "The file list did not match the manifest. Refused.";
const char* const kBundleIndexRefused = "The bundle index did not match the manifest. Refused.";

// ---- The release pointer ----------------------------------------------------

const Tampering kPointerTamperings[] = {
    {"PointerWithOneBitOfItsSignatureFlipped", kAlpha,
     [](const HandRelease& release, const TempDir&) {
       std::vector<unsigned char> signature = signatureOf(readFile(release.pointerFile()));
       ASSERT_EQ(signature.size(), 64u);
       signature[17] ^= 0x04;
       writeFile(release.pointerFile(), pointerOf(release.pointerPayload(), signature));
     },
     kNotGenuine, false},
    {"PointerSignedWithAnotherKey", kAlpha,
     [](const HandRelease& release, const TempDir& work) {
       const std::string key = work.file("stranger.pem");
       const ProgramRun made = runProgram({"/usr/bin/openssl", "ecparam", "-name", "prime256v1",
                                           "-genkey", "-noout", "-out", key});
       ASSERT_EQ(made.status, 0) << made.output;
       release.signPointer(withStringValue(release.pointerPayload(), "packVersion", "6.6.6"),
                           key);
     },
     kNotGenuine, false},
    // The genuine signature, over a payload with a higher sequence.
    {"PointerPayloadChangedAfterSigning", kAlpha,
     [](const HandRelease& release, const TempDir&) {
       const std::vector<unsigned char> signature = signatureOf(readFile(release.pointerFile()));
       std::string raised = release.pointerPayload();
       raised.replace(raised.find("\"sequence\":2"), 12, "\"sequence\":99");
       writeFile(release.pointerFile(), pointerOf(raised, signature));
     },
     kNotGenuine, false},
};
INSTANTIATE_TEST_SUITE_P(Pointer, TamperedUpdate, ::testing::ValuesIn(kPointerTamperings),
                         rowName<Tampering>);

TEST_F(Attack, MalformedAndIncompletePointersAreRefusedBeforeAnythingIsTouched) {
  HandRelease release = publishAlphaUpdate();
  const std::string payload = release.pointerPayload();
  const std::vector<unsigned char> good =
      vantis::content::test::signP256(vantis::content::test::devSigningKeyPath(), payload);
  ASSERT_EQ(good.size(), 64u);
  auto signedBy = [](const std::string& bytes) {
    return pointerOf(bytes, vantis::content::test::signP256(
                                vantis::content::test::devSigningKeyPath(), bytes));
  };
  struct Case {
    const char* what;
    std::string body;
    std::string message;
  } cases[] = {
      {"empty body", "", "The release pointer was malformed: no input"},
      {"an error page", "<html>bad gateway</html>",
       "The release pointer was malformed: expected a number"},
      {"nested too deeply", std::string(40, '[') + std::string(40, ']'),
       "The release pointer was malformed: nested too deeply"},
      {"payload not Base64", "{\"payload\":\"%%%\",\"signature\":\"" + base64Of(good) + "\"}",
       kMalformed},
      {"signature in DER form", pointerOf(payload, derOf(good)), kMalformed},
      {"signature cut short",
       pointerOf(payload, std::vector<unsigned char>(good.begin(), good.begin() + 63)), kMalformed},
      {"signature of zeros", pointerOf(payload, std::vector<unsigned char>(64, 0)), kNotGenuine},
      {"signature of 0xff", pointerOf(payload, std::vector<unsigned char>(64, 0xff)),
       kNotGenuine},
      {"no payload at all", "{\"signature\":\"" + base64Of(good) + "\"}", kNotGenuine},
      {"signed bytes that are not JSON", signedBy("not json"),
       "The signed release pointer was malformed."},
      {"signed without a sequence", signedBy("{\"packVersion\":\"9.9\",\"manifest\":\"x\"}"),
       "The release pointer was incomplete."},
      {"signed with a negative sequence",
       signedBy("{\"packVersion\":\"9.9\",\"sequence\":-5,\"manifest\":\"x\"}"),
       "The release pointer was incomplete."},
  };
  remember();
  for (const Case& attack : cases) {
    SCOPED_TRACE(attack.what);
    writeFile(release.pointerFile(), attack.body);
    expectRefused(sync(), attack.message);
    expectUntouched();
  }
}

// Release 1.1.0 (sequence 2) is installed; the server replays the signed
// pointer of 1.0.0 (sequence 1), whose documents are all still there.
TEST_F(Attack, ReplayedOlderPointerIsRefused) {
  const std::string olderPointer = readFile(server.file("current.json"));
  publishAlphaUpdate();
  ASSERT_EQ(sync().status, 0);
  ASSERT_EQ(readFile(content("cache/state.json")).find("{\"sequence\":2,"), 0u);
  writeFile(server.file("current.json"), olderPointer);
  remember();
  expectRefused(sync(), "The server offered an older release than the one installed. Refused.");
  expectUntouched();
}

// ---- The manifest and the lists ---------------------------------------------

const Tampering kListTamperings[] = {
    {"ManifestAlteredByOneByte", kAlpha,
     [](const HandRelease& release, const TempDir&) {
       std::string manifest = release.manifest();
       manifest[manifest.find("\"fileCount\":") + 12] ^= 0x01;
       writeFile(release.manifestFile(), manifest);
     },
     kManifestRefused, false},
    // A validly signed pointer whose digest names 1.1.0's manifest, while the
    // server hands out 1.0.0's manifest at the path it names.
    {"SignedPointerWithAnotherReleasesManifest", kAlpha,
     [](const HandRelease& release, const TempDir&) {
       release.signPointer(
           withStringValue(release.pointerPayload(), "manifest", "manifest/1.0.0/manifest.json"));
     },
     kManifestRefused, false},
    {"FileListOfAnotherRelease", kAlpha,
     [](const HandRelease& release, const TempDir&) {
       release.replaceListOnly(
           "files-required.ndjson",
           HandRelease(release.folder(), "1.0.0").list("files-required.ndjson"));
     },
     kFileListRefused, true},
    // alpha.esp's size, 900, becomes 901: a file the player would keep
    // fetching, or a different file altogether.
    {"FileListAlteredByOneByte", kAlpha,
     [](const HandRelease& release, const TempDir&) {
       std::string list = release.list("files-required.ndjson");
       list.replace(list.find("\"size\":900"), 10, "\"size\":901");
       release.replaceListOnly("files-required.ndjson", list);
     },
     kFileListRefused, true},
    {"BundleIndexOfAnotherRelease", kGamma,
     [](const HandRelease& release, const TempDir&) {
       release.replaceListOnly("bundles.ndjson",
                               HandRelease(release.folder(), "1.0.0").list("bundles.ndjson"));
     },
     kBundleIndexRefused, true},
    {"BundleIndexAlteredByOneByte", kGamma,
     [](const HandRelease& release, const TempDir&) {
       std::string index = release.list("bundles.ndjson");
       index[index.find(",0,") + 1] = '1';  // the first blob now starts one byte later
       release.replaceListOnly("bundles.ndjson", index);
     },
     kBundleIndexRefused, true},
    // Entries for other platforms are never installed here, but an unsafe
    // path in one still refuses the whole list.
    {"UnsafePathInAnotherPlatformsEntry", kAlpha,
     [](const HandRelease& release, const TempDir&) {
       release.setList("files-required.ndjson",
                       release.list("files-required.ndjson") +
                           release.fileEntry("..\\..\\outside\\evil.exe", "MZ", "binary",
                                             "windows"));
     },
     "The update contained an unsafe path and was refused: ..\\..\\outside\\evil.exe", true},
};
INSTANTIATE_TEST_SUITE_P(Lists, TamperedUpdate, ::testing::ValuesIn(kListTamperings),
                         rowName<Tampering>);

// A retired list that does not match the manifest is a note, not a failure:
// the verified release is installed, and nothing at all is deleted.
TEST_F(Attack, RetiredListThatDoesNotMatchTheManifestDeletesNothing) {
  HandRelease release = publishAlphaUpdate();
  release.replaceListOnly("files-retired.ndjson",
                          "{\"path\":\"mods/player-mod/mine.esp\"}\n"
                          "{\"path\":\"mods/alpha/my-notes.txt\"}\n"
                          "{\"path\":\"mods/alpha/readme.txt\"}\n"
                          "{\"path\":\"mods/beta/beta.esp\"}\n");
  remember();
  const ProgramRun run = sync();
  expectFinishedOk(run);
  EXPECT_NE(run.output.find("removed   the list of removed files did not match the manifest; "
                            "nothing removed\n"),
            std::string::npos)
      << run.output;
  expectPlayerFilesKept();
  EXPECT_EQ(readFile(content("mods/alpha/readme.txt")), "Alpha, the first mod.\n");
  EXPECT_EQ(readFile(content("mods/beta/beta.esp")), fileContent(500, 2));
  EXPECT_EQ(readFile(content("mods/alpha/alpha.esp")), fileContent(900, 3));
}

// A refused update still leaves its genuine manifest behind as the manifest
// copy. When the server then points back at the installed release, that
// copy is not the installed release's manifest and must not be taken for
// it: its credits (and, on a profile switch, its configuration) belong to a
// release that was never installed.
TEST_F(Attack, ManifestOfARefusedReleaseIsNotTakenForTheInstalledOne) {
  const std::string installedPointer = readFile(server.file("current.json"));
  const std::string dir = work.file("r2");
  writeRelease1(dir);
  writeFile(dir + "/mods/alpha/alpha.esp", fileContent(900, 3));
  publish("1.1.0", 2, dir, {"--credits", demoFile("credits.json")});
  HandRelease release(server.folder(), "1.1.0");
  release.replaceListOnly("files-required.ndjson", "");
  expectRefused(sync(), "The file list did not match the manifest. Refused.");

  writeFile(server.file("current.json"), installedPointer);
  const ProgramRun run = sync();
  expectFinishedOk(run);
  EXPECT_NE(run.output.find("changed   no (already up to date)\n"), std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("credits   0 mods\n"), std::string::npos) << run.output;
  EXPECT_TRUE(readFile(content("cache/manifest-head.json")) ==
              readFile(server.file("manifest/1.0.0/manifest.json")))
      << "the manifest copy is still the refused release's";
}

// ---- Bundles and chunks ----------------------------------------------------

// The id of the first bundle in a bundle index.
std::string firstBundleId(const std::string& index) {
  return index.substr(index.find("\"id\":\"") + 6, 64);
}

const Tampering kObjectTamperings[] = {
    {"ChunkAlteredByOneByte", kAlpha,
     [](const HandRelease& release, const TempDir&) {
       release.editObject(release.chunkFile(alphaUpdateChunk()),
                          [](std::string& bytes) { bytes[100] ^= 0x20; });
     },
     "A downloaded file failed its integrity check. Refused.", true},
    {"BundleAlteredByOneByte", kGamma,
     [](const HandRelease& release, const TempDir&) {
       release.editObject(release.bundleFile(firstBundleId(release.list("bundles.ndjson"))),
                          [](std::string& bytes) { bytes[10] ^= 0x01; });
     },
     "A downloaded bundle was corrupt. Refused.", true},
    // The bundle is genuine (its digest is its id), but the signed index
    // claims its first blob runs one byte past its end.
    {"BundleShorterThanItsIndexClaims", kGamma,
     [](const HandRelease& release, const TempDir&) {
       std::string index = release.list("bundles.ndjson");
       const std::size_t sizeAt = index.find("\"size\":") + 7;
       const long long bundleSize = std::stoll(index.substr(sizeAt));
       const std::size_t lengthAt = index.find(",0,") + 3;
       const std::size_t lengthEnd = index.find(']', lengthAt);
       index.replace(lengthAt, lengthEnd - lengthAt, std::to_string(bundleSize + 1));
       release.setList("bundles.ndjson", index);
     },
     "A bundle was shorter than its index claimed. Refused.", true},
    // An id too short to hold the two folder levels of an object path.
    {"ShortChunkIdInTheFileList", kAlpha,
     [](const HandRelease& release, const TempDir&) {
       std::string list = release.list("files-required.ndjson");
       const std::size_t chunk = list.find("\"chunks\":[\"") + 11;
       list.replace(chunk, 64, "ab");
       release.setList("files-required.ndjson", list);
     },
     "The update manifest is malformed. Refused.", true},
};
INSTANTIATE_TEST_SUITE_P(Objects, TamperedUpdate, ::testing::ValuesIn(kObjectTamperings),
                         rowName<Tampering>);

// A bundle id too short to hold the two folder levels of an object path:
// the bundle is fetched blob by blob instead (a chunk id so short stops the
// list, above).
TEST_F(Attack, ShortBundleIdDoesNotCrashAndItsBlobsComeAlone) {
  HandRelease release = publishGammaUpdate();
  release.setList("bundles.ndjson", withStringValue(release.list("bundles.ndjson"), "id", "ab"));
  const ProgramRun run = sync();
  expectFinishedOk(run);
  for (int i = 1; i <= kGammaFiles; ++i) {
    EXPECT_EQ(readFile(content("mods/gamma/g" + std::to_string(i) + ".esp")),
              fileContent(300 + 50 * i, static_cast<char>(10 + i)));
  }
  EXPECT_EQ(server.countRequests("/bundles/"), 0u);
}

// ---- Bodies too large, endless or never coming, and redirects ---------------------

TEST_F(Attack, PointerLargerThanTheBodyLimitIsRefused) {
  ScriptedResponse huge;
  huge.body = std::string(1 << 20, '{');
  huge.repeat = kBodyLimit / huge.body.size() + 1;
  scripted().on("/current.json", huge);
  remember();
  // With a release installed, an unreadable pointer means "play what is
  // installed"; without one the run fails with the client's reason.
  const ProgramRun run = syncAt(scripted().url());
  expectFinishedOk(run);
  EXPECT_NE(run.output.find("Update check unavailable - playing installed content"),
            std::string::npos);
  expectRefused(syncFresh(scripted().url()), kTooLarge);
  expectUntouched();
}

// An answer to the pointer request that no client may take in whole, given
// to an instance with nothing installed (with one, an unreadable pointer
// means "play what is installed", above). The run ends on its own, refused
// with the case's message, and leaves nothing behind.
struct HostileAnswer {
  const char* name;
  // Makes the answer; `genuinePointer` is the served "current.json".
  void (*answer)(const std::string& genuinePointer, ScriptedResponse& response);
  const char* message;
  // Only the message's opening is the client's own: the rest is libcurl's
  // reason, which differs between its versions.
  bool openingOnly;
};

void PrintTo(const HostileAnswer& hostile, std::ostream* out) { *out << hostile.name; }

class HostilePointerAnswer : public Attack,
                             public ::testing::WithParamInterface<HostileAnswer> {};

TEST_P(HostilePointerAnswer, IsRefusedWithoutHangingOrLeavingAnything) {
  const HostileAnswer& hostile = GetParam();
  ScriptedResponse response;
  hostile.answer(readFile(server.file("current.json")), response);
  if (HasFatalFailure()) return;
  scripted().on("/current.json", response);
  remember();
  const ProgramRun run = syncFresh(scripted().url());
  if (hostile.openingOnly) {
    expectRefusedStartingWith(run, hostile.message);
  } else {
    expectRefused(run, hostile.message);
  }
  expectUntouched();
}

const HostileAnswer kHostileAnswers[] = {
    // Larger than any pointer can be: cut off at the documents' limit, as
    // any other answer that is not a pointer.
    {"PointerLargerThanAnyDocument",
     [](const std::string&, ScriptedResponse& large) {
       large.body = "{\"payload\":\"" + std::string(9 << 20, 'A') + "\"}";
     },
     kTooLarge, false},
    {"EndlessChunkedPointer",
     [](const std::string&, ScriptedResponse& endless) {
       endless.body = std::string(1 << 20, ' ');
       endless.chunked = true;
       endless.repeat = 0;
     },
     kTooLarge, false},
    // A quarter of a megabyte that inflates past the limit: the limit counts
    // the bytes after decoding.
    {"CompressedPointerInflatingPastTheLimit",
     [](const std::string&, ScriptedResponse& bomb) {
       const TempDir scratch;
       const std::string packed = scratch.file("bomb.gz");
       const ProgramRun made = runProgram(
           {"/bin/sh", "-c", "head -c 270000000 /dev/zero | gzip -n -9 > \"$1\"", "sh", packed});
       ASSERT_EQ(made.status, 0) << made.output;
       bomb.body = readFile(packed);
       bomb.headers.emplace_back("Content-Encoding", "gzip");
     },
     kTooLarge, false},
    // Headers without end (here: 2000 of 200 bytes) are cut off by the
    // client rather than collected.
    {"HeaderFlood",
     [](const std::string& genuinePointer, ScriptedResponse& flood) {
       for (int i = 0; i < 2000; ++i) {
         flood.headers.emplace_back("X-Flood-" + std::to_string(i), std::string(200, 'h'));
       }
       flood.body = genuinePointer;
     },
     "could not reach the server (", true},
    // The genuine pointer wrapped in gzip six times over, each layer
    // announced: the client refuses the chain instead of unwrapping without
    // bound.
    {"ChainOfContentEncodings",
     [](const std::string& genuinePointer, ScriptedResponse& wrapped) {
       std::string encodings;
       wrapped.body = genuinePointer;
       for (int i = 0; i < 6; ++i) {
         wrapped.body = gzipBytes(wrapped.body);
         encodings += encodings.empty() ? "gzip" : ", gzip";
       }
       wrapped.headers.emplace_back("Content-Encoding", encodings);
     },
     "could not reach the server (", true},
    // The same with each layer on a header line of its own, which HTTP
    // reads as the same list.
    {"ContentEncodingsOnSeparateLines",
     [](const std::string& genuinePointer, ScriptedResponse& wrapped) {
       wrapped.body = genuinePointer;
       for (int i = 0; i < 2; ++i) {
         wrapped.body = gzipBytes(wrapped.body);
         wrapped.headers.emplace_back("Content-Encoding", "gzip");
       }
     },
     "could not reach the server (", true},
    // A server that takes the connection and never answers: the run ends
    // after the client's floor-rate window (a minute, in which 60 KiB must
    // arrive) instead of waiting for ever.
    {"ServerThatNeverAnswers",
     [](const std::string&, ScriptedResponse& silent) { silent.delayMs = 10 * 60 * 1000; },
     "the server was too slow: less than 61440 bytes in 60 seconds", false},
};
INSTANTIATE_TEST_SUITE_P(Bodies, HostilePointerAnswer, ::testing::ValuesIn(kHostileAnswers),
                         rowName<HostileAnswer>);

TEST_F(Attack, ChunkLargerThanTheBodyLimitIsRefused) {
  publishAlphaUpdate();
  serveFolder(scripted(), server.folder());
  const std::string hash = alphaUpdateChunk();
  ScriptedResponse huge;
  huge.body = std::string(1 << 20, 'x');
  huge.repeat = kBodyLimit / huge.body.size() + 1;
  scripted().on("/chunks/" + hash.substr(0, 2) + "/" + hash.substr(2, 2) + "/" + hash + ".gz",
                huge);
  remember();
  expectRefused(syncAt(scripted().url()), std::string("A download failed: ") + kTooLarge);
  expectUntouched({kManifestCopy});
}

// Every document and object, answered with a redirect to nginx serving the
// genuine file: the client must neither follow it nor take the redirect's
// own body. `message` empty: the installed release is kept.
void Attack::expectRedirectNotFollowed(const std::string& path, const std::string& message) {
  Attack& test = *this;
  SCOPED_TRACE(path);
  ScriptServer redirector;
  serveFolder(redirector, test.server.folder());
  ScriptedResponse moved;
  moved.status = 302;
  moved.headers.emplace_back("Location", test.server.url() + path);
  moved.body = readFile(test.server.folder() + path);
  redirector.on(path, moved);
  const std::size_t served = test.server.countRequests(path);
  test.remember();
  const ProgramRun run = test.syncAt(redirector.url());
  if (message.empty()) {
    expectFinishedOk(run);
    EXPECT_NE(run.output.find("Update check unavailable - playing installed content"),
              std::string::npos)
        << run.output;
    test.expectUntouched();
  } else {
    expectRefused(run, message);
    test.expectUntouched({kManifestCopy});
  }
  EXPECT_EQ(test.server.countRequests(path), served) << "the redirect was followed";
}

TEST_F(Attack, RedirectsAreNeverFollowed) {
  HandRelease release = publishAlphaUpdate();
  const std::string hash = alphaUpdateChunk();
  struct Case {
    std::string path;
    std::string message;  // empty: the installed release is kept
  } cases[] = {
      {"/current.json", ""},
      {"/manifest/1.1.0/manifest.json", "Could not download the update manifest."},
      {"/manifest/1.1.0/files-required.ndjson", "Could not download the file list."},
      {"/chunks/" + hash.substr(0, 2) + "/" + hash.substr(2, 2) + "/" + hash + ".gz",
       "A download failed: "},
  };
  for (const Case& attack : cases) expectRedirectNotFollowed(attack.path, attack.message);
}

// The bundle index is read only when enough blobs are wanted for a bundle to
// pay: six new files.
TEST_F(Attack, RedirectOfTheBundleIndexIsNeverFollowed) {
  publishGammaUpdate();
  expectRedirectNotFollowed("/manifest/1.1.0/bundles.ndjson",
                            "Could not download the bundle index.");
}

// ---- Paths in file lists ----------------------------------------------------

// A signed release whose file list names one more file, placed where it
// must never go. Each would land in the test folder (outside the instance)
// or inside the content folder under a name that is not safe; the whole
// list is refused before anything is fetched or written.
TEST_F(Attack, UnsafePathsInTheFileListAreRefused) {
  HandRelease release = publishAlphaUpdate();
  const std::string list = release.list("files-required.ndjson");
  const std::string outside = work.file("outside/evil.txt");
  const std::string paths[] = {
      "/etc/passwd",
      outside,
      "\\\\server\\share\\evil.txt",
      "..\\x",
      "a/../b",
      "../../outside/evil.txt",
      "mods\\..\\..\\..\\outside\\evil.txt",
      "mods/linked/../../../outside/evil.txt",
      "..",
      ".",
      "mods/./evil.txt",
      "a:b",
      "C:\\evil.txt",
      "mods/alpha.esp:stream",
      "nul.txt",
      "mods/Con.esp",
      "mods/com1.tar.gz",
      "mods/AUX",
      "mods/dir./evil.txt",
      "mods/evil.txt ",
      "mods/x|y",
      "mods/a*b",
      "mods/what?",
      "mods/<tag>",
      "mods/\"quoted\"",
      std::string("mods/ctl\x01.esp"),
      "mods/new\nline.esp",
      "mods/" + std::string(396, 'a'),
      "",
  };
  remember();
  for (const std::string& path : paths) {
    SCOPED_TRACE(jsonQuote(path));
    release.setList("files-required.ndjson", list + release.fileEntry(path, "pwned\n"));
    expectRefused(sync(), kUnsafe + path);
    expectUntouched({kManifestCopy});
  }
}

// A path that is safe as text but that the player's own links lead
// elsewhere: a link at the file itself is replaced, never written through.
TEST_F(Attack, LinkAtAnInstalledFileIsReplacedNotWrittenThrough) {
  publishAlphaUpdate();
  fs::remove(content("mods/alpha/alpha.esp"));
  fs::create_symlink(work.file("outside/precious.txt"), content("mods/alpha/alpha.esp"));
  remember();
  expectFinishedOk(sync());
  EXPECT_EQ(readFile(work.file("outside/precious.txt")), "precious\n");
  EXPECT_FALSE(fs::is_symlink(content("mods/alpha/alpha.esp")));
  EXPECT_EQ(readFile(content("mods/alpha/alpha.esp")), fileContent(900, 3));
  expectPlayerFilesKept();
}

// ---- Retired lists ----------------------------------------------------------------

// A signed retired list that names everything it must not: places outside
// the content folder, the synchroniser's records, configuration files, the
// player's files through links, files the release still uses. Only the one
// genuinely retired file goes.
TEST_F(Attack, RetiredPathsReachingOutsideTheContentFolderAreRefused) {
  HandRelease release = publishAlphaUpdate();
  const std::string paths[] = {
      "../../outside/precious.txt",
      "..\\..\\outside\\precious.txt",
      work.file("outside/precious.txt"),
      "mods/../../settings/player.cfg",
      "../settings/player.cfg",
      "cache/state.json",
      "Cache\\State.json",
      "cache/binary-check-required.json",
      "mods/player-mod/game.cfg",
      "mods/alpha/alpha.esp",
      "c:/outside/precious.txt",
      "mods//player-mod/mine.esp",
      "mods/linked/precious.txt",
      "mods/linked/stash/keep.txt",
      "mods/alpha/link-to-precious.txt",
      "mods/beta/beta.esp",
  };
  std::string list;
  for (const std::string& path : paths) list += "{\"path\":" + jsonQuote(path) + "}\n";
  release.setList("files-retired.ndjson", list);
  remember();
  const ProgramRun run = sync();
  expectFinishedOk(run);
  EXPECT_NE(run.output.find("removed   1 of 16 retired file(s) removed (0 MB), 1 empty "
                            "folder(s), 0 could not be deleted, 12 refused\n"),
            std::string::npos)
      << run.output;
  expectPlayerFilesKept();
  EXPECT_FALSE(exists(content("mods/beta")));
  EXPECT_EQ(readFile(content("mods/alpha/alpha.esp")), fileContent(900, 3));
  EXPECT_EQ(readFile(content("cache/state.json")).find("{\"sequence\":2,"), 0u);
  EXPECT_TRUE(exists(content("cache/binary-check-required.json")));
}

// The blob store is deleted after every complete run. A link the player put
// in its place (say, to keep downloads on another disk) must not take the
// folder it points at with it.
TEST_F(Attack, LinkedBlobStoreDoesNotTakeTheLinkedFolderWithIt) {
  publishAlphaUpdate();
  fs::create_directory_symlink(work.file("outside/stash"), content("cache/blobs"));
  remember();
  expectFinishedOk(sync());
  expectPlayerFilesKept();
  EXPECT_EQ(readFile(work.file("outside/stash/keep.txt")), "keep me\n");
}

}  // namespace
