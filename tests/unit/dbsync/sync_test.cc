// The sync pass, step by step.
#include <algorithm>

#include "tests/unit/dbsync/dbsync_fixture.h"

namespace synctest {
namespace {

using lum::testing::AdvanceMs;
using lum::testing::SleptMs;
using lum::testing::TraceLines;

// Position of the first trace line equal to text; the line count when none.
size_t TraceIndex(const std::string &text) {
  const auto &lines = TraceLines();
  return static_cast<size_t>(std::find(lines.begin(), lines.end(), text) - lines.begin());
}

uint64_t DueInMs(uint32_t ulHandle) {
  uint64_t ulDue = 0;
  EXPECT_TRUE(lum::testing::TimerDueInMs(ulHandle, &ulDue)) << "timer " << ulHandle;
  return ulDue;
}

TEST_F(SyncTest, EmptyDatabaseGetsEveryHostInListOrder) {
  Host(1, m_pstEth0, {"192.168.1.10", "fe80::1", "2001:db8::1"});
  Host(2, m_pstEth2, {"192.168.2.20"});
  EXPECT_EQ(HostmonSyncWithDb(HOSTMON_AF_INET), 0u);

  const std::vector<HostObject> objs = HostObjects();
  ASSERT_EQ(objs.size(), 2u);
  EXPECT_EQ(objs[0].aulKeys[0], 1u);
  EXPECT_EQ(objs[0].text[HOSTMON_HOST_SLOT_MAC], MacText(1));
  EXPECT_EQ(objs[0].text[HOSTMON_HOST_SLOT_IP], "192.168.1.10");
  EXPECT_EQ(objs[0].text[HOSTMON_HOST_SLOT_IPV6_LL], "fe80::1");
  EXPECT_EQ(objs[0].text[HOSTMON_HOST_SLOT_LAYER2], kEth0Domain);
  EXPECT_EQ(objs[0].text[HOSTMON_HOST_SLOT_HOST_NAME], "Static-AA-BB-CC-DD-EE-01");
  EXPECT_EQ(objs[1].aulKeys[0], 2u);
  EXPECT_EQ(objs[1].text[HOSTMON_HOST_SLOT_LAYER2], kEth2Domain);
  EXPECT_EQ(Ipv6Objects(1, objs[0].aulKeys[1]),
            (std::vector<std::string>{"fe80::1", "2001:db8::1"}));
  EXPECT_EQ(Sent(LUM_MSG_HOSTMON_HOST_ADD).size(), 2u);
  EXPECT_EQ(Sent(LUM_MSG_HOSTMON_DEVICE_NAME_UPDATE).size(), 2u);
  EXPECT_EQ(lum::testing::SleptMs(), 800u);
  EXPECT_EQ(ReadFixed(HOSTMON_NEIGHBORS_FILE),
            "AA:BB:CC:DD:EE:01 192.168.1.10\nAA:BB:CC:DD:EE:01 fe80::1\n"
            "AA:BB:CC:DD:EE:01 2001:db8::1\nAA:BB:CC:DD:EE:02 192.168.2.20\n");
}

// The object's MAC text is lower case: still the same host, refreshed and not
// added a second time; the other item has no object and is added.
TEST_F(SyncTest, PresentHostMatchedWithoutRegardToCase) {
  MacAddressItem *pstItem = Host(1, m_pstEth0, {"192.168.1.10", "fe80::a"});
  Host(2, m_pstEth1, {"192.168.1.20"});
  const uint32_t ulInst = AddHostObject(1, {{HOSTMON_HOST_SLOT_MAC, "aa:bb:cc:dd:ee:01"}});
  HostmonSyncWithDb(HOSTMON_AF_INET);

  const std::vector<HostObject> objs = HostObjects();
  ASSERT_EQ(objs.size(), 2u);
  EXPECT_EQ(objs[0].aulKeys[1], ulInst);
  EXPECT_EQ(objs[0].text[HOSTMON_HOST_SLOT_MAC], MacText(1));
  EXPECT_EQ(objs[0].text[HOSTMON_HOST_SLOT_IP], "192.168.1.10");
  EXPECT_EQ(objs[0].text[HOSTMON_HOST_SLOT_LAYER2], kEth0Domain);
  EXPECT_EQ(objs[0].num[HOSTMON_HOST_SLOT_IPV4_ACTIVE], 1u);
  EXPECT_EQ(Ipv6Objects(1, ulInst), std::vector<std::string>{"fe80::a"});
  EXPECT_EQ(objs[1].text[HOSTMON_HOST_SLOT_MAC], MacText(2));
  ASSERT_EQ(Sent(LUM_MSG_HOSTMON_HOST_ADD).size(), 1u);
  EXPECT_STREQ(InfoOf(Sent(LUM_MSG_HOSTMON_HOST_ADD)[0]).acChAddr, MacText(2).c_str());
  EXPECT_EQ(pstItem->ucInDb, 0) << "marks are all 0 after a complete pass";
}

// A host whose MAC is in no item: both flags written 0 every pass, "cms" told
// only when the IPv4 flag goes 1 -> 0, and the object itself kept.
struct OfflineCase {
  const char *pcName;
  uint32_t ulActive4;
  uint32_t ulActive6;
  const char *pcIp;
  bool bNotice;
  bool bSave;
};

void PrintTo(const OfflineCase &c, std::ostream *pOs) { *pOs << c.pcName; }

class OfflineTest : public SyncTest, public ::testing::WithParamInterface<OfflineCase> {};

TEST_P(OfflineTest, VanishedHostIsMarkedOffLineOnce) {
  const OfflineCase &c = GetParam();
  (void)AddHostObject(
      1, {{HOSTMON_HOST_SLOT_IP, c.pcIp}, {HOSTMON_HOST_SLOT_MAC, MacText(9)}},
      {{HOSTMON_HOST_SLOT_IPV4_ACTIVE, c.ulActive4}, {HOSTMON_HOST_SLOT_IPV6_ACTIVE, c.ulActive6}});
  HostmonSyncWithDb(HOSTMON_AF_INET);

  std::vector<HostObject> objs = HostObjects();
  ASSERT_EQ(objs.size(), 1u);
  EXPECT_EQ(objs[0].num[HOSTMON_HOST_SLOT_IPV4_ACTIVE], 0u);
  EXPECT_EQ(objs[0].num[HOSTMON_HOST_SLOT_IPV6_ACTIVE], 0u);
  const auto changes = Sent(LUM_MSG_HOSTMON_HOST_CHANGE);
  ASSERT_EQ(changes.size(), c.bNotice ? 1u : 0u);
  EXPECT_EQ(TraceCount("Host off the line!"), changes.size());
  EXPECT_EQ(SleptMs(), c.bNotice ? 400u : 0u);
  if (c.bNotice) {
    EXPECT_TRUE(changes[0].bHasDest);
    EXPECT_EQ(changes[0].dest, "cms");
    HostInfo stWant;
    memset(&stWant, 0, sizeof(stWant));
    if (c.pcIp[0] != '\0') {
      ASSERT_EQ(inet_pton(AF_INET, c.pcIp, &stWant.ulYiaddr), 1);
    }
    snprintf(stWant.acChAddr, sizeof(stWant.acChAddr), "%s", MacText(9).c_str());
    const HostInfo stGot = InfoOf(changes[0]);
    EXPECT_EQ(memcmp(&stGot.ulYiaddr, &stWant.ulYiaddr, 4), 0) << std::hex << stGot.ulYiaddr;
    EXPECT_EQ(memcmp(&stGot, &stWant, sizeof(stWant)), 0) << "only address and MAC set";
  }
  EXPECT_EQ(TraceCount("translate IPv4 address failed\n"), c.pcIp[0] == '\0' ? 1u : 0u);
  EXPECT_EQ(HostmonDbSaveTimer() != 0, c.bSave);
  EXPECT_EQ(TraceCount("No need to save DB"), c.bSave ? 0u : 1u);

  ClearRecords();
  HostmonSyncWithDb(HOSTMON_AF_INET);
  EXPECT_TRUE(Sent(LUM_MSG_HOSTMON_HOST_CHANGE).empty());
  EXPECT_EQ(TraceCount("Host off the line!"), 0u);
  EXPECT_EQ(TraceCount("No need to save DB"), 1u);
  EXPECT_EQ(HostObjects().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, OfflineTest,
    ::testing::Values(OfflineCase{"BothActive", 1, 1, "192.168.1.77", true, true},
                      OfflineCase{"Ipv4Active", 1, 0, "10.20.200.1", true, true},
                      OfflineCase{"Ipv6Active", 0, 1, "192.168.1.77", false, true},
                      OfflineCase{"AlreadyOff", 0, 0, "192.168.1.77", false, false},
                      OfflineCase{"NoAddressText", 1, 0, "", true, true}),
    [](const ::testing::TestParamInfo<OfflineCase> &p) { return p.param.pcName; });

// The item of the first object moved to br1: its object is refreshed where it
// is, the walk goes on over the objects behind it, and the move comes last.
TEST_F(SyncTest, MovedHostRefreshedInPlaceThenMovedAfterTheWalk) {
  Host(1, m_pstEth2, {"192.168.2.10", "fe80::1"});
  Host(2, m_pstEth0, {"192.168.1.20"});
  const uint32_t ulA = AddHostObject(
      1, {{HOSTMON_HOST_SLOT_IP, "192.168.1.10"}, {HOSTMON_HOST_SLOT_MAC, MacText(1)}},
      {{HOSTMON_HOST_SLOT_IPV4_ACTIVE, 1}});
  const uint32_t ulB = AddHostObject(1,
                                     {{HOSTMON_HOST_SLOT_IP, "192.168.1.20"},
                                      {HOSTMON_HOST_SLOT_MAC, MacText(2)},
                                      {HOSTMON_HOST_SLOT_LAYER2, kEth0Domain}},
                                     {{HOSTMON_HOST_SLOT_IPV4_ACTIVE, 1}});
  (void)AddHostObject(1,
                      {{HOSTMON_HOST_SLOT_IP, "192.168.1.30"}, {HOSTMON_HOST_SLOT_MAC, MacText(3)}},
                      {{HOSTMON_HOST_SLOT_IPV4_ACTIVE, 1}});
  HostmonSyncWithDb(HOSTMON_AF_INET);

  const std::string moveLine =
      "Host entry with keylist [1:" + std::to_string(ulA) + "] in DB should be moved to [2].\n";
  EXPECT_EQ(TraceCount(moveLine), 1u);
  EXPECT_LT(TraceIndex(moveLine), TraceIndex("Sync 1th Host in DB now ...\n"));
  EXPECT_LT(TraceIndex("Get 3th object failed with number db0002.\n"),
            TraceIndex("Move Hosts.{i}. now ...\n"));
  EXPECT_EQ(TraceCount("Sync 4th Host in DB now ...\n"), 0u);
  EXPECT_EQ(TraceCount("Entering HostmonDelIpv6AddressOfHost\n"), 2u) << "A and B once each";
  EXPECT_EQ(HostmonGetMoveHostList(), nullptr);

  // A: on the line again (new layer-2 path); B: unchanged; C: off the line.
  const auto changes = Sent(LUM_MSG_HOSTMON_HOST_CHANGE);
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_STREQ(InfoOf(changes[0]).acChAddr, MacText(1).c_str());
  EXPECT_STREQ(InfoOf(changes[1]).acChAddr, MacText(3).c_str());
  EXPECT_TRUE(Sent(LUM_MSG_HOSTMON_HOST_ADD).empty());

  const std::vector<HostObject> objs = HostObjects();
  ASSERT_EQ(objs.size(), 3u);
  EXPECT_EQ(objs[0].aulKeys[1], ulB);
  EXPECT_EQ(objs[0].num[HOSTMON_HOST_SLOT_IPV4_ACTIVE], 1u);
  EXPECT_EQ(objs[1].text[HOSTMON_HOST_SLOT_MAC], MacText(3));
  EXPECT_EQ(objs[1].num[HOSTMON_HOST_SLOT_IPV4_ACTIVE], 0u);
  EXPECT_EQ(objs[2].aulKeys[0], 2u);
  EXPECT_EQ(objs[2].text[HOSTMON_HOST_SLOT_MAC], MacText(1));
  EXPECT_EQ(objs[2].text[HOSTMON_HOST_SLOT_IP], "192.168.2.10");
  EXPECT_EQ(objs[2].text[HOSTMON_HOST_SLOT_LAYER2], kEth2Domain);
  EXPECT_EQ(Ipv6Objects(2, objs[2].aulKeys[1]), std::vector<std::string>{"fe80::1"});
  EXPECT_NE(HostmonDbSaveTimer(), 0u);
}

// Back on the line: the object said Active 0, the item is there.
TEST_F(SyncTest, HostBackOnTheLineGetsOneBareChangeNotice) {
  Host(3, m_pstEth0, {"192.168.1.30"});
  const uint32_t ulInst = AddHostObject(1,
                                        {{HOSTMON_HOST_SLOT_IP, "192.168.1.30"},
                                         {HOSTMON_HOST_SLOT_MAC, MacText(3)},
                                         {HOSTMON_HOST_SLOT_LAYER2, kEth0Domain}},
                                        {{HOSTMON_HOST_SLOT_LAST_CHANGE, 5}});
  AdvanceMs(7700);  // uptime 1007 s; 1008 s after the pause
  HostmonSyncWithDb(HOSTMON_AF_INET);

  const auto changes = Sent(LUM_MSG_HOSTMON_HOST_CHANGE);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].dest, "cms");
  HostInfo stWant;
  memset(&stWant, 0, sizeof(stWant));
  snprintf(stWant.acChAddr, sizeof(stWant.acChAddr), "%s", MacText(3).c_str());
  const HostInfo stGot = InfoOf(changes[0]);
  EXPECT_EQ(memcmp(&stGot, &stWant, sizeof(stWant)), 0);
  EXPECT_EQ(TraceCount("Host on the line again!\n"), 1u);
  EXPECT_TRUE(Sent(LUM_MSG_HOSTMON_HOST_IP_CHANGE).empty());
  EXPECT_EQ(SleptMs(), 400u);

