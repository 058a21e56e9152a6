// Mapping files: every kind of mistake is refused with a message naming the file, the line and
// the table; the shipped example mapping is the built-in one; a schema of another shape is read
// through its mapping (a query, an expression, a value map, NULL states, values that do not fit).

#include "mapping.h"

#include <gtest/gtest.h>

#include "catalog.h"
#include "catalog_test_util.h"
#include "reports/reports.h"
#include "source.h"
#include "testing.h"

namespace {

using namespace catalog_testing;

class MappingTest : public ::testing::Test {
 protected:
  void SetUp() override { CopyExampleFields(home_); }
  void TearDown() override { catalog::Close(); }
  kr_testing::TestHome home_;
};

TEST_F(MappingTest, ExampleFileIsTheBuiltInMapping) {
  auto text = kr_testing::ReadFile(std::string(KR_SOURCE_DIR) + "/examples/config/catalog.map");
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text, catalog::BuiltinMappingText());
  catalog::Mapping m;
  std::string error;
  ASSERT_EQ(catalog::ParseMapping(*text, "catalog.map", &m, &error), 1) << error;
  ASSERT_EQ(m.tables.size(), 4u);
  EXPECT_TRUE(m.tables[0].serialized);
  EXPECT_EQ(m.tables[1].fields.back().null_state, kRepStateNever);
}

TEST_F(MappingTest, EachMistakeIsNamedWithFileLineAndTable) {
  const struct {
    const char* text;
    const char* message;
  } kCases[] = {
      {"[jobs]\ntable = jobs\nfield jobid\n", "m.map:3: expected 'key = value'"},
      {"[jobs\n", "m.map:1: a table title needs a closing ']'"},
      {"table = jobs\n", "m.map:1: 'table = jobs' stands before the first [table] title"},
      {"[jobs]\ntable = jobs\nfield jobid = jobid\nfrom = x\n",
       "m.map:4: table 'jobs': unknown key 'from'"},
      {"[jobs]\nfield jobid = jobid\n", "m.map:1: table 'jobs': give either table = NAME or"},
      {"[jobs]\ntable = jobs\nquery = \"SELECT 1\"\nfield jobid = jobid\n", "not both"},
      {"[jobs]\ntable = jobs\nfield jobide = jobid\n",
       "m.map:3: table 'jobs': 'jobide' is not a field of the table"},
      {"[jobs]\ntable = jobs\nfield jobid = a\nfield JOBID = b\n",
       "m.map:4: table 'jobs': field 'jobid' is mapped twice (first on line 3)"},
      {"[jobs]\ntable = jobs\nfield size = size, null: Normal\n",
       "m.map:3: table 'jobs': field 'size': null: 'Normal' is not a value state"},
      {"[jobs]\ntable = jobs\nfield client = client, timestamp\n",
       "m.map:3: table 'jobs': field 'client': timestamp needs a systime, date or time field"},
      {"[jobs]\ntable = jobs\nfield size = size, map: 1=2\n", "field 'size': map: needs a string"},
      {"[jobs]\ntable = jobs\nfield status = status, map: O\n",
       "m.map:3: table 'jobs': field 'status': map entry 'O' needs the form stored=served"},
      {"[jobs]\ntable = jobs\nfield size = size, nul: Never\n", "unknown option 'nul: Never'"},
      {"[jobs]\ntable = jobs\nfield size =\n", "m.map:3: table 'jobs': field 'size' names no"},
      {"[jobs]\ntable = jobs\nindex = size\nfield jobid = jobid\n",
       "m.map:1: table 'jobs': index 'size' is not a mapped field"},
      {"[jobs]\ntable = jobs\nserialized = maybe\nfield jobid = jobid\n",
       "m.map:3: table 'jobs': serialized = 'maybe' is not TRUE or FALSE"},
      {"\n[nosuch]\ntable = x\n", "m.map:2: table 'nosuch': the reports directory has no fields"},
      {"[jobs]\ntable = jobs\nfield jobid = jobid\n[JOBS]\ntable = jobs\nfield jobid = jobid\n",
       "m.map:4: table 'jobs': is mapped twice (first on line 1)"},
      {"# nothing\n", "m.map: maps no table"},
  };
  for (const auto& c : kCases) {
    catalog::Mapping m;
    std::string error;
    EXPECT_EQ(catalog::ParseMapping(c.text, "m.map", &m, &error), 0) << c.text;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.text << "\ngave: " << error;
  }
}

