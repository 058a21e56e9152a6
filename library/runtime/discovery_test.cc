#include <gtest/gtest.h>
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

TEST(Discovery, PublishedEndpointsAreRemovedOnlyByTheirOwnInstance) {
  TestHome home;
  PeerIdentity self = Peer("Alpha", "Giver", 1234);
  self.pid = getpid();
  std::string file;
  ASSERT_TRUE(kr_internal::EndpointPublish(home.home(), self, "127.0.0.1", 4300, &file));
  EXPECT_EQ(file, kr_internal::EndpointFilePath(home.home(), "alpha", "Giver"));
  Endpoint ep;
  PeerIdentity expect;
  ASSERT_TRUE(kr_internal::ResolveProcess(home.home(), Peer("alpha", "Giver"), &ep, &expect));
  EXPECT_EQ(ep.port, 4300);
  EXPECT_EQ(expect.pid, self.pid);
  MachInfo info;
  EXPECT_EQ(MachInfoFind(&info, "ALPHA"), 1);  // a published machine is a known one
  EXPECT_EQ(MachInfoFind(&info, "nowhere"), 0);

  kr_internal::EndpointUnpublish(file, 999);  // another instance published the name since
  EXPECT_TRUE(kr_testing::ReadFile(file));
  kr_internal::EndpointUnpublish(file, 1234);
  EXPECT_FALSE(kr_testing::ReadFile(file));
}

}  // namespace
