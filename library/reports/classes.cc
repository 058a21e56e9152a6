// Report classes: listing and finding class files, nice names, trimming a query to the fields a
// report wants, and the fields a class run takes from each table.

#include "reports/classes.h"

#include <string>
#include <utility>

#include "kr/file.h"
#include "kr/path.h"
#include "kr/text.h"
#include "kr/trace.h"
#include "reports/utilities.h"

namespace {

constexpr const char* kTag = "REPCLASS";
constexpr const char kNiceNameKey[] = "%NICENAME";
constexpr size_t kNiceNameKeyLength = sizeof(kNiceNameKey) - 1;

const char* OrEmpty(const char* s) { return s != nullptr ? s : ""; }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }

// The classes directory. False when the reports directory is unknown.
bool ClassesDir(std::string* dir) { return RepPathBuild(dir, "classes", nullptr) == 1; }

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
  if (found == nullptr || name == nullptr || classes == nullptr) return 1;
  for (Obj* o : *classes) {
    const RepClass* cls = ObjCast<RepClass>(o);
    if (cls == nullptr) continue;
    if (StrCompareNoCase(by_nice ? cls->nice_name() : cls->file_name(), name) == 0) {
      *found = Ref<RepClass>::Share(const_cast<RepClass*>(cls));
      return 0;
    }
  }
  return 1;
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
  if (classes == nullptr) return 1;
  std::string dir;
  ListingState state;
  if (!ClassesDir(&dir) || DirScanDirect(dir.c_str(), AddClassIfValid, &state) != 1) {
    TraceMessage(kTag, 8, 0, -1, "Failed to scan classes directory.");
    return 1;
  }
  *classes = std::move(state.classes);
  return 0;
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
  if (nice_name == nullptr || file_name == nullptr) return 1;
  try {
    *nice_name = NiceName(file_name, class_text);
  } catch (...) {
    return 1;
  }
  return 0;
}

int RepTrimResultSelect(RepSqlOpList* op_list, const List* wanted) noexcept {
  RepSqlSelect* last =
      op_list != nullptr ? ObjCast<RepSqlSelect>(ListGetLastItem(op_list->statements())) : nullptr;
  if (last == nullptr || wanted == nullptr || last->fields() == nullptr ||
      !Named(last->result_name(), kRepSqlResultName)) {
    TraceMessage(kTag, 9, 0, -1,
                 "RepTrimResultSelect() - Could not find result table select op. Failing.");
    return 1;
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
  return 0;
}

int kr_internal::ClassFieldsToTake(Ref<List>* fields, const RepSqlSelect* statement,
                                   size_t table_index0, const List* table_fields,
                                   const List* result_fields, bool with_records) noexcept {
  const char* table = statement != nullptr ? statement->table_name(table_index0) : nullptr;
  if (fields == nullptr || table == nullptr || table_fields == nullptr ||
      statement->fields() == nullptr) {
    return 1;
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
  return 0;
}

int kr_internal::LoadClassTextByNiceName(std::string* text, std::string* file_name,
                                         const char* nice_name) noexcept {
  if (text == nullptr || file_name == nullptr || nice_name == nullptr) return 1;
  std::string dir;
  NiceNameSearch search;
  search.wanted = nice_name;
  if (ClassesDir(&dir)) DirScanDirect(dir.c_str(), MatchNiceName, &search);
  if (!search.found) {
    TraceMessage(kTag, 14, 0, -1, "Failed to load class with nice name '%s'", nice_name);
    return 1;
  }
  *text = std::move(search.text);
  *file_name = std::move(search.file_name);
  return 0;
}

int kr_internal::LoadClassTextByRealName(std::string* text, const char* file_name) noexcept {
  if (text == nullptr || file_name == nullptr) return 1;
  std::string path;
  if (!PathIsSafeName(file_name) || RepPathBuild(&path, "classes", file_name, nullptr) != 1 ||
      LoadTextFile(text, path.c_str()) != 1) {
    TraceMessage(kTag, 15, 0, -1, "Failed to load contents of class '%s'", file_name);
    return 1;
  }
  return 0;
}
