// Messaging benchmarks on loopback, each against a reference measured in the same run:
//
//   message round trip (a small object and its reply)  vs  a minimal Asio TCP ping-pong of the
//                                                          same bytes
//   data channel throughput, 10 KiB and 64 KiB buffers  vs  a plain TCP socket sending the same
//                                                          bytes in the same pieces
//
// The round trip and the data channel run twice: over plain links, and over mutual TLS 1.3
// between two certified machines (a second home with config/tls, certificates made at start).
//
// Each side runs on its own thread with its own context, as two processes would. After the
// benchmarks the program prints each measurement as a ratio to its reference.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "../library/testing/tlscerts.h"
#include "bench_main.h"
#include "kr/context.h"
#include "kr/datachannel.h"
#include "kr/list.h"
#include "kr/message.h"
#include "kr/serialize.h"

namespace {

constexpr uint32_t kPing = 500, kPong = 501, kChunkDone = 502;
constexpr size_t kChunkBytes = 16u << 20;  // bytes per timed iteration of the throughput runs

std::string g_home;      // plain links
std::string g_tls_home;  // mutual TLS

std::unique_ptr<KrContext> MakeContext(const char* machine, const char* process, bool tls) {
  ContextOptions o;
  o.home = tls ? g_tls_home : g_home;
  o.machine_name = machine;
  o.process_name = process;
  return ContextCreate(o);
}

// The small object of the round trip: a list of a few scalars, like a short record.
Ref<Obj> SmallObject() {
  Ref<List> l = ListNewFromPool();
  ListPushLastItemInternal(l.get(), ObjNewInteger(42));
  ListPushLastItemInternal(l.get(), ObjNewString("jobs"));
  ListPushLastItemInternal(l.get(), ObjNewBoolean(true));
  return l;
}

// The bytes one such message puts on the wire: a 32-byte frame header and the object.
size_t SmallMessageBytes() {
  std::string s;
  ObjSerializeToMemory(&s, SmallObject().get());
  return 32 + s.size();
}

// ---------------------------------------------------------------------------------------------
// A peer context on a thread.

class Peer {
 public:
  template <class F>
  Peer(const char* machine, const char* process, bool tls, F body) {
    thread_ = std::thread([this, machine, process, tls, body] {
      auto ctx = MakeContext(machine, process, tls);
      ContextSetCurrent(ctx.get());
      MsgInit();
      body(this);
      ContextSetCurrent(nullptr);
    });
    while (!ready_) std::this_thread::yield();
  }
  ~Peer() {
    stop_ = true;
    thread_.join();
  }
  void Ready() { ready_ = true; }
  bool stopping() const { return stop_; }
  // Dispatches until stopped.
  void Serve() {
    while (!stop_) {
      Ref<Obj> t;
      TimeCreateAndSetTimeout(&t, 0, 20);
      MsgWaitOnCallbackWithTimeout([](void* p) { return static_cast<Peer*>(p)->stop_ ? 1 : 0; },
                                   this, t.get());
    }
  }

