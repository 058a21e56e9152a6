// Report templates: reading and writing parameter markers, saving, and parameters from a
// template.

#include "reports/templatefile.h"

#include <cinttypes>
#include <cstring>
#include <memory>
#include <string_view>

#include "kr/context.h"
#include "kr/file.h"
#include "kr/path.h"
#include "kr/text.h"
#include "kr/trace.h"
#include "reports/format.h"
#include "reports/outputtypes.h"
#include "reports/reports.h"
#include "reports/utilities.h"

namespace {

constexpr const char* kTag = "REPTMPLT";

bool IsNameByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool IsQuote(char c) { return c == '"' || c == '\''; }

// Inside quotes a percent sign followed by a quote or a percent sign is one pair, so the quote
// it holds never closes the quoted text.
bool IsQuotedPair(const char* p) { return p[0] == '%' && (IsQuote(p[1]) || p[1] == '%'); }

bool SameName(std::string_view a, const char* b) {
  if (std::strlen(b) != a.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// The end of the quoted text that opens at `p`: its closing quote, or the end of the text.
const char* SkipQuoted(const char* p) {
  const char quote = *p++;
  while (*p != '\0' && *p != quote) p += IsQuotedPair(p) ? 2 : 1;
  return p;
}

// Reads the value that follows a marker's name at `p`. False when there is none.
bool ReadValue(const char* p, bool quoted_flag, std::string* value) {
  while (*p != '\0' && StrIsWhiteSpaceByte(static_cast<unsigned char>(*p))) ++p;
  if (*p == '\0') return false;
  const char* start = p;
  if (IsQuote(*p)) {
    const char* end = SkipQuoted(p);
    if (*end == '\0') return false;  // never closed
    value->assign(start + 1, end);
    return true;
  }
  if (quoted_flag) {
    // Up to the next marker. %%, %\ and %" are pairs here as anywhere outside quotes. The
    // blanks before that marker are part of the value: a user who wants them gone quotes it.
    while (*p != '\0') {
      if (*p == '%' && IsNameByte(p[1])) break;
      p += (*p == '%' && (p[1] == '%' || p[1] == '\\' || IsQuote(p[1]))) ? 2 : 1;
    }
  } else {
    while (*p != '\0' && *p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') ++p;
  }
  value->assign(start, p);
  return true;
}

// The value of the first marker of `name` that has one.
bool FindParam(std::string* value, const char* text, const char* name, bool quoted_flag) {
  const char* p = text;
  while (*p != '\0') {
    if (IsQuote(*p)) {
      p = SkipQuoted(p);
      if (*p != '\0') ++p;
      continue;
    }
    if (*p != '%') {
      ++p;
      continue;
    }
    if (p[1] == '%' || p[1] == '\\' || IsQuote(p[1])) {
      p += 2;
      continue;
    }
    const char* n = p + 1;
    const char* e = n;
    while (IsNameByte(*e)) ++e;
    if (e == n) {
      ++p;
      continue;
    }
    if (SameName(std::string_view(n, static_cast<size_t>(e - n)), name)) {
      if (ReadValue(e, quoted_flag, value)) return true;
      TraceMessage(kTag, 1, 0, 2, "Could not find value for param '%s'", name);
    }
    p = e;
  }
  return false;
}

// Reads the output type and its options into `params`.
int OutputInfoFromTemplate(RepParams* params, const RepTemplate* t) {
  std::string type_text;
  if (!RepTemplateGetParamUsingArray(&type_text, t, RepGetStdParamInformation(), "outputtype")) {
    TraceMessage(kTag, 2, 0, 2, "Output type not specified in template - set to dont output");
    return 1;
  }
  int32_t type = 0;
  if (!StrToInteger(&type, type_text.c_str())) {
    TraceMessage(kTag, 3, 0, -1, "Cannot convert output type '%s' to integer", type_text.c_str());
    return 0;
  }
  Ref<RepOutputTypeInfo> info;
  if (!RepOutputTypeInfoFromID(&info, type)) {
    TraceMessage(kTag, 4, 0, -1, "Failed to get info on output type %" PRId32, type);
    return 0;
  }
  Ref<List> read, defaults;
  if (!RepTemplateGetParamsValues(&read, info->options(), t)) {
    TraceMessage(kTag, 5, 0, -1, "Cannot get output options from template");
    return 0;
  }
  if (!RepCreateDefaultParamInstances(&defaults, info->options())) return 0;
  RepParamsSetOutputType(params, type);
  RepParamsSetOutputOptions(params, defaults.get(), 0);
  RepParamsSetOutputOptions(params, read.get(), 1);
  return 1;
}

}  // namespace

int RepTemplateAlloc(const char* path, Ref<RepTemplate>* template_out) noexcept {
  if (template_out == nullptr) return 0;
  if (path == nullptr || !FileExists(path)) {
    TraceMessage(kTag, 6, 0, -1, "Template file '%s' does not exist!", StrOrEmpty(path));
    return 0;
  }
  std::string text;
  if (!LoadTextFile(&text, path)) {
    TraceMessage(kTag, 7, 0, -1, "Could not read template file '%s'", path);
    return 0;
  }
  Ref<RepTemplate> t = RepTemplate::New();
  if (!t) return 0;
  t->set_path(path);
  t->set_contents(text.c_str());
  TraceMessage(kTag, 8, 0, 2, "Loaed template file '%s' OK", path);
  *template_out = std::move(t);
  return 1;
}

Ref<RepTemplate> RepTemplateFromText(const char* text) noexcept {
  Ref<RepTemplate> t = RepTemplate::New();
  if (t) t->set_contents(StrOrEmpty(text));
  return t;
}

int RepTemplateSave(const RepTemplate* template_in, const char* name, int overwrite) noexcept {
  if (template_in == nullptr) return 0;
  if (!PathIsSafeName(name)) {
    TraceMessage(kTag, 9, 0, -1, "Bad report template name '%s'", StrOrEmpty(name));
    return 0;
  }
  std::string directory, path;
  if (!RepPathBuild(&directory, "templates", nullptr) ||
      !RepPathBuild(&path, "templates", name, nullptr))
    return 0;
  PathCreateDirectory(directory.c_str());
  if (overwrite != 1 && FileExists(path.c_str())) {
    TraceMessage(kTag, 10, 0, 2, "Not going to save report template as file '%s' allready exists",
                 path.c_str());
    return kRepTemplateExists;
  }
  std::unique_ptr<FileSysFile> file;
  if (!FileSysFOpen(&file, path.c_str(), kFileSysModeWrite)) {
    TraceMessage(kTag, 11, 0, -1, "Failed to open report template file '%s' for writing",
                 path.c_str());
    return 0;
  }
  const char* text = template_in->contents();
  int ok = FileSysFWrite(file.get(), text, std::strlen(text));
  ok = FileSysFClose(&file) && ok;
  if (!ok) {
    TraceMessage(kTag, 12, 0, -1, "Failed to write template contents to file '%s'", path.c_str());
    return 0;
  }
  TraceMessage(kTag, 13, 0, 2, "Wrote template file '%s' OK", path.c_str());
  return 1;
}

int RepGetDefaultTemplatePath(std::string* path, const char* prefix) noexcept {
  if (path == nullptr) return 0;
  const std::string leaf = std::string(StrOrEmpty(prefix)) + "clidefault";
  if (!PathIsSafeName(leaf.c_str())) return 0;
  return RepPathBuild(path, "templates", leaf.c_str(), nullptr);
}

int RepTemplateGetParam(std::string* text, const RepTemplate* template_in, const char* name,
                        int quoted_flag, int add_quotes) noexcept {
  if (text == nullptr || template_in == nullptr || name == nullptr) return 0;
  std::string value;
  if (!FindParam(&value, template_in->contents(), name, quoted_flag != 0)) {
    TraceMessage(kTag, 14, 0, 2, "Failed finding param '%s'", name);
    return 0;
  }
  *text = add_quotes == 1 ? "\"" + value + "\"" : std::move(value);
  return 1;
}

int RepTemplateGetParamUsingArray(std::string* text, const RepTemplate* template_in,
                                  const RepParamInfo* info, const char* name) noexcept {
  const RepParamInfo* row = nullptr;
  if (!RepFindParamInfo(&row, info, name)) {
    TraceMessage(kTag, 15, 0, -1, "Failed to find info for parameter '%s'", StrOrEmpty(name));
    return 0;
  }
  return RepTemplateGetParam(text, template_in, row->name, row->quoted, 0);
}

int RepTemplateGetParamValue(Ref<Obj>* value, const RepTemplate* template_in, const char* name,
                             int quoted_flag, int32_t type) noexcept {
  if (value == nullptr) return 0;
  std::string text;
  if (!RepTemplateGetParam(&text, template_in, name, quoted_flag, 0)) {
    TraceMessage(kTag, 16, 0, -1, "Cannot get value string for parameter '%s'", StrOrEmpty(name));
    return 0;
  }
  if (!RepEncodeData(value, text.c_str(), type)) {
    TraceMessage(kTag, 17, 0, -1,
                 "Failed to encode value string of parameter '%s' (Value string was '%s')", name,
                 text.c_str());
    return 0;
  }
  TraceMessage(kTag, 18, 0, 3,
               "Succesfully encoded value string of parameter '%s' (Value string was '%s')", name,
               text.c_str());
  return 1;
}

int RepTemplateGetParamValueUsingArray(Ref<Obj>* value, const RepTemplate* template_in,
                                       const RepParamInfo* info, const char* name) noexcept {
  const RepParamInfo* row = nullptr;
  if (!RepFindParamInfo(&row, info, name)) {
    TraceMessage(kTag, 19, 0, -1, "Cannot find info on param '%s'", StrOrEmpty(name));
    return 0;
  }
  return RepTemplateGetParamValue(value, template_in, row->name, row->quoted, row->type);
}

int RepTemplateGetParamsValues(Ref<List>* instances, const List* definitions,
                               const RepTemplate* template_in) noexcept {
  if (instances == nullptr || definitions == nullptr || template_in == nullptr) return 0;
  Ref<List> out = ListNewFromPool();
  for (Obj* o : *definitions) {
    RepParamDef* def = ObjCast<RepParamDef>(o);
    if (def == nullptr || def->name() == nullptr) continue;
    std::string text;
    Ref<RepParamInstance> instance;
    if (RepTemplateGetParam(&text, template_in, def->name(), def->quoted(), 0)) {
      Ref<Obj> value;
      if (!RepEncodeData(&value, text.c_str(), def->type())) {
        TraceMessage(kTag, 20, 0, -1,
                     "Failed when encoding value of param '%s' (Value string was '%s')",
                     def->name(), text.c_str());
        return 0;
      }
      TraceMessage(kTag, 21, 0, 3,
                   "Succesfully encoded value of param '%s' (Value string was '%s')", def->name(),
                   text.c_str());
      RepParamInstanceCreate(&instance, def, value.get());
    } else {
      TraceMessage(kTag, 22, 0, 2, "Param '%s' not in template. Use default value", def->name());
      RepParamInstanceCreate(&instance, def, def->default_value());
    }
    if (!instance) {
      // A definition without a default value still gets its place in the list.
      instance = RepParamInstance::New();
      instance->set_definition(Ref<Obj>::Share(def));
    }
    ListPushLastItemInternal(out.get(), std::move(instance));
  }
  *instances = std::move(out);
  return 1;
}

int RepTemplateSetParamsValues(RepTemplate* template_in, const List* instances) noexcept {
  if (template_in == nullptr || instances == nullptr) return 0;
  std::string text = template_in->contents();
  text += '\n';
  DString scratch;
  for (Obj* o : *instances) {
    const RepParamInstance* instance = ObjCast<RepParamInstance>(o);
    const RepParamDef* def = instance != nullptr ? instance->definition() : nullptr;
    if (def == nullptr || def->name() == nullptr) continue;
    std::string_view value;
    if (def->type() == kRepTypeString) {
      value = StrOrEmpty(ObjGetString(instance->value()));
    } else if (instance->value() == nullptr ||
               RepTypedDataToText(&value, &scratch, def->type(), instance->value()) != kRepOk) {
      TraceMessage(kTag, 23, 0, -1, "Cannot convert param '%s' value to text", def->name());
      return 0;
    }
    text += '%';
    for (const char* n = def->name(); *n != '\0'; ++n)
      text += (*n >= 'a' && *n <= 'z') ? static_cast<char>(*n - 'a' + 'A') : *n;
    text += " \"";
    text += value;
    text += "\"\n";
    if (TraceEnabled(3)) {
      const std::string shown(value);
      TraceMessage(kTag, 24, 0, 3, "Added value '%s' to template for param '%s'", shown.c_str(),
                   def->name());
    }
  }
  template_in->set_contents(text.c_str());
  return 1;
}

int RepGetTemplateNiceName(std::string* nice_name, const RepTemplate* template_in,
                           const char* default_name) noexcept {
  if (nice_name == nullptr) return 0;
  std::string value;
  if (template_in == nullptr || !RepTemplateGetParam(&value, template_in, "nicename", 1, 0) ||
      value.empty())
    value = StrOrEmpty(default_name);
  TraceMessage(kTag, 25, 0, 3, "RepGetTemplateNiceName returning '%s'", value.c_str());
  *nice_name = std::move(value);
  return 1;
}

int RepMakeParamsFromTemplate(Ref<RepParams>* params, const RepTemplate* template_in) noexcept {
  if (params == nullptr || template_in == nullptr) return 0;
  Ref<RepParams> p = RepParamsAlloc();
  if (!p) return 0;
  const RepParamInfo* info = RepGetStdParamInformation();
  struct Text {
    const char* name;
    void (*set)(RepParams*, const char*) noexcept;
  };
  static const Text kTexts[] = {
      {"format", RepParamsSetFormat},         {"sort", RepParamsSetSort},
      {"include", RepParamsSetInclude},       {"exclude", RepParamsSetExclude},
      {"condition", RepParamsSetCondition},   {"headername", RepParamsSetHeaderName},
      {"footername", RepParamsSetFooterName}, {"headertext", RepParamsSetHeaderText},
      {"footertext", RepParamsSetFooterText},
  };
  std::string text;
  for (const Text& t : kTexts)
    if (RepTemplateGetParamUsingArray(&text, template_in, info, t.name))
      t.set(p.get(), text.c_str());
  int32_t hits = 0;
  if (RepTemplateGetParamUsingArray(&text, template_in, info, "conditionhits") &&
      StrToInteger(&hits, text.c_str()))
    RepParamsSetConditionHits(p.get(), hits);

  if (!OutputInfoFromTemplate(p.get(), template_in)) {
    TraceMessage(kTag, 26, 0, -1, "Failed when converting output info from template to params");
    return 0;
  }
  RepParamsSetServer(p.get(), SysLocalMachineName());
  if (!RepTemplateGetParamUsingArray(&text, template_in, info, "class")) {
    TraceMessage(kTag, 27, 0, -1, "Bad template file - no class specified");
    return 0;
  }
  RepParamsSetClass(p.get(), text.c_str());
  *params = std::move(p);
  return 1;
}
