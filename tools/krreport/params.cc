// Building a report's parameters from a template and the command line, and the small texts the
// commands share.
#include <ctime>

#include "krreport.h"
#include "kr/list.h"
#include "kr/time.h"
#include "reports/reports.h"
#include "reports/classes.h"
#include "reports/format.h"
#include "reports/outputtypes.h"
#include "reports/params.h"
#include "reports/templatefile.h"
#include "reports/utilities.h"

namespace krreport {

namespace {
TraceFailureCapture* g_capture = nullptr;
}  // namespace

void SetFailureCapture(TraceFailureCapture* capture) { g_capture = capture; }

void Error(const std::string& text) {
  std::fprintf(stderr, "krreport: %s\n", text.c_str());
  PrintCause(text);
}

void PrintCause(const std::string& said) {
  if (g_capture == nullptr) return;
  // The first failures traced are the cause; the rest repeat it from further up the calls.
  constexpr size_t kMaxCauseLines = 8;
  size_t shown = 0;
  for (const std::string& line : g_capture->Take()) {
    if (shown == kMaxCauseLines) break;
    // A few milestones are traced at the failure level; they say nothing about the failure.
    const bool milestone = line.size() >= 3 && line.compare(line.size() - 3, 3, " OK") == 0;
    if (line == said || milestone) continue;
    std::fprintf(stderr, "  %s\n", line.c_str());
    ++shown;
  }
}

int OutputTypeId(const std::string& name) {
  for (const OutputTypeName& t : kOutputTypes) {
    if (name == t.name) return t.id;
  }
  return -1;
}

const char* OutputTypeText(int32_t id) {
  for (const OutputTypeName& t : kOutputTypes) {
    if (id == t.id) return t.name;  // the first name of an id is the library's writer
  }
  return "?";
}

std::string TimeText(int32_t t) {
  const time_t when = t;
  struct tm local = {};
  char text[32] = "?";
  if (localtime_r(&when, &local) != nullptr) {
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  }
  return text;
}

namespace {

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
    Error("output type '" + std::string(StrOrEmpty(info->display_name())) + "' has no option '" +
          key + "' (options:" + known + ")");
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
  if (cls == nullptr || RepGetClassFields(&fields_table, cls) != kRepClassOk ||
      fields_table->fields() == nullptr) {
    return true;  // production reports the unknown class with the library's message
  }
  Ref<RepOutputTypeInfo> info;
  if (!RepOutputTypeInfoFromID(&info, RepParamsGetOutputType(params))) return false;
  std::string format;
  std::string tail = StrOrEmpty(info->format_post());
  if (tail.empty()) tail = "\n";
  // Two blanks: the one after a field reference belongs to the reference.
  std::string field_post = StrOrEmpty(info->format_field_post());
  if (field_post.empty()) field_post = "  ";
  // A system time prints as its number of seconds, which nobody reads: the default format
  // leaves system times out (the classes offer their dates and times of day as fields of their
  // own); a format that names one still gets it.
  Ref<List> shown = ListNewFromPool();
  for (Obj* item : *fields_table->fields()) {
    const auto* f = ObjCast<RepFieldDef>(item);
    if (f != nullptr && f->type() != kRepTypeSysTime) ListAddLastItem(shown.get(), item);
  }
  if (!RepGenFormatString(&format, StrOrEmpty(info->format_pre()), tail.c_str(),
                          StrOrEmpty(info->format_field_pre()), field_post.c_str(), shown.get())) {
    return false;
  }
  RepParamsSetFormat(params, format.c_str());
  return true;
}

// The command line's own texts, checked against the class's fields before anything is fetched.
// When the class's fields cannot be had, names go unchecked: production then says why.
bool CheckCommandLineTexts(const RepParams* params, const RunOptions& o) {
  Ref<RepTable> fields_table;
  const RepFieldList* fields = nullptr;
  // Relative dates in a filter read against the report's "now"; production sets it again.
  int64_t now = 0;
  if (QuorTime(&now) == 1) RepSetTimeNow(now);
  {
    TraceFailureCapture quiet;  // a class that does not load is reported by production
    if (RepGetClassFields(&fields_table, RepParamsGetClass(params)) == kRepClassOk) {
      fields = fields_table->fields();
    }
  }
  return (!o.sort || CheckSort(*o.sort, fields)) &&
         (!o.include || CheckFilter("include", *o.include, fields)) &&
         (!o.exclude || CheckFilter("exclude", *o.exclude, fields)) &&
         (!o.condition || CheckFilter("condition", *o.condition, fields)) &&
         (!o.header || CheckTextDirectory("headers", *o.header)) &&
         (!o.footer || CheckTextDirectory("footers", *o.footer));
}

}  // namespace

bool SetOutputType(RepParams* params, int id) {
  Ref<RepOutputTypeInfo> info;
  if (!RepOutputTypeInfoFromID(&info, id)) {
    Error("cannot read the options of output type " + std::to_string(id));
    return false;
  }
  if (RepParamsGetOutputType(params) == id) return true;
  Ref<List> defaults;
  RepCreateDefaultParamInstances(&defaults, info->options());
  RepParamsSetOutputType(params, id);
  RepParamsSetOutputOptions(params, defaults.get(), 0);
  return true;
}

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
  if (!CheckCommandLineTexts(params.get(), o)) return kExitUsage;
  int id = RepParamsGetOutputType(params.get());
  if (!o.type.empty()) id = OutputTypeId(o.type);
  if (id < 0) id = kRepOutputPlainText;
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

}  // namespace krreport
