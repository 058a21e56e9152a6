#include "reports/classes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "provider_test_util.h"
#include "reports/fields.h"
#include "testing.h"

using kr_testing::TestHome;
using kr_testing::TraceCapture;

namespace {

void WriteClass(const TestHome& home, const std::string& name, const std::string& text) {
  ASSERT_TRUE(kr_testing::WriteFile(home.ReportsPath("classes/" + name), text));
}

std::string Nice(const char* file, const char* text) {
  std::string nice;
  EXPECT_EQ(RepGetClassNiceName(&nice, file, text), 0);
  return nice;
}

Ref<List> FieldList(const std::vector<std::string>& names) {
  Ref<List> l = ListNewFromPool();
  for (const std::string& n : names) {
    ListPushLastItemInternal(l.get(), RepNewFieldDef(n.c_str(), kRepTypeInteger, 4));
  }
  return l;
}

std::vector<std::string> Names(const List* l) {
  std::vector<std::string> v;
  for (Obj* o : *l) v.push_back(ObjGetSlotString(o, 1));
  return v;
}

Ref<RepSqlOpList> Query(const char* text) {
  Ref<RepSqlOpList> ops;
  EXPECT_EQ(RepSQLTextToOpList(&ops, text), 0) << text;
  return ops;
}

// "table.field@position" for each item of the last statement.
std::vector<std::string> LastItems(const RepSqlOpList* ops) {
  std::vector<std::string> v;
  const RepSqlSelect* s = ObjCast<RepSqlSelect>(ListGetLastItem(ops->statements()));
  for (Obj* o : *s->fields()) {
    const RepSqlField* f = ObjCast<RepSqlField>(o);
    v.push_back(std::string(f->table()) + "." + f->field() + "@" + std::to_string(f->position()));
  }
  return v;
}

}  // namespace

TEST(ClassNiceName, NiceNameLineRules) {
  TestHome home;
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"SELECT a.x FROM a", "weekly"},
      {"%NICENAME = 'Weekly jobs'\nSELECT a.x FROM a", "Weekly jobs"},
      {"%nicename=\"It's \"\r\n", "It's "},
      {"%NICENAME=Weekly jobs\r\nSELECT a.x FROM a", "Weekly jobs"},
      {"%NICENAME\t=\tlast line", "last line"},
      // A quoted name without its closing quote runs to the line end, never onto the next line.
      {"%NICENAME = 'open\nSELECT 'x'", "open"},
      {" %NICENAME = x", "weekly"},  // only at the very start
  };
  for (const auto& [text, nice] : cases) EXPECT_EQ(Nice("weekly", text), nice) << text;
  EXPECT_EQ(Nice("weekly", nullptr), "weekly");
  {
    TraceCapture trace;
    EXPECT_EQ(Nice("weekly", "%NICENAME Weekly"), "weekly");
    EXPECT_TRUE(trace.Contains(
        "Missing equal sign after %NICENAME in class 'weekly'. Use real name as nice name.", -1));
    EXPECT_TRUE(trace.Contains("Class 'weekly' nicename 'weekly'"));
  }
  for (const char* text : {"%NICENAME =", "%NICENAME = ''", "%NICENAME=\n"}) {
    TraceCapture trace;
    EXPECT_EQ(Nice("weekly", text), "weekly") << text;
    EXPECT_TRUE(
        trace.Contains("Empty nice name for class 'weekly'. Use real name as nice name.", -1));
  }
  std::string out;
  EXPECT_EQ(RepGetClassNiceName(&out, nullptr, "x"), 1);
}

