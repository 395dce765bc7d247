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
  static bool NothingToDo() {
    return TraceCount("Bridge change refreshed, nothing need to be done.\n") == 1 &&
           TraceCount("Bridge change refresh finished.\n") == 0;
  }
  static bool Finished() {
    const long lV4 = TraceIndex("Recreate ipv4 listening socket now ...\n");
    const long lV6 = TraceIndex("Recreate ipv6 listening socket now ...\n");
    const long lEnd = TraceIndex("Bridge change refresh finished.\n");
    return lV4 >= 0 && lV4 < lV6 && lV6 < lEnd &&
           TraceCount("Bridge change refreshed, nothing need to be done.\n") == 0;
  }
};

TEST_F(TopoRefreshTest, BothBridgesKnownAndNoPortMovedIsNothingToDo) {
  KnownBridgeWithPort(0);
  KnownBridgeWithPort(1);
  Build();
  HostmonBridgeRefresh();
  EXPECT_EQ(TraceCount("Get all bridge name return names [br0,br1].\n"), 1u);
  EXPECT_EQ(
      TraceCount("Refreshed bridge name is [br1] for port [eth1], old bridge name is [br1].\n"),
      1u);
  EXPECT_EQ(TraceCount("Nothing changed for port [eth0], continue.\n"), 1u);
  EXPECT_EQ(TraceCount("Nothing changed for port [eth1], continue.\n"), 1u);
  EXPECT_EQ(TraceCount("New bridge name buffer [br1].\n"), 1u);
  EXPECT_EQ(TraceCount("New bridge name buffer [].\n"), 1u);
  EXPECT_TRUE(NothingToDo());
  EXPECT_EQ(BridgeNames(), (std::vector<std::string>{"br0", "br1"}));
  EXPECT_EQ(PortPlaces(), (std::vector<std::string>{"eth0@br0", "eth1@br1"}));
}

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
  EXPECT_EQ(TraceCount("Fatal: Port [eth2] can't find it's bridge.\n"), 1u);
  EXPECT_EQ(TraceCount("Delete bridge [br2] now pcEnd [(nil)] ...\n"), 1u);
  EXPECT_EQ(BridgeNames(), (std::vector<std::string>{"br0"}));
  EXPECT_EQ(PortPlaces(), (std::vector<std::string>{"eth0@br0"}));
  EXPECT_EQ(HostCount(), 1u);
  EXPECT_EQ(HostCount(pstEth0), 1u);
  EXPECT_TRUE(Finished());
}

TEST_F(TopoRefreshTest, KnownBridgeStaysWhenALongerNameComesFirst) {
  KnownBridgeWithPort(1);
  Build();
  ASSERT_NE(AddHost(LUM_HOSTMON_PortFind("eth1"), 1), nullptr);
  AddInterface("br10", 10, Ip("192.168.10.1"));
  m_net.bridges = {"br10", "br1"};

  HostmonBridgeRefresh();
  EXPECT_EQ(TraceCount("New bridge name buffer [br10,].\n"), 1u);
  EXPECT_EQ(TraceCount("Newly detected bridges are [br10,].\n"), 1u);
  EXPECT_EQ(TraceCount("Got bridge name [br10].\n"), 1u);
  EXPECT_EQ(TraceCount("Got bridge name [].\n"), 0u);  // the trailing comma ends the list
  EXPECT_EQ(BridgeNames(), (std::vector<std::string>{"br1", "br10"}));
  EXPECT_EQ(PortPlaces(), (std::vector<std::string>{"eth1@br1"}));
  EXPECT_EQ(HostCount(LUM_HOSTMON_PortFind("eth1")), 1u);
  EXPECT_TRUE(Finished());
}

