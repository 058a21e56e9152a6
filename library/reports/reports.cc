// Values, records and tables, and the encoding of values from text.
#include "reports/reports.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "fieldtypes.h"
#include "kr/config.h"
#include "kr/context.h"
#include "kr/text.h"
#include "kr/time.h"
#include "kr/trace.h"
#include "kr/unique.h"

namespace {

constexpr const char kTag[] = "RPTMAIN";

// --- localised words -----------------------------------------------------------------------------

// The states' words (the keywords values are read with belong to their types: fieldtypes.cc).
struct StateWords {
  const char* text[kRepStateCount];
  size_t chars[kRepStateCount];
  const char* unrecognised;
};

// Fetched once per process; a function-local static is initialised exactly once even when
// several threads get here first together.
const StateWords& TheStateWords() {
  static const StateWords words = [] {
    StateWords w;
    static constexpr const char* kStates[kRepStateCount] = {"Normal", "N/A", "Unknown", "Never",
                                                            "Unlimited"};
    for (int i = 0; i < kRepStateCount; ++i) {
      w.text[i] = LocaleGetStaticString(kStates[i], 8305 + i);
      w.chars[i] = StrCharCount(w.text[i]);
    }
    w.unrecognised = LocaleGetStaticString("UNRECOGNISEDSTATE", 8310);
    return w;
  }();
  return words;
}

}  // namespace

// --- records, values and tables ------------------------------------------------------------------

Ref<RepFieldValue> RepNewFieldValue(int32_t state, Ref<Obj> value) noexcept {
  Ref<RepFieldValue> v = RepFieldValue::New();
  v->set_state(state);
  v->set_value(std::move(value));
  return v;
}

Ref<RepTable> RepNewTable(const char* name, Ref<List> fields, Ref<List> records) noexcept {
  Ref<RepTable> t = RepTable::New();
  t->set_name(name);
  t->set_fields(std::move(fields));
  t->set_records(std::move(records));
  return t;
}

int RepMakeBlankObject(Ref<Obj>* value, int32_t type) noexcept {
  if (value == nullptr) return 0;
  const kr_internal::FieldTypeOps* ops = kr_internal::FieldTypeOpsFor(type);
  if (ops == nullptr) {
    TraceMessage(kTag, 11, 0, -1, "Bad object type %d passed to RepMakeBlankObject", type);
    return 0;
  }
  *value = ops->blank();
  return 1;
}

Ref<RepRecord> RepMakeBlankRecord(const RepFieldList* fields, int32_t state) noexcept {
  if (fields == nullptr) return nullptr;
  // Sized exactly: a report holds millions of these lists, so growth slack would add up.
  Ref<List> values = ListNewWithCapacity(fields->size());
  for (Obj* item : *fields) {
    Ref<Obj> blank;
    if (const RepFieldDef* def = ObjCast<RepFieldDef>(item))
      RepMakeBlankObject(&blank, def->type());
    ListPushLastItemInternal(values.get(), RepNewFieldValue(state, std::move(blank)));
  }
  Ref<RepRecord> record = RepRecord::New();
  record->set_values(std::move(values));
  return record;
}

int RepCompareData(const Obj* a, const Obj* b, int32_t type) noexcept {
  const kr_internal::FieldTypeOps* ops = kr_internal::FieldTypeOpsFor(type);
  return ops != nullptr ? ops->compare(a, b) : 0;  // an unknown type has no order
}

int RepDeriveValue(Ref<Obj>* value, int32_t target_type, const Obj* source_value,
                   int32_t source_type) noexcept {
  if (value == nullptr) return 0;
  const kr_internal::FieldTypeOps* ops = kr_internal::FieldTypeOpsFor(source_type);
  if (ops == nullptr || ops->derive == nullptr) {
    TraceMessage(kTag, 12, 0, -1, "RepDeriveValue - Cannot derive type %d", source_type);
    return 0;
  }
  return ops->derive(value, target_type, source_value);
}

