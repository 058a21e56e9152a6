// Internal pieces the filter sources share: the module tag, the readers of the filter text
// (filtertext.cc) that the parser (filterparse.cc) builds on, and the nesting limits. Not
// installed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "reports/filter.h"

namespace kr_internal::filter {

inline constexpr const char* kTag = "REPFILT";

// The operator whose symbol and blank stand at `p`, or -1; *bytes is the symbol's length
// without the blank.
int32_t OperatorAt(const char* p, size_t* bytes);

// `p` past any blanks and tabs.
const char* SkipBlanks(const char* p);

// Where the parts of the constant that starts at `p` lie, as the constant reader sees them: its
// value (after any keywords) and its end: through the closing quote of a quoted value, or up to
// the blank, tab, ')' or end that ends a bare value or a state word. `end` is null for a quote
// with no partner.
struct ConstantSpan {
  const char* value;
  const char* end;
  bool quoted;
};

ConstantSpan SpanOfConstant(const char* p);

// Whether the constant at `start` (spanning `span`) may stand in a filter; see its definition.
bool CheckConstantText(const char* start, const ConstantSpan& span, const char** fault = nullptr);

// The constant of the expression head at `p` ('%'), without looking the field up. Null when `p`
// does not hold "%name op ".
const char* ConstantOfExpression(const char* p);

// Deeper nesting or longer chains than this are refused: building, evaluating and releasing a
// tree then stay within a small stack.
inline constexpr int kMaxBuildDepth = 1000;

// Deeper bracket nesting than this is refused. The written form of a tree brackets every AND and
// OR, so a chain of n operands is written n - 1 deep: the limit is the tree's own, so that every
// tree that builds also builds again from its written form.
inline constexpr int kMaxNesting = kMaxBuildDepth;

// Reads an expression at `p` ('%') against the field list into `e`; see its definition.
bool ReadExpression(RepFilterExpression* e, const char** constant_start, const char** end,
                    const char* p, const RepFieldList* fields, const char** fault = nullptr);

}  // namespace kr_internal::filter
