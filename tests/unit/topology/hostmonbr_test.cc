// The bridge and port registry.
#include <sys/socket.h>
#include <unistd.h>

#include "platform/eventloop.h"
#include "tests/unit/topology/topofixture.h"

namespace {

using topotest::TopologyTest;
using TopoBridgeRegistryTest = TopologyTest;

TEST_F(TopoBridgeRegistryTest, TwoNamesGiveTwoBridgesInOrderWithTheirAddresses) {
  AddPlatformBridge(1);
  AddPlatformBridge(0);
  EXPECT_EQ(LUM_HOSTMON_BridgeInitAll(), 0u);
  EXPECT_EQ(BridgeNames(), (std::vector<std::string>{"br1", "br0"}));
  Bridge *pstBr1 = LUM_HOSTMON_BridgeFind("br1");
  ASSERT_NE(pstBr1, nullptr);
  const uint8_t aucMac[6] = {0x02, 0, 0, 0, 1, 1};
  EXPECT_EQ(memcmp(pstBr1->aucMac, aucMac, 6), 0);
  EXPECT_EQ(pstBr1->ulIpAddr, Ip("192.168.1.1"));
}

TEST_F(TopoBridgeRegistryTest, ReloadRereadsAddressesAndKeepsOldIpWhenItIsGone) {
  AddPlatformBridge(0);
  AddPlatformBridge(1);
  ASSERT_EQ(LUM_HOSTMON_BridgeInitAll(), 0u);
  m_sys.interfaces["br0"].aucMac[5] = 0x77;
  m_sys.interfaces["br0"].ulIpAddr = Ip("10.0.0.1");
  m_sys.interfaces.erase("br1");  // a vanished interface changes nothing
  LUM_HOSTMON_BridgeReloadAll();
  EXPECT_EQ(LUM_HOSTMON_BridgeFind("br0")->aucMac[5], 0x77);
  EXPECT_EQ(LUM_HOSTMON_BridgeFind("br0")->ulIpAddr, Ip("10.0.0.1"));
  EXPECT_EQ(LUM_HOSTMON_BridgeFind("br1")->ulIpAddr, Ip("192.168.1.1"));
  EXPECT_EQ(BridgeNames().size(), 2u);
}

TEST_F(TopoBridgeRegistryTest, LongNameIsQueriedUnderItsFirst15Characters) {
  AddInterface("bridge-number-1", 9, Ip("10.9.9.1"));  // 15 characters
  Bridge *pstBridge = LUM_HOSTMON_BridgeAdd("bridge-number-1-and-more");
  ASSERT_NE(pstBridge, nullptr);
  EXPECT_STREQ(pstBridge->pcName, "bridge-number-1-and-more");
  EXPECT_EQ(pstBridge->aucMac[5], 9);
  EXPECT_EQ(pstBridge->ulIpAddr, Ip("10.9.9.1"));
  // Exactly 16 characters: also cut, so it finds the same interface.
  EXPECT_NE(LUM_HOSTMON_BridgeAdd("bridge-number-12"), nullptr);
}

class TopoPortRegistryTest : public TopologyTest {
 protected:
  void SetUp() override {
    TopologyTest::SetUp();
    AddPlatformBridge(0);
    AddPlatformBridge(1);
    ASSERT_EQ(LUM_HOSTMON_BridgeInitAll(), 0u);
    m_pstBr0 = LUM_HOSTMON_BridgeFind("br0");
    m_pstBr1 = LUM_HOSTMON_BridgeFind("br1");
    ASSERT_NE(m_pstBr1, nullptr);
  }
  Bridge *m_pstBr0 = nullptr;
  Bridge *m_pstBr1 = nullptr;
};

TEST_F(TopoPortRegistryTest, GetOrAddReturnsAPortOfAnotherBridgeUnchanged) {
  Port *pstPort = LUM_HOSTMON_PortAdd(m_pstBr0, "eth1");
  EXPECT_EQ(LUM_HOSTMON_PortGetOrAdd(m_pstBr1, "eth1"), pstPort);
  EXPECT_EQ(pstPort->pstBridge, m_pstBr0);
  EXPECT_EQ(LUM_UTIL_ListGetCount(LUM_HOSTMON_GetPortList()), 1u);
  Port *pstNew = LUM_HOSTMON_PortGetOrAdd(m_pstBr1, "eth2");
  ASSERT_NE(pstNew, nullptr);
  EXPECT_EQ(pstNew->pstBridge, m_pstBr1);
}

TEST_F(TopoPortRegistryTest, BridgeDelTakesItsPortsHostsAndIcmp6RegistrationOnly) {
  Port *pstA = LUM_HOSTMON_PortAdd(m_pstBr1, "eth1");
  Port *pstOther = LUM_HOSTMON_PortAdd(m_pstBr0, "eth0");
  Port *pstB = LUM_HOSTMON_PortAdd(m_pstBr1, "eth2");
  ASSERT_NE(AddHost(pstA, 1), nullptr);
  ASSERT_NE(AddHost(pstOther, 2), nullptr);
  ASSERT_NE(AddHost(pstB, 3), nullptr);
  ASSERT_NE(AddHost(pstA, 4), nullptr);

  // A registration of this bridge's own and the shared ARP one.
  int aiFds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, aiFds), 0);
  uint32_t ulIcmp6 = 0;
  uint32_t ulArp = 0;
  ASSERT_EQ(LUM_UTIL_SockBaseReg(
                aiFds[0], 5, [](LUM_SOCK_REG *) {}, 1, m_pstBr1, &ulIcmp6),
            0u);
  ASSERT_EQ(LUM_UTIL_SockBaseReg(
                aiFds[1], 1, [](LUM_SOCK_REG *) {}, 1, nullptr, &ulArp),
            0u);
  m_pstBr1->ulIcmp6SockHandle = ulIcmp6;
  m_pstBr1->ulArpSockHandle = ulArp;
  m_pstBr0->ulArpSockHandle = ulArp;
  ASSERT_EQ(lum::loop::RegistrationCount(), 2u);

  LUM_HOSTMON_BridgeDel(m_pstBr1);
  EXPECT_EQ(BridgeNames(), (std::vector<std::string>{"br0"}));
  EXPECT_EQ(PortPlaces(), (std::vector<std::string>{"eth0@br0"}));
  EXPECT_EQ(HostCount(), 1u);
  EXPECT_EQ(HostCount(pstOther), 1u);
  EXPECT_EQ(lum::loop::RegistrationCount(), 1u);
  EXPECT_EQ(LUM_UTIL_SockBaseDelete(ulArp), 0u);
  close(aiFds[0]);
  close(aiFds[1]);
}

}  // namespace
