// The DHCP server's neighbours files and the notice that follows a burst of
// rewrites.
#include <unistd.h>

#include <algorithm>

#include "tests/unit/dbsync/dbsync_fixture.h"

namespace synctest {
namespace {

using lum::testing::AdvanceMs;

constexpr const char *kNeighbors = HOSTMON_NEIGHBORS_FILE;
constexpr const char *kNeighborsNew = HOSTMON_NEIGHBORS_NEW_FILE;

uint64_t DueInMs(uint32_t ulHandle) {
  uint64_t ulDue = 0;
  EXPECT_TRUE(lum::testing::TimerDueInMs(ulHandle, &ulDue)) << "timer " << ulHandle;
  return ulDue;
}

TEST_F(SyncTest, NeighborsFilesListEveryAddressInTableOrder) {
  const Mac mac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  MacAddressItem *pstItem = LUM_HOSTMON_MACAddressNew(m_pstEth0, mac.data());
  ASSERT_NE(pstItem, nullptr);
  ASSERT_NE(LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET, A4("192.168.1.10").data()),
            nullptr);
  ASSERT_NE(LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET6, A6("fe80::1").data()), nullptr);
  Host(8, m_pstWlan0, {});  // no address: no line
  // A lease gave this one another real MAC, in lower case.
  MacAddressItem *pstLeased = Host(7, m_pstEth2, {"192.168.2.70", "2001:db8::7"});
  ASSERT_NE(pstLeased, nullptr);
  snprintf(pstLeased->acRealMac, sizeof(pstLeased->acRealMac), "%s", "0a:1b:2c:3d:4e:5f");

  HostmonWriteNeighbors(HOSTMON_AF_INET);

  EXPECT_EQ(ReadFixed(kNeighbors),
            "00:11:22:33:44:55 192.168.1.10\n"
            "00:11:22:33:44:55 fe80::1\n"
            "AA:BB:CC:DD:EE:07 192.168.2.70\n"
            "AA:BB:CC:DD:EE:07 2001:db8::7\n");
  EXPECT_EQ(ReadFixed(kNeighborsNew),
            "00:11:22:33:44:55 00:11:22:33:44:55 192.168.1.10 eth0 br0\n"
            "00:11:22:33:44:55 00:11:22:33:44:55 fe80::1 eth0 br0\n"
            "AA:BB:CC:DD:EE:07 0a:1b:2c:3d:4e:5f 192.168.2.70 eth2 br1\n"
            "AA:BB:CC:DD:EE:07 0a:1b:2c:3d:4e:5f 2001:db8::7 eth2 br1\n");
  const auto &calls = lum::testing::PrivilegeCalls();
  for (const char *pcPath : {kNeighbors, kNeighborsNew}) {
    const std::string call = "RemoveWPerm " + m_root.Root() + pcPath + " 660";
    EXPECT_EQ(std::count(calls.begin(), calls.end(), call), 1) << call;
  }
}

TEST_F(SyncTest, EmptyHostTableTruncatesBothFilesAndStillArmsTheNotice) {
  Host(1, m_pstEth0, {"192.168.1.10"});
  HostmonWriteNeighbors(HOSTMON_AF_INET6);  // files written, no notice armed
  ASSERT_FALSE(ReadFixed(kNeighborsNew).empty());
  ASSERT_EQ(HostmonNeighborsTimer(), 0u);
  LUM_HOSTMON_MACAddressDel(LUM_HOSTMON_GetMacList());

  HostmonSyncWithDb(0);
  EXPECT_TRUE(FixedExists(kNeighbors));
  EXPECT_TRUE(FixedExists(kNeighborsNew));
  EXPECT_EQ(ReadFixed(kNeighbors), "");
  EXPECT_EQ(ReadFixed(kNeighborsNew), "");
  ASSERT_NE(HostmonNeighborsTimer(), 0u);
  EXPECT_EQ(DueInMs(HostmonNeighborsTimer()), 3000u);
}

