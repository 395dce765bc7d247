// Ageing on the manual clock: timeout instants, the one timer, probes and deletions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/hosts/hosts_fixture.h"

namespace {

using hoststest::Ip4;
using hoststest::Ip6;
using hoststest::MacOf;
using hoststest::Word;
using lum::testing::AdvanceMs;
using lum::testing::MlogLines;

class AgeingTest : public hoststest::HostTableTest {
 protected:
  // Period the ageing timer is armed with from now, or -1 when stopped.
  static int64_t DueMs() {
    uint64_t ulDue = 0;
    if (!lum::testing::TimerDueInMs(HostmonAgeingTimer(), &ulDue)) return -1;
    return static_cast<int64_t>(ulDue);
  }
  std::vector<faketest::SentPacket> Sent(size_t ulLen) const {
    std::vector<faketest::SentPacket> out;
    for (const faketest::SentPacket &packet : m_sys.sent) {
      if (packet.bytes.size() == ulLen) out.push_back(packet);
    }
    return out;
  }
  std::vector<faketest::SentPacket> Arps() const { return Sent(60); }
  static uint32_t WordAt(const faketest::SentPacket &packet, size_t ulOffset) {
    uint32_t ulValue = 0;
    memcpy(&ulValue, packet.bytes.data() + ulOffset, sizeof(ulValue));
    return ulValue;
  }
  // The ARP request's sender and target protocol addresses.
  static uint32_t ArpSender(const faketest::SentPacket &packet) { return WordAt(packet, 28); }
  static uint32_t ArpTarget(const faketest::SentPacket &packet) { return WordAt(packet, 38); }
};

TEST_F(AgeingTest, TimeoutFollowsQuotaListAndProbeCount) {
  // {quota listed, probe count, seconds after last seen}
  const struct {
    bool bQuota;
    uint8_t ucCount;
    uint32_t ulAfter;
  } astCases[] = {{false, 0, 290}, {false, 1, 3}, {false, 255, 3}, {true, 0, 30},
                  {true, 1, 30},   {true, 2, 3},  {true, 200, 3}};
  for (const auto &stCase : astCases) {
    // Substring match, any case, any separator.
    LUM_HOSTMON_SetTimeQuotaList(stCase.bQuota ? "11:22:33:44:55:66;aa:bb:cc:dd:ee:01;" : "");
    IpAddressItem stIp{};
    stIp.ulLastSeen = 5000;
    stIp.ucProbeCount = stCase.ucCount;
    EXPECT_EQ(LUM_HOSTMON_IPAddressTimeout(&stIp, "AA:BB:CC:DD:EE:01"), 5000 + stCase.ulAfter);
    EXPECT_EQ(LUM_HOSTMON_IPAddressTimeout(&stIp, "AA:BB:CC:DD:EE:02"),
              5000 + (stCase.ucCount == 0 ? 290u : 3u));
  }
}

TEST_F(AgeingTest, ItemTimeoutIsItsEarliestAddressAndQuotaListIsCutAt599) {
  MacAddressItem *pstItem = Host(MacOf(1), Ip4("192.168.1.20"));
  EXPECT_EQ(LUM_HOSTMON_MACAddressTimeout(pstItem), 1290u);
  std::string text(590, 'x');
  LUM_HOSTMON_SetTimeQuotaList((text + "AA:BB:CC:DD:EE:01").c_str());  // cut inside the MAC
  EXPECT_EQ(LUM_HOSTMON_MACAddressTimeout(pstItem), 1290u);
  text.resize(582);
  LUM_HOSTMON_SetTimeQuotaList((text + "AA:BB:CC:DD:EE:01").c_str());  // 599 exactly
  EXPECT_EQ(LUM_HOSTMON_MACAddressTimeout(pstItem), 1030u);
  LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET6, Ip6("fe80::1").data())->ucProbeCount = 2;
  EXPECT_EQ(LUM_HOSTMON_MACAddressTimeout(pstItem), 1003u);
  EXPECT_EQ(LUM_HOSTMON_MACAddressTimeout(LUM_HOSTMON_MACAddressNew(m_pstPort, MacOf(2).data())),
            0u);
}

