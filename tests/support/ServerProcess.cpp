// fork and exec rather than posix_spawn, which cannot ask for a signal at
// the parent's death. Between the two only async-signal-safe calls are made:
// the test may have other threads running.

#include "ServerProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace skarvel::test {

namespace {

[[noreturn]] void execServer(char* const* argv, const char* output, int outputFlags,
                             bool ownGroup, pid_t parent) {
  if (ownGroup) ::setpgid(0, 0);
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  // The parent may have died before the request: the signal would then
  // never come.
  if (::getppid() != parent) ::_exit(127);
  const int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int out = ::open(output, outputFlags, 0644);
  if (input < 0 || out < 0) ::_exit(127);
  ::dup2(input, 0);
  ::dup2(out, 1);
  ::dup2(out, 2);
  ::execv(argv[0], argv);
  ::_exit(127);
}

}  // namespace

pid_t startServerProcess(const ServerCommand& command) {
  std::vector<char*> argv;
  for (const std::string& arg : command.argv) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (command.truncateOutput ? O_TRUNC : O_APPEND);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    execServer(argv.data(), command.outputFile.c_str(), flags, command.ownProcessGroup, parent);
  }
  return pid;
}

}  // namespace skarvel::test
