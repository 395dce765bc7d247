// The Neighbor Solicitation sender: the 32 bytes, the destination, the socket
// set-up in order, and each way it can fail.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "main/hostmon.h"
#include "nd6/nd6.h"
#include "platform/sys.h"
#include "platform/testing.h"
#include "tests/unit/common/fakesys.h"

namespace {

using lum::testing::PrivilegeCalls;
using lum::testing::TraceLines;

struct OptionSet {
  int iLevel;
  int iName;
  std::vector<uint8_t> value;
};

// Records every option value on its way to the fake kernel.
std::vector<OptionSet> g_optionValues;
int (*g_pfnFakeSetSockOpt)(int, int, int, const void *, unsigned int) = nullptr;

int RecordingSetSockOpt(int iFd, int iLevel, int iName, const void *pvValue, unsigned int ulLen) {
  const auto *pucValue = static_cast<const uint8_t *>(pvValue);
  g_optionValues.push_back({iLevel, iName, std::vector<uint8_t>(pucValue, pucValue + ulLen)});
  return g_pfnFakeSetSockOpt(iFd, iLevel, iName, pvValue, ulLen);
}

std::vector<uint8_t> IntBytes(int iValue) {
  std::vector<uint8_t> bytes(sizeof(iValue));
  memcpy(bytes.data(), &iValue, sizeof(iValue));
  return bytes;
}

class NsSendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_optionValues.clear();
    g_pfnFakeSetSockOpt = lum::sys::Current().setsockopt;
    lum::sys::Current().setsockopt = RecordingSetSockOpt;
    faketest::FakeInterface stIf{};
    memcpy(stIf.aucMac, kMac.data(), 6);
    stIf.ulIpAddr = htonl(0xC0A80101);
    m_sys.interfaces["br0"] = stIf;
    m_stBridge.pcName = m_acName;
    memcpy(m_stBridge.aucMac, kMac.data(), 6);
    m_stBridge.ulIpAddr = stIf.ulIpAddr;
    inet_pton(AF_INET6, "2001:db8::42", m_target.data());
  }

  static constexpr std::array<uint8_t, 6> kMac = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};

  lum::testing::Sandbox m_sandbox;
  faketest::FakeSys m_sys;
  char m_acName[32] = "br0";
  Bridge m_stBridge{};
  std::array<uint8_t, 16> m_target{};
};

TEST_F(NsSendTest, SendsTheThirtyTwoByteSolicitationUnicastToTheTarget) {
  EXPECT_EQ(HostmonSendNeighborSolicit(&m_stBridge, m_target.data()), 32);
  ASSERT_EQ(m_sys.sent.size(), 1u);
  const faketest::SentPacket &packet = m_sys.sent[0];
  std::vector<uint8_t> expected = {
      135, 0,        // type Neighbor Solicitation, code
      0,   0,        // checksum: the kernel's
      0,   0, 0, 0,  // reserved
  };
  expected.insert(expected.end(), m_target.begin(), m_target.end());  // target address
  expected.insert(expected.end(), {1, 1});  // source link-layer address option, 8 bytes
  expected.insert(expected.end(), kMac.begin(), kMac.end());
  EXPECT_EQ(packet.bytes, expected);
  EXPECT_EQ(packet.ifname, "br0");

  ASSERT_EQ(packet.dest.size(), sizeof(struct sockaddr_in6));
  struct sockaddr_in6 stDest {};
  memcpy(&stDest, packet.dest.data(), sizeof(stDest));
  EXPECT_EQ(stDest.sin6_family, AF_INET6);
  EXPECT_EQ(packet.dest[2], 0x00);  // port field 58, network byte order
  EXPECT_EQ(packet.dest[3], 58);
  EXPECT_EQ(stDest.sin6_flowinfo, 0u);
  EXPECT_EQ(memcmp(&stDest.sin6_addr, m_target.data(), 16), 0);
  EXPECT_EQ(stDest.sin6_scope_id, 0u);
}

TEST_F(NsSendTest, SocketIsSetUpInOrderWithRaisedPrivilegesAndClosed) {
  ASSERT_EQ(HostmonSendNeighborSolicit(&m_stBridge, m_target.data()), 32);
  ASSERT_EQ(m_sys.sockets.size(), 1u);
  const faketest::SocketInfo &info = m_sys.sockets.begin()->second;
  EXPECT_EQ(info.iDomain, AF_INET6);
  EXPECT_EQ(info.iType, SOCK_RAW);
  EXPECT_EQ(info.iProtocol, 58);
  EXPECT_TRUE(info.bClosed);
  const std::vector<std::pair<int, int>> order = {{41, 7},  {1, 2}, {41, 16},
                                                  {41, 18}, {1, 8}, {1, 25}};
  EXPECT_EQ(info.options, order);
  ASSERT_EQ(g_optionValues.size(), 6u);
  const std::vector<int> values = {2, 1, 255, 255, 0};
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(g_optionValues[i].value, IntBytes(values[i])) << i;
  }
  // The interface name goes in a 32-byte buffer.
  std::vector<uint8_t> ifname(32, 0);
  memcpy(ifname.data(), "br0", 3);
  EXPECT_EQ(g_optionValues[5].value, ifname);
  EXPECT_EQ(PrivilegeCalls(), (std::vector<std::string>{"Up", "Drop hostmon"}));
  EXPECT_TRUE(TraceLines().empty());
}

