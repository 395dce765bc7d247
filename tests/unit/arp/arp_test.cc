// The ARP receive path and sender, and learning from one sighting.
#include <sys/socket.h>

#include <tuple>

#include "platform/sys.h"
#include "tests/unit/common/lan.h"

namespace lantest {
namespace {

constexpr Mac kBcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr Mac kZero = {};

// One 60-byte ARP frame: Ethernet destination and source, then the ARP body.
Bytes ArpFrame(const Mac &dst, const Mac &src, const Mac &sha, const char *pcSpa, const Mac &tha,
               const char *pcTpa, uint8_t ucOp = 1) {
  Bytes f(dst.begin(), dst.end());
  const auto put = [&f](const auto &bytes, size_t n) {
    f.insert(f.end(), bytes.begin(), bytes.begin() + n);
  };
  put(src, 6);
  put(std::array<uint8_t, 10>{0x08, 0x06, 0, 1, 0x08, 0x00, 6, 4, 0, ucOp}, 10);
  put(sha, 6), put(A(pcSpa), 4), put(tha, 6), put(A(pcTpa), 4);
  f.resize(60);
  return f;
}
Bytes ToGateway(const Mac &mac, const char *pcIp) {
  return ArpFrame(kBcast, mac, mac, pcIp, kZero, "192.168.1.1");
}
// A host object: address, wire MAC and interface type texts.
uint32_t AddHostObject(uint32_t ulDev, const char *pcIp, const char *pcWire, const char *pcType) {
  return AddObject(ulDev, LUM_DB_KIND_HOST, {{0, pcIp}, {6, pcWire}, {12, pcType}});
}

class ArpTest : public LanTest {
 protected:
  // The frame queued on the listening socket under the name, then the loop's callback.
  void Receive(const Bytes &bytes, const std::string &ifname) {
    if (m_iListenFd < 0) m_iListenFd = lum::sys::Socket(AF_INET, 10, htons(0x0806));
    m_sys.toReceive.push_back({bytes, ifname, {}});
    LUM_SOCK_REG stReg{};
    stReg.lFd = m_iListenFd;
    HostmonArpSocketProc(&stReg);
  }
  uint32_t Learn(const Mac &mac, const char *pcIp, Port *pstPort = nullptr) {
    return HostmonLearnHost(m_pstBr, pstPort ? pstPort : m_pstEth0, mac.data(), HOSTMON_AF_INET,
                            A(pcIp).data());
  }
  int m_iListenFd = -1;
};

TEST_F(ArpTest, ReceiveLearnsOnlyWhatTalksToTheGatewayInItsSubnet) {
  const Mac h = HostMac(1);
  const std::pair<Bytes, const char *> astCases[] = {
      {ToGateway(h, "192.168.1.20"), "192.168.1.20"},
      {ArpFrame(kBrMac, h, h, "192.168.1.20", kBrMac, "192.168.1.99", 2), "192.168.1.20"},
      {ArpFrame(kBcast, h, h, "0.0.0.0", kZero, "192.168.1.50"), "192.168.1.50"},  // a probe
      {ArpFrame(kBcast, h, h, "0.0.0.0", kZero, "192.168.1.255"), nullptr},
      {ArpFrame(kBcast, h, h, "0.0.0.0", kZero, "192.168.2.50"), nullptr},
      {ArpFrame(kBcast, h, h, "0.0.0.0", kZero, "192.168.1.1"), nullptr},
      {ToGateway(h, "10.0.0.5"), nullptr},
      {ArpFrame(kBcast, h, h, "192.168.1.20", kZero, "192.168.1.21"), nullptr},  // host to host
  };
  for (const auto &[frame, pcLearnt] : astCases) {
    Receive(frame, "eth0");
    EXPECT_EQ(Learnt(),
              pcLearnt ? Texts{"aa:bb:cc:dd:ee:01@eth0 " + std::string(pcLearnt)} : Texts{});
    LUM_HOSTMON_MACAddressDel(LUM_HOSTMON_GetMacList());
  }
  EXPECT_TRUE(m_sys.sent.empty());
  EXPECT_EQ(MlogLines().at(0), "rcv new device arp, ip[192.168.1.20], mac[AA:BB:**:**:**:01]\n");
}

TEST_F(ArpTest, GratuitousArpIsAnsweredWithOneRequestFromTheBridge) {
  Receive(ArpFrame(kBcast, HostMac(5), HostMac(5), "192.168.1.1", kZero, "192.168.1.1"), "eth0");
  EXPECT_TRUE(m_sys.sent.empty());  // the gateway's own address: nothing to ask
  Receive(ArpFrame(kBcast, HostMac(5), HostMac(5), "192.168.1.30", kZero, "192.168.1.30"), "eth0");
  EXPECT_EQ(ItemCount(), 0u);  // learnt from the answer
  ASSERT_EQ(m_sys.sent.size(), 1u);
  // To all, from the bridge's MAC and address.
  EXPECT_EQ(m_sys.sent[0].bytes,
            ArpFrame(kBcast, kBrMac, kBrMac, "192.168.1.1", kZero, "192.168.1.30"));
  EXPECT_EQ(m_sys.sent[0].dest, (Bytes{0, 0, 'b', 'r', '0', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(m_sys.OpenCount(), 1);  // the listening socket only
}

TEST_F(ArpTest, PortIsTheReceivingNameOrAKnownPortOfTheReportingBridgesTable) {
  Receive(ToGateway(HostMac(1), "192.168.1.20"), "eth9");
  EXPECT_EQ(m_net.ulFdbQueries, 0u);  // a port's own name never reaches the forwarding table
  // Neighbor Discovery asks the named bridge, then any; ARP only the reporting one.
  m_net.fdb["br7/aa:bb:cc:dd:ee:01"] = "eth1";
  EXPECT_EQ(HostmonGetPortByFdb(m_pstBr, HostMac(1).data()), m_pstEth1);
  EXPECT_EQ(m_net.ulFdbQueries, 2u);
  EXPECT_EQ(HostmonGetRegisteredPortByFdb(m_pstBr, HostMac(1).data()), nullptr);
  for (const char *pcPort : {"wan-nas_1", "xnas", "nas0"}) {
    m_net.fdb["br0/aa:bb:cc:dd:ee:01"] = pcPort;
    EXPECT_EQ(HostmonGetPortByFdb(m_pstBr, HostMac(1).data()), nullptr) << pcPort;
  }
  // A member the registry does not know teaches nothing and becomes no port.
  m_net.fdb["br0/aa:bb:cc:dd:ee:02"] = "eth8";
  Receive(ToGateway(HostMac(2), "192.168.1.21"), "br0");
  EXPECT_EQ(LUM_HOSTMON_PortFind("eth8"), nullptr);
  EXPECT_EQ(ItemCount(), 0u);
  // A proxy's frame: the Ethernet source, not the sender field, says where it came in.
  m_net.fdb["br0/aa:bb:cc:dd:ee:07"] = "wlan0";
  Receive(ArpFrame(kBcast, HostMac(7), HostMac(1), "192.168.1.20", kZero, "192.168.1.1"), "br0");
  EXPECT_EQ(Learnt(), Texts{"aa:bb:cc:dd:ee:01@wlan0 192.168.1.20"});
}

TEST_F(ArpTest, RefusedSocketOptionClosesTheSocketAndDropsPrivileges) {
  for (int iOption : {SO_BROADCAST, SO_BINDTODEVICE}) {
    m_sys.failOption = {{{SOL_SOCKET, iOption}, EPERM}};
    PrivilegeCalls().clear();
    HostmonSendArpRequest(m_pstBr, Ip("192.168.1.77"));
    EXPECT_EQ(m_sys.OpenCount(), 0);
    EXPECT_EQ(PrivilegeCalls(), Texts{"Drop hostmon"});
  }
}

TEST_F(ArpTest, DeviceBackUnderItsRealMacTakesItsItem) {
  MacAddressItem *pstItem = Host(HostMac(1), m_pstEth0, {"192.168.1.20"});
  strcpy(pstItem->acRealMac, "aa:bb:cc:dd:ee:99");
  pstItem->ulDhcp = 1;
  pstItem->ulLeasedAddr = 0xC0A80114;
  // The host object knows the address under the new wire MAC: the change comes from the MAC.
  AddHostObject(AddLanDevice(), "192.168.1.20", "AA:BB:CC:DD:EE:99", "Ethernet");
  EXPECT_EQ(Learn(HostMac(0x99), "192.168.1.20"), 1u);
  ASSERT_EQ(ItemCount(), 1u);
  EXPECT_EQ(memcmp(pstItem->aucMac, HostMac(0x99).data(), 6), 0);
  EXPECT_EQ(MlogLines().at(0),
            "recome VM[AA:BB:**:**:**:01]RM[AA:BB:**:**:**:99]IP[c0a80114]DHCP[1]Pt[eth0]\n");
}

TEST_F(ArpTest, PortMoveProbesTheOldPortsHostsAndLeavesTheNewAddressForTheNextSighting) {
  MacAddressItem *pstMoving = Host(HostMac(1), m_pstEth0, {"192.168.1.20"});
  Host(HostMac(2), m_pstEth0, {"192.168.1.21"});
  MacAddressItem *pstOther = Host(HostMac(3), m_pstEth1, {"192.168.1.22"});
  EXPECT_EQ(Learn(HostMac(1), "192.168.1.30", m_pstEth1), 1u);
  EXPECT_EQ(Learnt().at(0), "aa:bb:cc:dd:ee:01@eth1 192.168.1.20");
  // The mover is probed with the old port's hosts: it is still counted there.
  EXPECT_EQ(m_sys.sent.size(), 2u);
  EXPECT_EQ(pstMoving->pstIpList->ucProbeCount, 1u);
  EXPECT_EQ(pstOther->pstIpList->ucProbeCount, 0u);
}

TEST_F(ArpTest, KnownAddressIsRefreshedAndSyncedUnlessAHostObjectMatchesIt) {
  // Same address text, same wire MAC text in any case, under any LAN device.
  const std::tuple<const char *, const char *, int, uint32_t> astCases[] = {
      {"192.168.1.20", "AA:BB:CC:DD:EE:01", 0, 0}, {"192.168.1.20", "aa:bb:cc:dd:ee:01", 0, 0},
      {"192.168.1.20", "AA:BB:CC:DD:EE:01", 1, 0}, {"192.168.1.20", "AA:BB:CC:DD:EE:02", 0, 1},
      {"192.168.1.2", "AA:BB:CC:DD:EE:01", 0, 1},  {"192.168.1.200", "AA:BB:CC:DD:EE:01", 0, 1}};
  MacAddressItem *pstItem = Host(HostMac(1), m_pstEth0, {"192.168.1.20"});
  for (const auto &[pcAddr, pcWire, iDevice, ulResult] : astCases) {
    lum::testing::ResetDb();
    const uint32_t aulDev[] = {AddLanDevice(), AddLanDevice()};
    AddHostObject(aulDev[0], "192.168.1.99", "AA:BB:CC:DD:EE:01", "Ethernet");
    AddHostObject(aulDev[iDevice], pcAddr, pcWire, "Ethernet");
    pstItem->pstIpList->ucProbeCount = 2;
    AdvanceMs(7000);
    // The walk's answer must be HostmonIsHostInDb's.
    EXPECT_EQ(Learn(HostMac(1), "192.168.1.20"), ulResult) << pcAddr << " " << pcWire;
    EXPECT_EQ(HostmonIsHostInDb("192.168.1.20", HostMac(1).data()), 1 - ulResult);
    EXPECT_EQ(pstItem->pstIpList->ucProbeCount, 0u);
    EXPECT_EQ(pstItem->pstIpList->ulLastSeen, LUM_UTIL_GetSysUpTime());
  }
  EXPECT_TRUE(m_sys.sent.empty());
}

TEST_F(ArpTest, ThirtyThirdAddressIsAddedTheNextRefusedAndAllProbed) {
  MacAddressItem *pstItem = Host(HostMac(1), m_pstEth0);
  for (int i = 0; i < 32; ++i) AddIp(pstItem, "192.168.1." + std::to_string(100 + i));
  EXPECT_EQ(Learn(HostMac(1), "192.168.1.20"), 1u);
  EXPECT_EQ(m_sys.sent.size(), 33u);
  EXPECT_EQ(Learn(HostMac(1), "192.168.1.21"), 0u);
  EXPECT_EQ(Addresses(pstItem).size(), 33u);
  EXPECT_EQ(m_sys.sent.size(), 33u);  // a second probe asks from the companion WAN: none here
  EXPECT_EQ(TraceLines().back(), "no companion WAN address, ARP to 6401a8c0 not sent\n");
  // Dead addresses age out and make room: every one got its second probe.
  for (IpAddressItem *pstIp = pstItem->pstIpList; pstIp; pstIp = pstIp->pstNext) {
    EXPECT_EQ(pstIp->ucProbeCount, 2u);
  }
}

TEST_F(ArpTest, SameAddressHostObjectGoesOnlyFromAnotherKindOfInterface) {
  // The types are compared over the port name's length: "Ether" passes for "eth0".
  const std::tuple<const char *, const char *, bool> astCases[] = {
      {"eth0", "Wireless", true}, {"eth0", "Ethernet", false}, {"wlan0", "Ethernet", true},
      {"eth0", "Ether", false},   {"x0", "Wireless", true},    {"x0", "", false}};
  for (const auto &[pcPort, pcType, bDeleted] : astCases) {
    lum::testing::ResetDb();
    const uint32_t ulDev = AddLanDevice();
    AddHostObject(ulDev, "192.168.1.99", "AA:BB:CC:DD:EE:09", "Wireless");
    AddHostObject(ulDev, "192.168.1.20", "AA:BB:CC:DD:EE:01", pcType);
    LUM_HOSTMON_DeleteSameIpInfo(pcPort, HOSTMON_AF_INET, A("192.168.1.20").data());
    EXPECT_EQ(HostmonIsHostInDb("192.168.1.20", HostMac(1).data()), bDeleted ? 0u : 1u)
        << pcPort << " " << pcType;
    EXPECT_EQ(HostmonIsHostInDb("192.168.1.99", HostMac(9).data()), 1u);
  }
}

}  // namespace
}  // namespace lantest
