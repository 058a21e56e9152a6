// The transport: one Asio io_context per context, its listener, its links and its data
// connections. The only source that includes Asio.
//
// Completion handlers here never call into the application: they decode frames and queue
// NetEvents, or move data-channel blocks between queues. The wait loop (message.cc) runs the
// io_context and does everything else outside it. Writes are asynchronous only, so two
// single-threaded processes writing to each other cannot block each other.

// Each io_context is driven by the one thread that owns its context, and nothing is ever
// posted to it from another thread: Asio's cross-thread fences and locks buy nothing here.
#define ASIO_DISABLE_FENCED_BLOCK 1

#include <strings.h>

#include <array>
#include <asio/connect.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <cstring>

#include "kr/serialize.h"
#include "kr/trace.h"
#include "msg_internal.h"

namespace kr_internal {
namespace {

constexpr const char* kTag = "KRNET";
// A hello's object is small; anything larger is not a hello.
constexpr uint32_t kMaxHelloPayload = 4096;
// Connections still in their handshake, and data connections not yet taken up.
constexpr size_t kMaxHandshakes = 64;
// How long a connection may take to say who it is.
constexpr double kHandshakeLimitMs = 10000.0;
constexpr size_t kMaxParked = 64;
// Frames gathered into one write.
constexpr size_t kMaxGather = 64;
// How long a released sending channel may wait for its receiver to take the last blocks.
constexpr double kLingerLimitMs = 120000.0;
// Completion handlers run per turn of the loop.
constexpr int kMaxHandlersPerTurn = 256;

using asio::ip::tcp;

bool IdentityMatches(const PeerIdentity& want, const PeerIdentity& have) {
  return strcasecmp(want.machine.c_str(), have.machine.c_str()) == 0 &&
         want.process == have.process && (want.instance == 0 || want.instance == have.instance);
}

std::string EncodeHello(int purpose, const PeerIdentity& from, const PeerIdentity* target,
                        uint64_t channel, uint32_t buffer_size, int result, bool ack) {
  Ref<LinkHello> h = LinkHello::New();
  h->SetIntSlot<1>(purpose);
  h->SetObjSlot<2>(MakeAddress(from, 0, 0, 0));
  if (target != nullptr) h->SetObjSlot<3>(MakeAddress(*target, 0, 0, 0));
  ObjSetSlotInt64(h.get(), 4, static_cast<int64_t>(channel));
  h->SetIntSlot<5>(static_cast<int32_t>(buffer_size));
  h->SetIntSlot<6>(result);
  Frame f;
  f.kind = ack ? FrameKind::kHelloAck : FrameKind::kHello;
  f.type = kLinkProtocolVersion;
  f.object = h;
  std::string bytes;
  FrameEncode(&bytes, f);
  return bytes;
}

// Reads one hello or hello-ack frame with exact reads, so that nothing after it is consumed.
struct HelloReader {
  unsigned char header[kFrameHeaderSize];
  std::string payload;
  Frame frame;

  // After the header: the payload size to read next, or -1 when the header is not a hello.
  int64_t HeaderDone(FrameKind want) {
    uint32_t size = 0;
    if (!FrameHeaderDecode(header, &frame, &size) || frame.kind != want ||
        frame.type != kLinkProtocolVersion || size > kMaxHelloPayload)
      return -1;
    payload.assign(size, '\0');
    return size;
  }
  // After the payload: the hello object, or null.
  const LinkHello* PayloadDone() {
    uint32_t body = 0;
    if (!ObjBufferAnalyze(&body, payload.data(), payload.size()) ||
        uint64_t{body} + kObjHeaderSize != payload.size() ||
        !ObjReconstructFromMemory(&frame.object, payload.data() + kObjHeaderSize, body))
      return nullptr;
    return ObjCast<LinkHello>(frame.object.get());
  }
};

}  // namespace

class TransportImpl;

struct Link : std::enable_shared_from_this<Link> {
  Link(TransportImpl* t, uint64_t id, tcp::socket sock) : t(t), id(id), sock(std::move(sock)) {}

