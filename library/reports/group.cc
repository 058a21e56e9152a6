// Grouping records into summary tables: parsing the group and aggregate texts, gathering the
// records of each group in one pass, and building the summary's fields and records.

#include "reports/group.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "kr/object.h"
#include "kr/text.h"
#include "kr/time.h"
#include "kr/trace.h"
#include "reports/filter.h"
#include "reports/format.h"
#include "reports/utilities.h"

namespace {

constexpr const char* kTag = "REPGROUP";

// --- parsing -------------------------------------------------------------------------------

bool IsSeparator(char c) { return c == ' ' || c == '\t' || c == ',' || c == '\n' || c == '\r'; }

void SkipSeparators(const char** p) {
  while (**p != '\0' && IsSeparator(**p)) ++*p;
}

// A field reference at *p: '%' then a token. Advances past it.
bool ReadFieldRef(std::string* name, const char** p) {
  if (**p != '%') return false;
  const char* start = *p + 1;
  const int n = StrGetTokenCharCount(start);
  if (n <= 0) return false;
  // StrGetTokenCharCount counts characters; the token is made of whole UTF-8 sequences, so walk
  // them to find its end in bytes.
  const char* q = start;
  for (int i = 0; i < n && *q != '\0'; ++i) {
    ++q;
    while ((static_cast<unsigned char>(*q) & 0xc0) == 0x80) ++q;
  }
  name->assign(start, q);
  *p = q;
  return true;
}

bool ReadWord(std::string* word, const char** p) {
  const char* start = *p;
  while (std::isalnum(static_cast<unsigned char>(**p)) || **p == '_') ++*p;
  word->assign(start, *p);
  return !word->empty();
}

int ParseKeys(RepGroupSpec* spec, std::string* error, const char* text) {
  const char* p = StrOrEmpty(text);
  for (SkipSeparators(&p); *p != '\0'; SkipSeparators(&p)) {
    RepGroupKey key;
    if (!ReadFieldRef(&key.field, &p)) {
      *error = "group by: expected a field reference such as %client at '" + std::string(p) + "'";
      return 0;
    }
    if (*p == ':') {
      ++p;
      std::string bucket;
      ReadWord(&bucket, &p);
      if (StrCompareNoCase(bucket.c_str(), "day") == 0) {
        key.bucket = kRepBucketDay;
      } else if (StrCompareNoCase(bucket.c_str(), "week") == 0) {
        key.bucket = kRepBucketWeek;
      } else if (StrCompareNoCase(bucket.c_str(), "month") == 0) {
        key.bucket = kRepBucketMonth;
      } else {
        *error = "group by: unknown bucket ':" + bucket + "' of %" + key.field +
                 " (use :day, :week or :month)";
        return 0;
      }
    }
    if (*p != '\0' && !IsSeparator(*p)) {
      *error = "group by: unexpected '" + std::string(p) + "' after %" + key.field;
      return 0;
    }
    spec->keys.push_back(std::move(key));
  }
  if (spec->keys.empty()) {
    *error = "group by: no field given (for example %client)";
    return 0;
  }
  return 1;
}

struct KindName {
  const char* word;
  int32_t kind;
};
constexpr KindName kKinds[] = {{"count", kRepAggCount}, {"countif", kRepAggCountIf},
                               {"sum", kRepAggSum},
                               {"avg", kRepAggAverage}, {"average", kRepAggAverage},
                               {"min", kRepAggMin},     {"max", kRepAggMax}};

// The value of count(%field=VALUE): quoted, or up to the closing parenthesis.
bool ReadCountValue(std::string* value, const char** p) {
  if (**p == '"' || **p == '\'') {
    const char quote = **p;
    const char* end = std::strchr(*p + 1, quote);
    if (end == nullptr) return false;
    value->assign(*p + 1, end);
    *p = end + 1;
    return true;
  }
  const char* start = *p;
  while (**p != '\0' && **p != ')') ++*p;
  value->assign(start, *p);
  return true;
}

// countif(FILTER): the filter runs to the parenthesis that closes the opening one; quoted texts
// and nested parentheses inside it are passed over.
int ParseFilterArgument(RepAggregate* agg, std::string* error, const char** p) {
  if (**p != '(') {
    *error = "aggregates: countif needs a filter, as in countif(%status = Failed)";
    return 0;
  }
  const char* start = ++*p;
  int depth = 1;
  for (; **p != '\0'; ++*p) {
    if (**p == '"' || **p == '\'') {
      const char* end = std::strchr(*p + 1, **p);
      if (end == nullptr) break;
      *p = end;
    } else if (**p == '(') {
      ++depth;
    } else if (**p == ')' && --depth == 0) {
      agg->value.assign(start, *p);
      ++*p;
      return 1;
    }
  }
  *error = "aggregates: countif( is not closed by ')'";
  return 0;
}

// One item: [name=]word[(%field[=value])].
int ParseAggregate(RepAggregate* agg, std::string* error, const char** p) {
  const char* item = *p;
  std::string word;
  if (!ReadWord(&word, p)) {
    *error = "aggregates: expected count, sum, avg, min or max at '" + std::string(item) + "'";
    return 0;
  }
  if (**p == '=') {
    agg->name = word;
    ++*p;
    if (!ReadWord(&word, p)) {
      *error = "aggregates: expected count, sum, avg, min or max after '" + agg->name + "='";
      return 0;
    }
  }
  const KindName* kind = nullptr;
  for (const KindName& k : kKinds) {
    if (StrCompareNoCase(word.c_str(), k.word) == 0) kind = &k;
  }
  if (kind == nullptr) {
    *error = "aggregates: unknown aggregate '" + word + "' (use count, sum, avg, min or max)";
    return 0;
  }
  agg->kind = kind->kind;
  if (agg->kind == kRepAggCountIf) return ParseFilterArgument(agg, error, p);
  if (**p != '(') {
    if (agg->kind == kRepAggCount) return 1;
    *error = "aggregates: " + word + " needs a field, as in " + word + "(%size)";
    return 0;
  }
  ++*p;
  if (!ReadFieldRef(&agg->field, p)) {
    *error = "aggregates: expected a field reference in " + word + "( at '" + std::string(*p) + "'";
    return 0;
  }
  if (agg->kind == kRepAggCount) {
    agg->kind = kRepAggCountEach;
    if (**p == '=') {
      ++*p;
      agg->kind = kRepAggCountValue;
      if (!ReadCountValue(&agg->value, p)) {
        *error = "aggregates: no closing quote in count(%" + agg->field + "=...)";
        return 0;
      }
    }
  }
  if (**p != ')') {
    *error = "aggregates: expected ')' after %" + agg->field + " in " + word + "(";
    return 0;
  }
  ++*p;
  return 1;
}

// --- keys ----------------------------------------------------------------------------------

// The bucket of a system time or date value: the date of its day, week (Monday) or month.
Ref<Obj> BucketValue(const Obj* value, int32_t type, int32_t bucket) {
  TimeDate date{};
  if (type == kRepTypeSysTime) {
    if (!RepDateFromTimeT(&date, ObjGetInteger(value))) return nullptr;
  } else {
    const RepDateValue* dv = ObjCast<RepDateValue>(const_cast<Obj*>(value));
    if (dv == nullptr) return nullptr;
    date = {dv->year(), dv->month(), dv->day(), 0};
  }
  if (bucket == kRepBucketMonth) {
    date.day = 1;
  } else if (bucket == kRepBucketWeek) {
    // Back to Monday from noon of the day, which no daylight-saving change moves to another day.
    TimeBreakdown bd{};
    bd.w[kTimeBdHour] = 12;
    bd.w[kTimeBdYear] = date.year;
    bd.w[kTimeBdMonth] = date.month;
    bd.w[kTimeBdDay] = date.day;
    int64_t noon = 0;
    if (!TimeFromBreakdown(&noon, &bd) || !TimeToBreakdownStruct(&bd, noon) ||
        !TimeBreakdownMoveBackDays(&bd, bd.w[kTimeBdWeekday])) {
      return nullptr;
    }
    date = {bd.w[kTimeBdYear], bd.w[kTimeBdMonth], bd.w[kTimeBdDay], 0};
  }
  Ref<RepDateValue> out = RepDateValue::New();
  out->set_year(date.year);
  out->set_month(date.month);
  out->set_day(date.day);
  return out;
}

// Appends the bytes that identify a value of the type: equal bytes, equal values.
void AppendKeyBytes(std::string* key, const RepFieldValue* v, int32_t type) {
  const int32_t state = v != nullptr ? v->state() : kRepStateUnknown;
  key->push_back(static_cast<char>('0' + state));
  if (state != kRepStateNormal) return;
  const Obj* o = v->value();
  switch (ObjGetMagic(o)) {
    case kObjIntegerType: {
      const int32_t i = ObjGetInteger(o);
      key->append(reinterpret_cast<const char*>(&i), sizeof i);
      return;
    }
    case kObjInt64Type: {
      const int64_t i = ObjGetInt64(o);
      key->append(reinterpret_cast<const char*>(&i), sizeof i);
      return;
    }
    case kObjStringType: {
      const char* s = ObjGetString(o);
      const size_t n = s != nullptr ? std::strlen(s) : 0;
      key->append(reinterpret_cast<const char*>(&n), sizeof n);
      key->append(StrOrEmpty(s), n);
      return;
    }
    default:
      if (const RepDateValue* d = ObjCast<RepDateValue>(const_cast<Obj*>(o))) {
        const int32_t ymd[3] = {d->year(), d->month(), d->day()};
        key->append(reinterpret_cast<const char*>(ymd), sizeof ymd);
        return;
      }
      break;
  }
  // Other types: their rendering identifies them (dates, times, booleans, day sets...).
  DString scratch;
  std::string_view text;
  if (RepTypedDataToText(&text, &scratch, type, o) == kRepOk) {
    const size_t n = text.size();
    key->append(reinterpret_cast<const char*>(&n), sizeof n);
    key->append(text);
  }
}

// --- aggregation ---------------------------------------------------------------------------

struct Column {  // one resolved key or aggregate
  int32_t index = -1;  // in the table's field list
  int32_t type = 0;
  const RepFieldDef* field = nullptr;
};

struct Acc {  // one aggregate of one group
  int64_t sum = 0;
  int64_t count = 0;
  bool overflow = false;
  const RepFieldValue* best = nullptr;  // min or max, borrowed from the records
  std::vector<int64_t> each;            // count per distinct value
};

struct Group {
  size_t first_record = 0;
  std::vector<Ref<RepFieldValue>> keys;
  std::vector<Acc> acc;
};

// Remembers, for a value seen before, what its key bytes led to. Loaders share one value object
// among the records that hold the same text (a client name, a status), so most records are
// answered here without building and hashing their key; a miss just takes the long way.
// Direct-mapped: a later value may take an earlier one's slot.
class PointerCache {
 public:
  bool Find(const void* p, size_t* index) const {
    const Slot& s = slots_[SlotOf(p)];
    if (s.pointer != p || p == nullptr) return false;
    *index = s.index;
    return true;
  }
  void Put(const void* p, size_t index) { slots_[SlotOf(p)] = {p, index}; }

