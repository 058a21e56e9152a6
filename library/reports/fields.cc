// Field types, field definitions and the fields-file loader.

#include "reports/fields.h"

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "kr/config.h"
#include "kr/path.h"
#include "kr/stanza.h"
#include "kr/text.h"
#include "kr/trace.h"
#include "reports/utilities.h"

namespace {

constexpr const char* kTag = "RPTFIELDS";

struct TypeNames {
  const char* keyword;
  const char* string_name;
  int string_id;
  const char* info_name;
  int info_id;
};

// Codes 13 and 14 carry ids 8213 and 8212 in the first set: the catalogue was numbered before
// the two types swapped places.
constexpr TypeNames kTypes[kRepFieldTypeCount] = {
    {"integer", "Integer", 8199, "Integer", 8216},
    {"string", "String", 8200, "String", 8217},
    {"boolean", "Boolean", 8201, "Boolean", 8218},
    {"date", "Date", 8202, "Date", 8219},
    {"time", "Time", 8203, "Time", 8220},
    {"timepassed", "Time passed", 8204, "Time passed", 8221},
    {"hdwmycount", "Hour/day/week/month/year count", 8205, "HDWMY count", 8222},
    {"selectiontree", "Selection tree", 8206, "Selection tree", 8223},
    {"daysinweek", "Days in a week", 8207, "Days in week", 8224},
    {"daysinmonth", "Days in a month", 8208, "Days in month", 8225},
    {"weeksinmonth", "Weeks in a month", 8209, "Weeks in month", 8226},
    {"pluginscreen", "Plugin screen", 8210, "Plugin screen", 8227},
    {"int64", "Large integer", 8211, "Large integer", 8228},
    {"systime", "System time", 8213, "System time", 8229},
    {"unique", "Unique ID", 8212, "Unique", 8230},
    {"datacount", "Data Count", 8214, "Data count", 8231},
};

// Finds a top-level field by name (case-blind) in a list, or null.
RepFieldDef* FindByName(const List* list, const char* name) {
  if (list == nullptr) return nullptr;
  for (Obj* o : *list) {
    RepFieldDef* f = ObjCast<RepFieldDef>(o);
    if (f != nullptr && StrCompareNoCase(f->name(), name) == 0) return f;
  }
  return nullptr;
}

// One fields file being loaded; `borrower` is the list of the file that borrows it, if any.
class FieldsFileLoader {
 public:
  FieldsFileLoader(std::string directory, bool ignore_derived, std::vector<std::string>* chain)
      : directory_(std::move(directory)), ignore_derived_(ignore_derived), chain_(chain) {}

  // Loads `file_table` (the name as it appears in the file name) with `prefix`, appending to
  // `out` on success.
  bool Load(const std::string& file_table, const std::string& prefix, const List* borrower,
            List* out);

 private:
  bool FieldPass(StnzFile* file, const std::string& prefix, const List* borrower, List* own);
  bool LoadFieldStanza(const Stanza* z, const std::string& stanza_name, const std::string& prefix,
                       const List* borrower, List* own);
  bool BorrowPass(StnzFile* file, const std::string& prefix, List* own);

