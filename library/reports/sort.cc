// The sorting of records by a sort spec (sortspec.cc makes the specs from a report's sort text).
//
// A report of a million records is sorted in a few hundred thousand comparisons per key level;
// reaching each value through record, value list, field value and value object on every one of
// them would spend the time on cache misses. So each record's keys are extracted once into a
// compact entry (the value state and either the value itself or a pointer to it), the entries
// are sorted with a stable merge sort, and the record list is rearranged to match. The entry
// comparison gives exactly the order of the record comparator (SortCompareRecords): the same
// state rules, and for two Normal values the same comparison RepCompareData makes:
//   integer, timepassed, systime   the 32-bit integer, held widened; its order is unchanged
//   int64, datacount               the 64-bit integer
//   boolean                        0 or 1 (true after false)
//   string                         the first sixteen bytes folded into two integers (equal
//                                  prefixes go on to StrCompareNoCase of the rest), giving
//                                  StrCompareNoCase's order, as RepCompareData does
//   any other type                 RepCompareData on the value objects themselves
// A key holds its value inline only when every Normal value of that key is of the runtime type
// RepCompareData reads for the field type; a single value of another form (which RepCompareData
// orders specially) turns the whole key back to comparing the objects. A value state outside
// -128..127, which no record made by this system has, sends the list to the record comparator.
//
// Lists of 64 records or more whose keys are all integers, booleans or strings held inline skip
// the comparisons too: their keys become byte strings sorted by radix (see "normalized keys").

#include "reports/sort.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "kr/text.h"
#include "kr/trace.h"
#include "reports/reports.h"
#include "secondthread.h"
#include "sort_internal.h"

namespace {

constexpr const char* kTag = "RPTSORT";

int Sign(int v) { return (v > 0) - (v < 0); }

// --- the record comparator
// -------------------------------------------------------------------------

struct KeyValue {
  int32_t state;
  const Obj* value;
};

// A record's value at a field position. A record that has no value there (or is no record)
// counts as Unknown, the state of a value that is not known.
KeyValue ValueAt(const Obj* record, int32_t index) {
  const RepRecord* r = ObjCast<RepRecord>(record);
  const RepFieldValue* v =
      (r != nullptr && index >= 0) ? r->value_at(static_cast<size_t>(index)) : nullptr;
  if (v == nullptr) return {kRepStateUnknown, nullptr};
  return {v->state(), v->value()};
}

int CompareOnKey(const Obj* a, const Obj* b, const RepSortKey* key) {
  KeyValue va = ValueAt(a, key->index());
  KeyValue vb = ValueAt(b, key->index());
  if (va.state == kRepStateNormal && vb.state == kRepStateNormal) {
    int r = Sign(RepCompareData(va.value, vb.value, key->type()));
    return key->ascending() ? r : -r;
  }
  if (va.state == vb.state) return 0;
  // The state order does not turn with the key's direction.
  return va.state > vb.state ? 1 : -1;
}

// Progress: a call every kRepSortProgressInterval comparisons.
struct Progress {
  RepProgressCallback callback;
  void* argument;
  int32_t counter = 0;
  // A second thread's share of the work only counts its comparisons (the callback belongs to
  // the calling thread), and hands the count over when it has ended.
  bool tally_only = false;
  size_t tally = 0;

