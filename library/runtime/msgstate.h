// The per-context messaging state the message sources share: what a context's messaging
// holds (pending messages, waits, handlers, links, tasks, channels, alarms) and the small
// helpers every part of it calls. Not installed.
//
// Everything here runs on the context's thread, outside any Asio call: the transport's
// completion handlers only queue events (NetEvent), which MsgIngest turns into pending messages;
// the wait loop then dispatches them (doc/messaging.md has the order).
#pragma once

#include <strings.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "kr/message.h"
#include "msg_internal.h"

namespace kr_internal {

constexpr const char* kTag = "KRMSG";
// Unclaimed messages kept for later waits; beyond this the oldest is dropped.
constexpr size_t kMaxPending = 65536;
// Lost peers remembered, so that waits on them fail.
constexpr size_t kMaxLost = 1024;
// Machines whose runtime version is remembered from their handshakes.
constexpr size_t kMaxVersions = 1024;

struct PendingItem {
  Ref<Obj> message;      // a MsgMessage
  uint64_t offered = 0;  // every handler up to this sequence number has declined it
  bool task = false;     // a task hand-over: the message's object is the MsgTask
};

struct HandlerEntry {
  uint32_t type;
  MsgHandler fn;
  void* cookie;
};

struct WaitFrame {
  const uint32_t* types = nullptr;
  int ntypes = 0;
  MsgWaitCallback done = nullptr;
  void* cookie = nullptr;
  const Obj* source = nullptr;
  bool exclusive = false;
  uint64_t loss_mark = 0;
  Ref<Obj> result;
};

struct LinkInfo {
  PeerIdentity peer;  // the expected identity until the link is up
  bool up = false;
  std::string key;
  Ref<Obj> address;          // the peer's process address, once up
  size_t peer_channels = 0;  // channels the peer opened on this link, still open
  uint64_t refused_channels = 0;
};

struct GivenTask {
  uint64_t link = 0;
  bool accepted = false;
  Ref<Obj> destination;
  Ref<Obj> task_address;
};

struct ChannelEntry {
  uint64_t link = 0;  // 0 for a channel of the process to itself
  PeerIdentity peer;
  bool by_peer = false;  // opened by the peer (counted against its link's cap)
  uint64_t partner = 0;  // a channel to itself: the id of the other end
};

struct LostPeer {
  PeerIdentity peer;
  uint64_t serial;
};

struct Alarm {
  TimrCallback fn;
  void* cookie;
  Clock::time_point when;
  uint64_t serial;
};

struct MsgState {
  KrContext* ctx = nullptr;
  PeerIdentity self;
  Ref<Obj> self_address;
  std::deque<NetEvent> inbox;
  std::unique_ptr<Transport> transport;
  std::string endpoint_file;
  uint16_t port = 0;
  std::string publish_host = "127.0.0.1";
  bool reachable = false;  // listening and published
  std::string start_failure;  // why not, in words for the administrator

  std::map<uint64_t, PendingItem> pending;
  uint64_t next_seq = 1;
  std::map<uint64_t, HandlerEntry> handlers;
  uint64_t next_handler = 1;
  std::vector<WaitFrame*> waits;
  int last_error = kMsgWaitOk;

  std::map<uint64_t, LinkInfo> links;
  std::map<std::string, uint64_t> primary;  // peer key -> link used to send to it
  std::deque<LostPeer> lost;
  uint64_t loss_serial = 0;

  std::map<int32_t, std::pair<ProcTaskHandler, void*>> task_handlers;
  std::map<int32_t, GivenTask> given;
  int32_t next_task_id = 1;
  std::map<int32_t, Ref<Obj>> serving;  // task number -> MsgTask
  int32_t next_serving = 1;

  std::map<uint64_t, ChannelEntry> channels;
  std::vector<uint64_t> dropped_channels;  // closed by dropping their handle; closed next pass

  std::vector<Alarm> alarms;
  uint64_t alarm_serial = 1;

  std::vector<std::shared_ptr<DataChanCore>> data_channels;
  std::map<uint64_t, Clock::time_point> accept_attempts;
  std::mt19937_64 rng;
  std::map<std::string, std::string> versions;  // lower-case machine -> its runtime version
  // Where peers that linked to us listen (PeerKey -> endpoint with instance): how a process on
  // another host, which no endpoint file or machines-file line places, is reached for a data
  // channel. Bounded like the versions.
  std::map<std::string, Endpoint> reach;
};

std::string Lower(const std::string& s);
// The key of a peer's name: its lower-case machine and its process.
std::string PeerKey(const std::string& machine, const std::string& process);
bool SameName(const PeerIdentity& a, const PeerIdentity& b);
const MsgAddress* AsAddress(const Obj* o);
const MsgMessage* AsMessage(const Obj* o);
// The sender's address of a message, or the address itself.
const MsgAddress* AddressOf(const Obj* address_or_message);
// Whether `a` is this context's own address.
bool IsSelf(MsgState* s, const MsgAddress* a);
Ref<Obj> NewMessage(uint32_t type, Obj* object, Ref<Obj> sender, Ref<Obj> source,
                    Ref<Obj> destination);
// Queues a message for the waits and handlers; the oldest unclaimed one goes beyond the limit.
void PushPending(MsgState* s, Ref<Obj> message, bool task);
// Queues a message from this context to itself.
void PushLocal(MsgState* s, uint32_t type, Obj* object, const Obj* destination);

// Links and frames (messagelinks.cc).
bool SendOnLink(MsgState* s, uint64_t link, const Frame& frame);
void CloseChannelEntry(MsgState* s, uint64_t id);
void OnChannelHandleDropped(MsgState* s, uint64_t id);

}  // namespace kr_internal
