// The ARP request sender, the listening socket and the forwarding-table port
// lookup.
#include <sys/eventfd.h>
#include <unistd.h>

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

uint32_t SenderIpOf(const faketest::SentPacket &p) {
  uint32_t ulAddr = 0;
  memcpy(&ulAddr, &p.bytes[28], 4);
  return ulAddr;
}

class ArpSendTest : public ArpTest {};

TEST_F(ArpSendTest, BuildArpRequestLaysOutEveryField) {
  Frame frame;
  frame.fill(0xAB);  // every byte is written
  HostmonBuildArpRequest(kTarget, IpOf(192, 168, 1, 1), kBridgeMac.data(), frame.data());
  const Frame expected =
      BuildFrame({kBroadcast, kBridgeMac, kBridgeMac, IpOf(192, 168, 1, 1), kZeroMac, kTarget});
  EXPECT_EQ(frame, expected);
}

TEST_F(ArpSendTest, BridgeWithoutAddressSendsNothing) {
  m_pstBr->ulIpAddr = 0;
  HostmonSendArpRequest(m_pstBr, kTarget);
  EXPECT_EQ(TraceLines(), (std::vector<std::string>{"hostmon send from a bridge WAN! \n"}));
  EXPECT_TRUE(m_sys.sockets.empty());
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
  EXPECT_EQ(SenderIpOf(m_sys.sent[0]), c.ulSender);
  Frame sent{};
  ASSERT_EQ(m_sys.sent[0].bytes.size(), sent.size());
  memcpy(sent.data(), m_sys.sent[0].bytes.data(), sent.size());
  EXPECT_EQ(sent, BuildFrame({kBroadcast, kBridgeMac, kBridgeMac, c.ulSender, kZeroMac, kTarget}));
  EXPECT_EQ(TraceLines(), (std::vector<std::string>{"begin to send ARP to ulYiaddr 4d01a8c0\n",
                                                    "Arp send IP [4d01a8c0]\n",
                                                    "send out ARP to ulYiaddr 4d01a8c0\n"}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ArpSelectorTest,
    ::testing::Values(SelectorCase{"BridgeAddressWithoutWan", 0, 0, IpOf(192, 168, 1, 1)},
                      SelectorCase{"BridgeAddressWithWan", kWan, 0, IpOf(192, 168, 1, 1)},
                      SelectorCase{"WanAddress", kWan, 1, kWan},
                      SelectorCase{"AnyNonZeroSelector", kWan, 7, kWan},
                      SelectorCase{"NoWanToAskFrom", 0, 1, 0}),
    CaseName());

TEST_F(ArpSendTest, EachRequestOpensBindsAndClosesItsOwnSocket) {
  HostmonSendArpRequest(m_pstBr, kTarget);
  HostmonSendArpRequest(m_pstBr, kTarget);
  ASSERT_EQ(m_sys.sockets.size(), 2u);
  for (const auto &[fd, info] : m_sys.sockets) {
    EXPECT_EQ(info.boundTo, "br0");
    EXPECT_EQ(info.options, (std::vector<std::pair<int, int>>{{SOL_SOCKET, SO_BROADCAST},
                                                              {SOL_SOCKET, SO_BINDTODEVICE}}));
    EXPECT_TRUE(info.bClosed);
  }
  EXPECT_EQ(PrivilegeCalls(), (std::vector<std::string>{"Drop hostmon", "Drop hostmon"}));
}

TEST_F(ArpSendTest, LongBridgeNameIsCutInTheDestination) {
  AddInterface("bridge-long-nam", kBridgeMac, IpOf(192, 168, 1, 1));
  Bridge stBridge = *m_pstBr;
  char acName[] = "bridge-long-name";
  stBridge.pcName = acName;
  HostmonSendArpRequest(&stBridge, kTarget);
  ASSERT_EQ(m_sys.sent.size(), 1u);
  EXPECT_EQ(m_sys.sent[0].ifname, "bridge-long-nam");
  const std::vector<uint8_t> &dest = m_sys.sent[0].dest;
  ASSERT_EQ(dest.size(), 16u);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(&dest[2])), "bridge-long-n");
  EXPECT_EQ(dest[0] | dest[1], 0);
}

TEST_F(ArpSendTest, SocketFailureIsTracedAndPrivilegesDropped) {
  m_sys.iFailSocket = 1;
  HostmonSendArpRequest(m_pstBr, kTarget);
  EXPECT_TRUE(m_sys.sent.empty());
  EXPECT_TRUE(Traced("Can't open raw socket"));
  EXPECT_EQ(TraceLines().back(), "hostmon Creat Socket Fail\n");
  EXPECT_EQ(PrivilegeCalls(), (std::vector<std::string>{"Drop hostmon"}));
}

TEST_F(ArpSendTest, OptionFailuresCloseTheSocket) {
  for (int iOption : {SO_BROADCAST, SO_BINDTODEVICE}) {
    m_sys.failOption = {{{SOL_SOCKET, iOption}, EPERM}};
    ClearRecords();
    const size_t ulBefore = m_sys.sockets.size();
    HostmonSendArpRequest(m_pstBr, kTarget);
    EXPECT_TRUE(m_sys.sent.empty());
    EXPECT_EQ(m_sys.sockets.size(), ulBefore + 1);
    EXPECT_EQ(m_sys.OpenCount(), 0);
    EXPECT_TRUE(Traced("Can't setsocket"));
    EXPECT_EQ(PrivilegeCalls(), (std::vector<std::string>{"Drop hostmon"}));
  }
}