  void Tick() {
    if (tally_only) {
      ++tally;
      return;
    }
    if (callback != nullptr && ++counter >= kRepSortProgressInterval) {
      counter = 0;
      callback(argument, 0);
    }
  }
  // As many comparisons at once.
  void Add(size_t n) {
    if (tally_only) {
      tally += n;
      return;
    }
    if (callback == nullptr) return;
    size_t total = static_cast<size_t>(counter) + n;
    for (; total >= kRepSortProgressInterval; total -= kRepSortProgressInterval)
      callback(argument, 0);
    counter = static_cast<int32_t>(total);
  }
};

// --- the stable merge sort ---------------------------------------------------------------------

// Sorts a[0, n) stably. `less` is only ever asked about two distinct elements, and every index
// stays within the array whatever it answers. Runs of kRun are sorted by insertion, then merged
// bottom-up between the array and a buffer.
template <class T, class Less>
void StableSort(T* a, size_t n, Less less) {
  constexpr size_t kRun = 16;
  if (n < 2) return;
  for (size_t start = 0; start < n; start += kRun) {
    size_t end = std::min(start + kRun, n);
    for (size_t i = start + 1; i < end; ++i) {
      if (!less(a[i], a[i - 1])) continue;
      T x = a[i];
      size_t j = i;
      do {
        a[j] = a[j - 1];
        --j;
      } while (j > start && less(x, a[j - 1]));
      a[j] = x;
    }
  }
  if (n <= kRun) return;
  std::unique_ptr<T[]> buffer(new T[n]);  // left unset: every element is written before read
  T* src = a;
  T* dst = buffer.get();
  for (size_t width = kRun; width < n; width *= 2) {
    for (size_t lo = 0; lo < n; lo += 2 * width) {
      size_t mid = std::min(lo + width, n);
      size_t hi = std::min(lo + 2 * width, n);
      if (mid == hi || !less(src[mid], src[mid - 1])) {  // already in order
        std::copy(src + lo, src + hi, dst + lo);
        continue;
      }
      size_t i = lo, j = mid, k = lo;
      while (i < mid && j < hi) dst[k++] = less(src[j], src[i]) ? src[j++] : src[i++];
      k = static_cast<size_t>(std::copy(src + i, src + mid, dst + k) - dst);
      std::copy(src + j, src + hi, dst + k);
    }
    std::swap(src, dst);
  }
  if (src != a) std::copy(src, src + n, a);
}

// --- extracted keys ----------------------------------------------------------------------------

// How a key's Normal values are held in an entry.
enum class Kind : uint8_t {
  kInteger,  // the value as a 64-bit integer
  kString,   // the value's text
  kObject,   // the value object, compared by RepCompareData
};

struct Cell {
  union {
    int64_t i;        // integers
    uint64_t prefix;  // strings: bytes 0-7, folded (FoldedPrefix)
    const Obj* o;     // objects
  };
  uint64_t prefix2;  // strings: bytes 8-15, folded
};

// Whether texts can be ordered by a folded prefix: StrCompareNoCase compares bytes after folding
// ASCII capitals to small letters, and the prefix must fold the same way. Checked once against
// the runtime itself; if it ever folded otherwise, strings would be compared as objects.
bool PrefixFoldsLikeTheRuntime() {
  static const bool same = StrCompareNoCase("_", "a") < 0 && StrCompareNoCase("Z", "z") == 0 &&
                           StrCompareNoCase("[", "a") < 0 && StrCompareNoCase("\x80", "z") > 0;
  return same;
}

// The first sixteen bytes of a text, each folded as StrCompareNoCase folds it, packed most
// significant first into two words, with zeros after the end of a shorter text. Two texts whose
// prefixes differ compare as their prefixes do (the first differing byte decides, and the end of
// a text is a zero byte, below every other); with equal prefixes, texts that end within them are
// equal, and longer ones compare as their texts from the seventeenth byte on.
void FoldedPrefix(const char* text, uint64_t* first, uint64_t* second) {
  uint64_t v[2] = {0, 0};
  bool ended = false;
  for (int k = 0; k < 16; ++k) {
    unsigned char b = ended ? 0 : static_cast<unsigned char>(text[k]);
    ended = ended || b == 0;
    if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b - 'A' + 'a');
    v[k / 8] = (v[k / 8] << 8) | b;
  }
  *first = v[0];
  *second = v[1];
}

int CompareTexts(const Cell& a, const char* text_a, const Cell& b, const char* text_b) {
  if (a.prefix != b.prefix) return a.prefix < b.prefix ? -1 : 1;
  if ((a.prefix & 0xff) == 0) return 0;  // both end within the first word, together
  if (a.prefix2 != b.prefix2) return a.prefix2 < b.prefix2 ? -1 : 1;
  if ((a.prefix2 & 0xff) == 0) return 0;
  return Sign(StrCompareNoCase(text_a + 16, text_b + 16));
}

struct PlanKey {
  int32_t type;
  int32_t index;
  bool ascending;
  Kind kind;
  uint32_t fast_type_index;  // the runtime type every Normal value must have to stay inline
  // Strings: each record's text, by position before the sort, read only when two texts agree
  // on their first sixteen bytes. Kept beside the entries, which it would double in size.
  std::vector<const char*> texts;
};

struct Plan {
  std::vector<PlanKey> keys;
  const List* spec;     // the keys as objects, for the keys past the inline ones
  Obj* const* records;  // the records in their order before the sort
  size_t count;
};

