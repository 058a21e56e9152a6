// krweb's security as a client meets it: krreportd, krcatalogd and krweb started as processes
// over a copy of the example installation, and plain HTTP requests against them. Pages without
// a login, changing requests without the right CSRF token, names that would leave the output
// directory, a client name holding markup, a lock-out after failed logins, and the refusal to
// listen off loopback without TLS.

#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "auth.h"
#include "runner.h"
#include "testing.h"

namespace {

namespace fs = std::filesystem;
const std::string kBin = KR_BIN_DIR;
const std::string kScript = "<script>alert(1)</script>";

// A resident program started by the test; its output lines are read until "ready".
struct Program {
  pid_t pid = -1;
  int out = -1;
  std::string text;
  Program(const std::vector<std::string>& argv) { pid = krweb::Spawn(argv, &out, nullptr); }
  ~Program() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      int status = 0;
      waitpid(pid, &status, 0);
    }
    if (out >= 0) close(out);
  }
  // Reads standard output until `marker` or the end; false after 20 s.
  bool Wait(const std::string& marker) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    char buf[4096];
    while (text.find(marker) == std::string::npos) {
      if (std::chrono::steady_clock::now() > end) return false;
      const ssize_t n = read(out, buf, sizeof buf);
      if (n <= 0) return false;
      text.append(buf, static_cast<size_t>(n));
    }
    return true;
  }
  // The exit status once it ended by itself.
  int Status() {
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

class WebTest : public ::testing::Test {
 protected:
  // One installation with running providers for the whole suite; each test has its own krweb.
  static void SetUpTestSuite() {
    home_ = new std::string(kr_testing::MakeTempDir());
    fs::copy(std::string(KR_SOURCE_DIR) + "/examples", *home_, fs::copy_options::recursive);
    kr_testing::WriteFile(*home_ + "/config/configure.cfg",
                          "[Directories]\nReports = " + *home_ + "/reports\n");
    setenv("KR_HOME", home_->c_str(), 1);
    setenv("KR_MACHINE", "webtest", 1);
    setenv("KR_TRACE_FILE", "none", 1);
    const std::string db = *home_ + "/catalog.db";
    Program generate({kBin + "/krcatalogd", "generate", "--jobs", "500", db});
    ASSERT_EQ(generate.Status(), 0);
    // A client whose name is markup: it must show as text wherever it appears.
    sqlite3* h = nullptr;
    sqlite3_open(db.c_str(), &h);
    const std::string sql = "UPDATE clients SET name = '" + kScript +
                            "' WHERE rowid = 1; UPDATE jobs SET client = '" + kScript +
                            "' WHERE jobid <= 20;";
    ASSERT_EQ(sqlite3_exec(h, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(h);
    std::string error;
    ASSERT_TRUE(krweb::AddUser(*home_ + "/config/krweb.users", "admin", "pw1", false, &error))
        << error;
    daemon_ = new Program({kBin + "/krreportd"});
    ASSERT_TRUE(daemon_->Wait("ready\n"));
    provider_ = new Program({kBin + "/krcatalogd", "serve", "--catalog", db});
    ASSERT_TRUE(provider_->Wait("ready\n"));
  }
  static void TearDownTestSuite() {
    delete provider_;
    delete daemon_;
    kr_testing::RemoveTree(*home_);
    delete home_;
  }

  // Starts krweb on a free port with `extra` options; its client.
  std::unique_ptr<httplib::Client> Start(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv{kBin + "/krweb", "serve", "--port", "0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    web_ = std::make_unique<Program>(argv);
    EXPECT_TRUE(web_->Wait("ready\n")) << web_->text;
    std::smatch m;
    std::regex_search(web_->text, m, std::regex("http://127.0.0.1:([0-9]+)/"));
    auto client = std::make_unique<httplib::Client>("127.0.0.1", std::stoi(m[1]));
    client->set_read_timeout(30, 0);
    return client;
  }

  // Logs in; the cookie header and the CSRF token of the session.
  bool Login(httplib::Client& c, const std::string& password = "pw1") {
    auto form = c.Get("/login");
    std::smatch m;
    const std::string body = form ? form->body : "";
    if (!std::regex_search(body, m, std::regex("name=\"login\" value=\"([0-9a-f]+)\""))) {
      return false;
    }
    httplib::Headers h{{"Cookie", "krweb_login=" + std::string(m[1])}};
    auto res = c.Post("/login", h,
                      httplib::Params{{"login", m[1]}, {"user", "admin"}, {"password", password}});
    if (!res || res->status != 303) return false;
    const std::string set = res->get_header_value("Set-Cookie");
    cookie_ = set.substr(0, set.find(';'));
    auto home = c.Get("/", Auth());
    std::smatch t;
    if (!home || !std::regex_search(home->body, t, std::regex("name=\"csrf\" value=\"([0-9a-f]+)\""))) {
      return false;
    }
    csrf_ = t[1];
    return set.find("Secure") != std::string::npos && set.find("HttpOnly") != std::string::npos &&
           set.find("SameSite=Strict") != std::string::npos && set.find("Max-Age=") != std::string::npos;
  }
  httplib::Headers Auth() const { return {{"Cookie", cookie_}}; }

  // Runs a report from form fields and waits for it; the finished run's JSON.
  nlohmann::json RunReport(httplib::Client& c, httplib::Params form) {
    form.emplace("csrf", csrf_);
    auto res = c.Post("/run", Auth(), form);
    if (!res || res->status != 303) return {};
    const std::string run = res->get_header_value("Location").substr(6);
    for (int i = 0; i < 300; ++i) {
      auto state = c.Get("/api/runs/" + run, Auth());
      if (!state) break;
      auto j = nlohmann::json::parse(state->body, nullptr, false);
      if (j.is_object() && j["state"] != "queued" && j["state"] != "running") return j;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return {};
  }

  // Waits for run `id` to end; its final state.
  std::string WaitRun(httplib::Client& c, const std::string& id) {
    std::string state;
    for (int i = 0; i < 300 && (state.empty() || state == "queued" || state == "running"); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      auto res = c.Get("/api/runs/" + id, Auth());
      auto j = nlohmann::json::parse(res ? res->body : "", nullptr, false);
      state = j.is_object() ? j.value("state", "") : "";
    }
    return state;
  }

  static std::string* home_;
  static Program* daemon_;
  static Program* provider_;
  std::unique_ptr<Program> web_;
  std::string cookie_, csrf_;
};

std::string* WebTest::home_ = nullptr;
Program* WebTest::daemon_ = nullptr;
Program* WebTest::provider_ = nullptr;

TEST_F(WebTest, NothingWithoutLoginOrTheRightToken) {
  auto c = Start();
  for (const char* page : {"/", "/form?class=Jobs", "/runs", "/runs/0123abcd", "/stored",
                           "/stored/show?name=x", "/stored/download?type=csv&name=x",
                           "/report/x", "/report/x/zip", "/out/x/output.html",
                           "/runs/0123abcd/download?type=csv", "/templates", "/jobs"}) {
    auto res = c->Get(page);
    ASSERT_TRUE(res) << page;
    EXPECT_EQ(res->status, 303) << page;
    EXPECT_EQ(res->get_header_value("Location"), "/login") << page;
  }
  auto api = c->Get("/api/runs/0123abcd");
  EXPECT_EQ(api->status, 401);
  const char* actions[] = {"/run", "/logout", "/stored/reprocess", "/stored/delete",
                           "/runs/0123abcd/cancel", "/summary/run", "/jobs/run"};
  for (const char* action : actions) {
    EXPECT_EQ(c->Post(action, httplib::Params{{"template", "dailyfailures"}})->status, 401)
        << action;
  }
  // A login without the form's own token is refused (another site cannot log a browser in).
  auto forged = c->Post("/login", httplib::Params{{"user", "admin"}, {"password", "pw1"}});
  EXPECT_EQ(forged->status, 403);

  ASSERT_TRUE(Login(*c));
  EXPECT_EQ(c->Get("/", Auth())->status, 200);
  for (const char* action : actions) {
    for (const std::string& token : {std::string(), std::string("0000"), std::string(csrf_.size(), 'a')}) {
      httplib::Params p{{"template", "dailyfailures"}, {"name", "x"}};
      if (!token.empty()) p.emplace("csrf", token);
      EXPECT_EQ(c->Post(action, Auth(), p)->status, 403) << action << " with '" << token << "'";
    }
  }
  // The same token in the header is accepted; logging out ends the session.
  httplib::Headers with_header = Auth();
  with_header.emplace("X-CSRF-Token", csrf_);
  EXPECT_EQ(c->Post("/logout", with_header, httplib::Params{})->status, 303);
  EXPECT_EQ(c->Get("/", Auth())->status, 303);
}

// The front page shows each summary template's latest output, produced by its own button; the
// jobs page lists what `krreport job schedule` wrote.
TEST_F(WebTest, SummariesOnTheFrontPageAndTheJobs) {
  auto c = Start();
  ASSERT_TRUE(Login(*c));
  auto before = c->Get("/", Auth());
  ASSERT_EQ(before->status, 200);
  EXPECT_NE(before->body.find("data-summary=\"weeklysummary\""), std::string::npos);
  EXPECT_EQ(before->body.find("data-summary=\"dailyfailures\""), std::string::npos)
      << "a template without grouping is no summary";
  EXPECT_EQ(c->Post("/summary/run", Auth(), httplib::Params{{"template", "dailyfailures"},
                                                              {"csrf", csrf_}})->status, 404);
  EXPECT_EQ(c->Post("/summary/run", Auth(), httplib::Params{{"template", "../weeklysummary"},
                                                              {"csrf", csrf_}})->status, 404);
  // Run twice: the second run replaces the first output rather than failing on it.
  for (int round = 0; round < 2; ++round) {
    auto res = c->Post("/summary/run", Auth(),
                       httplib::Params{{"template", "weeklysummary"}, {"csrf", csrf_}});
    ASSERT_EQ(res->status, 303);
    ASSERT_EQ(WaitRun(*c, res->get_header_value("Location").substr(6)), "done") << round;
  }
  auto after = c->Get("/", Auth());
  const size_t section = after->body.find("id=\"summary-weeklysummary\"");
  ASSERT_NE(section, std::string::npos);
  const std::string part = after->body.substr(section, after->body.find("</section>", section) - section);
  EXPECT_NE(part.find("Made "), std::string::npos) << part;
  EXPECT_TRUE(part.find("<iframe class=\"summary-frame\" sandbox=\"\"") != std::string::npos ||
              part.find("<pre class=\"summary-text\">") != std::string::npos) << part;
  EXPECT_EQ(after->body.find(kScript), std::string::npos);

  // A job written into the installation, as an administrator schedules one.
  Program schedule({kBin + "/krreport", "job", "schedule", "nightly", "--template", "dailyfailures",
                    "--on-calendar", "*-*-* 07:30", "--mail-to", "ops@example.org",
                    "--unit-dir", *home_ + "/units"});
  ASSERT_EQ(schedule.Status(), 0);
  fs::create_directories(*home_ + "/jobs/broken");
  kr_testing::WriteFile(*home_ + "/jobs/broken/settings", "not a stanza file [");
  auto jobs = c->Get("/jobs", Auth());
  ASSERT_EQ(jobs->status, 200);
  for (const char* text : {"nightly", "dailyfailures", "*-*-* 07:30", "ops@example.org", "never",
                           "broken", "cannot be read"}) {
    EXPECT_NE(jobs->body.find(text), std::string::npos) << text;
  }
  EXPECT_EQ(c->Post("/jobs/run", Auth(), httplib::Params{{"name", "broken"}, {"csrf", csrf_}})
                ->status, 404);
  EXPECT_EQ(c->Post("/jobs/run", Auth(), httplib::Params{{"name", "../jobs/nightly"},
                                                          {"csrf", csrf_}})->status, 404);
  // Run now, for a job that mails nobody: it runs to the end and its last run is recorded.
  Program quiet({kBin + "/krreport", "job", "schedule", "quiet", "--template", "dailyfailures",
                 "--on-calendar", "daily", "--unit-dir", *home_ + "/units"});
  ASSERT_EQ(quiet.Status(), 0);
  auto run = c->Post("/jobs/run", Auth(), httplib::Params{{"name", "quiet"}, {"csrf", csrf_}});
  ASSERT_EQ(run->status, 303);
  EXPECT_EQ(WaitRun(*c, run->get_header_value("Location").substr(6)), "done");
  auto listed = c->Get("/jobs", Auth())->body;
  const size_t row = listed.find("<td>quiet</td>");
  ASSERT_NE(row, std::string::npos);
  EXPECT_NE(listed.find(" ok</td>", row), std::string::npos) << listed.substr(row, 400);
}

TEST_F(WebTest, RepeatedFailedLoginsLockTheNameOut) {
  auto c = Start({"--max-failures", "3", "--lockout-seconds", "2"});
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(Login(*c, "wrong"));
  EXPECT_FALSE(Login(*c));  // the right password, but locked out
  auto form = c->Get("/login");
  std::smatch m;
  std::regex_search(form->body, m, std::regex("name=\"login\" value=\"([0-9a-f]+)\""));
  auto res = c->Post("/login", {{"Cookie", "krweb_login=" + std::string(m[1])}},
                     httplib::Params{{"login", m[1]}, {"user", "admin"}, {"password", "pw1"}});
  EXPECT_EQ(res->status, 401);
  EXPECT_NE(res->body.find("Too many failed logins"), std::string::npos);
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  EXPECT_TRUE(Login(*c));
}

TEST_F(WebTest, NamesThatLeaveTheOutputDirectoryAreRefused) {
  auto c = Start();
  ASSERT_TRUE(Login(*c));
  const std::string output = *home_ + "/reports/output";
  fs::create_directories(output + "/plain");
  kr_testing::WriteFile(output + "/plain/output.txt", "fine\n");
  fs::create_symlink("/etc/passwd", output + "/plain/passwd");
  fs::create_directory_symlink("/etc", output + "/etclink");
  EXPECT_EQ(c->Get("/out/plain/output.txt", Auth())->status, 200);
  for (const char* path : {"/out/plain/passwd", "/out/etclink/passwd", "/out/plain/..%2F..%2Fconfig%2Fkrweb.users",
                           "/out/..%2Fconfig/krweb.users", "/out/../config/krweb.users",
                           "/report/etclink", "/report/..", "/report/etclink/zip",
                           "/stored/show?name=..%2Fx", "/stored/download?type=csv&name=..",
                           "/frame/9999999999-00/plain/output.txt"}) {
    auto res = c->Get(path, Auth());
    ASSERT_TRUE(res) << path;
    EXPECT_TRUE(res->status == 404 || res->status == 403 || res->status == 400)
        << path << " gave " << res->status;
    EXPECT_EQ(res->body.find("root:"), std::string::npos) << path;
  }
  auto del = c->Post("/stored/delete", Auth(), httplib::Params{{"csrf", csrf_}, {"name", "../x"}});
  EXPECT_EQ(del->status, 404);
  // The zip holds the regular files only, never what a link points at.
  auto zip = c->Get("/report/plain/zip", Auth());
  ASSERT_EQ(zip->status, 200);
  EXPECT_EQ(zip->body.find("root:"), std::string::npos);
  EXPECT_NE(zip->body.find("plain/output.txt"), std::string::npos);
}

TEST_F(WebTest, AClientNameWithMarkupShowsAsText) {
  auto c = Start();
  ASSERT_TRUE(Login(*c));
  auto text = RunReport(*c, {{"class", "Clients"}, {"type", "text"}});
  ASSERT_EQ(text.value("state", ""), "done") << text.dump();
  auto page = c->Get("/report/" + text["output"].get<std::string>(), Auth());
  // (The text writer may cut the name to the field's width.)
  EXPECT_NE(page->body.find("&lt;script&gt;aler"), std::string::npos);
  EXPECT_EQ(page->body.find("<script>alert"), std::string::npos);
  EXPECT_NE(page->get_header_value("Content-Security-Policy").find("script-src 'self'"),
            std::string::npos);

  // An HTML report is framed from its directory, under a policy that forbids scripts.
  auto html = RunReport(*c, {{"class", "Jobs"}, {"type", "html"}});
  ASSERT_EQ(html.value("state", ""), "done") << html.dump();
  auto framed = c->Get("/report/" + html["output"].get<std::string>(), Auth());
  EXPECT_EQ(framed->body.find("<script>alert"), std::string::npos);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(framed->body, m, std::regex("<iframe[^>]* sandbox=\"\" src=\"([^\"]+)\"")));
  auto body = c->Get(m[1].str());  // the frame's key, no cookie
  ASSERT_EQ(body->status, 200);
  EXPECT_EQ(body->get_header_value("Content-Security-Policy").rfind("sandbox; default-src 'none'", 0), 0u);
  EXPECT_EQ(body->get_header_value("X-Content-Type-Options"), "nosniff");

  // The run list and the JSON Lines download carry it as data too.
  EXPECT_EQ(c->Get("/runs", Auth())->body.find("<script>alert"), std::string::npos);
  auto jsonl = c->Get("/runs/" + text["id"].get<std::string>() + "/download?type=jsonl", Auth());
  ASSERT_EQ(jsonl->status, 200);
  EXPECT_NE(jsonl->body.find(kScript), std::string::npos);
  EXPECT_EQ(jsonl->get_header_value("Content-Type").rfind("application/x-ndjson", 0), 0u);
}

// One running, one waiting, the next refused; a waiting run can be cancelled before it starts.
// The ticked fields make the format.
TEST_F(WebTest, BoundedRunsQueueAndTickedFields) {
  auto c = Start({"--max-running", "1", "--max-queued", "1"});
  ASSERT_TRUE(Login(*c));
  auto post = [&](httplib::Params form) {
    form.emplace("csrf", csrf_);
    return c->Post("/run", Auth(), form);
  };
  // The provider is held, so the first run stays running however busy the machine is; template
  // runs ask nothing of the provider before they are queued.
  kill(provider_->pid, SIGSTOP);
  auto first = post({{"template", "dailyfailures"}});
  auto second = post({{"template", "dailyfailures"}});
  auto third = post({{"template", "dailyfailures"}});
  kill(provider_->pid, SIGCONT);
  ASSERT_EQ(first->status, 303);
  ASSERT_EQ(second->status, 303);
  EXPECT_EQ(third->status, 503);
  EXPECT_NE(third->body.find("Busy: 1 reports are running and 1 waiting"), std::string::npos);
  const std::string queued = second->get_header_value("Location");
  auto cancel = c->Post(queued + "/cancel", Auth(), httplib::Params{{"csrf", csrf_}});
  EXPECT_EQ(cancel->status, 303);
  auto state = nlohmann::json::parse(c->Get("/api" + queued, Auth())->body, nullptr, false);
  EXPECT_EQ(state.value("state", ""), "cancelled");
  EXPECT_EQ(state.value("error", ""), "Cancelled before it started.");
  auto wait_done = [&](const std::string& run) {
    auto s = nlohmann::json::parse(c->Get("/api" + run, Auth())->body, nullptr, false);
    for (int i = 0; i < 300 && s.value("state", "") != "done"; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      s = nlohmann::json::parse(c->Get("/api" + run, Auth())->body, nullptr, false);
    }
    return s;
  };
  state = wait_done(first->get_header_value("Location"));
  ASSERT_EQ(state.value("state", ""), "done") << state.dump();

  // Only the ticked fields are written.
  auto ticked = post({{"class", "Devices"}, {"type", "csv"}, {"field", "name"}, {"field", "type"}});
  ASSERT_EQ(ticked->status, 303);
  const std::string run = ticked->get_header_value("Location");
  state = wait_done(run);
  ASSERT_EQ(state.value("state", ""), "done") << state.dump();
  auto csv = c->Get(run + "/download?type=csv", Auth());
  ASSERT_EQ(csv->status, 200);
  EXPECT_NE(csv->body.find("Name,Type,\n"), std::string::npos) << csv->body;
  EXPECT_EQ(csv->body.find("Location"), std::string::npos);
}

TEST_F(WebTest, OffLoopbackOnlyWithTlsAndUsers) {
  Program off({kBin + "/krweb", "serve", "--listen", "0.0.0.0", "--port", "0"});
  Program no_users({kBin + "/krweb", "--users", *home_ + "/config/none", "serve", "--port", "0"});
  off.Wait("never");
  no_users.Wait("never");
  EXPECT_EQ(off.Status(), 1);
  EXPECT_EQ(no_users.Status(), 1);
  EXPECT_EQ(off.text.find("ready"), std::string::npos);
}

}  // namespace
