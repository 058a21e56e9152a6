// The output wrapper. Whole output directories are compared with golden directories in
// testdata/outputdirs; run with KR_UPDATE_GOLDEN=1 to rewrite them after a change.
#include "reports/outputwrap.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "kr/file.h"
#include "kr/path.h"
#include "output_test_util.h"
#include "reports/outputtypes.h"
#include "reports/params.h"
#include "testing.h"

using kr_testing::ReadFile;
using kr_testing::ScopedTimeZone;
using kr_testing::TestHome;
using kr_testing::TraceCapture;
using kr_testing::WriteFile;
using namespace rep_test;

namespace {

constexpr int64_t kMarch5th2004 = 1078495629;  // 2004-03-05 14:07:09 UTC

std::string FieldStanza(const std::string& name, const std::string& type) {
  return "[field " + name + "]\nnicename = " + name + "\nnicenameid = 1\ndescription = " + name +
         "\ndescriptionid = 2\ncharacters = 12\ntype = " + type + "\n\n";
}

// The files of a flat directory, by name.
std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  std::vector<DirEntry> entries;
  if (!DirScan(&entries, dir.c_str())) return files;
  for (const DirEntry& e : entries) {
    files[e.name] = e.is_file ? ReadFile(dir + "/" + e.name).value_or("<unreadable>") : "<dir>";
  }
  return files;
}

void ExpectGoldenDir(const char* name, const std::string& dir) {
  const std::string golden = std::string(KR_TESTDATA_DIR) + "/outputdirs/" + name;
  const std::map<std::string, std::string> got = Snapshot(dir);
  if (std::getenv("KR_UPDATE_GOLDEN") != nullptr) {
    kr_testing::RemoveTree(golden);
    for (const auto& [file, bytes] : got) WriteFile(golden + "/" + file, bytes);
  }
  const std::map<std::string, std::string> want = Snapshot(golden);
  ASSERT_FALSE(want.empty()) << "missing golden directory " << golden;
  EXPECT_EQ(got, want) << name;
}

// A home fixed at 14:07:09 UTC on 5 March 2004 (its configure.cfg describes the server as "Test
// server"), with the text replace fields files and headers and footers to choose from.
class OutputWrap : public ::testing::Test {
 protected:
  // As in a record format, a reference takes the one blank after it as its own (fixed-width
  // columns are laid out by it), so texts that want a blank after a value write two.
  OutputWrap() : utc_("UTC"), home_(Options()) {
    WriteFile(home_.ReportsPath("fields/textreplacefields"),
              FieldStanza("datenow", "date") + FieldStanza("timenow", "time") +
                  FieldStanza("servername", "string") + FieldStanza("serverversion", "string") +
                  FieldStanza("serverdescription", "string"));
    WriteFile(home_.ReportsPath("fields/textreplaceperreportfields"),
              FieldStanza("reporttype", "string") + FieldStanza("numrecords", "integer") +
                  FieldStanza("datemade", "date") + FieldStanza("timemade", "time"));
    WriteFile(home_.ReportsPath("headers/Weekly/content"),
              "Jobs report of %DATENOW  - %NUMRECORDS  records\n");
    WriteFile(home_.ReportsPath("headers/Weekly/images/logo.png"), "\x89PNG logo bytes");
    WriteFile(home_.ReportsPath("headers/Weekly/images/banner.gif"), "GIF89a banner");
    kr_testing::MakeDirs(home_.ReportsPath("headers/Weekly/images/nested"));
    WriteFile(home_.ReportsPath("headers/HTMLDefault/content"),
              "<html><body><h1>%REPORTTYPE  on %SERVERNAME</h1>\n");
    WriteFile(home_.ReportsPath("headers/TextDefault/content"), "TEXT HEADER\n");
    WriteFile(
        home_.ReportsPath("footers/HTMLDefault/content"),
        "<p>%SERVERVERSION, %SERVERDESCRIPTION, made %DATEMADE  at %TIMEMADE</p></body></html>");
    WriteFile(home_.ReportsPath("footers/HTMLDefault/images/footer.png"), "footer image");
    WriteFile(home_.ReportsPath("footers/TextDefault/content"), "TEXT FOOTER\n");
  }

  static TestHome::Options Options() {
    TestHome::Options o;
    o.fixed_time = kMarch5th2004;
    return o;
  }

  // A produced report of class Jobs with three records.
  Ref<RepControl> Control(int32_t type, const char* format) {
    Ref<RepTable> table =
        RepNewTable("result",
                    Fields({Field("ID", kRepTypeInteger, 4, "Job ID", "Job"),
                            Field("NAME", kRepTypeString, 10, "Job name", "Name")}),
                    Records({Record({Int(1), Str("daily")}), Record({Int(2), Str("weekly")}),
                             Record({Int(3), Str("monthly")})}));
    Ref<RepParams> params = RepParamsAlloc();
    RepParamsSetClass(params.get(), "Jobs");
    RepParamsSetFormat(params.get(), format);
    RepParamsSetOutputType(params.get(), type);
    Ref<RepControl> control = RepControlFromTable(params.get(), table.get());
    control->set_time_of_production(static_cast<int32_t>(kMarch5th2004 - 3600));
    return control;
  }

