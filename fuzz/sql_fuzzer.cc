// Fuzz target for the class query reader: any text is either read into a well-formed op list or
// refused, never a crash, a hang or a read past its end.
//
//   build-fuzz/sql_fuzzer -dict=fuzz/sql.dict fuzz/corpus/sql

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "kr/list.h"
#include "kr/text.h"
#include "kr/trace.h"
#include "reports/sql.h"

namespace {

// Formats every message (so the trace arguments are exercised) and drops it.
class NullSink : public TraceSink {
 public:
  void Write(std::string_view, int, int, std::string_view) override {}
};

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

long TableIndex(const RepSqlSelect* s, const char* name) {
  for (size_t i = 0; i < s->tables()->size(); ++i) {
    if (StrCompareNoCase(s->table_name(i), name) == 0) return static_cast<long>(i);
  }
  return -1;
}

// The shape every accepted statement has.
void CheckStatement(const RepSqlSelect* s) {
  Check(s != nullptr && s->fields() != nullptr && s->tables() != nullptr);
  Check(s->merges() != nullptr && s->filters() != nullptr && s->restrictions() != nullptr);
  const size_t tables = s->tables()->size();
  Check(tables >= 1 && !s->fields()->empty() && s->result_name() != nullptr);
  Check(s->merges()->size() == tables - 1);
  Check(s->filters()->size() == tables && s->restrictions()->size() == tables);
  for (size_t i = 0; i < tables - 1; ++i) {
    const List* merges = ObjCast<List>(s->merges()->at(i));
    Check(merges != nullptr && !merges->empty());
    for (Obj* o : *merges) {
      const RepSqlMerge* m = ObjCast<RepSqlMerge>(o);
      Check(m != nullptr);
      const long first = TableIndex(s, m->first_table());
      // The first table stands no later than the second (both may be the later table).
      Check(first >= 0 && first <= static_cast<long>(i + 1) &&
            TableIndex(s, m->second_table()) == static_cast<long>(i + 1));
    }
  }
  for (Obj* o : *s->filters()) {
    const RepSqlFilter* f = ObjCast<RepSqlFilter>(o);
    Check(f != nullptr && f->text() != nullptr);
    const std::string_view text = f->text();
    Check(text.empty() || (text.front() == '(' && text.back() == ')'));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static NullSink sink;
  static bool once = [] {
    TraceSetSink(&sink);
    TraceSetLevel(10);
    return true;
  }();
  (void)once;
  const std::string text(reinterpret_cast<const char*>(data), size);
  Ref<RepSqlOpList> ops;
  const int rc = RepSQLTextToOpList(&ops, text.c_str());
  Check(rc == kRepSqlOk || rc == kRepSqlBadStatement || rc == kRepSqlDuplicateResult);
  Check((rc == kRepSqlOk) == static_cast<bool>(ops));
  if (rc != kRepSqlOk) return 0;
  int results = 0;
  for (Obj* o : *ops->statements()) {
    const RepSqlSelect* s = ObjCast<RepSqlSelect>(o);
    CheckStatement(s);
    if (StrCompareNoCase(s->result_name(), kRepSqlResultName) == 0) ++results;
  }
  Check(results <= 1);
  return 0;
}
