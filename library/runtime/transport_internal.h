// The transport: one Asio io_context per context, its listener, its links and its data
// connections, plain TCP or mutual TLS 1.3. This header holds what its sources (transporttls.cc,
// transportlinks.cc, transportdata.cc) share; only they include Asio or OpenSSL, through it.
//
// Completion handlers here never call into the application: they decode frames and queue
// NetEvents, or move data-channel blocks between queues. The wait loop (messagewait.cc) runs the
// io_context and does everything else outside it. Writes are asynchronous only, so two
// single-threaded processes writing to each other cannot block each other.
//
// Who may connect: with TLS, a peer whose certificate (signed by the domain's authority) names
// the machine its hello claims; without TLS, only a peer on this host claiming one of this
// host's machines. Host names are looked up with glibc's asynchronous resolver, so a slow name
// server never stalls the loop.
#pragma once

// Each io_context is driven by the one thread that owns its context, and nothing is ever
// posted to it from another thread: Asio's cross-thread fences and locks buy nothing here. Set
// before the first Asio header, so that every source of the transport is built alike.
#define ASIO_DISABLE_FENCED_BLOCK 1

#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <strings.h>
#include <sys/stat.h>

#include <array>
#include <asio/connect.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/ssl.hpp>
#include <asio/write.hpp>
#include <cerrno>
#include <cstring>

#include "kr/serialize.h"
#include "kr/trace.h"
#include "msg_internal.h"
#include "transportstream.h"

namespace kr_internal {

constexpr const char* kTag = "KRNET";
// Connections still in their handshake, and data connections not yet taken up.
constexpr size_t kMaxHandshakes = 64;
// How long a connection may take to say who it is (TLS handshake and hello), both ways; and
// how long a host-name look-up may take.
constexpr double kHandshakeLimitMs = 10000.0;
constexpr size_t kMaxParked = 64;
// Frames gathered into one write.
constexpr size_t kMaxGather = 64;
// How long a released sending channel may wait for its receiver to take the last blocks.
constexpr double kLingerLimitMs = 120000.0;
// Completion handlers run per turn of the loop.
constexpr int kMaxHandlersPerTurn = 256;
// How often a pending host-name look-up is checked.
constexpr auto kLookupPoll = std::chrono::milliseconds(5);

bool IdentityMatches(const PeerIdentity& want, const PeerIdentity& have);
bool IsLoopback(const asio::ip::address& a);
// "address:port", for traces.
std::string EndpointText(const tcp::endpoint& ep);
void SetNoDelay(tcp::socket& sock);

// The names a certificate gives, for traces: its common name, else its first DNS name.
std::string CertificateName(X509* cert);
// Whether the peer's certificate (already verified against the authority) names `machine`.
bool PeerCertificateNames(TlsStream* tls, const std::string& machine, std::string* names);
// Why a TLS handshake failed, in the words a reader of the trace needs.
std::string TlsFailure(TlsStream* tls, const asio::error_code& ec);
// The oldest error OpenSSL holds, as text; clears its queue.
std::string OpenSslError();

// A host-name look-up in glibc's asynchronous resolver. Its helper thread is glibc's own and
// touches nothing of ours but this request, which it owns until gai_error says it is done.
struct Lookup {
  std::string host, service;
  addrinfo hints{};
  gaicb req{};
  Clock::time_point deadline;
  std::function<void(bool ok, const tcp::endpoint& ep)> done;
};

class TransportImpl;

struct Link : std::enable_shared_from_this<Link> {
  Link(TransportImpl* transport, uint64_t link_id, tcp::socket sock)
      : t(transport), id(link_id), s(std::make_unique<Stream>(std::move(sock))) {}

  TransportImpl* t;
  uint64_t id;
  std::unique_ptr<Stream> s;
  std::string remote;  // the peer's address, for traces
  bool outgoing = false;
  bool connected = false;  // TCP (and TLS) is up: frames may be written
  bool up = false;         // the handshake is done: frames are read
  bool closed = false;
  // When its handshake started: at accept, or when an outgoing link starts to connect (its
  // look-up has a deadline of its own). Until then, the end of time.
  Clock::time_point opened = Clock::now();
  PeerIdentity expect;
  unsigned char hello_header[kFrameHeaderSize];
  std::string hello_payload;
  std::string nack;
  FrameDecoder decoder;
  std::array<unsigned char, 64 * 1024> rbuf;
  std::deque<std::string> out;
  size_t writing = 0;
  std::vector<Frame> frames;
};

struct DataConn : std::enable_shared_from_this<DataConn> {
  DataConn(TransportImpl* transport, std::unique_ptr<Stream> stream);
  ~DataConn();

