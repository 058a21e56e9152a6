// The transport: one Asio io_context per context, its listener, its links and its data
// connections, plain TCP or mutual TLS 1.3. The only source that includes Asio or OpenSSL.
//
// Completion handlers here never call into the application: they decode frames and queue
// NetEvents, or move data-channel blocks between queues. The wait loop (message.cc) runs the
// io_context and does everything else outside it. Writes are asynchronous only, so two
// single-threaded processes writing to each other cannot block each other.
//
// Who may connect: with TLS, a peer whose certificate (signed by the domain's authority) names
// the machine its hello claims; without TLS, only a peer on this host claiming one of this
// host's machines. Host names are looked up with glibc's asynchronous resolver, so a slow name
// server never stalls the loop.

// Each io_context is driven by the one thread that owns its context, and nothing is ever
// posted to it from another thread: Asio's cross-thread fences and locks buy nothing here.
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

namespace kr_internal {
namespace {

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

// ThreadSanitizer cannot follow the helper thread glibc's asynchronous resolver starts (that
// thread bypasses its interceptors and crashes it), so builds made with it look names up
// synchronously. Those are test builds, whose names are all local.
#if defined(__SANITIZE_THREAD__)
#define KR_SYNC_LOOKUP 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KR_SYNC_LOOKUP 1
#endif
#endif

using asio::ip::tcp;
using TlsStream = asio::ssl::stream<tcp::socket>;

bool IdentityMatches(const PeerIdentity& want, const PeerIdentity& have) {
  return strcasecmp(want.machine.c_str(), have.machine.c_str()) == 0 &&
         want.process == have.process && (want.instance == 0 || want.instance == have.instance);
}

bool IsLoopback(const asio::ip::address& a) {
  if (a.is_loopback()) return true;
  return a.is_v6() && a.to_v6().is_v4_mapped() &&
         asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6()).is_loopback();
}

std::string EndpointText(const tcp::endpoint& ep) {
  asio::error_code ec;
  std::string a = ep.address().to_string(ec);
  return (ec ? std::string("?") : a) + ":" + std::to_string(ep.port());
}

// A TCP connection, plain or TLS. Kept behind a pointer so that a connection can pass from a
// link to a data connection with its TLS state (and any bytes it has already decrypted).
//
// A data connection moves its own TLS records once its hellos are done (TakeOverRecords): the
// TLS stream hands the socket at most one 16 KiB record per read and per write, each a trip
// through the event loop, which made a busy data channel a fraction of plain TCP. Instead
// OpenSSL reads the socket itself, as much as a large record buffer holds at a time, and
// decrypts there; what it encrypts goes straight into an outgoing buffer, sent a staging
// buffer's worth at a time. No memory BIO in between: each of those cost a copy and a clear
// of every byte.
class Stream {
 public:
  explicit Stream(tcp::socket sock) : plain_(std::move(sock)) {}
  tcp::socket& socket() { return tls_ ? tls_->next_layer() : plain_; }
  TlsStream* tls() { return tls_.get(); }
  void StartTls(asio::ssl::context& ctx) {
    tls_ = std::make_unique<TlsStream>(std::move(plain_), ctx);
    // Asio asks OpenSSL to free its record buffers whenever they empty; on a busy data channel
    // that is an allocation and a free per record. Keep them.
    SSL_clear_mode(tls_->native_handle(), SSL_MODE_RELEASE_BUFFERS);
  }
  // From now on this stream's TLS records go through memory buffers of its own. Only at a
  // point where no read or write is in progress. Bytes the TLS stream already took from the
  // socket but did not decrypt yet come along; ones it decrypted stay in the TLS state.
  void TakeOverRecords() {
    if (!tls_ || records_) return;
    const BIO_METHOD* method = RecordsMethod();
    asio::error_code ec;
    socket().non_blocking(true, ec);
    BIO* bio = method != nullptr && !ec ? BIO_new(method) : nullptr;
    if (bio == nullptr) return;  // keep the TLS stream's own way
    SSL* ssl = tls_->native_handle();
    auto records = std::make_unique<Records>();
    records->fd = socket().native_handle();
    unsigned char chunk[4096];
    int n;
    while ((n = BIO_read(SSL_get_rbio(ssl), chunk, sizeof chunk)) > 0)
      records->left.insert(records->left.end(), chunk, chunk + n);
    BIO_set_data(bio, records.get());
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl, bio, bio);
    // Writes to memory always complete: one call makes all of a buffer's records.
    SSL_clear_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE);
    // Read as much as the socket has, up to a large record buffer: one system call for many
    // records. The buffer the handshake used is replaced by a larger one at the next read
    // (unless it still holds bytes; then it stays as it is).
    SSL_set_read_ahead(ssl, 1);
    SSL_set_default_read_buffer_len(ssl, kStagingSize);
    SSL_free_buffers(ssl);
    records_ = std::move(records);
  }
  void Close() {
    asio::error_code ec;
    socket().close(ec);
  }
  template <class B, class H>
  void ReadSome(const B& buffers, H handler) {
    if (records_)
      RecordsRead(buffers, std::move(handler));
    else if (tls_)
      tls_->async_read_some(buffers, std::move(handler));
    else
      plain_.async_read_some(buffers, std::move(handler));
  }
  template <class B, class H>
  void Read(const B& buffers, H handler) {
    if (records_)
      RecordsReadAll(buffers, 0, std::move(handler));
    else if (tls_)
      asio::async_read(*tls_, buffers, std::move(handler));
    else
      asio::async_read(plain_, buffers, std::move(handler));
  }
  template <class B, class H>
  void Write(const B& buffers, H handler) {
    if (records_)
      RecordsWrite(buffers, std::move(handler));
    else if (tls_)
      asio::async_write(*tls_, buffers, std::move(handler));
    else
      asio::async_write(plain_, buffers, std::move(handler));
  }
  // Sends the TLS close notice; the handler runs once the peer has closed (or on an error).
  template <class H>
  void Shutdown(H handler) {
    if (!records_) return tls_->async_shutdown(std::move(handler));
    ERR_clear_error();
    SSL_shutdown(tls_->native_handle());
    Flush([this, handler = std::move(handler)](const asio::error_code& ec) mutable {
      if (ec) return handler(ec);
      DrainUntilClosed(std::move(handler));
    });
  }

 private:
  static constexpr size_t kStagingSize = 256 * 1024;
  // What OpenSSL's reads and writes reach: the socket to read (after any bytes the TLS stream
  // had read ahead), and the outgoing buffer.
  struct Records {
    int fd = -1;
    std::vector<unsigned char> left;  // read ahead by the TLS stream, not yet decrypted
    size_t left_taken = 0;
    bool eof = false;                // the socket ended
    int error = 0;                   // the socket's errno
    std::vector<unsigned char> out;  // records made, not yet on their way
    std::vector<unsigned char> drain;
    struct Outgoing {
      std::vector<unsigned char> bytes;
      std::function<void(const asio::error_code&)> done;
    };
    std::deque<Outgoing> sending;  // records on their way out, in order
    std::vector<unsigned char> spare;
  };

  static int BioRead(BIO* bio, char* to, size_t size, size_t* got) {
    auto* r = static_cast<Records*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (r->left_taken < r->left.size()) {
      size_t n = std::min(size, r->left.size() - r->left_taken);
      std::memcpy(to, r->left.data() + r->left_taken, n);
      r->left_taken += n;
      *got = n;
      return 1;
    }
    ssize_t n = ::recv(r->fd, to, size, 0);
    if (n > 0) {
      *got = static_cast<size_t>(n);
      return 1;
    }
    if (n == 0)
      r->eof = true;
    else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
      BIO_set_retry_read(bio);
    else
      r->error = errno;
    return 0;
  }
  static int BioWrite(BIO* bio, const char* from, size_t size, size_t* put) {
    auto* r = static_cast<Records*>(BIO_get_data(bio));
    const auto* bytes = reinterpret_cast<const unsigned char*>(from);
    r->out.insert(r->out.end(), bytes, bytes + size);
    *put = size;
    return 1;
  }
  static long BioCtrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }
  // Made once per process; null when even that fails (then the TLS stream keeps its way).
  static const BIO_METHOD* RecordsMethod() {
    static BIO_METHOD* method = [] {
      BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kr records");
      if (m != nullptr &&
          (BIO_meth_set_read_ex(m, &BioRead) != 1 || BIO_meth_set_write_ex(m, &BioWrite) != 1 ||
           BIO_meth_set_ctrl(m, &BioCtrl) != 1)) {
        BIO_meth_free(m);
        m = nullptr;
      }
      return m;
    }();
    return method;
  }

  asio::error_code TlsError(int ssl_error) {
    if (ssl_error == SSL_ERROR_ZERO_RETURN) return asio::error::eof;  // the close notice
    if (records_->error != 0) return asio::error_code(records_->error, asio::system_category());
    if (records_->eof) return asio::ssl::error::stream_truncated;  // no close notice first
    unsigned long e = ERR_get_error();
    if (e == 0) return asio::ssl::error::stream_truncated;
    return asio::error_code(static_cast<int>(e), asio::error::get_ssl_category());
  }
  template <class H>
  void Complete(H handler, const asio::error_code& ec, size_t n) {
    asio::post(socket().get_executor(),
               [handler = std::move(handler), ec, n]() mutable { handler(ec, n); });
  }

  // Decrypts what it can into `buffers`; reads the socket only when nothing is there yet.
  template <class B, class H>
  void RecordsRead(const B& buffers, H handler) {
    SSL* ssl = tls_->native_handle();
    size_t got = 0;
    int error = SSL_ERROR_NONE;
    ERR_clear_error();
    for (auto it = asio::buffer_sequence_begin(buffers); it != asio::buffer_sequence_end(buffers);
         ++it) {
      asio::mutable_buffer b = *it;
      size_t done = 0;
      while (done < b.size()) {
        size_t n = 0;
        int r = SSL_read_ex(ssl, static_cast<char*>(b.data()) + done, b.size() - done, &n);
        if (r != 1) {
          error = SSL_get_error(ssl, r);
          break;
        }
        done += n;
      }
      got += done;
      if (done < b.size()) break;
    }
    if (got > 0) return Complete(std::move(handler), asio::error_code(), got);
    if (error != SSL_ERROR_WANT_READ) return Complete(std::move(handler), TlsError(error), 0);
    // Everything read so far is decrypted: wait for the socket.
    socket().async_wait(tcp::socket::wait_read, [this, buffers, handler = std::move(handler)](
                                                    const asio::error_code& ec) mutable {
      if (ec) return handler(ec, 0);
      RecordsRead(buffers, std::move(handler));
    });
  }
  // The hello of a data connection: exactly one buffer's worth.
  template <class H>
  void RecordsReadAll(asio::mutable_buffer b, size_t have, H handler) {
    if (have == b.size()) return Complete(std::move(handler), asio::error_code(), have);
    RecordsRead(b + have, [this, b, have, handler = std::move(handler)](const asio::error_code& ec,
                                                                        size_t n) mutable {
      if (ec) return handler(ec, have);
      RecordsReadAll(b, have + n, std::move(handler));
    });
  }
  // Encrypts and sends a gathered write a staging buffer's worth at a time, so that the records
  // being made stay in the cache and the socket gets the first of them early.
  template <class B, class H>
  void RecordsWrite(const B& buffers, H handler) {
    auto parts = std::make_shared<std::vector<asio::const_buffer>>(
        asio::buffer_sequence_begin(buffers), asio::buffer_sequence_end(buffers));
    RecordsWriteFrom(std::move(parts), 0, 0, std::move(handler));
  }
  template <class H>
  void RecordsWriteFrom(std::shared_ptr<std::vector<asio::const_buffer>> parts, size_t i,
                        size_t total, H handler) {
    SSL* ssl = tls_->native_handle();
    ERR_clear_error();
    for (size_t made = 0; i < parts->size() && made < kStagingSize; ++i) {
      asio::const_buffer b = (*parts)[i];
      for (size_t done = 0; done < b.size();) {
        size_t n = 0;
        int r = SSL_write_ex(ssl, static_cast<const char*>(b.data()) + done, b.size() - done, &n);
        if (r != 1) return Complete(std::move(handler), TlsError(SSL_get_error(ssl, r)), total);
        done += n;
      }
      total += b.size();
      made += b.size();
    }
    Flush(
        [this, parts, i, total, handler = std::move(handler)](const asio::error_code& ec) mutable {
          if (ec || i == parts->size()) return handler(ec, ec ? 0 : total);
          RecordsWriteFrom(std::move(parts), i, total, std::move(handler));
        });
  }
  // Sends the records waiting in the outgoing buffer, after those already on their way (an
  // acknowledgement may still be going out when the first blocks follow it).
  void Flush(std::function<void(const asio::error_code&)> handler) {
    // The buffer of the last send takes the next records: a fresh one would be allocated for
    // every gathered write.
    std::vector<unsigned char> bytes = std::move(records_->out);
    records_->out = std::move(records_->spare);
    records_->out.clear();
    records_->sending.push_back({std::move(bytes), std::move(handler)});
    if (records_->sending.size() == 1) FlushNext();
  }
  void FlushNext() {
    asio::async_write(socket(), asio::buffer(records_->sending.front().bytes),
                      [this](const asio::error_code& ec, size_t) {
                        auto done = std::move(records_->sending.front().done);
                        records_->spare = std::move(records_->sending.front().bytes);
                        records_->sending.pop_front();
                        if (!records_->sending.empty()) FlushNext();
                        done(ec);
                      });
  }
  template <class H>
  void DrainUntilClosed(H handler) {
    records_->drain.resize(16 * 1024);
    socket().async_read_some(
        asio::buffer(records_->drain),
        [this, handler = std::move(handler)](const asio::error_code& ec, size_t) mutable {
          if (ec) return handler(ec);
          DrainUntilClosed(std::move(handler));
        });
  }

  tcp::socket plain_;
  std::unique_ptr<Records> records_;  // outlives the TLS state, whose BIO points into it
  std::unique_ptr<TlsStream> tls_;
};

