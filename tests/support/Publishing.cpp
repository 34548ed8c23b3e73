#include "Publishing.h"

#include "TestSigning.h"

namespace skarvel::test {

ProgramRun runPublish(const std::vector<std::string>& args, const ProgramOptions& options) {
  std::vector<std::string> argv = {builtProgram("SkarvelPublish")};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProgram(argv, options);
}

ProgramRun runPublisher(const std::vector<std::string>& args) {
  ProgramOptions options;
  options.errorsApart = true;
  return runPublish(args, options);
}

ProgramRun publishRelease(const std::string& serverFolder, const std::string& version,
                          int sequence, const std::string& requiredDir,
                          const std::vector<std::string>& extra) {
  std::vector<std::string> args = {"release", "--quiet", "--server", serverFolder, "--key",
                                   vantis::content::test::devSigningKeyPath()};
  args.insert(args.end(), {"--version", version, "--sequence", std::to_string(sequence),
                           "--required", requiredDir});
  args.insert(args.end(), extra.begin(), extra.end());
  return runPublish(args);
}

}  // namespace skarvel::test
