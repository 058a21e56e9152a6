// Who may connect: mutual TLS between machines on several loopback addresses, the plain-link
// rules without TLS, broken TLS configurations, and host names looked up off the loop.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "kr/datachannel.h"
#include "kr/message.h"
#include "msg_internal.h"
#include "testing.h"
#include "tlscerts.h"

namespace {

using kr_internal::Hello;
using kr_internal::HelloEncode;
using kr_internal::PeerIdentity;
using kr_testing::PeerThread;
using kr_testing::TestHome;
using kr_testing::TraceCapture;

constexpr double kScale = kr_testing::kFastTimeoutScale;

TestHome::Options Opts(const char* machine, const char* process, const std::string& home = "") {
  return kr_testing::HomeOptions(machine, process, home, kScale);
}

using kr_testing::RealTimeout;

// Runs this context's loop until `flag`, set by another thread, is set (false after `ms`).
// The loop cannot see the flag change, so it looks every 10 ms.
bool ServeUntil(const std::atomic<bool>& flag, int ms = 10000) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!flag.load()) {
    if (std::chrono::steady_clock::now() > until) return false;
    kr_testing::Pump(10);
  }
  return true;
}

// The port and host this home's process `machine@process` published.
bool PublishedEndpoint(const std::string& home, const std::string& file, std::string* host,
                       unsigned* port) {
  auto text = kr_testing::ReadFile(home + "/run/" + file + ".endpoint");
  char h[64] = {};
  if (!text || std::sscanf(text->c_str(), "%63s %u", h, port) != 2) return false;
  *host = h;
  return true;
}

int ConnectRaw(const std::string& host, unsigned port, const char* from = nullptr) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (from != nullptr) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, host.c_str(), &sa.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

std::string HelloClaiming(const char* machine, const char* target_machine,
                          const char* target_process) {
  Hello h;
  h.purpose = kr_internal::kHelloPurposeLink;
  h.from.machine = machine;
  h.from.process = "Intruder";
  h.from.instance = 77;
  h.target.machine = target_machine;
  h.target.process = target_process;
  return HelloEncode(h, false);
}

// Runs `client` on a thread of its own while this context serves; what it returned.
std::string OnClientThread(const std::function<std::string()>& client) {
  std::atomic<bool> done{false};
  std::string got = "unfinished";
  std::thread t([&] {
    got = client();
    done = true;
  });
  EXPECT_TRUE(ServeUntil(done));
  t.join();
  return got;
}

// Connects to alpha's provider at `host`:`port` (from the address `from`, if given), sends a
// plain link hello claiming machine `claim` and reads the 32-byte answer: its first four bytes,
// or "" when the listener hung up instead.
std::string PlainHello(const std::string& host, unsigned port, const char* claim,
                       const char* from = nullptr) {
  int fd = ConnectRaw(host, port, from);
  if (fd < 0) return "no connection";
  std::string hello = HelloClaiming(claim, "alpha", "Provider");
  send(fd, hello.data(), hello.size(), MSG_NOSIGNAL);
  char buf[32];
  ssize_t n = recv(fd, buf, sizeof buf, MSG_WAITALL);
  close(fd);
  return n == 32 ? std::string(buf, 4) : "";
}

// A stand-in for a provider's guard against other machines: the task giver's machine decides,
// and remote requests are refused until enabled. It counts what reaches it, so that the tests
// below see whether a refused link delivered anything. The table provider's own handler over
// these links is tested with the reports library (tablesprovider_test.cc).
struct Provider {
  bool remote_enabled = false;
  int served = 0, refused = 0;
};

int ProviderTask(Obj* task, void* cookie) {
  auto* p = static_cast<Provider*>(cookie);
  auto* t = ObjCast<MsgTask>(task);
  if (!p->remote_enabled && !MsgIsLocalMachine(t->ObjSlot<1>())) {
    ++p->refused;
    MsgSendObject(t->ObjSlot<1>(), 3301, ObjNewString("refused").get());
    return 0;
  }
  ++p->served;
  MsgSendObject(t->ObjSlot<1>(), 3301, ObjNewString("records").get());
  return 1;
}

// What a client peer saw.
struct Outcome {
  std::atomic<bool> done{false};
  std::string answer;  // the provider's 3301 text, or empty
  int task_error = -1;
};