uint32_t TypeIndexOf(Ref<Obj> sample) { return sample ? sample->type_index : UINT32_MAX; }

PlanKey MakePlanKey(const RepSortKey* key) {
  static const uint32_t integer = TypeIndexOf(ObjNewInteger(0));
  static const uint32_t int64 = TypeIndexOf(ObjNewInt64(0));
  static const uint32_t boolean = TypeIndexOf(ObjNewBoolean(false));
  static const uint32_t string = TypeIndexOf(ObjNewString(""));
  PlanKey k{key->type(), key->index(), key->ascending(), Kind::kObject, UINT32_MAX, {}};
  switch (key->type()) {
    case kRepTypeInteger:
    case kRepTypeTimePassed:
    case kRepTypeSysTime:
      k.kind = Kind::kInteger;
      k.fast_type_index = integer;
      break;
    case kRepTypeInt64:
    case kRepTypeDataCount:
      k.kind = Kind::kInteger;
      k.fast_type_index = int64;
      break;
    case kRepTypeBoolean:
      k.kind = Kind::kInteger;
      k.fast_type_index = boolean;
      break;
    case kRepTypeString:
      if (PrefixFoldsLikeTheRuntime()) {
        k.kind = Kind::kString;
        k.fast_type_index = string;
      }
      break;
    default:
      break;
  }
  return k;
}

// A Normal value of an integer kind of key as a 64-bit integer.
int64_t IntegerOf(int32_t type, const Obj* value) {
  switch (type) {
    case kRepTypeInt64:
    case kRepTypeDataCount:
      return ObjGetInt64(value);
    case kRepTypeBoolean:
      return ObjGetBoolean(value) ? 1 : 0;
    default:
      return ObjGetInteger(value);
  }
}

// The cell of a Normal value of the record at `position`.
Cell CellOf(PlanKey* key, const Obj* value, size_t position) {
  Cell c{};
  if (key->kind == Kind::kObject) {
    c.o = value;
  } else if (key->kind == Kind::kString) {
    const char* text = ObjGetString(value);
    key->texts[position] = text;
    FoldedPrefix(text, &c.prefix, &c.prefix2);
  } else {
    c.i = IntegerOf(key->type, value);
  }
  return c;
}

// Whether a Normal value can be held inline for the key: it has the runtime type RepCompareData
// reads, and a text is there (a string object may hold none, which sorts before every text).
bool HeldInline(const PlanKey& key, const Obj* value) {
  if (value == nullptr || value->type_index != key.fast_type_index) return false;
  return key.kind != Kind::kString || ObjGetString(value) != nullptr;
}

// One record's keys: N of them inline, its position before the sort, and the value states.
template <size_t N>
struct Entry {
  Cell cell[N];
  uint32_t position;
  int8_t state[N];
};

// Fills the entries. False when a state does not fit an entry.
template <size_t N>
bool Extract(Entry<N>* entries, Plan* plan) {
  for (size_t k = 0; k < N; ++k)
    if (plan->keys[k].kind == Kind::kString) plan->keys[k].texts.resize(plan->count);
  for (size_t i = 0; i < plan->count; ++i) {
    Entry<N>& e = entries[i];
    e.position = static_cast<uint32_t>(i);
    for (size_t k = 0; k < N; ++k) {
      PlanKey& key = plan->keys[k];
      KeyValue v = ValueAt(plan->records[i], key.index);
      if (v.state < INT8_MIN || v.state > INT8_MAX) return false;
      e.state[k] = static_cast<int8_t>(v.state);
      e.cell[k] = Cell{};
      if (v.state != kRepStateNormal) continue;
      if (key.kind != Kind::kObject && !HeldInline(key, v.value)) {
        // A value of another form: this key compares objects from now on, also for the
        // entries already made.
        key.kind = Kind::kObject;
        for (size_t j = 0; j < i; ++j)
          if (entries[j].state[k] == kRepStateNormal)
            entries[j].cell[k].o = ValueAt(plan->records[j], key.index).value;
      }
      e.cell[k] = CellOf(&key, v.value, i);
    }
  }
  return true;
}