 private:
  struct Slot {
    const void* pointer = nullptr;
    size_t index = 0;
  };
  static constexpr int kBits = 12;
  static size_t SlotOf(const void* p) {
    return static_cast<size_t>((reinterpret_cast<uintptr_t>(p) >> 4) * 0x9e3779b97f4a7c15ull >>
                               (64 - kBits));
  }
  std::vector<Slot> slots_ = std::vector<Slot>(size_t{1} << kBits);
};

struct Distinct {  // the distinct values of a count-each field
  std::unordered_map<std::string, size_t> index;
  std::vector<const RepFieldValue*> values;
  PointerCache seen;  // by the RepFieldValue
};

struct Plan {
  const RepGroupSpec* spec = nullptr;
  std::vector<Ref<RepFilterTree>> filters;  // countif filters, by aggregate
  std::vector<Column> keys, aggs;
  std::vector<Ref<Obj>> count_values;  // encoded values of count(%f=v), by aggregate
  std::vector<Distinct> distinct;      // by aggregate
};

bool IsSummable(int32_t type) {
  return type == kRepTypeInteger || type == kRepTypeInt64 || type == kRepTypeDataCount ||
         type == kRepTypeTimePassed;
}
bool IsAveragable(int32_t type) { return IsSummable(type) || type == kRepTypeSysTime; }
bool IsOrdered(int32_t type) {
  return type != kRepTypeSelectionTree && type != kRepTypePluginScreen && type >= 0 &&
         type < kRepFieldTypeCount;
}

int Resolve(Column* c, std::string* error, const RepFieldList* fields, const std::string& name) {
  int32_t index = -1, type = 0;
  if (RepGetFieldIndexAndType(&index, &type, name.c_str(), fields) != kRepOk) {
    std::string known;
    RepGetAllFieldsString(&known, fields);
    std::replace(known.begin(), known.end(), '\n', ' ');
    *error = "no field '" + name + "' in the report (fields: " + known + ")";
    return 0;
  }
  c->index = index;
  c->type = type;
  c->field = ObjCast<RepFieldDef>(fields->at(static_cast<size_t>(index)));
  return 1;
}

int MakePlan(Plan* plan, std::string* error, const RepFieldList* fields, const RepGroupSpec& spec) {
  plan->spec = &spec;
  for (const RepGroupKey& k : spec.keys) {
    Column c;
    if (!Resolve(&c, error, fields, k.field)) return 0;
    if (k.bucket != kRepBucketValue && c.type != kRepTypeSysTime && c.type != kRepTypeDate) {
      *error = "group by: %" + k.field + " is not a system time or date, so it has no :day, " +
               ":week or :month";
      return 0;
    }
    plan->keys.push_back(c);
  }
  plan->count_values.resize(spec.aggregates.size());
  plan->distinct.resize(spec.aggregates.size());
  plan->filters.resize(spec.aggregates.size());
  for (size_t i = 0; i < spec.aggregates.size(); ++i) {
    const RepAggregate& a = spec.aggregates[i];
    Column c;
    if (a.kind == kRepAggCountIf) {
      plan->filters[i] = RepMakeFilterTree(a.value.c_str(), fields);
      if (!plan->filters[i]) {
        *error = "aggregates: countif(" + a.value + ") is not a filter on the report's fields";
        return 0;
      }
      plan->aggs.push_back(c);
      continue;
    }
    if (a.kind != kRepAggCount && !Resolve(&c, error, fields, a.field)) return 0;
    const std::string type_name = c.field != nullptr ? RepGetFieldTypeString(c.type) : "";
    if (a.kind == kRepAggSum && !IsSummable(c.type)) {
      *error = "aggregates: sum(%" + a.field + ") is refused: a " + type_name +
               " field has no meaningful sum (use min, max or count)";
      return 0;
    }
    if (a.kind == kRepAggAverage && !IsAveragable(c.type)) {
      *error = "aggregates: avg(%" + a.field + ") is refused: a " + type_name +
               " field has no average";
      return 0;
    }
    if ((a.kind == kRepAggMin || a.kind == kRepAggMax || a.kind == kRepAggCountEach ||
         a.kind == kRepAggCountValue) &&
        !IsOrdered(c.type)) {
      *error = "aggregates: %" + a.field + " is a " + type_name + " field, which has no order";
      return 0;
    }
    if (a.kind == kRepAggCountValue &&
        RepEncodeData(&plan->count_values[i], a.value.c_str(), c.type) != kRepOk) {
      *error = "aggregates: '" + a.value + "' is not a value of %" + a.field + " (a " +
               type_name + " field)";
      return 0;
    }
    plan->aggs.push_back(c);
  }
  return 1;
}

void Accumulate(Plan* plan, Group* g, const RepRecord* record) {
  const RepGroupSpec& spec = *plan->spec;
  for (size_t i = 0; i < spec.aggregates.size(); ++i) {
    const RepAggregate& a = spec.aggregates[i];
    Acc& acc = g->acc[i];
    if (a.kind == kRepAggCount) {
      ++acc.count;
      continue;
    }
    if (a.kind == kRepAggCountIf) {
      if (RepFilterCatchesRecord(record, plan->filters[i].get()) == 1) ++acc.count;
      continue;
    }
    const Column& c = plan->aggs[i];
    const RepFieldValue* v = record->value_at(static_cast<size_t>(c.index));
    if (v == nullptr || v->state() != kRepStateNormal) continue;
    switch (a.kind) {
      case kRepAggCountValue:
        if (RepCompareData(v->value(), plan->count_values[i].get(), c.type) == 0) ++acc.count;
        break;
      case kRepAggCountEach: {
        Distinct& d = plan->distinct[i];
        size_t j;
        if (!d.seen.Find(v, &j)) {
          std::string key;
          AppendKeyBytes(&key, v, c.type);
          auto [it, added] = d.index.try_emplace(key, d.values.size());
          if (added) d.values.push_back(v);
          j = it->second;
          d.seen.Put(v, j);
        }
        if (acc.each.size() <= j) acc.each.resize(j + 1);
        ++acc.each[j];
        break;
      }
      case kRepAggSum:
      case kRepAggAverage: {
        const Obj* o = v->value();
        const int64_t x = ObjGetMagic(o) == kObjInt64Type ? ObjGetInt64(o) : ObjGetInteger(o);
        acc.overflow |= __builtin_add_overflow(acc.sum, x, &acc.sum);
        ++acc.count;
        break;
      }
      case kRepAggMin:
      case kRepAggMax: {
        if (acc.best == nullptr) {
          acc.best = v;
          break;
        }
        const int cmp = RepCompareData(v->value(), acc.best->value(), c.type);
        if ((a.kind == kRepAggMin && cmp < 0) || (a.kind == kRepAggMax && cmp > 0)) acc.best = v;
        break;
      }
      default:
        break;
    }
  }
}

Ref<RepFieldValue> KeyValue(const RepFieldValue* v, const Column& c, int32_t bucket) {
  if (v == nullptr) return RepNewFieldValue(kRepStateUnknown, nullptr);
  if (bucket == kRepBucketValue || v->state() != kRepStateNormal) {
    return RepNewFieldValue(v->state(), Ref<Obj>::Share(v->value()));
  }
  Ref<Obj> b = BucketValue(v->value(), c.type, bucket);
  if (!b) return RepNewFieldValue(kRepStateUnknown, nullptr);
  return RepNewFieldValue(kRepStateNormal, std::move(b));
}

// Gathers the groups in order of first appearance.
void Gather(std::vector<Group>* groups, Plan* plan, const List* records) {
  const RepGroupSpec& spec = *plan->spec;
  std::unordered_map<std::string, size_t> index;
  std::string key;
  PointerCache seen;  // one key field of shared values: by the RepFieldValue
  const bool single = plan->keys.size() == 1 && spec.keys[0].bucket == kRepBucketValue;
  for (size_t r = 0; r < records->size(); ++r) {
    const RepRecord* record = ObjCast<RepRecord>(records->at(r));
    if (record == nullptr) continue;
    size_t g;
    const RepFieldValue* first = record->value_at(static_cast<size_t>(plan->keys[0].index));
    if (single && seen.Find(first, &g)) {
      // a value seen before
    } else {
      key.clear();
      for (size_t k = 0; k < plan->keys.size(); ++k) {
        const Column& c = plan->keys[k];
        const RepFieldValue* v = record->value_at(static_cast<size_t>(c.index));
        if (spec.keys[k].bucket == kRepBucketValue || v == nullptr ||
            v->state() != kRepStateNormal) {
          AppendKeyBytes(&key, v, c.type);
        } else {
          Ref<Obj> b = BucketValue(v->value(), c.type, spec.keys[k].bucket);
          const int32_t state = b ? kRepStateNormal : kRepStateUnknown;
          Ref<RepFieldValue> bv = RepNewFieldValue(state, std::move(b));
          AppendKeyBytes(&key, bv.get(), kRepTypeDate);
        }
      }
      auto [it, added] = index.try_emplace(key, groups->size());
      if (added) {
        Group ng;
        ng.first_record = r;
        for (size_t k = 0; k < plan->keys.size(); ++k) {
          const Column& c = plan->keys[k];
          ng.keys.push_back(
              KeyValue(record->value_at(static_cast<size_t>(c.index)), c, spec.keys[k].bucket));
        }
        ng.acc.resize(spec.aggregates.size());
        groups->push_back(std::move(ng));
      }
      g = it->second;
      if (single) seen.Put(first, g);
    }
    Accumulate(plan, &(*groups)[g], record);
  }
}

// --- the summary's fields ------------------------------------------------------------------

// A name made of token characters only, so that formats and filters can reference it.
std::string TokenName(const std::string& text) {
  std::string out;
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    out.push_back(std::isalnum(u) || u >= 0x80 ? static_cast<char>(std::tolower(u)) : '_');
  }
  return out.empty() ? "_" : out;
}

