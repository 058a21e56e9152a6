// Object types, allocation, slot access, scalars, data fields and deep copies.

#include "kr/object.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "kr/stanza.h"
#include "kr/unique.h"
#include "memory.h"
#include "object_internal.h"

namespace kr_internal {
namespace {

// The type table. Objects hold an index into it; entries are never removed or moved, so a
// reader needs no lock. Interning takes the mutex. The table is bounded so that a stream of
// objects of ever new types from a peer cannot grow it without limit.
constexpr uint32_t kMaxTypes = 1 << 16;

struct TypeTable {
  std::mutex mu;
  std::array<std::atomic<const ObjType*>, kMaxTypes> entries{};
  std::atomic<uint32_t> count{0};
  std::map<std::pair<uint32_t, std::string>, const ObjType*, std::less<>> by_key;
};

TypeTable& Types() {
  static TypeTable* t = new TypeTable;  // never destroyed: objects may outlive statics
  return *t;
}

bool ParseUnsigned(const char* b, const char* e, uint32_t* out) {
  if (b == e || e - b > 4) return false;
  uint32_t v = 0;
  for (const char* p = b; p < e; ++p) {
    if (*p < '0' || *p > '9') return false;
    v = v * 10 + static_cast<uint32_t>(*p - '0');
  }
  *out = v;
  return true;
}

}  // namespace

bool ParseSpec(const char* spec, std::vector<SlotInfo>* slots, uint32_t* ncells) noexcept {
  if (spec == nullptr) return false;
  size_t len = std::strlen(spec);
  if (len > kMaxSpecLength) return false;
  slots->clear();
  uint32_t cell = 0;
  const char* p = spec;
  while (*p != '\0') {
    const char* b = p;
    while (*p != '\0' && *p != ';') ++p;
    if (*p != ';') return false;  // every slot ends with ';'
    const char* e = p++;
    SlotInfo s{SlotKind::kNone, cell, 0};
    uint32_t cells = 1;
    size_t n = static_cast<size_t>(e - b);
    if (n == 1) {
      switch (*b) {
        case 'i':
          s.kind = SlotKind::kInt;
          break;
        case 's':
          s.kind = SlotKind::kString;
          break;
        case 'b':
          s.kind = SlotKind::kBool;
          break;
        case 'o':
          s.kind = SlotKind::kObject;
          break;
        case 'p':
          s.kind = SlotKind::kPointer;
          break;
        case 'd':
          s.kind = SlotKind::kScratch;
          break;
        case 'z':
          s.kind = SlotKind::kStanza;
          break;
        case 'l':
          s.kind = SlotKind::kInt64;
          break;
        case 'r':
          s.kind = SlotKind::kRaw;
          break;
        case 'L':
          s.kind = SlotKind::kList;
          cells = 3;
          break;
        case 'T':
          s.kind = SlotKind::kTree;
          break;
        default:
          return false;
      }
    } else if (n == 2 && b[0] == 'o' && b[1] == 'l') {
      s.kind = SlotKind::kLocalObject;
    } else if (n >= 2 && (*b == 'n' || *b == 'c')) {
      uint32_t bytes = 0;
      if (!ParseUnsigned(b + 1, e, &bytes) || bytes == 0 || bytes > kMaxInlineBytes) return false;
      s.kind = *b == 'n' ? SlotKind::kBytes : SlotKind::kChars;
      s.bytes = bytes;
      cells = (bytes + 7) / 8;
    } else {
      return false;
    }
    slots->push_back(s);
    cell += cells;
  }
  // The list and tree letters only make up the runtime's own list and tree types.
  for (const SlotInfo& s : *slots)
    if ((s.kind == SlotKind::kList || s.kind == SlotKind::kTree) && slots->size() != 1)
      return false;
  *ncells = cell;
  return true;
}

const ObjType* TypeAt(uint32_t index) noexcept {
  return Types().entries[index].load(std::memory_order_acquire);
}

char* CopyString(const char* s, size_t len) noexcept {
  char* c = static_cast<char*>(MemAlloc(len + 1));
  std::memcpy(c, s, len);
  c[len] = '\0';
  return c;
}

char* CopyString(const char* s) noexcept {
  return s == nullptr ? nullptr : CopyString(s, std::strlen(s));
}

void FreeString(char* s) noexcept {
  if (s != nullptr) MemFree(s, std::strlen(s) + 1);
}

// A text replacing one of a length in the same size class is written over it: a record set
// again row after row (the provider's) then costs no allocation per text.
void SetStringCell(ObjCell* cell, const char* value) noexcept {
  if (cell->s == value) return;
  if (cell->s != nullptr && value != nullptr) {
    const size_t length = std::strlen(value);
    if (MemSameBlockSize(std::strlen(cell->s) + 1, length + 1)) {
      std::memmove(cell->s, value, length + 1);
      return;
    }
  }
  char* old = cell->s;
  cell->s = CopyString(value);
  FreeString(old);
}

void SetObjectCell(ObjCell* cell, Obj* value_ref) noexcept {
  Obj* old = cell->o;
  cell->o = value_ref;
  ObjDecRefCount(old);
}

RawBlock* NewRawBlock(const void* bytes, size_t size) noexcept {
  size_t total = offsetof(RawBlock, data) + size;
  auto* b = static_cast<RawBlock*>(MemAlloc(total));
  b->size = size;
  b->finalizer = nullptr;
  if (size > 0) {
    if (bytes != nullptr) {
      std::memcpy(b->data, bytes, size);
    } else {
      std::memset(b->data, 0, size);
    }
  }
  return b;
}

void FreeRawBlock(RawBlock* block) noexcept {
  if (block == nullptr) return;
  if (block->finalizer != nullptr) block->finalizer(block->data);
  MemFree(block, offsetof(RawBlock, data) + block->size);
}

void StanzaFree(Stanza* stanza) noexcept { delete stanza; }

Stanza* StanzaCopy(const Stanza* stanza) noexcept {
  return stanza == nullptr ? nullptr : new Stanza(*stanza);
}

Ref<Obj> DuplicateAt(const Obj* obj, int depth) noexcept {
  if (obj == nullptr) return nullptr;
  if (depth > kObjMaxDepth) return nullptr;
  const ObjType* t = TypeAt(obj->type_index);
  Ref<Obj> copy = ObjNewOfType(t);
  const ObjCell* from = obj->cells();
  ObjCell* to = copy->cells();
  for (const SlotInfo& s : t->slots) {
    switch (s.kind) {
      case SlotKind::kInt:
      case SlotKind::kBool:
      case SlotKind::kPointer:
      case SlotKind::kInt64:
        to[s.cell] = from[s.cell];
        break;
      case SlotKind::kBytes:
      case SlotKind::kChars:
        std::memcpy(to[s.cell].bytes, from[s.cell].bytes, s.bytes);
        break;
      case SlotKind::kString:
        to[s.cell].s = CopyString(from[s.cell].s);
        break;
      case SlotKind::kObject:
        if (from[s.cell].o != nullptr) {
          Ref<Obj> child = DuplicateAt(from[s.cell].o, depth + 1);
          if (!child) return nullptr;
          to[s.cell].o = child.release();
        }
        break;
      case SlotKind::kLocalObject:
      case SlotKind::kScratch:
      case SlotKind::kNone:
        break;
      case SlotKind::kStanza:
        to[s.cell].p = StanzaCopy(static_cast<const Stanza*>(from[s.cell].p));
        break;
      case SlotKind::kRaw:
        if (from[s.cell].p != nullptr) {
          auto* b = static_cast<const RawBlock*>(from[s.cell].p);
          to[s.cell].p = NewRawBlock(b->data, b->size);
        }
        break;
      case SlotKind::kList:
        if (!ListDuplicateInto(copy.get(), obj, depth)) return nullptr;
        break;
      case SlotKind::kTree:
        if (!TreeDuplicateInto(copy.get(), obj, depth)) return nullptr;
        break;
    }
  }
  return copy;
}

}  // namespace kr_internal

