#include "Program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

extern char** environ;

namespace skarvel::test {

namespace {

double nowSeconds() {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void applyEnvironment(const std::vector<std::string>& changes) {
  for (const std::string& change : changes) {
    const std::size_t equals = change.find('=');
    if (equals == std::string::npos) {
      ::unsetenv(change.c_str());
    } else {
      ::setenv(change.substr(0, equals).c_str(), change.substr(equals + 1).c_str(), 1);
    }
  }
}

[[noreturn]] void execChild(const std::vector<std::string>& argv, const ProgramOptions& options,
                            int outputFd) {
  ::dup2(outputFd, 1);
  ::dup2(outputFd, 2);
  ::close(outputFd);
  applyEnvironment(options.environment);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  ::execv(args[0], args.data());
  const char message[] = "exec failed\n";
  ::write(2, message, sizeof message - 1);
  ::_exit(127);
}

void finish(pid_t pid, ProgramRun& run) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
}

}  // namespace

ProgramRun runProgram(const std::vector<std::string>& argv, const ProgramOptions& options) {
  ProgramRun run;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return run;
  const pid_t pid = ::fork();
  if (pid == 0) execChild(argv, options, fds[1]);
  ::close(fds[1]);
  if (pid < 0) {
    ::close(fds[0]);
    return run;
  }
  const double deadline = nowSeconds() + options.timeoutSeconds;
  bool killed = false;
  for (;;) {
    const double left = deadline - nowSeconds();
    if (left <= 0) {
      run.timedOut = true;
      ::kill(pid, SIGKILL);
      killed = true;
      break;
    }
    pollfd poller{fds[0], POLLIN, 0};
    if (::poll(&poller, 1, static_cast<int>(left * 1000) + 1) <= 0) continue;
    char buffer[4096];
    const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
    if (got <= 0) break;
    run.output.append(buffer, static_cast<std::size_t>(got));
    const bool stopHere = !options.killWhenOutputHas.empty() && !killed &&
                          run.output.find(options.killWhenOutputHas) != std::string::npos;
    if (stopHere) {
      ::kill(pid, SIGKILL);
      killed = true;
    }
  }
  ::close(fds[0]);
  finish(pid, run);
  return run;
}

std::string builtProgram(const std::string& name) { return std::string(SKARVEL_BIN_DIR) + "/" + name; }

}  // namespace skarvel::test
