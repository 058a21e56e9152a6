#include "groups.h"

#include <algorithm>
#include <string_view>

#include "commands.h"
#include "krreport.h"
#include "kr/list.h"
#include "kr/text.h"
#include "reports/classes.h"
#include "reports/fields.h"
#include "reports/format.h"
#include "reports/group.h"
#include "reports/output.h"
#include "reports/params.h"
#include "reports/sort.h"
#include "reports/templatefile.h"
#include "reports/utilities.h"

namespace krreport {
namespace {

constexpr size_t kChartBars = 60;

bool ParseSpec(RepGroupSpec* spec, const GroupOptions& o) {
  std::string error;
  if (!RepParseGroupSpec(spec, &error, o.group_by->c_str(),
                         o.aggregates ? o.aggregates->c_str() : nullptr)) {
    Error(error);
    return false;
  }
  return true;
}

// Names given one per line (or two newlines apart), as "a, b".
std::string NameList(const std::string& lines) {
  std::string out;
  for (size_t i = 0; i < lines.size();) {
    const size_t end = std::min(lines.find('\n', i), lines.size());
    if (end > i) out += (out.empty() ? "" : ", ") + lines.substr(i, end - i);
    i = end + 1;
  }
  return out;
}

bool OptionIsTrue(const RepParams* params, const char* key) {
  Ref<List> options;
  bool value = false;
  RepParamsGetOutputOptions(&options, params);
  return options && RepGetOptionBoolean(&value, options.get(), key) && value;
}

// `options` with the string option `key` of the parameters' output type set to `value`.
bool WithStringOption(Ref<List>* out, const List* options, const RepParams* params,
                      const char* key, const std::string& value) {
  Ref<RepOutputTypeInfo> info;
  Ref<RepParamDef> def;
  Ref<RepParamInstance> instance;
  if (!RepOutputTypeInfoFromID(&info, RepParamsGetOutputType(params)) ||
      !RepFindParamInList(&def, info->options(), key) ||
      !RepParamInstanceCreateString(&instance, def.get(), value.c_str())) {
    return false;
  }
  *out = ListNewFromPool();
  ListAddLastItem(out->get(), instance.get());
  for (Obj* item : *options) {
    const auto* i = ObjCast<RepParamInstance>(item);
    if (i != nullptr && i->definition() != nullptr &&
        StrCompareNoCase(StrOrEmpty(i->definition()->name()), key) == 0) {
      continue;
    }
    ListAddLastItem(out->get(), item);
  }
  return true;
}

// Option texts pass through the writers' control-character replacement: a percent sign is
// written doubled to come out as itself.
std::string EscapePercent(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

std::string WithThousands(int64_t x) {
  const uint64_t magnitude = x < 0 ? 0 - static_cast<uint64_t>(x) : static_cast<uint64_t>(x);
  std::string digits = std::to_string(magnitude);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return x < 0 ? "-" + out : out;
}

// The total of a summary field over every group, as the headline shows it.
bool HeadlineValue(std::string* text, const RepTable* summary, const std::string& name) {
  int32_t index = -1, type = 0;
  if (RepGetFieldIndexAndType(&index, &type, name.c_str(), summary->fields()) != kRepOk)
    return false;
  if (type != kRepTypeInteger && type != kRepTypeInt64 && type != kRepTypeDataCount &&
      type != kRepTypeTimePassed) {
    return false;
  }
  int64_t total = 0;
  for (Obj* item : *summary->records()) {
    const RepFieldValue* v = ObjCast<RepRecord>(item)->value_at(static_cast<size_t>(index));
    if (v == nullptr || v->state() != kRepStateNormal) continue;
    const int64_t x = ObjGetMagic(v->value()) == kObjInt64Type ? ObjGetInt64(v->value())
                                                               : ObjGetInteger(v->value());
    if (__builtin_add_overflow(total, x, &total)) return false;  // no total to show
  }
  if (type == kRepTypeDataCount) {
    DString scratch;
    std::string_view rendered;
    Ref<Obj> o = ObjNewInt64(total);
    RepTypedDataToText(&rendered, &scratch, type, o.get());
    *text = rendered;
  } else if (type == kRepTypeTimePassed) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", static_cast<long long>(total / 3600),
                  static_cast<long long>(total % 3600 / 60), static_cast<long long>(total % 60));
    *text = buf;
  } else {
    *text = WithThousands(total);
  }
  return true;
}

// "%count jobs, %failed failed" with the totals filled in; %% is a percent sign.
bool Headline(std::string* out, const RepTable* summary, const std::string& text) {
  out->clear();
  for (size_t i = 0; i < text.size();) {
    if (text[i] != '%') {
      *out += text[i++];
      continue;
    }
    if (i + 1 < text.size() && text[i + 1] == '%') {
      *out += '%';
      i += 2;
      continue;
    }
    const int n = StrGetTokenCharCount(text.c_str() + i + 1);
    const std::string name = text.substr(i + 1, static_cast<size_t>(n > 0 ? n : 0));
    std::string value;
    if (name.empty() || !HeadlineValue(&value, summary, name)) {
      std::string names;
      RepGetAllFieldsString(&names, summary->fields());
      Error("--headline: '%" + name + "' is not a count, sum or other number of the summary " +
            "(its fields: " + NameList(names) + ")");
      return false;
    }
    *out += value;
    i += 1 + name.size();
  }
  return true;
}

std::string HtmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      default: out += c;
    }
  }
  return out;
}