// Gives alpha's provider a GET_TABLE-kind task and waits for its answer.
void AskAlpha(Outcome* out) {
  Ref<Obj> address, m, obj;
  ProcCreateAddress(&address, "alpha", "Provider", 21);
  if (ProcGiveServiceATask(address.get(), "GET_TABLE", 0, 0, nullptr, 0) == 1 &&
      MsgWaitMessageWithTimeout(&m, nullptr, kMsgTaskReturn, RealTimeout(5000).get()) &&
      MsgGetObjectInternal(&obj, m.get(), MsgTaskReturn::kTypeCode)) {
    out->task_error = ObjGetSlotInteger(obj.get(), 2);
    if (ObjGetSlotInteger(obj.get(), 1) == 1 &&
        MsgWaitMessageWithTimeout(&m, nullptr, 3301, RealTimeout(5000).get()) &&
        MsgGetObjectInternal(&obj, m.get(), kObjStringType))
      out->answer = ObjGetString(obj.get());
  }
  out->done = true;
}

// A home where every machine has its own loopback address and, under config/tls, its
// certificate: alpha (the provider), beta (valid), gamma (expired), mallory (signed by another
// authority), eve (valid, but will claim to be alpha).
class TlsLinks : public ::testing::Test {
 protected:
  void SetUp() override {
    home_dir_ = kr_testing::MakeTempDir();
    std::string tls = home_dir_ + "/config/tls";
    ASSERT_TRUE(kr_testing::MakeDirs(tls));
    ASSERT_TRUE(kr_testing::WriteFile(home_dir_ + "/config/machines",
                                      "alpha 127.0.0.2\nbeta 127.0.0.3\ngamma 127.0.0.4\n"
                                      "mallory 127.0.0.5\neve 127.0.0.6\n"));
    kr_testing::TestAuthority ca("Backup Domain CA"), other("Another CA");
    ASSERT_TRUE(ca.ok() && other.ok());
    ASSERT_TRUE(ca.WriteCertificate(tls + "/ca.crt"));
    ASSERT_TRUE(ca.IssueMachine(tls, "alpha"));
    ASSERT_TRUE(ca.IssueMachine(tls, "beta"));
    ASSERT_TRUE(ca.IssueMachine(tls, "gamma", -86400L * 60, -86400L));
    ASSERT_TRUE(other.IssueMachine(tls, "mallory"));
    ASSERT_TRUE(ca.IssueMachine(tls, "eve"));
    alpha_ = std::make_unique<TestHome>(Opts("alpha", "Provider", home_dir_));
    ProcRegisterTaskHandler(21, &ProviderTask, &provider_);
    ASSERT_EQ(MsgInit(), 1);
    std::string host;
    ASSERT_TRUE(PublishedEndpoint(home_dir_, "alpha@Provider", &host, &port_));
    EXPECT_EQ(host, "127.0.0.2");
  }
  void TearDown() override {
    alpha_.reset();
    kr_testing::RemoveTree(home_dir_);
  }
  // Runs `machine` asking alpha, while alpha serves; what it saw.
  void Ask(const char* machine, Outcome* out) {
    PeerThread peer(Opts(machine, "Fetcher", home_dir_), [out](PeerThread&) { AskAlpha(out); });
    EXPECT_TRUE(ServeUntil(out->done)) << machine << " never finished";
  }

  std::string home_dir_;
  Provider provider_;
  std::unique_ptr<TestHome> alpha_;
  unsigned port_ = 0;
};

// A certified machine is a remote one, served only once the provider allows remote requests;
// bad certificates are refused at once, before anything reaches the provider.
TEST_F(TlsLinks, CertificatesDecideWhoIsServed) {
  struct Case {
    const char* machine;
    bool remote_enabled;
    const char* answer;
    const char* refusal;  // the trace's reason, for a refused link
  } cases[] = {
      {"beta", false, "refused", nullptr},
      {"beta", true, "records", nullptr},
      {"gamma", true, "", "its certificate has expired"},
      {"mallory", true, "", "its certificate is not signed by this domain's certificate authority"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.machine);
    provider_.remote_enabled = c.remote_enabled;
    TraceCapture trace;
    Outcome out;
    auto start = std::chrono::steady_clock::now();
    Ask(c.machine, &out);
    EXPECT_EQ(out.answer, c.answer) << trace.Dump();
    if (c.refusal == nullptr) continue;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(out.task_error, kProcErrPeerLost);
    EXPECT_TRUE(trace.Contains("Refused a link from 127.0.0.", -1) &&
                trace.Contains(c.refusal, -1))
        << trace.Dump();
  }
  EXPECT_EQ(provider_.refused, 1);
  EXPECT_EQ(provider_.served, 1);
  // The handshake taught alpha what beta runs.
  MachInfo info;
  ASSERT_EQ(MachInfoFind(&info, "BETA"), 1);
  EXPECT_STREQ(MachInfoKEVersionString(&info), kKrVersionString);
}