TEST_F(AgeingTest, OneTimerReArmedForTheEarliestInstantAndStoppedWhenEmpty) {
  Host(MacOf(1), Ip4("192.168.1.20"));
  LUM_HOSTMON_TimerUpdate();
  const uint32_t ulHandle = HostmonAgeingTimer();
  EXPECT_EQ(DueMs(), 290000);
  AdvanceMs(100000);
  Host(MacOf(2), Ip4("192.168.1.21"));
  LUM_HOSTMON_TimerUpdate();
  EXPECT_EQ(HostmonAgeingTimer(), ulHandle);
  EXPECT_EQ(DueMs(), 190000);  // still the first address
  EXPECT_EQ(lum::testing::ActiveTimerCount(), 1u);
  ClearTable();
  LUM_HOSTMON_TimerUpdate();
  EXPECT_EQ(DueMs(), -1);
}

TEST_F(AgeingTest, OverdueOrDueNowGivesTenMillisecondsNeverZero) {
  MacAddressItem *pstItem = Host(MacOf(1), Ip4("192.168.1.20"));
  const struct {
    uint32_t ulLastSeen;
    int64_t lDue;
  } astCases[] = {{Now() - 290, 10},
                  {Now() - 400, 10},
                  {Now() - 289, 1000},
                  // Far ahead must not overflow 1000 x seconds into 0 (stop).
                  {0xF0000000u, 4294967000}};
  for (const auto &stCase : astCases) {
    pstItem->pstIpList->ulLastSeen = stCase.ulLastSeen;
    LUM_HOSTMON_TimerUpdate();
    EXPECT_EQ(DueMs(), stCase.lDue) << stCase.ulLastSeen;
  }
}

TEST_F(AgeingTest, SilentAddressInsideTheBridgeSubnetIsProbedOnceThenDeleted) {
  Host(MacOf(1), Ip4("192.168.1.20"));
  LUM_HOSTMON_TimerUpdate();
  AdvanceMs(289999);
  EXPECT_TRUE(m_sys.sent.empty());
  AdvanceMs(1);  // T + 290
  ASSERT_EQ(Arps().size(), 1u);
  EXPECT_EQ(ArpSender(Arps()[0]), Word("192.168.1.1"));
  EXPECT_EQ(ArpTarget(Arps()[0]), Word("192.168.1.20"));
  EXPECT_EQ(DueMs(), 3000);
  AdvanceMs(2999);
  EXPECT_EQ(CountItems(), 1u);
  AdvanceMs(1);  // T + 293
  EXPECT_EQ(CountItems(), 0u);
  EXPECT_EQ(Arps().size(), 1u);
  EXPECT_EQ(DueMs(), -1);
  EXPECT_EQ(MlogLines(), (std::vector<std::string>{
                             "<ipaddress time out VMAC[AA:BB:**:**:**:01] RMAC [AA:BB:**:**:**:01] "
                             "IP [192.168.1.20]\n"}));
}

TEST_F(AgeingTest, SilentAddressOutsideTheSubnetGetsASecondProbeFromTheWan) {
  HostmonSetOvanetWanIp(Word("10.0.0.1"));
  Host(MacOf(1), Ip4("10.0.0.5"));
  LUM_HOSTMON_TimerUpdate();
  AdvanceMs(290000);
  ASSERT_EQ(Arps().size(), 1u);
  EXPECT_EQ(ArpSender(Arps()[0]), Word("192.168.1.1"));  // first probe: the bridge's own
  AdvanceMs(3000);                                       // T + 293
  ASSERT_EQ(Arps().size(), 2u);
  EXPECT_EQ(ArpSender(Arps()[1]), Word("10.0.0.1"));
  EXPECT_EQ(ArpTarget(Arps()[1]), Word("10.0.0.5"));
  AdvanceMs(2999);
  EXPECT_EQ(CountItems(), 1u);
  AdvanceMs(1);  // T + 296
  EXPECT_EQ(CountItems(), 0u);
}