// The names a certificate gives, for traces: its common name, else its first DNS name.
std::string CertificateName(X509* cert) {
  if (cert == nullptr) return "(no certificate)";
  char cn[256] = {};
  if (X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof cn) > 0)
    return cn;
  return "(no name)";
}

// Whether the peer's certificate (already verified against the authority) names `machine`.
// Wildcards never match: a certificate names machines one by one. *names gets what it names.
bool PeerCertificateNames(TlsStream* tls, const std::string& machine, std::string* names) {
  X509* cert = SSL_get1_peer_certificate(tls->native_handle());
  *names = CertificateName(cert);
  bool ok = cert != nullptr && X509_check_host(cert, machine.data(), machine.size(),
                                               X509_CHECK_FLAG_NO_WILDCARDS, nullptr) == 1;
  X509_free(cert);
  return ok;
}

// Why a TLS handshake failed, in the words a reader of the trace needs.
std::string TlsFailure(TlsStream* tls, const asio::error_code& ec) {
  long v = tls != nullptr ? SSL_get_verify_result(tls->native_handle()) : X509_V_OK;
  if (v != X509_V_OK) {
    std::string e = X509_verify_cert_error_string(v);
    switch (v) {
      case X509_V_ERR_CERT_HAS_EXPIRED:
        return "its certificate has expired";
      case X509_V_ERR_CERT_NOT_YET_VALID:
        return "its certificate is not valid yet";
      case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
      case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
      case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
      case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        return "its certificate is not signed by this domain's certificate authority (" + e + ")";
      default:
        return "its certificate is refused (" + e + ")";
    }
  }
  return "TLS handshake failed: " + ec.message();
}

