// Ports of 127.0.0.1 for the test servers (nginx, the cache) that the tests
// start as processes of their own. Any thread may call them; they keep no
// state. They do not reserve a port: another process may take it between
// freePort() and the server binding it, so a server that fails with
// "Address already in use" is started again on a new one.
#pragma once

#include <cstdint>

namespace skarvel::test {

// A port of 127.0.0.1 that was free a moment ago; 0 when none could be had.
uint16_t freePort();

// True when a TCP connection to 127.0.0.1:port is accepted.
bool portAccepts(uint16_t port);

}  // namespace skarvel::test
