// The class definition language: reading a class query into an op list.
//
// The reader walks the NUL-terminated text with one cursor and never looks past the terminator:
// every keyword match compares byte by byte and stops at the first difference, and every search
// (line end, comma, bracket) stops at the terminator. It keeps no state between calls, builds
// nothing larger than the text itself and has no recursion, so any text is safe to give it.

#include "reports/sql.h"

#include <cstddef>
#include <string>
#include <utility>

#include "kr/text.h"
#include "kr/trace.h"

namespace {

constexpr const char* kTag = "REPSQL";

// Blanks in the narrow sense: what must follow `*` and an unqualified select item. A line end
// does not count, so an unqualified item at the end of a line is refused.
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

const char* SkipWhite(const char* p) { return StrSkipWhiteSpaceF(p); }

// True when `p` begins with the ASCII keyword `word`, ignoring case. Stops at the first
// difference, so it never reads past the text's terminator.
bool StartsWithNoCase(const char* p, const char* word) {
  for (; *word != '\0'; ++p, ++word) {
    unsigned char a = static_cast<unsigned char>(*p);
    unsigned char b = static_cast<unsigned char>(*word);
    if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b - 'A' + 'a');
    if (a != b) return false;  // also at the terminator, since `word` has none there
  }
  return true;
}

// Takes the token at *p (possibly empty) and moves *p past it.
std::string TakeToken(const char** p) {
  const char* end = StrSkipTokenF(*p);
  std::string token(*p, static_cast<size_t>(end - *p));
  *p = end;
  return token;
}

// The 0-based position of `name` in a list of string objects, ignoring case, or -1.
long FindTable(const List* tables, const char* name) {
  for (size_t i = 0; i < tables->size(); ++i) {
    if (StrCompareNoCase(ObjGetString(tables->at(i)), name) == 0) return static_cast<long>(i);
  }
  return -1;
}

// The raw clauses of one WHERE part, before they are sorted out per table.
struct RawClauses {
  Ref<List> merges = ListNewFromPool();
  Ref<List> filters = ListNewFromPool();
  Ref<List> restrictions = ListNewFromPool();
};

// Sorts the merge clauses out per table: one list for each table after the first, each clause
// going to the later of its two tables, turned round when written the other way so that its
// first table is always the earlier one.
bool ProcessMerges(const List* tables, const List* raw, List* merges) {
  for (size_t i = 1; i < tables->size(); ++i) ListPushLastItemInternal(merges, ListNewFromPool());
  for (Obj* item : *raw) {
    RepSqlMerge* m = ObjCast<RepSqlMerge>(item);
    long first = FindTable(tables, m->first_table());
    long second = FindTable(tables, m->second_table());
    if (first < 0 || second < 0) {
      TraceMessage(kTag, 27, 0, -1, "Invalid table names in WHERE statament");
      return false;
    }
    if (second < first) {
      std::string table = m->first_table(), field = m->first_field();
      m->set_first_table(m->second_table());
      m->set_first_field(m->second_field());
      m->set_second_table(table.c_str());
      m->set_second_field(field.c_str());
      std::swap(first, second);
    }
    if (second == 0) {  // both sides name the first table, which has no merge list
      TraceMessage(kTag, 28, 0, -1, "Unexpected list item count");
      return false;
    }
    TraceMessage(kTag, 29, 0, 3,
                 "Adding merge fields obj at index %ld. Tabs '%s' and '%s'. Fields '%s' and '%s'.",
                 second - 1, m->first_table(), m->second_table(), m->first_field(),
                 m->second_field());
    ListAddLastItem(ObjCast<List>(merges->at(static_cast<size_t>(second - 1))), m);
  }
  for (Obj* list : *merges) {
    if (ObjCast<List>(list)->empty()) {
      TraceMessage(kTag, 30, 0, -1, "Merge fields invalid - not got merge fields for all tables.");
      return false;
    }
  }
  return true;
}