TEST_F(TopoRefreshTest, NameThatOnlyStartsALongerOneIsGone) {
  KnownBridgeWithPort(1);
  Build();
  AddInterface("br10", 10, Ip("192.168.10.1"));
  m_net.bridges = {"br10"};
  m_net.bridgeKeys["eth1"] = LUM_BRIDGE_KEY_NONE;

  HostmonBridgeRefresh();
  EXPECT_EQ(TraceCount("pcEnd is [br10], end char is [0]\n"), 1u);
  EXPECT_EQ(TracesStartingWith("Delete bridge [br1] now pcEnd [0x").size(), 1u);
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
  EXPECT_EQ(
      TraceCount("Refreshed bridge name is [br1] for port [eth0], old bridge name is [br0].\n"),
      1u);
  EXPECT_EQ(LUM_HOSTMON_PortFind("eth0"), pstPort);
  EXPECT_EQ(pstPort->pstBridge, LUM_HOSTMON_BridgeFind("br1"));
  EXPECT_EQ(HostCount(pstPort), 2u);
  EXPECT_EQ(LUM_HOSTMON_GetMacList(), pstHost);
  EXPECT_EQ(BridgeNames(), (std::vector<std::string>{"br0", "br1"}));
  EXPECT_TRUE(Finished());
}

TEST_F(TopoRefreshTest, PortMovedToANewBridgeCreatesItOnce) {
  KnownBridgeWithPort(0);
  Build();
  AddPlatformBridge(2);
  m_net.bridgeKeys["eth0"] = 2;

  HostmonBridgeRefresh();
  EXPECT_EQ(PortPlaces(), (std::vector<std::string>{"eth0@br2"}));
  EXPECT_EQ(BridgeNames(), (std::vector<std::string>{"br0", "br2"}));
  EXPECT_EQ(TraceCount("New bridge name buffer [br2].\n"), 1u);
  EXPECT_EQ(TraceCount("New bridge name buffer [].\n"), 1u);
  EXPECT_EQ(TraceIndex("Newly detected bridges are [br2].\n"), -1);
  EXPECT_TRUE(Finished());
}

TEST_F(TopoRefreshTest, BridgeKeyOfTenOrMoreLeavesThePortWhereItIs) {
  KnownBridgeWithPort(0);
  Build();
  Port *pstPort = LUM_HOSTMON_PortFind("eth0");
  ASSERT_NE(AddHost(pstPort, 1), nullptr);
  AddPlatformBridge(10);
  m_net.bridgeKeys["eth0"] = 10;

  HostmonBridgeRefresh();
  EXPECT_EQ(TraceCount("Fatal: Port [eth0] can't find it's bridge.\n"), 1u);
  // Never br1, the cut form of br10.
  EXPECT_EQ(TraceIndex("Refreshed bridge name is [br1] for port [eth0], old bridge name is "
                       "[br0].\n"),
            -1);
  EXPECT_EQ(LUM_HOSTMON_BridgeFind("br1"), nullptr);
  EXPECT_EQ(PortPlaces(), (std::vector<std::string>{"eth0@br0"}));
  EXPECT_EQ(HostCount(pstPort), 1u);
  EXPECT_EQ(BridgeNames(), (std::vector<std::string>{"br0", "br10"}));
}

TEST_F(TopoRefreshTest, BridgeThatCannotBeCreatedLeavesThePortOnItsOldBridge) {
  KnownBridgeWithPort(0);
  Build();
  m_net.bridgeKeys["eth0"] = 5;  // no br5 interface to query

  HostmonBridgeRefresh();
  EXPECT_EQ(TraceCount("Fatal: create bridge [br5] failed.\n"), 1u);
  EXPECT_EQ(PortPlaces(), (std::vector<std::string>{"eth0@br0"}));
  EXPECT_TRUE(Finished());  // a port meant to move still counts as a change
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
                      StrikeCase{{"br1"}, {"br1", "br10"}, {"br10"}, {"br1", "br10"}},
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
  EXPECT_EQ(TraceCount("Interface [eth1] down ...\n"), 1u);
  EXPECT_EQ(TraceCount("No MAC address deleted, no need to sync.\n"), 0u);
  EXPECT_EQ(HostCount(m_pstEth1), 0u);
  EXPECT_EQ(HostCount(m_pstEth0), 1u);
  // The port and its bridge stay.
  EXPECT_EQ(PortPlaces(), (std::vector<std::string>{"eth0@br0", "eth1@br1"}));
}

