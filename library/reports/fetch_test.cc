// The requester against a scripted provider played by a thread: the table's name tells the
// provider how to behave, so each case can drive one path of the protocol.
#include "reports/fetch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kr/message.h"
#include "reports/tablesprovider.h"
#include "reptesting.h"
#include "testing.h"

namespace {

using kr_testing::PeerThread;
using kr_testing::TestHome;
using kr_testing::TraceCapture;

constexpr double kScale = 0.01;      // 30 s becomes 0.3 s, 60 s becomes 0.6 s
constexpr uint64_t kToken = 0x5eed;  // the provider's send-state token
constexpr uint32_t kMsgStall = 700;  // makes the provider busy for a while

std::atomic<int> g_acks{0};
std::atomic<int> g_aborts{0};

Ref<List> TwoFields() {
  return kr_testing::FieldList({{"id", kRepTypeInteger, 6}, {"name", kRepTypeString, 10}});
}

Ref<RepRecord> Record(int32_t id, bool bad_value) {
  Ref<List> values = ListNewFromPool();
  ListPushLastItemInternal(values.get(), RepNewFieldValue(kRepStateNormal, ObjNewInteger(id)));
  ListPushLastItemInternal(
      values.get(),
      RepNewFieldValue(kRepStateNormal, bad_value ? ObjNewInteger(id) : ObjNewString("n")));
  Ref<RepRecord> r = RepRecord::New();
  r->set_values(std::move(values));
  return r;
}

// One send of the scripted provider.
struct Send {
  std::string table;
  Ref<Obj> channel;
  int total = 0;
  int sent = 0;
  bool all_fetched = false;
  PeerThread* peer = nullptr;
};

// The provider thread's sends, ended or not (a requester that gives up leaves its send
// unacknowledged); released when the provider stops.
thread_local std::vector<std::unique_ptr<Send>> t_sends;

void SendPacket(Send* s) {
  Ref<RepRecordPacket> packet = RepRecordPacket::New();
  packet->set_send_state(kToken);
  Ref<List> records = ListNewFromPool();
  if (s->table == "garbage") {
    ListPushLastItemInternal(records.get(), ObjNewString("not a record"));
  } else if (s->table == "abortpacket") {
    packet->set_abort(true);
  } else {
    const int n = std::min(100, s->total - s->sent);
    for (int i = 0; i < n; ++i) {
      ListPushLastItemInternal(records.get(), Record(s->sent + i, s->table == "badvalue"));
    }
    s->sent += n;
    s->all_fetched = n < 100;
  }
  packet->set_records(std::move(records));
  MsgSendObject(s->channel.get(), kRepMsgRecordPacket, packet.get());
  // "vanish": the provider's process goes away in the middle of the table.
  if (s->table == "vanish") s->peer->Stop();
}

int AckHandler(Obj* message, void* cookie) {
  Send* s = static_cast<Send*>(cookie);
  Ref<Obj> source;
  MsgGetSource(&source, message);
  if (MsgAddressEqual(source.get(), s->channel.get()) != 1) return 1;
  Ref<Obj> obj;
  MsgGetObjectInternal(&obj, message, RepRecordsReceivedAck::kTypeCode);
  const auto* ack = ObjCast<RepRecordsReceivedAck>(obj.get());
  if (ack != nullptr && ack->send_state() == kToken) ++g_acks;
  if (ack == nullptr || ack->abort() || s->all_fetched) {
    if (ack != nullptr && ack->abort()) {
      ++g_aborts;
    } else {
      MsgSendObject(s->channel.get(), kRepMsgEndOfRecords, nullptr);
    }
    MsgWaitRemoveHandler(kRepMsgRecordsReceived, &AckHandler, s);
    MsgChannelClose(s->channel.get());
    return 0;
  }
  SendPacket(s);
  return 0;
}

// Tables: "rowsN" N records; "badvalue" 3 records whose name holds an integer; "garbage" a
// packet holding a string; "abortpacket" a packet with the abort flag; "vanish" 1000 records,
// but the provider ends after the first packet; "refuse" a failure reply.
int TableTask(Obj* task, void* cookie) {
  const MsgTask* t = ObjCast<MsgTask>(task);
  const auto* args = ObjCast<RepGetTableArgs>(t->ObjSlot<2>());
  Ref<RepGetTableReply> reply = RepGetTableReply::New();
  const std::string name = args != nullptr ? args->table_name() : "";
  // "silent": the provider says nothing for 1.5 s (real time), then serves 3 records.
  if (name == "silent") std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  if (name == "refuse" || args == nullptr) {
    MsgSendObject(t->ObjSlot<1>(), kRepMsgTableReply, reply.get());
    return 0;
  }
  reply->set_success(true);
  reply->set_table(RepNewTable(name.c_str(), TwoFields(), ListNewFromPool()));
  MsgSendObject(t->ObjSlot<1>(), kRepMsgTableReply, reply.get());
  Ref<Obj> connect;
  Ref<Obj> timeout;
  TimeCreateAndSetTimeout(&timeout, 0, static_cast<int32_t>(1000 / kScale));
  if (!MsgWaitExclusiveWithTimeout(&connect, t->ObjSlot<1>(), kMsgChannelConnect, timeout.get()))
    return 0;
  t_sends.push_back(std::make_unique<Send>());
  Send* s = t_sends.back().get();
  s->table = name;
  s->peer = static_cast<PeerThread*>(cookie);
  s->total = name.rfind("rows", 0) == 0 ? std::stoi(name.substr(4)) : name == "vanish" ? 1000 : 3;
  if (!MsgChannelCompleteInternal(&s->channel, connect.get(), 0, 1, 1)) return 0;
  MsgWaitAddHandler(kRepMsgRecordsReceived, &AckHandler, s);
  SendPacket(s);
  return 1;
}

int FieldsTask(Obj* task, void*) {
  const MsgTask* t = ObjCast<MsgTask>(task);
  const auto* args = ObjCast<RepGetTableFieldsArgs>(t->ObjSlot<2>());
  Ref<RepGetTableFieldsReply> reply = RepGetTableFieldsReply::New();
  if (args != nullptr && std::string(args->table_name()) != "refuse") {
    reply->set_table_name(args->table_name());
    reply->set_success(true);
    reply->set_fields(TwoFields());
  }
  MsgSendObject(t->ObjSlot<1>(), kRepMsgTableFieldsReply, reply.get());
  return 1;
}

int Stall(Obj*, void*) {
  std::this_thread::sleep_for(std::chrono::milliseconds(450));
  return 0;
}

void ServeScripted(PeerThread& p) {
  ProcRegisterTaskHandler(kRepGetTableTaskKind, &TableTask, &p);
  ProcRegisterTaskHandler(kRepGetTableFieldsTaskKind, &FieldsTask, nullptr);
  MsgWaitAddHandler(kMsgStall, &Stall, nullptr);
  MsgInit();
  p.Ready();
  p.Serve();
  for (const auto& s : t_sends) MsgWaitRemoveHandler(kRepMsgRecordsReceived, &AckHandler, s.get());
  t_sends.clear();
}

int CountCalls(void* argument, int) {
  ++*static_cast<int*>(argument);
  return 0;
}

int CancelAtOnce(void* argument, int) {
  ++*static_cast<int*>(argument);
  RepCancelTableFetch();
  return 0;
}

class FetchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_acks = 0;
    g_aborts = 0;
    ASSERT_TRUE(peer_.WaitReady());
  }
  Ref<RepTableInfo> Info(const char* table, const char* process = "Provider") {
    Ref<RepTableInfo> info = RepTableInfo::New();
    info->set_table_name(table);
    info->set_process_name(process);
    info->set_machine_name("beta");
    return info;
  }
  int Fetch(Ref<RepTable>* table, const char* name, RepProgressCallback progress = nullptr,
            int* calls = nullptr) {
    return RepGetTableFromProc(table, Info(name).get(), TwoFields().get(), nullptr, nullptr,
                               progress, calls);
  }

  TestHome home_{kr_testing::HomeOptions("alpha", "Requester", "", kScale)};
  PeerThread peer_{kr_testing::HomeOptions("beta", "Provider", home_.home(), kScale),
                   &ServeScripted};
};

