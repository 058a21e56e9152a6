// Report classes: listing and finding class files, nice names, trimming a query to the fields a
// report wants, the fields a class run takes from each table, and running a class's query.

#include "reports/classes.h"

#include <string>
#include <utility>

#include "kr/file.h"
#include "kr/path.h"
#include "kr/text.h"
#include "kr/trace.h"
#include "reports/fetch.h"
#include "reports/filter.h"
#include "reports/registry.h"
#include "reports/tableslowlevel.h"
#include "reports/tablesprovider.h"
#include "reports/utilities.h"

namespace {

constexpr const char* kTag = "REPCLASS";
constexpr const char kNiceNameKey[] = "%NICENAME";
constexpr size_t kNiceNameKeyLength = sizeof(kNiceNameKey) - 1;

const char* OrEmpty(const char* s) { return s != nullptr ? s : ""; }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }

// The classes directory. False when the reports directory is unknown.
bool ClassesDir(std::string* dir) { return RepPathBuild(dir, "classes", nullptr) == kRepOk; }

// The nice name written on a leading %NICENAME line; empty when there is none or it is empty.
// *has_key tells whether the line is there at all, *has_equals whether it has its '='.
std::string NiceNameFromText(const char* text, bool* has_key, bool* has_equals) {
  *has_key = false;
  *has_equals = false;
  if (StrCompareRangeNoCase(text, kNiceNameKey, kNiceNameKeyLength) != 0) return "";
  *has_key = true;
  const char* p = text + kNiceNameKeyLength;
  while (IsBlank(*p)) ++p;
  if (*p != '=') return "";
  *has_equals = true;
  ++p;
  while (IsBlank(*p)) ++p;
  const char* end = p;
  while (*end != '\0' && !IsLineEnd(*end)) ++end;
  if (*p == '\'' || *p == '"') {
    // Quoted: up to the same quote character on this line, else to the line end.
    const char* start = p + 1;
    const char* close = start;
    while (close < end && *close != *p) ++close;
    return std::string(start, static_cast<size_t>(close - start));
  }
  return std::string(p, static_cast<size_t>(end - p));
}

std::string NiceName(const char* file_name, const char* text) {
  bool has_key = false;
  bool has_equals = false;
  std::string nice = NiceNameFromText(OrEmpty(text), &has_key, &has_equals);
  if (has_key && !has_equals) {
    TraceMessage(kTag, 1, 0, -1,
                 "Missing equal sign after %%NICENAME in class '%s'. Use real name as nice name.",
                 file_name);
  } else if (has_key && nice.empty()) {
    TraceMessage(kTag, 2, 0, -1, "Empty nice name for class '%s'. Use real name as nice name.",
                 file_name);
  }
  if (nice.empty()) nice = file_name;
  TraceMessage(kTag, 3, 0, 3, "Class '%s' nicename '%s'", file_name, nice.c_str());
  return nice;
}

struct ListingState {
  Ref<List> classes = ListNewFromPool();
};

int AddClassIfValid(const char* dir, const DirEntry& entry, void* cookie) {
  if (!entry.is_file) return 1;
  ListingState* state = static_cast<ListingState*>(cookie);
  std::string path;
  std::string text;
  if (PathBuild(&path, dir, entry.name.c_str(), nullptr) != 1 ||
      LoadTextFile(&text, path.c_str()) != 1) {
    TraceMessage(kTag, 4, 0, -1, "Failed to load '%s' as text file. Assume is not a class.",
                 entry.name.c_str());
    return 1;
  }
  Ref<RepSqlOpList> ops;
  if (RepSQLTextToOpList(&ops, text.c_str()) != kRepSqlOk) {
    TraceMessage(kTag, 5, 0, -1,
                 "Failed to convert text in class file '%s' to SQL op list. Miss out class.",
                 entry.name.c_str());
    return 1;
  }
  Ref<RepClass> cls = RepClass::New();
  cls->set_file_name(entry.name.c_str());
  const std::string nice = NiceName(entry.name.c_str(), text.c_str());
  cls->set_nice_name(nice.c_str());
  Obj* before = nullptr;
  for (Obj* o : *state->classes) {
    if (StrCompareNoCase(ObjCast<RepClass>(o)->nice_name(), cls->nice_name()) > 0) {
      before = o;
      break;
    }
  }
  ListInsertBefore(state->classes.get(), before, cls.get());
  TraceMessage(kTag, 6, 0, 3, "Class file '%s' contains valid SQL. Include in class list",
               entry.name.c_str());
  return 1;
}

