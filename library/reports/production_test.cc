// Producing a report end to end with real processes: a table provider (krtestprovider) serving
// two tables, a stand-in for the reports process that keeps the registry, and this process
// producing a report from a class that joins the two tables and writing it as CSV, compared with
// testdata/production (run with KR_UPDATE_GOLDEN=1 to rewrite it after a change).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "kr/message.h"
#include "reports/classes.h"
#include "reports/control.h"
#include "reports/fetch.h"
#include "reports/outputtypes.h"
#include "reports/outputwrap.h"
#include "reports/params.h"
#include "reptesting.h"
#include "testing.h"

namespace {

using kr_testing::ReadFile;
using kr_testing::ReadyProgram;
using kr_testing::TestHome;
using kr_testing::TraceCapture;
using kr_testing::WriteFile;

// The class: jobs joined with their clients, the jobs restricted to an id range, the clients
// filtered at their provider (client00 has capacity 100, so its jobs find no client).
std::string ClassText(const char* nice_name, int last_id) {
  return std::string("%NICENAME = '") + nice_name +
         "'\n"
         "SELECT testjobs.id, testjobs.name, testjobs.size, testjobs.status, testclients.os,\n"
         "       testclients.capacity FROM testjobs, testclients\n"
         "  WHERE testjobs.client = testclients.client AND IN testjobs RESTRICT id TO (1, " +
         std::to_string(last_id) +
         ")\n"
         "    AND IN testclients FILTER IS (%capacity > 100)\n";
}

class Production : public ::testing::Test {
 protected:
  // Starts the reports-process stand-in and a provider on machine beta that registers its
  // tables with it.
  void StartProcesses(std::vector<std::string> provider_args) {
    producer_ = kr_testing::StartReportsStandIn(home_.home());
    ASSERT_TRUE(producer_->ready());
    provider_args.insert(provider_args.begin(), {"--register", "alpha", "--remote"});
    provider_ = kr_testing::StartTestProvider(home_.home(), "beta", provider_args);
    ASSERT_TRUE(provider_->ready());
  }

  Ref<RepControl> Control() {
    Ref<RepParams> params = RepParamsAlloc();
    RepParamsSetClass(params.get(), "Jobs with clients");
    RepParamsSetOutputType(params.get(), kRepOutputCsv);
    RepParamsSetFormat(params.get(), "%ID,%NAME,%SIZE,%STATUS,%OS,%CAPACITY");
    RepParamsSetInclude(params.get(), "%STATUS != 0");
    RepParamsSetExclude(params.get(), "%OS = windows");
    RepParamsSetCondition(params.get(), "%SIZE > 20000");
    RepParamsSetSort(params.get(), "%OS %SIZE-");
    return RepControlAlloc(params.get());
  }

  void SetUp() override {
    ASSERT_TRUE(
        WriteFile(home_.ReportsPath("classes/jobsclients"), ClassText("Jobs with clients", 200)));
    ASSERT_TRUE(WriteFile(home_.ReportsPath("classes/alljobs"), ClassText("All jobs", 1000000)));
  }

