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
  static void Add(MacAddressItem *pstItem, const char *pcAddr) {
    const bool bSix = strchr(pcAddr, ':') != nullptr;
    LUM_HOSTMON_MACAddressAddIP(pstItem, bSix ? HOSTMON_AF_INET6 : HOSTMON_AF_INET,
                                (bSix ? Ip6(pcAddr) : Ip4(pcAddr)).data());
  }
};

TEST_F(MacListTest, TableHolds254ItemsAndAnItem33Addresses) {
  for (uint32_t i = 0; i < 253; ++i) {
    ASSERT_NE(LUM_HOSTMON_MACAddressNew(m_pstPort, MacOf(i & 0xFF, 0x10).data()), nullptr) << i;
  }
  // 253 in the list: one more is accepted.
  ASSERT_NE(LUM_HOSTMON_MACAddressNew(m_pstPort, MacOf(0xFD, 0x20).data()), nullptr);
  EXPECT_EQ(LUM_HOSTMON_MACAddressNew(m_pstPort, MacOf(0xFE, 0x20).data()), nullptr);
  EXPECT_EQ(CountItems(), 254u);
  LUM_HOSTMON_MACAddressDel(LUM_HOSTMON_GetMacList());
  MacAddressItem *pstItem = LUM_HOSTMON_MACAddressNew(m_pstPort, MacOf(0xFE, 0x20).data());
  ASSERT_NE(pstItem, nullptr);

  for (int i = 0; i < 32; ++i) {
    Addr addr = Ip4(("10.0.0." + std::to_string(i + 1)).c_str());
    ASSERT_NE(LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET, addr.data()), nullptr) << i;
  }
  EXPECT_NE(LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET6, Ip6("fe80::33").data()),
            nullptr);
  EXPECT_EQ(LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET6, Ip6("fe80::34").data()),
            nullptr);
  EXPECT_EQ(LUM_UTIL_ListGetCount(pstItem->pstIpList), 33u);
}

TEST_F(MacListTest, FindFormsCompareTheRightFieldIgnoringCase) {
  MacAddressItem *pstA = LUM_HOSTMON_MACAddressNew(m_pstPort, MacOf(0x0A).data());
  MacAddressItem *pstB = LUM_HOSTMON_MACAddressNew(m_pstPort, MacOf(0x0B).data());
  LUM_HOSTMON_MACAddressNew(m_pstPort2, MacOf(0x0A).data());  // equal items: first wins
  HOSTMON_COPY_TEXT(pstB->acRealMac, "10:20:30:40:50:6F");    // as a lease names it
  EXPECT_EQ(LUM_HOSTMON_MACAddressGet(MacOf(0x0B).data()), pstB);
  EXPECT_EQ(LUM_HOSTMON_MACAddressFind("aa:bb:cc:dd:ee:0a"), pstA);
  EXPECT_EQ(LUM_HOSTMON_MACAddressFind("10:20:30:40:50:6f"), pstB);
  EXPECT_EQ(LUM_HOSTMON_MACAddressFind("aa:bb:cc:dd:ee:0b"), nullptr);  // wire MAC, not real
  const hoststest::Mac real{0x10, 0x20, 0x30, 0x40, 0x50, 0x6F};
  EXPECT_EQ(LUM_HOSTMON_MACAddressFindReal(real.data()), pstB);
  EXPECT_EQ(LUM_HOSTMON_MACAddressFindReal(MacOf(0x0B).data()), nullptr);
  EXPECT_EQ(LUM_HOSTMON_MACAddressFindVirtual("aa:bb:cc:dd:ee:0b"), pstB);
  EXPECT_EQ(LUM_HOSTMON_MACAddressFindVirtual("aa:bb:cc:dd:ee:0"), nullptr);  // whole text only
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
}

TEST_F(MacListTest, RefreshAndDeletionsOfAddresses) {
  MacAddressItem *pstItem = Host(MacOf(1), Ip6("fe80::1"), HOSTMON_AF_INET6);
  Add(pstItem, "fe80::2");
  Add(pstItem, "192.168.1.20");
  Add(pstItem, "2001:db8::3");
  IpAddressItem *pstIp =
      LUM_HOSTMON_IPAddressFind(pstItem, HOSTMON_AF_INET6, Ip6("fe80::2").data());
  ASSERT_NE(pstIp, nullptr);
  pstIp->ucProbeCount = 2;
  lum::testing::AdvanceMs(12000);
  LUM_HOSTMON_IPAddressRefresh(pstIp);
  EXPECT_EQ(pstIp->ulLastSeen, 1012u);
  EXPECT_EQ(pstIp->ucProbeCount, 0);

  LUM_HOSTMON_IPAddressDel(pstItem, HOSTMON_AF_INET6, Ip4("192.168.1.20").data());  // family
  LUM_HOSTMON_IPAddressDel(pstItem, HOSTMON_AF_INET6, Ip6("fe80::1").data());
  EXPECT_EQ(Addresses(pstItem),
            (std::vector<std::string>{"192.168.1.20", "fe80::2", "2001:db8::3"}));
  LUM_HOSTMON_IPAddressDelFamily(pstItem, HOSTMON_AF_INET6);
  EXPECT_EQ(Addresses(pstItem), (std::vector<std::string>{"192.168.1.20"}));
  LUM_HOSTMON_IPAddressDel(pstItem, HOSTMON_AF_INET, Ip4("192.168.1.20").data());
  EXPECT_EQ(LUM_HOSTMON_GetMacList(), nullptr);  // the emptied item goes too
}

