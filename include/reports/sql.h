// The class definition language: the query text of a report class, read into an op list.
//
// A class's query is a sequence of SELECT statements. Each statement names the fields it takes
// (`table.field`, `table.*`, an unqualified `field`, or `*` for everything), an optional result
// name, the tables it reads in the order they are fetched and joined, and a WHERE part of clauses
// joined by AND: merge clauses (`a.x = b.y`) that join each table to an earlier one, and IN
// clauses that restrict a table's field to a range (`IN a RESTRICT x TO (1, 5)`) or filter its
// records (`IN a FILTER IS (%y = 2)`). A line starting with `%` where a statement could begin is
// a comment (the nice-name line of a class file is one). Keywords are matched ignoring case.
//
//   % Jobs with their media
//   SELECT jobs.id, media.label FROM jobs, media
//     WHERE jobs.mediaid = media.id AND IN jobs RESTRICT id TO (1, 500)
//
// Every statement produces one table, named by its result name ("result" without one); later
// statements may read the tables of earlier ones, and the last one, which must be "result", is
// the class's table. Exactly one statement may produce "result".
//
// The op list is a plain object tree (lists of the objects below) so it can be traced, copied and
// serialized like everything else. Every string is an owned copy.
//
// Thread safety: none beyond the runtime's: objects belong to the calling thread.
#pragma once

#include <cstdint>

#include "kr/list.h"
#include "kr/object.h"
#include "reports/restrictions.h"

// The result name of the statement that produces the class's table.
inline constexpr const char kRepSqlResultName[] = "result";

// One item of a statement's select list.
//   `table.field`  table and field;  `table.*`  field "*";  `field`  table "" (any table);
//   `*`            table "*" and field "" (every field of every table).
struct RepSqlField : ObjView<RepSqlField> {
  static constexpr uint32_t kTypeCode = 0xcab2b31c;
  static constexpr const char kSpec[] = "s;s;i;";
  static constexpr const char kName[] = "RepSqlField";

  const char* table() const noexcept { return StrSlot<1>(); }
  const char* field() const noexcept { return StrSlot<2>(); }
  // The 1-based position in the caller's wanted fields, set when the final statement is trimmed
  // to them (RepTrimResultSelect); 0 otherwise.
  int32_t position() const noexcept { return IntSlot<3>(); }

  void set_table(const char* v) noexcept { SetStrSlot<1>(v); }
  void set_field(const char* v) noexcept { SetStrSlot<2>(v); }
  void set_position(int32_t v) noexcept { SetIntSlot<3>(v); }
};

// A merge clause: first_table.first_field = second_table.second_field. Once a statement is read,
// the first table is always the one that stands earlier in its table list, so when the later
// table is merged into the result built so far, the first field names a field of the result and
// the second a field of the table being merged.
struct RepSqlMerge : ObjView<RepSqlMerge> {
  static constexpr uint32_t kTypeCode = 0xcab0b278;
  static constexpr const char kSpec[] = "s;s;s;s;";
  static constexpr const char kName[] = "RepSqlMerge";

  const char* first_table() const noexcept { return StrSlot<1>(); }
  const char* second_table() const noexcept { return StrSlot<2>(); }
  const char* first_field() const noexcept { return StrSlot<3>(); }
  const char* second_field() const noexcept { return StrSlot<4>(); }

  void set_first_table(const char* v) noexcept { SetStrSlot<1>(v); }
  void set_second_table(const char* v) noexcept { SetStrSlot<2>(v); }
  void set_first_field(const char* v) noexcept { SetStrSlot<3>(v); }
  void set_second_field(const char* v) noexcept { SetStrSlot<4>(v); }
};

// The filter of one table of a statement: the filter text with its enclosing brackets, "" when
// the table has none. The tree slot is filled by whoever applies the filter.
struct RepSqlFilter : ObjView<RepSqlFilter> {
  static constexpr uint32_t kTypeCode = 0xcad0f95f;
  static constexpr const char kSpec[] = "s;s;o;o;";
  static constexpr const char kName[] = "RepSqlFilter";

  const char* table() const noexcept { return StrSlot<1>(); }
  const char* text() const noexcept { return StrSlot<2>(); }
  Obj* tree() const noexcept { return ObjSlot<3>(); }

  void set_table(const char* v) noexcept { SetStrSlot<1>(v); }
  void set_text(const char* v) noexcept { SetStrSlot<2>(v); }
  void set_tree(Ref<Obj> v) noexcept { SetObjSlot<3>(std::move(v)); }
};

// One SELECT statement.
struct RepSqlSelect : ObjView<RepSqlSelect> {
  static constexpr uint32_t kTypeCode = 0xca9ae84e;
  static constexpr const char kSpec[] = "o;o;o;o;o;s;o;";
  static constexpr const char kName[] = "RepSqlSelect";

  // RepSqlField items in text order.
  List* fields() const noexcept { return ObjCast<List>(ObjSlot<1>()); }
  // String objects: the table names in FROM order.
  List* tables() const noexcept { return ObjCast<List>(ObjSlot<2>()); }
  // One list of RepSqlMerge per table after the first, in FROM order: the clauses that join
  // that table to the tables before it.
  List* merges() const noexcept { return ObjCast<List>(ObjSlot<3>()); }
  // One RepSqlFilter per table, in FROM order.
  List* filters() const noexcept { return ObjCast<List>(ObjSlot<4>()); }
  // One list per table, in FROM order, of that table's RepSqlRestriction items (at most one per
  // field), with the bounds as written.
  List* restrictions() const noexcept { return ObjCast<List>(ObjSlot<5>()); }
  const char* result_name() const noexcept { return StrSlot<6>(); }

  void set_fields(Ref<List> v) noexcept { SetObjSlot<1>(std::move(v)); }
  void set_tables(Ref<List> v) noexcept { SetObjSlot<2>(std::move(v)); }
  void set_merges(Ref<List> v) noexcept { SetObjSlot<3>(std::move(v)); }
  void set_filters(Ref<List> v) noexcept { SetObjSlot<4>(std::move(v)); }
  void set_restrictions(Ref<List> v) noexcept { SetObjSlot<5>(std::move(v)); }
  void set_result_name(const char* v) noexcept { SetStrSlot<6>(v); }

  // The name of table `index0` (0-based, FROM order), or null.
  const char* table_name(size_t index0) const noexcept;
};

// A parsed class query: its statements in text order.
struct RepSqlOpList : ObjView<RepSqlOpList> {
  static constexpr uint32_t kTypeCode = 0xca9ae7d9;
  static constexpr const char kSpec[] = "o;o;";
  static constexpr const char kName[] = "RepSqlOpList";

  // RepSqlSelect items in text order.
  List* statements() const noexcept { return ObjCast<List>(ObjSlot<1>()); }
  void set_statements(Ref<List> v) noexcept { SetObjSlot<1>(std::move(v)); }
};

// Result codes of RepSQLTextToOpList. Note that 0 means success here.
inline constexpr int kRepSqlOk = 0;
inline constexpr int kRepSqlBadStatement = 1;
inline constexpr int kRepSqlDuplicateResult = 3;

// Reads a class query. 0 and a new op list on success (an empty text, or one of comments only,
// gives an op list with no statements); 1 when a statement cannot be read (also for a null
// `text` or `op_list`); 3 when more than one statement produces "result". On failure *op_list
// is left empty and nothing of the partly read text is kept. Every failure is traced.
int RepSQLTextToOpList(Ref<RepSqlOpList>* op_list, const char* text) noexcept;
