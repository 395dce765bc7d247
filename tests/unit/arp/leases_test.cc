// The leases file reader, the interface types and the HostInfo of a host.
#include <cstring>
#include <string>
#include <vector>

#include "tests/unit/arp/arp_fixture.h"

namespace arptest {
namespace {

using leasestest::Lease;
using lum::testing::MlogLines;
using lum::testing::PrivilegeCalls;
using lum::testing::TraceLines;

constexpr uint32_t kAddr20 = 0xC0A80114;  // 192.168.1.20 as the file holds it

class LeasesTest : public ArpTest {
 protected:
  void SetUp() override {
    ArpTest::SetUp();
    m_pstItem = Host(HostMac(1), m_pstEth0, {Addr4("192.168.1.20")});
    ASSERT_NE(m_pstItem, nullptr);
    m_ulNow = LUM_UTIL_GetSysUpTime();
  }
  uint32_t Read() {
    uint32_t bNeedSync = 0;
    HostmonReadLease(m_pstItem, &bNeedSync);
    return bNeedSync;
  }
  // A current lease of .20 for someone else; the test gives it the item's MACs.
  Lease Other(uint32_t ulAddr = kAddr20) const {
    return {ulAddr, m_ulNow + 600, "11:11:11:11:11:11", "22:22:22:22:22:22", "", "", "br0"};
  }
  MacAddressItem *m_pstItem = nullptr;
  uint32_t m_ulNow = 0;
};

TEST_F(LeasesTest, LeaseUnderTheWireMacGivesANewRealMac) {
  ASSERT_TRUE(
      m_root.WriteLeases(std::vector<Lease>{Other(0xC0A80115),
                                            {kAddr20, m_ulNow + 600, "00:11:22:33:44:55",
                                             "aa:bb:cc:dd:ee:01", "MSFT 5.0", "laptop", "br0"}}));
  EXPECT_EQ(Read(), 1u);
  EXPECT_STREQ(m_pstItem->acRealMac, "00:11:22:33:44:55");
  EXPECT_EQ(m_pstItem->ulDhcp, 1u);
  EXPECT_EQ(m_pstItem->ulLeaseValid, 1u);
  EXPECT_EQ(m_pstItem->ulLeasedAddr, kAddr20);
  EXPECT_EQ(m_pstItem->ulLeaseExpire, m_ulNow + 600);
  EXPECT_STREQ(m_pstItem->acVendorClass, "MSFT 5.0");
  EXPECT_STREQ(m_pstItem->acHostName, "laptop");
  EXPECT_STREQ(m_pstItem->acLeaseInterface, "br0");
  EXPECT_EQ(MlogLines(), (std::vector<std::string>{
                             "update VMAC[AA:BB:**:**:**:01]RMAC[AA:BB:**:**:**:01]TO[00:11:"
                             "**:**:**:55]IP[0]DHCP[0]Port[eth0]\n"}));
  EXPECT_EQ(TraceLines(), (std::vector<std::string>{
                              "Open the leases file\n",
                              "hostmon update dhcpsinfo VMAC [AA:BB:**:**:**:01] "
                              "RMAC[AA:BB:**:**:**:01]TO[00:11:**:**:**:55] IP[0] DHCP [0] Port "
                              "[eth0]\n"}));
}

TEST_F(LeasesTest, LeaseUnderTheRealMacIgnoresCase) {
  strcpy(m_pstItem->acRealMac, "0A:1B:22:33:44:55");
  Lease lease = Other();
  lease.chAddr = "0a:1b:22:33:44:55";
  lease.hostName = "phone";
  ASSERT_TRUE(m_root.WriteLeases(std::vector<Lease>{lease}));
  EXPECT_EQ(Read(), 0u);
  EXPECT_EQ(m_pstItem->ulDhcp, 1u);
  EXPECT_STREQ(m_pstItem->acHostName, "phone");
  EXPECT_STREQ(m_pstItem->acRealMac, "0a:1b:22:33:44:55");
  EXPECT_TRUE(MlogLines().empty());
}

TEST_F(LeasesTest, AddressLeasedToAnotherMacOnlyMarksTheLease) {
  ASSERT_TRUE(m_root.WriteLeases(std::vector<Lease>{Other()}));
  EXPECT_EQ(Read(), 0u);
  EXPECT_EQ(m_pstItem->ulDhcp, 0u);
  EXPECT_EQ(m_pstItem->ulLeaseValid, 1u);
  EXPECT_STREQ(m_pstItem->acRealMac, "AA:BB:CC:DD:EE:01");
}

// Expiry against the uptime: equal is still current.
struct ExpiryCase {
  const char *pcName;
  int64_t lOffset;  // from now
  bool bCurrent;
};

class LeaseExpiryTest : public LeasesTest, public ::testing::WithParamInterface<ExpiryCase> {};

TEST_P(LeaseExpiryTest, CurrentUntilTheUptimePassesIt) {
  Lease lease = Other();
  lease.macAddr = "AA:BB:CC:DD:EE:01";
  lease.ulLease = static_cast<uint32_t>(m_ulNow + GetParam().lOffset);
  ASSERT_TRUE(m_root.WriteLeases(std::vector<Lease>{lease}));
  (void)Read();
  EXPECT_EQ(m_pstItem->ulDhcp, GetParam().bCurrent ? 1u : 0u);
  EXPECT_EQ(m_pstItem->ulLeaseValid, GetParam().bCurrent ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, LeaseExpiryTest,
                         ::testing::Values(ExpiryCase{"Now", 0, true},
                                           ExpiryCase{"OneSecondAgo", -1, false},
                                           ExpiryCase{"Later", 1, true},
                                           ExpiryCase{"Forever", 0xFFFFFFFFLL - 1000, true},
                                           ExpiryCase{"AtBoot", -1000, false}),
                         CaseName());

TEST_F(LeasesTest, ExpiredRecordGivesWayToALaterOne) {
  Lease expired = Other();
  expired.macAddr = "AA:BB:CC:DD:EE:01";
  expired.ulLease = m_ulNow - 1;
  expired.hostName = "old";
  Lease current = expired;
  current.ulLease = m_ulNow;
  current.hostName = "new";
  Lease later = current;
  later.hostName = "later";
  ASSERT_TRUE(m_root.WriteLeases(std::vector<Lease>{expired, current, later}));
  (void)Read();
  EXPECT_STREQ(m_pstItem->acHostName, "new");
}

TEST_F(LeasesTest, MatchOnAnyIpv4AddressOfTheItem) {
  const Addr second = Addr4("192.168.1.21");
  ASSERT_NE(LUM_HOSTMON_MACAddressAddIP(m_pstItem, HOSTMON_AF_INET, second.data()), nullptr);
  Lease lease = Other(0xC0A80115);
  lease.macAddr = "AA:BB:CC:DD:EE:01";
  ASSERT_TRUE(m_root.WriteLeases(std::vector<Lease>{lease}));
  (void)Read();
  EXPECT_EQ(m_pstItem->ulLeasedAddr, 0xC0A80115u);
}

TEST_F(LeasesTest, MissingFileMakesTheItemStatic) {
  strcpy(m_pstItem->acRealMac, "00:11:22:33:44:55");
  m_pstItem->ulDhcp = 1;
  m_pstItem->ulLeaseValid = 1;
  m_pstItem->ulLeasedAddr = kAddr20;
  m_pstItem->ulLeaseExpire = 5;
  strcpy(m_pstItem->acVendorClass, "v");
  strcpy(m_pstItem->acHostName, "h");
  strcpy(m_pstItem->acLeaseInterface, "br0");
  uint32_t bNeedSync = 7;
  HostmonReadLease(m_pstItem, &bNeedSync);
  EXPECT_EQ(bNeedSync, 7u);
  EXPECT_EQ(TraceLines().front(), "Leases file not exist\n");
  EXPECT_EQ(MlogLines(),
            (std::vector<std::string>{"updatetostatic VMAC[AA:BB:**:**:**:01]RMAC[00:11:"
                                      "**:**:**:55]IP[c0a80114]DHCP[1]Port[eth0]\n"}));
  EXPECT_EQ(TraceLines().back(),
            "hostmon update dhcpsinfo VMAC [AA:BB:**:**:**:01] RMAC[00:11:**:**:**:55] "
            "IP[c0a80114] DHCP [1] Port [eth0]\n");
  EXPECT_EQ(m_pstItem->ulDhcp, 0u);
  EXPECT_EQ(m_pstItem->ulLeasedAddr, 0u);
  EXPECT_EQ(m_pstItem->ulLeaseExpire, 0u);
  EXPECT_STREQ(m_pstItem->acVendorClass, "");
  EXPECT_STREQ(m_pstItem->acHostName, "");
  EXPECT_STREQ(m_pstItem->acLeaseInterface, "");
  // What the item is known by, and that it once had a lease, stay.
  EXPECT_STREQ(m_pstItem->acRealMac, "00:11:22:33:44:55");
  EXPECT_EQ(m_pstItem->ulLeaseValid, 1u);
}

TEST_F(LeasesTest, StaticItemStaysQuietInTheModuleLog) {
  ASSERT_TRUE(m_root.WriteLeases(std::vector<Lease>{}));
  (void)Read();
  EXPECT_TRUE(MlogLines().empty());
  EXPECT_EQ(TraceLines().front(), "Open the leases file\n");
}

TEST_F(LeasesTest, EveryCallReadsTheFileAfresh) {
  Lease lease = Other();
  lease.macAddr = "AA:BB:CC:DD:EE:01";
  ASSERT_TRUE(m_root.WriteLeases(std::vector<Lease>{lease}));
  (void)Read();
  EXPECT_EQ(m_pstItem->ulDhcp, 1u);
  m_root.RemoveLeases();
  (void)Read();
  EXPECT_EQ(m_pstItem->ulDhcp, 0u);
  ASSERT_TRUE(m_root.WriteLeases(std::vector<Lease>{lease}));
  (void)Read();
  EXPECT_EQ(m_pstItem->ulDhcp, 1u);
}

TEST_F(LeasesTest, Ipv6OnlyItemIsStatic) {
  LUM_HOSTMON_MACAddressDel(m_pstItem);
  const Addr addr = Addr6("c0a8:114::1");  // its first four bytes spell the lease's address
  m_pstItem = Host(HostMac(1), m_pstEth0, {addr}, HOSTMON_AF_INET6);
  m_pstItem->ulDhcp = 1;
  Lease lease = Other();
  lease.macAddr = "AA:BB:CC:DD:EE:01";
  ASSERT_TRUE(m_root.WriteLeases(std::vector<Lease>{lease}));
  (void)Read();
  EXPECT_EQ(m_pstItem->ulDhcp, 0u);
  EXPECT_EQ(m_pstItem->ulLeaseValid, 0u);
}

TEST_F(LeasesTest, Cp936HostNameIsConverted) {
  Lease lease = Other();
  lease.macAddr = "AA:BB:CC:DD:EE:01";
  lease.hostName = "\xC4\xE3\xBA\xC3-pc";  // "ni hao" in cp936
  ASSERT_TRUE(m_root.WriteLeases(std::vector<Lease>{lease}));
  (void)Read();
  EXPECT_STREQ(m_pstItem->acHostName, "\xE4\xBD\xA0\xE5\xA5\xBD-pc");
  EXPECT_EQ(PrivilegeCalls(), (std::vector<std::string>{"Drop hostmon"}));
}

TEST_F(LeasesTest, Utf8HostNameIsKeptAsItIs) {
  Lease lease = Other();
  lease.macAddr = "AA:BB:CC:DD:EE:01";
  lease.hostName = "\xE4\xBD\xA0\xE5\xA5\xBD-pc";
  ASSERT_TRUE(m_root.WriteLeases(std::vector<Lease>{lease}));
  (void)Read();
  EXPECT_STREQ(m_pstItem->acHostName, "\xE4\xBD\xA0\xE5\xA5\xBD-pc");
  EXPECT_TRUE(PrivilegeCalls().empty());
}

TEST_F(LeasesTest, LongConvertedNameIsCutBetweenCharacters) {
  Lease lease = Other();
  lease.macAddr = "AA:BB:CC:DD:EE:01";
  for (int i = 0; i < 32; ++i) lease.hostName += "\xC4\xE3";  // 64 bytes, 96 in UTF-8
  ASSERT_TRUE(m_root.WriteLeases(std::vector<Lease>{lease}));
  (void)Read();
  std::string expected;
  for (int i = 0; i < 21; ++i) expected += "\xE4\xBD\xA0";
  EXPECT_EQ(std::string(m_pstItem->acHostName), expected);
}

TEST_F(LeasesTest, UnterminatedFieldsAreCutToTheItemsFields) {
  Lease lease = Other();
  lease.macAddr = "AA:BB:CC:DD:EE:01";
  HostInfo rec = leasestest::MakeRecord(lease);
  memset(rec.acChAddr, 'A', sizeof(rec.acChAddr));
  memset(rec.acVendorClass, 'B', sizeof(rec.acVendorClass));
  memset(rec.acHostName, 'C', sizeof(rec.acHostName));
  memset(rec.aucPad1, 'C', sizeof(rec.aucPad1));
  memset(rec.acInterface, 'D', sizeof(rec.acInterface));
  memset(rec.aucUnused1, 'D', sizeof(rec.aucUnused1));
  ASSERT_TRUE(m_root.WriteLeases(std::vector<HostInfo>{rec}));
  EXPECT_EQ(Read(), 1u);
  EXPECT_EQ(std::string(m_pstItem->acRealMac), std::string(17, 'A'));
  EXPECT_EQ(std::string(m_pstItem->acVendorClass), std::string(63, 'B'));
  EXPECT_EQ(std::string(m_pstItem->acHostName), std::string(64, 'C'));
  EXPECT_EQ(std::string(m_pstItem->acLeaseInterface), std::string(15, 'D'));
}

// The file is read in chunks; a match anywhere, on either side of a chunk's
// end, is found, and nothing after it changes the result.
class LeasePositionTest : public LeasesTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(LeasePositionTest, FindsTheRecordWherever) {
  const size_t ulPos = GetParam();
  std::vector<HostInfo> records;
  for (size_t i = 0; i < 254; ++i) {
    Lease lease = Other(0x0A000000 + static_cast<uint32_t>(i));
    lease.macAddr = "AA:BB:CC:DD:EE:01";
    lease.hostName = "host" + std::to_string(i);
    if (i == ulPos) lease.ulYiaddr = kAddr20;
    if (i == ulPos + 1) lease.ulYiaddr = kAddr20;  // a later match never wins
    records.push_back(leasestest::MakeRecord(lease));
  }
  ASSERT_TRUE(m_root.WriteLeases(records));
  (void)Read();
  EXPECT_STREQ(m_pstItem->acHostName, ("host" + std::to_string(ulPos)).c_str());
}

INSTANTIATE_TEST_SUITE_P(Positions, LeasePositionTest,
                         ::testing::Values(0, 1, 30, 31, 32, 33, 63, 64, 127, 200, 252, 253));

TEST_F(LeasesTest, UnfinishedLastRecordIsTheEndOfTheFile) {
  Lease match = Other();
  match.macAddr = "AA:BB:CC:DD:EE:01";
  std::vector<HostInfo> records(3, leasestest::MakeRecord(Other(0x0A000001)));
  std::string bytes = leasestest::Serialize(records);
  const HostInfo tail = leasestest::MakeRecord(match);
  bytes.append(reinterpret_cast<const char *>(&tail), sizeof(tail) - 1);
  ASSERT_TRUE(m_root.WriteRaw(bytes));
  (void)Read();
  EXPECT_EQ(m_pstItem->ulDhcp, 0u);

  records.push_back(tail);
  ASSERT_TRUE(m_root.WriteLeases(records, 300));
  (void)Read();
  EXPECT_EQ(m_pstItem->ulDhcp, 1u);
}

TEST_F(LeasesTest, MissingFlagIsRefused) {
  HostmonReadLease(m_pstItem, nullptr);
  EXPECT_EQ(TraceLines(), (std::vector<std::string>{"bNeedSync is null\n"}));
}

// Port names and their interface types.
struct TypeCase {
  const char *pcPort;
  uint32_t ulResult;
  const char *pcType;
};

class InterfaceTypeTest : public ::testing::TestWithParam<TypeCase> {};

TEST_P(InterfaceTypeTest, FirstLetterDecides) {
  char acType[16] = "keep";
  EXPECT_EQ(HostmonGetInterfaceType(GetParam().pcPort, acType, sizeof(acType)),
            GetParam().ulResult);
  EXPECT_STREQ(acType, GetParam().pcType);
}

INSTANTIATE_TEST_SUITE_P(
    Ports, InterfaceTypeTest,
    ::testing::Values(TypeCase{"eth0.2", 0, "Ethernet"}, TypeCase{"wlan0", 0, "Wireless"},
                      TypeCase{"Wlan1", 0, "Wireless"}, TypeCase{"usb0", 0, "Usb"},
                      TypeCase{"Eth1", 0xBB0000, "keep"}, TypeCase{"ath0", 0xBB0000, "keep"},
                      TypeCase{"", 0xBB0000, "keep"}, TypeCase{nullptr, 0xBB0000, "keep"}));

TEST(InterfaceTypeCut, OutputIsCutToItsSize) {
  char acType[4] = {};
  EXPECT_EQ(HostmonGetInterfaceType("eth0", acType, sizeof(acType)), 0u);
  EXPECT_STREQ(acType, "Eth");
}

class HostInfoTest : public ArpTest {};

TEST_F(HostInfoTest, StaticHostIsNamedAfterItsMac) {
  const Mac mac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  MacAddressItem *pstItem = Host(mac, m_pstEth0, {Addr4("192.168.1.20")});
  HostInfo stInfo;
  memset(&stInfo, 0, sizeof(stInfo));
  EXPECT_EQ(HostmonGetHostInfo(pstItem, &stInfo), 0u);
  EXPECT_STREQ(stInfo.acHostName, "Static-00:11:22:33:44:55");
  EXPECT_EQ(stInfo.ulLease, 0xFFFFFFFFu);
  EXPECT_STREQ(stInfo.acInterface, "br0");
  EXPECT_STREQ(stInfo.acChAddr, "00:11:22:33:44:55");
  EXPECT_STREQ(stInfo.acMacAddr, "00:11:22:33:44:55");
  EXPECT_EQ(stInfo.ulIpv4Active, 1u);
  EXPECT_EQ(stInfo.ulYiaddr, 0u);
  EXPECT_STREQ(stInfo.acVendorClass, "");
}

TEST_F(HostInfoTest, DhcpHostCarriesItsLease) {
  MacAddressItem *pstItem = Host(HostMac(1), m_pstEth0, {Addr4("192.168.1.20")});
  strcpy(pstItem->acRealMac, "00:11:22:33:44:55");
  pstItem->ulDhcp = 1;
  pstItem->ulLeasedAddr = kAddr20;
  pstItem->ulLeaseExpire = 4321;
  strcpy(pstItem->acVendorClass, "MSFT 5.0");
  strcpy(pstItem->acHostName, "laptop");
  strcpy(pstItem->acLeaseInterface, "br9");
  HostInfo stInfo;
  memset(&stInfo, 0, sizeof(stInfo));
  EXPECT_EQ(HostmonGetHostInfo(pstItem, &stInfo), 1u);
  EXPECT_EQ(stInfo.ulYiaddr, kAddr20);
  EXPECT_EQ(stInfo.ulLease, 4321u);
  EXPECT_STREQ(stInfo.acChAddr, "00:11:22:33:44:55");
  EXPECT_STREQ(stInfo.acMacAddr, "AA:BB:CC:DD:EE:01");
  EXPECT_STREQ(stInfo.acVendorClass, "MSFT 5.0");
  EXPECT_STREQ(stInfo.acHostName, "laptop");
  EXPECT_STREQ(stInfo.acInterface, "br9");
  EXPECT_EQ(stInfo.ulIpv4Active, 1u);
}

TEST_F(HostInfoTest, StaticHostWithoutPortHasNoInterface) {
  MacAddressItem *pstItem = Host(HostMac(1), nullptr, {Addr4("192.168.1.20")});
  HostInfo stInfo;
  memset(&stInfo, 0, sizeof(stInfo));
  EXPECT_EQ(HostmonGetHostInfo(pstItem, &stInfo), 0u);
  EXPECT_STREQ(stInfo.acInterface, "");
  EXPECT_STREQ(stInfo.acHostName, "Static-AA:BB:CC:DD:EE:01");
}

}  // namespace
}  // namespace arptest
