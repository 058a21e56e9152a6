#include "testing.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "kr/message.h"
#include "kr/path.h"

extern char** environ;

namespace kr_testing {
namespace {

// Tests that do not capture traces keep them off the terminal; KR_TEST_TRACE=1 shows them.
class NullSink : public TraceSink {
 public:
  void Write(std::string_view, int, int, std::string_view) override {}
};

}  // namespace

TraceCapture::TraceCapture(int level) {
  prev_sink_ = TraceSetSink(this);
  prev_level_ = TraceSetLevel(level);
}

TraceCapture::~TraceCapture() {
  TraceSetSink(prev_sink_);
  TraceSetLevel(prev_level_);
}

void TraceCapture::Write(std::string_view tag, int msg_no, int level, std::string_view text) {
  lines_.push_back(Line{std::string(tag), msg_no, level, std::string(text)});
}

bool TraceCapture::Contains(std::string_view text) const {
  for (const auto& l : lines_)
    if (l.text.find(text) != std::string::npos) return true;
  return false;
}

bool TraceCapture::Contains(std::string_view text, int level) const {
  for (const auto& l : lines_)
    if (l.level == level && l.text.find(text) != std::string::npos) return true;
  return false;
}

std::string TraceCapture::Dump() const {
  std::ostringstream o;
  for (const auto& l : lines_)
    o << l.tag << " " << l.msg_no << " " << l.level << " " << l.text << "\n";
  return o.str();
}

ScopedTimeZone::ScopedTimeZone(const char* tz) {
  if (const char* old = std::getenv("TZ")) saved_ = old;
  setenv("TZ", tz, 1);
  tzset();
}

ScopedTimeZone::~ScopedTimeZone() {
  if (saved_) {
    setenv("TZ", saved_->c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

std::string MakeTempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kr-test-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) return {};
  return std::string(buf.data());
}

bool MakeDirs(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  return !ec;
}

void RemoveTree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

bool WriteFile(const std::string& path, const std::string& text) {
  auto parent = std::filesystem::path(path).parent_path();
  if (!parent.empty() && !MakeDirs(parent.string())) return false;
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) return false;
  f << text;
  return static_cast<bool>(f);
}

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return std::nullopt;
  std::ostringstream o;
  o << f.rdbuf();
  return o.str();
}

TestHome::TestHome() : TestHome(Options{}) {}

TestHome::TestHome(const Options& options) {
  owns_home_ = options.home.empty();
  home_ = owns_home_ ? MakeTempDir() : options.home;
  MakeDirs(config_dir());
  if (options.with_reports_dir) {
    WriteFile(config_dir() + "/configure.cfg", "[Directories]\nReports = \"" + reports_dir() +
                                                   "\"\n\n[Details]\nDescription = Test server\n");
    for (const char* d :
         {"fields", "classes", "templates", "headers", "footers", "output", "produced"})
      MakeDirs(reports_dir() + "/" + d);
  }
  ContextOptions o;
  o.machine_name = options.machine_name;
  o.home = home_;
  o.fixed_time = options.fixed_time;
  o.process_name = options.process_name;
  context_ = ContextCreate(o);
  context_->timeout_scale = options.timeout_scale;
  const char* show = std::getenv("KR_TEST_TRACE");
  if (show == nullptr || *show != '1') context_->default_sink = std::make_unique<NullSink>();
  prev_ = ContextSetCurrent(context_.get());
}

TestHome::~TestHome() {
  // The context ends while it is current, so that what it closes traces into its own sink.
  context_.reset();
  ContextSetCurrent(prev_);
  if (owns_home_) RemoveTree(home_);
}

PeerThread::PeerThread(TestHome::Options options, std::function<void(PeerThread&)> body)
    : ready_future_(ready_.get_future().share()) {
  thread_ = std::thread([this, options = std::move(options), body = std::move(body)]() mutable {
    {
      TestHome home(options);
      body(*this);
    }
    Ready();  // a body that ended early releases WaitReady
  });
}

PeerThread::~PeerThread() { Join(); }

void PeerThread::Ready() {
  try {
    ready_.set_value();
  } catch (const std::future_error&) {
  }
}

