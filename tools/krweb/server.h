// The web front end's HTTP server (cpp-httplib): its options, the start-up checks that keep
// it on loopback unless TLS and users are configured, and the routes (server.cc).
#pragma once

#include <memory>
#include <string>

namespace krweb {

struct ServerOptions {
  std::string host = "127.0.0.1";
  int port = 8080;              // 0: any free port (the one taken is printed)
  std::string cert, key;        // TLS certificate and key (PEM); both or neither
  std::string users;            // the users file
  std::string home;             // the installation home ("" : KR_HOME)
  std::string krreport;         // the krreport program the reports run in
  size_t max_running = 4;       // reports running at once
  size_t max_queued = 16;       // reports waiting beyond those
  int session_minutes = 480;    // a login lasts this long
  int max_failures = 5;         // failed logins for one name or address before a lock-out
  int lockout_seconds = 60;
};

// True for 127.0.0.0/8, ::1 and localhost.
bool IsLoopback(const std::string& host);

// Checks the options and the users file, binds, prints "listening on URL" and "ready" on
// standard output and serves until SIGINT or SIGTERM. The process's exit status: 0 after a
// clean stop, 1 when it could not start (the reason on standard error).
int Serve(const ServerOptions& options);

}  // namespace krweb