using namespace kr_internal;

namespace {

// Every serialized body names its types afresh, so a stream of records interns the same few
// types once per record. A small per-thread cache answers those repeats without the table's lock
// or a key string; types live as long as the process, so a cached pointer never dangles.
struct InternCache {
  static constexpr size_t kSize = 64;
  const ObjType* slots[kSize] = {};
  static size_t Slot(uint32_t code, const char* spec) {
    return (code * 0x9e3779b1u ^ static_cast<uint32_t>(std::strlen(spec))) % kSize;
  }
};
KR_TLS_FAST thread_local InternCache t_intern_cache;

const ObjType* InternLocked(uint32_t type_code, const char* spec, const char* name) noexcept;

}  // namespace

const ObjType* ObjTypeIntern(uint32_t type_code, const char* spec, const char* name) noexcept {
  if (spec == nullptr) return nullptr;
  const ObjType*& cached = t_intern_cache.slots[InternCache::Slot(type_code, spec)];
  if (name == nullptr && cached != nullptr && cached->code == type_code && cached->spec == spec) {
    return cached;
  }
  const ObjType* found = InternLocked(type_code, spec, name);
  if (found != nullptr) cached = found;
  return found;
}

namespace {

const ObjType* InternLocked(uint32_t type_code, const char* spec, const char* name) noexcept {
  TypeTable& table = Types();
  std::lock_guard<std::mutex> lock(table.mu);
  auto key = std::make_pair(type_code, std::string(spec));
  auto it = table.by_key.find(key);
  if (it != table.by_key.end()) {
    auto* t = const_cast<ObjType*>(it->second);
    if (t->name.empty() && name != nullptr) t->name = name;
    return t;
  }
  uint32_t index = table.count.load(std::memory_order_relaxed);
  if (index >= kMaxTypes) return nullptr;
  auto t = std::make_unique<ObjType>();
  if (!ParseSpec(spec, &t->slots, &t->ncells)) return nullptr;
  // The list and tree layouts belong to the runtime's own list and tree type codes only.
  bool is_list = t->slots.size() == 1 && t->slots[0].kind == SlotKind::kList;
  bool is_tree = t->slots.size() == 1 && t->slots[0].kind == SlotKind::kTree;
  if (is_list != (type_code == kObjListType) || is_tree != (type_code == kObjTreeType))
    return nullptr;
  t->code = type_code;
  t->index = index;
  t->spec = spec;
  if (name != nullptr) t->name = name;
  t->owns_nothing = true;
  for (const SlotInfo& s : t->slots) {
    switch (s.kind) {
      case SlotKind::kInt:
      case SlotKind::kBool:
      case SlotKind::kPointer:
      case SlotKind::kInt64:
      case SlotKind::kBytes:
      case SlotKind::kChars:
        break;
      default:
        t->owns_nothing = false;
    }
  }
  const ObjType* raw = t.release();
  table.entries[index].store(raw, std::memory_order_release);
  table.count.store(index + 1, std::memory_order_release);
  table.by_key.emplace(std::move(key), raw);
  return raw;
}

}  // namespace