template <size_t N>
int CompareEntries(const Entry<N>& a, const Entry<N>& b, const Plan& plan) {
  for (size_t k = 0; k < N; ++k) {
    int sa = a.state[k], sb = b.state[k];
    if (sa == kRepStateNormal && sb == kRepStateNormal) {
      const PlanKey& key = plan.keys[k];
      int r;
      switch (key.kind) {
        case Kind::kInteger:
          r = (a.cell[k].i > b.cell[k].i) - (a.cell[k].i < b.cell[k].i);
          break;
        case Kind::kString:
          r = CompareTexts(a.cell[k], key.texts[a.position], b.cell[k], key.texts[b.position]);
          break;
        default:
          r = Sign(RepCompareData(a.cell[k].o, b.cell[k].o, key.type));
          break;
      }
      if (r != 0) return key.ascending ? r : -r;
    } else if (sa != sb) {
      return sa > sb ? 1 : -1;
    }
  }
  if (plan.keys.size() > N)
    return kr_internal::SortCompareRecords(plan.records[a.position], plan.records[b.position],
                                           plan.spec, N);
  return 0;
}

// Puts the records of `list` in the order of `entries`.
template <size_t N>
void Rearrange(List* list, const Entry<N>* entries, size_t count, Obj* const* records) {
  bool moved = false;
  for (size_t i = 0; i < count && !moved; ++i) moved = entries[i].position != i;
  if (!moved) return;
  Ref<List> sorted = ListNewWithCapacity(count);
  for (size_t i = 0; i < count; ++i) ListAddLastItem(sorted.get(), records[entries[i].position]);
  ListClear(list);
  ListJoin(list, sorted.get());
}

template <size_t N>
bool FastSort(Plan* plan, List* records, Progress* progress) {
  // Left unset here: Extract writes every entry whole.
  std::unique_ptr<Entry<N>[]> entries(new Entry<N>[plan->count]);
  if (!Extract<N>(entries.get(), plan)) return false;
  StableSort(entries.get(), plan->count, [&](const Entry<N>& a, const Entry<N>& b) {
    progress->Tick();
    return CompareEntries<N>(a, b, *plan) < 0;
  });
  Rearrange<N>(records, entries.get(), plan->count, plan->records);
  return true;
}

// --- normalized keys ---------------------------------------------------------------------------
//
// A list of integer, boolean and string keys is sorted a faster way still: each record's keys
// become one byte string whose plain byte order is the order of the entry comparison, packed
// into W words most significant first, with the record's position in the last four bytes so
// that no two are equal and the order needs no stability. Per key:
//   the value state, biased to a byte (the state order never turns with the direction);
//   for a Normal integer, its bytes (eight, four, or one for a boolean) with the sign bit
//   flipped;
//   for a Normal string, its folded sixteen-byte prefix (FoldedPrefix);
//   for any other state, zeros;
// and the value bytes inverted for a descending key. Such strings sort by byte (MSD radix in
// place, skipping the bytes every string of a range shares), short ranges by insertion.
//
// Only a text of sixteen bytes or more is not settled by its prefix. Its record's later keys are
// left at zero and it is marked; two records with the same bytes then are either both marked
// (prefixes without an end agree) or both settled. Each run of equal marked keys, already in
// its positions' order, is then sorted stably by the record comparator.

constexpr size_t kNormalizedMinRecords = 64;  // fewer: the entry sort is as quick
constexpr size_t kNormalizedMaxWords = 8;
constexpr size_t kSmallRange = 48;  // ranges this short are sorted by comparison

template <size_t W>
struct NKey {
  uint64_t w[W];
};

template <size_t W>
bool NLess(const NKey<W>& a, const NKey<W>& b) {
  for (size_t i = 0; i < W; ++i)
    if (a.w[i] != b.w[i]) return a.w[i] < b.w[i];
  return false;
}

template <size_t W>
unsigned ByteAt(const NKey<W>& k, size_t depth) {
  return static_cast<unsigned>(k.w[depth / 8] >> (56 - 8 * (depth % 8))) & 0xffu;
}

// The first byte from `depth` on where a and b differ (8 * W when none does).
template <size_t W>
size_t FirstDifference(const NKey<W>& a, const NKey<W>& b, size_t depth) {
  for (size_t i = depth / 8; i < W; ++i) {
    uint64_t x = a.w[i] ^ b.w[i];
    if (i == depth / 8) x &= ~uint64_t{0} >> (8 * (depth % 8));
    if (x != 0) return 8 * i + static_cast<size_t>(__builtin_clzll(x)) / 8;
  }
  return 8 * W;
}

