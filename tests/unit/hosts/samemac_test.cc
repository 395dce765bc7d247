// The same-MAC rule: which duplicate goes, what is logged, what the flag says.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/hosts/hosts_fixture.h"

namespace {

using hoststest::Ip4;
using hoststest::MacOf;
using lum::testing::MlogLines;
using lum::testing::TraceLines;

class SameMacTest : public hoststest::HostTableTest {
 protected:
  // An item seen under its own wire MAC whose lease names another real MAC.
  MacAddressItem *Renamed(uint8_t ucLast, const char *pcReal, Port *pstPort = nullptr) {
    MacAddressItem *pstItem =
        Host(MacOf(ucLast, 0x77), Ip4("192.168.1.50"), HOSTMON_AF_INET, pstPort);
    HOSTMON_COPY_TEXT(pstItem->acRealMac, pcReal);
    return pstItem;
  }
};

TEST_F(SameMacTest, MissingFlagIsTracedAndNothingDeleted) {
  MacAddressItem *pstA = Host(MacOf(1), Ip4("192.168.1.11"));
  Renamed(2, "AA:BB:CC:DD:EE:01");
  LUM_HOSTMON_CheckSameMac(pstA, nullptr);
  EXPECT_EQ(TraceLines(), (std::vector<std::string>{"bNeedSync is null\n"}));
  EXPECT_EQ(CountItems(), 2u);
}

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
  const std::string line =
      "same MAC VM[AA:BB:**:**:**:AB]RM[AA:BB:**:**:**:AB]FM[AA:BB:**:**:**:02]IP[b01a8c0]"
      "DHCP[1]Pt[eth1]\n";
  EXPECT_EQ(MlogLines(), (std::vector<std::string>{line}));
  EXPECT_EQ(TraceLines(), (std::vector<std::string>{line}));
}

TEST_F(SameMacTest, CurrentItemSurvivesEvenWhenFirstInTable) {
  MacAddressItem *pstA = Host(MacOf(1), Ip4("192.168.1.11"));
  MacAddressItem *pstB = Renamed(2, "AA:BB:CC:DD:EE:01");
  uint32_t bNeedSync = 0;
  LUM_HOSTMON_CheckSameMac(pstA, &bNeedSync);
  EXPECT_EQ(bNeedSync, 1u);
  EXPECT_EQ(LUM_HOSTMON_GetMacList(), pstA);
  EXPECT_EQ(pstA->pstNext, nullptr);
  EXPECT_EQ(LUM_HOSTMON_MACAddressGet(MacOf(2, 0x77).data()), nullptr);
  (void)pstB;
}

TEST_F(SameMacTest, OneCallRemovesOnlyTheFirstOtherDuplicate) {
  MacAddressItem *pstFirst = Renamed(1, "10:20:30:40:50:60");
  MacAddressItem *pstSecond = Renamed(2, "10:20:30:40:50:60");
  MacAddressItem *pstCurrent = Renamed(3, "10:20:30:40:50:60");
  uint32_t bNeedSync = 0;
  LUM_HOSTMON_CheckSameMac(pstCurrent, &bNeedSync);
  EXPECT_EQ(bNeedSync, 1u);
  EXPECT_EQ(LUM_HOSTMON_GetMacList(), pstSecond);
  EXPECT_EQ(pstSecond->pstNext, pstCurrent);
  EXPECT_EQ(MlogLines().size(), 1u);
  (void)pstFirst;
}

TEST_F(SameMacTest, WithoutDuplicateTheFlagKeepsItsValue) {
  MacAddressItem *pstA = Host(MacOf(1), Ip4("192.168.1.11"));
  Host(MacOf(2), Ip4("192.168.1.12"));
  for (uint32_t ulGiven : {0u, 5u}) {
    uint32_t bNeedSync = ulGiven;
    LUM_HOSTMON_CheckSameMac(pstA, &bNeedSync);
    EXPECT_EQ(bNeedSync, ulGiven);
  }
  EXPECT_EQ(CountItems(), 2u);
  EXPECT_TRUE(MlogLines().empty());
  EXPECT_TRUE(TraceLines().empty());
}

TEST_F(SameMacTest, DuplicateWithoutPortLogsAnEmptyPortName) {
  MacAddressItem *pstA = LUM_HOSTMON_MACAddressNew(nullptr, MacOf(1).data());
  MacAddressItem *pstB = Renamed(2, "AA:BB:CC:DD:EE:01");
  uint32_t bNeedSync = 0;
  LUM_HOSTMON_CheckSameMac(pstB, &bNeedSync);
  ASSERT_EQ(MlogLines().size(), 1u);
  EXPECT_EQ(MlogLines()[0],
            "same MAC VM[AA:BB:**:**:**:01]RM[AA:BB:**:**:**:01]FM[AA:BB:**:**:**:02]IP[0]"
            "DHCP[0]Pt[]\n");
  EXPECT_EQ(LUM_HOSTMON_GetMacList(), pstB);
  (void)pstA;
}

}  // namespace
