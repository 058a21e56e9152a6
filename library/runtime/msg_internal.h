// What the messaging sources share: the per-context messaging state, the transport's interface
// and the data-channel core. Asio stays inside the transport sources; nothing here names it.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "frame.h"
#include "kr/context.h"
#include "kr/datachannel.h"
#include "kr/message.h"

namespace kr_internal {

using Clock = std::chrono::steady_clock;

// Message channels a peer may have open on one link. Each costs an entry until it is closed
// or the link goes, so without a cap one peer could grow this process without bound.
inline constexpr size_t kMaxPeerChannelsPerLink = 1024;

// One process instance of the domain.
struct PeerIdentity {
  std::string machine;
  std::string process;
  uint64_t instance = 0;
  int64_t pid = 0;
};

// Where to reach a process.
struct Endpoint {
  std::string host;
  uint16_t port = 0;
  uint64_t instance = 0;  // 0 when not known beforehand (machines file)
};

// The message object. Slots: 1 type, 2 object, 3 sender, 4 source (null: the sender),
// 5 destination.
struct MsgMessage : ObjView<MsgMessage> {
  static constexpr uint32_t kTypeCode = kMsgMessageType;
  static constexpr const char kSpec[] = "i;o;o;o;o;";
  static constexpr const char kName[] = "MsgMessage";

  uint32_t type() const noexcept { return static_cast<uint32_t>(IntSlot<1>()); }
  Obj* object() const noexcept { return ObjSlot<2>(); }
  Obj* sender() const noexcept { return ObjSlot<3>(); }
  Obj* source() const noexcept { return ObjSlot<4>(); }  // null: the sender
  Obj* destination() const noexcept { return ObjSlot<5>(); }
  // Where an answer goes: the channel the message came on, else its sender.
  Obj* reply_to() const noexcept { return source() != nullptr ? source() : sender(); }

  void set_type(uint32_t v) noexcept { SetIntSlot<1>(static_cast<int32_t>(v)); }
  void set_object(Ref<Obj> v) noexcept { SetObjSlot<2>(std::move(v)); }
  void set_sender(Ref<Obj> v) noexcept { SetObjSlot<3>(std::move(v)); }
  void set_source(Ref<Obj> v) noexcept { SetObjSlot<4>(std::move(v)); }
  void set_destination(Ref<Obj> v) noexcept { SetObjSlot<5>(std::move(v)); }
};

// The object of a link's hello and hello-ack frames. Slots: 1 purpose (1 link, 2 data
// channel), 2 the sender's identity, 3 the identity it expects to reach (hello only), 4 data
// channel id, 5 data buffer size, 6 result (ack: 1 accepted), 7 the sender's runtime version.
struct LinkHello : ObjView<LinkHello> {
  static constexpr uint32_t kTypeCode = 0x4b520026;
  static constexpr const char kSpec[] = "i;o;o;l;i;i;s;i;";
  static constexpr const char kName[] = "LinkHello";

  int32_t purpose() const noexcept { return IntSlot<1>(); }
  Obj* from() const noexcept { return ObjSlot<2>(); }
  Obj* target() const noexcept { return ObjSlot<3>(); }
  uint64_t channel() const noexcept { return static_cast<uint64_t>(cells()[Cell<4>()].i); }
  int32_t buffer_size() const noexcept { return IntSlot<5>(); }
  int32_t result() const noexcept { return IntSlot<6>(); }
  const char* version() const noexcept { return StrSlot<7>(); }
  // The port the sender listens on (0: none), so that a peer on another host can open data
  // channels back to a process that no endpoint file or machines-file line places.
  int32_t listen_port() const noexcept { return IntSlot<8>(); }

