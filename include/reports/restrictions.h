// Field restrictions: a range of values for one field of one table.
//
// A class query may restrict a table's field to a range (`IN jobs RESTRICT size TO (1, 5)`).
// Unlike a filter, a restriction is not evaluated against each record by the library: it travels
// with a table request to the table's provider, whose record source can use it to fetch less, and
// the requester uses it to cut the index range of a serialized-record stream. The bounds are kept
// as written and, once converted, as values of the field's type.
//
// Thread safety: none beyond the runtime's; objects belong to the calling thread.
#pragma once

#include <cstdint>

#include "kr/list.h"
#include "kr/object.h"
#include "reports/fields.h"

struct RepSqlRestriction : ObjView<RepSqlRestriction> {
  static constexpr uint32_t kTypeCode = 0xcad0ec88;
  static constexpr const char kSpec[] = "s;s;s;s;o;o;o;";
  static constexpr const char kName[] = "RepSqlRestriction";

  const char* table() const noexcept { return StrSlot<1>(); }
  const char* field() const noexcept { return StrSlot<2>(); }
  const char* lower_text() const noexcept { return StrSlot<3>(); }  // as written
  const char* upper_text() const noexcept { return StrSlot<4>(); }
  Obj* lower() const noexcept { return ObjSlot<5>(); }  // encoded, once converted; borrowed
  Obj* upper() const noexcept { return ObjSlot<6>(); }

  void set_table(const char* v) noexcept { SetStrSlot<1>(v); }
  void set_field(const char* v) noexcept { SetStrSlot<2>(v); }
  void set_lower_text(const char* v) noexcept { SetStrSlot<3>(v); }
  void set_upper_text(const char* v) noexcept { SetStrSlot<4>(v); }
  void set_lower(Ref<Obj> v) noexcept { SetObjSlot<5>(std::move(v)); }
  void set_upper(Ref<Obj> v) noexcept { SetObjSlot<6>(std::move(v)); }
};

// Encodes the bound texts of every restriction whose field is in `fields` for that field's type,
// in place; restrictions on fields the list lacks are left alone. An absent list of either kind
// succeeds with nothing done. 1, or 0 at the first bound that does not encode (restrictions
// converted before it keep their values).
int RepConvTextRestrictions(List* restrictions, const RepFieldList* fields) noexcept;

// The first restriction on `field_name` (case-blind). 1 and a new reference, or 0 with
// *restriction untouched.
int RepFindFieldRestriction(Ref<RepSqlRestriction>* restriction, const char* field_name,
                            const List* restrictions) noexcept;