TEST(ClassList, ListsValidClassesByNiceNameAndFindsThem) {
  TestHome home;
  WriteClass(home, "zeta", "%NICENAME = 'A'\nSELECT a.x FROM a");
  WriteClass(home, "alpha", "SELECT a.x FROM a");  // nice name is the file name
  WriteClass(home, "bee", "%NICENAME = b\nSELECT a.x FROM a");
  WriteClass(home, "broken", "SELECT a.x FROM a, b");
  WriteClass(home, "notes", "");  // an empty text is a valid query with no statements
  ASSERT_TRUE(kr_testing::MakeDirs(home.ReportsPath("classes/subdir")));
  TraceCapture trace;
  Ref<List> classes;
  ASSERT_EQ(RepGetAvailClasses(&classes), 0);
  std::vector<std::string> nice;
  for (Obj* o : *classes) nice.push_back(ObjCast<RepClass>(o)->nice_name());
  EXPECT_EQ(nice, (std::vector<std::string>{"A", "alpha", "b", "notes"}));
  EXPECT_TRUE(trace.Contains(
      "Failed to convert text in class file 'broken' to SQL op list. Miss out class.", -1));
  EXPECT_TRUE(trace.Contains("Class file 'zeta' contains valid SQL. Include in class list"));

  Ref<RepClass> found;
  ASSERT_EQ(RepFindClassFromNiceName(&found, "B", classes.get()), 0);
  EXPECT_STREQ(found->file_name(), "bee");
  ASSERT_EQ(RepFindClassFromRealName(&found, "ZETA", classes.get()), 0);
  EXPECT_STREQ(found->nice_name(), "A");
  EXPECT_EQ(RepFindClassFromNiceName(&found, "zeta", classes.get()), 1);
  EXPECT_STREQ(found->file_name(), "zeta");  // left alone
  EXPECT_EQ(RepFindClassFromRealName(&found, "broken", classes.get()), 1);
  EXPECT_EQ(RepFindClassFromRealName(&found, nullptr, classes.get()), 1);
}

TEST(ClassList, MissingDirectoryFails) {
  TestHome home;
  kr_testing::RemoveTree(home.ReportsPath("classes"));
  TraceCapture trace;
  Ref<List> classes;
  EXPECT_EQ(RepGetAvailClasses(&classes), 1);
  EXPECT_FALSE(classes);
  EXPECT_TRUE(trace.Contains("Failed to scan classes directory.", -1));
}

TEST(ClassLoad, ByNiceNameAndByRealName) {
  TestHome home;
  WriteClass(home, "one", "%NICENAME = 'Weekly'\nSELECT a.x FROM a");
  WriteClass(home, "two", "%NICENAME = 'weekly'\nSELECT b.x FROM b");
  std::string text;
  std::string file;
  ASSERT_EQ(kr_internal::LoadClassTextByNiceName(&text, &file, "WEEKLY"), 0);
  EXPECT_EQ(file, "one");  // first in file-name order
  EXPECT_NE(text.find("a.x"), std::string::npos);
  {
    TraceCapture trace;
    EXPECT_EQ(kr_internal::LoadClassTextByNiceName(&text, &file, "Monthly"), 1);
    EXPECT_TRUE(trace.Contains("Failed to load class with nice name 'Monthly'", -1));
  }
  ASSERT_EQ(kr_internal::LoadClassTextByRealName(&text, "two"), 0);
  EXPECT_NE(text.find("b.x"), std::string::npos);
  TraceCapture trace;
  EXPECT_EQ(kr_internal::LoadClassTextByRealName(&text, "three"), 1);
  EXPECT_EQ(kr_internal::LoadClassTextByRealName(&text, "../classes/two"), 1);
  EXPECT_TRUE(trace.Contains("Failed to load contents of class '../classes/two'", -1));
}

TEST(ClassTrim, WildcardSelectBecomesTheWantedFieldsInOrder) {
  TestHome home;
  Ref<RepSqlOpList> ops = Query("SELECT a.x t FROM a\nSELECT * FROM t");
  Ref<List> wanted = FieldList({"size", "name"});
  ASSERT_EQ(RepTrimResultSelect(ops.get(), wanted.get()), 0);
  EXPECT_EQ(LastItems(ops.get()), (std::vector<std::string>{".size@1", ".name@2"}));
  // The first statement is untouched.
  const RepSqlSelect* first = ObjCast<RepSqlSelect>(ops->statements()->at(0));
  EXPECT_EQ(ObjCast<RepSqlField>(first->fields()->at(0))->position(), 0);
}

TEST(ClassTrim, KeepsWantedItemsDropsOthersAndAddsMissingOnes) {
  TestHome home;
  TraceCapture trace;
  Ref<RepSqlOpList> ops =
      Query("SELECT a.id, b.label, a.*, extra, b.ID FROM a, b WHERE a.bid = b.id");
  Ref<List> wanted = FieldList({"when", "id", "LABEL", "id"});
  ASSERT_EQ(RepTrimResultSelect(ops.get(), wanted.get()), 0);
  // Both items naming id stay, in their text order; the duplicate wanted name adds nothing.
  EXPECT_EQ(LastItems(ops.get()),
            (std::vector<std::string>{".when@1", "a.id@2", "b.ID@2", "b.label@3"}));
  EXPECT_TRUE(trace.Contains("Binning wildcard 'a:*'"));
  EXPECT_TRUE(trace.Contains("Binning 'extra' - user didn't want it"));
  EXPECT_TRUE(trace.Contains("Keeping 'label' - user wanted it."));
  EXPECT_TRUE(trace.Contains("Add 'when' to select list - user wants it."));
}

