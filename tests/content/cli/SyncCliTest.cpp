#include "cli/SyncCli.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>

#include <cstdint>
#include <string>
#include <vector>

#include "TempDir.h"

namespace vantis::content {
namespace {

// Collects what the front end prints into a string.
class Capture {
 public:
  Capture() : file_(::open_memstream(&buffer_, &size_)) {}
  ~Capture() {
    std::fclose(file_);
    ::free(buffer_);
  }
  std::FILE* file() { return file_; }
  std::string text() {
    std::fflush(file_);
    return std::string(buffer_, size_);
  }

 private:
  char* buffer_ = nullptr;
  size_t size_ = 0;
  std::FILE* file_;
};

struct CliRun {
  int status = -1;
  std::string output;
  bool syncCalled = false;
  SyncOptions options;
};

CliRun runCli(std::vector<const char*> args, SyncResult result = SyncResult()) {
  args.insert(args.begin(), "SkarvelSync");
  CliRun run;
  Capture capture;
  run.status = runSyncCli(static_cast<int>(args.size()), args.data(), capture.file(),
                          [&](const SyncOptions& options) {
                            run.syncCalled = true;
                            run.options = options;
                            return result;
                          });
  run.output = capture.text();
  return run;
}

TEST(SyncCli, RefusesBadCommandLines) {
  struct Row {
    std::vector<const char*> args;
    const char* output;
  } rows[] = {
      {{}, "usage: SkarvelSync --root <instance> --url <base url>\n"},
      {{"--verify"}, "usage: SkarvelSync --root <instance> --url <base url>\n"},
      {{"--root", ""}, "usage: SkarvelSync --root <instance> --url <base url>\n"},
      {{"--root"}, "unknown argument: --root\n"},
      {{"--root", "/i", "--url"}, "unknown argument: --url\n"},
      {{"--ROOT", "/i"}, "unknown argument: --ROOT\n"},
      {{"--bogus", "--also-bogus"}, "unknown argument: --bogus\n"},
  };
  for (const Row& row : rows) {
    const CliRun run = runCli(row.args);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.output, row.output);
    EXPECT_FALSE(run.syncCalled);
  }
}

TEST(SyncCli, ReadsOptionsLeftToRight) {
  const CliRun run = runCli({"--root", "/a", "--key", "--optional", "--root", "/b", "--verify",
                             "--optional"});
  ASSERT_TRUE(run.syncCalled);
  EXPECT_EQ(run.options.root, "/b");
  EXPECT_EQ(run.options.accessKey, "--optional");
  EXPECT_EQ(run.options.url, "http://127.0.0.1:8080");
  EXPECT_EQ(run.options.tier, Tier::optional);
  EXPECT_TRUE(run.options.verify);
}

TEST(SyncCli, LaterUrlsAreMirrorsAfterTheFirst) {
  const CliRun one = runCli({"--root", "/a", "--url", "http://a:1"});
  EXPECT_EQ(one.options.url, "http://a:1");
  EXPECT_TRUE(one.options.mirrors.empty());
  const CliRun three =
      runCli({"--root", "/a", "--url", "http://a:1", "--url", "http://b:2", "--url", "http://c:3"});
  EXPECT_EQ(three.options.url, "http://a:1");
  EXPECT_EQ(three.options.mirrors, (std::vector<std::string>{"http://b:2", "http://c:3"}));
  EXPECT_NE(three.output.find("server   http://a:1\nmirror   http://b:2\nmirror   http://c:3\n"
                              "tier     required\n"),
            std::string::npos)
      << three.output;
}

TEST(SyncCli, MaxRateTakesSizesWithUnits) {
  const struct {
    const char* value;
    std::uint64_t rate;
  } good[] = {{"1", 1}, {"500K", 512000}, {"2M", 2097152}, {"3m", 3145728}, {"0", 0}};
  for (const auto& row : good) {
    const CliRun run = runCli({"--root", "/a", "--max-rate", row.value});
    ASSERT_TRUE(run.syncCalled) << row.value;
    EXPECT_EQ(run.options.maxBytesPerSecond, row.rate) << row.value;
  }
  for (const char* bad : {"", "1.5M", "-1", "2MB", "fast", "99999999999999999999"}) {
    const CliRun run = runCli({"--root", "/a", "--max-rate", bad});
    EXPECT_EQ(run.status, 2) << bad;
    EXPECT_FALSE(run.syncCalled) << bad;
    EXPECT_EQ(run.output, std::string("--max-rate takes bytes per second such as 500K or 2M, not \"") +
                              bad + "\"\n");
  }
  EXPECT_EQ(runCli({"--root", "/a", "--max-rate"}).output, "unknown argument: --max-rate\n");
}

TEST(SyncCli, ReportsWhatEachServerGaveOnlyWithMirrors) {
  SyncResult result;
  result.ok = true;
  result.version = "1";
  result.mirrors = {MirrorUse{"http://a:1", 3 * 1048576, 12}};
  EXPECT_EQ(runCli({"--root", "/x"}, result).output.find("from"), std::string::npos);
  result.mirrors.push_back(MirrorUse{"http://b:2", 524288, 1});
  const std::string output = runCli({"--root", "/x"}, result).output;
  EXPECT_NE(output.find("downloaded 0.0 MB\n"
                        "  from    http://a:1: 3.0 MB in 12 downloads\n"
                        "  from    http://b:2: 0.5 MB in 1 downloads\n"
                        "credits   0 mods\n"),
            std::string::npos)
      << output;
}

TEST(SyncCli, PrintsHeaderAndReport) {
  skarvel::test::TempDir dir;
  skarvel::test::writeFile(dir.file("content/cache/state.json"), "{\"required\":\"0.9.1\"}");
  SyncResult result;
  result.ok = true;
  result.changed = true;
  result.version = "0.9.2";
  result.fullCheckReason = "asked for";
  result.filesWritten = 40;
  result.bytesDownloaded = 3 * 1048576 + 104858;
  result.removalSummary = "3 files";
  for (const char* name : {"A", "B", "C", "D", "E"}) {
    Credit credit;
    credit.name = name;
    credit.authors = std::string("by ") + name;
    result.credits.push_back(credit);
  }
  const CliRun run = runCli({"--root", dir.path().c_str(), "--url", "http://h:1"}, result);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "instance " + dir.path() +
                            "\nserver   http://h:1\ntier     required\ninstalled 0.9.1\n\n\n"
                            "version   0.9.2\nchecked   in full: asked for\nchanged   yes\n"
                            "written   40 files\ndownloaded 3.1 MB\nremoved   3 files\n"
                            "credits   5 mods\n            A - by A\n            B - by B\n"
                            "            C - by C\n");
}