  TransportImpl* t;
  uint64_t id;
  tcp::socket sock;
  bool outgoing = false;
  bool connected = false;  // TCP is up: frames may be written
  bool up = false;         // the handshake is done: frames are read
  bool closed = false;
  Clock::time_point opened = Clock::now();
  PeerIdentity expect;
  HelloReader hello;
  FrameDecoder decoder;
  std::array<unsigned char, 64 * 1024> rbuf;
  std::deque<std::string> out;
  size_t writing = 0;
  std::vector<Frame> frames;
};

struct DataConn : std::enable_shared_from_this<DataConn> {
  DataConn(TransportImpl* t, tcp::socket sock);
  ~DataConn();

  TransportImpl* t;
  tcp::socket sock;
  std::shared_ptr<DataChanCore> core;  // null while parked
  HelloReader hello;
  std::string hello_bytes;
  uint64_t channel = 0;
  uint32_t buffer_size = 0;
  PeerIdentity peer;
  Clock::time_point parked_at;
  bool reading = false;
  bool writing = false;
  bool closing = false;
  Clock::time_point linger_until;  // a closing connection gives up its unsent blocks then
  bool closed = false;
  unsigned char* block = nullptr;  // the block being read
  size_t have = 0;                 // bytes of it read (header, then data)
  size_t want = 0;                 // bytes it will have: the header, then header and data
  unsigned char* next = nullptr;   // a free block whose header may be read along
  std::vector<asio::const_buffer> gather;
};

class TransportImpl {
 public:
  TransportImpl(const PeerIdentity* self, std::deque<NetEvent>* inbox)
      : guard(asio::make_work_guard(io)), acceptor(io), self(self), inbox(inbox) {}
  ~TransportImpl();

  asio::io_context io{ASIO_CONCURRENCY_HINT_UNSAFE};
  asio::executor_work_guard<asio::io_context::executor_type> guard;
  tcp::acceptor acceptor;
  const PeerIdentity* self;
  std::deque<NetEvent>* inbox;
  bool shutting_down = false;
  std::map<uint64_t, std::shared_ptr<Link>> links;
  uint64_t next_link = 1;
  size_t handshakes = 0;
  std::map<uint64_t, std::shared_ptr<DataConn>> parked;
  std::set<DataConn*> data_live;

  void Accept();
  void StartIncoming(tcp::socket sock);
  void IncomingHello(const std::shared_ptr<Link>& l, const LinkHello* h);
  void OutgoingHandshake(const std::shared_ptr<Link>& l);
  void ReadFrames(const std::shared_ptr<Link>& l);
  void WriteNext(const std::shared_ptr<Link>& l);
  void Fail(const std::shared_ptr<Link>& l, const char* why);

  void DataFail(const std::shared_ptr<DataConn>& c, const char* why);
  void DataRead(const std::shared_ptr<DataConn>& c);
  void DataWrite(const std::shared_ptr<DataConn>& c);
  void DataShut(const std::shared_ptr<DataConn>& c);
  void ExpireParked();
  // Drops what has outlived its deadline: handshakes, parked and lingering data connections.
  void Sweep();
  // True when something has a deadline for Sweep to watch.
  bool HasDeadlines() const {
    if (handshakes > 0 || !parked.empty()) return true;
    for (DataConn* c : data_live)
      if (c->closing) return true;
    return false;
  }
  Clock::time_point next_sweep = Clock::now();

