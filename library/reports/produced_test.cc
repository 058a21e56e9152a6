#include "reports/produced.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kr/context.h"
#include "kr/file.h"
#include "kr/path.h"
#include "kr/serialize.h"
#include "reports/classes.h"
#include "reports/control.h"
#include "reports/params.h"
#include "reports/reports.h"
#include "testing.h"

using kr_testing::ScopedTimeZone;
using kr_testing::TestHome;
using kr_testing::TraceCapture;

namespace {

constexpr int64_t kMarch5th2004 = 1078495629;  // 2004-03-05 14:07:09 UTC
constexpr const char* kName = "weekly%20040305140709%002%jobs";

TestHome::Options FixedAt(int64_t t) {
  TestHome::Options o;
  o.fixed_time = t;
  return o;
}

Ref<RepRecord> IdName(int32_t id, const char* name) {
  Ref<RepRecord> r = RepRecord::New();
  Ref<List> values = ListNewFromPool();
  ListPushLastItemInternal(values.get(), RepNewFieldValue(kRepStateNormal, ObjNewInteger(id)));
  ListPushLastItemInternal(values.get(), RepNewFieldValue(kRepStateNormal, ObjNewString(name)));
  r->set_values(std::move(values));
  return r;
}

Ref<List> ClassList() {
  Ref<List> classes = ListNewFromPool();
  Ref<RepClass> c = RepClass::New();
  c->set_file_name("jobs");
  c->set_nice_name("Jobs");
  ListPushLastItemInternal(classes.get(), std::move(c));
  return classes;
}

// A produced report of class Jobs, output type CSV, with three records and one filtered out.
Ref<RepControl> ProducedControl() {
  Ref<List> fields = ListNewFromPool();
  ListPushLastItemInternal(fields.get(), RepNewFieldDef("id", kRepTypeInteger, 5));
  ListPushLastItemInternal(fields.get(), RepNewFieldDef("name", kRepTypeString, 10));
  Ref<List> records = ListNewFromPool();
  ListPushLastItemInternal(records.get(), IdName(1, "alpha"));
  ListPushLastItemInternal(records.get(), IdName(2, "beta"));
  ListPushLastItemInternal(records.get(), IdName(3, "gamma"));
  Ref<RepTable> table = RepNewTable("result", std::move(fields), std::move(records));
  Ref<RepParams> params = RepParamsAlloc();
  RepParamsSetClass(params.get(), "Jobs");
  RepParamsSetOutputType(params.get(), 2);
  RepParamsSetInclude(params.get(), "%id < 4");
  Ref<RepControl> control = RepControlFromTable(params.get(), table.get());
  Ref<List> dropped = ListNewFromPool();
  ListPushLastItemInternal(dropped.get(), IdName(9, "zeta"));
  control->set_filtered_out(std::move(dropped));
  control->set_time_of_production(static_cast<int32_t>(kMarch5th2004));
  return control;
}

std::vector<std::string> Names(const std::string& dir) {
  std::vector<DirEntry> entries;
  std::vector<std::string> names;
  if (DirScan(&entries, dir.c_str())) {
    for (const DirEntry& e : entries) names.push_back(e.name);
  }
  return names;
}

std::vector<int32_t> Ids(const List* records) {
  std::vector<int32_t> ids;
  for (Obj* item : *records) {
    ids.push_back(ObjGetInteger(ObjCast<RepRecord>(item)->value_at(0)->value()));
  }
  return ids;
}

}  // namespace