// Sorts the restrictions out per table, one list per table, at most one restriction per field.
bool ProcessRestrictions(const List* tables, const List* raw, List* restrictions) {
  for (size_t i = 0; i < tables->size(); ++i) {
    ListPushLastItemInternal(restrictions, ListNewFromPool());
  }
  for (Obj* o : *raw) {
    const RepSqlRestriction* r = ObjCast<RepSqlRestriction>(o);
    const char* table = r->table();
    const char* field = r->field();
    const long index = FindTable(tables, table);
    if (index < 0) {
      TraceMessage(kTag, 31, 0, -1,
                   "Bad SQL statement - restriction refers to table not in its select statement.");
      return false;
    }
    List* list = ObjCast<List>(restrictions->at(static_cast<size_t>(index)));
    for (Obj* other : *list) {
      if (StrCompareNoCase(ObjCast<RepSqlRestriction>(other)->field(), field) == 0) {
        TraceMessage(kTag, 32, 0, -1,
                     "Bad SQL statement - multiple restrictions field '%s' in table '%s'.",
                     StrOrEmpty(field), StrOrEmpty(table));
        return false;
      }
    }
    ListAddLastItem(list, o);
  }
  return true;
}

// One filter per table: the first filter clause naming it, else an empty filter. Clauses for
// tables that the statement does not read are dropped.
void ProcessFilters(const List* tables, const List* raw, List* filters) {
  for (Obj* t : *tables) {
    const char* table = ObjGetString(t);
    Obj* found = nullptr;
    for (Obj* f : *raw) {
      if (StrCompareNoCase(ObjCast<RepSqlFilter>(f)->table(), table) == 0) {
        found = f;
        break;
      }
    }
    if (found != nullptr) {
      TraceMessage(kTag, 33, 0, 3, "Had filter for table '%s'.", StrOrEmpty(table));
      ListAddLastItem(filters, found);
    } else {
      TraceMessage(kTag, 34, 0, 3, "No filter for table '%s'.", StrOrEmpty(table));
      Ref<RepSqlFilter> empty = RepSqlFilter::New();
      empty->set_table(table);
      empty->set_text("");
      ListPushLastItemInternal(filters, std::move(empty));
    }
  }
}

class StatementReader {
 public:
  explicit StatementReader(const char* p) : p_(p) {}

  // Reads one statement from the cursor; null when it cannot be read (already traced).
  Ref<RepSqlSelect> Read();
  const char* position() const { return p_; }

 private:
  bool ReadSelectList(List* fields);
  bool ReadTableList(List* tables);
  bool ReadWhere(RawClauses* raw);
  bool ReadMergeClause(List* merges);
  bool ReadInClause(RawClauses* raw);
  bool ReadRestriction(const std::string& table, List* restrictions);
  bool ReadFilter(const std::string& table, List* filters);

  const char* p_;
};

Ref<RepSqlField> NewField(const std::string& table, const std::string& field) {
  Ref<RepSqlField> f = RepSqlField::New();
  f->set_table(table.c_str());
  f->set_field(field.c_str());
  return f;
}