const ObjType* ObjTypeOf(const Obj* obj) noexcept {
  return obj == nullptr ? nullptr : TypeAt(obj->type_index);
}

uint32_t ObjTypeIndex(const ObjType* type) noexcept { return type->index; }

Ref<Obj> ObjNewOfType(const ObjType* type) noexcept {
  if (type == nullptr) return nullptr;
  size_t bytes = ObjBytes(type);
  void* block = MemAllocZeroed(bytes);
  auto* o = static_cast<Obj*>(block);
  o->ref_count = 1;
  o->type_index = type->index;
  return Ref<Obj>::Adopt(o);
}

void ObjDestroyInternal(Obj* obj) noexcept {
  const ObjType* t = TypeAt(obj->type_index);
  if (!t->owns_nothing) {
    ObjCell* c = obj->cells();
    for (const SlotInfo& s : t->slots) {
      switch (s.kind) {
        case SlotKind::kString:
          FreeString(c[s.cell].s);
          break;
        case SlotKind::kObject:
        case SlotKind::kLocalObject:
          ObjDecRefCount(c[s.cell].o);
          break;
        case SlotKind::kScratch:
          delete static_cast<std::string*>(c[s.cell].p);
          break;
        case SlotKind::kStanza:
          StanzaFree(static_cast<Stanza*>(c[s.cell].p));
          break;
        case SlotKind::kRaw:
          FreeRawBlock(static_cast<RawBlock*>(c[s.cell].p));
          break;
        case SlotKind::kList:
          ListReleaseCells(obj);
          break;
        case SlotKind::kTree:
          TreeReleaseCells(obj);
          break;
        default:
          break;
      }
    }
  }
  MemFree(obj, ObjBytes(t));
}