  std::string directory_;
  bool ignore_derived_;
  std::vector<std::string>* chain_;  // files being loaded, outermost first
};

bool FieldsFileLoader::Load(const std::string& file_table, const std::string& prefix,
                            const List* borrower, List* out) {
  std::string file_name = file_table + "fields";
  std::string path;
  if (!PathIsSafeName(file_name.c_str()) ||
      !PathBuild(&path, directory_.c_str(), file_name.c_str(), nullptr)) {
    TraceMessage(kTag, 1, 0, -1, "Refusing fields file name '%s': not a plain file name",
                 file_name.c_str());
    return false;
  }
  // A borrow chain that comes back to a file still being loaded would never end.
  if (std::find(chain_->begin(), chain_->end(), path) != chain_->end()) {
    TraceMessage(kTag, 2, 0, -1, "Fields file '%s' borrows itself through a loop of borrows",
                 path.c_str());
    return false;
  }
  std::unique_ptr<StnzFile> file;
  if (!StnzFileOpen(&file, path.c_str())) {
    TraceMessage(kTag, 3, 0, -1, "Could not open file '%s' containing possible fields for table",
                 file_table.c_str());
    return false;
  }
  chain_->push_back(path);
  Ref<List> own = ListNewFromPool();
  bool ok = FieldPass(file.get(), prefix, borrower, own.get());
  if (ok && own->empty()) ok = false;
  if (!ok) {
    TraceMessage(kTag, 4, 0, -1, "Failed to load/process poss fields list");
  } else {
    RepFieldDef* first = ObjCast<RepFieldDef>(own->at(0));
    if (first != nullptr && first->primary_index())
      TraceMessage(kTag, 5, 0, 3, "Loaded primary index field '%s'", first->name());
    StnzFileRewind(file.get());
    ok = BorrowPass(file.get(), prefix, own.get());
  }
  chain_->pop_back();
  if (!ok) return false;
  for (Obj* f : *own) ListAddLastItem(out, f);
  return true;
}

bool FieldsFileLoader::FieldPass(StnzFile* file, const std::string& prefix, const List* borrower,
                                 List* own) {
  std::string kind, name;
  while (StnzFileFindNext(file, &kind, &name)) {
    if (StrCompareNoCase(kind.c_str(), "field") != 0) continue;
    std::unique_ptr<Stanza> z;
    if (!StnzFileLoad(file, &z)) {
      TraceMessage(kTag, 6, 0, -1, "Failed to load a stanza from fields file");
      return false;
    }
    if (!LoadFieldStanza(z.get(), name, prefix, borrower, own)) return false;
  }
  return true;
}

bool FieldsFileLoader::LoadFieldStanza(const Stanza* z, const std::string& stanza_name,
                                       const std::string& prefix, const List* borrower, List* own) {
  const char* sn = stanza_name.c_str();
  std::string nice, description, type_text, compact, group, derived_from;
  int32_t nice_id = 0, description_id = 0, characters = 0, compact_id = 0, group_id = 0;
  if (!StnzGetString(&nice, z, "nicename", 0) || nice.empty()) {
    TraceMessage(kTag, 7, 0, -1, "Missing nice name string for field '%s'", sn);
    return false;
  }
  if (!StnzGetInteger(&nice_id, z, "nicenameid", 0)) {
    TraceMessage(kTag, 8, 0, -1, "Missing nice name id for field '%s'", sn);
    return false;
  }
  if (!StnzGetString(&description, z, "description", 0) || description.empty()) {
    TraceMessage(kTag, 9, 0, -1, "Missing description string for field '%s'", sn);
    return false;
  }
  if (!StnzGetInteger(&description_id, z, "descriptionid", 0)) {
    TraceMessage(kTag, 10, 0, -1, "Missing description id for field '%s'", sn);
    return false;
  }
  if (!StnzGetInteger(&characters, z, "characters", 0) || characters == 0) {
    TraceMessage(kTag, 11, 0, -1, "Failed to get char count for field '%s'", sn);
    return false;
  }
  if (!StnzGetString(&type_text, z, "type", 0) || type_text.empty()) {
    TraceMessage(kTag, 12, 0, -1, "Failed to get field type for '%s'", sn);
    return false;
  }
  int32_t type = RepFieldTypeFromKeyword(type_text.c_str());
  if (type < 0) {
    TraceMessage(kTag, 13, 0, -1, "Failed to convert type '%s' for field '%s'", type_text.c_str(),
                 sn);
    return false;
  }
  bool must_start_line = false, primary_index = false;
  StnzGetBoolean(&must_start_line, z, "muststartline", 0);
  StnzGetBoolean(&primary_index, z, "primaryindex", 0);
  bool has_compact = StnzGetString(&compact, z, "compactname", 0) && !compact.empty();
  if (has_compact && !StnzGetInteger(&compact_id, z, "compactnameid", 0)) {
    TraceMessage(kTag, 14, 0, -1, "Compact name id missing for field '%s'", sn);
    return false;
  }
  bool has_group = StnzGetString(&group, z, "group", 0) && !group.empty();
  if (has_group && !StnzGetInteger(&group_id, z, "groupid", 0)) {
    TraceMessage(kTag, 15, 0, -1, "Missing group ID for field '%s'", sn);
    return false;
  }

  std::string qualified = prefix + stanza_name;
  if (FindByName(own, qualified.c_str()) != nullptr ||
      FindByName(borrower, qualified.c_str()) != nullptr) {
    TraceMessage(kTag, 16, 0, -1, "Reject duplicate field '%s'", qualified.c_str());
    return true;
  }

  Ref<RepFieldDef> f = RepFieldDef::New();
  f->set_name(qualified.c_str());
  f->set_nice_name(LocaleGetString(nice.c_str(), nice_id).c_str());
  f->set_compact_name(has_compact ? LocaleGetString(compact.c_str(), compact_id).c_str()
                                  : f->nice_name());
  if (has_group) f->set_group(LocaleGetString(group.c_str(), group_id).c_str());
  f->set_description(LocaleGetString(description.c_str(), description_id).c_str());
  f->set_characters(characters);
  f->set_type(type);
  f->set_must_start_line(must_start_line);
  f->set_primary_index(primary_index);

  if (!ignore_derived_ && StnzGetString(&derived_from, z, "derivedfrom", 0) &&
      !derived_from.empty()) {
    RepFieldDef* parent = FindByName(own, derived_from.c_str());
    if (parent != nullptr) {
      if (parent->derived() == nullptr) parent->set_derived(ListNewFromPool());
      ListPushLastItemInternal(parent->derived(), std::move(f));
      return true;
    }
    TraceMessage(kTag, 17, 0, -1,
                 "Failed to find derived-from field '%s' in list of allready loaded fields",
                 derived_from.c_str());
  }

  if (f->primary_index()) {
    RepFieldDef* first = own->empty() ? nullptr : ObjCast<RepFieldDef>(own->at(0));
    if (first != nullptr && first->primary_index()) {
      TraceMessage(kTag, 18, 0, -1,
                   "Warning - field '%s' cannot be primary index field. Allready have primary "
                   "index field '%s' in file",
                   f->name(), first->name());
      f->set_primary_index(false);
    }
  }
  if (f->primary_index()) {
    ListPushFirstItemInternal(own, std::move(f));
  } else {
    ListPushLastItemInternal(own, std::move(f));
  }
  return true;
}

bool FieldsFileLoader::BorrowPass(StnzFile* file, const std::string& prefix, List* own) {
  std::string kind, name;
  while (StnzFileFindNext(file, &kind, &name)) {
    if (StrCompareNoCase(kind.c_str(), "borrow") != 0) continue;
    std::unique_ptr<Stanza> z;
    if (!StnzFileLoad(file, &z)) {
      TraceMessage(kTag, 19, 0, -1, "Failed to load a borrowing stanza fromfields file");
      return false;
    }
    std::string prepend;
    if (!StnzGetString(&prepend, z.get(), "prepend", 0)) {
      TraceMessage(kTag, 20, 0, -1, "Missing prepend key in borrow stanza '%s'", name.c_str());
      return false;
    }
    // The borrowed file sees this file's list (own fields and earlier borrows) for its
    // duplicate check, and appends to it.
    if (!Load(name, prefix + prepend, own, own)) {
      TraceMessage(kTag, 21, 0, -1, "Failed to load borrowed fields");
      return false;
    }
  }
  return true;
}

int LoadFromDir(const char* table_name, const char* directory, RepFieldList* fields,
                int ignore_derived) {
  if (table_name == nullptr || directory == nullptr || fields == nullptr) return 0;
  std::vector<std::string> chain;
  FieldsFileLoader loader(directory, ignore_derived != 0, &chain);
  return loader.Load(StrToLowerCopy(table_name), "", nullptr, fields) ? 1 : 0;
}

}  // namespace

