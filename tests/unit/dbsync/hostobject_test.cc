// Host objects as the pass fills them: every slot of a DHCP host (the system
// tests check a static one), the address change and conflict notices, host
// names, IPv6 sub-objects.
#include <tuple>

#include "tests/unit/dbsync/dbsync_fixture.h"

namespace synctest {
namespace {

using lantest::A;
using leasestest::Lease;

using HostObjectTest = SyncTest;

// A lease's name (the MAC when it has none) and vendor class replace what the
// object holds; without a lease only our own "Static-..." names are replaced.
TEST_F(HostObjectTest, DhcpHostsTakeTheirLeaseStaticHostsKeepUserNames) {
  const uint32_t ulExpiry = LUM_UTIL_GetSysUpTime() + 3600;
  ASSERT_TRUE(m_root.WriteLeases(std::vector<Lease>{
      {0x0A000014, ulExpiry, "00:11:22:33:44:55", MacText(2), "MSFT 5.0", "lap:top", "br0"},
      {0xC0A80115, ulExpiry, "00:11:22:33:44:66", MacText(3), "", "", "br0"},
  }));
  AddHostObject(1, {{0, "10.0.0.20"}, {5, "00:11:22:33:44:55"}, {8, "Old"}, {11, "Kitchen TV"}},
                {{14, 1}});
  AddHostObject(1, {{0, "192.168.1.8"}, {5, MacText(8)}, {8, "Old"}, {11, "Kitchen TV"}},
                {{14, 1}});
  AddHostObject(1, {{0, "192.168.1.10"}, {5, MacText(10)}, {11, "Static-old"}}, {{14, 1}});
  // 192.168.1.30 sorts first (the bridge's /24), yet the leased 10.0.0.20 wins.
  MacAddressItem *pstNamed = Host(2, m_pstWlan0, {"10.0.0.20", "192.168.1.30"});
  MacAddressItem *pstNameless = Host(3, m_pstEth1, {"192.168.1.21"});
  Host(8, m_pstEth0, {"192.168.1.8"});
  Host(10, m_pstEth0, {"192.168.1.10"});
  uint32_t ulChanged = 0;
  HostmonReadLease(pstNamed, &ulChanged);
  HostmonReadLease(pstNameless, &ulChanged);
  HostmonSyncWithDb(HOSTMON_AF_INET);

  const HostObject obj = Object("00:11:22:33:44:55");
  EXPECT_EQ(obj.text,
            (Slots{"10.0.0.20", "", "DHCP", "", "", "00:11:22:33:44:55", MacText(2), kWlan0Domain,
                   "MSFT 5.0", "", "", "lap-top", "Wireless", "", "", "", ""}));
  EXPECT_EQ(obj.num, (SlotNums{0, 0, 0, ulExpiry, 1000, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0}));
  EXPECT_EQ(Object("00:11:22:33:44:66").text[HOSTMON_HOST_SLOT_HOST_NAME], "00-11-22-33-44-66");
  EXPECT_EQ(Object(MacText(8)).text[HOSTMON_HOST_SLOT_HOST_NAME], "Kitchen TV");
  EXPECT_EQ(Object(MacText(8)).text[HOSTMON_HOST_SLOT_VENDOR], "Old");
  EXPECT_EQ(Object(MacText(10)).text[HOSTMON_HOST_SLOT_HOST_NAME], "Static-AA-BB-CC-DD-EE-0A");
}

// An IPv4 address the device gave itself is none: the object keeps the old
// address, its source, vendor and name, and goes off-line for IPv4.
TEST_F(HostObjectTest, LinkLocalOnlyIpv4LeavesAddressSlotsAlone) {
  AddHostObject(1, {{0, "192.168.1.50"}, {2, "DHCP"}, {5, MacText(3)}, {8, "V"}, {11, "N"}},
                {{14, 1}});
  Host(3, m_pstEth0, {"169.254.7.8"});
  HostmonSyncWithDb(HOSTMON_AF_INET);
  const HostObject obj = Object(MacText(3));
  EXPECT_EQ(obj.text, (Slots{"192.168.1.50", "", "DHCP", "", "", MacText(3), MacText(3),
                             kEth0Domain, "V", "", "", "N", "Ethernet", "", "", "", ""}));
  EXPECT_EQ(obj.num, (SlotNums{0, 0, 0, 0xFFFFFFFF, 1000, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(SentTypes(), Types{kChange});
}

TEST_F(HostObjectTest, AddressChangeSendsChangeAndConflictWithoutPause) {
  // A: was 192.168.1.5, now .7. B: off-line, still holds .7. C: had none.
  AddHostObject(1, {{0, "192.168.1.5"}, {5, MacText(5)}, {7, kEth0Domain}}, {{14, 1}});
  AddHostObject(1, {{0, "192.168.1.7"}, {5, MacText(6)}, {7, kEth0Domain}});
  AddHostObject(1, {{5, MacText(7)}, {7, kEth0Domain}});
  Host(5, m_pstEth0, {"192.168.1.7"});
  Host(7, m_pstEth0, {"192.168.1.7"});
  HostmonSyncWithDb(HOSTMON_AF_INET);
  // Only the host-change notices of A and C are paused.
  ASSERT_EQ(SentTypes(), (Types{kIpChange, kConflict, kChange, kChange}));
  EXPECT_EQ(lum::testing::SleptMs(), 800u);
  // The record as filled from the item, with the old address in transmission order.
  HostInfo stExpected = Info(MacText(5));
  stExpected.ulLease = 0xFFFFFFFF;
  leasestest::SetField(stExpected.acMacAddr, MacText(5));
  leasestest::SetField(stExpected.acHostName, "Static-AA-BB-CC-DD-EE-05");
  stExpected.ulIpv4Active = 1;
  leasestest::SetField(stExpected.acInterface, "br0");
  const uint8_t aucOld[4] = {192, 168, 1, 5};
  memcpy(&stExpected.ulOldIpAddr, aucOld, sizeof(aucOld));
  EXPECT_EQ(FirstDifference(0, stExpected), -1);
  leasestest::SetField(stExpected.acConflictMac, MacText(6));
  EXPECT_EQ(FirstDifference(1, stExpected), -1);
}

TEST_F(HostObjectTest, Ipv6SubObjectsMirrorTheItemEveryPass) {
  MacAddressItem *pstItem =
      Host(11, m_pstEth0, {"192.168.1.11", "2001:db8::1", "fe80::b", "2001:db8::2"});
  HostmonSyncWithDb(0);
  HostObject obj = Object(MacText(11));
  EXPECT_EQ(obj.text[HOSTMON_HOST_SLOT_IPV6_LL], "fe80::b");
  EXPECT_EQ(Ipv6Objects(1, obj.aulKeys[1]), (Strings{"2001:db8::1", "fe80::b", "2001:db8::2"}));
  EXPECT_EQ(obj.num[HOSTMON_HOST_SLOT_IPV6_ACTIVE], 1u);
  LUM_HOSTMON_IPAddressDel(pstItem, HOSTMON_AF_INET6, A("2001:db8::1").data());
  HostmonSyncWithDb(HOSTMON_AF_INET6);
  EXPECT_EQ(Ipv6Objects(1, obj.aulKeys[1]), (Strings{"fe80::b", "2001:db8::2"}));
  // Without a link-local address the host is no longer IPv6-active.
  LUM_HOSTMON_IPAddressDel(pstItem, HOSTMON_AF_INET6, A("fe80::b").data());
  HostmonSyncWithDb(HOSTMON_AF_INET6);
  obj = Object(MacText(11));
  EXPECT_EQ(obj.text[HOSTMON_HOST_SLOT_IPV6_LL], "");
  EXPECT_EQ(Ipv6Objects(1, obj.aulKeys[1]), Strings{"2001:db8::2"});
  EXPECT_EQ(obj.num[HOSTMON_HOST_SLOT_IPV6_ACTIVE], 0u);
}

// Whole addresses, other MACs only (in any case), and never the empty text of
// hosts without IPv4.
TEST_F(HostObjectTest, ConflictSearch) {
  AddHostObject(1, {{0, "192.168.1.70"}, {5, MacText(0x70)}});
  AddHostObject(1, {{0, "192.168.1.7"}, {5, MacText(7)}});
  AddHostObject(1, {{5, MacText(8)}});
  const std::tuple<const char *, const char *, const char *> astCases[] = {
      {"192.168.1.7", "AA:BB:CC:DD:EE:01", "AA:BB:CC:DD:EE:07"},
      {"192.168.1.7", "aa:bb:cc:dd:ee:07", ""},
      {"192.168.1", "AA:BB:CC:DD:EE:01", ""},
      {"", "AA:BB:CC:DD:EE:01", ""}};
  for (const auto &[pcIp, pcMac, pcOut] : astCases) {
    char acOut[18] = {};
    EXPECT_EQ(HostmonFindIpConflict(pcIp, pcMac, acOut, sizeof(acOut)), pcOut[0] ? 1u : 0u)
        << pcIp << " " << pcMac;
    EXPECT_STREQ(acOut, pcOut);
  }
}

}  // namespace
}  // namespace synctest