 private:
  std::atomic<bool> ready_{false}, stop_{false};
  std::thread thread_;
};

int Pong(Obj* message, void*) {
  Ref<Obj> obj;
  MsgGetObjectInternal(&obj, message, kObjListType);
  MsgSendReply(message, kPong, obj.get());
  return 0;
}

void BM_MessageRoundTrip(benchmark::State& state) {
  const bool tls = state.range(0) != 0;
  Peer server("beta", "Pong", tls, [](Peer* p) {
    MsgWaitAddHandler(kPing, &Pong, nullptr);
    p->Ready();
    p->Serve();
  });
  auto ctx = MakeContext("alpha", "Ping", tls);
  ContextSetCurrent(ctx.get());
  Ref<Obj> address, object = SmallObject(), reply;
  ProcCreateAddress(&address, "beta", "Pong", 0);
  // One exchange outside the timing opens the link.
  MsgWaitInterchangeInternal(&reply, address.get(), kPing, object.get(), kPong, nullptr);
  for (auto _ : state) {
    if (!MsgWaitInterchangeInternal(&reply, address.get(), kPing, object.get(), kPong, nullptr))
      state.SkipWithError("no reply");
  }
  state.counters["bytes_each_way"] = static_cast<double>(SmallMessageBytes());
  ContextSetCurrent(nullptr);
}

// The reference: an Asio echo of the same number of bytes, both sides driven by io_contexts.
void BM_AsioPingPong(benchmark::State& state) {
  using asio::ip::tcp;
  const size_t n = SmallMessageBytes();
  asio::io_context server_io(1);
  tcp::acceptor acceptor(server_io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  uint16_t port = acceptor.local_endpoint().port();
  std::atomic<bool> stop{false};
  std::thread server([&] {
    tcp::socket s(server_io);
    acceptor.accept(s);
    s.set_option(tcp::no_delay(true));
    std::vector<char> buf(n);
    std::function<void()> echo = [&] {
      asio::async_read(s, asio::buffer(buf), [&](const asio::error_code& ec, size_t) {
        if (ec) return;
        asio::async_write(s, asio::buffer(buf), [&](const asio::error_code& ec2, size_t) {
          if (!ec2) echo();
        });
      });
    };
    echo();
    server_io.run();
  });
  asio::io_context io(1);
  tcp::socket c(io);
  c.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
  c.set_option(tcp::no_delay(true));
  std::vector<char> out(n, 'x'), in(n);
  auto exchange = [&] {
    bool done = false;
    asio::async_write(c, asio::buffer(out), [&](const asio::error_code&, size_t) {});
    asio::async_read(c, asio::buffer(in), [&](const asio::error_code&, size_t) { done = true; });
    while (!done) io.run_one();
    io.restart();
  };
  exchange();
  for (auto _ : state) exchange();
  state.counters["bytes_each_way"] = static_cast<double>(n);
  c.close();
  server.join();
}

// ---------------------------------------------------------------------------------------------
// Throughput.

// Receives on a data channel, confirming every kChunkBytes with kChunkDone; ends on a 0-byte
// buffer.
void DataReceiver(Peer* p) {
  p->Ready();
  Ref<Obj> connect, channel;
  if (!MsgWaitMessageWithTimeout(&connect, nullptr, kMsgDataChannelConnect, nullptr)) return;
  while (DataChannelAcceptConnection(&channel, connect.get()) == 2) MsgWaitPoll();
  Ref<Obj> sender;
  MsgGetSender(&sender, connect.get());
  size_t got = 0;
  for (;;) {
    DataBlock* b = nullptr;
    int r = DataChannelGetReceiveBuffer(channel.get(), &b);
    if (r == 2 || r == 3) {
      MsgWaitPoll();
      continue;
    }
    if (r != 1) break;
    uint32_t used = DataBlockGetBytesUsed(b);
    DataChannelReleaseBuffer(channel.get(), b);
    if (used == 0) break;
    got += used;
    if (got >= kChunkBytes) {
      got -= kChunkBytes;
      MsgSendObject(sender.get(), kChunkDone, nullptr);
    }
  }
  DataChannelRelease(channel.get());
  p->Serve();
}

void BM_DataChannel(benchmark::State& state) {
  const uint32_t size = static_cast<uint32_t>(state.range(0));
  const bool tls = state.range(1) != 0;
  Peer receiver("beta", "Sink", tls, &DataReceiver);
  auto ctx = MakeContext("alpha", "Source", tls);
  ContextSetCurrent(ctx.get());
  Ref<Obj> address, channel;
  ProcCreateAddress(&address, "beta", "Sink", 0);
  DataChannelCreate(&channel, address.get(), size);
  while (DataChannelConnect(channel.get()) == 2) MsgWaitPoll();
  std::vector<unsigned char> source(size, 0x5a);
  auto send = [&](uint32_t n) {
    DataBlock* b = nullptr;
    int r;
    while ((r = DataChannelGetSendBuffer(channel.get(), &b)) == 2) MsgWaitPoll();
    if (r != 1) return false;
    std::memcpy(DataBlockGetData(b), source.data(), n);
    DataBlockSetBytesUsed(b, n);
    return DataChannelSendBuffer(channel.get(), b) == 1;
  };
  for (auto _ : state) {
    for (size_t sent = 0; sent < kChunkBytes; sent += size)
      if (!send(static_cast<uint32_t>(std::min<size_t>(size, kChunkBytes - sent))))
        state.SkipWithError("send failed");
    Ref<Obj> m;
    if (!MsgWaitMessageWithTimeout(&m, nullptr, kChunkDone, nullptr))
      state.SkipWithError("no confirmation");
  }
  send(0);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kChunkBytes));
  DataChannelRelease(channel.get());
  ContextSetCurrent(nullptr);
}

