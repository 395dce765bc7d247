// The ARP receive path: which frames become sightings, on which port, and
// what it traces and sends on the way.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tests/unit/arp/arp_fixture.h"

namespace arptest {
namespace {

using lum::testing::TraceLines;

constexpr uint32_t kGateway = IpOf(192, 168, 1, 1);

class ArpInputTest : public ArpTest {
 protected:
  // The single item's single IPv4 address, when exactly one host was learnt.
  static std::optional<uint32_t> LearntAddress() {
    MacAddressItem *pstItem = LUM_HOSTMON_GetMacList();
    if (pstItem == nullptr || pstItem->pstNext != nullptr || pstItem->pstIpList == nullptr) {
      return std::nullopt;
    }
    uint32_t ulAddr = 0;
    memcpy(&ulAddr, pstItem->pstIpList->aucAddr, 4);
    return ulAddr;
  }
};

TEST_F(ArpInputTest, TracesTheFrameBeforeDecidingOnIt) {
  Receive(ToGateway(HostMac(1), "192.168.1.20"), "eth0");
  const std::vector<std::string> expected = {
      "\n\n\n===============================================\n",
      " IPv4 ARP packet recvd ...\n",
      " Got ARP packet, source IP  [192.168.1.20]",
      " -> target IP  [192.168.1.1]\n",
      "     ARP packet, source MAC [aa-bb-**-**-**-01]",
      " -> target MAC [00-00-**-**-**-00]\n",
      "This ARP comes from dev:[eth0] bridge [br0].\n",
      "Arp pkt[br0][eth0]SIP[1401a8c0]DIP[101a8c0]SMac[aa:**:**:dd:**:01] "
      "DMac[00:**:**:00:**:00]\n",
  };
  ASSERT_GE(TraceLines().size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(TraceLines().begin(), TraceLines().begin() + 8), expected);
  EXPECT_EQ(HookCalls(),
            (std::vector<HookCall>{{IpOf(192, 168, 1, 20), kGateway, "aa:bb:cc:dd:ee:01"}}));
}

// Which address a frame on eth0 from aa:bb:cc:dd:ee:01 makes the gateway learn.
struct FilterCase {
  const char *pcName;
  ArpFields fields;
  uint32_t ulLearnt;      // 0: nothing
  const char *pcDropped;  // the trace of a drop, or nullptr
};

constexpr Mac kHost1 = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x01};

class ArpFilterTest : public ArpInputTest, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(ArpFilterTest, LearnsOrDrops) {
  const FilterCase &c = GetParam();
  Receive(BuildFrame(c.fields), "eth0");
  if (c.ulLearnt != 0) {
    EXPECT_EQ(LearntAddress(), c.ulLearnt);
    EXPECT_EQ(LUM_HOSTMON_GetMacList()->pstPort, m_pstEth0);
  } else {
    EXPECT_EQ(ItemCount(), 0u);
  }
  if (c.pcDropped != nullptr) {
    EXPECT_EQ(TraceLines().back(), c.pcDropped);
  }
  EXPECT_TRUE(m_sys.sent.empty());
  EXPECT_EQ(HookCalls().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ArpFilterTest,
    ::testing::Values(
        FilterCase{"RequestToGateway",
                   {kBroadcast, kHost1, kHost1, IpOf(192, 168, 1, 20), kZeroMac, kGateway},
                   IpOf(192, 168, 1, 20),
                   nullptr},
        FilterCase{"ReplyToGatewayMac",
                   {kBridgeMac, kHost1, kHost1, IpOf(192, 168, 1, 20), kBridgeMac,
                    IpOf(192, 168, 1, 99), 2},
                   IpOf(192, 168, 1, 20),
                   nullptr},
        FilterCase{"AddressProbe",
                   {kBroadcast, kHost1, kHost1, 0, kZeroMac, IpOf(192, 168, 1, 50)},
                   IpOf(192, 168, 1, 50),
                   nullptr},
        FilterCase{"ProbeForBroadcastAddress",
                   {kBroadcast, kHost1, kHost1, 0, kZeroMac, IpOf(192, 168, 1, 255)},
                   0,
                   "Src IP [192.168.1.255] not match with bridge [br0]\n"},
        FilterCase{"ProbeInAnotherSubnet",
                   {kBroadcast, kHost1, kHost1, 0, kZeroMac, IpOf(192, 168, 2, 50)},
                   0,
                   "Src IP [192.168.2.50] not match with bridge [br0]\n"},
        FilterCase{"ToGatewayFromAnotherSubnet",
                   {kBroadcast, kHost1, kHost1, IpOf(10, 0, 0, 5), kZeroMac, kGateway},
                   0,
                   "Src IP [10.0.0.5] not match with bridge [br0]\n"},
        FilterCase{"ProbeForTheGatewaysAddress",
                   {kBroadcast, kHost1, kHost1, 0, kZeroMac, kGateway},
                   0,
                   "Src IP [0.0.0.0] not match with bridge [br0]\n"},
        // Ignored without a word after the frame's summary.
        FilterCase{
            "HostToHost",
            {kBroadcast, kHost1, kHost1, IpOf(192, 168, 1, 20), kZeroMac, IpOf(192, 168, 1, 21)},
            0,
            "Arp pkt[br0][eth0]SIP[1401a8c0]DIP[1501a8c0]SMac[aa:**:**:dd:**:01] "
            "DMac[00:**:**:00:**:00]\n"}),
    CaseName());

TEST_F(ArpInputTest, GratuitousArpIsAnsweredWithOneRequest) {
  Receive(BuildFrame({kBroadcast, HostMac(5), HostMac(5), IpOf(192, 168, 1, 30), kZeroMac,
                      IpOf(192, 168, 1, 30)}),
          "eth0");
  EXPECT_EQ(ItemCount(), 0u);
  EXPECT_TRUE(Traced("Recvd gratuitous ARP packet, send ARP request to ask for the response.\n"));
  ASSERT_EQ(m_sys.sent.size(), 1u);
  const faketest::SentPacket &p = m_sys.sent[0];
  const std::vector<uint8_t> expected = {
      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // Ethernet broadcast
      0x02, 0x00, 0x00, 0x00, 0x00, 0x01,  // from the bridge
      0x08, 0x06,                          // ARP
      0x00, 0x01,                          // Ethernet
      0x08, 0x00,                          // IPv4
      0x06, 0x04,                          // address lengths
      0x00, 0x01,                          // request
      0x02, 0x00, 0x00, 0x00, 0x00, 0x01,  // sender MAC
      192,  168,  1,    1,                 // sender IP: the bridge's
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // target MAC
      192,  168,  1,    30,                // the address asked about
      0,    0,    0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // padding
  };
  EXPECT_EQ(p.bytes, expected);
  EXPECT_EQ(p.ifname, "br0");
  EXPECT_EQ(p.dest, (std::vector<uint8_t>{0, 0, 'b', 'r', '0', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  const faketest::SocketInfo &s = m_sys.sockets.at(p.iFd);
  EXPECT_EQ(s.iDomain, AF_INET);
  EXPECT_EQ(s.iType, 10);
  EXPECT_EQ(s.iProtocol, htons(0x0806));
  EXPECT_TRUE(s.bClosed);
}

TEST_F(ArpInputTest, GratuitousArpForTheGatewaysAddressSendsNothing) {
  Receive(BuildFrame({kBroadcast, HostMac(5), HostMac(5), kGateway, kZeroMac, kGateway}), "eth0");
  EXPECT_TRUE(m_sys.sent.empty());
  EXPECT_EQ(TraceLines().back(), "Gratuitous ARP packet come from same IP gateway, ignore...\n");
  EXPECT_EQ(ItemCount(), 0u);
}

TEST_F(ArpInputTest, UnknownInterfaceIsDropped) {
  m_net.fdb["br0/aa:bb:cc:dd:ee:01"] = "eth1";
  Receive(ToGateway(HostMac(1), "192.168.1.20"), "eth9");
  EXPECT_EQ(TraceLines().back(), "can not get port info for eth9\n");
  EXPECT_EQ(ItemCount(), 0u);
  EXPECT_TRUE(HookCalls().empty());
  // A WAN port's frames never reach the forwarding table.
  EXPECT_EQ(m_net.ulFdbQueries, 0u);
}

TEST_F(ArpInputTest, InterfaceNameIsCutToTheAddressField) {
  Receive(ToGateway(HostMac(1), "192.168.1.20"), "abcdefghijklmnop");
  EXPECT_EQ(TraceLines().back(), "can not get port info for abcdefghijklmn\n");
}

TEST_F(ArpInputTest, BridgeNameIsAttributedThroughTheForwardingTable) {
  m_net.fdb["br0/aa:bb:cc:dd:ee:01"] = "eth1";
  Receive(ToGateway(HostMac(1), "192.168.1.20"), "br0");
  EXPECT_EQ(LearntAddress(), IpOf(192, 168, 1, 20));
  EXPECT_EQ(LUM_HOSTMON_GetMacList()->pstPort, m_pstEth1);
  EXPECT_TRUE(Traced("This ARP comes from dev:[br0] bridge [br0].\n"));
}

TEST_F(ArpInputTest, AttributionFollowsTheEthernetSource) {
  // A proxy's frame: the Ethernet source, not the sender field, says where it came in.
  m_net.fdb["br0/aa:bb:cc:dd:ee:07"] = "wlan0";
  m_net.fdb["br0/aa:bb:cc:dd:ee:01"] = "eth1";
  Receive(
      BuildFrame({kBroadcast, HostMac(7), HostMac(1), IpOf(192, 168, 1, 20), kZeroMac, kGateway}),
      "br0");
  ASSERT_NE(LUM_HOSTMON_GetMacList(), nullptr);
  EXPECT_EQ(LUM_HOSTMON_GetMacList()->pstPort, m_pstWlan0);
}

TEST_F(ArpInputTest, AttributionToAnUnknownPortCreatesIt) {
  m_net.fdb["br0/aa:bb:cc:dd:ee:01"] = "eth5";
  Receive(ToGateway(HostMac(1), "192.168.1.20"), "br0");
  Port *pstPort = LUM_HOSTMON_PortFind("eth5");
  ASSERT_NE(pstPort, nullptr);
  EXPECT_EQ(pstPort->pstBridge, m_pstBr);
  ASSERT_NE(LUM_HOSTMON_GetMacList(), nullptr);
  EXPECT_EQ(LUM_HOSTMON_GetMacList()->pstPort, pstPort);
}

TEST_F(ArpInputTest, BridgeNameWithoutForwardingEntryIsDropped) {
  Receive(ToGateway(HostMac(1), "192.168.1.20"), "br0");
  EXPECT_EQ(TraceCount("Get interface via MAC addr failed\n"), 2u);
  EXPECT_EQ(TraceLines().back(), "can not get port info for br0\n");
  EXPECT_EQ(ItemCount(), 0u);
  EXPECT_EQ(m_net.ulFdbQueries, 2u);
}

TEST_F(ArpInputTest, BridgeNameWithWanForwardingEntryIsDropped) {
  m_net.fdb["br0/aa:bb:cc:dd:ee:01"] = "nas0";
  Receive(ToGateway(HostMac(1), "192.168.1.20"), "br0");
  EXPECT_TRUE(Traced("Got ARP from wan side [nas0], omit it.\n"));
  EXPECT_EQ(TraceLines().back(), "can not get port info for br0\n");
  EXPECT_EQ(ItemCount(), 0u);
  EXPECT_EQ(LUM_HOSTMON_PortFind("nas0"), nullptr);
}

TEST_F(ArpInputTest, PortOfAnUnfindableBridgeIsIgnored) {
  // The bridge's name is longer than the 15 characters the path keeps.
  AddInterface("br0-very-long-n", Mac{0x02, 0, 0, 0, 0, 0x09}, IpOf(192, 168, 9, 1));
  Bridge *pstLong = LUM_HOSTMON_BridgeAdd("br0-very-long-name");
  ASSERT_NE(pstLong, nullptr);
  ASSERT_NE(LUM_HOSTMON_PortAdd(pstLong, "eth8"), nullptr);
  Receive(ToGateway(HostMac(1), "192.168.9.20", "192.168.9.1"), "eth8");
  EXPECT_EQ(TraceLines().back(), "ARP packet from unknown interface [eth8], just ignore\n");
  EXPECT_TRUE(HookCalls().empty());
  EXPECT_EQ(ItemCount(), 0u);
}

TEST_F(ArpInputTest, ShortAndLongFramesAreZeroFilledNeverOverread) {
  const Frame full = ToGateway(HostMac(1), "192.168.1.20");
  for (size_t len = 0; len <= 64; ++len) {
    std::vector<uint8_t> bytes(full.begin(), full.begin() + std::min(len, full.size()));
    bytes.resize(len, 0xEE);  // past 60: bytes the socket must not deliver
    Receive(bytes, "eth0");
    // The ARP body ends at 42: shorter frames lose the gateway's address.
    EXPECT_EQ(ItemCount(), len >= 42 ? 1u : 0u) << len;
    ClearTable();
  }
}

TEST_F(ArpInputTest, FailedReceiveIsTraced) {
  LUM_SOCK_REG stReg{};
  stReg.lFd = lum::sys::Socket(AF_INET, 10, htons(0x0806));
  HostmonArpSocketProc(&stReg);  // nothing queued: EAGAIN
  EXPECT_EQ(TraceLines().back(), "hostmon recv is fail with errno 11\n");
}

TEST_F(ArpInputTest, WithoutAHookFramesAreStillLearnt) {
  ArpConflictHook = nullptr;
  Receive(ToGateway(HostMac(1), "192.168.1.20"), "eth0");
  EXPECT_EQ(LearntAddress(), IpOf(192, 168, 1, 20));
}

}  // namespace
}  // namespace arptest
