// Objects: typed, reference-counted rows of slots, the currency of the whole system.
//
// Every object is an 8-byte header (reference count, index of its interned type) followed by its
// slots as 8-byte cells. A type is a 32-bit type code plus a slot spec string such as "i;s;o;"
// naming each slot's kind by its letters (doc/objects.md has the full table):
//
//   i  32-bit integer          s  owned string (null or text)     b  boolean
//   o  owned object reference  p  opaque 64-bit token (a local pointer; never dereferenced
//                                 when it came from outside)
//   ol local object: owned like o, but neither serialized nor duplicated (compiled patterns)
//   d  local scratch text (a std::string), neither serialized nor duplicated
//   z  owned stanza            nN / cN  N inline bytes / characters (N <= 4096)
//   l  64-bit integer          r  owned block of raw bytes (data fields)
//
// The runtime's own types (integer, int64, boolean, string, unique id, data field, list, tree)
// have fixed type codes and specs. Any other well-formed (type code, spec) is accepted, so objects
// made by other processes are rebuilt generically and read by slot number.
//
// The library's record types are typed views: a struct deriving from ObjView<Self> with its type
// code and spec as constants and accessors by slot, checked at compile time against the spec.
// `ObjCast<T>` takes a view of an object after checking its type code.
//
// Ownership: `Ref<T>` is an intrusive smart pointer; dropping the last reference destroys the
// object and releases everything its slots own. Reference counts are not atomic: an object
// belongs to one thread (messages between processes are serialized).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

struct MemPool;  // allocation pools: every object comes from the default pool (null)
struct Stanza;   // kr/stanza.h
struct UniqueId;

union ObjCell {
  int64_t i;
  uint64_t u;
  void* p;
  char* s;
  struct Obj* o;
  unsigned char bytes[8];
};
static_assert(sizeof(ObjCell) == 8);

struct Obj {
  uint32_t ref_count;
  uint32_t type_index;

  ObjCell* cells() noexcept { return reinterpret_cast<ObjCell*>(this + 1); }
  const ObjCell* cells() const noexcept { return reinterpret_cast<const ObjCell*>(this + 1); }
};
static_assert(sizeof(Obj) == 8);

// Destroys an object whose count has reached zero (internal to Ref and ObjDecRefCount).
void ObjDestroyInternal(Obj* obj) noexcept;

inline void ObjIncRefCount(Obj* obj) noexcept {
  if (obj != nullptr) ++obj->ref_count;
}
// Drops one reference from a raw pointer that holds one.
inline void ObjDecRefCount(Obj* obj) noexcept {
  if (obj != nullptr && --obj->ref_count == 0) ObjDestroyInternal(obj);
}

// An owning reference to an object (or a typed view of one).
template <class T>
class Ref {
 public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}  // NOLINT(google-explicit-constructor)
  Ref(const Ref& other) noexcept : p_(other.p_) { ObjIncRefCount(p_); }
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  template <class U>
  Ref(const Ref<U>& other) noexcept : p_(other.get()) {  // NOLINT: upcast
    ObjIncRefCount(p_);
  }
  template <class U>
  Ref(Ref<U>&& other) noexcept : p_(other.release()) {}  // NOLINT: upcast
  ~Ref() { ObjDecRefCount(p_); }

  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }

  // Takes over a reference the caller already holds.
  static Ref Adopt(T* p) noexcept {
    Ref r;
    r.p_ = p;
    return r;
  }
  // Takes a new reference to a borrowed object.
  static Ref Share(T* p) noexcept {
    ObjIncRefCount(p);
    return Adopt(p);
  }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Gives up the reference without dropping it.
  T* release() noexcept {
    T* p = p_;
    p_ = nullptr;
    return p;
  }
  void reset() noexcept {
    T* p = p_;
    p_ = nullptr;
    ObjDecRefCount(p);
  }
  friend bool operator==(const Ref& a, const Ref& b) noexcept { return a.p_ == b.p_; }
  friend bool operator==(const Ref& a, std::nullptr_t) noexcept { return a.p_ == nullptr; }

 private:
  T* p_ = nullptr;
};