std::string NiceFromName(const std::string& name) {
  std::string nice = name;
  std::replace(nice.begin(), nice.end(), '_', ' ');
  if (!nice.empty()) nice[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(nice[0])));
  return nice;
}

const char* Nice(const RepFieldDef* f) {
  return f->nice_name() != nullptr && *f->nice_name() != '\0' ? f->nice_name() : f->name();
}

Ref<RepFieldDef> NewSummaryField(const std::string& name, const std::string& nice, int32_t type,
                                 const std::string& description) {
  Ref<RepFieldDef> f = RepNewFieldDef(name.c_str(), type, 1);
  f->set_nice_name(nice.c_str());
  f->set_compact_name(nice.c_str());
  f->set_description(description.c_str());
  return f;
}

int32_t SumType(int32_t type) { return type == kRepTypeInteger ? kRepTypeInt64 : type; }

struct SummaryColumn {  // one field of the summary: which aggregate (or key) fills it
  Ref<RepFieldDef> field;
  int32_t key = -1;          // index of the key, or -1
  int32_t aggregate = -1;    // index of the aggregate
  int32_t each_value = -1;   // distinct value of a count-each aggregate
};

void AddKeyColumns(std::vector<SummaryColumn>* cols, const Plan& plan) {
  static const char* const kBucketWords[] = {"", "day", "week", "month"};
  for (size_t k = 0; k < plan.keys.size(); ++k) {
    const RepFieldDef* src = plan.keys[k].field;
    const int32_t bucket = plan.spec->keys[k].bucket;
    SummaryColumn c;
    if (bucket == kRepBucketValue) {
      c.field =
          NewSummaryField(src->name(), Nice(src), src->type(), StrOrEmpty(src->description()));
    } else {
      const std::string word = kBucketWords[bucket];
      c.field = NewSummaryField(std::string(src->name()) + "_" + word,
                                NiceFromName(word) + " (" + Nice(src) + ")", kRepTypeDate,
                                "The " + word + " of " + Nice(src) + ", as its first day");
    }
    c.key = static_cast<int32_t>(k);
    cols->push_back(std::move(c));
  }
}

