// Grouping: the group and aggregate texts, summary tables (values, types, widths, order),
// group breaks written through the output wrapper, and the bar chart.
#include "reports/group.h"

#include <gtest/gtest.h>

#include <string>

#include "output_test_util.h"
#include "reports/format.h"
#include "reports/outputtypes.h"
#include "reports/outputwrap.h"
#include "reports/params.h"
#include "testing.h"

using kr_testing::ReadFile;
using kr_testing::ScopedTimeZone;
using kr_testing::TestHome;
using namespace rep_test;

namespace {

constexpr int32_t kMon20261130 = 1796040000;  // 2026-11-30 12:00 UTC, a Monday

// Five jobs of two clients: client, status, size, files, duration, start.
Ref<RepTable> Jobs() {
  auto job = [](const char* client, const char* status, int64_t size, int32_t files,
                int32_t duration, int32_t start) {
    return Record({Str(client), Str(status), Normal(ObjNewInt64(size)), Int(files), Int(duration),
                   Int(start)});
  };
  return RepNewTable(
      "jobs",
      Fields({Field("client", kRepTypeString, 6, "Client"), Field("status", kRepTypeString, 6),
              Field("size", kRepTypeDataCount, 4, "Size"), Field("files", kRepTypeInteger, 3),
              Field("duration", kRepTypeTimePassed, 8, "Duration"),
              Field("start", kRepTypeSysTime, 10, "Started")}),
      Records({job("beta", "OK", 3LL << 40, 2000000000, 3600, kMon20261130 + 6 * 86400),
               job("alpha", "Failed", 1024, 5, 60, kMon20261130),
               job("beta", "Failed", 1LL << 40, 2000000000, 5400, kMon20261130 + 7 * 86400),
               job("alpha", "OK", 3072, 7, 120, kMon20261130 - 86400),
               Record({Str("alpha"), Str("OK"), InState(kRepStateUnknown), Int(1),
                       InState(kRepStateNA), Int(kMon20261130 + 3600)})}));
}

std::string Cell(const RepTable* t, size_t row, const char* field) {
  int32_t index = -1;
  if (RepGetFieldIndex(&index, field, t->fields()) != 1) return "<no field>";
  const RepRecord* r = ObjCast<RepRecord>(t->records()->at(row));
  DString scratch;
  std::string_view text;
  RepFieldValueToText(&text, &scratch, ObjCast<RepFieldDef>(t->fields()->at(size_t(index))),
                      r->value_at(size_t(index)), 1);
  return std::string(text);
}

const RepFieldDef* FieldNamed(const RepTable* t, const char* name) {
  Ref<RepFieldDef> f;
  return RepFindFieldInList(&f, name, t->fields()) == 1 ? f.get() : nullptr;
}

Ref<RepTable> Group(const RepTable* t, const char* by, const char* aggregates) {
  RepGroupSpec spec;
  std::string error;
  EXPECT_EQ(RepParseGroupSpec(&spec, &error, by, aggregates), 1) << error;
  Ref<RepTable> summary;
  EXPECT_EQ(RepGroupRecords(&summary, &error, t, spec), 1) << error;
  return summary;
}

}  // namespace