// The headline and the chart go before the column headers: in HTML as the table's caption
// (the header text has just opened the table), in plain text as lines above the headers. They
// are drawn when the report is written and never stored with it, so a stored summary that is
// re-processed with other filters shows no figures of the records it no longer has.
// `*added` is the text to put before the row pre text (empty for none). Exit status.
int HeaderAddition(std::string* added, const RepControl* control, const GroupOptions& o,
                   bool warn) {
  added->clear();
  const RepParams* params = control->params();
  const RepTable* summary = control->table();
  const bool html = RepParamsGetOutputType(params) == kRepOutputHtmlText;
  // CSV and JSON Lines carry data for other programs: no headline, no chart.
  if (RepParamsGetOutputType(params) == kRepOutputCsv || summary == nullptr) return kExitOk;
  RepGroupSpec spec;
  if (!o.grouping() || !ParseSpec(&spec, o)) return kExitUsage;
  std::string headline, svg;
  if (o.headline && !o.headline->empty() && !Headline(&headline, summary, *o.headline)) {
    return kExitUsage;
  }
  if (o.chart && !o.chart->empty() && !html) {
    if (warn) Error("--chart is drawn in HTML reports only (--type html); left out");
  } else if (o.chart && !o.chart->empty()) {
    std::vector<std::string> labels;
    std::string by, error;
    // The summary's first fields are its keys.
    for (size_t k = 0; k < spec.keys.size(); ++k) {
      const RepFieldDef* f = ObjCast<RepFieldDef>(summary->fields()->at(k));
      labels.push_back(f->name());
      by += (by.empty() ? "" : " and ") + std::string(StrOrEmpty(f->nice_name()));
    }
    Ref<RepFieldDef> value;
    RepFindFieldInList(&value, o.chart->c_str(), summary->fields());
    const std::string title =
        (value ? std::string(StrOrEmpty(value->nice_name())) : *o.chart) + " by " + by;
    if (!RepGroupChartSvg(&svg, &error, summary, labels, o.chart->c_str(), title.c_str(),
                          kChartBars)) {
      Error(error);
      return kExitUsage;
    }
  }
  if (headline.empty() && svg.empty()) return kExitOk;
  if (html) {
    *added = "<caption style='caption-side:top;text-align:left'>";
    if (!headline.empty()) {
      *added += "<div class='headline' style='font-size:18px;font-weight:bold;margin:8px 0'>" +
                HtmlEscape(headline) + "</div>";
    }
    *added += svg + "</caption>\n";
  } else {
    *added = headline + "\n\n";
  }
  return kExitOk;
}

