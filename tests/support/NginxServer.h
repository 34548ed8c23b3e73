// A real nginx (/usr/sbin/nginx) for tests, serving one folder on a free
// 127.0.0.1 port, over HTTP or, given a certificate and key, HTTPS. Its
// configuration, logs and temporary files live in a folder of their own that
// goes away with the object; the process is stopped on destruction.
//
//   skarvel::test::TempDir root;
//   skarvel::test::writeFile(root.file("current.json"), "{}");
//   skarvel::test::NginxConfig config;
//   config.root = root.path();
//   config.extra = skarvel::test::NginxServer::gzipObjectLocations();
//   skarvel::test::NginxServer server(config);
//   ASSERT_TRUE(server.ok()) << server.error();
//   ... client.open(server.url()) ...   // "http://127.0.0.1:<port>"
//
// For HTTPS, makeTestCertificate writes a fresh self-signed certificate and
// its key, and certificatePin gives the digest an HttpClient pin expects.
// nginx runs as a single process in the foreground of its own (no master, no
// daemon), so the object knows its one process id and stops exactly that.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "TempDir.h"

namespace skarvel::test {

struct NginxConfig {
  // The folder served at "/".
  std::string root;
  // Both set: serve HTTPS with this PEM certificate and key.
  std::string certificateFile;
  std::string keyFile;
  // Text placed inside the server block after "root", e.g. location blocks.
  std::string extra;
};

class NginxServer {
 public:
  // Starts nginx and waits (at most about ten seconds) until its port accepts.
  explicit NginxServer(const NginxConfig& config);
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  bool ok() const { return pid_ > 0; }
  // Why the start failed, with nginx's error log; empty when ok.
  const std::string& error() const { return error_; }
  uint16_t port() const { return port_; }
  // nginx's process id; -1 when it is not running.
  pid_t pid() const { return pid_; }
  // "http://127.0.0.1:<port>", or "https://..." with a certificate.
  std::string url() const;
  // nginx's access log, one line per request served.
  std::string accessLogFile() const;

  // Location blocks that serve the content server's stored objects the way
  // the synchroniser expects: every "*.gz" under "/chunks/", "/bundles/" and "/sections/"
  // goes out as the stored gzip bytes with "Content-Encoding: gzip" (and every
  // "*.zst" as the stored zstd bytes with "Content-Encoding: zstd"), so the
  // client receives the blob's or bundle's own bytes after decoding.
  static std::string gzipObjectLocations();

 private:
  bool startOnce(const NginxConfig& config, bool& portTaken);
  void stop();

  TempDir dir_;
  pid_t pid_ = -1;
  uint16_t port_ = 0;
  bool secure_ = false;
  std::string error_;
};

// Writes a new self-signed P-256 certificate (subject CN "skarvel-test",
// valid two days) and its key into `folder` as "cert.pem" and "key.pem" with
// the openssl command. Returns false when the command fails.
bool makeTestCertificate(const std::string& folder, std::string& certificateFile,
                         std::string& keyFile);

// A private certificate authority and a server certificate it issued for
// 127.0.0.1 (P-256, valid two days), written into `folder` by the openssl
// command: for HTTPS checked the ordinary way, against a trust store that
// holds `caFile`. The server uses `certificateFile` and `keyFile`.
struct TestAuthority {
  std::string caFile;           // "ca.pem": what a trust store holds
  std::string certificateFile;  // "cert.pem"
  std::string keyFile;          // "key.pem"
};
bool makeTestAuthority(const std::string& folder, TestAuthority& authority);

// Copies the certificate at `certificateFile` into `folder` (created) under
// its subject hash ("5ad8a5d6.0"), the way /etc/ssl/certs is laid out.
bool addHashedCertificate(const std::string& certificateFile, const std::string& folder);

// The SHA-256 of the certificate's DER encoding in lower-case hex, worked out
// with the openssl command (so independently of the code under test); empty
// on failure.
std::string certificatePin(const std::string& certificateFile);

}  // namespace skarvel::test