int FindClass(Ref<RepClass>* found, const char* name, const List* classes, bool by_nice) {
  if (found == nullptr || name == nullptr || classes == nullptr) return kRepClassFailed;
  for (Obj* o : *classes) {
    const RepClass* cls = ObjCast<RepClass>(o);
    if (cls == nullptr) continue;
    if (StrCompareNoCase(by_nice ? cls->nice_name() : cls->file_name(), name) == 0) {
      *found = Ref<RepClass>::Share(const_cast<RepClass*>(cls));
      return kRepClassOk;
    }
  }
  return kRepClassFailed;
}

const char* FirstSlotName(const Obj* o) { return ObjGetSlotString(o, 1); }

// The 1-based position of the first entry of `wanted` named `name`, ignoring case; 0 if none.
int32_t WantedPosition(const List* wanted, const char* name) {
  for (size_t i = 0; i < wanted->size(); ++i) {
    if (StrCompareNoCase(FirstSlotName(wanted->at(i)), name) == 0) {
      return static_cast<int32_t>(i + 1);
    }
  }
  return 0;
}

int ComparePositions(Obj* a, Obj* b) {
  const int32_t pa = ObjCast<RepSqlField>(a)->position();
  const int32_t pb = ObjCast<RepSqlField>(b)->position();
  return pa < pb ? -1 : (pa > pb ? 1 : 0);
}

bool Named(const char* a, const char* b) { return StrCompareNoCase(a, b) == 0; }

// True when some merge clause of merge lists `from`.. of the statement names table T's field.
bool IsJoinField(const RepSqlSelect* statement, size_t table_index0, const char* table,
                 const char* field) {
  const List* merges = statement->merges();
  if (merges == nullptr) return false;
  // Table T's own merge list is number T-1; the first table has none.
  const size_t from = table_index0 == 0 ? 0 : table_index0 - 1;
  for (size_t i = from; i < merges->size(); ++i) {
    const List* clauses = ObjCast<List>(merges->at(i));
    if (clauses == nullptr) continue;
    for (Obj* o : *clauses) {
      const RepSqlMerge* m = ObjCast<RepSqlMerge>(o);
      if (m == nullptr) continue;
      if ((Named(m->first_table(), table) && Named(m->first_field(), field)) ||
          (Named(m->second_table(), table) && Named(m->second_field(), field))) {
        return true;
      }
    }
  }
  return false;
}

bool IsSelected(const RepSqlSelect* statement, const char* table, const char* field) {
  for (Obj* o : *statement->fields()) {
    const RepSqlField* item = ObjCast<RepSqlField>(o);
    if (item == nullptr) continue;
    const char* item_table = OrEmpty(item->table());
    if (*item_table == '\0') {
      if (Named(item->field(), field)) return true;
    } else if (Named(item_table, "*")) {
      return true;
    } else if (Named(item_table, table) &&
               (Named(item->field(), "*") || Named(item->field(), field))) {
      return true;
    }
  }
  return false;
}

bool InList(const List* fields, const char* name) {
  if (fields == nullptr) return false;
  for (Obj* o : *fields) {
    if (Named(FirstSlotName(o), name)) return true;
  }
  return false;
}

struct NiceNameSearch {
  const char* wanted;
  std::string text;
  std::string file_name;
  bool found = false;
};

int MatchNiceName(const char* dir, const DirEntry& entry, void* cookie) {
  if (!entry.is_file) return 1;
  NiceNameSearch* search = static_cast<NiceNameSearch*>(cookie);
  std::string path;
  std::string text;
  if (PathBuild(&path, dir, entry.name.c_str(), nullptr) != 1 ||
      LoadTextFile(&text, path.c_str()) != 1) {
    TraceMessage(kTag, 7, 0, -1, "Warning - failed to load class '%s'. Will ignore it",
                 entry.name.c_str());
    return 1;
  }
  if (StrCompareNoCase(NiceName(entry.name.c_str(), text.c_str()).c_str(), search->wanted) != 0) {
    return 1;
  }
  search->text = std::move(text);
  search->file_name = entry.name;
  search->found = true;
  return 0;  // the first match ends the scan
}

}  // namespace

