// Filters: the filter expression language over the fields of a record set.
//
// A filter text is a chain of expressions joined by AND and OR, grouped with brackets:
//
//   %status = 'OK' AND (%size > 1mb OR %owner = regexp:'^adm')
//
// An expression is `%`, a field name, a blank, an operator symbol, a blank and a constant. Inside
// one bracket level the words join their operands from left to right with no precedence, so
// `%a = 1 AND %b = 2 OR %c = 3` means `((%a = 1 AND %b = 2) OR %c = 3)`. A constant is a value
// (bare, or in single or double quotes, no escapes) or `status:` and a state word, optionally led
// by the keywords `regexp:`, `interactive:` and `inherit:`.
//
// Three forms of a filter:
//  - the text;
//  - a flat component list (RepFilterComponent rows of field, operator, constant and the word that
//    joins a row to the one before), which front ends edit; it has no brackets;
//  - a filter tree (RepFilterTree), built against a field list, which is what is evaluated
//    against records. Its root is a top node (a RepFilterBoolNode with operator 2) with exactly
//    one child; AND and OR nodes have two children; expressions (RepFilterExpression) are leaves.
//
// A text that does not follow that grammar does not build: among others an empty text, a group
// whose whole content is one group (`((%a = 1))`), a constant holding `%`, `(` or `)` (so a
// regular expression in a filter has no groups), a bare constant holding a quote, text left
// after a constant, a bare constant that is an operator symbol followed by a blank and a word
// (`%a = = AND %b = 1`), brackets nested or chains of operands more than about a thousand deep.
// The grammar is checked front to back; then the expressions are read against the field list last
// first, so of two that do not read the later one is reported. Every tree that builds also builds
// from its written form.
//
// On string fields a value constant is a pattern (kr/pattern.h) matched against the whole value,
// ignoring case: `*` matches any run of characters and `?` any one, or, with `regexp:`, a POSIX
// extended regular expression that may match anywhere (one whose compiled form or matching would
// grow out of all proportion to its length counts as one that does not compile: it matches
// nothing, so only `!=` is true of it). `>` and `<` never match a string field, and `!=` matches
// whenever `=` does not. A value in a state other than Normal equals
// only a status constant of its state.
//
// Thread safety: none beyond the runtime's. Evaluating a tree stores each string expression's
// compiled pattern in the expression on first use, so one tree is evaluated by one thread at a
// time. The keyword texts are looked up once per process (thread-safe).
#pragma once

#include <cstdint>
#include <string>

#include "kr/list.h"
#include "kr/object.h"
#include "kr/tree.h"
#include "reports/control.h"
#include "reports/fields.h"
#include "reports/reports.h"

// --- operators and words -----------------------------------------------------------------------

enum RepFilterOperator : int32_t {
  kRepOpEqual = 0,         // =
  kRepOpNotEqual = 1,      // !=
  kRepOpGreater = 2,       // >
  kRepOpGreaterEqual = 3,  // >=
  kRepOpLess = 4,          // <
  kRepOpLessEqual = 5,     // <=
};

enum RepFilterBoolOp : int32_t {
  kRepBoolAnd = 0,
  kRepBoolOr = 1,
  kRepBoolTop = 2,  // the top node of a tree; has no word
};

// Constant flags.
inline constexpr int32_t kRepConstRegExp = 1;
inline constexpr int32_t kRepConstInteractive = 2;
inline constexpr int32_t kRepConstInherit = 4;

// Constant kinds.
inline constexpr int32_t kRepConstValue = 0;
inline constexpr int32_t kRepConstStatus = 1;

// RepFilterToCompListBrutal's failure result.
inline constexpr int kRepBrutalFailed = 5;

// --- objects -----------------------------------------------------------------------------------

// A constant of an expression, read from text for the type of the field it is compared with.
struct RepFilterConstant : ObjView<RepFilterConstant> {
  static constexpr uint32_t kTypeCode = 0xc85cec82;
  static constexpr const char kSpec[] = "i;i;i;i;o;s;b;o;";
  static constexpr const char kName[] = "RepFilterConstant";

  int32_t kind() const noexcept { return IntSlot<1>(); }   // kRepConstValue or kRepConstStatus
  int32_t state() const noexcept { return IntSlot<2>(); }  // status constants: the value state
  int32_t flags() const noexcept { return IntSlot<3>(); }  // kRepConstRegExp | ...
  int32_t field_type() const noexcept { return IntSlot<4>(); }
  Obj* value() const noexcept { return ObjSlot<5>(); }        // encoded for field_type; borrowed
  const char* text() const noexcept { return StrSlot<6>(); }  // the value text, no quotes
  bool is_pattern() const noexcept { return BoolSlot<7>(); }

