// Writing and rebuilding the records of a serialized-record stream, fast.
//
// AppendRecordFast writes a record of the common shape (a list of values whose objects are
// texts, integers, booleans, dates or times) straight to bytes, exactly as the generic writer
// (ObjSerializeToMemory) would, without walking each object's slot spec.
//
// Every record of a stream is a whole serialized object that names its own types, and the
// generic reader (ObjReconstructFromMemory) looks each of them up again and builds every object
// of every record. The records of one table are all alike, so this decoder learns a type table
// once and then reads each record straight into its record, list and values.
//
// It also lets records share equal values. A column of a large table often repeats a few values
// (a status, a level, a client's name, a day): the bytes of a value equal to one seen before in
// its column are not rebuilt at all, the record takes the value object already made. Values are
// never changed in place while they are held twice (whoever changes one copies it first, as the
// projection does), so the sharing is invisible to every reader, and a million records hold a
// few hundred objects in such a column instead of a million. A column whose values hardly repeat
// (an id, a size) is given up after a short trial and costs nothing more.
//
// A record of any other shape (other value types, extra slots in use, anything unexpected) is
// left to the generic reader, which also decides what is corrupt: the fast path gives exactly
// the objects the generic reader would give, or nothing.
//
// Thread safety: none; one per fetch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kr/serialize.h"
#include "reports/reports.h"

namespace kr_internal {

// The writer's pieces, shared by AppendRecordFast and RepRecordWriter (recordwriter.cc).

// The kinds of value object the fast writers write, in the order of their type table entries.
enum ValueObject { kString, kInteger, kInt64, kBoolean, kDate, kTime, kNoObject, kUnknown };
ValueObject KindOf(const Obj* o);

// The type table of a record with `types` types: the record, its list, the values' type when it
// has values, then the value objects' kinds in `order` (four bits each, in order of first use).
void WriteTypeTable(std::string* bytes, uint32_t types, uint64_t order);

// The largest write buffer kept between records.
inline constexpr size_t kKeptScratch = size_t{1} << 20;
// What one value takes at most besides its text: type numbers, state, presence bytes and four
// ten-byte varints.
inline constexpr size_t kValueBytes = 64;

// Primitives over a buffer sized beforehand: a varint, an integer in zigzag form, a little-endian
// 32-bit word.
inline char* PutVarint(char* p, uint64_t v) {
  while (v >= 0x80) {
    *p++ = static_cast<char>((v & 0x7f) | 0x80);
    v >>= 7;
  }
  *p++ = static_cast<char>(v);
  return p;
}
inline char* PutInt(char* p, int64_t v) {
  return PutVarint(p, (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63));
}
inline char* PutLe32(char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) *p++ = static_cast<char>(v >> (8 * i));
  return p;
}

// One record value as the fast writers write it: its state and, unless its kind is kNoObject,
// its object's kind, number in the record's type table and contents.
struct WrittenValue {  // plain: value-initialize it ({}) before use
  ValueObject kind;
  uint32_t type_number;
  int32_t state;
  int64_t number;    // an integer, 64-bit integer or boolean
  int32_t parts[4];  // a date's year, month, day; a time's hour, minute, second, reserved
  const char* text;  // a string's bytes, `text_length` of them; null: a null string
  size_t text_length;
};

// Sets `w`'s contents from its object `o`, of kind w->kind (a string's text is o's own).
void ReadWritten(WrittenValue* w, const Obj* o);

// The type numbers of a record's value objects as the generic writer gives them, in the order of
// first use: the record 0, its list 1, the values' type 2 (when there are values), then each
// kind of value object when it first appears.
class TypeNumbers {
 public:
  explicit TypeNumbers(bool has_values) : types_(has_values ? 3 : 2) {
    for (uint32_t& n : number_of_) n = ~0u;
  }
  uint32_t Of(ValueObject kind) {
    if (number_of_[kind] == ~0u) {
      number_of_[kind] = types_++;
      order_ |= uint64_t{kind} << (4 * (number_of_[kind] - 3));
      pattern_ = pattern_ * 8 + static_cast<uint32_t>(kind) + 1;
    }
    return number_of_[kind];
  }
  uint32_t types() const { return types_; }
  uint64_t order() const { return order_; }  // the kinds, four bits each, for WriteTypeTable
  uint32_t pattern() const { return (types_ << 24) | pattern_; }  // the same, told apart cheaply

 private:
  uint32_t number_of_[kNoObject];
  uint32_t types_;
  uint64_t order_ = 0;
  uint32_t pattern_ = 0;
};

