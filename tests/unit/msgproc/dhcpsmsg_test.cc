// The DHCP servers' and the wireless side's notices: what each forgets, probes
// and syncs, which MAC each looks up, and payloads never read past their length.
#include <algorithm>
#include <filesystem>
#include <tuple>

#include "dbsync/dbsync.h"
#include "main/msgcatalog.h"
#include "msgproc/msgproc.h"
#include "tests/unit/common/lan.h"

namespace lantest {
namespace {

using Handler = void (*)(const MessageHeader *);

Bytes B(const Mac &mac) { return Bytes(mac.begin(), mac.end()); }
Bytes B(const std::string &addr, size_t ulLen = 16) {
  const Addr bytes = A(addr);
  return Bytes(bytes.begin(), bytes.begin() + ulLen);
}

size_t Syncs() { return Traced("Sync with database now ...\n"); }

class DhcpsMsgTest : public LanTest {
 protected:
  void SetUp() override {
    LanTest::SetUp();
    HostmonNeighborsResetForTest();
    // An IPv4 pass arms the DHCP server's notice once the files are written.
    std::filesystem::create_directories(m_root.Root() + "/var/dhcp/dhcps");
  }
  // A host whose DHCP lease gave it another real MAC than the one on the wire.
  MacAddressItem *LeasedHost(const Texts &addrs) {
    MacAddressItem *pstItem = Host(HostMac(1), m_pstEth0, addrs);
    strcpy(pstItem->acRealMac, "AA:BB:CC:DD:EE:99");
    pstItem->ulDhcp = 1;
    pstItem->ulLeasedAddr = 0xC0A80114;
    return pstItem;
  }
};

TEST_F(DhcpsMsgTest, AddIpMacForgetsTheRealMacsIpv4AndProbesTheLeaseFromTheNamedBridge) {
  MacAddressItem *pstItem = LeasedHost({"192.168.1.20", "fe80::1", "10.0.0.9"});
  const auto add = [](uint8_t ucMac, const char *pcBridge) {
    Deliver(HostmonProcDhcpsAddIpMac, LUM_MSG_DHCPS_ADD_IPMAC, B(HostMac(ucMac)) + Text(pcBridge),
            Ip("192.168.1.50"));
  };
  add(0x99, "br1");
  add(1, "br0");  // the wire MAC names nobody, yet its probe goes out
  EXPECT_EQ(Addresses(pstItem).size(), 3u);
  add(0x99, "br0");
  EXPECT_EQ(Addresses(pstItem), Texts{"fe80::1"});
  // None without a bridge. The system tests follow the probe to the host's answer.
  EXPECT_EQ(Arps(), (Texts{"192.168.1.1>192.168.1.50", "192.168.1.1>192.168.1.50"}));
  EXPECT_EQ(Traced("Can't find bridge [br1].\n"), 1u);
  EXPECT_EQ(Syncs(), 0u);
}

TEST_F(DhcpsMsgTest, DeletionsLookUpTheWireMacAndOnlyTheWholeClientSyncs) {
  LeasedHost({"192.168.1.20"});
  Host(HostMac(2), m_pstEth1, {"192.168.1.21", "2001:db8::2"});
  Host(HostMac(3), m_pstEth1, {"192.168.1.22", "192.168.1.23"});
  for (const char *pcIp : {"192.168.1.99", "192.168.1.22", "192.168.1.23"}) {
    Deliver(HostmonProcDhcpsDelSingleIpMac, LUM_MSG_DHCPS_DEL_SINGLEIPMAC,
            B(HostMac(3)) + Bytes{0x12, 0x34} + B(pcIp, 4));  // alignment bytes set
  }
  EXPECT_EQ(ItemCount(), 2u);
  EXPECT_EQ(Syncs(), 0u);
  TraceLines().clear();
  for (uint8_t ucMac : {0x99, 1, 2}) {
    Deliver(HostmonProcDhcpsDelIpMac, LUM_MSG_DHCPS_DEL_IPMAC, B(HostMac(ucMac)));
  }
  EXPECT_EQ(TraceLines()[1], "Can't find MAC address item.\n");  // a real MAC only
  EXPECT_EQ(Learnt(), Texts{"aa:bb:cc:dd:ee:02@eth1 2001:db8::2"});
  EXPECT_EQ(MlogLines().at(0),
            "hostmon delitem VMAC [AA:BB:**:**:**:01] RMAC[AA:BB:**:**:**:99] IP[c0a80114] DHCP "
            "[1] Port [eth0]\n");
  EXPECT_EQ(Syncs(), 2u);
  EXPECT_NE(HostmonNeighborsTimer(), 0u);  // an IPv4 pass
}

TEST_F(DhcpsMsgTest, WlanDelLeaseFindsTheRealMacInAnyCaseAndListsWhatIsLeft) {
  LeasedHost({"192.168.1.20", "fe80::1"});
  Host(HostMac(2), m_pstWlan0, {"192.168.1.21"});
  Deliver(HostmonProcWlanDelLease, LUM_HOSTMON_MSG_WLAN_DEL_LEASE, Text("aa:bb:cc:dd:ee:01"));
  EXPECT_EQ(ItemCount(), 2u);  // the wire MAC is not a real MAC
  TraceLines().clear();
  const Bytes noNul = Text("aa:bb:cc:dd:ee:99");
  Deliver(HostmonProcWlanDelLease, LUM_HOSTMON_MSG_WLAN_DEL_LEASE,
          Bytes(noNul.begin(), noNul.end() - 1));
  EXPECT_EQ(TraceLines(), (Texts{"AA:BB:**:**:**:99\n", "find MAC address item.\n",
                                 "hostmon del wlan lease VMAC [AA:BB:**:**:**:01] "
                                 "RMAC[AA:BB:**:**:**:99] IP[c0a80114] DHCP [1] Port [eth0]\n",
                                 "AA:BB:**:**:**:02"}));
  EXPECT_EQ(Syncs(), 0u);
}

TEST_F(DhcpsMsgTest, Dhcp6ReleaseTakesTheFirstHoldersAddressAndSyncsIpv6AndDadProbesIt) {
  Host(HostMac(1), m_pstEth0, {"192.168.1.20", "2001:db8::5"});
  Host(HostMac(2), m_pstEth0, {"2001:db8::6"});
  Host(HostMac(3), m_pstEth0, {"2001:db8::5"});
  for (const char *pcIp : {"2001:db8::99", "2001:db8::5", "2001:db8::6"}) {
    Deliver(HostmonProcDhcp6sClientRelease, LUM_MSG_DHCP6S_CLIENT_RELEASE, B(pcIp));
  }
  EXPECT_EQ(Learnt(),
            (Texts{"aa:bb:cc:dd:ee:01@eth0 192.168.1.20", "aa:bb:cc:dd:ee:03@eth0 2001:db8::5"}));
  EXPECT_EQ(Syncs(), 3u);
  EXPECT_EQ(HostmonNeighborsTimer(), 0u);  // IPv6 only: no notice to the DHCP server

  AddBridge("br1", HostMac(0x10), "192.168.2.1");
  Deliver(HostmonProcDadAddIpv6Item, LUM_MSG_HOSTMON_DAD_ADD_IPV6_ITEM,
          B("2001:db8::77") + B(HostMac(1)) + Text("br1"));
  ASSERT_EQ(m_sys.sent.size(), 1u);
  EXPECT_EQ(m_sys.sent[0].ifname, "br1");
  EXPECT_EQ(Bytes(&m_sys.sent[0].dest[8], &m_sys.sent[0].dest[24]), B("2001:db8::77"));
  EXPECT_EQ(Bytes(&m_sys.sent[0].bytes[8], &m_sys.sent[0].bytes[24]), B("2001:db8::77"));
}

TEST_F(DhcpsMsgTest, ShortPayloadsAndOverlongTextsAreRefusedWithoutReadingPastTheLength) {
  // The junk after each cut payload would complete a field naming this host.
  const Mac junk = HostMac(0xEE);
  Host(junk, m_pstEth0, {"192.168.238.238", "2001:db8::ee"});
  const Texts held = Learnt();
  const std::tuple<Handler, uint32_t, Bytes> astCases[] = {
      {HostmonProcDhcpsAddIpMac, LUM_MSG_DHCPS_ADD_IPMAC, B(junk)},
      {HostmonProcDhcpsAddIpMac, LUM_MSG_DHCPS_ADD_IPMAC, B(junk) + Text("br0_with_a_long_name")},
      {HostmonProcDhcpsDelIpMac, LUM_MSG_DHCPS_DEL_IPMAC, Bytes(junk.begin(), junk.end() - 1)},
      {HostmonProcDhcpsDelSingleIpMac, LUM_MSG_DHCPS_DEL_SINGLEIPMAC,
       B(junk) + Bytes{0, 0, 192, 168}},
      {HostmonProcWlanDelLease, LUM_HOSTMON_MSG_WLAN_DEL_LEASE, {}},
      {HostmonProcWlanDelLease, LUM_HOSTMON_MSG_WLAN_DEL_LEASE, Text("AA:BB:CC:DD:EE:EE0")},
      {HostmonProcDhcp6sClientRelease, LUM_MSG_DHCP6S_CLIENT_RELEASE, B("2001:db8::ee", 15)},
      {HostmonProcDadAddIpv6Item, LUM_MSG_HOSTMON_DAD_ADD_IPV6_ITEM, B("2001:db8::ee") + B(junk)},
  };
  for (const auto &[pfnHandler, ulType, payload] : astCases) {
    TraceLines().clear();
    Deliver(pfnHandler, ulType, payload, Ip("192.168.1.50"));
    char acRefusal[80];
    snprintf(acRefusal, sizeof(acRefusal),
             "Message [%x] with a payload of %zu bytes is malformed, ignore.\n", ulType,
             payload.size());
    EXPECT_EQ(TraceLines(), Texts{acRefusal});
    EXPECT_EQ(Learnt(), held);
  }
  EXPECT_TRUE(m_sys.sent.empty());
}

}  // namespace
}  // namespace lantest
