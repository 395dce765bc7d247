// The network utilities and the privilege switch against real kernels: a
// gateway namespace with bridges, ports and forwarding tables. Each query runs
// in a child that entered the gateway namespace (with its own /sys) and
// reports its answers as text.
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "platform/lum.h"
#include "platform/netquery.h"
#include "tests/system/netns_lan.h"

namespace {

using systest::NetnsLan;

std::string Join(const std::vector<std::string> &names) {
  std::string all;
  for (const std::string &name : names) all += (all.empty() ? "" : ",") + name;
  return all;
}

std::string KeyText(const char *pcIfName) {
  uint32_t key = 0;
  uint32_t rc = LUM_BRIDGE_GetBridgeKeyByInterfaceName(pcIfName, &key);
  return rc != 0 ? "fail" : std::to_string(key);
}

// "rc port portno ageing-ms mac" of one forwarding-table query, and the raw
// record in hex.
std::string FdbText(const char *pcMac, const char *pcBridge) {
  LUM_BR_FDB_INFO info{};
  uint32_t rc = pcBridge == nullptr ? LUM_UTIL_GetBrFdbInfoByMac(pcMac, &info)
                                    : LUM_UTIL_GetBrFdbInfoByMacSpecBr(pcMac, &info, pcBridge);
  if (rc != 0) return "none";
  const auto *raw = reinterpret_cast<const uint8_t *>(&info);
  char text[256];
  snprintf(text, sizeof(text), "%s %u %u %s", reinterpret_cast<const char *>(raw + 19),
           raw[39] | (raw[40] << 8),
           raw[35] | (raw[36] << 8) | (raw[37] << 16) | (static_cast<unsigned>(raw[38]) << 24),
           reinterpret_cast<const char *>(raw));
  return text;
}

std::map<std::string, std::string> Lines(const std::string &text) {
  std::map<std::string, std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return out;
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
    // A non-bridge named like one, a lone interface, ports of br10, brx, br1.
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

  std::map<std::string, std::string> InGateway(const std::function<std::string()> &fn) {
    std::optional<std::string> out = NetnsLan::CallIn(lan_->GatewayNs(), fn);
    EXPECT_TRUE(out.has_value());
    return Lines(out.value_or(""));
  }

  // Sends one datagram from a host to the gateway: its ARP request teaches
  // the bridge the host's MAC on the host's port.
  void Chirp(int iHost) { EXPECT_TRUE(NetnsLan::SendUdp(lan_->HostNs(iHost), lan_->BridgeIp())); }

  // Polls the gateway until fn's answer is no longer "none".
  std::string WaitFor(const std::function<std::string()> &fn) {
    std::string last;
    for (int i = 0; i < 100; ++i) {
      last = NetnsLan::CallIn(lan_->GatewayNs(), fn).value_or("none");
      if (last != "none") break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return last;
  }
};

TEST_F(KernelQueriesTest, BridgeNamesAscendingOnlyBrN) {
  auto got = InGateway([] {
    char buf[256];
    memset(buf, 'Z', sizeof(buf));
    int32_t n = LUM_UTIL_GetBridgeAllNames(buf, sizeof(buf));
    char small[8];
    int32_t nSmall = LUM_UTIL_GetBridgeAllNames(small, sizeof(small));
    return "all=" + std::to_string(n) + " " + buf + "\nsmall=" + std::to_string(nSmall) + " " +
           small + "\nnames=" + Join(lum::net::BridgeNames()) +
           "\nports0=" + Join(lum::net::BridgePorts("br0")) +
           "\nports10=" + Join(lum::net::BridgePorts("br10")) + "\n";
  });
  // br3 is no bridge, brx and br01 are no brN bridges.
  EXPECT_EQ(got["all"], "4 br0,br1,br2,br10");
  EXPECT_EQ(got["small"], "2 br0,br1");
  EXPECT_EQ(got["names"], "br0,br1,br2,br10");
  EXPECT_EQ(got["ports0"], "eth1,eth2,xwl0");
  EXPECT_EQ(got["ports10"], "p10a");
}

TEST_F(KernelQueriesTest, BridgeKeys) {
  auto got = InGateway([] {
    std::string out;
    for (const char *name :
         {"eth1", "eth2", "p10a", "ath1", "px", "lonely0", "br0", "br3", "p10b", "nosuch0"}) {
      out += std::string(name) + "=" + KeyText(name) + "\n";
    }
    uint32_t key = 7;
    out +=
        "nullkey=" + std::to_string(LUM_BRIDGE_GetBridgeKeyByInterfaceName("eth1", nullptr)) + "\n";
    out +=
        "nullname=" + std::to_string(LUM_BRIDGE_GetBridgeKeyByInterfaceName(nullptr, &key)) + "\n";
    out += "traversal=" + KeyText("../br0") + "\n";
    return out;
  });
  EXPECT_EQ(got["eth1"], "0");
  EXPECT_EQ(got["eth2"], "0");
  EXPECT_EQ(got["p10a"], "10");
  EXPECT_EQ(got["ath1"], "1");
  EXPECT_EQ(got["px"], "4294967295");       // port of a bridge not named brN
  EXPECT_EQ(got["lonely0"], "4294967295");  // no bridge's port
  EXPECT_EQ(got["br0"], "4294967295");      // the bridge itself is no port
  EXPECT_EQ(got["br3"], "4294967295");
  EXPECT_EQ(got["p10b"], "4294967295");  // the other end of the pair
  EXPECT_EQ(got["nosuch0"], "fail");
  EXPECT_EQ(got["nullkey"], "1");
  EXPECT_EQ(got["nullname"], "1");
  EXPECT_EQ(got["traversal"], "fail");
}

TEST_F(KernelQueriesTest, StaticEntryAnsweredWithRecordLayout) {
  ASSERT_EQ(
      lan_->Run(lan_->GatewayNs(), "bridge fdb add 02:00:00:00:aa:01 dev eth2 master static").iExit,
      0);
  auto got = InGateway([] {
    return "any=" + FdbText("02:00:00:00:aa:01", nullptr) +
           "\nupper=" + FdbText("02-00-00-00-AA-01", nullptr) +
           "\nbr0=" + FdbText("02:00:00:00:aa:01", "br0") +
           "\nbr1=" + FdbText("02:00:00:00:aa:01", "br1") +
           "\nmissingbr=" + FdbText("02:00:00:00:aa:01", "br77") +
           "\nunknown=" + FdbText("02:00:00:00:aa:02", nullptr) +
           "\nbad=" + FdbText("02:00:00:00:aa", nullptr) +
           "\nportof=" + lum::net::FdbPortOf("02:00:00:00:aa:01", "br0").value_or("none") + "\n";
  });
  // eth2 was the second port to join br0: port number 2.
  EXPECT_EQ(got["any"].substr(0, 7), "eth2 2 ");
  EXPECT_EQ(got["any"].substr(got["any"].rfind(' ') + 1), "02:00:00:00:aa:01");
  EXPECT_EQ(got["upper"], got["any"]);
  EXPECT_EQ(got["br0"].substr(0, 7), "eth2 2 ");
  EXPECT_EQ(got["br1"], "none");
  EXPECT_EQ(got["missingbr"], "none");
  EXPECT_EQ(got["unknown"], "none");
  EXPECT_EQ(got["bad"], "none");
  EXPECT_EQ(got["portof"], "eth2");
}

TEST_F(KernelQueriesTest, LearntEntryFollowsTheHost) {
  const std::string mac = lan_->HostMac(1);
  Chirp(1);
  std::string learnt = WaitFor([&] { return FdbText(mac.c_str(), "br0"); });
  std::istringstream in(learnt);
  std::string port, text;
  unsigned portNo = 0, ageingMs = 0;
  in >> port >> portNo >> ageingMs >> text;
  EXPECT_EQ(port, "eth1");
  EXPECT_EQ(portNo, 1u);
  EXPECT_LT(ageingMs, 5000u);
  EXPECT_EQ(text, mac);

  // Replugged behind a new port, the next frame moves the entry.
  ASSERT_TRUE(lan_->MoveHost(1, "eth7"));
  Chirp(1);
  std::string moved;
  for (int i = 0; i < 100 && moved.rfind("eth7", 0) != 0; ++i) {
    moved = NetnsLan::CallIn(lan_->GatewayNs(), [&] {
              return FdbText(mac.c_str(), nullptr);
            }).value_or("none");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(moved.substr(0, 5), "eth7 ");
}

TEST_F(KernelQueriesTest, LocalEntriesNotAnswered) {
  auto got = InGateway([] {
    // The bridge's own MAC, a port's own MAC, and a multicast address every
    // port lists as its own.
    return "bridge=" + FdbText(NetnsLan::kBridgeMac, nullptr) +
           "\nport=" + FdbText("02:00:00:00:01:01", nullptr) +
           "\nportbr0=" + FdbText("02:00:00:00:01:01", "br0") +
           "\nmcast=" + FdbText("33:33:00:00:00:01", nullptr) +
           "\nbcast=" + FdbText("ff:ff:ff:ff:ff:ff", nullptr) + "\n";
  });
  EXPECT_EQ(got["bridge"], "none");
  EXPECT_EQ(got["port"], "none");
  EXPECT_EQ(got["portbr0"], "none");
  EXPECT_EQ(got["mcast"], "none");
  EXPECT_EQ(got["bcast"], "none");
}

TEST_F(KernelQueriesTest, StationAssociatedOnlyBehindRadioPorts) {
  ASSERT_EQ(lan_->Run(lan_->GatewayNs(),
                      "bridge fdb add 02:00:00:00:bb:01 dev ath1 master static && "
                      "bridge fdb add 02:00:00:00:bb:02 dev xwl0 master static && "
                      "bridge fdb add 02:00:00:00:bb:03 dev eth1 master static")
                .iExit,
            0);
  // Host 2 replugged into a radio port, learnt from its own traffic.
  ASSERT_TRUE(lan_->MoveHost(2, "wl0"));
  Chirp(2);
  const std::string host2 = lan_->HostMac(2);
  std::string seen = WaitFor([&] { return FdbText(host2.c_str(), "br0"); });
  EXPECT_EQ(seen.substr(0, 4), "wl0 ");
  auto got = InGateway([&] {
    std::string out;
    for (const std::string &mac :
         {std::string("02:00:00:00:bb:01"), std::string("02:00:00:00:bb:02"),
          std::string("02:00:00:00:bb:03"), std::string("02:00:00:00:bb:04"), host2,
          std::string("02:00:00:00:BB:01")}) {
      out += mac + "=" + std::to_string(LUM_UTIL_IsStaAssociated(mac.c_str())) + "\n";
    }
    out += "null=" + std::to_string(LUM_UTIL_IsStaAssociated(nullptr)) + "\n";
    return out;
  });
  EXPECT_EQ(got["02:00:00:00:bb:01"], "1");  // ath1 on br1
  EXPECT_EQ(got["02:00:00:00:bb:02"], "0");  // xwl0: "wl" not at the start
  EXPECT_EQ(got["02:00:00:00:bb:03"], "0");  // wired port
  EXPECT_EQ(got["02:00:00:00:bb:04"], "0");  // unknown
  EXPECT_EQ(got[host2], "1");                // wl0
  EXPECT_EQ(got["02:00:00:00:BB:01"], "1");
  EXPECT_EQ(got["null"], "0");
}

// A query is made for every Neighbor Discovery packet: it must stay cheap
// even with a forwarding table of a busy LAN.
TEST_F(KernelQueriesTest, QueriesStayCheap) {
  std::string batch;
  for (int i = 0; i < 200; ++i) {
    char line[96];
    snprintf(line, sizeof(line), "fdb add 02:00:00:01:%02x:%02x dev eth%d master static\n", i / 256,
             i % 256, 1 + i % 2);
    batch += line;
  }
  ASSERT_EQ(
      systest::RunArgv({"ip", "netns", "exec", lan_->GatewayNs(), "bridge", "-batch", "-"}, batch)
          .iExit,
      0);
  auto got = InGateway([] {
    auto start = std::chrono::steady_clock::now();
    int found = 0;
    for (int i = 0; i < 500; ++i) {
      char mac[18];
      snprintf(mac, sizeof(mac), "02:00:00:01:00:%02x", (i * 7) % 200);
      LUM_BR_FDB_INFO info{};
      if (LUM_UTIL_GetBrFdbInfoByMacSpecBr(mac, &info, "br0") == 0) ++found;
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    return "found=" + std::to_string(found) + "\nms=" + std::to_string(ms) + "\n";
  });
  EXPECT_EQ(got["found"], "500");
  RecordProperty("ms_per_500", got["ms"]);
  EXPECT_LT(std::stol(got["ms"].empty() ? "999999" : got["ms"]), 2000) << "500 queries";
}

// The service identity, in a child: a user switch is for good.
TEST_F(KernelQueriesTest, ForceSetKeepsSocketCapabilities) {
  if (getpwnam("nobody") == nullptr) GTEST_SKIP() << "no user nobody";
  auto got = InGateway([] {
    auto status = [](const char *field) {
      std::ifstream in("/proc/self/status");
      std::string line;
      while (std::getline(in, line)) {
        if (line.rfind(field, 0) == 0) return line.substr(line.find(':') + 2);
      }
      return std::string("?");
    };
    std::string out;
    out += "force=" + std::to_string(LUM_UTIL_ForceSetPrivileges("nobody")) + "\n";
    out += "uid=" + status("Uid:") + "\n";
    out += "prm=" + status("CapPrm:") + "\n";
    out += "eff=" + status("CapEff:") + "\n";
    out += "drop=" + std::to_string(LUM_UTIL_DropRootPrivileges("nobody")) + "\n";
    out += "effdrop=" + status("CapEff:") + "\n";
    // The daemon opens its ARP socket after a drop, without raising.
    int fd = socket(AF_INET, SOCK_PACKET, htons(0x0806));
    out += "packet=" + std::to_string(fd >= 0) + "\n";
    if (fd >= 0) close(fd);
    out += "up=" + std::to_string(LUM_UTIL_UpRootPrivileges()) + "\n";
    out += "effup=" + status("CapEff:") + "\n";
    out += "root=" + std::to_string(setuid(0) == 0) + "\n";
    return out;
  });
  EXPECT_EQ(got["force"], "0");
  EXPECT_EQ(got["uid"], "65534\t65534\t65534\t65534");
  // CHOWN 0, DAC_OVERRIDE 1, FOWNER 3, NET_ADMIN 12, NET_RAW 13.
  EXPECT_EQ(got["prm"], "000000000000300b");
  EXPECT_EQ(got["eff"], "000000000000300b");
  EXPECT_EQ(got["drop"], "0");
  EXPECT_EQ(got["effdrop"], "0000000000003002");
  EXPECT_EQ(got["packet"], "1");
  EXPECT_EQ(got["up"], "0");
  EXPECT_EQ(got["effup"], "000000000000300b");
  EXPECT_EQ(got["root"], "0");
}

TEST_F(KernelQueriesTest, ForceSetWithoutSuchUserKeepsRoot) {
  auto got = InGateway([] {
    std::string out;
    out += "force=" + std::to_string(LUM_UTIL_ForceSetPrivileges("no-such-user-x")) + "\n";
    out += "uid=" + std::to_string(getuid()) + "\n";
    out += "drop=" + std::to_string(LUM_UTIL_DropRootPrivileges("no-such-user-x")) + "\n";
    out += "up=" + std::to_string(LUM_UTIL_UpRootPrivileges()) + "\n";
    out += "root=" + std::to_string(setuid(0) == 0) + "\n";
    return out;
  });
  EXPECT_NE(got["force"], "0");
  EXPECT_EQ(got["uid"], "0");
  EXPECT_EQ(got["drop"], "0");
  EXPECT_EQ(got["up"], "0");
  EXPECT_EQ(got["root"], "1");
}

}  // namespace
