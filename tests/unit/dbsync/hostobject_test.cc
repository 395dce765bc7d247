// Host objects as the pass fills them: every slot for static and DHCP hosts,
// the address change and conflict notices, host names, IPv6 sub-objects.
#include "tests/unit/dbsync/dbsync_fixture.h"

namespace synctest {
namespace {

using leasestest::Lease;

class HostObjectTest : public SyncTest {
 protected:
  static void ExpectTexts(const HostObject &obj,
                          const std::vector<std::pair<uint32_t, std::string>> &texts) {
    for (const auto &[slot, text] : texts) EXPECT_EQ(obj.text[slot], text) << "slot " << slot;
  }
};

TEST_F(HostObjectTest, StaticHostFillsEverySlot) {
  lum::testing::AdvanceMs(5000);
  const uint32_t ulNow = LUM_UTIL_GetSysUpTime();
  // The link-local address is not the first IPv6 one: slot 1 takes it anyway.
  Host(0xFF, m_pstEth0, {"192.168.1.10", "2001:db8::5", "fe80::5"});
  HostmonSyncWithDb(0);

  HostObject obj;
  ASSERT_TRUE(FindHostObject("AA:BB:CC:DD:EE:FF", &obj));
  ExpectTexts(obj, {{0, "192.168.1.10"},
                    {1, "fe80::5"},
                    {2, "Static"},
                    {5, "AA:BB:CC:DD:EE:FF"},
                    {6, "AA:BB:CC:DD:EE:FF"},
                    {7, kEth0Domain},
                    {8, ""},
                    {9, ""},
                    {10, ""},
                    {11, "Static-AA-BB-CC-DD-EE-FF"},
                    {12, "Ethernet"},
                    {16, ""}});
  EXPECT_EQ(obj.num[HOSTMON_HOST_SLOT_LEASE], 0xFFFFFFFFu);
  EXPECT_EQ(static_cast<int32_t>(obj.num[HOSTMON_HOST_SLOT_LEASE]), -1);
  EXPECT_EQ(obj.num[HOSTMON_HOST_SLOT_LAST_CHANGE], ulNow);
  EXPECT_EQ(obj.num[HOSTMON_HOST_SLOT_IPV4_ACTIVE], 1u);
  EXPECT_EQ(obj.num[HOSTMON_HOST_SLOT_IPV6_ACTIVE], 1u);
}

TEST_F(HostObjectTest, DhcpHostTakesItsLease) {
  const uint32_t ulExpiry = LUM_UTIL_GetSysUpTime() + 3600;
  ASSERT_TRUE(m_root.WriteLeases(std::vector<Lease>{
      {0x0A000014, ulExpiry, "00:11:22:33:44:55", MacText(2), "MSFT 5.0", "lap:top", "br0"},
      {0xC0A80115, ulExpiry, "00:11:22:33:44:66", MacText(3), "", "", "br0"},
  }));
  // 192.168.1.30 sorts first (the bridge's /24), yet the leased 10.0.0.20 wins.
  MacAddressItem *pstNamed = Host(2, m_pstWlan0, {"10.0.0.20", "192.168.1.30"});
  MacAddressItem *pstNameless = Host(3, m_pstEth1, {"192.168.1.21"});
  ASSERT_NE(pstNameless, nullptr);
  uint32_t ulChanged = 0;
  HostmonReadLease(pstNamed, &ulChanged);
  HostmonReadLease(pstNameless, &ulChanged);
  ASSERT_EQ(pstNamed->ulDhcp, 1u);
  ASSERT_EQ(pstNameless->ulDhcp, 1u);
  HostmonSyncWithDb(HOSTMON_AF_INET);

  HostObject obj;
  ASSERT_TRUE(FindHostObject("00:11:22:33:44:55", &obj));
  ExpectTexts(obj, {{0, "10.0.0.20"},
                    {1, ""},
                    {2, "DHCP"},
                    {6, MacText(2)},
                    {7, kWlan0Domain},
                    {8, "MSFT 5.0"},
                    {11, "lap-top"},
                    {12, "Wireless"}});
  EXPECT_EQ(obj.num[HOSTMON_HOST_SLOT_LEASE], ulExpiry);
  EXPECT_EQ(obj.num[HOSTMON_HOST_SLOT_IPV4_ACTIVE], 1u);
  EXPECT_EQ(obj.num[HOSTMON_HOST_SLOT_IPV6_ACTIVE], 0u);

  ASSERT_TRUE(FindHostObject("00:11:22:33:44:66", &obj));
  ExpectTexts(obj, {{0, "192.168.1.21"},
                    {2, "DHCP"},
                    {6, MacText(3)},
                    {8, ""},
                    {11, "00-11-22-33-44-66"},
                    {12, "Ethernet"}});
}

TEST_F(HostObjectTest, PortWithoutTypeLetterClearsTheType) {
  const uint32_t aulLd1[LUM_DB_KEYS] = {1};
  (void)AddObject(aulLd1, LUM_DB_KIND_WLAN_CFG, {{2, "ath0"}}, {{0, 1}});
  Port *pstAth0 = LUM_HOSTMON_PortAdd(m_pstBr0, "ath0");
  ASSERT_NE(pstAth0, nullptr);
  // The device came from a wired port; its old type must not stay.
  (void)AddHostObject(1, {{0, "192.168.1.14"}, {5, MacText(4)}, {7, kEth0Domain}, {12, "Ethernet"}},
                      {{HOSTMON_HOST_SLOT_IPV4_ACTIVE, 1}});
  Host(4, pstAth0, {"192.168.1.14"});
  HostmonSyncWithDb(HOSTMON_AF_INET);

  HostObject obj;
  ASSERT_TRUE(FindHostObject(MacText(4), &obj));
  EXPECT_EQ(obj.text[HOSTMON_HOST_SLOT_IF_TYPE], "");
  EXPECT_EQ(obj.text[HOSTMON_HOST_SLOT_LAYER2],
            "InternetGatewayDevice.LANDevice.1.WLANConfiguration.2");
  EXPECT_EQ(Sent(LUM_MSG_HOSTMON_HOST_CHANGE).size(), 1u);  // new layer-2 interface
}

TEST_F(HostObjectTest, LinkLocalOnlyIpv4LeavesAddressSlotsAlone) {
  (void)AddHostObject(1,
                      {{0, "192.168.1.50"},
                       {2, "DHCP"},
                       {5, MacText(3)},
                       {7, kEth0Domain},
                       {8, "OldVendor"},
                       {11, "OldName"}},
                      {{HOSTMON_HOST_SLOT_IPV4_ACTIVE, 1}});
  Host(3, m_pstEth0, {"169.254.7.8"});
  HostmonSyncWithDb(HOSTMON_AF_INET);

  HostObject obj;
  ASSERT_TRUE(FindHostObject(MacText(3), &obj));
  EXPECT_EQ(obj.num[HOSTMON_HOST_SLOT_IPV4_ACTIVE], 0u);
  ExpectTexts(obj, {{0, "192.168.1.50"}, {2, "DHCP"}, {8, "OldVendor"}, {11, "OldName"}});
  EXPECT_EQ(obj.num[HOSTMON_HOST_SLOT_LEASE], 0xFFFFFFFFu);
  EXPECT_EQ(SentTypes(), std::vector<uint32_t>{LUM_MSG_HOSTMON_HOST_CHANGE});
}

TEST_F(HostObjectTest, AddressChangeSendsChangeAndConflictWithoutPause) {
  // A: was 192.168.1.5, now .7. B: off-line, still holds .7. C: had none.
  (void)AddHostObject(1, {{0, "192.168.1.5"}, {5, MacText(5)}, {7, kEth0Domain}},
                      {{HOSTMON_HOST_SLOT_IPV4_ACTIVE, 1}});
  (void)AddHostObject(1, {{0, "192.168.1.7"}, {5, MacText(6)}, {7, kEth0Domain}});
  (void)AddHostObject(1, {{5, MacText(7)}, {7, kEth0Domain}});
  Host(5, m_pstEth0, {"192.168.1.7"});
  Host(7, m_pstEth0, {"192.168.1.7"});
  HostmonSyncWithDb(HOSTMON_AF_INET);

  // Only the host-change notices of A and C are paused.
  ASSERT_EQ(SentTypes(),
            (std::vector<uint32_t>{LUM_MSG_HOSTMON_HOST_IP_CHANGE, LUM_MSG_HOSTMON_IP_CONFLICT,
                                   LUM_MSG_HOSTMON_HOST_CHANGE, LUM_MSG_HOSTMON_HOST_CHANGE}));
  EXPECT_EQ(lum::testing::SleptMs(), 800u);

  const auto changes = Sent(LUM_MSG_HOSTMON_HOST_IP_CHANGE);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].dest, "cms");
  // The record as filled from the item, with the old address in transmission order.
  HostInfo stExpected;
  memset(&stExpected, 0, sizeof(stExpected));
  stExpected.ulLease = 0xFFFFFFFF;
  leasestest::SetField(stExpected.acChAddr, MacText(5));
  leasestest::SetField(stExpected.acMacAddr, MacText(5));
  leasestest::SetField(stExpected.acHostName, "Static-AA-BB-CC-DD-EE-05");
  stExpected.ulIpv4Active = 1;
  leasestest::SetField(stExpected.acInterface, "br0");
  const uint8_t aucOld[4] = {192, 168, 1, 5};
  memcpy(&stExpected.ulOldIpAddr, aucOld, sizeof(aucOld));
  EXPECT_EQ(FirstDifference(changes[0].payload, stExpected), -1);

