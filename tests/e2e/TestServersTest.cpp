// The servers the tests start go with the test process, also when it dies
// without stopping them: a test that crashes must not leave a server
// running on the machine.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "NginxServer.h"
#include "TempDir.h"

namespace {

using skarvel::test::NginxConfig;
using skarvel::test::NginxServer;
using skarvel::test::TempDir;

// Gone: no such process, or one that has ended and waits to be reaped.
bool processGone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  const std::size_t end = line.rfind(')');
  return end != std::string::npos && line.compare(end, 3, ") Z") == 0;
}

bool goneWithinTenSeconds(pid_t pid) {
  for (int step = 0; step < 200; ++step) {
    if (processGone(pid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// Tells the parent the server's process id and folder, then ends as a crash
// would: no destructor runs, so nothing stops the server.
[[noreturn]] void startServerAndDie(const std::string& root, int report) {
  NginxConfig config;
  config.root = root;
  NginxServer server(config);
  const std::string folder =
      std::filesystem::path(server.accessLogFile()).parent_path().string();
  const std::string message = std::to_string(server.pid()) + " " + folder;
  (void)!::write(report, message.data(), message.size());
  ::_exit(0);
}

TEST(TestServers, GoWhenTheTestDiesWithoutStoppingThem) {
  TempDir root;
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t test = ::fork();
  ASSERT_GE(test, 0);
  if (test == 0) startServerAndDie(root.path(), fds[1]);
  ::close(fds[1]);
  char buffer[4096];
  const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
  ::close(fds[0]);
  ::waitpid(test, nullptr, 0);
  ASSERT_GT(got, 0);
  const std::string message(buffer, static_cast<std::size_t>(got));
  const std::size_t space = message.find(' ');
  const pid_t server = static_cast<pid_t>(std::stol(message.substr(0, space)));
  const bool gone = server <= 0 || goneWithinTenSeconds(server);
  if (!gone) ::kill(server, SIGKILL);
  std::filesystem::remove_all(message.substr(space + 1));
  ASSERT_GT(server, 0) << "nginx did not start";
  EXPECT_TRUE(gone) << "nginx outlived the test that started it";
}

}  // namespace