int RepGetAvailClasses(Ref<List>* classes) noexcept {
  if (classes == nullptr) return kRepClassFailed;
  std::string dir;
  ListingState state;
  if (!ClassesDir(&dir) || DirScanDirect(dir.c_str(), AddClassIfValid, &state) != 1) {
    TraceMessage(kTag, 8, 0, -1, "Failed to scan classes directory.");
    return kRepClassFailed;
  }
  *classes = std::move(state.classes);
  return kRepClassOk;
}

int RepFindClassFromNiceName(Ref<RepClass>* found, const char* nice_name,
                             const List* classes) noexcept {
  return FindClass(found, nice_name, classes, true);
}

int RepFindClassFromRealName(Ref<RepClass>* found, const char* file_name,
                             const List* classes) noexcept {
  return FindClass(found, file_name, classes, false);
}

int RepGetClassNiceName(std::string* nice_name, const char* file_name,
                        const char* class_text) noexcept {
  if (nice_name == nullptr || file_name == nullptr) return kRepClassFailed;
  *nice_name = NiceName(file_name, class_text);
  return kRepClassOk;
}

int RepTrimResultSelect(RepSqlOpList* op_list, const List* wanted) noexcept {
  RepSqlSelect* last =
      op_list != nullptr ? ObjCast<RepSqlSelect>(ListGetLastItem(op_list->statements())) : nullptr;
  if (last == nullptr || wanted == nullptr || last->fields() == nullptr ||
      !Named(last->result_name(), kRepSqlResultName)) {
    TraceMessage(kTag, 9, 0, -1,
                 "RepTrimResultSelect() - Could not find result table select op. Failing.");
    return kRepClassFailed;
  }
  List* items = last->fields();
  for (size_t i = 0; i < items->size();) {
    RepSqlField* item = ObjCast<RepSqlField>(items->at(i));
    if (item == nullptr) {
      ListRemoveNthItem(items, i + 1);
      continue;
    }
    const char* table = OrEmpty(item->table());
    const char* field = OrEmpty(item->field());
    if (Named(table, "*") || Named(field, "*")) {
      TraceMessage(kTag, 10, 0, 3, "Binning wildcard '%s:%s'", table, field);
      ListRemoveNthItem(items, i + 1);
      continue;
    }
    const int32_t position = WantedPosition(wanted, field);
    if (position == 0) {
      TraceMessage(kTag, 11, 0, 3, "Binning '%s' - user didn't want it", field);
      ListRemoveNthItem(items, i + 1);
      continue;
    }
    TraceMessage(kTag, 12, 0, 3, "Keeping '%s' - user wanted it.", field);
    item->set_position(position);
    ++i;
  }
  for (size_t w = 0; w < wanted->size(); ++w) {
    const char* name = FirstSlotName(wanted->at(w));
    if (name == nullptr || WantedPosition(wanted, name) != static_cast<int32_t>(w + 1)) continue;
    bool named = false;
    for (Obj* o : *items) named = named || Named(ObjCast<RepSqlField>(o)->field(), name);
    if (named) continue;
    TraceMessage(kTag, 13, 0, 3, "Add '%s' to select list - user wants it.", name);
    Ref<RepSqlField> item = RepSqlField::New();
    item->set_table("");
    item->set_field(name);
    item->set_position(static_cast<int32_t>(w + 1));
    ListPushLastItemInternal(items, std::move(item));
  }
  ListSort(items, ComparePositions);
  return kRepClassOk;
}

int kr_internal::ClassFieldsToTake(Ref<List>* fields, const RepSqlSelect* statement,
                                   size_t table_index0, const List* table_fields,
                                   const List* result_fields, bool with_records) noexcept {
  const char* table = statement != nullptr ? statement->table_name(table_index0) : nullptr;
  if (fields == nullptr || table == nullptr || table_fields == nullptr ||
      statement->fields() == nullptr) {
    return kRepClassFailed;
  }
  Ref<List> take = ListNewFromPool();
  for (Obj* o : *table_fields) {
    const char* name = FirstSlotName(o);
    if (name == nullptr) continue;
    if (!IsSelected(statement, table, name) && !IsJoinField(statement, table_index0, table, name)) {
      continue;
    }
    if (!with_records && InList(result_fields, name)) continue;
    ListAddLastItem(take.get(), o);
  }
  *fields = std::move(take);
  return kRepClassOk;
}

