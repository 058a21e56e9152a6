#include "front.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "jsonl.h"
#include "kr/context.h"
#include "kr/list.h"
#include "kr/serialize.h"
#include "kr/stanza.h"
#include "kr/text.h"
#include "reports/classes.h"
#include "reports/control.h"
#include "reports/fetch.h"
#include "reports/fields.h"
#include "reports/format.h"
#include "reports/output.h"
#include "reports/outputtypes.h"
#include "reports/outputwrap.h"
#include "reports/params.h"
#include "reports/produced.h"
#include "reports/reprocess.h"
#include "reports/rptplg.h"
#include "reports/templatefile.h"
#include "reports/utilities.h"

namespace krreport {
namespace {

volatile std::sig_atomic_t g_cancel = 0;

void Error(const std::string& text) { std::fprintf(stderr, "krreport: %s\n", text.c_str()); }

// --- progress and cancelling ---------------------------------------------------------------

// The library calls back every fixed number of records: every 500 records fetched, every 5000
// filtered or sort comparisons, every 2500 written. The callback does not say which stage it
// comes from, so the stage is read from the control: no table yet means still fetching.
struct Progress {
  enum Stage { kProduce, kWrite } stage = kProduce;
  const RepControl* control = nullptr;
  bool show = false;
  uint64_t fetch_calls = 0;
  uint64_t calls_after_fetch = 0;
  uint64_t write_calls = 0;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_shown{};
  bool shown = false;

