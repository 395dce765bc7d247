// The ARP request sender, the listening socket and the forwarding-table port
// lookup.
#include <cstring>
#include <string>
#include <vector>

#include "tests/unit/arp/arp_fixture.h"

namespace arptest {
namespace {

using lum::testing::PrivilegeCalls;
using lum::testing::TraceLines;

constexpr uint32_t kWan = IpOf(10, 8, 0, 2);
constexpr uint32_t kTarget = IpOf(192, 168, 1, 77);

class ArpSendTest : public ArpTest {};

TEST_F(ArpSendTest, BuildArpRequestLaysOutEveryField) {
  Frame frame;
  frame.fill(0xAB);  // every byte is written
  HostmonBuildArpRequest(kTarget, IpOf(192, 168, 1, 1), kBridgeMac.data(), frame.data());
  const Frame expected =
      BuildFrame({kBroadcast, kBridgeMac, kBridgeMac, IpOf(192, 168, 1, 1), kZeroMac, kTarget});
  EXPECT_EQ(frame, expected);
}

// Which address a request asks from.
struct SelectorCase {
  const char *pcName;
  uint32_t ulWan;
  uint32_t ulSelector;
  uint32_t ulSender;  // 0: nothing sent
};

class ArpSelectorTest : public ArpSendTest, public ::testing::WithParamInterface<SelectorCase> {};

TEST_P(ArpSelectorTest, ChoosesTheSenderAddress) {
  const SelectorCase &c = GetParam();
  HostmonSetOvanetWanIp(c.ulWan);
  HostmonSendArp(m_pstBr, kTarget, c.ulSelector);
  if (c.ulSender == 0) {
    EXPECT_TRUE(m_sys.sent.empty());
    EXPECT_TRUE(m_sys.sockets.empty());
    EXPECT_EQ(TraceLines().back(), "no companion WAN address, ARP to 4d01a8c0 not sent\n");
    return;
  }
  ASSERT_EQ(m_sys.sent.size(), 1u);
  Frame sent{};
  ASSERT_EQ(m_sys.sent[0].bytes.size(), sent.size());
  memcpy(sent.data(), m_sys.sent[0].bytes.data(), sent.size());
  EXPECT_EQ(sent, BuildFrame({kBroadcast, kBridgeMac, kBridgeMac, c.ulSender, kZeroMac, kTarget}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ArpSelectorTest,
    ::testing::Values(SelectorCase{"BridgeAddressWithoutWan", 0, 0, IpOf(192, 168, 1, 1)},
                      SelectorCase{"BridgeAddressWithWan", kWan, 0, IpOf(192, 168, 1, 1)},
                      SelectorCase{"WanAddress", kWan, 1, kWan},
                      SelectorCase{"NoWanToAskFrom", 0, 1, 0}),
    CaseName());

TEST_F(ArpSendTest, OptionFailuresCloseTheSocket) {
  for (int iOption : {SO_BROADCAST, SO_BINDTODEVICE}) {
    m_sys.failOption = {{{SOL_SOCKET, iOption}, EPERM}};
    ClearRecords();
    const size_t ulBefore = m_sys.sockets.size();
    HostmonSendArpRequest(m_pstBr, kTarget);
    EXPECT_TRUE(m_sys.sent.empty());
    EXPECT_EQ(m_sys.sockets.size(), ulBefore + 1);
    EXPECT_EQ(m_sys.OpenCount(), 0);
    EXPECT_EQ(PrivilegeCalls(), (std::vector<std::string>{"Drop hostmon"}));
  }
}

class FdbTest : public ArpTest {};

TEST_F(FdbTest, NamedBridgeFirstThenAnyBridge) {
  m_net.fdb["br7/aa:bb:cc:dd:ee:01"] = "eth1";
  EXPECT_EQ(HostmonGetPortByFdb(m_pstBr, HostMac(1).data()), m_pstEth1);
  EXPECT_EQ(TraceCount("Get interface via MAC addr failed\n"), 1u);
  EXPECT_EQ(m_net.ulFdbQueries, 2u);
}

TEST_F(FdbTest, WanPortYieldsNone) {
  for (const char *pcPort : {"nas0", "wan-nas_1", "xnas"}) {
    m_net.fdb["br0/aa:bb:cc:dd:ee:01"] = pcPort;
    EXPECT_EQ(HostmonGetPortByFdb(m_pstBr, HostMac(1).data()), nullptr) << pcPort;
    EXPECT_EQ(TraceLines().back(),
              std::string("Got ARP from wan side [") + pcPort + "], omit it.\n");
  }
}

}  // namespace
}  // namespace arptest
