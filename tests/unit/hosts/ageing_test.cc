// Ageing on the manual clock: timeout instants, the one timer, probes and deletions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/hosts/hosts_fixture.h"

namespace {

using hoststest::Addr;
using hoststest::Ip4;
using hoststest::Ip6;
using hoststest::MacOf;
using hoststest::Word;
using lum::testing::AdvanceMs;
using lum::testing::MlogLines;
using lum::testing::TraceLines;

constexpr size_t kArpFrameLen = 60;
constexpr size_t kNsLen = 32;

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
  std::vector<faketest::SentPacket> Arps() const { return Sent(kArpFrameLen); }
  std::vector<faketest::SentPacket> Solicits() const { return Sent(kNsLen); }

  static uint32_t WordAt(const faketest::SentPacket &packet, size_t ulOffset) {
    uint32_t ulValue = 0;
    memcpy(&ulValue, packet.bytes.data() + ulOffset, sizeof(ulValue));
    return ulValue;
  }
  // The ARP request's sender and target protocol addresses.
  static uint32_t ArpSender(const faketest::SentPacket &packet) { return WordAt(packet, 28); }
  static uint32_t ArpTarget(const faketest::SentPacket &packet) { return WordAt(packet, 38); }

  // The expected lines appear in this order, others may stand between them.
  static ::testing::AssertionResult TracedInOrder(const std::vector<std::string> &expected) {
    size_t ulNext = 0;
    for (const std::string &line : TraceLines()) {
      if (ulNext < expected.size() && line == expected[ulNext]) ++ulNext;
    }
    if (ulNext == expected.size()) return ::testing::AssertionSuccess();
    std::string all;
    for (const std::string &line : TraceLines()) all += "  " + line;
    return ::testing::AssertionFailure() << "missing \"" << expected[ulNext] << "\" in:\n" << all;
  }
};

// --- Timeout instants --------------------------------------------------------

struct TimeoutCase {
  bool bQuota;
  uint8_t ucCount;
  uint32_t ulAfter;
};

class TimeoutTableTest : public AgeingTest, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(TimeoutTableTest, InstantFollowsListAndProbeCount) {
  // Substring match, any case, any separator.
  if (GetParam().bQuota) LUM_HOSTMON_SetTimeQuotaList("11:22:33:44:55:66;aa:bb:cc:dd:ee:01;");
  IpAddressItem stIp{};
  stIp.ulLastSeen = 5000;
  stIp.ucProbeCount = GetParam().ucCount;
  EXPECT_EQ(LUM_HOSTMON_IPAddressTimeout(&stIp, "AA:BB:CC:DD:EE:01"), 5000 + GetParam().ulAfter);
  EXPECT_EQ(LUM_HOSTMON_IPAddressTimeout(&stIp, "AA:BB:CC:DD:EE:02"),
            5000 + (GetParam().ucCount == 0 ? 290u : 3u));
}

INSTANTIATE_TEST_SUITE_P(Table, TimeoutTableTest,
                         ::testing::Values(TimeoutCase{false, 0, 290}, TimeoutCase{false, 1, 3},
                                           TimeoutCase{false, 2, 3}, TimeoutCase{false, 255, 3},
                                           TimeoutCase{true, 0, 30}, TimeoutCase{true, 1, 30},
                                           TimeoutCase{true, 2, 3}, TimeoutCase{true, 200, 3}));

TEST_F(AgeingTest, MissingAddressHasNoTimeout) {
  EXPECT_EQ(LUM_HOSTMON_IPAddressTimeout(nullptr, "AA:BB:CC:DD:EE:01"), 0u);
  EXPECT_EQ(LUM_HOSTMON_MACAddressTimeout(nullptr), 0u);
}

