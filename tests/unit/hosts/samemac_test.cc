// The same-MAC rule: which duplicate goes, what is logged, what the flag says.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/hosts/hosts_fixture.h"

namespace {

using hoststest::Ip4;
using hoststest::MacOf;
using lum::testing::MlogLines;

class SameMacTest : public hoststest::HostTableTest {
 protected:
  // An item seen under its own wire MAC whose lease names another real MAC.
  MacAddressItem *Renamed(uint8_t ucLast, const char *pcReal) {
    MacAddressItem *pstItem = Host(MacOf(ucLast, 0x77), Ip4("192.168.1.50"));
    HOSTMON_COPY_TEXT(pstItem->acRealMac, pcReal);
    return pstItem;
  }
};

TEST_F(SameMacTest, RealMacDifferingOnlyInCaseIsADuplicate) {
  MacAddressItem *pstA = Host(MacOf(0xAB), Ip4("192.168.1.11"), HOSTMON_AF_INET, m_pstPort2);
  pstA->ulLeasedAddr = 0x0b01a8c0;
  pstA->ulDhcp = 1;
  MacAddressItem *pstB = Renamed(0x02, "aa:bb:cc:dd:ee:ab");
  uint32_t bNeedSync = 0;
  LUM_HOSTMON_CheckSameMac(pstB, &bNeedSync);
  EXPECT_EQ(bNeedSync, 1u);
  EXPECT_EQ(LUM_HOSTMON_GetMacList(), pstB);
  EXPECT_EQ(CountItems(), 1u);
  EXPECT_EQ(MlogLines(), (std::vector<std::string>{
                             "same MAC VM[AA:BB:**:**:**:AB]RM[AA:BB:**:**:**:AB]FM[AA:BB:**:**:**:"
                             "02]IP[b01a8c0]DHCP[1]Pt[eth1]\n"}));
}

TEST_F(SameMacTest, CurrentItemSurvivesEvenWhenFirstInTable) {
  MacAddressItem *pstA = Host(MacOf(1), Ip4("192.168.1.11"));
  Renamed(2, "AA:BB:CC:DD:EE:01");
  uint32_t bNeedSync = 0;
  LUM_HOSTMON_CheckSameMac(pstA, &bNeedSync);
  EXPECT_EQ(bNeedSync, 1u);
  EXPECT_EQ(LUM_HOSTMON_GetMacList(), pstA);
  EXPECT_EQ(pstA->pstNext, nullptr);
}

TEST_F(SameMacTest, OneCallRemovesOnlyTheFirstOtherDuplicate) {
  Renamed(1, "10:20:30:40:50:60");
  MacAddressItem *pstSecond = Renamed(2, "10:20:30:40:50:60");
  MacAddressItem *pstCurrent = Renamed(3, "10:20:30:40:50:60");
  uint32_t bNeedSync = 0;
  LUM_HOSTMON_CheckSameMac(pstCurrent, &bNeedSync);
  EXPECT_EQ(LUM_HOSTMON_GetMacList(), pstSecond);
  EXPECT_EQ(pstSecond->pstNext, pstCurrent);
  EXPECT_EQ(MlogLines().size(), 1u);
}

TEST_F(SameMacTest, WithoutDuplicateTheFlagKeepsItsValue) {
  MacAddressItem *pstA = Host(MacOf(1), Ip4("192.168.1.11"));
  Host(MacOf(2), Ip4("192.168.1.12"));
  uint32_t bNeedSync = 5;
  LUM_HOSTMON_CheckSameMac(pstA, &bNeedSync);
  EXPECT_EQ(bNeedSync, 5u);
  EXPECT_EQ(CountItems(), 2u);
  EXPECT_TRUE(MlogLines().empty());
}

}  // namespace
