// Processes and machines as an administrator meets them: one process per published name, a
// provider that falls silent or dies in the middle of a report, and a report made across two
// machines over mutual TLS while a third machine without a valid certificate is refused. Every
// case runs the shipped programs as processes over a copy of the example installation.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>

#include "programs_testing.h"

namespace {

using programs_testing::Child;
using programs_testing::Clock;
using programs_testing::kBin;
namespace fs = std::filesystem;

double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// A free TCP port of the loopback interface (free when asked; the tests use it at once).
uint16_t FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

// One machine: an installation home laid from examples/ (with a catalog when it provides
// tables), its trace in <home>/trace, and the programs run as that machine.
class Machine {
 public:
  explicit Machine(std::string name, int64_t jobs = 0) : name_(std::move(name)) {
    home_ = kr_testing::MakeTempDir();
    fs::copy(std::string(KR_SOURCE_DIR) + "/examples", home_, fs::copy_options::recursive);
    kr_testing::WriteFile(home_ + "/config/configure.cfg",
                          "[Directories]\nReports = " + home_ +
                              "/reports\n\n[Details]\nDescription = \"Test domain\"\n");
    if (jobs > 0) {
      catalog::GenerateOptions o;
      o.jobs = jobs;
      o.seed = 5;
      o.now = std::chrono::duration_cast<std::chrono::seconds>(
                  std::chrono::system_clock::now().time_since_epoch())
                  .count();
      std::string error;
      EXPECT_EQ(catalog::Generate(db(), o, &error), 1) << error;
    }
  }
  ~Machine() {
    procs_.clear();
    kr_testing::RemoveTree(home_);
  }
  const std::string& home() const { return home_; }
  std::string db() const { return home_ + "/catalog.db"; }
  std::string trace() const { return kr_testing::ReadFile(home_ + "/trace").value_or(""); }
  std::vector<std::string> Env() const {
    return {"KR_HOME=" + home_, "KR_MACHINE=" + name_, "KR_TIMEOUT_SCALE=0.1",
            "KR_TRACE_FILE=" + home_ + "/trace"};
  }
  // Starts a program of this machine, kept running until the machine goes; `extra` comes
  // before (and so wins over) the machine's environment.
  Child* Start(std::vector<std::string> argv, std::vector<std::string> extra = {}) {
    argv[0] = kBin + "/" + argv[0];
    for (const std::string& e : Env()) extra.push_back(e);
    procs_.push_back(std::make_unique<Child>(argv, extra));
    return procs_.back().get();
  }
  // Runs a program to its end (killed after `seconds`).
  std::unique_ptr<Child> Run(std::vector<std::string> argv, double seconds = 30) {
    argv[0] = kBin + "/" + argv[0];
    auto p = std::make_unique<Child>(argv, Env());
    if (!p->Wait(seconds)) {
      kill(p->pid(), SIGKILL);
      p->Wait(5);
    }
    return p;
  }
  std::unique_ptr<Child> Report() {
    return Run({"krreport", "run", "--template", "dailyfailures", "-o", "-", "--quiet"});
  }

