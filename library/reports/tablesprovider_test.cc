#include "reports/tablesprovider.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "kr/message.h"
#include "reports/fields.h"
#include "reports/restrictions.h"
#include "reports/sql.h"
#include "reptesting.h"
#include "tablesprovider_internal.h"
#include "testing.h"
#include "tlscerts.h"

namespace {

using kr_testing::PeerThread;
using kr_testing::TestHome;
using kr_testing::TraceCapture;

constexpr double kScale = 0.01;

// The provider's table "numbers": id (1..rows), grp (id % 10), name ("n<id>"). The grabber fails
// at record fail_at when that is set. Settings are written before a provider thread starts.
struct GrabberSettings {
  int rows = 0;
  int fail_at = 0;
  bool old_style = false;
  bool announce = false;
  bool finish_unfinished = false;  // install RepFinishUnfinishedGrabber instead of counting
};
GrabberSettings g_settings;
std::atomic<int> g_inits{0}, g_finishes{0}, g_unfinished{0}, g_completed{0}, g_live{-1};

int Fields(Ref<RepFieldList>* fields) {
  *fields = kr_testing::FieldList(
      {{"id", kRepTypeInteger, 6}, {"grp", kRepTypeInteger, 3}, {"name", kRepTypeString, 8}});
  return 1;
}
int Init(Ref<Obj>* context, RepGrabberInitArgs* args) {
  ++g_inits;
  return kr_testing::StartAtRowZero(context, args);
}
int GetRecord(RepRecord* record, Obj* context, RepGrabberInitArgs* args) {
  if (ObjGetInteger(context) + 1 == g_settings.fail_at) return 0;
  return kr_testing::FillRecord(record, context, args, g_settings.rows,
                                [](const std::string& name, int row) -> Ref<Obj> {
                                  const int n = row + 1;
                                  if (name == "id") return ObjNewInteger(n);
                                  if (name == "grp") return ObjNewInteger(n % 10);
                                  if (name == "name")
                                    return ObjNewString(("n" + std::to_string(n)).c_str());
                                  return nullptr;
                                });
}
int Finish(Ref<Obj>* context, RepGrabberInitArgs* args) {
  ++g_finishes;
  return kr_testing::DropContext(context, args);
}

const RepProvidedTableDesc kTables[] = {
    {"Numbers", nullptr, nullptr, &Init, &GetRecord, &Finish, &Fields},
    {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
};

int TableTask(Obj* task, void*) {
  int r = RepHandleMyGetTableRequest(kTables, task, g_settings.old_style, g_settings.announce);
  g_live = RepGetLiveRecordSendCount();
  return r;
}
int FieldsTask(Obj* task, void*) { return RepHandleMyGetTableFieldsRequest(kTables, task); }
int OldStyleAck(Obj* message, void*) {
  Ref<Obj> ack;
  MsgGetObjectInternal(&ack, message, RepRecordsReceivedAck::kTypeCode);
  RepHandleMyRecReceivedMsg(ack.get());
  g_live = RepGetLiveRecordSendCount();
  return 0;
}
int Completed(Obj*, void*) {
  ++g_completed;
  return 0;
}
void CountUnfinished(const RepProvidedTableDesc*, Ref<Obj>* context, RepGrabberInitArgs*, void*) {
  ++g_unfinished;
  context->reset();
}

void ServeNumbers(PeerThread& p, bool remote) {
  ProcRegisterTaskHandler(kRepGetTableTaskKind, &TableTask, nullptr);
  ProcRegisterTaskHandler(kRepGetTableFieldsTaskKind, &FieldsTask, nullptr);
  if (g_settings.old_style) MsgWaitAddHandler(kRepMsgRecordsReceived, &OldStyleAck, nullptr);
  MsgWaitAddHandler(kRepMsgTableProvCompleted, &Completed, nullptr);
  if (g_settings.finish_unfinished)
    RepSetUnfinishedGrabberHandler(&RepFinishUnfinishedGrabber, nullptr);
  else
    RepSetUnfinishedGrabberHandler(&CountUnfinished, nullptr);
  if (remote) RepEnableRemoteRequests();
  MsgInit();
  p.Ready();
  while (!p.stopping()) {
    kr_testing::Pump(20);
    g_live = RepGetLiveRecordSendCount();
  }
}

Ref<Obj> Timeout(int ms) { return kr_testing::RealTimeout(ms); }

// What a hand-driven requester saw.
struct Seen {
  bool reply = false;  // a 3301 arrived
  bool success = false;
  Ref<RepTable> table;
  std::vector<size_t> packets;
  std::vector<int> ids;  // of the first field, in arrival order
  bool aborted_by_provider = false;
  bool end = false;
  bool channel_lost = false;
};

enum class Then { kAckAll, kAbortAfterFirst, kCloseAfterFirst, kBogusTokenFirst, kKillAfterFirst };

class ProviderTest : public ::testing::Test {
 public:  // shared checks outside the tests drive it too
  void SetUp() override {
    g_inits = g_finishes = g_unfinished = g_completed = 0;
    g_live = -1;
  }
  void StartProvider(const char* machine = "alpha", bool remote = false) {
    // A new name for each provider started, so that a task never goes over the link of one
    // that has just ended.
    process_ = "Provider " + std::to_string(++starts_);
    peer_ = std::make_unique<PeerThread>(
        kr_testing::HomeOptions(machine, process_, home_.home(), kScale),
        [remote](PeerThread& p) { ServeNumbers(p, remote); });
    ASSERT_TRUE(peer_->WaitReady());
    machine_ = machine;
  }
  // Fresh counters, then a provider with these settings.
  void Start(const GrabberSettings& settings, const char* machine = "alpha", bool remote = false) {
    g_settings = settings;
    SetUp();
    StartProvider(machine, remote);
  }
  void StopProvider() {
    peer_->Join();
    peer_.reset();
  }
  void TearDown() override {
    if (peer_) peer_->Join();
  }

  // Gives the task and waits for its acceptance; the serving task's address.
  Ref<Obj> Give(int32_t kind, Obj* argument) {
    Ref<Obj> address, message, ret;
    ProcCreateAddress(&address, machine_.c_str(), process_.c_str(), kind);
    if (!ProcGiveServiceATask(address.get(), nullptr, 0, 0, argument, 0)) {
      ADD_FAILURE() << "give";
      return nullptr;
    }
    if (!MsgWaitMessageWithTimeout(&message, nullptr, kMsgTaskReturn, Timeout(5000).get()) ||
        !MsgGetObjectInternal(&ret, message.get(), MsgTaskReturn::kTypeCode) ||
        ObjGetSlotInteger(ret.get(), 1) != 1) {
      ADD_FAILURE() << "return " << ObjGetSlotInteger(ret.get(), 2);
      return nullptr;
    }
    return Ref<Obj>::Share(ObjGetSlotObject(ret.get(), 3));
  }

  Seen Fetch(Obj* argument, Then then = Then::kAckAll) {
    Seen seen;
    Ref<Obj> task = Give(kRepGetTableTaskKind, argument);
    if (!task) return seen;
    Ref<Obj> message, object;
    if (!MsgWaitMessageWithTimeout(&message, task.get(), kRepMsgTableReply, Timeout(5000).get()))
      return seen;
    seen.reply = true;
    MsgGetObjectInternal(&object, message.get(), RepGetTableReply::kTypeCode);
    const RepGetTableReply* reply = ObjCast<RepGetTableReply>(object.get());
    if (reply == nullptr || !reply->success()) return seen;
    seen.success = true;
    seen.table = Ref<RepTable>::Share(reply->table());
    Ref<Obj> channel;
    if (!MsgChannelOpenInternal(&channel, task.get(), 0, 0, 1, 1, 1)) return seen;
    const uint32_t types[] = {kRepMsgRecordPacket, kRepMsgEndOfRecords, kMsgChannelLost};
    for (;;) {
      if (!MsgWaitMultipleWithTimeout(&message, channel.get(), types, 3, Timeout(5000).get())) {
        seen.channel_lost = MsgWaitLastError() == kMsgWaitPeerLost;
        break;
      }
      uint32_t type = MsgGetType(message.get());
      if (type == kRepMsgEndOfRecords) {
        seen.end = true;
        break;
      }
      if (type == kMsgChannelLost) {
        seen.channel_lost = true;
        break;
      }
      MsgGetObjectInternal(&object, message.get(), RepRecordPacket::kTypeCode);
      const RepRecordPacket* packet = ObjCast<RepRecordPacket>(object.get());
      if (packet == nullptr) break;
      if (packet->abort()) {
        seen.aborted_by_provider = true;
        break;
      }
      seen.packets.push_back(packet->records()->size());
      for (const Obj* r : *packet->records()) {
        const RepFieldValue* v = ObjCast<RepRecord>(r)->value_at(0);
        seen.ids.push_back(ObjGetInteger(v->value()));
      }
      Ref<RepRecordsReceivedAck> ack = RepRecordsReceivedAck::New();
      ack->set_send_state(packet->send_state());
      if (seen.packets.size() == 1 && then == Then::kKillAfterFirst) kill(kill_pid_, SIGKILL);
      if (seen.packets.size() == 1 && then == Then::kCloseAfterFirst) {
        MsgChannelClose(channel.get());
        break;
      }
      if (seen.packets.size() == 1 && then == Then::kBogusTokenFirst) {
        Ref<RepRecordsReceivedAck> bogus = RepRecordsReceivedAck::New();
        bogus->set_send_state(packet->send_state() ^ 0x5a5a5a5a);
        MsgSendReply(message.get(), kRepMsgRecordsReceived, bogus.get());
        // Nothing may follow an acknowledgement that names no send.
        Ref<Obj> early;
        EXPECT_FALSE(
            MsgWaitMultipleWithTimeout(&early, channel.get(), types, 3, Timeout(150).get()));
      }
      if (seen.packets.size() == 1 && then == Then::kAbortAfterFirst) ack->set_abort(true);
      MsgSendReply(message.get(), kRepMsgRecordsReceived, ack.get());
    }
    return seen;
  }

  // Dispatches for a while of real time, so that the provider settles.
  void Settle(int ms = 100) { kr_testing::Pump(ms); }

  TestHome home_{kr_testing::HomeOptions("alpha", "Requester", "", kScale)};
  std::unique_ptr<PeerThread> peer_;
  std::string machine_;
  std::string process_;
  int starts_ = 0;
  pid_t kill_pid_ = 0;
};

Ref<RepGetTableArgs> TableArgs(const char* table, std::vector<const char*> wanted,
                               const char* filter = nullptr) {
  Ref<RepGetTableArgs> a = RepGetTableArgs::New();
  a->set_table_name(table);
  Ref<List> fields = ListNewFromPool();
  // "name" or "name:type" (integer when not given), as a requester copies the provider's fields.
  for (std::string name : wanted) {
    size_t colon = name.find(':');
    int32_t type = colon == std::string::npos ? 0 : std::stoi(name.substr(colon + 1));
    ListPushLastItemInternal(fields.get(), RepNewFieldDef(name.substr(0, colon).c_str(), type, 1));
  }
  a->set_wanted_fields(fields);
  a->set_restrictions(ListNewFromPool());
  if (filter != nullptr) {
    Ref<RepSqlFilter> f = RepSqlFilter::New();
    f->set_table(table);
    f->set_text(filter);
    a->set_filter(f);
  }
  return a;
}

TEST_F(ProviderTest, PacketsFollowEveryHundredRecordsExamined) {
  struct Case {
    const char* name;
    int rows;
    const char* filter;
    std::vector<size_t> packets;
  };
  const Case cases[] = {
      {"250 records", 250, nullptr, {100, 100, 50}},
      {"exactly 100", 100, nullptr, {100, 0}},
      {"none at all", 0, nullptr, {0}},
      {"filter keeps nothing", 250, "(%id > 1000)", {0, 0, 0}},
      {"filter keeps the first 30", 250, "(%id <= 30)", {30, 0, 0}},
      {"filter keeps one in ten", 1000, "(%grp = 3)", {10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start({.rows = c.rows, .announce = true});
    Seen seen = Fetch(TableArgs("numbers", {"id", "name:1"}, c.filter).get());
    ASSERT_TRUE(seen.success);
    EXPECT_EQ(seen.packets, c.packets);
    EXPECT_TRUE(seen.end);
    for (size_t i = 1; i < seen.ids.size(); ++i) EXPECT_LT(seen.ids[i - 1], seen.ids[i]);
    Settle();
    EXPECT_EQ(g_inits, 1);
    EXPECT_EQ(g_finishes, 1);
    EXPECT_EQ(g_completed, 1);
    EXPECT_EQ(g_live, 0);
    StopProvider();
  }
}

TEST_F(ProviderTest, ReplyTableNamesTheRecordFieldsIncludingFilterFields) {
  Start({.rows = 20});
  Seen seen = Fetch(TableArgs("NUMBERS", {"id"}, "(%grp = 4)").get());
  ASSERT_TRUE(seen.success);
  EXPECT_STREQ(seen.table->name(), "Numbers");  // the descriptor's name
  ASSERT_EQ(seen.table->fields()->size(), 2u);
  EXPECT_STREQ(ObjGetSlotString(seen.table->fields()->at(1), 1), "grp");
  EXPECT_EQ(seen.table->records()->size(), 0u);
  EXPECT_EQ(seen.ids, (std::vector<int>{4, 14}));
}

TEST_F(ProviderTest, RefusedRequestsSendAFailureReplyAndStartNoGrabber) {
  struct Case {
    const char* name;
    Ref<Obj> argument;
  };
  Ref<RepGetTableArgs> bad_restriction = TableArgs("numbers", {"id"});
  Ref<List> restrictions = ListNewFromPool();
  Ref<RepSqlRestriction> r = RepSqlRestriction::New();
  r->set_field("id");
  r->set_lower_text("one");
  r->set_upper_text("9");
  ListPushLastItemInternal(restrictions.get(), r);
  bad_restriction->set_restrictions(restrictions);
  Ref<RepGetTableArgs> foreign_filter = TableArgs("numbers", {"id"});
  foreign_filter->set_filter(ObjNewString("(%id = 1)"));
  const Case cases[] = {
      {"not a table request", ObjNewString("numbers")},
      {"unknown table", TableArgs("letters", {"id"})},
      {"unknown wanted field", TableArgs("numbers", {"id", "colour"})},
      {"filter that does not build", TableArgs("numbers", {"id"}, "(%id = = 2)")},
      {"bound that does not encode", bad_restriction},
      {"filter object of another kind", foreign_filter},
  };
  Start({.rows = 10});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Seen seen = Fetch(c.argument.get());
    EXPECT_TRUE(seen.reply);
    EXPECT_FALSE(seen.success);
  }
  Settle();
  EXPECT_EQ(g_inits, 0);
  EXPECT_EQ(g_live, 0);
}

// A requester on another machine is refused until remote requests are enabled.
void ExpectRemoteRefusedUntilEnabled(ProviderTest* t) {
  for (bool remote : {false, true}) {
    SCOPED_TRACE(remote ? "enabled" : "refused");
    t->Start({.rows = 7}, "beta", remote);
    Seen seen = t->Fetch(TableArgs("numbers", {"id"}).get());
    EXPECT_TRUE(seen.reply);
    EXPECT_EQ(seen.success, remote);
    EXPECT_EQ(g_inits, remote ? 1 : 0);
    if (remote) {
      EXPECT_EQ(seen.ids, (std::vector<int>{1, 2, 3, 4, 5, 6, 7}));
      EXPECT_EQ(seen.packets, (std::vector<size_t>{7}));
      EXPECT_TRUE(seen.end);
    }
    t->StopProvider();
  }
}

TEST_F(ProviderTest, RemoteRequestsAreRefusedUntilEnabled) {
  ExpectRemoteRefusedUntilEnabled(this);
}

// The same guard over links between machines: each machine on its own loopback address with a
// certificate from the domain's authority, so the provider knows the requester is another machine
// because the link proved it, not because of what the requester claimed.
TEST_F(ProviderTest, CertifiedRemoteRequesterIsRefusedUntilEnabled) {
  const std::string dir = home_.HomePath("config/tls");
  ASSERT_TRUE(kr_testing::MakeDirs(dir));
  ASSERT_TRUE(kr_testing::WriteFile(home_.HomePath("config/machines"),
                                    "alpha 127.0.0.2\nbeta 127.0.0.3\n"));
  kr_testing::TestAuthority ca("Backup Domain CA");
  ASSERT_TRUE(ca.ok());
  ASSERT_TRUE(ca.WriteCertificate(dir + "/ca.crt"));
  ASSERT_TRUE(ca.IssueMachine(dir, "alpha"));
  ASSERT_TRUE(ca.IssueMachine(dir, "beta"));
  TraceCapture trace;
  ExpectRemoteRefusedUntilEnabled(this);
  EXPECT_TRUE(trace.Contains("Links are mutual TLS with certificate")) << trace.Dump();
}

TEST_F(ProviderTest, SendsThatEndEarly) {
  struct Case {
    const char* name;
    int fail_at;
    Then then;
    bool end;
    bool provider_abort;
    int finishes;
    int unfinished;
    bool finish_unfinished = false;
  };
  const Case cases[] = {
      // The requester asks to stop: no end of records, the grabber left to its process.
      {"abort", 0, Then::kAbortAfterFirst, false, false, 0, 1},
      // The requester's channel goes: likewise.
      {"channel down", 0, Then::kCloseAfterFirst, false, false, 0, 1},
      // Likewise, with the ready-made handler finishing what was left.
      {"channel down, ready-made handler", 0, Then::kCloseAfterFirst, false, false, 1, 0, true},
      // The grabber fails in the second packet: an abort packet, the grabber finished.
      {"grabber error", 150, Then::kAckAll, false, true, 1, 0},
      // An acknowledgement naming no send is ignored; the real one carries on.
      {"bogus token", 0, Then::kBogusTokenFirst, true, false, 1, 0},
  };
  for (bool old_style : {false, true}) {
    for (const Case& c : cases) {
      if (old_style && c.then == Then::kCloseAfterFirst) continue;  // the process's own business
      SCOPED_TRACE(std::string(c.name) + (old_style ? " (old style)" : ""));
      Start({.rows = 250,
             .fail_at = c.fail_at,
             .old_style = old_style,
             .finish_unfinished = c.finish_unfinished});
      Seen seen = Fetch(TableArgs("numbers", {"id"}).get(), c.then);
      ASSERT_TRUE(seen.success);
      EXPECT_EQ(seen.end, c.end);
      EXPECT_EQ(seen.aborted_by_provider, c.provider_abort);
      Settle(200);
      EXPECT_EQ(g_finishes, c.finishes);
      EXPECT_EQ(g_unfinished, c.unfinished);
      EXPECT_EQ(g_live, 0);
      StopProvider();
    }
  }
}

TEST_F(ProviderTest, FieldsRequest) {
  struct Case {
    const char* name;
    Ref<Obj> argument;
    const char* machine;
    bool success;
    const char* table_name;
  };
  auto args = [](const char* table) {
    Ref<RepGetTableFieldsArgs> a = RepGetTableFieldsArgs::New();
    a->set_table_name(table);
    return Ref<Obj>(a);
  };
  const Case cases[] = {
      {"known table", args("NUMBERS"), "alpha", true, "NUMBERS"},
      {"unknown table", args("letters"), "alpha", false, "letters"},
      {"not a fields request", ObjNewInteger(3), "alpha", false, nullptr},
      {"from another machine", args("numbers"), "beta", false, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start({}, c.machine);
    Ref<Obj> task = Give(kRepGetTableFieldsTaskKind, c.argument.get());
    ASSERT_TRUE(task);
    Ref<Obj> message, object;
    ASSERT_TRUE(
        MsgWaitMessageWithTimeout(&message, nullptr, kRepMsgTableFieldsReply, Timeout(5000).get()));
    MsgGetObjectInternal(&object, message.get(), RepGetTableFieldsReply::kTypeCode);
    const RepGetTableFieldsReply* reply = ObjCast<RepGetTableFieldsReply>(object.get());
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->success(), c.success);
    EXPECT_STREQ(reply->table_name(), c.table_name);
    EXPECT_EQ(reply->fields() != nullptr ? reply->fields()->size() : 0u, c.success ? 3u : 0u);
    StopProvider();
  }
}

// krtestprovider, as real processes.

TEST_F(ProviderTest, TestProviderProgramRegistersAndServes) {
  auto reports = kr_testing::StartReportsStandIn(home_.home());
  ASSERT_TRUE(reports->ready()) << "cannot start " << kr_testing::ProgramPath("krtestprovider");
  auto provider = kr_testing::StartTestProvider(home_.home(), "alpha",
                                                {"--jobs", "250", "--register", "alpha"});
  ASSERT_TRUE(provider->ready());
  auto registry = kr_testing::ReadFile(home_.config_dir() + "/reptables.cfg");
  ASSERT_TRUE(registry);
  EXPECT_NE(registry->find("[testjobs]\nProcess = Test Provider\nMachine = alpha\n"),
            std::string::npos);
  EXPECT_NE(registry->find("[testclients]"), std::string::npos);

  machine_ = "alpha";
  process_ = "Test Provider";
  Seen seen = Fetch(TableArgs("TestJobs", {"id", "client:1"}, "(%client = client03)").get());
  ASSERT_TRUE(seen.success);
  EXPECT_EQ(seen.packets, (std::vector<size_t>{20, 20, 10}));
  EXPECT_TRUE(seen.end);
  EXPECT_EQ(seen.ids.front(), 4);
}

TEST_F(ProviderTest, KilledProviderEndsTheTransferWithoutAHang) {
  auto provider = kr_testing::StartTestProvider(home_.home(), "alpha",
                                                {"--jobs", "100000", "--record-delay-us", "100"});
  ASSERT_TRUE(provider->ready());
  machine_ = "alpha";
  process_ = "Test Provider";
  kill_pid_ = provider->pid();
  auto start = std::chrono::steady_clock::now();
  Seen seen = Fetch(TableArgs("testjobs", {"id"}).get(), Then::kKillAfterFirst);
  provider->Kill();  // reaps it
  EXPECT_TRUE(seen.success);
  EXPECT_FALSE(seen.end);
  EXPECT_TRUE(seen.channel_lost);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 3.0);
}

TEST(ProviderAckTest, AcknowledgementsNamingNoSendAreIgnored) {
  TestHome home;
  TraceCapture trace;
  EXPECT_EQ(RepHandleMyRecReceivedMsg(ObjNewInteger(1).get()), 0);
  EXPECT_TRUE(trace.Contains("Invalid received records object. Doing nothing.", -1));
  EXPECT_EQ(RepHandleMyRecReceivedMsg(nullptr), 0);
  Ref<RepRecordsReceivedAck> ack = RepRecordsReceivedAck::New();
  for (uint64_t token : {uint64_t{0}, uint64_t{1}, ~uint64_t{0}}) {
    ack->set_send_state(token);
    EXPECT_EQ(RepHandleMyRecReceivedMsg(ack.get()), 0);
  }
  EXPECT_EQ(RepGetLiveRecordSendCount(), 0);
}

}  // namespace
