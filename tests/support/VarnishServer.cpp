// Starts and stops one varnishd for a test. The manager binds the listening
// socket before its child (the process that serves) is running, so an
// accepted connection alone does not mean the cache serves yet: the start
// waits for the child's own counters as well. A port taken between
// freePort() and the bind makes varnishd exit at once; the start is then
// tried again on a new port, a bounded number of times.

#include "VarnishServer.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>
#include <vector>

#include "LocalPort.h"
#include "Program.h"
#include "ServerProcess.h"

namespace skarvel::test {

namespace {

constexpr const char* kVarnishd = "/usr/sbin/varnishd";
constexpr const char* kVarnishstat = "/usr/bin/varnishstat";
constexpr int kStartAttempts = 5;
constexpr int kStartSteps = 600;  // of 100 ms: a minute, for the VCL's C build on a busy machine
constexpr int kStopSteps = 200;   // of 100 ms
constexpr int kCounterSteps = 100;
constexpr auto kStep = std::chrono::milliseconds(100);

// A group of its own: the serving child goes with the manager.
pid_t spawnVarnishd(const std::vector<std::string>& args, const std::string& output) {
  ServerCommand command;
  command.argv = args;
  command.outputFile = output;
  command.truncateOutput = true;
  command.ownProcessGroup = true;
  return startServerProcess(command);
}

// varnishstat -1: "MAIN.cache_hit   12   0.50 Cache hits", one counter a line.
std::map<std::string, std::uint64_t> parseCounters(const std::string& text) {
  std::map<std::string, std::uint64_t> counters;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string name;
    std::uint64_t value = 0;
    if (fields >> name >> value) counters[name] = value;
  }
  return counters;
}

}  // namespace

bool VarnishServer::installed() {
  return ::access(kVarnishd, X_OK) == 0 && ::access(kVarnishstat, X_OK) == 0;
}

VarnishServer::VarnishServer(const std::string& vcl) {
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    bool portTaken = false;
    if (startOnce(vcl, portTaken)) return;
    if (!portTaken) return;
  }
}

VarnishServer::~VarnishServer() { stop(); }

std::string VarnishServer::url() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::map<std::string, std::uint64_t> VarnishServer::counters() const {
  ProgramOptions options;
  options.timeoutSeconds = 30;
  const ProgramRun run = runProgram({kVarnishstat, "-1", "-n", dir_.file("work")}, options);
  if (run.status != 0) return {};
  return parseCounters(run.output);
}

std::uint64_t VarnishServer::counter(const std::string& name) const {
  const auto all = counters();
  const auto found = all.find(name);
  return found == all.end() ? 0 : found->second;
}

std::uint64_t VarnishServer::waitForCounter(const std::string& name, std::uint64_t value) const {
  std::uint64_t seen = counter(name);
  for (int step = 0; step < kCounterSteps && seen < value; ++step) {
    std::this_thread::sleep_for(kStep);
    seen = counter(name);
  }
  return seen;
}

bool VarnishServer::startOnce(const std::string& vcl, bool& portTaken) {
  const uint16_t port = freePort();
  const std::string vclFile = dir_.file("cache.vcl");
  writeFile(vclFile, vcl);
  if (port == 0) {
    error_ = "no free port on 127.0.0.1";
    return false;
  }
  // -n: the cache's working folder, where varnishstat finds its counters.
  const std::string work = dir_.file("work");
  const pid_t pid =
      spawnVarnishd({kVarnishd, "-F", "-j", "none", "-T", "none", "-n", work, "-a",
                     "127.0.0.1:" + std::to_string(port), "-f", vclFile, "-s", "malloc,64m"},
                    dir_.file("output.log"));
  if (pid <= 0) {
    error_ = std::string("could not start ") + kVarnishd;
    return false;
  }
  port_ = port;
  if (waitUntilServing(pid, port, portTaken)) {
    pid_ = pid;
    error_.clear();
    return true;
  }
  return false;
}

bool VarnishServer::waitUntilServing(pid_t pid, uint16_t port, bool& portTaken) {
  for (int step = 0; step < kStartSteps; ++step) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) {
      const std::string output = readFile(dir_.file("output.log"));
      portTaken = output.find("Address already in use") != std::string::npos;
      error_ = "varnishd stopped at start:\n" + output;
      return false;
    }
    if (portAccepts(port) && counters().count("MAIN.uptime") == 1) return true;
    std::this_thread::sleep_for(kStep);
  }
  // Not reaped yet, so the group id is still this process's own.
  ::kill(-pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  error_ = "varnishd did not serve within a minute:\n" + readFile(dir_.file("output.log"));
  return false;
}

void VarnishServer::stop() {
  if (pid_ <= 0) return;
  // The manager stops its child and exits.
  ::kill(pid_, SIGTERM);
  for (int step = 0; step < kStopSteps; ++step) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(kStep);
  }
  ::kill(-pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

}  // namespace skarvel::test