Ref<Obj> ObjNewInternal(size_t /*size*/, uint32_t type_code, const char* spec, int /*reserved*/,
                        MemPool* /*pool*/) noexcept {
  return ObjNewOfType(ObjTypeIntern(type_code, spec, nullptr));
}

int ObjCreateInternal(Ref<Obj>* out, size_t size, uint32_t type_code, const char* spec,
                      int reserved, MemPool* pool) noexcept {
  if (out == nullptr) return 0;
  Ref<Obj> o = ObjNewInternal(size, type_code, spec, reserved, pool);
  if (!o) return 0;
  *out = std::move(o);
  return 1;
}

uint32_t ObjGetMagic(const Obj* obj) noexcept {
  return obj == nullptr ? 0 : TypeAt(obj->type_index)->code;
}

const char* ObjGetSpec(const Obj* obj) noexcept {
  return obj == nullptr ? "" : TypeAt(obj->type_index)->spec.c_str();
}

int ObjCheckTypeInternal(const Obj* obj, uint32_t type_code) noexcept {
  return obj != nullptr && ObjGetMagic(obj) == type_code ? 1 : 0;
}

const char* ObjNameFromObject(const Obj* obj) noexcept {
  if (obj == nullptr) return "(null)";
  const ObjType* t = TypeAt(obj->type_index);
  if (!t->name.empty()) return t->name.c_str();
  // Unnamed types (made elsewhere) are named by their code; the text lives in a small
  // per-thread ring so that a few names can be used in one message.
  thread_local char ring[4][32];
  thread_local unsigned next = 0;
  char* buf = ring[next++ % 4];
  std::snprintf(buf, sizeof ring[0], "Object(0x%08x)", static_cast<unsigned>(t->code));
  return buf;
}

// --- generic slot access ---------------------------------------------------------------------

namespace {

const SlotInfo* SlotOf(const Obj* obj, int slot, SlotKind kind) {
  if (obj == nullptr || slot < 1) return nullptr;
  const ObjType* t = TypeAt(obj->type_index);
  if (static_cast<size_t>(slot) > t->slots.size()) return nullptr;
  const SlotInfo* s = &t->slots[static_cast<size_t>(slot) - 1];
  return s->kind == kind ? s : nullptr;
}

}  // namespace

int ObjSlotCount(const Obj* obj) noexcept {
  return obj == nullptr ? 0 : static_cast<int>(TypeAt(obj->type_index)->slots.size());
}

SlotKind ObjSlotKind(const Obj* obj, int slot) noexcept {
  if (obj == nullptr || slot < 1) return SlotKind::kNone;
  const ObjType* t = TypeAt(obj->type_index);
  if (static_cast<size_t>(slot) > t->slots.size()) return SlotKind::kNone;
  return t->slots[static_cast<size_t>(slot) - 1].kind;
}

