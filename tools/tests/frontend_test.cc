// The front end as an administrator meets it when something is wrong: every failure names its
// cause on the terminal, nothing is left half written or overwritten, and the resident programs
// still serve the next report.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

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

// Two stores in one second keep both reports; a named output directory is never merged into:
// refused while it exists, replaced whole with --replace.
TEST_F(FrontEndTest, NothingIsOverwritten) {
  std::set<std::string> names;
  for (int i = 0; i < 2; ++i) {
    Result r = inst_->Report({"run", "-t", "dailyfailures", "-q", "-o", "-", "--store"});
    ASSERT_EQ(r.status, 0) << r.err;
    const size_t at = r.err.find("stored as ");
    ASSERT_NE(at, std::string::npos) << r.err;
    names.insert(r.err.substr(at + 10, r.err.find('\n', at) - at - 10));
  }
  EXPECT_EQ(names.size(), 2u);
  const std::string listed = inst_->Report({"produced"}).out;
  for (const std::string& n : names) EXPECT_TRUE(Has(listed, n)) << n << "\n" << listed;

  const auto before = Entries(inst_->output());
  const std::string mine = inst_->output() + "/mine";
  Result r = inst_->Report({"run", "-c", "Jobs", "-q", "-o", "mine"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, mine + "\n");
  r = inst_->Report({"run", "-c", "Media", "-q", "-o", "mine", "--type", "html"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.err, "exists: give --replace")) << r.err;
  EXPECT_EQ(Entries(mine), std::set<std::string>{"output.txt"});
  r = inst_->Report({"run", "-c", "Media", "-q", "-o", "mine", "--type", "html", "--replace"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Entries(mine), std::set<std::string>{"output.html"});
  auto after = Entries(inst_->output());
  after.erase("mine");
  EXPECT_EQ(after, before);  // nothing left beside it
}

// Mistakes in the user's texts are refused before anything is fetched, with exit 2 and the
// place marked; bad flags are usage errors in every program, and each has --version.
TEST_F(FrontEndTest, InputCheckedAtTheDoor) {
  struct Case {
    std::vector<std::string> argv;
    int status;
    std::vector<std::string> said;
  };
  const std::vector<Case> cases = {
      {Krreport({"run", "-c", "Jobs", "-s", "size"}), 2, {"sort spec 'size'", "\n  size\n  ^\n"}},
      {Krreport({"run", "-c", "Jobs", "-s", "%size--"}), 2, {"at character 7", "        ^"}},
      {Krreport({"run", "-c", "Jobs", "-s", "%sise"}), 2, {"no field 'sise'"}},
      {Krreport({"run", "-c", "Jobs", "--header", "Nope"}), 2, {"headers/Nope'"}},
      {Krreport({"run", "-c", "Jobs", "-i", "%size >"}),
       2,
       {"include filter '%size >'", "at character 1", "Expected a filter expression"}},
      {Krreport({"run", "-c", "Jobs", "-i", "%status = OK AND %sise > 1"}),
       2,
       {"no field 'sise' at character 18", "Failed to get field index and type"}},
      {Krreport({"run", "-c", "Jobs", "-e", "%size > 1mb %status = OK"}),
       2,
       {"Expected AND, OR or ')'", "at character 13"}},
      {Krreport({"run", "-c", "Jobs", "--bogus"}), 2, {"--bogus"}},
      {{kBin + "/krreportd", "--bogus"}, 2, {"--bogus"}},
      {{kBin + "/krcatalogd", "generate", "--jobs", "abc", "x.db"},
       2,
       {"not in range 0 to 1000000000\n"}},
      {Krreport({"--version"}), 0, {}},
      {{kBin + "/krreportd", "--version"}, 0, {}},
  };
  const auto before = Entries(inst_->output());
  for (const Case& c : cases) {
    Result r = RunWith(*inst_, c.argv);
    EXPECT_EQ(r.status, c.status) << c.argv.back() << "\n" << r.err;
    for (const std::string& s : c.said) EXPECT_TRUE(Has(r.err, s)) << s << "\n" << r.err;
    if (c.status == 0) {
      EXPECT_TRUE(Has(r.out, " " KR_PROJECT_VERSION "\n")) << r.out;
    }
  }
  EXPECT_EQ(Entries(inst_->output()), before);

  // A class file that does not read is named, with the reason; the others still list.
  const std::string broken = inst_->reports() + "/classes/Broken";
  kr_testing::WriteFile(broken, "SELECT FROM WHERE (\n");
  Result r = inst_->Report({"classes"});
  fs::remove(broken);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Has(r.out, "Jobs of the last 7 days")) << r.out;
  EXPECT_TRUE(Has(r.err, "class file 'Broken'")) << r.err;
}

// Every example of `krreport --help`, of the man page's EXAMPLES and of the user's guide's
// shell blocks works when pasted.
TEST_F(FrontEndTest, DocumentedExamplesWork) {
  std::vector<std::string> examples;
  for (const std::string& line : Lines(inst_->Report({"--help"}).out)) {
    if (line.rfind("  krreport ", 0) == 0) examples.push_back(line.substr(2));
  }
  const std::string man =
      kr_testing::ReadFile(std::string(KR_SOURCE_DIR) + "/packaging/man/krreport.1").value_or("");
  bool in_example = false;
  for (std::string line : Lines(man)) {
    if (line == ".EX" || line == ".EE") in_example = line == ".EX";
    if (!in_example || line.rfind("krreport ", 0) != 0) continue;
    for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"\\-", "-"}, {"\\(aq", "'"}, {"\\e", "\\"}}) {
      for (size_t at = line.find(from); at != std::string::npos; at = line.find(from, at)) {
        line.replace(at, from.size(), to);
      }
    }
    examples.push_back(line);
  }
  const std::string guide =
      kr_testing::ReadFile(std::string(KR_SOURCE_DIR) + "/doc/guide.md").value_or("");
  bool in_shell = false;
  for (const std::string& line : Lines(guide)) {
    if (line.rfind("```", 0) == 0) in_shell = line == "```sh";
    if (in_shell && line.rfind("krreport ", 0) == 0) examples.push_back(line);
  }
  ASSERT_GE(examples.size(), 30u);
  for (const std::string& example : examples) {
    Result r = RunWith(*inst_, {"/bin/bash", "-c", "PATH=" + kBin + ":$PATH; " + example});
    EXPECT_EQ(r.status, 0) << example << "\n" << r.err;
    EXPECT_FALSE(r.out.empty()) << example;
  }
}