TEST(ProducedStore, StoreListReadDecodeDelete) {
  ScopedTimeZone utc("UTC");
  TestHome home(FixedAt(kMarch5th2004));
  Ref<RepControl> control = ProducedControl();
  List* records_before = control->table()->records();
  List* dropped_before = control->filtered_out();
  Ref<List> classes = ClassList();

  std::string name;
  ASSERT_EQ(RepSerialiseProducedReport(&name, "weekly", control.get(), classes.get(), 1), 1);
  EXPECT_EQ(name, kName);
  // The caller's control is as it was.
  EXPECT_EQ(control->table()->records(), records_before);
  EXPECT_EQ(control->filtered_out(), dropped_before);
  EXPECT_EQ(RepGiveNumRecords(control.get()), 3u);

  const std::string day = home.ReportsPath("produced/20040305");
  EXPECT_EQ(Names(day), (std::vector<std::string>{"control", "records"}));
  EXPECT_EQ(Names(day + "/control"), std::vector<std::string>{kName});
  EXPECT_EQ(Names(day + "/records"), std::vector<std::string>{kName});

  // Without records: the control alone, its table without a record list.
  Ref<RepStoredControl> bare;
  ASSERT_EQ(RepReConstructProducedReport(&bare, kName, 0), 1);
  EXPECT_TRUE(bare->flag());
  ASSERT_NE(bare->control()->table(), nullptr);
  EXPECT_EQ(bare->control()->table()->records(), nullptr);
  EXPECT_EQ(bare->control()->filtered_out(), nullptr);
  EXPECT_STREQ(RepParamsGetInclude(bare->control()->params()), "%id < 4");
  EXPECT_EQ(bare->control()->time_of_production(), kMarch5th2004);

  // With records: both lists back in place.
  Ref<RepStoredControl> full;
  ASSERT_EQ(RepReConstructProducedReport(&full, kName, 1), 1);
  EXPECT_EQ(Ids(full->control()->table()->records()), (std::vector<int32_t>{1, 2, 3}));
  EXPECT_EQ(Ids(full->control()->filtered_out()), std::vector<int32_t>{9});
  EXPECT_STREQ(
      ObjGetString(
          ObjCast<RepRecord>(full->control()->table()->records()->at(1))->value_at(1)->value()),
      "beta");

  Ref<RepStoredRecords> records;
  ASSERT_EQ(RepReConstructProducedRecords(&records, kName), 1);
  EXPECT_EQ(Ids(records->records()), (std::vector<int32_t>{1, 2, 3}));
  EXPECT_EQ(Ids(records->filtered_out()), std::vector<int32_t>{9});

  Ref<RepProducedReportName> decoded;
  ASSERT_EQ(RepDecodeProducedFileNameWithClassList(&decoded, kName, classes.get()), 1);
  EXPECT_STREQ(decoded->base_name(), "weekly");
  EXPECT_EQ(decoded->time_of_production(), kMarch5th2004);
  EXPECT_EQ(decoded->output_type(), 2);
  EXPECT_STREQ(decoded->class_name(), "jobs");
  EXPECT_STREQ(decoded->class_nice_name(), "Jobs");

  ASSERT_TRUE(kr_testing::WriteFile(home.ReportsPath("classes/jobs"),
                                    "%NICENAME = \"Weekly jobs\"\nSELECT * FROM jobs AS result\n"));
  ASSERT_EQ(RepDecodeProducedFileName(&decoded, kName, home.reports_dir().c_str()), 1);
  EXPECT_STREQ(decoded->class_nice_name(), "Weekly jobs");

  TraceCapture trace;
  ASSERT_EQ(RepDeleteProducedReport(kName), 1);
  EXPECT_TRUE(trace.Contains("Deleted produced report '" + std::string(kName) + "' ok"));
  EXPECT_TRUE(Names(day + "/control").empty());
  EXPECT_TRUE(Names(day + "/records").empty());
  EXPECT_EQ(RepDeleteProducedReport(kName), 0);
  EXPECT_TRUE(trace.Contains("Warning - Failed to delete produced control file"));
  EXPECT_EQ(RepReConstructProducedReport(&full, kName, 0), 0);
}

TEST(ProducedStore, StoringRefusals) {
  ScopedTimeZone utc("UTC");
  TestHome home(FixedAt(kMarch5th2004));
  Ref<List> classes = ClassList();
  Ref<RepControl> control = ProducedControl();
  TraceCapture trace;
  std::string name = "untouched";

  for (const char* bad : {"a/b", "..", "50%off"}) {
    EXPECT_EQ(RepSerialiseProducedReport(&name, bad, control.get(), classes.get(), 0), 0) << bad;
  }
  EXPECT_TRUE(trace.Contains("Refusing produced report base name 'a/b'"));

  RepParamsSetClass(control->params(), "Media");
  EXPECT_EQ(RepSerialiseProducedReport(&name, "x", control.get(), classes.get(), 0), 0);
  EXPECT_TRUE(
      trace.Contains("Cannot find info on class 'Media' when serializing produced reports"));
  EXPECT_TRUE(trace.Contains("Wont store report - cannot generate file name"));
  EXPECT_EQ(RepGiveNumRecords(control.get()), 3u);

  control->table()->set_records(nullptr);
  EXPECT_EQ(RepSerialiseProducedReport(&name, "x", control.get(), classes.get(), 0), 0);
  EXPECT_TRUE(trace.Contains("Wont serialise report control object - records not produced"));
  EXPECT_EQ(name, "untouched");
}

