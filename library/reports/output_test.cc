// The three report writers. The bodies of a small report of mixed types and states are kept as
// golden files in testdata/output; run with KR_UPDATE_GOLDEN=1 to rewrite them after a change
// that is meant, and look at the diff.

#include "reports/output.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "output_test_util.h"
#include "reports/control.h"
#include "reports/outputtypes.h"
#include "reports/params.h"
#include "testing.h"

using kr_testing::ReadFile;
using kr_testing::TestHome;
using kr_testing::TraceCapture;
using namespace rep_test;

namespace {

using Writer = int (*)(const RepControl*, const char*, const List*, RepProgressCallback, void*);
using OptionValues = std::vector<std::pair<const char*, const char*>>;

// Instances of the output type's options for the keys given, and no others.
Ref<List> Options(int32_t type, const OptionValues& values) {
  Ref<RepOutputTypeInfo> info;
  EXPECT_EQ(RepOutputTypeInfoFromID(&info, type), 1);
  Ref<List> list = ListNewFromPool();
  for (const auto& [key, text] : values) {
    Ref<RepParamDef> def;
    EXPECT_EQ(RepFindParamInList(&def, info->options(), key), 1) << key;
    Ref<RepParamInstance> option;
    EXPECT_EQ(RepParamInstanceCreateString(&option, def.get(), text), 1) << key;
    ListPushLastItemInternal(list.get(), std::move(option));
  }
  return list;
}

// A small report of jobs with values of several types in every state.
Ref<RepTable> JobsTable(bool with_records = true) {
  Ref<List> fields = Fields({
      Field("ID", kRepTypeInteger, 4, "Job ID", "Job"),
      Field("NAME", kRepTypeString, 10, "Job name", "Name"),
      Field("SIZE", kRepTypeDataCount, 8, "Data size", "Size"),
      Field("ELAPSED", kRepTypeTimePassed, 8, "Elapsed time", "Elapsed"),
      Field("OK", kRepTypeBoolean, 3, "Succeeded", "OK"),
      Field("DAY", kRepTypeDate, 17, "Date", "Date"),
      Field("FILES", kRepTypeInt64, 7, "Files", "Files"),
  });
  Ref<List> records = Records({
      Record({Int(1), Str("nightly"), I64(1572864), Int(3600), Bool(true), Date(2024, 3, 5),
              I64(1200)}),
      Record({Int(2), Str(""), InState(kRepStateUnknown), Int(5400), Bool(false),
              InState(kRepStateNA), I64(34)}),
      Record({Int(3), Str("weekly-full-backup"), I64(1610612736), InState(kRepStateNever),
              Bool(true), Date(2024, 12, 31), InState(kRepStateUnknown)}),
      Record({Int(4), InState(kRepStateNA), InState(kRepStateUnlimited), Int(59),
              InState(kRepStateUnknown), Date(2025, 1, 1), I64(7)}),
  });
  if (!with_records) records = ListNewFromPool();
  return RepNewTable("jobs", std::move(fields), std::move(records));
}

constexpr const char kTextFormat[] = "%ID | %NAME | %SIZE | %ELAPSED | %OK | %DAY | %FILES\n";
constexpr const char kHtmlFormat[] =
    "<tr><td>%ID</td><td>%NAME</td><td>%SIZE</td><td>%ELAPSED</td><td>%OK</td><td>%DAY</td>"
    "<td>%FILES</td></tr>\n";
constexpr const char kCsvFormat[] = "%ID,%NAME,%SIZE,%ELAPSED,%OK,%DAY,%FILES";

const OptionValues kTextSummaryTexts = {
    {"sumrowpre", ""},       {"sumrowpost", "total%\\n"}, {"sumfieldpre", ""},
    {"sumfieldpost", " | "}, {"averagerowpre", ""},       {"averagerowpost", "average%\\n"},
    {"averagefieldpre", ""}, {"averagefieldpost", " | "},
};

OptionValues With(OptionValues a, const OptionValues& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct WriterFixture {
  TestHome home;
  std::string path = home.HomePath("body.out");

  Ref<RepControl> Control(const char* format, int32_t type, Ref<RepTable> table = JobsTable()) {
    Ref<RepParams> params = RepParamsAlloc();
    RepParamsSetFormat(params.get(), format);
    RepParamsSetOutputType(params.get(), type);
    return RepControlFromTable(params.get(), table.get());
  }

  // Runs the writer into a fresh file: the body it wrote, "<failed>" before it on failure, or
  // "<no file>" when it opened none.
  std::string Write(Writer writer, const RepControl* control, const List* options) {
    std::remove(path.c_str());
    int ok = writer(control, path.c_str(), options, nullptr, nullptr);
    std::optional<std::string> body = ReadFile(path);
    std::string text = body ? *body : "<no file>";
    return ok == 1 ? text : "<failed>" + text;
  }
};

void ExpectGolden(const char* name, const std::string& body) {
  const std::string path = std::string(KR_TESTDATA_DIR) + "/output/" + name;
  if (std::getenv("KR_UPDATE_GOLDEN") != nullptr) kr_testing::WriteFile(path, body);
  std::optional<std::string> want = ReadFile(path);
  ASSERT_TRUE(want) << "missing golden file " << path;
  EXPECT_EQ(body, *want) << name;
}

}  // namespace

// --- golden bodies -------------------------------------------------------------------------------

TEST(WriterGolden, EachWriterWithItsOptions) {
  const OptionValues html_rows = {
      {"autocolumnheaders", "TRUE"},      {"textheaderrowpre", "<tr>"},
      {"textheaderrowpost", "</tr>%\\n"}, {"textheaderfieldpre", "<th>"},
      {"textheaderfieldpost", "</th>"},   {"sumrowpre", "<tr class=\"sum\">"},
      {"sumrowpost", "</tr>%\\n"},        {"sumfieldpre", "<td>"},
      {"sumfieldpost", "</td>"},          {"averagerowpre", "<tr class=\"average\">"},
      {"averagerowpost", "</tr>%\\n"},    {"averagefieldpre", "<td>"},
      {"averagefieldpost", "</td>"},      {"outputtotalrecord", "TRUE"},
      {"outputaveragerecord", "TRUE"}};
  struct Case {
    const char* golden;
    int32_t type;
    OptionValues options;
  };
  const Case cases[] = {
      // Fixed width with automatic headers.
      {"plain_fixed.txt", kRepOutputPlainText, {}},
      {"plain_variable.txt",
       kRepOutputPlainText,
       {{"autocolumnheaders", "TRUE"},
        {"textheaderrowpre", "Jobs:%\\n"},
        {"textheaderrowpost", "%\\n"},
        {"variablewidthoutput", "TRUE"}}},
      // Records at variable width; the sum and average rows keep their columns all the same.
      {"plain_summary.txt", kRepOutputPlainText,
       With(kTextSummaryTexts, {{"outputtotalrecord", "TRUE"},
                                {"outputaveragerecord", "TRUE"},
                                {"variablewidthoutput", "TRUE"}})},
      {"plain_disabled.txt", kRepOutputPlainText,
       With(kTextSummaryTexts, {{"disablerecordoutput", "TRUE"}, {"outputtotalrecord", "TRUE"}})},
      {"html.txt", kRepOutputHtmlText, html_rows},
      {"csv.txt", kRepOutputCsv, {}},
  };
  const Writer writers[] = {RepOutputPlainText, RepOutputHTMLText, RepOutputCSV};
  const char* formats[] = {kTextFormat, kHtmlFormat, kCsvFormat};
  WriterFixture fx;
  for (const Case& k : cases) {
    Ref<RepControl> c = fx.Control(formats[k.type], k.type);
    ExpectGolden(k.golden, fx.Write(writers[k.type], c.get(), Options(k.type, k.options).get()));
  }

  // With neither summary row wanted, disabled records leave only the headers: the header names
  // stand where their columns start; the text between them becomes spaces.
  Ref<RepControl> c = fx.Control(kTextFormat, kRepOutputPlainText);
  Ref<List> bare = Options(0, {{"disablerecordoutput", "TRUE"}});
  EXPECT_EQ(fx.Write(RepOutputPlainText, c.get(), bare.get()),
            "Job   Name        Size      Elapsed   OK   Date               Files  \n\n\n");
}

// --- the rest of each writer's behaviour --------------------------------------------------------

TEST(Writers, EmptyReports) {
  WriterFixture fx;
  TraceCapture trace;
  Ref<RepControl> text = fx.Control(kTextFormat, 0, JobsTable(false));
  EXPECT_EQ(
      fx.Write(
          RepOutputPlainText, text.get(),
          Options(0, {{"emptyreporttext", "No jobs%\\n"}, {"outputtotalrecord", "TRUE"}}).get()),
      "No jobs\n");
  EXPECT_TRUE(trace.Contains("Empty plain text report. Output empty report string", 2));
  EXPECT_TRUE(trace.Contains("Wrote no-output string for report", 2));
  EXPECT_EQ(
      fx.Write(RepOutputPlainText, text.get(),
               Options(0, {{"emptyreporttext", "No jobs"}, {"disablerecordoutput", "TRUE"}}).get()),
      "");
  EXPECT_TRUE(trace.Contains(
      "Empty plain text report. Dont output empty report text as record output disabled.", 2));
  EXPECT_EQ(fx.Write(RepOutputPlainText, text.get(), Options(0, {}).get()), "<failed>");
  EXPECT_TRUE(trace.Contains("Failed to get empty report text - output nothing", -1));

  Ref<RepControl> html = fx.Control(kHtmlFormat, 1, JobsTable(false));
  EXPECT_EQ(fx.Write(RepOutputHTMLText, html.get(),
                     Options(1, {{"emptyreporttext", "<p>none</p>"}}).get()),
            "<p>none</p>");
  EXPECT_TRUE(trace.Contains("Empty HTML text report. Output empty report string", 2));
  EXPECT_EQ(
      fx.Write(RepOutputHTMLText, html.get(), Options(1, {{"disablerecordoutput", "TRUE"}}).get()),
      "");
  EXPECT_TRUE(trace.Contains(
      "Empty html text report. Dont output empty report text as record output disabled.", 2));

  // CSV has no record-disabling option: the empty text is always written.
  Ref<RepControl> csv = fx.Control(kCsvFormat, 2, JobsTable(false));
  Ref<List> csv_options = Options(2, {{"emptyreporttext", "none"}});
  Ref<List> disabling = Options(0, {{"disablerecordoutput", "TRUE"}});
  ListAddLastItem(csv_options.get(), disabling->at(0));
  EXPECT_EQ(fx.Write(RepOutputCSV, csv.get(), csv_options.get()), "none");
  EXPECT_TRUE(trace.Contains("Empty csv report. Output empty report string", 2));
}

TEST(Writers, PlainTextColumnHeaderChoices) {
  WriterFixture fx;
  TraceCapture trace;
  const char* two_lines = "%ID%\\n%NAME\n";
  Ref<RepControl> c = fx.Control(two_lines, 0);
  // Without the option, a format of two lines has no headers; with it on, none either.
  std::string body = fx.Write(RepOutputPlainText, c.get(), Options(0, {}).get());
  EXPECT_EQ(body.substr(0, 16), "1   \nnightly   \n");
  EXPECT_TRUE(trace.Contains("Plain text report does not need column headers", 3));
  body = fx.Write(RepOutputPlainText, c.get(), Options(0, {{"autocolumnheaders", "TRUE"}}).get());
  EXPECT_EQ(body.substr(0, 16), "1   \nnightly   \n");
  EXPECT_TRUE(trace.Contains("Column headers are switched off for this report", 3));

  // Switched off.
  Ref<RepControl> single = fx.Control("%ID %NAME\n", 0);
  EXPECT_EQ(
      fx.Write(RepOutputPlainText, single.get(), Options(0, {{"autocolumnheaders", "FALSE"}}).get())
          .substr(0, 15),
      "1   nightly   \n");
  // On, at fixed width, with the option texts around the aligned names.
  EXPECT_EQ(fx.Write(RepOutputPlainText, single.get(),
                     Options(0, {{"autocolumnheaders", "TRUE"},
                                 {"textheaderrowpre", "["},
                                 {"textheaderrowpost", "]%\\n"}})
                         .get())
                .substr(0, 33),
            "[Job Name      \n]\n1   nightly   \n");
  // On without its texts: the headers fail and nothing else is written.
  EXPECT_EQ(fx.Write(RepOutputPlainText, single.get(),
                     Options(0, {{"autocolumnheaders", "TRUE"}, {"textheaderrowpre", ""}}).get()),
            "<failed>");
  EXPECT_TRUE(trace.Contains("Failed to get row post text from output options", -1));
  EXPECT_TRUE(trace.Contains("Failed to output plain text column headers", -1));
}

TEST(Writers, HtmlAndCsvColumnHeaderChoices) {
  WriterFixture fx;
  TraceCapture trace;
  Ref<RepControl> html = fx.Control("%ID %NAME\n", 1);
  EXPECT_EQ(fx.Write(RepOutputHTMLText, html.get(), Options(1, {}).get()).substr(0, 10),
            "1nightly\n2");
  EXPECT_TRUE(trace.Contains("HTML text report does not need column headers", 3));
  EXPECT_EQ(fx.Write(RepOutputHTMLText, html.get(),
                     Options(1, {{"autocolumnheaders", "TRUE"},
                                 {"textheaderrowpre", ""},
                                 {"textheaderrowpost", ""},
                                 {"textheaderfieldpre", ""}})
                         .get()),
            "<failed>");
  EXPECT_TRUE(trace.Contains("Failed to get field post text from output options", -1));
  EXPECT_TRUE(trace.Contains("Failed to output HTML text column headers", -1));

  Ref<RepControl> csv = fx.Control("%ID,%NAME", 2);
  EXPECT_EQ(fx.Write(RepOutputCSV, csv.get(), Options(2, {}).get()).substr(0, 29),
            "Job ID,Job name,\n1,nightly\n2,");
  // With the option on, the csvheader texts are used even for a format of two lines.
  Ref<RepControl> two = fx.Control("%ID%\\n%NAME", 2);
  Ref<List> on = Options(2, {{"autocolumnheaders", "TRUE"},
                             {"csvheaderrowpre", "#"},
                             {"csvheaderrowpost", "%\\n"},
                             {"csvheaderfieldpre", "'"},
                             {"csvheaderfieldpost", "';"}});
  EXPECT_EQ(fx.Write(RepOutputCSV, two.get(), on.get()).substr(0, 32),
            "#'Job ID';'Job name';\n1\nnightly\n");
  EXPECT_EQ(fx.Write(RepOutputCSV, two.get(), Options(2, {}).get()).substr(0, 12),
            "1\nnightly\n2\n");
  EXPECT_EQ(fx.Write(RepOutputCSV, two.get(), Options(2, {{"autocolumnheaders", "FALSE"}}).get())
                .substr(0, 12),
            "1\nnightly\n2\n");
  EXPECT_EQ(fx.Write(RepOutputCSV, two.get(), Options(2, {{"autocolumnheaders", "TRUE"}}).get()),
            "<failed>");
  EXPECT_TRUE(trace.Contains("Failed to output CSV column headers", -1));
}

TEST(Writers, BadReportsAreRefusedBeforeTheFileIsOpened) {
  WriterFixture fx;
  TraceCapture trace;
  const Writer writers[] = {RepOutputPlainText, RepOutputHTMLText, RepOutputCSV};
  for (int type = 0; type < 3; ++type) {
    Ref<RepControl> bad_field = fx.Control("%ID %SIZEMB\n", type);
    EXPECT_EQ(fx.Write(writers[type], bad_field.get(), Options(type, {}).get()),
              "<failed><no file>")
        << type;
    for (int32_t bad_type : {-1, 3}) {
      Ref<RepControl> bad = fx.Control("%ID\n", bad_type);
      EXPECT_EQ(fx.Write(writers[type], bad.get(), Options(type, {}).get()), "<failed><no file>")
          << type;
    }
    EXPECT_EQ(writers[type](nullptr, fx.path.c_str(), nullptr, nullptr, nullptr), 0);
  }
  EXPECT_TRUE(trace.Contains("Cannot build list of fields in format", -1));
  EXPECT_TRUE(trace.Contains("Cannot build list of fields in csv format", -1));
  EXPECT_TRUE(trace.Contains("Unknown output type - cannot list fields required to output it", -1));

  Ref<RepControl> ok = fx.Control("%ID\n", 0);
  EXPECT_EQ(RepOutputPlainText(ok.get(), fx.home.HomePath("no/such/dir/x").c_str(), nullptr,
                               nullptr, nullptr),
            0);
  EXPECT_TRUE(trace.Contains("Failed to open plain text report output file '", -1));
  EXPECT_EQ(RepOutputHTMLText(ok.get(), nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_TRUE(trace.Contains("Failed to open html text report output file ''.", -1));
}

TEST(Writers, FullDiskIsReported) {
  WriterFixture fx;
  TraceCapture trace;
  Ref<RepControl> text = fx.Control(kTextFormat, 0);
  EXPECT_EQ(RepOutputPlainText(text.get(), "/dev/full", Options(0, {}).get(), nullptr, nullptr), 0);
  EXPECT_TRUE(trace.Contains("Failed to output plain text column headers", -1));
  Ref<List> no_headers = Options(0, {{"autocolumnheaders", "FALSE"}});
  EXPECT_EQ(RepOutputPlainText(text.get(), "/dev/full", no_headers.get(), nullptr, nullptr), 0);
  EXPECT_TRUE(trace.Contains("Failed to output plain text records.", -1));
  Ref<RepControl> empty = fx.Control(kTextFormat, 0, JobsTable(false));
  EXPECT_EQ(RepOutputPlainText(empty.get(), "/dev/full",
                               Options(0, {{"emptyreporttext", "none"}}).get(), nullptr, nullptr),
            0);
  EXPECT_TRUE(trace.Contains("Failed to write no-output string", -1));
}

TEST(Writers, MissingSummaryTextsFailTheirRowOnly) {
  WriterFixture fx;
  TraceCapture trace;
  Ref<RepControl> c = fx.Control("%ID\n", 0);
  Ref<List> options = Options(0, {{"autocolumnheaders", "FALSE"},
                                  {"outputtotalrecord", "TRUE"},
                                  {"outputaveragerecord", "TRUE"},
                                  {"averagerowpre", "avg "},
                                  {"averagerowpost", "%\\n"},
                                  {"averagefieldpre", ""},
                                  {"averagefieldpost", ""}});
  EXPECT_EQ(fx.Write(RepOutputPlainText, c.get(), options.get()),
            "<failed>1   \n2   \n3   \n4   \navg 2   \n");
  EXPECT_TRUE(trace.Contains("Failed to build sum format string", -1));
  EXPECT_TRUE(trace.Contains("Output plaintext average record OK.", 2));
}
