// The produced-report store: names, day directories, the control and records files.

#include "reports/produced.h"

#include <cinttypes>
#include <cstring>
#include <memory>
#include <string>

#include "kr/file.h"
#include "kr/path.h"
#include "kr/serialize.h"
#include "kr/text.h"
#include "kr/time.h"
#include "kr/trace.h"
#include "reports/classes.h"
#include "reports/outputtypes.h"
#include "reports/params.h"
#include "reports/utilities.h"

namespace {

constexpr const char* kTag = "REPPROD";

// The runtime's lock call takes the time to wait for another holder, in seconds. Storing waits
// longest: a report that was produced must not be lost because a reader was slow.
constexpr int kStoreLockWait = 666;
constexpr int kReadLockWait = 123;

constexpr size_t kDateLength = 8;    // YYYYMMDD
constexpr size_t kStampLength = 14;  // YYYYMMDDhhmmss

// Takes back, in its destructor, the two lists the store detaches from a control while the
// control file is written, so the caller's control is unchanged on every path.
class DetachedLists {
 public:
  explicit DetachedLists(RepControl* control) : control_(control) {
    records_ = Ref<List>::Share(control->table()->records());
    filtered_ = Ref<List>::Share(control->filtered_out());
    control->table()->set_records(nullptr);
    control->set_filtered_out(nullptr);
  }
  ~DetachedLists() {
    control_->table()->set_records(records_);
    control_->set_filtered_out(filtered_);
  }
  DetachedLists(const DetachedLists&) = delete;
  DetachedLists& operator=(const DetachedLists&) = delete;

  const Ref<List>& records() const { return records_; }
  const Ref<List>& filtered() const { return filtered_; }

