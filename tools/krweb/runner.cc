#include "runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>

#include "auth.h"

extern char** environ;

namespace krweb {
namespace {

// Finished runs kept for the pages, per server; the oldest finished ones go first.
constexpr size_t kKeptRuns = 500;

int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Reads both pipes until both are closed; calls `line` for each line of standard error.
template <typename OnLine>
void DrainPipes(int out_fd, int err_fd, std::string* out, OnLine line) {
  std::string err_buffer;
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  char buf[16384];
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        continue;
      }
      if (i == 0) {
        // Only the directory's path comes on standard output; more is not kept.
        if (out->size() < 65536) out->append(buf, static_cast<size_t>(n));
        continue;
      }
      err_buffer.append(buf, static_cast<size_t>(n));
      size_t end;
      while ((end = err_buffer.find('\n')) != std::string::npos) {
        line(err_buffer.substr(0, end));
        err_buffer.erase(0, end + 1);
      }
      if (err_buffer.size() > 65536) err_buffer.clear();  // no line is that long
    }
  }
  if (!err_buffer.empty()) line(err_buffer);
}

bool KrreportHasJsonProgress(const std::string& krreport) {
  int out_fd = -1;
  const pid_t pid = Spawn({krreport, "run", "--help"}, &out_fd, nullptr);
  if (pid < 0) return false;
  std::string out;
  DrainPipes(out_fd, open("/dev/null", O_RDONLY | O_CLOEXEC), &out, [](const std::string&) {});
  int status = 0;
  waitpid(pid, &status, 0);
  return out.find("--progress") != std::string::npos;
}

}  // namespace

const char* StatusName(RunState::Status status) {
  switch (status) {
    case RunState::kQueued:
      return "queued";
    case RunState::kRunning:
      return "running";
    case RunState::kDone:
      return "done";
    case RunState::kFailed:
      return "failed";
    case RunState::kCancelled:
      return "cancelled";
  }
  return "?";
}

pid_t Spawn(const std::vector<std::string>& argv, int* out_fd, int* err_fd) {
  int out[2] = {-1, -1}, err[2] = {-1, -1};
  if ((out_fd != nullptr && pipe2(out, O_CLOEXEC) != 0) ||
      (err_fd != nullptr && pipe2(err, O_CLOEXEC) != 0)) {
    for (int fd : {out[0], out[1], err[0], err[1]}) {
      if (fd >= 0) close(fd);
    }
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (out_fd != nullptr) {
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  if (err_fd != nullptr) {
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // The child gets the server's default signal handling back (SIGINT must cancel it).
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults, none;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGPIPE);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0].c_str(), &actions, &attr, args.data(), environ) != 0) pid = -1;
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (out[1] >= 0) close(out[1]);
  if (err[1] >= 0) close(err[1]);
  if (out_fd != nullptr) *out_fd = out[0];
  if (err_fd != nullptr) *err_fd = err[0];
  return pid;
}

Runner::Runner(std::string krreport, size_t max_running, size_t max_queued)
    : krreport_(std::move(krreport)),
      max_running_(std::max<size_t>(1, max_running)),
      max_queued_(max_queued) {
  progress_json_ = KrreportHasJsonProgress(krreport_);
}

Runner::~Runner() {
  std::unique_lock<std::mutex> lock(mutex_);
  stopping_ = true;
  queue_.clear();
  for (const auto& [id, pid] : pids_) kill(pid, SIGINT);
  idle_.wait(lock, [this] { return watchers_ == 0; });
}

size_t Runner::running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_;
}

size_t Runner::queued() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}

std::string Runner::Submit(const std::string& user, const std::string& title,
                           std::vector<std::string> args, std::string* message) {
  auto run = std::make_shared<RunState>();
  run->id = RandomToken(8);
  run->user = user;
  run->title = title;
  run->args = std::move(args);
  run->created = Now();
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) {
    *message = "The server is stopping.";
    return "";
  }
  if (running_ >= max_running_ && queue_.size() >= max_queued_) {
    *message = "Busy: " + std::to_string(running_) + " reports are running and " +
               std::to_string(queue_.size()) + " waiting. Try again in a moment.";
    return "";
  }
  // Keep the table of runs bounded: drop the oldest finished ones.
  while (runs_.size() >= kKeptRuns) {
    auto oldest = runs_.end();
    for (auto it = runs_.begin(); it != runs_.end(); ++it) {
      if (it->second->status >= RunState::kDone &&
          (oldest == runs_.end() || it->second->created < oldest->second->created)) {
        oldest = it;
      }
    }
    if (oldest == runs_.end()) break;
    runs_.erase(oldest);
  }
  runs_[run->id] = run;
  if (running_ < max_running_) {
    Start(run);
  } else {
    queue_.push_back(run);
  }
  return run->id;
}

