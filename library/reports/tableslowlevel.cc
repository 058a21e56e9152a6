// Table transforms: projection, merge (left join) and record conversion, with field placement
// by rank and its replay on records.

#include "reports/tableslowlevel.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fieldtypes.h"
#include "kr/text.h"
#include "kr/trace.h"

namespace {

constexpr const char* kTag = "REPTABLL";
constexpr size_t kProjectionProgressEvery = 5000;
constexpr int64_t kMergeProgressAfter = 4999;

const char* NameOf(const Obj* o) { return ObjGetSlotString(o, 1); }

// The rank of a field: the 1-based position of the first order-list entry of its name.
int32_t Rank(const List* order, const char* name) {
  if (order == nullptr) return kRepUnrankedPosition;
  const size_t n = std::min<size_t>(order->size(), kRepUnrankedPosition - 1);
  for (size_t i = 0; i < n; ++i) {
    if (StrCompareNoCase(NameOf(order->at(i)), name) == 0) return static_cast<int32_t>(i + 1);
  }
  return kRepUnrankedPosition;
}

// Orders entries by source position (then derived position) and drops repeats of one entry, so
// each source field (or derived field) is taken once. Fails, as the placement needs at least one
// entry, on an empty list.
bool SortTableFieldIndices(std::vector<RepTableFieldIndex>* entries) {
  if (entries->empty()) {
    TraceMessage(kTag, 1, 0, -1, "RepSortTableFieldIndices() - bad params");
    return false;
  }
  std::stable_sort(entries->begin(), entries->end(),
                   [](const RepTableFieldIndex& a, const RepTableFieldIndex& b) {
                     return a.source_position != b.source_position
                                ? a.source_position < b.source_position
                                : a.derived_position < b.derived_position;
                   });
  auto same = [](const RepTableFieldIndex& a, const RepTableFieldIndex& b) {
    return a.source_position == b.source_position && a.derived_position == b.derived_position;
  };
  entries->erase(std::unique(entries->begin(), entries->end(), same), entries->end());
  return true;
}

// One join condition of a merge: a field of the target, a field of the source, and the type by
// which their values compare (the source field's).
struct JoinPair {
  int32_t target_position;  // 1-based
  int32_t source_position;  // 1-based
  int32_t type;
};

// Orders join pairs by source position. An exact repeat of a pair is dropped; two pairs that
// join one source field to two different target fields are refused.
bool SortDualTableFieldIndices(std::vector<JoinPair>* pairs, const RepTable* source) {
  if (pairs->empty()) {
    TraceMessage(kTag, 2, 0, -1, "RepSortDualTableFieldIndices() - bad params");
    return false;
  }
  std::stable_sort(pairs->begin(), pairs->end(), [](const JoinPair& a, const JoinPair& b) {
    return a.source_position < b.source_position;
  });
  std::vector<JoinPair> kept;
  for (const JoinPair& p : *pairs) {
    if (!kept.empty() && kept.back().source_position == p.source_position) {
      if (kept.back().target_position == p.target_position) continue;
      const RepFieldDef* f =
          ObjCast<RepFieldDef>(source->fields()->at(static_cast<size_t>(p.source_position - 1)));
      TraceMessage(kTag, 3, 0, -1,
                   "Table merge failed as field '%s' of merge from table '%s' is joined to two "
                   "different fields.",
                   StrOrEmpty(f != nullptr ? f->name() : nullptr), StrOrEmpty(source->name()));
      return false;
    }
    kept.push_back(p);
  }
  *pairs = std::move(kept);
  return true;
}

// The definition an entry names: the source field, or one of its derived fields.
const RepFieldDef* EntryField(const List* source_fields, const RepTableFieldIndex& e) {
  const RepFieldDef* f =
      ObjCast<RepFieldDef>(ListGetNthItem(source_fields, static_cast<size_t>(e.source_position)));
  if (f == nullptr || e.derived_position == 0) return f;
  return ObjCast<RepFieldDef>(
      ListGetNthItem(f->derived(), static_cast<size_t>(e.derived_position)));
}

// Places a copy of each entry's field into `result` by rank, recording where it went. False only
// when a definition cannot be copied; `result` may then hold some of the copies, so callers
// place into a list of their own and take it over on success.
bool PlaceFields(List* result, const List* order, const std::vector<RepTableFieldIndex>& entries,
                 const List* source_fields, std::vector<RepFieldPlacement>* placements) {
  placements->clear();
  placements->reserve(entries.size());
  for (const RepTableFieldIndex& e : entries) {
    const RepFieldDef* field = EntryField(source_fields, e);
    if (field == nullptr) return false;
    const int32_t rank = Rank(order, field->name());
    RepFieldPlacement placement;
    placement.rank = rank;
    size_t insert_at = 0;  // 1-based; 0: put last
    const RepFieldDef* first = ObjCast<RepFieldDef>(ListGetFirstItem(result));
    if (first != nullptr && first->merge_position() > rank) {
      placement.kind = kRepPlaceFirst;
      insert_at = 1;
    } else {
      placement.kind = kRepPlaceLast;
      for (size_t i = 0; i < result->size(); ++i) {
        const RepFieldDef* r = ObjCast<RepFieldDef>(result->at(i));
        if (r == nullptr) continue;
        if (r->merge_position() == rank && StrCompareNoCase(r->name(), field->name()) == 0) {
          placement.kind = kRepPlaceReplace;
          placement.position = static_cast<int32_t>(i + 1);
          break;
        }
        if (r->merge_position() > rank) {
          placement.kind = kRepPlaceBefore;
          placement.position = static_cast<int32_t>(i + 1);
          insert_at = i + 1;
          break;
        }
      }
    }
    if (placement.kind != kRepPlaceReplace) {
      Ref<Obj> copy;
      if (ObjDuplicate(&copy, field) != 1) return false;
      ObjCast<RepFieldDef>(copy.get())->set_merge_position(rank);
      if (insert_at == 0) {
        ListPushLastItemInternal(result, std::move(copy));
      } else {
        ListInsertAt(result, insert_at, copy.get());
      }
    }
    placements->push_back(placement);
  }
  return true;
}

// The value an entry takes from a source record: the source's value object itself, shared (it
// is immutable while shared: ApplyPlacement copies before it writes), or a value derived from
// it. A source record without that value gives Unknown.
Ref<RepFieldValue> EntryValue(const RepRecord* source, const RepTableFieldIndex& e) {
  RepFieldValue* v =
      source != nullptr ? source->value_at(static_cast<size_t>(e.source_position - 1)) : nullptr;
  if (v == nullptr) return RepNewFieldValue(kRepStateUnknown, nullptr);
  if (e.derived_position == 0) return Ref<RepFieldValue>::Share(v);
  if (v->state() != kRepStateNormal) return RepNewFieldValue(v->state(), nullptr);
  Ref<Obj> derived;
  if (RepDeriveValue(&derived, e.derived_type, v->value(), e.source_type) == kRepOk) {
    return RepNewFieldValue(kRepStateNormal, std::move(derived));
  }
  TraceMessage(kTag, 4, 0, -1, "Failed to derive value object. Mark field as unknown");
  return RepNewFieldValue(kRepStateUnknown, nullptr);
}

// Replays one placement on a record's values. Positions that do not fit the record (a record
// shorter than its field list, from elsewhere) fall back to appending, or to nothing for an
// overwrite, so a bad record never costs more than its own values.
void ApplyPlacement(List* values, const RepFieldPlacement& p, Ref<RepFieldValue> value) {
  const size_t position = p.position > 0 ? static_cast<size_t>(p.position) : 0;
  switch (p.kind) {
    case kRepPlaceFirst:
      ListPushFirstItemInternal(values, std::move(value));
      return;
    case kRepPlaceBefore:
      if (position >= 1 && position <= values->size()) {
        ListInsertAt(values, position, value.get());
        return;
      }
      ListPushLastItemInternal(values, std::move(value));
      return;
    case kRepPlaceReplace: {
      if (position < 1 || position > values->size()) return;
      RepFieldValue* existing = ObjCast<RepFieldValue>(values->at(position - 1));
      if (existing != nullptr && existing->ref_count == 1) {
        existing->set_state(value->state());
        existing->set_value(Ref<Obj>::Share(value->value()));
        return;
      }
      // Shared with someone else: put a value of our own there, keeping its third slot. The
      // incoming value may itself be shared with its source record: write only into a copy.
      if (existing != nullptr) {
        if (value->ref_count > 1) {
          Ref<Obj> copy;
          if (ObjDuplicate(&copy, value.get()) != 1) return;
          value = Ref<RepFieldValue>::Adopt(ObjCast<RepFieldValue>(copy.release()));
        }
        ObjSetSlotObject(value.get(), 3, Ref<Obj>::Share(ObjGetSlotObject(existing, 3)));
      }
      ListRemoveNthItem(values, position);
      ListInsertAt(values, position, value.get());
      return;
    }
    default:
      ListPushLastItemInternal(values, std::move(value));
      return;
  }
}

// The placement of an unmatched target record: Unknown in a new column, the record's own value
// where the column was there already.
void ApplyUnmatched(List* values, const RepFieldPlacement& p) {
  if (p.kind == kRepPlaceReplace) return;
  ApplyPlacement(values, p, RepNewFieldValue(kRepStateUnknown, nullptr));
}

void FillRecord(List* values, const RepRecord* source, const std::vector<RepTableFieldIndex>& e,
                const std::vector<RepFieldPlacement>& p) {
  ListReserve(values, values->size() + e.size());
  for (size_t i = 0; i < e.size() && i < p.size(); ++i) {
    ApplyPlacement(values, p[i], EntryValue(source, e[i]));
  }
}

// --- the merge's index of source records -------------------------------------------------------
//
// The merge gives each target record the first source record, in source order, whose join
// values all compare equal to the target's (RepCompareData, by the source field's type) and are
// all Normal. Rather than scanning the source for every target record, which costs the product of
// the two record counts, the source records are indexed once by a hash of their join values, and
// each target record looks its own values up.
//
// It gives the scan's result because:
//  - each type's key (fieldtypes.cc) is a function of exactly what the comparison looks at, with
//    equal values hashing equally: strings by their ASCII-folded bytes (the comparison folds
//    ASCII letters only), hdwmycount by its hours, byte blocks by the bytes compared, 64-bit
//    values whole, and the types whose values always compare equal (selectiontree, pluginscreen,
//    unknown codes) by nothing, so any two such values meet;
//  - every candidate with the target's hash is checked with RepCompareData itself, so a hash
//    collision never makes a match; only a single join pair of a type whose 64-bit key is its
//    value (the integers, booleans, hdwmycount hours, the always-equal types) skips the check,
//    since there equal keys are equal values;
//  - equality under RepCompareData is an equivalence for each type, so of the source records
//    whose values equal one another only the first can ever be a first match: the index keeps
//    that one and drops the later ones, and a lookup has at most one candidate to find;
//  - a source record whose join value is missing, not Normal, or whose object is not of the
//    type's form is never indexed, and a target record with such a value looks nothing up,
//    which is what the scan's conditions (Normal, both values present and comparable) amount to.
// The index borrows the source's values (gathered once per indexed record, so a lookup does not
// walk the source record again); the merge changes only the target's records, and a table is
// never merged into itself.
// Progress is counted as the scan would have counted it: the 1-based position of the match, the
// whole source when there is none, nothing when the target's values are not all Normal.

using kr_internal::HashCombine;
using kr_internal::HashMix;
using kr_internal::kHashSeed;

// The hash of one join value for `type` (its type's key); false when the value can take part in
// no match: no value, not Normal, or an object that is not of the type's form.
bool HashValue(const RepFieldValue* fv, int32_t type, uint64_t* hash) {
  if (fv == nullptr || fv->state() != kRepStateNormal || fv->value() == nullptr) return false;
  const kr_internal::FieldTypeOps* ops = kr_internal::FieldTypeOpsFor(type);
  if (ops == nullptr) {  // a type with no defined form: any object, and all compare equal
    *hash = 0;
    return true;
  }
  return ops->hash(fv->value(), hash);
}

const RepRecord* RecordAt(const List* records, size_t index0) {
  return ObjCast<RepRecord>(records->at(index0));
}

// True for the types whose key is one-to-one with their equality (and the unknown codes, whose
// values are all equal): a single join pair of such a type needs no comparison beyond its key.
bool KeyIsExact(int32_t type) {
  const kr_internal::FieldTypeOps* ops = kr_internal::FieldTypeOpsFor(type);
  return ops == nullptr || ops->key_is_exact;
}

// The source records that can be a first match, indexed by their join values, with what the
// merge takes from each gathered beside it so that a lookup touches little memory.
class SourceIndex {
 public:
  // A taken value: the source value's state and typed value, or absent.
  struct Taken {
    Obj* value;
    int32_t state;
    bool present;
  };

