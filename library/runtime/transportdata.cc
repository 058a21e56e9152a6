// The transport's data connections: connecting and saying hello for a data channel, parking
// incoming ones until their channel takes them up, moving blocks both ways, lingering and
// closing. Links never need it, so it is its own file.

#include "transport_internal.h"

namespace kr_internal {

DataConn::DataConn(TransportImpl* transport, std::unique_ptr<Stream> stream)
    : t(transport), s(std::move(stream)) {
  t->data_live.insert(this);
}
DataConn::~DataConn() { t->data_live.erase(this); }
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
// The Transport facade: data connections.

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