  TransportImpl* t;
  std::unique_ptr<Stream> s;
  std::shared_ptr<DataChanCore> core;  // null while parked
  unsigned char hello_header[kFrameHeaderSize];
  std::string hello_payload;
  std::string hello_bytes;
  std::string remote;
  uint64_t channel = 0;
  uint32_t buffer_size = 0;
  PeerIdentity peer;
  Clock::time_point parked_at;
  bool reading = false;
  bool writing = false;
  bool closing = false;
  bool shutting = false;           // a TLS close notice is on its way
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
  TransportImpl(const PeerIdentity* own, std::deque<NetEvent>* events)
      : guard(asio::make_work_guard(io)), acceptor(io), self(own), inbox(events) {}
  ~TransportImpl();

  asio::io_context io{ASIO_CONCURRENCY_HINT_UNSAFE};
  asio::executor_work_guard<asio::io_context::executor_type> guard;
  std::unique_ptr<asio::ssl::context> tls;  // null: plain links
  std::string disabled;                     // why no connection is allowed at all, or empty
  std::function<bool(const std::string&)> local_machine;
  tcp::acceptor acceptor;
  asio::ip::address bind_address;
  bool bind_outgoing = false;
  uint16_t listen_port = 0;  // told to peers in link hellos
  const PeerIdentity* self;
  std::deque<NetEvent>* inbox;
  bool shutting_down = false;
  std::map<uint64_t, std::shared_ptr<Link>> links;
  uint64_t next_link = 1;
  size_t handshakes = 0;
  std::map<uint64_t, std::shared_ptr<DataConn>> parked;
  std::set<DataConn*> data_live;
  std::vector<std::unique_ptr<Lookup>> lookups;
  std::vector<std::unique_ptr<Lookup>> abandoned;  // timed out, still owned by the resolver

  void Accept();
  void StartIncoming(tcp::socket sock);
  void StartTlsServer(const std::shared_ptr<Link>& l);
  void ReadHello(const std::shared_ptr<Link>& l);
  // Reads a hello (or, `ack`, the answer to one): its header, then its payload. `done` gets
  // how far it came and, at kRead, the hello; it is not called once `alive()` is false.
  enum HelloStep { kNoHeader, kBadHeader, kCut, kUndecodable, kRead };
  template <class Alive, class Done>
  void ReadHelloFrom(Stream* s, unsigned char* header, std::string* payload, bool ack, Alive alive,
                     Done done);
  // The handshake of `l` is done: frames may be read, and the wait loop hears of it.
  void LinkUp(const std::shared_ptr<Link>& l, const Hello& h);
  bool ClaimAllowed(const std::shared_ptr<Link>& l, const std::string& machine, std::string* why);
  void IncomingHello(const std::shared_ptr<Link>& l, const Hello& h);
  void ConnectLink(const std::shared_ptr<Link>& l, const tcp::endpoint& ep);
  void OutgoingHandshake(const std::shared_ptr<Link>& l);
  void ReadFrames(const std::shared_ptr<Link>& l);
  void WriteNext(const std::shared_ptr<Link>& l);
  void Fail(const std::shared_ptr<Link>& l, const char* why);
  void Refuse(const std::shared_ptr<Link>& l, const std::string& why);

  void DataConnectTo(const std::shared_ptr<DataConn>& c, const tcp::endpoint& ep);
  void DataHello(const std::shared_ptr<DataConn>& c);
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
    for (const auto& [id, l] : links)
      if (!l->up) return true;
    for (DataConn* c : data_live)
      if (c->closing) return true;
    return false;
  }
  Clock::time_point next_sweep = Clock::now();

  // Finds the address of an endpoint: at once for an address, else through a look-up; `done`
  // is always called later, from the loop, never from inside this call.
  void Resolve(const Endpoint& ep, std::function<void(bool, const tcp::endpoint&)> done);
  void PollLookups();
  // Without TLS, links reach only this host. True when `ep` may be connected to.
  bool MayConnect(const tcp::endpoint& ep, const std::string& what);
  void OpenSocket(tcp::socket& sock, const tcp::endpoint& ep);
};

template <class Alive, class Done>
void TransportImpl::ReadHelloFrom(Stream* s, unsigned char* header, std::string* payload, bool ack,
                                  Alive alive, Done done) {
  s->Read(asio::buffer(header, kFrameHeaderSize), [=](const asio::error_code& ec, size_t) {
    if (!alive()) return;
    if (ec) return done(kNoHeader, ec, Hello());
    int64_t n = HelloHeaderCheck(header, ack);
    if (n < 0) return done(kBadHeader, ec, Hello());
    payload->assign(static_cast<size_t>(n), '\0');
    s->Read(asio::buffer(*payload), [=](const asio::error_code& ec2, size_t) {
      if (!alive()) return;
      Hello h;
      if (ec2) return done(kCut, ec2, h);
      if (!HelloDecode(*payload, ack, &h)) return done(kUndecodable, ec2, h);
      done(kRead, ec2, h);
    });
  });
}

}  // namespace kr_internal
