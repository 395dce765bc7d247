// Learning, one situation of a sighting at a time, and the host objects it
// removes or looks up in the database.
#include <cstring>
#include <string>
#include <tuple>
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
  static size_t TimerUpdates() {
    size_t n = 0;
    for (const std::string &line : lum::testing::TraceLines()) {
      n += line.rfind("Got minimum timeout value for all IP addresses is [", 0) == 0 ? 1 : 0;
    }
    return n;
  }
};

TEST_F(LearnTest, NewDeviceGetsOneItemWithOneAddress) {
  EXPECT_EQ(Learn(HostMac(1), "192.168.1.20"), 1u);
  ASSERT_EQ(ItemCount(), 1u);
  MacAddressItem *pstItem = LUM_HOSTMON_GetMacList();
  EXPECT_EQ(pstItem->pstPort, m_pstEth0);
  EXPECT_STREQ(pstItem->acRealMac, "AA:BB:CC:DD:EE:01");
  ASSERT_EQ(AddrCount(pstItem), 1u);
  EXPECT_EQ(pstItem->pstIpList->ucFamily, HOSTMON_AF_INET);
  EXPECT_EQ(memcmp(pstItem->pstIpList->aucAddr, Addr4("192.168.1.20").data(), 16), 0);
  EXPECT_TRUE(Traced("Add a new MAC address now ...\n"));
  EXPECT_TRUE(Traced("Tell dhcps that new IP address [192.168.1.20] is added.\n"));
  EXPECT_EQ(MlogLines().front(), "rcv new device arp, ip[192.168.1.20], mac[AA:BB:**:**:**:01]\n");
}

TEST_F(LearnTest, NewDeviceSeenArmsTheTimerOnce) {
  const Addr addr = Addr4("192.168.1.20");
  HostmonHostSeen(m_pstBr, m_pstEth0, HostMac(1).data(), HOSTMON_AF_INET, addr.data());
  EXPECT_EQ(ItemCount(), 1u);
  EXPECT_EQ(TraceCount("Update timer now ...\n"), 1u);
  EXPECT_EQ(TimerUpdates(), 1u);
  uint64_t ulDueMs = 0;
  ASSERT_TRUE(lum::testing::TimerDueInMs(HostmonAgeingTimer(), &ulDueMs));
  EXPECT_EQ(ulDueMs, 290000u);
}

TEST_F(LearnTest, KnownAddressInDatabaseNeedsNoTimerNorSync) {
  Host(HostMac(1), m_pstEth0, {Addr4("192.168.1.20")});
  AddHostObject(AddLanDevice(), "192.168.1.20", "AA:BB:CC:DD:EE:01", "Ethernet");
  ClearRecords();
  const Addr addr = Addr4("192.168.1.20");
  HostmonHostSeen(m_pstBr, m_pstEth0, HostMac(1).data(), HOSTMON_AF_INET, addr.data());
  EXPECT_EQ(TraceCount("Update timer now ...\n"), 0u);
  EXPECT_EQ(TimerUpdates(), 0u);
}