TEST_F(AgeingTest, ItemTimeoutIsItsEarliestAddress) {
  MacAddressItem *pstItem = Host(MacOf(1), Ip4("192.168.1.20"));
  EXPECT_EQ(LUM_HOSTMON_MACAddressTimeout(pstItem), 1290u);
  IpAddressItem *pstIp =
      LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET6, Ip6("fe80::1").data());
  pstIp->ucProbeCount = 1;  // 1003
  EXPECT_EQ(LUM_HOSTMON_MACAddressTimeout(pstItem), 1003u);
  MacAddressItem *pstEmpty = LUM_HOSTMON_MACAddressNew(m_pstPort, MacOf(2).data());
  EXPECT_EQ(LUM_HOSTMON_MACAddressTimeout(pstEmpty), 0u);
}

TEST_F(AgeingTest, QuotaListIsCutAt599Characters) {
  MacAddressItem *pstItem = Host(MacOf(1), Ip4("192.168.1.20"));
  std::string text(590, 'x');
  LUM_HOSTMON_SetTimeQuotaList((text + "AA:BB:CC:DD:EE:01").c_str());  // cut inside the MAC
  EXPECT_EQ(LUM_HOSTMON_MACAddressTimeout(pstItem), 1290u);
  text.resize(582);
  LUM_HOSTMON_SetTimeQuotaList((text + "AA:BB:CC:DD:EE:01").c_str());  // 599 exactly
  EXPECT_EQ(LUM_HOSTMON_MACAddressTimeout(pstItem), 1030u);
}

// --- The timer ---------------------------------------------------------------

TEST_F(AgeingTest, EmptyTableStopsTheTimer) {
  Host(MacOf(1), Ip4("192.168.1.20"));
  LUM_HOSTMON_TimerUpdate();
  ASSERT_EQ(DueMs(), 290000);
  ClearTable();
  TraceLines().clear();
  LUM_HOSTMON_TimerUpdate();
  EXPECT_EQ(TraceLines(),
            (std::vector<std::string>{"Got minimum timeout value for all IP addresses is [0].\n",
                                      "Stop timeout timer now ...\n"}));
  EXPECT_EQ(DueMs(), -1);
  EXPECT_NE(HostmonAgeingTimer(), 0u);  // kept for the next arming
}

TEST_F(AgeingTest, OneTimerIsCreatedThenReArmedForTheEarliestInstant) {
  Host(MacOf(1), Ip4("192.168.1.20"));
  LUM_HOSTMON_TimerUpdate();
  EXPECT_EQ(TraceLines(),
            (std::vector<std::string>{"Got minimum timeout value for all IP addresses is [1290].\n",
                                      "Next timeout time 1290, now is 1000.\n",
                                      "Setup timeout timer in 290000 miniseconds now ...\n"}));
  const uint32_t ulHandle = HostmonAgeingTimer();
  ASSERT_NE(ulHandle, 0u);
  EXPECT_EQ(DueMs(), 290000);

  AdvanceMs(100000);
  Host(MacOf(2), Ip4("192.168.1.21"));
  LUM_HOSTMON_TimerUpdate();
  EXPECT_EQ(HostmonAgeingTimer(), ulHandle);
  EXPECT_EQ(DueMs(), 190000);  // still the first address
  EXPECT_EQ(lum::testing::ActiveTimerCount(), 1u);
}

TEST_F(AgeingTest, OverdueOrDueNowGivesTenMillisecondsNeverZero) {
  MacAddressItem *pstItem = Host(MacOf(1), Ip4("192.168.1.20"));
  pstItem->pstIpList->ulLastSeen = Now() - 290;  // due exactly now
  LUM_HOSTMON_TimerUpdate();
  EXPECT_EQ(DueMs(), 10);
  pstItem->pstIpList->ulLastSeen = Now() - 400;
  TraceLines().clear();
  LUM_HOSTMON_TimerUpdate();
  EXPECT_EQ(DueMs(), 10);
  EXPECT_TRUE(TracedInOrder({"Setup timeout timer in 10 miniseconds now ...\n"}));
  pstItem->pstIpList->ulLastSeen = Now() - 289;
  LUM_HOSTMON_TimerUpdate();
  EXPECT_EQ(DueMs(), 1000);
  // An absurd instant far ahead must not overflow 1000 x seconds into 0 (stop).
  pstItem->pstIpList->ulLastSeen = 0xF0000000u;
  LUM_HOSTMON_TimerUpdate();
  EXPECT_EQ(DueMs(), 4294967000);
}

