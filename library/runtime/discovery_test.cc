#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "kr/context.h"
#include "kr/message.h"
#include "msg_internal.h"
#include "testing.h"

namespace {

using kr_internal::Endpoint;
using kr_internal::PeerIdentity;
using kr_testing::TestHome;

PeerIdentity Peer(const char* machine, const char* process, uint64_t instance = 0) {
  PeerIdentity p;
  p.machine = machine;
  p.process = process;
  p.instance = instance;
  return p;
}

TEST(Discovery, MachinesFileLinesAreReadLeniently) {
  TestHome home;
  ASSERT_TRUE(kr_testing::WriteFile(home.config_dir() + "/machines",
                                    "# the domain\n"
                                    "alpha 127.0.0.2\n"
                                    "beta far.example 4000 Reports Producer  # fixed port\n"
                                    "gamma h 0 Proc\n"      // port 0
                                    "delta h 70000 Proc\n"  // port out of range
                                    "eps h 4001\n"          // a port but no process
                                    "lonely\n"              // no host
                                    "Beta\tnear 4002 \tTabbed Name \r\n"));
  struct Want {
    const char* machine;
    const char* host;
    uint16_t port;
    const char* process;
  } const want[] = {
      {"alpha", "127.0.0.2", 0, ""},
      {"beta", "far.example", 4000, "Reports Producer"},
      {"Beta", "near", 4002, "Tabbed Name"},
  };
  std::vector<kr_internal::MachineLine> lines = kr_internal::ReadMachinesFile(home.home());
  ASSERT_EQ(lines.size(), std::size(want));
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].machine, want[i].machine) << i;
    EXPECT_EQ(lines[i].host, want[i].host) << i;
    EXPECT_EQ(lines[i].port, want[i].port) << i;
    EXPECT_EQ(lines[i].process, want[i].process) << i;
  }
  EXPECT_TRUE(kr_internal::ReadMachinesFile(home.home() + "/nowhere").empty());
  // A listed machine is known under the name asked for; its version only once it was met.
  MachInfo info;
  ASSERT_EQ(MachInfoFind(&info, "ALPHA"), 1);
  EXPECT_EQ(info.name, "ALPHA");
  EXPECT_STREQ(MachInfoKEVersionString(&info), "");
}

TEST(Discovery, EndpointFilesAreNamedAndCheckedStrictly) {
  EXPECT_EQ(kr_internal::EndpointFilePath("/h", "Alpha", "Reports Producer/2"),
            "/h/run/alpha@Reports%20Producer%2F2.endpoint");
  struct {
    const char* text;
    bool ok;
  } const cases[] = {
      {"127.0.0.1 4000 77 123\n", true}, {"127.0.0.1 0 77 123", false},
      {"127.0.0.1 65536 77 123", false}, {"127.0.0.1 4000 0 123", false},
      {"127.0.0.1 4000 77", false},      {"", false},
  };
  for (const auto& c : cases) {
    Endpoint ep;
    int64_t pid = 0;
    EXPECT_EQ(kr_internal::ParseEndpoint(c.text, &ep, &pid), c.ok) << c.text;
  }
}

TEST(Discovery, ResolvingPrefersALiveEndpointThenTheMachinesFile) {
  TestHome home;
  const std::string h = home.home();
  ASSERT_TRUE(kr_testing::WriteFile(home.config_dir() + "/machines",
                                    "GAMMA 10.0.0.9 4100 Dead\n"
                                    "gamma 10.0.0.9 4101 Garbled\n"));
  const std::string me = std::to_string(getpid());
  ASSERT_TRUE(kr_testing::WriteFile(kr_internal::EndpointFilePath(h, "gamma", "Live"),
                                    "127.0.0.1 4200 55 " + me + "\n"));
  // A loopback endpoint whose process is gone is stale, and a garbled one is no endpoint.
  ASSERT_TRUE(kr_testing::WriteFile(kr_internal::EndpointFilePath(h, "gamma", "Dead"),
                                    "127.0.0.1 4201 56 999999999\n"));
  ASSERT_TRUE(kr_testing::WriteFile(kr_internal::EndpointFilePath(h, "gamma", "Garbled"), "x"));
  struct {
    PeerIdentity want;
    bool found;
    uint16_t port;
    uint64_t instance;  // what the handshake must meet
  } const cases[] = {
      {Peer("Gamma", "Live"), true, 4200, 55},       // machine names are case-blind
      {Peer("gamma", "Live", 55), true, 4200, 55},   // the instance it names
      {Peer("gamma", "Live", 54), false, 0, 0},      // the instance it names is gone
      {Peer("gamma", "Dead"), true, 4100, 0},        // stale: the machines file's line
      {Peer("gamma", "Garbled", 9), true, 4101, 9},  // garbled: likewise
      {Peer("gamma", "live"), false, 0, 0},          // process names are exact
  };
  for (const auto& c : cases) {
    Endpoint ep;
    PeerIdentity expect;
    const std::string what = c.want.machine + "/" + c.want.process;
    ASSERT_EQ(kr_internal::ResolveProcess(h, c.want, &ep, &expect), c.found) << what;
    if (!c.found) continue;
    EXPECT_EQ(ep.port, c.port) << what;
    EXPECT_EQ(expect.instance, c.instance) << what;
  }
}

