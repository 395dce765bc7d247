// The sync pass: the walk over the host objects, moves, adds, the deferred save.
#include "tests/unit/dbsync/dbsync_fixture.h"

namespace synctest {
namespace {

using lum::testing::DbSaveCount;

// Position of the first trace line equal to text; the line count when none.
size_t TraceIndex(const std::string &text) {
  const auto &lines = lum::testing::TraceLines();
  return static_cast<size_t>(std::find(lines.begin(), lines.end(), text) - lines.begin());
}

// Object A (MAC in lower case, its item now on br1), B (unchanged), C (no
// item); items 4 and 5 have no object. A is refreshed where it lies while the
// walk goes on, the move comes after the walk, then 4 and 5 are added in list
// order (4 on LAN device 2, 5 on LAN device 1).
TEST_F(SyncTest, WalkRefreshesAndMarksOffLineThenMovesThenAdds) {
  Host(1, m_pstEth2, {"192.168.2.10", "fe80::1"});
  Host(2, m_pstEth0, {"192.168.1.20"});
  Host(4, m_pstEth2, {"192.168.2.40"});
  Host(5, m_pstEth1, {"192.168.1.50"});
  const uint32_t ulA = AddHostObject(1, {{0, "192.168.1.10"}, {5, "aa:bb:cc:dd:ee:01"}}, {{14, 1}});
  AddHostObject(1, {{0, "192.168.1.20"}, {5, MacText(2)}, {7, kEth0Domain}}, {{14, 1}});
  AddHostObject(1, {{0, "192.168.1.30"}, {5, MacText(3)}}, {{14, 1}});
  AdvanceMs(700);  // the fill at uptime 1000 s, its notice after the pause at 1001 s
  HostmonSyncWithDb(HOSTMON_AF_INET);

  const std::string moveLine =
      "Host entry with keylist [1:" + std::to_string(ulA) + "] in DB should be moved to [2].\n";
  EXPECT_EQ(Traced(moveLine), 1u);
  EXPECT_LT(TraceIndex(moveLine), TraceIndex("Sync 1th Host in DB now ...\n"));
  EXPECT_LT(TraceIndex("Get 3th object failed with number db0002.\n"),
            TraceIndex("Move Hosts.{i}. now ...\n"));
  EXPECT_EQ(HostmonGetMoveHostList(), nullptr);
  // A: its address changed, on the line again (new layer-2 path) with a bare
  // notice; C: off the line.
  ASSERT_EQ(SentTypes(), (Types{kIpChange, kChange, kChange, kAdd, kName, kAdd, kName}));
  EXPECT_EQ(FirstDifference(1, Info(MacText(1))), -1);
  EXPECT_EQ(MacOf(2) + MacOf(3) + MacOf(5), MacText(3) + MacText(4) + MacText(5));
  ASSERT_EQ(HostObjects().size(), 5u) << "A matched, not added again";
  const HostObject a = Object(MacText(1));
  EXPECT_EQ(a.aulKeys[0], 2u);
  EXPECT_EQ(a.text[HOSTMON_HOST_SLOT_IP], "192.168.2.10");
  EXPECT_EQ(a.text[HOSTMON_HOST_SLOT_LAYER2], kEth2Domain);
  EXPECT_EQ(a.num[HOSTMON_HOST_SLOT_LAST_CHANGE], 1000u);
  EXPECT_EQ(Ipv6Objects(2, a.aulKeys[1]), Strings{"fe80::1"});
  EXPECT_EQ(Object(MacText(2)).num[HOSTMON_HOST_SLOT_IPV4_ACTIVE], 1u);
  EXPECT_EQ(Object(MacText(3)).num[HOSTMON_HOST_SLOT_IPV4_ACTIVE], 0u);
}

// Two items with one real MAC in different cases, and an object whose MAC text
// has a third: the first item in table order fills it, and both count as in
// the database, so neither gets an object of its own.
TEST_F(SyncTest, ObjectMatchesTheFirstItemOfItsRealMacInAnyCase) {
  MacAddressItem *pstFirst = Host(1, m_pstEth0, {"192.168.1.10", "fe80::1"});
  MacAddressItem *pstSecond = Host(2, m_pstEth0, {"192.168.1.20", "fe80::2"});
  HOSTMON_COPY_TEXT(pstFirst->acRealMac, "0a:1b:2c:3d:4e:5f");
  HOSTMON_COPY_TEXT(pstSecond->acRealMac, "0A:1B:2C:3D:4E:5F");
  const uint32_t ulObj = AddHostObject(1, {{5, "0A:1b:2C:3d:4E:5f"}}, {{14, 1}});
  HostmonSyncWithDb(HOSTMON_AF_INET);
  ASSERT_EQ(HostObjects().size(), 1u);
  EXPECT_EQ(Ipv6Objects(1, ulObj), Strings{"fe80::1"});
  EXPECT_EQ(pstFirst->ucInDb + pstSecond->ucInDb, 0) << "marks cleared by the add step";
}

// Objects without an item: both flags written 0, "cms" told once, only when the
// IPv4 flag goes 1 -> 0; the objects stay. An IPv6 flag going 1 -> 0 alone asks
// for a save, without a notice.
TEST_F(SyncTest, VanishedHostsAreMarkedOffLineOnce) {
  AddHostObject(1, {{0, "10.20.200.1"}, {5, MacText(1)}}, {{14, 1}});
  AddHostObject(1, {{5, MacText(2)}}, {{14, 1}, {15, 1}});
  const uint32_t aulC[LUM_DB_KEYS] = {1, AddHostObject(1, {{0, "192.168.1.3"}, {5, MacText(3)}})};
  HostmonSyncWithDb(HOSTMON_AF_INET);
  ASSERT_EQ(HostObjects().size(), 3u);
  for (const HostObject &obj : HostObjects()) EXPECT_EQ(obj.num[14] + obj.num[15], 0u);
  ASSERT_EQ(SentTypes(), (Types{kChange, kChange}));
  // The system tests read an off-line notice field by field.
  EXPECT_EQ(FirstDifference(1, Info(MacText(2))), -1) << "no address: 0";
  EXPECT_EQ(lum::testing::SleptMs(), 800u);
  EXPECT_NE(HostmonDbSaveTimer(), 0u);
  for (const uint32_t ulIpv6Active : {0, 1}) {
    ASSERT_EQ(LUM_DBSetPara(aulC, LUM_DB_PARA_HOST_IPV6_ACTIVE, ulIpv6Active), 0u);
    ClearRecords();
    HostmonSyncWithDb(HOSTMON_AF_INET);
    EXPECT_TRUE(SentMessages().empty());
    EXPECT_EQ(Traced("No need to save DB"), 1 - ulIpv6Active);
  }
}

// A refused write ends the walk: later objects are neither refreshed nor
// marked off-line, their items count as new, the failed one's item does not.
TEST_F(SyncTest, RefusedWriteEndsTheWalk) {
  AddHostObject(1, {{5, MacText(1)}}, {{14, 1}});
  AddHostObject(1, {{5, MacText(2)}}, {{14, 1}});
  AddHostObject(1, {{5, MacText(9)}, {0, "192.168.1.99"}}, {{14, 1}});
  Host(1, m_pstEth0, {"192.168.1.10"});
  Host(2, m_pstEth1, {"192.168.1.20"});
  lum::testing::FailDbSetObj(0xDB0006);
  HostmonSyncWithDb(HOSTMON_AF_INET);
  EXPECT_EQ(Traced("Set hosts value to DB failed with db0006.\n"), 1u);
  EXPECT_EQ(Traced("Sync 1th Host in DB now ...\n"), 0u);
  const std::vector<HostObject> objs = HostObjects();
  ASSERT_EQ(objs.size(), 4u);
  EXPECT_EQ(objs[0].text[HOSTMON_HOST_SLOT_IP], "") << "the refused write left it as it was";
  EXPECT_EQ(objs[1].text[HOSTMON_HOST_SLOT_IP], "") << "not refreshed";
  EXPECT_EQ(objs[2].num[HOSTMON_HOST_SLOT_IPV4_ACTIVE], 1u) << "not marked off-line";
  EXPECT_EQ(objs[3].text[HOSTMON_HOST_SLOT_MAC], MacText(2)) << "host 2 added again";
  EXPECT_EQ(SentTypes(), (Types{kAdd, kName}));
  for (const MacAddressItem *p = LUM_HOSTMON_GetMacList(); p; p = p->pstNext) {
    EXPECT_EQ(p->ucInDb, 0u);
  }
}

// Saves: one, 1000 ms after the last pass that changed something.
TEST_F(SyncTest, SavesCoalesceAndIdlePassesLeaveTheTimerAlone) {
  Host(1, m_pstEth0, {"192.168.1.10"});
  HostmonSyncWithDb(HOSTMON_AF_INET);
  const uint32_t ulTimer = HostmonDbSaveTimer();
  EXPECT_EQ(DueInMs(ulTimer), 1000u);
  AdvanceMs(500);
  Host(2, m_pstEth1, {"192.168.1.20"});
  HostmonSyncWithDb(HOSTMON_AF_INET);
  EXPECT_EQ(HostmonDbSaveTimer(), ulTimer) << "restarted, not a second timer";
  EXPECT_EQ(DueInMs(ulTimer), 1000u);
  AdvanceMs(300);
  ClearRecords();
  HostmonSyncWithDb(HOSTMON_AF_INET);  // nothing changed since
  EXPECT_EQ(Traced("No need to save DB"), 1u);
  EXPECT_EQ(DueInMs(ulTimer), 700u);
  AdvanceMs(699);
  EXPECT_EQ(DbSaveCount(), 0u);
  AdvanceMs(1);
  EXPECT_EQ(DbSaveCount(), 1u);
  EXPECT_EQ(HostmonDbSaveTimer(), 0u);
  AdvanceMs(5000);
  EXPECT_EQ(DbSaveCount(), 1u);
}

}  // namespace
}  // namespace synctest
