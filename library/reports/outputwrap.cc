// The report output wrapper: output directories, header and footer texts with their images, the
// body by the output type's writer, and the text replace fields.

#include "reports/outputwrap.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kr/config.h"
#include "kr/context.h"
#include "kr/file.h"
#include "kr/path.h"
#include "kr/text.h"
#include "kr/time.h"
#include "kr/trace.h"
#include "reports/format.h"
#include "reports/outputtypes.h"
#include "reports/outputwriters.h"
#include "reports/params.h"
#include "reports/reports.h"
#include "reports/utilities.h"

namespace {

constexpr const char* kTag = "REPOUTWRAP";

const char* BodyFileName(bool html) { return html ? "output.html" : "output.txt"; }

bool IsEmpty(const char* text) { return text == nullptr || *text == '\0'; }

void SetUserError(std::string* error_text, const char* text, int id) {
  if (error_text != nullptr) *error_text = LocaleGetString(text, id);
}

// --- the text replace fields ---------------------------------------------------------------------

// What the wrapper knows of the moment and the machine, gathered once per text.
struct ReplaceValues {
  bool have_time = false;
  int64_t now = 0;
};

Ref<Obj> DateValue(int64_t t) {
  TimeDate date{};
  if (!RepDateFromTimeT(&date, t)) return nullptr;
  Ref<RepDateValue> v = RepDateValue::New();
  v->set_year(date.year);
  v->set_month(date.month);
  v->set_day(date.day);
  return v;
}

Ref<Obj> TimeValue(int64_t t) {
  TimeOfDay tod{};
  if (!RepTimeFromTimeT(&tod, t)) return nullptr;
  Ref<RepTimeValue> v = RepTimeValue::New();
  v->set_hour(tod.hour);
  v->set_minute(tod.minute);
  v->set_second(tod.second);
  return v;
}

Ref<Obj> StringValue(const char* text) { return ObjNewString(StrOrEmpty(text)); }

// Puts `made` into `value` when it fits the field's type; a field declared with another type in
// the installation's fields file keeps its blank value.
void Put(RepFieldValue* value, const RepFieldDef* field, int32_t made_type, Ref<Obj> made) {
  if (!made) return;
  const int32_t type = field->type();
  if (type == made_type) {
    value->set_value(std::move(made));
  } else if (made_type == kRepTypeInteger && (type == kRepTypeInt64 || type == kRepTypeDataCount)) {
    value->set_value(ObjNewInt64(ObjGetInteger(made.get())));
  } else {
    TraceMessage(kTag, 1, 0, -1, "Text replace field '%s' has type %" PRId32 ", not %" PRId32,
                 field->name(), type, made_type);
  }
}

// Fills the wrapper's own fields of the record (by name, case-blind); the per-report fields only
// with a control.
void FillOwnFields(const RepFieldList* fields, RepRecord* record, const RepControl* control,
                   const ReplaceValues& now) {
  for (size_t i = 0; i < fields->size(); ++i) {
    const RepFieldDef* field = ObjCast<RepFieldDef>(fields->at(i));
    RepFieldValue* value = record->value_at(i);
    if (field == nullptr || value == nullptr || field->name() == nullptr) continue;
    const char* name = field->name();
    auto is = [name](const char* want) { return strcasecmp(name, want) == 0; };
    if (is("datenow")) {
      Put(value, field, kRepTypeDate, DateValue(now.now));
    } else if (is("timenow")) {
      Put(value, field, kRepTypeTime, TimeValue(now.now));
    } else if (is("servername")) {
      Put(value, field, kRepTypeString, StringValue(SysLocalMachineName()));
    } else if (is("serverversion")) {
      MachInfo info;
      if (MachInfoFind(&info, SysLocalMachineName())) {
        Put(value, field, kRepTypeString, StringValue(MachInfoKEVersionString(&info)));
      }
    } else if (is("serverdescription")) {
      std::string description;
      if (CfgGetString(&description, "configure.cfg", "Details", "Description")) {
        Put(value, field, kRepTypeString, StringValue(description.c_str()));
      } else {
        value->set_state(kRepStateUnknown);
      }
    } else if (control == nullptr) {
      continue;
    } else if (is("reporttype")) {
      Put(value, field, kRepTypeString, StringValue(RepParamsGetClass(control->params())));
    } else if (is("numrecords")) {
      Put(value, field, kRepTypeInteger,
          ObjNewInteger(static_cast<int32_t>(RepGiveNumRecords(control))));
    } else if (is("datemade")) {
      Put(value, field, kRepTypeDate, DateValue(control->time_of_production()));
    } else if (is("timemade")) {
      Put(value, field, kRepTypeTime, TimeValue(control->time_of_production()));
    }
  }
}

// The fields a text may reference: the text replace fields, the per-report ones with a control,
// and the caller's. Null when the common file cannot be loaded.
Ref<List> ReplaceFields(const RepControl* control, const RepFieldList* extra_fields) {
  Ref<List> fields = ListNewFromPool();
  if (!RepLoadTableFields("textreplace", fields.get(), 1)) {
    TraceMessage(kTag, 2, 0, -1,
                 "Cannot load default text replace fields. Cannot replace field values in "
                 "output text.");
    return nullptr;
  }
  if (control != nullptr && !RepLoadTableFields("textreplaceperreport", fields.get(), 1)) {
    TraceMessage(kTag, 3, 0, -1,
                 "Failed to load per report text replace fields. Wont be able to replace values "
                 "for them.");
  }
  if (extra_fields != nullptr) {
    for (Obj* field : *extra_fields) ListAddLastItem(fields.get(), field);
  }
  return fields;
}

// Writes a text with its references filled in. -1 when the text needs no replacing after all.
int WriteReplaced(const std::string& path, const char* text, const RepControl* control,
                  RepValueCallback value_callback, const RepFieldList* extra_fields,
                  void* callback_argument) {
  Ref<List> all = ReplaceFields(control, extra_fields);
  if (!all) return -1;
  Ref<List> used;
  if (RepFieldsInString(&used, text, all.get()) != kRepOk || !used) return -1;
  TraceMessage(kTag, 4, 0, 2, "Need to fill in values for %ld fields",
               static_cast<long>(used->size()));
  if (used->empty()) return -1;

  Ref<List> distinct = ListNewFromPool();
  RepAddAnyNewFields(distinct.get(), distinct.get(), used.get());
  Ref<RepRecord> record = RepMakeBlankRecord(distinct.get(), kRepStateNormal);
  if (!record) return 0;
  ReplaceValues now;
  now.have_time = QuorTime(&now.now) == 1;
  if (now.have_time) {
    FillOwnFields(distinct.get(), record.get(), control, now);
  } else {
    TraceMessage(kTag, 5, 0, -1, "Cannot get QuorTime");
  }
  if (value_callback != nullptr &&
      value_callback(record->values(), distinct.get(), callback_argument) != 1) {
    TraceMessage(kTag, 6, 0, -1,
                 "Calling code supplied callback failed to supply some values for writing text "
                 "to output file.");
    return 0;
  }

  std::unique_ptr<FileSysFile> file;
  if (!FileSysFOpen(&file, path.c_str(), kFileSysModeAppend)) {
    TraceMessage(kTag, 7, 0, -1, "Cannot open output file '%s'", path.c_str());
    return 0;
  }
  Ref<List> records = ListNewFromPool();
  ListAddLastItem(records.get(), record.get());
  if (!RepOutputRecords(records.get(), distinct.get(), used.get(), text, file.get(), 1, 1, nullptr,
                        nullptr) ||
      !FileSysFClose(&file)) {
    TraceMessage(kTag, 8, 0, -1, "Failed to output text to output file '%s'", path.c_str());
    return 0;
  }
  TraceMessage(kTag, 9, 0, 3, "Have output text with field replacing to output file '%s'",
               path.c_str());
  return 1;
}

int WriteAsItIs(const std::string& path, const char* text) {
  std::unique_ptr<FileSysFile> file;
  if (!FileSysFOpen(&file, path.c_str(), kFileSysModeAppend)) {
    TraceMessage(kTag, 10, 0, -1, "Failed to open file '%s' for text append. Non-replace case.",
                 path.c_str());
    return 0;
  }
  if (!FileSysFPutString(file.get(), text) || !FileSysFClose(&file)) {
    TraceMessage(kTag, 11, 0, -1, "Failed to write text to output file '%s'. Non-replace case.",
                 path.c_str());
    return 0;
  }
  TraceMessage(kTag, 12, 0, 3, "Have output text without field replacing to output file '%s'",
               path.c_str());
  return 1;
}

// --- header and footer ---------------------------------------------------------------------------

// What differs between the header and the footer.
struct HeadFoot {
  const char* dir;  // "headers" or "footers"
  int default_id;
  int html_default_id;
  int text_default_id;
  const char* noun;          // "header" or "footer", as the load message names it
  const char* write_failed;  // traced
  const char* write_user;    // for the user
  int write_user_id;
  const char* images_failed;  // traced
  const char* images_user;    // for the user
  int images_user_id;
};

constexpr HeadFoot kHeader = {"headers",
                              8247,
                              8248,
                              8249,
                              "header",
                              "RepOutputReport() - Cannot output pre-text",
                              "Failed to output header/pre-text",
                              8259,
                              "Failed to copy pre-text images",
                              "Failed to copy header/pre-text images",
                              8258};
constexpr HeadFoot kFooter = {"footers",
                              8251,
                              8252,
                              8253,
                              "footer",
                              "RepOutputReport() - Cannot output post-text",
                              "Failed to output footer/post-text",
                              8256,
                              "Failed to output post text images",
                              "Failed to copy footer/post-text images",
                              8255};

// Writes the header or footer: the parameters' text, else the content of the named directory
// (whose images are then copied). 1/0, `error_text` set on failure.
int WriteHeadFoot(const HeadFoot& which, const char* own_text, const char* name,
                  const std::string& reports_dir, const char* directory, bool html_type,
                  bool html_on, const RepControl* control, RepValueCallback value_callback,
                  const RepFieldList* extra_fields, void* callback_argument,
                  std::string* error_text) {
  std::string text;
  std::string head_foot_dir;
  if (!IsEmpty(own_text)) {
    text = own_text;
  } else if (!IsEmpty(name)) {
    std::string resolved = name;
    if (resolved == LocaleGetString("Default", which.default_id)) {
      resolved = html_type ? LocaleGetString("HTMLDefault", which.html_default_id)
                           : LocaleGetString("TextDefault", which.text_default_id);
    }
    if (!PathIsSafeName(resolved.c_str())) {
      TraceMessage(kTag, 20, 0, -1,
                   "Refusing %s name '%s': it must be a plain name without separators or '..'",
                   which.dir, resolved.c_str());
    } else {
      std::string candidate, content;
      PathBuild(&candidate, reports_dir.c_str(), which.dir, resolved.c_str(), nullptr);
      PathBuild(&content, candidate.c_str(), "content", nullptr);
      if (LoadTextFile(&text, content.c_str())) {
        head_foot_dir = candidate;
      } else {
        TraceMessage(kTag, 21, 0, -1, "Failed to load report %s '%s'. Use no %s", which.noun,
                     candidate.c_str(), which.noun);
        text.clear();
      }
    }
  }
  if (!RepTextToOutputFile(directory, text.c_str(), html_on ? 1 : 0, 1, control, value_callback,
                           extra_fields, callback_argument)) {
    TraceMessage(kTag, 22, 0, -1, "%s", which.write_failed);
    SetUserError(error_text, which.write_user, which.write_user_id);
    return 0;
  }
  if (!head_foot_dir.empty() && !RepXferHeadFootImages(head_foot_dir.c_str(), directory)) {
    TraceMessage(kTag, 23, 0, -1, "%s", which.images_failed);
    SetUserError(error_text, which.images_user, which.images_user_id);
    return 0;
  }
  return 1;
}

// The pre-formatted wrapping texts of reports.cfg.
std::string WrapText(const char* key, const char* fallback) {
  std::string text;
  if (!CfgGetString(&text, "reports.cfg", "Reports", key, fallback)) text = fallback;
  return text;
}

}  // namespace

