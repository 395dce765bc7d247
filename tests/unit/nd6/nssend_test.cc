// The Neighbor Solicitation sender: the 32 bytes, the destination, the socket
// set-up in order, and the ways it can fail.
#include <netinet/in.h>

#include "nd6/nd6.h"
#include "tests/unit/common/lan.h"

namespace lantest {
namespace {

using NsSendTest = LanTest;

TEST_F(NsSendTest, SendsThe32ByteSolicitationUnicastToTheTargetFromASocketSetUpInOrder) {
  const Addr target = A("2001:db8::42");
  EXPECT_EQ(HostmonSendNeighborSolicit(m_pstBr, target.data()), 32);
  ASSERT_EQ(m_sys.sent.size(), 1u);
  const faketest::SentPacket &packet = m_sys.sent[0];
  std::vector<uint8_t> expected = {135, 0, 0, 0, 0, 0, 0, 0};  // type, code, checksum, reserved
  expected.insert(expected.end(), target.begin(), target.end());
  expected.insert(expected.end(), {1, 1});  // source link-layer address option, 8 bytes
  expected.insert(expected.end(), kBrMac.begin(), kBrMac.end());
  EXPECT_EQ(packet.bytes, expected);
  EXPECT_EQ(packet.ifname, "br0");
  // Unicast to the target on port 58, scope 0: the bound bridge picks the interface.
  struct sockaddr_in6 stDest {};
  stDest.sin6_family = AF_INET6;
  stDest.sin6_port = htons(58);
  memcpy(&stDest.sin6_addr, target.data(), 16);
  EXPECT_EQ(packet.dest, std::vector<uint8_t>(reinterpret_cast<uint8_t *>(&stDest),
                                              reinterpret_cast<uint8_t *>(&stDest + 1)));
  // The socket's options, set in this order.
  EXPECT_EQ(
      m_sys.sockets.at(packet.iFd).options,
      (std::vector<std::pair<int, int>>{{41, 7}, {1, 2}, {41, 16}, {41, 18}, {1, 8}, {1, 25}}));
  EXPECT_EQ(PrivilegeCalls(), (Texts{"Up", "Drop hostmon"}));
}

TEST_F(NsSendTest, RefusedChecksumOptionIsTracedButAVanishedBridgeSendsNothing) {
  // Linux refuses IPV6_CHECKSUM on ICMPv6 sockets and checksums them itself.
  m_sys.failOption[{IPPROTO_IPV6, IPV6_CHECKSUM}] = EINVAL;
  EXPECT_EQ(HostmonSendNeighborSolicit(m_pstBr, A("2001:db8::42").data()), 32);
  EXPECT_EQ(TraceLines(), Texts{std::string("setsockopt error: ") + strerror(EINVAL) + "\r\n"});
  m_sys.interfaces.erase("br0");  // the bind fails
  EXPECT_EQ(HostmonSendNeighborSolicit(m_pstBr, A("2001:db8::42").data()), -1);
  EXPECT_EQ(m_sys.sent.size(), 1u);
  EXPECT_EQ(m_sys.OpenCount(), 0);
  EXPECT_EQ(PrivilegeCalls(), (Texts{"Up", "Drop hostmon", "Up", "Drop hostmon"}));
}

}  // namespace
}  // namespace lantest
