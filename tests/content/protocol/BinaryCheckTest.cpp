#include "protocol/BinaryCheck.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/Crypto.h"
#include "TempDir.h"

namespace vantis::content::binarycheck {
namespace {

using namespace skarvel::test;

const std::string kDigestA(64, 'a');

// Sets a file's modification time to a fixed value, so that "touched" and
// "untouched" never depend on the clock.
void setMtime(const std::string& path, long long seconds, long nanoseconds) {
  const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), nanoseconds}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// An installed content folder with two programs and a version file, and the
// file-list entries that describe it.
struct Installed {
  TempDir dir;
  std::string content = dir.file("content");
  std::vector<Entry> entries;

  Installed() {
    add("bin/game", "game program bytes");
    add("lib/libengine.so", "engine library");
    add("resources/version", "0.9.2\nrev-42\n");
  }

  void add(const std::string& path, const std::string& data) {
    writeFile(content + "/" + path, data);
    setMtime(content + "/" + path, 1700000000, 5);
    entries.push_back(Entry{path, data.size(), Sha256::of(data), ""});
  }

  Record captured() {
    Record record;
    EXPECT_TRUE(capture(content, "0.9.2", "linux", entries, record));
    return record;
  }
};

TEST(RecordPath, NamesOneRecordPerTierInTheCacheFolder) {
  EXPECT_EQ(recordPath("/i", "required"), "/i/content/cache/binary-check-required.json");
  EXPECT_EQ(recordPath("/i/", "optional"), "/i/content/cache/binary-check-optional.json");
  EXPECT_EQ(recordPath("C:\\i", "required"), "C:/i/content/cache/binary-check-required.json");
}

TEST(ReadFile, EmptiesTheOutputEvenWhenTheFileIsMissing) {
  TempDir dir;
  std::string out = "earlier text";
  EXPECT_FALSE(readFile(dir.file("missing"), out));
  EXPECT_EQ(out, "");
  writeFile(dir.file("f"), "bytes");
  EXPECT_TRUE(readFile(dir.file("f"), out));
  EXPECT_EQ(out, "bytes");
}

TEST(RevisionOf, TakesTheTrimmedSecondLine) {
  struct Row {
    const char* text;
    const char* revision;
  } rows[] = {
      {"0.9.2", ""},
      {"0.9.2\n", ""},
      {"0.9.2\nrev-42", "rev-42"},
      {"0.9.2\nrev-42\nthird line", "rev-42"},
      {"0.9.2\r\nrev-42  \t \r\n", "rev-42"},
      {"0.9.2\n  rev 42", "  rev 42"},
      {"0.9.2\n \t\r", ""},
      {"", ""},
  };
  for (const Row& row : rows) EXPECT_EQ(revisionOf(row.text), row.revision) << row.text;
}

TEST(MtimeText, WritesNanosecondsWithoutLeadingZeros) {
  EXPECT_EQ(mtimeText(12, 5), "12.5");
  EXPECT_EQ(mtimeText(12, 500000000), "12.500000000");
  EXPECT_EQ(mtimeText(0, 0), "0.0");
  EXPECT_EQ(mtimeText(1700000000, 999999999), "1700000000.999999999");
}

TEST(Format, WritesTheExactCompactText) {
  Record record{"1.0", "linux", "r\"1", {}};
  EXPECT_EQ(
      format(record),
      "{\"packVersion\":\"1.0\",\"platform\":\"linux\",\"revision\":\"r\\\"1\",\"files\":[]}");
  record.files = {{"bin/a", 3, kDigestA, "12.5"}, {"b", 0, kDigestA, ""}};
  const std::string first =
      "{\"path\":\"bin/a\",\"size\":3,\"sha256\":\"" + kDigestA + "\",\"mtime\":\"12.5\"}";
  const std::string second =
      "{\"path\":\"b\",\"size\":0,\"sha256\":\"" + kDigestA + "\",\"mtime\":\"\"}";
  EXPECT_EQ(format(record),
            "{\"packVersion\":\"1.0\",\"platform\":\"linux\",\"revision\":\"r\\\"1\",\"files\":[" +
                first + "," + second + "]}");
}

TEST(Parse, ReadsWhatFormatWrote) {
  const Record written{"1.0", "linux", "tab\there", {{"bin/\xc3\xa9", 1234, kDigestA, "1.2"}}};
  Record read;
  ASSERT_TRUE(parse(format(written), read));
  EXPECT_EQ(read.packVersion, "1.0");
  EXPECT_EQ(read.platform, "linux");
  EXPECT_EQ(read.revision, "tab\there");
  ASSERT_EQ(read.files.size(), 1u);
  EXPECT_EQ(read.files[0].path, "bin/\xc3\xa9");
  EXPECT_EQ(read.files[0].size, 1234u);
  EXPECT_EQ(read.files[0].sha256, kDigestA);
  EXPECT_EQ(read.files[0].mtime, "1.2");
}

TEST(Parse, RefusesTextsThatAreNotRecordsAndLeavesTheRecord) {
  const char* texts[] = {
      "not json",
      "[]",
      "{\"packVersion\":\"1.0\",\"platform\":\"linux\"}",
      "{\"packVersion\":\"1.0\",\"platform\":\"linux\",\"files\":{}}",
  };
  for (const char* text : texts) {
    Record record{"kept", "linux", "r", {{"a", 1, kDigestA, ""}}};
    EXPECT_FALSE(parse(text, record)) << text;
    EXPECT_EQ(record.packVersion, "kept") << text;
    EXPECT_EQ(record.files.size(), 1u) << text;
  }
}

TEST(Parse, DropsBadEntriesAndReportsAMissingVersionOrPlatform) {
  const std::string digest63(63, 'b');
  const std::string text =
      "{\"packVersion\":\"\",\"platform\":\"linux\",\"files\":["
      "{\"path\":\"short\",\"size\":1,\"sha256\":\"" +
      digest63 +
      "\"},"
      "{\"path\":\"\",\"size\":1,\"sha256\":\"" +
      kDigestA +
      "\"},"
      "{\"path\":\"kept\",\"size\":\"7\",\"sha256\":\"" +
      kDigestA +
      "\",\"mtime\":5},"
      "{\"path\":\"sized\",\"size\":7,\"sha256\":\"" +
      kDigestA + "\"}]}";
  Record record;
  EXPECT_FALSE(parse(text, record));
  ASSERT_EQ(record.files.size(), 2u);
  EXPECT_EQ(record.files[0].path, "kept");
  EXPECT_EQ(record.files[0].size, static_cast<std::uint64_t>(-1));  // no file has it
  EXPECT_EQ(record.files[0].mtime, "");
  EXPECT_EQ(record.files[1].size, 7u);
  EXPECT_FALSE(parse("{\"packVersion\":\"1.0\",\"files\":[]}", record));
  EXPECT_TRUE(parse("{\"packVersion\":\"1.0\",\"platform\":\"linux\",\"files\":[]}", record));
}

TEST(Capture, RecordsTimesAndTheRevisionWithoutHashing) {
  Installed installed;
  // A wrong digest shows that capture trusts the file list and reads nothing.
  installed.entries[0].sha256 = kDigestA;
  const Record record = installed.captured();
  EXPECT_EQ(record.packVersion, "0.9.2");
  EXPECT_EQ(record.platform, "linux");
  EXPECT_EQ(record.revision, "rev-42");
  ASSERT_EQ(record.files.size(), 3u);
  EXPECT_EQ(record.files[0].sha256, kDigestA);
  for (const Entry& entry : record.files) EXPECT_EQ(entry.mtime, "1700000000.5") << entry.path;
}

TEST(Capture, FailsOnAMissingWrongSizedOrNonRegularFile) {
  Installed installed;
  Record record;
  std::vector<Entry> entries = installed.entries;
  entries[1].size += 1;
  EXPECT_FALSE(capture(installed.content, "0.9.2", "linux", entries, record));
  entries = installed.entries;
  entries[1].path = "lib/gone.so";
  EXPECT_FALSE(capture(installed.content, "0.9.2", "linux", entries, record));
  entries = installed.entries;
  entries[1] = Entry{"lib", 0, kDigestA, ""};
  EXPECT_FALSE(capture(installed.content, "0.9.2", "linux", entries, record));
  EXPECT_TRUE(capture(installed.content, "1.0", "linux", {}, record));
  EXPECT_EQ(record.packVersion, "1.0");
  EXPECT_TRUE(record.files.empty());
}

TEST(Capture, FollowsSymbolicLinks) {
  Installed installed;
  ASSERT_EQ(::symlink("game", (installed.content + "/bin/link").c_str()), 0);
  Record record;
  std::vector<Entry> entries = {installed.entries[0]};
  entries[0].path = "bin/link";
  EXPECT_TRUE(capture(installed.content, "0.9.2", "linux", entries, record));
}

TEST(Verify, PassesAnUntouchedInstanceReadingOnlyTheVersionFile) {
  Installed installed;
  Record record = installed.captured();
  const Outcome outcome = verify(installed.content, "0.9.2", "linux", record);
  EXPECT_TRUE(outcome.ok);
  EXPECT_EQ(outcome.reason, "");
  EXPECT_EQ(outcome.examined, 3u);
  EXPECT_EQ(outcome.filesHashed, 1u);
  EXPECT_EQ(outcome.bytesHashed, std::string("0.9.2\nrev-42\n").size());
  EXPECT_FALSE(outcome.refreshed);
}

TEST(Verify, NamesTheFirstFailure) {
  struct Row {
    const char* name;
    void (*spoil)(Installed&, Record&);
    std::uint64_t examined;
    const char* reason;
  } rows[] = {
      {"missing",
       [](Installed& i, Record&) { ::unlink((i.content + "/lib/libengine.so").c_str()); }, 2,
       "lib/libengine.so is missing"},
      {"directory",
       [](Installed& i, Record&) {
         ::unlink((i.content + "/bin/game").c_str());
         ::mkdir((i.content + "/bin/game").c_str(), 0755);
       },
       1, "bin/game is missing"},
      {"size",
       [](Installed& i, Record&) { writeFile(i.content + "/bin/game", "longer game bytes!!"); }, 1,
       "bin/game is not the installed release's (size)"},
      {"hash",
       [](Installed& i, Record&) {
         writeFile(i.content + "/bin/game", "GAME program bytes");
         setMtime(i.content + "/bin/game", 1700000001, 0);
       },
       1, "bin/game is not the installed release's (hash)"},
      {"revision",
       [](Installed& i, Record&) {
         writeFile(i.content + "/resources/version", "0.9.2\nrev-43\n");
       },
       3, "resources/version names revision rev-43, the release is rev-42"},
      {"version hash",
       [](Installed& i, Record&) {
         writeFile(i.content + "/resources/version", "0.9.3\nrev-42\n");
       },
       3, "resources/version is not the installed release's (hash)"},
      {"release", [](Installed&, Record& r) { r.packVersion = "0.9.1"; }, 0,
       "the record of the installed programs is for 0.9.1, not 0.9.2"},
      {"platform", [](Installed&, Record& r) { r.platform = "windows"; }, 0,
       "the record of the installed programs is for windows"},
  };
  for (const Row& row : rows) {
    Installed installed;
    Record record = installed.captured();
    row.spoil(installed, record);
    const Outcome outcome = verify(installed.content, "0.9.2", "linux", record);
    EXPECT_FALSE(outcome.ok) << row.name;
    EXPECT_EQ(outcome.reason, row.reason) << row.name;
    EXPECT_EQ(outcome.examined, row.examined) << row.name;
    EXPECT_FALSE(outcome.refreshed) << row.name;
  }
}

TEST(Verify, HashesATouchedFileOnceAndRefreshesItsTime) {
  Installed installed;
  Record record = installed.captured();
  setMtime(installed.content + "/bin/game", 1700000100, 250);
  Outcome outcome = verify(installed.content, "0.9.2", "linux", record);
  EXPECT_TRUE(outcome.ok) << outcome.reason;
  EXPECT_EQ(outcome.filesHashed, 2u);
  EXPECT_EQ(outcome.bytesHashed, std::string("game program bytes").size() + 13);
  EXPECT_TRUE(outcome.refreshed);
  EXPECT_EQ(record.files[0].mtime, "1700000100.250");
  // The record written back carries the new time, so the next run reads
  // only the version file again.
  Record reread;
  ASSERT_TRUE(parse(format(record), reread));
  outcome = verify(installed.content, "0.9.2", "linux", reread);
  EXPECT_TRUE(outcome.ok);
  EXPECT_EQ(outcome.filesHashed, 1u);
  EXPECT_FALSE(outcome.refreshed);
}

TEST(Verify, RefreshesTheTimeOfATouchedVersionFile) {
  Installed installed;
  Record record = installed.captured();
  setMtime(installed.content + "/resources/version", 1700000200, 0);
  const Outcome outcome = verify(installed.content, "0.9.2", "linux", record);
  EXPECT_TRUE(outcome.ok);
  EXPECT_TRUE(outcome.refreshed);
  EXPECT_EQ(record.files[2].mtime, "1700000200.0");
}

TEST(Verify, TrustsSizeAndTimeForOrdinaryPrograms) {
  // The price of the shortcut: same size and time hide a changed content.
  Installed installed;
  Record record = installed.captured();
  writeFile(installed.content + "/bin/game", "GAME PROGRAM BYTES");
  setMtime(installed.content + "/bin/game", 1700000000, 5);
  const Outcome outcome = verify(installed.content, "0.9.2", "linux", record);
  EXPECT_TRUE(outcome.ok);
  EXPECT_EQ(outcome.filesHashed, 1u);
}

TEST(Verify, AcceptsARecordWithoutEntries) {
  TempDir dir;
  Record record{"0.9.2", "linux", "", {}};
  const Outcome outcome = verify(dir.file("content"), "0.9.2", "linux", record);
  EXPECT_TRUE(outcome.ok);
  EXPECT_EQ(outcome.examined, 0u);
}

TEST(Verify, AOneLineVersionFileMatchesOnlyAnEmptyRevision) {
  Installed installed;
  installed.entries.pop_back();
  installed.add("resources/version", "0.9.2");
  Record record = installed.captured();
  EXPECT_EQ(record.revision, "");
  EXPECT_TRUE(verify(installed.content, "0.9.2", "linux", record).ok);
  record.revision = "rev-42";
  EXPECT_EQ(verify(installed.content, "0.9.2", "linux", record).reason,
            "resources/version names revision , the release is rev-42");
}

}  // namespace
}  // namespace vantis::content::binarycheck