int RepInitOutputDir(std::string* directory, std::string* file_name, int html, const char* name,
                     int unique) noexcept {
  if (directory == nullptr || file_name == nullptr || name == nullptr) return 0;
  std::string dir_name;
  if (unique == 1) {
    for (const char* p = name; *p != '\0'; ++p) {
      const unsigned char c = static_cast<unsigned char>(*p);
      if (c < 0x80 && std::isalnum(c)) dir_name += *p;
    }
    char stamp[24];
    std::snprintf(stamp, sizeof stamp, "0x%" PRIx64, static_cast<uint64_t>(TimeNowAsInt64()));
    dir_name += stamp;
  } else {
    dir_name = name;
  }
  if (!PathIsSafeName(dir_name.c_str())) {
    TraceMessage(kTag, 30, 0, -1,
                 "Refusing output directory name '%s': it must be a plain name without "
                 "separators or '..'",
                 dir_name.c_str());
    return 0;
  }
  std::string path;
  if (!RepPathBuild(&path, "output", dir_name.c_str(), nullptr)) return 0;
  if (!PathCreateDirectory(path.c_str())) {
    TraceMessage(kTag, 31, 0, -1, "Failed to create directory '%s' for report output.",
                 path.c_str());
    return 0;
  }
  *directory = std::move(path);
  *file_name = BodyFileName(html == 1);
  return 1;
}