TEST_F(FetchTest, RecordsArriveInOrderWithAcksAndProgress) {
  struct Case {
    int records;
    int progress_calls;
  };
  for (const Case& c : {Case{0, 0}, Case{1, 0}, Case{100, 0}, Case{250, 0}, Case{1000, 2}}) {
    SCOPED_TRACE(c.records);
    g_acks = 0;
    Ref<RepTable> table;
    int calls = 0;
    const std::string name = "rows" + std::to_string(c.records);
    ASSERT_EQ(Fetch(&table, name.c_str(), &CountCalls, &calls), 0);
    ASSERT_EQ(ListGetItemCount(table->records()), static_cast<size_t>(c.records));
    for (int i = 0; i < c.records; ++i)
      ASSERT_EQ(kr_testing::IntegerAt(table->records()->at(static_cast<size_t>(i)), 0), i);
    EXPECT_EQ(calls, c.progress_calls);
    EXPECT_EQ(g_acks, c.records / 100 + 1);  // every packet, the last short one too
    EXPECT_STREQ(table->name(), name.c_str());
  }
}

TEST_F(FetchTest, ValuesOfTheWrongTypeArriveAsUnknown) {
  Ref<RepTable> table;
  ASSERT_EQ(Fetch(&table, "badvalue"), 0);
  ASSERT_EQ(ListGetItemCount(table->records()), 3u);
  const auto* r = ObjCast<RepRecord>(table->records()->at(0));
  EXPECT_EQ(r->value_at(0)->state(), kRepStateNormal);
  EXPECT_EQ(r->value_at(1)->state(), kRepStateUnknown);
}