 private:
  RepControl* control_;
  Ref<List> records_;
  Ref<List> filtered_;
};

// Writes an object whole: a reader sees the old file or the new one, never part of one.
bool WriteObjectFile(const Obj* obj, const std::string& path) {
  std::string bytes;
  if (!ObjSerializeToMemory(&bytes, obj)) return false;
  return FileWriteAtomic(path.c_str(), bytes.data(), bytes.size()) == 1;
}

bool AllDigits(const char* text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

// The day directory of a produced report name ("produced/YYYYMMDD" under the reports directory),
// after checking that the name is one file name and carries a date. Nothing is touched on disk.
bool DayDirOfName(std::string* day_dir, const char* name) {
  if (name == nullptr) return false;
  const char* marker = std::strchr(name, '%');
  if (marker == nullptr || std::strlen(marker + 1) < kDateLength ||
      !AllDigits(marker + 1, kDateLength)) {
    TraceMessage(kTag, 1, 0, -1, "Munged produced reports file name '%s'", name);
    return false;
  }
  if (!PathIsSafeName(name)) {
    TraceMessage(kTag, 2, 0, -1, "Refusing produced report name '%s': it is not a plain file name",
                 name);
    return false;
  }
  const std::string date(marker + 1, kDateLength);
  return RepPathBuild(day_dir, "produced", date.c_str(), nullptr) == kRepOk;
}

// Makes sure the day directory of `now` and its two subdirectories exist, and locks it.
bool PrepareDayDir(std::string* day_dir, std::unique_ptr<PathLockHandle>* lock, int64_t now) {
  char date[kDateLength + 1];
  if (!TimeToNumericDateString(date, sizeof date, now)) return false;
  std::string reports;
  if (!RepGetReportsDir(&reports)) {
    TraceMessage(kTag, 3, 0, -1, "Failed to get reports directory");
    return false;
  }
  if (!PathBuild(day_dir, reports.c_str(), "produced", date, nullptr)) return false;

  // Another process may be making the same day directory at this moment: it can exist before
  // its two subdirectories do, and the lock is on the day directory itself, so they are made
  // sure of whether it was there or not (making a directory that is there succeeds).
  const bool existed = PathIsDirectory(day_dir->c_str()) == 1;
  if (existed) {
    TraceMessage(kTag, 4, 0, 3, "Produced reports dir '%s' exists. Fine.", day_dir->c_str());
  }
  bool made = true;
  std::string sub;
  if (!existed && !PathCreateDirectory(day_dir->c_str())) {
    TraceMessage(kTag, 5, 0, -1, "Failed to create produced reports dir '%s'", day_dir->c_str());
    made = false;
  } else if (!PathBuild(&sub, day_dir->c_str(), "control", nullptr) ||
             !PathCreateDirectory(sub.c_str())) {
    TraceMessage(kTag, 6, 0, -1, "Failed to create produced reports control dir '%s'", sub.c_str());
    made = false;
  } else if (!PathBuild(&sub, day_dir->c_str(), "records", nullptr) ||
             !PathCreateDirectory(sub.c_str())) {
    TraceMessage(kTag, 7, 0, -1, "Failed to create produced reports records dir '%s'", sub.c_str());
    made = false;
  }
  if (!made) {
    TraceMessage(kTag, 8, 0, -1, "Produced reports dir '%s' is not a directory or wont create",
                 day_dir->c_str());
    return false;
  }
  if (!existed) {
    TraceMessage(kTag, 9, 0, 2, "Created new produced reports dir '%s'", day_dir->c_str());
  }
  if (!PathLock(lock, day_dir->c_str(), kStoreLockWait)) {
    TraceMessage(kTag, 10, 0, -1, "Error locking produced reports directory '%s'",
                 day_dir->c_str());
    return false;
  }
  TraceMessage(kTag, 11, 0, 3, "Have locked produced reports directory '%s' OK", day_dir->c_str());
  return true;
}

// The produced report name of a report stored at `now`.
bool MakeProducedName(std::string* name, const char* base_name, const RepParams* params,
                      const List* classes, int64_t now) {
  const char* nice = RepParamsGetClass(params);
  Ref<RepClass> found;
  if (RepFindClassFromNiceName(&found, nice, classes) != kRepClassOk || !found) {
    TraceMessage(kTag, 12, 0, -1,
                 "Cannot find info on class '%s' when serializing produced reports",
                 StrOrEmpty(nice));
    return false;
  }
  char date[kDateLength + 1];
  char time_of_day[7];
  if (!TimeToNumericDateString(date, sizeof date, now) ||
      !TimeToShortTimeOfDayString(time_of_day, sizeof time_of_day, now)) {
    return false;
  }
  char type[24];
  std::snprintf(type, sizeof type, "%.3" PRId32, RepParamsGetOutputType(params));

  std::string text;
  text.reserve(1000);
  text += StrOrEmpty(base_name);
  text += '%';
  text += date;
  text += time_of_day;
  text += '%';
  text += type;
  text += '%';
  text += StrOrEmpty(found->file_name());
  // The class's file name becomes part of a file name: it must keep the name one component.
  if (found->file_name() == nullptr || std::strchr(found->file_name(), '%') != nullptr ||
      !PathIsSafeName(found->file_name()) || !PathIsSafeName(text.c_str())) {
    TraceMessage(kTag, 13, 0, -1, "Produced report name '%s' is not a plain file name",
                 text.c_str());
    return false;
  }
  *name = std::move(text);
  return true;
}

// Reads and checks a records file; `fields` (may be null) is the table's field list.
bool ReadRecordsFile(Ref<RepStoredRecords>* out, const std::string& path,
                     const RepFieldList* fields) {
  Ref<Obj> obj;
  if (!ObjReconstructFromFile(&obj, path.c_str())) return false;
  Ref<RepStoredRecords> stored = RefCast<RepStoredRecords>(std::move(obj));
  if (!stored) return false;
  Obj* records = stored->ObjSlot<1>();
  Obj* filtered = stored->ObjSlot<2>();
  if ((records != nullptr && stored->records() == nullptr) ||
      (filtered != nullptr && stored->filtered_out() == nullptr)) {
    return false;
  }
  if (!kr_internal::RepCheckIncomingRecords(stored->records(), fields) ||
      !kr_internal::RepCheckIncomingRecords(stored->filtered_out(), fields)) {
    return false;
  }
  *out = std::move(stored);
  return true;
}

// Reads and checks a control file.
bool ReadControlFile(Ref<RepStoredControl>* out, const std::string& path) {
  Ref<Obj> obj;
  if (!ObjReconstructFromFile(&obj, path.c_str())) return false;
  Ref<RepStoredControl> stored = RefCast<RepStoredControl>(std::move(obj));
  if (!stored || stored->control() == nullptr) return false;
  const RepControl* control = stored->control();
  if (control->params() == nullptr) return false;
  // A table present must be a table with a field list; its record list was stored apart.
  if (control->ObjSlot<4>() != nullptr &&
      (control->table() == nullptr || control->table()->fields() == nullptr)) {
    return false;
  }
  *out = std::move(stored);
  return true;
}

// Holds the lock of a name's day directory for a read or a delete.
bool LockDayDirOfName(std::string* day_dir, std::unique_ptr<PathLockHandle>* lock,
                      const char* name) {
  if (!DayDirOfName(day_dir, name)) return false;
  if (!PathLock(lock, day_dir->c_str(), kReadLockWait)) {
    TraceMessage(kTag, 14, 0, -1, "Failed to lock produced reports sub-dir '%s'", day_dir->c_str());
    return false;
  }
  return true;
}

// Decodes the four parts of a name into a new object (nice name not yet filled).
bool DecodeName(Ref<RepProducedReportName>* out, const char* name) {
  if (name == nullptr) return false;
  const char* first = std::strchr(name, '%');
  if (first == nullptr) {
    TraceMessage(kTag, 15, 0, -1, "Missing end of base name marker in produced report name '%s'",
                 name);
    return false;
  }
  const char* second = std::strchr(first + 1, '%');
  if (second == nullptr) {
    TraceMessage(kTag, 16, 0, -1, "Missing end of date marker in produced report name '%s'", name);
    return false;
  }
  const std::string stamp(first + 1, second);
  long year = 0, month = 0, day = 0, hour = 0, minute = 0, second_of_minute = 0;
  TimeBreakdown bd{};
  int64_t when = 0;
  bool stamp_ok = stamp.size() == kStampLength && AllDigits(stamp.data(), kStampLength) &&
                  std::sscanf(stamp.c_str(), "%4ld%2ld%2ld%2ld%2ld%2ld", &year, &month, &day, &hour,
                              &minute, &second_of_minute) == 6;
  if (stamp_ok) {
    bd.w[kTimeBdYear] = static_cast<int32_t>(year);
    bd.w[kTimeBdMonth] = static_cast<int32_t>(month);
    bd.w[kTimeBdDay] = static_cast<int32_t>(day);
    bd.w[kTimeBdHour] = static_cast<int32_t>(hour);
    bd.w[kTimeBdMinute] = static_cast<int32_t>(minute);
    bd.w[kTimeBdSecond] = static_cast<int32_t>(second_of_minute);
    // The decoded name holds the time in a 32-bit slot: a stamp past its range is refused
    // rather than handed back as another time.
    stamp_ok = TimeFromBreakdown(&when, &bd) == 1 && when >= INT32_MIN && when <= INT32_MAX;
  }
  if (!stamp_ok) {
    TraceMessage(kTag, 17, 0, -1, "Invalid date/time in produced report name '%s'", name);
    return false;
  }
  const char* third = std::strchr(second + 1, '%');
  if (third == nullptr) {
    TraceMessage(kTag, 18, 0, -1, "Missing end of output type marker in produced report name '%s'",
                 name);
    return false;
  }
  const std::string type_text(second + 1, third);
  long type = -1;
  if (type_text.empty() || type_text.size() > 3 || !AllDigits(type_text.data(), type_text.size()) ||
      std::sscanf(type_text.c_str(), "%3ld", &type) != 1 ||
      !RepIsValidOutputType(static_cast<int32_t>(type))) {
    TraceMessage(kTag, 19, 0, -1, "Bad output type %ld in produced report name '%s'", type, name);
    return false;
  }
  const char* class_name = third + 1;
  if (*class_name == '\0') {
    TraceMessage(kTag, 20, 0, -1, "Missing class in produced report name '%s'", name);
    return false;
  }
  // The class name is used to open the class file: it must be one plain component. The base
  // name and date go into no path here, but a name that could not have been stored is refused.
  if (!PathIsSafeName(class_name) || !PathIsSafeName(name)) {
    TraceMessage(kTag, 21, 0, -1, "Refusing produced report name '%s': it is not a plain file name",
                 name);
    return false;
  }
  Ref<RepProducedReportName> decoded = RepProducedReportName::New();
  const std::string base(name, first);
  decoded->set_base_name(base.c_str());
  decoded->set_time_of_production(static_cast<int32_t>(when));
  decoded->set_output_type(static_cast<int32_t>(type));
  decoded->set_class_name(class_name);
  TraceMessage(kTag, 22, 0, 3, "Succesfully interpreted good produced reports name '%s'", name);
  *out = std::move(decoded);
  return true;
}

}  // namespace

int RepSerialiseProducedReport(std::string* name, const char* base_name, RepControl* control,
                               const List* classes, int flag) noexcept {
  if (name == nullptr || control == nullptr) return 0;
  if (control->table() == nullptr || control->table()->records() == nullptr) {
    TraceMessage(kTag, 30, 0, -1, "Wont serialise report control object - records not produced");
    return 0;
  }
  if (base_name != nullptr && *base_name != '\0' &&
      (std::strchr(base_name, '%') != nullptr || !PathIsSafeName(base_name))) {
    TraceMessage(kTag, 31, 0, -1,
                 "Refusing produced report base name '%s': it must be a plain file name "
                 "without '%%'",
                 base_name);
    return 0;
  }
  int64_t now = 0;
  if (!QuorTime(&now)) {
    TraceMessage(kTag, 32, 0, -1, "Cannot get quor time!");
    return 0;
  }
  std::string day_dir;
  std::unique_ptr<PathLockHandle> lock;
  if (!PrepareDayDir(&day_dir, &lock, now)) {
    TraceMessage(kTag, 33, 0, -1, "Failed to lock produced reports dir");
    return 0;
  }
  std::string produced;
  if (!MakeProducedName(&produced, base_name, control->params(), classes, now)) {
    TraceMessage(kTag, 34, 0, -1, "Wont store report - cannot generate file name");
    return 0;
  }

  std::string control_path, records_path;
  PathBuild(&control_path, day_dir.c_str(), "control", produced.c_str(), nullptr);
  PathBuild(&records_path, day_dir.c_str(), "records", produced.c_str(), nullptr);

  DetachedLists detached(control);
  Ref<RepStoredControl> stored_control = RepStoredControl::New();
  stored_control->set_control(Ref<RepControl>::Share(control));
  stored_control->set_flag(flag != 0);
  const bool control_written = WriteObjectFile(stored_control.get(), control_path);
  // The stored object holds a reference to the caller's control; let go of it before the lists
  // go back.
  stored_control.reset();
  if (!control_written) {
    TraceMessage(kTag, 35, 0, -1, "Failed to serialize report control object to file '%s'",
                 control_path.c_str());
    return 0;
  }
  TraceMessage(kTag, 36, 0, 2, "Serialised report control object succesfully to file '%s'",
               control_path.c_str());

  Ref<RepStoredRecords> stored_records = RepStoredRecords::New();
  stored_records->set_records(detached.records());
  stored_records->set_filtered_out(detached.filtered());
  if (!WriteObjectFile(stored_records.get(), records_path)) {
    TraceMessage(kTag, 37, 0, -1, "Failed to serialize report records to file '%s'",
                 records_path.c_str());
    return 0;
  }
  TraceMessage(kTag, 38, 0, 2, "Serialised report records succesfully to file '%s'",
               records_path.c_str());
  *name = std::move(produced);
  return 1;
}

int RepReConstructProducedReport(Ref<RepStoredControl>* stored, const char* name,
                                 int with_records) noexcept {
  if (stored == nullptr) return 0;
  std::string day_dir;
  std::unique_ptr<PathLockHandle> lock;
  if (!LockDayDirOfName(&day_dir, &lock, name)) return 0;

  std::string control_path;
  PathBuild(&control_path, day_dir.c_str(), "control", name, nullptr);
  Ref<RepStoredControl> result;
  if (!ReadControlFile(&result, control_path)) {
    TraceMessage(kTag, 40, 0, -1, "Failed to reconstruct control object from '%s'",
                 control_path.c_str());
    return 0;
  }
  RepControl* control = result->control();
  if (with_records == 1 && control->table() != nullptr) {
    control->table()->set_records(nullptr);
    control->set_filtered_out(nullptr);
    std::string records_path;
    PathBuild(&records_path, day_dir.c_str(), "records", name, nullptr);
    Ref<RepStoredRecords> records;
    if (!ReadRecordsFile(&records, records_path, control->table()->fields())) {
      TraceMessage(kTag, 41, 0, -1, "Failed to reconstruct records from '%s'",
                   records_path.c_str());
      return 0;
    }
    control->table()->set_records(Ref<List>::Share(records->records()));
    control->set_filtered_out(Ref<List>::Share(records->filtered_out()));
  }
  *stored = std::move(result);
  return 1;
}

int RepReConstructProducedRecords(Ref<RepStoredRecords>* records, const char* name) noexcept {
  if (records == nullptr) return 0;
  std::string day_dir;
  std::unique_ptr<PathLockHandle> lock;
  if (!LockDayDirOfName(&day_dir, &lock, name)) return 0;
  std::string records_path;
  PathBuild(&records_path, day_dir.c_str(), "records", name, nullptr);
  // Without the control file the field list is not at hand: the records' shape is checked, their
  // values against their fields when the caller puts them back under a table.
  if (!ReadRecordsFile(records, records_path, nullptr)) {
    TraceMessage(kTag, 42, 0, -1, "Failed to reconstruct records from '%s'", records_path.c_str());
    return 0;
  }
  return 1;
}

int RepDeleteProducedReport(const char* name) noexcept {
  std::string day_dir;
  std::unique_ptr<PathLockHandle> lock;
  if (!LockDayDirOfName(&day_dir, &lock, name)) return 0;
  std::string control_path, records_path;
  PathBuild(&control_path, day_dir.c_str(), "control", name, nullptr);
  PathBuild(&records_path, day_dir.c_str(), "records", name, nullptr);
  if (!FileDelete(control_path.c_str())) {
    TraceMessage(kTag, 50, 0, -1, "Warning - Failed to delete produced control file '%s'",
                 control_path.c_str());
    return 0;
  }
  if (!FileDelete(records_path.c_str())) {
    TraceMessage(kTag, 51, 0, -1, "Warning - Failed to delete produced records file '%s'",
                 records_path.c_str());
    return 0;
  }
  TraceMessage(kTag, 52, 0, 2, "Deleted produced report '%s' ok", name);
  return 1;
}

int RepDecodeProducedFileName(Ref<RepProducedReportName>* decoded, const char* name,
                              const char* directory) noexcept {
  if (decoded == nullptr || directory == nullptr) return 0;
  Ref<RepProducedReportName> result;
  if (!DecodeName(&result, name)) {
    TraceMessage(kTag, 60, 0, -1, "Failed to decide file name basics");
    return 0;
  }
  std::string path, text, nice;
  PathBuild(&path, directory, "classes", result->class_name(), nullptr);
  if (!LoadTextFile(&text, path.c_str()) ||
      RepGetClassNiceName(&nice, result->class_name(), text.c_str()) != kRepClassOk) {
    TraceMessage(kTag, 61, 0, -1, "Cannot load class file '%s'", path.c_str());
    return 0;
  }
  result->set_class_nice_name(nice.c_str());
  *decoded = std::move(result);
  return 1;
}

int RepDecodeProducedFileNameWithClassList(Ref<RepProducedReportName>* decoded, const char* name,
                                           const List* classes) noexcept {
  if (decoded == nullptr) return 0;
  Ref<RepProducedReportName> result;
  if (!DecodeName(&result, name)) {
    TraceMessage(kTag, 62, 0, -1, "Failed to decide file name basics");
    return 0;
  }
  Ref<RepClass> found;
  if (RepFindClassFromRealName(&found, result->class_name(), classes) != kRepClassOk || !found) {
    TraceMessage(kTag, 63, 0, -1, "Failed to find info on real class name '%s'",
                 result->class_name());
    return 0;
  }
  result->set_class_nice_name(found->nice_name());
  *decoded = std::move(result);
  return 1;
}