TEST_F(AgeingTest, SameQuotaListTwiceDoesNotReArm) {
  Host(MacOf(1), Ip4("192.168.1.20"));
  LUM_HOSTMON_TimerUpdate();
  LUM_HOSTMON_SetTimeQuotaList("AA:BB:CC:DD:EE:01");
  EXPECT_EQ(DueMs(), 30000);
  AdvanceMs(5000);
  TraceLines().clear();
  LUM_HOSTMON_SetTimeQuotaList("AA:BB:CC:DD:EE:01");
  LUM_HOSTMON_SetTimeQuotaList(nullptr);
  EXPECT_EQ(DueMs(), 25000);
  EXPECT_TRUE(TraceLines().empty());
  LUM_HOSTMON_SetTimeQuotaList("");  // a change: back to the normal schedule at once
  EXPECT_EQ(DueMs(), 285000);
}

// --- The life of a silent address ---------------------------------------------

TEST_F(AgeingTest, SilentAddressInsideTheBridgeSubnetIsProbedOnceThenDeleted) {
  Host(MacOf(1), Ip4("192.168.1.20"));
  LUM_HOSTMON_TimerUpdate();
  AdvanceMs(289999);
  EXPECT_TRUE(m_sys.sent.empty());

  AdvanceMs(1);  // T + 290
  ASSERT_EQ(Arps().size(), 1u);
  EXPECT_EQ(Arps()[0].ifname, "br0");
  EXPECT_EQ(ArpSender(Arps()[0]), Word("192.168.1.1"));
  EXPECT_EQ(ArpTarget(Arps()[0]), Word("192.168.1.20"));
  const IpAddressItem *pstIp = LUM_HOSTMON_GetMacList()->pstIpList;
  EXPECT_EQ(pstIp->ucProbeCount, 1);
  EXPECT_EQ(pstIp->ulLastSeen, 1290u);
  EXPECT_EQ(DueMs(), 3000);
  EXPECT_TRUE(TracedInOrder(
      {"Check timeout now at [1290] ...\n",
       "IP address [192.168.1.20] timeout value is [1290], now is [1290].\n",
       "IP address [192.168.1.20] inactive for a long time, send 1th packet to detect  now .\n",
       "Setup next timer now ...\n", "Setup timeout timer in 3000 miniseconds now ...\n",
       "Timeout proc finished.\n"}));
  EXPECT_EQ(CountLines("Some of the hosts IP address are timeout, sync to DB now ...\n"), 0u);

  TraceLines().clear();
  AdvanceMs(2999);
  EXPECT_EQ(CountItems(), 1u);
  AdvanceMs(1);  // T + 293
  EXPECT_EQ(CountItems(), 0u);
  EXPECT_EQ(Arps().size(), 1u);  // no second probe
  EXPECT_EQ(DueMs(), -1);
  EXPECT_TRUE(TracedInOrder(
      {"Check timeout now at [1293] ...\n",
       "IP address [192.168.1.20] timeout value is [1293], now is [1293].\n",
       "IP address [192.168.1.20] can not be detected, delete it.\n",
       "<hostmon ipaddress time out VMAC[AA:BB:**:**:**:01] RMAC [AA:BB:**:**:**:01] IP "
       "[192.168.1.20]\n",
       "All IP addresses addresses are timeout.\n",
       "Some of the hosts IP address are timeout, sync to DB now ...\n",
       "Setup next timer now ...\n", "Stop timeout timer now ...\n", "Timeout proc finished.\n"}));
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
  EXPECT_EQ(Arps()[1].ifname, "br0");
  EXPECT_EQ(ArpSender(Arps()[1]), Word("10.0.0.1"));
  EXPECT_EQ(ArpTarget(Arps()[1]), Word("10.0.0.5"));
  EXPECT_EQ(LUM_HOSTMON_GetMacList()->pstIpList->ucProbeCount, 2);
  EXPECT_TRUE(TracedInOrder(
      {"IP address [10.0.0.5] inactive for a long time, send 2th packet to detect  now .\n"}));
  AdvanceMs(2999);
  EXPECT_EQ(CountItems(), 1u);
  AdvanceMs(1);  // T + 296
  EXPECT_EQ(CountItems(), 0u);
  EXPECT_EQ(Arps().size(), 2u);
  EXPECT_EQ(DueMs(), -1);
}

