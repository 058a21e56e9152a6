// Test helpers for the filter tests: the field list they filter over, records built from a row
// in a line, matching a filter text, and a tree's shape and written form.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "kr/list.h"
#include "kr/object.h"
#include "reports/filter.h"
#include "reports/reports.h"
#include "reptesting.h"

namespace filter_test {

// The field list most tests filter over.
enum { kName, kSize, kCount, kStatus, kWhen, kFlag };
inline Ref<List> Fields() {
  return kr_testing::FieldList({{"name", kRepTypeString, 10},
                                {"size", kRepTypeDataCount, 10},
                                {"count", kRepTypeInteger, 10},
                                {"status", kRepTypeString, 10},
                                {"when", kRepTypeDate, 10},
                                {"flag", kRepTypeBoolean, 10}});
}

struct Row {
  const char* name = "backup";
  int64_t size = 0;
  int32_t count = 0;
  const char* status = "OK";
  int32_t states[6] = {0, 0, 0, 0, 0, 0};
};

inline Ref<RepRecord> Record(const Row& r) {
  Ref<List> values = ListNewFromPool();
  Ref<Obj> objs[6] = {ObjNewString(r.name),
                      ObjNewInt64(r.size),
                      ObjNewInteger(r.count),
                      ObjNewString(r.status),
                      nullptr,
                      ObjNewBoolean(false)};
  RepEncodeData(&objs[4], "2024/02/29", kRepTypeDate);
  for (int i = 0; i < 6; ++i)
    ListPushLastItemInternal(values.get(), RepNewFieldValue(r.states[i], objs[i]));
  Ref<RepRecord> rec = RepRecord::New();
  rec->set_values(std::move(values));
  return rec;
}

// Whether a filter text matches a record, through a freshly built tree.
inline int Matches(const char* filter, const Row& row) {
  Ref<List> f = Fields();
  Ref<RepFilterTree> t = RepMakeFilterTree(filter, f.get());
  EXPECT_TRUE(t) << filter;
  if (!t) return -1;
  Ref<RepRecord> rec = Record(row);
  return RepFilterCatchesRecord(rec.get(), t.get());
}

inline std::string Write(const RepFilterTree* t, const List* fields) {
  std::string s;
  EXPECT_EQ(RepFilterTreeToText(&s, t, fields), 1);
  return s;
}

// The tree's shape: AND(x,y), OR(x,y) and field names, under the top node.
inline std::string Shape(TreeNode* n, const List* fields) {
  Obj* item = TreeNodeItem(n);
  if (auto* e = ObjCast<RepFilterExpression>(item))
    return ObjCast<RepFieldDef>(fields->at(static_cast<size_t>(e->field_index())))->name();
  auto* b = ObjCast<RepFilterBoolNode>(item);
  if (b == nullptr) return "?";
  std::string s = b->op() == kRepBoolAnd ? "AND(" : b->op() == kRepBoolOr ? "OR(" : "TOP(";
  for (TreeNode* c = TreeNodeFirstChild(n); c != nullptr; c = TreeNodeNextSibling(c)) {
    if (c != TreeNodeFirstChild(n)) s += ",";
    s += Shape(c, fields);
  }
  return s + ")";
}

inline std::string ShapeOf(const char* filter) {
  Ref<List> f = Fields();
  Ref<RepFilterTree> t = RepMakeFilterTree(filter, f.get());
  if (!t) return "null";
  return Shape(TreeFirstNode(t.get()), f.get());
}

inline Ref<RepFilterConstant> Constant(const char* text, int32_t type) {
  Ref<RepFilterConstant> c;
  EXPECT_EQ(RepConstantFromText(&c, text, nullptr, type), 1) << text;
  return c;
}

inline std::string ConstantText(const RepFilterConstant* c) {
  std::string s;
  EXPECT_EQ(RepConstantToText(&s, c), 1);
  return s;
}

}  // namespace filter_test