static int PeerStopping(void* cookie) {
  return static_cast<PeerThread*>(cookie)->stopping() ? 1 : 0;
}

void PeerThread::Serve() {
  // Wake every 20 ms of real time to look at the flag, whatever the time-out scale.
  double scale = ContextCurrent()->timeout_scale;
  int ms = static_cast<int>(20 / (scale > 0 ? scale : 1.0));
  while (!stopping()) {
    Ref<Obj> timeout;
    TimeCreateAndSetTimeout(&timeout, 0, ms < 1 ? 1 : ms);
    MsgWaitOnCallbackWithTimeout(&PeerStopping, this, timeout.get());
  }
}

bool PeerThread::WaitReady() {
  return ready_future_.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
}

void PeerThread::Join() {
  Stop();
  if (thread_.joinable()) thread_.join();
}

TestHome::Options HomeOptions(const std::string& machine, const std::string& process,
                              const std::string& home, double timeout_scale) {
  TestHome::Options o;
  o.machine_name = machine;
  o.process_name = process;
  o.home = home;
  o.timeout_scale = timeout_scale;
  return o;
}

Ref<Obj> RealTimeout(int ms) {
  const double scale = ContextCurrent() != nullptr ? ContextCurrent()->timeout_scale : 1.0;
  const double scaled = ms / (scale > 0 ? scale : 1.0);
  Ref<Obj> timeout;
  TimeCreateAndSetTimeout(&timeout, 0, static_cast<int32_t>(scaled < 1 ? 1 : scaled));
  return timeout;
}

bool PumpUntil(const std::function<bool()>& done, int ms) {
  Ref<Obj> timeout = RealTimeout(ms);
  return MsgWaitOnCallbackWithTimeout(
             [](void* f) { return (*static_cast<const std::function<bool()>*>(f))() ? 1 : 0; },
             const_cast<std::function<bool()>*>(&done), timeout.get()) == 1;
}

void Pump(int ms) {
  Ref<Obj> message;
  // A message type nobody sends: every message that arrives meanwhile is dispatched.
  MsgWaitMessageWithTimeout(&message, nullptr, 0xfffffff0, RealTimeout(ms).get());
}

std::string ProgramPath(const char* name) {
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return name;
  const std::string path(exe, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/') + 1) + name;
}

ReadyProgram::ReadyProgram(const char* program, std::vector<std::string> args, int wait_ms) {
  int out[2];
  if (pipe(out) != 0) return;
  const std::string path = ProgramPath(program);
  args.insert(args.begin(), path);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  // The program is configured by its arguments alone, not by this process's KR_ variables.
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "KR_", 3) != 0) env.push_back(*e);
  }
  env.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    execve(path.c_str(), argv.data(), env.data());
    _exit(127);
  }
  close(out[1]);
  out_fd_ = out[0];
  std::string line;
  char c;
  pollfd p{out_fd_, POLLIN, 0};
  while (pid_ > 0 && line.find('\n') == std::string::npos && poll(&p, 1, wait_ms) == 1 &&
         read(out_fd_, &c, 1) == 1) {
    line += c;
  }
  if (line != "ready\n") Kill();
}

ReadyProgram::~ReadyProgram() {
  Stop();
  if (out_fd_ >= 0) close(out_fd_);
}

void ReadyProgram::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

void ReadyProgram::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::map<std::string, std::string> DirTree(const std::string& root) {
  std::map<std::string, std::string> out;
  std::pair<std::string, std::map<std::string, std::string>*> state(root, &out);
  DirScanDirectRecursive(
      root.c_str(),
      [](const char* rel, const DirEntry& e, void* cookie) {
        auto* m = static_cast<std::pair<std::string, std::map<std::string, std::string>*>*>(cookie);
        const std::string path = (*rel != '\0' ? std::string(rel) + "/" : "") + e.name;
        if (e.is_dir)
          (*m->second)[path + "/"] = "";
        else
          (*m->second)[path] = ReadFile(m->first + "/" + path).value_or("<unreadable>");
        return 1;
      },
      &state);
  return out;
}

}  // namespace kr_testing
