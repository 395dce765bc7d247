// Device notices, the companion WAN address, device timers and paced sweeps.
#include <cstring>

#include "main/msgcatalog.h"
#include "msgproc/msgproc.h"
#include "tests/unit/common/lan.h"

namespace lantest {
namespace {

using lum::testing::ActiveTimerCount;
using lum::testing::SleptMs;

const std::string kEth0Domain = "InternetGatewayDevice.LANDevice.1.LANEthernetInterfaceConfig.1";

class DeviceMsgTest : public LanTest {
 protected:
  void SetUp() override {
    LanTest::SetUp();
    HostmonDeviceTimersResetForTest();  // records of an earlier sandbox's timers
    m_ulLanDev = AddLanDevice();
    free(m_pstEth0->pcDomainName);
    m_pstEth0->pcDomainName = strdup(kEth0Domain.c_str());
    m_ulTimers = ActiveTimerCount();
  }
  static void OnLine(const std::string &mac, uint32_t ulType = LUM_MSG_HOSTMON_DEVICE_ON_LINE) {
    Deliver(HostmonProcDeviceOnLine, ulType, Text(mac));
  }
  static void TopoRefresh() { Deliver(HostmonProcTopoRefresh, 0xBB08, {}); }
  uint32_t HostObject(const std::string &ip, const std::string &wire, uint32_t ulActive = 0,
                      const std::string &domain = kEth0Domain) {
    return AddObject(m_ulLanDev, LUM_DB_KIND_HOST, {{0, ip}, {6, wire}, {7, domain}},
                     {{14, ulActive}});
  }
  uint32_t LastChange(uint32_t ulHost) const {
    const uint32_t aulKeys[LUM_DB_KEYS] = {m_ulLanDev, ulHost};
    LUM_DB_SLOT *pstValue = nullptr;
    if (LUM_DBGetObj(aulKeys, LUM_DB_KIND_HOST, &pstValue, 0) != 0) return 0;
    const uint32_t ulValue = pstValue[4].ulNum;
    LUM_KEM_FreeObj(LUM_DB_KIND_HOST, pstValue);
    return ulValue;
  }
  size_t NewTimers() const { return ActiveTimerCount() - m_ulTimers; }