int RepOutputReport(std::string* error_text, const char* directory, const RepControl* control,
                    int32_t output_type, int html_wrap, const List* options,
                    RepValueCallback value_callback, const RepFieldList* extra_fields,
                    void* callback_argument, RepProgressCallback progress,
                    void* progress_argument) noexcept {
  std::string reports_dir;
  if (!RepGetReportsDir(&reports_dir)) {
    SetUserError(error_text, "Cannot get reports directory", 8261);
    return 0;
  }
  if (directory == nullptr || control == nullptr) {
    TraceMessage(kTag, 46, 0, -1, "Cannot output report - no output directory or no report");
    return 0;
  }
  Ref<RepOutputTypeInfo> info;
  if (!RepOutputTypeInfoFromID(&info, output_type)) {
    TraceMessage(kTag, 40, 0, -1, "Cannot output report - cannot get info on outputtype id %ld",
                 static_cast<long>(output_type));
    SetUserError(error_text, "Cannot get information for output type", 8260);
    return 0;
  }
  const bool html_type = info->html();
  const bool html_on = html_wrap == 1 || html_type;
  const bool wrapped = html_on && !html_type;
  if (wrapped) {
    const std::string pre = WrapText("PlainToHTMLPre", "<PRE>");
    RepTextToOutputFile(directory, pre.c_str(), 1, 0, nullptr, nullptr, nullptr, nullptr);
  }

  const RepParams* params = control->params();
  if (!WriteHeadFoot(kHeader, RepParamsGetHeaderText(params), RepParamsGetHeaderName(params),
                     reports_dir, directory, html_type, html_on, control, value_callback,
                     extra_fields, callback_argument, error_text)) {
    return 0;
  }

  std::string body;
  PathBuild(&body, directory, BodyFileName(html_on), nullptr);
  const long count = static_cast<long>(RepGiveNumRecords(control));
  int body_ok = 0;
  switch (output_type) {
    case kRepOutputPlainText:
      TraceMessage(kTag, 41, 0, 2, "Making a plain text report for output. %ld records.", count);
      body_ok = RepOutputPlainText(control, body.c_str(), options, progress, progress_argument);
      break;
    case kRepOutputHtmlText:
      TraceMessage(kTag, 42, 0, 2, "Making a HTML text report for output. %ld records.", count);
      body_ok = RepOutputHTMLText(control, body.c_str(), options, progress, progress_argument);
      break;
    default:
      TraceMessage(kTag, 43, 0, 2, "Making a CSV report for output. %ld records", count);
      body_ok = RepOutputCSV(control, body.c_str(), options, progress, progress_argument);
      break;
  }
  if (!body_ok) {
    TraceMessage(kTag, 44, 0, -1, "Failed to output report body.");
    SetUserError(error_text, "Failed to output report bosy", 8257);
    return 0;
  }

  if (!WriteHeadFoot(kFooter, RepParamsGetFooterText(params), RepParamsGetFooterName(params),
                     reports_dir, directory, html_type, html_on, control, value_callback,
                     extra_fields, callback_argument, error_text)) {
    return 0;
  }
  if (wrapped) {
    const std::string post = WrapText("PlainToHTMLPost", "</PRE>");
    RepTextToOutputFile(directory, post.c_str(), 1, 0, nullptr, nullptr, nullptr, nullptr);
  }
  TraceMessage(kTag, 45, 0, 2, "Report output successfully.");
  return 1;
}