  bool Resolve(const Endpoint& ep, tcp::endpoint* out);
};

DataConn::DataConn(TransportImpl* t, tcp::socket sock) : t(t), sock(std::move(sock)) {
  t->data_live.insert(this);
}
DataConn::~DataConn() { t->data_live.erase(this); }

// ---------------------------------------------------------------------------------------------
// Links.

void SetNoDelay(tcp::socket& sock) {
  asio::error_code ec;
  sock.set_option(tcp::no_delay(true), ec);
}

bool TransportImpl::Resolve(const Endpoint& ep, tcp::endpoint* out) {
  asio::error_code ec;
  asio::ip::address a = asio::ip::make_address(ep.host, ec);
  if (!ec) {
    *out = tcp::endpoint(a, ep.port);
    return true;
  }
  tcp::resolver resolver(io);
  auto results = resolver.resolve(ep.host, std::to_string(ep.port), ec);
  if (ec || results.empty()) {
    TraceMessage(kTag, 1, 0, -1, "Cannot resolve host '%s': %s", ep.host.c_str(),
                 ec.message().c_str());
    return false;
  }
  *out = results.begin()->endpoint();
  return true;
}

void TransportImpl::Fail(const std::shared_ptr<Link>& l, const char* why) {
  if (l->closed) return;
  l->closed = true;
  asio::error_code ec;
  l->sock.close(ec);
  links.erase(l->id);
  if (!l->outgoing && !l->up) {
    --handshakes;
    TraceMessage(kTag, 2, 0, 2, "Refused a connection: %s", why);
    return;
  }
  TraceMessage(kTag, 3, 0, 3, "Link %llu closed: %s", static_cast<unsigned long long>(l->id), why);
  NetEvent ev;
  ev.kind = NetEvent::kLinkDown;
  ev.link = l->id;
  inbox->push_back(std::move(ev));
}

void TransportImpl::Accept() {
  acceptor.async_accept([this](const asio::error_code& ec, tcp::socket sock) {
    if (shutting_down || ec == asio::error::operation_aborted) return;
    if (!ec) StartIncoming(std::move(sock));
    Accept();
  });
}

void TransportImpl::StartIncoming(tcp::socket sock) {
  Sweep();
  if (handshakes >= kMaxHandshakes) {
    TraceMessage(kTag, 4, 0, -1, "Too many connections in their handshake; refusing one");
    return;  // the socket closes as it goes out of scope
  }
  ++handshakes;
  SetNoDelay(sock);
  auto l = std::make_shared<Link>(this, next_link++, std::move(sock));
  l->connected = true;
  links[l->id] = l;
  asio::async_read(l->sock, asio::buffer(l->hello.header),
                   [this, l](const asio::error_code& ec, size_t) {
                     if (shutting_down || l->closed) return;
                     if (ec) return Fail(l, "no hello");
                     int64_t n = l->hello.HeaderDone(FrameKind::kHello);
                     if (n < 0) return Fail(l, "bad hello header");
                     asio::async_read(l->sock, asio::buffer(l->hello.payload),
                                      [this, l](const asio::error_code& ec2, size_t) {
                                        if (shutting_down || l->closed) return;
                                        if (ec2) return Fail(l, "short hello");
                                        const LinkHello* h = l->hello.PayloadDone();
                                        if (h == nullptr) return Fail(l, "bad hello");
                                        IncomingHello(l, h);
                                      });
                   });
}

void TransportImpl::IncomingHello(const std::shared_ptr<Link>& l, const LinkHello* h) {
  PeerIdentity from, target;
  if (!AddressIdentity(h->ObjSlot<2>(), &from) || from.instance == 0 ||
      !AddressIdentity(h->ObjSlot<3>(), &target))
    return Fail(l, "hello without identities");
  if (!IdentityMatches(target, *self)) {
    // A stale endpoint: the port now belongs to another process (or instance). Say so, close.
    std::string nack = EncodeHello(h->IntSlot<1>(), *self, nullptr, 0, 0, 0, true);
    asio::error_code ec;
    asio::write(l->sock, asio::buffer(nack), ec);
    return Fail(l, "hello for another process");
  }
  int purpose = h->IntSlot<1>();
  if (purpose == kHelloPurposeLink) {
    --handshakes;
    l->up = true;
    l->expect = from;
    l->out.push_front(EncodeHello(purpose, *self, nullptr, 0, 0, 1, true));
    NetEvent ev;
    ev.kind = NetEvent::kLinkUp;
    ev.link = l->id;
    ev.peer = from;
    inbox->push_back(std::move(ev));
    WriteNext(l);
    ReadFrames(l);
    return;
  }
  uint64_t channel = static_cast<uint64_t>(ObjGetSlotInt64(h, 4));
  int32_t size = h->IntSlot<5>();
  if (purpose != kHelloPurposeData || channel == 0 || size <= 0 ||
      static_cast<uint32_t>(size) > kDataMaxBufferSize)
    return Fail(l, "bad data-channel hello");
  ExpireParked();
  if (parked.size() >= kMaxParked || parked.count(channel) != 0)
    return Fail(l, "too many data channels waiting to be accepted");
  // The socket leaves the link for a data connection, parked until the application takes it.
  --handshakes;
  l->closed = true;
  links.erase(l->id);
  auto c = std::make_shared<DataConn>(this, std::move(l->sock));
  c->channel = channel;
  c->buffer_size = static_cast<uint32_t>(size);
  c->peer = from;
  c->parked_at = Clock::now();
  c->hello_bytes = EncodeHello(purpose, *self, nullptr, channel, c->buffer_size, 1, true);
  parked[channel] = c;
  asio::async_write(c->sock, asio::buffer(c->hello_bytes),
                    [this, c](const asio::error_code& ec, size_t) {
                      if (shutting_down || c->closed) return;
                      if (ec) DataFail(c, "cannot acknowledge");
                    });
}

void TransportImpl::OutgoingHandshake(const std::shared_ptr<Link>& l) {
  asio::async_read(
      l->sock, asio::buffer(l->hello.header), [this, l](const asio::error_code& ec, size_t) {
        if (shutting_down || l->closed) return;
        if (ec) return Fail(l, "no answer to hello");
        int64_t n = l->hello.HeaderDone(FrameKind::kHelloAck);
        if (n < 0) return Fail(l, "bad hello answer");
        asio::async_read(
            l->sock, asio::buffer(l->hello.payload),
            [this, l](const asio::error_code& ec2, size_t) {
              if (shutting_down || l->closed) return;
              if (ec2) return Fail(l, "short hello answer");
              const LinkHello* h = l->hello.PayloadDone();
              PeerIdentity peer;
              if (h == nullptr || !AddressIdentity(h->ObjSlot<2>(), &peer) || peer.instance == 0)
                return Fail(l, "bad hello answer");
              if (h->IntSlot<6>() != 1 || !IdentityMatches(l->expect, peer))
                return Fail(l, "refused: stale endpoint");
              l->up = true;
              NetEvent ev;
              ev.kind = NetEvent::kLinkUp;
              ev.link = l->id;
              ev.peer = peer;
              inbox->push_back(std::move(ev));
              ReadFrames(l);
            });
      });
}

void TransportImpl::ReadFrames(const std::shared_ptr<Link>& l) {
  l->sock.async_read_some(asio::buffer(l->rbuf), [this, l](const asio::error_code& ec, size_t n) {
    if (shutting_down || l->closed) return;
    if (ec) return Fail(l, ec == asio::error::eof ? "closed by peer" : "read failed");
    l->frames.clear();
    bool ok = l->decoder.Feed(l->rbuf.data(), n, &l->frames);
    for (Frame& f : l->frames) {
      if (f.kind == FrameKind::kHello || f.kind == FrameKind::kHelloAck) {
        ok = false;
        break;
      }
      NetEvent ev;
      ev.kind = NetEvent::kFrame;
      ev.link = l->id;
      ev.frame = std::move(f);
      inbox->push_back(std::move(ev));
    }
    l->frames.clear();
    if (!ok) {
      TraceMessage(kTag, 5, 0, -1, "Dropping link %llu: %s", static_cast<unsigned long long>(l->id),
                   l->decoder.failed() ? l->decoder.error() : "unexpected hello");
      return Fail(l, "garbage from peer");
    }
    ReadFrames(l);
  });
}

void TransportImpl::WriteNext(const std::shared_ptr<Link>& l) {
  if (l->writing != 0 || l->out.empty() || l->closed || !l->connected) return;
  std::vector<asio::const_buffer> gather;
  size_t n = std::min(l->out.size(), kMaxGather);
  gather.reserve(n);
  for (size_t i = 0; i < n; ++i) gather.push_back(asio::buffer(l->out[i]));
  l->writing = n;
  asio::async_write(l->sock, gather, [this, l](const asio::error_code& ec, size_t) {
    if (shutting_down || l->closed) return;
    if (ec) return Fail(l, "write failed");
    for (size_t i = 0; i < l->writing; ++i) l->out.pop_front();
    l->writing = 0;
    WriteNext(l);
  });
}

TransportImpl::~TransportImpl() {
  shutting_down = true;
  asio::error_code ec;
  acceptor.close(ec);
  for (auto& [id, l] : links) l->sock.close(ec);
  links.clear();
  parked.clear();
  std::vector<std::shared_ptr<DataConn>> live;
  for (DataConn* c : data_live) live.push_back(c->shared_from_this());
  for (auto& c : live) {
    c->sock.close(ec);
    if (c->core) c->core->conn.reset();
    c->core.reset();
  }
  live.clear();
  // Let the aborted operations finish, so that no handler outlives the transport.
  try {
    io.restart();
    io.poll();
  } catch (...) {
  }
  guard.reset();
}

// ---------------------------------------------------------------------------------------------
// Data connections.

void TransportImpl::DataFail(const std::shared_ptr<DataConn>& c, const char* why) {
  if (c->closed) return;
  c->closed = true;
  asio::error_code ec;
  c->sock.close(ec);
  parked.erase(c->channel);
  if (c->core) {
    if (c->core->state != DataState::kClosed) {
      c->core->state = DataState::kFailed;
      c->core->error = why;
    }
    c->core->conn.reset();
  }
  c->core.reset();
  TraceMessage(kTag, 6, 0, 3, "Data channel %llx closed: %s",
               static_cast<unsigned long long>(c->channel), why);
}

void TransportImpl::ExpireParked() {
  Clock::time_point limit = Clock::now() - MsgScaled(120000.0);
  for (auto it = parked.begin(); it != parked.end();) {
    auto c = it->second;
    ++it;
    if (c->parked_at < limit) DataFail(c, "never taken up");
  }
}

void TransportImpl::Sweep() {
  Clock::time_point now = Clock::now();
  if (now < next_sweep) return;
  next_sweep = now + std::chrono::milliseconds(250);
  Clock::time_point limit = now - MsgScaled(kHandshakeLimitMs);
  std::vector<std::shared_ptr<Link>> stale;
  for (auto& [id, l] : links)
    if (!l->outgoing && !l->up && l->opened < limit) stale.push_back(l);
  for (auto& l : stale) Fail(l, "no hello in time");
  ExpireParked();
  std::vector<std::shared_ptr<DataConn>> lingering;
  for (DataConn* c : data_live)
    if (c->closing && !c->closed && c->linger_until < now)
      lingering.push_back(c->shared_from_this());
  for (auto& c : lingering) DataFail(c, "receiver stopped reading; unsent blocks dropped");
}

void TransportImpl::DataShut(const std::shared_ptr<DataConn>& c) {
  asio::error_code ec;
  c->sock.shutdown(tcp::socket::shutdown_send, ec);
  DataFail(c, "released");
}

void TransportImpl::DataWrite(const std::shared_ptr<DataConn>& c) {
  DataChanCore* core = c->core.get();
  if (c->writing || c->closed || core == nullptr || core->state != DataState::kOpen) return;
  if (core->send_queue.empty()) {
    if (c->closing) DataShut(c);
    return;
  }
  size_t n = std::min<size_t>(core->send_queue.size(), kMaxGather);
  c->gather.clear();
  for (size_t i = 0; i < n; ++i) {
    unsigned char* h = core->send_queue[i];
    uint32_t used = DataChanCore::Prefix(h)->used;
    DataHeaderFill(h, used, core->send_sequence++);
    c->gather.push_back(asio::buffer(h, kDataHeaderSize + used));
  }
  core->writing = n;
  c->writing = true;
  asio::async_write(c->sock, c->gather, [this, c](const asio::error_code& ec, size_t) {
    if (shutting_down || c->closed) return;
    c->writing = false;
    DataChanCore* core = c->core.get();
    if (ec) return DataFail(c, "write failed");
    for (size_t i = 0; i < core->writing; ++i) {
      core->free_blocks.push_back(core->send_queue.front());
      core->send_queue.pop_front();
    }
    core->writing = 0;
    DataWrite(c);
  });
}

// Reads blocks into free blocks. Once a block's header is known, its data and the next block's
// header are read together (one scatter read), so a stream of blocks costs about one read per
// block rather than two.
void TransportImpl::DataRead(const std::shared_ptr<DataConn>& c) {
  DataChanCore* core = c->core.get();
  if (c->reading || c->closed || core == nullptr || core->state != DataState::kOpen) return;
  if (c->block == nullptr) {
    c->block = core->TakeFree();
    if (c->block == nullptr) return;  // every block is queued or in the application's hands
    c->have = 0;
    c->want = kDataHeaderSize;
  }
  std::array<asio::mutable_buffer, 2> buffers = {
      asio::buffer(c->block + c->have, c->want - c->have), asio::mutable_buffer()};
  if (c->want > kDataHeaderSize) {
    if (c->next == nullptr) c->next = core->TakeFree();
    if (c->next != nullptr) buffers[1] = asio::buffer(c->next, kDataHeaderSize);
  }
  c->reading = true;
  c->sock.async_read_some(buffers, [this, c](const asio::error_code& ec, size_t n) {
    if (shutting_down || c->closed) return;
    c->reading = false;
    DataChanCore* core = c->core.get();
    if (ec) {
      if (ec == asio::error::eof && c->have == 0) {
        core->state = DataState::kClosed;
        return DataFail(c, "closed by peer");
      }
      return DataFail(c, c->have == 0 ? "read failed" : "block cut short");
    }
    size_t first = std::min(n, c->want - c->have);
    c->have += first;
    size_t extra = n - first;  // bytes of the next block's header
    for (;;) {
      if (c->want == kDataHeaderSize && c->have == kDataHeaderSize) {
        uint32_t used = 0;
        if (!DataHeaderCheck(c->block, core->buffer_size, core->recv_sequence, &used)) {
          TraceMessage(kTag, 7, 0, -1, "Dropping data channel %llx: bad block header",
                       static_cast<unsigned long long>(c->channel));
          return DataFail(c, "bad block header");
        }
        c->want = kDataHeaderSize + used;
      }
      core->reading_block = c->have > 0;
      if (c->have < c->want) break;
      DataChanCore::Prefix(c->block)->used = static_cast<uint32_t>(c->want - kDataHeaderSize);
      ++core->recv_sequence;
      core->recv_queue.push_back(c->block);
      core->reading_block = false;
      // The next block starts with whatever of its header came along.
      c->block = c->next;
      c->next = nullptr;
      c->have = extra;
      c->want = kDataHeaderSize;
      extra = 0;
      if (c->block == nullptr) break;
    }
    DataRead(c);
  });
}

// ---------------------------------------------------------------------------------------------
// The Transport facade.

Transport::Transport(const PeerIdentity* self, std::deque<NetEvent>* inbox)
    : impl_(std::make_unique<TransportImpl>(self, inbox)) {}

Transport::~Transport() = default;

bool Transport::Listen(const std::string& host, uint16_t port, uint16_t* bound) noexcept {
  TransportImpl* t = impl_.get();
  asio::error_code ec;
  asio::ip::address a = asio::ip::make_address(host, ec);
  if (ec) return false;
  tcp::endpoint ep(a, port);
  t->acceptor.open(ep.protocol(), ec);
  if (!ec) t->acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) t->acceptor.bind(ep, ec);
  if (!ec) t->acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    asio::error_code ignored;
    t->acceptor.close(ignored);
    TraceMessage(kTag, 8, 0, -1, "Cannot listen on %s:%u: %s", host.c_str(), unsigned{port},
                 ec.message().c_str());
    return false;
  }
  *bound = t->acceptor.local_endpoint(ec).port();
  t->Accept();
  return !ec;
}

