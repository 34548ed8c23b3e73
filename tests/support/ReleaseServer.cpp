#include "ReleaseServer.h"

#include <fstream>
#include <sstream>

namespace skarvel::test {

ReleaseServer::ReleaseServer() : ReleaseServer(std::string(), std::string()) {}

ReleaseServer::ReleaseServer(const std::string& certificateFile, const std::string& keyFile) {
  NginxConfig config;
  config.root = folder();
  config.certificateFile = certificateFile;
  config.keyFile = keyFile;
  std::ofstream(dir_.file("server/.keep")).close();
  config.extra = NginxServer::gzipObjectLocations();
  nginx_ = std::make_unique<NginxServer>(config);
}

ProgramRun ReleaseServer::publish(const std::string& version, int sequence,
                                  const std::string& requiredDir,
                                  const std::vector<std::string>& extra) {
  return publishRelease(folder(), version, sequence, requiredDir, extra);
}

namespace {

// nginx's default log format: ... "<request line>" <status> <bytes> ...
std::vector<std::string> readAccessLog(const std::string& path) {
  std::vector<std::string> requests;
  std::ifstream log(path);
  std::string line;
  while (std::getline(log, line)) {
    const std::size_t open = line.find('"');
    const std::size_t close = open == std::string::npos ? open : line.find('"', open + 1);
    if (close == std::string::npos) continue;
    requests.push_back(line.substr(open + 1, close - open - 1));
  }
  return requests;
}

}  // namespace

std::vector<std::string> ReleaseServer::requests() const {
  return readAccessLog(nginx_->accessLogFile());
}

std::size_t ReleaseServer::countRequests(const std::string& prefix,
                                        const std::string& marker) const {
  std::size_t count = 0;
  for (const std::string& line : requests()) {
    const std::size_t space = line.find(' ');
    const bool matches =
        space != std::string::npos && line.compare(space + 1, prefix.size(), prefix) == 0;
    if (matches && line.find(marker) != std::string::npos) ++count;
  }
  return count;
}

ProgramRun runSync(const std::string& root, const std::string& url,
                   const std::vector<std::string>& args, ProgramOptions options) {
  std::vector<std::string> argv = {builtProgram("SkarvelSync"), "--root", root, "--url", url};
  argv.insert(argv.end(), args.begin(), args.end());
  options.environment.push_back("SKARVEL_DUSKMERE_DIR=" + demoBaseGame());
  return runProgram(argv, options);
}

std::string demoBaseGame() { return demoFile("base-game"); }

std::string demoFile(const std::string& relative) {
  return std::string(SKARVEL_SOURCE_DIR) + "/demo/" + relative;
}

}  // namespace skarvel::test