int RepTextToOutputFile(const char* directory, const char* text, int html, int replace,
                        const RepControl* control, RepValueCallback value_callback,
                        const RepFieldList* extra_fields, void* callback_argument) noexcept {
  if (IsEmpty(text)) return 1;
  if (directory == nullptr) return 0;
  std::string path;
  if (!PathBuild(&path, directory, BodyFileName(html == 1), nullptr)) return 0;
  if (replace == 1) {
    const int replaced =
        WriteReplaced(path, text, control, value_callback, extra_fields, callback_argument);
    if (replaced >= 0) return replaced;
  }
  return WriteAsItIs(path, text);
}

int RepXferHeadFootImages(const char* head_foot_directory, const char* directory) noexcept {
  if (head_foot_directory == nullptr || directory == nullptr) return 0;
  if (!PathIsDirectory(head_foot_directory)) {
    TraceMessage(kTag, 50, 0, -1, "Header/footer dir '%s' does not exist", head_foot_directory);
    return 0;
  }
  std::string images;
  PathBuild(&images, head_foot_directory, "images", nullptr);
  if (!PathIsDirectory(images.c_str())) return 1;
  std::vector<DirEntry> entries;
  if (!DirScan(&entries, images.c_str())) {
    TraceMessage(kTag, 51, 0, -1, "Failed to scan images dir '%s'", images.c_str());
    return 0;
  }
  for (const DirEntry& entry : entries) {
    // Only plain files are images: a link could point anywhere, a directory cannot be copied
    // whole into one file.
    if (!entry.is_file || !PathIsSafeName(entry.name.c_str())) continue;
    std::string from, to;
    PathBuild(&from, images.c_str(), entry.name.c_str(), nullptr);
    PathBuild(&to, directory, entry.name.c_str(), nullptr);
    if (!FileCopy(from.c_str(), to.c_str())) {
      TraceMessage(kTag, 52, 0, -1, "Failed to copy file '%s' to '%s'", from.c_str(), to.c_str());
      return 0;
    }
  }
  TraceMessage(kTag, 53, 0, 2, "Successfully copied images from dir '%s'", images.c_str());
  return 1;
}

int RepDeleteOutputReport(const char* directory) noexcept {
  if (directory == nullptr) return 0;
  return PathRemoveDirectory(directory, true);
}