// Writes key bytes into a word array, most significant first.
struct ByteWriter {
  uint64_t* w;
  size_t at = 0;
  void Byte(unsigned b) {
    w[at / 8] |= uint64_t{b & 0xffu} << (56 - 8 * (at % 8));
    ++at;
  }
  void Word(uint64_t v) { Bytes(v, 8); }
  // The low `count` bytes of v, most significant first.
  void Bytes(uint64_t v, size_t count) {
    for (size_t k = count; k > 0; --k) Byte(static_cast<unsigned>(v >> (8 * (k - 1))));
  }
};

struct Normalizer {
  Progress* progress;

  // Sorts a[0, n) by the bytes from `depth` on, the bytes before being equal in the range: MSD
  // radix in place (the records of each bucket are swapped into it, so no second array is
  // needed), short ranges by insertion. No two keys are equal (their positions differ), so the
  // order is the same whatever the algorithm.
  // Skips the bytes the whole range shares from *depth on, then swaps each record into the
  // bucket of its byte there (in place, so no second array is needed), counting each bucket in
  // count. False when no byte differs (cannot happen: the positions differ).
  template <size_t W>
  bool Spread(NKey<W>* a, size_t n, size_t* depth, size_t count[256]) {
    constexpr size_t kBytes = 8 * W;
    size_t common = kBytes;
    for (size_t i = 1; i < n && common > *depth; ++i)
      common = std::min(common, FirstDifference(a[0], a[i], *depth));
    *depth = common;
    if (*depth >= kBytes) return false;
    std::fill(count, count + 256, size_t{0});
    for (size_t i = 0; i < n; ++i) ++count[ByteAt(a[i], *depth)];
    size_t head[256], tail[256];
    size_t buckets = 0;
    for (size_t b = 0, sum = 0; b < 256; ++b) {
      head[b] = sum;
      sum += count[b];
      tail[b] = sum;
      buckets += count[b] != 0;
    }
    // Spreading m records over k buckets settles about m * log2(k) comparisons.
    for (size_t k = 1; k < buckets; k *= 2) progress->Add(n);
    for (size_t b = 0; b < 256; ++b) {
      while (head[b] < tail[b]) {
        NKey<W> x = a[head[b]];
        size_t d = ByteAt(x, *depth);
        while (d != b) {  // carry x to its bucket, taking what was there
          std::swap(x, a[head[d]++]);
          d = ByteAt(x, *depth);
        }
        a[head[b]++] = x;
      }
    }
    return true;
  }

  // Sorts the buckets [first, last) of a range spread at `depth`.
  template <size_t W>
  void SortBuckets(NKey<W>* a, const size_t count[256], size_t first, size_t last,
                   size_t depth) {
    size_t lo = 0;
    for (size_t b = 0; b < first; ++b) lo += count[b];
    for (size_t b = first; b < last; ++b) {
      if (count[b] > 1) Sort(a + lo, count[b], depth);
      lo += count[b];
    }
  }

  // Sorts a[0, n) by the bytes from `depth` on, the bytes before being equal in the range: MSD
  // radix, short ranges by insertion. No two keys are equal (their positions differ), so the
  // order is the same whatever the algorithm.
  template <size_t W>
  void Sort(NKey<W>* a, size_t n, size_t depth) {
    if (n > kSmallRange) {
      size_t count[256];
      if (Spread(a, n, &depth, count)) SortBuckets(a, count, 0, 256, depth + 1);
      return;
    }
    for (size_t i = 1; i < n; ++i) {
      NKey<W> x = a[i];
      size_t j = i;
      while (j > 0) {
        progress->Tick();
        if (!NLess(x, a[j - 1])) break;
        a[j] = a[j - 1];
        --j;
      }
      a[j] = x;
    }
  }

  // As Sort from depth 0, the buckets of the first spread shared with a second thread: the
  // buckets up to about half the records here, the rest there.
  template <size_t W>
  void SortShared(NKey<W>* a, size_t n) {
    size_t count[256];
    size_t depth = 0;
    if (n < kr_internal::kSharedMinRecords) return Sort(a, n, 0);
    if (!Spread(a, n, &depth, count)) return;
    size_t split = 0;
    for (size_t below = 0; split < 256 && below + count[split] <= n / 2; ++split)
      below += count[split];
    Progress theirs{nullptr, nullptr, 0, true, 0};
    Normalizer other{&theirs};
    kr_internal::OnSecondThread([&] { other.SortBuckets(a, count, split, 256, depth + 1); },
                                [&] { SortBuckets(a, count, 0, split, depth + 1); });
    progress->Add(theirs.tally);
  }
};

