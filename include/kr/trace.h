// Trace: one line per call, written to the calling context's sink.
//
// A line holds the time, the module tag, the message number, the level and the text. Levels: -1
// failures and warnings, 2 milestones, 3 detail (higher numbers are chattier). A message is
// written when its level is at most the context's threshold; the level is checked before anything
// is formatted, so a disabled trace costs one comparison.
//
// The threshold and destination of a new context come from the environment:
//   KR_TRACE_LEVEL  threshold (default 0: failures and warnings only)
//   KR_TRACE_FILE   a file to append to, "-" for standard error (the default), "none" to discard
// Tests install a capturing sink (library/testing) and assert on the messages.
//
// Thread safety: each context (one per thread) has its own sink; nothing is shared.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>
#include <vector>

// Receives every enabled line. `tag` is the module tag as given, `text` the formatted message.
class TraceSink {
 public:
  virtual ~TraceSink() = default;
  virtual void Write(std::string_view tag, int msg_no, int level, std::string_view text) = 0;
};

// True when a message of `level` would be written in the calling context.
bool TraceEnabled(int level) noexcept;

// Formats and writes one line. `reserved` is always 0.
void TraceMessage(const char* tag, int msg_no, int reserved, int level, const char* format,
                  ...) noexcept __attribute__((format(printf, 5, 6)));
void TraceMessageVa(const char* tag, int msg_no, int reserved, int level, const char* format,
                    va_list args) noexcept __attribute__((format(printf, 5, 0)));

// Replaces the calling context's sink (not owned; null restores the default sink) and threshold.
// Returns the previous sink.
TraceSink* TraceSetSink(TraceSink* sink) noexcept;
int TraceSetLevel(int level) noexcept;
int TraceGetLevel() noexcept;

// Keeps the failure lines (level below 0) written while it is installed, and passes every line
// on to the sink that was installed before it (or the context's default sink), so a trace file
// still gets everything. A front end installs one around a library call to show the user why
// the call failed. Installed in the calling context on construction, removed on destruction;
// captures nest.
class TraceFailureCapture : public TraceSink {
 public:
  TraceFailureCapture() noexcept;
  ~TraceFailureCapture() override;
  TraceFailureCapture(const TraceFailureCapture&) = delete;
  TraceFailureCapture& operator=(const TraceFailureCapture&) = delete;

  void Write(std::string_view tag, int msg_no, int level, std::string_view text) override;

  // The failure texts captured since the last call, oldest first; each text once.
  std::vector<std::string> Take();

 private:
  TraceSink* previous_;
  std::vector<std::string> lines_;
};