TEST_F(NsSendTest, LinkLocalTargetLeavesThroughTheBridgeWithScopeZero) {
  inet_pton(AF_INET6, "fe80::1:2", m_target.data());
  faketest::FakeInterface stIf = m_sys.interfaces["br0"];
  m_sys.interfaces["br1"] = stIf;
  strcpy(m_acName, "br1");
  ASSERT_EQ(HostmonSendNeighborSolicit(&m_stBridge, m_target.data()), 32);
  ASSERT_EQ(m_sys.sent.size(), 1u);
  EXPECT_EQ(m_sys.sent[0].ifname, "br1");
  struct sockaddr_in6 stDest {};
  memcpy(&stDest, m_sys.sent[0].dest.data(), sizeof(stDest));
  EXPECT_EQ(stDest.sin6_scope_id, 0u);
  EXPECT_EQ(memcmp(&stDest.sin6_addr, m_target.data(), 16), 0);
}

TEST_F(NsSendTest, LongBridgeNameIsCutToFifteenCharacters) {
  strcpy(m_acName, "bridge0123456789xyz");
  m_sys.interfaces["bridge012345678"] = m_sys.interfaces["br0"];
  ASSERT_EQ(HostmonSendNeighborSolicit(&m_stBridge, m_target.data()), 32);
  EXPECT_EQ(m_sys.sent[0].ifname, "bridge012345678");
}

TEST_F(NsSendTest, MissingBridgeOrAddressSendsNothing) {
  EXPECT_EQ(HostmonSendNeighborSolicit(nullptr, m_target.data()), -1);
  EXPECT_EQ(HostmonSendNeighborSolicit(&m_stBridge, nullptr), -1);
  EXPECT_EQ(TraceLines(), (std::vector<std::string>{"empty addr to send solicit packet\n",
                                                    "empty addr to send solicit packet\n"}));
  EXPECT_TRUE(m_sys.sockets.empty());
  EXPECT_TRUE(PrivilegeCalls().empty());
}

TEST_F(NsSendTest, NoSocketIsTracedTwiceAndPrivilegesDropped) {
  m_sys.iFailSocket = 1;
  EXPECT_EQ(HostmonSendNeighborSolicit(&m_stBridge, m_target.data()), -1);
  EXPECT_EQ(
      TraceLines(),
      (std::vector<std::string>{
          std::string("create sockert error: ") + strerror(EPERM) + "\r\n",
          "\r\n##########  HOSTMON Create ICMP6 SEND Socket Fail for bridge [br0]  #######\n"}));
  EXPECT_EQ(PrivilegeCalls(), (std::vector<std::string>{"Up", "Drop hostmon"}));
  EXPECT_TRUE(m_sys.sent.empty());
}

TEST_F(NsSendTest, VanishedBridgeCannotBeBoundAndSendsNothing) {
  m_sys.interfaces.erase("br0");
  EXPECT_EQ(HostmonSendNeighborSolicit(&m_stBridge, m_target.data()), -1);
  EXPECT_EQ(
      TraceLines(),
      (std::vector<std::string>{
          "setsockopt SO_BINDTODEVICE failed!\n",
          "\r\n##########  HOSTMON Create ICMP6 SEND Socket Fail for bridge [br0]  #######\n"}));
  EXPECT_TRUE(m_sys.sent.empty());
  EXPECT_EQ(m_sys.OpenCount(), 0);
  EXPECT_EQ(PrivilegeCalls(), (std::vector<std::string>{"Up", "Drop hostmon"}));
}

TEST_F(NsSendTest, EmptyBridgeNameIsNotBoundAtAll) {
  m_acName[0] = '\0';
  EXPECT_EQ(HostmonCreateIcmp6SendSocket(m_acName), -1);
  EXPECT_EQ(HostmonCreateIcmp6SendSocket(nullptr), -1);
  EXPECT_EQ(m_sys.OpenCount(), 0);
  EXPECT_EQ(TraceLines(), (std::vector<std::string>{"setsockopt SO_BINDTODEVICE failed!\n",
                                                    "setsockopt SO_BINDTODEVICE failed!\n"}));
}

TEST_F(NsSendTest, RefusedOptionIsTracedAndTheProbeStillGoesOut) {
  // Linux refuses IPV6_CHECKSUM on ICMPv6 sockets and checksums them itself.
  m_sys.failOption[{IPPROTO_IPV6, IPV6_CHECKSUM}] = EINVAL;
  EXPECT_EQ(HostmonSendNeighborSolicit(&m_stBridge, m_target.data()), 32);
  EXPECT_EQ(TraceLines(), (std::vector<std::string>{std::string("setsockopt error: ") +
                                                    strerror(EINVAL) + "\r\n"}));
  EXPECT_EQ(m_sys.sent.size(), 1u);
  EXPECT_EQ(m_sys.sockets.begin()->second.options.size(), 5u);  // the other five
}

TEST_F(NsSendTest, RefusedSendIsTracedAndTheSocketClosed) {
  m_sys.iFailSend = ENETDOWN;
  EXPECT_LT(HostmonSendNeighborSolicit(&m_stBridge, m_target.data()), 0);
  EXPECT_EQ(TraceLines(), (std::vector<std::string>{std::string("hostmon sendto fail, error [") +
                                                    strerror(ENETDOWN) + "]\n"}));
  EXPECT_EQ(m_sys.OpenCount(), 0);
}

TEST_F(NsSendTest, CreatedSocketIsLeftOpenForTheCaller) {
  const int iFd = HostmonCreateIcmp6SendSocket("br0");
  ASSERT_GE(iFd, 0);
  EXPECT_EQ(m_sys.sockets.at(iFd).boundTo, "br0");
  EXPECT_FALSE(m_sys.sockets.at(iFd).bClosed);
  EXPECT_EQ(lum::sys::Close(iFd), 0);
}

}  // namespace
