// SkarvelSync and SkarvelPublish as a launcher or a script runs them: the
// update check and its exit statuses, JSON lines, the refusal of an update
// the disk cannot take, a stop by Ctrl-C or SIGTERM, --help and --version.
// Releases are made by the real SkarvelPublish and served by nginx, the
// stopped download by the scripted server.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Program.h"
#include "Publishing.h"
#include "ReleaseServer.h"
#include "ScriptServer.h"
#include "TempDir.h"
#include "Tree.h"
#include "UpdateScenario.h"
#include "foundation/Json.h"

namespace {

using skarvel::test::builtProgram;
using skarvel::test::exists;
using skarvel::test::patterned;
using skarvel::test::ProgramOptions;
using skarvel::test::ProgramRun;
using skarvel::test::ReleaseServer;
using skarvel::test::runProgram;
using skarvel::test::runSync;
using skarvel::test::snapshot;
using skarvel::test::TempDir;
using skarvel::test::writeFile;
using vantis::content::JsonValue;

// Every line of `output` as a JSON object; a line that is not one fails the
// test and is left out.
std::vector<JsonValue> jsonLines(const std::string& output) {
  std::vector<JsonValue> lines;
  std::size_t begin = 0;
  while (begin < output.size()) {
    std::size_t end = output.find('\n', begin);
    if (end == std::string::npos) end = output.size();
    const std::string line = output.substr(begin, end - begin);
    begin = end + 1;
    JsonValue value;
    std::string error;
    const bool parsed = vantis::content::parseJson(line, value, error);
    EXPECT_TRUE(parsed && value.kind == JsonValue::Kind::Object) << line << ": " << error;
    if (parsed) lines.push_back(value);
  }
  return lines;
}

void expectKeys(const JsonValue& line, const std::vector<std::string>& keys) {
  for (const std::string& key : keys) {
    EXPECT_TRUE(line.has(key)) << line["event"].asString("?") << " lacks " << key;
  }
}

// A nginx-served folder with 1.0 (three files), and a content folder that a
// test changes into 2.0.
class LauncherInterface : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.ok()) << server.error();
    writeFile(content("mods/a.txt"), "first file\n");
    writeFile(content("mods/b.bin"), patterned(300000, 1));
    writeFile(content("mods/c.bin"), patterned(5000, 2));
    ASSERT_EQ(server.publish("1.0", 1, work.file("content")).status, 0);
  }

  std::string content(const std::string& relative) const {
    return work.file("content/" + relative);
  }

  // 2.0: one file changed, one added.
  void publishSecondRelease() {
    writeFile(content("mods/b.bin"), patterned(300000, 3));
    writeFile(content("mods/d.bin"), patterned(200000, 4));
    ASSERT_EQ(server.publish("2.0", 2, work.file("content")).status, 0);
  }

  TempDir work;
  ReleaseServer server;
  std::string root = work.file("instance");
};

TEST_F(LauncherInterface, CheckSaysWhatAnUpdateWouldDownloadAndChangesNothing) {
  // Nothing installed: everything is to come, and the check makes no folder.
  const ProgramRun fresh = runSync(root, server.url(), {"--check"});
  EXPECT_EQ(fresh.status, 3) << fresh.output;
  EXPECT_NE(fresh.output.find("\n\nversion   1.0\nupdate    available\nfiles     3 (0.3 MB)\n"),
            std::string::npos)
      << fresh.output;
  EXPECT_FALSE(exists(root));

  ASSERT_EQ(runSync(root, server.url()).status, 0);
  const skarvel::test::Tree installed = snapshot(root);
  const ProgramRun current = runSync(root, server.url(), {"--check"});
  EXPECT_EQ(current.status, 0) << current.output;
  EXPECT_NE(current.output.find("update    none (already up to date)\nfiles     0 (0.0 MB)\n"
                                "download  0.0 MB\n"),
            std::string::npos)
      << current.output;

  publishSecondRelease();
  const ProgramRun available = runSync(root, server.url(), {"--check", "--json"});
  EXPECT_EQ(available.status, 3) << available.output;
  const std::vector<JsonValue> lines = jsonLines(available.output);
  ASSERT_FALSE(lines.empty());
  const JsonValue& answer = lines.back();
  EXPECT_EQ(answer["event"].asString(""), "check");
  EXPECT_TRUE(answer["ok"].asBool(false));
  EXPECT_TRUE(answer["updateAvailable"].asBool(false));
  EXPECT_EQ(answer["exitStatus"].asInt(-1), 3);
  EXPECT_EQ(answer["installed"].asString(""), "1.0");
  EXPECT_EQ(answer["version"].asString(""), "2.0");
  EXPECT_EQ(answer["files"].asInt(-1), 2);
  EXPECT_EQ(answer["fileBytes"].asInt(-1), 500000);
  EXPECT_GT(answer["downloadBytes"].asInt(0), 0);
  EXPECT_EQ(answer["error"].asString("?"), "");

  const ProgramRun unreachable = runSync(root, "http://127.0.0.1:1", {"--check"});
  EXPECT_EQ(unreachable.status, 1) << unreachable.output;
  EXPECT_NE(unreachable.output.find("\n\nFAILED: "), std::string::npos) << unreachable.output;
  EXPECT_EQ(skarvel::test::differences(installed, snapshot(root)), "");

  ASSERT_EQ(runSync(root, server.url()).status, 0);
  EXPECT_EQ(runSync(root, server.url(), {"--check"}).status, 0);
}

