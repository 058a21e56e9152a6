// Values, records and tables, and the encoding of values from text.
//
// A record holds one value for each field of its table's field list, in the list's order. Each
// value is a RepFieldValue: a state (RepValueState) and a typed value object whose form is fixed
// by the field's type:
//
//   integer, timepassed, systime   the runtime's integer object (systime: seconds since 1970 UTC)
//   string                         the runtime's string object
//   boolean                        the runtime's boolean object
//   int64, datacount               the runtime's 64-bit integer object (datacount: bytes)
//   unique                         the runtime's unique-id object
//   date, time, hdwmycount, daysinweek, daysinmonth, weeksinmonth, selectiontree, pluginscreen
//                                  the typed value objects declared below
//
// Records, values and tables are runtime objects; their type codes and slot specs travel with
// serialized records, so other processes read them by the same layout.
//
// Relative times ("now", "today-3DA") are taken against the report's current time, kept per
// calling context (RepSetTimeNow), so every relative value of one report refers to one instant.
// The localised keywords are fetched once per process, on first use, and kept.
//
// Thread safety: objects belong to the calling thread; the current time belongs to the calling
// context. Every function may be called from any thread on objects it does not share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "kr/list.h"
#include "kr/object.h"
#include "kr/time.h"
#include "reports/fields.h"

// --- results -------------------------------------------------------------------------------------

// What most operations of the library answer. The class code and the fetching of tables answer
// the other way round (kRepClassOk in reports/classes.h, kRepFetchOk in reports/fetch.h), and a
// few answer codes of their own, named beside them.
inline constexpr int kRepOk = 1;
inline constexpr int kRepFailed = 0;

// --- value states --------------------------------------------------------------------------------

enum RepValueState : int32_t {
  kRepStateNormal = 0,     // the value object holds the value
  kRepStateNA = 1,         // the field does not apply to this record
  kRepStateUnknown = 2,    // not known, or could not be derived
  kRepStateNever = 3,      // shown as the state text instead of a value
  kRepStateUnlimited = 4,  // shown as the state text instead of a value
};
inline constexpr int32_t kRepStateCount = 5;

// --- records, values and tables ------------------------------------------------------------------

// One value of a record: its state and its typed value object. When the state is not Normal the
// value object may be a blank value or null; its contents then carry no meaning.
struct RepFieldValue : ObjView<RepFieldValue> {
  static constexpr uint32_t kTypeCode = 0xc934910e;
  static constexpr const char kSpec[] = "i;o;o;";
  static constexpr const char kName[] = "RepFieldValue";

  int32_t state() const noexcept { return IntSlot<1>(); }
  Obj* value() const noexcept { return ObjSlot<2>(); }  // borrowed, may be null

  void set_state(int32_t v) noexcept { SetIntSlot<1>(v); }
  void set_value(Ref<Obj> v) noexcept { SetObjSlot<2>(std::move(v)); }
};

// One record: its values in field-list order. The record does not know its field list; the
// table (or the report) that holds it keeps the list beside it.
struct RepRecord : ObjView<RepRecord> {
  static constexpr uint32_t kTypeCode = 0xc8e0ec42;
  static constexpr const char kSpec[] = "o;o;";
  static constexpr const char kName[] = "RepRecord";

  List* values() const noexcept { return ObjCast<List>(ObjSlot<1>()); }
  void set_values(Ref<List> v) noexcept { SetObjSlot<1>(std::move(v)); }

  // The value of the field at 0-based position `index` of the field list; null when the record
  // has no such value or the item there is not a RepFieldValue. Borrowed.
  RepFieldValue* value_at(size_t index) const noexcept {
    const List* l = values();
    return (l != nullptr && index < l->size()) ? ObjCast<RepFieldValue>(l->at(index)) : nullptr;
  }
};

// A named table: its field list and its records (null for a table that carries fields only).
struct RepTable : ObjView<RepTable> {
  static constexpr uint32_t kTypeCode = 0xcaaf05e2;
  static constexpr const char kSpec[] = "s;o;o;o;";
  static constexpr const char kName[] = "RepTable";

