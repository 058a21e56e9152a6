// Summaries, group breaks, charts and RFC 4180 CSV as a user gets them: krreportd and krcatalogd
// running over a copy of the example installation, krreport run with the example templates and
// with flags, and the numbers checked against GROUP BY queries of the sqlite3 command line on the
// same catalog. The CSV is read back by Python's csv module in strict mode, the HTML by libxml2.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <libxml/HTMLparser.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "catalog.h"
#include "testing.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
const std::string kBin = KR_BIN_DIR;

struct Result {
  int status = -1;
  std::string out, err;
};

// Runs a program to its end (at most 60 seconds), its output caught in files.
Result RunProgram(const std::vector<std::string>& argv, const std::string& scratch) {
  Result r;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, (scratch + ".out").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, (scratch + ".err").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) {
    int st = 0;
    for (int i = 0; i < 6000 && waitpid(pid, &st, WNOHANG) == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (waitpid(pid, &st, WNOHANG) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &st, 0);
    }
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  }
  posix_spawn_file_actions_destroy(&actions);
  r.out = kr_testing::ReadFile(scratch + ".out").value_or("");
  r.err = kr_testing::ReadFile(scratch + ".err").value_or("");
  return r;
}

// A resident program, started with its output in a log; ready once it says so.
struct Resident {
  pid_t pid = -1;
  bool Start(const std::vector<std::string>& argv, const std::string& log) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const bool spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    for (int i = 0; spawned && i < 200; ++i) {
      if (kr_testing::ReadFile(log).value_or("").find("ready\n") != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  void Stop() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int st = 0;
    for (int i = 0; i < 500 && waitpid(pid, &st, WNOHANG) == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (waitpid(pid, &st, WNOHANG) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &st, 0);
    }
    pid = -1;
  }
};

std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, sep)) {
    if (!part.empty() && part.back() == '\r') part.pop_back();
    parts.push_back(part);
  }
  return parts;
}

// Rows of simple CSV (no quoted fields) by their first column; the header row is skipped when
// asked.
std::map<std::string, std::vector<std::string>> RowsByKey(const std::string& csv, bool header) {
  std::map<std::string, std::vector<std::string>> rows;
  std::vector<std::string> lines = Split(csv, '\n');
  for (size_t i = header ? 1 : 0; i < lines.size(); ++i) {
    if (lines[i].empty()) continue;
    std::vector<std::string> cells = Split(lines[i], ',');
    rows[cells.at(0)] = cells;
  }
  return rows;
}

class Summaries : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = kr_testing::MakeTempDir();
    fs::copy(std::string(KR_SOURCE_DIR) + "/examples", home_, fs::copy_options::recursive);
    kr_testing::WriteFile(home_ + "/config/configure.cfg",
                          "[Directories]\nReports = " + home_ + "/reports\n\n[Details]\n" +
                              "Description = \"Test domain\"\n");
    now_ = std::time(nullptr);
    catalog::GenerateOptions o;
    // KR_SUMMARY_JOBS makes a larger catalog for a check by hand (1000000 for the figures of
    // the summaries document); CI runs the small one.
    const char* jobs = std::getenv("KR_SUMMARY_JOBS");
    o.jobs = jobs != nullptr ? std::atoll(jobs) : 3000;
    o.seed = 11;
    o.now = now_;
    std::string error;
    ASSERT_EQ(catalog::Generate(home_ + "/catalog.db", o, &error), 1) << error;
    // Values that CSV must quote: a separator, both quote characters and a line break.
    const std::string update =
        "UPDATE devices SET name = 'Library A, drive \"1\"', location = 'Room ''2''' || "
        "char(10) || 'rack 3' WHERE deviceid = 1";
    ASSERT_EQ(RunProgram({"sqlite3", home_ + "/catalog.db", update}, home_ + "/sql").status, 0);
    setenv("KR_HOME", home_.c_str(), 1);
    setenv("KR_MACHINE", "summarytest", 1);
    setenv("KR_TRACE_FILE", "none", 1);
    setenv("TZ", "UTC", 1);  // dates of the catalog and of sqlite3 alike
    ASSERT_TRUE(daemon_.Start({kBin + "/krreportd"}, home_ + "/krreportd.log"));
    ASSERT_TRUE(provider_.Start({kBin + "/krcatalogd", "serve", "--catalog", home_ + "/catalog.db"},
                                home_ + "/krcatalogd.log"));
  }
  static void TearDownTestSuite() {
    provider_.Stop();
    daemon_.Stop();
    kr_testing::RemoveTree(home_);
  }

  static Result Report(std::vector<std::string> args) {
    args.insert(args.begin(), kBin + "/krreport");
    if (args[1] == "run") args.push_back("--quiet");
    return RunProgram(args, home_ + "/run");
  }
  static std::string Sql(const std::string& query) {
    Result r = RunProgram({"sqlite3", "-csv", home_ + "/catalog.db", query}, home_ + "/sql");
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }
  // The summary of a template (its include replaced by a fixed time when given) as RFC 4180
  // CSV, beside the same numbers from sqlite3.
  void ExpectSameRows(const std::vector<std::string>& args, const std::string& query) {
    Result r = Report(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto ours = RowsByKey(r.out, true);
    const auto theirs = RowsByKey(Sql(query), false);
    EXPECT_GT(ours.size(), 1u) << r.out;
    EXPECT_EQ(ours, theirs) << args[1] << "\n" << r.out;
  }

  static std::string home_;
  static int64_t now_;
  static Resident daemon_, provider_;
};