  void set_kind(int32_t v) noexcept { SetIntSlot<1>(v); }
  void set_state(int32_t v) noexcept { SetIntSlot<2>(v); }
  void set_flags(int32_t v) noexcept { SetIntSlot<3>(v); }
  void set_field_type(int32_t v) noexcept { SetIntSlot<4>(v); }
  void set_value(Ref<Obj> v) noexcept { SetObjSlot<5>(std::move(v)); }
  void set_text(const char* v) noexcept { SetStrSlot<6>(v); }
  void set_is_pattern(bool v) noexcept { SetBoolSlot<7>(v); }
};

// One row of a flat component list.
struct RepFilterComponent : ObjView<RepFilterComponent> {
  static constexpr uint32_t kTypeCode = 0xc858a21b;
  static constexpr const char kSpec[] = "s;i;s;i;o;";
  static constexpr const char kName[] = "RepFilterComponent";

  const char* field_name() const noexcept { return StrSlot<1>(); }  // without '%'
  int32_t op() const noexcept { return IntSlot<2>(); }
  const char* constant() const noexcept { return StrSlot<3>(); }  // as written, quotes kept
  // The word joining this row to the one before: -1 on the first row of a list read by
  // RepFilterToCompList, 0 on every row of a brutal list; ignored on the first row when writing.
  int32_t bool_op() const noexcept { return IntSlot<4>(); }

  void set_field_name(const char* v) noexcept { SetStrSlot<1>(v); }
  void set_op(int32_t v) noexcept { SetIntSlot<2>(v); }
  void set_constant(const char* v) noexcept { SetStrSlot<3>(v); }
  void set_bool_op(int32_t v) noexcept { SetIntSlot<4>(v); }
};

// An operator as offered to a front end.
struct RepOperatorInfo : ObjView<RepOperatorInfo> {
  static constexpr uint32_t kTypeCode = 0xc8609501;
  static constexpr const char kSpec[] = "i;s;s;o;";
  static constexpr const char kName[] = "RepOperatorInfo";

  int32_t id() const noexcept { return IntSlot<1>(); }
  const char* symbol() const noexcept { return StrSlot<2>(); }
  const char* description() const noexcept { return StrSlot<3>(); }

  void set_id(int32_t v) noexcept { SetIntSlot<1>(v); }
  void set_symbol(const char* v) noexcept { SetStrSlot<2>(v); }
  void set_description(const char* v) noexcept { SetStrSlot<3>(v); }
};

// An AND, OR or top node of a filter tree.
struct RepFilterBoolNode : ObjView<RepFilterBoolNode> {
  static constexpr uint32_t kTypeCode = 0xc8eec11c;
  static constexpr const char kSpec[] = "i;b;o;";
  static constexpr const char kName[] = "RepFilterBoolNode";

  int32_t op() const noexcept { return IntSlot<1>(); }  // RepFilterBoolOp
  void set_op(int32_t v) noexcept { SetIntSlot<1>(v); }
};

// An expression of a filter tree: field, operator and constant. Slot 5 (local, never serialized
// or copied) holds the compiled pattern of a string expression once it has been evaluated.
struct RepFilterExpression : ObjView<RepFilterExpression> {
  static constexpr uint32_t kTypeCode = 0xc8ef1755;
  static constexpr const char kSpec[] = "i;i;i;o;ol;o;";
  static constexpr const char kName[] = "RepFilterExpression";

  int32_t field_index() const noexcept { return IntSlot<1>(); }  // 0-based, in the tree's list
  int32_t field_type() const noexcept { return IntSlot<2>(); }
  int32_t op() const noexcept { return IntSlot<3>(); }
  RepFilterConstant* constant() const noexcept { return ObjCast<RepFilterConstant>(ObjSlot<4>()); }
  Obj* compiled_pattern() const noexcept { return ObjSlot<5>(); }

  void set_field_index(int32_t v) noexcept { SetIntSlot<1>(v); }
  void set_field_type(int32_t v) noexcept { SetIntSlot<2>(v); }
  void set_op(int32_t v) noexcept { SetIntSlot<3>(v); }
  void set_constant(Ref<Obj> v) noexcept { SetObjSlot<4>(std::move(v)); }
  void set_compiled_pattern(Ref<Obj> v) noexcept { SetObjSlot<5>(std::move(v)); }
};

// A filter tree: a runtime tree of RepFilterBoolNode and RepFilterExpression items.
using RepFilterTree = Tree;

// --- operators and words -----------------------------------------------------------------------

// The symbol of an operator id (static), or null for an id not in the table.
const char* RepGetOperatorSymbol(int32_t id) noexcept;
// The id whose symbol is the whole text, or -1.
int32_t RepOperatorIdFromSymbol(const char* symbol) noexcept;
// "AND" for 0, "OR" for 1, null otherwise.
const char* RepGetBoolOpText(int32_t id) noexcept;
// A new list of RepOperatorInfo, ids 0 to 5 in order, with their catalogue descriptions. 1.
int RepGetAvailOperators(Ref<List>* list) noexcept;

// --- constants ---------------------------------------------------------------------------------