using ObjRef = Ref<Obj>;

// ---------------------------------------------------------------------------------------------
// Types

enum class SlotKind : uint8_t {
  kNone = 0,
  kInt,          // i
  kString,       // s
  kBool,         // b
  kObject,       // o
  kPointer,      // p
  kLocalObject,  // ol
  kScratch,      // d
  kStanza,       // z
  kBytes,        // nN
  kChars,        // cN
  kInt64,        // l
  kRaw,          // r
  kList,         // the runtime's list type only
  kTree,         // the runtime's tree type only
};

struct ObjType;  // interned descriptor (object.cc)

// Interns a (type code, spec) pair, giving the descriptor every object of that type points at.
// `name` (may be null) is what ObjNameFromObject reports; the first non-null name given wins.
// Null for a malformed spec or when the type table is full.
const ObjType* ObjTypeIntern(uint32_t type_code, const char* spec, const char* name) noexcept;

// The type an object points at, and a type's index (what an object's header holds).
const ObjType* ObjTypeOf(const Obj* obj) noexcept;
uint32_t ObjTypeIndex(const ObjType* type) noexcept;

// Creates an object of an interned type with every slot empty (0, null, false, zero bytes).
Ref<Obj> ObjNewOfType(const ObjType* type) noexcept;

// Creates an object from its type code and slot spec. `size` is accepted for callers that pass
// the size of their slot area and is otherwise ignored: the layout comes from the spec.
// Null when the spec is malformed.
Ref<Obj> ObjNewInternal(size_t size, uint32_t type_code, const char* spec, int reserved,
                        MemPool* pool) noexcept;
int ObjCreateInternal(Ref<Obj>* out, size_t size, uint32_t type_code, const char* spec,
                      int reserved, MemPool* pool) noexcept;

uint32_t ObjGetMagic(const Obj* obj) noexcept;    // the type code; 0 for null
const char* ObjGetSpec(const Obj* obj) noexcept;  // the slot spec; "" for null
int ObjCheckTypeInternal(const Obj* obj, uint32_t type_code) noexcept;  // 1 when it matches
const char* ObjNameFromObject(const Obj* obj) noexcept;  // the type's name, for messages

// Drops the reference and clears it.
template <class T>
inline void ObjReleaseInternal(Ref<T>* ref) noexcept {
  if (ref != nullptr) ref->reset();
}

// ---------------------------------------------------------------------------------------------
// Generic slot access by 1-based slot number. Reads of a slot that does not exist or is of
// another kind give 0/null/false; writes to one fail with 0. These serve callers that know only
// "the n-th slot" of an object made elsewhere; the library's own types use their typed views.

int ObjSlotCount(const Obj* obj) noexcept;
SlotKind ObjSlotKind(const Obj* obj, int slot) noexcept;

int32_t ObjGetSlotInteger(const Obj* obj, int slot) noexcept;
int ObjSetSlotInteger(Obj* obj, int slot, int32_t value) noexcept;
int64_t ObjGetSlotInt64(const Obj* obj, int slot) noexcept;
int ObjSetSlotInt64(Obj* obj, int slot, int64_t value) noexcept;
bool ObjGetSlotBoolean(const Obj* obj, int slot) noexcept;
int ObjSetSlotBoolean(Obj* obj, int slot, bool value) noexcept;
const char* ObjGetSlotString(const Obj* obj, int slot) noexcept;       // borrowed, may be null
int ObjSetSlotString(Obj* obj, int slot, const char* value) noexcept;  // copies; null clears
Obj* ObjGetSlotObject(const Obj* obj, int slot) noexcept;              // o or ol; borrowed
int ObjSetSlotObject(Obj* obj, int slot, Ref<Obj> value) noexcept;     // takes the reference
uint64_t ObjGetSlotPointer(const Obj* obj, int slot) noexcept;
int ObjSetSlotPointer(Obj* obj, int slot, uint64_t token) noexcept;
// Inline bytes (nN, cN): the slot's bytes and their count.
unsigned char* ObjGetSlotBytes(Obj* obj, int slot, size_t* size) noexcept;
const unsigned char* ObjGetSlotBytes(const Obj* obj, int slot, size_t* size) noexcept;
// Stanza slots (z): borrowed; setting takes ownership (null clears).
Stanza* ObjGetSlotStanza(const Obj* obj, int slot) noexcept;
int ObjSetSlotStanza(Obj* obj, int slot, Stanza* owned) noexcept;
// Scratch slots (d): the slot's text, made on first use; null if the slot is not a scratch slot.
std::string* ObjGetSlotScratch(Obj* obj, int slot) noexcept;

