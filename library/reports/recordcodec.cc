#include "recordcodec.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>
#include <memory>

#include "kr/list.h"
#include "kr/serialize.h"

namespace kr_internal {
namespace {

// A column is given up when, after this many values, fewer than half had been seen before, or
// when it keeps too many distinct values or key bytes.
constexpr uint32_t kTrial = 4096;
constexpr size_t kMostKept = 65536;
constexpr size_t kMostKeyBytes = size_t{16} << 20;
constexpr size_t kFirstSlots = 64;
// The generic reader refuses longer type specs; a table that has one is not learnt.
constexpr uint64_t kLongestSpec = 4096;

constexpr uint64_t kHashMul = 0x9e3779b97f4a7c15u;

// A word at a time rather than a byte at a time: every shared value of every record is hashed.
uint64_t HashBytes(const unsigned char* p, size_t n) {
  uint64_t h = n * kHashMul;
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = (h ^ w) * kHashMul;
    h ^= h >> 29;
  }
  uint64_t tail = 0;
  for (size_t i = 0; i < n; ++i) tail |= uint64_t{p[i]} << (8 * i);
  h = (h ^ tail) * kHashMul;
  return h ^ (h >> 32);
}

}  // namespace

// The generic reader's primitives, with its checks: a varint of at most ten bytes, integers in
// zigzag form, a 32-bit integer in its range.
class RecordDecoder::Reader {
 public:
  Reader(const unsigned char* p, const unsigned char* end) : p_(p), end_(end) {}
  const unsigned char* at() const { return p_; }
  void move_to(const unsigned char* p) { p_ = p; }
  size_t left() const { return static_cast<size_t>(end_ - p_); }
  bool done() const { return p_ == end_; }

  bool Varint(uint64_t* v) {
    if (p_ != end_ && *p_ < 0x80) {  // most numbers of a record take one byte
      *v = *p_++;
      return true;
    }
    uint64_t r = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (p_ == end_) return false;
      const unsigned char b = *p_++;
      if (shift == 63 && b > 1) return false;
      r |= uint64_t{b & 0x7fu} << shift;
      if ((b & 0x80) == 0) {
        *v = r;
        return true;
      }
    }
    return false;
  }
  bool Byte(unsigned char* b) {
    if (p_ == end_) return false;
    *b = *p_++;
    return true;
  }
  bool Skip(uint64_t n) {
    if (n > left()) return false;
    p_ += n;
    return true;
  }
  bool Int64(int64_t* v) {
    uint64_t u;
    if (!Varint(&u)) return false;
    *v = static_cast<int64_t>(u >> 1) ^ -static_cast<int64_t>(u & 1);
    return true;
  }
  bool Int32(int32_t* v) {
    int64_t x;
    if (!Int64(&x) || x < INT32_MIN || x > INT32_MAX) return false;
    *v = static_cast<int32_t>(x);
    return true;
  }
  // The presence byte of an object slot that must be empty.
  bool Absent() {
    unsigned char b;
    return Byte(&b) && b == 0;
  }

 private:
  const unsigned char* p_;
  const unsigned char* end_;
};

namespace {

// What the fast writer writes a value object as, with the type it names in the type table.
struct WrittenType {
  uint32_t code;
  const char* spec;
};
constexpr WrittenType kRecordType{RepRecord::kTypeCode, RepRecord::kSpec};
constexpr WrittenType kListType{kObjListType, "L;"};
constexpr WrittenType kValueType{RepFieldValue::kTypeCode, RepFieldValue::kSpec};
constexpr WrittenType kValueObjectTypes[] = {
    {ObjString::kTypeCode, ObjString::kSpec},       {ObjInteger::kTypeCode, ObjInteger::kSpec},
    {ObjInt64::kTypeCode, ObjInt64::kSpec},         {ObjBoolean::kTypeCode, ObjBoolean::kSpec},
    {RepDateValue::kTypeCode, RepDateValue::kSpec}, {RepTimeValue::kTypeCode, RepTimeValue::kSpec},
};
}  // namespace

ValueObject KindOf(const Obj* o) {
  if (o == nullptr) return kNoObject;
  static const uint32_t kIndexes[] = {ObjString::TypeIndex(),    ObjInteger::TypeIndex(),
                                      ObjInt64::TypeIndex(),     ObjBoolean::TypeIndex(),
                                      RepDateValue::TypeIndex(), RepTimeValue::TypeIndex()};
  for (int k = kString; k <= kTime; ++k) {
    if (o->type_index == kIndexes[k]) return static_cast<ValueObject>(k);
  }
  return kUnknown;
}

