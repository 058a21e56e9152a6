#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "agent_test_util.h"
#include "kr/path.h"
#include "output_test_util.h"
#include "reports/classes.h"
#include "reports/output.h"
#include "reports/outputtypes.h"
#include "reports/outputwrap.h"
#include "reports/params.h"
#include "reports/produced.h"
#include "testing.h"

namespace {

using kr_testing::ReadFile;
using kr_testing::TraceCapture;
using kr_testing::WriteFile;
using rep_test::TwoMachines;

std::string Binary(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 2654435761u + seed) >> 11);
  return s;
}

class Transfer : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(machines_.ready()); }
  std::string AlphaOutput(const std::string& rel = "") {
    return machines_.alpha().ReportsPath("output") + (rel.empty() ? "" : "/" + rel);
  }
  TwoMachines machines_;
};

TEST_F(Transfer, OutputDirectoryArrivesWholeOneRequestPerDirectoryAndFile) {
  const std::string dir = AlphaOutput("weekly0x1");
  WriteFile(dir + "/output.html", "<html>report</html>\n");
  WriteFile(dir + "/logo.png", Binary(300000, 1));  // spans several transfer buffers
  WriteFile(dir + "/banner.gif", Binary(77, 2));
  WriteFile(dir + "/sub/inner.txt", "");
  const auto before = kr_testing::DirTree(dir);
  TraceCapture trace;
  ASSERT_EQ(RepXferOutputToMachine(dir.c_str(), "BETA", nullptr), 1) << trace.Dump();
  EXPECT_EQ(kr_testing::DirTree(machines_.BetaOutput("weekly0x1")), before);
  EXPECT_EQ(kr_testing::DirTree(dir), before);  // the copy leaves the source alone
  EXPECT_EQ(machines_.log().Take(),
            (std::vector<std::string>{"2916 weekly0x1", "2978 weekly0x1/banner.gif",
                                      "2978 weekly0x1/logo.png", "2978 weekly0x1/output.html",
                                      "2916 weekly0x1/sub", "2978 weekly0x1/sub/inner.txt"}));
  EXPECT_TRUE(trace.Contains("Transferred whole output directory structure OK", 2));
  EXPECT_TRUE(trace.Contains("Sent die msg to agent mode reports plugin on 'beta'.", 2));

  // Under another top-level name.
  ASSERT_EQ(RepXferOutputToMachine(dir.c_str(), "beta", "renamed"), 1);
  EXPECT_EQ(kr_testing::DirTree(machines_.BetaOutput("renamed")), before);
}

TEST_F(Transfer, TheLocalMachineIsRefused) {
  const std::string dir = AlphaOutput("local");
  WriteFile(dir + "/output.txt", "text");
  TraceCapture trace;
  EXPECT_EQ(RepXferOutputToMachine(dir.c_str(), "Alpha", nullptr), 0);
  EXPECT_TRUE(trace.Contains(
      "Not transfering output dir '" + dir + "' as target machine 'Alpha' is the local machine",
      2));
  EXPECT_EQ(ReadFile(dir + "/output.txt"), "text");
  EXPECT_TRUE(machines_.log().Take().empty());
}

// Several stored reports of class Jobs.
class MultiReports : public Transfer {
 protected:
  void SetUp() override {
    Transfer::SetUp();
    WriteFile(machines_.alpha().ReportsPath("headers/Top/content"), "MULTI HEADER\n");
    WriteFile(machines_.alpha().ReportsPath("headers/Top/images/top.png"), Binary(1000, 3));
    WriteFile(machines_.alpha().ReportsPath("footers/End/content"), "MULTI FOOTER\n");
  }

  Ref<Obj> Item(int32_t type, const char* format, const char* base) {
    using namespace rep_test;
    Ref<RepTable> table = RepNewTable(
        "result",
        Fields({Field("ID", kRepTypeInteger, 4, "Job ID"), Field("NAME", kRepTypeString, 8)}),
        Records({Record({Int(1), Str("daily")}), Record({Int(2), Str("weekly")})}));
    Ref<RepParams> params = RepParamsAlloc();
    RepParamsSetClass(params.get(), "Jobs");
    RepParamsSetFormat(params.get(), format);
    RepParamsSetOutputType(params.get(), type);
    Ref<RepControl> control = RepControlFromTable(params.get(), table.get());
    Ref<List> classes = ListNewFromPool();
    Ref<RepClass> c = RepClass::New();
    c->set_file_name("jobs");
    c->set_nice_name("Jobs");
    ListPushLastItemInternal(classes.get(), std::move(c));
    std::string name;
    EXPECT_EQ(RepSerialiseProducedReport(&name, base, control.get(), classes.get(), 0), 1);
    // The item holds the stored control, as a front end reads it back.
    Ref<RepStoredControl> stored;
    EXPECT_EQ(RepReConstructProducedReport(&stored, name.c_str(), 0), 1);
    Ref<Obj> item = ObjNewInternal(0, 0x4b52ff10, "o;s;", 0, nullptr);
    ObjSetSlotObject(item.get(), 1, Ref<Obj>::Share(stored->control()));
    ObjSetSlotString(item.get(), 2, name.c_str());
    return item;
  }