void AddAggregateColumns(std::vector<SummaryColumn>* cols, Plan* plan) {
  const RepGroupSpec& spec = *plan->spec;
  for (size_t i = 0; i < spec.aggregates.size(); ++i) {
    const RepAggregate& a = spec.aggregates[i];
    const RepFieldDef* src = plan->aggs[i].field;
    const int32_t type = plan->aggs[i].type;
    if (a.kind == kRepAggCountIf) {
      SummaryColumn c;
      const std::string n = a.name.empty() ? "countif" : a.name;
      c.field = NewSummaryField(n, a.name.empty() ? "Matching" : NiceFromName(n), kRepTypeInteger,
                                "Records that match " + a.value);
      c.aggregate = static_cast<int32_t>(i);
      cols->push_back(std::move(c));
      continue;
    }
    std::string name, nice, desc;
    int32_t out_type = kRepTypeInteger;
    const bool timeish = type == kRepTypeSysTime || type == kRepTypeDate || type == kRepTypeTime;
    switch (a.kind) {
      case kRepAggCount:
        name = "count", nice = "Count", desc = "Records of the group";
        break;
      case kRepAggCountValue:
        name = TokenName(a.field + "_" + a.value), nice = a.value;
        desc = "Records whose " + std::string(Nice(src)) + " is " + a.value;
        break;
      case kRepAggSum:
        name = "sum_" + a.field, nice = "Total " + std::string(Nice(src)), out_type = SumType(type);
        desc = "Total of " + std::string(Nice(src));
        break;
      case kRepAggAverage:
        name = "avg_" + a.field, nice = "Average " + std::string(Nice(src)), out_type = type;
        desc = "Average of " + std::string(Nice(src));
        break;
      case kRepAggMin:
        name = "min_" + a.field, nice = (timeish ? "First " : "Min ") + std::string(Nice(src));
        out_type = type, desc = "Lowest " + std::string(Nice(src));
        break;
      case kRepAggMax:
        name = "max_" + a.field, nice = (timeish ? "Last " : "Max ") + std::string(Nice(src));
        out_type = type, desc = "Highest " + std::string(Nice(src));
        break;
      default:
        break;
    }
    if (a.kind == kRepAggCountEach) {
      // One column per value, in value order.
      Distinct& d = plan->distinct[i];
      std::vector<size_t> order(d.values.size());
      for (size_t j = 0; j < order.size(); ++j) order[j] = j;
      std::stable_sort(order.begin(), order.end(), [&](size_t x, size_t y) {
        return RepCompareData(d.values[x]->value(), d.values[y]->value(), type) < 0;
      });
      for (size_t j : order) {
        DString scratch;
        std::string_view text;
        RepTypedDataToText(&text, &scratch, type, d.values[j]->value());
        SummaryColumn c;
        const std::string prefix = a.name.empty() ? a.field : a.name;
        c.field = NewSummaryField(TokenName(prefix + "_" + std::string(text)), std::string(text),
                                  kRepTypeInteger,
                                  "Records whose " + std::string(Nice(src)) + " is " +
                                      std::string(text));
        c.aggregate = static_cast<int32_t>(i);
        c.each_value = static_cast<int32_t>(j);
        cols->push_back(std::move(c));
      }
      continue;
    }
    // A named count of one value keeps the value as its label ("Failed", "OK").
    if (!a.name.empty()) name = a.name, nice = a.kind == kRepAggCountValue ? a.value : NiceFromName(a.name);
    SummaryColumn c;
    c.field = NewSummaryField(name, nice, out_type, desc);
    c.aggregate = static_cast<int32_t>(i);
    cols->push_back(std::move(c));
  }
}