// A raw TLS client: eve's valid certificate, a hello that claims alpha.
TEST_F(TlsLinks, HandshakeClaimingAnotherMachineIsRefused) {
  TraceCapture trace;
  std::string tls = home_dir_ + "/config/tls/";
  std::string answered = OnClientThread([&] {
    std::string got;
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_use_certificate_file(ctx, (tls + "eve.crt").c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(ctx, (tls + "eve.key").c_str(), SSL_FILETYPE_PEM);
    int fd = ConnectRaw("127.0.0.2", port_, "127.0.0.6");
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    if (fd >= 0 && SSL_connect(ssl) == 1) {
      std::string hello = HelloClaiming("alpha", "alpha", "Provider");
      SSL_write(ssl, hello.data(), static_cast<int>(hello.size()));
      char c;
      if (SSL_read(ssl, &c, 1) > 0) got = "answered";
    }
    SSL_free(ssl);
    if (fd >= 0) close(fd);
    SSL_CTX_free(ctx);
    return got;
  });
  EXPECT_EQ(answered, "");  // no answer: the connection was closed
  EXPECT_TRUE(trace.Contains("Refused a link from 127.0.0.6", -1)) << trace.Dump();
  EXPECT_TRUE(trace.Contains("it claims machine 'alpha' but its certificate names 'eve'", -1))
      << trace.Dump();
  EXPECT_EQ(provider_.served + provider_.refused, 0);
}

TEST_F(TlsLinks, PlainTcpToATlsListenerIsRefused) {
  TraceCapture trace;
  EXPECT_EQ(OnClientThread([&] { return PlainHello("127.0.0.2", port_, "beta"); }), "");
  EXPECT_TRUE(trace.Contains("it speaks plain TCP, and this process takes TLS links only", -1))
      << trace.Dump();
}

TEST_F(TlsLinks, DataChannelRunsOverTls) {
  // beta streams blocks to alpha over a data channel; alpha accepts it and reads them all.
  constexpr int kBlocks = 50;
  std::atomic<bool> sent{false}, received{false};
  PeerThread peer(Opts("beta", "Sender", home_dir_), [&](PeerThread&) {
    Ref<Obj> to, ch;
    ProcCreateAddress(&to, "alpha", "Provider", 0);
    if (DataChannelCreate(&ch, to.get(), 65536) == 1) {
      int rc;
      while ((rc = DataChannelConnect(ch.get())) == 2) MsgWaitPoll();
      for (int i = 0; rc == 1 && i < kBlocks; ++i) {
        DataBlock* b = nullptr;
        while ((rc = DataChannelGetSendBuffer(ch.get(), &b)) == 2) MsgWaitPoll();
        if (rc != 1) break;
        std::memset(DataBlockGetData(b), i, 65536);
        DataBlockSetBytesUsed(b, 65536);
        while ((rc = DataChannelSendBuffer(ch.get(), b)) == 2) MsgWaitPoll();
      }
      // The released channel still sends what it queued, so the loop runs until alpha has it.
      DataChannelRelease(ch.get());
      ch.reset();
      ServeUntil(received);
    }
    sent = true;
  });
  Ref<Obj> announce;
  ASSERT_EQ(MsgWaitMessageWithTimeout(&announce, nullptr, kMsgDataChannelConnect,
                                      RealTimeout(5000).get()),
            1);
  Ref<Obj> ch;
  int rc;
  while ((rc = DataChannelAcceptConnection(&ch, announce.get())) == 2) MsgWaitPoll();
  ASSERT_EQ(rc, 1);
  int blocks = 0;
  bool intact = true;
  for (;;) {
    DataBlock* b = nullptr;
    rc = DataChannelGetReceiveBuffer(ch.get(), &b);
    if (rc == 0) break;
    if (rc != 1) {
      MsgWaitPoll();
      continue;
    }
    intact = intact && DataBlockGetBytesUsed(b) == 65536 &&
             DataBlockGetData(b)[65535] == static_cast<unsigned char>(blocks);
    ++blocks;
    DataChannelReleaseBuffer(ch.get(), b);
  }
  received = true;
  EXPECT_EQ(blocks, kBlocks);
  EXPECT_TRUE(intact);
  EXPECT_TRUE(ServeUntil(sent));
}

// Broken TLS files stop messaging: no plain fallback.
TEST(TlsConfig, BrokenFilesStopMessagingWithTheReason) {
  struct Case {
    const char* name;
    void (*spoil)(const std::string& tls);
    const char* trace;
  } cases[] = {
      {"key readable by others",
       [](const std::string& t) { chmod((t + "/alpha.key").c_str(), 0644); },
       "may be read by others (mode 0644)"},
      {"no certificate", [](const std::string& t) { unlink((t + "/alpha.crt").c_str()); },
       "cannot load the certificate"},
      {"no authority", [](const std::string& t) { unlink((t + "/ca.crt").c_str()); },
       "cannot load the certificate authority"},
      {"another machine's certificate",
       [](const std::string& t) {
         rename((t + "/beta.crt").c_str(), (t + "/alpha.crt").c_str());
         rename((t + "/beta.key").c_str(), (t + "/alpha.key").c_str());
       },
       "names 'beta', not this machine 'alpha'"},
  };
  for (const Case& c : cases) {
    std::string home = kr_testing::MakeTempDir();
    std::string tls = home + "/config/tls";
    kr_testing::MakeDirs(tls);
    kr_testing::TestAuthority ca("CA");
    ASSERT_TRUE(ca.WriteCertificate(tls + "/ca.crt"));
    ASSERT_TRUE(ca.IssueMachine(tls, "alpha") && ca.IssueMachine(tls, "beta"));
    c.spoil(tls);
    {
      TestHome alpha(Opts("alpha", "Provider", home));
      TraceCapture trace;
      EXPECT_EQ(MsgInit(), 0) << c.name;
      EXPECT_TRUE(trace.Contains("TLS is configured but unusable", -1) &&
                  trace.Contains(c.trace, -1))
          << c.name << "\n"
          << trace.Dump();
      Ref<Obj> address;
      ProcCreateAddress(&address, "beta", "Anyone", 0);
      EXPECT_EQ(MsgSendObject(address.get(), 1, nullptr), 0);
    }
    kr_testing::RemoveTree(home);
  }
}

// ---------------------------------------------------------------------------------------------
// Without TLS.

TEST(PlainLinks, OnlyThisHostsMachinesMayConnect) {
  TestHome alpha(Opts("alpha", "Provider", ""));
  ASSERT_TRUE(kr_testing::WriteFile(alpha.config_dir() + "/machines",
                                    "nearby 127.0.0.1\nfaraway 192.0.2.7 7410 Provider\n"));
  Provider provider;
  provider.remote_enabled = true;
  ProcRegisterTaskHandler(21, &ProviderTask, &provider);
  ASSERT_EQ(MsgInit(), 1);
  std::string host;
  unsigned port = 0;
  ASSERT_TRUE(PublishedEndpoint(alpha.home(), "alpha@Provider", &host, &port));
  struct Case {
    const char* claim;
    bool accepted;
  } cases[] = {
      {"alpha", true},     // published in the run directory
      {"NEARBY", true},    // the machines file puts it on this host
      {"faraway", false},  // the machines file puts it elsewhere
      {"intruder", false},
  };
  for (const Case& c : cases) {
    TraceCapture trace;
    std::string answer = OnClientThread([&] { return PlainHello("127.0.0.1", port, c.claim); });
    EXPECT_EQ(answer == "KRF1", c.accepted) << c.claim;
    EXPECT_EQ(trace.Contains("which is not one of this host's", -1), !c.accepted) << c.claim << "\n"
                                                                                  << trace.Dump();
  }
  // Nor does this process call out to another host in plain TCP.
  TraceCapture trace;
  Ref<Obj> address;
  ProcCreateAddress(&address, "faraway", "Provider", 21);
  EXPECT_EQ(ProcGiveServiceATask(address.get(), nullptr, 0, 0, nullptr, 0), 0);
  EXPECT_TRUE(trace.Contains("links to other hosts need TLS, and none is configured", -1))
      << trace.Dump();
}

// This host's own non-loopback address, if it has one.
std::string HostAddress() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return "";
  std::string found;
  for (ifaddrs* i = list; i != nullptr && found.empty(); i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    auto* sa = reinterpret_cast<sockaddr_in*>(i->ifa_addr);
    if ((ntohl(sa->sin_addr.s_addr) >> 24) == 127) continue;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &sa->sin_addr, text, sizeof text);
    found = text;
  }
  freeifaddrs(list);
  return found;
}

