// SkarvelSync as a program, on the faults of a run that does not end alone:
// two runs started on one instance at once (a launcher and a command line),
// a run killed while it held the instance, and a run killed between the two
// renames that replace a program. The update is 1.0.0 to 2.0.0 of the shared
// scenario, served by the scripted server.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>

#include <chrono>
#include <string>
#include <thread>

#include "Program.h"
#include "ReleaseServer.h"
#include "ScriptServer.h"
#include "TempDir.h"
#include "UpdateScenario.h"

namespace {

using skarvel::test::exists;
using skarvel::test::ProgramOptions;
using skarvel::test::ProgramRun;
using skarvel::test::readFile;
using skarvel::test::runSync;
using skarvel::test::ScriptedResponse;
using skarvel::test::ScriptServer;
using skarvel::test::TempDir;
using skarvel::test::UpdateScenario;
using skarvel::test::writeFile;

const char* const kBusy =
    "Another update of this instance is running. Wait for it to finish and try again.";

UpdateScenario* sScenario = nullptr;

std::size_t pointerRequests(const ScriptServer& server) {
  std::size_t count = 0;
  for (const auto& request : server.requests()) count += request.target == "/current.json" ? 1 : 0;
  return count;
}

// Waits (at most a minute) until the server has been asked for the pointer.
bool awaitPointerRequest(const ScriptServer& server) {
  for (int waited = 0; waited < 3000; ++waited) {
    if (pointerRequests(server) != 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// The pointer as stored, answered only after `ms`: a run held up at its
// first request.
ScriptedResponse latePointer(int ms) {
  ScriptedResponse response;
  response.body = readFile(sScenario->server() + "/current.json");
  response.delayMs = ms;
  return response;
}

void expectFailed(const ProgramRun& run, const std::string& message) {
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find("\n\nFAILED: " + message + "\n"), std::string::npos) << run.output;
}

class OneRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { sScenario = new UpdateScenario(); }
  static void TearDownTestSuite() {
    delete sScenario;
    sScenario = nullptr;
  }

  void SetUp() override {
    ASSERT_EQ(sScenario->error(), "");
    ASSERT_TRUE(server.ok());
    sScenario->serve(server);
    sScenario->copyInstalled(root);
  }

  TempDir work;
  std::string root = work.file("instance");
  ScriptServer server;
};

TEST_F(OneRun, ASecondRunIsRefusedWhileTheFirstCompletes) {
  server.onNext("/current.json", latePointer(5000));
  ProgramRun first;
  std::thread firstRun([&] { first = runSync(root, server.url()); });
  const bool firstWaits = awaitPointerRequest(server);

  const ProgramRun second = firstWaits ? runSync(root, server.url()) : ProgramRun();
  const std::size_t askedBeforeTheFirstEnded = pointerRequests(server);
  firstRun.join();

  ASSERT_TRUE(firstWaits) << "the first run never asked for the pointer:\n" << first.output;
  expectFailed(second, kBusy);
  EXPECT_EQ(askedBeforeTheFirstEnded, 1u) << "the refused run asked the server";
  EXPECT_EQ(first.status, 0) << first.output;
  sScenario->expectInstalled(root, sScenario->release2(), "2.0.0");
}

TEST_F(OneRun, AKilledRunsLockNeverBlocksTheNext) {
  server.onNext("/current.json", latePointer(60000));
  ProgramOptions killAtStart;
  killAtStart.killWhenOutputHas = "Checking for updates";
  killAtStart.killDelayMs = 300;
  const ProgramRun killed = runSync(root, server.url(), {}, killAtStart);
  ASSERT_EQ(killed.signal, SIGKILL) << killed.output;
  ASSERT_TRUE(exists(root + "/content/cache/sync.lock"));

  const ProgramRun next = runSync(root, server.url());
  EXPECT_EQ(next.status, 0) << next.output;
  sScenario->expectInstalled(root, sScenario->release2(), "2.0.0");
}

// A program is replaced by moving the old copy aside to "<name>.old" and
// the new one in. Between the two renames the program exists only as
// "<name>.old"; the next run, even one that cannot reach the server, must
// bring it back, and delete only a ".old" whose program is in place.
TEST_F(OneRun, AProgramLeftAsideIsPutBackEvenOffline) {
  const std::string offline = [] {
    ScriptServer gone;
    return gone.url();
  }();
  const std::string program = root + "/content/bin/skarvel-tool";
  const std::string firstCopy = sScenario->release1().at("bin/skarvel-tool");
  const struct {
    const char* name;
    bool programInPlace;
  } rows[] = {
      {"killed between the two renames", false},
      {"replaced, the old copy kept while the game ran", true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    sScenario->copyInstalled(root);
    ASSERT_EQ(::rename(program.c_str(), (program + ".old").c_str()), 0);
    if (row.programInPlace) writeFile(program, "#!/bin/sh\necho replacement\n");
    const std::string inPlace = row.programInPlace ? readFile(program) : firstCopy;

    const ProgramRun run = runSync(root, offline);

    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("Update check unavailable - playing installed content"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(readFile(program), inPlace);
    EXPECT_FALSE(exists(program + ".old"));
  }
}

}  // namespace