Ref<RepSqlSelect> StatementReader::Read() {
  // SELECT: any token whose first three letters are SEL.
  const char* token_end = StrSkipTokenF(p_);
  if (token_end - p_ < 3 || !StartsWithNoCase(p_, "SEL")) {
    TraceMessage(kTag, 1, 0, -1, "Invalid SQL statement - no SELECT keyword.");
    return nullptr;
  }
  p_ = SkipWhite(token_end);

  Ref<List> fields = ListNewFromPool();
  if (!ReadSelectList(fields.get())) return nullptr;

  p_ = SkipWhite(p_);
  std::string result_name = kRepSqlResultName;
  if (!StartsWithNoCase(p_, "FROM")) {
    result_name = TakeToken(&p_);
    p_ = SkipWhite(p_);
  }
  if (!StartsWithNoCase(p_, "FROM")) {
    TraceMessage(kTag, 2, 0, -1, "Invalid SQL statement - no FROM keyword.");
    return nullptr;
  }
  p_ = SkipWhite(p_ + 4);

  Ref<List> tables = ListNewFromPool();
  if (!ReadTableList(tables.get())) return nullptr;

  RawClauses raw;
  Ref<List> merges = ListNewFromPool();
  p_ = SkipWhite(p_);
  const bool has_where = StartsWithNoCase(p_, "WHERE");
  if (has_where) {
    p_ = SkipWhite(p_ + 5);
    if (!ReadWhere(&raw)) {
      // A WHERE part that cannot be read refuses the statement, and with it the whole text.
      TraceMessage(kTag, 3, 0, -1, "Invalid SQL statement - could not interpret WHERE statement.");
      return nullptr;
    }
  } else if (tables->size() > 1) {
    TraceMessage(kTag, 4, 0, -1, "Invalid SQL statement - no WHERE keyword.");
  }

  Ref<RepSqlSelect> statement = RepSqlSelect::New();
  statement->set_fields(fields);
  statement->set_tables(tables);
  statement->set_result_name(result_name.c_str());
  if (has_where && !ProcessMerges(tables.get(), raw.merges.get(), merges.get())) {
    TraceMessage(kTag, 5, 0, -1,
                 "Could not convert un-processed merge fields into processed merge fields");
    TraceMessage(kTag, 3, 0, -1, "Invalid SQL statement - could not interpret WHERE statement.");
    return nullptr;
  }
  Ref<List> restrictions = ListNewFromPool();
  if (!ProcessRestrictions(tables.get(), raw.restrictions.get(), restrictions.get())) {
    TraceMessage(kTag, 6, 0, -1, "Failed to process restriction list");
    TraceMessage(kTag, 7, 0, -1,
                 "Could not convert un-processed restriction objects into processed restriction "
                 "objects");
    TraceMessage(kTag, 3, 0, -1, "Invalid SQL statement - could not interpret WHERE statement.");
    return nullptr;
  }
  Ref<List> filters = ListNewFromPool();
  ProcessFilters(tables.get(), raw.filters.get(), filters.get());
  statement->set_merges(merges);
  statement->set_restrictions(restrictions);
  statement->set_filters(filters);

  // A single table needs no merge clause; every further table needs its own merge list. Without
  // a WHERE part there are no merge lists at all, so only a single-table statement is valid.
  if (statement->merges()->size() + 1 != tables->size()) {
    TraceMessage(kTag, 8, 0, -1, "Invalid SQL Statement - invalid number of merge fields");
    return nullptr;
  }
  TraceMessage(kTag, 9, 0, 3, "SQL request statement IS valid");
  return statement;
}

bool StatementReader::ReadSelectList(List* fields) {
  if (*p_ == '\0') {
    TraceMessage(kTag, 10, 0, -1, "Invalid SQL statement - no fields specified.");
    return false;
  }
  if (*p_ == '*' && IsBlank(p_[1])) {
    ListPushLastItemInternal(fields, NewField("*", ""));
    p_ += 2;
    return true;
  }
  // Items are collected in a list of their own and kept only when the whole list reads.
  Ref<List> items = ListNewFromPool();
  for (;;) {
    std::string token = TakeToken(&p_);
    if (!token.empty() && *p_ == '.') {
      ++p_;
      if (*p_ == '*') {
        ++p_;
        ListPushLastItemInternal(items.get(), NewField(token, "*"));
      } else {
        std::string field = TakeToken(&p_);
        if (field.empty()) {
          TraceMessage(kTag, 11, 0, -1,
                       "SQL statement select field error - table name '%s' has no field "
                       "specified",
                       token.c_str());
          return false;
        }
        ListPushLastItemInternal(items.get(), NewField(token, field));
      }
    } else if (!token.empty() && (*p_ == ',' || IsBlank(*p_))) {
      ListPushLastItemInternal(items.get(), NewField("", token));
    } else {
      TraceMessage(kTag, 12, 0, -1, "Bad field name in SQL select statement field list");
      return false;
    }
    p_ = SkipWhite(p_);
    if (*p_ != ',') break;
    p_ = SkipWhite(p_ + 1);
  }
  if (items->empty()) {
    TraceMessage(kTag, 10, 0, -1, "Invalid SQL statement - no fields specified.");
    return false;
  }
  ListJoin(fields, items.get());
  return true;
}

bool StatementReader::ReadTableList(List* tables) {
  for (;;) {
    std::string table = TakeToken(&p_);
    if (table.empty()) {
      TraceMessage(kTag, 13, 0, -1, "Invalid SQL statement - no tables givem.");
      return false;
    }
    ListPushLastItemInternal(tables, ObjNewString(table.c_str()));
    const char* after = SkipWhite(p_);
    if (*after != ',') return true;
    p_ = SkipWhite(after + 1);
  }
}