  double Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  void Show() {
    if (!show) return;
    auto now = std::chrono::steady_clock::now();
    if (shown && now - last_shown < std::chrono::milliseconds(100)) return;
    last_shown = now;
    shown = true;
    const double s = Seconds();
    char line[160];
    if (stage == kWrite) {
      std::snprintf(line, sizeof line, "writing: %llu records",
                    (unsigned long long)(write_calls * 2500));
    } else if (control == nullptr || control->table() == nullptr) {
      const uint64_t n = fetch_calls * 500;
      std::snprintf(line, sizeof line, "fetching: %llu records, %.0f records/s",
                    (unsigned long long)n, s > 0 ? double(n) / s : 0.0);
    } else {
      std::snprintf(line, sizeof line, "filtering and sorting: %zu records, %.1f s",
                    RepGiveNumRecords(control), s);
    }
    std::fprintf(stderr, "\r\033[K%s", line);
    std::fflush(stderr);
  }
  void Clear() {
    if (shown) std::fprintf(stderr, "\r\033[K");
    shown = false;
  }
};

// Also where a Ctrl-C takes effect: the fetch in progress tells its provider to stop.
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

// --- parameters -----------------------------------------------------------------------------

int OutputTypeId(const std::string& name) {
  for (const OutputTypeName& t : kOutputTypes) {
    if (name == t.name) return t.id;
  }
  return -1;
}

bool LoadTemplate(Ref<RepParams>* params, std::string* nice_name, const std::string& name) {
  std::string path = name;
  if (name.find('/') == std::string::npos &&
      !RepPathBuild(&path, "templates", name.c_str(), nullptr)) {
    Error("the reports directory is not configured (config/configure.cfg under KR_HOME)");
    return false;
  }
  Ref<RepTemplate> tmpl;
  if (!RepTemplateAlloc(path.c_str(), &tmpl)) {
    Error("cannot read template '" + path + "'");
    return false;
  }
  if (!RepMakeParamsFromTemplate(params, tmpl.get())) {
    Error("template '" + path + "' is not usable (it must name a class with %CLASS)");
    return false;
  }
  RepGetTemplateNiceName(nice_name, tmpl.get(), name.c_str());
  return true;
}

// Sets the output type with every option at its default, as a template does.
bool SetOutputType(RepParams* params, int id) {
  Ref<RepOutputTypeInfo> info;
  if (!RepOutputTypeInfoFromID(&info, id)) {
    Error("cannot read the options of output type " + std::to_string(id));
    return false;
  }
  // A template's options for its own type stay as it set them.
  if (RepParamsGetOutputType(params) == id) return true;
  Ref<List> defaults;
  RepCreateDefaultParamInstances(&defaults, info->options());
  RepParamsSetOutputType(params, id);
  RepParamsSetOutputOptions(params, defaults.get(), 0);
  return true;
}

bool SetOption(RepParams* params, const std::string& assignment) {
  const size_t eq = assignment.find('=');
  if (eq == std::string::npos || eq == 0) {
    Error("--option needs KEY=VALUE, not '" + assignment + "'");
    return false;
  }
  const std::string key = assignment.substr(0, eq);
  const std::string value = assignment.substr(eq + 1);
  Ref<RepOutputTypeInfo> info;
  if (!RepOutputTypeInfoFromID(&info, RepParamsGetOutputType(params))) return false;
  Ref<RepParamDef> def;
  if (!RepFindParamInList(&def, info->options(), key.c_str())) {
    std::string known;
    for (Obj* item : *info->options()) {
      if (auto* d = ObjCast<RepParamDef>(item)) known += std::string(" ") + d->name();
    }
    Error("output type '" + std::string(info->display_name() ? info->display_name() : "") +
          "' has no option '" + key + "' (options:" + known + ")");
    return false;
  }
  Ref<RepParamInstance> instance;
  if (!RepParamInstanceCreateString(&instance, def.get(), value.c_str())) {
    Error("bad value '" + value + "' for option '" + key + "'");
    return false;
  }
  Ref<List> one = ListNewFromPool();
  ListAddLastItem(one.get(), instance.get());
  RepParamsSetOutputOptions(params, one.get(), 1);
  return true;
}

// Without a format, every field of the class, laid out with the output type's format texts.
bool DefaultFormat(RepParams* params) {
  const char* cls = RepParamsGetClass(params);
  Ref<RepTable> fields_table;
  if (cls == nullptr || RepGetClassFields(&fields_table, cls) != 0 ||
      fields_table->fields() == nullptr) {
    return true;  // production reports the unknown class with the library's message
  }
  Ref<RepOutputTypeInfo> info;
  if (!RepOutputTypeInfoFromID(&info, RepParamsGetOutputType(params))) return false;
  std::string format;
  auto text = [](const char* s) { return s != nullptr ? s : ""; };
  std::string tail = text(info->format_post());
  if (tail.empty()) tail = "\n";
  // Two blanks: the one after a field reference belongs to the reference.
  std::string field_post = text(info->format_field_post());
  if (field_post.empty()) field_post = "  ";
  if (!RepGenFormatString(&format, text(info->format_pre()), tail.c_str(),
                          text(info->format_field_pre()), field_post.c_str(),
                          fields_table->fields())) {
    return false;
  }
  RepParamsSetFormat(params, format.c_str());
  return true;
}

// kExitOk, or the exit status of the failure: a bad option is a usage error, a template that
// cannot be read a failed report.
int BuildParams(Ref<RepParams>* out, std::string* nice_name, const RunOptions& o) {
  Ref<RepParams> params;
  if (!o.template_name.empty()) {
    if (!LoadTemplate(&params, nice_name, o.template_name)) return kExitFailed;
  } else {
    params = RepParamsAlloc();
    RepParamsSetHeaderName(params.get(), "Default");
    RepParamsSetFooterName(params.get(), "Default");
  }
  if (o.class_name) RepParamsSetClass(params.get(), o.class_name->c_str());
  if (RepParamsGetClass(params.get()) == nullptr || *RepParamsGetClass(params.get()) == '\0') {
    Error("no class: give --class or a template that names one");
    return kExitUsage;
  }
  if (nice_name->empty()) *nice_name = RepParamsGetClass(params.get());
  if (o.include) RepParamsSetInclude(params.get(), o.include->c_str());
  if (o.exclude) RepParamsSetExclude(params.get(), o.exclude->c_str());
  if (o.condition) RepParamsSetCondition(params.get(), o.condition->c_str());
  if (o.sort) RepParamsSetSort(params.get(), o.sort->c_str());
  if (o.header) RepParamsSetHeaderName(params.get(), o.header->c_str());
  if (o.footer) RepParamsSetFooterName(params.get(), o.footer->c_str());
  int id = RepParamsGetOutputType(params.get());
  if (!o.type.empty()) id = OutputTypeId(o.type);
  if (id < 0) id = 0;
  if (!SetOutputType(params.get(), id)) return kExitFailed;
  for (const std::string& option : o.options) {
    if (!SetOption(params.get(), option)) return kExitUsage;
  }
  if (o.format) RepParamsSetFormat(params.get(), o.format->c_str());
  const char* format = RepParamsGetFormat(params.get());
  if ((format == nullptr || *format == '\0') && !DefaultFormat(params.get())) return kExitFailed;
  *out = std::move(params);
  return kExitOk;
}

// A reader of standard output that stopped reading (a pager quit, `head`) is not a failed
// report.
bool ReaderWentAway() { return errno == EPIPE; }

bool CopyFileTo(const std::string& path, std::FILE* out) {
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) return false;
  char buf[65536];
  size_t n;
  bool ok = true;
  while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) {
    if (std::fwrite(buf, 1, n, out) != n) {
      ok = false;
      break;
    }
  }
  std::fclose(in);
  return ok && std::fflush(out) == 0;
}

