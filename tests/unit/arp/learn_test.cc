// Learning, one situation of a sighting at a time, and the host objects it
// removes or looks up in the database.
#include <cstring>
#include <string>
#include <vector>

#include "tests/unit/arp/arp_fixture.h"

namespace arptest {
namespace {

using lum::testing::MlogLines;

class LearnTest : public ArpTest {
 protected:
  uint32_t Learn(const Mac &mac, const char *pcIp, Port *pstPort = nullptr) {
    const Addr addr = Addr4(pcIp);
    return HostmonLearnHost(m_pstBr, pstPort != nullptr ? pstPort : m_pstEth0, mac.data(),
                            HOSTMON_AF_INET, addr.data());
  }
};

TEST_F(LearnTest, NewDeviceGetsOneItemWithOneAddress) {
  EXPECT_EQ(Learn(HostMac(1), "192.168.1.20"), 1u);
  ASSERT_EQ(ItemCount(), 1u);
  MacAddressItem *pstItem = LUM_HOSTMON_GetMacList();
  EXPECT_EQ(pstItem->pstPort, m_pstEth0);
  EXPECT_STREQ(pstItem->acRealMac, "AA:BB:CC:DD:EE:01");
  ASSERT_EQ(AddrCount(pstItem), 1u);
  EXPECT_EQ(memcmp(pstItem->pstIpList->aucAddr, Addr4("192.168.1.20").data(), 16), 0);
  EXPECT_EQ(MlogLines().front(), "rcv new device arp, ip[192.168.1.20], mac[AA:BB:**:**:**:01]\n");
}

TEST_F(LearnTest, FullTableIgnoresANewDevice) {
  for (uint32_t i = 0; i < HOSTMON_MAX_MAC_ITEMS; ++i) {
    const Mac mac = {0x00, 0x11, 0x22, 0x33, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
    ASSERT_NE(LUM_HOSTMON_MACAddressNew(m_pstEth0, mac.data()), nullptr) << i;
  }
  EXPECT_EQ(Learn(HostMac(1), "192.168.1.20"), 0u);
  EXPECT_EQ(ItemCount(), 254u);
}

TEST_F(LearnTest, DeviceBackUnderItsRealMacTakesIt) {
  MacAddressItem *pstItem = Host(HostMac(1), m_pstEth0, {Addr4("192.168.1.20")});
  strcpy(pstItem->acRealMac, "aa:bb:cc:dd:ee:99");
  pstItem->ulDhcp = 1;
  pstItem->ulLeasedAddr = 0xC0A80114;
  // The host object already knows the address under the new wire MAC, so the
  // change comes from the MAC alone.
  AddHostObject(AddLanDevice(), "192.168.1.20", "AA:BB:CC:DD:EE:99", "Ethernet");
  ClearRecords();
  EXPECT_EQ(Learn(HostMac(0x99), "192.168.1.20"), 1u);
  ASSERT_EQ(ItemCount(), 1u);
  EXPECT_EQ(LUM_HOSTMON_GetMacList(), pstItem);
  EXPECT_EQ(memcmp(pstItem->aucMac, HostMac(0x99).data(), 6), 0);
  ASSERT_FALSE(MlogLines().empty());
  EXPECT_EQ(MlogLines().front(),
            "recome VM[AA:BB:**:**:**:01]RM[AA:BB:**:**:**:99]IP[c0a80114]DHCP[1]Pt[eth0]\n");
}

TEST_F(LearnTest, PortMoveProbesTheOldPortAndAddsNothing) {
  MacAddressItem *pstMoving = Host(HostMac(1), m_pstEth0, {Addr4("192.168.1.20")});
  MacAddressItem *pstLeft = Host(HostMac(2), m_pstEth0, {Addr4("192.168.1.21")});
  MacAddressItem *pstOther = Host(HostMac(3), m_pstEth1, {Addr4("192.168.1.22")});
  EXPECT_EQ(Learn(HostMac(1), "192.168.1.30", m_pstEth1), 1u);
  EXPECT_EQ(pstMoving->pstPort, m_pstEth1);
  // The sighting's address waits for the next sighting.
  EXPECT_EQ(AddrCount(pstMoving), 1u);
  EXPECT_EQ(pstLeft->pstIpList->ucProbeCount, 1u);
  EXPECT_EQ(pstOther->pstIpList->ucProbeCount, 0u);
  // The mover is probed with the old port's hosts: it is still counted there.
  EXPECT_EQ(pstMoving->pstIpList->ucProbeCount, 1u);
  EXPECT_EQ(SentTargets(), (std::vector<uint32_t>{Ip("192.168.1.20"), Ip("192.168.1.21")}));
}

TEST_F(LearnTest, KnownAddressIsRefreshed) {
  MacAddressItem *pstItem = Host(HostMac(1), m_pstEth0, {Addr4("192.168.1.20")});
  pstItem->pstIpList->ucProbeCount = 2;
  lum::testing::AdvanceMs(7000);
  EXPECT_EQ(Learn(HostMac(1), "192.168.1.20"), 1u);  // no host object yet
  EXPECT_EQ(pstItem->pstIpList->ucProbeCount, 0u);
  EXPECT_EQ(pstItem->pstIpList->ulLastSeen, LUM_UTIL_GetSysUpTime());
  EXPECT_TRUE(m_sys.sent.empty());
}

// The host object that makes a refresh a non-event: same address text, same
// wire MAC text in any case, under any LAN device.
struct DbCase {
  const char *pcName;
  const char *pcAddr;
  const char *pcWire;
  bool bSecondLanDevice;
  uint32_t ulResult;
};

class KnownAddressDbTest : public LearnTest, public ::testing::WithParamInterface<DbCase> {};

TEST_P(KnownAddressDbTest, ResultFollowsTheHostObject) {
  const DbCase &c = GetParam();
  Host(HostMac(1), m_pstEth0, {Addr4("192.168.1.20")});
  const uint32_t ulDev = AddLanDevice();
  const uint32_t ulDev2 = AddLanDevice();
  AddHostObject(ulDev, "192.168.1.99", "AA:BB:CC:DD:EE:01", "Ethernet");
  AddHostObject(c.bSecondLanDevice ? ulDev2 : ulDev, c.pcAddr, c.pcWire, "Ethernet");
  EXPECT_EQ(Learn(HostMac(1), "192.168.1.20"), c.ulResult);
  EXPECT_EQ(HostmonIsHostInDb("192.168.1.20", HostMac(1).data()), c.ulResult == 0 ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KnownAddressDbTest,
    ::testing::Values(DbCase{"Same", "192.168.1.20", "AA:BB:CC:DD:EE:01", false, 0},
                      DbCase{"LowerCaseMac", "192.168.1.20", "aa:bb:cc:dd:ee:01", false, 0},
                      DbCase{"UnderSecondLanDevice", "192.168.1.20", "AA:BB:CC:DD:EE:01", true, 0},
                      DbCase{"OtherMac", "192.168.1.20", "AA:BB:CC:DD:EE:02", false, 1},
                      DbCase{"AddressPrefixOnly", "192.168.1.2", "AA:BB:CC:DD:EE:01", false, 1},
                      DbCase{"LongerAddress", "192.168.1.200", "AA:BB:CC:DD:EE:01", false, 1}),
    CaseName());

TEST_F(LearnTest, NewAddressIsAddedAndEveryAddressProbed) {
  MacAddressItem *pstItem = Host(HostMac(1), m_pstEth0, {Addr4("192.168.1.20")});
  EXPECT_EQ(Learn(HostMac(1), "192.168.1.21"), 1u);
  ASSERT_EQ(AddrCount(pstItem), 2u);
  for (IpAddressItem *pstIp = pstItem->pstIpList; pstIp != nullptr; pstIp = pstIp->pstNext) {
    EXPECT_EQ(pstIp->ucProbeCount, 1u);
  }
  EXPECT_EQ(m_sys.sent.size(), 2u);
}

TEST_F(LearnTest, ThirtyFourthAddressIsRefusedAndAllProbed) {
  std::vector<Addr> addrs;
  for (int i = 0; i < 33; ++i) {
    addrs.push_back(Addr4(("192.168.1." + std::to_string(100 + i)).c_str()));
  }
  MacAddressItem *pstItem = Host(HostMac(1), m_pstEth0, addrs);
  ASSERT_EQ(AddrCount(pstItem), 33u);
  EXPECT_EQ(Learn(HostMac(1), "192.168.1.20"), 0u);
  EXPECT_EQ(AddrCount(pstItem), 33u);
  EXPECT_EQ(m_sys.sent.size(), 33u);
  for (IpAddressItem *pstIp = pstItem->pstIpList; pstIp != nullptr; pstIp = pstIp->pstNext) {
    EXPECT_EQ(pstIp->ucProbeCount, 1u);
  }
}

// A host object that claims the address from another kind of interface.
struct SameIpCase {
  const char *pcName;
  const char *pcPort;
  const char *pcObjType;
  const char *pcObjAddr;
  bool bDeleted;
};

class DeleteSameIpTest : public ArpTest, public ::testing::WithParamInterface<SameIpCase> {};

TEST_P(DeleteSameIpTest, DeletesOnlyAnotherKindOfInterface) {
  const SameIpCase &c = GetParam();
  const uint32_t ulDev = AddLanDevice();
  const uint32_t ulKept = AddHostObject(ulDev, "192.168.1.99", "AA:BB:CC:DD:EE:09", "Wireless");
  const uint32_t ulHost = AddHostObject(ulDev, c.pcObjAddr, "AA:BB:CC:DD:EE:01", c.pcObjType);
  const Addr addr = Addr4("192.168.1.20");
  LUM_HOSTMON_DeleteSameIpInfo(c.pcPort, HOSTMON_AF_INET, addr.data());
  EXPECT_EQ(HostObjectExists(ulDev, ulHost), !c.bDeleted);
  EXPECT_TRUE(HostObjectExists(ulDev, ulKept));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeleteSameIpTest,
    ::testing::Values(
        SameIpCase{"WirelessSeenOnEthernet", "eth0", "Wireless", "192.168.1.20", true},
        SameIpCase{"EthernetSeenOnEthernet", "eth0", "Ethernet", "192.168.1.20", false},
        SameIpCase{"EthernetSeenOnWireless", "wlan0", "Ethernet", "192.168.1.20", true},
        // Compared over the port name's length: "Ethe" against "Ethe".
        SameIpCase{"TypeSharesThePortNameLength", "eth0", "Ether", "192.168.1.20", false},
        SameIpCase{"PortWithoutType", "x0", "Wireless", "192.168.1.20", true},
        SameIpCase{"BothWithoutType", "x0", "", "192.168.1.20", false}),
    CaseName());

}  // namespace
}  // namespace arptest