int Summarise(Ref<RepControl>* control, const GroupOptions& o) {
  RepGroupSpec spec;
  if (!ParseSpec(&spec, o)) return kExitUsage;
  std::string error;
  Ref<RepTable> summary;
  if (!RepGroupRecords(&summary, &error, (*control)->table(), spec)) {
    Error(error);
    return kExitUsage;
  }
  const char* format = o.summary_format ? o.summary_format->c_str() : nullptr;
  std::string invalid;
  if (format != nullptr && RepCheckInvalidFields(&invalid, format, summary->fields()) == 1) {
    std::string names;
    RepGetAllFieldsString(&names, summary->fields());
    Error("--summary-format names fields the summary does not have: " + NameList(invalid) +
          " (its fields: " + NameList(names) + ")");
    return kExitUsage;
  }
  Ref<RepControl> sc = RepGroupSummaryControl(control->get(), summary.get(), format);
  if (!sc) {
    Error("cannot make the summary's report");
    return kExitFailed;
  }
  sc->set_time_of_production((*control)->time_of_production());
  // The filters have done their work on the records; the summary is sorted by its own fields,
  // so a stored summary re-processes against them.
  RepParams* params = sc->params();
  RepParamsSetInclude(params, "");
  RepParamsSetExclude(params, "");
  RepParamsSetCondition(params, "");
  RepParamsSetSort(params, o.summary_sort ? o.summary_sort->c_str() : "");
  if (o.summary_sort && !o.summary_sort->empty()) {
    Ref<List> sort_spec;
    if (RepBuildSortSpec(&sort_spec, summary->fields(), o.summary_sort->c_str()) != kRepOk) {
      Error("--summary-sort '" + *o.summary_sort + "' does not name fields of the summary");
      return kExitUsage;
    }
    RepSort(sc.get(), nullptr, nullptr);
  }
  std::string added;
  if (const int rc = HeaderAddition(&added, sc.get(), o, true); rc != kExitOk) return rc;
  *control = std::move(sc);
  return kExitOk;
}

}  // namespace

void AddGroupOptions(CLI::App* command, GroupOptions* o) {
  AddOptional(command, "--group-by", &o->group_by,
              "Group the records by these fields, e.g. \"%client\" or \"%starttime:week\"");
  AddOptional(command, "--aggregates", &o->aggregates,
              "Per group: count, count(%status), count(%status=Failed), sum(%size), avg(...), "
              "min(...), max(...); NAME=... names the column (default: count)");
  command->add_flag_function(
      "--breaks", [o](int64_t n) { o->breaks = n > 0; },
      "With --group-by: the detailed records with a heading and subtotal per group, not a "
      "summary");
  AddOptional(command, "--summary-format", &o->summary_format,
              "The summary's record format (default: every summary field)");
  AddOptional(command, "--summary-sort", &o->summary_sort,
              "The summary's order, e.g. \"%failed- %client\" (default: by the group fields)");
  AddOptional(command, "--chart", &o->chart,
              "HTML summary: a bar chart of this summary field by group, e.g. sum_size");
  AddOptional(command, "--headline", &o->headline,
              "A line above the summary; %FIELD is that field's total, e.g. \"%count jobs\"");
}

bool ReadGroupTemplateKeys(GroupOptions* o, const std::string& name) {
  std::string path = name;
  if (name.find('/') == std::string::npos &&
      !RepPathBuild(&path, "templates", name.c_str(), nullptr)) {
    return true;  // building the parameters reports it
  }
  Ref<RepTemplate> tmpl;
  if (!RepTemplateAlloc(path.c_str(), &tmpl)) return true;
  auto read = [&](std::optional<std::string>* to, const char* key) {
    std::string value;
    if (!to->has_value() && RepTemplateGetParam(&value, tmpl.get(), key, 1, 0) == kRepOk)
      *to = value;
  };
  read(&o->group_by, "groupby");
  read(&o->aggregates, "aggregates");
  read(&o->summary_format, "summaryformat");
  read(&o->summary_sort, "summarysort");
  read(&o->chart, "chart");
  read(&o->headline, "headline");
  read(&o->file_type, "filetype");
  std::string breaks;
  if (!o->breaks && RepTemplateGetParam(&breaks, tmpl.get(), "groupbreaks", 0, 0) == kRepOk) {
    o->breaks = StrCompareNoCase(breaks.c_str(), "yes") == 0 ||
                StrCompareNoCase(breaks.c_str(), "true") == 0;
  }
  if (o->file_type && *o->file_type != "rfc4180" && *o->file_type != "jsonl") {
    Error("template '" + name + "': %filetype is rfc4180 or jsonl, not '" + *o->file_type + "'");
    return false;
  }
  return true;
}

