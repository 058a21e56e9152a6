// The transport's links: looking up and connecting to peers, accepting them, the hello exchange
// that says who is at each end, reading and writing frames, and the Transport facade that the
// wait loop drives. Data connections are their own file.

#include "transport_internal.h"

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

namespace kr_internal {

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
// The Transport facade.

Transport::Transport(const PeerIdentity* self, std::deque<NetEvent>* inbox)
    : impl_(std::make_unique<TransportImpl>(self, inbox)) {}

Transport::~Transport() = default;
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

}  // namespace kr_internal