TEST(ClassTrim, RefusesAQueryWhoseLastStatementIsNotResult) {
  TestHome home;
  Ref<RepSqlOpList> ops = Query("SELECT * tmp FROM a");
  Ref<List> wanted = FieldList({"x"});
  TraceCapture trace;
  EXPECT_EQ(RepTrimResultSelect(ops.get(), wanted.get()), 1);
  EXPECT_TRUE(trace.Contains(
      "RepTrimResultSelect() - Could not find result table select op. Failing.", -1));
  EXPECT_EQ(LastItems(ops.get()), (std::vector<std::string>{"*.@0"}));
  Ref<RepSqlOpList> empty = Query("");
  EXPECT_EQ(RepTrimResultSelect(empty.get(), wanted.get()), 1);
  EXPECT_EQ(RepTrimResultSelect(nullptr, wanted.get()), 1);
}

TEST(ClassFieldsToTake, SelectedAndJoinFieldsInTableOrder) {
  TestHome home;
  Ref<RepSqlOpList> ops = Query(
      "SELECT a.name, size, c.* FROM a, b, c WHERE a.bid = b.id AND b.cid = c.id AND a.k = c.k");
  const RepSqlSelect* s = ObjCast<RepSqlSelect>(ops->statements()->at(0));
  Ref<List> a = FieldList({"k", "size", "other", "bid", "NAME"});
  Ref<List> b = FieldList({"id", "cid", "label", "size"});
  Ref<List> c = FieldList({"id", "k", "z"});
  Ref<List> take;
  ASSERT_EQ(kr_internal::ClassFieldsToTake(&take, s, 0, a.get(), nullptr, true), 0);
  // k is a join field through c's merge list, bid through b's; size is unqualified.
  EXPECT_EQ(Names(take.get()), (std::vector<std::string>{"k", "size", "bid", "NAME"}));
  ASSERT_EQ(kr_internal::ClassFieldsToTake(&take, s, 1, b.get(), a.get(), true), 0);
  EXPECT_EQ(Names(take.get()), (std::vector<std::string>{"id", "cid", "size"}));
  // Without records, fields already in the result are not taken again.
  ASSERT_EQ(kr_internal::ClassFieldsToTake(&take, s, 1, b.get(), a.get(), false), 0);
  EXPECT_EQ(Names(take.get()), (std::vector<std::string>{"id", "cid"}));
  ASSERT_EQ(kr_internal::ClassFieldsToTake(&take, s, 2, c.get(), nullptr, true), 0);
  EXPECT_EQ(Names(take.get()), (std::vector<std::string>{"id", "k", "z"}));
  EXPECT_EQ(kr_internal::ClassFieldsToTake(&take, s, 3, c.get(), nullptr, true), 1);

  Ref<RepSqlOpList> star = Query("SELECT * FROM a");
  ASSERT_EQ(kr_internal::ClassFieldsToTake(&take, ObjCast<RepSqlSelect>(star->statements()->at(0)),
                                           0, a.get(), nullptr, true),
            0);
  EXPECT_EQ(take->size(), 5u);
}

// --- running a class's query against a provider -------------------------------------------------

namespace {

class ClassTables : public ::testing::Test, public kr_testing::ProviderFixture {
 protected:
  void SetUp() override { ASSERT_TRUE(Ready()); }

  // The class's table with records for the wanted fields.
  int Run(Ref<RepTable>* table, const char* text, const std::vector<std::string>& wanted) {
    return kr_internal::RunClassQuery(table, "test", text, 1, FieldList(wanted).get(), nullptr,
                                      nullptr);
  }
  static std::vector<std::string> Column(const RepTable* t, size_t index0) {
    std::vector<std::string> v;
    for (Obj* r : *t->records()) {
      const Obj* value = ObjCast<RepRecord>(r)->value_at(index0)->value();
      v.push_back(ObjCheckTypeInternal(value, kObjStringType) == 1
                      ? std::string(ObjGetString(value))
                      : std::to_string(ObjGetInteger(value)));
    }
    return v;
  }
};

}  // namespace