// Passes at 0, 1 and 2 s give one notice at 5 s; the IPv6-only pass at 4 s
// rewrites the files without moving it.
TEST_F(SyncTest, NeighborsNoticeFollowsTheLastRewriteOfABurst) {
  MacAddressItem *pstItem = Host(5, m_pstEth0, {"192.168.1.50"});
  HostmonSyncWithDb(HOSTMON_AF_INET);  // adds the object: later passes change nothing
  AdvanceMs(10000);
  ASSERT_EQ(Sent(LUM_HOSTMON_MSG_NEIGHBORS_UPDATE).size(), 1u);
  ASSERT_EQ(HostmonNeighborsTimer(), 0u);
  ClearRecords();
  const uint64_t ulSlept = lum::testing::SleptMs();

  HostmonSyncWithDb(HOSTMON_AF_INET);
  EXPECT_EQ(TraceCount("Start NeighBors Update msg timer now ...\n"), 1u);
  EXPECT_EQ(DueInMs(HostmonNeighborsTimer()), 3000u);
  AdvanceMs(1000);
  HostmonSyncWithDb(0);
  AdvanceMs(1000);
  HostmonSyncWithDb(HOSTMON_AF_INET);
  EXPECT_EQ(TraceCount("Start NeighBors Update msg timer now ...\n"), 1u) << "restarted";
  AdvanceMs(2000);
  EXPECT_TRUE(Sent(LUM_HOSTMON_MSG_NEIGHBORS_UPDATE).empty());

  ASSERT_NE(LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET6, A6("fe80::5").data()), nullptr);
  HostmonSyncWithDb(HOSTMON_AF_INET6);
  EXPECT_EQ(ReadFixed(kNeighbors), "AA:BB:CC:DD:EE:05 192.168.1.50\nAA:BB:CC:DD:EE:05 fe80::5\n");
  EXPECT_EQ(DueInMs(HostmonNeighborsTimer()), 1000u);
  EXPECT_EQ(lum::testing::SleptMs(), ulSlept) << "no pause moved the clock";

  AdvanceMs(999);
  EXPECT_TRUE(Sent(LUM_HOSTMON_MSG_NEIGHBORS_UPDATE).empty());
  AdvanceMs(1);
  const auto notices = Sent(LUM_HOSTMON_MSG_NEIGHBORS_UPDATE);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_TRUE(notices[0].bHasDest);
  EXPECT_EQ(notices[0].dest, "dhcps");
  EXPECT_EQ(notices[0].ulData, 0u);
  EXPECT_TRUE(notices[0].payload.empty());
  EXPECT_EQ(HostmonNeighborsTimer(), 0u);
  AdvanceMs(10000);
  EXPECT_EQ(Sent(LUM_HOSTMON_MSG_NEIGHBORS_UPDATE).size(), 1u);
}

// A file that cannot be opened: traced once, no notice, the pass goes on.
struct BlockedCase {
  const char *pcName;
  const char *pcDirInTheWay;  // made a folder so that "wb" fails; nullptr: no dhcps folder
  bool bFirstWritten;
};

void PrintTo(const BlockedCase &c, std::ostream *pOs) { *pOs << c.pcName; }

class NeighborsBlockedTest : public SyncTest, public ::testing::WithParamInterface<BlockedCase> {};

TEST_P(NeighborsBlockedTest, PassGoesOnWithoutNotice) {
  const BlockedCase &c = GetParam();
  const std::string dir = m_root.Root() + "/var/dhcp/dhcps";
  if (c.pcDirInTheWay == nullptr) {
    ASSERT_EQ(rmdir(dir.c_str()), 0);
  } else {
    ASSERT_EQ(mkdir((m_root.Root() + c.pcDirInTheWay).c_str(), 0755), 0);
  }
  Host(1, m_pstEth0, {"192.168.1.10"});
  HostmonSyncWithDb(HOSTMON_AF_INET);

  EXPECT_EQ(TraceCount("open file to write neighbors' info fail\n"), 1u);
  EXPECT_EQ(ReadFixed(kNeighbors), c.bFirstWritten ? "AA:BB:CC:DD:EE:01 192.168.1.10\n" : "");
  if (c.pcDirInTheWay != nullptr && strcmp(c.pcDirInTheWay, kNeighbors) == 0) {
    EXPECT_FALSE(FixedExists(kNeighborsNew)) << "the second file is not tried";
  }
  EXPECT_EQ(HostObjects().size(), 1u);
  EXPECT_EQ(Sent(LUM_MSG_HOSTMON_HOST_ADD).size(), 1u);
  EXPECT_EQ(HostmonNeighborsTimer(), 0u);
  AdvanceMs(10000);
  EXPECT_TRUE(Sent(LUM_HOSTMON_MSG_NEIGHBORS_UPDATE).empty());
}

INSTANTIATE_TEST_SUITE_P(Files, NeighborsBlockedTest,
                         ::testing::Values(BlockedCase{"NoFolder", nullptr, false},
                                           BlockedCase{"FirstFile", kNeighbors, false},
                                           BlockedCase{"SecondFile", kNeighborsNew, true}),
                         [](const ::testing::TestParamInfo<BlockedCase> &p) {
                           return p.param.pcName;
                         });

}  // namespace
}  // namespace synctest
