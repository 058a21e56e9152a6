// Shared test helpers: a temporary installation home with its own context, a trace capture, and
// small file helpers. Used by the tests of both libraries.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "freeport.h"
#include "kr/context.h"
#include "kr/object.h"
#include "kr/trace.h"

namespace kr_testing {

// Collects every trace line of the calling context while it lives, at every level up to `level`.
class TraceCapture : public TraceSink {
 public:
  struct Line {
    std::string tag;
    int msg_no;
    int level;
    std::string text;
  };
  explicit TraceCapture(int level = 10);
  ~TraceCapture() override;
  void Write(std::string_view tag, int msg_no, int level, std::string_view text) override;

  const std::vector<Line>& lines() const { return lines_; }
  // True when some line's text contains `text`.
  bool Contains(std::string_view text) const;
  // True when some line at `level` contains `text`.
  bool Contains(std::string_view text, int level) const;
  // All lines, one per line, for failure messages.
  std::string Dump() const;
  void Clear() { lines_.clear(); }

 private:
  std::vector<Line> lines_;
  TraceSink* prev_sink_;
  int prev_level_;
};

// A fresh context over a temporary installation home, current on this thread while it lives.
// The home has config/configure.cfg naming home/reports as the reports directory, and the
// reports directory has the standard subdirectories. Everything is removed at the end.
class TestHome {
 public:
  struct Options {
    std::string machine_name = "testhost";
    std::optional<int64_t> fixed_time;
    bool with_reports_dir = true;  // false: no configure.cfg at all
    std::string process_name = "Test Process";
    // An existing home to share (with another TestHome, so that their contexts find each
    // other); it is left in place at the end. Empty: a new temporary home.
    std::string home;
    // Multiplies the context's protocol time-outs (kr/message.h), to keep the suite fast.
    double timeout_scale = 1.0;
  };
  TestHome();
  explicit TestHome(const Options& options);
  ~TestHome();
  TestHome(const TestHome&) = delete;
  TestHome& operator=(const TestHome&) = delete;

  const std::string& home() const { return home_; }
  std::string config_dir() const { return home_ + "/config"; }
  std::string reports_dir() const { return home_ + "/reports"; }
  // A path under the home / reports directory.
  std::string HomePath(const std::string& rel) const { return home_ + "/" + rel; }
  std::string ReportsPath(const std::string& rel) const { return reports_dir() + "/" + rel; }
  KrContext* context() const { return context_.get(); }

 private:
  std::string home_;
  bool owns_home_ = true;
  std::unique_ptr<KrContext> context_;
  KrContext* prev_;
};

// Whether the tests run under ThreadSanitizer.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kUnderThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
inline constexpr bool kUnderThreadSanitizer = true;
#else
inline constexpr bool kUnderThreadSanitizer = false;
#endif
#else
inline constexpr bool kUnderThreadSanitizer = false;
#endif

// The time-out scale of the messaging tests: protocol time-outs run a hundred times faster, only
// ten times under ThreadSanitizer, which slows everything several times over (more on a busy
// machine) while a TLS handshake must still fit in the scaled handshake limit.
inline constexpr double kFastTimeoutScale = kUnderThreadSanitizer ? 0.1 : 0.01;

// Options for a context of `machine` and `process` over `home` (empty: a new temporary home),
// its protocol time-outs multiplied by `timeout_scale`.
TestHome::Options HomeOptions(const std::string& machine, const std::string& process,
                              const std::string& home = "", double timeout_scale = 1.0);

// Sets TZ for the life of the object (and tzset), restoring the previous value after.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz);
  ~ScopedTimeZone();
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::optional<std::string> saved_;
};

// Another process of the domain played by a thread: `body` runs on a thread of its own with a
// context of its own over a home (usually the test's, so that the two find each other). The
// body calls Ready() once it can be reached and typically ends with Serve(), which dispatches
// messages until Stop(). The destructor stops and joins the thread; the context ends with it.
class PeerThread {
 public:
  PeerThread(TestHome::Options options, std::function<void(PeerThread&)> body);
  ~PeerThread();
  PeerThread(const PeerThread&) = delete;
  PeerThread& operator=(const PeerThread&) = delete;

  // Called by the body: it can now be reached.
  void Ready();
  // Called by the body: dispatches messages until Stop().
  void Serve();
  bool stopping() const { return stop_.load(); }

  // Called by the test: waits until the body called Ready() (false after 10 seconds, or when
  // the body ended without calling it).
  bool WaitReady();
  void Stop() { stop_ = true; }
  // Stops and waits for the body to end.
  void Join();

 private:
  std::atomic<bool> stop_{false};
  std::promise<void> ready_;
  std::shared_future<void> ready_future_;
  std::thread thread_;
};

// A time-out object of `ms` milliseconds of real time, whatever the current context's scale.
Ref<Obj> RealTimeout(int ms);
// Dispatches the calling thread's messages until `done` returns true (checked after each
// dispatch and every few milliseconds) or `ms` milliseconds of real time pass. True when done.
bool PumpUntil(const std::function<bool()>& done, int ms = 30000);
// Dispatches the calling thread's messages for `ms` milliseconds of real time, so that peers
// settle.
void Pump(int ms);

// The path of a program built beside the running test binary.
std::string ProgramPath(const char* name);

// A helper program (started from beside the test binary) that says "ready" on a line of its
// standard output once it can be reached. The constructor waits up to `wait_ms` for that line;
// a program that does not say it is killed, and ready() is false. The program gets this
// process's environment less its KR_ variables; its standard output stays open (and unread)
// while the object lives. The destructor ends a program still running with SIGTERM and reaps it.
class ReadyProgram {
 public:
  ReadyProgram(const char* program, std::vector<std::string> args, int wait_ms = 20000);
  ~ReadyProgram();
  ReadyProgram(const ReadyProgram&) = delete;
  ReadyProgram& operator=(const ReadyProgram&) = delete;

  bool ready() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // Ends the program at once (SIGKILL) and reaps it.
  void Kill();
  // Asks the program to end (SIGTERM) and reaps it.
  void Stop();

 private:
  pid_t pid_ = -1;
  int out_fd_ = -1;
};

// Writes (replacing) a file, creating its parent directories. Returns false on failure.
bool WriteFile(const std::string& path, const std::string& text);
// Reads a whole file; nullopt when it cannot be read.
std::optional<std::string> ReadFile(const std::string& path);
// mkdir -p
bool MakeDirs(const std::string& path);
// rm -rf (does not follow symbolic links)
void RemoveTree(const std::string& path);
// A new empty temporary directory.
std::string MakeTempDir();
// Everything under `root` by relative path: a file with its bytes, a directory as "path/" with
// nothing. Symbolic links are listed but not followed.
std::map<std::string, std::string> DirTree(const std::string& root);

}  // namespace kr_testing
