// The ARP receive path: which frames become sightings, on which port, and
// what it sends on the way.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tests/unit/arp/arp_fixture.h"

namespace arptest {
namespace {

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

TEST_F(ArpInputTest, FiltersLearnOnlyWhatTalksToTheGatewayInItsSubnet) {
  constexpr Mac kHost1 = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x01};
  constexpr uint32_t kHost = IpOf(192, 168, 1, 20);
  const struct {
    ArpFields fields;
    uint32_t ulLearnt;  // 0: nothing
  } astCases[] = {
      {{kBroadcast, kHost1, kHost1, kHost, kZeroMac, kGateway}, kHost},
      {{kBridgeMac, kHost1, kHost1, kHost, kBridgeMac, IpOf(192, 168, 1, 99), 2}, kHost},
      {{kBroadcast, kHost1, kHost1, 0, kZeroMac, IpOf(192, 168, 1, 50)}, IpOf(192, 168, 1, 50)},
      {{kBroadcast, kHost1, kHost1, 0, kZeroMac, IpOf(192, 168, 1, 255)}, 0},
      {{kBroadcast, kHost1, kHost1, 0, kZeroMac, IpOf(192, 168, 2, 50)}, 0},
      {{kBroadcast, kHost1, kHost1, IpOf(10, 0, 0, 5), kZeroMac, kGateway}, 0},
      {{kBroadcast, kHost1, kHost1, 0, kZeroMac, kGateway}, 0},
      {{kBroadcast, kHost1, kHost1, kHost, kZeroMac, IpOf(192, 168, 1, 21)}, 0},  // host to host
  };
  for (const auto &stCase : astCases) {
    Receive(BuildFrame(stCase.fields), "eth0");
    if (stCase.ulLearnt != 0) {
      EXPECT_EQ(LearntAddress(), stCase.ulLearnt);
      EXPECT_EQ(LUM_HOSTMON_GetMacList()->pstPort, m_pstEth0);
    } else {
      EXPECT_EQ(ItemCount(), 0u) << stCase.fields.ulTargetIp;
    }
    EXPECT_TRUE(m_sys.sent.empty());
    ClearTable();
  }
}

TEST_F(ArpInputTest, GratuitousArpIsAnsweredWithOneRequest) {
  Receive(BuildFrame({kBroadcast, HostMac(5), HostMac(5), IpOf(192, 168, 1, 30), kZeroMac,
                      IpOf(192, 168, 1, 30)}),
          "eth0");
  EXPECT_EQ(ItemCount(), 0u);
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
  EXPECT_TRUE(m_sys.sockets.at(p.iFd).bClosed);
}

TEST_F(ArpInputTest, UnknownOrWanPortAndTheGatewaysOwnGratuitousArpAreDropped) {
  Receive(BuildFrame({kBroadcast, HostMac(5), HostMac(5), kGateway, kZeroMac, kGateway}), "eth0");
  EXPECT_TRUE(m_sys.sent.empty());
  Receive(ToGateway(HostMac(1), "192.168.1.20"), "eth9");
  EXPECT_EQ(m_net.ulFdbQueries, 0u);  // a port's own name never reaches the forwarding table
  m_net.fdb["br0/aa:bb:cc:dd:ee:01"] = "nas0";
  Receive(ToGateway(HostMac(1), "192.168.1.20"), "br0");
  EXPECT_EQ(LUM_HOSTMON_PortFind("nas0"), nullptr);
  EXPECT_EQ(ItemCount(), 0u);
}

TEST_F(ArpInputTest, BridgeNameIsAttributedThroughTheForwardingTable) {
  m_net.fdb["br0/aa:bb:cc:dd:ee:01"] = "eth1";
  Receive(ToGateway(HostMac(1), "192.168.1.20"), "br0");
  EXPECT_EQ(LearntAddress(), IpOf(192, 168, 1, 20));
  EXPECT_EQ(LUM_HOSTMON_GetMacList()->pstPort, m_pstEth1);
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

}  // namespace
}  // namespace arptest