// The fields the JSON Lines output keys by: the format's fields, in order.
bool JsonFields(Ref<List>* fields, const RepControl* control) {
  const RepTable* table = control->table();
  if (table == nullptr || table->fields() == nullptr) return false;
  return RepFieldsInString(fields, RepParamsGetFormat(control->params()), table->fields()) == 1;
}

// Writes a produced report as the options ask: into an output directory (whose path goes to
// standard output) or to standard output itself. Exit status.
int WriteReport(RepControl* control, const std::string& nice_name, const RunOptions& o,
                Progress* progress) {
  std::string error_text;
  const bool jsonl = o.type == "jsonl";
  const int type = RepParamsGetOutputType(control->params());
  if (jsonl && o.output == "-") {
    Ref<List> fields;
    if (!JsonFields(&fields, control) ||
        (!WriteJsonLines(stdout, control->table(), fields.get()) && !ReaderWentAway())) {
      Error("failed to write the records");
      return kExitFailed;
    }
  } else {
    const bool html = type == 1 || o.html_wrap;
    const bool to_stdout = o.output == "-";
    const std::string dir_name = (o.output.empty() || to_stdout) ? nice_name : o.output;
    std::string directory, body;
    if (!RepInitOutputDir(&directory, &body, html ? 1 : 0, dir_name.c_str(),
                          (o.output.empty() || to_stdout) ? 1 : 0)) {
      Error("cannot create output directory '" + dir_name + "' under the reports directory");
      return kExitFailed;
    }
    progress->stage = Progress::kWrite;
    bool ok;
    if (jsonl) {
      Ref<List> fields;
      body = "output.jsonl";
      std::FILE* f = std::fopen((directory + "/" + body).c_str(), "wb");
      ok = f != nullptr && JsonFields(&fields, control) &&
           WriteJsonLines(f, control->table(), fields.get());
      if (f != nullptr && std::fclose(f) != 0) ok = false;
      if (!ok) error_text = "failed to write the records";
    } else {
      Ref<List> options;
      RepParamsGetOutputOptions(&options, control->params());
      ok = RepOutputReport(&error_text, directory.c_str(), control, type, o.html_wrap ? 1 : 0,
                           options.get(), nullptr, nullptr, nullptr, &OnProgress, progress) == 1;
    }
    progress->Clear();
    if (g_cancel != 0 || !ok) {
      RepDeleteOutputReport(directory.c_str());
      if (g_cancel != 0) {
        Error("cancelled");
        return kExitCancelled;
      }
      Error(error_text.empty() ? "failed to write the report" : error_text);
      return kExitFailed;
    }
    if (to_stdout) {
      const bool copied = CopyFileTo(directory + "/" + body, stdout);
      RepDeleteOutputReport(directory.c_str());
      if (!copied && !ReaderWentAway()) {
        Error("failed to write the report to standard output");
        return kExitFailed;
      }
    } else {
      std::printf("%s\n", directory.c_str());
    }
  }

  return kExitOk;
}

}  // namespace