int32_t ObjGetSlotInteger(const Obj* obj, int slot) noexcept {
  const SlotInfo* s = SlotOf(obj, slot, SlotKind::kInt);
  return s ? static_cast<int32_t>(obj->cells()[s->cell].i) : 0;
}

int ObjSetSlotInteger(Obj* obj, int slot, int32_t value) noexcept {
  const SlotInfo* s = SlotOf(obj, slot, SlotKind::kInt);
  if (s == nullptr) return 0;
  obj->cells()[s->cell].i = value;
  return 1;
}

int64_t ObjGetSlotInt64(const Obj* obj, int slot) noexcept {
  const SlotInfo* s = SlotOf(obj, slot, SlotKind::kInt64);
  return s ? obj->cells()[s->cell].i : 0;
}

int ObjSetSlotInt64(Obj* obj, int slot, int64_t value) noexcept {
  const SlotInfo* s = SlotOf(obj, slot, SlotKind::kInt64);
  if (s == nullptr) return 0;
  obj->cells()[s->cell].i = value;
  return 1;
}

bool ObjGetSlotBoolean(const Obj* obj, int slot) noexcept {
  const SlotInfo* s = SlotOf(obj, slot, SlotKind::kBool);
  return s ? obj->cells()[s->cell].i != 0 : false;
}

int ObjSetSlotBoolean(Obj* obj, int slot, bool value) noexcept {
  const SlotInfo* s = SlotOf(obj, slot, SlotKind::kBool);
  if (s == nullptr) return 0;
  obj->cells()[s->cell].i = value ? 1 : 0;
  return 1;
}

const char* ObjGetSlotString(const Obj* obj, int slot) noexcept {
  const SlotInfo* s = SlotOf(obj, slot, SlotKind::kString);
  return s ? obj->cells()[s->cell].s : nullptr;
}

int ObjSetSlotString(Obj* obj, int slot, const char* value) noexcept {
  const SlotInfo* s = SlotOf(obj, slot, SlotKind::kString);
  if (s == nullptr) return 0;
  SetStringCell(&obj->cells()[s->cell], value);
  return 1;
}

Obj* ObjGetSlotObject(const Obj* obj, int slot) noexcept {
  SlotKind k = ObjSlotKind(obj, slot);
  if (k != SlotKind::kObject && k != SlotKind::kLocalObject) return nullptr;
  return obj->cells()[TypeAt(obj->type_index)->slots[static_cast<size_t>(slot) - 1].cell].o;
}

int ObjSetSlotObject(Obj* obj, int slot, Ref<Obj> value) noexcept {
  SlotKind k = ObjSlotKind(obj, slot);
  if (k != SlotKind::kObject && k != SlotKind::kLocalObject) return 0;
  SetObjectCell(&obj->cells()[TypeAt(obj->type_index)->slots[static_cast<size_t>(slot) - 1].cell],
                value.release());
  return 1;
}

uint64_t ObjGetSlotPointer(const Obj* obj, int slot) noexcept {
  const SlotInfo* s = SlotOf(obj, slot, SlotKind::kPointer);
  return s ? obj->cells()[s->cell].u : 0;
}

int ObjSetSlotPointer(Obj* obj, int slot, uint64_t token) noexcept {
  const SlotInfo* s = SlotOf(obj, slot, SlotKind::kPointer);
  if (s == nullptr) return 0;
  obj->cells()[s->cell].u = token;
  return 1;
}

const unsigned char* ObjGetSlotBytes(const Obj* obj, int slot, size_t* size) noexcept {
  SlotKind k = ObjSlotKind(obj, slot);
  if (k != SlotKind::kBytes && k != SlotKind::kChars) {
    if (size) *size = 0;
    return nullptr;
  }
  const SlotInfo& s = TypeAt(obj->type_index)->slots[static_cast<size_t>(slot) - 1];
  if (size) *size = s.bytes;
  return obj->cells()[s.cell].bytes;
}

