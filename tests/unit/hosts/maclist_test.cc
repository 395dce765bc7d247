// The host table: limits, look-ups, deletions and the order of addresses.
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

class MacListTest : public hoststest::HostTableTest {
 protected:
  static std::vector<std::string> Addresses(const MacAddressItem *pstItem) {
    std::vector<std::string> out;
    for (const IpAddressItem *pstIp = pstItem->pstIpList; pstIp != nullptr;
         pstIp = pstIp->pstNext) {
      char acText[64];
      inet_ntop(pstIp->ucFamily == HOSTMON_AF_INET6 ? AF_INET6 : AF_INET, pstIp->aucAddr, acText,
                sizeof(acText));
      out.emplace_back(acText);
    }
    return out;
  }
};

TEST_F(MacListTest, NewItemIsAppendedWithUpperCaseRealMacAndZeroedLease) {
  MacAddressItem *pstFirst = LUM_HOSTMON_MACAddressNew(m_pstPort, MacOf(0x01).data());
  const hoststest::Mac mac{0x0a, 0x1b, 0xfc, 0x00, 0x9d, 0xef};
  MacAddressItem *pstItem = LUM_HOSTMON_MACAddressNew(m_pstPort2, mac.data());
  ASSERT_NE(pstItem, nullptr);
  EXPECT_EQ(LUM_HOSTMON_GetMacList(), pstFirst);
  EXPECT_EQ(pstFirst->pstNext, pstItem);
  EXPECT_EQ(pstItem->pstNext, nullptr);
  EXPECT_STREQ(pstItem->acRealMac, "0A:1B:FC:00:9D:EF");
  EXPECT_EQ(memcmp(pstItem->aucMac, mac.data(), 6), 0);
  EXPECT_EQ(pstItem->pstPort, m_pstPort2);
  EXPECT_EQ(pstItem->pstIpList, nullptr);
  EXPECT_EQ(pstItem->ucInDb, 0);
  EXPECT_EQ(pstItem->ulLeaseValid | pstItem->ulDhcp | pstItem->ulLeasedAddr, 0u);
  EXPECT_STREQ(pstItem->acHostName, "");
  EXPECT_TRUE(lum::testing::TraceLines().empty());
}

TEST_F(MacListTest, TableHolds254ItemsAndRefusesThe255th) {
  for (uint32_t i = 0; i < 253; ++i) {
    ASSERT_NE(LUM_HOSTMON_MACAddressNew(m_pstPort, MacOf(i & 0xFF, 0x10).data()), nullptr) << i;
  }
  // 253 in the list: one more is accepted.
  ASSERT_NE(LUM_HOSTMON_MACAddressNew(m_pstPort, MacOf(0xFD, 0x20).data()), nullptr);
  EXPECT_EQ(CountItems(), 254u);
  EXPECT_EQ(LUM_HOSTMON_MACAddressNew(m_pstPort, MacOf(0xFE, 0x20).data()), nullptr);
  EXPECT_EQ(CountItems(), 254u);
  // Room again after one delete.
  LUM_HOSTMON_MACAddressDel(LUM_HOSTMON_GetMacList());
  EXPECT_NE(LUM_HOSTMON_MACAddressNew(m_pstPort, MacOf(0xFE, 0x20).data()), nullptr);
}

TEST_F(MacListTest, ItemHolds33AddressesAndRefusesThe34th) {
  MacAddressItem *pstItem = LUM_HOSTMON_MACAddressNew(m_pstPort, MacOf(1).data());
  for (int i = 0; i < 32; ++i) {
    Addr addr = Ip4(("10.0.0." + std::to_string(i + 1)).c_str());
    ASSERT_NE(LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET, addr.data()), nullptr) << i;
  }
  EXPECT_NE(LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET6, Ip6("fe80::33").data()),
            nullptr);
  EXPECT_EQ(LUM_UTIL_ListGetCount(pstItem->pstIpList), 33u);
  EXPECT_EQ(LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET6, Ip6("fe80::34").data()),
            nullptr);
  EXPECT_EQ(LUM_UTIL_ListGetCount(pstItem->pstIpList), 33u);
}