uint64_t Transport::Connect(const Endpoint& endpoint, const PeerIdentity& expect) noexcept {
  TransportImpl* t = impl_.get();
  tcp::endpoint ep;
  if (!t->Resolve(endpoint, &ep)) return 0;
  auto l = std::make_shared<Link>(t, t->next_link++, tcp::socket(t->io));
  l->outgoing = true;
  l->expect = expect;
  l->expect.instance = endpoint.instance;
  t->links[l->id] = l;
  // The hello goes first; frames queued meanwhile follow it at once, since the peer reads
  // nothing else before it has checked the hello.
  l->out.push_back(EncodeHello(kHelloPurposeLink, *t->self, &l->expect, 0, 0, 0, false));
  l->sock.async_connect(ep, [t, l](const asio::error_code& ec) {
    if (t->shutting_down || l->closed) return;
    if (ec) return t->Fail(l, "cannot connect");
    SetNoDelay(l->sock);
    l->connected = true;
    t->WriteNext(l);
    t->OutgoingHandshake(l);
  });
  return l->id;
}

bool Transport::Send(uint64_t link, std::string bytes) noexcept {
  TransportImpl* t = impl_.get();
  auto it = t->links.find(link);
  if (it == t->links.end() || it->second->closed) return false;
  it->second->out.push_back(std::move(bytes));
  t->WriteNext(it->second);
  return true;
}