// --progress json: one object per line, keys in a fixed order, stages in order, counts that
// never pass the records there are, a joined class counted per table.
TEST_F(FrontEndTest, ProgressJsonTellsTheTruth) {
  const int64_t jobs = QueryInt(inst_->db(), "SELECT count(*) FROM jobs");
  Result r = inst_->Report({"run", "-c", "Client jobs", "--progress", "json", "-o", "-"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> order = {"fetch", "filter", "sort", "write", "done"};
  size_t at = 0;
  std::set<std::string> tables;
  for (const std::string& line : Lines(r.err)) {
    ASSERT_EQ(line.rfind("{\"stage\":", 0), 0u) << line;
    const auto j = nlohmann::json::parse(line);
    const std::string stage = j["stage"];
    while (at < order.size() && order[at] != stage) ++at;
    ASSERT_LT(at, order.size()) << "stage out of order: " << line;
    EXPECT_EQ(j.contains("table"), stage == "fetch") << line;
    if (j.contains("table")) tables.insert(j["table"].get<std::string>());
    EXPECT_LE(j["records"].get<int64_t>(), jobs) << line;
    EXPECT_GE(j["seconds"].get<double>(), 0.0) << line;
    EXPECT_LT(j["seconds"].get<double>(), 30.0) << line;
  }
  EXPECT_EQ(order[at], "done") << r.err;
  EXPECT_TRUE(tables.count("jobs")) << r.err;
}

// A second Ctrl-C, or a SIGTERM, ends krreport within a few seconds even when the provider it
// waits for is stopped; once the provider goes on, it serves the next report.
TEST_F(FrontEndTest, InterruptEndsPromptlyWhateverTheProvider) {
  kill(inst_->provider()->pid(), SIGSTOP);
  for (const std::vector<int>& signals : {std::vector<int>{SIGTERM}, {SIGINT, SIGINT}}) {
    std::unique_ptr<Child> c = inst_->ReportAsync({"run", "-c", "Jobs", "-q"});
    c->Wait(1);
    const auto t0 = std::chrono::steady_clock::now();
    for (int sig : signals) {
      kill(c->pid(), sig);
      c->Wait(0.3);
    }
    ASSERT_TRUE(c->Wait(5)) << "still running after 5 s";
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 4.0);
    EXPECT_EQ(c->status(), 130) << c->err();
  }
  kill(inst_->provider()->pid(), SIGCONT);
  ExpectStillServing();
}

}  // namespace