TEST_F(LauncherInterface, JsonLinesCarryProgressAndTheReport) {
  const ProgramRun run = runSync(root, server.url(), {"--json"});
  EXPECT_EQ(run.status, 0) << run.output;
  const std::vector<JsonValue> lines = jsonLines(run.output);
  ASSERT_GE(lines.size(), 3u) << run.output;
  EXPECT_EQ(lines.front()["event"].asString(""), "start");
  expectKeys(lines.front(), {"instance", "server", "tier", "installed", "check"});
  std::size_t progressLines = 0;
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    EXPECT_EQ(lines[i]["event"].asString(""), "progress");
    expectKeys(lines[i], {"phase", "detail", "bytesDone", "bytesTotal", "stepDone", "stepTotal",
                          "filesDone", "filesTotal", "bytesPerSecond", "secondsLeft"});
    ++progressLines;
  }
  EXPECT_GT(progressLines, 0u);
  const JsonValue& report = lines.back();
  EXPECT_EQ(report["event"].asString(""), "report");
  expectKeys(report, {"ok", "exitStatus", "error", "cancelled", "version", "changed",
                      "fullCheckReason", "filesWritten", "filesDeferred", "bytesDownloaded",
                      "filesRemoved", "bytesRemoved", "removalSummary", "removalDeferred",
                      "credits"});
  EXPECT_TRUE(report["ok"].asBool(false));
  EXPECT_EQ(report["exitStatus"].asInt(-1), 0);
  EXPECT_EQ(report["version"].asString(""), "1.0");
  EXPECT_EQ(report["filesWritten"].asInt(-1), 3);
  EXPECT_GT(report["bytesDownloaded"].asInt(0), 0);
}

// The instance on a small disk of its own (a tmpfs in a mount namespace of
// the run's own, so nothing outlives it): an installed 1.0, then a 2.0 that
// cannot fit. The listing of the disk before and after the run must match,
// but for the lock's file, the copy of the offered release's manifest and
// the sections of its lists, which every update attempt writes before it
// plans.
TEST_F(LauncherInterface, AnUpdateTheDiskCannotTakeIsRefusedUnchanged) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small disk needs root";
  // Some containers give root no mount namespace of its own (unshare cannot
  // make their root's mounts private); the small disk cannot be had there.
  const ProgramRun probe = runProgram({"/usr/bin/unshare", "-m", "/bin/true"}, ProgramOptions());
  if (probe.status != 0) GTEST_SKIP() << "no mount namespace here: " << probe.output;
  ASSERT_EQ(runSync(work.file("installed"), server.url()).status, 0);
  writeFile(content("mods/big.bin"), patterned(3 * 1048576, 5));
  ASSERT_EQ(server.publish("2.0", 2, work.file("content")).status, 0);
  ::mkdir(root.c_str(), 0755);
  const char* const script =
      "mount -t tmpfs -o size=2m skarvel-test \"$0\" || exit 99\n"
      "cp -a \"$1/.\" \"$0/\" || exit 98\n"
      "skip='! -name sync.lock ! -name manifest-head.json ! -path */cache/sections*'\n"
      "list() { (cd \"$0\" && set -f && find . $skip | sort &&\n"
      "  find . -type f $skip -exec sha256sum {} + | sort); }\n"
      "before=$(list)\n"
      "shift\n"
      "\"$@\"\n"
      "status=$?\n"
      "[ \"$before\" = \"$(list)\" ] || echo 'the disk changed'\n"
      "exit $status\n";
  ProgramOptions options;
  options.environment.push_back("SKARVEL_DUSKMERE_DIR=" + skarvel::test::demoBaseGame());
  const ProgramRun run =
      runProgram({"/usr/bin/unshare", "-m", "/bin/sh", "-c", script, root, work.file("installed"),
                  builtProgram("SkarvelSync"), "--root", root, "--url", server.url()},
                 options);
  ASSERT_NE(run.status, 99) << run.output;
  EXPECT_EQ(run.status, 1) << run.output;
  const std::string refusal = "\n\nFAILED: Not enough free disk space for this update: ";
  const std::size_t at = run.output.find(refusal);
  ASSERT_NE(at, std::string::npos) << run.output;
  const std::string figures = run.output.substr(at + refusal.size());
  EXPECT_NE(figures.find(" MB needed, "), std::string::npos) << figures;
  EXPECT_EQ(figures.substr(figures.size() - 7), " free.\n") << run.output;
  EXPECT_EQ(run.output.find("the disk changed"), std::string::npos) << run.output;
}

