// What several benchmarks share: heap accounting, and a report-shaped table of nine fields
// (four integers, two strings of 1 to 15 bytes, a systime, a datacount and a boolean) with
// varied but repeatable values.
#pragma once

#include <malloc.h>

#include <cstdint>
#include <string>

#include "kr/list.h"
#include "kr/object.h"
#include "reports/fetch.h"
#include "reports/fields.h"
#include "reports/reports.h"

namespace bench {

// Bytes malloc has handed out, the object pool's slabs included.
inline size_t HeapInUse() {
  struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

inline constexpr int32_t kNineTypes[9] = {kRepTypeInteger, kRepTypeInteger,   kRepTypeInteger,
                                          kRepTypeInteger, kRepTypeString,    kRepTypeString,
                                          kRepTypeSysTime, kRepTypeDataCount, kRepTypeBoolean};

inline uint64_t Mix(uint64_t x) {  // splitmix64: varied but repeatable values
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

// A value of the type drawn from `h`; its own bytes (4 for an integer or systime, 8 for a
// datacount, 1 for a boolean, a string's length) are added to *payload when given.
inline Ref<Obj> NineFieldValue(int32_t type, uint64_t h, std::string* scratch, int64_t* payload) {
  int64_t own = 0;
  Ref<Obj> v;
  switch (type) {
    case kRepTypeInteger:
      own = 4;
      v = ObjNewInteger(static_cast<int32_t>(h % 2000000) - 1000000);
      break;
    case kRepTypeString: {
      // About a thousand distinct texts in mixed case.
      static const char* stems[4] = {"host", "Server", "db", "backup-node"};
      *scratch = stems[h % 4];
      *scratch += std::to_string((h >> 8) % 250);
      own = static_cast<int64_t>(scratch->size());
      v = ObjNewString(scratch->c_str());
      break;
    }
    case kRepTypeSysTime:
      own = 4;
      v = ObjNewInteger(1700000000 + static_cast<int32_t>(h % 100000000));
      break;
    case kRepTypeDataCount:
      own = 8;
      v = ObjNewInt64(static_cast<int64_t>(h >> 20));
      break;
    default:
      own = 1;
      v = ObjNewBoolean((h & 1) != 0);
      break;
  }
  if (payload != nullptr) *payload += own;
  return v;
}

inline Ref<List> NineFieldList() {
  static const char* names[9] = {"id",     "client", "level", "files", "host",
                                 "policy", "start",  "size",  "ok"};
  Ref<List> l = ListNewWithCapacity(9);
  for (int i = 0; i < 9; ++i)
    ListPushLastItemInternal(l.get(), RepNewFieldDef(names[i], kNineTypes[i], 10));
  return l;
}

// Records made as a table transform makes them: one exactly sized value list per record.
inline Ref<List> NineFieldRecords(int n, int64_t* payload = nullptr) {
  Ref<List> records = ListNewWithCapacity(static_cast<size_t>(n));
  std::string scratch;
  for (int r = 0; r < n; ++r) {
    Ref<List> values = ListNewWithCapacity(9);
    for (int f = 0; f < 9; ++f) {
      uint64_t h = Mix(static_cast<uint64_t>(r) * 16 + static_cast<uint64_t>(f));
      ListPushLastItemInternal(
          values.get(),
          RepNewFieldValue(kRepStateNormal, NineFieldValue(kNineTypes[f], h, &scratch, payload)));
    }
    Ref<RepRecord> record = RepRecord::New();
    record->set_values(std::move(values));
    ListPushLastItemInternal(records.get(), std::move(record));
  }
  return records;
}

// The table `info` names, fetched with the fields `wanted` from its provider; null unless it
// came whole, with `expected` records.
inline Ref<RepTable> FetchWhole(const RepTableInfo* info, List* wanted, size_t expected) {
  Ref<RepTable> table;
  if (RepGetTableFromProc(&table, info, wanted, nullptr, nullptr, nullptr, nullptr) != 0 ||
      ListGetItemCount(table->records()) != expected) {
    return nullptr;
  }
  return table;
}

}  // namespace bench
