#include "reports/sql.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing.h"

using kr_testing::TestHome;
using kr_testing::TraceCapture;

namespace {

struct Parsed {
  int rc;
  Ref<RepSqlOpList> ops;
  RepSqlSelect* statement(size_t i) const {
    return ObjCast<RepSqlSelect>(ListGetNthItem(ops->statements(), i + 1));
  }
};

Parsed Parse(const std::string& text) {
  Parsed p;
  p.rc = RepSQLTextToOpList(&p.ops, text.c_str());
  return p;
}

// "table.field" for each select item.
std::vector<std::string> Items(const RepSqlSelect* s) {
  std::vector<std::string> v;
  for (Obj* o : *s->fields()) {
    const RepSqlField* f = ObjCast<RepSqlField>(o);
    v.push_back(std::string(f->table()) + "." + f->field());
  }
  return v;
}

std::vector<std::string> Tables(const RepSqlSelect* s) {
  std::vector<std::string> v;
  for (Obj* o : *s->tables()) v.push_back(ObjGetString(o));
  return v;
}

// "t1.f1=t2.f2" for each clause of merge list i.
std::vector<std::string> Merges(const RepSqlSelect* s, size_t i) {
  std::vector<std::string> v;
  for (Obj* o : *ObjCast<List>(s->merges()->at(i))) {
    const RepSqlMerge* m = ObjCast<RepSqlMerge>(o);
    v.push_back(std::string(m->first_table()) + "." + m->first_field() + "=" + m->second_table() +
                "." + m->second_field());
  }
  return v;
}

const List* Restrictions(const RepSqlSelect* s, size_t table) {
  return ObjCast<List>(s->restrictions()->at(table));
}

const RepSqlFilter* Filter(const RepSqlSelect* s, size_t table) {
  return ObjCast<RepSqlFilter>(s->filters()->at(table));
}

// Expects the text to be refused with `rc`, tracing `message` at error level.
void ExpectRefused(const std::string& text, const std::string& message, int rc = 1) {
  TraceCapture trace;
  Parsed p = Parse(text);
  EXPECT_EQ(p.rc, rc) << text;
  EXPECT_FALSE(p.ops) << text;
  EXPECT_TRUE(trace.Contains(message, -1)) << text << "\n" << trace.Dump();
}

}  // namespace

// --- accepted texts -----------------------------------------------------------------------------

TEST(SqlParse, JoinOfTwoTables) {
  TestHome home;
  Parsed p = Parse("SELECT a.id, b.label FROM a, b WHERE a.bid = b.id");
  ASSERT_EQ(p.rc, 0);
  ASSERT_EQ(ListGetItemCount(p.ops->statements()), 1u);
  const RepSqlSelect* s = p.statement(0);
  EXPECT_EQ(Items(s), (std::vector<std::string>{"a.id", "b.label"}));
  EXPECT_EQ(Tables(s), (std::vector<std::string>{"a", "b"}));
  ASSERT_EQ(s->merges()->size(), 1u);
  EXPECT_EQ(Merges(s, 0), (std::vector<std::string>{"a.bid=b.id"}));
  ASSERT_EQ(s->filters()->size(), 2u);
  EXPECT_STREQ(Filter(s, 0)->text(), "");
  EXPECT_STREQ(Filter(s, 1)->table(), "b");
  ASSERT_EQ(s->restrictions()->size(), 2u);
  EXPECT_TRUE(Restrictions(s, 0)->empty());
  EXPECT_TRUE(Restrictions(s, 1)->empty());
  EXPECT_STREQ(s->result_name(), "result");
  EXPECT_EQ(ObjCast<RepSqlField>(s->fields()->at(0))->position(), 0);
}

TEST(SqlParse, MergeClausesAreTurnedIntoFromOrderAndGoToTheLaterTable) {
  TestHome home;
  Parsed p = Parse("SELECT a.id FROM a, b WHERE b.id = a.bid");
  ASSERT_EQ(p.rc, 0);
  EXPECT_EQ(Merges(p.statement(0), 0), (std::vector<std::string>{"a.bid=b.id"}));

  // Three tables, clauses in any order and case; c joins to both a and b.
  p = Parse("select a.x from A, B, C where c.k=b.k and b.j = a.j AND a.m =c.m");
  ASSERT_EQ(p.rc, 0);
  const RepSqlSelect* s = p.statement(0);
  ASSERT_EQ(s->merges()->size(), 2u);
  EXPECT_EQ(Merges(s, 0), (std::vector<std::string>{"a.j=b.j"}));
  EXPECT_EQ(Merges(s, 1), (std::vector<std::string>{"b.k=c.k", "a.m=c.m"}));

  // A clause naming a later table on both sides goes to that table's list as written.
  p = Parse("SELECT a.x FROM a, b WHERE b.x = B.y");
  ASSERT_EQ(p.rc, 0);
  EXPECT_EQ(Merges(p.statement(0), 0), (std::vector<std::string>{"b.x=B.y"}));
}

