// The built SkarvelPublish, for tests that need a real release: the one way
// the tests publish one, so that a change to the publisher's command line is
// made here once. Runs the program as a child process (see Program.h).
//
//   ASSERT_EQ(publishRelease(serverFolder, "1.0", 1, contentDir).status, 0);
#pragma once

#include <string>
#include <vector>

#include "Program.h"

namespace skarvel::test {

// Runs SkarvelPublish with `args` (a command and its options).
ProgramRun runPublish(const std::vector<std::string>& args, const ProgramOptions& options = {});

// Runs SkarvelPublish with standard error apart from standard output (in
// ProgramRun::errors): its contract says which stream says what.
ProgramRun runPublisher(const std::vector<std::string>& args);

// Publishes `requiredDir` as release `version` with `sequence` into
// `serverFolder`, quietly and signed with the development key, whose public
// half the synchroniser is built with. `extra` arguments are appended
// (e.g. "--optional", dir, "--config-required", file, "--chunk-size", "16K").
ProgramRun publishRelease(const std::string& serverFolder, const std::string& version,
                          int sequence, const std::string& requiredDir,
                          const std::vector<std::string>& extra = {});

}  // namespace skarvel::test