int kr_internal::LoadClassTextByNiceName(std::string* text, std::string* file_name,
                                         const char* nice_name) noexcept {
  if (text == nullptr || file_name == nullptr || nice_name == nullptr) return kRepClassFailed;
  std::string dir;
  NiceNameSearch search;
  search.wanted = nice_name;
  if (ClassesDir(&dir)) DirScanDirect(dir.c_str(), MatchNiceName, &search);
  if (!search.found) {
    TraceMessage(kTag, 14, 0, -1, "Failed to load class with nice name '%s'", nice_name);
    return kRepClassFailed;
  }
  *text = std::move(search.text);
  *file_name = std::move(search.file_name);
  return kRepClassOk;
}

int kr_internal::LoadClassTextByRealName(std::string* text, const char* file_name) noexcept {
  if (text == nullptr || file_name == nullptr) return kRepClassFailed;
  std::string path;
  if (!PathIsSafeName(file_name) || RepPathBuild(&path, "classes", file_name, nullptr) != kRepOk ||
      LoadTextFile(text, path.c_str()) != 1) {
    TraceMessage(kTag, 15, 0, -1, "Failed to load contents of class '%s'", file_name);
    return kRepClassFailed;
  }
  return kRepClassOk;
}

// --- running a class's query
// ----------------------------------------------------------------------

namespace {

// The caller's progress callback and its argument, handed to the table transforms.
struct RepClassProgress : ObjView<RepClassProgress> {
  static constexpr uint32_t kTypeCode = 0xc9c90c0c;
  static constexpr const char kSpec[] = "p;p;";
  static constexpr const char kName[] = "RepClassProgress";

  RepProgressCallback callback() const noexcept {
    return reinterpret_cast<RepProgressCallback>(static_cast<uintptr_t>(PtrSlot<1>()));
  }
  void* argument() const noexcept {
    return reinterpret_cast<void*>(static_cast<uintptr_t>(PtrSlot<2>()));
  }
  void set_callback(RepProgressCallback v) noexcept {
    SetPtrSlot<1>(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(v)));
  }
  void set_argument(void* v) noexcept {
    SetPtrSlot<2>(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(v)));
  }
};

int CallClassProgress(void* wrapper, int) {
  const RepClassProgress* p = static_cast<const RepClassProgress*>(wrapper);
  if (p->callback() != nullptr) p->callback()(p->argument(), 0);
  return 0;
}

// One run of a class's query.
struct ClassRun {
  const char* class_name;
  bool with_records;
  const List* wanted;  // with records: the report's fields, in report order
  Ref<List> registry;
  Ref<List> results;  // one RepTable per statement done so far
  RepProgressCallback progress;
  void* argument;
  Ref<RepClassProgress> wrapper;

  RepProgressCallback transform_progress() const {
    return progress != nullptr ? &CallClassProgress : nullptr;
  }
};

bool HasAllFields(const List* wanted, const List* fields) {
  return ListWalk(wanted, &RepCheckProvideFieldsCB, const_cast<List*>(fields)) == 1;
}