void RequestCancel() { g_cancel = 1; }

int ListClasses(std::FILE* out) {
  Ref<List> classes;
  if (RepGetAvailClasses(&classes) != 0) {
    Error("cannot read the classes directory of the reports directory");
    return kExitFailed;
  }
  for (Obj* item : *classes) {
    auto* c = ObjCast<RepClass>(item);
    if (c == nullptr) continue;
    std::fprintf(out, "%-32s %s\n", c->nice_name(), c->file_name());
  }
  return kExitOk;
}

int ListFields(std::FILE* out, const std::string& class_name) {
  Ref<RepTable> table;
  if (RepGetClassFields(&table, class_name.c_str()) != 0 || table->fields() == nullptr) {
    Error("cannot get the fields of class '" + class_name +
          "' (is it a class, and are its table providers running?)");
    return kExitFailed;
  }
  for (Obj* item : *table->fields()) {
    auto* f = ObjCast<RepFieldDef>(item);
    if (f == nullptr) continue;
    std::fprintf(out, "%-20s %-14s %s\n", f->name(), RepGetFieldTypeString(f->type()),
                 f->description() != nullptr ? f->description() : "");
  }
  return kExitOk;
}

int Run(const RunOptions& o) {
  Ref<RepParams> params;
  std::string nice_name;
  if (const int rc = BuildParams(&params, &nice_name, o); rc != kExitOk) return rc;

  Progress progress;
  progress.show = !o.quiet && isatty(STDERR_FILENO) == 1;
  Ref<RepControl> control = RepControlAlloc(params.get());
  if (!control) {
    Error("cannot load class '" + std::string(RepParamsGetClass(params.get())) +
          "' (krreport classes lists them; its table providers must be running)");
    return kExitFailed;
  }
  progress.control = control.get();
  std::string error_text;
  const int produced =
      RepControlProduceReport(&error_text, control.get(), 1, &OnProgress, &progress);
  progress.Clear();
  if (g_cancel != 0) {
    Error("cancelled");
    return kExitCancelled;
  }
  if (!produced) {
    Error(error_text.empty() ? "the report failed" : error_text);
    return kExitFailed;
  }

  if (const int rc = WriteReport(control.get(), nice_name, o, &progress); rc != kExitOk) {
    return rc;
  }

  if (o.store) {
    Ref<List> classes;
    std::string stored;
    if (RepGetAvailClasses(&classes) != 0 ||
        !RepSerialiseProducedReport(&stored, nice_name.c_str(), control.get(), classes.get(), 0)) {
      Error("the report was written but could not be stored");
      return kExitFailed;
    }
    if (!o.quiet) std::fprintf(stderr, "krreport: stored as %s\n", stored.c_str());
  }
  std::fflush(stdout);
  return kExitOk;
}

// --- stored reports -------------------------------------------------------------------------

namespace {

std::string TimeText(int32_t t) {
  const time_t when = t;
  struct tm local = {};
  char text[32] = "?";
  if (localtime_r(&when, &local) != nullptr) {
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  }
  return text;
}

const char* TypeName(int32_t id) {
  switch (id) {
    case 0:
      return "text";
    case 1:
      return "html";
    case 2:
      return "csv";
    default:
      return "?";
  }
}

bool ReadStored(Ref<RepStoredControl>* stored, const std::string& name, int with_records) {
  if (RepReConstructProducedReport(stored, name.c_str(), with_records) != 1 ||
      (*stored)->control() == nullptr) {
    Error("no stored report '" + name + "' (krreport produced lists them)");
    return false;
  }
  return true;
}

const char* Text(const char* s) { return s != nullptr ? s : ""; }

}  // namespace

