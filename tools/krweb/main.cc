// krweb: the web front end of the domain's reports.
//
//   krweb serve [--listen ADDRESS] [--port N] [--cert FILE --key FILE]   serve the pages
//   krweb adduser NAME [--replace]                        add a user (password on standard input)
//
// Exit status: 0 done, 1 failed (the reason on standard error), 2 bad arguments.

#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <string>

#include "auth.h"
#include "kr/context.h"
#include "server.h"

namespace {

// The home's config directory, where the users file lives by default.
std::string DefaultUsersFile(const std::string& home) {
  ContextOptions options;
  options.home = home;
  std::unique_ptr<KrContext> context = ContextCreate(options);
  return context->home + "/config/krweb.users";
}

// The directory krweb was started from, where krreport is installed beside it.
std::string ProgramDir(const char* argv0) {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string path = n > 0 ? std::string(self, static_cast<size_t>(n)) : argv0;
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// One line from standard input, without echo when it is a terminal.
std::string ReadPassword() {
  const bool tty = isatty(STDIN_FILENO) == 1;
  termios saved = {};
  if (tty) {
    std::fprintf(stderr, "Password: ");
    tcgetattr(STDIN_FILENO, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
  }
  std::string password;
  std::getline(std::cin, password);
  if (tty) {
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    std::fprintf(stderr, "\n");
  }
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return password;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"The web front end of the domain's reports"};
  app.require_subcommand(1);
  std::string home, users;
  app.add_option("--home", home, "Installation home (default: $KR_HOME)");
  app.add_option("--users", users, "Users file (default: $KR_HOME/config/krweb.users)");

  auto* serve = app.add_subcommand("serve", "Serve the pages (loopback only unless TLS is set)");
  serve->footer(
      "Examples:\n  krweb adduser alice && krweb serve            then open "
      "http://127.0.0.1:8080/\n  krweb serve --listen 0.0.0.0 --cert web.crt --key web.key");
  krweb::ServerOptions o;
  serve->add_option("--listen", o.host, "Address to listen on (default 127.0.0.1)");
  serve->add_option("--port", o.port, "Port (default 8080; 0: any free port)");
  serve->add_option("--cert", o.cert, "TLS certificate (PEM); needed off loopback");
  serve->add_option("--key", o.key, "TLS private key (PEM)");
  serve->add_option("--krreport", o.krreport, "The krreport program (default: beside krweb)");
  serve->add_option("--max-running", o.max_running, "Reports running at once (default 4)");
  serve->add_option("--max-queued", o.max_queued, "Reports waiting beyond those (default 16)");
  serve->add_option("--session-minutes", o.session_minutes, "How long a login lasts (480)");
  serve->add_option("--max-failures", o.max_failures,
                    "Failed logins before a lock-out, per name and per address (5)");
  serve->add_option("--lockout-seconds", o.lockout_seconds, "Length of a lock-out (60)");

  auto* adduser = app.add_subcommand("adduser", "Add a user; the password is read from stdin");
  std::string name;
  bool replace = false;
  adduser->add_option("name", name, "The user's name")->required();
  adduser->add_flag("--replace", replace, "Set a new password for an existing user");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 2;
  }
  setenv("KR_TRACE_FILE", "none", 0);
  if (users.empty()) users = DefaultUsersFile(home);
  if (adduser->parsed()) {
    std::string error;
    if (!krweb::AddUser(users, name, ReadPassword(), replace, &error)) {
      std::fprintf(stderr, "krweb: %s\n", error.c_str());
      return 1;
    }
    std::printf("user %s written to %s\n", name.c_str(), users.c_str());
    return 0;
  }
  o.users = users;
  o.home = home;
  if (o.krreport.empty()) o.krreport = ProgramDir(argv[0]) + "/krreport";
  if (!home.empty()) setenv("KR_HOME", home.c_str(), 1);  // the children report on it too
  return krweb::Serve(o);
}