  const std::vector<HostObject> objs = HostObjects();
  ASSERT_EQ(objs.size(), 1u);
  EXPECT_EQ(objs[0].aulKeys[1], ulInst);
  EXPECT_EQ(objs[0].num[HOSTMON_HOST_SLOT_IPV4_ACTIVE], 1u);
  EXPECT_EQ(objs[0].num[HOSTMON_HOST_SLOT_LAST_CHANGE], 1007u) << "time of the fill";
  EXPECT_EQ(HostmonHostStatusChanged(), 0);
}

// A refused write ends the walk: later objects are neither refreshed nor
// marked off-line, their items count as new, the failed one's item does not.
TEST_F(SyncTest, RefusedWriteEndsTheWalk) {
  const uint32_t ulA =
      AddHostObject(1, {{HOSTMON_HOST_SLOT_MAC, MacText(1)}}, {{HOSTMON_HOST_SLOT_IPV4_ACTIVE, 1}});
  AddHostObject(1, {{HOSTMON_HOST_SLOT_MAC, MacText(2)}}, {{HOSTMON_HOST_SLOT_IPV4_ACTIVE, 1}});
  AddHostObject(1, {{HOSTMON_HOST_SLOT_MAC, MacText(9)}, {HOSTMON_HOST_SLOT_IP, "192.168.1.99"}},
                {{HOSTMON_HOST_SLOT_IPV4_ACTIVE, 1}});
  Host(1, m_pstEth0, {"192.168.1.10"});
  Host(2, m_pstEth1, {"192.168.1.20"});
  lum::testing::FailDbSetObj(0xDB0006);
  HostmonSyncWithDb(HOSTMON_AF_INET);

  EXPECT_EQ(TraceCount("Set hosts value to DB failed with db0006.\n"), 1u);
  EXPECT_LT(TraceIndex("Set hosts value to DB failed with db0006.\n"),
            TraceIndex("Move Hosts.{i}. now ...\n"));
  EXPECT_EQ(TraceCount("Sync 1th Host in DB now ...\n"), 0u);
  const std::vector<HostObject> objs = HostObjects();
  ASSERT_EQ(objs.size(), 4u);
  EXPECT_EQ(objs[0].aulKeys[1], ulA);
  EXPECT_EQ(objs[0].text[HOSTMON_HOST_SLOT_IP], "") << "the refused write left it as it was";
  EXPECT_EQ(objs[1].text[HOSTMON_HOST_SLOT_IP], "") << "not refreshed";
  EXPECT_EQ(objs[2].num[HOSTMON_HOST_SLOT_IPV4_ACTIVE], 1u) << "not marked off-line";
  EXPECT_EQ(objs[3].text[HOSTMON_HOST_SLOT_MAC], MacText(2)) << "host 2 added again";
  ASSERT_EQ(Sent(LUM_MSG_HOSTMON_HOST_ADD).size(), 1u);
  EXPECT_EQ(std::string(InfoOf(Sent(LUM_MSG_HOSTMON_HOST_ADD)[0]).acChAddr), MacText(2));
  EXPECT_EQ(Sent(LUM_MSG_HOSTMON_HOST_CHANGE).size(), 0u);
  for (const MacAddressItem *p = LUM_HOSTMON_GetMacList(); p != nullptr; p = p->pstNext) {
    EXPECT_EQ(p->ucInDb, 0u);
  }
}

// Saves: one, 1000 ms after the last pass that changed something.
TEST_F(SyncTest, SavesCoalesceAndIdlePassesLeaveTheTimerAlone) {
  Host(1, m_pstEth0, {"192.168.1.10"});
  HostmonSyncWithDb(HOSTMON_AF_INET);
  const uint32_t ulTimer = HostmonDbSaveTimer();
  ASSERT_NE(ulTimer, 0u);
  EXPECT_EQ(DueInMs(ulTimer), 1000u);

  AdvanceMs(500);
  Host(2, m_pstEth1, {"192.168.1.20"});
  HostmonSyncWithDb(HOSTMON_AF_INET);
  EXPECT_EQ(HostmonDbSaveTimer(), ulTimer) << "restarted, not a second timer";
  EXPECT_EQ(DueInMs(ulTimer), 1000u);

  AdvanceMs(300);
  ClearRecords();
  HostmonSyncWithDb(HOSTMON_AF_INET);  // nothing changed since
  EXPECT_EQ(TraceCount("No need to save DB"), 1u);
  EXPECT_EQ(DueInMs(ulTimer), 700u);
  EXPECT_EQ(HostmonDbSaveNeeded(), 0);

  AdvanceMs(699);
  EXPECT_EQ(lum::testing::DbSaveCount(), 0u);
  AdvanceMs(1);
  EXPECT_EQ(lum::testing::DbSaveCount(), 1u);
  EXPECT_EQ(HostmonDbSaveTimer(), 0u);
  AdvanceMs(5000);
  EXPECT_EQ(lum::testing::DbSaveCount(), 1u);
}

}  // namespace
}  // namespace synctest