Ref<RepFieldValue> IntValue(int32_t type, int64_t x) {
  if (type == kRepTypeInt64 || type == kRepTypeDataCount) {
    return RepNewFieldValue(kRepStateNormal, ObjNewInt64(x));
  }
  if (x < INT32_MIN || x > INT32_MAX) return RepNewFieldValue(kRepStateUnknown, nullptr);
  return RepNewFieldValue(kRepStateNormal, ObjNewInteger(static_cast<int32_t>(x)));
}

Ref<RepFieldValue> CellValue(const SummaryColumn& c, const Group& g, const RepGroupSpec& spec) {
  if (c.key >= 0) return g.keys[static_cast<size_t>(c.key)];
  const Acc& acc = g.acc[static_cast<size_t>(c.aggregate)];
  const int32_t type = c.field->type();
  switch (spec.aggregates[static_cast<size_t>(c.aggregate)].kind) {
    case kRepAggCount:
    case kRepAggCountValue:
    case kRepAggCountIf:
      return IntValue(kRepTypeInteger, acc.count);
    case kRepAggCountEach: {
      const size_t j = static_cast<size_t>(c.each_value);
      return IntValue(kRepTypeInteger, j < acc.each.size() ? acc.each[j] : 0);
    }
    case kRepAggSum:
    case kRepAggAverage: {
      if (acc.count == 0) return RepNewFieldValue(kRepStateNA, nullptr);
      if (acc.overflow) return RepNewFieldValue(kRepStateUnknown, nullptr);
      const bool sum = spec.aggregates[static_cast<size_t>(c.aggregate)].kind == kRepAggSum;
      return IntValue(type, sum ? acc.sum : acc.sum / acc.count);
    }
    default:
      if (acc.best == nullptr) return RepNewFieldValue(kRepStateNA, nullptr);
      return RepNewFieldValue(kRepStateNormal, Ref<Obj>::Share(acc.best->value()));
  }
}