TEST_F(MacListTest, NewAddressIsStampedAndCopiedWhole) {
  MacAddressItem *pstItem = LUM_HOSTMON_MACAddressNew(m_pstPort, MacOf(1).data());
  lum::testing::AdvanceMs(7000);
  Addr addr = Ip6("2001:db8::1:2:3");
  IpAddressItem *pstIp = LUM_HOSTMON_MACAddressAddIP(pstItem, 0x10A, addr.data());
  ASSERT_NE(pstIp, nullptr);
  EXPECT_EQ(pstIp->ulLastSeen, 1007u);
  EXPECT_EQ(pstIp->ucFamily, HOSTMON_AF_INET6);  // low 8 bits of the family
  EXPECT_EQ(pstIp->ucProbeCount, 0);
  EXPECT_EQ(memcmp(pstIp->aucAddr, addr.data(), 16), 0);
  EXPECT_EQ(LUM_HOSTMON_MACAddressAddIP(nullptr, HOSTMON_AF_INET, addr.data()), nullptr);
}

TEST_F(MacListTest, FindFormsCompareTheRightFieldIgnoringCase) {
  MacAddressItem *pstA = LUM_HOSTMON_MACAddressNew(m_pstPort, MacOf(0x0A).data());
  MacAddressItem *pstB = LUM_HOSTMON_MACAddressNew(m_pstPort, MacOf(0x0B).data());
  // The leases file names B's real MAC (as the lease reader would write it).
  HOSTMON_COPY_TEXT(pstB->acRealMac, "10:20:30:40:50:6F");

  EXPECT_EQ(LUM_HOSTMON_MACAddressGet(MacOf(0x0B).data()), pstB);
  EXPECT_EQ(LUM_HOSTMON_MACAddressGet(MacOf(0x0C).data()), nullptr);

  EXPECT_EQ(LUM_HOSTMON_MACAddressFind("aa:bb:cc:dd:ee:0a"), pstA);
  EXPECT_EQ(LUM_HOSTMON_MACAddressFind("10:20:30:40:50:6f"), pstB);
  EXPECT_EQ(LUM_HOSTMON_MACAddressFind("aa:bb:cc:dd:ee:0b"), nullptr);  // wire MAC, not real
  EXPECT_EQ(LUM_HOSTMON_MACAddressFind(nullptr), nullptr);

  const hoststest::Mac real{0x10, 0x20, 0x30, 0x40, 0x50, 0x6F};
  EXPECT_EQ(LUM_HOSTMON_MACAddressFindReal(real.data()), pstB);
  EXPECT_EQ(LUM_HOSTMON_MACAddressFindReal(MacOf(0x0B).data()), nullptr);
  EXPECT_EQ(LUM_HOSTMON_MACAddressFindReal(MacOf(0x0A).data()), pstA);

  EXPECT_EQ(LUM_HOSTMON_MACAddressFindVirtual("aa:bb:cc:dd:ee:0b"), pstB);
  EXPECT_EQ(LUM_HOSTMON_MACAddressFindVirtual("10:20:30:40:50:6F"), nullptr);
  EXPECT_EQ(LUM_HOSTMON_MACAddressFindVirtual("aa:bb:cc:dd:ee:0"), nullptr);  // whole text only
}

TEST_F(MacListTest, LookupsReturnTheFirstOfEqualItems) {
  MacAddressItem *pstFirst = LUM_HOSTMON_MACAddressNew(m_pstPort, MacOf(1).data());
  MacAddressItem *pstSecond = LUM_HOSTMON_MACAddressNew(m_pstPort2, MacOf(1).data());
  ASSERT_NE(pstSecond, nullptr);
  EXPECT_EQ(LUM_HOSTMON_MACAddressGet(MacOf(1).data()), pstFirst);
  EXPECT_EQ(LUM_HOSTMON_MACAddressFind("AA:BB:CC:DD:EE:01"), pstFirst);
}

TEST_F(MacListTest, DelByPortRemovesNeighboursInOneWalk) {
  // Adjacent items on the same port catch a walk that loses its successor.
  Host(MacOf(1), Ip4("192.168.1.11"));
  Host(MacOf(2), Ip4("192.168.1.12"));
  MacAddressItem *pstKept = Host(MacOf(3), Ip4("192.168.1.13"), HOSTMON_AF_INET, m_pstPort2);
  Host(MacOf(4), Ip4("192.168.1.14"));
  Host(MacOf(5), Ip4("192.168.1.15"));
  LUM_HOSTMON_MACAddressDelByPort(m_pstPort);
  EXPECT_EQ(LUM_HOSTMON_GetMacList(), pstKept);
  EXPECT_EQ(CountItems(), 1u);
  LUM_HOSTMON_MACAddressDelByPort(nullptr);
  LUM_HOSTMON_MACAddressDel(nullptr);
  EXPECT_EQ(CountItems(), 1u);
}

