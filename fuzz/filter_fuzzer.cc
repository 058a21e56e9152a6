// Fuzzes the filter readers and the tree builder: component lists (flat and brutal), constants
// of every field type, trees, and what is derived from a tree (its text, its fields, its
// interactive expressions, its verdict on records).
//
// Beyond "no crash", it checks the invariants the readers promise:
//  - a flat list written back reads back as the same list;
//  - a tree written back builds again (unless a value holds a single quote, which the written
//    form cannot carry), writes the same text, and agrees with the first tree on every record.
//
// Build and run (seeds in fuzz/corpus/filter; copy them to a scratch corpus directory first):
//   CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DKR_FUZZ=ON -DKR_BENCH=OFF
//   cmake --build build-fuzz --target filter_fuzzer
//   build-fuzz/filter_fuzzer -max_len=2048 -max_total_time=600 CORPUS_DIR

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "kr/trace.h"
#include "reports/filter.h"
#include "reports/reports.h"

namespace {

class DiscardSink : public TraceSink {
 public:
  void Write(std::string_view, int, int, std::string_view) override {}
};

Ref<List> g_fields;
Ref<List> g_records;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

Ref<RepRecord> MakeRecord(const char* name, int64_t size, int32_t count, int32_t state) {
  Ref<List> values = ListNewFromPool();
  ListPushLastItemInternal(values.get(), RepNewFieldValue(0, ObjNewString(name)));
  ListPushLastItemInternal(values.get(), RepNewFieldValue(state, ObjNewInt64(size)));
  ListPushLastItemInternal(values.get(), RepNewFieldValue(0, ObjNewInteger(count)));
  ListPushLastItemInternal(values.get(), RepNewFieldValue(state, ObjNewString("OK")));
  Ref<RepRecord> r = RepRecord::New();
  r->set_values(std::move(values));
  return r;
}

std::string CompText(const List* l) {
  std::string s;
  for (Obj* o : *l) {
    auto* c = ObjCast<RepFilterComponent>(o);
    s += std::to_string(c->bool_op()) + "|" + c->field_name() + "|" + std::to_string(c->op()) +
         "|" + c->constant() + "\n";
  }
  return s;
}

void FuzzComponents(const char* text) {
  Ref<List> list;
  if (RepFilterToCompList(&list, text) == 1) {
    std::string written;
    Check(RepFilterFromCompList(&written, list.get()) == 1, "flat list writes");
    Ref<List> again;
    Check(RepFilterToCompList(&again, written.c_str()) == 1, "written flat list reads back");
    // The first row's word is -1 either way; the rest must agree exactly.
    Check(CompText(list.get()) == CompText(again.get()), "flat list round trip");
  }
  Ref<List> brutal;
  int r = RepFilterToCompListBrutal(&brutal, text);
  Check(r == 1 || r == kRepBrutalFailed, "brutal result code");
}

// A constant of any form can reach evaluation through a front end's tree, even one a filter
// text could not hold (a regular expression with groups): evaluate it as such a tree would.
void FuzzConstant(const char* text, int32_t type) {
  Ref<RepFilterConstant> c;
  if (RepConstantFromText(&c, text, nullptr, type) != 1) return;
  std::string s;
  Check(RepConstantToText(&s, c.get()) == 1, "constant writes");
  int32_t index = type == kRepTypeString ? 0 : type == kRepTypeDataCount ? 1 : 2;
  Ref<RepFilterExpression> e = RepFilterExpression::New();
  e->set_field_index(index);
  e->set_field_type(type);
  e->set_op(kRepOpNotEqual);
  e->set_constant(c);
  Ref<RepFilterTree> tree = TreeNewFromPool();
  Ref<RepFilterBoolNode> top = RepFilterBoolNode::New();
  top->set_op(kRepBoolTop);
  TreeAddChildLast(TreeInsertRoot(tree.get(), top.get()), e.get());
  for (Obj* r : *g_records) RepFilterCatchesRecord(ObjCast<RepRecord>(r), tree.get());
}

void FuzzTree(const char* text) {
  Ref<RepFilterTree> tree = RepMakeFilterTree(text, g_fields.get());
  Ref<List> fields;
  int got_fields = RepGetFieldsInFilter(&fields, g_fields.get(), text);
  Ref<List> interactive;
  RepFindInteractiveExpressions(&interactive, text, g_fields.get());
  if (!tree) return;
  Check(got_fields == 1, "a filter that builds lists its fields");
  std::string once;
  Check(RepFilterTreeToText(&once, tree.get(), g_fields.get()) == 1, "tree writes");
  Ref<RepFilterTree> again = RepMakeFilterTree(once.c_str(), g_fields.get());
  if (!again) {
    // Only a value holding a single quote may fail to come back.
    bool has_inner_quote = false;
    for (TreeNode* n = TreeFirstNode(tree.get()); n != nullptr; n = TreeNextNode(n)) {
      auto* e = ObjCast<RepFilterExpression>(TreeNodeItem(n));
      if (e != nullptr && e->constant() != nullptr && e->constant()->text() != nullptr &&
          std::strchr(e->constant()->text(), '\'') != nullptr)
        has_inner_quote = true;
    }
    Check(has_inner_quote, "written tree builds again");
    return;
  }
  std::string twice;
  Check(RepFilterTreeToText(&twice, again.get(), g_fields.get()) == 1, "rebuilt tree writes");
  Check(once == twice, "written form is stable");
  for (Obj* r : *g_records) {
    auto* rec = ObjCast<RepRecord>(r);
    Check(RepFilterCatchesRecord(rec, tree.get()) == RepFilterCatchesRecord(rec, again.get()),
          "both trees agree");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static DiscardSink sink;
  TraceSetSink(&sink);
  TraceSetLevel(-1);
  g_fields = ListNewFromPool();
  ListPushLastItemInternal(g_fields.get(), RepNewFieldDef("name", kRepTypeString, 10));
  ListPushLastItemInternal(g_fields.get(), RepNewFieldDef("size", kRepTypeDataCount, 10));
  ListPushLastItemInternal(g_fields.get(), RepNewFieldDef("count", kRepTypeInteger, 10));
  ListPushLastItemInternal(g_fields.get(), RepNewFieldDef("a", kRepTypeString, 10));
  g_records = ListNewFromPool();
  const char* names[] = {"ok", "Backup", "", "caf\xc3\xa9", "a b", "x*y"};
  for (int i = 0; i < 12; ++i)
    ListPushLastItemInternal(g_records.get(),
                             MakeRecord(names[i % 6], int64_t{1} << (i * 3), i - 4, i % 5));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 4096) return 0;
  int32_t type = data[0] % 17;  // the sixteen types and one unknown
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  text = text.c_str();  // a filter text ends at its first zero byte
  FuzzComponents(text.c_str());
  FuzzConstant(text.c_str(), type);
  FuzzTree(text.c_str());
  return 0;
}