std::string OpenSslError() {
  unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e == 0) return "unknown error";
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  return buf;
}

// A host-name look-up in glibc's asynchronous resolver. Its helper thread is glibc's own and
// touches nothing of ours but this request, which it owns until gai_error says it is done.
struct Lookup {
  std::string host, service;
  addrinfo hints{};
  gaicb req{};
  Clock::time_point deadline;
  std::function<void(bool ok, const tcp::endpoint& ep)> done;
};

}  // namespace

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

DataConn::DataConn(TransportImpl* transport, std::unique_ptr<Stream> stream)
    : t(transport), s(std::move(stream)) {
  t->data_live.insert(this);
}
DataConn::~DataConn() { t->data_live.erase(this); }

// ---------------------------------------------------------------------------------------------
// Links.

void SetNoDelay(tcp::socket& sock) {
  asio::error_code ec;
  sock.set_option(tcp::no_delay(true), ec);
}

void TransportImpl::Resolve(const Endpoint& ep,
                            std::function<void(bool, const tcp::endpoint&)> done) {
  asio::error_code ec;
  asio::ip::address a = asio::ip::make_address(ep.host, ec);
  if (!ec) {
    tcp::endpoint target(a, ep.port);
    asio::post(io, [done = std::move(done), target] { done(true, target); });
    return;
  }
#ifdef KR_SYNC_LOOKUP
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int got = getaddrinfo(ep.host.c_str(), std::to_string(ep.port).c_str(), &hints, &found);
  tcp::endpoint target;
  bool ok = got == 0 && found != nullptr && found->ai_addrlen <= target.capacity();
  if (ok) {
    std::memcpy(target.data(), found->ai_addr, found->ai_addrlen);
    target.resize(found->ai_addrlen);
  } else {
    TraceMessage(kTag, 1, 0, -1, "Cannot resolve host '%s': %s", ep.host.c_str(),
                 got == 0 ? "no address" : gai_strerror(got));
  }
  if (found != nullptr) freeaddrinfo(found);
  asio::post(io, [done = std::move(done), ok, target] { done(ok, target); });
  return;
#endif
  auto lk = std::make_unique<Lookup>();
  lk->host = ep.host;
  lk->service = std::to_string(ep.port);
  lk->hints.ai_socktype = SOCK_STREAM;
  lk->hints.ai_family = AF_UNSPEC;
  lk->req.ar_name = lk->host.c_str();
  lk->req.ar_service = lk->service.c_str();
  lk->req.ar_request = &lk->hints;
  gaicb* list[1] = {&lk->req};
  int rc = getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr);
  if (rc != 0) {
    TraceMessage(kTag, 1, 0, -1, "Cannot resolve host '%s': %s", ep.host.c_str(), gai_strerror(rc));
    asio::post(io, [done = std::move(done)] { done(false, tcp::endpoint()); });
    return;
  }
  lk->deadline = Clock::now() + MsgScaled(kHandshakeLimitMs);
  lk->done = std::move(done);
  lookups.push_back(std::move(lk));
}

