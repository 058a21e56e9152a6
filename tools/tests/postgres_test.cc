// The catalog in PostgreSQL, against a real server this test starts (initdb and pg_ctl from
// Debian's postgresql, in a temporary directory, as an unprivileged user when run as root, on a
// Unix socket only): the same reports byte for byte as from SQLite, the push-down differential,
// and a server stopped in the middle of a fetch.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "catalog.h"
#include "catalog_test_util.h"
#include "kr/trace.h"
#include "source.h"
#include "testing.h"

extern char** environ;

namespace {

using namespace catalog_testing;
namespace fs = std::filesystem;

const std::string kBin = KR_BIN_DIR;

// A PostgreSQL server of our own. Every command is bounded by `timeout`.
class PgServer {
 public:
  bool Start() {
    for (const auto& e : fs::directory_iterator("/usr/lib/postgresql")) {
      if (fs::exists(e.path() / "bin/initdb")) bin_ = (e.path() / "bin").string();
    }
    char templ[] = "/tmp/krpg.XXXXXX";
    if (bin_.empty() || mkdtemp(templ) == nullptr) return false;
    dir_ = templ;
    if (geteuid() == 0) {  // the server refuses to run as root
      as_user_ = "runuser -u nobody -- ";
      if (std::system(("chown nobody " + dir_).c_str()) != 0) return false;
    }
    return Run(bin_ + "/initdb -D " + dir_ + "/data -A trust -U kr -E UTF8 --no-locale") &&
           Resume();
  }
  bool Resume() {
    up_ = Run(bin_ + "/pg_ctl -D " + dir_ + "/data -l " + dir_ + "/log -w -t 30 -o \"-k " + dir_ +
              " -c listen_addresses= -p 5432 -c fsync=off\" start");
    return up_;
  }
  bool Stop() {
    if (!up_) return true;
    up_ = !Run(bin_ + "/pg_ctl -D " + dir_ + "/data -m immediate -w -t 30 stop");
    return !up_;
  }
  ~PgServer() {
    Stop();
    if (!dir_.empty()) fs::remove_all(dir_);
  }
  std::string conninfo() const { return "host=" + dir_ + " port=5432 user=kr dbname=postgres"; }
  std::string log() const { return kr_testing::ReadFile(dir_ + "/log").value_or(""); }

 private:
  bool Run(const std::string& command) {
    return std::system(("timeout 60 " + as_user_ + command + " >>" + dir_ + "/commands.log 2>&1")
                           .c_str()) == 0;
  }
  std::string bin_, dir_, as_user_;
  bool up_ = false;
};

PgServer* g_server = nullptr;

class PostgresCatalog : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    g_server = new PgServer;
    if (!g_server->Start()) {
      delete g_server;
      g_server = nullptr;
    }
  }
  static void TearDownTestSuite() {
    delete g_server;
    g_server = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(g_server, nullptr) << "cannot start a PostgreSQL server (is postgresql installed?)";
    CopyExampleFields(home_);
    RepSetTimeNow(kNow);
  }
  void TearDown() override { catalog::Close(); }
  kr_testing::TestHome home_;
};

