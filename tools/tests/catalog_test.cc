// The catalog on its own: the generator and the data grabbers, including the restriction
// push-down, without any process around them.

#include "catalog.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "catalog_test_util.h"
#include "kr/list.h"
#include "reports/fields.h"
#include "reports/reports.h"
#include "reports/restrictions.h"
#include "rows.h"
#include "testing.h"

namespace {

using kr_testing::TestHome;

constexpr int64_t kNow = 1796000000;  // 2026-11-29

int64_t QueryInt(const std::string& db, const char* sql) {
  sqlite3* h = nullptr;
  sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  int64_t v = -1;
  if (sqlite3_prepare_v2(h, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
    v = sqlite3_column_int64(st, 0);
  sqlite3_finalize(st);
  sqlite3_close(h);
  return v;
}

const RepProvidedTableDesc* Desc(const char* name) {
  for (const RepProvidedTableDesc* d = catalog::Tables(); d->name != nullptr; ++d) {
    if (std::string(d->name) == name) return d;
  }
  return nullptr;
}

// Every record the grabber gives for `fields` and `restrictions`.
std::vector<Ref<RepRecord>> Grab(const char* table, const RepFieldList* fields,
                                 List* restrictions) {
  const RepProvidedTableDesc* d = Desc(table);
  Ref<RepGrabberInitArgs> args = RepGrabberInitArgs::New();
  Ref<List> f;
  ListClone(&f, fields);
  args->set_fields(f);
  if (restrictions != nullptr) {
    Ref<List> r;
    ListClone(&r, restrictions);
    args->set_restrictions(r);
  }
  std::vector<Ref<RepRecord>> out;
  Ref<Obj> context;
  EXPECT_EQ(d->init(&context, args.get()), 1);
  for (;;) {
    Ref<RepRecord> rec = RepMakeBlankRecord(fields, kRepStateNormal);
    int rc = d->get_record(rec.get(), context.get(), args.get());
    if (rc != 1) {
      EXPECT_EQ(rc, 2);
      break;
    }
    out.push_back(rec);
  }
  d->finish(&context, args.get());
  return out;
}

Ref<List> Fields(const char* table, std::initializer_list<const char*> names) {
  Ref<List> all = ListNewFromPool();
  EXPECT_TRUE(RepLoadTableFields(table, all.get(), 0));
  Ref<List> out = ListNewFromPool();
  for (const char* n : names) {
    Ref<RepFieldDef> f;
    EXPECT_TRUE(RepFindFieldInList(&f, n, all.get())) << n;
    if (f) ListAddLastItem(out.get(), f.get());
  }
  return out;
}

class CatalogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    catalog_testing::CopyExampleFields(home_);
    db_ = home_.HomePath("catalog.db");
    catalog::GenerateOptions o;
    o.jobs = 3000;
    o.seed = 7;
    o.now = kNow;
    std::string error;
    ASSERT_EQ(catalog::Generate(db_, o, &error), 1) << error;
    ASSERT_EQ(catalog::Open(db_, &error), 1) << error;
  }
  void TearDown() override { catalog::Close(); }

  TestHome home_;
  std::string db_;
};

TEST_F(CatalogTest, GeneratorIsDeterministicAndSpreadOverNinetyDays) {
  const char* digest =
      "SELECT sum(jobid * 31 + size % 1000003 + files + starttime % 977 + length(client)) FROM "
      "jobs";
  const std::string other = home_.HomePath("other.db");
  catalog::GenerateOptions o;
  o.jobs = 3000;
  o.seed = 7;
  o.now = kNow;
  std::string error;
  ASSERT_EQ(catalog::Generate(other, o, &error), 1);
  EXPECT_EQ(QueryInt(db_, digest), QueryInt(other, digest));
  o.seed = 8;
  ASSERT_EQ(catalog::Generate(other, o, &error), 1);
  EXPECT_NE(QueryInt(db_, digest), QueryInt(other, digest));

  EXPECT_EQ(QueryInt(db_, "SELECT count(*) FROM jobs"), 3000);
  EXPECT_GE(QueryInt(db_, "SELECT min(starttime) FROM jobs"), kNow - 90 * 86400);
  EXPECT_LT(QueryInt(db_, "SELECT max(starttime) FROM jobs"), kNow);
  EXPECT_GT(QueryInt(db_, "SELECT count(*) FROM jobs WHERE status = 'Failed'"), 0);
  EXPECT_GT(QueryInt(db_, "SELECT count(*) FROM media WHERE expires IS NULL"), 0);
  EXPECT_GT(QueryInt(db_, "SELECT count(*) FROM clients WHERE quota IS NULL"), 0);
}

TEST_F(CatalogTest, GrabberFillsTypedValuesAndStates) {
  Ref<List> fields = Fields("media", {"mediaid", "label", "capacity", "expires", "pool"});
  auto records = Grab("media", fields.get(), nullptr);
  ASSERT_EQ(static_cast<int64_t>(records.size()), QueryInt(db_, "SELECT count(*) FROM media"));
  int never = 0;
  for (const auto& r : records) {
    EXPECT_EQ(r->value_at(0)->state(), kRepStateNormal);
    EXPECT_GT(ObjGetInt64(r->value_at(2)->value()), 0);
    const std::string pool = ObjGetString(r->value_at(4)->value());
    if (r->value_at(3)->state() == kRepStateNever) {
      ++never;
      EXPECT_EQ(pool, "Archive");
    } else {
      EXPECT_GT(ObjGetInteger(r->value_at(3)->value()), 0);
    }
  }
  EXPECT_EQ(never, QueryInt(db_, "SELECT count(*) FROM media WHERE expires IS NULL"));

  Ref<List> cf = Fields("clients", {"name", "quota", "schedule", "retention"});
  auto clients = Grab("clients", cf.get(), nullptr);
  ASSERT_FALSE(clients.empty());
  int unlimited = 0;
  for (const auto& r : clients) {
    if (r->value_at(1)->state() == kRepStateUnlimited) ++unlimited;
    EXPECT_NE(ObjCast<RepDaysInWeekValue>(r->value_at(2)->value()), nullptr);
    auto* ret = ObjCast<RepHdwmyCountValue>(r->value_at(3)->value());
    ASSERT_NE(ret, nullptr);
    EXPECT_GT(ret->count(), 0);
  }
  EXPECT_EQ(unlimited, QueryInt(db_, "SELECT count(*) FROM clients WHERE quota IS NULL"));

  // Rows written without records are the bytes of the records; a table with days in a week and
  // counts of hours to years is served by filling records.
  catalog_testing::ExpectWrittenAsFilled("jobs", catalog_testing::AllFields("jobs").get());
  catalog_testing::ExpectWrittenAsFilled("media", catalog_testing::AllFields("media").get());
  RepRecordWriter writer;
  EXPECT_FALSE(writer.Start(cf.get()));
}

// A restriction becomes a WHERE on the column, answered from its index (the job ids found
// there first, then the jobs read in their order), and the grabber gives exactly the jobs in
// range.
TEST_F(CatalogTest, RestrictionIsPushedIntoTheQuery) {
  Ref<List> fields = Fields("jobs", {"jobid", "starttime", "size"});
  Ref<List> restrictions = ListNewFromPool();
  Ref<RepSqlRestriction> r = RepSqlRestriction::New();
  r->set_table("jobs");
  r->set_field("starttime");
  r->set_lower_text(std::to_string(kNow - 9 * 86400).c_str());
  r->set_upper_text(std::to_string(kNow).c_str());
  ListAddLastItem(restrictions.get(), r.get());
  ASSERT_EQ(RepConvTextRestrictions(restrictions.get(), fields.get()), 1);

  const std::string sql = catalog::SelectFor("jobs", fields.get(), restrictions.get());
  EXPECT_EQ(sql,
            "SELECT \"jobid\", \"starttime\", \"size\" FROM \"jobs\" WHERE \"jobid\" IN "
            "(SELECT \"jobid\" FROM \"jobs\" WHERE \"starttime\" BETWEEN ?1 AND ?2) ORDER BY "
            "\"jobid\"");
  {
    // SQLite's own plan for the statement uses the start time index, and sorts nothing.
    sqlite3* h = nullptr;
    sqlite3_open_v2(db_.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(h, ("EXPLAIN QUERY PLAN " + sql).c_str(), -1, &st, nullptr),
              SQLITE_OK);
    std::string plan;
    while (sqlite3_step(st) == SQLITE_ROW)
      plan += reinterpret_cast<const char*>(sqlite3_column_text(st, 3));
    sqlite3_finalize(st);
    sqlite3_close(h);
    EXPECT_NE(plan.find("jobs_starttime"), std::string::npos) << plan;
    EXPECT_EQ(plan.find("TEMP B-TREE"), std::string::npos) << plan;
  }

  auto records = Grab("jobs", fields.get(), restrictions.get());
  const int64_t expected =
      QueryInt(db_, ("SELECT count(*) FROM jobs WHERE starttime BETWEEN " +
                     std::to_string(kNow - 9 * 86400) + " AND " + std::to_string(kNow))
                        .c_str());
  EXPECT_EQ(static_cast<int64_t>(records.size()), expected);
  EXPECT_LT(expected, 3000 / 5);
  for (const auto& rec : records) {
    EXPECT_GE(ObjGetInteger(rec->value_at(1)->value()), kNow - 9 * 86400);
  }

  // A restriction on a field the table does not have, or not yet converted, is not pushed.
  Ref<RepSqlRestriction> loose = RepSqlRestriction::New();
  loose->set_field("nosuchfield");
  Ref<List> other = ListNewFromPool();
  ListAddLastItem(other.get(), loose.get());
  EXPECT_EQ(catalog::SelectFor("jobs", fields.get(), other.get()),
            "SELECT \"jobid\", \"starttime\", \"size\" FROM \"jobs\" ORDER BY \"jobid\"");
}

// Times are broken down from a cached local midnight; across the changes of offset of a zone
// with daylight saving the answers stay localtime_r's.
TEST(CatalogLocalTime, AgreesWithTheCLibraryAcrossChangesOfOffset) {
  const char* old = std::getenv("TZ");
  const std::string saved = old != nullptr ? old : "";
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  catalog::ForgetLocalDay();
  for (int64_t t : {int64_t{1774648800}, int64_t{1792792800}}) {  // the days before each change
    for (int64_t s = t; s < t + 3 * 86400; s += 7 * 60 + 13) {
      std::tm fast{}, slow{};
      const std::time_t tt = static_cast<std::time_t>(s);
      ASSERT_TRUE(catalog::LocalTime(s, &fast));
      ASSERT_NE(localtime_r(&tt, &slow), nullptr);
      ASSERT_EQ(std::vector<int>({fast.tm_year, fast.tm_mon, fast.tm_mday, fast.tm_hour,
                                  fast.tm_min, fast.tm_sec, fast.tm_isdst}),
                std::vector<int>({slow.tm_year, slow.tm_mon, slow.tm_mday, slow.tm_hour,
                                  slow.tm_min, slow.tm_sec, slow.tm_isdst}))
          << s;
    }
  }
  if (old != nullptr) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
  catalog::ForgetLocalDay();
}

TEST(CatalogOpen, RefusesWhatIsNotACatalog) {
  TestHome home;
  catalog_testing::CopyExampleFields(home);
  std::string error;
  EXPECT_EQ(catalog::Open(home.HomePath("missing.db"), &error), 0);
  ASSERT_TRUE(kr_testing::WriteFile(home.HomePath("text.db"), "not a database\n"));
  EXPECT_EQ(catalog::Open(home.HomePath("text.db"), &error), 0);
  EXPECT_NE(error.find("not a catalog"), std::string::npos) << error;
}

}  // namespace