TEST(PlainLinks, LinkFromAnotherAddressIsRefused) {
  std::string ip = HostAddress();
  if (ip.empty()) GTEST_SKIP() << "no non-loopback address";
  // A process with a fixed port listens on every interface.
  unsigned port = static_cast<unsigned>(kr_testing::FreePort());
  TestHome alpha(Opts("alpha", "Provider", ""));
  ASSERT_TRUE(kr_testing::WriteFile(alpha.config_dir() + "/machines",
                                    "alpha " + ip + " " + std::to_string(port) + " Provider\n"));
  ASSERT_EQ(MsgInit(), 1);
  TraceCapture trace;
  EXPECT_EQ(OnClientThread([&] { return PlainHello(ip, port, "alpha", ip.c_str()); }), "");
  EXPECT_TRUE(trace.Contains("links from other hosts need TLS, and none is configured", -1))
      << trace.Dump();
}

int Echo(Obj* message, void*) {
  MsgSendReply(message, 501, nullptr);
  return 0;
}

// Starts `machine`'s process `process` of `home`, answering 500 with 501, and asks it once.
void ExpectEchoFrom(const std::string& home, const char* machine, const char* process) {
  PeerThread peer(Opts(machine, process, home), [](PeerThread& p) {
    MsgWaitAddHandler(500, &Echo, nullptr);
    MsgInit();
    p.Ready();
    p.Serve();
  });
  ASSERT_TRUE(peer.WaitReady());
  TraceCapture trace;
  Ref<Obj> address, reply;
  ProcCreateAddress(&address, machine, process, 0);
  EXPECT_EQ(MsgWaitInterchangeInternal(&reply, address.get(), 500, nullptr, 501,
                                       RealTimeout(5000).get()),
            1)
      << machine << "\n"
      << trace.Dump();
}