unsigned char* ObjGetSlotBytes(Obj* obj, int slot, size_t* size) noexcept {
  return const_cast<unsigned char*>(ObjGetSlotBytes(static_cast<const Obj*>(obj), slot, size));
}

Stanza* ObjGetSlotStanza(const Obj* obj, int slot) noexcept {
  const SlotInfo* s = SlotOf(obj, slot, SlotKind::kStanza);
  return s ? static_cast<Stanza*>(obj->cells()[s->cell].p) : nullptr;
}

int ObjSetSlotStanza(Obj* obj, int slot, Stanza* owned) noexcept {
  const SlotInfo* s = SlotOf(obj, slot, SlotKind::kStanza);
  if (s == nullptr) {
    StanzaFree(owned);
    return 0;
  }
  ObjCell* c = &obj->cells()[s->cell];
  if (c->p != owned) StanzaFree(static_cast<Stanza*>(c->p));
  c->p = owned;
  return 1;
}

std::string* ObjGetSlotScratch(Obj* obj, int slot) noexcept {
  const SlotInfo* s = SlotOf(obj, slot, SlotKind::kScratch);
  if (s == nullptr) return nullptr;
  ObjCell* c = &obj->cells()[s->cell];
  if (c->p == nullptr) c->p = new std::string;
  return static_cast<std::string*>(c->p);
}

// --- scalars ---------------------------------------------------------------------------------

namespace {

const ObjType* IntegerType() { return ObjInteger::Type(); }
const ObjType* Int64Type() { return ObjInt64::Type(); }
const ObjType* BooleanType() { return ObjBoolean::Type(); }
const ObjType* StringType() { return ObjString::Type(); }
const ObjType* UniqueType() { return ObjUnique::Type(); }
const ObjType* DataFieldType() {
  static const ObjType* t = ObjTypeIntern(kObjDataFieldType, "r;", "DataField");
  return t;
}

inline bool Is(const Obj* obj, const ObjType* t) {
  return obj != nullptr && obj->type_index == t->index;
}

}  // namespace

Ref<Obj> ObjNewInteger(int32_t value) noexcept {
  Ref<Obj> o = ObjNewOfType(IntegerType());
  o->cells()[0].i = value;
  return o;
}

Ref<Obj> ObjNewInt64(int64_t value) noexcept {
  Ref<Obj> o = ObjNewOfType(Int64Type());
  o->cells()[0].i = value;
  return o;
}

Ref<Obj> ObjNewBoolean(bool value) noexcept {
  Ref<Obj> o = ObjNewOfType(BooleanType());
  o->cells()[0].i = value ? 1 : 0;
  return o;
}

Ref<Obj> ObjNewString(const char* value) noexcept {
  Ref<Obj> o = ObjNewOfType(StringType());
  o->cells()[0].s = CopyString(value);
  return o;
}

Ref<Obj> ObjNewStringOfLength(const char* bytes, size_t length) noexcept {
  if (bytes == nullptr) return nullptr;
  Ref<Obj> o = ObjNewOfType(StringType());
  o->cells()[0].s = CopyString(bytes, length);
  return o;
}

Ref<Obj> ObjNewUnique(const UniqueId& value) noexcept {
  Ref<Obj> o = ObjNewOfType(UniqueType());
  static_assert(sizeof(UniqueId) == 16);
  std::memcpy(o->cells()[0].bytes, value.bytes, 16);
  return o;
}

int32_t ObjGetInteger(const Obj* obj) noexcept {
  return Is(obj, IntegerType()) ? static_cast<int32_t>(obj->cells()[0].i) : 0;
}

int ObjSetInteger(Obj* obj, int32_t value) noexcept {
  if (!Is(obj, IntegerType())) return 0;
  obj->cells()[0].i = value;
  return 1;
}

int64_t ObjGetInt64(const Obj* obj) noexcept {
  return Is(obj, Int64Type()) ? obj->cells()[0].i : 0;
}