  void set_purpose(int32_t v) noexcept { SetIntSlot<1>(v); }
  void set_from(Ref<Obj> v) noexcept { SetObjSlot<2>(std::move(v)); }
  void set_target(Ref<Obj> v) noexcept { SetObjSlot<3>(std::move(v)); }
  void set_channel(uint64_t v) noexcept { cells()[Cell<4>()].i = static_cast<int64_t>(v); }
  void set_buffer_size(int32_t v) noexcept { SetIntSlot<5>(v); }
  void set_result(int32_t v) noexcept { SetIntSlot<6>(v); }
  void set_version(const char* v) noexcept { SetStrSlot<7>(v); }
  void set_listen_port(int32_t v) noexcept { SetIntSlot<8>(v); }
};
inline constexpr int kHelloPurposeLink = 1;
inline constexpr int kHelloPurposeData = 2;
// A hello's object is small; anything larger is not a hello.
inline constexpr uint32_t kMaxHelloPayload = 4096;
// The longest version text kept from a peer's hello.
inline constexpr size_t kMaxVersionText = 64;

// What a hello or hello-ack says, decoded and checked.
struct Hello {
  int purpose = 0;
  PeerIdentity from;
  PeerIdentity target;  // hello only: whom the connector expects to reach
  uint64_t channel = 0;
  uint32_t buffer_size = 0;
  int result = 0;  // ack only: 1 accepted
  std::string version;
  uint16_t listen_port = 0;  // hello only: where the sender listens (0: not told)
};

// The bytes of a hello (or, with `ack`, a hello-ack) frame.
std::string HelloEncode(const Hello& hello, bool ack) noexcept;
// Checks a hello frame's header: the payload size to read next, or -1 when it is not a hello
// (or hello-ack) of this protocol version.
int64_t HelloHeaderCheck(const unsigned char* header, bool ack) noexcept;
// Decodes a hello payload and checks it: identities present, an instance, a known purpose, a
// data channel's id and buffer size within bounds. The version text is cut to
// kMaxVersionText printable characters. False for anything else.
bool HelloDecode(const std::string& payload, bool ack, Hello* hello) noexcept;

// The object of message 55809. Slots: 1 channel id, 2 buffer size.
struct DataChannelAnnounce : ObjView<DataChannelAnnounce> {
  static constexpr uint32_t kTypeCode = kDataChannelConnectType;
  static constexpr const char kSpec[] = "l;i;";
  static constexpr const char kName[] = "DataChannelConnect";
};

// What the transport hands the loop. Produced inside Asio completion handlers, consumed by the
// wait loop outside them.
struct NetEvent {
  enum Kind { kLinkUp, kLinkDown, kFrame } kind = kFrame;
  uint64_t link = 0;
  PeerIdentity peer;    // kLinkUp
  std::string version;  // kLinkUp: the peer's runtime version
  Endpoint reach;       // kLinkUp: where the peer listens, as seen from here (port 0: unknown)
  Frame frame;          // kFrame
};

// ---------------------------------------------------------------------------------------------
// Data channels.

enum class DataState { kIdle, kConnecting, kOpen, kClosed, kFailed };

// The prefix the runtime keeps in front of every block's header.
struct BlockPrefix {
  uint64_t owner;     // the channel's key, so that a foreign block is refused
  uint32_t capacity;  // data bytes
  uint32_t used;      // the bytes-used count while the block is in the application's hands
  uint64_t spare[2];
};
static_assert(sizeof(BlockPrefix) == 32);

struct DataConn;  // transport_internal.h

struct DataChanCore {
  uint64_t key = 0;  // names the channel within its context (both ends may share one context)
  uint64_t id = 0;   // names the connection on the wire
  uint32_t buffer_size = 0;
  bool sender = false;
  DataState state = DataState::kIdle;
  const char* error = nullptr;
  PeerIdentity peer;
  Endpoint endpoint;
  std::vector<std::unique_ptr<unsigned char[]>> storage;  // every block of the channel
  std::vector<unsigned char*> free_blocks;                // headers of unused blocks
  std::deque<unsigned char*> send_queue;  // queued by the application, not yet written
  size_t writing = 0;                     // blocks at the front of send_queue being written
  uint64_t send_sequence = 0;
  std::deque<unsigned char*> recv_queue;  // received whole, not yet handed out
  size_t in_hands = 0;                    // blocks the application holds
  bool reading_block = false;             // a block is partly read
  uint64_t recv_sequence = 0;
  bool announced = false;  // 55809 sent
  Ref<Obj> destination;    // the peer's address (sending side: as given)
  bool released = false;   // the application let go
  std::shared_ptr<DataConn> conn;

  // A block to fill or read into: a free one, or a new one while fewer than the queue length
  // exist; null when every block is in use.
  unsigned char* TakeFree();
  unsigned char* NewBlock();
  static BlockPrefix* Prefix(unsigned char* header) {
    return reinterpret_cast<BlockPrefix*>(header - sizeof(BlockPrefix));
  }
  // How many blocks this end may have: about kDataChannelQueueBytes worth.
  size_t MaxBlocks() const {
    size_t n = kDataChannelQueueBytes / (buffer_size == 0 ? 1 : buffer_size);
    return std::clamp<size_t>(n, kDataChannelQueueLength, kDataChannelQueueMax);
  }
};

// ---------------------------------------------------------------------------------------------
// The transport: the context's io_context, listener, links and data connections.

class TransportImpl;

// Where a context's certificates are: the domain's certificate authority, and this machine's
// certificate and private key (doc/messaging.md, "Security").
struct TlsFiles {
  std::string ca;
  std::string cert;
  std::string key;
};

class Transport {
 public:
  Transport(const PeerIdentity* self, std::deque<NetEvent>* inbox);
  ~Transport();
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;