void RepFieldDef::set_name(const char* v) noexcept {
  SetStrSlot<1>(v);
  SetIntSlot<9>(v != nullptr ? static_cast<int32_t>(StrCharCount(v)) : 0);
}

Ref<RepFieldDef> RepNewFieldDef(const char* name, int32_t type, int32_t characters) noexcept {
  Ref<RepFieldDef> f = RepFieldDef::New();
  f->set_name(name);
  f->set_nice_name(name);
  f->set_compact_name(name);
  f->set_description("");
  f->set_type(type);
  f->set_characters(characters);
  return f;
}

const char* RepGetFieldTypeString(int32_t type) noexcept {
  if (type < 0 || type >= kRepFieldTypeCount) return LocaleGetStaticString("Unknown", 8215);
  const TypeNames& t = kTypes[type];
  return LocaleGetStaticString(t.string_name, t.string_id);
}

void RepGetFieldTypeInfo(Ref<List>* list) noexcept {
  if (list == nullptr) return;
  Ref<List> l = ListNewWithCapacity(kRepFieldTypeCount);
  for (int32_t i = 0; i < kRepFieldTypeCount; ++i) {
    Ref<RepFieldTypeInfo> info = RepFieldTypeInfo::New();
    info->SetIntSlot<1>(i);
    info->SetStrSlot<2>(LocaleGetString(kTypes[i].info_name, kTypes[i].info_id).c_str());
    ListPushLastItemInternal(l.get(), std::move(info));
  }
  *list = std::move(l);
}

