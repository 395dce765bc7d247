// The DHCP server's neighbours files and the notice that follows a burst of
// rewrites.
#include <sys/stat.h>

#include "tests/unit/dbsync/dbsync_fixture.h"

namespace synctest {
namespace {

using lum::testing::AdvanceMs;
using lum::testing::SentMessages;

constexpr const char *kNeighbors = HOSTMON_NEIGHBORS_FILE;
constexpr const char *kNeighborsNew = HOSTMON_NEIGHBORS_NEW_FILE;

TEST_F(SyncTest, NeighborsFilesListEveryAddressInTableOrder) {
  Host(5, m_pstEth0, {"192.168.1.10", "fe80::1"});
  Host(8, m_pstWlan0, {});  // no address: no line
  // A lease gave this one another real MAC, in lower case.
  MacAddressItem *pstLeased = Host(7, m_pstEth2, {"192.168.2.70", "2001:db8::7"});
  snprintf(pstLeased->acRealMac, sizeof(pstLeased->acRealMac), "%s", "0a:1b:2c:3d:4e:5f");
  HostmonWriteNeighbors(HOSTMON_AF_INET);

  EXPECT_EQ(ReadFixed(kNeighbors),
            "AA:BB:CC:DD:EE:05 192.168.1.10\n"
            "AA:BB:CC:DD:EE:05 fe80::1\n"
            "AA:BB:CC:DD:EE:07 192.168.2.70\n"
            "AA:BB:CC:DD:EE:07 2001:db8::7\n");
  EXPECT_EQ(ReadFixed(kNeighborsNew),
            "AA:BB:CC:DD:EE:05 AA:BB:CC:DD:EE:05 192.168.1.10 eth0 br0\n"
            "AA:BB:CC:DD:EE:05 AA:BB:CC:DD:EE:05 fe80::1 eth0 br0\n"
            "AA:BB:CC:DD:EE:07 0a:1b:2c:3d:4e:5f 192.168.2.70 eth2 br1\n"
            "AA:BB:CC:DD:EE:07 0a:1b:2c:3d:4e:5f 2001:db8::7 eth2 br1\n");
  const auto &calls = lum::testing::PrivilegeCalls();
  for (const char *pcPath : {kNeighbors, kNeighborsNew}) {
    const std::string call = "RemoveWPerm " + m_root.Root() + pcPath + " 660";
    EXPECT_EQ(std::count(calls.begin(), calls.end(), call), 1) << call;
  }
}

// Each rewrite replaces the whole text: a shorter one leaves nothing of the
// longer one behind it, and a longer one after it is complete.
TEST_F(SyncTest, NeighborsFilesShrinkAndGrowWithTheTable) {
  std::vector<MacAddressItem *> items;
  for (uint8_t i = 1; i <= 40; ++i) {
    items.push_back(Host(i, m_pstEth0, {"192.168.1.100", "2001:db8::1234:5678:9abc:def0"}));
  }
  HostmonWriteNeighbors(HOSTMON_AF_INET);
  const std::string longText = ReadFixed(kNeighborsNew);
  EXPECT_EQ(std::count(longText.begin(), longText.end(), '\n'), 80);

  for (size_t i = 1; i < items.size(); ++i) LUM_HOSTMON_MACAddressDel(items[i]);
  HostmonWriteNeighbors(HOSTMON_AF_INET);
  EXPECT_EQ(ReadFixed(kNeighbors),
            "AA:BB:CC:DD:EE:01 192.168.1.100\nAA:BB:CC:DD:EE:01 2001:db8::1234:5678:9abc:def0\n");

  for (uint8_t i = 2; i <= 40; ++i) {
    Host(i, m_pstEth0, {"192.168.1.100", "2001:db8::1234:5678:9abc:def0"});
  }
  HostmonWriteNeighbors(HOSTMON_AF_INET);
  EXPECT_EQ(ReadFixed(kNeighborsNew), longText);
}

// A pass whose text the file already holds leaves it alone (no truncation a
// reader could catch); a file someone else changed or removed is rewritten.
TEST_F(SyncTest, NeighborsFilesAreRewrittenOnlyWhenTheyWouldChange) {
  Host(5, m_pstEth0, {"192.168.1.10"});
  HostmonWriteNeighbors(HOSTMON_AF_INET);
  const std::string path = m_root.Root() + kNeighbors;
  struct stat before {};
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  HostmonWriteNeighbors(HOSTMON_AF_INET);
  struct stat after {};
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec);
  EXPECT_EQ(after.st_ctim.tv_sec, before.st_ctim.tv_sec);