// An earlier result named `name` that has every wanted field, filtered by `filter` when it has a
// text. 0 and the table; 1 when no earlier result of that name serves; *found tells whether
// there was one of that name at all.
int GetLocalTable(Ref<RepTable>* table, bool* found, const char* name, const ClassRun& run,
                  const List* wanted, const RepSqlFilter* filter) {
  *found = false;
  for (Obj* o : *run.results) {
    RepTable* local = ObjCast<RepTable>(o);
    if (local == nullptr || !Named(local->name(), name)) continue;
    *found = true;
    if (wanted == nullptr || wanted->empty()) {
      TraceMessage(kTag, 20, 0, 3,
                   "Table '%s' is a local table. No requirements for fields, so use local copy.",
                   name);
      *table = Ref<RepTable>::Share(local);
      return kRepClassOk;
    }
    if (local->fields() == nullptr || !HasAllFields(wanted, local->fields())) {
      TraceMessage(kTag, 21, 0, -1,
                   "Table '%s' is a local table, but does NOT have all needed fields. Give up.",
                   name);
      continue;
    }
    TraceMessage(kTag, 22, 0, 3, "Table '%s' is a local table. Has all needed fields so use it.",
                 name);
    const char* text = filter != nullptr ? filter->text() : nullptr;
    if (text == nullptr || *text == '\0') {
      TraceMessage(kTag, 23, 0, 3, "Local table does not need filtering");
      *table = Ref<RepTable>::Share(local);
      return kRepClassOk;
    }
    Ref<RepFilterTree> tree = RepMakeFilterTree(text, local->fields());
    if (!tree) {
      TraceMessage(kTag, 24, 0, -1, "Cannot make filter tree for filtering local table");
      return kRepClassFailed;
    }
    Ref<List> kept = ListNewFromPool();
    if (local->records() != nullptr) {
      for (Obj* r : *local->records()) {
        if (RepFilterCatchesRecord(ObjCast<RepRecord>(r), tree.get()) == 1) {
          ListAddLastItem(kept.get(), r);
        }
      }
    }
    TraceMessage(kTag, 25, 0, 3, "Done filtering of local table. %ld records left",
                 static_cast<long>(kept->size()));
    *table = RepNewTable(local->name(), Ref<List>::Share(local->fields()), std::move(kept));
    return kRepClassOk;
  }
  return kRepClassFailed;
}

// Gets the table a statement names: from an earlier result, else from its provider, with fields
// only or with records (`wanted`, restricted and filtered). 0 and the table; 1 on failure.
int GetTable(Ref<RepTable>* table, const char* name, const ClassRun& run, bool with_records,
             List* wanted, List* restrictions, Obj* filter) {
  bool found_local = false;
  if (GetLocalTable(table, &found_local, name, run, wanted, ObjCast<RepSqlFilter>(filter)) ==
      kRepClassOk) {
    return kRepClassOk;
  }
  // An earlier result of that name that cannot serve is not retried.
  if (found_local) return kRepClassFailed;
  TraceMessage(kTag, 26, 0, 3,
               "Table '%s' is NOT available locally. Going to get it from its table provider.",
               name);
  Ref<RepTableInfo> info;
  if (RepFindTableInfo(&info, run.registry.get(), name) != kRepOk) {
    TraceMessage(kTag, 27, 0, -1, "Failed to get process for table '%s'. Table not registered.",
                 name);
    return kRepClassFailed;
  }
  const char* process = OrEmpty(info->process_name());
  const char* machine = OrEmpty(info->machine_name());
  if (!with_records) {
    Ref<RepFieldList> fields;
    if (RepGetTableFieldsFromProc(&fields, name, process, machine) != kRepFetchOk) {
      TraceMessage(kTag, 28, 0, -1,
                   "Failed to get fields from process '%s' on machine '%s' for table '%s'", process,
                   machine, name);
      return kRepClassFailed;
    }
    TraceMessage(kTag, 29, 0, 3, "Got fields OK from process '%s' on machine '%s' for table '%s'",
                 process, machine, name);
    *table = RepNewTable(name, std::move(fields), nullptr);
    return kRepClassOk;
  }
  if (RepGetTableFromProc(table, info.get(), wanted, restrictions, filter, run.progress,
                          run.argument) != kRepFetchOk) {
    TraceMessage(kTag, 30, 0, -1,
                 "Failed to get table '%s' with records from proc '%s' on machine '%s'", name,
                 process, machine);
    return kRepClassFailed;
  }
  TraceMessage(kTag, 31, 0, 3, "Got table '%s' with records from proc '%s' on machine '%s'", name,
               process, machine);
  return kRepClassOk;
}

Obj* NthOrNull(const List* list, size_t index0) {
  return list != nullptr && index0 < list->size() ? list->at(index0) : nullptr;
}