int RepGetFieldTypeInfoFromList(Ref<RepFieldTypeInfo>* info, const List* list,
                                int32_t type) noexcept {
  if (info == nullptr || list == nullptr) return 0;
  for (Obj* o : *list) {
    RepFieldTypeInfo* i = ObjCast<RepFieldTypeInfo>(o);
    if (i != nullptr && i->type() == type) {
      *info = Ref<RepFieldTypeInfo>::Share(i);
      return 1;
    }
  }
  return 0;
}

int32_t RepFieldTypeFromKeyword(const char* keyword) noexcept {
  if (keyword == nullptr) return -1;
  for (int32_t i = 0; i < kRepFieldTypeCount; ++i)
    if (StrCompareNoCase(keyword, kTypes[i].keyword) == 0) return i;
  return -1;
}

int RepLoadTableFields(const char* table_name, RepFieldList* fields, int ignore_derived) noexcept {
  std::string directory;
  if (!RepPathBuild(&directory, "fields", nullptr)) return 0;
  return LoadFromDir(table_name, directory.c_str(), fields, ignore_derived);
}

int RepLoadTableFieldsFromDir(const char* table_name, const char* directory, RepFieldList* fields,
                              int ignore_derived) noexcept {
  return LoadFromDir(table_name, directory, fields, ignore_derived);
}

// --- field lists ---------------------------------------------------------------------------------

namespace {

// The first field of `list` whose name is the `chars` characters at `token`, case-blind.
RepFieldDef* FindByToken(const List* list, const char* token, int chars) {
  if (list == nullptr || chars <= 0) return nullptr;
  for (Obj* o : *list) {
    RepFieldDef* f = ObjCast<RepFieldDef>(o);
    if (f != nullptr &&
        StrCompareRangeExactNoCase(token, static_cast<size_t>(chars), f->name()) == 0)
      return f;
  }
  return nullptr;
}

// The 0-based position of the field named by the token at `reference`, or -1.
int32_t IndexOfReference(const List* list, const char* reference, RepFieldDef** found) {
  if (list == nullptr || reference == nullptr) return -1;
  if (*reference == '%') ++reference;
  int chars = StrGetTokenCharCount(reference);
  if (chars <= 0) return -1;
  for (size_t i = 0; i < list->size(); ++i) {
    RepFieldDef* f = ObjCast<RepFieldDef>(list->at(i));
    if (f != nullptr &&
        StrCompareRangeExactNoCase(reference, static_cast<size_t>(chars), f->name()) == 0) {
      *found = f;
      return static_cast<int32_t>(i);
    }
  }
  return -1;
}

bool HasName(const List* list, const char* name) { return FindByName(list, name) != nullptr; }

// The label a field is placed by when inserted alphabetically.
const char* Label(const RepFieldDef* f) {
  const char* nice = f->nice_name();
  return (nice != nullptr && *nice != '\0') ? nice : f->name();
}

}  // namespace

int RepFindFieldInList(Ref<RepFieldDef>* field, const char* name,
                       const RepFieldList* list) noexcept {
  if (field == nullptr || name == nullptr) return 0;
  RepFieldDef* f = FindByName(list, name);
  if (f == nullptr) return 0;
  *field = Ref<RepFieldDef>::Share(f);
  return 1;
}

