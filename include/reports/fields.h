// Field types, field definitions and field lists.
//
// Every table the library reports on has a fixed set of possible fields, described in a fields
// file under the reports directory's `fields` directory. A field definition (`RepFieldDef`) names
// a field, gives its type and the texts that label it; a field list (`RepFieldList`, a list of
// definitions) gives the fields of a table or a report in order. Everything else in the library
// identifies a field by its definition and a value by its type code.
//
// Lists share definitions by reference; only the operations that say so make copies.
//
// Thread safety: none beyond the runtime's: objects belong to the calling thread.
#pragma once

#include <cstdint>
#include <string>

#include "kr/list.h"
#include "kr/object.h"

// Field type codes.
enum RepFieldType : int32_t {
  kRepTypeInteger = 0,
  kRepTypeString = 1,
  kRepTypeBoolean = 2,
  kRepTypeDate = 3,
  kRepTypeTime = 4,
  kRepTypeTimePassed = 5,
  kRepTypeHdwmyCount = 6,
  kRepTypeSelectionTree = 7,
  kRepTypeDaysInWeek = 8,
  kRepTypeDaysInMonth = 9,
  kRepTypeWeeksInMonth = 10,
  kRepTypePluginScreen = 11,
  kRepTypeInt64 = 12,
  kRepTypeSysTime = 13,
  kRepTypeUnique = 14,
  kRepTypeDataCount = 15,
};
inline constexpr int32_t kRepFieldTypeCount = 16;

// A field list: a runtime list of RepFieldDef.
using RepFieldList = List;

// A field definition.
struct RepFieldDef : ObjView<RepFieldDef> {
  static constexpr uint32_t kTypeCode = 0xc8dcb0de;
  static constexpr const char kSpec[] = "s;s;s;s;s;i;i;i;i;i;b;b;o;o;";
  static constexpr const char kName[] = "RepFieldDef";

  const char* name() const noexcept { return StrSlot<1>(); }
  const char* nice_name() const noexcept { return StrSlot<2>(); }
  const char* compact_name() const noexcept { return StrSlot<3>(); }
  const char* group() const noexcept { return StrSlot<4>(); }  // null when the field has none
  const char* description() const noexcept { return StrSlot<5>(); }
  int32_t width_in_use() const noexcept { return IntSlot<6>(); }
  int32_t characters() const noexcept { return IntSlot<7>(); }
  int32_t type() const noexcept { return IntSlot<8>(); }
  int32_t name_length() const noexcept { return IntSlot<9>(); }  // in characters
  int32_t merge_position() const noexcept { return IntSlot<10>(); }
  bool must_start_line() const noexcept { return BoolSlot<11>(); }
  bool primary_index() const noexcept { return BoolSlot<12>(); }
  // The fields derived from this one, or null.
  RepFieldList* derived() const noexcept { return ObjCast<List>(ObjSlot<13>()); }

  void set_name(const char* v) noexcept;  // also sets the name length
  void set_nice_name(const char* v) noexcept { SetStrSlot<2>(v); }
  void set_compact_name(const char* v) noexcept { SetStrSlot<3>(v); }
  void set_group(const char* v) noexcept { SetStrSlot<4>(v); }
  void set_description(const char* v) noexcept { SetStrSlot<5>(v); }
  void set_width_in_use(int32_t v) noexcept { SetIntSlot<6>(v); }
  void set_characters(int32_t v) noexcept { SetIntSlot<7>(v); }
  void set_type(int32_t v) noexcept { SetIntSlot<8>(v); }
  void set_merge_position(int32_t v) noexcept { SetIntSlot<10>(v); }
  void set_must_start_line(bool v) noexcept { SetBoolSlot<11>(v); }
  void set_primary_index(bool v) noexcept { SetBoolSlot<12>(v); }
  void set_derived(Ref<List> v) noexcept { SetObjSlot<13>(std::move(v)); }
};