  std::string NewDir(const char* name, int html) {
    std::string dir, file;
    EXPECT_EQ(RepInitOutputDir(&dir, &file, html, name, 1), 1);
    EXPECT_EQ(file, html ? "output.html" : "output.txt");
    return dir;
  }

  ScopedTimeZone utc_;
  TestHome home_;
  Ref<List> no_options_ = ListNewFromPool();
};

}  // namespace

TEST_F(OutputWrap, PlainTextWithAHeaderDirectory) {
  Ref<RepControl> c = Control(kRepOutputPlainText, "%ID %NAME\n");
  RepParamsSetHeaderName(c->params(), "Weekly");
  RepParamsSetFooterText(c->params(), "-- end of report --");
  const std::string dir = NewDir("Weekly jobs!", 0);
  std::string error;
  ASSERT_EQ(RepOutputReport(&error, dir.c_str(), c.get(), kRepOutputPlainText, 0, no_options_.get(),
                            nullptr, nullptr, nullptr, nullptr, nullptr),
            1)
      << error;
  // Images are copied beside the body; the nested directory is not an image.
  ExpectGoldenDir("plain_header_dir", dir);
}

TEST_F(OutputWrap, HtmlWithTheDefaultHeaderAndFooter) {
  Ref<RepControl> c = Control(kRepOutputHtmlText, "<tr><td>%ID</td><td>%NAME</td></tr>\n");
  RepParamsSetHeaderName(c->params(), "Default");
  RepParamsSetFooterName(c->params(), "Default");
  const std::string dir = NewDir("html", 1);
  ASSERT_EQ(RepOutputReport(nullptr, dir.c_str(), c.get(), kRepOutputHtmlText, 0, no_options_.get(),
                            nullptr, nullptr, nullptr, nullptr, nullptr),
            1);
  ExpectGoldenDir("html_default", dir);
}

TEST_F(OutputWrap, PlainTextWrappedInHtml) {
  Ref<RepControl> c = Control(kRepOutputPlainText, "%ID %NAME\n");
  RepParamsSetHeaderName(c->params(), "Default");  // TextDefault: the type is plain text
  RepParamsSetFooterName(c->params(), "Default");
  const std::string dir = NewDir("wrapped", 1);
  ASSERT_EQ(RepOutputReport(nullptr, dir.c_str(), c.get(), kRepOutputPlainText, 1,
                            no_options_.get(), nullptr, nullptr, nullptr, nullptr, nullptr),
            1);
  ExpectGoldenDir("plain_wrapped", dir);

  // The wrapping texts come from reports.cfg when it has them.
  WriteFile(home_.config_dir() + "/reports.cfg",
            "[Reports]\nPlainToHTMLPre = <html><pre>\nPlainToHTMLPost = </pre></html>\n");
  const std::string again = NewDir("wrapped", 1);
  ASSERT_EQ(RepOutputReport(nullptr, again.c_str(), c.get(), kRepOutputPlainText, 1,
                            no_options_.get(), nullptr, nullptr, nullptr, nullptr, nullptr),
            1);
  const std::string body = ReadFile(again + "/output.html").value_or("");
  EXPECT_EQ(body.rfind("<html><pre>TEXT HEADER\n", 0), 0u) << body;
  const std::string tail = "TEXT FOOTER\n</pre></html>";
  EXPECT_EQ(body.substr(body.size() - tail.size()), tail) << body;
}

namespace {

struct Ticket {
  const char* id;
  int calls = 0;
};

int FillTicket(List* values, const RepFieldList* fields, void* argument) {
  Ticket* ticket = static_cast<Ticket*>(argument);
  ++ticket->calls;
  for (size_t i = 0; i < fields->size(); ++i) {
    const char* name = ObjCast<RepFieldDef>(fields->at(i))->name();
    RepFieldValue* value = ObjCast<RepFieldValue>(values->at(i));
    if (strcasecmp(name, "ticket") == 0) value->set_value(ObjNewString(ticket->id));
    if (strcasecmp(name, "shift") == 0) value->set_value(ObjNewInteger(3));
  }
  return 1;
}

int Refuse(List*, const RepFieldList*, void*) { return 0; }

}  // namespace

TEST_F(OutputWrap, ExtraFieldsFilledByTheCaller) {
  Ref<RepControl> c = Control(kRepOutputCsv, "%ID,%NAME");
  RepParamsSetHeaderText(c->params(), "Ticket %TICKET, shift %SHIFT, %TIMENOW, %TICKET  again");
  RepParamsSetFooterName(c->params(), "");
  Ref<List> extra =
      Fields({Field("ticket", kRepTypeString, 8), Field("shift", kRepTypeInteger, 2)});
  Ticket ticket{"T-1234"};
  const std::string dir = NewDir("csv", 0);
  ASSERT_EQ(RepOutputReport(nullptr, dir.c_str(), c.get(), kRepOutputCsv, 0, no_options_.get(),
                            FillTicket, extra.get(), &ticket, nullptr, nullptr),
            1);
  EXPECT_EQ(ticket.calls, 1);  // once for the header; the footer is empty
  ExpectGoldenDir("csv_callback", dir);
}

