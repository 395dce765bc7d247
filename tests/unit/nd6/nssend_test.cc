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

class NsSendTest : public ::testing::Test {
 protected:
  void SetUp() override {
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
  EXPECT_EQ(packet.dest[2], 0x00);  // port field 58, network byte order
  EXPECT_EQ(packet.dest[3], 58);
  EXPECT_EQ(memcmp(&stDest.sin6_addr, m_target.data(), 16), 0);
  EXPECT_EQ(stDest.sin6_scope_id, 0u);
}

TEST_F(NsSendTest, SocketIsSetUpInOrderWithRaisedPrivilegesAndClosed) {
  ASSERT_EQ(HostmonSendNeighborSolicit(&m_stBridge, m_target.data()), 32);
  ASSERT_EQ(m_sys.sockets.size(), 1u);
  const faketest::SocketInfo &info = m_sys.sockets.begin()->second;
  EXPECT_EQ(info.iProtocol, 58);
  EXPECT_TRUE(info.bClosed);
  const std::vector<std::pair<int, int>> order = {{41, 7},  {1, 2}, {41, 16},
                                                  {41, 18}, {1, 8}, {1, 25}};
  EXPECT_EQ(info.options, order);
  EXPECT_EQ(PrivilegeCalls(), (std::vector<std::string>{"Up", "Drop hostmon"}));
}

TEST_F(NsSendTest, VanishedBridgeCannotBeBoundAndSendsNothing) {
  m_sys.interfaces.erase("br0");
  EXPECT_EQ(HostmonSendNeighborSolicit(&m_stBridge, m_target.data()), -1);
  EXPECT_TRUE(m_sys.sent.empty());
  EXPECT_EQ(m_sys.OpenCount(), 0);
  EXPECT_EQ(PrivilegeCalls(), (std::vector<std::string>{"Up", "Drop hostmon"}));
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

}  // namespace