bool StatementReader::ReadWhere(RawClauses* raw) {
  for (;;) {
    const bool ok =
        StartsWithNoCase(p_, "IN") ? ReadInClause(raw) : ReadMergeClause(raw->merges.get());
    if (!ok) {
      TraceMessage(kTag, 14, 0, -1,
                   "Bad SQL statement - Failed to get clauses for WHERE statement");
      return false;
    }
    const char* after = SkipWhite(p_);
    if (!StartsWithNoCase(after, "AND")) break;
    p_ = SkipWhite(after + 3);
  }
  TraceMessage(kTag, 15, 0, 3,
               "Converted WHERE clauses to lists. %ld merge fields, %ld filters and %ld "
               "restrictions.",
               static_cast<long>(raw->merges->size()), static_cast<long>(raw->filters->size()),
               static_cast<long>(raw->restrictions->size()));
  return true;
}

bool StatementReader::ReadMergeClause(List* merges) {
  // table.field = table.field, with no blanks around the dots.
  std::string names[4];
  for (int side = 0; side < 2; ++side) {
    if (side == 1) {
      p_ = SkipWhite(p_);
      if (*p_ != '=') break;
      p_ = SkipWhite(p_ + 1);
    }
    names[side * 2] = TakeToken(&p_);
    if (names[side * 2].empty() || *p_ != '.') break;
    ++p_;
    names[side * 2 + 1] = TakeToken(&p_);
    if (names[side * 2 + 1].empty()) break;
    if (side == 1) {
      Ref<RepSqlMerge> merge = RepSqlMerge::New();
      merge->set_first_table(names[0].c_str());
      merge->set_first_field(names[1].c_str());
      merge->set_second_table(names[2].c_str());
      merge->set_second_field(names[3].c_str());
      ListPushLastItemInternal(merges, std::move(merge));
      return true;
    }
  }
  TraceMessage(kTag, 16, 0, -1, "Bad SQL statement - could not interpret table merge clause.");
  return false;
}

bool StatementReader::ReadInClause(RawClauses* raw) {
  p_ = SkipWhite(p_ + 2);
  std::string table = TakeToken(&p_);
  if (table.empty()) {
    TraceMessage(kTag, 17, 0, -1, "Bad SQL statement - no table name following IN keyword");
    return false;
  }
  p_ = SkipWhite(p_);
  if (StartsWithNoCase(p_, "RESTRICT")) {
    p_ = SkipWhite(p_ + 8);
    if (ReadRestriction(table, raw->restrictions.get())) return true;
    TraceMessage(kTag, 18, 0, -1, "Bad SQL statement - could not interpret RESTRICT cluase");
    return false;
  }
  if (StartsWithNoCase(p_, "FILTER IS")) {
    p_ = SkipWhite(p_ + 9);
    return ReadFilter(table, raw->filters.get());
  }
  TraceMessage(kTag, 19, 0, -1,
               "Bad SQL statement - no 'RESTRICT' or 'FILTER IS' keywords following 'WHERE IN "
               "<tabname>");
  return false;
}

// IN table RESTRICT field TO (lower, upper). Each bound starts after the blanks that follow its
// opening bracket or comma and runs up to the comma or closing bracket; blanks before those
// stay part of it, and whether they are acceptable is for the bound's encoding to say.
bool StatementReader::ReadRestriction(const std::string& table, List* restrictions) {
  std::string field = TakeToken(&p_);
  if (field.empty()) {
    TraceMessage(kTag, 20, 0, -1, "Bad RESTRICT cluase - no field name following RESTRICT keyword");
    return false;
  }
  p_ = SkipWhite(p_);
  if (!StartsWithNoCase(p_, "TO")) {
    TraceMessage(kTag, 21, 0, -1,
                 "Bad RESTRICT clause - no TO keyword followung RESTRICT <fieldname>");
    return false;
  }
  p_ = SkipWhite(p_ + 2);
  if (*p_ != '(') {
    TraceMessage(kTag, 22, 0, -1,
                 "Bad RESTRICT clause - no opening bracket for range of field '%s'.",
                 field.c_str());
    return false;
  }
  const char* lower = SkipWhite(p_ + 1);
  const char* comma = StrNextCharMatch(lower, ',');
  if (comma == nullptr) {
    TraceMessage(kTag, 23, 0, -1,
                 "Bad RESTRICT clause - no comma after lower range value for field '%s'.",
                 field.c_str());
    return false;
  }
  const char* upper = SkipWhite(comma + 1);
  const char* close = StrNextCharMatch(upper, ')');
  if (close == nullptr) {
    TraceMessage(kTag, 24, 0, -1,
                 "Bad RESTRICT clause - no bracket after range values for field '%s'.",
                 field.c_str());
    return false;
  }
  Ref<RepSqlRestriction> r = RepSqlRestriction::New();
  const std::string lower_text(lower, static_cast<size_t>(comma - lower));
  const std::string upper_text(upper, static_cast<size_t>(close - upper));
  r->set_table(table.c_str());
  r->set_field(field.c_str());
  r->set_lower_text(lower_text.c_str());
  r->set_upper_text(upper_text.c_str());
  ListPushLastItemInternal(restrictions, std::move(r));
  p_ = close + 1;
  return true;
}