TEST(ProgramOptionsOfTheirOwn, HelpAndVersionAnswerWithStatusZero) {
  const struct {
    const char* program;
    std::vector<std::string> args;
    std::string starts;
  } rows[] = {
      {"SkarvelSync", {"--help"}, "usage: SkarvelSync --root <instance> --url <base url>"},
      {"SkarvelSync", {"--root", "/nowhere", "--help"}, "usage: SkarvelSync"},
      {"SkarvelSync", {"--version"}, "SkarvelSync "},
      {"SkarvelPublish", {"--help"}, "Usage:\n  SkarvelPublish keygen"},
      {"SkarvelPublish", {"--version"}, "SkarvelPublish "},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.program) + " " + row.args.back());
    std::vector<std::string> argv = {builtProgram(row.program)};
    argv.insert(argv.end(), row.args.begin(), row.args.end());
    ProgramOptions apart;
    apart.errorsApart = true;
    const ProgramRun run = runProgram(argv, apart);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.errors, "");
    EXPECT_EQ(run.output.rfind(row.starts, 0), 0u) << run.output;
    const bool version = row.args.back() == "--version";
    if (!version) continue;
    // One line: the name and a version of three numbers.
    EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
    EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '.'), 2) << run.output;
  }
}

// ---- A stop by signal, mid-download ------------------------------------------------

skarvel::test::UpdateScenario* sScenario = nullptr;

class StopSignal : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { sScenario = new skarvel::test::UpdateScenario(); }
  static void TearDownTestSuite() {
    delete sScenario;
    sScenario = nullptr;
  }
  void SetUp() override { ASSERT_EQ(sScenario->error(), ""); }
};

// The changed blob drips, so the download is still under way when the
// signal comes; everything else arrives at once.
TEST_F(StopSignal, StopsTheRunCleanlyAndTheNextOneCompletes) {
  const struct {
    int signal;
    int status;
  } rows[] = {{SIGTERM, 143}, {SIGINT, 130}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.signal);
    TempDir work;
    const std::string root = work.file("instance");
    sScenario->copyInstalled(root);
    {
      skarvel::test::ScriptServer server;
      ASSERT_TRUE(server.ok());
      sScenario->serve(server);
      skarvel::test::ScriptedResponse dripping;
      const std::string blob = sScenario->changedBlobPath();
      dripping.body = skarvel::test::readFile(sScenario->server() + blob);
      dripping.headers.emplace_back("Content-Encoding", "gzip");
      dripping.pieceBytes = 64;
      dripping.pieceDelayMs = 200;
      server.on(blob, dripping);
      ProgramOptions stop;
      stop.killWhenOutputHas = "\nDownloading\n";
      stop.killDelayMs = 500;
      stop.killSignal = row.signal;
      const ProgramRun stopped = runSync(root, server.url(), {}, stop);
      EXPECT_FALSE(stopped.timedOut);
      EXPECT_EQ(stopped.signal, 0) << stopped.output;
      EXPECT_EQ(stopped.status, row.status) << stopped.output;
      const std::string ending = "\n\nCancelled.\n";
      ASSERT_GE(stopped.output.size(), ending.size());
      EXPECT_EQ(stopped.output.substr(stopped.output.size() - ending.size()), ending)
          << stopped.output;
      sScenario->expectOnlyWholeFiles(root);
    }
    skarvel::test::ScriptServer server;
    sScenario->serve(server);
    const ProgramRun next = runSync(root, server.url());
    EXPECT_EQ(next.status, 0) << next.output;
    sScenario->expectInstalled(root, sScenario->release2(), "2.0.0");
  }
}

}  // namespace