void TransportImpl::PollLookups() {
  for (size_t i = 0; i < abandoned.size();) {
    if (gai_error(&abandoned[i]->req) == EAI_INPROGRESS) {
      ++i;
      continue;
    }
    if (abandoned[i]->req.ar_result != nullptr) freeaddrinfo(abandoned[i]->req.ar_result);
    abandoned.erase(abandoned.begin() + static_cast<std::ptrdiff_t>(i));
  }
  if (lookups.empty()) return;
  Clock::time_point now = Clock::now();
  std::vector<std::pair<std::unique_ptr<Lookup>, int>> finished;
  for (size_t i = 0; i < lookups.size();) {
    int rc = gai_error(&lookups[i]->req);
    if (rc == EAI_INPROGRESS && now < lookups[i]->deadline) {
      ++i;
      continue;
    }
    finished.emplace_back(std::move(lookups[i]), rc);
    lookups.erase(lookups.begin() + static_cast<std::ptrdiff_t>(i));
  }
  for (auto& [lk, rc] : finished) {
    if (rc == EAI_INPROGRESS) {
      TraceMessage(kTag, 11, 0, -1, "Cannot resolve host '%s': no answer in time",
                   lk->host.c_str());
      auto done = std::move(lk->done);
      if (gai_cancel(&lk->req) != EAI_CANCELED) abandoned.push_back(std::move(lk));
      done(false, tcp::endpoint());
      continue;
    }
    tcp::endpoint ep;
    bool ok = false;
    if (rc == 0 && lk->req.ar_result != nullptr) {
      const addrinfo* ai = lk->req.ar_result;
      if (ai->ai_addrlen <= ep.capacity()) {
        std::memcpy(ep.data(), ai->ai_addr, ai->ai_addrlen);
        ep.resize(ai->ai_addrlen);
        ok = true;
      }
    }
    if (lk->req.ar_result != nullptr) freeaddrinfo(lk->req.ar_result);
    lk->req.ar_result = nullptr;
    if (!ok)
      TraceMessage(kTag, 1, 0, -1, "Cannot resolve host '%s': %s", lk->host.c_str(),
                   rc == 0 ? "no address" : gai_strerror(rc));
    lk->done(ok, ep);
  }
}

bool TransportImpl::MayConnect(const tcp::endpoint& ep, const std::string& what) {
  if (!disabled.empty()) {
    TraceMessage(kTag, 12, 0, -1, "Cannot connect to %s: %s", what.c_str(), disabled.c_str());
    return false;
  }
  if (tls || IsLoopback(ep.address())) return true;
  TraceMessage(kTag, 13, 0, -1,
               "Cannot connect to %s at %s: links to other hosts need TLS, and none is "
               "configured",
               what.c_str(), EndpointText(ep).c_str());
  return false;
}

void TransportImpl::OpenSocket(tcp::socket& sock, const tcp::endpoint& ep) {
  // From our own listening address, so that a peer sees which machine of this host calls.
  if (!bind_outgoing || bind_address.is_v4() != ep.address().is_v4()) return;
  asio::error_code ec;
  sock.open(ep.protocol(), ec);
  if (!ec) sock.bind(tcp::endpoint(bind_address, 0), ec);
}

void TransportImpl::Fail(const std::shared_ptr<Link>& l, const char* why) {
  if (l->closed) return;
  l->closed = true;
  l->s->Close();
  links.erase(l->id);
  if (!l->outgoing && !l->up) {
    --handshakes;
    TraceMessage(kTag, 2, 0, 2, "Refused a connection from %s: %s", l->remote.c_str(), why);
    return;
  }
  TraceMessage(kTag, 3, 0, 3, "Link %llu closed: %s", static_cast<unsigned long long>(l->id), why);
  NetEvent ev;
  ev.kind = NetEvent::kLinkDown;
  ev.link = l->id;
  inbox->push_back(std::move(ev));
}

// A connection refused for who it is (or is not): said at the warning level, then closed.
void TransportImpl::Refuse(const std::shared_ptr<Link>& l, const std::string& why) {
  if (l->closed) return;
  TraceMessage(kTag, 14, 0, -1, "Refused a link from %s: %s", l->remote.c_str(), why.c_str());
  if (!l->outgoing && !l->up) {
    l->closed = true;
    l->s->Close();
    links.erase(l->id);
    --handshakes;
    return;
  }
  Fail(l, "refused");
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
  asio::error_code ec;
  tcp::endpoint from = sock.remote_endpoint(ec);
  std::string remote = ec ? std::string("?") : EndpointText(from);
  if (!disabled.empty()) {
    TraceMessage(kTag, 15, 0, -1, "Refused a link from %s: %s", remote.c_str(), disabled.c_str());
    return;
  }
  if (!tls && (ec || !IsLoopback(from.address()))) {
    TraceMessage(kTag, 16, 0, -1,
                 "Refused a link from %s: links from other hosts need TLS, and none is configured",
                 remote.c_str());
    return;  // the socket closes as it goes out of scope
  }
  if (handshakes >= kMaxHandshakes) {
    TraceMessage(kTag, 4, 0, -1, "Too many connections in their handshake; refusing one");
    return;
  }
  ++handshakes;
  SetNoDelay(sock);
  auto l = std::make_shared<Link>(this, next_link++, std::move(sock));
  l->remote = remote;
  l->connected = true;
  links[l->id] = l;
  if (tls)
    StartTlsServer(l);
  else
    ReadHello(l);
}

