// The bridge change refresh and the LAN link status handlers.
#include "tests/unit/topology/topofixture.h"

namespace {

using lum::testing::TraceLines;
using topotest::TopologyTest;

class TopoRefreshTest : public TopologyTest {
 protected:
  // brN known to the registry and named by the platform, with the LAN port
  // ethN on it (database and platform agree).
  void KnownBridgeWithPort(uint8_t n) {
    AddPlatformBridge(n);
    const std::string port = "eth" + std::to_string(n);
    (void)AddAvailableIf("LANInterface", port);
    m_net.bridgeKeys[port] = n;
  }
  void Build() {
    ASSERT_EQ(LUM_HOSTMON_BridgeInitAll(), 0u);
    (void)HostmonProcAddOtherPort();
    TraceLines().clear();
  }
  static bool Finished() {
    const long lV4 = TraceIndex("Recreate ipv4 listening socket now ...\n");
    const long lV6 = TraceIndex("Recreate ipv6 listening socket now ...\n");
    const long lEnd = TraceIndex("Bridge change refresh finished.\n");
    return lV4 >= 0 && lV4 < lV6 && lV6 < lEnd;
  }
};

TEST_F(TopoRefreshTest, BridgeMissingFromThePlatformGoesWithItsPortsAndHosts) {
  KnownBridgeWithPort(0);
  KnownBridgeWithPort(2);
  Build();
  Port *pstEth0 = LUM_HOSTMON_PortFind("eth0");
  ASSERT_NE(AddHost(LUM_HOSTMON_PortFind("eth2"), 1), nullptr);
  ASSERT_NE(AddHost(LUM_HOSTMON_PortFind("eth2"), 2), nullptr);
  ASSERT_NE(AddHost(pstEth0, 3), nullptr);
  m_net.bridges = {"br0"};
  m_net.bridgeKeys["eth2"] = LUM_BRIDGE_KEY_NONE;

  HostmonBridgeRefresh();
  EXPECT_EQ(BridgeNames(), (std::vector<std::string>{"br0"}));
  EXPECT_EQ(PortPlaces(), (std::vector<std::string>{"eth0@br0"}));
  EXPECT_EQ(HostCount(), 1u);
  EXPECT_EQ(HostCount(pstEth0), 1u);
  EXPECT_TRUE(Finished());
}

TEST_F(TopoRefreshTest, NameThatOnlyStartsALongerOneIsGone) {
  KnownBridgeWithPort(1);
  Build();
  AddInterface("br10", 10, Ip("192.168.10.1"));
  m_net.bridges = {"br10"};
  m_net.bridgeKeys["eth1"] = LUM_BRIDGE_KEY_NONE;

  HostmonBridgeRefresh();
  EXPECT_EQ(BridgeNames(), (std::vector<std::string>{"br10"}));
  EXPECT_EQ(LUM_HOSTMON_GetPortList(), nullptr);
}

TEST_F(TopoRefreshTest, PortMovedToAnotherBridgeKeepsItsHosts) {
  KnownBridgeWithPort(0);
  KnownBridgeWithPort(1);
  Build();
  Port *pstPort = LUM_HOSTMON_PortFind("eth0");
  MacAddressItem *pstHost = AddHost(pstPort, 1);
  ASSERT_NE(pstHost, nullptr);
  ASSERT_NE(AddHost(pstPort, 2), nullptr);
  m_net.bridgeKeys["eth0"] = 1;

  HostmonBridgeRefresh();
  EXPECT_EQ(LUM_HOSTMON_PortFind("eth0"), pstPort);
  EXPECT_EQ(pstPort->pstBridge, LUM_HOSTMON_BridgeFind("br1"));
  EXPECT_EQ(HostCount(pstPort), 2u);
  EXPECT_EQ(LUM_HOSTMON_GetMacList(), pstHost);
  EXPECT_EQ(BridgeNames(), (std::vector<std::string>{"br0", "br1"}));
  EXPECT_TRUE(Finished());
}

// The names buffer after each known bridge is struck out, whatever the orders.
struct StrikeCase {
  std::vector<std::string> known;    // registry order
  std::vector<std::string> listed;   // the platform's order
  std::vector<std::string> buffers;  // "New bridge name buffer" texts, in order
  std::vector<std::string> after;    // registry afterwards
};
void PrintTo(const StrikeCase &c, std::ostream *os) {
  *os << "known " << ::testing::PrintToString(c.known) << ", listed "
      << ::testing::PrintToString(c.listed);
}
class TopoStrikeTest : public TopoRefreshTest, public ::testing::WithParamInterface<StrikeCase> {};

TEST_P(TopoStrikeTest, KnownNamesAreStruckWhole) {
  for (const std::string &name : GetParam().known) {
    AddInterface(name, static_cast<uint8_t>(name.size()), Ip("10.0.0.1"));
  }
  for (const std::string &name : GetParam().listed) {
    AddInterface(name, static_cast<uint8_t>(name.size()), Ip("10.0.0.1"));
  }
  m_net.bridges = GetParam().known;
  Build();
  m_net.bridges = GetParam().listed;
  HostmonBridgeRefresh();

  const std::string prefix = "New bridge name buffer [";
  std::vector<std::string> buffers;
  for (const std::string &line : TracesStartingWith(prefix)) {
    buffers.push_back(line.substr(prefix.size(), line.size() - prefix.size() - 3));
  }
  EXPECT_EQ(buffers, GetParam().buffers);
  EXPECT_EQ(BridgeNames(), GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(
    TopoOrders, TopoStrikeTest,
    ::testing::Values(StrikeCase{{"br0", "br1"}, {"br0", "br1"}, {"br1", ""}, {"br0", "br1"}},
                      StrikeCase{{"br1", "br0"}, {"br0", "br1"}, {"br0,", ""}, {"br1", "br0"}},
                      StrikeCase{{"br1"}, {"br10", "br1"}, {"br10,"}, {"br1", "br10"}},
                      StrikeCase{{"br1", "br10"}, {"br10", "br1"}, {"br10,", ""}, {"br1", "br10"}},
                      StrikeCase{{"br10", "br1"},
                                 {"br1", "br11", "br10"},
                                 {"br1,br11,", "br11,"},
                                 {"br10", "br1", "br11"}},
                      StrikeCase{
                          {"br0", "br1", "br2"}, {"br0", "br2"}, {"br2", ""}, {"br0", "br2"}}));

class TopoLinkStatusTest : public TopoRefreshTest {
 protected:
  void SetUp() override {
    TopoRefreshTest::SetUp();
    KnownBridgeWithPort(0);
    KnownBridgeWithPort(1);
    Build();
    m_pstEth0 = LUM_HOSTMON_PortFind("eth0");
    m_pstEth1 = LUM_HOSTMON_PortFind("eth1");
    ASSERT_NE(m_pstEth1, nullptr);
  }
  Port *m_pstEth0 = nullptr;
  Port *m_pstEth1 = nullptr;
};

TEST_F(TopoLinkStatusTest, DownDeletesEveryHostOfThePortOnly) {
  ASSERT_NE(AddHost(m_pstEth1, 1), nullptr);
  ASSERT_NE(AddHost(m_pstEth0, 2), nullptr);
  ASSERT_NE(AddHost(m_pstEth1, 3), nullptr);
  HostmonProcLanStatusDown("eth1");
  EXPECT_EQ(HostCount(m_pstEth1), 0u);
  EXPECT_EQ(HostCount(m_pstEth0), 1u);
  EXPECT_EQ(PortPlaces(), (std::vector<std::string>{"eth0@br0", "eth1@br1"}));
}

}  // namespace
