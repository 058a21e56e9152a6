// Trace lines and the default sinks.

#include "kr/trace.h"

#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "kr/context.h"

namespace {

class FileSink : public TraceSink {
 public:
  explicit FileSink(FILE* f, bool owned) : f_(f), owned_(owned) {}
  ~FileSink() override {
    if (owned_ && f_ != nullptr) std::fclose(f_);
  }
  void Write(std::string_view tag, int msg_no, int level, std::string_view text) override {
    if (f_ == nullptr) return;
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    localtime_r(&tv.tv_sec, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
    std::fprintf(f_, "%s.%03d %-15.*s %5d %2d %.*s\n", stamp, static_cast<int>(tv.tv_usec / 1000),
                 static_cast<int>(tag.size()), tag.data(), msg_no, level,
                 static_cast<int>(text.size()), text.data());
    std::fflush(f_);
  }

 private:
  FILE* f_;
  bool owned_;
};

class NullSink : public TraceSink {
 public:
  void Write(std::string_view, int, int, std::string_view) override {}
};

}  // namespace

namespace kr_internal {
std::unique_ptr<TraceSink> MakeDefaultTraceSink() {
  const char* dest = std::getenv("KR_TRACE_FILE");
  if (dest == nullptr || *dest == '\0' || std::strcmp(dest, "-") == 0)
    return std::make_unique<FileSink>(stderr, false);
  if (std::strcmp(dest, "none") == 0) return std::make_unique<NullSink>();
  FILE* f = std::fopen(dest, "a");
  if (f == nullptr) return std::make_unique<FileSink>(stderr, false);
  return std::make_unique<FileSink>(f, true);
}
}  // namespace kr_internal

bool TraceEnabled(int level) noexcept { return level <= ContextCurrent()->trace_level; }

void TraceMessage(const char* tag, int msg_no, int reserved, int level, const char* format,
                  ...) noexcept {
  va_list args;
  va_start(args, format);
  TraceMessageVa(tag, msg_no, reserved, level, format, args);
  va_end(args);
}

void TraceMessageVa(const char* tag, int msg_no, int /*reserved*/, int level, const char* format,
                    va_list args) noexcept {
  KrContext* c = ContextCurrent();
  if (level > c->trace_level) return;
  char small[512];
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  std::string big;
  std::string_view text;
  if (n < 0) {
    text = "(trace format error)";
  } else if (static_cast<size_t>(n) < sizeof small) {
    text = std::string_view(small, static_cast<size_t>(n));
  } else {
    big.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), format, args);
    big.resize(static_cast<size_t>(n));
    text = big;
  }
  // Tags are blank-padded to 15 characters in the Parts' tables; trailing blanks carry nothing.
  std::string_view t = tag != nullptr ? std::string_view(tag) : std::string_view();
  while (!t.empty() && t.back() == ' ') t.remove_suffix(1);
  TraceSink* sink = c->trace_sink != nullptr ? c->trace_sink : c->default_sink.get();
  if (sink != nullptr) sink->Write(t, msg_no, level, text);
}

TraceSink* TraceSetSink(TraceSink* sink) noexcept {
  KrContext* c = ContextCurrent();
  TraceSink* prev = c->trace_sink;
  c->trace_sink = sink;
  return prev;
}

int TraceSetLevel(int level) noexcept {
  KrContext* c = ContextCurrent();
  int prev = c->trace_level;
  c->trace_level = level;
  return prev;
}

int TraceGetLevel() noexcept { return ContextCurrent()->trace_level; }

TraceFailureCapture::TraceFailureCapture() noexcept : previous_(TraceSetSink(this)) {}

TraceFailureCapture::~TraceFailureCapture() { TraceSetSink(previous_); }

void TraceFailureCapture::Write(std::string_view tag, int msg_no, int level,
                                std::string_view text) {
  // A runaway failure loop must not grow the capture without bound: the first lines say why.
  constexpr size_t kMaxLines = 64;
  if (level < 0 && lines_.size() < kMaxLines) {
    bool seen = false;
    for (const std::string& line : lines_) seen = seen || line == text;
    if (!seen) lines_.emplace_back(text);
  }
  KrContext* c = ContextCurrent();
  TraceSink* next = previous_ != nullptr ? previous_ : c->default_sink.get();
  if (next != nullptr) next->Write(tag, msg_no, level, text);
}

std::vector<std::string> TraceFailureCapture::Take() { return std::exchange(lines_, {}); }
