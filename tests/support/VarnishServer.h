// A real Varnish cache (/usr/sbin/varnishd) for tests, listening on a free
// 127.0.0.1 port in front of an origin that the given VCL names. Its VCL,
// working folder (-n, where varnishstat finds it) and output live in a temp
// folder of their own that goes away with the object; the cache is stopped
// on destruction. One test thread owns an object; it is not shared.
//
//   if (!VarnishServer::installed()) GTEST_SKIP() << VarnishServer::kNotInstalled;
//   VarnishServer cache(vclText);   // backend: the nginx origin's port
//   ASSERT_TRUE(cache.ok()) << cache.error();
//   ... SkarvelSync --url cache.url() ...
//   cache.counter("MAIN.cache_hit")
//
// varnishd runs in the foreground (-F) without a jail (-j none), so it needs
// no privileges and no system user, and without a management port (-T none):
// nothing listens but the one port of 127.0.0.1. It runs in a process group
// of its own (the manager and the child that serves), so that stopping it
// leaves nothing behind.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>

#include "TempDir.h"

namespace skarvel::test {

class VarnishServer {
 public:
  // Why a test skips when installed() is false.
  static constexpr const char* kNotInstalled =
      "varnishd is not installed here (scripts/install-deps.sh installs Debian's varnish)";
  // True when /usr/sbin/varnishd and varnishstat can be run.
  static bool installed();

  // Starts varnishd with this VCL text and waits (at most about a minute:
  // the VCL is compiled to C and built first) until it serves.
  explicit VarnishServer(const std::string& vcl);
  ~VarnishServer();
  VarnishServer(const VarnishServer&) = delete;
  VarnishServer& operator=(const VarnishServer&) = delete;

  bool ok() const { return pid_ > 0; }
  // Why the start failed, with varnishd's output; empty when ok.
  const std::string& error() const { return error_; }
  // "http://127.0.0.1:<port>".
  std::string url() const;

  // The cache's own counters as varnishstat reports them ("MAIN.cache_hit"
  // -> 12); empty when it cannot be read.
  std::map<std::string, std::uint64_t> counters() const;
  // One counter; 0 when varnishstat does not list it.
  std::uint64_t counter(const std::string& name) const;
  // Waits (bounded) until `name` reaches at least `value`, since a serving
  // thread adds its counts to the totals when it is done with a request, not
  // while the client reads the answer. Returns the last value read.
  std::uint64_t waitForCounter(const std::string& name, std::uint64_t value) const;

 private:
  bool startOnce(const std::string& vcl, bool& portTaken);
  bool waitUntilServing(pid_t pid, uint16_t port, bool& portTaken);
  void stop();

  TempDir dir_;
  pid_t pid_ = -1;
  uint16_t port_ = 0;
  std::string error_;
};

}  // namespace skarvel::test