// Field type information: the type and its display name (second set of names).
struct RepFieldTypeInfo : ObjView<RepFieldTypeInfo> {
  static constexpr uint32_t kTypeCode = 0xc8f4c047;
  static constexpr const char kSpec[] = "i;s;o;";
  static constexpr const char kName[] = "RepFieldTypeInfo";

  int32_t type() const noexcept { return IntSlot<1>(); }
  const char* name() const noexcept { return StrSlot<2>(); }
};

// Makes a definition with the given name and type, characters 1 and every text empty: the
// starting point for definitions that do not come from a fields file (tests, derived tables).
Ref<RepFieldDef> RepNewFieldDef(const char* name, int32_t type, int32_t characters) noexcept;

// --- field types -------------------------------------------------------------------------------

// The display name of a type (first set; static, not to be freed); "Unknown" outside 0..15.
const char* RepGetFieldTypeString(int32_t type) noexcept;
// A new list of the sixteen RepFieldTypeInfo, codes 0 to 15 in order (second set of names).
void RepGetFieldTypeInfo(Ref<List>* list) noexcept;
// The first RepFieldTypeInfo of `list` with the type; 1/0.
int RepGetFieldTypeInfoFromList(Ref<RepFieldTypeInfo>* info, const List* list,
                                int32_t type) noexcept;
// The type code of a fields-file keyword (case-blind), or -1.
int32_t RepFieldTypeFromKeyword(const char* keyword) noexcept;

// --- fields files ------------------------------------------------------------------------------

// Loads the fields file of `table_name` (lower-cased, followed by "fields") from the `fields`
// directory under the reports directory, appending its fields to `fields`. A non-zero
// `ignore_derived` makes every field stanza a top-level field. 1/0; on failure `fields` is
// unchanged.
int RepLoadTableFields(const char* table_name, RepFieldList* fields, int ignore_derived) noexcept;
// The same, from the given directory.
int RepLoadTableFieldsFromDir(const char* table_name, const char* directory, RepFieldList* fields,
                              int ignore_derived) noexcept;

// --- field lists ---------------------------------------------------------------------------------
//
// A field reference in a text (a format string, a sort spec, a selection) is "%" followed by a
// field name, optionally followed by "::" and a width in digits: "%size::12". The name is the
// token after the "%" (the runtime's token rule) and must equal a field's name, case-blind, over
// its whole length. "%%", "%\"", "%'" and "%\x" (a backslash and one more character) are not
// references. Any other "%", one at the very end of the text included, is a bad reference.
//
// Lookups hand back new references to the list's own definitions, never copies. Items of a list
// that are not field definitions are passed over.

// Results of the reference scanner.
inline constexpr int kRepFieldFound = 1;   // a reference to a known field
inline constexpr int kRepFieldBad = 4;     // a bad reference
inline constexpr int kRepFieldNoMore = 5;  // no further reference in the text
// Results of comparing definitions and lists.
inline constexpr int kRepFieldsSame = 6;            // same fields in the same order
inline constexpr int kRepFieldsDifferent = 7;       // two definitions that differ
inline constexpr int kRepFieldsReordered = 8;       // same fields in another order
inline constexpr int kRepFieldsEachHasOthers = 9;   // each list has fields the other lacks
inline constexpr int kRepFieldsSecondHasMore = 10;  // the second holds all of the first, and more
inline constexpr int kRepFieldsFirstHasMore = 11;   // the first holds all of the second, and more

// The first field of `list` whose name (or nice name) equals `name`, case-blind. 1/0.
int RepFindFieldInList(Ref<RepFieldDef>* field, const char* name,
                       const RepFieldList* list) noexcept;
int RepFindFieldInListFromNiceName(Ref<RepFieldDef>* field, const char* nice_name,
                                   const RepFieldList* list) noexcept;
// The 0-based position (and type) of the first field whose name equals the token at the start of
// `reference` (a leading "%" is skipped). 1/0.
int RepGetFieldIndex(int32_t* index, const char* reference, const RepFieldList* list) noexcept;
int RepGetFieldIndexAndType(int32_t* index, int32_t* type, const char* reference,
                            const RepFieldList* list) noexcept;
