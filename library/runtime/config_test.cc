#include "kr/config.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "testing.h"

namespace {

using kr_testing::TestHome;
using kr_testing::TraceCapture;
using kr_testing::WriteFile;

TEST(Config, ReadsCaseBlindWithDefaultsAndFreshEachTime) {
  TestHome home;
  ASSERT_TRUE(WriteFile(home.config_dir() + "/reports.cfg",
                        "[reports]\ntextheaderrowpre = <TR>\n"
                        "[Reports]\nPlainToHTMLPost = </PRE>\nStatsSendBlockSize = 4096\n"
                        "Description = Backup server, 3rd floor\nBad Number = 12k\n"));
  std::string v;
  ASSERT_EQ(CfgGetString(&v, "configure.cfg", "Directories", "Reports"), 1);
  EXPECT_EQ(v, home.reports_dir());
  ASSERT_EQ(CfgGetString(&v, "reports.cfg", "REPORTS", "TEXTHEADERROWPRE"), 1);
  EXPECT_EQ(v, "<TR>");
  // "reports" and "Reports" are one title: the first stanza answers, not the second.
  EXPECT_EQ(CfgGetString(&v, "reports.cfg", "Reports", "PlainToHTMLPost"), 0);
  EXPECT_EQ(CfgGetString(&v, "reports.cfg", "Reports", "PlainToHTMLPost", "</PRE>"), 1);
  EXPECT_EQ(v, "</PRE>");
  EXPECT_EQ(CfgGetString(&v, "nosuch.cfg", "a", "b"), 0);
  ASSERT_EQ(CfgGetString(&v, "nosuch.cfg", "a", "b", ""), 1);
  EXPECT_EQ(v, "");

  ASSERT_TRUE(WriteFile(home.config_dir() + "/reports.cfg",
                        "[Reports]\nStatsSendBlockSize = 4096\n"
                        "Description = Backup server, 3rd floor\nBad Number = 12k\n"));
  EXPECT_EQ(CfgGetString(&v, "reports.cfg", "reports", "textheaderrowpre"), 0);  // not cached
  ASSERT_EQ(CfgGetString(&v, "reports.cfg", "reports", "description"), 1);
  EXPECT_EQ(v, "Backup server, 3rd floor");

  int32_t n = 0;
  ASSERT_EQ(CfgGetInteger(&n, "reports.cfg", "Reports", "StatsSendBlockSize"), 1);
  EXPECT_EQ(n, 4096);
  EXPECT_EQ(CfgGetInteger(&n, "reports.cfg", "Reports", "Missing"), 0);
  ASSERT_EQ(CfgGetInteger(&n, "reports.cfg", "Reports", "Missing", 7), 1);
  EXPECT_EQ(n, 7);
  TraceCapture cap(-1);
  EXPECT_EQ(CfgGetInteger(&n, "reports.cfg", "Reports", "Bad Number"), 0);
  ASSERT_EQ(CfgGetInteger(&n, "reports.cfg", "Reports", "Bad Number", 0), 1);
  EXPECT_EQ(n, 0);
  EXPECT_TRUE(cap.Contains("12k")) << cap.Dump();
}

TEST(Config, MalformedFilesAndUnsafeNamesCountAsAbsent) {
  TestHome home;
  ASSERT_TRUE(WriteFile(home.config_dir() + "/broken.cfg", "[a]\nk = \"unterminated\n"));
  ASSERT_TRUE(WriteFile(home.HomePath("outside.cfg"), "[a]\nk = secret\n"));
  TraceCapture cap(-1);
  std::string v;
  EXPECT_EQ(CfgGetString(&v, "broken.cfg", "a", "k"), 0);
  EXPECT_TRUE(cap.Contains("broken.cfg', line 2")) << cap.Dump();
  ASSERT_EQ(CfgGetString(&v, "broken.cfg", "a", "k", "dflt"), 1);
  EXPECT_EQ(v, "dflt");
  EXPECT_EQ(CfgGetString(&v, "../outside.cfg", "a", "k"), 0);
  EXPECT_EQ(CfgGetString(&v, (home.home() + "/outside.cfg").c_str(), "a", "k"), 0);
  EXPECT_EQ(CfgGetString(&v, nullptr, "a", "k"), 0);
}

class Catalogue : public ::testing::Test {
 protected:
  void TearDown() override { LocaleUnloadCatalogue(); }
  TestHome home_;
};

TEST_F(Catalogue, LooksUpLoadedTextsElseTheDefault) {
  EXPECT_EQ(LocaleGetString("Integer", 8199), "Integer");
  const char* before = LocaleGetStaticString("Integer", 8199);
  EXPECT_STREQ(before, "Integer");

  std::string path = home_.HomePath("de.cat");
  ASSERT_TRUE(WriteFile(path,
                        "[Strings]\n8199 = Ganzzahl\n8257 = \"Fehler, nicht ausgegeben\"\n"
                        "8258 = Kopf, Bilder\n8199 = zweite\n"));
  ASSERT_EQ(LocaleLoadCatalogue(path.c_str()), 1);
  EXPECT_EQ(LocaleGetString("Integer", 8199), "Ganzzahl");
  EXPECT_EQ(LocaleGetString("x", 8257), "Fehler, nicht ausgegeben");
  EXPECT_EQ(LocaleGetString("x", 8258), "Kopf, Bilder");
  EXPECT_EQ(LocaleGetString("String", 8200), "String");
  EXPECT_EQ(LocaleGetString(nullptr, 1), "");
  const char* loaded = LocaleGetStaticString("Integer", 8199);
  EXPECT_STREQ(loaded, "Ganzzahl");
  EXPECT_EQ(loaded, LocaleGetStaticString("Integer", 8199));  // kept once

  // A bad catalogue keeps the loaded one.
  TraceCapture cap(-1);
  ASSERT_TRUE(WriteFile(path, "[Strings]\nabc = x\n"));
  EXPECT_EQ(LocaleLoadCatalogue(path.c_str()), 0);
  ASSERT_TRUE(WriteFile(path, "[Other]\n1 = x\n"));
  EXPECT_EQ(LocaleLoadCatalogue(path.c_str()), 0);
  EXPECT_EQ(LocaleGetString("Integer", 8199), "Ganzzahl");

  LocaleUnloadCatalogue();
  EXPECT_EQ(LocaleGetString("Integer", 8199), "Integer");
  EXPECT_STREQ(loaded, "Ganzzahl");  // static texts outlive their catalogue
  EXPECT_EQ(before, LocaleGetStaticString("Integer", 8199));
}

TEST_F(Catalogue, IsSharedSafelyBetweenThreads) {
  std::string path = home_.HomePath("c.cat");
  ASSERT_TRUE(WriteFile(path, "[Strings]\n1 = one\n"));
  std::atomic<bool> bad{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        std::string s = LocaleGetString("uno", 1);
        std::string st = LocaleGetStaticString("uno", 1);
        if ((s != "one" && s != "uno") || (st != "one" && st != "uno")) bad = true;
      }
    });
  }
  for (int i = 0; i < 50; ++i) {
    LocaleLoadCatalogue(path.c_str());
    LocaleUnloadCatalogue();
  }
  for (auto& r : readers) r.join();
  EXPECT_FALSE(bad);
}

}  // namespace