TEST(SqlParse, SelectListForms) {
  TestHome home;
  Parsed p = Parse("SELECTED a.x FROM a");  // only SEL is checked
  ASSERT_EQ(p.rc, 0);
  EXPECT_EQ(Items(p.statement(0)), (std::vector<std::string>{"a.x"}));

  p = Parse("SELECT * FROM a");
  ASSERT_EQ(p.rc, 0);
  EXPECT_EQ(Items(p.statement(0)), (std::vector<std::string>{"*."}));

  p = Parse("SELECT a.*, name ,b.y\tFROM a, b WHERE a.k = b.k");
  ASSERT_EQ(p.rc, 0);
  EXPECT_EQ(Items(p.statement(0)), (std::vector<std::string>{"a.*", ".name", "b.y"}));

  p = Parse("SELECT a.name\nFROM a");  // a qualified item may end the line
  ASSERT_EQ(p.rc, 0);
  p = Parse("SELECT\n\ta.x,\n\ta.y\nFROM\na");
  ASSERT_EQ(p.rc, 0);
  EXPECT_EQ(Items(p.statement(0)), (std::vector<std::string>{"a.x", "a.y"}));
}

TEST(SqlParse, ResultNamesAndStatementsReadingEarlierResults) {
  TestHome home;
  Parsed p = Parse("SELECT a.x tmp FROM a\nSELECT tmp.x FROM tmp");
  ASSERT_EQ(p.rc, 0);
  ASSERT_EQ(ListGetItemCount(p.ops->statements()), 2u);
  EXPECT_STREQ(p.statement(0)->result_name(), "tmp");
  EXPECT_STREQ(p.statement(1)->result_name(), "result");
  EXPECT_EQ(Tables(p.statement(1)), (std::vector<std::string>{"tmp"}));
}

TEST(SqlParse, RestrictionsAndFilters) {
  TestHome home;
  Parsed p = Parse("SELECT a.x FROM a WHERE IN a RESTRICT x TO (1, 5) AND IN a FILTER IS (%y = 2)");
  ASSERT_EQ(p.rc, 0);
  const RepSqlSelect* s = p.statement(0);
  ASSERT_EQ(Restrictions(s, 0)->size(), 1u);
  const RepSqlRestriction* r = ObjCast<RepSqlRestriction>(Restrictions(s, 0)->at(0));
  ASSERT_NE(r, nullptr);
  EXPECT_STREQ(r->table(), "a");
  EXPECT_STREQ(r->field(), "x");
  EXPECT_STREQ(r->lower_text(), "1");
  EXPECT_STREQ(r->upper_text(), "5");
  EXPECT_EQ(r->lower(), nullptr);
  EXPECT_STREQ(Filter(s, 0)->text(), "(%y = 2)");

  // Blanks before the comma and bracket stay in the bounds; the IN clause needs no blank after
  // IN; nested brackets are counted, quotes are not; only the first filter of a table counts,
  // and filters of tables not in the statement are dropped.
  p = Parse(
      "SELECT a.x, b.y FROM a, b WHERE inb restrict Y to(  lo  ,hi ) AND a.k=b.k "
      "AND IN b FILTER IS ((%y = 1) OR (%z = \"a(b)\")) AND IN b FILTER IS (%q = 1) "
      "AND IN zz FILTER IS (%q = 2) AND IN a RESTRICT y TO (1,2)");
  ASSERT_EQ(p.rc, 0);
  s = p.statement(0);
  ASSERT_EQ(Restrictions(s, 1)->size(), 1u);
  const RepSqlRestriction* rb = ObjCast<RepSqlRestriction>(Restrictions(s, 1)->at(0));
  EXPECT_STREQ(rb->lower_text(), "lo  ");
  EXPECT_STREQ(rb->upper_text(), "hi ");
  ASSERT_EQ(Restrictions(s, 0)->size(), 1u);  // a restriction on y of a is not one on b
  EXPECT_STREQ(Filter(s, 1)->text(), "((%y = 1) OR (%z = \"a(b)\"))");
  EXPECT_STREQ(Filter(s, 0)->text(), "");
  EXPECT_EQ(s->filters()->size(), 2u);
}

TEST(SqlParse, CommentsAndEmptyTexts) {
  TestHome home;
  for (const char* text :
       {"", "  \n\t", "% only a comment", "%NICENAME='x'", "% one\n%two\n   % three"}) {
    Parsed p = Parse(text);
    ASSERT_EQ(p.rc, 0) << text;
    EXPECT_EQ(ListGetItemCount(p.ops->statements()), 0u) << text;
  }
  Parsed p = Parse("%NICENAME= Weekly jobs\r\n% built by hand\nSELECT a.x FROM a\n% trailing");
  ASSERT_EQ(p.rc, 0);
  EXPECT_EQ(ListGetItemCount(p.ops->statements()), 1u);
}

