// Report classes: the class files of the reports directory, their nice names, and running a
// class's query to produce its table.
//
// A class is a file in the `classes` directory under the reports directory whose text is a valid
// class query (reports/sql.h). It is known by its file name (its "real" name) and shown to users
// by its nice name, given on an optional first line:
//
//   %NICENAME = 'Weekly jobs'        (or "Weekly jobs", or unquoted up to the line end)
//   SELECT jobs.* FROM jobs
//
// Without that line the nice name is the file name. The query language reads the line as a
// comment.
//
// Running a class's query produces one table per statement, named by the statement's result
// name; the last, "result", is the class's table. A table a statement names is taken from an
// earlier statement's result of that name when there is one, else fetched from the process the
// registry (reports/registry.h) names for it (reports/fetch.h). A run without records asks the
// providers for their fields only, and gives the class's possible fields; a run with records
// trims the final statement to the fields the report wants, in its order, and fetches each
// table restricted and filtered as the query says.
//
// Unlike most of the library, the operations here return 0 on success and non-zero on failure:
// kRepClassOk and kRepClassFailed.
// Nothing is cached: the directory, the files, the registry and the query are read afresh by
// every call.
//
// Thread safety: none beyond the runtime's: objects belong to the calling thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "kr/list.h"
#include "kr/object.h"
#include "reports/control.h"
#include "reports/reports.h"
#include "reports/sql.h"

// What the operations here answer.
inline constexpr int kRepClassOk = 0;
inline constexpr int kRepClassFailed = 1;

// One class: its file name and its nice name.
struct RepClass : ObjView<RepClass> {
  static constexpr uint32_t kTypeCode = 0xc8dc9a17;
  static constexpr const char kSpec[] = "s;s;o;";
  static constexpr const char kName[] = "RepClass";

  const char* file_name() const noexcept { return StrSlot<1>(); }
  const char* nice_name() const noexcept { return StrSlot<2>(); }

  void set_file_name(const char* v) noexcept { SetStrSlot<1>(v); }
  void set_nice_name(const char* v) noexcept { SetStrSlot<2>(v); }
};

// The classes of the classes directory, sorted by nice name ignoring case (classes with equal
// nice names in file-name order). Files that cannot be loaded or whose text is not a valid query
// are left out, with a trace. 0 and a new list; 1 when the directory cannot be scanned.
int RepGetAvailClasses(Ref<List>* classes) noexcept;

// The first class of `classes` whose nice name (file name) equals the text, ignoring case.
// 0 and a new reference when found; 1 otherwise (*found is then left alone).
int RepFindClassFromNiceName(Ref<RepClass>* found, const char* nice_name,
                             const List* classes) noexcept;
int RepFindClassFromRealName(Ref<RepClass>* found, const char* file_name,
                             const List* classes) noexcept;

// The nice name of the class in file `file_name` whose text is `class_text`: the name given on
// a leading %NICENAME line, else the file name. A quoted name runs to the same quote character
// on its line (to the line end when there is none there); an unquoted one to the line end, as
// written. 0 on success; 1 for a null `nice_name` or `file_name`.
int RepGetClassNiceName(std::string* nice_name, const char* file_name,
                        const char* class_text) noexcept;

// Trims the final statement of a query, which must produce "result", so that it selects exactly
// the `wanted` fields (objects whose first slot is a field name, such as a field list), in their
// order: wildcard items and items for fields not wanted are removed, the rest get their 1-based
// wanted position, an unqualified item is added for every wanted field no item names, and the
// items are sorted by position. 0 on success; 1 (query unchanged) when the last statement does
// not produce "result" or an argument is null.
int RepTrimResultSelect(RepSqlOpList* op_list, const List* wanted) noexcept;

// The class's table with fields only, for the class of nice name `nice_name`: a RepTable named
// "result" with its field list and no record list. 0 and a new table; 1 on failure.
int RepGetClassFields(Ref<RepTable>* table, const char* nice_name) noexcept;
// The same for the class in file `file_name`.
int RepGetClassFieldsRealName(Ref<RepTable>* table, const char* file_name) noexcept;

// Runs the class named by the control's parameters (a nice name) with records, for the fields
// of the control's report field list, in that order, and puts the table into the control. The
// callback, when given, is called as records arrive and as tables are projected and joined; a
// cancel request made from it (RepCancelTableFetch, reports/fetch.h) fails the run. 0 on
// success; 1 on failure, the control's table then left as it was.
int RepProduceClassTable(RepControl* control, RepProgressCallback progress,
                         void* argument) noexcept;

namespace kr_internal {

// Runs the query `class_text` of class `class_name` (for traces): with `with_records` 0 fields
// only, else with records for the `wanted` fields (objects whose first slot is a field name).
// 0 and the "result" table; 1 on failure.
int RunClassQuery(Ref<RepTable>* table, const char* class_name, const char* class_text,
                  int with_records, const List* wanted, RepProgressCallback progress,
                  void* argument) noexcept;

// The fields to take from table `table_index0` (FROM order) of `statement`, whose fields are
// `table_fields`, in that list's order: the fields its select items ask for (an unqualified item
// naming the field, `*`, `table.*` or `table.field`), and its join fields (a merge clause in its
// own merge list or in those of the tables after it naming this table and the field on either
// side). Without records, a field whose name is already in `result_fields` (the statement's
// result so far; may be null) is not taken again. The list shares the definitions. 0 and a new
// list; 1 for bad arguments.
int ClassFieldsToTake(Ref<List>* fields, const RepSqlSelect* statement, size_t table_index0,
                      const List* table_fields, const List* result_fields,
                      bool with_records) noexcept;

// Loads the text of the first file of the classes directory (in file-name order) whose nice
// name equals `nice_name`, ignoring case. 0 and the text and the file's name; 1 when none does.
int LoadClassTextByNiceName(std::string* text, std::string* file_name,
                            const char* nice_name) noexcept;

// Loads the text of the class file `file_name`, which must be a plain file name. 0/1.
int LoadClassTextByRealName(std::string* text, const char* file_name) noexcept;

}  // namespace kr_internal