int RepFindFieldInListFromNiceName(Ref<RepFieldDef>* field, const char* nice_name,
                                   const RepFieldList* list) noexcept {
  if (field == nullptr || nice_name == nullptr || list == nullptr) return 0;
  for (Obj* o : *list) {
    RepFieldDef* f = ObjCast<RepFieldDef>(o);
    if (f != nullptr && StrCompareNoCase(f->nice_name(), nice_name) == 0) {
      *field = Ref<RepFieldDef>::Share(f);
      return 1;
    }
  }
  return 0;
}

int RepGetFieldIndex(int32_t* index, const char* reference, const RepFieldList* list) noexcept {
  RepFieldDef* f;
  int32_t i = IndexOfReference(list, reference, &f);
  if (i < 0 || index == nullptr) return 0;
  *index = i;
  return 1;
}

int RepGetFieldIndexAndType(int32_t* index, int32_t* type, const char* reference,
                            const RepFieldList* list) noexcept {
  RepFieldDef* f;
  int32_t i = IndexOfReference(list, reference, &f);
  if (i < 0 || index == nullptr || type == nullptr) return 0;
  *index = i;
  *type = f->type();
  return 1;
}

int RepGetAllFieldsString(std::string* names, const RepFieldList* list) noexcept {
  if (names == nullptr || list == nullptr) return 0;
  std::string s;
  for (Obj* o : *list) {
    if (const RepFieldDef* f = ObjCast<RepFieldDef>(o)) {
      if (f->name() != nullptr) s += f->name();
      s += '\n';
    }
  }
  *names = std::move(s);
  return 1;
}

int RepFindField(Ref<RepFieldDef>* field, const char* text, const char** name_position,
                 int32_t* name_length, const RepFieldList* list) noexcept {
  if (text == nullptr) return kRepFieldNoMore;
  const char* p = text;
  while (*p != '\0') {
    if (*p != '%') {  // '%' is ASCII, so it never sits inside a multibyte character
      ++p;
      continue;
    }
    const char* name = p + 1;
    if (*name == '%' || *name == '"' || *name == '\'') {
      p = name + 1;
      continue;
    }
    if (*name == '\\') {  // a control sequence: the backslash and one more character
      if (name[1] == '\0') return kRepFieldNoMore;
      p = StrNextChar(name + 1);
      continue;
    }
    int chars = StrGetTokenCharCount(name);
    RepFieldDef* f = FindByToken(list, name, chars);
    if (name_position != nullptr) *name_position = name;
    if (name_length != nullptr) *name_length = chars;
    if (f == nullptr) return kRepFieldBad;
    if (field != nullptr) *field = Ref<RepFieldDef>::Share(f);
    return kRepFieldFound;
  }
  return kRepFieldNoMore;
}

int RepFieldAt(Ref<RepFieldDef>* field, const char* text, const RepFieldList* list) noexcept {
  if (text == nullptr || *text != '%') return 0;
  // The token rule already refuses a '%' or a backslash as the start of a name.
  const char* name = text + 1;
  RepFieldDef* f = FindByToken(list, name, StrGetTokenCharCount(name));
  if (f == nullptr) return 0;
  if (field != nullptr) *field = Ref<RepFieldDef>::Share(f);
  return 1;
}

int RepAtFieldName(const char* text, const RepFieldList* list) noexcept {
  return RepFieldAt(nullptr, text, list);
}

int32_t RepGetFieldChars(const char* name) noexcept {
  if (name == nullptr) return 0;
  const char* p = StrSkipTokenF(name);
  if (p[0] != ':' || p[1] != ':') return 0;
  p += 2;
  int64_t width = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    width = width * 10 + (*p - '0');
    if (width > INT32_MAX) return 0;
  }
  return static_cast<int32_t>(width);
}

const char* RepMoveAfterField(const char* name) noexcept {
  if (name == nullptr) return nullptr;
  const char* p = StrSkipTokenF(name);
  if (*p == ':') {
    ++p;
    if (*p == ':') {
      ++p;
      while (*p >= '0' && *p <= '9') ++p;
    }
  }
  if (*p == ' ') ++p;
  return p;
}