namespace {

// The type table last written, kept per thread: the records of a table all use the same one.
// Initial-exec, as the library is linked into its programs, never opened later.
struct FastWriterTable {
  std::string bytes;
  uint32_t pattern = ~0u;  // the type-use pattern `bytes` was written for
  // The record is written here first, then appended: sizing the caller's string for the most a
  // record can take would clear those bytes for every record.
  std::unique_ptr<char[]> scratch;
  size_t scratch_size = 0;
};
__attribute__((tls_model("initial-exec"))) thread_local FastWriterTable t_fast_table;

}  // namespace

void ReadWritten(WrittenValue* w, const Obj* o) {
  switch (w->kind) {
    case kString:
      w->text = ObjCast<ObjString>(o)->value();
      w->text_length = w->text != nullptr ? std::strlen(w->text) : 0;
      break;
    case kInteger:
      w->number = ObjCast<ObjInteger>(o)->value();
      break;
    case kInt64:
      w->number = ObjCast<ObjInt64>(o)->value();
      break;
    case kBoolean:
      w->number = ObjCast<ObjBoolean>(o)->value() ? 1 : 0;
      break;
    case kDate: {
      const RepDateValue* d = ObjCast<RepDateValue>(o);
      w->parts[0] = d->year(), w->parts[1] = d->month(), w->parts[2] = d->day();
      break;
    }
    case kTime: {
      const RepTimeValue* t = ObjCast<RepTimeValue>(o);
      w->parts[0] = t->hour(), w->parts[1] = t->minute(), w->parts[2] = t->second();
      w->parts[3] = t->reserved();
      break;
    }
    default:
      break;
  }
}

void WriteTypeTable(std::string* bytes, uint32_t types, uint64_t order) {
  char buf[16];
  bytes->assign(buf, static_cast<size_t>(PutVarint(buf, types) - buf));
  auto put = [bytes, &buf](const WrittenType& type) {
    char* p = PutLe32(buf, type.code);
    p = PutVarint(p, std::strlen(type.spec));
    bytes->append(buf, static_cast<size_t>(p - buf));
    bytes->append(type.spec);
  };
  put(kRecordType);
  put(kListType);
  if (types > 2) put(kValueType);
  for (uint32_t n = 3; n < types; ++n) put(kValueObjectTypes[(order >> (4 * (n - 3))) & 15]);
}

namespace {

const std::string& TypeTable(uint32_t types, uint32_t pattern, uint64_t order) {
  FastWriterTable& t = t_fast_table;
  if (t.pattern == pattern) return t.bytes;
  WriteTypeTable(&t.bytes, types, order);
  t.pattern = pattern;
  return t.bytes;
}

// The most values the fast writer takes; a longer record goes to the generic writer.
constexpr size_t kMostFastValues = 64;

}  // namespace

bool AppendRecordFast(std::string* out, const Obj* object) {
  const RepRecord* record = ObjCast<RepRecord>(object);
  const List* values = record != nullptr ? record->values() : nullptr;
  if (values == nullptr || values->size() > kMostFastValues || record->ObjSlot<2>() != nullptr ||
      ListGetExtensionItem(values) != nullptr) {
    return false;
  }
  // First every value's kind, contents and type number, then the bytes. Only the entries used
  // are initialized: the record path writes every record of a table through here.
  WrittenValue written[kMostFastValues];  // NOLINT(cppcoreguidelines-pro-type-member-init)
  TypeNumbers numbers(!values->empty());
  size_t bound = 16;
  for (size_t i = 0; i < values->size(); ++i) {
    const RepFieldValue* v = ObjCast<RepFieldValue>(values->at(i));
    if (v == nullptr || v->ObjSlot<3>() != nullptr) return false;
    WrittenValue& w = written[i];
    w = {};
    w.kind = KindOf(v->value());
    if (w.kind == kUnknown) return false;
    w.state = v->state();
    ReadWritten(&w, v->value());
    if (w.kind != kNoObject) w.type_number = numbers.Of(w.kind);
    bound += kValueBytes + w.text_length;
  }
  const std::string& table = TypeTable(numbers.types(), numbers.pattern(), numbers.order());
  FastWriterTable& t = t_fast_table;
  const size_t most = kObjHeaderSize + table.size() + bound;
  if (t.scratch_size < most) {
    t.scratch_size = std::max(most, size_t{4096});
    t.scratch = std::make_unique<char[]>(t.scratch_size);
  }
  char* const header = t.scratch.get();
  char* const end = PutRecord(header, table, values->size(),
                              [&written](size_t i) -> const WrittenValue& { return written[i]; });
  if (static_cast<uint64_t>(end - header) - kObjHeaderSize > kObjMaxBodySize) return false;
  out->append(header, static_cast<size_t>(end - header));
  if (t.scratch_size > kKeptScratch) {  // a one-off huge record does not keep its buffer
    t.scratch.reset();
    t.scratch_size = 0;
  }
  return true;
}