// A TLS-only listener: a peer that opens with a plain hello is told apart from one whose TLS
// fails, so that the trace says which mistake was made.
void TransportImpl::StartTlsServer(const std::shared_ptr<Link>& l) {
  l->s->socket().async_wait(tcp::socket::wait_read, [this, l](const asio::error_code& ec) {
    if (shutting_down || l->closed) return;
    if (ec) return Fail(l, "no hello");
    unsigned char first[4] = {};
    asio::error_code ec2;
    size_t n = l->s->socket().receive(asio::buffer(first), tcp::socket::message_peek, ec2);
    if (!ec2 && n == sizeof first && GetU32(first) == kFrameMagic)
      return Refuse(l, "it speaks plain TCP, and this process takes TLS links only");
    l->s->StartTls(*tls);
    l->s->tls()->async_handshake(asio::ssl::stream_base::server,
                                 [this, l](const asio::error_code& ec3) {
                                   if (shutting_down || l->closed) return;
                                   if (ec3) return Refuse(l, TlsFailure(l->s->tls(), ec3));
                                   ReadHello(l);
                                 });
  });
}

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

void TransportImpl::LinkUp(const std::shared_ptr<Link>& l, const Hello& h) {
  l->up = true;
  NetEvent ev;
  ev.kind = NetEvent::kLinkUp;
  ev.link = l->id;
  ev.peer = h.from;
  ev.version = h.version;
  // A peer that linked to us and listens: reachable at the address it came from.
  asio::error_code ec;
  const tcp::endpoint remote = l->s->socket().remote_endpoint(ec);
  if (!ec && h.listen_port != 0) {
    ev.reach.host = remote.address().to_string();
    ev.reach.port = h.listen_port;
    ev.reach.instance = h.from.instance;
  }
  inbox->push_back(std::move(ev));
}

void TransportImpl::ReadHello(const std::shared_ptr<Link>& l) {
  ReadHelloFrom(
      l->s.get(), l->hello_header, &l->hello_payload, false,
      [this, l] { return !shutting_down && !l->closed; },
      [this, l](HelloStep step, const asio::error_code&, const Hello& h) {
        static constexpr const char* kWhy[] = {"no hello", "bad hello header", "short hello",
                                               "bad hello"};
        if (step != kRead) return Fail(l, kWhy[step]);
        IncomingHello(l, h);
      });
}

bool TransportImpl::ClaimAllowed(const std::shared_ptr<Link>& l, const std::string& machine,
                                 std::string* why) {
  if (TlsStream* t = l->s->tls()) {
    std::string names;
    if (PeerCertificateNames(t, machine, &names)) return true;
    *why = "it claims machine '" + machine + "' but its certificate names '" + names + "'";
    return false;
  }
  if (local_machine && local_machine(machine)) return true;
  *why = "it claims machine '" + machine +
         "', which is not one of this host's (without TLS only this host's machines may connect)";
  return false;
}

void TransportImpl::IncomingHello(const std::shared_ptr<Link>& l, const Hello& h) {
  std::string why;
  if (!ClaimAllowed(l, h.from.machine, &why)) return Refuse(l, why);
  Hello ack;
  ack.purpose = h.purpose;
  ack.from = *self;
  ack.version = kKrVersionString;
  if (!IdentityMatches(h.target, *self)) {
    // A stale endpoint: the port now belongs to another process (or instance). Say so, close.
    l->nack = HelloEncode(ack, true);
    l->s->Write(asio::buffer(l->nack), [this, l](const asio::error_code&, size_t) {
      if (!shutting_down) Fail(l, "hello for another process");
    });
    return;
  }
  ack.result = 1;
  if (h.purpose == kHelloPurposeLink) {
    --handshakes;
    l->expect = h.from;
    l->out.push_front(HelloEncode(ack, true));
    LinkUp(l, h);
    WriteNext(l);
    ReadFrames(l);
    return;
  }
  ExpireParked();
  if (parked.size() >= kMaxParked || parked.count(h.channel) != 0)
    return Fail(l, "too many data channels waiting to be accepted");
  // The connection leaves the link for a data connection, parked until the application takes
  // it.
  --handshakes;
  l->closed = true;
  links.erase(l->id);
  auto c = std::make_shared<DataConn>(this, std::move(l->s));
  c->s->TakeOverRecords();  // the peer sends nothing more until it has the acknowledgement
  c->remote = l->remote;
  c->channel = h.channel;
  c->buffer_size = h.buffer_size;
  c->peer = h.from;
  c->parked_at = Clock::now();
  ack.channel = h.channel;
  ack.buffer_size = h.buffer_size;
  c->hello_bytes = HelloEncode(ack, true);
  parked[h.channel] = c;
  c->s->Write(asio::buffer(c->hello_bytes), [this, c](const asio::error_code& ec, size_t) {
    if (shutting_down || c->closed) return;
    if (ec) DataFail(c, "cannot acknowledge");
  });
}