  SourceIndex(const List* source_records, const std::vector<JoinPair>& pairs,
              const std::vector<RepTableFieldIndex>& take)
      : records_(source_records),
        pairs_(pairs),
        take_(take),
        exact_(pairs.size() == 1 && KeyIsExact(pairs[0].type)) {
    size_t capacity = 16;
    while (capacity < records_->size() * 2) capacity <<= 1;
    slots_.assign(capacity, Slot{0, kEmpty});
    mask_ = capacity - 1;
    for (size_t i = 0; i < records_->size(); ++i) Insert(static_cast<uint32_t>(i));
  }

  // The entry of the first source record matching the target record's join values (one per
  // pair), or -1.
  long Find(const std::vector<const RepFieldValue*>& target_values) const {
    uint64_t key = 0;
    if (!Key(target_values, &key)) return -1;
    for (size_t s = HashMix(key) & mask_; slots_[s].entry != kEmpty; s = (s + 1) & mask_) {
      if (slots_[s].key == key && (exact_ || Equal(slots_[s].entry, target_values))) {
        return slots_[s].entry;
      }
    }
    return -1;
  }

  size_t entry_count() const { return record_.size(); }

  // Adds to each taken typed value the references that `uses[entry]` new values will hold on it,
  // in one pass over the entries. An entry whose counts would overflow is left to Reference to
  // take its references one by one.
  void AddReferences(const std::vector<uint32_t>& uses) {
    counted_.assign(record_.size(), false);
    for (size_t e = 0; e < record_.size(); ++e) {
      if (uses[e] == 0) continue;
      Taken* taken = taken_.data() + e * take_.size();
      bool fits = true;
      for (size_t j = 0; j < take_.size(); ++j) {
        Obj* v = taken[j].value;
        fits = fits && (v == nullptr || v->ref_count <= UINT32_MAX - uses[e]);
      }
      if (!fits) continue;
      for (size_t j = 0; j < take_.size(); ++j) {
        if (taken[j].value != nullptr) taken[j].value->ref_count += uses[e];
      }
      counted_[e] = true;
    }
  }