// ---------------------------------------------------------------------------------------------
// The runtime's scalar objects.

inline constexpr uint32_t kObjIntegerType = 0x4b520001;    // "i;"
inline constexpr uint32_t kObjInt64Type = 0x4b520002;      // "l;"
inline constexpr uint32_t kObjBooleanType = 0x4b520003;    // "b;"
inline constexpr uint32_t kObjStringType = 0x4b520004;     // "s;"
inline constexpr uint32_t kObjUniqueType = 0x4b520005;     // "n16;"
inline constexpr uint32_t kObjDataFieldType = 0x4b520006;  // "r;"
inline constexpr uint32_t kObjListType = 0x4b520010;       // "L;"
inline constexpr uint32_t kObjTreeType = 0x4b520011;       // "T;"

Ref<Obj> ObjNewInteger(int32_t value) noexcept;
Ref<Obj> ObjNewInt64(int64_t value) noexcept;
Ref<Obj> ObjNewBoolean(bool value) noexcept;
Ref<Obj> ObjNewString(const char* value) noexcept;  // null gives a string object holding null
// A string object holding the first `length` bytes at `bytes` (which need no NUL after them).
Ref<Obj> ObjNewStringOfLength(const char* bytes, size_t length) noexcept;
Ref<Obj> ObjNewUnique(const UniqueId& value) noexcept;

// Getters give 0/false/null for an object of another type; setters fail with 0.
int32_t ObjGetInteger(const Obj* obj) noexcept;
int ObjSetInteger(Obj* obj, int32_t value) noexcept;
int64_t ObjGetInt64(const Obj* obj) noexcept;
int ObjSetInt64(Obj* obj, int64_t value) noexcept;
bool ObjGetBoolean(const Obj* obj) noexcept;
int ObjSetBoolean(Obj* obj, bool value) noexcept;
const char* ObjGetString(const Obj* obj) noexcept;
int ObjSetString(Obj* obj, const char* value) noexcept;
int ObjGetUnique(UniqueId* out, const Obj* obj) noexcept;
int ObjSetUnique(Obj* obj, const UniqueId& value) noexcept;

// Data fields: an owned block of raw bytes. A finalizer, when set, is called on the bytes when
// the object is destroyed (a compiled pattern frees itself this way); a data field's bytes are
// copied by duplication and serialization, its finalizer never is.
int ObjDataFieldCreate(Ref<Obj>* out, const void* bytes, size_t size) noexcept;
void* ObjDataFieldGet(const Obj* obj, size_t* size) noexcept;  // null for another type
int ObjDataFieldSetFinalizer(Obj* obj, void (*finalizer)(void* bytes)) noexcept;

// Deep copy: owned objects, lists, trees, strings, byte blocks and stanzas are copied; `p`
// tokens are copied as they are; `ol` and `d` slots start empty in the copy. An object
// referenced twice is copied twice. 0 when the object graph is deeper than the nesting limit.
int ObjDuplicate(Ref<Obj>* copy, const Obj* obj) noexcept;

// Gives `target` the contents of `source` in place, as a copy would hold them: both of one type
// whose slots are plain values and strings only (i, b, p, l, nN, cN, s). 1 done; 0 (target
// unchanged) for another type or any other slot, where the caller makes a copy instead.
int ObjAssignPlain(Obj* target, const Obj* source) noexcept;

// The deepest nesting of objects that copying and serialization accept.
inline constexpr int kObjMaxDepth = 200;

// ---------------------------------------------------------------------------------------------
// Typed views.

