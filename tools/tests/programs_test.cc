// The programs as a user runs them: krreportd and krcatalogd started as processes over a copy of
// the example installation, krreport commands run, their outputs and exit statuses checked.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <libxml/HTMLparser.h>
#include <libxml/tree.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "catalog.h"
#include "testing.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string kBin = KR_BIN_DIR;

struct Result {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
  double seconds = 0;
};

// A child process with its standard output and error on pipes.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> all_env = env;
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::strncmp(*e, "KR_", 3) != 0) all_env.push_back(*e);
    }
    for (auto& e : all_env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, args.data(), envp.data()) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      Wait(5);
    }
    if (out_fd_ >= 0) close(out_fd_);
    if (err_fd_ >= 0) close(err_fd_);
  }
  pid_t pid() const { return pid_; }
  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }

  // Reads what is available for up to `ms` milliseconds.
  void Pump(int ms) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (poll(fds, 2, ms) <= 0) return;
    char buf[65536];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents & (POLLIN | POLLHUP)) {
        ssize_t n = read(fds[i].fd, buf, sizeof buf);
        if (n > 0) (i == 0 ? out_ : err_).append(buf, static_cast<size_t>(n));
      }
    }
  }
  bool WaitForOutput(const std::string& text, double seconds) {
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
      if (out_.find(text) != std::string::npos) return true;
      if (Exited()) break;
      Pump(50);
    }
    return out_.find(text) != std::string::npos;
  }
  bool Exited() {
    if (reaped_) return true;
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) == pid_) Reap(st);
    return reaped_;
  }
  // Waits for the exit (reading output meanwhile); false on time-out.
  bool Wait(double seconds) {
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (!Exited()) {
      if (Clock::now() > end) return false;
      Pump(20);
    }
    for (int i = 0; i < 50; ++i) Pump(0);
    return true;
  }
  int status() const { return status_; }

 private:
  void Reap(int st) {
    reaped_ = true;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  }
  pid_t pid_ = -1;
  int out_fd_ = -1, err_fd_ = -1;
  bool reaped_ = false;
  int status_ = -1;
  std::string out_, err_;
};