TEST_F(FetchTest, FailuresEndTheFetchWithTheirMessage) {
  struct Case {
    const char* table;
    const char* process;
    const char* message;
  };
  const Case cases[] = {
      {"refuse", "Provider", "Table 'refuse' not available from proc 'Provider' on machine 'beta'"},
      {"garbage", "Provider", "Bad/null object when receiving records of table 'garbage'"},
      {"abortpacket", "Provider", "Asked to abort records receive for table 'abortpacket'"},
      {"rows5", "Nobody", "Failed to give proc 'Nobody' on machine 'beta' a GIVE_TABLE task"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.table);
    TraceCapture trace;
    Ref<RepTable> table;
    EXPECT_NE(RepGetTableFromProc(&table, Info(c.table, c.process).get(), TwoFields().get(),
                                  nullptr, nullptr, nullptr, nullptr),
              0);
    EXPECT_FALSE(table);
    EXPECT_TRUE(trace.Contains(c.message, -1)) << trace.Dump();
  }
}

TEST_F(FetchTest, ProviderThatGoesAwayFailsTheFetchAtOnce) {
  auto start = std::chrono::steady_clock::now();
  Ref<RepTable> table;
  EXPECT_NE(Fetch(&table, "vanish"), 0);
  EXPECT_FALSE(table);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 5.0);
}

