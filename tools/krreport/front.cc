#include "front.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>

#include "jsonl.h"
#include "kr/list.h"
#include "kr/text.h"
#include "reports/classes.h"
#include "reports/control.h"
#include "reports/fetch.h"
#include "reports/fields.h"
#include "reports/format.h"
#include "reports/outputtypes.h"
#include "reports/outputwrap.h"
#include "reports/params.h"
#include "reports/produced.h"
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

  const bool jsonl = o.type == "jsonl";
  const int type = RepParamsGetOutputType(control->params());
  if (jsonl && o.output == "-") {
    Ref<List> fields;
    if (!JsonFields(&fields, control.get()) ||
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
    progress.stage = Progress::kWrite;
    bool ok;
    if (jsonl) {
      Ref<List> fields;
      body = "output.jsonl";
      std::FILE* f = std::fopen((directory + "/" + body).c_str(), "wb");
      ok = f != nullptr && JsonFields(&fields, control.get()) &&
           WriteJsonLines(f, control->table(), fields.get());
      if (f != nullptr && std::fclose(f) != 0) ok = false;
      if (!ok) error_text = "failed to write the records";
    } else {
      Ref<List> options;
      RepParamsGetOutputOptions(&options, control->params());
      ok = RepOutputReport(&error_text, directory.c_str(), control.get(), type, o.html_wrap ? 1 : 0,
                           options.get(), nullptr, nullptr, nullptr, &OnProgress, &progress) == 1;
    }
    progress.Clear();
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

}  // namespace krreport
