// The add step: the exact notices of an added host, a conflict found at add
// time, and room made at 64 host objects.
#include "tests/unit/dbsync/dbsync_fixture.h"

namespace synctest {
namespace {

using lum::testing::EventRecords;

class AddHostsTest : public SyncTest {
 protected:
  static HostInfo AddRecord(uint8_t ucLast, uint32_t ulHost, const std::string &layer2) {
    HostInfo stInfo = Info(MacText(ucLast), layer2);
    stInfo.aulKeyList[0] = 1;
    stInfo.aulKeyList[1] = ulHost;
    return stInfo;
  }
};

TEST_F(AddHostsTest, AddedHostGetsExactNotices) {
  // An older off-line object still holds the new host's address: the new
  // object is 1.2, and it conflicts.
  AddHostObject(1, {{0, "192.168.1.20"}, {5, MacText(0x99)}});
  Host(0x20, m_pstEth1, {"192.168.1.20", "fe80::20"});
  HostmonSyncWithDb(HOSTMON_AF_INET);
  EXPECT_EQ(Ipv6Objects(1, 2), Strings{"fe80::20"});
  // The fill found slot 0 empty: neither an address change nor a second conflict.
  ASSERT_EQ(SentTypes(), (Types{kAdd, kConflict, kName}));
  EXPECT_EQ(lum::testing::SleptMs(), 400u);  // the added notice only
  // The system tests read the add and name notices field by field, and find
  // the event logged.
  HostInfo stConflict = AddRecord(0x20, 2, kEth1Domain);
  leasestest::SetField(stConflict.acConflictMac, MacText(0x99));
  EXPECT_EQ(FirstDifference(1, stConflict), -1);
  ASSERT_EQ(EventRecords().size(), 1u);
  EXPECT_EQ(EventRecords()[0].args, Strings{"AA:BB:CC:**:**:20"});
}

// A leases record can give any real-MAC text: its host still gets the whole
// add step, logged under the all-masked form.
TEST_F(AddHostsTest, RealMacTextThatIsNoMacStillGetsTheWholeAddStep) {
  MacAddressItem *pstItem = Host(0x21, m_pstEth1, {"192.168.1.21", "fe80::21"});
  HOSTMON_COPY_TEXT(pstItem->acRealMac, "client-21");
  HostmonSyncWithDb(HOSTMON_AF_INET);
  EXPECT_EQ(SentTypes(), (Types{kAdd, kName}));
  EXPECT_EQ(Ipv6Objects(1, 1), Strings{"fe80::21"});
  ASSERT_EQ(EventRecords().size(), 1u);
  EXPECT_EQ(EventRecords()[0].args, Strings{"**:**:**:**:**:**"});
}

// Hosts 1..64 each with an object under LAN device 1 and an item on eth0 at
// 192.168.1.(100 + n), host 3 active by IPv6 alone: full of active hosts, the
// table takes no new host; once 40 and 50 are off-line, 40 (first in database
// order) makes room.
TEST_F(AddHostsTest, RoomIsMadeAtSixtyFourObjectsFromInactiveOnesOnly) {
  for (uint8_t n = 1; n <= HOSTMON_MAX_HOST_OBJECTS; ++n) {
    const std::string ip = n == 3 ? "fe80::3" : "192.168.1." + std::to_string(100 + n);
    AddHostObject(1, {{0, n == 3 ? "" : ip}, {5, MacText(n)}, {7, kEth0Domain}},
                  {{n == 3 ? 15 : 14, 1}});
    Host(n, m_pstEth0, {ip});
  }
  MacAddressItem *pstNew = Host(0xF0, m_pstEth1, {"192.168.1.240"});
  ClearRecords();
  HostmonSyncWithDb(HOSTMON_AF_INET);
  EXPECT_TRUE(SentMessages().empty());
  EXPECT_EQ(pstNew->ucInDb, 0u);  // tried again on the next pass

  for (uint8_t n : {40, 50})
    LUM_HOSTMON_MACAddressDel(LUM_HOSTMON_MACAddressFind(MacText(n).c_str()));
  HostmonSyncWithDb(HOSTMON_AF_INET);
  ASSERT_EQ(SentTypes(), (Types{kChange, kChange, kDel, kAdd, kName}));
  EXPECT_EQ(lum::testing::SleptMs(), 1600u);  // off-line twice, deleted, added
  HostInfo stDel = Info(MacText(40), kEth0Domain);
  const uint8_t aucAddr[4] = {192, 168, 1, 140};  // transmission order
  memcpy(&stDel.ulYiaddr, aucAddr, sizeof(aucAddr));
  EXPECT_EQ(FirstDifference(2, stDel), -1);
  EXPECT_EQ(HostObjects().size(), HOSTMON_MAX_HOST_OBJECTS);
  EXPECT_EQ(Object(MacText(40)).aulKeys[1], 0u);
  // Instance numbers are not reused.
  EXPECT_EQ(FirstDifference(3, AddRecord(0xF0, HOSTMON_MAX_HOST_OBJECTS + 1, kEth1Domain)), -1);
}

}  // namespace
}  // namespace synctest