TEST_F(ArpSendTest, SendFailureIsTracedAndTheSocketClosed) {
  m_sys.iFailSend = ENETDOWN;
  HostmonSendArpRequest(m_pstBr, kTarget);
  EXPECT_TRUE(Traced("hostmon sendto fail\n"));
  EXPECT_EQ(TraceLines().back(), "send out ARP to ulYiaddr 4d01a8c0\n");
  EXPECT_EQ(m_sys.OpenCount(), 0);
}

// The listening socket needs a descriptor the loop can watch: these tests
// answer socket() with an eventfd.
class ArpListenTest : public ArpTest {
 protected:
  void SetUp() override {
    ArpTest::SetUp();
    HostmonArpResetForTest();
    m_stFakeOps = lum::sys::Current();
  }
  void TearDown() override {
    lum::sys::Current() = m_stFakeOps;
    if (HostmonArpListenHandle() != 0) (void)LUM_UTIL_SockBaseDelete(HostmonArpListenHandle());
    for (int fd : s_fds) close(fd);
    s_fds.clear();
    HostmonArpResetForTest();
    ArpTest::TearDown();
  }
  void UseRealDescriptors() {
    lum::sys::Ops &ops = lum::sys::Current();
    ops.socket = [](int, int, int) {
      int fd = eventfd(0, EFD_CLOEXEC);
      s_fds.push_back(fd);
      return fd;
    };
    ops.setsockopt = [](int, int, int, const void *, unsigned int) { return 0; };
    ops.close = [](int) { return 0; };
  }
  lum::sys::Ops m_stFakeOps{};
  static inline std::vector<int> s_fds;
};

TEST_F(ArpListenTest, SecondCallOpensNothingAndCopiesTheHandle) {
  UseRealDescriptors();
  EXPECT_EQ(HostmonArpListen(), HOSTMON_OK);
  const uint32_t ulHandle = HostmonArpListenHandle();
  ASSERT_NE(ulHandle, 0u);
  EXPECT_EQ(s_fds.size(), 1u);
  EXPECT_EQ(m_pstBr->ulArpSockHandle, ulHandle);

  lum::sys::Current() = m_stFakeOps;
  AddInterface("br1", Mac{0x02, 0, 0, 0, 0, 0x02}, IpOf(192, 168, 2, 1));
  Bridge *pstBr1 = LUM_HOSTMON_BridgeAdd("br1");
  ASSERT_NE(pstBr1, nullptr);
  EXPECT_EQ(pstBr1->ulArpSockHandle, 0u);

  UseRealDescriptors();
  EXPECT_EQ(HostmonArpListen(), HOSTMON_OK);
  EXPECT_EQ(s_fds.size(), 1u);
  EXPECT_EQ(HostmonArpListenHandle(), ulHandle);
  EXPECT_EQ(pstBr1->ulArpSockHandle, ulHandle);
}

TEST_F(ArpListenTest, ListensOnBr0WhateverTheBridges) {
  AddInterface("br0", kBridgeMac, IpOf(192, 168, 1, 1));
  EXPECT_EQ(HostmonArpListen(), HOSTMON_OK);
  // A fake descriptor cannot be registered: closed again, handle still 0.
  ASSERT_EQ(m_sys.sockets.size(), 1u);
  const faketest::SocketInfo &info = m_sys.sockets.begin()->second;
  EXPECT_EQ(info.boundTo, "br0");
  EXPECT_EQ(info.iType, 10);
  EXPECT_TRUE(info.bClosed);
  EXPECT_EQ(HostmonArpListenHandle(), 0u);
}

TEST_F(ArpListenTest, OpenFailureIsReported) {
  m_sys.iFailSocket = 1;
  EXPECT_EQ(HostmonArpListen(), HOSTMON_ERR_SOCKET);
  EXPECT_EQ(TraceLines().back(), "hostmon Creat Socket Fail\n");
  EXPECT_EQ(HostmonArpListenHandle(), 0u);
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

TEST_F(FdbTest, PortElsewhereIsReturnedUnchanged) {
  AddInterface("br1", Mac{0x02, 0, 0, 0, 0, 0x02}, IpOf(192, 168, 2, 1));
  Bridge *pstBr1 = LUM_HOSTMON_BridgeAdd("br1");
  ASSERT_NE(pstBr1, nullptr);
  m_net.fdb["br1/aa:bb:cc:dd:ee:01"] = "eth1";
  EXPECT_EQ(HostmonGetPortByFdb(pstBr1, HostMac(1).data()), m_pstEth1);
  EXPECT_EQ(m_pstEth1->pstBridge, m_pstBr);
}

TEST_F(FdbTest, MissingArgumentsYieldNone) {
  EXPECT_EQ(HostmonGetPortByFdb(nullptr, HostMac(1).data()), nullptr);
  EXPECT_EQ(HostmonGetPortByFdb(m_pstBr, nullptr), nullptr);
  EXPECT_EQ(m_net.ulFdbQueries, 0u);
}

}  // namespace
}  // namespace arptest
