// The leases file reader: which record is a host's lease and what it takes from it.
#include <fstream>

#include "tests/unit/common/lan.h"

namespace lantest {
namespace {

using leasestest::Lease;

constexpr uint32_t kAddr20 = 0xC0A80114;  // 192.168.1.20 as the file holds it

class LeasesTest : public LanTest {
 protected:
  void SetUp() override {
    LanTest::SetUp();
    m_pstItem = Host(HostMac(1), m_pstEth0, {"192.168.1.20"});
  }
  uint32_t Read(const std::vector<Lease> &leases) {
    EXPECT_TRUE(m_root.WriteLeases(leases));
    HostmonLeasesWatchDrain();  // the write's events, as the loop delivers them
    uint32_t bNeedSync = 0;
    HostmonReadLease(m_pstItem, &bNeedSync);
    return bNeedSync;
  }
  // A current lease for someone else, or under the item's wire MAC.
  static Lease Other(uint32_t ulAddr = kAddr20, const char *pcWire = "22:22:22:22:22:22") {
    return {ulAddr, LUM_UTIL_GetSysUpTime() + 600, "11:11:11:11:11:11", pcWire, "", "", "br0"};
  }
  static Lease Mine(uint32_t ulAddr = kAddr20) { return Other(ulAddr, "AA:BB:CC:DD:EE:01"); }
  MacAddressItem *m_pstItem = nullptr;
};

// The cp936 name is converted, which needs the privileges dropped. The system
// tests see the vendor class taken.
TEST_F(LeasesTest, LeaseUnderTheWireMacInAnyCaseGivesANewRealMac) {
  Lease lease = {
      kAddr20, 2000, "00:11:22:33:44:55", "aa:bb:cc:dd:ee:01", "MSFT 5.0", "\xC4\xE3\xBA\xC3-pc",
      "br0"};
  EXPECT_EQ(Read({Other(kAddr20 + 1, "AA:BB:CC:DD:EE:01"), lease}), 1u);
  EXPECT_STREQ(m_pstItem->acRealMac, "00:11:22:33:44:55");
  EXPECT_EQ(m_pstItem->ulDhcp, 1u);
  EXPECT_EQ(m_pstItem->ulLeasedAddr, kAddr20);
  EXPECT_STREQ(m_pstItem->acHostName, "\xE4\xBD\xA0\xE5\xA5\xBD-pc");
  EXPECT_EQ(PrivilegeCalls(), Texts{"Drop hostmon"});
  EXPECT_EQ(MlogLines(), Texts{"update VMAC[AA:BB:**:**:**:01]RMAC[AA:BB:**:**:**:01]TO[00:11:"
                               "**:**:**:55]IP[0]DHCP[0]Port[eth0]\n"});
}

// Another MAC's lease only marks it valid; one under the real MAC (any case)
// matches; a lease is current until the uptime passes its expiry.
TEST_F(LeasesTest, RealMacMatchesOtherMacsOnlyMarkAndExpiryIsInclusive) {
  EXPECT_EQ(Read({Other()}), 0u);
  EXPECT_EQ(m_pstItem->ulDhcp * 10 + m_pstItem->ulLeaseValid, 1u);
  strcpy(m_pstItem->acRealMac, "11:11:11:11:11:1A");
  Lease lease = Other();
  lease.chAddr = "11:11:11:11:11:1a";
  EXPECT_EQ(Read({lease}), 0u);
  EXPECT_EQ(m_pstItem->ulDhcp, 1u);
  EXPECT_STREQ(m_pstItem->acRealMac, "11:11:11:11:11:1a");
  for (int64_t lOffset : {0LL, -1LL, 0xFFFFFFFFLL - 1000}) {
    lease = Mine();
    lease.ulLease = static_cast<uint32_t>(LUM_UTIL_GetSysUpTime() + lOffset);
    m_pstItem->ulLeaseValid = 0;
    (void)Read({lease});
    const uint32_t ulWant = lOffset >= 0 ? 11u : 0u;
    EXPECT_EQ(m_pstItem->ulDhcp * 10 + m_pstItem->ulLeaseValid, ulWant) << lOffset;
  }
}

TEST_F(LeasesTest, AnyIpv4AddressOfTheItemMatchesButNotAnIpv6One) {
  AddIp(m_pstItem, "192.168.1.21");
  (void)Read({Mine(kAddr20 + 1)});
  EXPECT_EQ(m_pstItem->ulLeasedAddr, kAddr20 + 1);
  LUM_HOSTMON_MACAddressDel(m_pstItem);
  m_pstItem = Host(HostMac(1), m_pstEth0, {"c0a8:114::1"});  // first bytes: the lease's address
  (void)Read({Mine()});
  EXPECT_EQ(m_pstItem->ulLeaseValid, 0u);
}

TEST_F(LeasesTest, MissingFileMakesTheItemStaticButKeepsWhatItIsKnownBy) {
  strcpy(m_pstItem->acRealMac, "00:11:22:33:44:55");
  m_pstItem->ulDhcp = m_pstItem->ulLeaseValid = 1;
  m_pstItem->ulLeasedAddr = kAddr20;
  strcpy(m_pstItem->acHostName, "h");
  uint32_t bNeedSync = 7;
  HostmonReadLease(m_pstItem, &bNeedSync);
  EXPECT_EQ(bNeedSync, 7u);
  EXPECT_EQ(MlogLines(), Texts{"updatetostatic VMAC[AA:BB:**:**:**:01]RMAC[00:11:"
                               "**:**:**:55]IP[c0a80114]DHCP[1]Port[eth0]\n"});
  EXPECT_EQ(m_pstItem->ulDhcp + m_pstItem->ulLeasedAddr, 0u);
  EXPECT_STREQ(m_pstItem->acHostName, "");
  EXPECT_STREQ(m_pstItem->acRealMac, "00:11:22:33:44:55");
  EXPECT_EQ(m_pstItem->ulLeaseValid, 1u);  // it once had a lease
}

TEST_F(LeasesTest, UnterminatedFieldsAreCutToTheItemsFields) {
  HostInfo rec;
  memset(&rec, 'Z', sizeof(rec));  // no text field terminated, padding included
  rec.ulYiaddr = kAddr20;
  rec.ulLease = 0xFFFFFFFF;
  memcpy(rec.acMacAddr, "AA:BB:CC:DD:EE:01", sizeof(rec.acMacAddr));
  ASSERT_TRUE(m_root.WriteLeases(std::vector<HostInfo>{rec}));
  uint32_t bNeedSync = 0;
  HostmonReadLease(m_pstItem, &bNeedSync);
  EXPECT_EQ(strlen(m_pstItem->acRealMac), 17u);
  EXPECT_EQ(strlen(m_pstItem->acVendorClass), 63u);
  EXPECT_EQ(strlen(m_pstItem->acHostName), 64u);
  EXPECT_EQ(std::string(m_pstItem->acLeaseInterface), std::string(15, 'Z'));
}

TEST_F(LeasesTest, FirstMatchIsFoundOnEitherSideOfAReadChunk) {
  for (uint32_t ulPos : {0, 63, 64, 253}) {
    std::vector<Lease> leases;
    for (uint32_t i = 0; i < 254; ++i) {
      // A later match never wins.
      leases.push_back(Mine(i == ulPos || i == ulPos + 1 ? kAddr20 : i));
      leases.back().hostName = "host" + std::to_string(i);
    }
    (void)Read(leases);
    EXPECT_EQ(std::string(m_pstItem->acHostName), "host" + std::to_string(ulPos));
  }
}

// The watched file: its records stay in memory until an event for it is
// delivered, and their expiry is compared with the uptime of each look-up.
class LeasesCopyTest : public LeasesTest {
 protected:
  uint32_t Look() {
    uint32_t bNeedSync = 0;
    HostmonReadLease(m_pstItem, &bNeedSync);
    return m_pstItem->ulDhcp;
  }
  uint32_t Delivered() {
    HostmonLeasesWatchDrain();
    return Look();
  }
  bool RewriteInPlace(const Lease &lease) const {
    const HostInfo rec = leasestest::MakeRecord(lease);
    std::ofstream out(m_root.LeasesPath(), std::ios::binary);  // truncated: the same file
    return out.write(reinterpret_cast<const char *>(&rec), sizeof(rec)).flush().good();
  }
  bool ReplaceByRename(const Lease &lease) const {
    const std::string next = m_root.LeasesPath() + ".new";
    return leasestest::WriteLeases(next, {lease}) &&
           rename(next.c_str(), m_root.LeasesPath().c_str()) == 0;
  }
};

TEST_F(LeasesCopyTest, KeptCopyStillExpiresAndEveryWayOfChangingTheFileIsSeenOnceDelivered) {
  Lease lease = Mine();
  lease.ulLease = LUM_UTIL_GetSysUpTime() + 10;
  (void)Read({lease});
  const uint32_t ulOpens = HostmonLeasesOpensForTest();
  AdvanceMs(10000);
  EXPECT_EQ(Look(), 1u);  // current up to its last second
  AdvanceMs(1000);
  EXPECT_EQ(Look(), 0u);
  // A file beside it changes nothing.
  ASSERT_TRUE(leasestest::WriteLeases(m_root.LeasesPath() + ".bak", {Mine()}));
  EXPECT_EQ(Delivered(), 0u);
  EXPECT_EQ(HostmonLeasesOpensForTest(), ulOpens);

  ASSERT_TRUE(RewriteInPlace(Mine()));
  EXPECT_EQ(Look(), 0u);  // not delivered yet
  EXPECT_EQ(Delivered(), 1u);
  ASSERT_TRUE(ReplaceByRename(Mine(kAddr20 + 1)));
  EXPECT_EQ(Delivered(), 0u);
  ASSERT_TRUE(ReplaceByRename(Mine()));
  EXPECT_EQ(Delivered(), 1u);
  m_root.RemoveLeases();
  EXPECT_EQ(Delivered(), 0u);
  ASSERT_TRUE(ReplaceByRename(Mine()));  // created
  EXPECT_EQ(Delivered(), 1u);
}

// Beyond 4,096 records the file is not kept: it is read at each look-up.
TEST_F(LeasesCopyTest, AFileTooLargeToKeepIsReadAtEachLookUp) {
  for (uint32_t ulCount : {4096u, 4097u}) {
    std::vector<Lease> leases(ulCount - 1, Mine(kAddr20 + 1));
    leases.push_back(Mine());
    (void)Read(leases);
    const uint32_t ulOpens = HostmonLeasesOpensForTest();
    EXPECT_EQ(Look(), 1u) << ulCount;
    EXPECT_EQ(HostmonLeasesOpensForTest() - ulOpens, ulCount > 4096 ? 1u : 0u) << ulCount;
  }
}

// Without its folder the file is read at each look-up, and the watch is tried
// again once a second; a folder removed ends the watch.
TEST_F(LeasesCopyTest, WithoutItsFolderTheFileIsReadAtEachLookUp) {
  EXPECT_EQ(Look(), 0u);
  ASSERT_TRUE(m_root.WriteLeases({Mine()}));
  uint32_t ulOpens = HostmonLeasesOpensForTest();
  EXPECT_EQ(Look() + Look(), 2u);
  EXPECT_EQ(HostmonLeasesOpensForTest(), ulOpens + 2);
  AdvanceMs(1000);
  EXPECT_EQ(Look() + Look(), 2u);
  EXPECT_EQ(HostmonLeasesOpensForTest(), ulOpens + 3);
  m_root.RemoveLeases();
  const std::string folder = m_root.LeasesPath().substr(0, m_root.LeasesPath().rfind('/'));
  ASSERT_EQ(rmdir(folder.c_str()), 0);
  EXPECT_EQ(Delivered(), 0u);
  ASSERT_TRUE(m_root.WriteLeases({Mine()}));
  EXPECT_EQ(Look(), 1u);
}

}  // namespace
}  // namespace lantest
