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

#include "programs_testing.h"

namespace {

using namespace programs_testing;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

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

// Bad arguments, filters among them, are usage errors (2); a report that cannot be made is a
// failure (1).
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
          {{"run", "--class", "Jobs", "--include", "%nosuch = 1", "-o", "-"}, 2, "include filter"},
          {{"run", "--class", "Jobs", "--include", "%size >", "-o", "-"}, 2, "filter"},
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
          {{"produced", "reprocess", name, "--include", "%nosuch = 1", "-o", "-"}, 2, "no field 'nosuch'"},
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