TEST_F(AgeingTest, TimeQuotaDeviceInsideTheSubnetGoesAtSixtySeconds) {
  Host(MacOf(1), Ip4("192.168.1.20"));
  LUM_HOSTMON_SetTimeQuotaList("aa:bb:cc:dd:ee:01");
  EXPECT_EQ(DueMs(), 30000);
  AdvanceMs(30000);
  EXPECT_EQ(Arps().size(), 1u);
  EXPECT_EQ(DueMs(), 30000);  // count 1 keeps the quota period
  AdvanceMs(29999);
  EXPECT_EQ(CountItems(), 1u);
  AdvanceMs(1);
  EXPECT_EQ(CountItems(), 0u);
  EXPECT_EQ(Arps().size(), 1u);
}

TEST_F(AgeingTest, TimeQuotaDeviceOutsideTheSubnetIsProbedAtThirtyAndSixty) {
  HostmonSetOvanetWanIp(Word("10.0.0.1"));
  Host(MacOf(1), Ip4("10.0.0.5"));
  LUM_HOSTMON_SetTimeQuotaList("AA:BB:CC:DD:EE:01");
  AdvanceMs(30000);
  EXPECT_EQ(Arps().size(), 1u);
  AdvanceMs(30000);  // T + 60
  ASSERT_EQ(Arps().size(), 2u);
  EXPECT_EQ(ArpSender(Arps()[1]), Word("10.0.0.1"));
  EXPECT_EQ(DueMs(), 3000);
  AdvanceMs(2999);
  EXPECT_EQ(CountItems(), 1u);
  AdvanceMs(1);  // T + 63
  EXPECT_EQ(CountItems(), 0u);
}

TEST_F(AgeingTest, SilentIpv6AddressGetsTwoSolicitationsThenGoes) {
  const Addr target = Ip6("fe80::1234");
  Host(MacOf(1), target, HOSTMON_AF_INET6);
  LUM_HOSTMON_TimerUpdate();
  AdvanceMs(290000);
  AdvanceMs(3000);
  ASSERT_EQ(Solicits().size(), 2u);
  EXPECT_TRUE(Arps().empty());
  for (const faketest::SentPacket &packet : Solicits()) {
    EXPECT_EQ(packet.ifname, "br0");
    EXPECT_EQ(packet.bytes[0], 135);
    EXPECT_EQ(memcmp(packet.bytes.data() + 8, target.data(), 16), 0);
    EXPECT_EQ(memcmp(packet.bytes.data() + 26, hoststest::kBridgeMac.data(), 6), 0);
    ASSERT_EQ(packet.dest.size(), sizeof(struct sockaddr_in6));
    struct sockaddr_in6 stDest {};
    memcpy(&stDest, packet.dest.data(), sizeof(stDest));
    EXPECT_EQ(stDest.sin6_port, htons(58));
    EXPECT_EQ(memcmp(&stDest.sin6_addr, target.data(), 16), 0);
  }
  EXPECT_TRUE(TracedInOrder(
      {"IP address [fe80::1234] inactive for a long time, send 1th packet to detect  now .\n",
       "IP address [fe80::1234] inactive for a long time, send 2th packet to detect  now .\n"}));
  AdvanceMs(2999);
  EXPECT_EQ(CountItems(), 1u);
  AdvanceMs(1);  // T + 296
  EXPECT_EQ(CountItems(), 0u);
  EXPECT_EQ(Solicits().size(), 2u);
  EXPECT_EQ(m_sys.OpenCount(), 0);
}