// --- refused texts ------------------------------------------------------------------------------

TEST(SqlRefused, EveryMalformedTextWithItsMessage) {
  TestHome home;
  const std::string w = "SELECT a.x FROM a, b WHERE ";
  const std::string in = "SELECT a.x FROM a WHERE IN ";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"SELECT * FROM a, b", "no WHERE keyword."},
      {"SELECT * FROM a, b", "Invalid SQL Statement - invalid number of merge fields"},
      {"SEL", "Invalid SQL statement - no fields specified."},
      {"SE a.x FROM a", "Invalid SQL statement - no SELECT keyword."},
      {"SELECT a.x FROM a garbage", "Invalid SQL statement - no SELECT keyword."},
      {"SELECT a.x tmp other FROM a", "Invalid SQL statement - no FROM keyword."},
      {"SELECT a.x FROM a, ", "Invalid SQL statement - no tables givem."},
      // An unqualified item needs a comma or a blank after it, and `*` a blank.
      {"SELECT name\nFROM a", "Bad field name in SQL select statement field list"},
      {"SELECT *\nFROM a", "Bad field name in SQL select statement field list"},
      {"SELECT .x FROM a", "Bad field name in SQL select statement field list"},
      // After a comma, FROM is read as an unqualified item and the real FROM is missing.
      {"SELECT a.x, FROM a", "Invalid SQL statement - no FROM keyword."},
      {"SELECT a. FROM a", "select field error - table name 'a' has no field specified"},
      {w + "a.k = b", "Bad SQL statement - could not interpret table merge clause."},
      {w + "a .k = b.k", "Bad SQL statement - could not interpret table merge clause."},
      {w + "a.k = b.k AND", "Bad SQL statement - Failed to get clauses for WHERE statement"},
      {w, "Invalid SQL statement - could not interpret WHERE statement."},
      // A merge clause on a table whose name begins with "in" reads as an IN clause.
      {"SELECT a.x FROM a, inv WHERE inv.x = a.y",
       "no 'RESTRICT' or 'FILTER IS' keywords following 'WHERE IN <tabname>"},
      {w + "a.k = c.k", "Invalid table names in WHERE statament"},
      {w + "a.k = a.j", "Unexpected list item count"},
      {"SELECT a.x FROM a, b, c WHERE a.k = b.k", "not got merge fields for all tables."},
      {"SELECT a.x FROM a, b, c WHERE a.k = b.k", "Could not convert un-processed merge fields"},
      {in, "Bad SQL statement - no table name following IN keyword"},
      {in + "a RESTRICT (1, 2)", "Bad RESTRICT cluase - no field name following RESTRICT"},
      {in + "a RESTRICT x (1, 2)", "no TO keyword followung RESTRICT <fieldname>"},
      {in + "a RESTRICT x TO 1, 2", "no opening bracket for range of field 'x'."},
      {in + "a RESTRICT x TO (1)", "no comma after lower range value for field 'x'."},
      {in + "a RESTRICT x TO (1, 2", "no bracket after range values for field 'x'."},
      {in + "a RESTRICT x TO (1, 2", "Bad SQL statement - could not interpret RESTRICT cluase"},
      {in + "b RESTRICT x TO (1, 2)", "restriction refers to table not in its select statement."},
      {in + "a RESTRICT x TO (1, 2) AND IN A RESTRICT X TO (3, 4)",
       "Bad SQL statement - multiple restrictions field 'X' in table 'A'."},
      {in + "a RESTRICT x TO (1, 2) AND IN A RESTRICT X TO (3, 4)",
       "Failed to process restriction list"},
      {in + "a FILTER  IS (%x = 1)", "no 'RESTRICT' or 'FILTER IS' keywords"},  // one blank only
      {in + "a FILTER IS %x = 1", "no opening bracket for filter for table 'a'."},
      {in + "a FILTER IS ((%x = 1)", "no closing bracket for filter for table 'a'."},
      // Quotes are not looked at: the quoted bracket closes the filter; the rest is no clause.
      {in + "a FILTER IS (%z = \")\")", "Invalid SQL statement - no SELECT keyword."},
  };
  for (const auto& [text, message] : cases) ExpectRefused(text, message);
  ExpectRefused("SELECT a.x FROM a\nSELECT b.y FROM b", "more than one SELECT statement", 3);
  ExpectRefused("SELECT a.x Result FROM a\nSELECT b.y FROM b", "more than one SELECT", 3);
  Ref<RepSqlOpList> ops = RepSqlOpList::New();
  EXPECT_EQ(RepSQLTextToOpList(&ops, nullptr), 1);
  EXPECT_FALSE(ops);
}
