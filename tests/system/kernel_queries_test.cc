// The platform's network queries against a real kernel: bridges, ports and
// forwarding tables of the gateway namespace, asked from a child that entered
// it (with its own /sys) and reported as text.
#include <cstring>

#include "platform/lum.h"
#include "platform/netquery.h"
#include "tests/system/netns_lan.h"

namespace systest {
namespace {

// "port portno fresh|old mac" from the raw 43-byte record of one
// forwarding-table query: port text at 19, ageing ms at 35, port number at 39.
std::string FdbText(const std::string &mac, const char *pcBridge = nullptr) {
  LUM_BR_FDB_INFO info{};
  uint32_t rc = pcBridge == nullptr
                    ? LUM_UTIL_GetBrFdbInfoByMac(mac.c_str(), &info)
                    : LUM_UTIL_GetBrFdbInfoByMacSpecBr(mac.c_str(), &info, pcBridge);
  if (rc != 0) return "none";
  const auto *raw = reinterpret_cast<const uint8_t *>(&info);
  uint32_t ulAgeingMs = 0;
  uint16_t usPortNo = 0;
  memcpy(&ulAgeingMs, raw + 35, 4);
  memcpy(&usPortNo, raw + 39, 2);
  return std::string(reinterpret_cast<const char *>(raw + 19)) + " " + std::to_string(usPortNo) +
         (ulAgeingMs < 5000 ? " fresh " : " old ") + reinterpret_cast<const char *>(raw);
}

using KernelQueriesTest = NetnsLanTest;

TEST_F(KernelQueriesTest, BridgesKeysForwardingTableAndStations) {
  // More bridges, brx and br01 not of the form brN; a non-bridge named like
  // one (br3), a lone interface, ports of br10, brx and br1, and in br0 a
  // radio-looking port xwl0 ("wl" not at the start).
  std::string gw;
  for (const char *bridge : {"br10", "br2", "br1", "brx", "br01"}) {
    gw += "link add " + std::string(bridge) + " type bridge\nlink set " + bridge +
          " addrgenmode none\nlink set " + bridge + " up\n";
  }
  gw +=
      "link add br3 type veth peer name br3p\nlink add lonely0 type veth peer name lonely0p\n"
      "link add p10a type veth peer name p10b\nlink set p10a master br10\n"
      "link add px type veth peer name pxb\nlink set px master brx\n"
      "link add ath1 type veth peer name ath1p\nlink set ath1 master br1 up\nlink set ath1p up\n"
      "link add xwl0 type veth peer name xwl0p\nlink set xwl0 master br0 up\nlink set xwl0p up\n";
  ASSERT_TRUE(NetnsLan::Ip(lan_->GatewayNs(), gw));
  ASSERT_EQ(ShellIn(lan_->GatewayNs(),
                    "bridge fdb add 02:00:00:00:aa:01 dev eth2 master static && "
                    "bridge fdb add 02:00:00:00:bb:01 dev ath1 master static && "
                    "bridge fdb add 02:00:00:00:bb:02 dev xwl0 master static")
                .iExit,
            0);
  // Host 1's own traffic teaches br0 its MAC behind eth1.
  ASSERT_EQ(ShellIn(lan_->HostNs(1), "ping -c 1 -W 2 " + lan_->BridgeIp()).iExit, 0);

  std::optional<std::string> got = NetnsLan::CallIn(lan_->GatewayNs(), [] {
    char buf[256], small[8];
    std::string o = "all=" + std::to_string(LUM_UTIL_GetBridgeAllNames(buf, sizeof(buf))) + ":";
    o += buf + (" small=" + std::to_string(LUM_UTIL_GetBridgeAllNames(small, sizeof(small)))) +
         ":" + small + "\nports0=";
    for (const std::string &port : lum::net::BridgePorts("br0")) o += port + ",";
    for (const char *name :
         {"eth2", "p10a", "ath1", "px", "lonely0", "br0", "br3", "p10b", "nosuch0", "../br0"}) {
      uint32_t key = 0;
      const bool ok = LUM_BRIDGE_GetBridgeKeyByInterfaceName(name, &key) == 0;
      o += std::string(" ") + name + "=" + (ok ? std::to_string(key) : "fail");
    }
    const std::string mac = "02:00:00:00:aa:01";
    o += "\n" + FdbText(mac) + "|" + FdbText("02-00-00-00-AA-01") + "|" + FdbText(mac, "br0") +
         "|" + lum::net::FdbPortOf(mac, "br0").value_or("none") + "|" +
         FdbText(NetnsLan::HostMac(1)) + "\n";
    // Not in that table, a bad MAC, the bridge's own MAC, a port's own MAC,
    // and addresses every port lists as its own.
    for (const std::string &miss :
         {FdbText(mac, "br1"), FdbText(mac, "br77"), FdbText("02:00:00:00:aa:02"),
          FdbText("02:00:00:00:aa"), FdbText(NetnsLan::kBridgeMac), FdbText("02:00:00:00:01:01"),
          FdbText("02:00:00:00:01:01", "br0"), FdbText("33:33:00:00:00:01"),
          FdbText("ff:ff:ff:ff:ff:ff")}) {
      o += miss + " ";
    }
    o += "\nstations=";
    for (const char *sta : {"02:00:00:00:bb:01", "02:00:00:00:BB:01", "02:00:00:00:bb:02",
                            "02:00:00:00:aa:01", "02:00:00:00:bb:04"}) {
      o += std::to_string(LUM_UTIL_IsStaAssociated(sta) != 0);
    }
    return o;
  });
  // br3 is no bridge, brx and br01 are no brN bridges; px is a port of brx,
  // lonely0 of no bridge, p10b the other end of br10's port. eth2 was the
  // second port to join br0. Only ath1 (on br1, either case) is a radio port.
  EXPECT_EQ(got.value_or("<failed>"),
            "all=4:br0,br1,br2,br10 small=2:br0,br1\n"
            "ports0=eth1,eth2,xwl0, eth2=0 p10a=10 ath1=1 px=4294967295 lonely0=4294967295 "
            "br0=4294967295 br3=4294967295 p10b=4294967295 nosuch0=fail ../br0=fail\n"
            "eth2 2 fresh 02:00:00:00:aa:01|eth2 2 fresh 02:00:00:00:aa:01|"
            "eth2 2 fresh 02:00:00:00:aa:01|eth2|eth1 1 fresh 02:00:00:00:00:01\n"
            "none none none none none none none none none \n"
            "stations=11000");
}

}  // namespace
}  // namespace systest
