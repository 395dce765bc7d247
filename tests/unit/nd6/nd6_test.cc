// The Neighbor Discovery listeners: the checks in their order, the option walk,
// where the port and the address come from, and opening one socket per bridge.
#include "nd6/nd6.h"

#include <netinet/in.h>

#include <algorithm>
#include <map>

#include "platform/eventloop.h"
#include "tests/unit/common/lan.h"

namespace lantest {
namespace {

const Addr kSource = A("2001:db8:1::5");
const Addr kTarget = A("2001:db8:1::99");  // never what is learnt

// An ICMPv6 message: type and code, then the Target Address for 135 and 136,
// then the options.
Bytes Message(uint8_t ucType, uint8_t ucCode, const Bytes &options = {}) {
  const bool bTarget = ucType == 135 || ucType == 136;
  return Bytes{ucType, ucCode, 0xAB, 0xCD, 0, 0, 0, 0} +
         (bTarget ? Bytes(kTarget.begin(), kTarget.end()) : Bytes{}) + options;
}
Bytes LinkOption(uint8_t ucType, const Mac &mac) {
  return Bytes{ucType, 1} + Bytes(mac.begin(), mac.end());
}
Bytes Cut(Bytes msg, size_t len) {
  msg.resize(len);
  return msg;
}

class Nd6Test : public LanTest {
 protected:
  void SetUp() override {
    LanTest::SetUp();
    for (uint8_t i = 1; i <= 3; ++i) m_net.fdb["br0/aa:bb:cc:dd:ee:0" + std::to_string(i)] = "eth1";
  }
  void Input(const Bytes &msg) {
    HostmonIcmp6Input(m_pstBr, msg.data(), static_cast<uint32_t>(msg.size()), kSource.data());
  }
  // The ICMPv6 sockets opened, by descriptor.
  std::map<int, faketest::SocketInfo> Icmp6Sockets() const {
    std::map<int, faketest::SocketInfo> out;
    for (const auto &[fd, info] : m_sys.sockets) {
      if (info.iDomain == AF_INET6 && info.iProtocol == 58) out.emplace(fd, info);
    }
    return out;
  }
};

// What each message is dropped for, in the order of the checks; a Router
// Solicitation of any code is answered with a probe; only the first target
// link-layer option teaches the sender's address.
TEST_F(Nd6Test, ChecksDropInOrderAndTheOptionWalkTakesTheFirstTargetLinkOption) {
  const Bytes advert = Message(136, 0, LinkOption(2, HostMac(1)));
  const Bytes source1 = LinkOption(1, HostMac(1)), target2 = LinkOption(2, HostMac(2));
  const std::string learnt = "aa:bb:cc:dd:ee:02@eth1 2001:db8:1::5";
  const struct {
    Bytes msg;
    std::string trace;
    size_t ulProbes;
    std::string learnt;
  } astCases[] = {
      {Cut(advert, 7),
       " received icmpv6 packet with invalid length: 7 < sizeof(struct icmp6_hdr) 8", 0, ""},
      {Message(134, 0), "icmpv6 recev filter failed for type [134].\n", 0, ""},
      {Cut(Message(135, 0), 23),
       "received icmp6 ND SOLICIT packet with invalid length [23] < sizeof(struct "
       "nd_neighbor_solicit) 24\n",
       0, ""},
      {Cut(advert, 23),
       "received icmp6 ND ADVERT packet with invalid length [23] < sizeof(struct "
       "nd_neighbor_advert) 24",
       0, ""},
      {Message(136, 1, LinkOption(2, HostMac(1))), "invalid ICMP6 code [1]", 0, ""},
      {Message(135, 0), "Process ICMPv6 packet with length 0.\n", 0, ""},  // exactly 24
      {Message(133, 5), "Recvd ROUTER_SOLICIT packet, send solicit packet return 32.\n", 1, ""},
      {Message(135, 0, source1), "Process ICMPv6 packet with length 8.\n", 0, ""},
      {Message(136, 0, source1 + target2), "Update timer now ...\n", 0, learnt},
      {Message(135, 0, target2 + LinkOption(2, HostMac(3))), "Update timer now ...\n", 0, learnt},
      {Message(136, 0, Bytes{2, 0, 1, 2, 3, 4, 5, 6} + target2),
       "zero length option in ND packet!\n", 0, ""},
      {Message(136, 0, Bytes{2, 2, 1, 2, 3, 4, 5, 6}),
       "option length greater than total length in ND packet\n", 0, ""},
      {Message(136, 0, source1 + Bytes{2}), "invalid ND packet length\n", 0, ""},
  };
  for (const auto &c : astCases) {
    while (MacAddressItem *pstItem = LUM_HOSTMON_GetMacList()) LUM_HOSTMON_MACAddressDel(pstItem);
    TraceLines().clear();
    m_sys.sent.clear();
    Input(c.msg);
    EXPECT_EQ(Traced(c.trace), 1u) << c.trace;
    EXPECT_EQ(m_sys.sent.size(), c.ulProbes) << c.trace;
    EXPECT_EQ(Learnt(), c.learnt.empty() ? Texts{} : Texts{c.learnt}) << c.trace;
  }
}

TEST_F(Nd6Test, PortComesFromTheForwardingTableMovingOrCreatingItAndNeverFromTheWan) {
  Bridge *pstBr1 = AddBridge("br1", HostMac(0x10), "192.168.2.1");
  Port *pstEth5 = LUM_HOSTMON_PortAdd(pstBr1, "eth5");
  m_net.fdb["br1/aa:bb:cc:dd:ee:04"] = "eth5";  // found through the any-bridge query
  m_net.fdb["br0/aa:bb:cc:dd:ee:05"] = "eth9";  // not known yet
  m_net.fdb["br0/aa:bb:cc:dd:ee:06"] = "nas0";
  for (uint8_t ucHost : {4, 5, 6}) Input(Message(136, 0, LinkOption(2, HostMac(ucHost))));
  EXPECT_TRUE(Traced("ND packet, MAC address is aa:bb:**:**:**:6\n"));
  EXPECT_TRUE(Traced("Port [eth5] has been moved from [br1] to [br0] ...\n"));
  EXPECT_EQ(pstEth5->pstBridge, m_pstBr);
  ASSERT_NE(LUM_HOSTMON_PortFind("eth9"), nullptr);
  EXPECT_EQ(LUM_HOSTMON_PortFind("eth9")->pstBridge, m_pstBr);
  EXPECT_TRUE(Traced("ND packet, cant not find which port it is from.\n"));
  EXPECT_EQ(Learnt(), (Texts{"aa:bb:cc:dd:ee:04@eth5 2001:db8:1::5",
                             "aa:bb:cc:dd:ee:05@eth9 2001:db8:1::5"}));
}

TEST_F(Nd6Test, ListenersOpenInOrderStopAtTheFirstFailureAndAreNotOpenedTwice) {
  AddBridge("br1", HostMac(0x10), "192.168.2.1");
  AddBridge("br2", HostMac(0x20), "192.168.3.1");
  m_sys.interfaces.erase("br1");  // binding to it fails
  PrivilegeCalls().clear();
  EXPECT_EQ(HostmonIcmp6ListenAll(), 1u);
  ASSERT_EQ(Icmp6Sockets().size(), 2u);  // none for br2
  EXPECT_EQ(Icmp6Sockets().begin()->second.boundTo, "br0");
  EXPECT_EQ(m_sys.OpenCount(), 1);
  EXPECT_NE(m_pstBr->ulIcmp6SockHandle, 0u);

  m_sys.interfaces["br1"] = {};
  m_sys.failOption[{255, IPV6_CHECKSUM}] = EINVAL;
  TraceLines().clear();
  EXPECT_EQ(HostmonIcmp6ListenAll(), 1u);
  EXPECT_EQ(TraceLines()[0], "Bridge [br0] is already listening ...\n");
  EXPECT_EQ(TraceLines()[1], std::string("setsockopt(IPV6_CHECKSUM): ") + strerror(EINVAL));
  EXPECT_EQ(m_sys.OpenCount(), 1);

  m_sys.failOption.clear();
  EXPECT_EQ(HostmonIcmp6ListenAll(), 0u);
  EXPECT_EQ(m_sys.OpenCount(), 3);
  EXPECT_EQ(lum::loop::RegistrationCount(), 3u);
  // Opening never raises privileges; every opening drops them.
  EXPECT_EQ(std::count(PrivilegeCalls().begin(), PrivilegeCalls().end(), "Up"), 0);
  EXPECT_EQ(PrivilegeCalls().size(), 5u);
}

TEST_F(Nd6Test, ReceiveReportsTheSenderAndCutsLongMessages) {
  ASSERT_EQ(HostmonIcmp6ListenAll(), 0u);
  struct sockaddr_in6 stFrom {};
  stFrom.sin6_family = AF_INET6;
  memcpy(&stFrom.sin6_addr, kSource.data(), 16);
  const auto *pucFrom = reinterpret_cast<const uint8_t *>(&stFrom);
  Bytes longAdvert = Message(136, 0, LinkOption(2, HostMac(1)));
  longAdvert.resize(1500, 0);
  m_sys.toReceive.push_back({longAdvert, "", Bytes(pucFrom, pucFrom + sizeof(stFrom))});
  LUM_SOCK_REG stReg{};
  stReg.lFd = Icmp6Sockets().begin()->first;
  stReg.pvContext = m_pstBr;
  TraceLines().clear();
  HostmonIcmp6SocketProc(&stReg);
  EXPECT_EQ(TraceLines()[0], "ICMPv6 packet with length [1024] from address [2001:db8:1::5].\n");
  EXPECT_EQ(Learnt(), Texts{"aa:bb:cc:dd:ee:01@eth1 2001:db8:1::5"});
}

// The probe's bytes and options are checked on the wire by the system tests.
TEST_F(Nd6Test, SolicitationForAVanishedBridgeSendsNothingAndLeaksNothing) {
  m_sys.interfaces.erase("br0");  // the bind fails
  EXPECT_EQ(HostmonSendNeighborSolicit(m_pstBr, kTarget.data()), -1);
  EXPECT_TRUE(m_sys.sent.empty());
  EXPECT_EQ(m_sys.OpenCount(), 0);
  EXPECT_EQ(PrivilegeCalls(), (Texts{"Up", "Drop hostmon"}));
}

}  // namespace
}  // namespace lantest