TEST(SyncCli, ReportsNothingInstalledAndDeferredRemoval) {
  SyncResult result;
  result.ok = true;
  result.version = "1";
  result.removalDeferred = true;
  const CliRun run = runCli({"--root", "/nonexistent-instance", "--optional"}, result);
  EXPECT_EQ(run.output,
            "instance /nonexistent-instance\nserver   http://127.0.0.1:8080\ntier     optional\n"
            "installed (nothing)\n\n\nversion   1\nchanged   no (already up to date)\n"
            "written   0 files\ndownloaded 0.0 MB\nremoved   nothing yet: a game is running\n"
            "credits   0 mods\n");
  result.removalDeferred = false;
  EXPECT_EQ(runCli({"--root", "/x"}, result).output.find("removed"), std::string::npos);
}

TEST(SyncCli, ReportsFailureWithStatusOne) {
  SyncResult result;
  result.error = "Something broke.";
  const CliRun run = runCli({"--root", "/x"}, result);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("\n\nFAILED: Something broke.\n"), std::string::npos);
}

// The stand-ins of a whole program: a sync and a check that hand back
// fixed answers after one progress report, and a stop signal that may
// already have come.
struct ProgramRunOutcome {
  int status = -1;
  std::string output;
  bool answerAtProgress = true;  // what the one progress report was told
  bool checked = false;
};