void Transport::CloseLink(uint64_t link) noexcept {
  TransportImpl* t = impl_.get();
  auto it = t->links.find(link);
  if (it != t->links.end()) t->Fail(it->second, "closed");
}

void Transport::Run(Clock::time_point deadline) noexcept {
  TransportImpl* t = impl_.get();
  try {
    t->Sweep();
    if (t->io.stopped()) t->io.restart();
    Clock::time_point now = Clock::now();
    if (deadline > now) {
      // Wake at least hourly; an unlimited wait simply goes round again.
      Clock::duration d = std::min<Clock::duration>(deadline - now, std::chrono::hours(1));
      if (t->HasDeadlines())
        d = std::min<Clock::duration>(
            d, std::max<Clock::duration>(t->next_sweep - now, std::chrono::milliseconds(1)));
      t->io.run_one_for(d);
    }
    // A bounded number of handlers per turn: a peer that floods the link cannot keep the loop
    // reading forever; the wait loop dispatches between turns.
    for (int i = 0; i < kMaxHandlersPerTurn && t->io.poll_one() != 0; ++i) {
    }
  } catch (const std::exception& e) {
    TraceMessage(kTag, 9, 0, -1, "Event loop error: %s", e.what());
  } catch (...) {
    TraceMessage(kTag, 10, 0, -1, "Event loop error");
  }
}

