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
  // The same, under the item's wire MAC.
  Lease Mine() const {
    Lease lease = Other();
    lease.macAddr = "AA:BB:CC:DD:EE:01";
    return lease;
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
  EXPECT_STREQ(m_pstItem->acHostName, "laptop");
  EXPECT_EQ(MlogLines(), (std::vector<std::string>{
                             "update VMAC[AA:BB:**:**:**:01]RMAC[AA:BB:**:**:**:01]TO[00:11:"
                             "**:**:**:55]IP[0]DHCP[0]Port[eth0]\n"}));
}

TEST_F(LeasesTest, LeaseUnderTheRealMacIgnoresCase) {
  strcpy(m_pstItem->acRealMac, "0A:1B:22:33:44:55");
  Lease lease = Other();
  lease.chAddr = "0a:1b:22:33:44:55";
  lease.hostName = "phone";
  ASSERT_TRUE(m_root.WriteLeases(std::vector<Lease>{lease}));
  EXPECT_EQ(Read(), 0u);
  EXPECT_STREQ(m_pstItem->acHostName, "phone");
  EXPECT_STREQ(m_pstItem->acRealMac, "0a:1b:22:33:44:55");
}

TEST_F(LeasesTest, AddressLeasedToAnotherMacOnlyMarksTheLease) {
  ASSERT_TRUE(m_root.WriteLeases(std::vector<Lease>{Other()}));
  EXPECT_EQ(Read(), 0u);
  EXPECT_EQ(m_pstItem->ulDhcp, 0u);
  EXPECT_EQ(m_pstItem->ulLeaseValid, 1u);
}

// Expiry against the uptime: equal is still current.
struct ExpiryCase {
  const char *pcName;
  int64_t lOffset;  // from now
  bool bCurrent;
};

class LeaseExpiryTest : public LeasesTest, public ::testing::WithParamInterface<ExpiryCase> {};

TEST_P(LeaseExpiryTest, CurrentUntilTheUptimePassesIt) {
  Lease lease = Mine();
  lease.ulLease = static_cast<uint32_t>(m_ulNow + GetParam().lOffset);
  ASSERT_TRUE(m_root.WriteLeases(std::vector<Lease>{lease}));
  (void)Read();
  EXPECT_EQ(m_pstItem->ulDhcp, GetParam().bCurrent ? 1u : 0u);
  EXPECT_EQ(m_pstItem->ulLeaseValid, GetParam().bCurrent ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, LeaseExpiryTest,
                         ::testing::Values(ExpiryCase{"Now", 0, true},
                                           ExpiryCase{"OneSecondAgo", -1, false},
                                           ExpiryCase{"Forever", 0xFFFFFFFFLL - 1000, true}),
                         CaseName());

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
  strcpy(m_pstItem->acHostName, "h");
  uint32_t bNeedSync = 7;
  HostmonReadLease(m_pstItem, &bNeedSync);
  EXPECT_EQ(bNeedSync, 7u);
  EXPECT_EQ(MlogLines(),
            (std::vector<std::string>{"updatetostatic VMAC[AA:BB:**:**:**:01]RMAC[00:11:"
                                      "**:**:**:55]IP[c0a80114]DHCP[1]Port[eth0]\n"}));
  EXPECT_EQ(m_pstItem->ulDhcp, 0u);
  EXPECT_EQ(m_pstItem->ulLeasedAddr, 0u);
  EXPECT_STREQ(m_pstItem->acHostName, "");
  // What the item is known by, and that it once had a lease, stay.
  EXPECT_STREQ(m_pstItem->acRealMac, "00:11:22:33:44:55");
  EXPECT_EQ(m_pstItem->ulLeaseValid, 1u);
}

TEST_F(LeasesTest, Ipv6OnlyItemIsStatic) {
  LUM_HOSTMON_MACAddressDel(m_pstItem);
  const Addr addr = Addr6("c0a8:114::1");  // its first four bytes spell the lease's address
  m_pstItem = Host(HostMac(1), m_pstEth0, {addr}, HOSTMON_AF_INET6);
  m_pstItem->ulDhcp = 1;
  Lease lease = Mine();
  ASSERT_TRUE(m_root.WriteLeases(std::vector<Lease>{lease}));
  (void)Read();
  EXPECT_EQ(m_pstItem->ulDhcp, 0u);
  EXPECT_EQ(m_pstItem->ulLeaseValid, 0u);
}

TEST_F(LeasesTest, Cp936HostNameIsConverted) {
  Lease lease = Mine();
  lease.hostName = "\xC4\xE3\xBA\xC3-pc";  // "ni hao" in cp936
  ASSERT_TRUE(m_root.WriteLeases(std::vector<Lease>{lease}));
  (void)Read();
  EXPECT_STREQ(m_pstItem->acHostName, "\xE4\xBD\xA0\xE5\xA5\xBD-pc");
  EXPECT_EQ(PrivilegeCalls(), (std::vector<std::string>{"Drop hostmon"}));
}

TEST_F(LeasesTest, UnterminatedFieldsAreCutToTheItemsFields) {
  Lease lease = Mine();
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
    Lease lease = Mine();
    lease.ulYiaddr = 0x0A000000 + static_cast<uint32_t>(i);
    lease.hostName = "host" + std::to_string(i);
    if (i == ulPos) lease.ulYiaddr = kAddr20;
    if (i == ulPos + 1) lease.ulYiaddr = kAddr20;  // a later match never wins
    records.push_back(leasestest::MakeRecord(lease));
  }
  ASSERT_TRUE(m_root.WriteLeases(records));
  (void)Read();
  EXPECT_STREQ(m_pstItem->acHostName, ("host" + std::to_string(ulPos)).c_str());
}

INSTANTIATE_TEST_SUITE_P(Positions, LeasePositionTest, ::testing::Values(0, 31, 32, 63, 64, 253));

TEST(InterfaceTypeTest, FirstLetterDecidesAndOutputIsCut) {
  const struct {
    const char *pcPort;
    uint32_t ulResult;
    const char *pcType;
  } astCases[] = {{"eth0.2", 0, "Ethernet"},
                  {"Wlan1", 0, "Wireless"},
                  {"usb0", 0, "Usb"},
                  {"Eth1", 0xBB0000, "keep"},
                  {nullptr, 0xBB0000, "keep"}};
  for (const auto &stCase : astCases) {
    char acType[16] = "keep";
    EXPECT_EQ(HostmonGetInterfaceType(stCase.pcPort, acType, sizeof(acType)), stCase.ulResult);
    EXPECT_STREQ(acType, stCase.pcType);
  }
  char acShort[4] = {};
  EXPECT_EQ(HostmonGetInterfaceType("eth0", acShort, sizeof(acShort)), 0u);
  EXPECT_STREQ(acShort, "Eth");
}

using HostInfoTest = ArpTest;

TEST_F(HostInfoTest, StaticHostIsNamedAfterItsMac) {
  const Mac mac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  MacAddressItem *pstItem = Host(mac, m_pstEth0, {Addr4("192.168.1.20")});
  HostInfo stInfo{};
  EXPECT_EQ(HostmonGetHostInfo(pstItem, &stInfo), 0u);
  EXPECT_STREQ(stInfo.acHostName, "Static-00:11:22:33:44:55");
  EXPECT_EQ(stInfo.ulLease, 0xFFFFFFFFu);
  EXPECT_STREQ(stInfo.acInterface, "br0");
}

}  // namespace
}  // namespace arptest
