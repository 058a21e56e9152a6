// Shared by the catalog tests: a catalog of awkward rows (every value state, texts that differ
// only in case or accents, quotes, '%', '_', SQL-looking texts, numbers beyond 32 bits), the
// mapping that serves it, random filters over it, and a grabber run as the provider runs it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "catalog.h"
#include "kr/list.h"
#include "reports/fields.h"
#include "reports/filter.h"
#include "reports/reports.h"
#include "reports/serializedrecords.h"
#include "reports/sql.h"
#include "source.h"
#include "testing.h"

namespace catalog_testing {

// The example fields files in the home's reports directory.
inline void CopyExampleFields(const kr_testing::TestHome& home) {
  for (const char* table : {"jobs", "media", "clients", "devices"}) {
    auto text = kr_testing::ReadFile(std::string(KR_SOURCE_DIR) + "/examples/reports/fields/" +
                                     table + "fields");
    ASSERT_TRUE(text.has_value()) << table;
    ASSERT_TRUE(
        kr_testing::WriteFile(home.ReportsPath(std::string("fields/") + table + "fields"), *text));
  }
}

inline Ref<List> AllFields(const char* table) {
  Ref<List> all = ListNewFromPool();
  EXPECT_TRUE(RepLoadTableFields(table, all.get(), 0)) << table;
  return all;
}

inline const RepProvidedTableDesc* Desc(const char* name) {
  for (const RepProvidedTableDesc* d = catalog::Tables(); d->name != nullptr; ++d) {
    if (std::string(d->name) == name) return d;
  }
  return nullptr;
}

// Every record the grabber gives, as the provider asks for them: with `filter` (a tree built
// over `fields`, or null) as the request's filter, so the catalog may push it into its SELECT.
// *failed is set when the grabber fails.
inline std::vector<Ref<RepRecord>> Grab(const char* table, const RepFieldList* fields,
                                        List* restrictions, const char* filter_text = nullptr,
                                        const Tree* filter = nullptr, bool* failed = nullptr) {
  const RepProvidedTableDesc* d = Desc(table);
  std::vector<Ref<RepRecord>> out;
  if (d == nullptr) {
    ADD_FAILURE() << "no table " << table;
    return out;
  }
  Ref<RepGrabberInitArgs> args = RepGrabberInitArgs::New();
  Ref<List> f;
  ListClone(&f, fields);
  args->set_fields(f);
  if (restrictions != nullptr) args->set_restrictions(Ref<List>::Share(restrictions));
  Ref<RepGetTableArgs> request = RepGetTableArgs::New();
  if (filter != nullptr) {
    Ref<RepSqlFilter> sql_filter = RepSqlFilter::New();
    sql_filter->set_text(filter_text);
    sql_filter->set_tree(Ref<Obj>::Share(const_cast<Tree*>(filter)));
    request->set_filter(sql_filter);
  }
  catalog::RequestScope scope(request.get());
  Ref<Obj> context;
  if (d->init(&context, args.get()) != 1) {
    if (failed != nullptr) *failed = true;
    return out;
  }
  for (;;) {
    Ref<RepRecord> rec = RepMakeBlankRecord(fields, kRepStateNormal);
    const int rc = d->get_record(rec.get(), context.get(), args.get());
    if (rc != 1) {
      if (rc != 2 && failed != nullptr) *failed = true;
      break;
    }
    out.push_back(rec);
  }
  d->finish(&context, args.get());
  return out;
}

// The catalog writes its rows without records, for the producer, as exactly the bytes of the
// records it fills.
inline void ExpectWrittenAsFilled(const char* table, const RepFieldList* fields) {
  std::string filled, written;
  for (const auto& r : Grab(table, fields, nullptr))
    ASSERT_EQ(RepSRecordsAppendRecord(&filled, r.get(), kRepTypeInteger), 1);
  const RepProvidedTableDesc* d = Desc(table);
  ASSERT_NE(d, nullptr);
  RepGrabberWriteRecordFn write = RepGetGrabberRecordWriter(d->get_record);
  ASSERT_NE(write, nullptr);
  RepRecordWriter writer;
  ASSERT_TRUE(writer.Start(fields));
  Ref<RepGrabberInitArgs> args = RepGrabberInitArgs::New();
  Ref<List> f;
  ListClone(&f, fields);
  args->set_fields(f);
  Ref<Obj> context;
  ASSERT_EQ(d->init(&context, args.get()), 1);
  int rc = 0;
  while ((rc = write(&writer, context.get(), args.get())) == 1)
    ASSERT_EQ(writer.Append(&written, kRepTypeInteger), 1);
  d->finish(&context, args.get());
  EXPECT_EQ(rc, 2);
  EXPECT_FALSE(filled.empty());
  EXPECT_TRUE(written == filled) << table << ": " << written.size() << " bytes written, "
                                 << filled.size() << " of filled records";
}

// The awkward catalog's mapping: NULLs give a different state per field, the status is stored as
// a letter, the level through an SQL expression, startat is not mapped at all.
constexpr const char kAwkwardMapping[] = R"map([jobs]
table = jobs
index = jobid
field jobid = jobid
field client = client, null: N/A
field level = "sql: coalesce(level, 'none')"
field status = status, map: O=OK; F=Failed; W=Warning
field size = size, null: Unlimited
field files = files, null: Never
field starttime = starttime
field startdate = starttime
field duration = duration, null: N/A
field mediaid = mediaid
)map";

