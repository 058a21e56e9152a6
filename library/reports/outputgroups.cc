// Group breaks and bar charts: the written forms of grouping.
//
// A report with group breaks is put together from the plain text and HTML writers as they are:
// the output wrapper writes the header (with record output switched off), the writer writes the
// column headers once, then each group's records with its sum row as the subtotal, then the
// whole table's sum row as the grand total, and the wrapper the footer. The writers' own texts
// (sumrowpre and the rest) shape the subtotal rows, so a report looks the same with and without
// breaks; only the group headings are written here.
//
// The chart is drawn here as SVG text: bars, labels and values are a handful of elements with
// fixed geometry, which needs no drawing library.

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string_view>

#include "kr/file.h"
#include "kr/path.h"
#include "kr/text.h"
#include "kr/trace.h"
#include "reports/format.h"
#include "reports/group.h"
#include "reports/outputtypes.h"
#include "reports/outputwrap.h"
#include "reports/outputwriters.h"
#include "reports/params.h"

namespace {

constexpr const char* kTag = "REPGRPOUT";

// --- option lists --------------------------------------------------------------------------

struct Override {
  const char* key;
  bool value;
};

// `options` with the given boolean options set (replacing any of the same key).
Ref<List> WithOptions(const List* options, std::initializer_list<Override> overrides) {
  Ref<List> out = ListNewWithCapacity((options != nullptr ? options->size() : 0) + overrides.size());
  for (const Override& o : overrides) {
    Ref<RepParamDef> def = RepParamDef::New();
    def->set_type(kRepTypeBoolean);
    def->set_name(o.key);
    Ref<RepParamInstance> instance = RepParamInstance::New();
    instance->set_definition(std::move(def));
    instance->set_value(ObjNewBoolean(o.value));
    ListAddLastItem(out.get(), instance.get());
  }
  if (options == nullptr) return out;
  for (Obj* item : *options) {
    const RepParamInstance* instance = ObjCast<RepParamInstance>(item);
    const char* key = instance != nullptr && instance->definition() != nullptr
                          ? instance->definition()->name()
                          : nullptr;
    bool replaced = false;
    for (const Override& o : overrides) {
      replaced |= key != nullptr && StrCompareNoCase(key, o.key) == 0;
    }
    if (!replaced) ListAddLastItem(out.get(), item);
  }
  return out;
}

// A control over `table` with the parameters of `control`, the header and footer as given.
Ref<RepControl> ControlWith(const RepControl* control, RepTable* table, const char* header,
                            const char* footer) {
  Ref<RepControl> out = RepControlFromTable(control->params(), table);
  if (!out) return nullptr;
  out->set_time_of_production(control->time_of_production());
  if (header != nullptr) {
    RepParamsSetHeaderName(out->params(), header);
    RepParamsSetHeaderText(out->params(), header);
  }
  if (footer != nullptr) {
    RepParamsSetFooterName(out->params(), footer);
    RepParamsSetFooterText(out->params(), footer);
  }
  return out;
}

// --- headings ------------------------------------------------------------------------------

void AppendEscaped(std::string* out, std::string_view text, bool html) {
  for (char c : text) {
    if (!html) {
      out->push_back(c);
    } else if (c == '<') {
      out->append("&lt;");
    } else if (c == '>') {
      out->append("&gt;");
    } else if (c == '&') {
      out->append("&amp;");
    } else if (c == '\'') {
      out->append("&#39;");
    } else if (c == '"') {
      out->append("&quot;");
    } else if (static_cast<unsigned char>(c) < 0x20) {
      out->push_back(' ');  // control characters have no place in XML text
    } else {
      out->push_back(c);
    }
  }
}

// "Client: alpha, Week (Started): 2026-11-30" of the group that begins at `record`.
std::string HeadingText(const RepTable* table, const RepGroupSpec& spec, const RepRecord* record,
                        bool html) {
  std::string text;
  Ref<RepTable> one;
  Ref<List> records = ListNewWithCapacity(1);
  ListAddLastItem(records.get(), const_cast<RepRecord*>(record));
  one = RepNewTable("", Ref<List>::Share(table->fields()), std::move(records));
  Ref<RepTable> keys;
  RepGroupSpec keys_only;
  keys_only.keys = spec.keys;
  keys_only.aggregates.push_back(RepAggregate{});
  if (!RepGroupRecords(&keys, nullptr, one.get(), keys_only) || keys->records()->size() != 1) {
    return text;
  }
  const RepRecord* key_record = ObjCast<RepRecord>(keys->records()->at(0));
  DString scratch;
  for (size_t k = 0; k < spec.keys.size(); ++k) {
    const RepFieldDef* f = ObjCast<RepFieldDef>(keys->fields()->at(k));
    std::string_view value;
    if (RepFieldValueToText(&value, &scratch, f, key_record->value_at(k), 1) != kRepOk) value = "?";
    if (k > 0) text += ", ";
    AppendEscaped(&text, f->nice_name() != nullptr ? f->nice_name() : f->name(), html);
    text += ": ";
    AppendEscaped(&text, value, html);
  }
  return text;
}

int AppendToFile(const std::string& path, const std::string& text) {
  std::unique_ptr<FileSysFile> file;
  if (!FileSysFOpen(&file, path.c_str(), kFileSysModeAppend)) return 0;
  const int ok = FileSysFPutString(file.get(), text.c_str());
  return FileSysFClose(&file) && ok ? 1 : 0;
}

using Writer = int (*)(const RepControl*, const char*, const List*, RepProgressCallback, void*);

struct BreakRun {
  const RepControl* control;
  const RepGroupSpec* spec;
  const std::string* body;
  Writer writer;
  bool html;
  size_t columns;
  const List* options;
  RepProgressCallback progress;
  void* progress_argument;
};

// One group: its heading, its records and its subtotal row.
int WriteGroup(const BreakRun& run, const RepGroupRun& group) {
  const RepTable* table = run.control->table();
  const RepRecord* first = ObjCast<RepRecord>(table->records()->at(group.first));
  const std::string heading = HeadingText(table, *run.spec, first, run.html);
  std::string text;
  if (run.html) {
    text = "</tbody>\n<tbody class='group'>\n<tr class='group'><th colspan='" +
           std::to_string(run.columns) + "'>" + heading + "</th></tr>\n";
  } else {
    text = "\n" + heading + "\n";
  }
  if (!AppendToFile(*run.body, text)) return 0;
  Ref<List> records = ListNewWithCapacity(group.count);
  for (size_t i = 0; i < group.count; ++i) {
    ListAddLastItem(records.get(), table->records()->at(group.first + i));
  }
  Ref<RepTable> part = RepNewTable(table->name(), Ref<List>::Share(table->fields()),
                                   std::move(records));
  Ref<RepControl> control = ControlWith(run.control, part.get(), nullptr, nullptr);
  Ref<List> options = WithOptions(run.options, {{"autocolumnheaders", false},
                                                {"disablerecordoutput", false},
                                                {"outputtotalrecord", true}});
  return control && run.writer(control.get(), run.body->c_str(), options.get(), run.progress,
                               run.progress_argument);
}

int Fail(std::string* error, const std::string& text) {
  TraceMessage(kTag, 1, 0, -1, "%s", text.c_str());
  if (error != nullptr) *error = text;
  return 0;
}

// --- chart ---------------------------------------------------------------------------------

void AppendSvgText(std::string* out, std::string_view text) { AppendEscaped(out, text, true); }

double NumberOf(const RepFieldValue* v) {
  if (v == nullptr || v->state() != kRepStateNormal) return 0;
  const Obj* o = v->value();
  if (ObjGetMagic(o) == kObjInt64Type) return static_cast<double>(ObjGetInt64(o));
  return ObjGetInteger(o);
}

}  // namespace

