// Test helpers for the reports library: field lists built in a line, and the parts of a provided
// table that most test providers share (a row counter as the grabber's context, records filled
// by field name). Header-only: the testing library itself does not link the reports library.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kr/list.h"
#include "kr/object.h"
#include "reports/fields.h"
#include "reports/reports.h"
#include "reports/tablesprovider.h"
#include "testing.h"

namespace kr_testing {

struct FieldSpec {
  const char* name;
  int32_t type;
  int32_t characters;
};

// A list of new field definitions.
inline Ref<List> FieldList(std::initializer_list<FieldSpec> specs) {
  Ref<List> l = ListNewFromPool();
  for (const FieldSpec& f : specs)
    ListPushLastItemInternal(l.get(), RepNewFieldDef(f.name, f.type, f.characters));
  return l;
}

// The integer value of a record's field `k`.
inline int32_t IntegerAt(const Obj* record, size_t k) {
  return ObjGetInteger(ObjCast<RepRecord>(record)->value_at(k)->value());
}

// Grabber start and finish for a provided table whose context counts the rows given so far.
inline int StartAtRowZero(Ref<Obj>* context, RepGrabberInitArgs*) {
  *context = ObjNewInteger(0);
  return 1;
}
inline int DropContext(Ref<Obj>* context, RepGrabberInitArgs*) {
  context->reset();
  return 1;
}

// A grabber's record step over a row counter: row `row` of `rows` gets, for each wanted field,
// `value(name, row)` (a field it gives null for is left as it is). 2 after the last row.
template <class ValueFn>
int FillRecord(RepRecord* record, Obj* context, RepGrabberInitArgs* args, int rows, ValueFn value) {
  const int row = ObjGetInteger(context);
  if (row >= rows) return 2;
  ObjSetInteger(context, row + 1);
  const List* fields = args->fields();
  for (size_t k = 0; k < fields->size(); ++k) {
    Ref<Obj> v = value(std::string(ObjGetSlotString(fields->at(k), 1)), row);
    if (v) record->value_at(k)->set_value(std::move(v));
  }
  return 1;
}

// krtestprovider as the stand-in for machine alpha's reports process, keeping the table registry
// of `home`.
inline std::unique_ptr<ReadyProgram> StartReportsStandIn(const std::string& home) {
  return std::make_unique<ReadyProgram>(
      "krtestprovider",
      std::vector<std::string>{"--home", home, "--machine", "alpha", "--reports-producer"});
}

// krtestprovider as process "Test Provider" of `machine` over `home`, with more arguments
// (table sizes, "--register alpha", "--remote", ...).
inline std::unique_ptr<ReadyProgram> StartTestProvider(const std::string& home, const char* machine,
                                                       const std::vector<std::string>& more) {
  std::vector<std::string> args = {"--home", home,        "--machine",
                                   machine,  "--process", "Test Provider"};
  args.insert(args.end(), more.begin(), more.end());
  return std::make_unique<ReadyProgram>("krtestprovider", std::move(args));
}

}  // namespace kr_testing