// The reference: the same bytes in the same pieces over a plain TCP socket, the receiver
// reading into a buffer of that size and confirming each chunk with one byte.
void BM_PlainTcp(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  socklen_t len = sizeof sa;
  getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len);
  listen(listener, 1);
  std::thread receiver([&] {
    int s = accept(listener, nullptr, nullptr);
    std::vector<char> buf(size);
    size_t got = 0;
    for (;;) {
      ssize_t n = read(s, buf.data(), buf.size());
      if (n <= 0) break;
      got += static_cast<size_t>(n);
      if (got >= kChunkBytes) {
        got -= kChunkBytes;
        char c = 1;
        if (write(s, &c, 1) != 1) break;
      }
    }
    close(s);
  });
  int s = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  std::vector<unsigned char> source(size, 0x5a);
  for (auto _ : state) {
    for (size_t sent = 0; sent < kChunkBytes; sent += size) {
      size_t n = std::min(size, kChunkBytes - sent);
      for (size_t off = 0; off < n;) {
        ssize_t w = send(s, source.data() + off, n - off, MSG_NOSIGNAL);
        if (w <= 0) break;
        off += static_cast<size_t>(w);
      }
    }
    char c;
    if (read(s, &c, 1) != 1) state.SkipWithError("no confirmation");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kChunkBytes));
  close(s);
  receiver.join();
  close(listener);
}

BENCHMARK(BM_AsioPingPong)->UseRealTime()->MinTime(0.5);
// Second argument (or only one, for the round trip): 1 over TLS.
BENCHMARK(BM_MessageRoundTrip)->Arg(0)->Arg(1)->UseRealTime()->MinTime(0.5);
BENCHMARK(BM_PlainTcp)->Arg(10 * 1024)->Arg(64 * 1024)->UseRealTime()->MinTime(0.5);
BENCHMARK(BM_DataChannel)
    ->Args({10 * 1024, 0})
    ->Args({64 * 1024, 0})
    ->Args({10 * 1024, 1})
    ->Args({64 * 1024, 1})
    ->UseRealTime()
    ->MinTime(0.5);

void PrintRatios(const kr_bench::BestRunReporter& r) {
  std::printf("\nRatios against the references of this run (best run of each):\n");
  // Round trips compare times (lower is better); throughputs compare speeds.
  r.PrintRatio("message round trip / Asio ping-pong (time)", "BM_MessageRoundTrip/0",
               "BM_AsioPingPong", true, "<= 2");
  r.PrintRatio("data channel 10 KiB / plain TCP (throughput)", "BM_DataChannel/10240/0",
               "BM_PlainTcp/10240", false, ">= 0.5");
  r.PrintRatio("data channel 64 KiB / plain TCP (throughput)", "BM_DataChannel/65536/0",
               "BM_PlainTcp/65536", false, ">= 0.8");
  r.PrintRatio("TLS round trip / plain round trip (time)", "BM_MessageRoundTrip/1",
               "BM_MessageRoundTrip/0", true, "-");
  r.PrintRatio("TLS data channel 10 KiB / plain TCP", "BM_DataChannel/10240/1", "BM_PlainTcp/10240",
               false, "-");
  r.PrintRatio("TLS data channel 64 KiB / plain TCP", "BM_DataChannel/65536/1", "BM_PlainTcp/65536",
               false, ">= 0.6");
  r.PrintRatio("TLS data channel 64 KiB / plain channel", "BM_DataChannel/65536/1",
               "BM_DataChannel/65536/0", false, "-");
}

}  // namespace

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/kr-bench-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 1;
  g_home = tmpl;
  g_tls_home = g_home + "/tls-home";
  {
    std::string dir = g_tls_home + "/config/tls";
    std::filesystem::create_directories(dir);
    kr_testing::TestAuthority ca("Benchmark CA");
    if (!ca.ok() || !ca.WriteCertificate(dir + "/ca.crt") || !ca.IssueMachine(dir, "alpha") ||
        !ca.IssueMachine(dir, "beta")) {
      std::fprintf(stderr, "cannot make the TLS certificates\n");
      return 1;
    }
  }
  kr_bench::BestRunReporter reporter;
  kr_bench::RunBenchmarks(argc, argv, &reporter, 5, true);
  PrintRatios(reporter);
  std::error_code ec;
  std::filesystem::remove_all(g_home, ec);
  return 0;
}
