// Handing a built message to the machine's mail transport through its sendmail program: the
// program's command line from the mail settings, the message written whole on its standard
// input, its exit status and its own words read back. The program is run directly (no shell),
// bounded in time, and stopped when the caller cancels.
#include "sendmail.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>

extern char** environ;

namespace krmail {

std::vector<std::string> SendmailCommand(const Settings& settings) {
  std::vector<std::string> argv;
  std::istringstream words(settings.sendmail);
  for (std::string w; words >> w;) argv.push_back(w);
  // -i: a line of a single dot is text, not the end of the message.
  argv.push_back("-i");
  std::string name, addr;
  if (!settings.from.empty()) {
    SplitAddress(settings.from, &name, &addr);
    argv.push_back("-f");
    argv.push_back(addr);
  }
  argv.push_back("--");
  for (const std::string& to : settings.to) {
    SplitAddress(to, &name, &addr);
    argv.push_back(addr);
  }
  return argv;
}

namespace {

// The child's standard input and its merged standard output and error.
struct Pipes {
  int in[2] = {-1, -1}, out[2] = {-1, -1};
  ~Pipes() {
    for (int fd : {in[0], in[1], out[0], out[1]}) {
      if (fd >= 0) close(fd);
    }
  }
  static void Close(int* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
};

int Spawn(pid_t* pid, std::string* error, const std::vector<std::string>& argv, Pipes* p) {
  if (pipe2(p->in, O_CLOEXEC) != 0 || pipe2(p->out, O_CLOEXEC) != 0) {
    *error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return 0;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, p->in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, p->out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, p->out[1], 2);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const int rc = posix_spawn(pid, argv[0].c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    *error = "cannot run the mail program '" + argv[0] + "': " + std::strerror(rc) +
             " (install a mail transport, e.g. the Debian package msmtp-mta, or name the "
             "program with --sendmail or sendmail in the [mail] stanza of reports.cfg)";
    return 0;
  }
  Pipes::Close(&p->in[0]);
  Pipes::Close(&p->out[1]);
  fcntl(p->in[1], F_SETFL, O_NONBLOCK);
  return 1;
}

// Writes the message and reads the child's output until it closes it, the time runs out or the
// caller cancels. 1 when the child closed its output in time.
int Converse(Pipes* p, const std::string& message, std::string* output, int timeout_seconds,
             const std::function<bool()>& cancelled) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  size_t written = 0;
  if (message.empty()) Pipes::Close(&p->in[1]);
  while (p->out[0] >= 0) {
    if (std::chrono::steady_clock::now() > end || (cancelled && cancelled())) return 0;
    pollfd fds[2] = {{p->out[0], POLLIN, 0}, {p->in[1], POLLOUT, 0}};
    const int n = poll(fds, p->in[1] >= 0 ? 2 : 1, 100);
    if (n < 0 && errno != EINTR) return 0;
    if (n <= 0) continue;
    if (fds[0].revents != 0) {
      char buf[4096];
      const ssize_t got = read(p->out[0], buf, sizeof buf);
      if (got > 0 && output->size() < 65536) output->append(buf, static_cast<size_t>(got));
      if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) Pipes::Close(&p->out[0]);
    }
    if (p->in[1] >= 0 && fds[1].revents != 0) {
      const ssize_t put = write(p->in[1], message.data() + written, message.size() - written);
      if (put > 0) written += static_cast<size_t>(put);
      // A transport that stops reading (it refused the message at once) says why on its output.
      if ((put < 0 && errno != EAGAIN && errno != EINTR) || written == message.size()) {
        Pipes::Close(&p->in[1]);
      }
    }
  }
  return 1;
}

std::string Quoted(const std::string& output) {
  const size_t b = output.find_first_not_of(" \t\r\n");
  std::string text = b == std::string::npos ? "" : output.substr(b);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (text.empty()) return "";
  std::string indented = "\n  ";
  for (char c : text) indented += c == '\n' ? std::string("\n  ") : std::string(1, c);
  return ":" + indented;
}

// Reaps the child. One that is still running when it should have ended (it closed its output
// but goes on) or was given up on is stopped: SIGTERM, then SIGKILL a second later. True when it
// ended by itself.
bool WaitChild(pid_t pid, int* status, bool ended, int timeout_seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  if (!ended) kill(pid, SIGTERM);
  for (int i = 0;; ++i) {
    const pid_t got = waitpid(pid, status, WNOHANG);
    if (got == pid) return ended;
    if (got < 0 && errno != EINTR) {
      *status = 255 << 8;  // read as a failed transport
      return ended;
    }
    if (ended && std::chrono::steady_clock::now() > end) {
      ended = false;
      kill(pid, SIGTERM);
      i = 0;
    }
    if (!ended && i == 50) kill(pid, SIGKILL);
    usleep(20000);
  }
}

}  // namespace

int HandOver(std::string* error, const Settings& settings, const std::string& message,
             const std::function<bool()>& cancelled) {
  const std::vector<std::string> argv = SendmailCommand(settings);
  // A transport that exits before reading everything must not end this process with SIGPIPE.
  struct sigaction ignore = {}, previous = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);
  Pipes pipes;
  pid_t pid = -1;
  const int spawned = Spawn(&pid, error, argv, &pipes);
  std::string output;
  bool ended = spawned && Converse(&pipes, message, &output, settings.timeout_seconds,
                                   cancelled) == 1;
  int status = 0;
  if (spawned) ended = WaitChild(pid, &status, ended, settings.timeout_seconds);
  sigaction(SIGPIPE, &previous, nullptr);
  if (!spawned) return 0;
  if (!ended) {
    *error = (cancelled && cancelled())
                 ? std::string("cancelled while the mail program was sending")
                 : "the mail program '" + argv[0] + "' did not finish within " +
                       std::to_string(settings.timeout_seconds) + " seconds" + Quoted(output);
    return 0;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return 1;
  *error = "the mail program '" + argv[0] + "' " +
           (WIFEXITED(status) ? "failed with exit status " + std::to_string(WEXITSTATUS(status))
                              : "was ended by signal " + std::to_string(WTERMSIG(status))) +
           Quoted(output);
  return 0;
}

}  // namespace krmail