Ref<RepControl> RepGroupSummaryControl(const RepControl* control, RepTable* summary,
                                       const char* format) noexcept {
  if (control == nullptr || summary == nullptr) return nullptr;
  Ref<RepControl> out = RepControlFromTable(control->params(), summary);
  if (!out) return nullptr;
  RepParams* params = out->params();
  if (format != nullptr && *format != '\0') {
    RepParamsSetFormat(params, format);
    return out;
  }
  Ref<RepOutputTypeInfo> info;
  if (!RepOutputTypeInfoFromID(&info, RepParamsGetOutputType(params))) {
    RepOutputTypeInfoFromID(&info, 0);
  }
  std::string tail = StrOrEmpty(info->format_post());
  if (tail.empty()) tail = "\n";
  std::string field_post = StrOrEmpty(info->format_field_post());
  if (field_post.empty()) field_post = "  ";
  std::string generated;
  if (!RepGenFormatString(&generated, StrOrEmpty(info->format_pre()), tail.c_str(),
                          StrOrEmpty(info->format_field_pre()), field_post.c_str(),
                          summary->fields())) {
    return nullptr;
  }
  RepParamsSetFormat(params, generated.c_str());
  return out;
}

int RepOutputGroupBreaks(std::string* error, const char* directory, const RepControl* control,
                         int32_t output_type, const List* options, const RepGroupSpec& spec,
                         RepProgressCallback progress, void* progress_argument) noexcept {
  if (output_type != 0 && output_type != 1) {
    return Fail(error, "group breaks are written in plain text and HTML reports only");
  }
  if (directory == nullptr || control == nullptr || control->table() == nullptr) {
    return Fail(error, "no report to write");
  }
  std::vector<RepGroupRun> runs;
  std::string message;
  if (!RepGroupRuns(&runs, &message, control->table(), spec)) return Fail(error, message);
  const bool html = output_type == 1;
  const Writer writer = html ? &RepOutputHTMLText : &RepOutputPlainText;
  std::string body;
  PathBuild(&body, directory, html ? "output.html" : "output.txt", nullptr);

  // Header alone: the report's own body switched off.
  const List* no_records_options = nullptr;
  Ref<List> quiet = WithOptions(options, {{"autocolumnheaders", false},
                                          {"disablerecordoutput", true},
                                          {"outputtotalrecord", false},
                                          {"outputaveragerecord", false}});
  no_records_options = quiet.get();
  Ref<RepControl> head = ControlWith(control, control->table(), nullptr, "");
  if (!head || !RepOutputReport(&message, directory, head.get(), output_type, 0,
                                no_records_options, nullptr, nullptr, nullptr, nullptr, nullptr)) {
    return Fail(error, message.empty() ? "cannot write the report's header" : message);
  }
  if (runs.empty()) {  // the empty-report text, as without breaks
    if (!writer(control, body.c_str(), options, progress, progress_argument)) {
      return Fail(error, "cannot write the report");
    }
  } else {
    // Column headers once, above the first group.
    Ref<List> headers = WithOptions(options, {{"disablerecordoutput", true},
                                              {"outputtotalrecord", false},
                                              {"outputaveragerecord", false}});
    Ref<List> format_fields;
    RepFieldsInString(&format_fields, RepParamsGetFormat(control->params()),
                      control->possible_fields());
    const BreakRun run = {control, &spec, &body, writer, html,
                          format_fields ? format_fields->size() : 1, options, progress,
                          progress_argument};
    if (!writer(control, body.c_str(), headers.get(), progress, progress_argument)) {
      return Fail(error, "cannot write the report's column headers");
    }
    for (const RepGroupRun& group : runs) {
      if (!WriteGroup(run, group)) return Fail(error, "cannot write a group of the report");
    }
    // The grand total over every record.
    Ref<List> total = WithOptions(options, {{"autocolumnheaders", false},
                                            {"disablerecordoutput", true},
                                            {"outputtotalrecord", true}});
    if (!AppendToFile(body, html ? "</tbody>\n<tbody class='group'>\n<tr class='group'><th "
                                   "colspan='" + std::to_string(run.columns) +
                                       "'>All groups</th></tr>\n"
                                 : "\nAll groups\n") ||
        !writer(control, body.c_str(), total.get(), progress, progress_argument)) {
      return Fail(error, "cannot write the report's grand total");
    }
  }
  Ref<RepControl> foot = ControlWith(control, control->table(), "", nullptr);
  if (!foot || !RepOutputReport(&message, directory, foot.get(), output_type, 0,
                                no_records_options, nullptr, nullptr, nullptr, nullptr, nullptr)) {
    return Fail(error, message.empty() ? "cannot write the report's footer" : message);
  }
  TraceMessage(kTag, 2, 0, 2, "Wrote %zu groups with breaks", runs.size());
  return 1;
}