int RepExtractValue(std::string* text, const char** end, const char* source) noexcept {
  if (source == nullptr || *source == '\0') {
    TraceMessage(kTag, 16, 0, -1, "Value string is of no length!");
    return kRepExtractEmpty;
  }
  if (text == nullptr || end == nullptr) return 0;
  const char* stop;
  const char* start = source;
  if (*source == '"' || *source == '\'') {
    ++start;
    stop = std::strchr(start, *source);
    if (stop == nullptr) {
      TraceMessage(kTag, 17, 0, -1, "No closing quote for value '%s'", source);
      return kRepExtractNoClosingQuote;
    }
  } else {
    stop = start;
    while (*stop != '\0' && *stop != ' ' && *stop != '\t' && *stop != ')') ++stop;
  }
  text->assign(start, stop);
  *end = *stop != '\0' ? stop + 1 : stop;
  return kRepExtractOk;
}

const char* RepStateToText(int32_t state) noexcept {
  const StateWords& w = TheStateWords();
  if (state >= 0 && state < kRepStateCount) return w.text[state];
  TraceMessage(kTag, 18, 0, -1, "Warning - cannot convert unknown state to text");
  return w.unrecognised;
}

int RepStateTextToState(int32_t* state, const char* text) noexcept {
  if (state == nullptr) return 0;
  const StateWords& w = TheStateWords();
  if (text != nullptr) {
    for (int32_t s = 0; s < kRepStateCount; ++s) {
      // An empty word (a catalogue that blanks a state) never matches, so it cannot swallow
      // every text.
      if (w.chars[s] > 0 && StrCompareRangeNoCase(text, w.text[s], w.chars[s]) == 0) {
        *state = s;
        return 1;
      }
    }
  }
  TraceMessage(kTag, 19, 0, -1, "Cannot convert text '%s' to state value", StrOrEmpty(text));
  return 0;
}

// --- encoding ------------------------------------------------------------------------------------

int RepEncodeData(Ref<Obj>* value, const char* text, int32_t type) noexcept {
  if (value == nullptr) return 0;
  const kr_internal::FieldTypeOps* ops = kr_internal::FieldTypeOpsFor(type);
  if (ops == nullptr || ops->encode == nullptr) return 0;  // selectiontree, pluginscreen: no text
  Ref<Obj> v = ops->encode(StrOrEmpty(text));
  if (!v) return 0;
  *value = std::move(v);
  return 1;
}

RepContextData* RepGetContextData() noexcept { return ContextPluginData<RepContextData>(); }

int RepSetTimeNow(int64_t time) noexcept {
  RepContextData* d = RepGetContextData();
  if (TimeToBreakdownStruct(&d->now_breakdown, time) == 0) return 0;
  d->now = time;
  return 1;
}

// --- shared values -------------------------------------------------------------------------------

namespace {

constexpr size_t kCacheTextMax = 47;            // longer texts are encoded afresh every time
constexpr size_t kCacheColumnLimit = 65536;     // texts remembered per column
constexpr uint64_t kCacheFirstLookups = 4096;   // fewer than 1% hits by then: stop
constexpr uint64_t kCacheTrialLookups = 65536;  // fewer than 25% hits by then: stop

constexpr uint32_t kCacheReserveBatch = 1024;  // references taken on a shared value at once

// One remembered text and its value, in a slot of an open-addressing table: a probe that finds
// it reads one cache line. Short texts (most of a catalog's: names, levels, numbers) take
// 32-byte slots, two to a line, longer ones 64-byte slots. The references handed out are taken
// on the value in batches and kept in `reserve` until handed out: the value object is then
// touched once per batch rather than once per record.
template <size_t kText>
struct CacheSlot {
  RepFieldValue* value = nullptr;  // owned: one reference, and `reserve` more; null: free
  uint32_t hash = 0;
  uint32_t reserve = 0;
  uint8_t length = 0;
  char text[kText] = {};
};
using ShortSlot = CacheSlot<15>;
using LongSlot = CacheSlot<kCacheTextMax>;
static_assert(sizeof(ShortSlot) == 32 && sizeof(LongSlot) == 64);

uint32_t TextHash(const char* text, size_t length) {
  uint64_t h = 0x9e3779b97f4a7c15ull ^ length;
  for (size_t i = 0; i < length; ++i)
    h = (h ^ static_cast<unsigned char>(text[i])) * 0x100000001b3ull;
  h ^= h >> 29;
  return static_cast<uint32_t>(h);
}

Ref<RepFieldValue> EncodeFieldValue(const char* text, int32_t type) {
  Ref<Obj> v;
  if (RepEncodeData(&v, text, type) == kRepOk)
    return RepNewFieldValue(kRepStateNormal, std::move(v));
  return RepNewFieldValue(kRepStateUnknown, nullptr);
}

// A power-of-two table with linear probing, kept at most three quarters full.
template <size_t kText>
struct SlotTable {
  std::vector<CacheSlot<kText>> slots;
  size_t used = 0;

