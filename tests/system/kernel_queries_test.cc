// The network utilities and the privilege switch against real kernels: a
// gateway namespace with bridges, ports and forwarding tables. Each query runs
// in a child that entered the gateway namespace (with its own /sys) and
// reports its answers as text.
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "platform/lum.h"
#include "platform/netquery.h"
#include "tests/system/netns_lan.h"

namespace {

using systest::NetnsLan;

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

// The first line of /proc/self/status starting with field, after the colon.
std::string Status(const char *pcField) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(pcField, 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "?";
}

class KernelQueriesTest : public systest::NetnsLanTest {
 protected:
  NetnsLan::Options LanOptions() const override {
    NetnsLan::Options options;
    options.iHosts = 2;
    // Quiet links: the forwarding tables hold only what a test puts there.
    options.bIpv6LinkLocal = false;
    options.extraBridges = {"br10", "br2", "br1", "brx", "br01"};
    return options;
  }

  void SetUp() override {
    systest::NetnsLanTest::SetUp();
    if (!lan_) return;
    // A non-bridge named like one, a lone interface, ports of br10, brx, br1, br0.
    ASSERT_TRUE(lan_->Ip(lan_->GatewayNs(),
                         "link add br3 type veth peer name br3p\n"
                         "link add lonely0 type veth peer name lonely0p\n"
                         "link add p10a type veth peer name p10b\n"
                         "link set p10a master br10\n"
                         "link add px type veth peer name pxb\n"
                         "link set px master brx\n"
                         "link add ath1 type veth peer name ath1p\n"
                         "link set ath1 master br1\n"
                         "link add xwl0 type veth peer name xwl0p\n"
                         "link set xwl0 master br0\n"
                         "link set ath1 up\nlink set ath1p up\n"
                         "link set xwl0 up\nlink set xwl0p up\n"));
  }

  // Runs fn in the gateway; it writes its answers as "name=value " pairs.
  std::string InGateway(const std::function<void(std::string &)> &fn) {
    std::optional<std::string> out = NetnsLan::CallIn(lan_->GatewayNs(), [&fn] {
      std::string text;
      fn(text);
      return text;
    });
    EXPECT_TRUE(out.has_value());
    return out.value_or("<failed>");
  }

