// Parsing the publisher's command line. Running the program itself is
// tested in PublishProgramTest.

#include <gtest/gtest.h>

#include "CommandLine.h"

namespace vantis::publish {
namespace {

TEST(ParseSize, TakesBytesAndBinarySuffixes) {
  const std::pair<const char*, std::uint64_t> good[] = {
      {"0", 0},         {"8388608", 8388608}, {"512K", 512u << 10},
      {"8M", 8u << 20}, {"1g", 1ull << 30},   {"18446744073709551615", UINT64_MAX}};
  for (const auto& row : good) {
    std::uint64_t size = 1;
    EXPECT_TRUE(parseSize(row.first, size)) << row.first;
    EXPECT_EQ(row.second, size) << row.first;
  }
  for (const char* bad :
       {"", "M", "8MB", "8 M", "-1", "1.5M", "18446744073709551616", "17179869184G", "0x10"}) {
    std::uint64_t size = 0;
    EXPECT_FALSE(parseSize(bad, size)) << bad;
  }
}

TEST(ParseReleaseArguments, FillsOptionsFromBothSpellings) {
  ReleaseOptions options;
  bool quiet = false;
  std::string error;
  ASSERT_TRUE(parseReleaseArguments(
      {"--server", "srv", "--key=k.pem", "--version", "1.0", "--sequence=7", "--required", "req",
       "--optional", "ov", "--chunk-size", "1M", "--bundle-size=2M", "--jobs", "3", "--gzip-level",
       "9", "--new-key", "--quiet"},
      options, quiet, error))
      << error;
  EXPECT_EQ("srv", options.serverDir);
  EXPECT_EQ("k.pem", options.keyPath);
  EXPECT_EQ(7, options.sequence);
  EXPECT_EQ("ov", options.optionalDir);
  EXPECT_EQ(1u << 20, options.chunkSize);
  EXPECT_EQ(2u << 20, options.bundleSize);
  EXPECT_EQ(1u << 20, options.bundleBlobMax);
  EXPECT_EQ(3u, options.threads);
  EXPECT_EQ(9, options.gzipLevel);
  EXPECT_TRUE(options.newKey);
  EXPECT_TRUE(quiet);
  EXPECT_EQ(content::Encoding::gzip, options.compression);
}

TEST(ParseReleaseArguments, TakesTheCompression) {
  const std::vector<std::string> base = {"--server",   "s", "--key",      "k", "--version", "1",
                                         "--sequence", "1", "--required", "r"};
  const struct {
    std::vector<std::string> extra;
    content::Encoding encoding;
    int level;  // of that encoding
  } rows[] = {
      {{}, content::Encoding::gzip, 6},
      {{"--compression", "gzip"}, content::Encoding::gzip, 6},
      {{"--compression", "zstd"}, content::Encoding::zstd, 3},
      {{"--compression=zstd", "--zstd-level", "1"}, content::Encoding::zstd, 1},
      {{"--compression", "zstd", "--zstd-level=19"}, content::Encoding::zstd, 19},
  };
  for (const auto& row : rows) {
    std::vector<std::string> args = base;
    args.insert(args.end(), row.extra.begin(), row.extra.end());
    ReleaseOptions options;
    bool quiet = false;
    std::string error;
    ASSERT_TRUE(parseReleaseArguments(args, options, quiet, error)) << error;
    const Compression compression = releaseCompression(options);
    EXPECT_EQ(row.encoding, compression.encoding) << args.size();
    EXPECT_EQ(row.level, compression.level) << args.size();
  }
}

TEST(ParseReleaseArguments, NamesWhatIsWrong) {
  const std::vector<std::string> base = {"--server",  "s", "--key",      "k",
                                         "--version", "1", "--required", "r"};
  struct Row {
    std::vector<std::string> extra;
    std::string error;
  };
  const std::vector<Row> rows = {
      {{}, "release needs --sequence"},
      {{"--sequence", "x"},
       "the sequence must be a whole number from 0 to 9007199254740992, not \"x\""},
      {{"--sequence", "-1"},
       "the sequence must be a whole number from 0 to 9007199254740992, not \"-1\""},
      {{"--sequence", "9007199254740993"},
       "the sequence must be a whole number from 0 to 9007199254740992, not \"9007199254740993\""},
      {{"--sequence", "1", "--chunk-size", "8 MB"},
       "--chunk-size takes a size such as 8388608, 512K or 8M, not \"8 MB\""},
      {{"--sequence", "1", "--chunk-size", "257M"},
       "the chunk size must be from 1 byte to 256 MiB (players download at most 256 MiB at once)"},
      {{"--sequence", "1", "--bundle-size", "0"},
       "the bundle size must be from 1 byte to 256 MiB (players download at most 256 MiB at once)"},
      {{"--sequence", "1", "--jobs", "0"}, "--jobs takes a number from 1 to 1024, not \"0\""},
      {{"--sequence", "1", "--gzip-level", "10"},
       "--gzip-level takes a number from 1 to 9, not \"10\""},
      {{"--sequence", "1", "--compression", "brotli"},
       "--compression takes \"gzip\" or \"zstd\", not \"brotli\""},
      {{"--sequence", "1", "--compression", "zstd", "--zstd-level", "20"},
       "--zstd-level takes a number from 1 to 19, not \"20\""},
      {{"--sequence", "1", "--compression", "zstd", "--zstd-level", "0"},
       "--zstd-level takes a number from 1 to 19, not \"0\""},
      {{"--sequence", "1", "--zstd-level", "5"}, "--zstd-level needs --compression zstd"},
      {{"--sequence", "1", "--compression", "zstd", "--gzip-level", "5"},
       "--gzip-level does not apply to --compression zstd (it takes --zstd-level)"},
      {{"--sequence", "1", "--colour"}, "unknown option --colour"},
      {{"--sequence", "1", "extra"}, "unexpected argument extra"},
      {{"--sequence", "1", "--quiet=yes"}, "the option --quiet takes no value"},
      {{"--sequence"}, "the option --sequence needs a value"},
  };
  for (const Row& row : rows) {
    std::vector<std::string> args = base;
    args.insert(args.end(), row.extra.begin(), row.extra.end());
    ReleaseOptions options;
    bool quiet = false;
    std::string error;
    EXPECT_FALSE(parseReleaseArguments(args, options, quiet, error)) << row.error;
    EXPECT_EQ(row.error, error);
  }
}

}  // namespace
}  // namespace vantis::publish
