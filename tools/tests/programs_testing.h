// What the program tests share: a child process with its output on pipes, and an installation
// laid from examples/ with a generated catalog and the resident programs started on demand.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "catalog.h"
#include "testing.h"

extern char** environ;

namespace programs_testing {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline const std::string kBin = KR_BIN_DIR;

struct Result {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
  double seconds = 0;
};

// A child process with its standard output and error on pipes.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> all_env = env;
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::strncmp(*e, "KR_", 3) != 0) all_env.push_back(*e);
    }
    for (auto& e : all_env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, args.data(), envp.data()) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      Wait(5);
    }
    if (out_fd_ >= 0) close(out_fd_);
    if (err_fd_ >= 0) close(err_fd_);
  }
  pid_t pid() const { return pid_; }
  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }

  // Reads what is available for up to `ms` milliseconds.
  void Pump(int ms) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (poll(fds, 2, ms) <= 0) return;
    char buf[65536];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents & (POLLIN | POLLHUP)) {
        ssize_t n = read(fds[i].fd, buf, sizeof buf);
        if (n > 0) (i == 0 ? out_ : err_).append(buf, static_cast<size_t>(n));
      }
    }
  }
  bool WaitForOutput(const std::string& text, double seconds) {
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
      if (out_.find(text) != std::string::npos) return true;
      if (Exited()) break;
      Pump(50);
    }
    return out_.find(text) != std::string::npos;
  }
  bool Exited() {
    if (reaped_) return true;
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) == pid_) Reap(st);
    return reaped_;
  }
  // Waits for the exit (reading output meanwhile); false on time-out.
  bool Wait(double seconds) {
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (!Exited()) {
      if (Clock::now() > end) return false;
      Pump(20);
    }
    for (int i = 0; i < 50; ++i) Pump(0);
    return true;
  }
  int status() const { return status_; }

 private:
  void Reap(int st) {
    reaped_ = true;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  }
  pid_t pid_ = -1;
  int out_fd_ = -1, err_fd_ = -1;
  bool reaped_ = false;
  int status_ = -1;
  std::string out_, err_;
};

inline int64_t QueryInt(const std::string& db, const std::string& sql) {
  sqlite3* h = nullptr;
  sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  int64_t v = -1;
  if (sqlite3_prepare_v2(h, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
      sqlite3_step(st) == SQLITE_ROW)
    v = sqlite3_column_int64(st, 0);
  sqlite3_finalize(st);
  sqlite3_close(h);
  return v;
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

inline std::set<std::string> Entries(const std::string& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) names.insert(e.path().filename());
  return names;
}

// An installation laid from examples/, a catalog, and both resident programs running.
class Installation {
 public:
  explicit Installation(int64_t jobs, std::string machine = "testhost")
      : machine_(std::move(machine)) {
    home_ = kr_testing::MakeTempDir();
    fs::copy(std::string(KR_SOURCE_DIR) + "/examples", home_, fs::copy_options::recursive);
    kr_testing::WriteFile(home_ + "/config/configure.cfg",
                          "[Directories]\nReports = " + home_ +
                              "/reports\n\n[Details]\nDescription = \"Test domain\"\n");
    catalog::GenerateOptions o;
    o.jobs = jobs;
    o.seed = 3;
    o.now = std::chrono::duration_cast<std::chrono::seconds>(
                std::chrono::system_clock::now().time_since_epoch())
                .count();
    std::string error;
    EXPECT_EQ(catalog::Generate(db(), o, &error), 1) << error;
  }
  ~Installation() {
    StopAll();
    kr_testing::RemoveTree(home_);
  }
  std::vector<std::string> Env() const {
    return {"KR_HOME=" + home_, "KR_MACHINE=" + machine_, "KR_TIMEOUT_SCALE=0.1",
            "KR_TRACE_FILE=none"};
  }
  const std::string& home() const { return home_; }
  std::string db() const { return home_ + "/catalog.db"; }
  std::string reports() const { return home_ + "/reports"; }
  std::string output() const { return home_ + "/reports/output"; }

  bool StartDaemon() {
    daemon_ = std::make_unique<Child>(std::vector<std::string>{kBin + "/krreportd"}, Env());
    return daemon_->WaitForOutput("ready\n", 10);
  }
  // `extra_env` adds to (and, for a KR_ variable, overrides) the environment of Env().
  bool StartProvider(const std::vector<std::string>& extra_env = {}) {
    std::vector<std::string> env = extra_env;
    for (const std::string& e : Env()) {
      const std::string key = e.substr(0, e.find('=') + 1);
      bool overridden = false;
      for (const std::string& x : extra_env) overridden = overridden || x.rfind(key, 0) == 0;
      if (!overridden) env.push_back(e);
    }
    provider_ = std::make_unique<Child>(
        std::vector<std::string>{kBin + "/krcatalogd", "serve", "--catalog", db()}, env);
    return provider_->WaitForOutput("ready\n", 10);
  }
  // The provider's trace (when started with it), read afresh.
  std::string trace() const { return kr_testing::ReadFile(home_ + "/provider.trace").value_or(""); }
  // Waits until the provider's trace says it started streaming the jobs table for the n-th time
  // (counted from 1), so a test can act while a transfer is surely under way.
  bool WaitForJobsStream(size_t n, int seconds) const {
    const std::string mark = "Started serving table 'jobs' as s-records";
    for (int i = 0; i < seconds * 500; ++i) {
      const std::string t = trace();
      size_t count = 0;
      for (size_t at = t.find(mark); at != std::string::npos; at = t.find(mark, at + 1)) ++count;
      if (count >= n) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }
  Child* provider() { return provider_.get(); }
  Child* daemon() { return daemon_.get(); }
  void StopAll() {
    for (Child* c : {provider_.get(), daemon_.get()}) {
      if (c != nullptr && !c->Exited()) {
        kill(c->pid(), SIGTERM);
        c->Wait(10);
      }
    }
  }

  Result Report(std::vector<std::string> args, double timeout = 60) {
    const auto t0 = Clock::now();
    std::unique_ptr<Child> c = ReportAsync(std::move(args));
    if (!c->Wait(timeout)) {
      kill(c->pid(), SIGKILL);
      c->Wait(5);
    }
    return {c->status(), c->out(), c->err(),
            std::chrono::duration<double>(Clock::now() - t0).count()};
  }
  std::unique_ptr<Child> ReportAsync(std::vector<std::string> args) {
    args.insert(args.begin(), kBin + "/krreport");
    return std::make_unique<Child>(args, Env());
  }

 private:
  std::string machine_;
  std::string home_;
  std::unique_ptr<Child> daemon_, provider_;
};

}  // namespace programs_testing