int ListProduced(std::FILE* out) {
  std::string directory;
  if (!RepPathBuild(&directory, "produced", nullptr)) {
    Error("the reports directory is not configured (config/configure.cfg under KR_HOME)");
    return kExitFailed;
  }
  Ref<List> classes;
  if (RepGetAvailClasses(&classes) != 0) classes = ListNewFromPool();
  struct Entry {
    int32_t time;
    std::string name, class_name;
    int32_t type;
  };
  std::vector<Entry> entries;
  // The day directories hold a control file for every stored report; the records file goes with
  // it, so the control files are the list. The iterators advance with an error code: one that
  // throws would end the program on a directory removed while it is listed.
  namespace fs = std::filesystem;
  std::error_code ec;
  for (fs::directory_iterator day(directory, ec), end; !ec && day != end; day.increment(ec)) {
    std::error_code inner;
    for (fs::directory_iterator file(day->path() / "control", inner); !inner && file != end;
         file.increment(inner)) {
      const std::string name = file->path().filename();
      Ref<RepProducedReportName> decoded;
      if (RepDecodeProducedFileNameWithClassList(&decoded, name.c_str(), classes.get()) != 1) {
        continue;  // a temporary file of a store in progress, or something not the store's
      }
      const char* nice = decoded->class_nice_name();
      entries.push_back({decoded->time_of_production(), name,
                         nice != nullptr && *nice != '\0' ? nice : Text(decoded->class_name()),
                         decoded->output_type()});
    }
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.time != b.time ? a.time < b.time : a.name < b.name;
  });
  for (const Entry& e : entries) {
    std::fprintf(out, "%-48s %s  %-4s  %s\n", e.name.c_str(), TimeText(e.time).c_str(),
                 TypeName(e.type), e.class_name.c_str());
  }
  return kExitOk;
}

int ShowProduced(std::FILE* out, const std::string& name) {
  Ref<RepStoredControl> stored;
  if (!ReadStored(&stored, name, 1)) return kExitFailed;
  const RepControl* control = stored->control();
  const RepParams* params = control->params();
  auto line = [out](const char* key, const std::string& value) {
    std::fprintf(out, "%-18s %s\n", key, value.c_str());
  };
  line("name:", name);
  line("produced:", TimeText(control->time_of_production()));
  if (params != nullptr) {
    line("class:", Text(RepParamsGetClass(params)));
    line("output type:", TypeName(RepParamsGetOutputType(params)));
    line("format:", Text(RepParamsGetFormat(params)));
    line("include:", Text(RepParamsGetInclude(params)));
    line("exclude:", Text(RepParamsGetExclude(params)));
    line("condition:", Text(RepParamsGetCondition(params)));
    line("sort:", Text(RepParamsGetSort(params)));
    line("header:", Text(RepParamsGetHeaderName(params)));
    line("footer:", Text(RepParamsGetFooterName(params)));
  }
  const RepTable* table = control->table();
  line("records:",
       std::to_string(table != nullptr && table->records() != nullptr ? table->records()->size()
                                                                      : 0));
  line("filtered out:",
       std::to_string(control->filtered_out() != nullptr ? control->filtered_out()->size() : 0));
  return kExitOk;
}