TEST_F(MacListTest, MatchComparesFourBytesForIpv4AndSixteenForIpv6) {
  IpAddressItem stIp{};
  stIp.ucFamily = HOSTMON_AF_INET;
  Addr addr = Ip4("192.168.1.20");
  memcpy(stIp.aucAddr, addr.data(), 16);
  Addr tail = addr;
  tail[4] = 0x55;  // beyond an IPv4 address: ignored
  EXPECT_EQ(LUM_HOSTMON_IPAddressMatch(&stIp, HOSTMON_AF_INET, tail.data()), 1u);
  EXPECT_EQ(LUM_HOSTMON_IPAddressMatch(&stIp, HOSTMON_AF_INET6, addr.data()), 0u);
  EXPECT_EQ(LUM_HOSTMON_IPAddressMatch(&stIp, HOSTMON_AF_INET, Ip4("192.168.1.21").data()), 0u);

  stIp.ucFamily = HOSTMON_AF_INET6;
  addr = Ip6("fe80::1");
  memcpy(stIp.aucAddr, addr.data(), 16);
  EXPECT_EQ(LUM_HOSTMON_IPAddressMatch(&stIp, HOSTMON_AF_INET6, addr.data()), 1u);
  Addr last = addr;
  last[15] = 2;
  EXPECT_EQ(LUM_HOSTMON_IPAddressMatch(&stIp, HOSTMON_AF_INET6, last.data()), 0u);
  EXPECT_EQ(LUM_HOSTMON_IPAddressMatch(nullptr, HOSTMON_AF_INET6, addr.data()), 0u);
}

TEST_F(MacListTest, FindAndRefreshAnAddress) {
  MacAddressItem *pstItem = Host(MacOf(1), Ip4("192.168.1.20"));
  LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET6, Ip6("fe80::1").data());
  IpAddressItem *pstIp =
      LUM_HOSTMON_IPAddressFind(pstItem, HOSTMON_AF_INET6, Ip6("fe80::1").data());
  ASSERT_NE(pstIp, nullptr);
  EXPECT_EQ(pstIp->ucFamily, HOSTMON_AF_INET6);
  EXPECT_EQ(LUM_HOSTMON_IPAddressFind(pstItem, HOSTMON_AF_INET, Ip6("fe80::1").data()), nullptr);
  EXPECT_EQ(LUM_HOSTMON_IPAddressFind(nullptr, HOSTMON_AF_INET6, Ip6("fe80::1").data()), nullptr);

  pstIp->ucProbeCount = 2;
  lum::testing::AdvanceMs(12000);
  LUM_HOSTMON_IPAddressRefresh(pstIp);
  EXPECT_EQ(pstIp->ulLastSeen, 1012u);
  EXPECT_EQ(pstIp->ucProbeCount, 0);
  LUM_HOSTMON_IPAddressRefresh(nullptr);
}

TEST_F(MacListTest, DeletingTheOnlyAddressRemovesTheItem) {
  MacAddressItem *pstItem = Host(MacOf(1), Ip4("192.168.1.20"));
  LUM_HOSTMON_IPAddressDel(pstItem, HOSTMON_AF_INET, Ip4("192.168.1.21").data());  // no match
  EXPECT_EQ(LUM_HOSTMON_MACAddressGet(MacOf(1).data()), pstItem);
  LUM_HOSTMON_IPAddressDel(pstItem, HOSTMON_AF_INET6, Ip4("192.168.1.20").data());  // wrong family
  EXPECT_EQ(LUM_HOSTMON_MACAddressGet(MacOf(1).data()), pstItem);
  LUM_HOSTMON_IPAddressDel(pstItem, HOSTMON_AF_INET, Ip4("192.168.1.20").data());
  EXPECT_EQ(LUM_HOSTMON_MACAddressGet(MacOf(1).data()), nullptr);
  EXPECT_EQ(LUM_HOSTMON_GetMacList(), nullptr);
}

