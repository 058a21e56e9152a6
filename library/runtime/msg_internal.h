// What the messaging sources share: the per-context messaging state, the transport's interface
// and the data-channel core. Asio stays inside transport.cc; nothing here names it.
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
};

// The object of a link's hello and hello-ack frames. Slots: 1 purpose (1 link, 2 data
// channel), 2 the sender's identity, 3 the identity it expects to reach (hello only), 4 data
// channel id, 5 data buffer size, 6 result (ack: 1 accepted), 7 the sender's runtime version.
struct LinkHello : ObjView<LinkHello> {
  static constexpr uint32_t kTypeCode = 0x4b520026;
  static constexpr const char kSpec[] = "i;o;o;l;i;i;s;";
  static constexpr const char kName[] = "LinkHello";
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
  PeerIdentity peer;  // kLinkUp
  std::string version;  // kLinkUp: the peer's runtime version
  Frame frame;        // kFrame
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

struct DataConn;  // transport.cc

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
// The per-context messaging state (message.cc).

struct MsgState;

// The calling context's state, made and started on first use; null when messaging cannot
// start (no home, no port).
MsgState* MsgStateGet() noexcept;
Transport* MsgTransport(MsgState* s) noexcept;
const PeerIdentity& MsgSelf(MsgState* s) noexcept;
// Sends a frame to the process an address names (not the calling process itself), opening a
// link if need be. The link's id, or 0 when the process cannot be found.
uint64_t MsgSendFrameTo(MsgState* s, const Obj* address, const Frame& frame) noexcept;
// Finds where a process is reachable (run directory, then machines file).
bool MsgResolve(MsgState* s, const Obj* address, Endpoint* endpoint, PeerIdentity* expect) noexcept;
// The scaled duration of `ms` milliseconds in the calling context.
Clock::duration MsgScaled(double ms) noexcept;
// Whether a machine is known: named by the machines file, published in the run directory, or
// met in a link handshake (context.cc's MachInfoFind).
bool MsgMachineKnown(const std::string& home, const char* machine) noexcept;
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
                     int64_t channel) noexcept;
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
