// The serialized-record block format: block info objects, record indexes and appending a block's
// info and its records to a buffer. Both the sending and the receiving side read it, so it is its
// own file. doc/srecords.md describes the stream.

#include "reports/serializedrecords.h"

#include <string>

#include "kr/serialize.h"
#include "kr/trace.h"
#include "recordcodec.h"
#include "reports/reports.h"
#include "srecords_internal.h"

using kr_internal::srecords::GetLe32;
using kr_internal::srecords::kTag;
using kr_internal::srecords::PutLe32;

// ================================================================================================
// Block info objects

const char* RepSRecordsBlockTableName(const Obj* block_info) noexcept {
  if (ObjGetMagic(block_info) != RepSRecordsBlockInfo::kTypeCode) return nullptr;
  return ObjGetSlotString(block_info, 1);
}

RepFieldList* RepSRecordsBlockFields(const Obj* block_info) noexcept {
  if (ObjGetMagic(block_info) != RepSRecordsBlockInfo::kTypeCode) return nullptr;
  return ObjCast<List>(ObjGetSlotObject(block_info, 2));
}

// ================================================================================================
// Record indexes

int RepGetSRecordsIndexSize(int32_t index_type) noexcept {
  if (index_type == kRepTypeInteger || index_type == kRepTypeSysTime) return 4;
  TraceMessage(kTag, 85, 0, -1, "Bad index type");
  return 0;
}

int RepCreateIndexObject(Ref<Obj>* index, int32_t index_type) noexcept {
  if (index == nullptr) return 0;
  if (index_type != kRepTypeInteger && index_type != kRepTypeSysTime) {
    TraceMessage(kTag, 86, 0, -1, "UNSUPPORTED");
    return 0;
  }
  *index = ObjNewInteger(0);
  return 1;
}

int RepEncodeRecordIndex(const unsigned char* bytes, Obj* index, int32_t index_type) noexcept {
  if (index_type != kRepTypeInteger && index_type != kRepTypeSysTime) {
    TraceMessage(kTag, 87, 0, -1, "UNSUPPORTED");
    return 0;
  }
  if (bytes == nullptr) return 0;
  return ObjSetInteger(index, static_cast<int32_t>(GetLe32(bytes)));
}

// ================================================================================================
// Serialized blocks and records

int RepSRecordsAppendBlockInfo(std::string* out, const char* table_name, const RepFieldList* fields,
                               int32_t block_number) noexcept {
  if (out == nullptr) return 0;
  Ref<RepSRecordsBlockInfo> info = RepSRecordsBlockInfo::New();
  ObjSetSlotString(info.get(), 1, table_name);
  ObjSetSlotObject(info.get(), 2, Ref<Obj>::Share(const_cast<RepFieldList*>(fields)));
  ObjSetSlotInteger(info.get(), 3, block_number);
  return ObjSerializeToMemory(out, info.get());
}

int RepSRecordsAppendRecord(std::string* out, const Obj* record, int32_t index_type) noexcept {
  if (out == nullptr || record == nullptr) return 0;
  size_t start = out->size();
  bool indexed = index_type == kRepTypeInteger || index_type == kRepTypeSysTime;
  out->append(indexed ? 8 : 4, '\0');
  if (indexed) {
    const RepRecord* rec = ObjCast<RepRecord>(record);
    const RepFieldValue* first = rec != nullptr ? rec->value_at(0) : nullptr;
    int32_t index = first != nullptr ? ObjGetInteger(first->value()) : 0;
    PutLe32(reinterpret_cast<unsigned char*>(out->data()) + start + 4,
            static_cast<uint32_t>(index));
  }
  // The common record shape is written directly; anything else by the generic writer. Both give
  // the same bytes.
  if ((!kr_internal::AppendRecordFast(out, record) && !ObjSerializeToMemory(out, record)) ||
      out->size() - start > kRepSRecordsMaxRecordSize) {
    out->resize(start);
    return 0;
  }
  PutLe32(reinterpret_cast<unsigned char*>(out->data()) + start,
          static_cast<uint32_t>(out->size() - start));
  return 1;
}