int32_t TextWidth(const std::string_view& text) {
  int32_t n = 0;
  for (char ch : text) n += (static_cast<unsigned char>(ch) & 0xc0) != 0x80 ? 1 : 0;
  return n;
}

// The widest text the sum and average rows print for column `index`: the writers sum integers
// in 64 bits, keep the other types (a duration or system time total as its low 32 bits).
int32_t TotalsWidth(const RepFieldDef* f, size_t index, const List* records, DString* scratch) {
  if (!IsSummable(f->type()) && f->type() != kRepTypeSysTime) return 0;
  int64_t total = 0, normal = 0;
  for (Obj* item : *records) {
    const RepRecord* r = ObjCast<RepRecord>(item);
    const RepFieldValue* v = r != nullptr ? r->value_at(index) : nullptr;
    if (v == nullptr || v->state() != kRepStateNormal) continue;
    ++normal;
    // Wrapping as the sum row's 64-bit total would, without the undefined overflow.
    const Obj* o = v->value();
    const int64_t x = ObjGetMagic(o) == kObjInt64Type ? ObjGetInt64(o) : ObjGetInteger(o);
    total = static_cast<int64_t>(static_cast<uint64_t>(total) + static_cast<uint64_t>(x));
  }
  if (normal == 0) return 0;
  int32_t width = 0;
  const int32_t t = SumType(f->type());
  for (int64_t x : {total, total / normal}) {
    Ref<Obj> o = t == kRepTypeInt64 || t == kRepTypeDataCount
                     ? ObjNewInt64(x)
                     : ObjNewInteger(static_cast<int32_t>(static_cast<uint32_t>(x)));
    std::string_view text;
    if (RepTypedDataToText(&text, scratch, t, o.get()) == kRepOk) {
      width = std::max(width, TextWidth(text));
    }
  }
  return width;
}

