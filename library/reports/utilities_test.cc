#include "reports/utilities.h"

#include <gtest/gtest.h>

#include "testing.h"

using kr_testing::TestHome;
using kr_testing::TraceCapture;

TEST(ReportsDir, ComesFromConfigureCfgAndHasNoFallback) {
  {
    TestHome home;
    std::string dir, path;
    ASSERT_EQ(RepGetReportsDir(&dir), 1);
    EXPECT_EQ(dir, home.reports_dir());
    ASSERT_EQ(RepPathBuild(&path, "produced", "20261205", nullptr), 1);
    EXPECT_EQ(path, home.reports_dir() + "/produced/20261205");
    ASSERT_EQ(RepPathBuild(&path, nullptr), 1);
    EXPECT_EQ(path, home.reports_dir());
  }
  TestHome::Options o;
  o.with_reports_dir = false;
  TestHome bare(o);
  TraceCapture trace;
  std::string path = "untouched";
  EXPECT_EQ(RepPathBuild(&path, "fields", nullptr), 0);
  EXPECT_EQ(path, "untouched");
  EXPECT_TRUE(trace.Contains("Could not work out location of reports dir on local machine"));
}

TEST(ControlChars, MarkersBecomeTheirCharacters) {
  TestHome home;
  TraceCapture trace;
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"100%% done", "100% done"},
      {"a%\\nb", "a\nb"},
      {"50%x", "50%x"},
      {"say %\"hi%\" and %'", "say \"hi\" and '"},
      {"abc%", "abc"},
      {"x%\\qy", "xy"},
      {"x%\\", "x"},
      {"\xc3\xa9%\xc3\xa9", "\xc3\xa9%\xc3\xa9"},  // a multibyte character after the marker
      {"", ""},
  };
  for (const Case& c : cases) {
    std::string out;
    ASSERT_EQ(RepReplaceControlChars(&out, c.in), 1) << c.in;
    EXPECT_EQ(out, c.out) << c.in;
  }
  EXPECT_TRUE(trace.Contains("Warning - prematire end of string after control char marker"));
  EXPECT_TRUE(trace.Contains("Ignoring bad back-slashified conttrol character 113"));
  std::string out = "kept";
  EXPECT_EQ(RepReplaceControlChars(&out, nullptr), 0);
  EXPECT_EQ(out, "kept");
  EXPECT_TRUE(trace.Contains("RepReplaceControlChars() - NULL source string!"));
}

TEST(QuotedCfgValue, SplitsAtTheFirstTwoCommasWithoutTrimming) {
  TestHome home;
  TraceCapture trace;
  kr_testing::WriteFile(home.config_dir() + "/reports.cfg",
                        "[reports]\ntextheaderrowpre = \"<tr>\"\n[ spaced ]\nkey = v\n");
  std::string v;
  ASSERT_EQ(RepExtractQuotedCfgValue(&v, "reports.cfg,reports,textheaderrowpre"), 1);
  EXPECT_EQ(v, "<tr>");
  v = "x";
  ASSERT_EQ(RepExtractQuotedCfgValue(&v, "reports.cfg,reports,absent"), 1);
  EXPECT_EQ(v, "");
  // Blanks around commas belong to the names: " reports" is not the stanza "reports".
  v = "x";
  ASSERT_EQ(RepExtractQuotedCfgValue(&v, "reports.cfg, reports,textheaderrowpre"), 1);
  EXPECT_EQ(v, "");
  EXPECT_EQ(RepExtractQuotedCfgValue(&v, "reports.cfg,reports"), 0);
  EXPECT_TRUE(
      trace.Contains("No second comma in default stanza spec for param 'reports.cfg,reports'"));
  EXPECT_EQ(RepExtractQuotedCfgValue(&v, "reports.cfg"), 0);
  EXPECT_TRUE(trace.Contains("No first comma in default stanza spec for param 'reports.cfg'"));
}

TEST(TimeValues, DateAndTimeOfDayOfATimeT) {
  TestHome home;
  kr_testing::ScopedTimeZone utc("UTC0");
  TimeOfDay t{};
  TimeDate d{};
  ASSERT_EQ(RepTimeFromTimeT(&t, 1709251199), 1);  // 2024-02-29 23:59:59 UTC
  EXPECT_EQ(t.hour, 23);
  EXPECT_EQ(t.second, 59);
  EXPECT_EQ(t.reserved, 0);
  ASSERT_EQ(RepDateFromTimeT(&d, 1709251199), 1);
  EXPECT_EQ(d.year, 2024);
  EXPECT_EQ(d.month, 2);
  EXPECT_EQ(d.day, 29);
}