  // A reference to taken value j of an entry: one of those AddReferences added, or a new one.
  Ref<Obj> Reference(long entry, size_t j) const {
    Obj* v = taken(entry)[j].value;
    return counted_[static_cast<size_t>(entry)] ? Ref<Obj>::Adopt(v) : Ref<Obj>::Share(v);
  }

  // The 0-based position of an entry's record in the source.
  uint32_t record(long entry) const { return record_[static_cast<size_t>(entry)]; }
  // The values an entry gives, one per taken field.
  const Taken* taken(long entry) const {
    return taken_.data() + static_cast<size_t>(entry) * take_.size();
  }

 private:
  static constexpr uint32_t kEmpty = 0xffffffffu;
  struct Slot {
    uint64_t key;  // the exact key, or a hash of the values to be confirmed by Equal
    uint32_t entry;
  };

  bool Key(const std::vector<const RepFieldValue*>& values, uint64_t* key) const {
    uint64_t h = kHashSeed;
    for (size_t k = 0; k < pairs_.size(); ++k) {
      uint64_t part = 0;
      if (!HashValue(values[k], pairs_[k].type, &part)) return false;
      if (exact_) {
        *key = part;
        return true;
      }
      h = HashCombine(h, part);
    }
    *key = h;
    return true;
  }