TEST_F(AgeingTest, TimeQuotaDeviceGoesAtSixtyInsideAndSixtyThreeOutside) {
  HostmonSetOvanetWanIp(Word("10.0.0.1"));
  Host(MacOf(1), Ip4("192.168.1.20"));
  Host(MacOf(2), Ip4("10.0.0.5"));
  LUM_HOSTMON_SetTimeQuotaList("aa:bb:cc:dd:ee:01;AA:BB:CC:DD:EE:02");
  AdvanceMs(30000);
  EXPECT_EQ(Arps().size(), 2u);
  AdvanceMs(29999);
  EXPECT_EQ(CountItems(), 2u);
  AdvanceMs(1);  // T + 60: the /24 address goes, the other gets its second probe
  EXPECT_EQ(CountItems(), 1u);
  ASSERT_EQ(Arps().size(), 3u);
  EXPECT_EQ(ArpSender(Arps()[2]), Word("10.0.0.1"));
  AdvanceMs(2999);
  EXPECT_EQ(CountItems(), 1u);
  AdvanceMs(1);  // T + 63
  EXPECT_EQ(CountItems(), 0u);
}

TEST_F(AgeingTest, OnePassDeletesEmptiedItemsAndSyncsOnce) {
  MacAddressItem *pstA = Host(MacOf(1), Ip4("192.168.1.20"));
  MacAddressItem *pstB = Host(MacOf(2), Ip6("2001:db8::2"), HOSTMON_AF_INET6);
  MacAddressItem *pstC = Host(MacOf(3), Ip4("192.168.1.30"));
  IpAddressItem *pstStale = pstC->pstIpList;
  IpAddressItem *pstFresh =
      LUM_HOSTMON_MACAddressAddIP(pstC, HOSTMON_AF_INET, Ip4("192.168.1.31").data());
  for (IpAddressItem *pstIp : {pstA->pstIpList, pstB->pstIpList, pstStale}) {
    pstIp->ucProbeCount = 2;
    pstIp->ulLastSeen = Now() - 3;
  }
  LUM_HOSTMON_TimeoutProc(nullptr);
  EXPECT_EQ(LUM_HOSTMON_GetMacList(), pstC);
  EXPECT_EQ(CountItems(), 1u);
  EXPECT_EQ(pstC->pstIpList, pstFresh);
  EXPECT_EQ(pstFresh->pstNext, nullptr);
  EXPECT_EQ(CountLines("Some of the hosts IP address are timeout, sync to DB now ...\n"), 1u);
  EXPECT_EQ(MlogLines().size(), 3u);
  EXPECT_TRUE(m_sys.sent.empty());  // count 2: deleted, not probed
  EXPECT_EQ(DueMs(), 290000);
}

TEST_F(AgeingTest, ProbeAllNodesSendsByCountAndAlwaysCounts) {
  MacAddressItem *pstItem = Host(MacOf(1), Ip4("192.168.1.20"));
  IpAddressItem *apstIp[] = {
      pstItem->pstIpList,
      LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET, Ip4("192.168.1.21").data()),
      LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET, Ip4("192.168.1.22").data()),
      LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET6, Ip6("fe80::6").data())};
  const uint8_t aucCount[] = {0, 1, 2, 255};
  for (int i = 0; i < 4; ++i) apstIp[i]->ucProbeCount = aucCount[i];
  MacAddressItem *pstOther = Host(MacOf(2), Ip4("192.168.1.40"));
  HostmonSetOvanetWanIp(Word("10.0.0.1"));  // after the adds, which it would reorder
  AdvanceMs(42000);
  LUM_HOSTMON_ProbeAllNodes();
  ASSERT_EQ(Arps().size(), 3u);
  // List order: .22, .21, .20 (each new /24 address went first), then the other item.
  EXPECT_EQ(ArpTarget(Arps()[0]), Word("192.168.1.21"));
  EXPECT_EQ(ArpSender(Arps()[0]), Word("10.0.0.1"));
  EXPECT_EQ(ArpTarget(Arps()[1]), Word("192.168.1.20"));
  EXPECT_EQ(ArpSender(Arps()[1]), Word("192.168.1.1"));
  EXPECT_EQ(ArpTarget(Arps()[2]), Word("192.168.1.40"));
  EXPECT_EQ(Sent(32).size(), 1u);  // IPv6 whatever the count
  const uint8_t aucAfter[] = {1, 2, 3, 0};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(apstIp[i]->ucProbeCount, aucAfter[i]) << i;
  EXPECT_EQ(pstOther->pstIpList->ulLastSeen, 1042u);
  EXPECT_EQ(apstIp[2]->ulLastSeen, 1042u);
}

}  // namespace