TEST_F(TopoLinkStatusTest, DownWithoutHostsNeedsNoSync) {
  ASSERT_NE(AddHost(m_pstEth0, 2), nullptr);
  HostmonProcLanStatusDown("eth1");
  EXPECT_EQ(TraceLines(), (std::vector<std::string>{"Interface [eth1] down ...\n",
                                                    "No MAC address deleted, no need to sync.\n"}));
  EXPECT_EQ(HostCount(), 1u);
}

TEST_F(TopoLinkStatusTest, DownForAnUnknownPortChangesNothing) {
  ASSERT_NE(AddHost(m_pstEth0, 2), nullptr);
  HostmonProcLanStatusDown("eth7");
  HostmonProcLanStatusDown("");
  HostmonProcLanStatusDown(nullptr);
  EXPECT_EQ(TraceLines(), (std::vector<std::string>{"Can't find the port for [eth7].\n",
                                                    "Can't find the port for [].\n",
                                                    "Can't find the port for [].\n"}));
  EXPECT_EQ(HostCount(), 1u);
}

TEST_F(TopoLinkStatusTest, UpAsksEveryParsableHostObjectOfThePath) {
  const uint32_t ulLanDev = AddLanDevice();
  (void)AddEthIf(ulLanDev, "eth0");
  (void)AddEthIf(ulLanDev, "eth1");
  const std::string path = "InternetGatewayDevice.LANDevice." + std::to_string(ulLanDev) +
                           ".LANEthernetInterfaceConfig.2";
  const std::string other = "InternetGatewayDevice.LANDevice." + std::to_string(ulLanDev) +
                            ".LANEthernetInterfaceConfig.1";
  (void)AddHostObject(ulLanDev, "192.168.1.20", path);
  (void)AddHostObject(ulLanDev, "192.168.1.300", path);  // not an address
  (void)AddHostObject(ulLanDev, "192.168.0.21", other);
  (void)AddHostObject(ulLanDev, "", path);
  (void)AddHostObject(ulLanDev, "192.168.1.22", path);

  HostmonProcLanStatusUp(path.c_str());
  EXPECT_STREQ(m_pstEth1->pcDomainName, path.c_str());
  EXPECT_STREQ(m_pstEth0->pcDomainName, other.c_str());
  ASSERT_EQ(m_sys.sent.size(), 2u);
  const uint32_t aulTargets[2] = {Ip("192.168.1.20"), Ip("192.168.1.22")};
  for (size_t i = 0; i < 2; ++i) {
    const faketest::SentPacket &packet = m_sys.sent[i];
    EXPECT_EQ(packet.ifname, "br1");
    ASSERT_EQ(packet.bytes.size(), 60u);
    EXPECT_EQ(memcmp(&packet.bytes[38], &aulTargets[i], 4), 0) << i;
    const uint32_t ulSender = Ip("192.168.1.1");
    EXPECT_EQ(memcmp(&packet.bytes[28], &ulSender, 4), 0) << i;
  }
}

TEST_F(TopoLinkStatusTest, UpForAPathNoPortHasSendsNothing) {
  const uint32_t ulLanDev = AddLanDevice();
  (void)AddEthIf(ulLanDev, "eth0");
  const std::string path = "InternetGatewayDevice.LANDevice.9.LANEthernetInterfaceConfig.1";
  (void)AddHostObject(ulLanDev, "192.168.1.20", path);
  HostmonProcLanStatusUp(path.c_str());
  HostmonProcLanStatusUp(nullptr);
  EXPECT_TRUE(m_sys.sent.empty());
  EXPECT_STREQ(m_pstEth1->pcDomainName, "");
}

}  // namespace