  // Both sides' values are known to be of the type's form when this is asked.
  bool Equal(uint32_t entry, const std::vector<const RepFieldValue*>& target) const {
    const Obj* const* keys = keys_.data() + static_cast<size_t>(entry) * pairs_.size();
    for (size_t k = 0; k < pairs_.size(); ++k) {
      if (RepCompareData(keys[k], target[k]->value(), pairs_[k].type) != 0) return false;
    }
    return true;
  }

  void Insert(uint32_t index) {
    const RepRecord* r = RecordAt(records_, index);
    if (r == nullptr) return;
    values_.resize(pairs_.size());
    for (size_t k = 0; k < pairs_.size(); ++k) {
      values_[k] = r->value_at(static_cast<size_t>(pairs_[k].source_position - 1));
    }
    uint64_t key = 0;
    if (!Key(values_, &key)) return;  // a record that can never match
    size_t s = HashMix(key) & mask_;
    for (; slots_[s].entry != kEmpty; s = (s + 1) & mask_) {
      // An earlier record with equal values always wins over this one.
      if (slots_[s].key == key && (exact_ || Equal(slots_[s].entry, values_))) return;
    }
    const uint32_t entry = static_cast<uint32_t>(record_.size());
    slots_[s] = Slot{key, entry};
    record_.push_back(index);
    if (!exact_) {
      for (const RepFieldValue* v : values_) keys_.push_back(v->value());
    }
    for (const RepTableFieldIndex& e : take_) {
      const RepFieldValue* v = r->value_at(static_cast<size_t>(e.source_position - 1));
      taken_.push_back(v != nullptr ? Taken{v->value(), v->state(), true}
                                    : Taken{nullptr, kRepStateUnknown, false});
    }
  }