  // Sends one datagram from a host to the gateway, then polls the gateway
  // until the forwarding table has the host's MAC behind port.
  std::string ChirpAndWait(int iHost, const std::string &port) {
    EXPECT_TRUE(NetnsLan::SendUdp(lan_->HostNs(iHost), lan_->BridgeIp()));
    const std::string mac = lan_->HostMac(iHost);
    std::string last;
    for (int i = 0; i < 100 && last.rfind(port + " ", 0) != 0; ++i) {
      last = NetnsLan::CallIn(lan_->GatewayNs(), [&] { return FdbText(mac); }).value_or("none");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return last;
  }
};

TEST_F(KernelQueriesTest, BridgeNamesAndKeysCountOnlyBrN) {
  std::string got = InGateway([](std::string &o) {
    char buf[256], small[8];
    o += "all=" + std::to_string(LUM_UTIL_GetBridgeAllNames(buf, sizeof(buf))) + ":" + buf;
    o += " small=" + std::to_string(LUM_UTIL_GetBridgeAllNames(small, sizeof(small))) + ":" + small;
    o += " ports0=";
    for (const std::string &port : lum::net::BridgePorts("br0")) o += port + ",";
    for (const char *name :
         {"eth2", "p10a", "ath1", "px", "lonely0", "br0", "br3", "p10b", "nosuch0", "../br0"}) {
      uint32_t key = 0;
      bool ok = LUM_BRIDGE_GetBridgeKeyByInterfaceName(name, &key) == 0;
      o += std::string(" ") + name + "=" + (ok ? std::to_string(key) : "fail");
    }
  });
  // br3 is no bridge, brx and br01 are no brN bridges; px is a port of brx,
  // lonely0 of no bridge, p10b the other end of br10's port.
  EXPECT_EQ(got,
            "all=4:br0,br1,br2,br10 small=2:br0,br1 ports0=eth1,eth2,xwl0, eth2=0 p10a=10 ath1=1 "
            "px=4294967295 lonely0=4294967295 br0=4294967295 br3=4294967295 p10b=4294967295 "
            "nosuch0=fail ../br0=fail");
}

TEST_F(KernelQueriesTest, StaticEntryAnsweredWithRecordLayoutLocalOnesNot) {
  ASSERT_EQ(
      lan_->Run(lan_->GatewayNs(), "bridge fdb add 02:00:00:00:aa:01 dev eth2 master static").iExit,
      0);
  std::string got = InGateway([](std::string &o) {
    const std::string mac = "02:00:00:00:aa:01";
    o += FdbText(mac) + "|" + FdbText("02-00-00-00-AA-01") + "|" + FdbText(mac, "br0") + "|" +
         lum::net::FdbPortOf(mac, "br0").value_or("none");
    // Not in the table, a bad MAC, the bridge's own MAC, a port's own MAC,
    // and addresses every port lists as its own.
    for (const std::string &other :
         {FdbText(mac, "br1"), FdbText(mac, "br77"), FdbText("02:00:00:00:aa:02"),
          FdbText("02:00:00:00:aa"), FdbText(NetnsLan::kBridgeMac), FdbText("02:00:00:00:01:01"),
          FdbText("02:00:00:00:01:01", "br0"), FdbText("33:33:00:00:00:01"),
          FdbText("ff:ff:ff:ff:ff:ff")}) {
      o += " " + other;
    }
  });
  // eth2 was the second port to join br0: port number 2.
  EXPECT_EQ(got,
            "eth2 2 fresh 02:00:00:00:aa:01|eth2 2 fresh 02:00:00:00:aa:01|"
            "eth2 2 fresh 02:00:00:00:aa:01|eth2 none none none none none none none none none");
}

TEST_F(KernelQueriesTest, LearntEntryFollowsTheHostAndStationsAreBehindRadioPorts) {
  ASSERT_EQ(lan_->Run(lan_->GatewayNs(),
                      "bridge fdb add 02:00:00:00:bb:01 dev ath1 master static && "
                      "bridge fdb add 02:00:00:00:bb:02 dev xwl0 master static && "
                      "bridge fdb add 02:00:00:00:bb:03 dev eth1 master static")
                .iExit,
            0);
  // Host 2 learnt from its own traffic, then replugged into a radio port:
  // the next frame moves the entry.
  EXPECT_EQ(ChirpAndWait(2, "eth2"), "eth2 2 fresh " + lan_->HostMac(2));
  ASSERT_TRUE(lan_->MoveHost(2, "wl0"));
  EXPECT_EQ(ChirpAndWait(2, "wl0").substr(0, 4), "wl0 ");
  const std::string host2 = lan_->HostMac(2);
  std::string got = InGateway([&host2](std::string &o) {
    for (const std::string &mac :
         {std::string("02:00:00:00:bb:01"), std::string("02:00:00:00:BB:01"),
          std::string("02:00:00:00:bb:02"), std::string("02:00:00:00:bb:03"),
          std::string("02:00:00:00:bb:04"), host2}) {
      o += std::to_string(LUM_UTIL_IsStaAssociated(mac.c_str()) != 0);
    }
  });
  // ath1 on br1 in either case; xwl0 ("wl" not at the start), a wired port
  // and an unknown MAC are no stations; host 2 behind wl0 is.
  EXPECT_EQ(got, "110001");
}

// The service identity, in a child: a user switch is for good. Without such a
// user nothing changes; with one, the socket capabilities stay.
TEST_F(KernelQueriesTest, ForceSetKeepsSocketCapabilities) {
  if (getpwnam("nobody") == nullptr) GTEST_SKIP() << "no user nobody";
  std::string got = InGateway([](std::string &o) {
    auto add = [&o](const char *pcName, const std::string &value) {
      o += std::string(pcName) + "=" + value + " ";
    };
    const std::string before = Status("CapEff:");
    add("nouser", std::to_string(LUM_UTIL_ForceSetPrivileges("no-such-user-x") != 0));
    add("drop", std::to_string(LUM_UTIL_DropRootPrivileges("no-such-user-x")));
    add("up", std::to_string(LUM_UTIL_UpRootPrivileges()));
    add("kept", std::to_string(getuid() == 0 && Status("CapEff:") == before));
    add("force", std::to_string(LUM_UTIL_ForceSetPrivileges("nobody")));
    add("uid", Status("Uid:"));
    add("prm", Status("CapPrm:"));
    add("eff", Status("CapEff:"));
    add("drop", std::to_string(LUM_UTIL_DropRootPrivileges("nobody")));
    add("eff", Status("CapEff:"));
    // The daemon opens its ARP socket after a drop, without raising.
    int fd = socket(AF_INET, SOCK_PACKET, htons(0x0806));
    add("packet", std::to_string(fd >= 0));
    if (fd >= 0) close(fd);
    add("up", std::to_string(LUM_UTIL_UpRootPrivileges()));
    add("eff", Status("CapEff:"));
    add("root", std::to_string(setuid(0) == 0));
  });
  // CHOWN 0, DAC_OVERRIDE 1, FOWNER 3, NET_ADMIN 12, NET_RAW 13.
  EXPECT_EQ(got,
            "nouser=1 drop=0 up=0 kept=1 force=0 uid=65534\t65534\t65534\t65534 "
            "prm=000000000000300b eff=000000000000300b drop=0 eff=0000000000003002 packet=1 up=0 "
            "eff=000000000000300b root=0 ");
}

}  // namespace