int ReprocessProduced(const std::string& name, const RunOptions& o) {
  Ref<RepStoredControl> stored;
  if (!ReadStored(&stored, name, 1)) return kExitFailed;
  RepControl* control = stored->control();
  RepParams* params = control->params();
  if (params == nullptr || control->table() == nullptr) {
    Error("stored report '" + name + "' holds no records");
    return kExitFailed;
  }
  if (o.include) RepParamsSetInclude(params, o.include->c_str());
  if (o.exclude) RepParamsSetExclude(params, o.exclude->c_str());
  if (o.condition) RepParamsSetCondition(params, o.condition->c_str());
  if (o.sort) RepParamsSetSort(params, o.sort->c_str());
  if (!o.type.empty() && !SetOutputType(params, OutputTypeId(o.type))) return kExitFailed;
  // The condition filter applies when the report was produced with it, or when a new one is given.
  const int use_condition = stored->flag() || o.condition ? 1 : 0;
  if (RepReProcessProducedReport(control, name.c_str(), use_condition) != 1) {
    Error("cannot re-process '" + name + "' (a new filter or sort spec does not build)");
    return kExitFailed;
  }
  Ref<RepProducedReportName> decoded;
  std::string nice_name = Text(RepParamsGetClass(params));
  if (RepDecodeProducedFileNameWithClassList(&decoded, name.c_str(), nullptr) == 1 &&
      decoded->base_name() != nullptr && *decoded->base_name() != '\0') {
    nice_name = decoded->base_name();
  }
  Progress progress;
  progress.show = !o.quiet && isatty(STDERR_FILENO) == 1;
  progress.control = control;
  return WriteReport(control, nice_name, o, &progress);
}

int DeleteProduced(const std::string& name) {
  Ref<RepStoredControl> stored;
  if (!ReadStored(&stored, name, 0)) return kExitFailed;
  if (RepDeleteProducedReport(name.c_str()) != 1) {
    Error("cannot delete stored report '" + name + "'");
    return kExitFailed;
  }
  return kExitOk;
}

// --- several stored reports into one output ------------------------------------------------

int MultiOutput(const std::vector<std::string>& names, const std::string& machine,
                const std::optional<std::string>& header, const std::optional<std::string>& footer,
                bool quiet) {
  // The item type the multi-report writer reads: the stored control and its name.
  constexpr uint32_t kItemType = 0x4b52ff10;
  Ref<List> items = ListNewFromPool();
  for (const std::string& name : names) {
    Ref<RepStoredControl> stored;
    if (!ReadStored(&stored, name, 0)) return kExitFailed;
    Ref<Obj> item = ObjNewInternal(0, kItemType, "o;s;", 0, nullptr);
    ObjSetSlotObject(item.get(), 1, Ref<Obj>::Share(stored->control()));
    ObjSetSlotString(item.get(), 2, name.c_str());
    ListAddLastItem(items.get(), item.get());
  }
  std::string header_dir, footer_dir;
  if ((header && !RepPathBuild(&header_dir, "headers", header->c_str(), nullptr)) ||
      (footer && !RepPathBuild(&footer_dir, "footers", footer->c_str(), nullptr))) {
    Error("the reports directory is not configured (config/configure.cfg under KR_HOME)");
    return kExitFailed;
  }
  const std::string target = machine.empty() ? Text(SysLocalMachineName()) : machine;
  const bool local =
      machine.empty() || strcasecmp(target.c_str(), Text(SysLocalMachineName())) == 0;
  std::string leaf;
  if (RepOutputReportsToMachine(&leaf, items.get(), target.c_str(),
                                header ? header_dir.c_str() : nullptr,
                                footer ? footer_dir.c_str() : nullptr, 0, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr) != 1) {
    Error(local ? "cannot write the reports into one output directory"
                : "cannot write the reports or copy them to machine '" + target + "'");
    return kExitFailed;
  }
  if (local) {
    std::string directory;
    RepPathBuild(&directory, "output", leaf.c_str(), nullptr);
    std::printf("%s\n", directory.c_str());
  } else {
    std::printf("%s:%s\n", target.c_str(), leaf.c_str());
  }
  if (!quiet && RepReportsToOutputNeedHTML(items.get()) == 1) {
    std::fprintf(stderr, "krreport: written as an HTML page\n");
  }
  std::fflush(stdout);
  return kExitOk;
}