void TransportImpl::ConnectLink(const std::shared_ptr<Link>& l, const tcp::endpoint& ep) {
  l->opened = Clock::now();
  l->remote = EndpointText(ep);
  std::string what = "'" + l->expect.process + "' on '" + l->expect.machine + "'";
  if (!MayConnect(ep, what)) return Fail(l, "not allowed");
  OpenSocket(l->s->socket(), ep);
  l->s->socket().async_connect(ep, [this, l](const asio::error_code& ec) {
    if (shutting_down || l->closed) return;
    if (ec) return Fail(l, "cannot connect");
    SetNoDelay(l->s->socket());
    auto connected = [this, l] {
      l->connected = true;
      WriteNext(l);
      OutgoingHandshake(l);
    };
    if (!tls) return connected();
    l->s->StartTls(*tls);
    l->s->tls()->async_handshake(
        asio::ssl::stream_base::client, [this, l, connected](const asio::error_code& ec2) {
          if (shutting_down || l->closed) return;
          if (ec2) {
            TraceMessage(kTag, 17, 0, -1, "Cannot open a TLS link to '%s' at %s: %s",
                         l->expect.machine.c_str(), l->remote.c_str(),
                         TlsFailure(l->s->tls(), ec2).c_str());
            return Fail(l, "TLS handshake failed");
          }
          std::string names;
          if (!PeerCertificateNames(l->s->tls(), l->expect.machine, &names)) {
            TraceMessage(kTag, 18, 0, -1,
                         "Refused a link to %s: it answers with a certificate that names '%s'",
                         l->remote.c_str(), names.c_str());
            return Fail(l, "wrong certificate");
          }
          connected();
        });
  });
}

void TransportImpl::OutgoingHandshake(const std::shared_ptr<Link>& l) {
  ReadHelloFrom(
      l->s.get(), l->hello_header, &l->hello_payload, true,
      [this, l] { return !shutting_down && !l->closed; },
      [this, l](HelloStep step, const asio::error_code& ec, const Hello& h) {
        // The peer's TLS refused ours (its alert arrives in place of the answer).
        if (step == kNoHeader && l->s->tls() != nullptr &&
            ec.category() == asio::error::get_ssl_category())
          TraceMessage(kTag, 19, 0, -1, "Link to '%s' at %s refused: %s", l->expect.machine.c_str(),
                       l->remote.c_str(), ec.message().c_str());
        static constexpr const char* kWhy[] = {"no answer to hello", "bad hello answer",
                                               "short hello answer", "bad hello answer"};
        if (step != kRead) return Fail(l, kWhy[step]);
        if (h.result != 1 || !IdentityMatches(l->expect, h.from))
          return Fail(l, "refused: stale endpoint");
        LinkUp(l, h);
        ReadFrames(l);
      });
}

