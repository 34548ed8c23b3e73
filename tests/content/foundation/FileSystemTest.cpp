#include "foundation/FileSystem.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <thread>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "foundation/Crypto.h"
#include "TempDir.h"

namespace vantis::content {
namespace {

using namespace skarvel::test;

TEST(JoinPath, FollowsTheJoiningRules) {
  struct Row {
    const char* base;
    const char* relative;
    const char* joined;
  } rows[] = {
      {"", "content\\cache\\state.json", "content\\cache\\state.json"},
      {"/i", "content\\cache\\state.json", "/i/content/cache/state.json"},
      {"/i/", "a", "/i/a"},
      {"/i\\", "a", "/i/a"},
      {"/i", "", "/i"},
      {"/i\\x", "", "/i\\x"},
      {"/x\\y", "z", "/x/y/z"},
      {"/x", "/a", "/x//a"},
      {"/x", "../a", "/x/../a"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(joinPath(row.base, row.relative), row.joined) << row.base << " + " << row.relative;
  }
}

TEST(MakeDirectories, CreatesEveryLevelAndToleratesExisting) {
  TempDir dir;
  makeDirectories(dir.file("a/b/c"));
  makeDirectories(dir.file("a/b/c"));
  struct stat info;
  ASSERT_EQ(::stat(dir.file("a/b/c").c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  makeParentDirectories(dir.file("x/y/file.txt"));
  EXPECT_TRUE(exists(dir.file("x/y")));
  EXPECT_FALSE(exists(dir.file("x/y/file.txt")));
}

// The chain is created from the deepest existing level down, whatever the
// spelling of the path; a file in the way stops it without harm.
TEST(MakeDirectories, CreatesChainsBelowExistingLevelsInAnySpelling) {
  TempDir dir;
  makeDirectories(dir.file("a"));
  const char* const paths[] = {"a/b/c/d", "t/u/", "s//v/w", "a/b/c/d/e/f/g/h"};
  for (const char* path : paths) {
    makeDirectories(dir.file(path));
    struct stat info;
    ASSERT_EQ(::stat(dir.file(path).c_str(), &info), 0) << path;
    EXPECT_TRUE(S_ISDIR(info.st_mode)) << path;
  }
  writeFile(dir.file("file"), "x");
  makeDirectories(dir.file("file/below"));
  EXPECT_EQ(readFile(dir.file("file")), "x");
  EXPECT_FALSE(exists(dir.file("file/below")));
}

TEST(WriteWholeFile, WritesEmptyAndTruncates) {
  TempDir dir;
  const std::string path = dir.file("deep/f.bin");
  ASSERT_TRUE(writeWholeFile(path, "hello", 5));
  EXPECT_EQ(readFile(path), "hello");
  ASSERT_TRUE(writeWholeFile(path, nullptr, 0));
  EXPECT_EQ(readFile(path), "");
}

// A file-size limit makes the write fail once the stream is flushed; the
// helpers must report it instead of calling the cut-off file whole.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    previous_ = std::signal(SIGXFSZ, SIG_IGN);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previous_);
  }

 private:
  rlimit saved_;
  void (*previous_)(int);
};

TEST(WriteWholeFile, ReportsAWriteCutShortAsFailure) {
  TempDir dir;
  const std::string big(100000, 'x');
  FileSizeLimit limit(1000);
  EXPECT_FALSE(writeWholeFile(dir.file("f"), big.data(), big.size()));
}

TEST(ReplaceWholeFile, KeepsTheOldFileWhenTheWriteFails) {
  TempDir dir;
  const std::string path = dir.file("state.json");
  writeFile(path, "old record");
  {
    FileSizeLimit limit(1000);
    EXPECT_FALSE(replaceWholeFile(path, std::string(100000, 'x')));
  }
  EXPECT_EQ(readFile(path), "old record");
  EXPECT_FALSE(exists(path + ".part"));
  ASSERT_TRUE(replaceWholeFile(path, "new record"));
  EXPECT_EQ(readFile(path), "new record");
  EXPECT_FALSE(exists(path + ".part"));
}

TEST(ReadWholeFile, LeavesOutputUntouchedWhenMissing) {
  TempDir dir;
  std::string out = "kept";
  EXPECT_FALSE(readWholeFile(dir.file("none"), out));
  EXPECT_EQ(out, "kept");
  const std::string big(200000, 'q');
  writeFile(dir.file("big"), big);
  ASSERT_TRUE(readWholeFile(dir.file("big"), out));
  EXPECT_EQ(out, big);
  writeFile(dir.file("empty"), "");
  ASSERT_TRUE(readWholeFile(dir.file("empty"), out));
  EXPECT_EQ(out, "");
  // A length of zero is not taken at its word: such files still have lines.
  ASSERT_TRUE(readWholeFile("/proc/self/status", out));
  EXPECT_NE(out.find("\nPid:"), std::string::npos);
}

std::size_t openDescriptors() {
  std::size_t count = 0;
  DIR* folder = ::opendir("/proc/self/fd");
  if (!folder) return 0;
  while (::readdir(folder)) ++count;
  ::closedir(folder);
  return count;
}

TEST(ReplacedCopies, HoldsUpToItsLimitAndLetsGoOfEverything) {
  TempDir dir;
  writeFile(dir.file("installed"), "old");
  writeFile(dir.file("installed.part"), "new");
  const std::size_t before = openDescriptors();
  {
    ReplacedCopies copies;
    copies.hold(dir.file("installed"));
    copies.hold(dir.file("none"));
    EXPECT_EQ(openDescriptors(), before + 1);
    ASSERT_EQ(std::rename(dir.file("installed.part").c_str(), dir.file("installed").c_str()), 0);
    copies.release();
    copies.release();  // waits for the first to have let go
    EXPECT_EQ(openDescriptors(), before);
    for (int i = 0; i < 300; ++i) copies.hold(dir.file("installed"));
    EXPECT_EQ(openDescriptors(), before + 256);
  }
  EXPECT_EQ(openDescriptors(), before);
  std::string text;
  ASSERT_TRUE(readWholeFile(dir.file("installed"), text));
  EXPECT_EQ(text, "new");
}

TEST(FileSize, FollowsLinksAndRefusesFolders) {
  TempDir dir;
  writeFile(dir.file("f"), "12345");
  ASSERT_EQ(::symlink(dir.file("f").c_str(), dir.file("link").c_str()), 0);
  std::uint64_t size = 99;
  EXPECT_FALSE(fileSize(dir.path(), size));
  EXPECT_EQ(size, 99u);
  ASSERT_TRUE(fileSize(dir.file("link"), size));
  EXPECT_EQ(size, 5u);
  EXPECT_FALSE(fileSize(dir.file("missing"), size));
}

TEST(RemoveDirectoryTree, NeverFollowsALinkOutOfTheTree) {
  TempDir dir;
  writeFile(dir.file("outside/keep.txt"), "keep");
  writeFile(dir.file("tree/a/b/file"), "x");
  ASSERT_EQ(::symlink(dir.file("outside").c_str(), dir.file("tree/a/link").c_str()), 0);
  removeDirectoryTree(dir.file("tree"));
  EXPECT_FALSE(exists(dir.file("tree")));
  EXPECT_EQ(readFile(dir.file("outside/keep.txt")), "keep");
  removeDirectoryTree(dir.file("not-there"));
}

// The blob store's place may hold a link to a folder of the player's: the
// link goes, the folder and its files stay.
TEST(RemoveDirectoryTree, RemovesALinkInTheTreesPlaceWithoutEnteringIt) {
  TempDir dir;
  writeFile(dir.file("outside/keep.txt"), "keep");
  ASSERT_EQ(::symlink(dir.file("outside").c_str(), dir.file("blobs").c_str()), 0);
  removeDirectoryTree(dir.file("blobs"));
  EXPECT_FALSE(exists(dir.file("blobs")));
  EXPECT_EQ(readFile(dir.file("outside/keep.txt")), "keep");
  // A plain file in the tree's place is not a tree: it stays.
  writeFile(dir.file("file"), "f");
  removeDirectoryTree(dir.file("file"));
  EXPECT_EQ(readFile(dir.file("file")), "f");
}

TEST(HashFileSha256, StreamsLargeFiles) {
  TempDir dir;
  writeFile(dir.file("abc"), "abc");
  std::uint64_t size = 0;
  std::string hex;
  ASSERT_TRUE(hashFileSha256(dir.file("abc"), size, hex));
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // One million 'a', spanning many 64 KiB pieces.
  writeFile(dir.file("million"), std::string(1000000, 'a'));
  ASSERT_TRUE(hashFileSha256(dir.file("million"), size, hex));
  EXPECT_EQ(size, 1000000u);
  EXPECT_EQ(hex, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  hex = "untouched";
  EXPECT_FALSE(hashFileSha256(dir.file("missing"), size, hex));
  EXPECT_EQ(hex, "untouched");
}

// Digest and length of every piece `hashFileBlobs` hands over.
std::vector<std::pair<std::string, std::uint64_t>> piecesOf(const std::string& path,
                                                             std::uint64_t blobBytes,
                                                             std::uint64_t limit, bool& ok) {
  std::vector<std::pair<std::string, std::uint64_t>> pieces;
  std::vector<char> buffer(2);  // smaller than a piece: pieces span several reads
  ok = hashFileBlobs(path, blobBytes, limit, [&](const std::string& hex, std::uint64_t length) {
    pieces.emplace_back(hex, length);
    return true;
  }, buffer);
  return pieces;
}

TEST(HashFileBlobs, CutsTheFileIntoPiecesOfOneSizeFromItsStart) {
  TempDir dir;
  writeFile(dir.file("f"), "abcabcab");
  const std::string abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  const std::string ab = Sha256::of(std::string("ab"));
  struct Row {
    std::uint64_t blobBytes, limit;
    std::vector<std::pair<std::string, std::uint64_t>> expected;
  } rows[] = {
      {3, UINT64_MAX, {{abc, 3}, {abc, 3}, {ab, 2}}},
      {3, 6, {{abc, 3}, {abc, 3}}},                   // stops at the limit
      {3, 5, {{abc, 3}, {ab, 2}}},                    // a limit inside a piece
      {8, UINT64_MAX, {{Sha256::of(std::string("abcabcab")), 8}}},
      {100, UINT64_MAX, {{Sha256::of(std::string("abcabcab")), 8}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.blobBytes) + " limit " + std::to_string(row.limit));
    bool ok = false;
    EXPECT_EQ(piecesOf(dir.file("f"), row.blobBytes, row.limit, ok), row.expected);
    EXPECT_TRUE(ok);
  }
  writeFile(dir.file("empty"), "");
  bool ok = false;
  EXPECT_TRUE(piecesOf(dir.file("empty"), 3, UINT64_MAX, ok).empty());
  EXPECT_TRUE(ok);
}

TEST(HashFileBlobs, FailsOnAMissingFileAZeroSizeAndAStop) {
  TempDir dir;
  writeFile(dir.file("f"), "abcabcab");
  bool ok = true;
  EXPECT_TRUE(piecesOf(dir.file("missing"), 3, UINT64_MAX, ok).empty());
  EXPECT_FALSE(ok);
  EXPECT_TRUE(piecesOf(dir.file("f"), 0, UINT64_MAX, ok).empty());
  EXPECT_FALSE(ok);
  int seen = 0;
  std::vector<char> buffer(16);
  EXPECT_FALSE(hashFileBlobs(dir.file("f"), 3, UINT64_MAX,
                              [&](const std::string&, std::uint64_t) { return ++seen < 2; },
                              buffer));
  EXPECT_EQ(seen, 2) << "no piece is handed over after a stop";
}

TEST(AppendFileRangeHashing, AppendsOneRangeAndRefusesARangePastTheEnd) {
  TempDir dir;
  writeFile(dir.file("src"), "0123456789");
  std::FILE* out = std::fopen(dir.file("out").c_str(), "wb");
  ASSERT_NE(out, nullptr);
  Sha256 digest;
  std::uint64_t written = 0;
  std::vector<char> buffer(3);
  EXPECT_TRUE(appendFileRangeHashing(dir.file("src"), 2, 5, out, digest, written, buffer));
  EXPECT_TRUE(appendFileRangeHashing(dir.file("src"), 0, 0, out, digest, written, buffer));
  // A copy that has shrunk since it was read: what there is is appended and
  // counted, and the call fails.
  EXPECT_FALSE(appendFileRangeHashing(dir.file("src"), 8, 5, out, digest, written, buffer));
  EXPECT_FALSE(appendFileRangeHashing(dir.file("missing"), 0, 1, out, digest, written, buffer));
  ASSERT_EQ(std::fclose(out), 0);
  EXPECT_EQ(written, 7u);
  EXPECT_EQ(readFile(dir.file("out")), "2345689");
  EXPECT_EQ(digest.hex(), Sha256::of(std::string("2345689")));
}

TEST(AppendFileHashing, LargeBlocksAreHashedBesideTheWriteWithTheSameResult) {
  TempDir dir;
  std::string data(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + (i >> 12));
  writeFile(dir.file("src"), data);
  for (const std::size_t block : {std::size_t(4096), std::size_t(1 << 20)}) {
    std::FILE* out = std::fopen(dir.file("out").c_str(), "wb");
    ASSERT_NE(out, nullptr);
    Sha256 digest;
    std::uint64_t written = 0;
    std::vector<char> buffer(block);
    ASSERT_TRUE(appendFileHashing(dir.file("src"), out, digest, written, buffer));
    ASSERT_EQ(std::fclose(out), 0);
    EXPECT_EQ(written, data.size()) << block;
    EXPECT_EQ(digest.hex(), Sha256::of(data)) << block;
    EXPECT_EQ(readFile(dir.file("out")), data) << block;
  }
}

TEST(FileIdentity, ChangesWithEveryWriteRenameAndPermissionChange) {
  TempDir dir;
  const std::string path = dir.file("f");
  writeFile(path, "one");
  FileIdentity first, again;
  ASSERT_TRUE(fileIdentity(path, first));
  ASSERT_TRUE(fileIdentity(path, again));
  EXPECT_TRUE(first == again);
  EXPECT_EQ(first.size, 3u);

  // The file's times move in clock ticks of a few milliseconds; a change in
  // the same tick as the look before it would keep them. Real changes come
  // seconds after a file was recorded, so the test waits out a tick.
  const auto changed = [&](const std::function<void()>& change) {
    FileIdentity aged;
    EXPECT_TRUE(fileIdentity(path, aged));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    change();
    FileIdentity after;
    EXPECT_TRUE(fileIdentity(path, after));
    return !(aged == after);
  };
  EXPECT_TRUE(changed([&] { writeFile(path, "two"); })) << "same size, new content";
  EXPECT_TRUE(changed([&] { ::chmod(path.c_str(), 0600); }));
  EXPECT_TRUE(changed([&] {
    writeFile(dir.file("other"), "two");
    ::rename(dir.file("other").c_str(), path.c_str());
  })) << "another file in its place";

  FileIdentity none;
  EXPECT_FALSE(fileIdentity(dir.path(), none)) << "a folder";
  EXPECT_FALSE(fileIdentity(dir.file("missing"), none));
  FileIdentity target, viaLink;
  ASSERT_TRUE(fileIdentity(path, target));
  ASSERT_EQ(::symlink(path.c_str(), dir.file("link").c_str()), 0);
  ASSERT_TRUE(fileIdentity(dir.file("link"), viaLink));
  EXPECT_TRUE(viaLink == target) << "links are followed";
}

TEST(CopyFileHashing, CopiesAndHashesInOnePass) {
  TempDir dir;
  const std::string data(300000, 'z');
  writeFile(dir.file("src"), data);
  std::uint64_t size = 0;
  std::string hex;
  ASSERT_TRUE(copyFileHashing(dir.file("src"), dir.file("dst"), size, hex));
  EXPECT_EQ(size, data.size());
  EXPECT_EQ(readFile(dir.file("dst")), data);
  std::uint64_t expectedSize = 0;
  std::string expected;
  ASSERT_TRUE(hashFileSha256(dir.file("src"), expectedSize, expected));
  EXPECT_EQ(hex, expected);
  EXPECT_FALSE(copyFileHashing(dir.file("src"), dir.file("no/such/dir/dst"), size, hex));
  EXPECT_FALSE(copyFileHashing(dir.file("missing"), dir.file("dst2"), size, hex));
}

TEST(CopyFileHashing, ReportsACopyCutShort) {
  TempDir dir;
  writeFile(dir.file("src"), std::string(200000, 'z'));
  std::uint64_t size = 0;
  std::string hex;
  FileSizeLimit limit(1000);
  EXPECT_FALSE(copyFileHashing(dir.file("src"), dir.file("dst"), size, hex));
}

}  // namespace
}  // namespace vantis::content
