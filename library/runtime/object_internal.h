// What the runtime's object, list, tree and serialization sources share about object layout.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kr/object.h"

struct SlotInfo {
  SlotKind kind;
  uint32_t cell;   // first cell
  uint32_t bytes;  // nN / cN: N
};

struct ObjType {
  uint32_t code;
  uint32_t index;
  uint32_t ncells;
  bool owns_nothing;  // only i, b, p, l, nN, cN slots: destruction frees the block only
  std::string spec;
  std::string name;
  std::vector<SlotInfo> slots;
};

namespace kr_internal {

inline constexpr size_t kMaxSpecLength = 4096;
inline constexpr uint32_t kMaxInlineBytes = 4096;

const ObjType* TypeAt(uint32_t index) noexcept;
inline size_t ObjBytes(const ObjType* t) { return sizeof(Obj) + size_t{t->ncells} * 8; }

// Parses a spec into slots; false when malformed.
bool ParseSpec(const char* spec, std::vector<SlotInfo>* slots, uint32_t* ncells) noexcept;

// Deep copy of one object at nesting `depth`; null when too deep.
Ref<Obj> DuplicateAt(const Obj* obj, int depth) noexcept;

// Lists and trees (list.cc, tree.cc).
void ListReleaseCells(Obj* list) noexcept;
bool ListDuplicateInto(Obj* dst, const Obj* src, int depth) noexcept;
void TreeReleaseCells(Obj* tree) noexcept;
bool TreeDuplicateInto(Obj* dst, const Obj* src, int depth) noexcept;

// Strings in cells are allocated from the pool with their terminating NUL.
char* CopyString(const char* s) noexcept;
char* CopyString(const char* s, size_t len) noexcept;
void FreeString(char* s) noexcept;

// Raw data-field blocks.
struct RawBlock {
  uint64_t size;
  void (*finalizer)(void*);
  alignas(16) unsigned char data[1];
};
RawBlock* NewRawBlock(const void* bytes, size_t size) noexcept;
void FreeRawBlock(RawBlock* block) noexcept;

// Stanza slots.
void StanzaFree(Stanza* stanza) noexcept;
Stanza* StanzaCopy(const Stanza* stanza) noexcept;

}  // namespace kr_internal
