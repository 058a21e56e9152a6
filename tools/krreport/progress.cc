// The progress line and cancelling: what a terminal user sees while a report is made, and where
// a Ctrl-C reaches the library.
#include <csignal>

#include "krreport.h"
#include "reports/control.h"
#include "reports/fetch.h"
#include "reports/format.h"
#include "reports/rptplg.h"

namespace krreport {
namespace {

volatile std::sig_atomic_t g_cancel = 0;

}  // namespace

void RequestCancel() { g_cancel = 1; }
bool CancelRequested() { return g_cancel != 0; }

void Progress::Show() {
  if (!show) return;
  const auto now = std::chrono::steady_clock::now();
  if (shown && now - last_shown < std::chrono::milliseconds(100)) return;
  last_shown = now;
  shown = true;
  const double s = std::chrono::duration<double>(now - start).count();
  char line[160];
  if (stage == kWrite) {
    std::snprintf(line, sizeof line, "writing: %llu records",
                  static_cast<unsigned long long>(write_calls * kRepProgressInterval));
  } else if (control == nullptr || control->table() == nullptr) {
    const uint64_t n = fetch_calls * kRepFetchProgressEvery;
    std::snprintf(line, sizeof line, "fetching: %llu records, %.0f records/s",
                  static_cast<unsigned long long>(n), s > 0 ? double(n) / s : 0.0);
  } else {
    std::snprintf(line, sizeof line, "filtering and sorting: %zu records, %.1f s",
                  RepGiveNumRecords(control), s);
  }
  std::fprintf(stderr, "\r\033[K%s", line);
  std::fflush(stderr);
}

void Progress::Clear() {
  if (shown) std::fprintf(stderr, "\r\033[K");
  shown = false;
}

int OnProgress(void* argument, int) {
  auto* p = static_cast<Progress*>(argument);
  if (p->stage == Progress::kWrite) {
    ++p->write_calls;
  } else if (p->control == nullptr || p->control->table() == nullptr) {
    ++p->fetch_calls;
  } else {
    ++p->calls_after_fetch;
  }
  p->Show();
  if (g_cancel != 0 && p->stage == Progress::kProduce) RepCancelTableFetch();
  return 0;
}

}  // namespace krreport