  leasestest::SetField(stExpected.acConflictMac, MacText(6));
  EXPECT_EQ(FirstDifference(Sent(LUM_MSG_HOSTMON_IP_CONFLICT)[0].payload, stExpected), -1);

  EXPECT_EQ(TraceCount("Host Ip changed!, old=[192.168.1.5], new=[192.168.1.7]"), 1u);
  EXPECT_EQ(TraceCount("Host Ip changed!, old=[], new=[192.168.1.7]"), 1u);
  HostObject obj;
  ASSERT_TRUE(FindHostObject(MacText(5), &obj));
  EXPECT_EQ(obj.text[HOSTMON_HOST_SLOT_IP], "192.168.1.7");
}

// A lease's name and vendor class replace what the object holds; without a
// lease only our own "Static-..." names are replaced.
TEST_F(HostObjectTest, NameAndVendorSurviveOnlyForStaticHosts) {
  ASSERT_TRUE(m_root.WriteLeases(std::vector<Lease>{
      {0xC0A80109, LUM_UTIL_GetSysUpTime() + 60, MacText(9), MacText(9), "HP", "printer", ""}}));
  for (const auto &[ucLast, name] : std::vector<std::pair<uint8_t, const char *>>{
           {8, "Kitchen TV"}, {9, "Kitchen TV"}, {10, "Static-old"}}) {
    const std::string ip = "192.168.1." + std::to_string(ucLast);
    (void)AddHostObject(1,
                        {{0, ip}, {5, MacText(ucLast)}, {7, kEth0Domain}, {8, "Old"}, {11, name}},
                        {{HOSTMON_HOST_SLOT_IPV4_ACTIVE, 1}});
    MacAddressItem *pstItem = Host(ucLast, m_pstEth0, {ip.c_str()});
    uint32_t ulChanged = 0;
    HostmonReadLease(pstItem, &ulChanged);
  }
  HostmonSyncWithDb(HOSTMON_AF_INET);

  const std::vector<HostObject> objs = HostObjects();
  ASSERT_EQ(objs.size(), 3u);
  EXPECT_EQ(objs[0].text[HOSTMON_HOST_SLOT_HOST_NAME], "Kitchen TV");
  EXPECT_EQ(objs[1].text[HOSTMON_HOST_SLOT_HOST_NAME], "printer");
  EXPECT_EQ(objs[2].text[HOSTMON_HOST_SLOT_HOST_NAME], "Static-AA-BB-CC-DD-EE-0A");
  EXPECT_EQ(objs[0].text[HOSTMON_HOST_SLOT_VENDOR], "Old");
  EXPECT_EQ(objs[1].text[HOSTMON_HOST_SLOT_VENDOR], "HP");
  EXPECT_EQ(objs[2].text[HOSTMON_HOST_SLOT_VENDOR], "Old");
}

