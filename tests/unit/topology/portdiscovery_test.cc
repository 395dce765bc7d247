// LAN port discovery from the layer-2 interface objects.
#include "tests/unit/topology/topofixture.h"

namespace {

using topotest::TopologyTest;

class TopoPortDiscoveryTest : public TopologyTest {
 protected:
  // A LAN interface of the database that the platform places on brN.
  void AddLanPort(const std::string &name, uint32_t ulKey) {
    (void)AddAvailableIf("LANInterface", name);
    m_net.bridgeKeys[name] = ulKey;
  }
};

TEST_F(TopoPortDiscoveryTest, KeyOneCreatesBridgeBr1ThenThePort) {
  AddPlatformBridge(1);
  AddLanPort("eth1", 1);
  EXPECT_NE(HostmonProcAddOtherPort(), 0u);  // the walk ends on a failed read
  EXPECT_EQ(BridgeNames(), (std::vector<std::string>{"br1"}));
  EXPECT_EQ(PortPlaces(), (std::vector<std::string>{"eth1@br1"}));
  EXPECT_EQ(LUM_HOSTMON_BridgeFind("br1")->ulIpAddr, Ip("192.168.1.1"));
}

TEST_F(TopoPortDiscoveryTest, KnownBridgeIsReusedAndPortsKeepDatabaseOrder) {
  AddPlatformBridge(0);
  ASSERT_EQ(LUM_HOSTMON_BridgeInitAll(), 0u);
  Bridge *pstBr0 = LUM_HOSTMON_BridgeFind("br0");
  AddLanPort("wl0", 0);
  (void)AddAvailableIf("WANInterface", "nas0");  // not a LAN port: never looked at
  AddLanPort("eth0", 0);
  (void)HostmonProcAddOtherPort();
  EXPECT_EQ(LUM_HOSTMON_GetBridgeList(), pstBr0);
  EXPECT_EQ(PortPlaces(), (std::vector<std::string>{"wl0@br0", "eth0@br0"}));
  EXPECT_EQ(LUM_HOSTMON_PortFind("nas0"), nullptr);
}

TEST_F(TopoPortDiscoveryTest, LanTypeThatIsNotLanInterfaceFindsNoBridge) {
  AddPlatformBridge(0);
  (void)AddAvailableIf("X_LANPort", "eth9");
  m_net.bridgeKeys["eth9"] = 0;
  (void)HostmonProcAddOtherPort();
  EXPECT_EQ(LUM_HOSTMON_GetPortList(), nullptr);
  EXPECT_EQ(LUM_HOSTMON_GetBridgeList(), nullptr);
}

TEST_F(TopoPortDiscoveryTest, SecondRunCreatesNothingAndNamesEveryKnownPortOnce) {
  AddPlatformBridge(0);
  AddLanPort("eth0", 0);
  AddLanPort("eth1", 0);
  (void)HostmonProcAddOtherPort();
  ASSERT_EQ(PortPlaces().size(), 2u);
  const size_t ulSockets = m_sys.sockets.size();

  (void)HostmonProcAddOtherPort();
  EXPECT_EQ(PortPlaces(), (std::vector<std::string>{"eth0@br0", "eth1@br0"}));
  EXPECT_EQ(m_sys.sockets.size(), ulSockets);  // no interface query either
}

// The refresh's 4-byte buffer holds br0..br9; a cut name would name another
// bridge, so it is no answer.
struct KeyCase {
  uint32_t ulKey;
  uint32_t ulSize;
  uint32_t ulResult;
  const char *pcName;
};
void PrintTo(const KeyCase &c, std::ostream *os) {
  *os << "key " << c.ulKey << " into " << c.ulSize << " bytes";
}
class TopoBridgeNameSizeTest : public TopoPortDiscoveryTest,
                               public ::testing::WithParamInterface<KeyCase> {};

TEST_P(TopoBridgeNameSizeTest, NameFitsOrLookupFails) {
  AddLanPort("eth0", GetParam().ulKey);
  char acBuf[16] = {};
  EXPECT_EQ(HostmonGetBridgeNameOfPort("eth0", acBuf, GetParam().ulSize), GetParam().ulResult);
  if (GetParam().ulResult == 0) {
    EXPECT_STREQ(acBuf, GetParam().pcName);
  }
}

INSTANTIATE_TEST_SUITE_P(TopoKeys, TopoBridgeNameSizeTest,
                         ::testing::Values(KeyCase{0, 4, 0, "br0"}, KeyCase{9, 4, 0, "br9"},
                                           KeyCase{10, 4, 1, ""}, KeyCase{10, 16, 0, "br10"},
                                           KeyCase{1, 3, 1, ""}));

}  // namespace
