// The agent role in a real reports process: krreportd started as a process of machine "beta"
// with its own home, and this test process playing "alpha" copying an output directory to it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "../../library/reports/agent_test_util.h"
#include "kr/path.h"
#include "reports/output.h"
#include "testing.h"

extern char** environ;

namespace {

using kr_testing::ReadFile;
using kr_testing::WriteFile;

// krreportd as a child process; killed at the end if still running.
class Daemon {
 public:
  Daemon(const std::string& home, const std::string& machine) {
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::string bin = std::string(KR_BIN_DIR) + "/krreportd";
    std::vector<std::string> argv = {bin, "--home", home, "--machine", machine};
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e)
      if (std::strncmp(*e, "KR_", 3) != 0) env.push_back(*e);
    env.push_back(nullptr);
    if (posix_spawn(&pid_, bin.c_str(), &actions, nullptr, args.data(), env.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    out_ = out[0];
  }
  ~Daemon() {
    Kill(SIGKILL);
    if (out_ >= 0) close(out_);
  }
  // Waits up to 10 s for "ready" on its standard output.
  bool WaitReady() {
    std::string got;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (got.find("ready") == std::string::npos && std::chrono::steady_clock::now() < end) {
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buf[256];
      ssize_t n = read(out_, buf, sizeof buf);
      if (n <= 0) return false;
      got.append(buf, static_cast<size_t>(n));
    }
    return got.find("ready") != std::string::npos;
  }
  void Kill(int sig) {
    if (pid_ <= 0) return;
    kill(pid_, sig);
    int st;
    waitpid(pid_, &st, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

std::map<std::string, std::string> Files(const std::string& root) {
  std::map<std::string, std::string> out;
  std::pair<std::string, std::map<std::string, std::string>*> state(root, &out);
  DirScanDirectRecursive(
      root.c_str(),
      [](const char* rel, const DirEntry& e, void* cookie) {
        auto* s = static_cast<std::pair<std::string, std::map<std::string, std::string>*>*>(cookie);
        std::string path = (*rel != '\0' ? std::string(rel) + "/" : "") + e.name;
        (*s->second)[path] = e.is_dir ? "/" : ReadFile(s->first + "/" + path).value_or("?");
        return 1;
      },
      &state);
  return out;
}

TEST(AgentProcess, OutputDirectoryCopiedToARealReportsProcess) {
  const std::string beta_home = kr_testing::MakeTempDir();
  const std::string line = "beta 127.0.0.1 " + std::to_string(rep_test::FreePort()) + " " +
                           kRepReportsProcessName + "\n";
  WriteFile(beta_home + "/config/configure.cfg",
            "[Directories]\nReports = \"" + beta_home + "/reports\"\n");
  WriteFile(beta_home + "/config/machines", "alpha 127.0.0.1\n" + line);  // a machine of this host
  kr_testing::TestHome::Options o;
  o.machine_name = "alpha";
  o.process_name = "Front End";
  kr_testing::TestHome alpha(o);
  WriteFile(alpha.config_dir() + "/machines", line);
  {
    Daemon daemon(beta_home, "beta");
    ASSERT_TRUE(daemon.WaitReady());
    const std::string dir = alpha.ReportsPath("output/weekly");
    std::string image(700000, '\0');
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 131 >> 7);
    WriteFile(dir + "/output.html", "<html>weekly</html>\n");
    WriteFile(dir + "/images/logo.png", image);
    ASSERT_EQ(RepXferOutputToMachine(dir.c_str(), "beta", nullptr), 1);
    EXPECT_EQ(Files(beta_home + "/reports/output/weekly"), Files(dir));
    // A second copy in the same daemon: the first conversation has ended cleanly.
    ASSERT_EQ(RepXferOutputToMachine(dir.c_str(), "beta", "again"), 1);
    EXPECT_EQ(Files(beta_home + "/reports/output/again"), Files(dir));

    // Once the daemon is gone, a copy fails at once instead of waiting.
    daemon.Kill(SIGTERM);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RepXferOutputToMachine(dir.c_str(), "beta", "late"), 0);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 5);
    EXPECT_FALSE(ReadFile(beta_home + "/reports/output/late/output.html").has_value());
  }
  kr_testing::RemoveTree(beta_home);
}

}  // namespace