// A machines-file host given by name is looked up without blocking the loop.

TEST(PlainLinks, HostNamesAreLookedUp) {
  std::string port = std::to_string(kr_testing::FreePort());
  std::string other = kr_testing::MakeTempDir();
  ASSERT_TRUE(kr_testing::WriteFile(other + "/config/machines",
                                    "alpha localhost\ndelta 127.0.0.1 " + port + " Remote\n"));
  TestHome alpha(Opts("alpha", "Giver", ""));
  ASSERT_TRUE(kr_testing::WriteFile(alpha.config_dir() + "/machines",
                                    "delta localhost " + port + " Remote\n"));
  ExpectEchoFrom(other, "delta", "Remote");
  kr_testing::RemoveTree(other);
}

// The set-up script makes files the runtime takes as they are.
TEST(TlsConfig, CertificatesFromTheSetUpScriptWork) {
  // The build names sources relative to the build directory, where the test binary lives.
  std::string source = __FILE__;
  if (source[0] != '/') {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string path(exe, n > 0 ? static_cast<size_t>(n) : 0);
    source = path.substr(0, path.rfind('/') + 1) + source;
  }
  std::string script = source.substr(0, source.rfind('/')) + "/../../scripts/make-certs";
  if (access(script.c_str(), X_OK) != 0 || system("command -v openssl >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "no script or no openssl command";
  std::string home = kr_testing::MakeTempDir();
  std::string tls = home + "/config/tls";
  std::string cmd = script + " '" + tls + "' ca >/dev/null 2>&1 && " + script + " '" + tls +
                    "' machine alpha >/dev/null 2>&1 && " + script + " '" + tls +
                    "' machine beta >/dev/null 2>&1";
  ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
  for (const char* key : {"/alpha.key", "/ca.key"}) {
    struct stat st;
    ASSERT_EQ(stat((tls + key).c_str(), &st), 0) << key;
    EXPECT_EQ(st.st_mode & 077, 0u) << key;
  }
  {
    TestHome alpha(Opts("alpha", "Giver", home));
    ExpectEchoFrom(home, "beta", "Remote");
  }
  kr_testing::RemoveTree(home);
}

}  // namespace