int RepFieldsInString(Ref<List>* fields, const char* text, const RepFieldList* list) noexcept {
  if (fields == nullptr) return 0;
  Ref<List> found = ListNewFromPool();
  if (text == nullptr || *text == '\0') {
    TraceMessage(kTag, 40, 0, 2, "RepFieldsInString - empty string, return empty list");
    *fields = std::move(found);
    return 1;
  }
  const char* p = text;
  for (;;) {
    Ref<RepFieldDef> f;
    const char* name = nullptr;
    int32_t chars = 0;
    int r = RepFindField(&f, p, &name, &chars, list);
    if (r == kRepFieldNoMore) break;
    if (r == kRepFieldBad) {
      TraceMessage(kTag, 41, 0, -1, "String contains bad field.  at '%s'", name);
      return kRepFieldBad;
    }
    if (r != kRepFieldFound) {
      TraceMessage(kTag, 42, 0, -1, "Error finding next field in string");
      return 0;
    }
    int32_t width = RepGetFieldChars(name);
    f->set_width_in_use(width != 0 ? width : f->characters());
    ListPushLastItemInternal(found.get(), std::move(f));
    p = StrAdvanceChars(name, static_cast<size_t>(chars));
  }
  TraceMessage(kTag, 43, 0, 3, "RepFieldsInString - were %zu fields in string", found->size());
  *fields = std::move(found);
  return 1;
}

int RepCheckInvalidFields(std::string* invalid, const char* text,
                          const RepFieldList* list) noexcept {
  if (invalid == nullptr) return 0;
  if (list == nullptr || list->empty()) {
    TraceMessage(kTag, 44, 0, -1, "List of possible fileds was invalid");
    return 0;
  }
  if (text == nullptr || *text == '\0') {
    TraceMessage(kTag, 45, 0, -1, "Selection string is NULL");
    return 0;
  }
  std::string bad;
  int result = 0;
  const char* p = text;
  for (;;) {
    const char* name = nullptr;
    int32_t chars = 0;
    int r = RepFindField(nullptr, p, &name, &chars, list);
    if (r == kRepFieldNoMore) break;
    std::string token(name, StrBytesForChars(name, static_cast<size_t>(chars)));
    if (r == kRepFieldBad) {
      TraceMessage(kTag, 46, 0, 3, "Bad field found '%s'", token.c_str());
      if (result != 0) bad += "\n\n";
      bad += token;
      result = 1;
    }
    // Both a good and a bad name are passed over; a bad '%' with no name moves on by itself.
    p = name + token.size();
  }
  TraceMessage(kTag, 47, 0, 3, "Finished with Invalid Fields '%s'", bad.c_str());
  TraceMessage(kTag, 48, 0, 2, "%s==RepCheckInvalidFields", result ? "TRUE" : "FALSE");
  *invalid = std::move(bad);
  return result;
}

int RepSortFieldsAlphabetically(Ref<List>* sorted, const RepFieldList* list,
                                int by_nice_name) noexcept {
  if (sorted == nullptr || list == nullptr) return 0;
  for (Obj* o : *list) {
    if (ObjCast<RepFieldDef>(o) == nullptr) {
      TraceMessage(kTag, 49, 0, -1,
                   "Bad field object when sorting fields list. Obj is of type '%s'",
                   ObjNameFromObject(o));
      return 0;
    }
  }
  Ref<List> out;
  if (!ListClone(&out, list)) return 0;
  // A stable sort gives what inserting each definition before the first greater one would.
  auto by_name = [](Obj* a, Obj* b) {
    return StrCompareNoCase(static_cast<RepFieldDef*>(a)->name(),
                            static_cast<RepFieldDef*>(b)->name());
  };
  auto by_nice = [](Obj* a, Obj* b) {
    return StrCompareNoCase(static_cast<RepFieldDef*>(a)->nice_name(),
                            static_cast<RepFieldDef*>(b)->nice_name());
  };
  ListSort(out.get(), by_nice_name == 1 ? +by_nice : +by_name);
  *sorted = std::move(out);
  return 1;
}

int RepFieldInsertAlphabetically(RepFieldList* list, RepFieldDef* field) noexcept {
  if (list == nullptr || field == nullptr) return 0;
  const char* label = Label(field);
  size_t n = list->size();
  size_t at = n;
  for (size_t i = 0; i < n; ++i) {
    const RepFieldDef* f = ObjCast<RepFieldDef>(list->at(i));
    if (f != nullptr && StrCompareNoCase(Label(f), label) > 0) {
      at = i;
      break;
    }
  }
  if (!ListInsertAt(list, at + 1, field)) return 0;
  return static_cast<int>(at + 1);
}