TEST_F(MacListTest, DeletingOneOfTwoAddressesKeepsTheItem) {
  MacAddressItem *pstItem = Host(MacOf(1), Ip4("192.168.1.20"));
  LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET6, Ip6("fe80::1").data());
  LUM_HOSTMON_IPAddressDel(pstItem, HOSTMON_AF_INET, Ip4("192.168.1.20").data());
  ASSERT_EQ(LUM_HOSTMON_MACAddressGet(MacOf(1).data()), pstItem);
  EXPECT_EQ(Addresses(pstItem), (std::vector<std::string>{"fe80::1"}));
}

TEST_F(MacListTest, DelFamilyRemovesEveryAddressOfItThenTheEmptyItem) {
  MacAddressItem *pstItem = Host(MacOf(1), Ip6("fe80::1"), HOSTMON_AF_INET6);
  LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET6, Ip6("fe80::2").data());
  LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET, Ip4("192.168.1.20").data());
  LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET6, Ip6("2001:db8::3").data());
  LUM_HOSTMON_IPAddressDelFamily(pstItem, HOSTMON_AF_INET6);
  ASSERT_EQ(LUM_HOSTMON_GetMacList(), pstItem);
  EXPECT_EQ(Addresses(pstItem), (std::vector<std::string>{"192.168.1.20"}));
  LUM_HOSTMON_IPAddressDelFamily(pstItem, HOSTMON_AF_INET);
  EXPECT_EQ(LUM_HOSTMON_GetMacList(), nullptr);
}

TEST_F(MacListTest, GetIpv4SkipsLinkLocal) {
  MacAddressItem *pstItem = LUM_HOSTMON_MACAddressNew(nullptr, MacOf(1).data());
  EXPECT_EQ(LUM_HOSTMON_GetIPv4(pstItem), 0u);
  LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET6, Ip6("fe80::1").data());
  LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET, Ip4("169.254.3.4").data());
  EXPECT_EQ(LUM_HOSTMON_GetIPv4(pstItem), 0u);  // link-local only
  LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET, Ip4("169.253.3.4").data());
  LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET, Ip4("10.1.2.3").data());
  EXPECT_EQ(LUM_HOSTMON_GetIPv4(pstItem), Word("169.253.3.4"));  // only 169.254 is skipped
  LUM_HOSTMON_IPAddressDel(pstItem, HOSTMON_AF_INET, Ip4("169.253.3.4").data());
  EXPECT_EQ(LUM_HOSTMON_GetIPv4(pstItem), Word("10.1.2.3"));
  EXPECT_EQ(LUM_HOSTMON_GetIPv4(nullptr), 0u);
}

TEST_F(MacListTest, GetIpv6LinkLocalTakesTheFirstOfFe80Slash10) {
  MacAddressItem *pstItem = Host(MacOf(1), Ip4("192.168.1.20"));
  Addr out{};
  EXPECT_EQ(LUM_HOSTMON_GetIPv6LinkLocal(pstItem, out.data()), HOSTMON_ERR_NOT_FOUND);
  LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET6, Ip6("2001:db8::1").data());
  LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET6, Ip6("fec0::1").data());  // site-local
  EXPECT_EQ(LUM_HOSTMON_GetIPv6LinkLocal(pstItem, out.data()), HOSTMON_ERR_NOT_FOUND);
  LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET6, Ip6("febf::7").data());  // still /10
  LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET6, Ip6("fe80::8").data());
  EXPECT_EQ(LUM_HOSTMON_GetIPv6LinkLocal(pstItem, out.data()), HOSTMON_OK);
  EXPECT_EQ(out, Ip6("febf::7"));
  EXPECT_EQ(LUM_HOSTMON_GetIPv6LinkLocal(nullptr, out.data()), HOSTMON_ERR_NOT_FOUND);
}

TEST_F(MacListTest, GetIpv6ByIndexCountsOnlyIpv6InListOrder) {
  MacAddressItem *pstItem = Host(MacOf(1), Ip6("fe80::1"), HOSTMON_AF_INET6);
  LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET, Ip4("10.0.0.9").data());
  LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET6, Ip6("2001:db8::2").data());
  Addr out{};
  EXPECT_EQ(LUM_HOSTMON_GetIPv6ByIndex(pstItem, out.data(), 0), HOSTMON_OK);
  EXPECT_EQ(out, Ip6("fe80::1"));
  EXPECT_EQ(LUM_HOSTMON_GetIPv6ByIndex(pstItem, out.data(), 1), HOSTMON_OK);
  EXPECT_EQ(out, Ip6("2001:db8::2"));
  EXPECT_EQ(LUM_HOSTMON_GetIPv6ByIndex(pstItem, out.data(), 2), HOSTMON_ERR_NOT_FOUND);
  EXPECT_EQ(LUM_HOSTMON_GetIPv6ByIndex(nullptr, out.data(), 0), HOSTMON_ERR_NOT_FOUND);
}