  ~SlotTable() {
    for (CacheSlot<kText>& s : slots) {
      if (s.value == nullptr) continue;
      s.value->ref_count -= s.reserve;
      ObjDecRefCount(s.value);
    }
  }

  void Grow() {
    std::vector<CacheSlot<kText>> old = std::move(slots);
    slots.assign(old.empty() ? 256 : old.size() * 2, CacheSlot<kText>{});
    const size_t mask = slots.size() - 1;
    for (const CacheSlot<kText>& s : old) {
      if (s.value == nullptr) continue;
      size_t i = s.hash & mask;
      while (slots[i].value != nullptr) i = (i + 1) & mask;
      slots[i] = s;
    }
  }

  // A new reference to the value remembered for the text; null when there is none, and *free
  // then the slot where it goes.
  RepFieldValue* Find(const char* text, size_t length, uint32_t hash, size_t* free) {
    if (slots.empty()) Grow();
    const size_t mask = slots.size() - 1;
    size_t i = hash & mask;
    for (; slots[i].value != nullptr; i = (i + 1) & mask) {
      CacheSlot<kText>& s = slots[i];
      if (s.hash != hash || s.length != length || std::memcmp(s.text, text, length) != 0) continue;
      if (s.reserve == 0) {
        s.value->ref_count += kCacheReserveBatch;
        s.reserve = kCacheReserveBatch;
      }
      --s.reserve;
      return s.value;
    }
    *free = i;
    return nullptr;
  }

  // Remembers `value` (one reference is taken) for the text, at `free` as Find gave it.
  void Add(const char* text, size_t length, uint32_t hash, size_t free, RepFieldValue* value) {
    if ((used + 1) * 4 > slots.size() * 3) {
      Grow();
      const size_t mask = slots.size() - 1;
      for (free = hash & mask; slots[free].value != nullptr; free = (free + 1) & mask) {
      }
    }
    CacheSlot<kText>& s = slots[free];
    s.value = value;
    ObjIncRefCount(value);
    s.hash = hash;
    s.length = static_cast<uint8_t>(length);
    std::memcpy(s.text, text, length);
    ++used;
  }
};

}  // namespace

// The shared value objects of a column are made in blocks of kCacheSpareBlock, one after the
// other, so that they lie together rather than each among the records loaded at the time: the
// records that drop their references (a filter dropping half a table) then touch a few
// megabytes of counts instead of a line anywhere in the table for each value.
constexpr size_t kCacheSpareBlock = 64;

struct RepValueCache::Column {
  SlotTable<15> short_texts;
  SlotTable<kCacheTextMax> long_texts;
  std::vector<RepFieldValue*> spare;  // owned, made ahead for the next values remembered
  int32_t type = -1;
  uint64_t lookups = 0, hits = 0;
  bool remembering = true;

  ~Column() {
    for (RepFieldValue* v : spare) ObjDecRefCount(v);
  }

  // EncodeFieldValue's value, in one of the objects made ahead.
  Ref<RepFieldValue> MakeShared(const char* text, int32_t value_type) {
    if (spare.empty()) {
      for (size_t k = 0; k < kCacheSpareBlock; ++k) spare.push_back(RepFieldValue::New().release());
      std::reverse(spare.begin(), spare.end());  // taken from the back, in the order made
    }
    Ref<RepFieldValue> v = Ref<RepFieldValue>::Adopt(spare.back());
    spare.pop_back();
    Ref<Obj> data;
    if (RepEncodeData(&data, text, value_type) == kRepOk) {
      v->set_state(kRepStateNormal);
      v->set_value(std::move(data));
    } else {
      v->set_state(kRepStateUnknown);
    }
    return v;
  }

