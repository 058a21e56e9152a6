// Fuzzes the decoding of produced report names, through both decode functions: with a class list
// and with the class file under a reports directory.
//
// Beyond "no crash", it checks what a decoded name promises: the name is rebuilt exactly from
// its parts (base name, the time printed back as date and time of day, the output type, the
// class), and both functions agree on it.
//
// Build and run (seeds in fuzz/corpus/produced_name; copy them to a scratch directory first):
//   CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DKR_FUZZ=ON -DKR_BENCH=OFF
//   cmake --build build-fuzz --target produced_name_fuzzer
//   build-fuzz/produced_name_fuzzer -max_len=512 -max_total_time=600 CORPUS_DIR

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "kr/context.h"
#include "kr/file.h"
#include "kr/path.h"
#include "kr/time.h"
#include "kr/trace.h"
#include "reports/classes.h"
#include "reports/produced.h"

namespace {

class DiscardSink : public TraceSink {
 public:
  void Write(std::string_view, int, int, std::string_view) override {}
};

std::unique_ptr<KrContext> g_context;
std::string g_reports;
Ref<List> g_classes;

void Check(bool ok, const char* what, const std::string& name) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s (name '%s')\n", what, name.c_str());
    std::abort();
  }
}

bool WriteText(const std::string& path, const char* text) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  const bool ok = std::fputs(text, f) >= 0;
  return std::fclose(f) == 0 && ok;
}

void AddClass(const char* file_name, const char* nice_name) {
  Ref<RepClass> c = RepClass::New();
  c->set_file_name(file_name);
  c->set_nice_name(nice_name);
  ListPushLastItemInternal(g_classes.get(), std::move(c));
}

// Whether `name` is made of the decoded parts: the base name, the time printed back as date and
// time of day, the output type in one to three digits, and the class.
bool RebuildsTo(const RepProducedReportName* d, const std::string& name) {
  char date[9], time_of_day[7];
  if (!TimeToNumericDateString(date, sizeof date, d->time_of_production()) ||
      !TimeToShortTimeOfDayString(time_of_day, sizeof time_of_day, d->time_of_production()))
    return false;
  const std::string head = std::string(d->base_name()) + "%" + date + time_of_day + "%";
  const std::string tail = std::string("%") + d->class_name();
  if (name.size() < head.size() + tail.size() + 1 || name.compare(0, head.size(), head) != 0 ||
      name.compare(name.size() - tail.size(), tail.size(), tail) != 0)
    return false;
  const std::string type = name.substr(head.size(), name.size() - head.size() - tail.size());
  if (type.size() > 3 || type.find_first_not_of("0123456789") != std::string::npos) return false;
  return std::stoi(type) == d->output_type();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static DiscardSink sink;
  // Names carry local time; a fixed zone keeps every stamp printable back as it was written.
  setenv("TZ", "UTC", 1);
  char home[] = "/tmp/produced_name_fuzzer.XXXXXX";
  if (mkdtemp(home) == nullptr) std::abort();
  const std::string h = home;
  g_reports = h + "/reports";
  for (const std::string& d : {h + "/config", g_reports, g_reports + "/classes"})
    PathCreateDirectory(d.c_str());
  WriteText(h + "/config/configure.cfg",
            ("[Directories]\nReports = \"" + g_reports + "\"\n").c_str());
  WriteText(g_reports + "/classes/jobs", "%NICENAME = \"Jobs\"\nSELECT id FROM jobs\n");
  WriteText(g_reports + "/classes/media", "%NICENAME = Media\nSELECT id FROM media\n");
  ContextOptions o;
  o.home = h;
  o.machine_name = "fuzzhost";
  g_context = ContextCreate(o);
  ContextSetCurrent(g_context.get());
  TraceSetSink(&sink);
  TraceSetLevel(-1);
  g_classes = ListNewFromPool();
  AddClass("jobs", "Jobs");
  AddClass("media", "Media");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 512) return 0;
  std::string name(reinterpret_cast<const char*>(data), size);
  name = name.c_str();  // a name ends at its first zero byte

  Ref<RepProducedReportName> by_list, by_file;
  const int listed =
      RepDecodeProducedFileNameWithClassList(&by_list, name.c_str(), g_classes.get());
  const int filed = RepDecodeProducedFileName(&by_file, name.c_str(), g_reports.c_str());
  Check(listed == 0 || listed == 1, "result code (class list)", name);
  Check(filed == 0 || filed == 1, "result code (class file)", name);
  Check((listed == 1) == static_cast<bool>(by_list), "object handed back only on success", name);
  Check((filed == 1) == static_cast<bool>(by_file), "object handed back only on success", name);
  // The class list and the class files hold the same classes; the list is searched ignoring
  // case, the class files are opened by their exact names.
  if (by_list && (std::strcmp(by_list->class_name(), "jobs") == 0 ||
                  std::strcmp(by_list->class_name(), "media") == 0))
    Check(filed == 1, "both decoders agree", name);
  if (filed == 1) Check(listed == 1, "both decoders agree", name);
  if (listed == 1) {
    // A leap second (second 60) is a valid time and comes back as the next minute.
    const size_t stamp = name.find('%') + 1;
    if (name.compare(stamp + 12, 2, "60") != 0)
      Check(RebuildsTo(by_list.get(), name), "decoded name rebuilds exactly", name);
    Check(std::strchr(by_list->base_name(), '%') == nullptr, "base name holds no marker", name);
  }
  if (listed == 1 && filed == 1) {
    Check(std::strcmp(by_list->class_nice_name(), by_file->class_nice_name()) == 0 &&
              by_list->time_of_production() == by_file->time_of_production() &&
              by_list->output_type() == by_file->output_type(),
          "both decoders give the same parts", name);
  }
  return 0;
}