void Transport::DataConnect(const std::shared_ptr<DataChanCore>& core) noexcept {
  TransportImpl* t = impl_.get();
  tcp::endpoint ep;
  if (!t->Resolve(core->endpoint, &ep)) {
    core->state = DataState::kFailed;
    core->error = "cannot resolve";
    return;
  }
  auto c = std::make_shared<DataConn>(t, tcp::socket(t->io));
  c->core = core;
  c->channel = core->id;
  c->buffer_size = core->buffer_size;
  c->peer = core->peer;
  core->conn = c;
  core->state = DataState::kConnecting;
  PeerIdentity target = core->peer;
  target.instance = core->endpoint.instance;
  c->hello_bytes =
      EncodeHello(kHelloPurposeData, *t->self, &target, core->id, core->buffer_size, 0, false);
  c->sock.async_connect(ep, [t, c](const asio::error_code& ec) {
    if (t->shutting_down || c->closed) return;
    if (ec) return t->DataFail(c, "cannot connect");
    SetNoDelay(c->sock);
    asio::async_write(
        c->sock, asio::buffer(c->hello_bytes), [t, c](const asio::error_code& ec2, size_t) {
          if (t->shutting_down || c->closed) return;
          if (ec2) return t->DataFail(c, "cannot send hello");
          asio::async_read(
              c->sock, asio::buffer(c->hello.header), [t, c](const asio::error_code& ec3, size_t) {
                if (t->shutting_down || c->closed) return;
                if (ec3 || c->hello.HeaderDone(FrameKind::kHelloAck) < 0)
                  return t->DataFail(c, "refused");
                asio::async_read(c->sock, asio::buffer(c->hello.payload),
                                 [t, c](const asio::error_code& ec4, size_t) {
                                   if (t->shutting_down || c->closed) return;
                                   const LinkHello* h = ec4 ? nullptr : c->hello.PayloadDone();
                                   PeerIdentity peer;
                                   if (h == nullptr || h->IntSlot<6>() != 1 ||
                                       !AddressIdentity(h->ObjSlot<2>(), &peer) ||
                                       !IdentityMatches(c->peer, peer))
                                     return t->DataFail(c, "refused");
                                   c->core->peer = peer;
                                   c->core->state = DataState::kOpen;
                                   t->DataWrite(c);
                                 });
              });
        });
  });
}