// With mutex_ held.
void Runner::Start(const std::shared_ptr<RunState>& run) {
  std::vector<std::string> argv{krreport_};
  argv.insert(argv.end(), run->args.begin(), run->args.end());
  // A report job run takes its settings from its own files, progress options included.
  const bool job = !run->args.empty() && run->args[0] == "job";
  if (job) {
  } else if (progress_json_) {
    argv.push_back("--progress");
    argv.push_back("json");
  } else {
    argv.push_back("--quiet");
  }
  int out_fd = -1, err_fd = -1;
  const pid_t pid = Spawn(argv, &out_fd, &err_fd);
  if (pid < 0) {
    run->status = RunState::kFailed;
    run->error = "cannot start " + krreport_;
    return;
  }
  run->status = RunState::kRunning;
  run->stage = "started";
  pids_[run->id] = pid;
  ++running_;
  ++watchers_;
  std::thread(&Runner::Watch, this, run, pid, out_fd, err_fd).detach();
}

void Runner::Progress(RunState* run, const std::string& line) {
  if (!line.empty() && line[0] == '{') {
    const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_object()) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (j.contains("stage") && j["stage"].is_string()) run->stage = j["stage"];
      run->table = j.contains("table") && j["table"].is_string() ? j["table"] : "";
      if (j.contains("records") && j["records"].is_number()) run->records = j["records"];
      if (j.contains("seconds") && j["seconds"].is_number()) run->seconds = j["seconds"];
      return;
    }
  }
  // Anything else is krreport's message for the user, possibly with its causes on the lines
  // below it: all of them are kept (up to a bound), one a line.
  std::string text = line;
  if (text.rfind("krreport: ", 0) == 0) text.erase(0, 10);
  while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) text.pop_back();
  if (text.empty() || text.rfind("stored as ", 0) == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (run->error.size() > 4096) return;
  run->error += (run->error.empty() ? "" : "\n") + text;
}

void Runner::Watch(std::shared_ptr<RunState> run, pid_t pid, int out_fd, int err_fd) {
  const auto start = std::chrono::steady_clock::now();
  std::string out;
  DrainPipes(out_fd, err_fd, &out, [&](const std::string& line) { Progress(run.get(), line); });
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::lock_guard<std::mutex> lock(mutex_);
  pids_.erase(run->id);
  run->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  const size_t slash = out.rfind('/');
  run->output = slash == std::string::npos ? out : out.substr(slash + 1);
  if (code == 0) {
    run->status = RunState::kDone;
    run->stage = "done";
    run->error.clear();
  } else if (code == 130 || run->cancel_requested) {
    run->status = RunState::kCancelled;
    run->stage = "cancelled";
    run->error = "Cancelled.";
  } else {
    run->status = RunState::kFailed;
    if (run->error.empty()) run->error = "krreport ended with status " + std::to_string(code);
  }
  --running_;
  while (!stopping_ && running_ < max_running_ && !queue_.empty()) {
    auto next = queue_.front();
    queue_.pop_front();
    Start(next);
  }
  --watchers_;
  idle_.notify_all();
}

bool Runner::Get(const std::string& id, const std::string& user, RunState* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = runs_.find(id);
  if (it == runs_.end() || it->second->user != user) return false;
  *out = *it->second;
  return true;
}

std::vector<RunState> Runner::List(const std::string& user) {
  std::vector<RunState> list;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [id, run] : runs_) {
      if (run->user == user) list.push_back(*run);
    }
  }
  std::sort(list.begin(), list.end(),
            [](const RunState& a, const RunState& b) { return a.created > b.created; });
  return list;
}

bool Runner::Cancel(const std::string& id, const std::string& user) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = runs_.find(id);
  if (it == runs_.end() || it->second->user != user) return false;
  RunState& run = *it->second;
  if (run.status == RunState::kQueued) {
    queue_.erase(std::remove(queue_.begin(), queue_.end(), it->second), queue_.end());
    run.status = RunState::kCancelled;
    run.error = "Cancelled before it started.";
    return true;
  }
  auto pid = pids_.find(id);
  if (pid == pids_.end()) return false;
  run.cancel_requested = true;
  run.stage = "cancelling";
  kill(pid->second, SIGINT);
  return true;
}

}  // namespace krweb