RecordDecoder::~RecordDecoder() {
  for (Column& c : columns_) Release(&c);
}

void RecordDecoder::Release(Column* c) {
  for (Column::Slot& s : c->slots) ObjDecRefCount(s.value);
  c->slots = {};
  c->keys = {};
  c->used = 0;
}

void RecordDecoder::StartBlock(const std::vector<int32_t>& column_types) {
  if (column_types == column_types_) return;
  column_types_ = column_types;
  for (Column& c : columns_) Release(&c);
  columns_.clear();
}

bool RecordDecoder::LearnTypes(const unsigned char* table, size_t length) {
  kinds_.clear();
  Reader r(table, table + length);
  uint64_t count;
  if (!r.Varint(&count)) return false;
  struct Known {
    const ObjType* type;
    Kind kind;
  };
  const Known known[] = {
      {RepRecord::Type(), Kind::kRecord},
      {ObjTypeIntern(kObjListType, "L;", "List"), Kind::kList},
      {RepFieldValue::Type(), Kind::kValue},
      {ObjString::Type(), Kind::kString},
      {ObjInteger::Type(), Kind::kInteger},
      {ObjInt64::Type(), Kind::kInt64},
      {ObjBoolean::Type(), Kind::kBoolean},
      {RepDateValue::Type(), Kind::kDate},
      {RepTimeValue::Type(), Kind::kTime},
  };
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t length_of_spec;
    if (r.left() < 4) return false;
    const unsigned char* c = r.at();
    const uint32_t code = static_cast<uint32_t>(c[0]) | static_cast<uint32_t>(c[1]) << 8 |
                          static_cast<uint32_t>(c[2]) << 16 | static_cast<uint32_t>(c[3]) << 24;
    r.Skip(4);
    if (!r.Varint(&length_of_spec) || length_of_spec > kLongestSpec || length_of_spec > r.left()) {
      return false;
    }
    const std::string spec(reinterpret_cast<const char*>(r.at()), length_of_spec);
    r.Skip(length_of_spec);
    if (spec.find('\0') != std::string::npos) return false;
    const ObjType* t = ObjTypeIntern(code, spec.c_str(), nullptr);
    if (t == nullptr) return false;
    Kind kind = Kind::kOther;
    for (const Known& k : known) {
      if (k.type == t) kind = k.kind;
    }
    kinds_.push_back(kind);
  }
  return r.done();
}

bool RecordDecoder::ReadValueContents(Reader* r, Kind kind, bool build, Ref<Obj>* out) {
  int32_t i[4];
  switch (kind) {
    case Kind::kString: {
      uint64_t n;
      if (!r->Varint(&n)) return false;
      if (n == 0) {
        if (build) *out = ObjString::New();
        return true;
      }
      const unsigned char* text = r->at();
      if (!r->Skip(n - 1) || std::memchr(text, 0, n - 1) != nullptr) return false;
      if (build) *out = ObjNewStringOfLength(reinterpret_cast<const char*>(text), n - 1);
      return true;
    }
    case Kind::kInteger:
      if (!r->Int32(&i[0])) return false;
      if (build) *out = ObjNewInteger(i[0]);
      return true;
    case Kind::kInt64: {
      int64_t v;
      if (!r->Int64(&v)) return false;
      if (build) *out = ObjNewInt64(v);
      return true;
    }
    case Kind::kBoolean: {
      unsigned char b;
      if (!r->Byte(&b) || b > 1) return false;
      if (build) *out = ObjNewBoolean(b == 1);
      return true;
    }
    case Kind::kDate: {
      if (!r->Int32(&i[0]) || !r->Int32(&i[1]) || !r->Int32(&i[2])) return false;
      if (!build) return true;
      Ref<RepDateValue> d = RepDateValue::New();
      d->set_year(i[0]);
      d->set_month(i[1]);
      d->set_day(i[2]);
      *out = std::move(d);
      return true;
    }
    case Kind::kTime: {
      if (!r->Int32(&i[0]) || !r->Int32(&i[1]) || !r->Int32(&i[2]) || !r->Int32(&i[3])) {
        return false;
      }
      if (!build) return true;
      Ref<RepTimeValue> t = RepTimeValue::New();
      t->set_hour(i[0]);
      t->set_minute(i[1]);
      t->set_second(i[2]);
      t->set_reserved(i[3]);
      *out = std::move(t);
      return true;
    }
    default:
      return false;  // a record, list or value inside a value: the generic reader's work
  }
}