bool Transport::DataAdopt(const std::shared_ptr<DataChanCore>& core,
                          uint64_t peer_instance) noexcept {
  TransportImpl* t = impl_.get();
  auto it = t->parked.find(core->id);
  if (it == t->parked.end() || it->second->closed || it->second->peer.instance != peer_instance)
    return false;
  auto c = it->second;
  t->parked.erase(it);
  c->core = core;
  core->conn = c;
  core->buffer_size = c->buffer_size;
  core->peer = c->peer;
  core->state = DataState::kOpen;
  return true;
}

void Transport::DataKickWrite(const std::shared_ptr<DataChanCore>& core) noexcept {
  if (core->conn) impl_->DataWrite(core->conn);
}

void Transport::DataKickRead(const std::shared_ptr<DataChanCore>& core) noexcept {
  if (core->conn) impl_->DataRead(core->conn);
}

void Transport::DataClose(const std::shared_ptr<DataChanCore>& core, bool abort) noexcept {
  std::shared_ptr<DataConn> c = core->conn;
  if (!c) return;
  TransportImpl* t = impl_.get();
  if (abort || !core->sender || core->state != DataState::kOpen ||
      (core->send_queue.empty() && !c->writing)) {
    if (core->sender && core->state == DataState::kOpen)
      t->DataShut(c);
    else
      t->DataFail(c, "released");
    return;
  }
  // Queued blocks still go out; the connection closes after the last one, or gives up once a
  // receiver that stopped reading has held them for the linger limit.
  c->closing = true;
  c->linger_until = Clock::now() + MsgScaled(kLingerLimitMs);
  t->DataWrite(c);
}

}  // namespace kr_internal
