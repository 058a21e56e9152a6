// Test helpers for the output tests: field definitions, values, records and tables built in a
// line, and output files opened and read back.
#pragma once

#include <initializer_list>
#include <memory>
#include <string>
#include <utility>

#include "kr/file.h"
#include "kr/list.h"
#include "kr/object.h"
#include "reports/fields.h"
#include "reports/reports.h"

namespace rep_test {

inline Ref<RepFieldDef> Field(const char* name, int32_t type, int32_t characters,
                              const char* nice = nullptr, const char* compact = nullptr) {
  Ref<RepFieldDef> f = RepNewFieldDef(name, type, characters);
  if (nice != nullptr) f->set_nice_name(nice);
  f->set_compact_name(compact != nullptr ? compact : nice != nullptr ? nice : name);
  f->set_width_in_use(characters);
  return f;
}

inline Ref<List> Fields(std::initializer_list<Ref<RepFieldDef>> fields) {
  Ref<List> l = ListNewFromPool();
  for (const Ref<RepFieldDef>& f : fields) ListAddLastItem(l.get(), f.get());
  return l;
}

inline Ref<RepFieldValue> Normal(Ref<Obj> v) {
  return RepNewFieldValue(kRepStateNormal, std::move(v));
}
inline Ref<RepFieldValue> InState(int32_t state) { return RepNewFieldValue(state, nullptr); }
inline Ref<RepFieldValue> Int(int32_t v) { return Normal(ObjNewInteger(v)); }
inline Ref<RepFieldValue> I64(int64_t v) { return Normal(ObjNewInt64(v)); }
inline Ref<RepFieldValue> Str(const char* v) { return Normal(ObjNewString(v)); }
inline Ref<RepFieldValue> Bool(bool v) { return Normal(ObjNewBoolean(v)); }

inline Ref<RepFieldValue> Date(int y, int m, int d) {
  Ref<RepDateValue> v = RepDateValue::New();
  v->set_year(y);
  v->set_month(m);
  v->set_day(d);
  return Normal(std::move(v));
}

inline Ref<RepFieldValue> Time(int h, int m, int s) {
  Ref<RepTimeValue> v = RepTimeValue::New();
  v->set_hour(h);
  v->set_minute(m);
  v->set_second(s);
  return Normal(std::move(v));
}

inline Ref<RepRecord> Record(std::initializer_list<Ref<RepFieldValue>> values) {
  Ref<List> l = ListNewFromPool();
  for (const Ref<RepFieldValue>& v : values) ListAddLastItem(l.get(), v.get());
  Ref<RepRecord> r = RepRecord::New();
  r->set_values(std::move(l));
  return r;
}

inline Ref<List> Records(std::initializer_list<Ref<RepRecord>> records) {
  Ref<List> l = ListNewFromPool();
  for (const Ref<RepRecord>& r : records) ListAddLastItem(l.get(), r.get());
  return l;
}

// An output file opened as the writers open theirs (appending).
inline std::unique_ptr<FileSysFile> OpenAppend(const std::string& path) {
  std::unique_ptr<FileSysFile> f;
  FileSysFOpen(&f, path.c_str(), kFileSysModeAppend);
  return f;
}

}  // namespace rep_test