// Every field name of the list in order, each followed by a newline. 1/0 (null arguments).
int RepGetAllFieldsString(std::string* names, const RepFieldList* list) noexcept;

// Finds the next reference in `text`. kRepFieldFound: *field, and the position of the name (just
// after the "%") and its length in characters. kRepFieldBad: the position and length of the bad
// name (length 0 for a "%" followed by no name). kRepFieldNoMore: nothing is written. To go on
// scanning, pass a returned position back as the text. Every out-parameter may be null.
int RepFindField(Ref<RepFieldDef>* field, const char* text, const char** name_position,
                 int32_t* name_length, const RepFieldList* list) noexcept;
// 1 (and *field) when `text` begins with a reference to a known field; 0 otherwise.
int RepFieldAt(Ref<RepFieldDef>* field, const char* text, const RepFieldList* list) noexcept;
int RepAtFieldName(const char* text, const RepFieldList* list) noexcept;
// The width written after the name at `name` (the position just after the "%"): the digits after
// "::", or 0 when there is none (or it does not fit in 32 bits).
int32_t RepGetFieldChars(const char* name) noexcept;
// The position just after the reference whose name starts at `name`: past the name's token, one
// ":", a second ":" and its digits, then one space. Null for a null name.
const char* RepMoveAfterField(const char* name) noexcept;

// The fields referenced by `text`, in order of appearance (a field referenced twice is listed
// twice), in a new list sharing the definitions. Each listed definition's width in use becomes
// its reference's width, or its characters when the reference gives none; as the definitions are
// shared, the last reference to a field sets its width. Results: 1 (a null or empty text gives an
// empty list), kRepFieldBad (no list), 0 on any other failure.
int RepFieldsInString(Ref<List>* fields, const char* text, const RepFieldList* list) noexcept;
// 1 when `text` holds bad references, with their names joined by two newlines in *invalid; 0 when
// it holds none (*invalid empty) or on error (an empty list or text; *invalid not written). Every
// reference of the text is checked.
int RepCheckInvalidFields(std::string* invalid, const char* text,
                          const RepFieldList* list) noexcept;

// A new list of the same definitions ordered case-blind by name (by nice name when
// `by_nice_name` is 1); equal keys keep their order. 0 when an item is not a field definition.
int RepSortFieldsAlphabetically(Ref<List>* sorted, const RepFieldList* list,
                                int by_nice_name) noexcept;
// Inserts `field` (a new reference) before the first item whose label (the nice name when set,
// else the name) compares greater, case-blind, or at the end. The 1-based position it now has;
// 0 for null arguments.
int RepFieldInsertAlphabetically(RepFieldList* list, RepFieldDef* field) noexcept;
// Appends to `destination` a deep copy of each field of `source` whose name is in neither `other`
// nor `destination` (so a name repeated in source is added once). `other` may be `destination`.
void RepAddAnyNewFields(RepFieldList* destination, const RepFieldList* other,
                        const RepFieldList* source) noexcept;
// The number of fields of `candidates` whose names are not in `list`.
int RepCountAbsentFields(const RepFieldList* list, const RepFieldList* candidates) noexcept;
// kRepFieldsSame when the names (case-blind), types and primary index flags are equal, else
// kRepFieldsDifferent.
int RepFieldsAreSame(const RepFieldDef* a, const RepFieldDef* b) noexcept;
// Compares two lists by name: kRepFieldsSame, kRepFieldsReordered, kRepFieldsEachHasOthers,
// kRepFieldsSecondHasMore or kRepFieldsFirstHasMore. A null list is an empty one.
int RepCompareFormats(const RepFieldList* first, const RepFieldList* second) noexcept;

// A new list of each field of `list` followed at once by its derived fields (one level).
void RepExpandDerivedFields(Ref<List>* expanded, const RepFieldList* list) noexcept;
// For each field of `source` with a same-named field in `destination`, adds to the destination
// field's derived fields those of the source field it lacks (by name). The definitions are
// shared, not copied.
void RepMergeDerivedFields(RepFieldList* destination, const RepFieldList* source) noexcept;
