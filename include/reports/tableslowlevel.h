// Table transforms: projection of a table onto chosen fields, a left join of a second table into
// a result, and conversion of single records from one field format to another.
//
// All three place the fields they copy by one rule. The result field list is kept sorted by
// each field's *rank*: its 1-based position in an *order list* (any list of objects whose first
// slot is a field name, such as a field list), matched case-blind; a field the order list does
// not name ranks 0x7fffffff. Every placed field is a deep copy whose merge position holds its
// rank. Fields of equal rank keep their arrival order, fields the order list does not name
// collect at the end in source order, and a field already in the result (same rank and name) is
// never added twice: its values are overwritten instead. Each placement is recorded and then
// replayed on every record, so record values land where their fields landed.
//
// A field list or join list that names one source field twice: the repeats of a wanted field
// are dropped (the field is taken once, where its first mention puts it); in a join list an
// exact repeat of a pair is dropped, while two pairs that compare one source field with two
// different target fields are refused, since keeping only one would change which records match.
//
// Progress callbacks are called as callback(argument, 0); their result is ignored and they may
// be null.
//
// Thread safety: none beyond the runtime's: objects belong to the calling thread.
#pragma once

#include <cstdint>

#include "kr/list.h"
#include "kr/object.h"
#include "reports/control.h"
#include "reports/fields.h"
#include "reports/reports.h"

// The rank of a field the order list does not name.
inline constexpr int32_t kRepUnrankedPosition = 0x7fffffff;

// A working entry naming one field to copy: where it is in the source field list (1-based), its
// type, and, for a derived field, its 1-based position in that field's derived-field list (0 for
// the field itself) and the derived field's type.
struct RepTableFieldIndex {
  int32_t source_position = 0;
  int32_t source_type = 0;
  int32_t derived_position = 0;
  int32_t derived_type = 0;
};
static_assert(sizeof(RepTableFieldIndex) == 16);

// How one copied field was placed into a result list, replayed on every record.
enum RepPlacementKind : int32_t {
  kRepPlaceFirst = 0,
  kRepPlaceLast = 1,
  kRepPlaceBefore = 2,   // insert before `position`
  kRepPlaceReplace = 3,  // the field was there already: overwrite the value at `position`
};
struct RepFieldPlacement {
  int32_t kind = 0;
  int32_t position = 0;  // 1-based, for kRepPlaceBefore and kRepPlaceReplace; 0 otherwise
  int32_t rank = 0;
};
static_assert(sizeof(RepFieldPlacement) == 12);

// A precalculated conversion of records from a source field format to a target one.
struct RepRecordConversion : ObjView<RepRecordConversion> {
  static constexpr uint32_t kTypeCode = 0xc9b2ee4c;
  static constexpr const char kSpec[] = "o;o;o;i;o;i;b;o;";
  static constexpr const char kName[] = "RepRecordConversion";

  RepFieldList* source_fields() const noexcept { return ObjCast<List>(ObjSlot<1>()); }
  // The target fields the source cannot supply, in target order: what a converted record
  // starts from, as Unknown values.
  RepFieldList* blank_template() const noexcept { return ObjCast<List>(ObjSlot<2>()); }
  Obj* placements() const noexcept { return ObjSlot<3>(); }  // data field of RepFieldPlacement
  int32_t placement_count() const noexcept { return IntSlot<4>(); }
  Obj* indices() const noexcept { return ObjSlot<5>(); }  // data field of RepTableFieldIndex
  int32_t index_count() const noexcept { return IntSlot<6>(); }
  // True when source and target formats are the same; no other slot is then set.
  bool identical() const noexcept { return BoolSlot<7>(); }

  void set_source_fields(Ref<List> v) noexcept { SetObjSlot<1>(std::move(v)); }
  void set_blank_template(Ref<List> v) noexcept { SetObjSlot<2>(std::move(v)); }
  void set_placements(Ref<Obj> v) noexcept { SetObjSlot<3>(std::move(v)); }
  void set_placement_count(int32_t v) noexcept { SetIntSlot<4>(v); }
  void set_indices(Ref<Obj> v) noexcept { SetObjSlot<5>(std::move(v)); }
  void set_index_count(int32_t v) noexcept { SetIntSlot<6>(v); }
  void set_identical(bool v) noexcept { SetBoolSlot<7>(v); }
};

// Projects `source` onto the `wanted` fields (objects whose first slot is a field name), placed
// by rank in `order` (may be null). With `with_records` 1 the result also holds one new record
// per source record, sharing the source's typed values; otherwise it has fields only (no record
// list). A source with no fields gives an empty table. The result's name is left empty. 1 and a
// new table; 0 (nothing handed back) when a wanted field is not in the source or none is wanted.
// The callback is called after every 5000 records.
int RepTableFromTable(Ref<RepTable>* result, const RepTable* source, const List* wanted,
                      const List* order, int with_records, RepProgressCallback progress,
                      void* argument) noexcept;

namespace kr_internal {

// RepTableFromTable with records, for a caller that is done with `source` and holds its only
// reference: when the projection only puts the source's fields in another order (none derived,
// none twice), the result takes the source's records over, their values reordered in place,
// instead of building a copy of each; `source` is left without records. When any record is held
// elsewhere too, or the projection does more, exactly RepTableFromTable. Same results and codes.
int RepTableFromTableTaking(Ref<RepTable>* result, RepTable* source, const List* wanted,
                            const List* order, RepProgressCallback progress,
                            void* argument) noexcept;

}  // namespace kr_internal

// Left outer join of `source` into `target`, changed in place: the `take` fields of the source
// are placed into the target's field list by rank in `order`, and each target record gets the
// values of the first source record (in source order) that matches it on every join condition,
// or Unknown in the new columns when none does (a column the target already had keeps its own
// value then). `joins` holds objects with four string slots: first table, second table, a field
// of the target, a field of the source (the class language's merge clauses). Values are equal as
// RepCompareData says for the source field's type; a value that is not Normal, or whose object
// is not of the type's form, matches nothing. 1 on success; 0 when `joins` is empty or a named
// field is missing, and the target is then untouched. The callback is called each time more than
// 4999 source records have been examined (as a scan of the source for each target record would).
int RepMergeTables(RepTable* target, const RepTable* source, const List* take, const List* order,
                   const List* joins, int with_records, RepProgressCallback progress,
                   void* argument) noexcept;

// The 1-based position of the field named `name` (case-blind) in a RepTable's field list. 1 when
// found. 0 without writing when `table` is null, not a RepTable or has no fields; 0 and
// *position = 0 when the name is absent.
int RepFindTableFieldIndex(int32_t* position, const char* name, const Obj* table) noexcept;

// Precalculates the conversion of records of the `source` format into the `target` format. With
// `expand_derived` 1 the derived fields of the source's fields can supply target fields too. 1 and
// a new conversion; 0 for null field lists.
int RepRecordFromRecordPreCalc(Ref<RepRecordConversion>* conversion, const RepFieldList* target,
                               const RepFieldList* source, int expand_derived) noexcept;

// Converts one record: a new record with every target field in target order, copied, derived,
// or Unknown where the source has nothing. For identical formats, a new reference to the source
// record itself. Always 1 (a null conversion or record gives a null result).
int RepRecordFromRecord(Ref<RepRecord>* result, const RepRecordConversion* conversion,
                        const RepRecord* source) noexcept;