// The bytes of a Normal value of the key: a text's prefix, or as many as the integer type has.
size_t ValueBytes(const PlanKey& key) {
  if (key.kind == Kind::kString) return 16;
  switch (key.type) {
    case kRepTypeInt64:
    case kRepTypeDataCount:
      return 8;
    case kRepTypeBoolean:
      return 1;
    default:
      return 4;
  }
}

// The byte length of the normalized keys of the plan, without the position.
size_t NormalizedKeyBytes(const Plan& plan) {
  size_t bytes = 0;
  for (const PlanKey& k : plan.keys) {
    if (k.kind == Kind::kObject) return SIZE_MAX;
    bytes += 1 + ValueBytes(k);
  }
  return bytes;
}

// Reaching a record's key values takes a chain of dependent loads (record, value list, its
// array, each value, each typed value); touching each link a few records ahead lets the cache
// misses of several records overlap. Only reads.
void PrefetchKeys(const Plan& plan, size_t i, size_t n) {
  constexpr size_t kRecord = 16, kList = 12, kItems = 8, kValues = 4, kTyped = 2;
  if (i + kRecord < n) __builtin_prefetch(plan.records[i + kRecord]);
  auto values_of = [&](size_t at) -> const List* {
    const RepRecord* r = ObjCast<RepRecord>(plan.records[at]);
    return r != nullptr ? r->values() : nullptr;
  };
  if (i + kList < n) {
    const RepRecord* r = ObjCast<RepRecord>(plan.records[i + kList]);
    if (r != nullptr && r->values() != nullptr) __builtin_prefetch(r->values());
  }
  if (i + kItems < n) {
    const List* values = values_of(i + kItems);
    if (values != nullptr && !values->empty()) __builtin_prefetch(values->begin());
  }
  if (i + kValues < n) {
    if (const List* values = values_of(i + kValues))
      for (const PlanKey& key : plan.keys)
        if (key.index >= 0 && static_cast<size_t>(key.index) < values->size())
          __builtin_prefetch(values->at(static_cast<size_t>(key.index)));
  }
  if (i + kTyped < n) {
    if (const List* values = values_of(i + kTyped))
      for (const PlanKey& key : plan.keys) {
        if (key.index < 0 || static_cast<size_t>(key.index) >= values->size()) continue;
        const RepFieldValue* v = ObjCast<RepFieldValue>(values->at(static_cast<size_t>(key.index)));
        if (v != nullptr && v->value() != nullptr) __builtin_prefetch(v->value());
      }
  }
}

// Fills the keys [begin, end). False when a value or state does not fit (the entry sort then
// takes over).
template <size_t W>
bool NormalizeKeys(NKey<W>* keys, std::vector<uint8_t>* marked, const Plan& plan, size_t begin,
                   size_t end) {
  for (size_t i = begin; i < end; ++i) {
    PrefetchKeys(plan, i, end);
    NKey<W>& e = keys[i];
    for (size_t w = 0; w < W; ++w) e.w[w] = 0;
    ByteWriter out{e.w};
    for (const PlanKey& key : plan.keys) {
      KeyValue v = ValueAt(plan.records[i], key.index);
      if (v.state < INT8_MIN || v.state > INT8_MAX) return false;
      out.Byte(static_cast<unsigned>(v.state + 128));
      const uint64_t flip = key.ascending ? 0 : ~uint64_t{0};
      const size_t width = ValueBytes(key);
      if (v.state != kRepStateNormal) {
        out.at += width;
        continue;
      }
      if (!HeldInline(key, v.value)) return false;
      if (key.kind == Kind::kString) {
        const char* text = ObjGetString(v.value);
        uint64_t first = 0, second = 0;
        FoldedPrefix(text, &first, &second);
        out.Word(first ^ flip);
        out.Word(second ^ flip);
        if ((second & 0xff) != 0) {  // sixteen bytes or more: the rest decides
          (*marked)[i] = 1;
          break;
        }
      } else {
        // The sign bit flipped, so that the bytes order as the signed value, and only the bytes
        // the type can hold (the value sits in the low end of the 64-bit integer).
        const uint64_t biased =
            static_cast<uint64_t>(IntegerOf(key.type, v.value)) ^ (uint64_t{1} << (8 * width - 1));
        out.Bytes(biased ^ flip, width);
      }
    }
    e.w[W - 1] |= static_cast<uint32_t>(i);
  }
  return true;
}