TEST_F(HostObjectTest, Ipv6SubObjectsMirrorTheItemEveryPass) {
  MacAddressItem *pstItem =
      Host(11, m_pstEth0, {"192.168.1.11", "2001:db8::1", "fe80::b", "2001:db8::2"});
  HostmonSyncWithDb(0);
  HostObject obj;
  ASSERT_TRUE(FindHostObject(MacText(11), &obj));
  EXPECT_EQ(Ipv6Objects(1, obj.aulKeys[1]),
            (std::vector<std::string>{"2001:db8::1", "fe80::b", "2001:db8::2"}));
  EXPECT_EQ(obj.text[HOSTMON_HOST_SLOT_IPV6_LL], "fe80::b");
  EXPECT_EQ(obj.num[HOSTMON_HOST_SLOT_IPV6_ACTIVE], 1u);

  LUM_HOSTMON_IPAddressDel(pstItem, HOSTMON_AF_INET6, A6("2001:db8::1").data());
  HostmonSyncWithDb(HOSTMON_AF_INET6);
  EXPECT_EQ(Ipv6Objects(1, obj.aulKeys[1]), (std::vector<std::string>{"fe80::b", "2001:db8::2"}));

  // Without a link-local address the host is no longer IPv6-active.
  LUM_HOSTMON_IPAddressDel(pstItem, HOSTMON_AF_INET6, A6("fe80::b").data());
  HostmonSyncWithDb(HOSTMON_AF_INET6);
  ASSERT_TRUE(FindHostObject(MacText(11), &obj));
  EXPECT_EQ(Ipv6Objects(1, obj.aulKeys[1]), std::vector<std::string>{"2001:db8::2"});
  EXPECT_EQ(obj.text[HOSTMON_HOST_SLOT_IPV6_LL], "");
  EXPECT_EQ(obj.num[HOSTMON_HOST_SLOT_IPV6_ACTIVE], 0u);
}