  // Makes every connection, both ways, mutual TLS 1.3 with these files. On failure (a file
  // missing, unreadable, malformed, or a key readable by others) *error says why and the
  // transport refuses all connections: a process whose certificates are broken must not fall
  // back to plain links.
  bool UseTls(const TlsFiles& files, std::string* error) noexcept;
  bool tls() const noexcept;
  // Without TLS: whether a link from this host may claim a machine name (it is one this host
  // publishes or that the machines file maps here).
  void SetLocalMachineCheck(std::function<bool(const std::string& machine)> check) noexcept;
  // Listens on host:port (port 0: any); the bound port in *bound. Outgoing connections are
  // made from the same address when it is a particular one (not 0.0.0.0).
  bool Listen(const std::string& host, uint16_t port, uint16_t* bound) noexcept;
  // Opens a link to a process; frames sent before it is up wait for the handshake. The link's
  // id, or 0.
  uint64_t Connect(const Endpoint& endpoint, const PeerIdentity& expect) noexcept;
  // Queues frame bytes on a link; false when the link is gone.
  bool Send(uint64_t link, std::string bytes) noexcept;
  void CloseLink(uint64_t link) noexcept;

  // Runs completion handlers: blocks until one ran or `deadline` passed, then runs all that are
  // ready. A deadline in the past only polls.
  void Run(Clock::time_point deadline) noexcept;
  // Runs handlers until `ready()` or `deadline`.
  template <class F>
  void RunUntil(Clock::time_point deadline, F ready) {
    while (!ready() && Clock::now() < deadline) Run(deadline);
  }

  // Data connections.
  void DataConnect(const std::shared_ptr<DataChanCore>& core) noexcept;
  // Binds a connection that arrived for channel `id` from `peer_instance`; false if none yet.
  bool DataAdopt(const std::shared_ptr<DataChanCore>& core, uint64_t peer_instance) noexcept;
  void DataKickWrite(const std::shared_ptr<DataChanCore>& core) noexcept;
  void DataKickRead(const std::shared_ptr<DataChanCore>& core) noexcept;
  // Closes after queued blocks are written (or at once when `abort`).
  void DataClose(const std::shared_ptr<DataChanCore>& core, bool abort) noexcept;

