// The lists' framing and lines: how a body is cut into lines, and that each
// kind of line reads back as the record it was written from, with members
// at their defaults left out.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "release/Lists.h"

namespace vantis::content {
namespace {

// The "n" members of every line, or the error text when the framing failed.
std::string framed(const std::string& body) {
  std::string seen;
  const Status read = forEachLine(body, [&](const JsonValue& line) {
    seen += std::to_string(line["n"].asInt(0));
    return Status();
  });
  return read ? seen : "error: " + read.error();
}

TEST(ForEachLine, FramesLinesTheSameWhateverTheirEnds) {
  const std::pair<const char*, const char*> cases[] = {
      {"{\"n\":1}\n{\"n\":2}\n", "12"},
      {"{\"n\":1}\n{\"n\":2}", "12"},
      {"\n\n{\"n\":1}\n\n\n{\"n\":2}\n\n", "12"},
      {"{\"n\":1}\r\n{\"n\":2}\r\n", "12"},
      {"", ""},
      {"\n", ""},
      {"{\"n\":1}\n\n  \n{\"n\":2}", "error: manifest line 2: unexpected end of input"},
      {"\n\n{\"n\":1}\n\r\n", "error: manifest line 2: unexpected end of input"},
      {"{\"n\":1}\n{\"n\":2}\n{\"n\":3,}\n{\"n\":4}",
       "error: manifest line 3: expected a quoted key"},
      {"{\"n\":1} {\"n\":2}\n", "error: manifest line 1: unexpected trailing content"},
  };
  for (const auto& [body, expected] : cases) EXPECT_EQ(framed(body), expected) << body;
}

TEST(ForEachLine, StopsAtOnceWithTheHandlersFailure) {
  int calls = 0;
  const Status read = forEachLine(std::string("{}\n{}\n{}\n"), [&](const JsonValue&) {
    return ++calls < 2 ? Status() : Status(Failure{"stopped here"});
  });
  EXPECT_FALSE(read);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(read.error(), "stopped here");
}

JsonValue parsed(const std::string& line) {
  JsonValue value;
  std::string error;
  EXPECT_TRUE(parseJson(line, value, error)) << line << ": " << error;
  return value;
}

TEST(FileRecordLine, ReadsBackAndLeavesDefaultsOut) {
  const std::string blob(64, 'c');
  struct Row {
    FileRecord record;
    std::string line;
  } rows[] = {
      {{"mods/a.esp", 5, "d", "instance", "", false, {blob}},
       R"({"path":"mods/a.esp","size":5,"sha256":"d","target":"instance","chunks":[")" + blob +
           R"("]})"},
      {{"bin/game", 0, "e", "binary", "linux", true, {}},
       R"({"path":"bin/game","size":0,"sha256":"e","target":"binary","platform":"linux",)"
       R"("alwaysHash":true,"chunks":[]})"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(fileRecordLine(row.record), row.line);
    const FileRecord back = readFileRecord(parsed(row.line));
    EXPECT_EQ(back.path, row.record.path);
    EXPECT_EQ(back.size, row.record.size);
    EXPECT_EQ(back.sha256, row.record.sha256);
    EXPECT_EQ(back.target, row.record.target);
    EXPECT_EQ(back.platform, row.record.platform);
    EXPECT_EQ(back.alwaysHash, row.record.alwaysHash);
    EXPECT_EQ(back.chunks, row.record.chunks);
  }
}

TEST(FileRecordLine, ReadsMissingOrMistypedMembersAsDefaults) {
  const FileRecord record =
      readFileRecord(parsed(R"({"path":7,"size":"5","alwaysHash":1,"chunks":[3,"x"]})"));
  EXPECT_EQ(record.path, "");
  EXPECT_EQ(record.size, 0);
  EXPECT_FALSE(record.alwaysHash);
  EXPECT_EQ(record.chunks, (std::vector<std::string>{"", "x"}));
}

TEST(BundleRecordLine, ReadsBack) {
  const BundleRecord record{"id1", 300, {{"x", 0, 100}, {"y", 100, 200}}};
  const std::string line = bundleRecordLine(record);
  EXPECT_EQ(line, R"({"id":"id1","size":300,"blobs":[["x",0,100],["y",100,200]]})");
  const BundleRecord back = readBundleRecord(parsed(line));
  EXPECT_EQ(back.id, "id1");
  EXPECT_EQ(back.size, 300);
  ASSERT_EQ(back.blobs.size(), 2u);
  EXPECT_EQ(back.blobs[1].digest, "y");
  EXPECT_EQ(back.blobs[1].offset, 100);
  EXPECT_EQ(back.blobs[1].length, 200);
}

TEST(RetiredRecordLine, ReadsBack) {
  EXPECT_EQ(retiredRecordLine({"mods/a \"b\".esp"}), R"({"path":"mods/a \"b\".esp"})");
  EXPECT_EQ(readRetiredRecord(parsed(R"({"path":"mods/a.esp"})")).path, "mods/a.esp");
  EXPECT_EQ(readRetiredRecord(parsed(R"({"path":3})")).path, "");
}

}  // namespace
}  // namespace vantis::content