// Builds the result table of one statement. 0 and the table; 1 on failure.
int RunStatement(Ref<RepTable>* out, const RepSqlSelect* statement, const ClassRun& run) {
  const size_t table_count = ListGetItemCount(statement->tables());
  const List* order = Named(statement->result_name(), kRepSqlResultName) ? run.wanted : nullptr;
  Ref<RepTable> result;
  for (size_t i = 0; i < table_count; ++i) {
    const char* name = statement->table_name(i);
    if (name == nullptr) return kRepClassFailed;
    if (run.with_records && RepTableFetchCancelled()) {
      TraceMessage(kTag, 32, 0, -1, "Class '%s' cancelled before table '%s'", run.class_name, name);
      return kRepClassFailed;
    }
    List* merges = i > 0 ? ObjCast<List>(NthOrNull(statement->merges(), i - 1)) : nullptr;
    List* restrictions = ObjCast<List>(NthOrNull(statement->restrictions(), i));
    Obj* filter = NthOrNull(statement->filters(), i);

    Ref<RepTable> fields_table;
    if (GetTable(&fields_table, name, run, false, nullptr, nullptr, nullptr) != kRepClassOk) {
      TraceMessage(kTag, 33, 0, -1, "Failed to get table '%s'", name);
      return kRepClassFailed;
    }
    Ref<List> take;
    if (kr_internal::ClassFieldsToTake(&take, statement, i, fields_table->fields(),
                                       result ? result->fields() : nullptr,
                                       run.with_records) != kRepClassOk) {
      TraceMessage(kTag, 34, 0, -1, "Failed to get join fields");
      return kRepClassFailed;
    }
    TraceMessage(kTag, 35, 0, 3, "Add %ld fields to composite table from table '%s'",
                 static_cast<long>(take->size()), name);
    Ref<RepTable> source = fields_table;
    if (run.with_records &&
        GetTable(&source, name, run, true, take.get(), restrictions, filter) != kRepClassOk) {
      TraceMessage(kTag, 36, 0, -1, "Failed to get table '%s' with selected fields.", name);
      return kRepClassFailed;
    }
    if (i == 0) {
      // The fetched table is not needed after this: its records can move into the result
      // rather than be copied.
      const int made =
          run.with_records
              ? kr_internal::RepTableFromTableTaking(&result, source.get(), take.get(), order,
                                                     run.transform_progress(), run.wrapper.get())
              : RepTableFromTable(&result, source.get(), take.get(), order, 0,
                                  run.transform_progress(), run.wrapper.get());
      if (made != 1) {
        TraceMessage(kTag, 37, 0, -1, "Failed to make result table from table '%s' for class '%s'.",
                     name, run.class_name);
        return kRepClassFailed;
      }
      TraceMessage(kTag, 38, 0, 3, "Table from table OK - have %ld records",
                   static_cast<long>(ListGetItemCount(result->records())));
    } else {
      if (RepMergeTables(result.get(), source.get(), take.get(), order, merges,
                         run.with_records ? 1 : 0, run.transform_progress(),
                         run.wrapper.get()) != kRepOk) {
        TraceMessage(kTag, 39, 0, -1, "Failed to merge table '%s' into results table", name);
        return kRepClassFailed;
      }
      TraceMessage(kTag, 40, 0, 3, "Table merge OK");
    }
  }
  if (!result) return kRepClassFailed;
  result->set_name(statement->result_name());
  *out = std::move(result);
  return kRepClassOk;
}

}  // namespace