namespace kr_internal {

// The layout of a spec, worked out at compile time for typed views.
constexpr bool SpecIsDigit(char c) { return c >= '0' && c <= '9'; }

// Cells taken by the token spec[b, e).
constexpr int SpecTokenCells(const char* spec, int b, int e) {
  if (e - b >= 2 && (spec[b] == 'n' || spec[b] == 'c') && SpecIsDigit(spec[b + 1])) {
    int n = 0;
    for (int i = b + 1; i < e; ++i) n = n * 10 + (spec[i] - '0');
    return (n + 7) / 8;
  }
  if (e - b == 1 && spec[b] == 'L') return 3;
  return 1;
}

// First cell of 1-based slot `slot`, or -1.
constexpr int SpecCellOfSlot(const char* spec, int slot) {
  int cell = 0, index = 1, i = 0;
  while (spec[i] != '\0') {
    int b = i;
    while (spec[i] != '\0' && spec[i] != ';') ++i;
    if (index == slot) return cell;
    cell += SpecTokenCells(spec, b, i);
    ++index;
    if (spec[i] == ';') ++i;
  }
  return -1;
}

// The letters of slot `slot` packed into an int ('o' | 'l' << 8 for "ol"), 0 if none.
constexpr int SpecLettersOfSlot(const char* spec, int slot) {
  int index = 1, i = 0;
  while (spec[i] != '\0') {
    int b = i;
    while (spec[i] != '\0' && spec[i] != ';') ++i;
    if (index == slot) {
      if (spec[b] == 'n' || spec[b] == 'c') return spec[b];
      int v = 0;
      for (int k = b; k < i && k < b + 2; ++k) v |= spec[k] << (8 * (k - b));
      return v;
    }
    ++index;
    if (spec[i] == ';') ++i;
  }
  return 0;
}

constexpr int L1(char a) { return a; }
constexpr int L2(char a, char b) { return a | (b << 8); }

void SetStringCell(ObjCell* cell, const char* value) noexcept;
void SetObjectCell(ObjCell* cell, Obj* value_ref) noexcept;  // takes the reference

}  // namespace kr_internal

// Base of typed views. Derived types declare:
//   static constexpr uint32_t kTypeCode = ...; static constexpr const char kSpec[] = "...";
//   static constexpr const char kName[] = "...";
template <class Self>
struct ObjView : Obj {
  template <int S>
  static constexpr int Cell() {
    constexpr int c = kr_internal::SpecCellOfSlot(Self::kSpec, S);
    static_assert(c >= 0, "no such slot in the spec");
    return c;
  }
  template <int S>
  static constexpr int Letters() {
    return kr_internal::SpecLettersOfSlot(Self::kSpec, S);
  }

  template <int S>
  int32_t IntSlot() const noexcept {
    static_assert(Letters<S>() == kr_internal::L1('i'));
    return static_cast<int32_t>(cells()[Cell<S>()].i);
  }
  template <int S>
  void SetIntSlot(int32_t v) noexcept {
    static_assert(Letters<S>() == kr_internal::L1('i'));
    cells()[Cell<S>()].i = v;
  }
  template <int S>
  bool BoolSlot() const noexcept {
    static_assert(Letters<S>() == kr_internal::L1('b'));
    return cells()[Cell<S>()].i != 0;
  }
  template <int S>
  void SetBoolSlot(bool v) noexcept {
    static_assert(Letters<S>() == kr_internal::L1('b'));
    cells()[Cell<S>()].i = v ? 1 : 0;
  }
  template <int S>
  const char* StrSlot() const noexcept {
    static_assert(Letters<S>() == kr_internal::L1('s'));
    return cells()[Cell<S>()].s;
  }
  template <int S>
  void SetStrSlot(const char* v) noexcept {
    static_assert(Letters<S>() == kr_internal::L1('s'));
    kr_internal::SetStringCell(&cells()[Cell<S>()], v);
  }
  template <int S>
  Obj* ObjSlot() const noexcept {
    static_assert(Letters<S>() == kr_internal::L1('o') ||
                  Letters<S>() == kr_internal::L2('o', 'l'));
    return cells()[Cell<S>()].o;
  }
  template <int S>
  void SetObjSlot(Ref<Obj> v) noexcept {
    static_assert(Letters<S>() == kr_internal::L1('o') ||
                  Letters<S>() == kr_internal::L2('o', 'l'));
    kr_internal::SetObjectCell(&cells()[Cell<S>()], v.release());
  }
  template <int S>
  uint64_t PtrSlot() const noexcept {
    static_assert(Letters<S>() == kr_internal::L1('p'));
    return cells()[Cell<S>()].u;
  }
  template <int S>
  void SetPtrSlot(uint64_t v) noexcept {
    static_assert(Letters<S>() == kr_internal::L1('p'));
    cells()[Cell<S>()].u = v;
  }
  template <int S>
  unsigned char* BytesSlot() noexcept {
    static_assert(Letters<S>() == 'n' || Letters<S>() == 'c');
    return cells()[Cell<S>()].bytes;
  }
  template <int S>
  const unsigned char* BytesSlot() const noexcept {
    static_assert(Letters<S>() == 'n' || Letters<S>() == 'c');
    return cells()[Cell<S>()].bytes;
  }