TEST(ProducedStore, BadNamesAreRefusedBeforeAnyFileIsTouched) {
  ScopedTimeZone utc("UTC");
  TestHome home(FixedAt(kMarch5th2004));
  Ref<List> classes = ClassList();
  TraceCapture trace;
  Ref<RepStoredControl> stored;
  Ref<RepStoredRecords> records;
  Ref<RepProducedReportName> decoded;

  EXPECT_EQ(RepReConstructProducedReport(&stored, "nopercent", 1), 0);
  EXPECT_EQ(RepReConstructProducedRecords(&records, "nopercent"), 0);
  EXPECT_EQ(RepDeleteProducedReport("nopercent"), 0);
  EXPECT_TRUE(trace.Contains("Munged produced reports file name 'nopercent'"));
  EXPECT_FALSE(FileExists(home.ReportsPath("produced").c_str()) &&
               !Names(home.ReportsPath("produced")).empty());

  // Dates that would climb out of the store, and a class that would leave the classes directory.
  EXPECT_EQ(RepDeleteProducedReport("x%../../../etc%002%jobs"), 0);
  EXPECT_EQ(RepDeleteProducedReport("x%20040305140709%002%a/b"), 0);
  EXPECT_EQ(
      RepDecodeProducedFileName(&decoded, "x%20040305140709%002%..", home.reports_dir().c_str()),
      0);

  struct Case {
    const char* name;
    const char* message;
  } cases[] = {
      {"nopercent", "Missing end of base name marker in produced report name 'nopercent'"},
      {"a%20040305140709", "Missing end of date marker"},
      {"a%2004030514070%002%jobs", "Invalid date/time in produced report name"},
      {"a%20040231140709%002%jobs", "Invalid date/time in produced report name"},
      {"a%20380119031408%002%jobs", "Invalid date/time in produced report name"},  // past 32 bits
      {"a%20040305140709%002", "Missing end of output type marker"},
      {"a%20040305140709%007%jobs", "Bad output type 7 in produced report name"},
      {"a%20040305140709%001%", "Missing class in produced report name"},
  };
  for (const Case& c : cases) {
    trace.Clear();
    EXPECT_EQ(RepDecodeProducedFileNameWithClassList(&decoded, c.name, classes.get()), 0) << c.name;
    EXPECT_TRUE(trace.Contains(c.message)) << c.name << "\n" << trace.Dump();
    EXPECT_TRUE(trace.Contains("Failed to decide file name basics"));
  }
  EXPECT_FALSE(decoded);

  trace.Clear();
  EXPECT_EQ(
      RepDecodeProducedFileNameWithClassList(&decoded, "a%20040305140709%000%media", classes.get()),
      0);
  EXPECT_TRUE(trace.Contains("Failed to find info on real class name 'media'"));
  EXPECT_EQ(
      RepDecodeProducedFileName(&decoded, "a%20040305140709%000%media", home.reports_dir().c_str()),
      0);
  EXPECT_TRUE(trace.Contains("Cannot load class file"));
}

TEST(ProducedStore, ATimeOfProductionPast2038IsRefusedNotWrapped) {
  // One second past the last time the control's 32-bit slot holds.
  TestHome home(FixedAt(int64_t{INT32_MAX} + 1));
  TraceCapture trace;
  Ref<RepControl> control = ProducedControl();
  std::string error;
  EXPECT_EQ(RepControlProduceReport(&error, control.get(), 0, nullptr, nullptr), 0);
  EXPECT_EQ(control->time_of_production(), kMarch5th2004);
  EXPECT_NE(error.find("past 2038-01-19 03:14:07 UTC"), std::string::npos) << error;
  EXPECT_TRUE(trace.Contains("does not fit the control's 32-bit time of production"));
}