  const List* records_;
  const std::vector<JoinPair>& pairs_;
  const std::vector<RepTableFieldIndex>& take_;
  const bool exact_;
  std::vector<Slot> slots_;
  size_t mask_ = 0;
  std::vector<uint32_t> record_;  // per entry
  std::vector<const Obj*> keys_;  // per entry, one per pair (not for exact keys)
  std::vector<Taken> taken_;      // per entry, one per taken field
  std::vector<bool> counted_;     // per entry: AddReferences took its references
  std::vector<const RepFieldValue*> values_;
};

// Pads a record shorter than its table's field list (one made elsewhere) with Unknown values,
// so that the placements replayed on it find the positions they expect.
void NormaliseLength(List* values, size_t fields) {
  while (values->size() < fields) {
    ListPushLastItemInternal(values, RepNewFieldValue(kRepStateUnknown, nullptr));
  }
}

// Fills the target's records from their first matches in the source. Two passes: the first
// finds every target record's match (and makes the progress calls) and counts how often each
// source record is used; the references the new values hold on the source's typed values are
// then added once per source value, so that filling the target records in the second pass does
// not write to a scattered source object for every value it shares.
void MergeRecords(List* target_records, size_t target_field_count, const List* source_records,
                  const std::vector<JoinPair>& pairs,
                  const std::vector<RepTableFieldIndex>& entries,
                  const std::vector<RepFieldPlacement>& placements, RepProgressCallback progress,
                  void* argument) {
  const Ref<List> no_records = ListNewFromPool();
  if (source_records == nullptr) source_records = no_records.get();
  SourceIndex index(source_records, pairs, entries);
  const int64_t source_count = static_cast<int64_t>(source_records->size());

  std::vector<long> matches(target_records->size(), -1);
  std::vector<uint32_t> uses(index.entry_count(), 0);
  std::vector<const RepFieldValue*> keys(pairs.size());
  int64_t examined = 0;
  for (size_t i = 0; i < target_records->size(); ++i) {
    const RepRecord* record = ObjCast<RepRecord>(target_records->at(i));
    if (record == nullptr || record->values() == nullptr) continue;
    bool all_normal = true;
    for (size_t k = 0; k < pairs.size(); ++k) {
      keys[k] = record->value_at(static_cast<size_t>(pairs[k].target_position - 1));
      all_normal = all_normal && keys[k] != nullptr && keys[k]->state() == kRepStateNormal;
    }
    const long entry = all_normal ? index.Find(keys) : -1;
    matches[i] = entry;
    if (entry >= 0) {
      ++uses[static_cast<size_t>(entry)];
      examined += static_cast<int64_t>(index.record(entry)) + 1;
    } else if (all_normal) {
      examined += source_count;
    }
    if (examined > kMergeProgressAfter) {
      if (progress != nullptr) progress(argument, 0);
      examined = 0;
    }
  }
  index.AddReferences(uses);

  for (size_t i = 0; i < target_records->size(); ++i) {
    const RepRecord* record = ObjCast<RepRecord>(target_records->at(i));
    if (record == nullptr || record->values() == nullptr) continue;
    List* values = record->values();
    NormaliseLength(values, target_field_count);
    const long entry = matches[i];
    if (entry < 0) {
      for (const RepFieldPlacement& p : placements) ApplyUnmatched(values, p);
      continue;
    }
    // Merge entries never name derived fields: each takes the source value as it is.
    const SourceIndex::Taken* taken = index.taken(entry);
    ListReserve(values, values->size() + entries.size());
    for (size_t j = 0; j < entries.size(); ++j) {
      ApplyPlacement(values, placements[j],
                     taken[j].present ? RepNewFieldValue(taken[j].state, index.Reference(entry, j))
                                      : RepNewFieldValue(kRepStateUnknown, nullptr));
    }
  }
}

// Finds every wanted field in the source table, giving its entry. False (traced by `missing`)
// when one is absent.
template <class Missing>
bool EntriesForFields(std::vector<RepTableFieldIndex>* entries, const List* wanted,
                      const RepTable* source, Missing missing) {
  if (wanted == nullptr) return true;
  entries->reserve(wanted->size());
  for (Obj* w : *wanted) {
    int32_t position = 0;
    if (RepFindTableFieldIndex(&position, NameOf(w), source) != kRepOk) {
      missing(StrOrEmpty(NameOf(w)));
      return false;
    }
    RepTableFieldIndex e;
    e.source_position = position;
    e.source_type =
        ObjCast<RepFieldDef>(source->fields()->at(static_cast<size_t>(position - 1)))->type();
    entries->push_back(e);
  }
  return true;
}

}  // namespace

int RepFindTableFieldIndex(int32_t* position, const char* name, const Obj* table) noexcept {
  const RepTable* t = ObjCast<RepTable>(table);
  if (position == nullptr || t == nullptr || t->fields() == nullptr || t->fields()->empty()) {
    return 0;
  }
  const List* fields = t->fields();
  for (size_t i = 0; i < fields->size(); ++i) {
    const RepFieldDef* f = ObjCast<RepFieldDef>(fields->at(i));
    if (f != nullptr && name != nullptr && StrCompareNoCase(f->name(), name) == 0) {
      *position = static_cast<int32_t>(i + 1);
      return 1;
    }
  }
  *position = 0;
  return 0;
}