// Writes at `p` the serialized object (header, type table `table`, body) of a record of `count`
// values, value_at(i) giving each, and returns its end. The buffer holds kObjHeaderSize +
// table.size() + 16 + count * kValueBytes + the texts' lengths.
template <class ValueAt>
char* PutRecord(char* p, const std::string& table, size_t count, ValueAt value_at) {
  char* const header = p;
  p += kObjHeaderSize;  // the header, written last
  std::memcpy(p, table.data(), table.size());
  p += table.size();
  *p++ = 0;  // the record
  *p++ = 1;  // its list is there
  *p++ = 1;  // the list
  p = PutVarint(p, count);
  for (size_t i = 0; i < count; ++i) {
    const WrittenValue& v = value_at(i);
    *p++ = 2;
    p = PutInt(p, v.state);
    if (v.kind == kNoObject) {
      *p++ = 0;
    } else {
      *p++ = 1;
      p = PutVarint(p, v.type_number);
      switch (v.kind) {
        case kString:
          if (v.text == nullptr) {
            p = PutVarint(p, 0);
          } else {
            p = PutVarint(p, v.text_length + 1);
            std::memcpy(p, v.text, v.text_length);
            p += v.text_length;
          }
          break;
        case kBoolean:
          *p++ = v.number != 0 ? 1 : 0;
          break;
        case kDate:
          for (int k = 0; k < 3; ++k) p = PutInt(p, v.parts[k]);
          break;
        case kTime:
          for (int k = 0; k < 4; ++k) p = PutInt(p, v.parts[k]);
          break;
        default:  // an integer or a 64-bit integer
          p = PutInt(p, v.number);
      }
    }
    *p++ = 0;  // the value's third slot
  }
  *p++ = 0;  // no list extension
  *p++ = 0;  // the record's second slot
  // A body over kObjMaxBodySize is the caller's to refuse.
  PutLe32(PutLe32(header, kObjMagic), static_cast<uint32_t>(p - header - kObjHeaderSize));
  return p;
}

// Appends `record`'s serialized form (header, type table and body) to `out`, byte for byte what
// ObjSerializeToMemory appends, when the record has the shape described above. False, with
// `out` unchanged, for any other object: the caller uses the generic writer then.
bool AppendRecordFast(std::string* out, const Obj* record);

class RecordDecoder {
 public:
  RecordDecoder() = default;
  ~RecordDecoder();
  RecordDecoder(const RecordDecoder&) = delete;
  RecordDecoder& operator=(const RecordDecoder&) = delete;

  // Rebuilds the serialized object `body` (after its 8-byte header) of `size` bytes: the fast
  // way when it is a record of the known shape, else with ObjReconstructFromMemory. 1 and the
  // object; 0 when the bytes are not a well-formed object.
  int Rebuild(Ref<Obj>* out, const unsigned char* body, size_t size);

  // Forgets the values seen so far when the columns of the records that follow have other
  // types than those before: a value is shared only between records whose fields agree.
  void StartBlock(const std::vector<int32_t>& column_types);

  // Values taken from an earlier record rather than rebuilt, for measurements and tests.
  uint64_t shared_count() const noexcept { return shared_; }

 private:
  // What a type number of the current table stands for.
  enum class Kind : uint8_t {
    kOther,
    kRecord,
    kList,
    kValue,
    kString,
    kInteger,
    kInt64,
    kBoolean,
    kDate,
    kTime
  };
  // One column's values seen so far, by their bytes (open addressing).
  struct Column {
    struct Slot {
      uint64_t hash = 0;
      uint32_t key_at = 0;
      uint32_t key_length = 0;
      RepFieldValue* value = nullptr;  // one reference held; null: the slot is free
    };
    std::vector<Slot> slots;
    std::string keys;  // every key's bytes, one after another
    size_t used = 0;
    uint32_t tried = 0;
    uint32_t found = 0;
    bool off = false;
  };
  class Reader;

  bool LearnTypes(const unsigned char* table, size_t length);
  bool Fast(Ref<Obj>* out, const unsigned char* body, size_t size);
  bool ReadValueContents(Reader* r, Kind kind, bool build, Ref<Obj>* out);
  // What identifies a value whatever the record's type table, where it lies in the record: its
  // state and presence bytes, then (when it has an object) the object's kind and bytes.
  struct Key {
    const unsigned char* head = nullptr;
    size_t head_length = 0;
    bool has_object = false;
    char kind = 0;
    const unsigned char* payload = nullptr;
    size_t payload_length = 0;
    uint64_t hash = 0;
    size_t length() const;
  };
  // Reads one record value (from its type number on) without making it: its key and state.
  bool ReadValue(Reader* r, Key* key, int32_t* state);
  bool BuildValue(const Key& key, int32_t state, Ref<RepFieldValue>* out);
  bool ReadAndBuildValue(Reader* r, Ref<RepFieldValue>* out);
  bool ReadColumnValue(Reader* r, size_t column, Ref<RepFieldValue>* out);
  static uint64_t HashKey(const Key& key);
  RepFieldValue* Find(Column* c, const Key& key);
  void Keep(Column* c, const Key& key, RepFieldValue* value);
  static void Release(Column* c);

  std::string table_;         // the type table's bytes the kinds were learnt from
  std::vector<Kind> kinds_;   // by type number
  bool table_known_ = false;  // kinds_ belongs to table_
  std::vector<Column> columns_;
  std::vector<int32_t> column_types_;
  uint64_t shared_ = 0;
};

}  // namespace kr_internal
