// SkarvelPublish verify, run as a content team runs it on a server folder the
// built publisher filled: nothing to report on a folder as published, and
// one line per problem, naming the file, for each kind of damage a careless
// copy, a full disk or a hostile hand does; the folder is never changed.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "HandRelease.h"
#include "Publishing.h"
#include "TempDir.h"
#include "TestSigning.h"
#include "Tree.h"
#include "release/Lists.h"

namespace vantis::publish {
namespace {

using namespace skarvel::test;

// The line of `list` about `path`, read back as a record.
content::FileRecord entryOf(const std::string& list, const std::string& path) {
  content::FileRecord found;
  EXPECT_TRUE(content::forEachLine(list, [&](const content::JsonValue& line) {
    if (line["path"].asString("") == path) found = content::readFileRecord(line);
    return content::Status();
  }));
  EXPECT_EQ(found.path, path);
  return found;
}

content::BundleRecord firstBundle(const std::string& index) {
  content::JsonValue line;
  std::string error;
  EXPECT_TRUE(content::parseJson(index.substr(0, index.find('\n')), line, error)) << error;
  return content::readBundleRecord(line);
}

std::size_t lineCount(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

class VerifyFolder : public ::testing::Test {
 protected:
  // 1.0 and then 1.1 (one file changed, a mod added), with blobs of 1 KiB so
  // that a file has several and each mod folder a bundle.
  void SetUp() override {
    for (int i = 1; i <= 6; ++i) {
      writeFile(temp.file("c/mods/a/" + std::to_string(i) + ".esp"), "a file " + std::to_string(i));
    }
    writeFile(temp.file("c/mods/a/big.bsa"), patterned(3000, 1));
    writeFile(temp.file("c/bin/tool"), "#!/bin/sh\n");
    publish("1.0", 1);
    writeFile(temp.file("c/mods/a/2.esp"), "a file 2, changed");
    for (int i = 1; i <= 5; ++i) {
      writeFile(temp.file("c/mods/b/" + std::to_string(i) + ".esp"), "b file " + std::to_string(i));
    }
    publish("1.1", 2);
  }

  void publish(const std::string& version, int sequence) {
    const ProgramRun run =
        publishRelease(server(), version, sequence, temp.file("c"), {"--chunk-size", "1K"});
    ASSERT_EQ(run.status, 0) << run.output;
  }

  std::string server() const { return temp.file("server"); }

  ProgramRun verify(const std::string& folder, const std::vector<std::string>& more = {}) {
    std::vector<std::string> args = {"verify", "--quiet", "--server",
                                     folder,   "--key",   content::test::devSigningKeyPath()};
    args.insert(args.end(), more.begin(), more.end());
    return runPublisher(args);
  }

  TempDir temp;
};

TEST_F(VerifyFolder, FindsNothingWrongWithAFolderAsPublished) {
  const std::string summary =
      "checked " + server() + ": serves 1.1 (sequence 2), 2 releases on the chain, ";
  ProgramRun run = verify(server());
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(run.output, summary + "1 checked whole (13 files, 15 blobs, 2 bundles); no problems\n");
  EXPECT_EQ(run.errors, "");

  // Public keys as clients are built with them, and the whole chain.
  const std::string keys = std::string(SKARVEL_SOURCE_DIR) +
                           "/tests/data/second-signing-key.pub.pem;" + SKARVEL_SOURCE_DIR +
                           "/keys/signing-key.pub.pem";
  run = runPublisher({"verify", "--server", server(), "--public-key", keys, "--releases", "all"});
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(run.output, summary + "2 checked whole (14 files, 16 blobs, 3 bundles); no problems\n");
}

// Each row damages a fresh copy of the folder and says which lines verify
// must print for it.
struct Damage {
  const char* name;
  std::function<std::string(const HandRelease& served, const HandRelease& earlier)> apply;
};

TEST_F(VerifyFolder, ReportsEachProblemOnOneLineAndChangesNothing) {
  const std::string served = "manifest/1.1/";
  const auto blobOf = [](const HandRelease& release, const std::string& path) {
    return entryOf(release.list("files-required.ndjson"), path).chunks.at(0);
  };
  const auto object = [](const std::string& kind, const std::string& hash) {
    return kind + "/" + hash.substr(0, 2) + "/" + hash.substr(2, 2) + "/" + hash + ".gz";
  };
  const std::vector<Damage> rows = {
      {"a blob deleted",
       [&](const HandRelease& r, const HandRelease&) {
         const std::string hash = blobOf(r, "mods/a/2.esp");
         EXPECT_EQ(0, std::remove(r.chunkFile(hash).c_str()));
         return object("chunks", hash) + ": missing (named by " + served +
                "files-required.ndjson)\n";
       }},
      {"a blob stored as two gzip members",
       [&](const HandRelease& r, const HandRelease&) {
         const std::string hash = blobOf(r, "mods/a/3.esp");
         writeFile(r.chunkFile(hash), gzipBytes("a fi") + gzipBytes("le 3"));
         return object("chunks", hash) + ": not one whole gzip member of at most 256 MiB\n";
       }},
      {"a blob of other bytes",
       [&](const HandRelease& r, const HandRelease&) {
         const std::string hash = blobOf(r, "mods/a/big.bsa");
         r.editObject(r.chunkFile(hash), [](std::string& bytes) { bytes[7] ^= 1; });
         return object("chunks", hash) + ": decodes to bytes that do not hash to its name\n";
       }},
      {"a bundle of other bytes",
       [&](const HandRelease& r, const HandRelease&) {
         const std::string id = firstBundle(r.list("bundles.ndjson")).id;
         r.editObject(r.bundleFile(id), [](std::string& bytes) { bytes += "x"; });
         return object("bundles", id) + ": decodes to bytes that do not hash to its name\n";
       }},
      {"a bundle shorter than its index says, signed",
       [&](const HandRelease& r, const HandRelease&) {
         std::string index = r.list("bundles.ndjson");
         const content::BundleRecord first = firstBundle(index);
         const std::string size = "\"size\":" + std::to_string(first.size);
         index.replace(index.find(size), size.size(), "\"size\":" + std::to_string(first.size + 1));
         r.setList("bundles.ndjson", index);
         return object("bundles", first.id) + ": is " + std::to_string(first.size) + " bytes, " +
                served + "bundles.ndjson says " + std::to_string(first.size + 1) + "\n";
       }},
      {"a list changed after publishing",
       [&](const HandRelease& r, const HandRelease&) {
         r.replaceListOnly("files-optional.ndjson", r.list("files-optional.ndjson") + "\n");
         return served + "files-optional.ndjson: does not match the digest that " + served +
                "manifest.json names\n";
       }},
      {"an earlier release's manifest changed",
       [&](const HandRelease&, const HandRelease& e) {
         writeFile(e.manifestFile(), e.manifest() + " ");
         return "manifest/1.0/manifest.json: does not match the digest that " + served +
                "manifest.json names\n";
       }},
      {"an unsafe path and a file that does not reassemble, signed",
       [&](const HandRelease& r, const HandRelease&) {
         const std::string list = r.list("files-required.ndjson");
         std::string wrongSize = r.fileEntry("mods/c/x.esp", "abc");
         wrongSize.replace(wrongSize.find("\"size\":3"), 8, "\"size\":4");
         r.setList("files-required.ndjson",
                   list + r.fileEntry("../outside.txt", "pwned") + wrongSize);
         return served + "files-required.ndjson: line " + std::to_string(lineCount(list) + 1) +
                ": players refuse the path ../outside.txt\n" + served +
                "files-required.ndjson: mods/c/x.esp does not reassemble from its blobs to its "
                "size and digest\n";
       }},
      {"a pointer signed with another key",
       [&](const HandRelease& r, const HandRelease&) {
         r.signPointer(r.pointerPayload(),
                       std::string(SKARVEL_SOURCE_DIR) + "/tests/data/second-signing-key.pem");
         return "current.json: its signature does not verify with " +
                content::test::devSigningKeyPath() + "\n";
       }},
      {"an expired pointer",
       [&](const HandRelease& r, const HandRelease&) {
         std::string payload = r.pointerPayload();
         payload.insert(payload.rfind('}'), ",\"expires\":\"2001-01-01T00:00:00Z\"");
         r.signPointer(payload);
         return std::string(
             "current.json: expired at 2001-01-01T00:00:00Z; players refuse it a "
             "day later (refresh it, or publish)\n");
       }},
  };
  int copy = 0;
  for (const Damage& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string folder = temp.file("copy" + std::to_string(++copy));
    copyTree(server(), folder);
    const std::string expected = row.apply(HandRelease(folder, "1.1"), HandRelease(folder, "1.0"));
    const Tree before = snapshot(folder);
    const ProgramRun run = verify(folder);
    EXPECT_EQ(run.status, 1) << run.errors;
    const std::size_t summary = run.output.rfind('\n', run.output.size() - 2) + 1;
    EXPECT_EQ(run.output.substr(0, summary), expected);
    const std::size_t problems = lineCount(expected);
    EXPECT_NE(run.output.find("; " + std::to_string(problems) +
                              (problems == 1 ? " problem\n" : " problems\n")),
              std::string::npos)
        << run.output;
    EXPECT_EQ(differences(before, snapshot(folder)), "");
  }
}

// A zstd release on top of the gzip ones: each release's objects are read
// under its own encoding, so a .gz copy of a blob does not stand in for the
// .zst one its players request.
TEST_F(VerifyFolder, ChecksEachReleaseInItsOwnEncoding) {
  writeFile(temp.file("c/mods/a/4.esp"), "a file 4, changed");
  const ProgramRun published = publishRelease(server(), "1.2", 3, temp.file("c"),
                                              {"--chunk-size", "1K", "--compression", "zstd"});
  ASSERT_EQ(published.status, 0) << published.output;
  ProgramRun run = verify(server(), {"--releases", "all"});
  EXPECT_EQ(run.status, 0) << run.output;
  // 1.2's 13 files, 15 blobs and 2 bundles count again: they are .zst objects.
  EXPECT_NE(run.output.find("3 checked whole (27 files, 31 blobs, 5 bundles); no problems\n"),
            std::string::npos)
      << run.output;

  const HandRelease zstd(server(), "1.2");
  const std::string list = zstd.list("files-required.ndjson");
  const std::string cut = entryOf(list, "mods/a/3.esp").chunks.at(0);
  const std::string gone = entryOf(list, "mods/a/big.bsa").chunks.at(0);
  const auto stored = [](const std::string& hash, const char* suffix) {
    return "chunks/" + hash.substr(0, 2) + "/" + hash.substr(2, 2) + "/" + hash + suffix;
  };
  const std::string cutFile = server() + "/" + stored(cut, ".zst");
  writeFile(cutFile, readFile(cutFile).substr(0, 8));
  ASSERT_EQ(0, std::remove((server() + "/" + stored(gone, ".zst")).c_str()));
  ASSERT_NE(readFile(server() + "/" + stored(gone, ".gz")), "");
  run = verify(server());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find(stored(cut, ".zst") +
                            ": not one whole zstd frame stating its size, of at most 256 MiB\n"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find(stored(gone, ".zst") +
                            ": missing (named by manifest/1.2/files-required.ndjson)\n"),
            std::string::npos)
      << run.output;
}

TEST_F(VerifyFolder, RefusesWhatItCannotCheckOnOneLine) {
  const std::string missing = temp.file("nowhere");
  ProgramRun run = verify(missing);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.errors,
            "SkarvelPublish: error: the server folder " + missing + " does not exist\n");

  run = runPublisher({"verify", "--server", server()});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.errors,
            "SkarvelPublish: error: verify needs --key PRIVATE.pem or --public-key PUBLIC.pem "
            "(see SkarvelPublish --help)\n");

  run = runPublisher(
      {"verify", "--server", server(), "--public-key", content::test::devSigningKeyPath()});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.errors, "SkarvelPublish: error: " + content::test::devSigningKeyPath() +
                            " holds no PEM public key\n");

  run = verify(server(), {"--releases", "0"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.errors,
            "SkarvelPublish: error: --releases takes a number of releases from 1, or all, not "
            "\"0\" (see SkarvelPublish --help)\n");

  std::remove((server() + "/current.json").c_str());
  run = verify(server());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, "current.json: missing: the folder serves no release\nchecked " + server() +
                            "; 1 problem\n");
}

}  // namespace
}  // namespace vantis::publish
