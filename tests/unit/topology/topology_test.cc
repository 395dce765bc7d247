// The bridge and port registry, port discovery from the database, the bridge
// change refresh and link status.
#include <sys/socket.h>
#include <unistd.h>

#include <tuple>

#include "platform/eventloop.h"
#include "tests/unit/common/lan.h"

namespace lantest {
namespace {

class TopologyTest : public NetTest {
 protected:
  // brN, named by the platform: MAC 02:00:00:00:N:N, address 192.168.N.1.
  void AddPlatformBridge(uint8_t n) {
    const std::string name = "br" + std::to_string(n);
    AddInterface(name, {0x02, 0, 0, 0, n, n}, Ip("192.168." + std::to_string(n) + ".1"));
    m_net.bridges.push_back(name);
  }
  // A layer-2 interface of the database that the platform places on brN.
  void AddLanPort(const std::string &name, uint32_t ulKey, const char *pcType = "LANInterface") {
    AddObject(0, LUM_DB_KIND_AVAIL_IF, {{1, pcType}, {3, name}});
    m_net.bridgeKeys[name] = ulKey;
  }
  static Texts BridgeNames() {
    Texts names;
    for (Bridge *p = LUM_HOSTMON_GetBridgeList(); p; p = p->pstNext) names.emplace_back(p->pcName);
    return names;
  }
  // "port@bridge" for every port, in list order.
  static Texts PortPlaces() {
    Texts places;
    for (Port *p = LUM_HOSTMON_GetPortList(); p; p = p->pstNext) {
      places.push_back(std::string(p->pcName) + "@" + p->pstBridge->pcName);
    }
    return places;
  }
  // Registry and ports as start-up leaves them.
  static void Build() {
    ASSERT_EQ(LUM_HOSTMON_BridgeInitAll(), 0u);
    (void)HostmonProcAddOtherPort();
  }
};

TEST_F(TopologyTest, BridgesComeInPlatformOrderAndReloadKeepsAVanishedAddress) {
  AddPlatformBridge(1);
  AddPlatformBridge(0);
  EXPECT_EQ(LUM_HOSTMON_BridgeInitAll(), 0u);
  EXPECT_EQ(BridgeNames(), (Texts{"br1", "br0"}));
  Bridge *pstBr1 = LUM_HOSTMON_BridgeFind("br1");
  m_sys.interfaces["br0"] = {{0x02, 0, 0, 0, 0, 0x77}, Ip("10.0.0.1")};
  m_sys.interfaces["br1"].ulIpAddr = 0;  // no address now: it keeps the one it had
  LUM_HOSTMON_BridgeReloadAll();
  EXPECT_EQ(LUM_HOSTMON_BridgeFind("br0")->aucMac[5], 0x77);
  EXPECT_EQ(LUM_HOSTMON_BridgeFind("br0")->ulIpAddr, Ip("10.0.0.1"));
  EXPECT_EQ(pstBr1->ulIpAddr, Ip("192.168.1.1"));
}

TEST_F(TopologyTest, BridgeDelClosesItsOwnIcmp6ListenerButNotTheSharedArpSocket) {
  Bridge *pstBr0 = AddBridge("br0", kBrMac, "192.168.1.1");
  Bridge *pstBr1 = AddBridge("br1", kBrMac, "192.168.2.1");
  const int iIcmp6 = lum::sys::Socket(AF_INET6, SOCK_RAW, 58);
  const int iArp = lum::sys::Socket(AF_PACKET, SOCK_RAW, 0);
  const auto noop = [](LUM_SOCK_REG *) {};
  ASSERT_EQ(LUM_UTIL_SockBaseReg(iIcmp6, 5, noop, 1, pstBr1, &pstBr1->ulIcmp6SockHandle), 0u);
  ASSERT_EQ(LUM_UTIL_SockBaseReg(iArp, 1, noop, 1, nullptr, &pstBr0->ulArpSockHandle), 0u);
  pstBr1->ulArpSockHandle = pstBr0->ulArpSockHandle;
  LUM_HOSTMON_BridgeDel(pstBr1);
  EXPECT_EQ(lum::loop::RegistrationCount(), 1u);
  EXPECT_TRUE(m_sys.sockets[iIcmp6].bClosed);
  EXPECT_FALSE(m_sys.sockets[iArp].bClosed);
}

TEST_F(TopologyTest, DiscoveryAddsLanInterfacesToTheirBridgesCreatingTheBridge) {
  AddPlatformBridge(0);
  AddPlatformBridge(1);
  m_net.bridges = {"br0"};  // br1 answers queries but is not known yet
  ASSERT_EQ(LUM_HOSTMON_BridgeInitAll(), 0u);
  AddLanPort("wl0", 0);
  AddLanPort("nas0", 0, "WANInterface");  // not a LAN port: never looked at
  AddLanPort("eth9", 0, "X_LANPort");     // a LAN type, but no LANInterface: no bridge
  AddLanPort("eth0", 0);
  AddLanPort("eth1", 1);
  EXPECT_NE(HostmonProcAddOtherPort(), 0u);  // the walk ends on a failed read
  EXPECT_EQ(PortPlaces(), (Texts{"wl0@br0", "eth0@br0", "eth1@br1"}));
}

TEST_F(TopologyTest, BridgeNameOfAPortFitsItsBufferOrTheLookUpFails) {
  // The refresh's 4-byte buffer holds br0..br9; a cut name would name another bridge.
  const std::tuple<uint32_t, uint32_t, const char *> astCases[] = {
      {0, 4, "br0"}, {9, 4, "br9"}, {10, 4, nullptr}, {10, 16, "br10"}, {1, 3, nullptr}};
  AddLanPort("eth0", 0);
  for (const auto &[ulKey, ulSize, pcName] : astCases) {
    m_net.bridgeKeys["eth0"] = ulKey;
    char acBuf[16] = {};
    EXPECT_EQ(HostmonGetBridgeNameOfPort("eth0", acBuf, ulSize), pcName ? 0u : 1u) << ulKey;
    EXPECT_STREQ(pcName ? acBuf : nullptr, pcName);
  }
}

TEST_F(TopologyTest, RefreshDropsAGoneBridgeMovesAPortWithItsHostsThenLinkDownDeletesThem) {
  for (uint8_t n : {0, 1, 2}) {
    AddPlatformBridge(n);
    AddLanPort("eth" + std::to_string(n), n);
  }
  Build();
  Port *pstEth0 = LUM_HOSTMON_PortFind("eth0");
  MacAddressItem *pstFirst = Host(HostMac(1), pstEth0);
  for (const char *pcPort : {"eth2", "eth0", "eth1", "eth2"}) {
    Host(HostMac(ItemCount() + 1), LUM_HOSTMON_PortFind(pcPort));
  }
  m_net.bridges = {"br0", "br1"};
  m_net.bridgeKeys["eth2"] = LUM_BRIDGE_KEY_NONE;
  m_net.bridgeKeys["eth0"] = 1;
  HostmonBridgeRefresh();
  EXPECT_EQ(PortPlaces(), (Texts{"eth0@br1", "eth1@br1"}));
  EXPECT_EQ(Learnt(),
            (Texts{"aa:bb:cc:dd:ee:01@eth0", "aa:bb:cc:dd:ee:03@eth0", "aa:bb:cc:dd:ee:04@eth1"}));
  EXPECT_EQ(LUM_HOSTMON_GetMacList(), pstFirst);
  EXPECT_EQ(TraceLines().back(), "Bridge change refresh finished.\n");
  HostmonProcLanStatusDown("eth0");
  EXPECT_EQ(Learnt(), Texts{"aa:bb:cc:dd:ee:04@eth1"});
  EXPECT_EQ(PortPlaces().size(), 2u);
}

TEST_F(TopologyTest, RefreshStrikesKnownNamesWholeWhateverTheOrders) {
  // (registry order, the platform's order, "New bridge name buffer" texts, registry afterwards)
  const std::tuple<Texts, Texts, Texts, Texts> astCases[] = {
      {{"br0", "br1"}, {"br0", "br1"}, {"br1", ""}, {"br0", "br1"}},
      {{"br1", "br0"}, {"br0", "br1"}, {"br0,", ""}, {"br1", "br0"}},
      {{"br1"}, {"br10", "br1"}, {"br10,"}, {"br1", "br10"}},
      {{"br1"}, {"br10"}, {}, {"br10"}},
      {{"br10", "br1"}, {"br1", "br11", "br10"}, {"br1,br11,", "br11,"}, {"br10", "br1", "br11"}}};
  for (const char *pcName : {"br0", "br1", "br2", "br10", "br11"}) AddInterface(pcName, kBrMac, 1);
  for (const auto &[known, listed, buffers, after] : astCases) {
    m_net.bridges = known;
    Build();
    TraceLines().clear();
    m_net.bridges = listed;
    HostmonBridgeRefresh();
    Texts seen;
    for (const std::string &line : TraceLines()) {
      if (line.starts_with("New bridge name buffer [")) {
        seen.push_back(line.substr(24, line.size() - 27));  // up to "].\n"
      }
    }
    EXPECT_EQ(seen, buffers) << ::testing::PrintToString(listed);
    EXPECT_EQ(BridgeNames(), after);
    Clear();
  }
}

}  // namespace
}  // namespace lantest