 private:
  std::unique_ptr<TransportImpl> impl_;
};

// ---------------------------------------------------------------------------------------------
// Finding processes (discovery.cc). A process publishes its endpoint, the line
// "host port instance pid", in <home>/run/<machine>@<process>.endpoint (the machine in lower
// case, both names with every byte but letters, digits, '.', '_' and '-' as %XX). Processes on
// other hosts, and fixed ports, come from <home>/config/machines. Files are read afresh on
// every call and at most a small bounded size of each.

// A machines-file line: "machine host [port process name...]"; '#' starts a comment. Without a
// port the line only places the machine on a host.
struct MachineLine {
  std::string machine, host, process;
  uint16_t port = 0;
};

std::string DiscoveryRunDir(const std::string& home);
std::string EndpointFilePath(const std::string& home, const std::string& machine,
                             const std::string& process);
// Decodes an endpoint file's text; false unless it holds a host, a port 1-65535, an instance
// other than 0 and a pid.
bool ParseEndpoint(const std::string& text, Endpoint* endpoint, int64_t* pid) noexcept;
// The usable lines of the home's machines file, in order; lines without a machine and a host,
// with a port of 0 or over 65535, or with a port but no process name are skipped.
std::vector<MachineLine> ReadMachinesFile(const std::string& home) noexcept;
// Where `want` is reachable: its endpoint file when that names a live process (a loopback
// endpoint whose pid is gone is stale), else a machines-file line with its machine (case-blind),
// process and a port. A live endpoint file of another instance than `want` names (when it names
// one) fails. *expect is the identity the link's handshake must meet.
bool ResolveProcess(const std::string& home, const PeerIdentity& want, Endpoint* endpoint,
                    PeerIdentity* expect) noexcept;
// Without TLS, which machine names a link from this host may claim: those published in the
// home's run directory and those the machines file places on this host (a loopback address,
// "localhost" or this host's name).
bool MachineOnThisHost(const std::string& home, const std::string& machine) noexcept;
// Whether a machine is known: named by the machines file, published in the run directory, or
// met in a link handshake (context.cc's MachInfoFind).
bool MsgMachineKnown(const std::string& home, const char* machine) noexcept;
// Publishes the endpoint of `self` listening on host:port, atomically; its path in *file (empty
// on failure). Refuses, saying why in *refusal, when a live process (its pid exists and its port
// answers) already publishes the same machine and process name; a stale endpoint is replaced.
bool EndpointPublish(const std::string& home, const PeerIdentity& self, const std::string& host,
                     uint16_t port, std::string* file, std::string* refusal) noexcept;
// Removes an endpoint file, unless another instance has published the same name since.
void EndpointUnpublish(const std::string& file, uint64_t instance) noexcept;
// Where a process listens: a machines-file line for this very process gives a fixed port on
// every address; a line placing its machine on a loopback address of its own (127.0.0.2, ...)
// gives a free port there, so that several machines of one host are told apart by address; a
// line placing it on a host address gives a free port on every address, so that peers on other
// hosts reach it back; otherwise a free port on 127.0.0.1.
void ListenAddressOf(const std::string& home, const PeerIdentity& self, std::string* host,
                     uint16_t* port) noexcept;
// The home's TLS files for a machine; false when the home has no config/tls directory, i.e.
// links are plain and reach only this host.
bool TlsFilesOf(const std::string& home, const std::string& machine, TlsFiles* files) noexcept;

// ---------------------------------------------------------------------------------------------
// The per-context messaging state (msgstate.h).

struct MsgState;

// The context's messaging state, null until messaging starts (context.cc), and its end: the
// endpoint unpublished, the links and channels closed (a null state is nothing to end).
MsgState* ContextMsgState(const KrContext* context) noexcept;
void ContextSetMsgState(KrContext* context, MsgState* state) noexcept;
void MsgStateDestroy(MsgState* s) noexcept;

// The calling context's state, made and started on first use; null when messaging cannot
// start (no home, no port).
MsgState* MsgStateGet() noexcept;
Transport* MsgTransport(MsgState* s) noexcept;
const PeerIdentity& MsgSelf(MsgState* s) noexcept;
// Sends a frame to the process an address names (not the calling process itself), opening a
// link if need be. The link's id, or 0 when the process cannot be found.
uint64_t MsgSendFrameTo(MsgState* s, const Obj* address, const Frame& frame) noexcept;
// Finds where the process an address names is reachable (ResolveProcess in the context's home).
bool MsgResolve(MsgState* s, const Obj* address, Endpoint* endpoint, PeerIdentity* expect) noexcept;
// The scaled duration of `ms` milliseconds in the calling context.
Clock::duration MsgScaled(double ms) noexcept;
// The runtime version a process of `machine` gave in its link handshake, when one was made.
bool MsgMachineVersion(const char* machine, std::string* version) noexcept;
// Moves transport events into the pending queue (no dispatch).
void MsgIngest(MsgState* s) noexcept;

// When each announced data channel was first asked for, for DataChannelAcceptConnection.
std::map<uint64_t, Clock::time_point>& MsgAcceptAttempts(MsgState* s) noexcept;
// Data channels registered for finalizers and the context's end (datachannel.cc).
void DataChannelsShutdown(MsgState* s) noexcept;
std::vector<std::shared_ptr<DataChanCore>>& MsgDataChannels(MsgState* s) noexcept;

// An address object of a process identity.
Ref<Obj> MakeAddress(const PeerIdentity& peer, int32_t kind, int32_t task,
                     uint64_t channel) noexcept;
bool AddressIdentity(const Obj* address, PeerIdentity* peer) noexcept;

// Handle tokens: objects whose destruction must reach the context that made them (channels,
// data channels) carry a token; a process-wide table maps live tokens to their owner.
uint64_t HandleRegister(MsgState* owner, void (*on_drop)(MsgState*, uint64_t),
                        uint64_t value) noexcept;
void HandleForget(uint64_t token) noexcept;
void HandleForgetAll(MsgState* owner) noexcept;
// Sets the local handle slot of an address-like object so that dropping it calls on_drop.
void HandleAttach(Obj* obj, int slot, uint64_t token) noexcept;
// The token in a handle slot, or 0.
uint64_t HandleTokenOf(const Obj* obj, int slot) noexcept;

}  // namespace kr_internal