 private:
  std::string name_;
  std::string home_;
  std::vector<std::unique_ptr<Child>> procs_;
};

// Inserts `lines` into the [reports] stanza of the machine's reports.cfg (read case-blind, the
// first stanza of a title wins, so a second stanza would not be read).
void AddReportsKeys(const Machine& m, const std::string& lines) {
  const std::string path = m.home() + "/config/reports.cfg";
  std::string text = kr_testing::ReadFile(path).value_or("");
  const size_t at = text.find("[reports]\n");
  ASSERT_NE(at, std::string::npos);
  text.insert(at + 10, lines);
  ASSERT_TRUE(kr_testing::WriteFile(path, text));
}

// A second krreportd or krcatalogd under a name already published refuses to start, names the
// running process's pid, and leaves its endpoint alone, so reports still run; a killed process's
// endpoint is stale and its successor takes it over. krcatalogd's usage errors exit 2.
TEST(Processes, OneProcessPerPublishedName) {
  Machine m("alpha", 300);
  Child* daemon = m.Start({"krreportd"});
  ASSERT_TRUE(daemon->WaitForOutput("ready\n", 15)) << daemon->err();
  Child* provider = m.Start({"krcatalogd", "serve", "--catalog", m.db()});
  ASSERT_TRUE(provider->WaitForOutput("ready\n", 15)) << provider->err();

  struct Second {
    std::vector<std::string> argv;
    pid_t holder;
  } const seconds[] = {
      {{"krreportd"}, daemon->pid()},
      {{"krcatalogd", "serve", "--catalog", m.db(), "--reports-machine", "nosuchhost"},
       provider->pid()},
  };
  for (const Second& s : seconds) {
    auto second = m.Run(s.argv, 15);
    EXPECT_NE(second->status(), 0) << s.argv[0];
    EXPECT_NE(second->err().find("is already running (pid " + std::to_string(s.holder) + ","),
              std::string::npos)
        << second->err();
  }
  auto report = m.Report();
  EXPECT_EQ(report->status(), 0) << report->err();
  EXPECT_FALSE(report->out().empty());

  // A provider killed outright leaves its endpoint file; the next one replaces it.
  kill(provider->pid(), SIGKILL);
  ASSERT_TRUE(provider->Wait(5));
  Child* again = m.Start({"krcatalogd", "serve", "--catalog", m.db()});
  ASSERT_TRUE(again->WaitForOutput("ready\n", 15)) << again->err();
  EXPECT_EQ(m.Report()->status(), 0);

  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"krcatalogd", "serve", "--catalog", m.db(), "--nope"},
        std::vector<std::string>{"krcatalogd", "generate", "--jobs", "abc", "x.db"},
        std::vector<std::string>{"krcatalogd"}}) {
    EXPECT_EQ(m.Run(bad)->status(), 2) << bad.back();
  }
  auto version = m.Run({"krcatalogd", "--version"});
  EXPECT_EQ(version->status(), 0);
  EXPECT_EQ(version->out().rfind("krcatalogd ", 0), 0u) << version->out();
}