// Sources and columns are checked against the database when it is opened.
TEST_F(MappingTest, SourcesAndColumnsAreCheckedAgainstTheDatabase) {
  const std::string db = home_.HomePath("catalog.db");
  catalog::GenerateOptions o;
  o.jobs = 10;
  std::string error;
  ASSERT_EQ(catalog::Generate(db, o, &error), 1) << error;
  const struct {
    const char* text;
    const char* message;
  } kCases[] = {
      {"[jobs]\ntable = job\nfield jobid = jobid\n",
       "m.map:1: table 'jobs': the catalog cannot read its source: no such table: job"},
      {"[jobs]\ntable = jobs\nfield jobid = jobid\nfield size = sise\n",
       "m.map:4: table 'jobs': field 'size': no such column: sise"},
      {"[jobs]\nquery = \"SELECT jobid FROM jobs\"\nfield jobid = sql: jobid +\n",
       "m.map:3: table 'jobs': field 'jobid': "},
  };
  for (const auto& c : kCases) {
    const std::string path = home_.HomePath("m.map");
    ASSERT_TRUE(kr_testing::WriteFile(path, c.text));
    EXPECT_EQ(catalog::Open(db, path, &error), 0) << c.text;
    EXPECT_NE(error.find(path + (c.message + 5)), std::string::npos) << error;
  }
  EXPECT_EQ(catalog::Open(db, home_.HomePath("missing.map"), &error), 0);
  EXPECT_NE(error.find("cannot read mapping file"), std::string::npos) << error;
}

TEST_F(MappingTest, AnotherSchemaIsReadThroughItsMapping) {
  const std::string db = home_.HomePath("other.db");
  std::string error;
  {
    auto w = catalog::CreateSqliteWriter(db, &error);
    ASSERT_TRUE(w) << error;
    ASSERT_TRUE(
        w->Exec("CREATE TABLE job_history (id INTEGER, who TEXT, st TEXT, bytes INTEGER,"
                " started TEXT, secs INTEGER)",
                &error))
        << error;
    using catalog::Cell;
    ASSERT_TRUE(w->Begin("job_history", 6, &error));
    ASSERT_TRUE(w->Row({Cell::Int(1), Cell::Text("vega"), Cell::Text("O"), Cell::Int(10),
                        Cell::Text("2026-11-01 10:00:00"), Cell::Int(60)},
                       &error));
    ASSERT_TRUE(w->Row({Cell::Int(2), Cell::Null(), Cell::Text("Z"), Cell::Null(), Cell::Null(),
                        Cell::Int(int64_t{1} << 40)},
                       &error));
    ASSERT_TRUE(w->End(&error));
  }
  const std::string map = home_.HomePath("other.map");
  ASSERT_TRUE(kr_testing::WriteFile(map, R"([jobs]
query = "SELECT id, upper(who) AS client, st, bytes, started, secs FROM job_history"
index = jobid
field jobid = id
field client = client, null: N/A
field status = st, map: O=OK; F=Failed
field size = "sql: bytes * 2", null: Unlimited
field starttime = started, timestamp
field duration = secs
)"));
  ASSERT_EQ(catalog::Open(db, map, &error), 1) << error;
  Ref<List> fields = AllFields("jobs");
  auto records = Grab("jobs", fields.get(), nullptr);
  ASSERT_EQ(records.size(), 2u);
  auto field = [&](const char* name) {
    for (size_t i = 0; i < fields->size(); ++i) {
      if (std::string(ObjCast<RepFieldDef>(fields->at(i))->name()) == name) return i;
    }
    return size_t{0};
  };
  const RepRecord* a = records[0].get();
  const RepRecord* b = records[1].get();
  EXPECT_STREQ(ObjGetString(a->value_at(field("client"))->value()), "VEGA");
  EXPECT_STREQ(ObjGetString(a->value_at(field("status"))->value()), "OK");
  EXPECT_EQ(ObjGetInt64(a->value_at(field("size"))->value()), 20);
  EXPECT_EQ(ObjGetInteger(a->value_at(field("starttime"))->value()), 1793527200);  // UTC
  EXPECT_EQ(a->value_at(field("level"))->state(), kRepStateUnknown);               // not mapped
  EXPECT_EQ(b->value_at(field("client"))->state(), kRepStateNA);
  EXPECT_EQ(b->value_at(field("status"))->state(), kRepStateUnknown);  // not in the map
  EXPECT_EQ(b->value_at(field("size"))->state(), kRepStateUnlimited);
  EXPECT_EQ(b->value_at(field("starttime"))->state(), kRepStateUnknown);
  EXPECT_EQ(b->value_at(field("duration"))->state(), kRepStateUnknown);  // beyond 32 bits
  catalog_testing::ExpectWrittenAsFilled("jobs", fields.get());
}

}  // namespace