int64_t QueryInt(const std::string& db, const std::string& sql) {
  sqlite3* h = nullptr;
  sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  int64_t v = -1;
  if (sqlite3_prepare_v2(h, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
      sqlite3_step(st) == SQLITE_ROW)
    v = sqlite3_column_int64(st, 0);
  sqlite3_finalize(st);
  sqlite3_close(h);
  return v;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::set<std::string> Entries(const std::string& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) names.insert(e.path().filename());
  return names;
}

// An installation laid from examples/, a catalog, and both resident programs running.
class Installation {
 public:
  explicit Installation(int64_t jobs, std::string machine = "testhost")
      : machine_(std::move(machine)) {
    home_ = kr_testing::MakeTempDir();
    fs::copy(std::string(KR_SOURCE_DIR) + "/examples", home_, fs::copy_options::recursive);
    kr_testing::WriteFile(home_ + "/config/configure.cfg",
                          "[Directories]\nReports = " + home_ +
                              "/reports\n\n[Details]\nDescription = \"Test domain\"\n");
    catalog::GenerateOptions o;
    o.jobs = jobs;
    o.seed = 3;
    o.now = std::chrono::duration_cast<std::chrono::seconds>(
                std::chrono::system_clock::now().time_since_epoch())
                .count();
    std::string error;
    EXPECT_EQ(catalog::Generate(db(), o, &error), 1) << error;
  }
  ~Installation() {
    StopAll();
    kr_testing::RemoveTree(home_);
  }
  std::vector<std::string> Env() const {
    return {"KR_HOME=" + home_, "KR_MACHINE=" + machine_, "KR_TIMEOUT_SCALE=0.1",
            "KR_TRACE_FILE=none"};
  }
  const std::string& home() const { return home_; }
  std::string db() const { return home_ + "/catalog.db"; }
  std::string reports() const { return home_ + "/reports"; }
  std::string output() const { return home_ + "/reports/output"; }

  bool StartDaemon() {
    daemon_ = std::make_unique<Child>(std::vector<std::string>{kBin + "/krreportd"}, Env());
    return daemon_->WaitForOutput("ready\n", 10);
  }
  // `extra_env` adds to (and, for a KR_ variable, overrides) the environment of Env().
  bool StartProvider(const std::vector<std::string>& extra_env = {}) {
    std::vector<std::string> env = extra_env;
    for (const std::string& e : Env()) {
      const std::string key = e.substr(0, e.find('=') + 1);
      bool overridden = false;
      for (const std::string& x : extra_env) overridden = overridden || x.rfind(key, 0) == 0;
      if (!overridden) env.push_back(e);
    }
    provider_ = std::make_unique<Child>(
        std::vector<std::string>{kBin + "/krcatalogd", "serve", "--catalog", db()}, env);
    return provider_->WaitForOutput("ready\n", 10);
  }
  // The provider's trace (when started with it), read afresh.
  std::string trace() const { return kr_testing::ReadFile(home_ + "/provider.trace").value_or(""); }
  // Waits until the provider's trace says it started streaming the jobs table for the n-th time
  // (counted from 1), so a test can act while a transfer is surely under way.
  bool WaitForJobsStream(size_t n, int seconds) const {
    const std::string mark = "Started serving table 'jobs' as s-records";
    for (int i = 0; i < seconds * 500; ++i) {
      const std::string t = trace();
      size_t count = 0;
      for (size_t at = t.find(mark); at != std::string::npos; at = t.find(mark, at + 1)) ++count;
      if (count >= n) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }
  Child* provider() { return provider_.get(); }
  Child* daemon() { return daemon_.get(); }
  void StopAll() {
    for (Child* c : {provider_.get(), daemon_.get()}) {
      if (c != nullptr && !c->Exited()) {
        kill(c->pid(), SIGTERM);
        c->Wait(10);
      }
    }
  }

  Result Report(std::vector<std::string> args, double timeout = 60) {
    const auto t0 = Clock::now();
    std::unique_ptr<Child> c = ReportAsync(std::move(args));
    if (!c->Wait(timeout)) {
      kill(c->pid(), SIGKILL);
      c->Wait(5);
    }
    return {c->status(), c->out(), c->err(),
            std::chrono::duration<double>(Clock::now() - t0).count()};
  }
  std::unique_ptr<Child> ReportAsync(std::vector<std::string> args) {
    args.insert(args.begin(), kBin + "/krreport");
    return std::make_unique<Child>(args, Env());
  }

 private:
  std::string machine_;
  std::string home_;
  std::unique_ptr<Child> daemon_, provider_;
};

class ProgramsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    inst_ = new Installation(4000);
    ASSERT_TRUE(inst_->StartDaemon()) << inst_->daemon()->err();
    ASSERT_TRUE(inst_->StartProvider()) << inst_->provider()->err();
  }
  static void TearDownTestSuite() {
    delete inst_;
    inst_ = nullptr;
  }
  static Installation* inst_;
};
Installation* ProgramsTest::inst_ = nullptr;

TEST_F(ProgramsTest, ProviderRegisteredItsTables) {
  auto text = kr_testing::ReadFile(inst_->reports() + "/../config/reptables.cfg");
  ASSERT_TRUE(text.has_value());
  for (const char* t : {"[jobs]", "[media]", "[clients]", "[devices]"}) {
    EXPECT_NE(text->find(t), std::string::npos) << *text;
  }
  EXPECT_NE(text->find("Catalog Server"), std::string::npos);
  // The jobs table, and it alone, travels as a serialized-record stream.
  const size_t jobs = text->find("[jobs]");
  EXPECT_NE(text->find("Serialized Records = TRUE", jobs), std::string::npos);
  EXPECT_EQ(text->find("Serialized Records = TRUE", text->find("[", jobs + 1)), std::string::npos);
}