namespace {

// Where each value of a projected record comes from, when placing `entries` into an empty record
// only reorders the source's values: each source field once, none derived. Replays
// ApplyPlacement on positions; *from[i] is the 0-based source position of result value i.
bool ProjectionIsReorder(const std::vector<RepTableFieldIndex>& entries,
                         const std::vector<RepFieldPlacement>& placements, size_t source_fields,
                         std::vector<uint32_t>* from) {
  if (entries.size() != source_fields || placements.size() != entries.size()) return false;
  from->clear();
  for (size_t i = 0; i < entries.size(); ++i) {
    const RepFieldPlacement& p = placements[i];
    if (entries[i].derived_position != 0 || p.kind == kRepPlaceReplace) return false;
    const uint32_t position = static_cast<uint32_t>(entries[i].source_position - 1);
    if (p.kind == kRepPlaceFirst) {
      from->insert(from->begin(), position);
    } else if (p.kind == kRepPlaceBefore && p.position >= 1 &&
               static_cast<size_t>(p.position) <= from->size()) {
      from->insert(from->begin() + (p.position - 1), position);
    } else {
      from->push_back(position);
    }
  }
  std::vector<bool> seen(source_fields);
  for (uint32_t f : *from) {
    if (f >= source_fields || seen[f]) return false;
    seen[f] = true;
  }
  return true;
}

// A record the projection may hand on as it is: held by its list alone, with nothing but its
// values, exactly one per field.
bool TakeableRecord(const Obj* item, size_t field_count) {
  const RepRecord* r = ObjCast<RepRecord>(item);
  if (r == nullptr || r->ref_count != 1 || r->ObjSlot<2>() != nullptr) return false;
  const List* values = r->values();
  return values != nullptr && values->ref_count == 1 && values->size() == field_count &&
         ListGetExtensionItem(values) == nullptr;
}

// Projects `source` as RepTableFromTable does. With `take` (the same table, which the caller is
// done with and holds alone), when the projection only reorders the fields and every record is
// the source's alone, the result takes the source's records over, their value lists reordered
// in place, and the source is left without records.
int Project(Ref<RepTable>* result, const RepTable* source, RepTable* take, const List* wanted,
            const List* order, bool records, RepProgressCallback progress, void* argument) {
  Ref<RepTable> table =
      RepNewTable("", ListNewFromPool(), records ? ListNewFromPool() : Ref<List>());
  if (source->fields() == nullptr || source->fields()->empty()) {
    *result = std::move(table);
    return 1;
  }
  std::vector<RepTableFieldIndex> entries;
  const bool found = EntriesForFields(&entries, wanted, source, [&](const char* name) {
    TraceMessage(kTag, 5, 0, -1,
                 "Cannot make table from table '%s' as cannot find field '%s' in source table.",
                 StrOrEmpty(source->name()), name);
  });
  if (!found || !SortTableFieldIndices(&entries)) return 0;
  std::vector<RepFieldPlacement> placements;
  if (!PlaceFields(table->fields(), order, entries, source->fields(), &placements)) return 0;
  const List* in = source->records();
  if (!records || in == nullptr) {
    *result = std::move(table);
    return 1;
  }
  std::vector<uint32_t> from;
  // Taken only when every record is the source's alone: one held elsewhere too must stay out
  // of reach of what the result changes later, and then the projection copies them all.
  const bool taking = take != nullptr && take->ref_count == 1 && in->ref_count == 1 &&
                      ProjectionIsReorder(entries, placements, source->fields()->size(), &from) &&
                      std::all_of(in->begin(), in->end(),
                                  [&](const Obj* r) { return TakeableRecord(r, entries.size()); });
  if (taking) {
    bool reorders = false;
    for (size_t i = 0; i < from.size(); ++i) reorders = reorders || from[i] != i;
    table->set_records(Ref<List>::Share(take->records()));
    take->set_records(ListNewFromPool());
    const List* out = table->records();
    for (size_t i = 0; i < out->size(); ++i) {
      if (reorders) ListReorder(ObjCast<RepRecord>(out->at(i))->values(), from.data(), from.size());
      if ((i + 1) % kProjectionProgressEvery == 0 && progress != nullptr) progress(argument, 0);
    }
  } else {
    List* out = table->records();
    ListReserve(out, in->size());
    for (size_t i = 0; i < in->size(); ++i) {
      Ref<RepRecord> record = RepRecord::New();
      Ref<List> values = ListNewWithCapacity(entries.size());
      FillRecord(values.get(), ObjCast<RepRecord>(in->at(i)), entries, placements);
      record->set_values(std::move(values));
      ListPushLastItemInternal(out, std::move(record));
      if ((i + 1) % kProjectionProgressEvery == 0 && progress != nullptr) progress(argument, 0);
    }
  }
  *result = std::move(table);
  return 1;
}

}  // namespace

