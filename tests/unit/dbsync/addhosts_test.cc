// The add step: the exact notices of an added host, a conflict found at add
// time, and room made at 64 host objects.
#include <algorithm>

#include "tests/unit/dbsync/dbsync_fixture.h"

namespace synctest {
namespace {

class AddHostsTest : public SyncTest {
 protected:
  static HostInfo AddRecord(uint8_t ucLast, uint32_t ulHost, const char *pcLayer2) {
    HostInfo stInfo;
    memset(&stInfo, 0, sizeof(stInfo));
    leasestest::SetField(stInfo.acChAddr, MacText(ucLast));
    stInfo.aulKeyList[0] = 1;
    stInfo.aulKeyList[1] = ulHost;
    leasestest::SetField(stInfo.acLayer2If, pcLayer2);
    return stInfo;
  }
};

TEST_F(AddHostsTest, AddedHostGetsExactNotices) {
  // An older off-line object, so that the new host's instance is 2.
  (void)AddHostObject(1, {{0, "192.168.1.99"}, {5, MacText(0x99)}});
  Host(0x20, m_pstEth1, {"192.168.1.20", "fe80::20"});
  HostmonSyncWithDb(HOSTMON_AF_INET);

  HostObject obj;
  ASSERT_TRUE(FindHostObject(MacText(0x20), &obj));
  EXPECT_EQ(obj.aulKeys[0], 1u);
  EXPECT_EQ(obj.aulKeys[1], 2u);
  EXPECT_EQ(Ipv6Objects(1, 2), std::vector<std::string>{"fe80::20"});

  ASSERT_EQ(SentTypes(),
            (std::vector<uint32_t>{LUM_MSG_HOSTMON_HOST_ADD, LUM_MSG_HOSTMON_DEVICE_NAME_UPDATE}));
  for (const auto &msg : lum::testing::SentMessages()) EXPECT_EQ(msg.dest, "cms");
  EXPECT_EQ(lum::testing::SleptMs(), 400u);  // the added notice only

  EXPECT_EQ(
      FirstDifference(Sent(LUM_MSG_HOSTMON_HOST_ADD)[0].payload, AddRecord(0x20, 2, kEth1Domain)),
      -1);

  DeviceNameUpdate stName;
  memset(&stName, 0, sizeof(stName));
  leasestest::SetField(stName.acMac, MacText(0x20));
  leasestest::SetField(stName.acIpAddr, "192.168.1.20");
  EXPECT_EQ(FirstDifference(Sent(LUM_MSG_HOSTMON_DEVICE_NAME_UPDATE)[0].payload, stName), -1);

  const auto &events = lum::testing::EventRecords();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].ulId, 0x70000001u);
  EXPECT_EQ(events[0].args, std::vector<std::string>{"AA:BB:CC:**:**:20"});
}

TEST_F(AddHostsTest, ConflictAtAddComesBetweenAddedAndNameNotices) {
  // Off-line, and still holding the address the new host uses.
  (void)AddHostObject(1, {{0, "192.168.1.21"}, {5, "AA:BB:CC:DD:EE:99"}});
  Host(0x21, m_pstEth0, {"192.168.1.21"});
  HostmonSyncWithDb(HOSTMON_AF_INET);

  // The fill found slot 0 empty: neither an address change nor a second conflict.
  ASSERT_EQ(SentTypes(),
            (std::vector<uint32_t>{LUM_MSG_HOSTMON_HOST_ADD, LUM_MSG_HOSTMON_IP_CONFLICT,
                                   LUM_MSG_HOSTMON_DEVICE_NAME_UPDATE}));
  HostInfo stExpected = AddRecord(0x21, 2, kEth0Domain);
  leasestest::SetField(stExpected.acConflictMac, "AA:BB:CC:DD:EE:99");
  EXPECT_EQ(FirstDifference(Sent(LUM_MSG_HOSTMON_IP_CONFLICT)[0].payload, stExpected), -1);
  EXPECT_EQ(TraceCount("Host Ip changed!, old=[], new=[192.168.1.21]"), 1u);
}

// 64 host objects under LAN device 1 for hosts 1..64, each with its item on
// eth0 and its address 192.168.1.(100 + n); host kV6Only is active by IPv6
// alone; the inactive hosts are off-line and have no item. Then one new host
// on eth1.
class RoomTest : public AddHostsTest {
 protected:
  static constexpr uint8_t kV6Only = 3;
  static constexpr uint8_t kNew = 0xF0;