namespace {

Ref<RepFieldValue> NewValue(int32_t state, Ref<Obj> value) {
  Ref<RepFieldValue> v = RepFieldValue::New();
  v->set_state(state);
  v->set_value(std::move(value));
  return v;
}

}  // namespace

bool RecordDecoder::ReadValue(Reader* r, Key* key, int32_t* state) {
  uint64_t number;
  unsigned char present;
  if (!r->Varint(&number) || number >= kinds_.size() || kinds_[number] != Kind::kValue) {
    return false;
  }
  key->head = r->at();
  if (!r->Int32(state) || !r->Byte(&present) || present > 1) return false;
  key->head_length = static_cast<size_t>(r->at() - key->head);
  if (present == 1) {
    // By its kind, not its number: type numbers belong to each record's own type table.
    if (!r->Varint(&number) || number >= kinds_.size()) return false;
    key->kind = static_cast<char>(kinds_[number]);
    key->has_object = true;
    key->payload = r->at();
    if (!ReadValueContents(r, kinds_[number], false, nullptr)) return false;
    key->payload_length = static_cast<size_t>(r->at() - key->payload);
  }
  return r->Absent();
}

// A value of a column whose values are not shared: read and made in one pass.
bool RecordDecoder::ReadAndBuildValue(Reader* r, Ref<RepFieldValue>* out) {
  uint64_t number;
  int32_t state;
  unsigned char present;
  if (!r->Varint(&number) || number >= kinds_.size() || kinds_[number] != Kind::kValue ||
      !r->Int32(&state) || !r->Byte(&present) || present > 1) {
    return false;
  }
  Ref<Obj> value;
  if (present == 1 && (!r->Varint(&number) || number >= kinds_.size() ||
                       !ReadValueContents(r, kinds_[number], true, &value))) {
    return false;
  }
  if (!r->Absent()) return false;
  *out = NewValue(state, std::move(value));
  return true;
}

bool RecordDecoder::BuildValue(const Key& key, int32_t state, Ref<RepFieldValue>* out) {
  Ref<Obj> value;
  if (key.has_object) {
    Reader contents(key.payload, key.payload + key.payload_length);
    if (!ReadValueContents(&contents, static_cast<Kind>(key.kind), true, &value)) return false;
  }
  *out = NewValue(state, std::move(value));
  return true;
}

// A value of column `column`: the one an earlier record had when its key is the same, else a
// new one, remembered for the records after while the column is worth it. The key is hashed and
// compared where it lies in the record; only a value not seen before is built and its key
// copied.
bool RecordDecoder::ReadColumnValue(Reader* r, size_t column, Ref<RepFieldValue>* out) {
  if (column >= columns_.size()) columns_.resize(column + 1);
  Column& c = columns_[column];
  if (c.off) return ReadAndBuildValue(r, out);
  Key key;
  int32_t state = 0;
  if (!ReadValue(r, &key, &state)) return false;
  key.hash = HashKey(key);
  ++c.tried;
  if (RepFieldValue* seen = Find(&c, key)) {
    ++c.found;
    ++shared_;
    *out = Ref<RepFieldValue>::Share(seen);
    return true;
  }
  if (!BuildValue(key, state, out)) return false;
  Keep(&c, key, out->get());
  if (c.used > kMostKept || c.keys.size() > kMostKeyBytes ||
      (c.tried >= kTrial && c.found * 2 < c.tried)) {
    Release(&c);
    c.off = true;
  }
  return true;
}

uint64_t RecordDecoder::HashKey(const Key& key) {
  uint64_t h = HashBytes(key.head, key.head_length);
  if (key.has_object) {
    h = (h ^ static_cast<unsigned char>(key.kind)) * kHashMul;
    h ^= HashBytes(key.payload, key.payload_length);
  }
  return h;
}

// A key's bytes as kept: the head, then the kind and the object's bytes when it has one.
size_t RecordDecoder::Key::length() const {
  return head_length + (has_object ? 1 + payload_length : 0);
}