// --- jobs -----------------------------------------------------------------------------------

namespace {

// One object per line, its slots indented below it; lists and object slots nest.
void PrintObject(std::FILE* out, const Obj* obj, int depth) {
  const std::string indent(static_cast<size_t>(depth) * 2, ' ');
  if (obj == nullptr) {
    std::fprintf(out, "(null)\n");
    return;
  }
  if (const List* list = ObjCast<List>(const_cast<Obj*>(obj))) {
    std::fprintf(out, "list of %zu\n", list->size());
    size_t i = 0;
    for (Obj* item : *list) {
      std::fprintf(out, "%s  [%zu] ", indent.c_str(), i++);
      PrintObject(out, item, depth + 1);
    }
    if (const Obj* extension = ListGetExtensionItem(list)) {
      std::fprintf(out, "%s  extension: ", indent.c_str());
      PrintObject(out, extension, depth + 1);
    }
    return;
  }
  std::fprintf(out, "%s\n", Text(ObjNameFromObject(obj)));
  const int slots = ObjSlotCount(obj);
  for (int slot = 1; slot <= slots; ++slot) {
    std::fprintf(out, "%s  %d: ", indent.c_str(), slot);
    switch (ObjSlotKind(obj, slot)) {
      case SlotKind::kInt:
        std::fprintf(out, "%d\n", ObjGetSlotInteger(obj, slot));
        break;
      case SlotKind::kInt64:
        std::fprintf(out, "%lld\n", static_cast<long long>(ObjGetSlotInt64(obj, slot)));
        break;
      case SlotKind::kBool:
        std::fprintf(out, "%s\n", ObjGetSlotBoolean(obj, slot) ? "true" : "false");
        break;
      case SlotKind::kString: {
        const char* s = ObjGetSlotString(obj, slot);
        if (s == nullptr) {
          std::fprintf(out, "(null)\n");
        } else {
          std::fprintf(out, "\"%s\"\n", s);
        }
        break;
      }
      case SlotKind::kObject:
      case SlotKind::kLocalObject:
        PrintObject(out, ObjGetSlotObject(obj, slot), depth + 1);
        break;
      case SlotKind::kStanza: {
        const Stanza* stanza = ObjGetSlotStanza(obj, slot);
        std::fprintf(out, "%s\n", stanza != nullptr ? "stanza" : "(none)");
        break;
      }
      default:
        std::fprintf(out, "-\n");
        break;
    }
  }
}

}  // namespace

int NewJob(const JobOptions& o) {
  Ref<List> names = ListNewFromPool();
  for (const std::string& t : o.templates) {
    Ref<Obj> s = ObjNewString(t.c_str());
    ListAddLastItem(names.get(), s.get());
  }
  Ref<Obj> job;
  RepMakeNewJobRecord(&job, o.title.empty() ? nullptr : o.title.c_str(), o.report_kind);
  Ref<List> components;
  if (!job || RepComponentListFromStrings(&components, names.get()) != 1) {
    Error("cannot make the job's component list");
    return kExitFailed;
  }
  const std::string job_file = o.directory + "/job";
  const std::string components_file = o.directory + "/components";
  if (ObjSerializeToFile(job.get(), job_file.c_str()) != 1 ||
      ObjSerializeToFile(components.get(), components_file.c_str()) != 1) {
    Error("cannot write the job into '" + o.directory + "'");
    return kExitFailed;
  }
  if (o.print) {
    std::printf("job record (%s):\n", job_file.c_str());
    PrintObject(stdout, job.get(), 0);
    std::printf("components (%s):\n", components_file.c_str());
    PrintObject(stdout, components.get(), 0);
  } else {
    std::printf("%s\n%s\n", job_file.c_str(), components_file.c_str());
  }
  std::fflush(stdout);
  return kExitOk;
}

}  // namespace krreport