TEST_F(LearnTest, FullTableIgnoresANewDevice) {
  for (uint32_t i = 0; i < HOSTMON_MAX_MAC_ITEMS; ++i) {
    const Mac mac = {0x00, 0x11, 0x22, 0x33, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
    ASSERT_NE(LUM_HOSTMON_MACAddressNew(m_pstEth0, mac.data()), nullptr) << i;
  }
  EXPECT_EQ(Learn(HostMac(1), "192.168.1.20"), 0u);
  EXPECT_EQ(ItemCount(), 254u);
  EXPECT_EQ(TraceCount("Too many MAC addresses detected, just ignore.\n"), 1u);
  EXPECT_EQ(LUM_HOSTMON_MACAddressGet(HostMac(1).data()), nullptr);
}

TEST_F(LearnTest, FullTableStillReportsAPortThatChangedBridge) {
  AddInterface("br1", Mac{0x02, 0, 0, 0, 0, 0x02}, Ip("192.168.2.1"));
  Bridge *pstBr1 = LUM_HOSTMON_BridgeAdd("br1");
  ASSERT_NE(pstBr1, nullptr);
  for (uint32_t i = 0; i < HOSTMON_MAX_MAC_ITEMS; ++i) {
    const Mac mac = {0x00, 0x11, 0x22, 0x33, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
    ASSERT_NE(LUM_HOSTMON_MACAddressNew(m_pstEth0, mac.data()), nullptr) << i;
  }
  const Addr addr = Addr4("192.168.2.20");
  EXPECT_EQ(HostmonLearnHost(pstBr1, m_pstEth1, HostMac(1).data(), HOSTMON_AF_INET, addr.data()),
            1u);
  EXPECT_EQ(m_pstEth1->pstBridge, pstBr1);
  EXPECT_TRUE(Traced("Port [eth1] has been moved from [br0] to [br1] ...\n"));
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
  const std::string line =
      "recome VM[AA:BB:**:**:**:01]RM[AA:BB:**:**:**:99]IP[c0a80114]DHCP[1]Pt[eth0]\n";
  ASSERT_FALSE(MlogLines().empty());
  EXPECT_EQ(MlogLines().front(), line);
  EXPECT_TRUE(Traced(line));
}

TEST_F(LearnTest, ItemWithoutPortIsReportedChanged) {
  MacAddressItem *pstItem = Host(HostMac(1), nullptr, {Addr4("192.168.1.20")});
  EXPECT_EQ(Learn(HostMac(1), "192.168.1.30"), 1u);
  EXPECT_TRUE(Traced("pstMac->pstPort is NULL\n"));
  EXPECT_EQ(pstItem->pstPort, nullptr);
  EXPECT_EQ(AddrCount(pstItem), 1u);
}

TEST_F(LearnTest, PortMoveProbesTheOldPortAndAddsNothing) {
  MacAddressItem *pstMoving = Host(HostMac(1), m_pstEth0, {Addr4("192.168.1.20")});
  MacAddressItem *pstLeft = Host(HostMac(2), m_pstEth0, {Addr4("192.168.1.21")});
  MacAddressItem *pstOther = Host(HostMac(3), m_pstEth1, {Addr4("192.168.1.22")});
  EXPECT_EQ(Learn(HostMac(1), "192.168.1.30", m_pstEth1), 1u);
  EXPECT_EQ(pstMoving->pstPort, m_pstEth1);
  EXPECT_TRUE(Traced(
      "MAC address [aa-bb-**-**-**-01] has been moved from port [eth0] to port [eth1] ...\n"));
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
  EXPECT_TRUE(Traced("The IP address [192.168.1.20] exists in hostmon, in DB status: [1].\n"));
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

TEST_F(LearnTest, HostObjectRemovedForItsInterfaceTypeNoLongerCounts) {
  Host(HostMac(1), m_pstEth0, {Addr4("192.168.1.20")});
  const uint32_t ulDev = AddLanDevice();
  const uint32_t ulHost = AddHostObject(ulDev, "192.168.1.20", "AA:BB:CC:DD:EE:01", "Wireless");
  EXPECT_EQ(Learn(HostMac(1), "192.168.1.20"), 1u);
  EXPECT_FALSE(HostObjectExists(ulDev, ulHost));
  EXPECT_TRUE(Traced("The IP address [192.168.1.20] exists in hostmon, in DB status: [1].\n"));
}

TEST_F(LearnTest, KnownIpv6AddressAlwaysAsksForASync) {
  const Addr addr = Addr6("fe80::1");
  Host(HostMac(1), m_pstEth0, {addr}, HOSTMON_AF_INET6);
  // Its host object, with the IPv4 text a host object holds.
  AddHostObject(AddLanDevice(), "192.168.1.20", "AA:BB:CC:DD:EE:01", "Ethernet");
  EXPECT_EQ(HostmonLearnHost(m_pstBr, m_pstEth0, HostMac(1).data(), HOSTMON_AF_INET6, addr.data()),
            1u);
  EXPECT_TRUE(Traced("The IP address [fe80::1] exists in hostmon, in DB status: [1].\n"));
}

TEST_F(LearnTest, NewAddressIsAddedAndEveryAddressProbed) {
  MacAddressItem *pstItem = Host(HostMac(1), m_pstEth0, {Addr4("192.168.1.20")});
  EXPECT_EQ(Learn(HostMac(1), "192.168.1.21"), 1u);
  ASSERT_EQ(AddrCount(pstItem), 2u);
  EXPECT_TRUE(Traced("Add new IP address for this MAC address now ...\n"));
  EXPECT_TRUE(Traced("detected new address for exist mac, do check now ...\n"));
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
  EXPECT_TRUE(Traced(
      "Too many IP addresses for MAC address [aa-bb-**-**-**-01] detected, need to refresh."));
  EXPECT_EQ(m_sys.sent.size(), 33u);
  for (IpAddressItem *pstIp = pstItem->pstIpList; pstIp != nullptr; pstIp = pstIp->pstNext) {
    EXPECT_EQ(pstIp->ucProbeCount, 1u);
  }
}

TEST_F(LearnTest, LeaseAppliedToANewDevice) {
  ASSERT_TRUE(m_root.WriteLeases(std::vector<leasestest::Lease>{
      {0xC0A80114, LUM_UTIL_GetSysUpTime() + 100, "00:11:22:33:44:55", "AA:BB:CC:DD:EE:01", "vc",
       "laptop", "br0"}}));
  EXPECT_EQ(Learn(HostMac(1), "192.168.1.20"), 1u);
  MacAddressItem *pstItem = LUM_HOSTMON_GetMacList();
  ASSERT_NE(pstItem, nullptr);
  EXPECT_STREQ(pstItem->acRealMac, "00:11:22:33:44:55");
  EXPECT_STREQ(pstItem->acHostName, "laptop");
  EXPECT_EQ(pstItem->ulDhcp, 1u);
}

TEST_F(LearnTest, DuplicateByRealMacIsRemovedOnRefresh) {
  MacAddressItem *pstOld = Host(HostMac(1), m_pstEth0, {Addr4("192.168.1.20")});
  strcpy(pstOld->acRealMac, "00:11:22:33:44:55");
  MacAddressItem *pstNew = Host(HostMac(2), m_pstEth0, {Addr4("192.168.1.21")});
  // The lease names the second device's wire MAC and the first one's real MAC.
  ASSERT_TRUE(m_root.WriteLeases(
      std::vector<leasestest::Lease>{{0xC0A80115, LUM_UTIL_GetSysUpTime(), "00:11:22:33:44:55",
                                      "AA:BB:CC:DD:EE:02", "", "", "br0"}}));
  AddHostObject(AddLanDevice(), "192.168.1.21", "AA:BB:CC:DD:EE:02", "Ethernet");
  EXPECT_EQ(Learn(HostMac(2), "192.168.1.21"), 1u);
  ASSERT_EQ(ItemCount(), 1u);
  EXPECT_EQ(LUM_HOSTMON_GetMacList(), pstNew);
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
  EXPECT_EQ(TraceCount("delete same ip\n"), c.bDeleted ? 1u : 0u);
  EXPECT_TRUE(Traced("LUM_HOSTMON_DeleteSameIpInfo  ip addr 192.168.1.20\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeleteSameIpTest,
    ::testing::Values(
        SameIpCase{"WirelessSeenOnEthernet", "eth0", "Wireless", "192.168.1.20", true},
        SameIpCase{"EthernetSeenOnEthernet", "eth0", "Ethernet", "192.168.1.20", false},
        SameIpCase{"EthernetSeenOnWireless", "wlan0", "Ethernet", "192.168.1.20", true},
        SameIpCase{"OtherAddress", "eth0", "Wireless", "192.168.1.21", false},
        // Compared over the port name's length: "Ethe" against "Ethe".
        SameIpCase{"TypeSharesThePortNameLength", "eth0", "Ether", "192.168.1.20", false},
        SameIpCase{"EmptyObjectType", "eth0", "", "192.168.1.20", true},
        SameIpCase{"PortWithoutType", "x0", "Wireless", "192.168.1.20", true},
        SameIpCase{"BothWithoutType", "x0", "", "192.168.1.20", false}),
    CaseName());

TEST_F(ArpTest, DeleteSameIpv6RemovesTheWholeHostObject) {
  const uint32_t ulDev = AddLanDevice();
  const uint32_t ulWireless = AddHostObject(ulDev, "", "AA:BB:CC:DD:EE:01", "Wireless");
  AddIpv6Object(ulDev, ulWireless, "fe80::2");
  AddIpv6Object(ulDev, ulWireless, "fe80::1");
  const uint32_t ulEthernet = AddHostObject(ulDev, "", "AA:BB:CC:DD:EE:02", "Ethernet");
  AddIpv6Object(ulDev, ulEthernet, "fe80::1");
  const Addr addr = Addr6("fe80::1");
  LUM_HOSTMON_DeleteSameIpInfo("eth0", HOSTMON_AF_INET6, addr.data());
  EXPECT_FALSE(HostObjectExists(ulDev, ulWireless));
  EXPECT_TRUE(HostObjectExists(ulDev, ulEthernet));
  EXPECT_EQ(TraceCount("delete same ipv6 addr\n"), 1u);
  uint32_t ulLeft = 0;
  EXPECT_EQ(LUM_DBGetNumOfObjs(nullptr, LUM_DB_KIND_HOST_IPV6, &ulLeft, nullptr), 0u);
  EXPECT_EQ(ulLeft, 1u);
}

TEST_F(ArpTest, DeleteSameIpRefusesMissingArguments) {
  const Addr addr = Addr4("192.168.1.20");
  LUM_HOSTMON_DeleteSameIpInfo(nullptr, HOSTMON_AF_INET, addr.data());
  LUM_HOSTMON_DeleteSameIpInfo("eth0", HOSTMON_AF_INET, nullptr);
  EXPECT_EQ(TraceCount(" pcPortName || pstAddr is NULL\n"), 2u);
}

TEST_F(ArpTest, DeleteSameIpWithUnknownFamilyOnlyTraces) {
  const uint32_t ulDev = AddLanDevice();
  const uint32_t ulHost = AddHostObject(ulDev, "192.168.1.20", "AA:BB:CC:DD:EE:01", "Wireless");
  const Addr addr = Addr4("192.168.1.20");
  LUM_HOSTMON_DeleteSameIpInfo("eth0", 7, addr.data());
  EXPECT_TRUE(Traced(" inet_ntop fail\n"));
  EXPECT_TRUE(HostObjectExists(ulDev, ulHost));
}

TEST_F(ArpTest, IsHostInDbRefusesMissingArguments) {
  EXPECT_EQ(HostmonIsHostInDb(nullptr, HostMac(1).data()), 0u);
  EXPECT_EQ(HostmonIsHostInDb("192.168.1.20", nullptr), 0u);
  EXPECT_EQ(HostmonIsHostInDb("192.168.1.20", HostMac(1).data()), 0u);
}

}  // namespace
}  // namespace arptest