  void BuildTable(const std::vector<uint8_t> &inactive) {
    for (uint8_t n = 1; n <= HOSTMON_MAX_HOST_OBJECTS; ++n) {
      const std::string ip = "192.168.1." + std::to_string(100 + n);
      if (std::find(inactive.begin(), inactive.end(), n) != inactive.end()) {
        (void)AddHostObject(1, {{0, ip}, {5, MacText(n)}, {7, kEth1Domain}});
      } else if (n == kV6Only) {
        (void)AddHostObject(1, {{5, MacText(n)}, {7, kEth0Domain}},
                            {{HOSTMON_HOST_SLOT_IPV6_ACTIVE, 1}});
        Host(n, m_pstEth0, {"fe80::3"});
      } else {
        (void)AddHostObject(1, {{0, ip}, {5, MacText(n)}, {7, kEth0Domain}},
                            {{HOSTMON_HOST_SLOT_IPV4_ACTIVE, 1}});
        Host(n, m_pstEth0, {ip.c_str()});
      }
    }
    m_pstNew = Host(kNew, m_pstEth1, {"192.168.1.240"});
    ClearRecords();
  }

  MacAddressItem *m_pstNew = nullptr;
};

TEST_F(RoomTest, FullTableOfActiveHostsTakesNoNewHost) {
  BuildTable({});
  HostmonSyncWithDb(HOSTMON_AF_INET);

  EXPECT_TRUE(lum::testing::SentMessages().empty());
  EXPECT_EQ(lum::testing::SleptMs(), 0u);
  EXPECT_TRUE(lum::testing::EventRecords().empty());
  EXPECT_EQ(HostObjects().size(), HOSTMON_MAX_HOST_OBJECTS);
  HostObject obj;
  EXPECT_FALSE(FindHostObject(MacText(kNew), &obj));
  EXPECT_TRUE(FindHostObject(MacText(kV6Only), &obj));
  EXPECT_EQ(m_pstNew->ucInDb, 0u);  // tried again on the next pass
}

TEST_F(RoomTest, InactiveObjectMakesRoomForTheNewHost) {
  // The first inactive object in database order goes, and only that one.
  constexpr uint8_t kInactive = 40;
  BuildTable({kInactive, 50});
  HostmonSyncWithDb(HOSTMON_AF_INET);

  ASSERT_EQ(SentTypes(), (std::vector<uint32_t>{LUM_MSG_HOSTMON_HOST_DEL, LUM_MSG_HOSTMON_HOST_ADD,
                                                LUM_MSG_HOSTMON_DEVICE_NAME_UPDATE}));
  EXPECT_EQ(lum::testing::SleptMs(), 800u);  // before the deleted and the added notices

  HostInfo stDel;
  memset(&stDel, 0, sizeof(stDel));
  const uint8_t aucAddr[4] = {192, 168, 1, 100 + kInactive};  // transmission order
  memcpy(&stDel.ulYiaddr, aucAddr, sizeof(aucAddr));
  leasestest::SetField(stDel.acChAddr, MacText(kInactive));
  leasestest::SetField(stDel.acLayer2If, kEth1Domain);
  EXPECT_EQ(FirstDifference(Sent(LUM_MSG_HOSTMON_HOST_DEL)[0].payload, stDel), -1);

  EXPECT_EQ(HostObjects().size(), HOSTMON_MAX_HOST_OBJECTS);
  HostObject obj;
  EXPECT_FALSE(FindHostObject(MacText(kInactive), &obj));
  EXPECT_TRUE(FindHostObject(MacText(50), &obj));
  EXPECT_TRUE(FindHostObject(MacText(kV6Only), &obj));
  ASSERT_TRUE(FindHostObject(MacText(kNew), &obj));
  // Instance numbers are not reused.
  EXPECT_EQ(obj.aulKeys[1], HOSTMON_MAX_HOST_OBJECTS + 1);
  EXPECT_EQ(FirstDifference(Sent(LUM_MSG_HOSTMON_HOST_ADD)[0].payload,
                            AddRecord(kNew, HOSTMON_MAX_HOST_OBJECTS + 1, kEth1Domain)),
            -1);
}

}  // namespace
}  // namespace synctest
