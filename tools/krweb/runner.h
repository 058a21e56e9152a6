// Reports run by the web front end: each one is a krreport child process, so several users'
// reports run at once, a slow one never holds up the pages, its memory goes back when it ends,
// and cancelling is SIGINT to the child (which tells the provider to stop, as Ctrl-C does).
// At most `max_running` children at once; up to `max_queued` more wait their turn, beyond that a
// request is refused with a message.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace krweb {

struct RunState {
  enum Status { kQueued, kRunning, kDone, kFailed, kCancelled };
  std::string id;
  std::string user;
  std::string title;                // what the run is, for the pages
  std::vector<std::string> args;    // krreport's arguments
  Status status = kQueued;
  std::string stage = "queued";     // fetch, filter, sort, write, done (from --progress json)
  std::string table;                // the table being fetched
  int64_t records = 0;
  double seconds = 0;
  std::string output;               // the output directory's name (under reports/output)
  std::string error;                // krreport's message when it failed
  int64_t created = 0;              // seconds since 1970
  bool cancel_requested = false;    // SIGINT sent; the run is over once the child has ended
};

const char* StatusName(RunState::Status status);

class Runner {
 public:
  // `krreport` is the program's path; the children get the server's environment.
  Runner(std::string krreport, size_t max_running, size_t max_queued);
  ~Runner();  // cancels what runs and waits for the children

  // Queues a run; its id, or "" and *message when the queue is full.
  std::string Submit(const std::string& user, const std::string& title,
                     std::vector<std::string> args, std::string* message);
  // A copy of the run's state; false when there is no such run of `user`.
  bool Get(const std::string& id, const std::string& user, RunState* out);
  // The runs of `user`, newest first.
  std::vector<RunState> List(const std::string& user);
  // Cancels a queued or running run of `user`. False when there is none.
  bool Cancel(const std::string& id, const std::string& user);
  // Whether krreport writes its progress as JSON lines (--progress json).
  bool progress_json() const { return progress_json_; }
  size_t running() const;
  size_t queued() const;

 private:
  void Start(const std::shared_ptr<RunState>& run);
  void Watch(std::shared_ptr<RunState> run, pid_t pid, int out_fd, int err_fd);
  void Finished();
  void Progress(RunState* run, const std::string& line);

  const std::string krreport_;
  const size_t max_running_, max_queued_;
  bool progress_json_ = false;
  mutable std::mutex mutex_;
  std::condition_variable idle_;
  std::map<std::string, std::shared_ptr<RunState>> runs_;
  std::deque<std::shared_ptr<RunState>> queue_;
  std::map<std::string, pid_t> pids_;
  size_t running_ = 0;
  size_t watchers_ = 0;
  bool stopping_ = false;
};

// Starts `argv` with standard input from /dev/null and standard output and error on pipes
// (*out_fd, *err_fd; -1 for one not wanted, which then goes to /dev/null). The child's pid, or -1.
pid_t Spawn(const std::vector<std::string>& argv, int* out_fd, int* err_fd);

}  // namespace krweb