// IN table FILTER IS (filter text): the text runs to the bracket that closes the opening one.
// Only brackets are counted; quotes are not looked at, so a bracket inside a quoted constant
// counts too.
bool StatementReader::ReadFilter(const std::string& table, List* filters) {
  if (*p_ != '(') {
    TraceMessage(kTag, 25, 0, -1,
                 "Bad SQL statement - no opening bracket for filter for table '%s'.",
                 table.c_str());
    return false;
  }
  const char* q = p_ + 1;
  size_t depth = 1;
  for (; *q != '\0'; ++q) {
    if (*q == '(') {
      ++depth;
    } else if (*q == ')' && --depth == 0) {
      break;
    }
  }
  if (*q == '\0') {
    TraceMessage(kTag, 26, 0, -1,
                 "Bad SQL statement - no closing bracket for filter for table '%s'.",
                 table.c_str());
    return false;
  }
  const std::string text(p_, static_cast<size_t>(q + 1 - p_));
  Ref<RepSqlFilter> filter = RepSqlFilter::New();
  filter->set_table(table.c_str());
  filter->set_text(text.c_str());
  ListPushLastItemInternal(filters, std::move(filter));
  p_ = q + 1;
  return true;
}

}  // namespace

const char* RepSqlSelect::table_name(size_t index0) const noexcept {
  const List* list = tables();
  if (list == nullptr || index0 >= list->size()) return nullptr;
  return ObjGetString(list->at(index0));
}

int RepSQLTextToOpList(Ref<RepSqlOpList>* op_list, const char* text) noexcept {
  if (op_list == nullptr || text == nullptr) {
    TraceMessage(kTag, 35, 0, -1, "RepSQLTextToOpList() - bad params");
    if (op_list != nullptr) op_list->reset();
    return kRepSqlBadStatement;
  }
  op_list->reset();
  Ref<List> statements = ListNewFromPool();
  int results = 0;
  const char* p = text;
  for (;;) {
    p = SkipWhite(p);
    if (*p == '\0') break;
    if (*p == '%') {  // a comment line; one without a line end ends the text
      const char* eol = StrNextCharMatch(p, '\n');
      if (eol == nullptr) break;
      p = eol + 1;
      continue;
    }
    StatementReader reader(p);
    Ref<RepSqlSelect> statement = reader.Read();
    if (!statement) return kRepSqlBadStatement;
    p = reader.position();
    const bool is_result = StrCompareNoCase(statement->result_name(), kRepSqlResultName) == 0;
    ListPushLastItemInternal(statements.get(), std::move(statement));
    if (is_result && ++results > 1) {
      TraceMessage(kTag, 36, 0, -1,
                   "Bad SQL - more than one SELECT statement produces the table 'result'.");
      return kRepSqlDuplicateResult;
    }
  }
  Ref<RepSqlOpList> list = RepSqlOpList::New();
  list->set_statements(std::move(statements));
  TraceMessage(kTag, 37, 0, 3, "Converted SQL text to op list. %ld statements.",
               static_cast<long>(list->statements()->size()));
  *op_list = std::move(list);
  return kRepSqlOk;
}