// A listening socket on a free loopback port, closed at the end of the scope.
struct Listener {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  uint16_t port = 0;
  Listener() {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd, 4) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      port = ntohs(a.sin_port);
  }
  ~Listener() { close(fd); }
};

// One process per published name: a live holder (pid alive, port answering) keeps its name and
// its file; a file whose port no longer answers, or whose pid is gone, is replaced; and only the
// instance that wrote a file removes it.
TEST(Discovery, PublishingRefusesALiveHolderAndReplacesAStaleOne) {
  TestHome home;
  Listener live;
  ASSERT_NE(live.port, 0);
  PeerIdentity first = Peer("Alpha", "Giver", 1234);
  first.pid = getpid();
  std::string file, why;
  ASSERT_TRUE(kr_internal::EndpointPublish(home.home(), first, "127.0.0.1", live.port, &file, &why));
  EXPECT_EQ(file, kr_internal::EndpointFilePath(home.home(), "alpha", "Giver"));
  Endpoint ep;
  PeerIdentity expect;
  ASSERT_TRUE(kr_internal::ResolveProcess(home.home(), Peer("alpha", "Giver"), &ep, &expect));
  EXPECT_EQ(ep.port, live.port);
  EXPECT_EQ(expect.pid, first.pid);
  MachInfo info;
  EXPECT_EQ(MachInfoFind(&info, "ALPHA"), 1);  // a published machine is a known one
  EXPECT_EQ(MachInfoFind(&info, "nowhere"), 0);

  PeerIdentity second = Peer("ALPHA", "Giver", 999);
  second.pid = getpid();
  std::string file2;
  EXPECT_FALSE(kr_internal::EndpointPublish(home.home(), second, "127.0.0.1", 4301, &file2, &why));
  EXPECT_NE(why.find("already running (pid " + std::to_string(getpid())), std::string::npos) << why;
  kr_internal::EndpointUnpublish(file, 999);  // the refused one going away removes nothing
  ASSERT_TRUE(kr_internal::ResolveProcess(home.home(), Peer("alpha", "Giver"), &ep, &expect));
  EXPECT_EQ(expect.instance, 1234u);

  // Stale: the pid lives (ours) but nothing answers on the port; then a pid that is gone.
  const std::string gone_port = "127.0.0.1 1 77 " + std::to_string(getpid()) + "\n";
  for (const std::string& stale : {gone_port, std::string("127.0.0.1 4000 77 999999999\n")}) {
    ASSERT_TRUE(kr_testing::WriteFile(file, stale));
    ASSERT_TRUE(kr_internal::EndpointPublish(home.home(), second, "127.0.0.1", 4301, &file2, &why))
        << stale;
    ASSERT_TRUE(kr_internal::ResolveProcess(home.home(), Peer("alpha", "Giver"), &ep, &expect));
    EXPECT_EQ(expect.instance, 999u);
  }
  kr_internal::EndpointUnpublish(file, 1234);  // another instance published the name since
  EXPECT_TRUE(kr_testing::ReadFile(file));
  kr_internal::EndpointUnpublish(file, 999);
  EXPECT_FALSE(kr_testing::ReadFile(file));
}

}  // namespace
