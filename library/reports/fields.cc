// Field types, field definitions and the fields-file loader.

#include "reports/fields.h"

#include <algorithm>
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
