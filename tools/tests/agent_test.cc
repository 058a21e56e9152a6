// The agent role in a real reports process: krreportd started as a process of machine "beta"
// with its own home, and this test process playing "alpha" copying an output directory to it.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "reports/output.h"
#include "reports/registry.h"
#include "testing.h"

namespace {

using kr_testing::ReadFile;
using kr_testing::WriteFile;

TEST(AgentProcess, OutputDirectoryCopiedToARealReportsProcess) {
  const std::string beta_home = kr_testing::MakeTempDir();
  const std::string line = "beta 127.0.0.1 " + std::to_string(kr_testing::FreePort()) + " " +
                           kRepReportsProcessName + "\n";
  WriteFile(beta_home + "/config/configure.cfg",
            "[Directories]\nReports = \"" + beta_home + "/reports\"\n");
  WriteFile(beta_home + "/config/machines", "alpha 127.0.0.1\n" + line);  // a machine of this host
  kr_testing::TestHome alpha(kr_testing::HomeOptions("alpha", "Front End"));
  WriteFile(alpha.config_dir() + "/machines", line);
  {
    kr_testing::ReadyProgram daemon("krreportd", {"--home", beta_home, "--machine", "beta"}, 10000);
    ASSERT_TRUE(daemon.ready());
    const std::string dir = alpha.ReportsPath("output/weekly");
    std::string image(700000, '\0');
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 131 >> 7);
    WriteFile(dir + "/output.html", "<html>weekly</html>\n");
    WriteFile(dir + "/images/logo.png", image);
    ASSERT_EQ(RepXferOutputToMachine(dir.c_str(), "beta", nullptr), 1);
    EXPECT_EQ(kr_testing::DirTree(beta_home + "/reports/output/weekly"), kr_testing::DirTree(dir));
    // A second copy in the same daemon: the first conversation has ended cleanly.
    ASSERT_EQ(RepXferOutputToMachine(dir.c_str(), "beta", "again"), 1);
    EXPECT_EQ(kr_testing::DirTree(beta_home + "/reports/output/again"), kr_testing::DirTree(dir));

    // Once the daemon is gone, a copy fails at once instead of waiting.
    daemon.Stop();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RepXferOutputToMachine(dir.c_str(), "beta", "late"), 0);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 5);
    EXPECT_FALSE(ReadFile(beta_home + "/reports/output/late/output.html").has_value());
  }
  kr_testing::RemoveTree(beta_home);
}

}  // namespace
