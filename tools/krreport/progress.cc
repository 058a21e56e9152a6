// The progress line and cancelling: what a terminal user sees while a report is made, and where
// a Ctrl-C reaches the library.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <nlohmann/json.hpp>

#include "krreport.h"
#include "reports/control.h"
#include "reports/fetch.h"
#include "reports/format.h"
#include "reports/registry.h"

namespace krreport {
namespace {

volatile std::sig_atomic_t g_cancel = 0;

}  // namespace

void RequestCancel() { g_cancel = 1; }
bool CancelRequested() { return g_cancel != 0; }

namespace {

const char* StageName(RepProgressStage stage) {
  switch (stage) {
    case kRepStageFetch:
      return "fetch";
    case kRepStageFilter:
      return "filter";
    case kRepStageSort:
      return "sort";
    case kRepStageWrite:
      return "write";
    case kRepStageDone:
      return "done";
    default:
      return "";
  }
}

}  // namespace

void Progress::Configure(const RunOptions& o) {
  json = o.progress == "json";
  show = !json && !o.quiet && isatty(STDERR_FILENO) == 1;
}

void Progress::Update() {
  if (!show && !json) return;
  const RepProgressState& state = RepGetProgressState();
  if (state.stage == kRepStageIdle) return;
  const auto now = std::chrono::steady_clock::now();
  const bool changed = state.stage != last_stage || state.table != last_table;
  if (!changed && shown && now - last_shown < std::chrono::milliseconds(100)) return;
  last_stage = state.stage;
  last_table = state.table;
  last_shown = now;
  shown = true;
  int64_t records = state.stage == kRepStageFetch ? state.fetched : state.in_stage;
  if (state.stage == kRepStageWrite) {
    // The writer calls back every kRepProgressInterval records; never more than there are.
    records = std::min<int64_t>(static_cast<int64_t>(write_calls) * kRepProgressInterval,
                                state.in_stage);
  }
  const double s = std::chrono::duration<double>(now - state.stage_start).count();
  if (json) {
    nlohmann::ordered_json line = {{"stage", StageName(state.stage)}};  // keys in this order
    if (state.stage == kRepStageFetch) line["table"] = state.table;
    line["records"] = records;
    line["seconds"] = std::round(s * 1000) / 1000;
    std::fprintf(stderr, "%s\n", line.dump().c_str());
  } else if (state.stage == kRepStageDone) {
    std::fprintf(stderr, "\r\033[K");  // the line goes once the report is written
  } else {
    std::fprintf(stderr, "\r\033[K%s%s%s: %lld records, %.1f s", StageName(state.stage),
                 state.table.empty() ? "" : " ", state.table.c_str(),
                 static_cast<long long>(records), s);
  }
  std::fflush(stderr);
}

void Progress::Begin(RepProgressStage stage, int64_t records) {
  RepProgressBeginStage(stage, records);
  Update();
}

void Progress::Clear() {
  if (show && shown) std::fprintf(stderr, "\r\033[K");
  shown = false;
}

int OnProgress(void* argument, int) {
  auto* p = static_cast<Progress*>(argument);
  if (RepGetProgressState().stage == kRepStageWrite) ++p->write_calls;
  p->Update();
  if (CancelRequested() && RepGetProgressState().stage == kRepStageFetch) RepCancelTableFetch();
  return 0;
}

}  // namespace krreport