TEST_F(ClassTables, FieldsOnlyRunsAskForFieldsAndFetchNoRecords) {
  Class(
      "jobowners",
      "%NICENAME = 'Job owners'\n"
      "SELECT jobs.id, jobs.name, owners.city FROM jobs, owners WHERE jobs.owner = owners.owner\n");
  TraceCapture trace;
  Ref<RepTable> table;
  ASSERT_EQ(RepGetClassFields(&table, "job OWNERS"), 0) << trace.Dump();
  EXPECT_STREQ(table->name(), "result");
  EXPECT_EQ(table->records(), nullptr);
  EXPECT_EQ(Names(table->fields()), (std::vector<std::string>{"id", "name", "owner", "city"}));
  EXPECT_EQ(kr_testing::g_table_requests, 0);
  EXPECT_TRUE(trace.Contains("Got fields for class 'job OWNERS' OK"));
  ASSERT_EQ(RepGetClassFieldsRealName(&table, "jobowners"), 0);
  EXPECT_TRUE(trace.Contains("Got fields for real name class 'jobowners' OK"));
}

TEST_F(ClassTables, WithRecordsTheFinalStatementGivesTheWantedFieldsInOrder) {
  Ref<RepTable> table;
  const char* join =
      "SELECT * FROM jobs, owners WHERE jobs.owner = owners.owner AND IN jobs FILTER IS (%id > 1 "
      "AND %id < 6)\n";
  ASSERT_EQ(Run(&table, join, {"city", "id"}), 0);
  // The join field comes along, after every wanted field.
  EXPECT_EQ(Names(table->fields()), (std::vector<std::string>{"city", "id", "owner"}));
  EXPECT_EQ(Column(table.get(), 0), (std::vector<std::string>{"Rome", "Oslo", "Lima", "Rome"}));
  EXPECT_EQ(Column(table.get(), 1), (std::vector<std::string>{"2", "3", "4", "5"}));
  // Filters are applied by the provider.
  ASSERT_EQ(Run(&table, "SELECT jobs.id FROM jobs WHERE IN jobs FILTER IS (%size = 7)\n", {"id"}),
            0);
  EXPECT_EQ(Column(table.get(), 0), (std::vector<std::string>{"7", "17", "27"}));
}

TEST_F(ClassTables, EarlierResultsServeLaterStatementsWithoutAProvider) {
  const char* local =
      "SELECT jobs.id, jobs.size big FROM jobs WHERE IN jobs FILTER IS (%id < 13)\n"
      "SELECT big.id FROM big WHERE IN big FILTER IS (%size > 7)\n";
  TraceCapture trace;
  Ref<RepTable> table;
  ASSERT_EQ(Run(&table, local, {"id"}), 0) << trace.Dump();
  EXPECT_EQ(Column(table.get(), 0), (std::vector<std::string>{"8", "9"}));
  EXPECT_EQ(kr_testing::g_table_requests, 1);  // jobs only
  EXPECT_TRUE(trace.Contains("Table 'big' is a local table. Has all needed fields so use it."));
  EXPECT_TRUE(trace.Contains("Done filtering of local table. 2 records left"));
}

TEST_F(ClassTables, RunsThatFail) {
  struct Case {
    const char* text;
    std::vector<std::string> wanted;
    const char* message;
  };
  const Case cases[] = {
      {"SELECT jobs.id big FROM jobs\nSELECT big.name FROM big\n",
       {"name"},
       "Failed to make result table from table 'big' for class 'test'."},
      {"SELECT media.id FROM media\n",
       {"id"},
       "Failed to get process for table 'media'. Table not registered."},
      {"SELECT jobs.id other FROM jobs\n",
       {"id"},
       "Get fields op for class 'test' failed becuase last table is not result table"},
      {"",
       {"id"},
       "Get fields op for class 'test' failed because no tables resulted from SQL query"},
      {"SELECT jobs.id FROM jobs WHERE IN jobs FILTER IS (%nosuch = 1)\n",
       {"id"},
       "Failed to get table 'jobs' with records from proc 'Table Provider' on machine 'alpha'"},
      {"DELETE jobs.id FROM jobs\n", {"id"}, "Failed to convert SQL text to op list for class"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TraceCapture trace;
    Ref<RepTable> table;
    EXPECT_NE(Run(&table, c.text, c.wanted), 0);
    EXPECT_FALSE(table);
    EXPECT_TRUE(trace.Contains(c.message, -1)) << trace.Dump();
  }
  // A local result that cannot serve is not replaced by a provider's table.
  TraceCapture trace;
  Ref<RepTable> table;
  EXPECT_NE(Run(&table, "SELECT jobs.id big FROM jobs\nSELECT big.name FROM big\n", {"name"}), 0);
  EXPECT_FALSE(trace.Contains("Table 'big' is NOT available locally"));
}