TEST(Group, RefusedSpecsSayWhatIsWrong) {
  struct Case {
    const char* by;
    const char* aggregates;
    const char* message;  // part of the error
  };
  const Case parse_cases[] = {
      {"", "count", "no field given"},
      {"client", "", "expected a field reference"},
      {"%start:fortnight", "", "unknown bucket ':fortnight'"},
      {"%client", "median(%size)", "unknown aggregate 'median'"},
      {"%client", "sum", "sum needs a field"},
      {"%client", "count(%status='OK)", "no closing quote"},
      {"%client", "sum(%size", "expected ')'"},
      {"%client", "countif(%status = 'x)", "not closed"},
  };
  for (const Case& c : parse_cases) {
    RepGroupSpec spec;
    std::string error;
    EXPECT_EQ(RepParseGroupSpec(&spec, &error, c.by, c.aggregates), 0) << c.by << c.aggregates;
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
  // Specs that read well but do not fit the table's fields.
  const Case plan_cases[] = {
      {"%host", "count", "no field 'host'"},
      {"%client", "sum(%start)", "no meaningful sum"},
      {"%client", "avg(%status)", "has no average"},
      {"%client:week", "count", "is not a system time or date"},
      {"%client", "count(%files=many)", "'many' is not a value of %files"},
      {"%client", "countif(%host = x)", "is not a filter"},
  };
  Ref<RepTable> jobs = Jobs();
  for (const Case& c : plan_cases) {
    RepGroupSpec spec;
    std::string error;
    ASSERT_EQ(RepParseGroupSpec(&spec, &error, c.by, c.aggregates), 1) << error;
    Ref<RepTable> summary;
    EXPECT_EQ(RepGroupRecords(&summary, &error, jobs.get(), spec), 0) << c.aggregates;
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
}

TEST(Group, SummaryValuesKeepTheirTypesAndFitTheirColumns) {
  ScopedTimeZone utc("UTC");
  Ref<RepTable> jobs = Jobs();
  Ref<RepTable> s = Group(jobs.get(), "%client",
                          "jobs=count, count(%status), failed=count(%status=failed) sum(%size) "
                          "avg(%size) sum(%files) sum(%duration) max(%start) min(%start) "
                          "big=countif((%files >= 7) AND %status = 'OK')");
  ASSERT_EQ(s->records()->size(), 2u);
  // Key order; one column per status value, in value order; explicit and default names.
  std::string names;
  RepGetAllFieldsString(&names, s->fields());
  EXPECT_EQ(names,
            "client\njobs\nstatus_failed\nstatus_ok\nfailed\nsum_size\navg_size\nsum_files\n"
            "sum_duration\nmax_start\nmin_start\nbig\n");
  EXPECT_EQ(Cell(s.get(), 0, "client"), "alpha");
  EXPECT_EQ(Cell(s.get(), 0, "jobs"), "3");
  EXPECT_EQ(Cell(s.get(), 0, "status_ok"), "2");
  EXPECT_EQ(Cell(s.get(), 0, "failed"), "1");  // the value is matched as the sort compares
  EXPECT_EQ(Cell(s.get(), 0, "sum_size"), "4KB");    // the Unknown size takes no part
  EXPECT_EQ(Cell(s.get(), 0, "avg_size"), "2KB");    // over the two known sizes
  EXPECT_EQ(Cell(s.get(), 0, "sum_duration"), "00:03:00");
  EXPECT_EQ(Cell(s.get(), 0, "big"), "1");
  EXPECT_EQ(Cell(s.get(), 1, "big"), "1");
  EXPECT_EQ(Cell(s.get(), 1, "sum_size"), "4TB");
  EXPECT_EQ(Cell(s.get(), 1, "sum_files"), "4000000000");  // integers widen, never wrap
  EXPECT_EQ(Cell(s.get(), 1, "sum_duration"), "02:30:00");
  EXPECT_EQ(Cell(s.get(), 1, "max_start"), std::to_string(kMon20261130 + 7 * 86400));
  EXPECT_EQ(Cell(s.get(), 0, "min_start"), std::to_string(kMon20261130 - 86400));
  const int32_t types[][2] = {{1, kRepTypeInteger},   {5, kRepTypeDataCount},
                              {6, kRepTypeDataCount}, {7, kRepTypeInt64},
                              {8, kRepTypeTimePassed}, {9, kRepTypeSysTime}};
  for (const auto& [i, type] : types) {
    EXPECT_EQ(ObjCast<RepFieldDef>(s->fields()->at(size_t(i)))->type(), type) << i;
  }
  // Wide enough for the sum row's total (4000000012 files) and for the nice name.
  EXPECT_GE(FieldNamed(s.get(), "sum_files")->characters(), 10);
  EXPECT_EQ(FieldNamed(s.get(), "sum_size")->characters(), int32_t(strlen("Total Size")));

  // A duration total beyond what a duration holds is Unknown, not a wrapped number; a group
  // with no known value has N/A.
  Ref<RepTable> long_jobs = RepNewTable(
      "j", Fields({Field("c", kRepTypeString, 1), Field("d", kRepTypeTimePassed, 8)}),
      Records({Record({Str("x"), Int(2000000000)}), Record({Str("x"), Int(2000000000)}),
               Record({Str("y"), InState(kRepStateUnknown)})}));
  Ref<RepTable> t = Group(long_jobs.get(), "%c", "sum(%d)");
  EXPECT_EQ(ObjCast<RepRecord>(t->records()->at(0))->value_at(1)->state(), kRepStateUnknown);
  EXPECT_EQ(ObjCast<RepRecord>(t->records()->at(1))->value_at(1)->state(), kRepStateNA);
}

TEST(Group, TimeBucketsBeginOnTheirFirstDay) {
  ScopedTimeZone utc("UTC");
  Ref<RepTable> jobs = Jobs();
  Ref<RepTable> weeks = Group(jobs.get(), "%start:week %client", "count");
  std::string rows;
  for (size_t i = 0; i < weeks->records()->size(); ++i) {
    rows += Cell(weeks.get(), i, "start_week") + " " + Cell(weeks.get(), i, "client") + " " +
            Cell(weeks.get(), i, "count") + "\n";
  }
  // The Sunday before goes to the week before; Sunday the 6th to the week of Monday 30th.
  DString scratch;
  auto date = [&](int y, int m, int d) {
    Ref<RepFieldValue> v = Date(y, m, d);
    std::string_view text;
    RepTypedDataToText(&text, &scratch, kRepTypeDate, v->value());
    return std::string(text);
  };
  EXPECT_EQ(rows, date(2026, 11, 23) + " alpha 1\n" + date(2026, 11, 30) + " alpha 2\n" +
                      date(2026, 11, 30) + " beta 1\n" + date(2026, 12, 7) + " beta 1\n");
  Ref<RepTable> months = Group(jobs.get(), "%start:month", "count");
  EXPECT_EQ(months->records()->size(), 2u);
  EXPECT_EQ(Cell(months.get(), 1, "start_month"), date(2026, 12, 1));
}

TEST(Group, BreaksChartAndSummaryControlWriteThroughTheWriters) {
  ScopedTimeZone utc("UTC");
  TestHome home{TestHome::Options{}};
  kr_testing::WriteFile(home.ReportsPath("headers/H/content"), "HEAD %NUMRECORDS\n");
  const std::string numrecords =
      "[field numrecords]\nnicename = n\nnicenameid = 1\ndescription = n\n"
      "descriptionid = 2\ncharacters = 1\ntype = integer\n";
  kr_testing::WriteFile(home.ReportsPath("fields/textreplacefields"), numrecords);
  kr_testing::WriteFile(home.ReportsPath("fields/textreplaceperreportfields"), numrecords);
  kr_testing::WriteFile(home.ReportsPath("footers/F/content"), "FOOT\n");
  Ref<RepTable> jobs = Jobs();
  Ref<RepParams> params = RepParamsAlloc();
  RepParamsSetFormat(params.get(), "%client  %size  %duration\n");
  RepParamsSetOutputType(params.get(), 0);
  RepParamsSetHeaderName(params.get(), "H");
  RepParamsSetFooterName(params.get(), "F");
  // The records sorted by client, as the front end asks for them.
  Ref<RepTable> sorted = RepNewTable(
      "jobs", Ref<List>::Share(jobs->fields()),
      Records({Ref<RepRecord>::Share(ObjCast<RepRecord>(jobs->records()->at(1))),
               Ref<RepRecord>::Share(ObjCast<RepRecord>(jobs->records()->at(3))),
               Ref<RepRecord>::Share(ObjCast<RepRecord>(jobs->records()->at(4))),
               Ref<RepRecord>::Share(ObjCast<RepRecord>(jobs->records()->at(0))),
               Ref<RepRecord>::Share(ObjCast<RepRecord>(jobs->records()->at(2)))}));
  Ref<RepControl> control = RepControlFromTable(params.get(), sorted.get());
  RepGroupSpec spec;
  ASSERT_EQ(RepParseGroupSpec(&spec, nullptr, "%client", nullptr), 1);
  std::string dir, file, error;
  ASSERT_EQ(RepInitOutputDir(&dir, &file, 0, "breaks", 1), 1);
  Ref<RepOutputTypeInfo> info;
  ASSERT_EQ(RepOutputTypeInfoFromID(&info, 0), 1);
  Ref<List> options;
  RepCreateDefaultParamInstances(&options, info->options());
  kr_testing::TraceCapture trace(3);
  ASSERT_EQ(RepOutputGroupBreaks(&error, dir.c_str(), control.get(), 0, options.get(), spec,
                                 nullptr, nullptr),
            1)
      << error << trace.Dump();
  const std::string body = ReadFile(dir + "/output.txt").value_or("");
  // Header once (with every record counted), column headers once, a heading and a subtotal per
  // group, the grand total, the footer once.
  EXPECT_EQ(body,
            "HEAD 5\n"
            "Client Size Duration\n"
            "\nClient: alpha\n"
            "alpha  1KB  00:01:00\nalpha  3KB  00:02:00\nalpha  ?    --------\n"
            "------4KB 00:03:00\n"
            "\nClient: beta\n"
            "beta   3TB  01:00:00\nbeta   1TB  01:30:00\n"
            "------4TB 02:30:00\n"
            "\nAll groups\n"
            "------4TB 02:33:00\n"
            "FOOT\n")
      << body;
  ASSERT_EQ(RepOutputGroupBreaks(&error, dir.c_str(), control.get(), 2, options.get(), spec,
                                 nullptr, nullptr),
            0);

  // The summary as a report of its own, its format generated for its fields.
  Ref<RepTable> summary = Group(jobs.get(), "%client", "count sum(%size)");
  Ref<RepControl> sc = RepGroupSummaryControl(control.get(), summary.get(), nullptr);
  ASSERT_TRUE(sc);
  EXPECT_STREQ(RepParamsGetFormat(sc->params()), "%CLIENT  %COUNT  %SUM_SIZE  \n");
  EXPECT_EQ(RepGiveNumRecords(sc.get()), 2u);

  // The chart: one bar per group, labelled and scaled, escaped, no script.
  std::string svg;
  ASSERT_EQ(RepGroupChartSvg(&svg, &error, summary.get(), {"client"}, "sum_size", "Size <by> client", 1),
            1)
      << error;
  EXPECT_NE(svg.find("<title>Size &lt;by&gt; client</title>"), std::string::npos) << svg;
  EXPECT_NE(svg.find(">alpha</text>"), std::string::npos);
  EXPECT_NE(svg.find(">4KB</text>"), std::string::npos);
  EXPECT_NE(svg.find("1 more not shown"), std::string::npos);
  EXPECT_EQ(svg.find("<script"), std::string::npos);
  EXPECT_EQ(RepGroupChartSvg(&svg, &error, summary.get(), {"client"}, "client", "", 10), 0);
  EXPECT_NE(error.find("is not a number"), std::string::npos);
}