int RepGroupChartSvg(std::string* svg, std::string* error, const RepTable* table,
                     const std::vector<std::string>& label_fields, const char* value_field,
                     const char* title, size_t max_bars) noexcept {
  if (svg == nullptr || table == nullptr || table->fields() == nullptr || value_field == nullptr) {
    return Fail(error, "no table to chart");
  }
  int32_t value_index = -1, value_type = 0;
  if (RepGetFieldIndexAndType(&value_index, &value_type, value_field, table->fields()) != kRepOk) {
    return Fail(error, std::string("chart: no field '") + value_field + "' in the summary");
  }
  if (value_type != kRepTypeInteger && value_type != kRepTypeInt64 &&
      value_type != kRepTypeDataCount && value_type != kRepTypeTimePassed) {
    return Fail(error, std::string("chart: '") + value_field + "' is not a number, count, " +
                           "data count or duration");
  }
  std::vector<int32_t> labels;
  for (const std::string& name : label_fields) {
    int32_t index = -1;
    if (RepGetFieldIndex(&index, name.c_str(), table->fields()) != kRepOk) {
      return Fail(error, "chart: no field '" + name + "' in the summary");
    }
    labels.push_back(index);
  }
  const List* records = table->records();
  const size_t total = records != nullptr ? records->size() : 0;
  const size_t bars = std::min(total, max_bars > 0 ? max_bars : total);
  const RepFieldDef* vf = ObjCast<RepFieldDef>(table->fields()->at(static_cast<size_t>(value_index)));
  double top = 0;
  for (size_t i = 0; i < bars; ++i) {
    const RepRecord* r = ObjCast<RepRecord>(records->at(i));
    top = std::max(top, NumberOf(r->value_at(static_cast<size_t>(value_index))));
  }
  // Geometry: 960 wide (fits 1280 px and an A4 page), one 22 px row per bar.
  constexpr int kWidth = 960, kLabel = 220, kBarMax = 600, kRow = 22, kTop = 34;
  const int height = kTop + static_cast<int>(bars) * kRow + (bars < total ? kRow : 0) + 8;
  std::string out = "<svg xmlns='http://www.w3.org/2000/svg' width='" + std::to_string(kWidth) +
                    "' height='" + std::to_string(height) + "' viewBox='0 0 " +
                    std::to_string(kWidth) + " " + std::to_string(height) +
                    "' role='img' style='max-width:100%;height:auto' font-family='sans-serif' "
                    "font-size='13'>";
  out += "<title>";
  AppendSvgText(&out, StrOrEmpty(title));
  out += "</title><text x='0' y='18' font-size='15' font-weight='bold' fill='#222'>";
  AppendSvgText(&out, StrOrEmpty(title));
  out += "</text>";
  DString scratch;
  for (size_t i = 0; i < bars; ++i) {
    const RepRecord* r = ObjCast<RepRecord>(records->at(i));
    const int y = kTop + static_cast<int>(i) * kRow;
    std::string label;
    for (size_t k = 0; k < labels.size(); ++k) {
      const size_t li = static_cast<size_t>(labels[k]);
      std::string_view text;
      if (RepFieldValueToText(&text, &scratch, ObjCast<RepFieldDef>(table->fields()->at(li)),
                              r->value_at(li), 1) != kRepOk) {
        text = "?";
      }
      if (k > 0) label += " / ";
      label += text;
    }
    const RepFieldValue* v = r->value_at(static_cast<size_t>(value_index));
    const double x = NumberOf(v);
    const int w = top > 0 && x > 0 ? std::max(1, static_cast<int>(x / top * kBarMax)) : 0;
    std::string_view value_text;
    if (RepFieldValueToText(&value_text, &scratch, vf, v, 1) != kRepOk) value_text = "?";
    out += "<text x='" + std::to_string(kLabel - 8) + "' y='" + std::to_string(y + 15) +
           "' text-anchor='end' fill='#222'>";
    AppendSvgText(&out, label);
    out += "</text><rect x='" + std::to_string(kLabel) + "' y='" + std::to_string(y + 3) +
           "' width='" + std::to_string(w) + "' height='" + std::to_string(kRow - 6) +
           "' fill='#3a6ea5'/><text x='" + std::to_string(kLabel + w + 6) + "' y='" +
           std::to_string(y + 15) + "' fill='#222'>";
    AppendSvgText(&out, value_text);
    out += "</text>";
  }
  if (bars < total) {
    out += "<text x='" + std::to_string(kLabel) + "' y='" +
           std::to_string(kTop + static_cast<int>(bars) * kRow + 15) + "' fill='#555'>" +
           std::to_string(total - bars) + " more not shown</text>";
  }
  out += "</svg>";
  *svg = std::move(out);
  return 1;
}