// Fills every key, a long list's second half on a second thread.
template <size_t W>
bool NormalizeAllKeys(NKey<W>* keys, std::vector<uint8_t>* marked, const Plan& plan) {
  const size_t n = plan.count;
  if (n < kr_internal::kSharedMinRecords) return NormalizeKeys<W>(keys, marked, plan, 0, n);
  bool first = false, second = false;
  kr_internal::OnSecondThread([&] { second = NormalizeKeys<W>(keys, marked, plan, n / 2, n); },
                              [&] { first = NormalizeKeys<W>(keys, marked, plan, 0, n / 2); });
  return first && second;
}

template <size_t W>
uint32_t PositionOf(const NKey<W>& k) {
  return static_cast<uint32_t>(k.w[W - 1]);
}

template <size_t W>
void SetPosition(NKey<W>* k, size_t position) {
  k->w[W - 1] = (k->w[W - 1] & ~uint64_t{0xffffffffu}) | position;
}

// Puts the records of the list in the order of the keys. Only the pointers move (no reference
// changes hands). The new order is gathered over the key array itself, which is not needed
// after: the pointer for i goes to bytes [8i, 8i + 8) of it, which lie in key i / W, read
// already (the loads stay independent of one another, so their cache misses overlap).
template <size_t W>
void Permute(List* list, NKey<W>* keys, size_t count) {
  static_assert(sizeof(NKey<W>) > sizeof(Obj*));
  Obj* const* items = list->begin();
  unsigned char* order = reinterpret_cast<unsigned char*>(keys);
  for (size_t i = 0; i < count; ++i) {
    Obj* item = items[PositionOf(keys[i])];
    std::memcpy(order + i * sizeof item, &item, sizeof item);
  }
  std::memcpy(const_cast<Obj**>(items), order, count * sizeof(Obj*));
}

template <size_t W>
bool NormalizedSortOf(Plan* plan, List* records, Progress* progress) {
  const size_t n = plan->count;
  std::unique_ptr<NKey<W>[]> keys(new NKey<W>[n]);
  std::vector<uint8_t> marked(n, 0);
  if (!NormalizeAllKeys<W>(keys.get(), &marked, *plan)) return false;
  Normalizer sorter{progress};
  sorter.SortShared<W>(keys.get(), n);
  // Runs of equal marked keys, in their positions' order: the record comparator orders them.
  const uint64_t last_mask = ~uint64_t{0xffffffffu};
  auto same = [&](const NKey<W>& a, const NKey<W>& b) {
    for (size_t w = 0; w + 1 < W; ++w)
      if (a.w[w] != b.w[w]) return false;
    return (a.w[W - 1] & last_mask) == (b.w[W - 1] & last_mask);
  };
  std::vector<uint32_t> run;
  for (size_t lo = 0; lo < n;) {
    size_t hi = lo + 1;
    while (hi < n && same(keys[lo], keys[hi])) ++hi;
    if (hi - lo > 1 && marked[PositionOf(keys[lo])]) {
      run.clear();
      for (size_t i = lo; i < hi; ++i) run.push_back(PositionOf(keys[i]));
      StableSort(run.data(), run.size(), [&](uint32_t a, uint32_t b) {
        progress->Tick();
        return kr_internal::SortCompareRecords(plan->records[a], plan->records[b], plan->spec, 0) <
               0;
      });
      for (size_t i = lo; i < hi; ++i) SetPosition(&keys[i], run[i - lo]);
    }
    lo = hi;
  }
  Permute<W>(records, keys.get(), n);
  return true;
}