ProgramRunOutcome runProgram(std::vector<const char*> args, SyncResult result,
                             UpdateCheck check, int signal) {
  args.insert(args.begin(), "SkarvelSync");
  ProgramRunOutcome run;
  Capture capture;
  SyncProgram program;
  Progress progress;
  progress.phase = "Downloading";
  program.sync = [&](const SyncOptions& options) {
    run.answerAtProgress = options.progress(progress);
    return result;
  };
  program.check = [&](const SyncOptions& options) {
    run.checked = true;
    run.answerAtProgress = options.progress(progress);
    return check;
  };
  program.stopSignal = [signal] { return signal; };
  run.status = runSyncCli(static_cast<int>(args.size()), args.data(), capture.file(), program);
  run.output = capture.text();
  return run;
}

TEST(SyncCli, ExitStatusesOfChecksStopsAndOwnOptions) {
  SyncResult synced;
  synced.ok = true;
  SyncResult cancelled;
  cancelled.error = "Cancelled.";
  UpdateCheck current;
  current.ok = true;
  current.version = "2";
  UpdateCheck available = current;
  available.updateAvailable = true;
  available.files = 2;
  available.fileBytes = 3 * 1048576;
  available.downloadBytes = 1048576;
  UpdateCheck failedCheck;
  failedCheck.error = "Could not download the update manifest.";
  UpdateCheck stoppedCheck;
  stoppedCheck.error = "Cancelled.";
  struct Row {
    const char* name;
    std::vector<const char*> args;
    SyncResult result;
    UpdateCheck check;
    int signal;
    int status;
    std::string tail;  // the output ends with it
  } rows[] = {
      {"synced", {"--root", "/i"}, synced, current, 0, 0, "credits   0 mods\n"},
      {"stopped by SIGTERM", {"--root", "/i"}, cancelled, current, SIGTERM, 143,
       "\n\nCancelled.\n"},
      {"stopped by Ctrl-C", {"--root", "/i"}, cancelled, current, SIGINT, 130, "\n\nCancelled.\n"},
      // Cancelled by no signal is an ordinary failure.
      {"cancelled otherwise", {"--root", "/i"}, cancelled, current, 0, 1,
       "\n\nFAILED: Cancelled.\n"},
      // A signal after the last point of stopping: the run completed.
      {"signal too late", {"--root", "/i"}, synced, current, SIGTERM, 0, "credits   0 mods\n"},
      {"check: current", {"--root", "/i", "--check"}, synced, current, 0, 0,
       "\n\nversion   2\nupdate    none (already up to date)\nfiles     0 (0.0 MB)\n"
       "download  0.0 MB\n"},
      {"check: available", {"--check", "--root", "/i"}, synced, available, 0, 3,
       "\n\nversion   2\nupdate    available\nfiles     2 (3.0 MB)\ndownload  1.0 MB\n"},
      {"check: failed", {"--root", "/i", "--check"}, synced, failedCheck, 0, 1,
       "\n\nFAILED: Could not download the update manifest.\n"},
      {"check: stopped", {"--root", "/i", "--check"}, synced, stoppedCheck,
       SIGINT, 130, "\n\nCancelled.\n"},
      {"help", {"--root", "/i", "--help", "--bogus"}, synced, current, 0, 0,
       "143\nstopped by SIGTERM.\n"},
      {"version", {"--version"}, synced, current, 0, 0, ".0\n"},
      {"help as a value", {"--root", "--help"}, synced, current, 0, 0, "credits   0 mods\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const ProgramRunOutcome run = runProgram(row.args, row.result, row.check, row.signal);
    EXPECT_EQ(run.status, row.status) << run.output;
    ASSERT_GE(run.output.size(), row.tail.size()) << run.output;
    EXPECT_EQ(run.output.substr(run.output.size() - row.tail.size()), row.tail) << run.output;
    EXPECT_EQ(run.answerAtProgress, row.signal == 0);
  }
}

TEST(SyncCli, JsonPrintsOneObjectPerLine) {
  SyncResult result;
  result.ok = true;
  result.version = "0.9.2";
  result.changed = true;
  result.filesWritten = 40;
  result.bytesDownloaded = 1234;
  const ProgramRunOutcome run =
      runProgram({"--root", "/nonexistent", "--json"}, result, UpdateCheck(), 0);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output,
            "{\"event\":\"start\",\"instance\":\"/nonexistent\","
            "\"server\":\"http://127.0.0.1:8080\",\"tier\":\"required\",\"installed\":\"\","
            "\"check\":false}\n"
            "{\"event\":\"progress\",\"phase\":\"Downloading\",\"detail\":\"\",\"bytesDone\":0,"
            "\"bytesTotal\":0,\"stepDone\":0,\"stepTotal\":0,\"filesDone\":0,\"filesTotal\":0,"
            "\"bytesPerSecond\":0,\"secondsLeft\":-1}\n"
            "{\"event\":\"report\",\"ok\":true,\"exitStatus\":0,\"error\":\"\",\"cancelled\":false,"
            "\"version\":\"0.9.2\",\"changed\":true,\"fullCheckReason\":\"\",\"filesWritten\":40,"
            "\"filesDeferred\":0,\"bytesDownloaded\":1234,\"filesRemoved\":0,\"bytesRemoved\":0,"
            "\"removalSummary\":\"\",\"removalDeferred\":false,\"credits\":0}\n");

  UpdateCheck stopped;
  stopped.error = "Cancelled.";
  const ProgramRunOutcome check =
      runProgram({"--root", "/nonexistent", "--json", "--check"}, result, stopped, SIGTERM);
  EXPECT_EQ(check.status, 143);
  const std::string last = check.output.substr(check.output.rfind("{\"event\""));
  EXPECT_EQ(last,
            "{\"event\":\"check\",\"ok\":false,\"exitStatus\":143,\"error\":\"Cancelled.\","
            "\"cancelled\":true,\"tier\":\"required\",\"installed\":\"\",\"version\":\"\","
            "\"updateAvailable\":false,\"files\":0,\"fileBytes\":0,\"downloadBytes\":0}\n");
}

TEST(ProgressDisplay, DrawsPhasesAndOneOverwrittenLine) {
  Capture capture;
  auto display = makeProgressDisplay(capture.file());
  Progress progress;
  progress.phase = "Checking";
  progress.detail = "120 of 5000 files";
  EXPECT_TRUE(display(progress));
  progress.detail.clear();
  EXPECT_TRUE(display(progress));
  progress.phase = "Downloading";
  progress.bytesTotal = 4 * 1048576;
  progress.bytesDone = 1048576;
  progress.bytesPerSecond = 524288;
  progress.secondsLeft = 59.9;
  EXPECT_TRUE(display(progress));
  progress.secondsLeft = -1.0;
  EXPECT_TRUE(display(progress));
  progress.secondsLeft = 0.0;
  EXPECT_TRUE(display(progress));
  EXPECT_EQ(capture.text(),
            "\nChecking\n\r  120 of 5000 files        "
            "\nDownloading\n\r  25.0%  1.0/4.0 MB  0.5 MB/s  eta 59s        "
            "\r  25.0%  1.0/4.0 MB  0.5 MB/s          "
            "\r  25.0%  1.0/4.0 MB  0.5 MB/s  eta 0s        ");
}

}  // namespace
}  // namespace vantis::content