  template <size_t kText>
  Ref<RepFieldValue> Lookup(SlotTable<kText>* table, const char* text, size_t length,
                            int32_t value_type, uint64_t* cache_hits) {
    const uint32_t hash = TextHash(text, length);
    size_t free = 0;
    if (RepFieldValue* v = table->Find(text, length, hash, &free)) {
      ++hits;
      ++*cache_hits;
      return Ref<RepFieldValue>::Adopt(v);
    }
    if (short_texts.used + long_texts.used >= kCacheColumnLimit)
      return EncodeFieldValue(text, value_type);
    Ref<RepFieldValue> made = MakeShared(text, value_type);
    table->Add(text, length, hash, free, made.get());
    return made;
  }
};

RepValueCache::RepValueCache(size_t columns) noexcept {
  columns_ = new (std::nothrow) Column[columns];
  column_count_ = columns_ != nullptr ? columns : 0;
}

RepValueCache::~RepValueCache() { delete[] columns_; }

Ref<RepFieldValue> RepValueCache::Encode(size_t column, const char* text, int32_t type) noexcept {
  if (text == nullptr) text = "";
  const size_t length = std::strlen(text);
  if (column >= column_count_ || length > kCacheTextMax) return EncodeFieldValue(text, type);
  Column& c = columns_[column];
  if (c.type != type) {  // a column read as another type: what it remembered no longer applies
    c.~Column();
    new (&c) Column();
    c.type = type;
  }
  if (!c.remembering) return EncodeFieldValue(text, type);
  ++c.lookups;
  if ((c.lookups == kCacheFirstLookups && c.hits * 100 < c.lookups) ||
      (c.lookups == kCacheTrialLookups && c.hits * 4 < c.lookups)) {
    c.remembering = false;  // nearly every text differs: sharing would save nothing
  }
  if (length <= 15) return c.Lookup(&c.short_texts, text, length, type, &hits_);
  return c.Lookup(&c.long_texts, text, length, type, &hits_);
}

RepFieldValue* RepRecordOwnValue(RepRecord* record, size_t index) noexcept {
  if (record == nullptr) return nullptr;
  List* values = record->values();
  RepFieldValue* v = record->value_at(index);
  if (v == nullptr || v->ref_count <= 1) return v;
  Ref<Obj> copy;
  if (ObjDuplicate(&copy, v) != 1) return nullptr;
  ListRemoveNthItem(values, index + 1);
  ListInsertAt(values, index + 1, copy.get());
  return ObjCast<RepFieldValue>(values->at(index));
}

namespace {

// True when `obj` is a value object of the form the field type holds.
bool ValueFitsType(const Obj* obj, int32_t type) {
  const kr_internal::FieldTypeOps* ops = kr_internal::FieldTypeOpsFor(type);
  return ops != nullptr && ops->fits(obj);
}

}  // namespace

bool kr_internal::RepCheckIncomingRecords(List* records, const RepFieldList* fields) noexcept {
  if (records == nullptr) return true;
  const size_t count = ListGetItemCount(fields);
  for (Obj* item : *records) {
    const RepRecord* record = ObjCast<RepRecord>(item);
    if (record == nullptr || record->values() == nullptr) return false;
    if (fields == nullptr) continue;
    if (record->values()->size() != count) return false;
    for (size_t i = 0; i < count; ++i) {
      RepFieldValue* value = ObjCast<RepFieldValue>(record->values()->at(i));
      if (value == nullptr) return false;
      const RepFieldDef* field = ObjCast<RepFieldDef>(fields->at(i));
      if (value->state() < 0 || value->state() >= kRepStateCount) {
        value->set_state(kRepStateUnknown);
      } else if (value->state() == kRepStateNormal &&
                 (field == nullptr || !ValueFitsType(value->value(), field->type()))) {
        value->set_state(kRepStateUnknown);
      }
    }
  }
  return true;
}