TEST(ProducedStore, StoredFilesAreCheckedWhereTheyEnter) {
  ScopedTimeZone utc("UTC");
  TestHome home(FixedAt(kMarch5th2004));
  Ref<List> classes = ClassList();
  Ref<RepControl> control = ProducedControl();
  // A string where the integer field's value belongs, as a foreign writer might leave it.
  ObjCast<RepRecord>(control->table()->records()->at(0))->value_at(0)->set_value(ObjNewString("x"));
  std::string name;
  ASSERT_EQ(RepSerialiseProducedReport(&name, "", control.get(), classes.get(), 0), 1);
  EXPECT_EQ(name, "%20040305140709%002%jobs");
  Ref<RepStoredControl> stored;
  ASSERT_EQ(RepReConstructProducedReport(&stored, name.c_str(), 1), 1);
  const List* records = stored->control()->table()->records();
  EXPECT_EQ(ObjCast<RepRecord>(records->at(0))->value_at(0)->state(), kRepStateUnknown);
  EXPECT_EQ(ObjCast<RepRecord>(records->at(1))->value_at(0)->state(), kRepStateNormal);

  const std::string control_path = home.ReportsPath("produced/20040305/control/") + name;
  const std::string records_path = home.ReportsPath("produced/20040305/records/") + name;
  const std::string good_records = *kr_testing::ReadFile(records_path);
  std::string foreign;  // a well-formed object of another kind
  ASSERT_TRUE(ObjSerializeToMemory(&foreign, ObjNewString("not a report").get()));
  TraceCapture trace;
  stored.reset();
  for (const std::string& bad : {good_records.substr(0, good_records.size() / 2), foreign}) {
    ASSERT_TRUE(kr_testing::WriteFile(records_path, bad));
    EXPECT_EQ(RepReConstructProducedReport(&stored, name.c_str(), 1), 0);
    EXPECT_TRUE(trace.Contains("Failed to reconstruct records from '" + records_path + "'"));
  }
  for (const std::string& bad : {std::string("garbage"), foreign}) {
    ASSERT_TRUE(kr_testing::WriteFile(control_path, bad));
    EXPECT_EQ(RepReConstructProducedReport(&stored, name.c_str(), 0), 0);
    EXPECT_TRUE(trace.Contains("Failed to reconstruct control object from '" + control_path + "'"));
  }
  EXPECT_FALSE(stored);
}

TEST(ProducedStore, AFailedRecordsWriteKeepsTheControlFileAndTheCallersRecords) {
  ScopedTimeZone utc("UTC");
  TestHome home(FixedAt(kMarch5th2004));
  Ref<List> classes = ClassList();
  Ref<RepControl> control = ProducedControl();
  List* records_before = control->table()->records();
  // A directory where the records file should go: the records cannot be written.
  ASSERT_TRUE(kr_testing::MakeDirs(home.ReportsPath("produced/20040305/control")));
  ASSERT_TRUE(kr_testing::MakeDirs(home.ReportsPath("produced/20040305/records/") + kName));
  TraceCapture trace;
  std::string name;
  EXPECT_EQ(RepSerialiseProducedReport(&name, "weekly", control.get(), classes.get(), 0), 0);
  EXPECT_TRUE(trace.Contains("Serialised report control object succesfully"));
  EXPECT_TRUE(trace.Contains("Failed to serialize report records to file"));
  EXPECT_EQ(Names(home.ReportsPath("produced/20040305/control")), std::vector<std::string>{kName});
  EXPECT_EQ(control->table()->records(), records_before);
  EXPECT_EQ(ListGetItemCount(control->filtered_out()), 1u);
}

// --- two processes on one day directory -----------------------------------------------------

namespace {

class DiscardSink : public TraceSink {
 public:
  void Write(std::string_view, int, int, std::string_view) override {}
};

// Runs `body` in a child process with a context of its own over `home`, at the test's fixed
// time; the child exits 0 when the body returns true. The child never returns to the test.
pid_t RunInChild(const std::string& home, const std::function<bool()>& body) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  bool ok = false;
  {
    ContextOptions o;
    o.home = home;
    o.machine_name = "testhost";
    o.fixed_time = kMarch5th2004;
    std::unique_ptr<KrContext> context = ContextCreate(o);
    context->default_sink = std::make_unique<DiscardSink>();
    ContextSetCurrent(context.get());
    ok = body();
    ContextSetCurrent(nullptr);
  }
  _exit(ok ? 0 : 1);
}

bool ChildSucceeded(pid_t pid) {
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

bool ChildRunning(pid_t pid) {
  int status = 0;
  return waitpid(pid, &status, WNOHANG) == 0;
}

}  // namespace