RepFieldValue* RecordDecoder::Find(Column* c, const Key& key) {
  if (c->slots.empty()) return nullptr;
  const size_t mask = c->slots.size() - 1;
  const size_t length = key.length();
  for (size_t i = key.hash & mask;; i = (i + 1) & mask) {
    const Column::Slot& s = c->slots[i];
    if (s.value == nullptr) return nullptr;
    if (s.hash != key.hash || s.key_length != length) continue;
    const char* kept = c->keys.data() + s.key_at;
    if (std::memcmp(kept, key.head, key.head_length) == 0 &&
        (!key.has_object ||
         (kept[key.head_length] == key.kind &&
          std::memcmp(kept + key.head_length + 1, key.payload, key.payload_length) == 0))) {
      return s.value;
    }
  }
}

void RecordDecoder::Keep(Column* c, const Key& key, RepFieldValue* value) {
  if ((c->used + 1) * 2 > c->slots.size()) {
    std::vector<Column::Slot> old = std::move(c->slots);
    c->slots.assign(old.empty() ? kFirstSlots : old.size() * 2, Column::Slot{});
    const size_t mask = c->slots.size() - 1;
    for (const Column::Slot& s : old) {
      if (s.value == nullptr) continue;
      size_t i = s.hash & mask;
      while (c->slots[i].value != nullptr) i = (i + 1) & mask;
      c->slots[i] = s;
    }
  }
  const size_t mask = c->slots.size() - 1;
  size_t i = key.hash & mask;
  while (c->slots[i].value != nullptr) i = (i + 1) & mask;
  Column::Slot& s = c->slots[i];
  s.hash = key.hash;
  s.key_at = static_cast<uint32_t>(c->keys.size());
  s.key_length = static_cast<uint32_t>(key.length());
  s.value = value;
  ObjIncRefCount(value);
  c->keys.append(reinterpret_cast<const char*>(key.head), key.head_length);
  if (key.has_object) {
    c->keys.push_back(key.kind);
    c->keys.append(reinterpret_cast<const char*>(key.payload), key.payload_length);
  }
  ++c->used;
}

// The shape the fast path reads: a record whose first slot is a list of record values (with no
// extension) and whose second slot is empty, and nothing after it.
bool RecordDecoder::Fast(Ref<Obj>* out, const unsigned char* body, size_t size) {
  Reader r(body, body + size);
  uint64_t count;
  // A type table is self-delimiting (a count, then entries that each give their length): a body
  // that starts with the bytes of the table learnt last has that table, and it ends there.
  if (table_known_ && size >= table_.size() &&
      std::memcmp(table_.data(), body, table_.size()) == 0) {
    r.move_to(body + table_.size());
  } else {
    if (!r.Varint(&count) || count == 0 || count > r.left()) return false;
    for (uint64_t i = 0; i < count; ++i) {
      uint64_t spec_length;
      if (!r.Skip(4) || !r.Varint(&spec_length) || !r.Skip(spec_length)) return false;
    }
    const size_t table_length = static_cast<size_t>(r.at() - body);
    table_.assign(reinterpret_cast<const char*>(body), table_length);
    table_known_ = true;
    if (!LearnTypes(body, table_length)) kinds_.assign(count, Kind::kOther);
  }
  uint64_t number;
  unsigned char present;
  if (!r.Varint(&number) || number >= kinds_.size() || kinds_[number] != Kind::kRecord ||
      !r.Byte(&present) || present != 1 || !r.Varint(&number) || number >= kinds_.size() ||
      kinds_[number] != Kind::kList || !r.Varint(&count) || count > r.left()) {
    return false;
  }
  Ref<List> values = ListNewWithCapacity(static_cast<size_t>(count));
  for (uint64_t i = 0; i < count; ++i) {
    Ref<RepFieldValue> v;
    if (!ReadColumnValue(&r, static_cast<size_t>(i), &v)) return false;
    ListPushLastItemInternal(values.get(), std::move(v));
  }
  if (!r.Absent() || !r.Absent() || !r.done()) return false;
  Ref<RepRecord> record = RepRecord::New();
  record->set_values(std::move(values));
  *out = std::move(record);
  return true;
}

int RecordDecoder::Rebuild(Ref<Obj>* out, const unsigned char* body, size_t size) {
  if (out == nullptr || body == nullptr) return 0;
  if (Fast(out, body, size)) return 1;
  return ObjReconstructFromMemory(out, body, size);
}

}  // namespace kr_internal