  TestHome home_{kr_testing::HomeOptions("alpha", "Report Requester")};
  std::unique_ptr<ReadyProgram> producer_;
  std::unique_ptr<ReadyProgram> provider_;
};

TEST_F(Production, JoinedFilteredSortedReportMatchesTheGoldenCsv) {
  StartProcesses({"--jobs", "250", "--clients", "5"});
  const auto registry = ReadFile(home_.config_dir() + "/reptables.cfg");
  ASSERT_TRUE(registry);
  EXPECT_NE(registry->find("[testjobs]"), std::string::npos) << *registry;
  EXPECT_NE(registry->find("Process = Test Provider"), std::string::npos) << *registry;

  Ref<RepControl> control = Control();
  ASSERT_TRUE(control);
  EXPECT_EQ(ListGetItemCount(control->possible_fields()), 7u);  // the select list + the join field
  RepParamsSetKeepFiltered(control->params(), 1);
  std::string error;
  ASSERT_EQ(RepControlProduceReport(&error, control.get(), 1, nullptr, nullptr), 1) << error;
  EXPECT_EQ(ListGetItemCount(control->filtered_out()), 130u);

  std::string dir, file;
  ASSERT_EQ(RepInitOutputDir(&dir, &file, 0, "jobsclients", 0), 1);
  Ref<List> options = ListNewFromPool();
  ASSERT_EQ(RepOutputReport(&error, dir.c_str(), control.get(), kRepOutputCsv, 0, options.get(),
                            nullptr, nullptr, nullptr, nullptr, nullptr),
            1)
      << error;
  const auto body = ReadFile(dir + "/" + file);
  const std::string golden_path = std::string(KR_TESTDATA_DIR) + "/production/jobsclients.csv";
  if (body && std::getenv("KR_UPDATE_GOLDEN") != nullptr) WriteFile(golden_path, *body);
  const auto golden = ReadFile(golden_path);
  ASSERT_TRUE(body);
  ASSERT_TRUE(golden);
  EXPECT_EQ(*body, *golden);

  // A second production of the same control with the filters cleared keeps no tree, and no
  // dropped record, of the first.
  RepParamsSetInclude(control->params(), "");
  RepParamsSetExclude(control->params(), "");
  RepParamsSetKeepFiltered(control->params(), 0);
  ASSERT_EQ(RepControlProduceReport(&error, control.get(), 0, nullptr, nullptr), 1) << error;
  EXPECT_EQ(control->include_tree(), nullptr);
  EXPECT_EQ(control->exclude_tree(), nullptr);
  EXPECT_EQ(control->filtered_out(), nullptr);
  EXPECT_EQ(RepGiveNumRecords(control.get()), 200u);
}

int KillProvider(void* argument, int) {
  static_cast<ReadyProgram*>(argument)->Kill();
  return 0;
}

TEST_F(Production, ProviderKilledMidTransferFailsCleanly) {
  StartProcesses({"--jobs", "100000", "--clients", "5", "--record-delay-us", "50"});
  Ref<RepControl> control = Control();
  ASSERT_TRUE(control);
  RepParamsSetClass(control->params(), "All jobs");
  TraceCapture trace;
  std::string error;
  const auto start = std::chrono::steady_clock::now();
  // The first progress call comes after 500 records; the provider dies there.
  EXPECT_EQ(RepControlProduceReport(&error, control.get(), 1, &KillProvider, provider_.get()), 0);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 10.0);
  EXPECT_EQ(error, "Failed to get raw report data from Kestrane");
  EXPECT_EQ(RepGiveNumRecords(control.get()), 0u);
  EXPECT_TRUE(
      trace.Contains("Failed to get table 'testjobs' with records from proc 'Test "
                     "Provider' on machine 'beta'",
                     -1))
      << trace.Dump();
  // Nothing was produced, so nothing is written: no output directory exists.
  EXPECT_FALSE(ReadFile(home_.ReportsPath("output/jobsclients/output.txt")));
}

int CancelNow(void*, int) {
  RepCancelTableFetch();
  return 0;
}

TEST_F(Production, CancelFromTheProgressCallbackFailsCleanly) {
  StartProcesses({"--jobs", "100000", "--clients", "5"});
  Ref<RepControl> control = Control();
  ASSERT_TRUE(control);
  RepParamsSetClass(control->params(), "All jobs");
  std::string error;
  EXPECT_EQ(RepControlProduceReport(&error, control.get(), 1, &CancelNow, nullptr), 0);
  EXPECT_EQ(error, "Failed to get raw report data from Kestrane");
  EXPECT_EQ(RepGiveNumRecords(control.get()), 0u);
  // The provider stopped that send and serves the next production.
  RepParamsSetClass(control->params(), "Jobs with clients");
  ASSERT_EQ(RepControlProduceReport(&error, control.get(), 1, nullptr, nullptr), 1) << error;
}

}  // namespace
