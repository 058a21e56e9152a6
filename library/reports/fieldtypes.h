// What each of the sixteen field types does with its values, one entry per type: how a blank
// value is made, how a value is read from text and checked for its form, how two values are
// ordered and hashed for a join, how one is rendered and what can be derived from it.
//
// Every operation of the library that depends on a field's type looks its type up here rather
// than switching over the type codes itself, so a type's rules live together and adding a type or
// changing one of its rules touches one entry. The entries are plain function pointers: ordering
// and hashing sit in the sort and join loops, where one indirect call costs what a switch's jump
// did.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "kr/object.h"
#include "kr/text.h"
#include "reports/fields.h"

namespace kr_internal {

struct FieldTypeOps {
  // A new blank value object: zeros, empty texts, false, null trees, the invalid unique id.
  Ref<Obj> (*blank)() noexcept = nullptr;
  // A new value object read from `text` (never null); null when the text is not a value of the
  // type. Null itself for the types that have no text form.
  Ref<Obj> (*encode)(const char* text) noexcept = nullptr;
  // True when `value` is an object of the form the type holds.
  bool (*fits)(const Obj* value) noexcept = nullptr;
  // -1, 0 or 1 as `a` sorts before, with or after `b`. An object not of the type's form sorts
  // before every well-formed one, and two such objects are equal.
  int (*compare)(const Obj* a, const Obj* b) noexcept = nullptr;
  // A key that is equal for any two values that compare equal; false when `value` is not of the
  // type's form, so it can match nothing.
  bool (*hash)(const Obj* value, uint64_t* key) noexcept = nullptr;
  // True when equal keys also mean equal values, so a match on the key needs no comparison.
  bool key_is_exact = false;
  // Renders `value`: *text is set to a static text or to the scratch text. False when the value
  // cannot be rendered.
  bool (*render)(const Obj* value, DString* scratch, std::string_view* text) noexcept = nullptr;
  // True when rendering adds to what the scratch text already holds rather than replacing it.
  bool render_appends = false;
  // Derives a value of `target_type` from `source`, a value of this type; null for the types
  // nothing is derived from. 1/0 (traced).
  int (*derive)(Ref<Obj>* value, int32_t target_type, const Obj* source) noexcept = nullptr;
};

extern const FieldTypeOps kFieldTypeOps[kRepFieldTypeCount];

// The entry of a type; null for a code outside the sixteen.
inline const FieldTypeOps* FieldTypeOpsFor(int32_t type) noexcept {
  return type >= 0 && type < kRepFieldTypeCount ? &kFieldTypeOps[type] : nullptr;
}

// Hash mixing shared by the types' keys and by the join index that combines them.
inline constexpr uint64_t kHashSeed = 0x9e3779b97f4a7c15ull;

inline uint64_t HashMix(uint64_t h) noexcept {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ull;
  h ^= h >> 33;
  return h;
}

inline uint64_t HashCombine(uint64_t h, uint64_t v) noexcept {
  return HashMix(h ^ (v + kHashSeed + (h << 6)));
}

// Appends `v` in decimal.
void AppendDecimal(std::string* out, int64_t v);

}  // namespace kr_internal