TEST_F(AgeingTest, AnAnswerInBetweenRestartsTheSchedule) {
  MacAddressItem *pstItem = Host(MacOf(1), Ip4("192.168.1.20"));
  LUM_HOSTMON_TimerUpdate();
  AdvanceMs(290000);
  AdvanceMs(2000);
  LUM_HOSTMON_IPAddressRefresh(pstItem->pstIpList);  // as learning does on an answer
  AdvanceMs(1000);  // the old instant: nothing due, the timer is set for the new one
  EXPECT_EQ(CountItems(), 1u);
  EXPECT_EQ(DueMs(), 289000);
  EXPECT_EQ(Arps().size(), 1u);
}

// --- One pass ------------------------------------------------------------------

TEST_F(AgeingTest, OnePassDeletesEmptiedItemsAndSyncsOnce) {
  MacAddressItem *pstA = Host(MacOf(1), Ip4("192.168.1.20"));
  MacAddressItem *pstB = Host(MacOf(2), Ip6("2001:db8::2"), HOSTMON_AF_INET6);
  MacAddressItem *pstC = Host(MacOf(3), Ip4("192.168.1.30"));
  IpAddressItem *pstFresh =
      LUM_HOSTMON_MACAddressAddIP(pstC, HOSTMON_AF_INET, Ip4("192.168.1.31").data());
  IpAddressItem *pstStale =
      LUM_HOSTMON_IPAddressFind(pstC, HOSTMON_AF_INET, Ip4("192.168.1.30").data());
  for (IpAddressItem *pstIp : {pstA->pstIpList, pstB->pstIpList, pstStale}) {
    pstIp->ucProbeCount = 2;
    pstIp->ulLastSeen = Now() - 3;
  }
  LUM_HOSTMON_TimeoutProc(nullptr);
  EXPECT_EQ(LUM_HOSTMON_GetMacList(), pstC);
  EXPECT_EQ(CountItems(), 1u);
  EXPECT_EQ(pstC->pstIpList, pstFresh);
  EXPECT_EQ(pstFresh->pstNext, nullptr);
  EXPECT_EQ(CountLines("All IP addresses addresses are timeout.\n"), 2u);
  EXPECT_EQ(CountLines("Some of the hosts IP address are timeout, sync to DB now ...\n"), 1u);
  EXPECT_EQ(MlogLines().size(), 3u);
  EXPECT_TRUE(m_sys.sent.empty());  // count 2: deleted, not probed
  EXPECT_EQ(DueMs(), 290000);
}

TEST_F(AgeingTest, PassWithoutTimeoutsNeitherDeletesNorSyncs) {
  Host(MacOf(1), Ip4("192.168.1.20"));
  LUM_HOSTMON_TimeoutProc(nullptr);
  EXPECT_EQ(CountItems(), 1u);
  EXPECT_EQ(CountLines("Some of the hosts IP address are timeout, sync to DB now ...\n"), 0u);
  EXPECT_TRUE(m_sys.sent.empty());
  EXPECT_EQ(DueMs(), 290000);
}

// --- Probes on demand ----------------------------------------------------------

TEST_F(AgeingTest, ProbeAllNodesSendsByCountAndAlwaysCounts) {
  MacAddressItem *pstItem = Host(MacOf(1), Ip4("192.168.1.20"));
  IpAddressItem *pstFirst = pstItem->pstIpList;
  IpAddressItem *pstSecond =
      LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET, Ip4("192.168.1.21").data());
  IpAddressItem *pstThird =
      LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET, Ip4("192.168.1.22").data());
  IpAddressItem *pstSix =
      LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET6, Ip6("fe80::6").data());
  MacAddressItem *pstOther = Host(MacOf(2), Ip4("192.168.1.40"));
  pstFirst->ucProbeCount = 0;
  pstSecond->ucProbeCount = 1;
  pstThird->ucProbeCount = 2;
  pstSix->ucProbeCount = 7;
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
  EXPECT_EQ(Solicits().size(), 1u);  // IPv6 whatever the count
  EXPECT_EQ(pstFirst->ucProbeCount, 1);
  EXPECT_EQ(pstSecond->ucProbeCount, 2);
  EXPECT_EQ(pstThird->ucProbeCount, 3);
  EXPECT_EQ(pstSix->ucProbeCount, 8);
  for (IpAddressItem *pstIp : {pstFirst, pstSecond, pstThird, pstSix, pstOther->pstIpList}) {
    EXPECT_EQ(pstIp->ulLastSeen, 1042u);
  }
}