  const char* name() const noexcept { return StrSlot<1>(); }
  RepFieldList* fields() const noexcept { return ObjCast<List>(ObjSlot<2>()); }
  List* records() const noexcept { return ObjCast<List>(ObjSlot<3>()); }

  void set_name(const char* v) noexcept { SetStrSlot<1>(v); }
  void set_fields(Ref<List> v) noexcept { SetObjSlot<2>(std::move(v)); }
  void set_records(Ref<List> v) noexcept { SetObjSlot<3>(std::move(v)); }
};

// A new field value holding `value` (which may be null).
Ref<RepFieldValue> RepNewFieldValue(int32_t state, Ref<Obj> value) noexcept;
// A new table of the given name holding the field list and the record list (either may be null).
Ref<RepTable> RepNewTable(const char* name, Ref<List> fields, Ref<List> records) noexcept;

// --- typed value objects -------------------------------------------------------------------------

// date: year (four digits), month 1-12, day 1-31.
struct RepDateValue : ObjView<RepDateValue> {
  static constexpr uint32_t kTypeCode = 0xc8fab5f2;
  static constexpr const char kSpec[] = "i;i;i;";
  static constexpr const char kName[] = "RepDateValue";

  int32_t year() const noexcept { return IntSlot<1>(); }
  int32_t month() const noexcept { return IntSlot<2>(); }
  int32_t day() const noexcept { return IntSlot<3>(); }
  void set_year(int32_t v) noexcept { SetIntSlot<1>(v); }
  void set_month(int32_t v) noexcept { SetIntSlot<2>(v); }
  void set_day(int32_t v) noexcept { SetIntSlot<3>(v); }
};

// time: a time of day; the fourth integer is always 0.
struct RepTimeValue : ObjView<RepTimeValue> {
  static constexpr uint32_t kTypeCode = 0xc8fab562;
  static constexpr const char kSpec[] = "i;i;i;i;";
  static constexpr const char kName[] = "RepTimeValue";

  int32_t hour() const noexcept { return IntSlot<1>(); }
  int32_t minute() const noexcept { return IntSlot<2>(); }
  int32_t second() const noexcept { return IntSlot<3>(); }
  int32_t reserved() const noexcept { return IntSlot<4>(); }
  void set_hour(int32_t v) noexcept { SetIntSlot<1>(v); }
  void set_minute(int32_t v) noexcept { SetIntSlot<2>(v); }
  void set_second(int32_t v) noexcept { SetIntSlot<3>(v); }
  void set_reserved(int32_t v) noexcept { SetIntSlot<4>(v); }
};

// hdwmycount units.
enum RepHdwmyUnit : int32_t {
  kRepHdwmyHours = 0,
  kRepHdwmyDays = 1,
  kRepHdwmyWeeks = 2,
  kRepHdwmyMonths = 3,
  kRepHdwmyYears = 4,
};

// hdwmycount: a count of hours, days, weeks, months or years.
struct RepHdwmyCountValue : ObjView<RepHdwmyCountValue> {
  static constexpr uint32_t kTypeCode = 0xc906bac6;
  static constexpr const char kSpec[] = "i;i;";
  static constexpr const char kName[] = "RepHdwmyCountValue";

  int32_t unit() const noexcept { return IntSlot<1>(); }
  int32_t count() const noexcept { return IntSlot<2>(); }
  void set_unit(int32_t v) noexcept { SetIntSlot<1>(v); }
  void set_count(int32_t v) noexcept { SetIntSlot<2>(v); }
};

// selectiontree: one selection tree (a runtime tree), null when blank.
struct RepSelectionTreeValue : ObjView<RepSelectionTreeValue> {
  static constexpr uint32_t kTypeCode = 0xc906f78f;
  static constexpr const char kSpec[] = "o;";
  static constexpr const char kName[] = "RepSelectionTreeValue";

  Obj* tree() const noexcept { return ObjSlot<1>(); }
  void set_tree(Ref<Obj> v) noexcept { SetObjSlot<1>(std::move(v)); }
};