// Each field as wide as its widest value, its name, and the total and average that the sum and
// average rows would print for it.
void SetWidths(const RepFieldList* fields, const List* records) {
  DString scratch;
  for (size_t i = 0; i < fields->size(); ++i) {
    RepFieldDef* f = ObjCast<RepFieldDef>(fields->at(i));
    int32_t width = std::max<int32_t>(1, TextWidth(Nice(f)));
    for (Obj* item : *records) {
      const RepFieldValue* v = ObjCast<RepRecord>(item)->value_at(i);
      std::string_view text;
      if (RepFieldValueToText(&text, &scratch, f, v, 1) == kRepOk) {
        width = std::max(width, TextWidth(text));
      }
    }
    width = std::max(width, TotalsWidth(f, i, records, &scratch));
    f->set_characters(width);
    f->set_width_in_use(width);
  }
}

}  // namespace

int RepParseGroupSpec(RepGroupSpec* spec, std::string* error, const char* group_by,
                      const char* aggregates) noexcept {
  std::string own_error;
  if (error == nullptr) error = &own_error;
  if (spec == nullptr) return 0;
  RepGroupSpec out;
  if (!ParseKeys(&out, error, group_by)) return 0;
  const char* p = StrOrEmpty(aggregates);
  for (SkipSeparators(&p); *p != '\0'; SkipSeparators(&p)) {
    RepAggregate agg;
    if (!ParseAggregate(&agg, error, &p)) return 0;
    if (*p != '\0' && !IsSeparator(*p)) {
      *error = "aggregates: unexpected '" + std::string(p) + "'";
      return 0;
    }
    out.aggregates.push_back(std::move(agg));
  }
  if (out.aggregates.empty()) out.aggregates.push_back(RepAggregate{});
  *spec = std::move(out);
  return 1;
}

