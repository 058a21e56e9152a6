// The front end as an administrator meets it when something is wrong: every failure names its
// cause on the terminal, nothing is left half written or overwritten, and the resident programs
// still serve the next report.

#include <gtest/gtest.h>

#include "programs_testing.h"

namespace {

using namespace programs_testing;
namespace fs = std::filesystem;

// Runs `argv` with the installation's environment plus `extra` (which overrides a KR_ variable).
Result RunWith(const Installation& inst, const std::vector<std::string>& argv,
               const std::vector<std::string>& extra = {}, double timeout = 30) {
  std::vector<std::string> env = extra;
  for (const std::string& e : inst.Env()) {
    const std::string key = e.substr(0, e.find('=') + 1);
    bool overridden = false;
    for (const std::string& x : extra) overridden = overridden || x.rfind(key, 0) == 0;
    if (!overridden) env.push_back(e);
  }
  Child c(argv, env);
  if (!c.Wait(timeout)) {
    kill(c.pid(), SIGKILL);
    c.Wait(5);
  }
  return {c.status(), c.out(), c.err(), 0};
}

std::vector<std::string> Krreport(std::vector<std::string> args) {
  args.insert(args.begin(), kBin + "/krreport");
  return args;
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class FrontEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    inst_ = new Installation(600);
    ASSERT_TRUE(inst_->StartDaemon()) << inst_->daemon()->err();
    ASSERT_TRUE(inst_->StartProvider()) << inst_->provider()->err();
  }
  static void TearDownTestSuite() {
    delete inst_;
    inst_ = nullptr;
  }
  // A plain report to standard output still works: the resident programs survived.
  static void ExpectStillServing() {
    Result r = inst_->Report({"run", "-c", "Jobs", "-f", "%jobid", "-q", "-o", "-"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(r.out.empty());
  }
  static Installation* inst_;
};
Installation* FrontEndTest::inst_ = nullptr;

// Each failure: exit 1, the library's message or the front end's own sentence, then the cause,
// and no output directory left behind.
TEST_F(FrontEndTest, FailuresNameTheirCause) {
  const auto before = Entries(inst_->output());
  struct Case {
    std::vector<std::string> argv, env;
    std::vector<std::string> said;
  };
  const std::string bare_home = kr_testing::MakeTempDir();
  const std::vector<Case> cases = {
      {Krreport({"multi", "--machine", "nosuchhost", "whatever"}), {}, {"no stored report"}},
      {Krreport({"run", "-c", "Jobs", "-q"}),
       {"KR_HOME=/nonexistent/kr"},
       {"installation home '/nonexistent/kr' does not exist", "KR_HOME"}},
      {Krreport({"run", "-c", "Jobs", "-q"}),
       {"KR_HOME=" + bare_home},
       {bare_home + "/config/configure.cfg' does not exist", "Reports"}},
      // A file size limit stands in for a full disk: the same failed write, with its errno.
      {{"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 4; exec \"$0\" \"$@\"", kBin + "/krreport",
        "run", "-c", "Jobs", "-q"},
       {},
       {"Failed to output report bosy", "output.txt': File too large"}},
  };
  for (const Case& c : cases) {
    Result r = RunWith(*inst_, c.argv, c.env);
    EXPECT_EQ(r.status, 1) << c.argv.back() << "\n" << r.err;
    for (const std::string& s : c.said) EXPECT_TRUE(Has(r.err, s)) << s << "\n" << r.err;
  }
  kr_testing::RemoveTree(bare_home);
  EXPECT_EQ(Entries(inst_->output()), before);

  // An unknown machine is named before anything is written.
  Result r = inst_->Report({"run", "-t", "dailyfailures", "-q", "--store"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = inst_->Report({"produced"});
  const std::string stored = r.out.substr(0, r.out.find("  "));
  const auto with_store = Entries(inst_->output());
  r = inst_->Report({"multi", "--machine", "nosuchhost", stored});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.err, "machine 'nosuchhost' is unknown here")) << r.err;
  EXPECT_EQ(Entries(inst_->output()), with_store);
  ExpectStillServing();
}

// With the provider gone, `tables` and a report name it; once it is back, both work again.
TEST_F(FrontEndTest, StoppedProviderIsNamedAndTablesProbesIt) {
  Result r = inst_->Report({"tables"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "jobs")) << r.out;
  EXPECT_TRUE(Has(r.out, "Catalog Server")) << r.out;
  EXPECT_TRUE(Has(r.out, "answers")) << r.out;

  kill(inst_->provider()->pid(), SIGTERM);
  ASSERT_TRUE(inst_->provider()->Wait(10));
  r = inst_->Report({"tables"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.out, "does not answer: No process 'Catalog Server' is running on machine "
                         "'testhost'")) << r.out;
  r = inst_->Report({"run", "-c", "Jobs", "-q"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.err, "cannot load class 'Jobs'")) << r.err;
  EXPECT_TRUE(Has(r.err, "\n  No process 'Catalog Server' is running")) << r.err;

  ASSERT_TRUE(inst_->StartProvider()) << inst_->provider()->err();
  EXPECT_EQ(inst_->Report({"tables"}).status, 0);
  ExpectStillServing();
}

}  // namespace