// pluginscreen: one plugin screen tree, null when blank.
struct RepPluginScreenValue : ObjView<RepPluginScreenValue> {
  static constexpr uint32_t kTypeCode = 0xc90a950e;
  static constexpr const char kSpec[] = "o;";
  static constexpr const char kName[] = "RepPluginScreenValue";

  Obj* tree() const noexcept { return ObjSlot<1>(); }
  void set_tree(Ref<Obj> v) noexcept { SetObjSlot<1>(std::move(v)); }
};

// daysinweek: bytes 0-6 are Monday to Sunday, 1 selected, 0 not; byte 7 is 0.
struct RepDaysInWeekValue : ObjView<RepDaysInWeekValue> {
  static constexpr uint32_t kTypeCode = 0xc908b579;
  static constexpr const char kSpec[] = "n8;";
  static constexpr const char kName[] = "RepDaysInWeekValue";
  static constexpr size_t kBytes = 8;
  static constexpr size_t kUsed = 7;

  unsigned char* days() noexcept { return BytesSlot<1>(); }
  const unsigned char* days() const noexcept { return BytesSlot<1>(); }
};

// daysinmonth: bytes 0-30 are days 1-31, byte 31 the last day of the month.
struct RepDaysInMonthValue : ObjView<RepDaysInMonthValue> {
  static constexpr uint32_t kTypeCode = 0xc908b60a;
  static constexpr const char kSpec[] = "n32;";
  static constexpr const char kName[] = "RepDaysInMonthValue";
  static constexpr size_t kBytes = 32;
  static constexpr size_t kUsed = 32;
  static constexpr size_t kLastDay = 31;

  unsigned char* days() noexcept { return BytesSlot<1>(); }
  const unsigned char* days() const noexcept { return BytesSlot<1>(); }
};

// weeksinmonth: bytes 0-3 are weeks 1-4, byte 4 the last week; bytes 5-7 are 0.
struct RepWeeksInMonthValue : ObjView<RepWeeksInMonthValue> {
  static constexpr uint32_t kTypeCode = 0xc9090b65;
  static constexpr const char kSpec[] = "n8;";
  static constexpr const char kName[] = "RepWeeksInMonthValue";
  static constexpr size_t kBytes = 8;
  static constexpr size_t kUsed = 5;
  static constexpr size_t kLastWeek = 4;

  unsigned char* weeks() noexcept { return BytesSlot<1>(); }
  const unsigned char* weeks() const noexcept { return BytesSlot<1>(); }
};

// --- values --------------------------------------------------------------------------------------

// A new record with one value per field of `fields`, in order, each with `state` and a blank value
// object of the field's type. An item of the list that is not a field definition, or a field of
// an unknown type, still gets its value (so positions stay right) with a null value object.
// Null only when `fields` is null.
Ref<RepRecord> RepMakeBlankRecord(const RepFieldList* fields, int32_t state) noexcept;

// 1 and a new blank value object of the type (0, empty string, false, zero dates and times, zero
// byte blocks, null trees, the invalid unique id); 0 for an unknown type (traced).
int RepMakeBlankObject(Ref<Obj>* value, int32_t type) noexcept;

// Orders two value objects of the type: negative when a sorts before b, 0 when equal, positive
// when after. States are not looked at (callers do). selectiontree, pluginscreen and unknown
// types always compare equal.
//
// An object that is not of the type's form (null, another type, or the right type code with
// another spec) sorts before every well-formed value, and two such objects compare equal, so a
// sort over mixed values still sees one consistent order. Values that enter from outside are
// checked where they enter, so this costs a type check only.
int RepCompareData(const Obj* a, const Obj* b, int32_t type) noexcept;

// Derives a value of `target_type` from a value of `source_type`. Only a systime source can be
// derived from, into a date or a time (local time). 1/0 (traced).
int RepDeriveValue(Ref<Obj>* value, int32_t target_type, const Obj* source_value,
                   int32_t source_type) noexcept;