  // The interned type of Self.
  static const ObjType* Type() noexcept {
    static const ObjType* type = ObjTypeIntern(Self::kTypeCode, Self::kSpec, Self::kName);
    return type;
  }
  static uint32_t TypeIndex() noexcept {
    static const uint32_t index = ObjTypeIndex(Type());
    return index;
  }
  // A new object of Self with every slot empty.
  static Ref<Self> New() noexcept {
    Ref<Obj> o = ObjNewOfType(Type());
    return Ref<Self>::Adopt(static_cast<Self*>(o.release()));
  }
};

// Typed views of the runtime's scalar objects, for hot paths that read a value after one inline
// type check (ObjCast). Their code and spec are the runtime's own, so they are the same types
// ObjNewInteger and friends make.
struct ObjInteger : ObjView<ObjInteger> {
  static constexpr uint32_t kTypeCode = kObjIntegerType;
  static constexpr const char kSpec[] = "i;";
  static constexpr const char kName[] = "Integer";
  int32_t value() const noexcept { return IntSlot<1>(); }
};
struct ObjInt64 : ObjView<ObjInt64> {
  static constexpr uint32_t kTypeCode = kObjInt64Type;
  static constexpr const char kSpec[] = "l;";
  static constexpr const char kName[] = "Int64";
  int64_t value() const noexcept { return cells()[0].i; }
};
struct ObjBoolean : ObjView<ObjBoolean> {
  static constexpr uint32_t kTypeCode = kObjBooleanType;
  static constexpr const char kSpec[] = "b;";
  static constexpr const char kName[] = "Boolean";
  bool value() const noexcept { return BoolSlot<1>(); }
};
struct ObjString : ObjView<ObjString> {
  static constexpr uint32_t kTypeCode = kObjStringType;
  static constexpr const char kSpec[] = "s;";
  static constexpr const char kName[] = "String";
  const char* value() const noexcept { return StrSlot<1>(); }
};
struct ObjUnique : ObjView<ObjUnique> {
  static constexpr uint32_t kTypeCode = kObjUniqueType;
  static constexpr const char kSpec[] = "n16;";
  static constexpr const char kName[] = "UniqueId";
  const unsigned char* bytes() const noexcept { return BytesSlot<1>(); }
};

// A typed view of `obj` when it is of T's type (type code and spec both), else null. An object
// from elsewhere that carries T's type code with another spec is not a T.
template <class T>
inline T* ObjCast(Obj* obj) noexcept {
  return (obj != nullptr && obj->type_index == T::TypeIndex()) ? static_cast<T*>(obj) : nullptr;
}
template <class T>
inline const T* ObjCast(const Obj* obj) noexcept {
  return (obj != nullptr && obj->type_index == T::TypeIndex()) ? static_cast<const T*>(obj)
                                                               : nullptr;
}
template <class T>
inline Ref<T> RefCast(Ref<Obj> obj) noexcept {
  if (ObjCast<T>(obj.get()) == nullptr) return nullptr;
  return Ref<T>::Adopt(static_cast<T*>(obj.release()));
}