TEST_F(FetchTest, CancelFromProgressStopsTheProvider) {
  int calls = 0;
  Ref<RepTable> table;
  EXPECT_NE(Fetch(&table, "rows1000", &CancelAtOnce, &calls), 0);
  EXPECT_FALSE(table);
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(RepTableFetchCancelled());
  // The abort acknowledgement reaches the provider, which stops.
  for (int i = 0; i < 200 && g_aborts == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(g_aborts, 1);
  // The request holds until cleared, so a later fetch of the same production fails too.
  EXPECT_NE(Fetch(&table, "rows5"), 0);
  kr_internal::ClearTableFetchCancel();
  EXPECT_EQ(Fetch(&table, "rows5"), 0);
}

TEST_F(FetchTest, FieldsRequest) {
  Ref<RepFieldList> fields;
  ASSERT_EQ(RepGetTableFieldsFromProc(&fields, "jobs", "Provider", "beta"), 0);
  EXPECT_EQ(ListGetItemCount(fields.get()), 2u);
  TraceCapture trace;
  EXPECT_NE(RepGetTableFieldsFromProc(&fields, "refuse", "Provider", "beta"), 0);
  EXPECT_TRUE(trace.Contains(
      "Process 'Provider' on machine 'beta' was unable to provide fields for table 'refuse'"));
}

// A provider that takes 45 (scaled) seconds to accept is given up by GET_TABLE (30 s) but not by
// GET_TABLE_FIELDS (60 s).
TEST_F(FetchTest, AcceptanceTimeOuts) {
  Ref<Obj> provider;
  ASSERT_EQ(ProcCreateAddress(&provider, "beta", "Provider", 0), 1);
  Ref<RepFieldList> fields;
  ASSERT_EQ(MsgSendObject(provider.get(), kMsgStall, nullptr), 1);
  EXPECT_EQ(RepGetTableFieldsFromProc(&fields, "jobs", "Provider", "beta"), 0);

  TraceCapture trace;
  ASSERT_EQ(MsgSendObject(provider.get(), kMsgStall, nullptr), 1);
  Ref<RepTable> table;
  EXPECT_NE(Fetch(&table, "rows5"), 0);
  EXPECT_TRUE(trace.Contains("Failed to get task reply msg from proc 'Provider' on machine 'beta'"))
      << trace.Dump();
}

// A provider that stays silent is given up after the inactivity limit, with a sentence that names
// it; the reply it sends late is set aside (and its task released) rather than taken for the
// answer to the next request; and a front end's cancel check ends a wait at once.
TEST_F(FetchTest, SilentProviderIsGivenUpAndItsLateReplyNeverAnswersALaterRequest) {
  RepSetFetchInactivityLimit(0.5);
  Ref<RepTable> table;
  auto start = std::chrono::steady_clock::now();
  auto since = [&start] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  {
    TraceCapture trace;
    EXPECT_NE(Fetch(&table, "silent"), 0);
    EXPECT_GE(since(), 0.45);
    EXPECT_LT(since(), 1.4);
    EXPECT_TRUE(trace.Contains("Table 'silent': process 'Provider' on machine 'beta' sent nothing "
                               "for 0.5 s",
                               -1))
        << trace.Dump();
  }
  // The provider answers "silent" at 1.5 s and then waits for its channel.
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  ASSERT_EQ(Fetch(&table, "rows7"), 0);
  EXPECT_STREQ(table->name(), "rows7");
  EXPECT_EQ(ListGetItemCount(table->records()), 7u);

  start = std::chrono::steady_clock::now();
  static std::chrono::steady_clock::time_point s_start;
  s_start = start;
  RepSetFetchCancelCheck(
      [](void*) {
        return std::chrono::steady_clock::now() - s_start > std::chrono::milliseconds(300) ? 1 : 0;
      },
      nullptr);
  EXPECT_NE(Fetch(&table, "silent"), 0);
  EXPECT_LT(since(), 0.45);
  EXPECT_TRUE(RepTableFetchCancelled());
  RepSetFetchCancelCheck(nullptr, nullptr);
  kr_internal::ClearTableFetchCancel();
  RepSetFetchInactivityLimit(0);
  EXPECT_EQ(RepGetFetchInactivityLimit(), kRepFetchInactivityDefaultSeconds);
}

}  // namespace

// A cancel request and the progress state belong to the context that made them: another
// context on the same thread neither sees nor changes them, and switching back finds them.
TEST(FetchContext, CancelAndProgressBelongToTheirContext) {
  TestHome a;
  RepCancelTableFetch();
  RepProgressBeginStage(kRepStageSort, 7);
  {
    TestHome b;
    EXPECT_FALSE(RepTableFetchCancelled());
    EXPECT_EQ(RepGetProgressState().stage, kRepStageIdle);
    RepProgressBeginStage(kRepStageFetch, 0);
    RepCancelTableFetch();
  }
  EXPECT_TRUE(RepTableFetchCancelled());
  EXPECT_EQ(RepGetProgressState().stage, kRepStageSort);
  EXPECT_EQ(RepGetProgressState().in_stage, 7);
  kr_internal::ClearTableFetchCancel();
  EXPECT_FALSE(RepTableFetchCancelled());
}