constexpr int64_t kNow = 1796000000;  // 2026-11-29

// Texts that differ only in case or accents, hold quotes, '%', '_', or SQL; and a few whose case
// folding goes beyond ASCII (Kelvin sign, long s).
inline const std::vector<std::string>& AwkwardTexts() {
  static const std::vector<std::string> texts = {"apollo",
                                                 "APOLLO",
                                                 "Apollo",
                                                 "\xc3\x89ric",
                                                 "\xc3\xa9ric",
                                                 "\xc3\x89RIC",
                                                 "O'Brien",
                                                 "say \"hi\"",
                                                 "100%",
                                                 "a_b",
                                                 "a%b",
                                                 "axb",
                                                 "'; DROP TABLE jobs; --",
                                                 "\xe2\x84\xaa",
                                                 "k",
                                                 "K",
                                                 "\xc5\xbf",
                                                 "s",
                                                 "S",
                                                 "",
                                                 " spaced ",
                                                 "Incremental",
                                                 "full",
                                                 "FULL"};
  return texts;
}

// Writes the awkward catalog: `rows` rows from a seed. `dirty` adds what only SQLite stores: a
// text and a real number in integer columns.
inline bool WriteAwkwardCatalog(catalog::CatalogWriter* w, int rows, bool dirty,
                                std::string* error) {
  const char* schema = w->Postgres()
                           ? "DROP TABLE IF EXISTS jobs; CREATE TABLE jobs (jobid BIGINT, client "
                             "TEXT, level TEXT, status TEXT, size BIGINT, files BIGINT, starttime "
                             "BIGINT, duration BIGINT, mediaid BIGINT)"
                           : "CREATE TABLE jobs (jobid INTEGER, client TEXT, level TEXT, status "
                             "TEXT, size INTEGER, files INTEGER, starttime INTEGER, duration "
                             "INTEGER, mediaid INTEGER)";
  if (!w->Exec(schema, error) || !w->Begin("jobs", 9, error)) return false;
  const auto& texts = AwkwardTexts();
  const char* letters[] = {"O", "F", "W", "X", "o"};
  uint64_t x = 88172645463325252ull;
  auto next = [&x](uint64_t n) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x % n;
  };
  using catalog::Cell;
  for (int id = 1; id <= rows; ++id) {
    auto text = [&](bool nullable) {
      const uint64_t k = next(texts.size() + 2);
      return nullable && k >= texts.size() ? Cell::Null()
                                           : Cell::Text(texts[k % texts.size()].c_str());
    };
    auto number = [&](int64_t scale) {
      const uint64_t k = next(10);
      if (k == 0) return Cell::Null();
      if (k == 1) return Cell::Int(int64_t{5000000000} + static_cast<int64_t>(next(3)));
      if (k == 2) return Cell::Int(-static_cast<int64_t>(next(50)));
      return Cell::Int(static_cast<int64_t>(next(static_cast<uint64_t>(scale))));
    };
    Cell start = number(100 * 86400);
    if (start.kind == Cell::kInt && start.i >= 0 && start.i < 100 * 86400) start.i = kNow - start.i;
    Cell size = number(int64_t{1} << 40);
    if (dirty && next(15) == 0) size = Cell::Text(next(2) == 0 ? "12abc" : "3.7");
    Cell status = next(8) == 0 ? Cell::Null() : Cell::Text(letters[next(5)]);
    if (!w->Row({Cell::Int(id), text(true), text(true), status, size, number(100000), start,
                 number(20000), number(40)},
                error)) {
      return false;
    }
  }
  return w->End(error);
}

// A random filter text over the jobs fields, with constants of every kind: values from the
// awkward catalog and near them, patterns, regular expressions, status words, relative times
// and SQL. Some do not build (the caller skips those).
class RandomFilters {
 public:
  explicit RandomFilters(uint64_t seed) : x_(seed | 1) {}

  std::string Next() { return Chain(0); }