// A program with its output in a file.
class Program {
 public:
  Program(const std::vector<std::string>& argv, const std::vector<std::string>& env,
          const std::string& out)
      : out_(out) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (out + ".err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<std::string> all = env;
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::string(*e).rfind("KR_", 0) != 0) all.emplace_back(*e);
    }
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    for (auto& e : all) envp.push_back(e.data());
    args.push_back(nullptr);
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, args.data(), envp.data()) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Program() {
    if (pid_ > 0 && status_ < 0) {
      kill(pid_, SIGTERM);
      if (!Wait(10)) {
        kill(pid_, SIGKILL);
        Wait(5);
      }
    }
  }
  std::string out() const { return kr_testing::ReadFile(out_).value_or(""); }
  std::string err() const { return kr_testing::ReadFile(out_ + ".err").value_or(""); }
  bool WaitForReady(double seconds) {
    for (int i = 0; i < seconds * 50; ++i) {
      if (out().find("ready\n") != std::string::npos) return true;
      if (Wait(0)) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  bool Wait(double seconds) {
    for (int i = 0; status_ < 0; ++i) {
      int st = 0;
      if (waitpid(pid_, &st, WNOHANG) == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        break;
      }
      if (i >= seconds * 100) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }
  int status() const { return status_; }

 private:
  std::string out_;
  pid_t pid_ = -1;
  int status_ = -1;
};

// The same reports, each sorted on a unique key, from the catalog served out of SQLite and out
// of PostgreSQL (both written by `krcatalogd generate`) are byte-identical.
TEST_F(PostgresCatalog, ReportsAreByteIdenticalToSqlite) {
  const std::string home = home_.home();
  fs::copy(std::string(KR_SOURCE_DIR) + "/examples", home,
           fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  ASSERT_TRUE(kr_testing::WriteFile(home + "/config/configure.cfg",
                                    "[Directories]\nReports = " + home + "/reports\n"));
  // Classes whose filters the catalog pushes into its SELECT, in part or whole.
  ASSERT_TRUE(kr_testing::WriteFile(
      home + "/reports/classes/Pushed",
      "SELECT jobs.* FROM jobs WHERE IN jobs FILTER IS ((%status = 'failed' OR %size > 1gb) AND "
      "%client != 'apollo' AND %starttime >= now-30DA)\n"));
  ASSERT_TRUE(kr_testing::WriteFile(
      home + "/reports/classes/Scheduled",
      "SELECT clients.* FROM clients WHERE IN clients FILTER IS (%schedule = status:Normal AND "
      "%retention = status:Normal AND %quota != status:Unlimited AND %name != 'v*')\n"));
  const std::vector<std::string> env = {"KR_HOME=" + home, "KR_MACHINE=pgtest",
                                        "KR_FIXED_TIME=" + std::to_string(kNow),
                                        "KR_TIMEOUT_SCALE=0.1", "KR_TRACE_FILE=none"};
  const std::string sqlite = home + "/catalog.db";
  for (const std::string& target : {sqlite, g_server->conninfo()}) {
    Program gen({kBin + "/krcatalogd", "generate", "--jobs", "3000", "--seed", "3", "--now",
                 std::to_string(kNow), target},
                env, home + "/generate.out");
    ASSERT_TRUE(gen.Wait(60));
    ASSERT_EQ(gen.status(), 0) << gen.err();
  }
  const std::vector<std::vector<std::string>> reports = {
      {"--class", "Jobs and media", "--sort", "%jobid", "--type", "csv", "--format",
       "%jobid,%client,%level,%status,%size,%starttime,%label,%pool,%expires%\\n"},
      {"--class", "Clients", "--sort", "%name", "--type", "text", "--format",
       "%name %os %quota %schedule %retention%\\n"},
      {"--class", "Jobs of the last 7 days", "--sort", "%jobid", "--type", "csv", "--format",
       "%jobid,%startdate,%startat,%duration,%files%\\n"},
      {"--class", "Recent jobs", "--include", "%status = failed OR %size > 100mb", "--sort",
       "%client %jobid", "--type", "html"},
      {"--class", "Devices", "--sort", "%deviceid", "--type", "text"},
      {"--class", "Pushed", "--sort", "%jobid", "--type", "csv", "--format",
       "%jobid,%client,%status,%size,%starttime%\\n"},
      {"--class", "Scheduled", "--sort", "%name", "--type", "csv", "--format",
       "%name,%quota,%schedule%\\n"},
  };
  Program daemon({kBin + "/krreportd"}, env, home + "/daemon.out");
  ASSERT_TRUE(daemon.WaitForReady(10)) << daemon.err();
  std::vector<std::string> outputs[2];
  int i = 0;
  for (const std::string& catalog : {sqlite, g_server->conninfo()}) {
    Program provider({kBin + "/krcatalogd", "serve", "--catalog", catalog}, env,
                     home + "/provider.out");
    ASSERT_TRUE(provider.WaitForReady(20)) << provider.err();
    for (auto args : reports) {
      args.insert(args.begin(), {kBin + "/krreport", "run", "--quiet", "-o", "-"});
      Program report(args, env, home + "/report.out");
      ASSERT_TRUE(report.Wait(60));
      ASSERT_EQ(report.status(), 0) << args[6] << ": " << report.err();
      outputs[i].push_back(report.out());
    }
    ++i;
  }
  for (size_t r = 0; r < reports.size(); ++r) {
    EXPECT_GT(outputs[0][r].size(), 100u) << reports[r][1];
    EXPECT_EQ(outputs[0][r], outputs[1][r]) << reports[r][1];
  }
}

TEST_F(PostgresCatalog, RandomFiltersKeepTheSameRecordsWithAndWithoutPushDown) {
  std::string error;
  {
    auto writer = catalog::CreatePostgresWriter(g_server->conninfo(), &error);
    ASSERT_TRUE(writer) << error;
    ASSERT_TRUE(WriteAwkwardCatalog(writer.get(), 120, false, &error)) << error;
  }
  const std::string mapping = home_.HomePath("awkward.map");
  ASSERT_TRUE(kr_testing::WriteFile(mapping, kAwkwardMapping));
  ASSERT_EQ(catalog::Open(g_server->conninfo(), mapping, &error), 1) << error;
  const auto [built, pushed] = DifferentialRun(600, 7);
  EXPECT_GT(built, 400);
  EXPECT_GT(pushed, built / 3);

  // A column the database does not have is named with its line.
  ASSERT_TRUE(kr_testing::WriteFile(mapping, "[jobs]\ntable = jobs\nfield size = sise\n"));
  EXPECT_EQ(catalog::Open(g_server->conninfo(), mapping, &error), 0);
  EXPECT_NE(error.find("awkward.map:3: table 'jobs': field 'size': column \"sise\" does not exist"),
            std::string::npos)
      << error;
}

// The server goes away in the middle of a fetch: the fetch fails with the database's message, the
// next one fails to connect while the server is down, and once it is back a fetch reads it all.
TEST_F(PostgresCatalog, DatabaseStoppedDuringAFetch) {
  catalog::GenerateOptions o;
  o.jobs = 40000;
  o.now = kNow;
  std::string error;
  ASSERT_EQ(catalog::Generate(g_server->conninfo(), o, &error), 1) << error;
  ASSERT_EQ(catalog::Open(g_server->conninfo(), &error), 1) << error;
  Ref<List> fields = AllFields("jobs");
  const RepProvidedTableDesc* d = Desc("jobs");
  Ref<RepGrabberInitArgs> args = RepGrabberInitArgs::New();
  args->set_fields(Ref<List>::Share(fields.get()));
  kr_testing::TraceCapture trace;
  Ref<Obj> context;
  ASSERT_EQ(d->init(&context, args.get()), 1);
  int rc = 1, read = 0;
  for (; rc == 1; ++read) {
    Ref<RepRecord> rec = RepMakeBlankRecord(fields.get(), kRepStateNormal);
    if (read == 100) {
      ASSERT_TRUE(g_server->Stop());
    }
    rc = d->get_record(rec.get(), context.get(), args.get());
  }
  d->finish(&context, args.get());
  EXPECT_EQ(rc, 0);
  EXPECT_LT(read, 40000);
  EXPECT_NE(trace.Dump().find("reading table 'jobs' from the catalog failed: "), std::string::npos)
      << trace.Dump();

  EXPECT_EQ(d->init(&context, args.get()), 0);
  EXPECT_NE(trace.Dump().find("cannot read table 'jobs' from the catalog: cannot connect"),
            std::string::npos)
      << trace.Dump();

  ASSERT_TRUE(g_server->Resume());
  EXPECT_EQ(Grab("jobs", fields.get(), nullptr).size(), 40000u);
}

}  // namespace
