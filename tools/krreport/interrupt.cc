// Interrupts. The first Ctrl-C cancels the report: the library tells the provider to stop and
// production fails cleanly. But the provider may never answer (stopped, or on a link that went
// silent), so nothing waits on it for long: a second Ctrl-C or a SIGTERM ends the program within
// a few seconds, and so does a first Ctrl-C that has not ended the report within a grace period.
// A watchdog thread does the ending, since the main thread may be inside a wait of the runtime
// that a signal does not cut short; it touches no library object, only the path of the output
// directory being written, which it removes so that nothing partial stays.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <mutex>
#include <thread>

#include "krreport.h"

namespace krreport {
namespace {

constexpr int kCancelGraceMs = 10000;  // a first Ctrl-C: time for the cancel to end the report
constexpr int kQuitGraceMs = 2000;     // a second Ctrl-C or SIGTERM

int g_pipe[2] = {-1, -1};
volatile std::sig_atomic_t g_signals = 0;
std::mutex g_partial_mutex;
std::string g_partial;  // the output directory being written, or empty

void OnSignal(int signal_number) {
  RequestCancel();
  const char c = (signal_number == SIGTERM || g_signals > 0) ? 'q' : 'c';
  g_signals = g_signals + 1;
  if (g_pipe[1] >= 0) {
    const ssize_t n = write(g_pipe[1], &c, 1);
    (void)n;  // a full pipe already holds a request
  }
}

// Waits up to `ms` for a byte; the byte, or 0 on time-out.
char Next(int ms) {
  pollfd fd = {g_pipe[0], POLLIN, 0};
  char c = 0;
  if (poll(&fd, 1, ms) == 1 && read(g_pipe[0], &c, 1) == 1) return c;
  return 0;
}

[[noreturn]] void Quit() {
  {
    std::lock_guard<std::mutex> lock(g_partial_mutex);
    if (!g_partial.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(g_partial, ec);
    }
  }
  static const char text[] =
      "krreport: interrupted: stopped without waiting for the provider any longer\n";
  const ssize_t n = write(STDERR_FILENO, text, sizeof text - 1);
  (void)n;
  _exit(kExitCancelled);
}

void Watch() {
  for (;;) {
    char c = Next(-1);
    if (c == 'c') c = Next(kCancelGraceMs);
    if (c == 'q' || c == 0) {
      Next(kQuitGraceMs);  // a last moment for the main thread to finish on its own
      Quit();
    }
  }
}

}  // namespace

void InstallInterruptHandling() {
  if (pipe(g_pipe) != 0) g_pipe[0] = g_pipe[1] = -1;
  if (g_pipe[0] >= 0) std::thread(&Watch).detach();
  struct sigaction action = {};
  action.sa_handler = &OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);  // a file over the size limit is a failed write, reported as such
}

void SetPartialOutput(const std::string& directory) {
  std::lock_guard<std::mutex> lock(g_partial_mutex);
  g_partial = directory;
}

}  // namespace krreport