TEST_F(ProgramsTest, ClassesAndFields) {
  Result r = inst_->Report({"classes"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* c : {"Jobs", "Recent jobs", "Jobs of the last 7 days", "Jobs and media",
                        "Client jobs", "Media", "Clients", "Devices"}) {
    EXPECT_NE(r.out.find(c), std::string::npos) << c << "\n" << r.out;
  }
  r = inst_->Report({"fields", "Jobs"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 11u) << r.out;
  EXPECT_EQ(lines[0].substr(0, 5), "jobid");
  for (const char* text : {"System time", "Data Count", "Data the job wrote"})
    EXPECT_NE(r.out.find(text), std::string::npos) << text;
}

struct Refusal {
  std::vector<std::string> args;
  int status;
  const char* message;
};

// Runs each command: it ends with its status, says why on standard error (the message among
// it), writes nothing on standard output and leaves the output directory as it was.
void ExpectRefusals(Installation* inst, const std::vector<Refusal>& cases) {
  const auto before = Entries(inst->output());
  for (const auto& c : cases) {
    Result r = inst->Report(c.args);
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    EXPECT_EQ(r.status, c.status) << joined << "\n" << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << joined << "\n" << r.err;
    EXPECT_FALSE(r.err.empty()) << joined;
    EXPECT_TRUE(r.out.empty()) << joined << "\n" << r.out;
  }
  EXPECT_EQ(Entries(inst->output()), before);
}

// Bad arguments are usage errors (2); a report that cannot be made is a failure (1).
TEST_F(ProgramsTest, BadArgumentsAndBadFilters) {
  ExpectRefusals(
      inst_,
      {
          {{}, 2, "subcommand"},
          {{"nosuch"}, 2, "subcommand"},
          {{"fields", "No such class"}, 1, "No such class"},
          {{"run"}, 2, "--template or --class"},
          {{"run", "--class", "Jobs", "--type", "pdf"}, 2, "pdf"},
          {{"run", "--class", "Jobs", "--frobnicate"}, 2, "frobnicate"},
          {{"run", "--class", "Jobs", "--option", "nosuch=1"}, 2, "no option 'nosuch'"},
          {{"run", "--class", "Jobs", "--option", "autocolumnheaders"}, 2, "KEY=VALUE"},
          {{"run", "--class", "Jobs", "-o", "../escape"}, 2, "not a path"},
          {{"run", "--template", "nosuch"}, 1, "cannot read template"},
          {{"run", "--class", "Jobs", "--include", "%nosuch = 1", "-o", "-"}, 1, "include filter"},
          {{"run", "--class", "Jobs", "--include", "%size >", "-o", "-"}, 1, "filter"},
          {{"run", "--class", "Jobs", "--format", "%jobid %bogus", "-o", "-"}, 1, ""},
      });
  EXPECT_EQ(inst_->Report({"--help"}).status, 0);
}

TEST_F(ProgramsTest, TextReportFromTemplateIntoAnOutputDirectory) {
  Result r = inst_->Report({"run", "--template", "dailyfailures", "--quiet"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 1u) << r.out;
  const std::string dir = lines[0];
  EXPECT_EQ(dir.rfind(inst_->output() + "/Dailyfailures0x", 0), 0u) << dir;
  auto body = kr_testing::ReadFile(dir + "/output.txt");
  ASSERT_TRUE(body.has_value());
  EXPECT_EQ(body->rfind("FAILED AND CANCELLED JOBS OF THE LAST DAY on testhost (Test domain)", 0),
            0u)
      << *body;
  const int64_t failed =
      QueryInt(inst_->db(),
               "SELECT count(*) FROM jobs WHERE status IN ('Failed','Cancelled') AND starttime >= "
               "strftime('%s','now') - 86400");
  EXPECT_NE(body->find("- " + std::to_string(failed) + " jobs"), std::string::npos) << *body;
  EXPECT_NE(body->find("-- end of report"), std::string::npos);
}

TEST_F(ProgramsTest, EmptyFailuresReportSaysNothingFailed) {
  Result r = inst_->Report({"run", "--template", "dailyfailures", "--include",
                            "%status = NoSuchStatus", "-o", "-", "--quiet"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Nothing failed in the last day.\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("- 0 jobs"), std::string::npos) << r.out;
}

TEST_F(ProgramsTest, CsvFromFlagsToStandardOutputMatchesTheCatalog) {
  Result r = inst_->Report(
      {"run", "--class", "Jobs", "--include", "%status = OK AND %size > 1000000", "--sort",
       "%client %size-", "--format", "%jobid,%client,%level,%status%\\n", "--type", "csv",
       "--option", "autocolumnheaders=No", "--header", "", "--footer", "", "-o", "-"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto lines = Lines(r.out);
  const int64_t expected =
      QueryInt(inst_->db(), "SELECT count(*) FROM jobs WHERE status = 'OK' AND size > 1000000");
  ASSERT_EQ(static_cast<int64_t>(lines.size()), expected) << r.out.substr(0, 400);
  std::string previous;
  for (const auto& line : lines) {
    const auto a = line.find(','), b = line.find(',', a + 1);
    ASSERT_NE(b, std::string::npos) << line;
    std::string client = line.substr(a + 1, b - a - 1);
    for (auto& ch : client) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    EXPECT_LE(previous, client);  // case-blind ascending
    previous = client;
    EXPECT_NE(line.find(",OK"), std::string::npos) << line;
  }
  // Nothing stays behind in the output directory when the body went to standard output.
  for (const auto& name : Entries(inst_->output())) EXPECT_NE(name.rfind("Jobs0x", 0), 0u) << name;
}

TEST_F(ProgramsTest, JsonLinesParseBack) {
  Result r = inst_->Report({"run", "--class", "Clients", "--format",
                            "%name %quota %schedule %retention", "--type", "jsonl", "-o", "-"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto lines = Lines(r.out);
  ASSERT_EQ(static_cast<int64_t>(lines.size()),
            QueryInt(inst_->db(), "SELECT count(*) FROM clients"));
  int unlimited = 0;
  for (const auto& line : lines) {
    auto j = nlohmann::json::parse(line);
    ASSERT_EQ(j.size(), 4u) << line;
    EXPECT_TRUE(j["name"].is_string());
    if (j["quota"].is_string()) {
      EXPECT_EQ(j["quota"], "Unlimited");
      ++unlimited;
    } else {
      EXPECT_TRUE(j["quota"].is_number_integer()) << line;
    }
  }
  EXPECT_EQ(unlimited, QueryInt(inst_->db(), "SELECT count(*) FROM clients WHERE quota IS NULL"));

  r = inst_->Report({"run", "--class", "Jobs", "--format", "%jobid %starttime %size %duration",
                     "--sort", "%jobid", "--type", "jsonl", "-o", "-"});
  ASSERT_EQ(r.status, 0) << r.err;
  lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 4000u);
  auto first = nlohmann::json::parse(lines[0]);
  EXPECT_EQ(first["jobid"], 1);
  EXPECT_TRUE(first["size"].is_number_integer());
  EXPECT_TRUE(first["duration"].is_number_integer());
  const std::string t = first["starttime"];
  EXPECT_EQ(t.size(), 20u) << t;  // 2026-11-29T10:13:20Z
  EXPECT_EQ(t.back(), 'Z');
}

// Walks an HTML document and counts what a browser would show.
struct HtmlCounts {
  int tables = 0, header_cells = 0, rows = 0, sum_rows = 0, average_rows = 0;
  std::string image_src;
};

void Count(xmlNode* node, HtmlCounts* c) {
  for (xmlNode* n = node; n != nullptr; n = n->next) {
    if (n->type == XML_ELEMENT_NODE) {
      const std::string name = reinterpret_cast<const char*>(n->name);
      xmlChar* cls = xmlGetProp(n, BAD_CAST "class");
      const std::string klass = cls != nullptr ? reinterpret_cast<const char*>(cls) : "";
      xmlFree(cls);
      if (name == "table") ++c->tables;
      if (name == "th") ++c->header_cells;
      if (name == "tr") {
        ++c->rows;
        if (klass == "sum") ++c->sum_rows;
        if (klass == "average") ++c->average_rows;
      }
      if (name == "img") {
        xmlChar* src = xmlGetProp(n, BAD_CAST "src");
        if (src != nullptr) c->image_src = reinterpret_cast<const char*>(src);
        xmlFree(src);
      }
    }
    Count(n->children, c);
  }
}

// Parses HTML, collecting the parser's complaints.
HtmlCounts ParseHtml(const std::string& html, std::string* errors) {
  HtmlCounts counts;
  htmlParserCtxtPtr ctxt = htmlNewParserCtxt();
  xmlSetStructuredErrorFunc(errors, [](void* data, xmlErrorPtr e) {
    *static_cast<std::string*>(data) += e->message != nullptr ? e->message : "?";
  });
  htmlDocPtr doc = htmlCtxtReadMemory(ctxt, html.data(), static_cast<int>(html.size()),
                                      "report.html", "utf-8", HTML_PARSE_NONET);
  xmlSetStructuredErrorFunc(nullptr, nullptr);
  if (doc != nullptr) {
    Count(xmlDocGetRootElement(doc), &counts);
    xmlFreeDoc(doc);
  } else {
    *errors += "no document";
  }
  htmlFreeParserCtxt(ctxt);
  return counts;
}

TEST_F(ProgramsTest, WeeklyHtmlReportIsAWellFormedPage) {
  Result r = inst_->Report({"run", "--template", "weeklyclients", "--quiet"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string dir = Lines(r.out).at(0);
  EXPECT_TRUE(fs::exists(dir + "/logo.png"));
  auto html = kr_testing::ReadFile(dir + "/output.html");
  ASSERT_TRUE(html.has_value());
  std::string errors;
  HtmlCounts c = ParseHtml(*html, &errors);
  EXPECT_EQ(errors, "") << *html;
  EXPECT_EQ(c.tables, 1);
  EXPECT_EQ(c.header_cells, 9);
  EXPECT_EQ(c.sum_rows, 1);
  EXPECT_EQ(c.average_rows, 1);
  EXPECT_EQ(c.image_src, "logo.png");
  const int64_t week = QueryInt(
      inst_->db(), "SELECT count(*) FROM jobs WHERE starttime >= strftime('%s','now') - 7 * 86400");
  EXPECT_EQ(c.rows, week + 1 + 2);  // the header row, one per job, sum and average
  EXPECT_EQ(html->rfind("<!DOCTYPE html>", 0), 0u);
  EXPECT_NE(html->find("</html>"), std::string::npos);
}

TEST_F(ProgramsTest, EmptyHtmlReportIsStillWellFormed) {
  Result r = inst_->Report({"run", "--template", "weeklyclients", "--include", "%client = nobody",
                            "-o", "-", "--quiet"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string errors;
  HtmlCounts c = ParseHtml(r.out, &errors);
  EXPECT_EQ(errors, "") << r.out;
  EXPECT_EQ(c.tables, 1);
  EXPECT_NE(r.out.find("Nothing to report."), std::string::npos) << r.out;
}

TEST_F(ProgramsTest, JoinedAndRestrictedClasses) {
  Result r = inst_->Report({"run", "--class", "Jobs and media", "--format",
                            "%jobid %label %expires", "--type", "jsonl", "-o", "-"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto lines = Lines(r.out);
  EXPECT_EQ(lines.size(), 4000u);
  int never = 0;
  for (const auto& line : lines) {
    auto j = nlohmann::json::parse(line);
    EXPECT_EQ(j["label"].get<std::string>().substr(0, 3), "VOL");
    if (j["expires"] == "Never") ++never;
  }
  EXPECT_GT(never, 0);

  r = inst_->Report({"run", "--class", "Recent jobs", "--format", "%jobid", "--type", "csv",
                     "--option", "autocolumnheaders=No", "--header", "", "--footer", "", "-o",
                     "-"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(
      static_cast<int64_t>(Lines(r.out).size()),
      QueryInt(inst_->db(),
               "SELECT count(*) FROM jobs WHERE starttime >= strftime('%s','now') - 9 * 86400"));
}

// Produces a report into the store and gives its stored name (empty on failure).
std::string StoreReport(Installation* inst, std::vector<std::string> args) {
  args.insert(args.begin(), "run");
  for (const char* a : {"--store", "-o", "-"}) args.push_back(a);
  Result r = inst->Report(args);
  const std::string mark = "stored as ";
  const size_t at = r.err.find(mark);
  EXPECT_EQ(r.status, 0) << r.err;
  if (r.status != 0 || at == std::string::npos) return "";
  const size_t begin = at + mark.size();
  return r.err.substr(begin, r.err.find('\n', begin) - begin);
}

TEST_F(ProgramsTest, StoredReportsListShowReprocessDelete) {
  const auto before = Entries(inst_->reports() + "/produced");
  const std::string name =
      StoreReport(inst_, {"--class", "Jobs", "--format", "%jobid %status\n", "--sort", "%jobid"});
  ASSERT_FALSE(name.empty());
  EXPECT_GT(Entries(inst_->reports() + "/produced").size(), before.size());

  Result r = inst_->Report({"produced"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(name), std::string::npos) << r.out;

  r = inst_->Report({"produced", "show", name});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("class:             Jobs\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("records:           4000\n"), std::string::npos) << r.out;

  // New filter and order over the stored records: the catalog's failed jobs, highest id first.
  r = inst_->Report({"produced", "reprocess", name, "--include", "%status = Failed", "--sort",
                     "%jobid-", "-o", "-"});
  ASSERT_EQ(r.status, 0) << r.err;
  // The record lines, between the default header and footer.
  std::vector<std::string> lines;
  for (const std::string& line : Lines(r.out)) {
    if (!line.empty() && std::isdigit(static_cast<unsigned char>(line[0]))) lines.push_back(line);
  }
  EXPECT_EQ(static_cast<int64_t>(lines.size()),
            QueryInt(inst_->db(), "SELECT count(*) FROM jobs WHERE status = 'Failed'"));
  long previous = 1L << 40;
  for (const std::string& line : lines) {
    EXPECT_NE(line.find("Failed"), std::string::npos) << line;
    const long id = std::stol(line);
    EXPECT_LT(id, previous);
    previous = id;
  }
  // Another output type, into an output directory.
  r = inst_->Report({"produced", "reprocess", name, "--type", "html"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::exists(Lines(r.out).at(0) + "/output.html")) << r.out;

  // Re-processing changed nothing stored.
  EXPECT_NE(inst_->Report({"produced", "show", name}).out.find("records:           4000\n"),
            std::string::npos);
  r = inst_->Report({"produced", "delete", name});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(inst_->Report({"produced"}).out.find(name), std::string::npos);
  EXPECT_EQ(inst_->Report({"produced", "show", name}).status, 1);
}

TEST_F(ProgramsTest, StoredReportCommandsRefuseBadNames) {
  const std::string name = StoreReport(inst_, {"--class", "Clients"});
  ASSERT_FALSE(name.empty());
  ExpectRefusals(
      inst_,
      {
          {{"produced", "show", "nosuch"}, 1, "no stored report 'nosuch'"},
          {{"produced", "show", "x%20040305140709%000%../../etc"}, 1, "no stored report"},
          {{"produced", "reprocess", "a%2004%000%jobs"}, 1, "no stored report"},
          {{"produced", "delete", "../../config%x"}, 1, "no stored report"},
          {{"produced", "reprocess", name, "--include", "%nosuch = 1", "-o", "-"}, 1, "re-process"},
          {{"produced", "reprocess", name, "-o", "../up"}, 2, "not a path"},
          {{"produced", "show"}, 2, "name"},
          {{"multi", name, "nosuch"}, 1, "no stored report 'nosuch'"},
          {{"multi"}, 2, "names"},
          {{"job", "new"}, 2, "--template"},
          {{"job", "new", "--template", "csvexport", "-o", "/nonexistent/dir"}, 1, "cannot write"},
      });
  EXPECT_EQ(inst_->Report({"produced", "show", name}).status, 0);  // a refused delete kept it
}

TEST_F(ProgramsTest, MultiWritesStoredReportsIntoOneDirectory) {
  const std::string text = StoreReport(inst_, {"--class", "Clients", "--format", "%name\n"});
  const std::string html = StoreReport(inst_, {"--class", "Devices", "--type", "html"});
  ASSERT_FALSE(text.empty());
  ASSERT_FALSE(html.empty());
  Result r = inst_->Report({"multi", text, html});
  ASSERT_EQ(r.status, 0) << r.err;
  auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 1u) << r.out;
  EXPECT_EQ(lines[0].rfind(inst_->output() + "/", 0), 0u) << lines[0];
  EXPECT_TRUE(fs::is_directory(lines[0]));
  EXPECT_NE(r.err.find("HTML"), std::string::npos) << r.err;
  // This machine named as the target keeps the output here.
  r = inst_->Report({"multi", text, "--machine", "TESTHOST", "-q"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::is_directory(Lines(r.out).at(0)));
  // A machine that cannot be reached: failed, and nothing left behind here.
  const auto before = Entries(inst_->output());
  r = inst_->Report({"multi", text, "--machine", "nosuchmachine"}, 30);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("nosuchmachine"), std::string::npos) << r.err;
  EXPECT_EQ(Entries(inst_->output()), before);
}

TEST_F(ProgramsTest, JobNewWritesRecordAndComponents) {
  const std::string dir = kr_testing::MakeTempDir();
  Result r = inst_->Report({"job", "new", "--template", "dailyfailures", "--template", "nosuch",
                            "--title", "Nightly", "-o", dir, "--print"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::is_regular_file(dir + "/job"));
  EXPECT_TRUE(fs::is_regular_file(dir + "/components"));
  // The printout names the record's parts and both components, in order; the missing template
  // still gives one.
  for (const char* part :
       {"JobRecord", "JobDefinition", "JobStep", "JobStepProcess", "JobScheduleHolder",
        "JobScheduleTime", "\"Nightly\"", "\"Reports Producer\"", "1007006", "list of 2"}) {
    EXPECT_NE(r.out.find(part), std::string::npos) << part << "\n" << r.out;
  }
  const size_t first = r.out.find("\"dailyfailures\"");
  EXPECT_NE(first, std::string::npos) << r.out;
  EXPECT_GT(r.out.find("\"nosuch\""), first);
  r = inst_->Report({"job", "new", "--template", "csvexport", "--kind", "2", "-o", dir});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, dir + "/job\n" + dir + "/components\n");
  kr_testing::RemoveTree(dir);
}

// Two installations on this host playing two machines: the combined output lands in the other
// machine's output directory, byte for byte, and the local copy goes.
TEST(ProgramsTwoMachines, MultiCopiesTheOutputToAnotherMachine) {
  Installation here(200);
  Installation there(10, "otherhost");
  const std::string line =
      "otherhost 127.0.0.1 " + std::to_string(kr_testing::FreePort()) + " Reports Producer\n";
  kr_testing::WriteFile(here.home() + "/config/machines", line);
  kr_testing::WriteFile(there.home() + "/config/machines", "testhost 127.0.0.1\n" + line);
  ASSERT_TRUE(here.StartDaemon());
  ASSERT_TRUE(here.StartProvider());
  ASSERT_TRUE(there.StartDaemon()) << there.daemon()->err();
  const std::string html = StoreReport(&here, {"--template", "weeklyclients"});
  const std::string text = StoreReport(&here, {"--class", "Jobs", "--format", "%jobid\n"});
  ASSERT_FALSE(html.empty());
  ASSERT_FALSE(text.empty());

  const auto before = Entries(here.output());
  Result r = here.Report({"multi", html, text, "--machine", "otherhost"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(r.out.rfind("otherhost:", 0), 0u) << r.out;
  const std::string leaf = Lines(r.out).at(0).substr(std::strlen("otherhost:"));
  EXPECT_EQ(Entries(here.output()), before);
  const std::string copied = there.output() + "/" + leaf;
  ASSERT_TRUE(fs::is_directory(copied)) << copied;
  // The same output made here: the copy holds the same files with the same bytes.
  r = here.Report({"multi", html, text});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string local = Lines(r.out).at(0);
  size_t files = 0;
  for (const auto& e : fs::recursive_directory_iterator(local)) {
    if (!e.is_regular_file()) continue;
    ++files;
    const std::string rel = fs::relative(e.path(), local);
    std::string there_bytes = kr_testing::ReadFile(copied + "/" + rel).value_or("<missing>");
    std::string here_bytes = kr_testing::ReadFile(e.path()).value_or("");
    if (e.path().extension() == ".html") {
      // The footer says when the page was written: the two outputs here were written a moment
      // apart, the copy is of the first.
      const std::regex written("at [0-9]{2}:[0-9]{2}:[0-9]{2} on");
      there_bytes = std::regex_replace(there_bytes, written, "at T on");
      here_bytes = std::regex_replace(here_bytes, written, "at T on");
    }
    EXPECT_EQ(there_bytes, here_bytes) << rel;
  }
  EXPECT_GT(files, 0u);
  size_t copied_files = 0;
  for (const auto& e : fs::recursive_directory_iterator(copied))
    copied_files += e.is_regular_file();
  EXPECT_EQ(copied_files, files);
}

// Ctrl-C during a long fetch: exit 130, no output directory, and the provider serves the next
// request. Then the provider dies during one.
TEST(ProgramsCancel, InterruptDuringALongFetch) {
  Installation inst(400000);
  ASSERT_TRUE(inst.StartDaemon());
  // The provider's trace tells when a transfer is under way, so nothing here depends on timing.
  ASSERT_TRUE(
      inst.StartProvider({"KR_TRACE_FILE=" + inst.home() + "/provider.trace", "KR_TRACE_LEVEL=2"}));
  const auto before = Entries(inst.output());
  auto child = inst.ReportAsync({"run", "--class", "Jobs", "--format", "%jobid %client %size"});
  ASSERT_TRUE(inst.WaitForJobsStream(1, 20)) << inst.trace();
  ASSERT_FALSE(child->Exited()) << "the fetch ended before it could be interrupted";
  kill(child->pid(), SIGINT);
  ASSERT_TRUE(child->Wait(30));
  EXPECT_EQ(child->status(), 130) << child->err();
  EXPECT_NE(child->err().find("cancelled"), std::string::npos) << child->err();
  EXPECT_EQ(Entries(inst.output()), before);

  Result r =
      inst.Report({"run", "--class", "Devices", "--format", "%name", "--type", "jsonl", "-o", "-"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Lines(r.out).size(), 6u);
  EXPECT_FALSE(inst.provider()->Exited());

  // A provider that dies mid-transfer fails the report with the library's message, promptly.
  child = inst.ReportAsync({"run", "--class", "Jobs", "--format", "%jobid %client %size"});
  ASSERT_TRUE(inst.WaitForJobsStream(2, 20)) << inst.trace();
  kill(inst.provider()->pid(), SIGKILL);
  ASSERT_TRUE(child->Wait(30)) << "the report hangs on a dead provider";
  EXPECT_EQ(child->status(), 1) << child->err();
  EXPECT_NE(child->err().find("Failed to get raw report data"), std::string::npos) << child->err();
  EXPECT_EQ(Entries(inst.output()), before);
}

// SIGTERM ends both resident programs cleanly: status 0 and their endpoints unpublished. A
// report asked for while the provider is gone fails with a message, promptly.
TEST(ProgramsShutdown, SigtermEndsCleanlyAndLaterReportsFail) {
  Installation inst(100);
  ASSERT_TRUE(inst.StartDaemon());
  ASSERT_TRUE(inst.StartProvider());
  kill(inst.provider()->pid(), SIGTERM);
  ASSERT_TRUE(inst.provider()->Wait(10));
  EXPECT_EQ(inst.provider()->status(), 0) << inst.provider()->err();
  Result r = inst.Report({"run", "--class", "Jobs", "--format", "%jobid", "-o", "-"}, 30);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_FALSE(r.err.empty());
  EXPECT_LT(r.seconds, 15.0);
  EXPECT_TRUE(r.out.empty());
  inst.StopAll();
  EXPECT_EQ(inst.daemon()->status(), 0) << inst.daemon()->err();
  std::error_code ec;
  int published = 0;
  for (const auto& e : fs::recursive_directory_iterator(inst.reports() + "/../run", ec))
    published += e.is_regular_file();
  EXPECT_EQ(published, 0);
}

}  // namespace