std::string Summaries::home_;
int64_t Summaries::now_;
Resident Summaries::daemon_, Summaries::provider_;

}  // namespace

TEST_F(Summaries, ExampleSummariesEqualSqlGroupBy) {
  // The relative include of each template is replaced by the same instant sqlite3 is given.
  const std::string day = std::to_string(now_ - 86400), week = std::to_string(now_ - 7 * 86400);
  ExpectSameRows(
      {"run", "--template", "dailysummary", "--include", "%starttime >= " + day, "--type",
       "rfc4180", "-o", "-"},
      "SELECT client, count(*), sum(status = 'OK'), sum(status = 'Failed'), "
      "sum(status = 'Cancelled'), sum(size), sum(duration) FROM jobs WHERE starttime >= " +
          day + " GROUP BY client");
  ExpectSameRows(
      {"run", "--template", "weeklysummary", "--include", "%starttime >= " + week, "--type",
       "rfc4180", "-o", "-"},
      "SELECT client, count(*), sum(status = 'OK'), sum(status = 'Warning'), "
      "sum(status = 'Failed'), sum(status = 'Cancelled'), sum(size), sum(files), sum(duration), "
      "sum(duration) / count(duration), date(max(starttime), 'unixepoch') FROM jobs "
      "WHERE starttime >= " + week + " GROUP BY client");
  // Media of no expiry (archive) have no earliest expiry date: N/A, where SQL has NULL.
  Result r = Report({"run", "--template", "mediacapacity", "--type", "rfc4180", "-o", "-"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string media = r.out;
  media = std::regex_replace(media, std::regex(",N/A\r\n"), ",\r\n");
  const auto theirs = RowsByKey(
      Sql("SELECT pool, count(*), sum(capacity), sum(used), "
          "coalesce(sum(expires >= strftime('%s','now') AND expires <= strftime('%s','now') + "
          "30 * 86400), 0), date(min(expires), 'unixepoch') FROM media GROUP BY pool"),
      false);
  EXPECT_EQ(RowsByKey(media, true), theirs) << r.out;

  // Minimum and maximum keep their types: sizes in bytes, start times ISO 8601 in UTC.
  ExpectSameRows({"run", "--class", "Jobs", "--group-by", "%level", "--aggregates",
                  "count min(%size) max(%size) min(%starttime) max(%starttime) avg(%files)",
                  "--type", "rfc4180", "-o", "-"},
                 "SELECT level, count(*), min(size), max(size), "
                 "strftime('%Y-%m-%dT%H:%M:%SZ', min(starttime), 'unixepoch'), "
                 "strftime('%Y-%m-%dT%H:%M:%SZ', max(starttime), 'unixepoch'), "
                 "sum(files) / count(files) FROM jobs GROUP BY level");
}

TEST_F(Summaries, Rfc4180CsvReadsBackInStrictMode) {
  Result r = Report({"run", "--class", "Devices", "--sort", "%deviceid", "--type", "rfc4180",
                     "-o", "devices"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string file = home_ + "/reports/output/devices/output.csv";
  const std::string csv = kr_testing::ReadFile(file).value_or("");
  EXPECT_EQ(csv.substr(0, csv.find("\r\n")), "deviceid,name,type,location,online");
  // Python's reader in strict mode refuses a badly quoted field; each row comes back whole.
  Result py = RunProgram({"python3", "-c",
                   "import csv, json, sys\n"
                   "with open(sys.argv[1], newline='') as f:\n"
                   "    print(json.dumps(list(csv.reader(f, strict=True))))\n",
                   file},
                  home_ + "/py");
  ASSERT_EQ(py.status, 0) << py.err;
  const std::string expected_row =
      "[\"1\", \"Library A, drive \\\"1\\\"\", \"LTO-8\", \"Room '2'\\nrack 3\", \"true\"]";
  EXPECT_NE(py.out.find(expected_row), std::string::npos) << py.out;
  const int64_t devices = std::stoll(Split(Sql("SELECT count(*) FROM devices"), '\n').at(0));
  EXPECT_EQ(std::count(py.out.begin(), py.out.end(), '['), devices + 2) << py.out;

  // The example export is the same kind of file, times in ISO 8601.
  r = Report({"run", "--template", "csvexport", "-o", "-"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> lines = Split(r.out, '\n');
  EXPECT_EQ(lines.at(0), "jobid,client,level,status,size,files,starttime,duration");
  EXPECT_TRUE(std::regex_search(lines.at(1), std::regex(",\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ,")))
      << lines.at(1);
}

namespace {

// Elements by name under `node`, depth first.
void Collect(xmlNode* node, const char* name, std::vector<xmlNode*>* found) {
  for (xmlNode* n = node; n != nullptr; n = n->next) {
    if (n->type == XML_ELEMENT_NODE && xmlStrcasecmp(n->name, BAD_CAST name) == 0) {
      found->push_back(n);
    }
    Collect(n->children, name, found);
  }
}

std::string Attribute(xmlNode* node, const char* name) {
  xmlChar* v = xmlGetProp(node, BAD_CAST name);
  std::string s = v != nullptr ? reinterpret_cast<const char*>(v) : "";
  xmlFree(v);
  return s;
}

}  // namespace

TEST_F(Summaries, HtmlSummaryCarriesItsChartAndBreaksStayWellFormed) {
  Result r = Report({"run", "--template", "weeklysummary"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string html =
      kr_testing::ReadFile(Split(r.out, '\n').at(0) + "/output.html").value_or("");
  const int64_t clients = std::stoll(Split(
      Sql("SELECT count(DISTINCT client) FROM jobs WHERE starttime >= strftime('%s','now') - "
          "7 * 86400"),
      '\n').at(0));
  // The chart is well-formed SVG on its own: one bar and two labels per client, no script.
  const size_t begin = html.find("<svg"), end = html.find("</svg>");
  ASSERT_NE(begin, std::string::npos);
  ASSERT_NE(end, std::string::npos);
  const std::string svg = html.substr(begin, end + 6 - begin);
  xmlDoc* chart = xmlReadMemory(svg.data(), int(svg.size()), "chart.svg", nullptr, XML_PARSE_NONET);
  ASSERT_NE(chart, nullptr) << svg;
  std::vector<xmlNode*> rects, texts;
  Collect(xmlDocGetRootElement(chart), "rect", &rects);
  Collect(xmlDocGetRootElement(chart), "text", &texts);
  EXPECT_EQ(int64_t(rects.size()), clients);
  EXPECT_EQ(int64_t(texts.size()), 2 * clients + 1);  // the title, then label and value per bar
  xmlFreeDoc(chart);
  EXPECT_EQ(html.find("<script"), std::string::npos);

  // The page as a browser reads it: the chart in the table's caption, one row per client plus
  // the header, total and average rows, the headline with its thousands.
  htmlDocPtr doc = htmlReadMemory(html.data(), int(html.size()), "report.html", "utf-8",
                                  HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET);
  ASSERT_NE(doc, nullptr);
  std::vector<xmlNode*> tables, captions, rows;
  Collect(xmlDocGetRootElement(doc), "table", &tables);
  Collect(xmlDocGetRootElement(doc), "caption", &captions);
  Collect(xmlDocGetRootElement(doc), "tr", &rows);
  ASSERT_EQ(tables.size(), 1u);
  ASSERT_EQ(captions.size(), 1u);
  EXPECT_EQ(captions[0]->parent, tables[0]);
  EXPECT_EQ(int64_t(rows.size()), clients + 3);
  xmlFreeDoc(doc);
  EXPECT_TRUE(std::regex_search(html, std::regex("class='headline'[^>]*>[0-9,]+ jobs, [0-9,]+ failed")))
      << html.substr(0, 3000);

  // Group breaks: a heading row and a subtotal row per client, then the grand total.
  r = Report({"run", "--template", "weeklyclients", "--group-by", "%client", "--breaks", "-o",
              "-"});
  ASSERT_EQ(r.status, 0) << r.err;
  doc = htmlReadMemory(r.out.data(), int(r.out.size()), "breaks.html", "utf-8",
                       HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET);
  ASSERT_NE(doc, nullptr);
  rows.clear();
  tables.clear();
  Collect(xmlDocGetRootElement(doc), "tr", &rows);
  Collect(xmlDocGetRootElement(doc), "table", &tables);
  int headings = 0, sums = 0;
  for (xmlNode* row : rows) {
    headings += Attribute(row, "class") == "group";
    sums += Attribute(row, "class") == "sum";
  }
  EXPECT_EQ(tables.size(), 1u);
  EXPECT_EQ(headings, clients + 1);
  EXPECT_EQ(sums, clients + 1);
  xmlFreeDoc(doc);
}

TEST_F(Summaries, NoClassPrintsASystemTimeAsSecondsAndTotalsAreNotCut) {
  Result classes = Report({"classes"});
  ASSERT_EQ(classes.status, 0) << classes.err;
  for (const std::string& line : Split(classes.out, '\n')) {
    if (line.empty()) continue;
    const std::string nice = line.substr(0, line.find("  "));
    Result r = Report({"run", "--class", nice, "-o", "-"});
    ASSERT_EQ(r.status, 0) << nice << r.err;
    EXPECT_FALSE(std::regex_search(r.out, std::regex("\\b1[6-9][0-9]{8}\\b"))) << nice;
  }
  // A total wider than its column: the column grows to hold it.
  Result r = Report({"run", "--class", "Jobs", "--format", "%client  %jobid  %duration\n",
                     "--option", "outputtotalrecord=Yes", "-o", "-"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string ids = Split(Sql("SELECT sum(jobid) FROM jobs"), '\n').at(0);
  EXPECT_NE(r.out.find(" " + ids + " "), std::string::npos) << r.out.substr(r.out.size() - 400);
}

TEST_F(Summaries, StoredSummaryReprocessesOnItsOwnFieldsAndRefusalsSayWhy) {
  Result r = Report({"run", "--template", "dailysummary", "--store", "-o", "-"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(" failed, "), std::string::npos) << r.out;  // the headline
  Result list = Report({"produced"});
  std::string name;
  for (const std::string& line : Split(list.out, '\n')) {
    if (line.rfind("Daily summary%", 0) == 0) name = line.substr(0, line.find(' ', 14));
  }
  ASSERT_FALSE(name.empty()) << list.out;
  // Filtered anew on a summary field: no headline of the groups it no longer has.
  r = Report({"produced", "reprocess", name, "--include", "%jobs > 1000000", "-o", "-"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find(" failed, "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Nothing to report."), std::string::npos) << r.out;

  // A stored detail report grouped anew from its stored records, without fetching.
  r = Report({"run", "--class", "Jobs", "--format", "%client %status %size\n", "--store", "-o",
              "-"});
  ASSERT_EQ(r.status, 0) << r.err;
  list = Report({"produced"});
  name.clear();
  for (const std::string& line : Split(list.out, '\n')) {
    if (line.rfind("Jobs%", 0) == 0) name = line.substr(0, line.find(' '));
  }
  ASSERT_FALSE(name.empty()) << list.out;
  r = Report({"produced", "reprocess", name, "--group-by", "%client", "--aggregates",
              "count failed=count(%status=Failed) sum(%size)", "--type", "rfc4180", "-o", "-"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(RowsByKey(r.out, true),
            RowsByKey(Sql("SELECT client, count(*), sum(status = 'Failed'), sum(size) FROM jobs "
                          "GROUP BY client"),
                      false));

  struct Refusal {
    std::vector<std::string> args;
    const char* message;
  } refusals[] = {
      {{"--group-by", "client"}, "expected a field reference such as %client"},
      {{"--group-by", "%client", "--aggregates", "sum(%starttime)"}, "no meaningful sum"},
      {{"--group-by", "%nosuch"}, "does not have: nosuch"},
      {{"--group-by", "%client", "--summary-format", "%client %bogus"}, "bogus"},
      {{"--group-by", "%client", "--headline", "%client jobs"}, "--headline"},
  };
  for (const Refusal& f : refusals) {
    std::vector<std::string> args = {"run", "--class", "Jobs", "-o", "-"};
    args.insert(args.end(), f.args.begin(), f.args.end());
    r = Report(args);
    EXPECT_EQ(r.status, 2) << f.message;
    EXPECT_NE(r.err.find(f.message), std::string::npos) << r.err;
  }
}
