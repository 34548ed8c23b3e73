// Starts and stops one nginx process for a test. The free port is found by
// binding port 0 and letting it go; another process may take it in between,
// so a start that fails on "Address already in use" is tried again on a new
// port, a bounded number of times.

#include "NginxServer.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "LocalPort.h"
#include "ServerProcess.h"

namespace skarvel::test {

namespace {

constexpr const char* kNginx = "/usr/sbin/nginx";
constexpr int kStartAttempts = 5;
constexpr int kWaitSteps = 200;  // of 50 ms: ten seconds
constexpr auto kWaitStep = std::chrono::milliseconds(50);

std::string quoted(const std::string& path) { return "'" + path + "'"; }

std::string configText(const NginxConfig& config, const std::string& dir, uint16_t port) {
  bool secure = !config.certificateFile.empty() && !config.keyFile.empty();
  std::string text =
      "daemon off;\n"
      "master_process off;\n"
      "worker_processes 1;\n"
      "pid " + dir + "/nginx.pid;\n"
      "error_log " + dir + "/error.log warn;\n"
      "events { worker_connections 512; }\n"
      "http {\n"
      "  access_log " + dir + "/access.log;\n"
      "  client_body_temp_path " + dir + "/body;\n"
      "  proxy_temp_path " + dir + "/proxy;\n"
      "  fastcgi_temp_path " + dir + "/fastcgi;\n"
      "  uwsgi_temp_path " + dir + "/uwsgi;\n"
      "  scgi_temp_path " + dir + "/scgi;\n"
      "  types { application/json json; text/plain txt; }\n"
      "  default_type application/octet-stream;\n"
      "  keepalive_requests 100000;\n"
      "  server {\n"
      "    listen 127.0.0.1:" + std::to_string(port) + (secure ? " ssl" : "") + ";\n"
      "    server_name localhost;\n"
      "    root " + config.root + ";\n";
  if (secure) {
    text += "    ssl_certificate " + config.certificateFile + ";\n";
    text += "    ssl_certificate_key " + config.keyFile + ";\n";
  }
  text += config.extra + "\n  }\n}\n";
  return text;
}

bool writeText(const std::string& path, const std::string& text) {
  FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return false;
  bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && written;
}

// Runs a shell command and returns what it printed on standard output.
std::string commandOutput(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return std::string();
  std::string output;
  char chunk[4096];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, got);
  ::pclose(pipe);
  return output;
}

pid_t spawnNginx(const std::string& dir) {
  ServerCommand command;
  command.argv = {kNginx, "-p", dir + "/", "-c", dir + "/nginx.conf", "-e", dir + "/error.log"};
  command.outputFile = dir + "/output.log";
  return startServerProcess(command);
}

}  // namespace

NginxServer::NginxServer(const NginxConfig& config) {
  secure_ = !config.certificateFile.empty() && !config.keyFile.empty();
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    bool portTaken = false;
    if (startOnce(config, portTaken)) return;
    if (!portTaken) return;
  }
}

NginxServer::~NginxServer() { stop(); }

std::string NginxServer::url() const {
  return std::string(secure_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

std::string NginxServer::accessLogFile() const { return dir_.path() + "/access.log"; }

std::string NginxServer::gzipObjectLocations() {
  return "    location ~ ^/(chunks|bundles|sections)/.+\\.gz$ {\n"
         "      types { }\n"
         "      default_type application/octet-stream;\n"
         "      add_header Content-Encoding gzip;\n"
         "    }\n"
         "    location ~ ^/(chunks|bundles|sections)/.+\\.zst$ {\n"
         "      types { }\n"
         "      default_type application/octet-stream;\n"
         "      add_header Content-Encoding zstd;\n"
         "    }\n";
}

bool NginxServer::startOnce(const NginxConfig& config, bool& portTaken) {
  const std::string& dir = dir_.path();
  uint16_t port = freePort();
  std::remove((dir + "/error.log").c_str());
  if (port == 0 || !writeText(dir + "/nginx.conf", configText(config, dir, port))) {
    error_ = "could not prepare nginx's configuration in " + dir;
    return false;
  }
  pid_t pid = spawnNginx(dir);
  if (pid <= 0) {
    error_ = std::string("could not start ") + kNginx;
    return false;
  }
  for (int step = 0; step < kWaitSteps; ++step) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      std::string log = commandOutput("cat " + quoted(dir + "/error.log") + " " +
                                      quoted(dir + "/output.log") + " 2>/dev/null");
      portTaken = log.find("Address already in use") != std::string::npos;
      error_ = "nginx stopped at start:\n" + log;
      return false;
    }
    if (portAccepts(port)) {
      pid_ = pid;
      port_ = port;
      error_.clear();
      return true;
    }
    std::this_thread::sleep_for(kWaitStep);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  error_ = "nginx did not accept connections within ten seconds";
  return false;
}

void NginxServer::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  for (int step = 0; step < kWaitSteps; ++step) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(kWaitStep);
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

bool makeTestCertificate(const std::string& folder, std::string& certificateFile,
                         std::string& keyFile) {
  certificateFile = folder + "/cert.pem";
  keyFile = folder + "/key.pem";
  std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1"
                        " -nodes -days 2 -subj /CN=skarvel-test -keyout " + quoted(keyFile) +
                        " -out " + quoted(certificateFile) + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

bool makeTestAuthority(const std::string& folder, TestAuthority& authority) {
  authority.caFile = folder + "/ca.pem";
  authority.certificateFile = folder + "/cert.pem";
  authority.keyFile = folder + "/key.pem";
  const std::string caKey = folder + "/ca-key.pem";
  const std::string request = folder + "/request.pem";
  const std::string extensions = folder + "/server.ext";
  if (!writeText(extensions, "subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
                             "extendedKeyUsage=serverAuth\n")) {
    return false;
  }
  const std::string newKey = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  const std::string commands[] = {
      "openssl req -x509" + newKey + " -days 2 -subj /CN=skarvel-test-authority" +
          " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign" +
          " -keyout " + quoted(caKey) + " -out " + quoted(authority.caFile),
      "openssl req" + newKey + " -subj /CN=127.0.0.1 -keyout " + quoted(authority.keyFile) +
          " -out " + quoted(request),
      "openssl x509 -req -days 2 -in " + quoted(request) + " -CA " + quoted(authority.caFile) +
          " -CAkey " + quoted(caKey) + " -set_serial 1 -extfile " + quoted(extensions) +
          " -out " + quoted(authority.certificateFile),
  };
  for (const std::string& command : commands) {
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) return false;
  }
  return true;
}

bool addHashedCertificate(const std::string& certificateFile, const std::string& folder) {
  std::string hash = commandOutput("openssl x509 -hash -noout -in " + quoted(certificateFile));
  hash = hash.substr(0, hash.find('\n'));
  if (hash.size() != 8) return false;
  std::string command = "mkdir -p " + quoted(folder) + " && cp " + quoted(certificateFile) + " " +
                        quoted(folder + "/" + hash + ".0");
  return std::system(command.c_str()) == 0;
}

std::string certificatePin(const std::string& certificateFile) {
  std::string output = commandOutput("openssl x509 -in " + quoted(certificateFile) +
                                     " -outform DER | openssl dgst -sha256 -r");
  std::string pin = output.substr(0, 64);
  bool isHex = pin.size() == 64 && pin.find_first_not_of("0123456789abcdef") == std::string::npos;
  return isHex ? pin : std::string();
}

}  // namespace skarvel::test
