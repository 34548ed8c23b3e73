// SkarvelPublish: the content team's tool that makes signing keys and
// publishes releases into a static server folder. Everything but the
// argument hand-over lives in the publisher's library.

#include <cstdio>
#include <string>
#include <vector>

#include "CommandLine.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return vantis::publish::runCommandLine(args, stdout, stderr);
}
