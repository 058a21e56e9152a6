// The produced-report store: produced reports kept on disk so that they can be re-processed and
// output later.
//
// A stored report is two files under the reports directory, in the directory of the day it was
// produced:
//
//   produced/YYYYMMDD/control/<name>   the report's control object without its records, and a
//                                      flag of the caller's (RepStoredControl)
//   produced/YYYYMMDD/records/<name>   the table's records and the filtered-out records
//                                      (RepStoredRecords)
//
// The produced report name is the key of both files and says where they lie:
//
//   <base name> % <YYYYMMDDhhmmss> % <output type, at least three digits> % <class file name>
//
// e.g. "weekly%20040305140709%002%jobs". The day directory of a name is the 8 characters after
// its first '%', so a base name cannot contain '%'; nor may it, or the class's file name, hold a
// path separator or be "..": every name that reaches a path is checked first.
//
// Files are replaced whole (written under a temporary name and renamed), so a crash or a full
// disk never leaves a half-written file that would read back as another report. Every access to
// a day directory holds that directory's path lock for the whole of its file operations.
//
// Thread safety: none beyond the runtime's; the path lock also excludes other threads and
// processes working on the same day directory.
#pragma once

#include <cstdint>
#include <string>

#include "kr/list.h"
#include "kr/object.h"
#include "reports/control.h"

// The control file's object: the report's control (its table's record list and its filtered-out
// list detached) and the caller's flag.
struct RepStoredControl : ObjView<RepStoredControl> {
  static constexpr uint32_t kTypeCode = 0xc998acd8;
  static constexpr const char kSpec[] = "o;b;o;";
  static constexpr const char kName[] = "RepStoredControl";

  RepControl* control() const noexcept { return ObjCast<RepControl>(ObjSlot<1>()); }
  bool flag() const noexcept { return BoolSlot<2>(); }

  void set_control(Ref<RepControl> v) noexcept { SetObjSlot<1>(std::move(v)); }
  void set_flag(bool v) noexcept { SetBoolSlot<2>(v); }
};

// The records file's object: the table's record list and the filtered-out list (either may be
// null).
struct RepStoredRecords : ObjView<RepStoredRecords> {
  static constexpr uint32_t kTypeCode = 0xcb2acc60;
  static constexpr const char kSpec[] = "o;o;o;";
  static constexpr const char kName[] = "RepStoredRecords";

  List* records() const noexcept { return ObjCast<List>(ObjSlot<1>()); }
  List* filtered_out() const noexcept { return ObjCast<List>(ObjSlot<2>()); }

  void set_records(Ref<List> v) noexcept { SetObjSlot<1>(std::move(v)); }
  void set_filtered_out(Ref<List> v) noexcept { SetObjSlot<2>(std::move(v)); }
};

// A decoded produced report name.
struct RepProducedReportName : ObjView<RepProducedReportName> {
  static constexpr uint32_t kTypeCode = 0xcaf50785;
  static constexpr const char kSpec[] = "s;i;i;s;s;";
  static constexpr const char kName[] = "RepProducedReportName";

  const char* base_name() const noexcept { return StrSlot<1>(); }
  int32_t time_of_production() const noexcept { return IntSlot<2>(); }  // time_t
  int32_t output_type() const noexcept { return IntSlot<3>(); }
  const char* class_name() const noexcept { return StrSlot<4>(); }  // the class's file name
  const char* class_nice_name() const noexcept { return StrSlot<5>(); }

  void set_base_name(const char* v) noexcept { SetStrSlot<1>(v); }
  void set_time_of_production(int32_t v) noexcept { SetIntSlot<2>(v); }
  void set_output_type(int32_t v) noexcept { SetIntSlot<3>(v); }
  void set_class_name(const char* v) noexcept { SetStrSlot<4>(v); }
  void set_class_nice_name(const char* v) noexcept { SetStrSlot<5>(v); }
};

// Stores a produced report under a new name made from `base_name` (may be null or empty), the
// class named in the control's parameters (a nice name, found in `classes`), the parameters'
// output type and the current time; `flag` is kept and handed back by RepReConstructProducedReport.
// The caller's control is left as it was. 1 and the name; 0 (traced) when the control holds no
// records, the base name is unusable, the class is unknown or a file cannot be written. When the
// records file fails, the control file stays.
int RepSerialiseProducedReport(std::string* name, const char* base_name, RepControl* control,
                               const List* classes, int flag) noexcept;

// Reads a stored report's control file. With `with_records` 1 the records file is read too and
// its lists are put into the control's table and filtered-out slot (unless the stored control has
// no table). 1/0; a file that does not hold what the store writes fails like a missing one.
int RepReConstructProducedReport(Ref<RepStoredControl>* stored, const char* name,
                                 int with_records) noexcept;

// Reads only a stored report's records file. 1/0.
int RepReConstructProducedRecords(Ref<RepStoredRecords>* records, const char* name) noexcept;

// Deletes a stored report: its control file, then its records file (left when the control file
// cannot be deleted). 1 when both went.
int RepDeleteProducedReport(const char* name) noexcept;

// Decodes a produced report name and fills the class's nice name from its class file under
// `directory` (the reports directory: directory/classes/<class file name>). 1/0.
int RepDecodeProducedFileName(Ref<RepProducedReportName>* decoded, const char* name,
                              const char* directory) noexcept;

// The same, taking the nice name from the class of `classes` with the name's class file name.
int RepDecodeProducedFileNameWithClassList(Ref<RepProducedReportName>* decoded, const char* name,
                                           const List* classes) noexcept;