  for (const std::string damage : {"echo x >", "rm"}) {
    ASSERT_EQ(system((damage + " " + path).c_str()), 0);
    HostmonWriteNeighbors(HOSTMON_AF_INET);
    EXPECT_EQ(ReadFixed(kNeighbors), "AA:BB:CC:DD:EE:05 192.168.1.10\n") << damage;
  }
  Host(6, m_pstEth0, {"192.168.1.11"});
  HostmonWriteNeighbors(HOSTMON_AF_INET);
  EXPECT_EQ(ReadFixed(kNeighbors),
            "AA:BB:CC:DD:EE:05 192.168.1.10\nAA:BB:CC:DD:EE:06 192.168.1.11\n");
}

// Passes at 0, 1 and 2 s give one notice at 5 s; the IPv6-only pass at 4 s
// rewrites the files without moving it.
TEST_F(SyncTest, NeighborsNoticeFollowsTheLastRewriteOfABurst) {
  MacAddressItem *pstItem = Host(5, m_pstEth0, {"192.168.1.50"});
  HostmonSyncWithDb(HOSTMON_AF_INET);  // adds the object: later passes change nothing
  AdvanceMs(10000);
  ClearRecords();

  HostmonSyncWithDb(HOSTMON_AF_INET);
  EXPECT_EQ(DueInMs(HostmonNeighborsTimer()), 3000u);
  AdvanceMs(1000);
  HostmonSyncWithDb(0);
  AdvanceMs(1000);
  HostmonSyncWithDb(HOSTMON_AF_INET);
  EXPECT_EQ(TraceCount("Start NeighBors Update msg timer now ...\n"), 1u) << "restarted";
  AdvanceMs(2000);
  ASSERT_NE(LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET6, Addr("fe80::5").data()),
            nullptr);
  HostmonSyncWithDb(HOSTMON_AF_INET6);
  EXPECT_EQ(ReadFixed(kNeighbors), "AA:BB:CC:DD:EE:05 192.168.1.50\nAA:BB:CC:DD:EE:05 fe80::5\n");
  EXPECT_EQ(DueInMs(HostmonNeighborsTimer()), 1000u);

  AdvanceMs(999);
  EXPECT_TRUE(SentMessages().empty());
  AdvanceMs(1);
  ASSERT_EQ(SentTypes(), std::vector<uint32_t>{LUM_HOSTMON_MSG_NEIGHBORS_UPDATE});
  EXPECT_EQ(SentMessages()[0].dest, "dhcps");
  EXPECT_TRUE(SentMessages()[0].payload.empty());
  EXPECT_EQ(HostmonNeighborsTimer(), 0u);
  AdvanceMs(10000);
  EXPECT_EQ(SentMessages().size(), 1u);

  // An empty host table: both files truncated, the notice armed all the same.
  LUM_HOSTMON_MACAddressDel(pstItem);
  HostmonSyncWithDb(0);
  EXPECT_EQ(ReadFixed(kNeighbors) + ReadFixed(kNeighborsNew), "");
  EXPECT_EQ(DueInMs(HostmonNeighborsTimer()), 2600u) << "armed before the off-line pause";
}

// A file that cannot be opened: traced, no notice, the rest of the pass goes on.
TEST_F(SyncTest, UnwritableNeighborsFilesArmNoNotice) {
  const std::string dir = m_root.Root() + "/var/dhcp/dhcps";
  ASSERT_EQ(rmdir(dir.c_str()), 0);
  Host(1, m_pstEth0, {"192.168.1.10"});
  HostmonSyncWithDb(HOSTMON_AF_INET);
  EXPECT_EQ(TraceCount("open file to write neighbors' info fail\n"), 1u);
  EXPECT_EQ(HostObjects().size(), 1u);
  EXPECT_EQ(HostmonNeighborsTimer(), 0u);

  // The first file written, the second in the way.
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((m_root.Root() + kNeighborsNew).c_str(), 0755), 0);
  HostmonSyncWithDb(HOSTMON_AF_INET);
  EXPECT_EQ(TraceCount("open file to write neighbors' info fail\n"), 2u);
  EXPECT_EQ(ReadFixed(kNeighbors), "AA:BB:CC:DD:EE:01 192.168.1.10\n");
  EXPECT_EQ(HostmonNeighborsTimer(), 0u);
  ClearRecords();
  AdvanceMs(10000);
  EXPECT_TRUE(SentMessages().empty());
}

}  // namespace
}  // namespace synctest