TEST_F(OutputWrap, TextsWithoutReferencesAndFailures) {
  TraceCapture trace;
  const std::string dir = NewDir("texts", 0);
  ASSERT_EQ(RepTextToOutputFile(dir.c_str(), "No references here", 0, 1, nullptr, nullptr, nullptr,
                                nullptr),
            1);
  ASSERT_EQ(RepTextToOutputFile(dir.c_str(), "", 0, 1, nullptr, nullptr, nullptr, nullptr), 1);
  // Without a control the per-report fields are not known, so %NUMRECORDS is a bad reference
  // and the text goes out as it is.
  ASSERT_EQ(
      RepTextToOutputFile(dir.c_str(), "|%NUMRECORDS|", 0, 1, nullptr, nullptr, nullptr, nullptr),
      1);
  EXPECT_EQ(ReadFile(dir + "/output.txt"), "No references here|%NUMRECORDS|");

  // A callback that fails fails the header and so the report.
  Ref<RepControl> c = Control(kRepOutputPlainText, "%ID %NAME\n");
  RepParamsSetHeaderText(c->params(), "At %TIMENOW");
  std::string error;
  EXPECT_EQ(RepOutputReport(&error, dir.c_str(), c.get(), kRepOutputPlainText, 0, no_options_.get(),
                            Refuse, nullptr, nullptr, nullptr, nullptr),
            0);
  EXPECT_EQ(error, "Failed to output header/pre-text");
  EXPECT_TRUE(trace.Contains("Calling code supplied callback failed to supply some values"));

  // An unknown output type.
  EXPECT_EQ(RepOutputReport(&error, dir.c_str(), c.get(), 7, 0, no_options_.get(), nullptr, nullptr,
                            nullptr, nullptr, nullptr),
            0);
  EXPECT_EQ(error, "Cannot get information for output type");
}

TEST_F(OutputWrap, HeaderNamesThatGoNowhereGiveNoHeader) {
  TraceCapture trace;
  Ref<RepControl> c = Control(kRepOutputPlainText, "%ID %NAME\n");
  WriteFile(home_.ReportsPath("secret"), "SECRET\n");
  for (const char* name : {"Missing", "../secret", "../../reports/headers/Weekly"}) {
    RepParamsSetHeaderName(c->params(), name);
    RepParamsSetFooterName(c->params(), "");
    const std::string dir = NewDir("noheader", 0);
    ASSERT_EQ(RepOutputReport(nullptr, dir.c_str(), c.get(), kRepOutputPlainText, 0,
                              no_options_.get(), nullptr, nullptr, nullptr, nullptr, nullptr),
              1)
        << name;
    const std::string body = ReadFile(dir + "/output.txt").value_or("");
    EXPECT_EQ(body.rfind("Job Name      \n", 0), 0u) << name << ": " << body;
    EXPECT_EQ(Snapshot(dir).size(), 1u) << name;
  }
  EXPECT_TRUE(trace.Contains("Failed to load report header"));
  EXPECT_TRUE(trace.Contains("Refusing headers name '../secret'"));
}

TEST_F(OutputWrap, OutputDirectoriesAndImages) {
  std::string dir, file;
  ASSERT_EQ(RepInitOutputDir(&dir, &file, 0, "Weekly jobs!", 0), 1);
  EXPECT_EQ(dir, home_.ReportsPath("output/Weekly jobs!"));
  ASSERT_EQ(RepInitOutputDir(&dir, &file, 0, "Weekly jobs!", 1), 1);
  std::string leaf;
  PathLeaf(&leaf, dir.c_str());
  EXPECT_EQ(leaf.rfind("Weeklyjobs0x", 0), 0u) << leaf;
  EXPECT_EQ(leaf.find_first_not_of("0123456789abcdef", 12), std::string::npos) << leaf;
  // Unique names are made of letters and digits, so only a name taken as it is can climb out.
  EXPECT_EQ(RepInitOutputDir(&dir, &file, 0, "../escape", 0), 0);
  EXPECT_EQ(RepInitOutputDir(&dir, &file, 0, "a/b", 0), 0);
  ASSERT_EQ(RepInitOutputDir(&dir, &file, 0, "../escape", 1), 1);
  EXPECT_EQ(dir.rfind(home_.ReportsPath("output/escape0x"), 0), 0u);

  EXPECT_EQ(RepXferHeadFootImages(home_.ReportsPath("headers/None").c_str(), dir.c_str()), 0);
  EXPECT_EQ(RepXferHeadFootImages(home_.ReportsPath("headers/TextDefault").c_str(), dir.c_str()),
            1);
  EXPECT_TRUE(Snapshot(dir).empty());

  ASSERT_EQ(RepDeleteOutputReport(dir.c_str()), 1);
  EXPECT_FALSE(FileExists(dir.c_str()));
}