int RepTableFromTable(Ref<RepTable>* result, const RepTable* source, const List* wanted,
                      const List* order, int with_records, RepProgressCallback progress,
                      void* argument) noexcept {
  if (result == nullptr || source == nullptr) return 0;
  return Project(result, source, nullptr, wanted, order, with_records == 1, progress, argument);
}

int kr_internal::RepTableFromTableTaking(Ref<RepTable>* result, RepTable* source,
                                         const List* wanted, const List* order,
                                         RepProgressCallback progress, void* argument) noexcept {
  if (result == nullptr || source == nullptr) return 0;
  return Project(result, source, source, wanted, order, true, progress, argument);
}

int RepMergeTables(RepTable* target, const RepTable* source, const List* take, const List* order,
                   const List* joins, int with_records, RepProgressCallback progress,
                   void* argument) noexcept {
  if (joins == nullptr || joins->empty() || target == nullptr || source == nullptr) return 0;
  if (target == source ||
      (target->records() != nullptr && target->records() == source->records())) {
    TraceMessage(kTag, 13, 0, -1, "Cannot merge table '%s' into itself.",
                 StrOrEmpty(target->name()));
    return 0;
  }
  std::vector<JoinPair> pairs;
  for (Obj* join : *joins) {
    const char* target_field = ObjGetSlotString(join, 3);
    const char* source_field = ObjGetSlotString(join, 4);
    JoinPair p{};
    if (RepFindTableFieldIndex(&p.target_position, target_field, target) != kRepOk) {
      TraceMessage(kTag, 6, 0, -1,
                   "Table merge failed as cannot find field '%s' in merge to table '%s'.",
                   StrOrEmpty(target_field), StrOrEmpty(target->name()));
      TraceMessage(kTag, 7, 0, -1, "Errrrr");
      return 0;
    }
    if (RepFindTableFieldIndex(&p.source_position, source_field, source) != kRepOk) {
      TraceMessage(kTag, 8, 0, -1,
                   "Table merge failed as cannot find field '%s' in merge from table '%s'.",
                   StrOrEmpty(source_field), StrOrEmpty(source->name()));
      TraceMessage(kTag, 7, 0, -1, "Errrrr");
      return 0;
    }
    p.type = ObjCast<RepFieldDef>(source->fields()->at(static_cast<size_t>(p.source_position - 1)))
                 ->type();
    pairs.push_back(p);
  }
  std::vector<RepTableFieldIndex> entries;
  const bool found = EntriesForFields(&entries, take, source, [&](const char* name) {
    TraceMessage(kTag, 9, 0, -1,
                 "Cannot merge tables - field '%s' not present in merge from table '%s'", name,
                 StrOrEmpty(source->name()));
  });
  if (!found || !SortDualTableFieldIndices(&pairs, source)) return 0;
  SortTableFieldIndices(&entries);  // nothing to take is no failure: the merge adds nothing

  // Place into a copy of the target's field list, so that nothing is changed before the last
  // point of failure.
  Ref<List> fields;
  std::vector<RepFieldPlacement> placements;
  if (ListClone(&fields, target->fields()) != 1 ||
      !PlaceFields(fields.get(), order, entries, source->fields(), &placements)) {
    return 0;
  }
  const size_t target_field_count = target->fields()->size();
  target->set_fields(std::move(fields));

  if (with_records == 1 && target->records() != nullptr) {
    MergeRecords(target->records(), target_field_count, source->records(), pairs, entries,
                 placements, progress, argument);
  }
  TraceMessage(kTag, 10, 0, 3, "Merge over");
  return 1;
}

