// The sync pass's view of the topology in the database: LAN device instances
// of the bridges and interface object paths of the ports.
#include "dbsync/dbsync.h"
#include "tests/unit/topology/topofixture.h"

namespace {

using topotest::TopologyTest;

constexpr const char *kLanDev = "InternetGatewayDevice.LANDevice.";

class TopoPortDomainTest : public TopologyTest {
 protected:
  static std::string Path(uint32_t ulLanDev, const std::string &what, uint32_t ulInst) {
    return kLanDev + std::to_string(ulLanDev) + "." + what + "." + std::to_string(ulInst);
  }
  char m_acBuf[256] = {};
};

TEST_F(TopoPortDomainTest, EthernetObjectGivesItsPathWithoutTheTrailingDot) {
  const uint32_t ulLanDev = AddLanDevice();
  const uint32_t ulFirst = AddEthIf(ulLanDev, "eth0");
  const uint32_t ulSecond = AddEthIf(ulLanDev, "eth1", 0);  // Enable does not matter here
  EXPECT_EQ(HostmonGetPortDomain(m_acBuf, sizeof(m_acBuf), "eth1"), 0u);
  EXPECT_EQ(std::string(m_acBuf), Path(ulLanDev, "LANEthernetInterfaceConfig", ulSecond));
  EXPECT_EQ(HostmonGetPortDomain(m_acBuf, sizeof(m_acBuf), "eth0"), 0u);
  EXPECT_EQ(std::string(m_acBuf), Path(ulLanDev, "LANEthernetInterfaceConfig", ulFirst));
}

TEST_F(TopoPortDomainTest, WlanObjectCountsOnlyWhileEnabled) {
  const uint32_t ulLanDev = AddLanDevice();
  (void)AddEthIf(ulLanDev, "eth0");
  (void)AddWlanIf(ulLanDev, "wl0", 0);
  const uint32_t ulOn = AddWlanIf(ulLanDev, "wl1", 1);
  EXPECT_EQ(HostmonGetPortDomain(m_acBuf, sizeof(m_acBuf), "wl0"), HOSTMON_ERR_NOT_FOUND);
  EXPECT_EQ(HostmonGetPortDomain(m_acBuf, sizeof(m_acBuf), "wl1"), 0u);
  EXPECT_EQ(std::string(m_acBuf), Path(ulLanDev, "WLANConfiguration", ulOn));
}

TEST_F(TopoPortDomainTest, RefreshGivesEveryPortItsPathOrTheEmptyText) {
  AddPlatformBridge(0);
  ASSERT_EQ(LUM_HOSTMON_BridgeInitAll(), 0u);
  Bridge *pstBr0 = LUM_HOSTMON_BridgeFind("br0");
  Port *pstEth = LUM_HOSTMON_PortAdd(pstBr0, "eth0");
  Port *pstWl = LUM_HOSTMON_PortAdd(pstBr0, "wl0");
  Port *pstGone = LUM_HOSTMON_PortAdd(pstBr0, "eth9");
  ASSERT_NE(pstGone, nullptr);
  pstGone->pcDomainName = strdup("stale");
  const uint32_t ulLanDev = AddLanDevice();
  const uint32_t ulEth = AddEthIf(ulLanDev, "eth0");
  const uint32_t ulWl = AddWlanIf(ulLanDev, "wl0", 1);
  HostmonRefreshPortDomains();
  const std::string eth = Path(ulLanDev, "LANEthernetInterfaceConfig", ulEth);
  EXPECT_EQ(std::string(pstEth->pcDomainName), eth);
  EXPECT_EQ(std::string(pstWl->pcDomainName), Path(ulLanDev, "WLANConfiguration", ulWl));
  EXPECT_STREQ(pstGone->pcDomainName, "");
}

class TopoLanDeviceIdTest : public TopologyTest {};

TEST_F(TopoLanDeviceIdTest, EachBridgeTakesTheLanDeviceOfItsBridgeNumber) {
  AddPlatformBridge(0);
  AddPlatformBridge(1);
  AddPlatformBridge(2);
  ASSERT_EQ(LUM_HOSTMON_BridgeInitAll(), 0u);
  const uint32_t ulDevA = AddLanDevice();
  const uint32_t ulDevB = AddLanDevice();
  const uint32_t ulDevC = AddLanDevice();
  AddBridgeNumber(ulDevA, 1);
  AddBridgeNumber(ulDevB, 11);
  AddBridgeNumber(ulDevC, 0);
  LUM_HOSTMON_BridgeFind("br2")->ulLanDeviceInst = 42;  // no object: keeps it
  HostmonRefreshLanDeviceIds();
  EXPECT_EQ(LUM_HOSTMON_BridgeFind("br0")->ulLanDeviceInst, ulDevC);
  EXPECT_EQ(LUM_HOSTMON_BridgeFind("br1")->ulLanDeviceInst, ulDevA);
  EXPECT_EQ(LUM_HOSTMON_BridgeFind("br2")->ulLanDeviceInst, 42u);
}

}  // namespace