 private:
  uint64_t Below(uint64_t n) {
    x_ ^= x_ << 13;
    x_ ^= x_ >> 7;
    x_ ^= x_ << 17;
    return x_ % n;
  }
  std::string Chain(int depth) {
    if (depth >= 3 || Below(3) == 0) return Expression();
    return "(" + Chain(depth + 1) + (Below(2) == 0 ? " AND " : " OR ") + Chain(depth + 1) + ")";
  }
  static std::string Quoted(const std::string& t) {
    return t.find('\'') == std::string::npos ? "'" + t + "'" : "\"" + t + "\"";
  }
  std::string Expression() {
    static const char* kFields[] = {"jobid",   "client",   "level",     "status",
                                    "size",    "files",    "starttime", "startdate",
                                    "startat", "duration", "mediaid"};
    static const char* kOps[] = {"=", "!=", ">", ">=", "<", "<="};
    static const char* kStates[] = {"Normal", "N/A", "Unknown", "Never", "Unlimited"};
    const std::string field = kFields[Below(11)];
    std::string constant;
    if (Below(5) == 0) {
      constant = std::string("status:") + kStates[Below(5)];
    } else if (field == "client" || field == "level" || field == "status") {
      constant = TextConstant();
    } else if (field == "starttime") {
      const uint64_t k = Below(4);
      constant = k == 0 ? "now-" + std::to_string(Below(100)) + "DA"
                        : std::to_string(kNow - static_cast<int64_t>(Below(100 * 86400)));
    } else if (field == "startdate") {
      constant = "today-" + std::to_string(Below(100)) + "DA";
    } else if (field == "startat") {
      constant = "12:00:00";
    } else if (field == "duration") {  // a time passed is written hh:mm:ss
      const uint64_t secs = Below(3) == 0 ? Below(100) : Below(24 * 3600);
      char text[16];
      std::snprintf(text, sizeof text, "%02d:%02d:%02d", int(secs / 3600), int(secs / 60 % 60),
                    int(secs % 60));
      constant = text;
    } else {
      static const int64_t kNumbers[] = {0,    1,     -3,         17,         100,
                                         5000, 86400, 2147483647, 5000000001, int64_t{1} << 39};
      constant = std::to_string(kNumbers[Below(10)] + static_cast<int64_t>(Below(3)) - 1);
    }
    return "%" + field + " " + kOps[Below(6)] + " " + constant;
  }
  std::string TextConstant() {
    const auto& texts = AwkwardTexts();
    switch (Below(8)) {
      case 0:
        return "apo*";
      case 1:
        return "?ric";
      case 2:
        return "regexp:'^a'";
      case 3:
        return "\"x' OR '1'='1\"";
      case 4:
        return Quoted("OK");
      case 5:
        return Below(2) == 0 ? "failed" : "WARNING";
      default: {
        std::string t = texts[Below(texts.size())];
        if (t.find_first_of("%()") != std::string::npos) t = "a_b";
        if (t.find('\'') != std::string::npos && t.find('"') != std::string::npos) t = "x";
        return Quoted(t);
      }
    }
  }
  uint64_t x_;
};

// The library's verdict on each record: the records `tree` keeps, in order.
inline std::vector<Ref<RepRecord>> Kept(const std::vector<Ref<RepRecord>>& records,
                                        const Tree* tree) {
  std::vector<Ref<RepRecord>> out;
  for (const auto& r : records) {
    if (RepFilterCatchesRecord(r.get(), tree) == 1) out.push_back(r);
  }
  return out;
}

// The job numbers of records, for comparing two lists.
inline std::vector<int32_t> Ids(const std::vector<Ref<RepRecord>>& records) {
  std::vector<int32_t> ids;
  for (const auto& r : records) ids.push_back(ObjGetInteger(r->value_at(0)->value()));
  return ids;
}

// Runs `count` random filters over the awkward catalog (open as "jobs") with and without
// push-down and checks that the filter keeps the same records either way. Returns how many
// filters built and how many of those were pushed into SQL at least in part.
inline std::pair<int, int> DifferentialRun(int count, uint64_t seed) {
  Ref<List> fields = AllFields("jobs");
  catalog::SetPushDown(false);
  const std::vector<Ref<RepRecord>> all = Grab("jobs", fields.get(), nullptr);
  catalog::SetPushDown(true);
  RandomFilters filters(seed);
  int built = 0, pushed = 0;
  for (int i = 0; i < count; ++i) {
    const std::string text = filters.Next();
    Ref<RepFilterTree> tree = RepMakeFilterTree(text.c_str(), fields.get());
    if (!tree) continue;
    ++built;
    const std::string sql = catalog::SelectFor("jobs", fields.get(), nullptr, tree.get());
    if (sql.find(" WHERE ") != std::string::npos) ++pushed;
    EXPECT_EQ(sql.find("DROP"), std::string::npos) << sql;
    bool failed = false;
    auto got = Grab("jobs", fields.get(), nullptr, text.c_str(), tree.get(), &failed);
    EXPECT_FALSE(failed) << text << "\n" << sql;
    EXPECT_EQ(Ids(Kept(got, tree.get())), Ids(Kept(all, tree.get()))) << text << "\n" << sql;
    if (::testing::Test::HasFailure()) break;
  }
  return {built, pushed};
}

}  // namespace catalog_testing