int RepGroupRecords(Ref<RepTable>* summary, std::string* error, const RepTable* table,
                    const RepGroupSpec& spec) noexcept {
  std::string own_error;
  if (error == nullptr) error = &own_error;
  if (summary == nullptr || table == nullptr || table->fields() == nullptr || spec.keys.empty()) {
    *error = "nothing to group";
    return 0;
  }
  Plan plan;
  if (!MakePlan(&plan, error, table->fields(), spec)) return 0;
  std::vector<Group> groups;
  Ref<List> no_records = ListNewWithCapacity(0);
  Gather(&groups, &plan, table->records() != nullptr ? table->records() : no_records.get());

  std::vector<SummaryColumn> cols;
  AddKeyColumns(&cols, plan);
  AddAggregateColumns(&cols, &plan);
  Ref<List> fields = ListNewWithCapacity(cols.size());
  for (const SummaryColumn& c : cols) ListAddLastItem(fields.get(), c.field.get());

  // Key order, each key ascending as the sort would put it.
  std::vector<size_t> order(groups.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    for (size_t k = 0; k < plan.keys.size(); ++k) {
      const RepFieldValue* x = groups[a].keys[k].get();
      const RepFieldValue* y = groups[b].keys[k].get();
      if (x->state() != y->state()) return x->state() < y->state();
      const int cmp = RepCompareData(x->value(), y->value(), cols[k].field->type());
      if (cmp != 0) return cmp < 0;
    }
    return false;
  });
  Ref<List> records = ListNewWithCapacity(groups.size());
  for (size_t gi : order) {
    Ref<List> values = ListNewWithCapacity(cols.size());
    for (const SummaryColumn& c : cols) {
      Ref<RepFieldValue> v = CellValue(c, groups[gi], spec);
      ListAddLastItem(values.get(), v.get());
    }
    Ref<RepRecord> record = RepRecord::New();
    record->set_values(std::move(values));
    ListAddLastItem(records.get(), record.get());
  }
  SetWidths(fields.get(), records.get());
  const std::string name = std::string(StrOrEmpty(table->name())) + " summary";
  *summary = RepNewTable(name.c_str(), std::move(fields), std::move(records));
  TraceMessage(kTag, 1, 0, 2, "Grouped %zu records into %zu groups", table->records() != nullptr
                                                                         ? table->records()->size()
                                                                         : size_t{0},
               groups.size());
  return 1;
}

int RepGroupRuns(std::vector<RepGroupRun>* runs, std::string* error, const RepTable* table,
                 const RepGroupSpec& spec) noexcept {
  std::string own_error;
  if (error == nullptr) error = &own_error;
  if (runs == nullptr || table == nullptr || table->fields() == nullptr) return 0;
  Plan plan;
  RepGroupSpec keys_only;
  keys_only.keys = spec.keys;
  if (!MakePlan(&plan, error, table->fields(), keys_only)) return 0;
  runs->clear();
  const List* records = table->records();
  if (records == nullptr) return 1;
  std::string key, previous;
  for (size_t r = 0; r < records->size(); ++r) {
    const RepRecord* record = ObjCast<RepRecord>(records->at(r));
    key.clear();
    for (size_t k = 0; k < plan.keys.size() && record != nullptr; ++k) {
      const Column& c = plan.keys[k];
      Ref<RepFieldValue> v =
          KeyValue(record->value_at(static_cast<size_t>(c.index)), c, spec.keys[k].bucket);
      AppendKeyBytes(&key, v.get(), spec.keys[k].bucket == kRepBucketValue ? c.type : kRepTypeDate);
    }
    if (runs->empty() || key != previous) {
      runs->push_back({r, 0});
      previous = key;
    }
    ++runs->back().count;
  }
  return 1;
}

int RepWidenForTotals(RepFieldList* fields, const RepTable* table) noexcept {
  if (fields == nullptr || table == nullptr || table->fields() == nullptr) return 0;
  Ref<List> no_records = ListNewWithCapacity(0);
  const List* records = table->records() != nullptr ? table->records() : no_records.get();
  DString scratch;
  for (size_t i = 0; i < table->fields()->size(); ++i) {
    const RepFieldDef* f = ObjCast<RepFieldDef>(table->fields()->at(i));
    if (f == nullptr) continue;
    const int32_t width = TotalsWidth(f, i, records, &scratch);
    Ref<RepFieldDef> target;
    if (width == 0 || RepFindFieldInList(&target, f->name(), fields) != 1) continue;
    if (target->characters() < width) target->set_characters(width);
    if (target->width_in_use() != 0 && target->width_in_use() < width) {
      target->set_width_in_use(width);
    }
  }
  return 1;
}