int kr_internal::RunClassQuery(Ref<RepTable>* table, const char* class_name, const char* class_text,
                               int with_records, const List* wanted, RepProgressCallback progress,
                               void* argument) noexcept {
  if (table == nullptr || class_text == nullptr || (with_records && wanted == nullptr))
    return kRepClassFailed;
  ClassRun run;
  run.class_name = OrEmpty(class_name);
  run.with_records = with_records != 0;
  run.wanted = run.with_records ? wanted : nullptr;
  run.progress = progress;
  run.argument = argument;
  run.results = ListNewFromPool();
  run.wrapper = RepClassProgress::New();
  run.wrapper->set_callback(progress);
  run.wrapper->set_argument(argument);
  // A registry that cannot be read serves no table; a class of local results only still runs.
  if (RepGetTableList(&run.registry) != kRepOk) run.registry = ListNewFromPool();

  Ref<RepSqlOpList> ops;
  if (RepSQLTextToOpList(&ops, class_text) != kRepSqlOk) {
    TraceMessage(kTag, 41, 0, -1, "Failed to convert SQL text to op list for class '%s'",
                 run.class_name);
    return kRepClassFailed;
  }
  if (run.with_records) RepTrimResultSelect(ops.get(), wanted);

  for (Obj* o : *ops->statements()) {
    const RepSqlSelect* statement = ObjCast<RepSqlSelect>(o);
    Ref<RepTable> result;
    if (statement == nullptr || RunStatement(&result, statement, run) != kRepClassOk) {
      TraceMessage(kTag, 42, 0, -1,
                   "Failed to get all fields for one SELECT statement for class '%s'",
                   run.class_name);
      TraceMessage(kTag, 43, 0, -1,
                   "Failed to carry out all select requests in get fields operation for class "
                   "'%s'",
                   run.class_name);
      return kRepClassFailed;
    }
    TraceMessage(kTag, 44, 0, 3,
                 "Got all fields OK for table '%s' in select statement for class '%s'. %ld "
                 "fields.",
                 OrEmpty(result->name()), run.class_name,
                 static_cast<long>(ListGetItemCount(result->fields())));
    ListPushLastItemInternal(run.results.get(), std::move(result));
  }
  RepTable* last = ObjCast<RepTable>(ListGetLastItem(run.results.get()));
  if (last == nullptr) {
    TraceMessage(kTag, 45, 0, -1,
                 "Get fields op for class '%s' failed because no tables resulted from SQL query",
                 run.class_name);
    return kRepClassFailed;
  }
  if (!Named(last->name(), kRepSqlResultName)) {
    TraceMessage(kTag, 46, 0, -1,
                 "Get fields op for class '%s' failed becuase last table is not result table",
                 run.class_name);
    return kRepClassFailed;
  }
  TraceMessage(kTag, 47, 0, 2, "Suceeded in getting table for class '%s'. %ld fields, %ld records.",
               run.class_name, static_cast<long>(ListGetItemCount(last->fields())),
               static_cast<long>(ListGetItemCount(last->records())));
  *table = Ref<RepTable>::Share(last);
  return kRepClassOk;
}

int RepGetClassFields(Ref<RepTable>* table, const char* nice_name) noexcept {
  if (table == nullptr || nice_name == nullptr) return kRepClassFailed;
  std::string text;
  std::string file_name;
  if (kr_internal::LoadClassTextByNiceName(&text, &file_name, nice_name) != kRepClassOk ||
      kr_internal::RunClassQuery(table, nice_name, text.c_str(), 0, nullptr, nullptr, nullptr) !=
          kRepClassOk) {
    TraceMessage(kTag, 48, 0, -1, "Failed to get fields for class '%s'", nice_name);
    return kRepClassFailed;
  }
  TraceMessage(kTag, 49, 0, 2, "Got fields for class '%s' OK", nice_name);
  return kRepClassOk;
}

int RepGetClassFieldsRealName(Ref<RepTable>* table, const char* file_name) noexcept {
  if (table == nullptr || file_name == nullptr) return kRepClassFailed;
  std::string text;
  if (kr_internal::LoadClassTextByRealName(&text, file_name) != kRepClassOk ||
      kr_internal::RunClassQuery(table, file_name, text.c_str(), 0, nullptr, nullptr, nullptr) !=
          kRepClassOk) {
    TraceMessage(kTag, 50, 0, -1, "Failed to get fields for real name class '%s'", file_name);
    return kRepClassFailed;
  }
  TraceMessage(kTag, 51, 0, 2, "Got fields for real name class '%s' OK", file_name);
  return kRepClassOk;
}

int RepProduceClassTable(RepControl* control, RepProgressCallback progress,
                         void* argument) noexcept {
  if (control == nullptr) return kRepClassFailed;
  const char* name = OrEmpty(RepParamsGetClass(control->params()));
  kr_internal::ClearTableFetchCancel();
  std::string text;
  std::string file_name;
  Ref<RepTable> table;
  if (control->report_fields() == nullptr ||
      kr_internal::LoadClassTextByNiceName(&text, &file_name, name) != kRepClassOk ||
      kr_internal::RunClassQuery(&table, name, text.c_str(), 1, control->report_fields(), progress,
                                 argument) != kRepClassOk ||
      RepTableFetchCancelled()) {
    TraceMessage(kTag, 52, 0, -1, "Failed to produce table of records for class '%s'", name);
    return kRepClassFailed;
  }
  control->set_table(std::move(table));
  TraceMessage(kTag, 53, 0, 2, "Produced table of records for class '%s' OK", name);
  return kRepClassOk;
}
