// Starts a server program (nginx, varnishd) for a test, tied to the test:
// should the test process die without stopping it (a crash, an abort, a
// sanitizer's report), the system sends the server SIGTERM, so that no
// server outlives the test that started it.
//
// The tie is to the thread that starts the server, not to its process: start
// servers from the thread that outlives them (the test's own), never from a
// helper thread that ends first.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace skarvel::test {

struct ServerCommand {
  std::vector<std::string> argv;  // argv[0] is the program's full path
  std::string outputFile;         // gets standard output and error
  bool truncateOutput = false;    // else appended to
  bool ownProcessGroup = false;   // so that its children can be stopped with it
};

// The new process's id, or -1 when it could not be started.
pid_t startServerProcess(const ServerCommand& command);

}  // namespace skarvel::test