// Reads one constant at the start of `text` (which may go on after it) for a field of
// `field_type`. `reserved` is neither read nor written. 1/0 (traced); *constant untouched on 0.
int RepConstantFromText(Ref<RepFilterConstant>* constant, const char* text, void* reserved,
                        int32_t field_type) noexcept;
// The written form: keywords of the set flags, then 'value' or status:State. 1/0.
int RepConstantToText(std::string* text, const RepFilterConstant* constant) noexcept;

// --- component lists ---------------------------------------------------------------------------

// Reads a flat filter text (no brackets) into a new list of RepFilterComponent. An absent or
// empty text gives an empty list. 1/0.
int RepFilterToCompList(Ref<List>* list, const char* text) noexcept;
// Collects every expression of any filter text, brackets and words ignored, each with word id 0.
// 1, or kRepBrutalFailed (5) when an expression cannot be read.
int RepFilterToCompListBrutal(Ref<List>* list, const char* text) noexcept;
// Writes a component list as a flat filter text. An absent, non-list or empty object gives the
// empty text. 1/0 (every row is checked before anything is written).
int RepFilterFromCompList(std::string* text, const Obj* list) noexcept;

// --- trees -------------------------------------------------------------------------------------

// Builds a tree from a filter text against a field list; null when the text does not build
// (traced).
Ref<RepFilterTree> RepMakeFilterTree(const char* text, const RepFieldList* fields) noexcept;
// RepMakeFilterTree that also says where a refused text goes wrong, for front ends that point at
// the mistake: `*fault_offset` is the byte offset in `text` where the first fault was found (the
// start of an expression whose field is unknown, its operator, its constant, a bracket, a word),
// or -1 when the tree was made. The tree and the traces are RepMakeFilterTree's.
Ref<RepFilterTree> RepMakeFilterTreeLocated(const char* text, const RepFieldList* fields,
                                            int32_t* fault_offset) noexcept;
// Writes a tree in the canonical form: one blank between tokens, constants in their written form,
// every compound in one bracket pair. 1/0.
int RepFilterTreeToText(std::string* text, const RepFilterTree* tree,
                        const RepFieldList* fields) noexcept;
// Builds a filter tree from a front end's tree, each of whose items holds in its thirteenth slot
// the filter node it shows. The new tree shares the node objects. 1/0.
int RepGuiFilterTreeToFilterTree(Ref<RepFilterTree>* tree, const Tree* gui_tree) noexcept;

// --- evaluation --------------------------------------------------------------------------------

// 1 when the record matches the subtree at `node` (normally the tree's first node), else 0.
// The record must have been made for the field list the tree was built with; an expression whose
// field the record lacks does not compare (only != matches it).
int RepApplyFilterNodeToRecord(TreeNode* node, const RepRecord* record) noexcept;
// RepApplyFilterNodeToRecord on the tree's first node; 0 for an empty tree.
int RepFilterCatchesRecord(const RepRecord* record, const RepFilterTree* tree) noexcept;

// Removes from `records` every record that does not match (that matches) the tree, in one stable
// pass. No tree or no list: nothing happens.
void RepApplyFilterBinNonMatching(const RepFilterTree* tree, List* records) noexcept;
void RepApplyFilterBinMatching(const RepFilterTree* tree, List* records) noexcept;

// --- filters of a report -----------------------------------------------------------------------

// 1 when the record passes the control's include tree (must match, when present) and exclude
// tree (must not match, when present); the condition tree is not consulted. 0 otherwise.
int RepFilterRecord(const RepRecord* record, const RepControl* control) noexcept;
// Builds the control's include, exclude and condition trees from its parameters, with its report
// field list. Every present, non-empty text is tried; 1 only when all of them built. An empty
// text leaves its tree as it was.
int RepBuildFilterSpec(RepControl* control) noexcept;

// RepFilterRecords calls its progress callback once per this many records.
inline constexpr int kRepFilterProgressEvery = 5000;

// Filters the control's table in place: a record is dropped when the include tree exists and does
// not match, else when the exclude tree exists and matches, else (when `use_condition` is 1)
// when the condition tree exists and does not match. With `keep_filtered` 1 (and a tree in use)
// the bin is emptied first and the dropped records go to it in order. The callback, when given,
// runs once per 5000 records examined.
void RepFilterRecords(RepControl* control, int use_condition, int keep_filtered,
                      RepProgressCallback callback, void* argument) noexcept;

// --- what a filter refers to -------------------------------------------------------------------

// A new list of the expressions (references to the nodes of a tree built and released here)
// whose constant has the interactive flag, in walk order. An absent or empty text gives an empty
// list. 1/0.
int RepFindInteractiveExpressions(Ref<List>* list, const char* text,
                                  const RepFieldList* fields) noexcept;
// A new list of the field definitions the filter's expressions name, in text order (a field
// named twice is listed twice). An absent or empty text gives an empty list. 1/0.
int RepGetFieldsInFilter(Ref<List>* list, const RepFieldList* fields, const char* text) noexcept;