// Waits until the provider's trace says it started streaming the jobs table for the n-th time,
// so that a test acts while a transfer is surely under way.
bool WaitForJobsStream(const Machine& m, size_t n) {
  const std::string mark = "Started serving table 'jobs' as s-records";
  for (int i = 0; i < 10000; ++i) {
    const std::string t = m.trace();
    size_t count = 0;
    for (size_t at = t.find(mark); at != std::string::npos; at = t.find(mark, at + 1)) ++count;
    if (count >= n) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

// A provider stopped (SIGSTOP) in the middle of a report is given up after the fetch inactivity
// limit, and one killed in the middle at once; each failure names the table, the process and the
// machine; with no provider running the report says so; and once the provider is back, or
// continued, the next report runs.
TEST(Processes, SilentKilledOrMissingProviderEndsTheReportWithItsCause) {
  Machine m("alpha", 100000);
  AddReportsKeys(m, "FetchInactivityLimit = 2\n");
  Child* daemon = m.Start({"krreportd"});
  ASSERT_TRUE(daemon->WaitForOutput("ready\n", 15)) << daemon->err();
  const std::vector<std::string> serve = {"krcatalogd", "serve", "--catalog", m.db()};
  Child* provider = m.Start(serve, {"KR_TRACE_LEVEL=2"});
  ASSERT_TRUE(provider->WaitForOutput("ready\n", 15)) << provider->err();
  const std::vector<std::string> run = {kBin + "/krreport", "run", "--class", "Jobs", "--format",
                                        "%jobid %client %size", "-o", "-", "--quiet"};

  auto silent = std::make_unique<Child>(run, m.Env());
  ASSERT_TRUE(WaitForJobsStream(m, 1)) << m.trace();
  kill(provider->pid(), SIGSTOP);
  auto start = Clock::now();
  ASSERT_TRUE(silent->Wait(10)) << "the report hangs on a stopped provider";
  EXPECT_EQ(silent->status(), 1) << silent->err();
  EXPECT_GE(Since(start), 1.5);
  EXPECT_TRUE(silent->out().empty());
  // The cause reaches the terminal, under krreport's own message.
  EXPECT_NE(silent->err().find("Table 'jobs': process 'Catalog Server' on machine 'alpha' sent "
                               "nothing for 2 s"),
            std::string::npos)
      << silent->err();

  kill(provider->pid(), SIGCONT);
  auto after = m.Report();
  EXPECT_EQ(after->status(), 0) << after->err();

  // SIGTERM ends a report waiting on a stopped provider at once, well within its limit.
  std::vector<std::string> patient = run;
  patient.insert(patient.end(), {"--fetch-timeout", "30"});
  auto stopped = std::make_unique<Child>(patient, m.Env());
  ASSERT_TRUE(WaitForJobsStream(m, 3)) << m.trace();
  kill(provider->pid(), SIGSTOP);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  kill(stopped->pid(), SIGTERM);
  start = Clock::now();
  ASSERT_TRUE(stopped->Wait(5)) << "SIGTERM does not end a report waiting on a stopped provider";
  EXPECT_EQ(stopped->status(), 130) << stopped->err();
  EXPECT_LT(Since(start), 2.0);
  kill(provider->pid(), SIGCONT);

  auto killed = std::make_unique<Child>(run, m.Env());
  ASSERT_TRUE(WaitForJobsStream(m, 4)) << m.trace();
  kill(provider->pid(), SIGKILL);
  ASSERT_TRUE(killed->Wait(10)) << "the report hangs on a dead provider";
  EXPECT_EQ(killed->status(), 1);
  EXPECT_NE(m.trace().find("the stream from process 'Catalog Server' on machine 'alpha' broke "
                           "off before its end"),
            std::string::npos)
      << m.trace();

  ASSERT_TRUE(provider->Wait(5));  // reaped, as init reaps a killed daemon
  auto missing = m.Report();
  EXPECT_EQ(missing->status(), 1);
  EXPECT_NE(m.trace().find("Table 'jobs': process 'Catalog Server' on machine 'alpha', which the "
                           "table registry names as its provider, cannot be reached"),
            std::string::npos)
      << m.trace();
  Child* back = m.Start(serve);
  ASSERT_TRUE(back->WaitForOutput("ready\n", 15)) << back->err();
  EXPECT_EQ(m.Report()->status(), 0);
}

// Runs scripts/make-certs with `args`; true when it succeeded.
bool MakeCerts(const std::vector<std::string>& args) {
  const char* script = std::getenv("KR_MAKE_CERTS");
  std::vector<std::string> argv = {"/bin/bash", script != nullptr
                                                    ? std::string(script)
                                                    : std::string(KR_SOURCE_DIR) +
                                                          "/scripts/make-certs"};
  argv.insert(argv.end(), args.begin(), args.end());
  Child p(argv, {});
  return p.Wait(30) && p.status() == 0;
}

// Lays the TLS files of `machine` (made in `authority`) into its home's config/tls.
void InstallTls(const Machine& m, const std::string& authority, const std::string& name) {
  const std::string tls = m.home() + "/config/tls";
  fs::create_directories(tls);
  for (const std::string& f : {std::string("ca.crt"), name + ".crt", name + ".key"})
    fs::copy_file(authority + "/" + f, tls + "/" + f);
}

// The provider on beta (127.0.0.3), krreportd and krreport on alpha (127.0.0.2), each with the
// domain's certificates from scripts/make-certs and fixed ports from the machines file: the
// report crosses the machines over mutual TLS. gamma, whose certificate another authority
// signed, is refused with the reason under its message; delta, with the domain's certificate
// but not among the machines beta serves, is refused by beta; alpha's next report still runs.
TEST(Machines, ReportAcrossTwoMachinesOverMutualTls) {
  const std::string certs = kr_testing::MakeTempDir();
  const std::string domain = certs + "/domain", rogue = certs + "/rogue";
  ASSERT_TRUE(MakeCerts({domain, "ca"}));
  ASSERT_TRUE(MakeCerts({domain, "machine", "alpha"}));
  ASSERT_TRUE(MakeCerts({domain, "machine", "beta"}));
  ASSERT_TRUE(MakeCerts({domain, "machine", "delta"}));
  ASSERT_TRUE(MakeCerts({rogue, "ca"}));
  ASSERT_TRUE(MakeCerts({rogue, "machine", "gamma"}));

  Machine alpha("alpha"), beta("beta", 300), gamma("gamma"), delta("delta");
  const std::string machines = "alpha 127.0.0.2\nalpha 127.0.0.2 " + std::to_string(FreePort()) +
                               " Reports Producer\nbeta 127.0.0.3\nbeta 127.0.0.3 " +
                               std::to_string(FreePort()) + " Catalog Server\ngamma 127.0.0.4\ndelta 127.0.0.5\n";
  for (const Machine* m : {&alpha, &beta, &gamma, &delta})
    ASSERT_TRUE(kr_testing::WriteFile(m->home() + "/config/machines", machines));
  InstallTls(alpha, domain, "alpha");
  InstallTls(beta, domain, "beta");
  InstallTls(gamma, rogue, "gamma");
  InstallTls(delta, domain, "delta");

  // Certificate problems stop a program at start, with the reason: a key others may read, a
  // certificate that names another machine.
  const std::string alpha_key = alpha.home() + "/config/tls/alpha.key";
  fs::permissions(alpha_key, fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);
  auto open_key = alpha.Run({"krreportd"}, 15);
  EXPECT_EQ(open_key->status(), 1);
  EXPECT_NE(open_key->err().find("chmod 600"), std::string::npos) << open_key->err();
  fs::permissions(alpha_key, fs::perms::owner_read | fs::perms::owner_write,
                  fs::perm_options::replace);
  Machine zeta("zeta");
  fs::create_directories(zeta.home() + "/config/tls");
  fs::copy_file(domain + "/ca.crt", zeta.home() + "/config/tls/ca.crt");
  fs::copy_file(domain + "/beta.crt", zeta.home() + "/config/tls/zeta.crt");
  fs::copy_file(domain + "/beta.key", zeta.home() + "/config/tls/zeta.key");
  auto misnamed = zeta.Run({"krreportd"}, 15);
  EXPECT_EQ(misnamed->status(), 1);
  EXPECT_NE(misnamed->err().find("beta"), std::string::npos) << misnamed->err();

  Child* daemon = alpha.Start({"krreportd"});
  ASSERT_TRUE(daemon->WaitForOutput("ready\n", 15)) << daemon->err();
  Child* provider = beta.Start({"krcatalogd", "serve", "--catalog", beta.db(), "--remote-machines",
                               "alpha", "--reports-machine", "alpha"});
  ASSERT_TRUE(provider->WaitForOutput("ready\n", 15)) << provider->err() << beta.trace();
  const std::string registry =
      kr_testing::ReadFile(alpha.home() + "/config/reptables.cfg").value_or("");
  EXPECT_NE(registry.find("Machine = beta"), std::string::npos) << registry;

  auto report = alpha.Report();
  ASSERT_EQ(report->status(), 0) << report->err() << alpha.trace() << beta.trace();
  EXPECT_FALSE(report->out().empty());

  // gamma knows where the tables are, but its certificate proves nothing to beta.
  ASSERT_TRUE(kr_testing::WriteFile(gamma.home() + "/config/reptables.cfg", registry));
  auto refused = gamma.Report();
  EXPECT_EQ(refused->status(), 1) << refused->err();
  EXPECT_TRUE(refused->out().empty());
  EXPECT_NE(gamma.trace().find("Cannot open a TLS link to 'beta'"), std::string::npos)
      << gamma.trace();
  EXPECT_NE(refused->err().find("cannot be reached"), std::string::npos) << refused->err();

  // delta's certificate is the domain's, but beta serves alpha alone.
  ASSERT_TRUE(kr_testing::WriteFile(delta.home() + "/config/reptables.cfg", registry));
  auto unlisted = delta.Report();
  EXPECT_EQ(unlisted->status(), 1) << unlisted->err();
  EXPECT_NE(unlisted->err().find("process 'Catalog Server' on machine 'beta' refused the request"),
            std::string::npos)
      << unlisted->err();
  EXPECT_NE(beta.trace().find("from non-local machine (delta)"), std::string::npos)
      << beta.trace();

  EXPECT_EQ(alpha.Report()->status(), 0);
  kr_testing::RemoveTree(certs);
}

}  // namespace