TEST_F(AgeingTest, ProbeCountWrapsAt256) {
  MacAddressItem *pstItem = Host(MacOf(1), Ip4("192.168.1.20"));
  pstItem->pstIpList->ucProbeCount = 255;
  EXPECT_EQ(LUM_HOSTMON_IPAddressProbe(pstItem, pstItem->pstIpList), HOSTMON_OK);
  EXPECT_EQ(pstItem->pstIpList->ucProbeCount, 0);
  EXPECT_TRUE(m_sys.sent.empty());
}

TEST_F(AgeingTest, ProbePortNodesTouchesOnlyThatPort) {
  MacAddressItem *pstA = Host(MacOf(1), Ip4("192.168.1.20"));
  MacAddressItem *pstB = Host(MacOf(2), Ip4("192.168.1.21"), HOSTMON_AF_INET, m_pstPort2);
  MacAddressItem *pstC = Host(MacOf(3), Ip4("192.168.1.22"));
  AdvanceMs(5000);
  LUM_HOSTMON_ProbePortNodes(m_pstPort);
  ASSERT_EQ(Arps().size(), 2u);
  EXPECT_EQ(ArpTarget(Arps()[0]), Word("192.168.1.20"));
  EXPECT_EQ(ArpTarget(Arps()[1]), Word("192.168.1.22"));
  EXPECT_EQ(pstA->pstIpList->ucProbeCount, 1);
  EXPECT_EQ(pstC->pstIpList->ucProbeCount, 1);
  EXPECT_EQ(pstB->pstIpList->ucProbeCount, 0);
  EXPECT_EQ(pstB->pstIpList->ulLastSeen, 1000u);
  LUM_HOSTMON_ProbePortNodes(nullptr);
  EXPECT_EQ(Arps().size(), 2u);
}

TEST_F(AgeingTest, ProbeOfMissingThingsIsRefused) {
  MacAddressItem *pstItem = Host(MacOf(1), Ip4("192.168.1.20"));
  EXPECT_EQ(LUM_HOSTMON_IPAddressProbe(nullptr, pstItem->pstIpList), HOSTMON_ERR_NOT_FOUND);
  EXPECT_EQ(LUM_HOSTMON_IPAddressProbe(pstItem, nullptr), HOSTMON_ERR_NOT_FOUND);
  EXPECT_EQ(LUM_HOSTMON_MACAddressProbe(nullptr), HOSTMON_ERR_NOT_FOUND);
  EXPECT_EQ(pstItem->pstIpList->ucProbeCount, 0);
}

TEST_F(AgeingTest, ItemWithoutPortIsCountedButNotProbedAndGetsBothProbes) {
  MacAddressItem *pstItem = LUM_HOSTMON_MACAddressNew(nullptr, MacOf(1).data());
  LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET, Ip4("192.168.1.20").data());
  LUM_HOSTMON_TimerUpdate();
  AdvanceMs(290000);
  EXPECT_EQ(pstItem->pstIpList->ucProbeCount, 1);
  EXPECT_EQ(CountLines("pstMac->pstPort is NULL\n"), 1u);
  AdvanceMs(3000);  // no bridge: the subnet test fails, so a second (silent) probe
  EXPECT_EQ(pstItem->pstIpList->ucProbeCount, 2);
  AdvanceMs(3000);
  EXPECT_EQ(CountItems(), 0u);
  EXPECT_TRUE(m_sys.sent.empty());
}

}  // namespace