// Cuts a value's text from the start of `source`: a text in single or double quotes (no escapes),
// or a run up to the first space, tab, ')' or the end. `*end` is set just after the character
// that ended the value (the closing quote or the separator, consumed), or at the end of the text.
// Results: 1 extracted, 2 no closing quote, 3 empty (or null) source; on 2 and 3 nothing is
// written. 0 for a null out-parameter.
inline constexpr int kRepExtractOk = 1;
inline constexpr int kRepExtractNoClosingQuote = 2;
inline constexpr int kRepExtractEmpty = 3;
int RepExtractValue(std::string* text, const char** end, const char* source) noexcept;

// The localised text of a state (static, not to be freed); "UNRECOGNISEDSTATE" for a bad code.
const char* RepStateToText(int32_t state) noexcept;
// 1 and the first state (in code order) whose text begins `text`, case-blind; 0 when none.
int RepStateTextToState(int32_t* state, const char* text) noexcept;

// --- encoding ------------------------------------------------------------------------------------

// 1 and a new value object of the type read from `text` (a null text reads as the empty text);
// 0 and *value untouched when the text is not a value of the type. Some refusals are traced,
// others silent. Relative dates, times and system times use the calling context's current time.
int RepEncodeData(Ref<Obj>* value, const char* text, int32_t type) noexcept;

// --- shared values -------------------------------------------------------------------------------
//
// A loaded table repeats its texts: catalogs hold a few hundred client names, three levels and a
// handful of statuses among millions of records. RepValueCache encodes a table's texts column by
// column and hands every record that holds the same text in the same column the same field value
// object, so such a value costs its heap once. A shared value is immutable: whoever changes a
// record's value takes it with RepRecordOwnValue first (the library's own writers of record values
// do), so a change to one record never shows in another.
//
// The cache remembers texts of up to 47 bytes, at most 65,536 per column, and stops remembering in
// a column whose first 4,096 lookups hit less than 1% of the time, or whose first 65,536 hit less
// than a quarter of the time (an id or a size column): there sharing saves nothing and the
// lookups would only cost. Relative texts ("today") are encoded
// against the current time once, so a cache serves one load, not a report's whole life.
class RepValueCache {
 public:
  explicit RepValueCache(size_t columns) noexcept;
  ~RepValueCache();
  RepValueCache(const RepValueCache&) = delete;
  RepValueCache& operator=(const RepValueCache&) = delete;

  // A Normal value of `type` read from `text` (RepEncodeData), or Unknown when the text is not a
  // value of the type; shared with earlier records of `column` that held the same text.
  Ref<RepFieldValue> Encode(size_t column, const char* text, int32_t type) noexcept;
  // Values handed out that were shared rather than made.
  uint64_t hits() const noexcept { return hits_; }

 private:
  struct Column;
  Column* columns_ = nullptr;
  size_t column_count_ = 0;
  uint64_t hits_ = 0;
};

// The value at 0-based position `index` of the record, made the record's own first when another
// record shares it (a copy of the same state and typed value); null when the record has no value
// there or the copy cannot be made. Borrowed.
RepFieldValue* RepRecordOwnValue(RepRecord* record, size_t index) noexcept;

// The library's state in the calling context's plugin data block (ContextGetPluginData): the
// report's current time and the same time broken down. Zeros until RepSetTimeNow is called in the
// context, so relative values are refused (or are the epoch) until then.
struct RepContextData {
  int64_t now;
  TimeBreakdown now_breakdown;
};

// The calling context's block, never null.
RepContextData* RepGetContextData() noexcept;

// Makes `time` the calling context's current time. 1 when it could be broken down (and then both
// the time and its breakdown are replaced); 0 otherwise, leaving both as they were.
int RepSetTimeNow(int64_t time) noexcept;

namespace kr_internal {

// Checks records that came from outside the process (a stored report, a record packet) against
// the field list they were made for: every item must be a record with one field value per field
// (any count when `fields` is null). A value whose state is out of range, or whose object does
// not fit its field's type, becomes Unknown, so that nothing later has to check. False at the
// first item that is not such a record.
bool RepCheckIncomingRecords(List* records, const RepFieldList* fields) noexcept;

}  // namespace kr_internal
