// The expiry options of the publisher's command line: "release --expires"
// and the "refresh" command. Running refresh is tested end to end in
// tests/e2e/FreshnessTest.cpp.

#include <gtest/gtest.h>

#include "CommandLine.h"

namespace vantis::publish {
namespace {

const std::vector<std::string> kRelease = {"--server",   "s", "--key",      "k", "--version", "1",
                                           "--sequence", "1", "--required", "r"};

TEST(ExpiryArguments, ReleaseTakesDaysAndNeverExpiresWithout) {
  ReleaseOptions options;
  bool quiet = false;
  std::string error;
  ASSERT_TRUE(parseReleaseArguments(kRelease, options, quiet, error)) << error;
  EXPECT_EQ(0u, options.expiresDays);
  std::vector<std::string> args = kRelease;
  args.insert(args.end(), {"--expires", "30"});
  ASSERT_TRUE(parseReleaseArguments(args, options, quiet, error)) << error;
  EXPECT_EQ(30u, options.expiresDays);
}

TEST(ExpiryArguments, RefreshTakesServerKeyAndDays) {
  RefreshOptions options;
  bool quiet = false;
  std::string error;
  ASSERT_TRUE(parseRefreshArguments({"--server=srv", "--key", "k.pem", "--expires", "36500",
                                     "--quiet"},
                                    options, quiet, error))
      << error;
  EXPECT_EQ("srv", options.serverDir);
  EXPECT_EQ("k.pem", options.keyPath);
  EXPECT_EQ(36500u, options.expiresDays);
  EXPECT_TRUE(quiet);
}

TEST(ExpiryArguments, NameWhatIsWrong) {
  const struct {
    bool refresh;
    std::vector<std::string> args;
    std::string error;
  } rows[] = {
      {false, {"--expires", "0"}, "--expires takes a number of days from 1 to 36500, not \"0\""},
      {false, {"--expires", "36501"},
       "--expires takes a number of days from 1 to 36500, not \"36501\""},
      {false, {"--expires", "7d"}, "--expires takes a number of days from 1 to 36500, not \"7d\""},
      {false, {"--expires", "1K"}, "--expires takes a number of days from 1 to 36500, not \"1K\""},
      {true, {"--server", "s", "--key", "k"}, "refresh needs --expires"},
      {true, {"--key", "k", "--expires", "3"}, "refresh needs --server"},
      {true, {"--server", "s", "--key", "k", "--expires", "-3"},
       "--expires takes a number of days from 1 to 36500, not \"-3\""},
      {true, {"--server", "s", "--key", "k", "--expires", "3", "--version", "2"},
       "unknown option --version"},
  };
  for (const auto& row : rows) {
    std::string error;
    bool quiet = false;
    if (row.refresh) {
      RefreshOptions options;
      EXPECT_FALSE(parseRefreshArguments(row.args, options, quiet, error)) << row.error;
    } else {
      std::vector<std::string> args = kRelease;
      args.insert(args.end(), row.args.begin(), row.args.end());
      ReleaseOptions options;
      EXPECT_FALSE(parseReleaseArguments(args, options, quiet, error)) << row.error;
    }
    EXPECT_EQ(row.error, error);
  }
}

}  // namespace
}  // namespace vantis::publish