  uint32_t m_ulLanDev = 0;
  size_t m_ulTimers = 0;
};

TEST_F(DeviceMsgTest, KnownDeviceIsProbedFromTheDatabaseAtOnceAndStamped) {
  const uint32_t ulA = HostObject("192.168.1.20", "aa:bb:cc:dd:ee:01");
  const uint32_t ulNoPort = HostObject("192.168.1.21", "AA:BB:CC:DD:EE:01", 0, "Elsewhere.1");
  HostObject("192.168.1.22", "AA:BB:CC:DD:EE:01");
  const uint32_t ulOther = HostObject("192.168.1.24", "AA:BB:CC:DD:EE:02");
  AdvanceMs(5000);
  for (uint32_t ulType : {LUM_MSG_HOSTMON_DEVICE_ON_LINE, LUM_MSG_HOSTMON_DEVICE_ON_LINE_FDB}) {
    m_sys.sent.clear();
    OnLine("Aa:bB:cc:DD:ee:01", ulType);
    EXPECT_EQ(Arps(), (Texts{"192.168.1.1>192.168.1.20", "192.168.1.1>192.168.1.22"}));
  }
  EXPECT_EQ(LastChange(ulA), 1005u);
  EXPECT_EQ(LastChange(ulNoPort), 1005u);
  EXPECT_EQ(LastChange(ulOther), 0u);
  EXPECT_EQ(NewTimers(), 0u);
}

TEST_F(DeviceMsgTest, UnknownDeviceGetsASecondLookThenASweepSkippingTheCompanionAddress) {
  HostmonProcOvanetWanUp("192.168.8.100");
  OnLine("AA:BB:CC:DD:EE:01", LUM_MSG_HOSTMON_DEVICE_ON_LINE_FDB);
  EXPECT_EQ(NewTimers(), 0u);
  OnLine("AA:BB:CC:DD:EE:01");
  OnLine("AA:BB:CC:DD:EE:02");
  EXPECT_EQ(NewTimers(), 2u);
  AdvanceMs(4000);
  HostObject("192.168.1.30", "AA:BB:CC:DD:EE:01");  // learnt meanwhile
  AdvanceMs(5999);
  EXPECT_TRUE(m_sys.sent.empty());
  AdvanceMs(1);
  // The first is probed where the database has it; the second is swept for
  // (the system tests check the sweep frame by frame).
  ASSERT_EQ(Arps().size(), 254u);
  EXPECT_EQ(Arps()[0], "192.168.1.1>192.168.1.30");
  EXPECT_EQ(SleptMs(), 253u * 12);
  EXPECT_EQ(m_sys.OpenCount(), 0);
  EXPECT_EQ(NewTimers(), 0u);
}

TEST_F(DeviceMsgTest, AFloodOfOnLineNoticesArmsABoundedNumberOfTimers) {
  for (int i = 0; i < 1000; ++i) {
    char acMac[18];
    snprintf(acMac, sizeof(acMac), "02:00:00:00:%02X:%02X", i >> 8, i & 0xFF);
    OnLine(acMac);
  }
  EXPECT_EQ(NewTimers(), HOSTMON_MAX_DEVICE_TIMERS);
  EXPECT_TRUE(Traced(std::to_string(HOSTMON_MAX_DEVICE_TIMERS) +
                     " device timers pending, on-line notice dropped\n"));
  AdvanceMs(10000);
  EXPECT_EQ(NewTimers(), 0u);
  OnLine("AA:BB:CC:DD:EE:01");
  OnLine("aa:bb:cc:dd:ee:01");  // the same device waits once
  EXPECT_EQ(NewTimers(), 1u);
}

TEST_F(DeviceMsgTest, OnLineReadsNoFurtherThanThePayloadLength) {
  HostObject("192.168.1.20", "AA:BB:CC:DD:EE:01");
  const std::string mac = "AA:BB:CC:DD:EE:01";
  for (size_t ulLen : {0, 16}) Deliver(HostmonProcDeviceOnLine, 0xB908, Text(mac), 0, ulLen);
  for (const char *pcBad : {"AA:BB:CC:DD:EE:011", "AA-BB-CC-DD-EE-01"}) OnLine(pcBad);
  EXPECT_TRUE(Traced("on-line notice without a MAC address text (16 bytes), ignored\n"));
  EXPECT_TRUE(m_sys.sent.empty());
  EXPECT_EQ(NewTimers(), 0u);
  Deliver(HostmonProcDeviceOnLine, 0xB908, Bytes(mac.begin(), mac.end()));  // no end in it
  EXPECT_EQ(Arps(), Texts{"192.168.1.1>192.168.1.20"});
}

TEST_F(DeviceMsgTest, OffLineDropsTheIpv4AddressesOfTheMatchingMacFormAndSyncs) {
  MacAddressItem *pstItem = Host(HostMac(1), m_pstEth0, {"192.168.1.20", "fe80::1", "10.0.0.9"});
  HOSTMON_COPY_TEXT(pstItem->acRealMac, "00:11:22:33:44:55");  // from its lease
  pstItem->ulLeasedAddr = 0x1401A8C0;
  pstItem->ulDhcp = 1;
  // The link-level notice names the real MAC, the other the wire MAC.
  HostmonProcLowLevelDeviceOffLine("aa:bb:cc:dd:ee:01");
  HostmonProcDeviceOffLine("00:11:22:33:44:55");
  EXPECT_EQ(Addresses(pstItem).size(), 3u);
  EXPECT_EQ(Traced("Can't find MAC address item.\n"), 2u);
  EXPECT_EQ(MlogLines(), Texts{"LOW_LEVEL_DEVICE_OFF_LINE RMAC[AA:BB:**:**:**:01] not find\n"});

  HostmonProcDeviceOffLine("aa:bb:cc:dd:ee:01");
  EXPECT_EQ(Addresses(pstItem), Texts{"fe80::1"});
  EXPECT_EQ(MlogLines().back(),
            "hostmon wifiitemoffline VMAC [AA:BB:**:**:**:01] RMAC[00:11:**:**:**:55] "
            "IP[1401a8c0] DHCP [1] Port [eth0]\n");
  EXPECT_TRUE(Traced("Sync with database now ...\n"));
}

TEST_F(DeviceMsgTest, CompanionWanFollowsUpAndDownOfItsOwnAddressOnly) {
  HostmonProcOvanetWanUp("192.168.8.100");
  EXPECT_EQ(TraceLines(), Texts{"pcIpAddr is 192.168.8.100...\n"});
  for (const char *pcText : {"192.168.8.1", "not an address", "192.168.100.2001"}) {
    HostmonProcOvanetWanDown(pcText);
  }
  // Its first 15 characters would parse.
  HostmonProcOvanetWanUp("192.168.100.2001");
  EXPECT_EQ(HostmonGetOvanetWanIp(), Ip("192.168.8.100"));
  HostmonProcOvanetWanUp("192.168.8.1");
  HostmonProcOvanetWanDown("192.168.8.1");
  EXPECT_EQ(HostmonGetOvanetWanIp(), 0u);
}

TEST_F(DeviceMsgTest, TopoRefreshAsksInactiveHostsFromTheCompanionAddressWhenThereIsOne) {
  HostObject("192.168.1.20", "AA:BB:CC:DD:EE:01");
  OnLine("AA:BB:CC:DD:EE:09");  // unknown: no sweep either
  AdvanceMs(10000);
  TopoRefresh();
  EXPECT_TRUE(m_sys.sent.empty());
  HostmonProcOvanetWanUp("192.168.8.100");
  HostObject("192.168.1.21", "AA:BB:CC:DD:EE:02", 1);
  HostObject("bad", "AA:BB:CC:DD:EE:04");
  AddObject(AddLanDevice(), LUM_DB_KIND_HOST, {{0, "192.168.2.9"}});
  TopoRefresh();
  EXPECT_EQ(Arps(), (Texts{"192.168.8.100>192.168.1.20", "192.168.8.100>192.168.2.9"}));
  EXPECT_EQ(SleptMs(), 24u);
  EXPECT_EQ(m_sys.OpenCount(), 0);
}

}  // namespace
}  // namespace lantest
