// Filter push-down: the part of a table request's filter that SQL can say with exactly the
// filter's own meaning, as a condition for the SELECT's WHERE, so the database reads and the
// provider ships fewer rows.
//
// The provider's filter still decides every record the database returns; the condition only has
// to hold for every row whose record the filter keeps. Each expression is translated to a
// condition that is true at least whenever the expression matches; an expression that cannot be
// so translated is left out (true), and so is an OR with such a side, while an AND keeps the side
// it can translate. Nothing is ever negated around a translated part, so SQL's NULLs cannot turn a
// kept row into a dropped one.
//
// Translated: value constants compared with integer, time passed, system time, 64-bit integer and
// data count fields (all six operators); equality and inequality of string fields with a plain
// ASCII constant (no pattern, no regexp: the filter compares those case-blind, folding ASCII
// letters, and any text with other bytes is left to the filter); status constants, from the
// state the mapping gives a NULL. Left out: patterns and regular expressions, constants with
// other characters, dates, times and the other types, mapped values, unmapped fields. Relative
// constants (now-7DA) arrive already computed, in the tree the provider built for this request.
//
// Never text pasted into SQL: the expressions come from the mapping, the values go into params.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kr/tree.h"
#include "source.h"

namespace catalog {

// What the translation knows of each record field, by position in the tree's field list.
struct FieldSql {
  bool mapped = false;
  std::string expr;        // the expression as selected (before Dialect::Select)
  int32_t type = 0;        // the record field's type
  int32_t null_state = 2;  // the state of a NULL
  bool mapped_values = false;
};

// The WHERE condition for the tree (a filter tree built over the record fields), appending its
// values to *params (numbered after those already there). Empty when nothing translates.
std::string FilterToSql(const Tree* tree, const std::vector<FieldSql>& fields,
                        const Dialect& dialect, std::vector<Param>* params);

}  // namespace catalog
