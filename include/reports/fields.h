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