TEST_F(MacListTest, AddressGettersPickTheRightOne) {
  MacAddressItem *pstItem = LUM_HOSTMON_MACAddressNew(nullptr, MacOf(1).data());
  Addr out{};
  Add(pstItem, "2001:db8::1");
  Add(pstItem, "169.254.3.4");
  Add(pstItem, "fec0::1");                      // site-local
  EXPECT_EQ(LUM_HOSTMON_GetIPv4(pstItem), 0u);  // link-local only
  EXPECT_EQ(LUM_HOSTMON_GetIPv6LinkLocal(pstItem, out.data()), HOSTMON_ERR_NOT_FOUND);
  Add(pstItem, "169.253.3.4");
  Add(pstItem, "febf::7");  // still fe80::/10
  Add(pstItem, "fe80::8");
  EXPECT_EQ(LUM_HOSTMON_GetIPv4(pstItem), Word("169.253.3.4"));  // only 169.254 is skipped
  EXPECT_EQ(LUM_HOSTMON_GetIPv6LinkLocal(pstItem, out.data()), HOSTMON_OK);
  EXPECT_EQ(out, Ip6("febf::7"));
  // By index: IPv6 only, in list order.
  EXPECT_EQ(LUM_HOSTMON_GetIPv6ByIndex(pstItem, out.data(), 1), HOSTMON_OK);
  EXPECT_EQ(out, Ip6("fec0::1"));
  EXPECT_EQ(LUM_HOSTMON_GetIPv6ByIndex(pstItem, out.data(), 4), HOSTMON_ERR_NOT_FOUND);
}

TEST(SameSubnetTest, IsASlash24TestThatRefusesBroadcastB) {
  const struct {
    const char *pcA, *pcB;
    uint32_t ulExpected;
  } astCases[] = {{"192.168.1.1", "192.168.1.255", 0}, {"192.168.1.1", "192.168.1.20", 1},
                  {"192.168.1.255", "192.168.1.1", 1}, {"192.168.1.1", "192.168.2.1", 0},
                  {"192.168.1.1", "10.168.1.1", 0},    {"192.168.1.1", "192.168.1.0", 1}};
  for (const auto &stCase : astCases) {
    EXPECT_EQ(HostmonIsSameSubnet(Word(stCase.pcA), Word(stCase.pcB)), stCase.ulExpected)
        << stCase.pcA << " " << stCase.pcB;
  }
}

TEST_F(MacListTest, BridgeSubnetAddressGoesFirstOthersLast) {
  MacAddressItem *pstItem = Host(MacOf(1), Ip4("10.0.0.5"));
  for (const char *pcAddr : {"fe80::1", "192.168.1.20", "192.168.1.255", "192.168.1.21"}) {
    Add(pstItem, pcAddr);
  }
  EXPECT_EQ(Addresses(pstItem), (std::vector<std::string>{"192.168.1.21", "192.168.1.20",
                                                          "10.0.0.5", "fe80::1", "192.168.1.255"}));
  EXPECT_EQ(LUM_HOSTMON_GetIPv4(pstItem), Word("192.168.1.21"));
}

TEST_F(MacListTest, WithTheCompanionWanUpItsSubnetGoesFirstInstead) {
  MacAddressItem *pstLoose = LUM_HOSTMON_MACAddressNew(nullptr, MacOf(2).data());
  Add(pstLoose, "10.0.0.5");
  Add(pstLoose, "192.168.1.20");  // without a port: no bridge rule
  HostmonSetOvanetWanIp(Word("10.0.0.1"));
  MacAddressItem *pstItem = Host(MacOf(1), Ip4("192.168.1.20"));
  Add(pstItem, "172.16.0.1");
  Add(pstItem, "10.0.0.5");
  EXPECT_EQ(Addresses(pstItem),
            (std::vector<std::string>{"10.0.0.5", "192.168.1.20", "172.16.0.1"}));
  Add(pstLoose, "10.0.0.6");
  EXPECT_EQ(Addresses(pstLoose),
            (std::vector<std::string>{"10.0.0.6", "10.0.0.5", "192.168.1.20"}));
}

}  // namespace