int PrepareGrouping(RepParams* params, const GroupOptions& o, bool fetching) {
  if (!o.grouping()) return kExitOk;
  RepGroupSpec spec;
  if (!ParseSpec(&spec, o)) return kExitUsage;
  if (!fetching && !o.with_breaks()) return kExitOk;
  std::string needed;
  for (const RepGroupKey& k : spec.keys) needed += "%" + k.field + " ";
  for (const RepAggregate& a : spec.aggregates) {
    if (!a.field.empty()) needed += "%" + a.field + " ";
  }
  // A field the class does not offer is named here, before anything is fetched.
  Ref<RepTable> class_fields;
  std::string invalid;
  const char* cls = RepParamsGetClass(params);
  if (fetching && cls != nullptr && RepGetClassFields(&class_fields, cls) == kRepClassOk &&
      class_fields->fields() != nullptr &&
      RepCheckInvalidFields(&invalid, needed.c_str(), class_fields->fields()) == 1) {
    Error("grouping names fields class '" + std::string(cls) + "' does not have: " +
          NameList(invalid) +
          " (krreport fields '" + cls + "' lists them)");
    return kExitUsage;
  }
  if (fetching && !o.with_breaks()) {
    // The report fetches the fields its format, sort and filters name; the records of a
    // summary are not written, so its format names just what the grouping reads.
    for (const RepAggregate& a : spec.aggregates) {
      if (a.kind == kRepAggCountIf) needed += a.value + " ";
    }
    RepParamsSetFormat(params, needed.c_str());
    return kExitOk;
  }
  std::string sort;
  for (const RepGroupKey& k : spec.keys) sort += "%" + k.field + " ";
  sort += StrOrEmpty(RepParamsGetSort(params));
  RepParamsSetSort(params, sort.c_str());
  return kExitOk;
}

int ApplyGrouping(Ref<RepControl>* control, const GroupOptions& o, const std::string& type) {
  if (o.grouping() && !o.with_breaks()) return Summarise(control, o);
  RepControl* c = control->get();
  const RepParams* params = c->params();
  const bool totals = OptionIsTrue(params, "outputtotalrecord") ||
                      OptionIsTrue(params, "outputaveragerecord") || o.with_breaks();
  if (totals && type != "jsonl" && type != "rfc4180" && c->table() != nullptr) {
    RepWidenForTotals(c->possible_fields(), c->table());
    RepWidenForTotals(c->table()->fields(), c->table());
  }
  return kExitOk;
}

bool WriteGroupBreaks(std::string* error_text, const std::string& directory, RepControl* control,
                      const GroupOptions& o, RepProgressCallback progress,
                      void* progress_argument) {
  RepGroupSpec spec;
  if (!ParseSpec(&spec, o)) return false;
  Ref<List> options;
  RepParamsGetOutputOptions(&options, control->params());
  return RepOutputGroupBreaks(error_text, directory.c_str(), control,
                              RepParamsGetOutputType(control->params()), options.get(), spec,
                              progress, progress_argument) == kRepOk;
}

}  // namespace krreport

namespace krreport {

bool SummaryWriteOptions(Ref<List>* options, const RepControl* control, const GroupOptions& o) {
  if (!o.grouping() || o.with_breaks()) return true;
  std::string added, pre;
  if (HeaderAddition(&added, control, o, false) != kExitOk) return false;
  if (added.empty()) return true;
  RepGetOptionString(&pre, options->get(), "textheaderrowpre");
  Ref<List> with;
  if (!WithStringOption(&with, options->get(), control->params(), "textheaderrowpre",
                        EscapePercent(added) + pre)) {
    return false;
  }
  *options = std::move(with);
  return true;
}

}  // namespace krreport
