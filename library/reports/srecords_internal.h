// Internal helpers the serialized-record sources share: the module tag, callback tokens, the
// little-endian length words of the stream and open files held in object slots. Not installed.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "kr/object.h"

namespace kr_internal::srecords {

inline constexpr const char* kTag = "REPSRECS";

template <class F>
uint64_t FnToken(F fn) {
  return reinterpret_cast<uint64_t>(reinterpret_cast<void*>(fn));
}
template <class F>
F TokenToFn(uint64_t token) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(token));
}

inline uint32_t GetLe32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline void PutLe32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// An open file (a FileStream or FileSysFile) held in an object slot: a data field carrying the
// handle's pointer, whose finalizer closes it when the slot is cleared or its object destroyed.
template <class T>
void CloseHeld(void* bytes) {
  T* handle;
  std::memcpy(&handle, bytes, sizeof handle);
  std::default_delete<T>()(handle);
}
template <class T>
Ref<Obj> HoldFile(std::unique_ptr<T> file) {
  T* raw = file.get();
  Ref<Obj> field;
  if (!ObjDataFieldCreate(&field, &raw, sizeof raw)) return nullptr;
  file.release();
  ObjDataFieldSetFinalizer(field.get(), &CloseHeld<T>);
  return field;
}
template <class T>
T* HeldFile(const Obj* field) {
  size_t size = 0;
  void* bytes = field != nullptr ? ObjDataFieldGet(field, &size) : nullptr;
  if (bytes == nullptr || size != sizeof(T*)) return nullptr;
  T* handle;
  std::memcpy(&handle, bytes, sizeof handle);
  return handle;
}

}  // namespace kr_internal::srecords