struct SubnetCase {
  const char *pcA;
  const char *pcB;
  uint32_t ulExpected;
};

class SameSubnetTest : public ::testing::TestWithParam<SubnetCase> {};

TEST_P(SameSubnetTest, IsASlash24TestThatRefusesBroadcastB) {
  EXPECT_EQ(HostmonIsSameSubnet(Word(GetParam().pcA), Word(GetParam().pcB)), GetParam().ulExpected);
}

INSTANTIATE_TEST_SUITE_P(Table, SameSubnetTest,
                         ::testing::Values(SubnetCase{"192.168.1.1", "192.168.1.255", 0},
                                           SubnetCase{"192.168.1.1", "192.168.1.20", 1},
                                           SubnetCase{"192.168.1.255", "192.168.1.1", 1},
                                           SubnetCase{"192.168.1.1", "192.168.2.1", 0},
                                           SubnetCase{"192.168.1.1", "192.167.1.1", 0},
                                           SubnetCase{"192.168.1.1", "10.168.1.1", 0},
                                           SubnetCase{"192.168.1.1", "192.168.1.0", 1},
                                           SubnetCase{"0.0.0.0", "0.0.0.1", 1}));

TEST(FormatMacTest, UpperCaseColonSeparatedAndBounded) {
  const hoststest::Mac mac{0x00, 0x1a, 0xff, 0x0b, 0xc0, 0x09};
  char acOut[18];
  HostmonFormatMac(mac.data(), acOut, sizeof(acOut));
  EXPECT_STREQ(acOut, "00:1A:FF:0B:C0:09");
  char acShort[6];
  HostmonFormatMac(mac.data(), acShort, sizeof(acShort));
  EXPECT_STREQ(acShort, "00:1A");
}

TEST_F(MacListTest, BridgeSubnetAddressGoesFirstOthersLast) {
  MacAddressItem *pstItem = Host(MacOf(1), Ip4("10.0.0.5"));
  LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET6, Ip6("fe80::1").data());
  LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET, Ip4("192.168.1.20").data());
  LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET, Ip4("192.168.1.255").data());
  LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET, Ip4("192.168.1.21").data());
  EXPECT_EQ(Addresses(pstItem), (std::vector<std::string>{"192.168.1.21", "192.168.1.20",
                                                          "10.0.0.5", "fe80::1", "192.168.1.255"}));
  EXPECT_EQ(LUM_HOSTMON_GetIPv4(pstItem), Word("192.168.1.21"));
}

TEST_F(MacListTest, WithTheCompanionWanUpItsSubnetGoesFirstInstead) {
  HostmonSetOvanetWanIp(Word("10.0.0.1"));
  MacAddressItem *pstItem = Host(MacOf(1), Ip4("192.168.1.20"));
  LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET, Ip4("172.16.0.1").data());
  LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET, Ip4("10.0.0.5").data());
  EXPECT_EQ(Addresses(pstItem),
            (std::vector<std::string>{"10.0.0.5", "192.168.1.20", "172.16.0.1"}));
}

TEST_F(MacListTest, WithoutAPortOnlyTheWanRuleApplies) {
  MacAddressItem *pstItem = LUM_HOSTMON_MACAddressNew(nullptr, MacOf(1).data());
  LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET, Ip4("10.0.0.5").data());
  LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET, Ip4("192.168.1.20").data());
  EXPECT_EQ(Addresses(pstItem), (std::vector<std::string>{"10.0.0.5", "192.168.1.20"}));
  HostmonSetOvanetWanIp(Word("10.0.0.1"));
  LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET, Ip4("10.0.0.6").data());
  EXPECT_EQ(Addresses(pstItem), (std::vector<std::string>{"10.0.0.6", "10.0.0.5", "192.168.1.20"}));
}

}  // namespace
