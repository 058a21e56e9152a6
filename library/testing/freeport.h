// A loopback TCP port that was free a moment ago, for tests and benchmarks that must write a
// fixed port into a machines file before the process that listens on it starts. Header-only, so
// that benchmarks can use it without the test library.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kr_testing {

inline int FreePort() {
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(probe, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  socklen_t len = sizeof sa;
  getsockname(probe, reinterpret_cast<sockaddr*>(&sa), &len);
  close(probe);
  return ntohs(sa.sin_port);
}

}  // namespace kr_testing