  Ref<List> Items(std::initializer_list<Ref<Obj>> items) {
    Ref<List> l = ListNewFromPool();
    for (const Ref<Obj>& i : items) ListAddLastItem(l.get(), i.get());
    return l;
  }
  std::string Header() { return machines_.alpha().ReportsPath("headers/Top"); }
  std::string Footer() { return machines_.alpha().ReportsPath("footers/End"); }
  std::vector<DirEntry> AlphaOutputs() {
    std::vector<DirEntry> e;
    DirScan(&e, AlphaOutput().c_str());
    return e;
  }
};

TEST_F(MultiReports, HtmlReportsCopiedToTheOtherMachineAndRemovedHere) {
  Ref<List> items = Items({Item(kRepOutputPlainText, "%ID %NAME\n", "plain"),
                           Item(kRepOutputHtmlText, "<p>%ID %NAME</p>\n", "html")});
  EXPECT_EQ(RepReportsToOutputNeedHTML(items.get()), 1);
  TraceCapture trace;
  std::string leaf;
  ASSERT_EQ(
      RepOutputReportsToMachine(&leaf, items.get(), "beta", Header().c_str(), Footer().c_str(), 0,
                                nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
      1)
      << trace.Dump();
  EXPECT_EQ(leaf.rfind("multireports0x", 0), 0u) << leaf;
  EXPECT_TRUE(AlphaOutputs().empty());  // the local directory went after the copy
  auto tree = kr_testing::DirTree(machines_.BetaOutput(leaf));
  ASSERT_EQ(tree.size(), 2u);
  EXPECT_EQ(tree["top.png"], Binary(1000, 3));
  const std::string& body = tree["output.html"];
  EXPECT_EQ(body.rfind("MULTI HEADER\n", 0), 0u) << body;
  EXPECT_NE(body.find("<p>2weekly</p>"), std::string::npos) << body;
  EXPECT_NE(body.find("<PRE>"), std::string::npos);  // the plain report, wrapped
  EXPECT_EQ(body.substr(body.size() - 13), "MULTI FOOTER\n");
  EXPECT_TRUE(trace.Contains("Transferred report output directory '", 2));
}

TEST_F(MultiReports, LocalMachineKeepsTheDirectoryFailedCopyRemovesIt) {
  Ref<List> items = Items({Item(kRepOutputPlainText, "%ID %NAME\n", "plain")});
  EXPECT_EQ(RepReportsToOutputNeedHTML(items.get()), 0);
  std::string leaf;
  ASSERT_EQ(RepOutputReportsToMachine(&leaf, items.get(), "ALPHA", nullptr, nullptr, 0, nullptr,
                                      nullptr, nullptr, nullptr, nullptr, nullptr),
            1);
  EXPECT_NE(ReadFile(AlphaOutput(leaf + "/output.txt"))->find("1   daily"), std::string::npos);
  kr_testing::RemoveTree(AlphaOutput(leaf));

  TraceCapture trace;
  leaf = "untouched";
  EXPECT_EQ(RepOutputReportsToMachine(&leaf, items.get(), "gamma", nullptr, nullptr, 0, nullptr,
                                      nullptr, nullptr, nullptr, nullptr, nullptr),
            0);
  EXPECT_EQ(leaf, "untouched");
  EXPECT_TRUE(AlphaOutputs().empty());
  EXPECT_TRUE(trace.Contains("Failed to transfer report output directory '", -1));
}

int FillNothing(List*, const RepFieldList*, void*) { return 1; }

TEST_F(MultiReports, ItemFailuresEndTheList) {
  Ref<Obj> good = Item(kRepOutputPlainText, "%ID %NAME\n", "plain");
  TraceCapture trace;
  std::string leaf;
  // Three items, two callback arguments: nothing is written.
  Ref<List> three = Items({good, good, good});
  Ref<List> two = Items({ObjNewInteger(1), ObjNewInteger(2)});
  EXPECT_EQ(RepOutputReportsToMachine(&leaf, three.get(), "alpha", nullptr, nullptr, 0, nullptr,
                                      nullptr, nullptr, &FillNothing, nullptr, two.get()),
            0);
  EXPECT_TRUE(trace.Contains("Wrong number of header/footer cookies. Given 2, want 3", -1));
  EXPECT_TRUE(AlphaOutputs().empty());

  // An item that holds no control ends the list; the one before it stays written.
  Ref<Obj> bad = ObjNewInternal(0, 0x4b52ff10, "o;s;", 0, nullptr);
  ObjSetSlotObject(bad.get(), 1, ObjNewInteger(5));
  Ref<List> mixed = Items({good, bad, good});
  EXPECT_EQ(RepOutputReportsToMachine(&leaf, mixed.get(), "alpha", Header().c_str(), nullptr, 0,
                                      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
            0);
  EXPECT_TRUE(trace.Contains("Report control object of incorrect type", -1));
  EXPECT_TRUE(trace.Contains("Failed to output produced reports as body of report output", -1));
  auto outputs = AlphaOutputs();
  ASSERT_EQ(outputs.size(), 1u);
  std::string body = *ReadFile(AlphaOutput(outputs[0].name + "/output.txt"));
  EXPECT_EQ(body.find("1   daily"), body.rfind("1   daily")) << body;
  EXPECT_NE(body.find("1   daily"), std::string::npos) << body;  // exactly one report
  EXPECT_EQ(body.rfind("MULTI HEADER\n", 0), 0u);
}

}  // namespace