void RepAddAnyNewFields(RepFieldList* destination, const RepFieldList* other,
                        const RepFieldList* source) noexcept {
  if (destination == nullptr || source == nullptr) return;
  // Positions, not iterators: `source` may be `destination` itself (then nothing is new).
  for (size_t i = 0; i < source->size(); ++i) {
    const RepFieldDef* f = ObjCast<RepFieldDef>(source->at(i));
    if (f == nullptr || HasName(other, f->name()) || HasName(destination, f->name())) continue;
    Ref<Obj> copy;
    if (!ObjDuplicate(&copy, f)) continue;
    TraceMessage(kTag, 50, 0, 3, "RepAddAnyNewFields() - adding field '%s' to results list",
                 f->name());
    ListPushLastItemInternal(destination, std::move(copy));
  }
}

int RepCountAbsentFields(const RepFieldList* list, const RepFieldList* candidates) noexcept {
  if (candidates == nullptr) return 0;
  int absent = 0;
  for (Obj* o : *candidates) {
    const RepFieldDef* f = ObjCast<RepFieldDef>(o);
    if (f != nullptr && !HasName(list, f->name())) ++absent;
  }
  return absent;
}

int RepFieldsAreSame(const RepFieldDef* a, const RepFieldDef* b) noexcept {
  if (a == nullptr || b == nullptr) return kRepFieldsDifferent;
  bool same = StrCompareNoCase(a->name(), b->name()) == 0 && a->type() == b->type() &&
              a->primary_index() == b->primary_index();
  return same ? kRepFieldsSame : kRepFieldsDifferent;
}

int RepCompareFormats(const RepFieldList* first, const RepFieldList* second) noexcept {
  size_t n1 = ListGetItemCount(first), n2 = ListGetItemCount(second);
  auto name_at = [](const List* l, size_t i) {
    const RepFieldDef* f = ObjCast<RepFieldDef>(l->at(i));
    return f != nullptr ? f->name() : nullptr;
  };
  size_t count = 0;
  bool in_step = true;
  for (size_t i = 0; i < n1; ++i) {
    const char* name = name_at(first, i);
    if (in_step && i < n2 && name != nullptr && StrCompareNoCase(name, name_at(second, i)) == 0) {
      ++count;
      continue;
    }
    in_step = false;
    if (name != nullptr && HasName(second, name)) ++count;
  }
  if (in_step && n1 == n2) return kRepFieldsSame;
  if (count == n1 && count == n2) return kRepFieldsReordered;
  if (count != n1 && count != n2) return kRepFieldsEachHasOthers;
  if (count < n1) return kRepFieldsFirstHasMore;
  return kRepFieldsSecondHasMore;
}

void RepExpandDerivedFields(Ref<List>* expanded, const RepFieldList* list) noexcept {
  if (expanded == nullptr) return;
  Ref<List> out = ListNewWithCapacity(ListGetItemCount(list));
  if (list != nullptr) {
    for (Obj* o : *list) {
      ListAddLastItem(out.get(), o);
      const RepFieldDef* f = ObjCast<RepFieldDef>(o);
      if (f == nullptr || f->derived() == nullptr) continue;
      for (Obj* d : *f->derived()) ListAddLastItem(out.get(), d);
    }
  }
  *expanded = std::move(out);
}

void RepMergeDerivedFields(RepFieldList* destination, const RepFieldList* source) noexcept {
  if (destination == nullptr || source == nullptr) return;
  for (Obj* o : *source) {
    const RepFieldDef* from = ObjCast<RepFieldDef>(o);
    if (from == nullptr || from->derived() == nullptr) continue;
    RepFieldDef* to = FindByName(destination, from->name());
    if (to == nullptr || to == from) continue;
    for (Obj* d : *from->derived()) {
      const RepFieldDef* derived = ObjCast<RepFieldDef>(d);
      if (derived == nullptr || HasName(to->derived(), derived->name())) continue;
      if (to->derived() == nullptr) to->set_derived(ListNewFromPool());
      TraceMessage(kTag, 51, 0, 3, "Add derived field '%s' to field '%s'", derived->name(),
                   to->name());
      ListAddLastItem(to->derived(), d);
    }
  }
}