int ObjSetInt64(Obj* obj, int64_t value) noexcept {
  if (!Is(obj, Int64Type())) return 0;
  obj->cells()[0].i = value;
  return 1;
}

bool ObjGetBoolean(const Obj* obj) noexcept {
  return Is(obj, BooleanType()) && obj->cells()[0].i != 0;
}

int ObjSetBoolean(Obj* obj, bool value) noexcept {
  if (!Is(obj, BooleanType())) return 0;
  obj->cells()[0].i = value ? 1 : 0;
  return 1;
}

const char* ObjGetString(const Obj* obj) noexcept {
  return Is(obj, StringType()) ? obj->cells()[0].s : nullptr;
}

int ObjSetString(Obj* obj, const char* value) noexcept {
  if (!Is(obj, StringType())) return 0;
  SetStringCell(&obj->cells()[0], value);
  return 1;
}

int ObjGetUnique(UniqueId* out, const Obj* obj) noexcept {
  if (out == nullptr || !Is(obj, UniqueType())) return 0;
  std::memcpy(out->bytes, obj->cells()[0].bytes, 16);
  return 1;
}

int ObjSetUnique(Obj* obj, const UniqueId& value) noexcept {
  if (!Is(obj, UniqueType())) return 0;
  std::memcpy(obj->cells()[0].bytes, value.bytes, 16);
  return 1;
}

int ObjDataFieldCreate(Ref<Obj>* out, const void* bytes, size_t size) noexcept {
  if (out == nullptr) return 0;
  Ref<Obj> o = ObjNewOfType(DataFieldType());
  o->cells()[0].p = NewRawBlock(bytes, size);
  *out = std::move(o);
  return 1;
}

void* ObjDataFieldGet(const Obj* obj, size_t* size) noexcept {
  if (!Is(obj, DataFieldType()) || obj->cells()[0].p == nullptr) {
    if (size) *size = 0;
    return nullptr;
  }
  auto* b = static_cast<RawBlock*>(obj->cells()[0].p);
  if (size) *size = b->size;
  return b->data;
}

int ObjDataFieldSetFinalizer(Obj* obj, void (*finalizer)(void*)) noexcept {
  if (!Is(obj, DataFieldType()) || obj->cells()[0].p == nullptr) return 0;
  static_cast<RawBlock*>(obj->cells()[0].p)->finalizer = finalizer;
  return 1;
}

int ObjAssignPlain(Obj* target, const Obj* source) noexcept {
  if (target == nullptr || source == nullptr || target->type_index != source->type_index) return 0;
  const ObjType* t = TypeAt(source->type_index);
  if (t->owns_nothing) {  // plain values only: the cells are the contents
    std::memcpy(target->cells(), source->cells(), t->ncells * sizeof(ObjCell));
    return 1;
  }
  for (const SlotInfo& s : t->slots) {
    if (s.kind == SlotKind::kString) continue;
    if (s.kind != SlotKind::kInt && s.kind != SlotKind::kBool && s.kind != SlotKind::kPointer &&
        s.kind != SlotKind::kInt64 && s.kind != SlotKind::kBytes && s.kind != SlotKind::kChars) {
      return 0;
    }
  }
  ObjCell* to = target->cells();
  const ObjCell* from = source->cells();
  for (const SlotInfo& s : t->slots) {
    if (s.kind == SlotKind::kString) {
      SetStringCell(&to[s.cell], from[s.cell].s);
    } else if (s.kind == SlotKind::kBytes || s.kind == SlotKind::kChars) {
      std::memcpy(to[s.cell].bytes, from[s.cell].bytes, s.bytes);
    } else {
      to[s.cell] = from[s.cell];
    }
  }
  return 1;
}

int ObjDuplicate(Ref<Obj>* copy, const Obj* obj) noexcept {
  if (copy == nullptr || obj == nullptr) return 0;
  Ref<Obj> c = DuplicateAt(obj, 0);
  if (!c) return 0;
  *copy = std::move(c);
  return 1;
}