// Another process that makes the day directory has it before its two subdirectories; a store
// that comes in between completes the directory instead of failing.
TEST(ProducedStore, ADayDirectoryWithoutItsSubdirectoriesIsCompleted) {
  ScopedTimeZone utc("UTC");
  TestHome home(FixedAt(kMarch5th2004));
  const std::string day = home.ReportsPath("produced/20040305");
  ASSERT_TRUE(kr_testing::MakeDirs(day));
  Ref<RepControl> control = ProducedControl();
  Ref<List> classes = ClassList();
  std::string name;
  ASSERT_EQ(RepSerialiseProducedReport(&name, "weekly", control.get(), classes.get(), 0), 1);
  EXPECT_EQ(Names(day + "/control"), std::vector<std::string>{kName});
  EXPECT_EQ(Names(day + "/records"), std::vector<std::string>{kName});
}

TEST(ProducedStore, TheDayDirectoryLockHoldsOffAnotherProcess) {
  ScopedTimeZone utc("UTC");
  TestHome home(FixedAt(kMarch5th2004));
  const std::string day = home.ReportsPath("produced/20040305");
  ASSERT_TRUE(kr_testing::MakeDirs(day + "/control"));
  ASSERT_TRUE(kr_testing::MakeDirs(day + "/records"));

  std::unique_ptr<PathLockHandle> lock;
  ASSERT_EQ(PathLock(&lock, day.c_str(), 0), 1);
  const pid_t child = RunInChild(home.home(), [&] {
    std::string name;
    Ref<RepControl> control = ProducedControl();
    Ref<List> classes = ClassList();
    return RepSerialiseProducedReport(&name, "weekly", control.get(), classes.get(), 0) == 1 &&
           name == kName;
  });
  ASSERT_GT(child, 0);
  // While this process holds the lock the other cannot store; once it lets go, it does.
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_TRUE(ChildRunning(child));
  EXPECT_TRUE(Names(day + "/control").empty());
  lock.reset();
  EXPECT_TRUE(ChildSucceeded(child));
  EXPECT_EQ(Names(day + "/control"), std::vector<std::string>{kName});
  EXPECT_EQ(Names(day + "/records"), std::vector<std::string>{kName});
}

TEST(ProducedStore, TwoProcessesStoringAndDeletingAtOnceLoseNothing) {
  ScopedTimeZone utc("UTC");
  TestHome home(FixedAt(kMarch5th2004));
  constexpr int kReports = 25;
  // Both start on a store with no day directory yet, and each reads back and deletes its own
  // reports while the other stores: every odd report is deleted, every even one must remain
  // whole.
  auto worker = [&](const std::string& prefix) {
    return [prefix] {
      Ref<List> classes = ClassList();
      for (int i = 0; i < kReports; ++i) {
        Ref<RepControl> control = ProducedControl();
        std::string name;
        const std::string base = prefix + std::to_string(i);
        if (RepSerialiseProducedReport(&name, base.c_str(), control.get(), classes.get(), 0) != 1)
          return false;
        Ref<RepStoredControl> stored;
        if (RepReConstructProducedReport(&stored, name.c_str(), 1) != 1 ||
            ListGetItemCount(stored->control()->table()->records()) != 3 ||
            ListGetItemCount(stored->control()->filtered_out()) != 1)
          return false;
        if (i % 2 == 1 && RepDeleteProducedReport(name.c_str()) != 1) return false;
      }
      return true;
    };
  };
  const pid_t a = RunInChild(home.home(), worker("a"));
  const pid_t b = RunInChild(home.home(), worker("b"));
  EXPECT_TRUE(ChildSucceeded(a));
  EXPECT_TRUE(ChildSucceeded(b));

  std::set<std::string> expected;
  for (const char* prefix : {"a", "b"})
    for (int i = 0; i < kReports; i += 2)
      expected.insert(prefix + std::to_string(i) + "%20040305140709%002%jobs");
  const std::string day = home.ReportsPath("produced/20040305");
  for (const char* sub : {"/control", "/records"}) {
    const std::vector<std::string> names = Names(day + sub);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), expected) << sub;
  }
  for (const std::string& name : expected) {
    Ref<RepStoredControl> stored;
    ASSERT_EQ(RepReConstructProducedReport(&stored, name.c_str(), 1), 1) << name;
    EXPECT_EQ(ListGetItemCount(stored->control()->table()->records()), 3u) << name;
  }
}
