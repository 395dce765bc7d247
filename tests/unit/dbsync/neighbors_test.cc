// The DHCP server's neighbours files and the notice that follows a burst of
// rewrites.
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/unit/dbsync/dbsync_fixture.h"

namespace synctest {
namespace {

constexpr const char *kNeighbors = HOSTMON_NEIGHBORS_FILE;
constexpr const char *kNeighborsNew = HOSTMON_NEIGHBORS_NEW_FILE;

// The system tests check the lines of hosts whose real MAC is their wire MAC.
TEST_F(SyncTest, NeighborsFilesListEveryAddressWithTheRealMacAndPlace) {
  Host(8, m_pstWlan0, {});  // no address: no line
  // A lease gave this one another real MAC, in lower case.
  MacAddressItem *pstLeased = Host(7, m_pstEth2, {"192.168.2.70", "2001:db8::7"});
  HOSTMON_COPY_TEXT(pstLeased->acRealMac, "0a:1b:2c:3d:4e:5f");
  HostmonWriteNeighbors(HOSTMON_AF_INET);
  EXPECT_EQ(ReadFixed(kNeighbors),
            "AA:BB:CC:DD:EE:07 192.168.2.70\nAA:BB:CC:DD:EE:07 2001:db8::7\n");
  EXPECT_EQ(ReadFixed(kNeighborsNew),
            "AA:BB:CC:DD:EE:07 0a:1b:2c:3d:4e:5f 192.168.2.70 eth2 br1\n"
            "AA:BB:CC:DD:EE:07 0a:1b:2c:3d:4e:5f 2001:db8::7 eth2 br1\n");
  const auto &calls = lum::testing::PrivilegeCalls();
  for (const char *pcPath : {kNeighbors, kNeighborsNew}) {
    const std::string call = "RemoveWPerm " + m_root.Root() + pcPath + " 660";
    EXPECT_EQ(std::count(calls.begin(), calls.end(), call), 1) << call;
  }
}

// Each rewrite replaces the whole text: a shorter one leaves nothing of the
// longer one behind it, a longer one after it is complete. A pass whose text
// the file already holds leaves it alone (no truncation a reader could catch);
// a file someone else changed or removed is rewritten.
TEST_F(SyncTest, NeighborsFilesAreRewrittenWholeAndOnlyWhenTheyWouldChange) {
  const Strings addrs = {"192.168.1.100", "2001:db8::1234:5678:9abc:def0"};
  for (uint8_t i = 1; i <= 40; ++i) Host(i, m_pstEth0, addrs);
  HostmonWriteNeighbors(HOSTMON_AF_INET);
  const std::string longText = ReadFixed(kNeighborsNew);
  EXPECT_EQ(std::count(longText.begin(), longText.end(), '\n'), 80);
  while (MacAddressItem *p = LUM_HOSTMON_GetMacList()->pstNext) LUM_HOSTMON_MACAddressDel(p);
  HostmonWriteNeighbors(HOSTMON_AF_INET);
  const std::string shortText =
      "AA:BB:CC:DD:EE:01 192.168.1.100\nAA:BB:CC:DD:EE:01 2001:db8::1234:5678:9abc:def0\n";
  EXPECT_EQ(ReadFixed(kNeighbors), shortText);

  const std::string path = m_root.Root() + kNeighbors;
  const int iWatch = inotify_init1(IN_NONBLOCK);
  ASSERT_GE(inotify_add_watch(iWatch, path.c_str(), IN_MODIFY | IN_CLOSE_WRITE), 0);
  HostmonWriteNeighbors(HOSTMON_AF_INET);
  char acEvents[256];
  EXPECT_EQ(read(iWatch, acEvents, sizeof(acEvents)), -1) << "opened for writing";
  close(iWatch);
  for (const std::string damage : {"echo x >", "rm"}) {
    ASSERT_EQ(system((damage + " " + path).c_str()), 0);
    HostmonWriteNeighbors(HOSTMON_AF_INET);
    EXPECT_EQ(ReadFixed(kNeighbors), shortText) << damage;
  }
  for (uint8_t i = 2; i <= 40; ++i) Host(i, m_pstEth0, addrs);
  HostmonWriteNeighbors(HOSTMON_AF_INET);
  EXPECT_EQ(ReadFixed(kNeighborsNew), longText);
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
  EXPECT_EQ(Traced("Start NeighBors Update msg timer now ...\n"), 1u) << "restarted";
  AdvanceMs(2000);
  ASSERT_NE(lantest::AddIp(pstItem, "fe80::5"), nullptr);
  HostmonSyncWithDb(HOSTMON_AF_INET6);
  EXPECT_EQ(ReadFixed(kNeighbors), "AA:BB:CC:DD:EE:05 192.168.1.50\nAA:BB:CC:DD:EE:05 fe80::5\n");
  EXPECT_EQ(DueInMs(HostmonNeighborsTimer()), 1000u);

  AdvanceMs(999);
  EXPECT_TRUE(SentMessages().empty());
  AdvanceMs(1);  // the system tests check its destination and empty payload
  ASSERT_EQ(SentTypes(), Types{LUM_HOSTMON_MSG_NEIGHBORS_UPDATE});
  EXPECT_EQ(HostmonNeighborsTimer(), 0u);
  AdvanceMs(10000);
  EXPECT_EQ(SentMessages().size(), 1u);

  // An empty host table: both files truncated, the notice armed all the same.
  LUM_HOSTMON_MACAddressDel(pstItem);
  HostmonSyncWithDb(0);
  EXPECT_EQ(ReadFixed(kNeighbors) + ReadFixed(kNeighborsNew), "");
  EXPECT_EQ(DueInMs(HostmonNeighborsTimer()), 2600u) << "armed before the off-line pause";
}

// The first file written, the second in the way: traced, no notice, the rest
// of the pass goes on. The system tests take away the whole folder.
TEST_F(SyncTest, UnwritableNeighborsFileArmsNoNotice) {
  ASSERT_EQ(mkdir((m_root.Root() + kNeighborsNew).c_str(), 0755), 0);
  Host(1, m_pstEth0, {"192.168.1.10"});
  HostmonSyncWithDb(HOSTMON_AF_INET);
  EXPECT_EQ(Traced("open file to write neighbors' info fail\n"), 1u);
  EXPECT_EQ(ReadFixed(kNeighbors), "AA:BB:CC:DD:EE:01 192.168.1.10\n");
  EXPECT_EQ(HostObjects().size(), 1u);
  EXPECT_EQ(HostmonNeighborsTimer(), 0u);
  ClearRecords();
  AdvanceMs(10000);
  EXPECT_TRUE(SentMessages().empty());
}

}  // namespace
}  // namespace synctest