int RepRecordFromRecordPreCalc(Ref<RepRecordConversion>* conversion, const RepFieldList* target,
                               const RepFieldList* source, int expand_derived) noexcept {
  if (conversion == nullptr || target == nullptr || source == nullptr) return 0;
  Ref<RepRecordConversion> c = RepRecordConversion::New();
  if (RepCompareFormats(target, source) == kRepFieldsSame) {
    c->set_identical(true);
    TraceMessage(kTag, 11, 0, 3, "RepRecordFromRecord - identical formats, no action");
    *conversion = std::move(c);
    return 1;
  }
  const bool expand = expand_derived == 1;
  Ref<List> widened;
  if (expand) {
    RepExpandDerivedFields(&widened, source);
  } else {
    widened = Ref<List>::Share(const_cast<List*>(source));
  }
  Ref<List> blank = ListNewFromPool();
  RepAddAnyNewFields(blank.get(), widened.get(), target);

  // The working copy: the blank fields, each ranked by its place in the target.
  Ref<Obj> copy;
  if (ObjDuplicate(&copy, blank.get()) != 1) return 0;
  Ref<List> working = RefCast<List>(std::move(copy));
  if (!working) return 0;
  for (Obj* o : *working) {
    RepFieldDef* f = ObjCast<RepFieldDef>(o);
    if (f != nullptr) f->set_merge_position(Rank(target, f->name()));
  }

  std::vector<RepTableFieldIndex> entries;
  for (size_t p = 0; p < source->size(); ++p) {
    const RepFieldDef* f = ObjCast<RepFieldDef>(source->at(p));
    if (f == nullptr) continue;
    if (Rank(target, f->name()) != kRepUnrankedPosition) {
      RepTableFieldIndex e;
      e.source_position = static_cast<int32_t>(p + 1);
      entries.push_back(e);
    }
    if (!expand || f->derived() == nullptr) continue;
    for (size_t d = 0; d < f->derived()->size(); ++d) {
      const RepFieldDef* df = ObjCast<RepFieldDef>(f->derived()->at(d));
      if (df == nullptr || Rank(target, df->name()) == kRepUnrankedPosition) continue;
      TraceMessage(kTag, 12, 0, 3,
                   "Identified that derived field %ld of field '%s' is required in result records",
                   static_cast<long>(d + 1), StrOrEmpty(f->name()));
      RepTableFieldIndex e;
      e.source_position = static_cast<int32_t>(p + 1);
      e.source_type = f->type();
      e.derived_position = static_cast<int32_t>(d + 1);
      e.derived_type = df->type();
      entries.push_back(e);
    }
  }
  std::vector<RepFieldPlacement> placements;
  if (!PlaceFields(working.get(), target, entries, source, &placements)) return 0;

  Ref<Obj> placement_block;
  Ref<Obj> index_block;
  if (ObjDataFieldCreate(&placement_block, placements.data(),
                         placements.size() * sizeof(RepFieldPlacement)) != 1 ||
      ObjDataFieldCreate(&index_block, entries.data(),
                         entries.size() * sizeof(RepTableFieldIndex)) != 1) {
    return 0;
  }
  c->set_source_fields(Ref<List>::Share(const_cast<List*>(source)));
  c->set_blank_template(std::move(blank));
  c->set_placements(std::move(placement_block));
  c->set_placement_count(static_cast<int32_t>(placements.size()));
  c->set_indices(std::move(index_block));
  c->set_index_count(static_cast<int32_t>(entries.size()));
  *conversion = std::move(c);
  return 1;
}

int RepRecordFromRecord(Ref<RepRecord>* result, const RepRecordConversion* conversion,
                        const RepRecord* source) noexcept {
  if (result == nullptr) return 1;
  if (conversion == nullptr || source == nullptr) {
    result->reset();
    return 1;
  }
  if (conversion->identical()) {
    *result = Ref<RepRecord>::Share(const_cast<RepRecord*>(source));
    return 1;
  }
  // The blocks are read by their real sizes, so a conversion that came from elsewhere with
  // counts larger than its blocks reads no further than they go.
  size_t placement_bytes = 0;
  size_t index_bytes = 0;
  const void* pb = ObjDataFieldGet(conversion->placements(), &placement_bytes);
  const void* ib = ObjDataFieldGet(conversion->indices(), &index_bytes);
  size_t n = std::min<size_t>(placement_bytes / sizeof(RepFieldPlacement),
                              index_bytes / sizeof(RepTableFieldIndex));
  n = std::min<size_t>(n, static_cast<size_t>(std::max(0, conversion->placement_count())));
  n = std::min<size_t>(n, static_cast<size_t>(std::max(0, conversion->index_count())));
  std::vector<RepFieldPlacement> placements(n);
  std::vector<RepTableFieldIndex> entries(n);
  if (n > 0) {
    std::memcpy(placements.data(), pb, n * sizeof(RepFieldPlacement));
    std::memcpy(entries.data(), ib, n * sizeof(RepTableFieldIndex));
  }
  const Ref<List> no_fields = ListNewFromPool();
  const List* blank = conversion->blank_template();
  Ref<RepRecord> record =
      RepMakeBlankRecord(blank != nullptr ? blank : no_fields.get(), kRepStateUnknown);
  FillRecord(record->values(), source, entries, placements);
  *result = std::move(record);
  return 1;
}
