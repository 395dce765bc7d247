// The host table: limits, deletions, the order of addresses, the same-MAC rule,
// and ageing on the manual clock.
#include <algorithm>
#include <tuple>

#include "tests/unit/common/lan.h"

namespace lantest {
namespace {

class HostsTest : public LanTest {
 protected:
  // Period the ageing timer is armed with from now, or -1 when stopped.
  static int64_t DueMs() {
    uint64_t ulDue = 0;
    return lum::testing::TimerDueInMs(HostmonAgeingTimer(), &ulDue) ? int64_t(ulDue) : -1;
  }
};

TEST_F(HostsTest, TableHolds254ItemsAndAnItem33Addresses) {
  for (uint8_t i = 0; i < 253; ++i) Host({0, 0x11, 0, 0, 0, i}, m_pstEth0);
  // 253 in the list: one more is accepted, then learning ignores a new device.
  MacAddressItem *pstLast = Host(HostMac(1), m_pstEth0);
  EXPECT_EQ(LUM_HOSTMON_MACAddressNew(m_pstEth0, HostMac(2).data()), nullptr);
  EXPECT_EQ(HostmonLearnHost(m_pstBr, m_pstEth0, HostMac(2).data(), HOSTMON_AF_INET,
                             A("192.168.1.20").data()),
            0u);
  EXPECT_EQ(ItemCount(), 254u);
  for (int i = 1; i <= 32; ++i) AddIp(pstLast, "10.0.0." + std::to_string(i));
  EXPECT_NE(AddIp(pstLast, "fe80::33"), nullptr);
  EXPECT_EQ(AddIp(pstLast, "fe80::34"), nullptr);
  EXPECT_EQ(Addresses(pstLast).size(), 33u);
}

TEST_F(HostsTest, DeletionsMatchTheFamilyTakeEmptiedItemsAndNeverLoseAWalksSuccessor) {
  MacAddressItem *pstItem =
      Host(HostMac(1), m_pstEth0, {"fe80::1", "fe80::2", "192.168.1.20", "2001:db8::3"});
  LUM_HOSTMON_IPAddressDel(pstItem, HOSTMON_AF_INET6, A("192.168.1.20").data());  // family
  LUM_HOSTMON_IPAddressDel(pstItem, HOSTMON_AF_INET6, A("fe80::1").data());
  EXPECT_EQ(Addresses(pstItem), (Texts{"192.168.1.20", "fe80::2", "2001:db8::3"}));
  LUM_HOSTMON_IPAddressDelFamily(pstItem, HOSTMON_AF_INET6);
  EXPECT_EQ(Addresses(pstItem), Texts{"192.168.1.20"});
  LUM_HOSTMON_IPAddressDel(pstItem, HOSTMON_AF_INET, A("192.168.1.20").data());
  EXPECT_EQ(ItemCount(), 0u);
  // Adjacent items on the same port catch a walk that loses its successor.
  for (uint8_t i = 1; i <= 5; ++i) Host(HostMac(i), i == 3 ? m_pstEth1 : m_pstEth0);
  LUM_HOSTMON_MACAddressDelByPort(m_pstEth0);
  EXPECT_EQ(Learnt(), Texts{"aa:bb:cc:dd:ee:03@eth1"});
}

TEST_F(HostsTest, BridgeSubnetAddressGoesFirstOthersLastOrTheCompanionWansWhileItIsUp) {
  MacAddressItem *pstItem = Host(HostMac(1), m_pstEth0, {"10.0.0.5", "fe80::1", "192.168.1.20"});
  MacAddressItem *pstLoose = Host(HostMac(2), nullptr, {"10.0.0.5", "192.168.1.20"});  // no bridge
  for (const char *pcAddr : {"192.168.1.255", "192.168.1.21"}) AddIp(pstItem, pcAddr);
  EXPECT_EQ(Addresses(pstItem),
            (Texts{"192.168.1.21", "192.168.1.20", "10.0.0.5", "fe80::1", "192.168.1.255"}));
  EXPECT_EQ(LUM_HOSTMON_GetIPv4(pstItem), Ip("192.168.1.21"));
  HostmonSetOvanetWanIp(Ip("10.0.0.1"));
  for (const char *pcAddr : {"192.168.1.22", "10.0.0.6"}) AddIp(pstItem, pcAddr);
  AddIp(pstLoose, "10.0.0.7");
  EXPECT_EQ(Addresses(pstItem)[0] + " " + Addresses(pstItem).back(), "10.0.0.6 192.168.1.22");
  EXPECT_EQ(Addresses(pstLoose), (Texts{"10.0.0.7", "10.0.0.5", "192.168.1.20"}));
}

TEST_F(HostsTest, SameMacRemovesTheFirstOtherItemWhoseRealMacDiffersOnlyInCase) {
  MacAddressItem *apstItem[3];
  for (uint8_t i = 0; i < 3; ++i) {
    apstItem[i] = Host(HostMac(i + 1), i == 0 ? m_pstEth1 : m_pstEth0, {"192.168.1.50"});
    HOSTMON_COPY_TEXT(apstItem[i]->acRealMac, i == 1 ? "10:20:30:40:50:6a" : "10:20:30:40:50:6A");
  }
  apstItem[0]->ulLeasedAddr = 0x0b01a8c0;
  apstItem[0]->ulDhcp = 1;
  uint32_t bNeedSync = 0;
  LUM_HOSTMON_CheckSameMac(apstItem[2], &bNeedSync);
  EXPECT_EQ(bNeedSync, 1u);
  EXPECT_EQ(LUM_HOSTMON_GetMacList(), apstItem[1]);
  EXPECT_EQ(apstItem[1]->pstNext, apstItem[2]);
  EXPECT_EQ(MlogLines(), Texts{"same MAC VM[AA:BB:**:**:**:01]RM[10:20:**:**:**:6A]FM[AA:BB:**:"
                               "**:**:03]IP[b01a8c0]DHCP[1]Pt[eth1]\n"});
  LUM_HOSTMON_CheckSameMac(apstItem[1], &bNeedSync);  // the current item stays, even first
  EXPECT_EQ(LUM_HOSTMON_GetMacList(), apstItem[1]);
  EXPECT_EQ(ItemCount(), 1u);
  bNeedSync = 5;
  LUM_HOSTMON_CheckSameMac(apstItem[1], &bNeedSync);  // no duplicate: the flag keeps its value
  EXPECT_EQ(bNeedSync, 5u);
}

TEST_F(HostsTest, TimeoutFollowsTheQuotaListCutAt599AndTheProbeCount) {
  // (quota listed, probe count, seconds after last seen)
  const std::tuple<bool, uint8_t, uint32_t> astCases[] = {
      {false, 0, 290}, {false, 1, 3}, {false, 255, 3}, {true, 0, 30},
      {true, 1, 30},   {true, 2, 3},  {true, 200, 3}};
  for (const auto &[bQuota, ucCount, ulAfter] : astCases) {
    // Substring match, any case, any separator.
    LUM_HOSTMON_SetTimeQuotaList(bQuota ? "11:22:33:44:55:66;aa:bb:cc:dd:ee:01;" : "");
    IpAddressItem stIp{};
    stIp.ulLastSeen = 5000;
    stIp.ucProbeCount = ucCount;
    EXPECT_EQ(LUM_HOSTMON_IPAddressTimeout(&stIp, "AA:BB:CC:DD:EE:01"), 5000 + ulAfter);
    EXPECT_EQ(LUM_HOSTMON_IPAddressTimeout(&stIp, "AA:BB:CC:DD:EE:02"), ucCount ? 5003u : 5290u);
  }
  // An item's timeout is its earliest address's.
  MacAddressItem *pstItem = Host(HostMac(1), m_pstEth0, {"192.168.1.20"});
  LUM_HOSTMON_SetTimeQuotaList((std::string(590, 'x') + "AA:BB:CC:DD:EE:01").c_str());
  EXPECT_EQ(LUM_HOSTMON_MACAddressTimeout(pstItem), 1290u);  // cut inside the MAC
  LUM_HOSTMON_SetTimeQuotaList((std::string(582, 'x') + "AA:BB:CC:DD:EE:01").c_str());
  EXPECT_EQ(LUM_HOSTMON_MACAddressTimeout(pstItem), 1030u);  // 599 exactly
  AddIp(pstItem, "fe80::1")->ucProbeCount = 2;
  EXPECT_EQ(LUM_HOSTMON_MACAddressTimeout(pstItem), 1003u);
  EXPECT_EQ(LUM_HOSTMON_MACAddressTimeout(Host(HostMac(2), m_pstEth0)), 0u);
}

TEST_F(HostsTest, OneTimerIsArmedForTheEarliestInstantNeverWithZeroAndStoppedWhenEmpty) {
  MacAddressItem *pstItem = Host(HostMac(1), m_pstEth0, {"192.168.1.20"});
  LUM_HOSTMON_TimerUpdate();
  AdvanceMs(100000);
  MacAddressItem *pstLater = Host(HostMac(2), m_pstEth0, {"192.168.1.21"});
  LUM_HOSTMON_TimerUpdate();
  EXPECT_EQ(DueMs(), 190000);  // still the first address
  EXPECT_EQ(lum::testing::ActiveTimerCount(), 1u);
  LUM_HOSTMON_MACAddressDel(pstLater);
  // Overdue or due now: 10 ms. Far ahead must not overflow 1000 x seconds into 0 (stop).
  const std::pair<uint32_t, int64_t> astCases[] = {{LUM_UTIL_GetSysUpTime() - 290, 10},
                                                   {LUM_UTIL_GetSysUpTime() - 400, 10},
                                                   {LUM_UTIL_GetSysUpTime() - 289, 1000},
                                                   {0xF0000000u, 4294967000}};
  for (const auto &[ulLastSeen, lDue] : astCases) {
    pstItem->pstIpList->ulLastSeen = ulLastSeen;
    LUM_HOSTMON_TimerUpdate();
    EXPECT_EQ(DueMs(), lDue) << ulLastSeen;
  }
  LUM_HOSTMON_MACAddressDel(pstItem);
  LUM_HOSTMON_TimerUpdate();
  EXPECT_EQ(DueMs(), -1);
}

// Learnt at T: the time-quota devices are probed at T + 30; at T + 60 the one
// inside the bridge's /24 goes, the other is asked again from the companion WAN
// and goes at T + 63; the third device is probed at T + 290 and goes at T + 293.
TEST_F(HostsTest, SilentAddressesAreProbedAndDeletedOnSchedule) {
  HostmonSetOvanetWanIp(Ip("10.0.0.1"));
  Host(HostMac(1), m_pstEth0, {"192.168.1.20"});
  Host(HostMac(2), m_pstEth0, {"192.168.1.21"});
  Host(HostMac(3), m_pstEth0, {"10.0.0.5"});
  LUM_HOSTMON_SetTimeQuotaList("aa:bb:cc:dd:ee:02;AA:BB:CC:DD:EE:03");
  // (ms advanced, items left, ARP requests sent, ms to the next expiry)
  const std::tuple<uint64_t, size_t, size_t, int64_t> astSteps[] = {
      {29999, 3, 0, 1},  {1, 3, 2, 30000},  {29999, 3, 2, 1}, {1, 2, 3, 3000}, {2999, 2, 3, 1},
      {1, 1, 3, 227000}, {226999, 1, 3, 1}, {1, 1, 4, 3000},  {2999, 1, 4, 1}, {1, 0, 4, -1}};
  for (const auto &[ulMs, ulItems, ulArps, lDue] : astSteps) {
    AdvanceMs(ulMs);
    EXPECT_EQ(ItemCount(), ulItems) << lum::testing::NowMs();
    EXPECT_EQ(Arps().size(), ulArps) << lum::testing::NowMs();
    EXPECT_EQ(DueMs(), lDue) << lum::testing::NowMs();
  }
  EXPECT_EQ(Arps(), (Texts{"192.168.1.1>192.168.1.21", "192.168.1.1>10.0.0.5", "10.0.0.1>10.0.0.5",
                           "192.168.1.1>192.168.1.20"}));
  EXPECT_EQ(MlogLines().back(),
            "<ipaddress time out VMAC[AA:BB:**:**:**:01] RMAC "
            "[AA:BB:**:**:**:01] IP [192.168.1.20]\n");
}

TEST_F(HostsTest, OnePassDeletesEmptiedItemsAndSyncsOnce) {
  MacAddressItem *pstA = Host(HostMac(1), m_pstEth0, {"192.168.1.20"});
  MacAddressItem *pstB = Host(HostMac(2), m_pstEth0, {"2001:db8::2"});
  MacAddressItem *pstC =
      Host(HostMac(3), m_pstEth0, {"192.168.1.30", "192.168.1.31"});  // .31 first
  for (IpAddressItem *pstIp : {pstA->pstIpList, pstB->pstIpList, pstC->pstIpList->pstNext}) {
    pstIp->ucProbeCount = 2;
    pstIp->ulLastSeen = LUM_UTIL_GetSysUpTime() - 3;
  }
  LUM_HOSTMON_TimeoutProc(nullptr);
  EXPECT_EQ(Learnt(), Texts{"aa:bb:cc:dd:ee:03@eth0 192.168.1.31"});
  EXPECT_EQ(Traced("Some of the hosts IP address are timeout, sync to DB now ...\n"), 1u);
  EXPECT_EQ(MlogLines().size(), 3u);
  EXPECT_TRUE(m_sys.sent.empty());  // count 2: deleted, not probed
  EXPECT_EQ(DueMs(), 290000);
}

}  // namespace
}  // namespace lantest