void TransportImpl::ReadFrames(const std::shared_ptr<Link>& l) {
  l->s->ReadSome(asio::buffer(l->rbuf), [this, l](const asio::error_code& ec, size_t n) {
    if (shutting_down || l->closed) return;
    if (ec)
      return Fail(l, ec == asio::error::eof || ec == asio::ssl::error::stream_truncated
                         ? "closed by peer"
                         : "read failed");
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
  l->s->Write(gather, [this, l](const asio::error_code& ec, size_t) {
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
  for (auto& [id, l] : links) l->s->Close();
  links.clear();
  parked.clear();
  std::vector<std::shared_ptr<DataConn>> live;
  for (DataConn* c : data_live) live.push_back(c->shared_from_this());
  for (auto& c : live) {
    c->s->Close();
    if (c->core) c->core->conn.reset();
    c->core.reset();
  }
  live.clear();
  // Let the aborted operations finish, so that no handler outlives the transport.
  asio::error_code ignored;
  io.restart();
  io.poll(ignored);
  guard.reset();
  // Look-ups still running belong to the resolver until it lets go of them; give it a moment,
  // and leave any it still holds rather than free memory it may write.
  for (auto* set : {&lookups, &abandoned}) {
    for (auto& lk : *set) {
      if (gai_cancel(&lk->req) != EAI_CANCELED) {
        const gaicb* list[1] = {&lk->req};
        timespec ts{1, 0};
        if (gai_error(&lk->req) == EAI_INPROGRESS) gai_suspend(list, 1, &ts);
        if (gai_error(&lk->req) == EAI_INPROGRESS) {
          (void)lk.release();
          continue;
        }
      }
      if (lk->req.ar_result != nullptr) freeaddrinfo(lk->req.ar_result);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Data connections.

void TransportImpl::DataFail(const std::shared_ptr<DataConn>& c, const char* why) {
  if (c->closed) return;
  c->closed = true;
  c->s->Close();
  auto p = parked.find(c->channel);
  if (p != parked.end() && p->second == c) parked.erase(p);
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
  // However short the scaled limits, a handshake gets a second: it costs the time it costs
  // (TLS on a busy machine), whatever the scale.
  Clock::time_point limit =
      now - std::max<Clock::duration>(MsgScaled(kHandshakeLimitMs), std::chrono::seconds(1));
  std::vector<std::shared_ptr<Link>> stale;
  for (auto& [id, l] : links)
    if (!l->up && l->opened < limit) stale.push_back(l);
  for (auto& l : stale) Fail(l, l->outgoing ? "no answer in time" : "no hello in time");
  ExpireParked();
  std::vector<std::shared_ptr<DataConn>> lingering;
  for (DataConn* c : data_live)
    if (c->closing && !c->closed && c->linger_until < now)
      lingering.push_back(c->shared_from_this());
  for (auto& c : lingering) DataFail(c, "receiver stopped reading; unsent blocks dropped");
}

void TransportImpl::DataShut(const std::shared_ptr<DataConn>& c) {
  TlsStream* t = c->s->tls();
  if (t == nullptr) {
    asio::error_code ec;
    c->s->socket().shutdown(tcp::socket::shutdown_send, ec);
    return DataFail(c, "released");
  }
  // TLS ends with a close notice, so that the receiver tells the end of the stream from a cut
  // connection. The receiver answers by closing; a receiver that never does is dropped after
  // the linger limit like one that stopped reading.
  if (c->shutting) return;
  c->shutting = true;
  if (!c->closing) {
    c->closing = true;
    c->linger_until = Clock::now() + MsgScaled(kLingerLimitMs);
  }
  c->s->Shutdown([this, c](const asio::error_code&) {
    if (!shutting_down) DataFail(c, "released");
  });
}

void TransportImpl::DataWrite(const std::shared_ptr<DataConn>& c) {
  DataChanCore* core = c->core.get();
  if (c->writing || c->shutting || c->closed || core == nullptr || core->state != DataState::kOpen)
    return;
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
  c->s->Write(c->gather, [this, c](const asio::error_code& ec, size_t) {
    if (shutting_down || c->closed) return;
    c->writing = false;
    if (ec) return DataFail(c, "write failed");
    DataChanCore* done = c->core.get();
    for (size_t i = 0; i < done->writing; ++i) {
      done->free_blocks.push_back(done->send_queue.front());
      done->send_queue.pop_front();
    }
    done->writing = 0;
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
  c->s->ReadSome(buffers, [this, c](const asio::error_code& ec, size_t n) {
    if (shutting_down || c->closed) return;
    c->reading = false;
    DataChanCore* ch = c->core.get();
    if (ec) {
      if (ec == asio::error::eof && c->have == 0) {
        ch->state = DataState::kClosed;
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
        if (!DataHeaderCheck(c->block, ch->buffer_size, ch->recv_sequence, &used)) {
          TraceMessage(kTag, 7, 0, -1, "Dropping data channel %llx: bad block header",
                       static_cast<unsigned long long>(c->channel));
          return DataFail(c, "bad block header");
        }
        c->want = kDataHeaderSize + used;
      }
      ch->reading_block = c->have > 0;
      if (c->have < c->want) break;
      DataChanCore::Prefix(c->block)->used = static_cast<uint32_t>(c->want - kDataHeaderSize);
      ++ch->recv_sequence;
      ch->recv_queue.push_back(c->block);
      ch->reading_block = false;
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

bool Transport::UseTls(const TlsFiles& files, std::string* error) noexcept {
  TransportImpl* t = impl_.get();
  auto fail = [&](std::string why) {
    ERR_clear_error();
    t->tls.reset();
    t->disabled = "TLS is configured but unusable: " + why;
    *error = why;
    return false;
  };
  try {
    struct stat st;
    if (stat(files.key.c_str(), &st) != 0)
      return fail("cannot read the key '" + files.key + "': " + std::strerror(errno));
    if ((st.st_mode & 077) != 0) {
      char mode[8];
      std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
      return fail("the key '" + files.key + "' may be read by others (mode " + mode +
                  "); it must be readable by its owner only (chmod 600)");
    }
    auto ctx = std::make_unique<asio::ssl::context>(asio::ssl::context::tls);
    SSL_CTX* c = ctx->native_handle();
    SSL_CTX_set_min_proto_version(c, TLS1_3_VERSION);
    SSL_CTX_set_max_proto_version(c, TLS1_3_VERSION);
    // AES-128-GCM first: as safe here as the 256-bit key and cheaper per byte on a busy data
    // channel. Both ends offer the same order.
    SSL_CTX_set_ciphersuites(c,
                             "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:"
                             "TLS_CHACHA20_POLY1305_SHA256");
    // Links are long-lived and few: no session resumption, so no tickets after the handshake.
    SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(c, SSL_OP_NO_TICKET);
    SSL_CTX_set_num_tickets(c, 0);
    if (SSL_CTX_load_verify_locations(c, files.ca.c_str(), nullptr) != 1)
      return fail("cannot load the certificate authority '" + files.ca + "': " + OpenSslError());
    if (SSL_CTX_use_certificate_chain_file(c, files.cert.c_str()) != 1)
      return fail("cannot load the certificate '" + files.cert + "': " + OpenSslError());
    if (SSL_CTX_use_PrivateKey_file(c, files.key.c_str(), SSL_FILETYPE_PEM) != 1)
      return fail("cannot load the key '" + files.key + "': " + OpenSslError());
    if (SSL_CTX_check_private_key(c) != 1)
      return fail("the key '" + files.key + "' does not belong to the certificate '" + files.cert +
                  "'");
    X509* own = SSL_CTX_get0_certificate(c);
    const std::string& machine = t->self->machine;
    if (X509_check_host(own, machine.data(), machine.size(), X509_CHECK_FLAG_NO_WILDCARDS,
                        nullptr) != 1)
      return fail("the certificate '" + files.cert + "' names '" + CertificateName(own) +
                  "', not this machine '" + machine + "'");
    // A certificate that does not verify here will not verify at the peers either: say so now
    // rather than at every refused link.
    X509_STORE_CTX* vc = X509_STORE_CTX_new();
    if (vc != nullptr && X509_STORE_CTX_init(vc, SSL_CTX_get_cert_store(c), own, nullptr) == 1 &&
        X509_verify_cert(vc) != 1)
      TraceMessage(kTag, 20, 0, -1, "This machine's certificate '%s' does not verify: %s",
                   files.cert.c_str(), X509_verify_cert_error_string(X509_STORE_CTX_get_error(vc)));
    X509_STORE_CTX_free(vc);
    ERR_clear_error();
    SSL_CTX_set_verify(c, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    SSL_CTX_set_verify_depth(c, 4);
    t->tls = std::move(ctx);
    t->disabled.clear();
    return true;
  } catch (const asio::system_error& e) {  // the TLS context could not be made
    return fail(e.what());
  }
}

bool Transport::tls() const noexcept { return impl_->tls != nullptr; }

void Transport::SetLocalMachineCheck(std::function<bool(const std::string&)> check) noexcept {
  impl_->local_machine = std::move(check);
}

bool Transport::Listen(const std::string& host, uint16_t port, uint16_t* bound) noexcept {
  TransportImpl* t = impl_.get();
  if (!t->disabled.empty()) {
    TraceMessage(kTag, 21, 0, -1, "Not listening: %s", t->disabled.c_str());
    return false;
  }
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
  t->bind_address = a;
  t->bind_outgoing = !a.is_unspecified() && a != asio::ip::make_address("127.0.0.1");
  *bound = t->acceptor.local_endpoint(ec).port();
  t->listen_port = *bound;
  t->Accept();
  return !ec;
}

uint64_t Transport::Connect(const Endpoint& endpoint, const PeerIdentity& expect) noexcept {
  TransportImpl* t = impl_.get();
  std::string what = "'" + expect.process + "' on '" + expect.machine + "'";
  asio::error_code ec;
  asio::ip::address literal = asio::ip::make_address(endpoint.host, ec);
  // What can be refused at once is: an address needs no look-up.
  if (!ec && !t->MayConnect(tcp::endpoint(literal, endpoint.port), what)) return 0;
  if (ec && !t->disabled.empty()) {
    TraceMessage(kTag, 12, 0, -1, "Cannot connect to %s: %s", what.c_str(), t->disabled.c_str());
    return 0;
  }
  auto l = std::make_shared<Link>(t, t->next_link++, tcp::socket(t->io));
  l->outgoing = true;
  l->expect = expect;
  l->expect.instance = endpoint.instance;
  l->remote = endpoint.host + ":" + std::to_string(endpoint.port);
  // A caller may queue much for the link before its loop next runs: the clock starts when
  // the connection does.
  l->opened = Clock::time_point::max();
  t->links[l->id] = l;
  // The hello goes first; frames queued meanwhile follow it at once, since the peer reads
  // nothing else before it has checked the hello.
  Hello h;
  h.purpose = kHelloPurposeLink;
  h.from = *t->self;
  h.target = l->expect;
  h.version = kKrVersionString;
  h.listen_port = t->listen_port;
  l->out.push_back(HelloEncode(h, false));
  t->Resolve(endpoint, [t, l](bool ok, const tcp::endpoint& ep) {
    if (t->shutting_down || l->closed) return;
    if (!ok) return t->Fail(l, "cannot resolve");
    t->ConnectLink(l, ep);
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
    t->PollLookups();
    if (t->io.stopped()) t->io.restart();
    Clock::time_point now = Clock::now();
    if (deadline > now) {
      // Wake at least hourly; an unlimited wait simply goes round again.
      Clock::duration d = std::min<Clock::duration>(deadline - now, std::chrono::hours(1));
      if (t->HasDeadlines())
        d = std::min<Clock::duration>(
            d, std::max<Clock::duration>(t->next_sweep - now, std::chrono::milliseconds(1)));
      // A look-up is noticed by asking the resolver; do so often while one is out.
      if (!t->lookups.empty() || !t->abandoned.empty())
        d = std::min<Clock::duration>(d, kLookupPoll);
      t->io.run_one_for(d);
    }
    // A bounded number of handlers per turn: a peer that floods the link cannot keep the loop
    // reading forever; the wait loop dispatches between turns.
    for (int i = 0; i < kMaxHandlersPerTurn && t->io.poll_one() != 0; ++i) {
    }
    t->PollLookups();
  } catch (const asio::system_error& e) {
    TraceMessage(kTag, 9, 0, -1, "Event loop error: %s", e.what());
  }
}

void TransportImpl::DataConnectTo(const std::shared_ptr<DataConn>& c, const tcp::endpoint& ep) {
  c->remote = EndpointText(ep);
  std::string what = "'" + c->peer.process + "' on '" + c->peer.machine + "'";
  if (!MayConnect(ep, what)) return DataFail(c, "not allowed");
  OpenSocket(c->s->socket(), ep);
  c->s->socket().async_connect(ep, [this, c](const asio::error_code& ec) {
    if (shutting_down || c->closed) return;
    if (ec) return DataFail(c, "cannot connect");
    SetNoDelay(c->s->socket());
    if (!tls) return DataHello(c);
    c->s->StartTls(*tls);
    c->s->tls()->async_handshake(
        asio::ssl::stream_base::client, [this, c](const asio::error_code& ec2) {
          if (shutting_down || c->closed) return;
          std::string names;
          if (ec2) {
            TraceMessage(kTag, 23, 0, -1, "Cannot open a TLS data channel to %s: %s",
                         c->remote.c_str(), TlsFailure(c->s->tls(), ec2).c_str());
            return DataFail(c, "TLS handshake failed");
          }
          if (!PeerCertificateNames(c->s->tls(), c->peer.machine, &names)) {
            TraceMessage(kTag, 24, 0, -1,
                         "Refused a data channel to %s: it answers "
                         "with a certificate that names '%s'",
                         c->remote.c_str(), names.c_str());
            return DataFail(c, "wrong certificate");
          }
          DataHello(c);
        });
  });
}

void TransportImpl::DataHello(const std::shared_ptr<DataConn>& c) {
  c->s->TakeOverRecords();  // the handshake is done and the peer waits for the hello
  c->s->Write(asio::buffer(c->hello_bytes), [this, c](const asio::error_code& ec, size_t) {
    if (shutting_down || c->closed) return;
    if (ec) return DataFail(c, "cannot send hello");
    ReadHelloFrom(
        c->s.get(), c->hello_header, &c->hello_payload, true,
        [this, c] { return !shutting_down && !c->closed; },
        [this, c](HelloStep step, const asio::error_code&, const Hello& h) {
          if (step != kRead || h.result != 1 || !IdentityMatches(c->peer, h.from))
            return DataFail(c, "refused");
          c->core->peer = h.from;
          c->core->state = DataState::kOpen;
          DataWrite(c);
        });
  });
}

void Transport::DataConnect(const std::shared_ptr<DataChanCore>& core) noexcept {
  TransportImpl* t = impl_.get();
  auto c = std::make_shared<DataConn>(t, std::make_unique<Stream>(tcp::socket(t->io)));
  c->core = core;
  c->channel = core->id;
  c->buffer_size = core->buffer_size;
  c->peer = core->peer;
  core->conn = c;
  core->state = DataState::kConnecting;
  Hello h;
  h.purpose = kHelloPurposeData;
  h.from = *t->self;
  h.target = core->peer;
  h.target.instance = core->endpoint.instance;
  h.channel = core->id;
  h.buffer_size = core->buffer_size;
  h.version = kKrVersionString;
  c->hello_bytes = HelloEncode(h, false);
  t->Resolve(core->endpoint, [t, c](bool ok, const tcp::endpoint& ep) {
    if (t->shutting_down || c->closed) return;
    if (!ok) return t->DataFail(c, "cannot resolve");
    t->DataConnectTo(c, ep);
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
