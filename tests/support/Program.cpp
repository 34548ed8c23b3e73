#include "Program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
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
                            int outputFd, int errorFd) {
  ::dup2(outputFd, 1);
  ::dup2(errorFd >= 0 ? errorFd : outputFd, 2);
  ::close(outputFd);
  applyEnvironment(options.environment);
  if (options.fileSizeLimit != 0) {
    // An ignored signal stays ignored across exec, so the program sees a
    // failed write instead of being ended by the signal.
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  ::execv(args[0], args.data());
  const char message[] = "exec failed\n";
  ::write(2, message, sizeof message - 1);
  ::_exit(127);
}

// Standard error kept apart goes to an unnamed file rather than a second
// pipe, so that the output loop keeps watching one descriptor; it is read
// once the program has ended. -1 when not asked for or not possible.
int openErrorFile(const ProgramOptions& options) {
  if (!options.errorsApart) return -1;
  return ::open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
}

std::string readErrorFile(int fd) {
  std::string text;
  if (fd < 0) return text;
  char buffer[4096];
  ssize_t got = 0;
  for (off_t at = 0; (got = ::pread(fd, buffer, sizeof buffer, at)) > 0; at += got) {
    text.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return text;
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
  const int errorFd = openErrorFile(options);
  if (options.errorsApart && errorFd < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    run.errors = "no file to keep standard error apart in";
    return run;
  }
  const pid_t pid = ::fork();
  if (pid == 0) execChild(argv, options, fds[1], errorFd);
  ::close(fds[1]);
  if (pid < 0) {
    ::close(fds[0]);
    readErrorFile(errorFd);
    return run;
  }
  const double start = nowSeconds();
  const double deadline = start + options.timeoutSeconds;
  const double delay = options.killDelayMs > 0 ? options.killDelayMs / 1000.0 : 0.0;
  // When the kill is due; negative while none is planned.
  double killAt = options.killWhenOutputHas.empty() && delay > 0 ? start + delay : -1;
  bool killed = false;
  for (;;) {
    const double now = nowSeconds();
    if (now >= deadline) {
      run.timedOut = true;
      ::kill(pid, SIGKILL);
      break;
    }
    if (!killed && killAt >= 0 && now >= killAt) {
      ::kill(pid, options.killSignal);
      killed = true;
    }
    double until = deadline;
    if (!killed && killAt >= 0 && killAt < until) until = killAt;
    pollfd poller{fds[0], POLLIN, 0};
    if (::poll(&poller, 1, static_cast<int>((until - now) * 1000) + 1) <= 0) continue;
    char buffer[4096];
    const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
    if (got <= 0) break;
    run.output.append(buffer, static_cast<std::size_t>(got));
    const bool textSeen = !options.killWhenOutputHas.empty() && killAt < 0 &&
                          run.output.find(options.killWhenOutputHas) != std::string::npos;
    // The next turn of the loop kills once the delay is over.
    if (textSeen) killAt = nowSeconds() + delay;
  }
  ::close(fds[0]);
  finish(pid, run);
  run.errors = readErrorFile(errorFd);
  return run;
}

std::string builtProgram(const std::string& name) { return std::string(SKARVEL_BIN_DIR) + "/" + name; }

}  // namespace skarvel::test