TEST_F(HostObjectTest, ConflictSearchMatchesWholeAddressAndOtherMacOnly) {
  (void)AddHostObject(1, {{0, "192.168.1.70"}, {5, MacText(0x70)}});
  (void)AddHostObject(1, {{0, "192.168.1.7"}, {5, MacText(7)}});
  char acOut[18];
  struct Case {
    const char *pcIp, *pcMac;
    uint32_t ulLen, ulFound;
    const char *pcOut;
  };
  for (const Case &c : {Case{"192.168.1.7", "AA:BB:CC:DD:EE:01", 18, 1, "AA:BB:CC:DD:EE:07"},
                        Case{"192.168.1.7", "aa:bb:cc:dd:ee:07", 18, 0, ""},  // itself
                        Case{"192.168.1", "AA:BB:CC:DD:EE:01", 18, 0, ""},
                        Case{"192.168.1.70", "AA:BB:CC:DD:EE:01", 8, 1, "AA:BB:C"}}) {
    memset(acOut, 0, sizeof(acOut));
    EXPECT_EQ(HostmonFindIpConflict(c.pcIp, c.pcMac, acOut, c.ulLen), c.ulFound) << c.pcIp;
    EXPECT_STREQ(acOut, c.pcOut) << c.pcIp;
  }
  EXPECT_EQ(HostmonFindIpConflict(nullptr, "AA:BB:CC:DD:EE:01", acOut, 18), 0u);
  EXPECT_EQ(HostmonFindIpConflict("192.168.1.7", nullptr, acOut, 18), 0u);
  EXPECT_EQ(HostmonFindIpConflict("192.168.1.7", "AA:BB:CC:DD:EE:01", nullptr, 18), 0u);
  EXPECT_EQ(HostmonIsHostActive(nullptr), 0u);
  HostmonFixHostName(nullptr);
}

}  // namespace
}  // namespace synctest