// Sorts by normalized keys when the plan's keys allow it; false when they do not (nothing has
// moved then).
bool NormalizedSort(Plan* plan, List* records, Progress* progress) {
  if (plan->count < kNormalizedMinRecords || plan->count > UINT32_MAX) return false;
  const size_t key_bytes = NormalizedKeyBytes(*plan);
  if (key_bytes == SIZE_MAX) return false;
  const size_t words = (key_bytes + 4 + 7) / 8;
  if (words <= 2) return NormalizedSortOf<2>(plan, records, progress);
  if (words <= 3) return NormalizedSortOf<3>(plan, records, progress);
  if (words <= 4) return NormalizedSortOf<4>(plan, records, progress);
  if (words <= 6) return NormalizedSortOf<6>(plan, records, progress);
  if (words <= kNormalizedMaxWords)
    return NormalizedSortOf<kNormalizedMaxWords>(plan, records, progress);
  return false;
}

// The keys of a spec, leaving out any item that is not a key.
Ref<List> KeysOnly(const List* spec) {
  Ref<List> keys = ListNewWithCapacity(spec->size());
  for (Obj* o : *spec)
    if (ObjCast<RepSortKey>(o) != nullptr) ListAddLastItem(keys.get(), o);
  return keys;
}

void SortRecords(const List* spec, List* records, RepProgressCallback callback, void* argument) {
  if (spec == nullptr || records == nullptr || spec->empty() || records->size() < 2) return;
  Ref<List> keys = KeysOnly(spec);
  if (keys->empty()) return;
  Progress progress{callback, argument};

  Plan plan;
  plan.spec = keys.get();
  plan.records = records->begin();
  plan.count = records->size();
  for (Obj* o : *keys) plan.keys.push_back(MakePlanKey(ObjCast<RepSortKey>(o)));
  if (NormalizedSort(&plan, records, &progress)) return;
  bool done = false;
  switch (std::min<size_t>(plan.keys.size(), 4)) {
    case 1:
      done = FastSort<1>(&plan, records, &progress);
      break;
    case 2:
      done = FastSort<2>(&plan, records, &progress);
      break;
    case 3:
      done = FastSort<3>(&plan, records, &progress);
      break;
    default:
      done = FastSort<4>(&plan, records, &progress);
      break;
  }
  if (!done) {
    Ref<RepSortCookie> cookie = kr_internal::SortMakeCookie(keys.get(), callback, argument);
    ListSortWithCookie(records, kr_internal::SortCompareWithCookie, cookie.get());
  }
}

}  // namespace

namespace kr_internal {

int SortCompareRecords(const Obj* a, const Obj* b, const List* spec, size_t first_key) noexcept {
  if (spec == nullptr) return 0;
  for (size_t k = first_key; k < spec->size(); ++k) {
    const RepSortKey* key = ObjCast<RepSortKey>(spec->at(k));
    if (key == nullptr) continue;
    if (int r = CompareOnKey(a, b, key)) return r;
  }
  return 0;
}

Ref<RepSortCookie> SortMakeCookie(const List* spec, RepProgressCallback progress,
                                  void* argument) noexcept {
  Ref<RepSortCookie> cookie = RepSortCookie::New();
  if (!cookie) return nullptr;
  cookie->SetObjSlot<1>(Ref<List>::Share(const_cast<List*>(spec)));
  cookie->SetPtrSlot<2>(reinterpret_cast<uintptr_t>(progress));
  cookie->SetPtrSlot<3>(reinterpret_cast<uintptr_t>(argument));
  return cookie;
}

int SortCompareWithCookie(Obj* a, Obj* b, void* cookie) noexcept {
  RepSortCookie* c = ObjCast<RepSortCookie>(static_cast<Obj*>(cookie));
  if (c == nullptr) return 0;
  if (c->PtrSlot<2>() != 0) {
    int32_t n = c->counter() + 1;
    if (n >= kRepSortProgressInterval) {
      n = 0;
      reinterpret_cast<RepProgressCallback>(c->PtrSlot<2>())(
          reinterpret_cast<void*>(c->PtrSlot<3>()), 0);
    }
    c->SetIntSlot<4>(n);
  }
  return SortCompareRecords(a, b, c->spec(), 0);
}

}  // namespace kr_internal

void RepSort(RepControl* control, RepProgressCallback progress, void* argument) noexcept {
  RepTable* table = control != nullptr ? control->table() : nullptr;
  if (table == nullptr) return;
  Ref<List> spec;
  if (!RepBuildSortSpec(&spec, table->fields(), RepParamsGetSort(control->params()))) return;
  SortRecords(spec.get(), table->records(), progress, argument);
}

void RepApplySortToRecords(const List* spec, List* records) noexcept {
  SortRecords(spec, records, nullptr, nullptr);
}
