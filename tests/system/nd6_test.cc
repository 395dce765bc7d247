// IPv6 learning end to end, in the LAN of netns_lan.h with IPv6: hosts that
// solicit routers are asked for their addresses and learnt on their ports; a
// silent address gets two unicast solicitations and goes; a bridge made at run
// time gets its own listener, and a deleted one gives its socket back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/system/daemon.h"

namespace systest {
namespace {

// The interfaces the daemon's raw ICMPv6 sockets are bound to, sorted, read
// through copies of its descriptors.
std::string Icmp6Listeners(pid_t pid) {
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) return "no pidfd";
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto &entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    const int fd =
        static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, std::stoi(entry.path().filename()), 0));
    const auto opt = [fd](int iName) {
      int iValue = -1;
      socklen_t len = sizeof(iValue);
      return getsockopt(fd, SOL_SOCKET, iName, &iValue, &len) == 0 ? iValue : -1;
    };
    if (fd >= 0 && opt(SO_DOMAIN) == AF_INET6 && opt(SO_TYPE) == SOCK_RAW &&
        opt(SO_PROTOCOL) == IPPROTO_ICMPV6) {
      char acDev[IFNAMSIZ] = {};
      socklen_t len = sizeof(acDev);
      getsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, acDev, &len);
      names.push_back(acDev[0] != '\0' ? acDev : "(unbound)");
    }
    if (fd >= 0) close(fd);
  }
  close(pidfd);
  std::sort(names.begin(), names.end());
  std::string text;
  for (const std::string &name : names) text += (text.empty() ? "" : " ") + name;
  return text;
}

size_t FdCount(pid_t pid) {
  std::error_code ec;
  auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
  return static_cast<size_t>(std::distance(it, std::filesystem::directory_iterator()));
}

class Nd6Test : public DaemonLanTest {
 protected:
  Nd6Test() { lanOptions_.bIpv6 = true; }

  // A Router Solicitation from src with host i's link-layer address, from
  // which the gateway's kernel makes a neighbour entry.
  void Solicit(int iHost, const std::string &src) {
    Bytes msg = {133, 0, 0, 0, 0, 0, 0, 0};
    const Bytes option = MacOption(1, lan_->HostMac(iHost));
    msg.insert(msg.end(), option.begin(), option.end());
    EXPECT_EQ(
        lan_->SendFrames(iHost, {Icmp6Frame(iHost, "33:33:00:00:00:02", src, "ff02::2", msg)}),
        "sent");
  }
};

TEST_F(Nd6Test, SolicitingHostsAreAskedAndLearntOnTheirPortsWithTheirLinkLocalSlot) {
  ASSERT_NO_FATAL_FAILURE(StartDaemon({}));
  const std::string ip1 = lan_->HostIp6(1), ll1 = lan_->HostLinkLocal(1);
  const std::string ll2 = lan_->HostLinkLocal(2);
  // The global address first: the link-local slot must not take the first one.
  Solicit(1, ip1);
  ASSERT_TRUE(NeighborsAre(NeighborLine(1, ip1)));
  Solicit(1, ll1);
  Solicit(2, ll2);
  ASSERT_TRUE(
      NeighborsAre(NewNeighborLine(1, ip1) + NewNeighborLine(1, ll1) + NewNeighborLine(2, ll2),
                   "neighbors_new"));
  EXPECT_EQ(daemon_->Neighbors(),
            NeighborLine(1, ip1) + NeighborLine(1, ll1) + NeighborLine(2, ll2));
  EXPECT_EQ(daemon_->Show(), kBridgeLine + HostLine(1, ip1) + HostLine(1, ll1) + HostLine(2, ll2));
  const std::string trace = daemon_->Trace();
  // Each solicitation was answered with one whole 32-byte probe.
  const std::string answer = "Recvd ROUTER_SOLICIT packet, send solicit packet return 32.\n";
  size_t ulAnswers = 0;
  for (size_t at = trace.find(answer); at != std::string::npos; at = trace.find(answer, at + 1)) {
    ++ulAnswers;
  }
  EXPECT_EQ(ulAnswers, 3u) << daemon_->Diagnostics();
  // What IPv6 alone taught is not announced to the DHCP server.
  EXPECT_EQ(trace.find("Start NeighBors Update msg timer now ...\n"), std::string::npos);

  std::optional<HostObject> host =
      SavedHost(lan_->HostMac(1), [](const HostObject &h) { return h.ipv6.size() == 2; });
  ASSERT_TRUE(host) << daemon_->DbDump();
  EXPECT_EQ(host->ipv6, (std::vector<std::string>{ip1, ll1}));
  EXPECT_THAT(host->params, ::testing::IsSupersetOf(std::map<std::string, std::string>{
                                {"X_IPv6LinkLocalAddress", ll1},
                                {"X_IPv6Active", "1"},
                                {"Active", "0"},
                                {"IPAddress", ""},
                                {"Layer2Interface", PortPath(daemon_->DbDump(), "eth1")}}));
}

TEST_F(Nd6Test, SilentAddressGetsTwoUnicastSolicitationsAndGoesOnSchedule) {
  // 290 s + 3 s + 3 s of daemon time in about 3 s.
  ASSERT_NO_FATAL_FAILURE(StartDaemon({.ulTimeScale = 100}));
  const std::string ip = lan_->HostIp6(1), mac = lan_->HostMac(1);
  // The gateway's kernel neither asks for the address itself nor needs to:
  // every solicitation on the wire is the daemon's, straight to the host's MAC.
  ASSERT_TRUE(NetnsLan::Ip(lan_->GatewayNs(),
                           "neigh replace " + ip + " lladdr " + mac + " nud permanent dev br0\n"));
  ASSERT_EQ(lan_->SendFrames(1, {NeighborAdvert(1, ip, MacOption(2, mac))}), "sent");
  ASSERT_TRUE(NeighborsAre(NeighborLine(1, ip)));
  ASSERT_TRUE(NetnsLan::Ip(lan_->HostNs(1), "addr del " + ip + "/64 dev eth0\n"));

  // Ethernet 14, IPv6 40 (next header at 6, hop limit at 7, destination at
  // 24), ICMPv6 type at 0, target at 8, first option at 24.
  const auto solicit = [](const uint8_t *f, size_t n, int64_t) -> std::string {
    if (n < 54 + 24 || f[14 + 6] != IPPROTO_ICMPV6 || f[54] != 135) return "";
    return "to " + MacText(f) + " hop " + std::to_string(f[14 + 7]) + " len " +
           std::to_string(f[18] << 8 | f[19]) + " dst " + IpText(AF_INET6, f + 14 + 24) +
           " target " + IpText(AF_INET6, f + 54 + 8) +
           (n < 54 + 32 ? ""
                        : " option " + std::to_string(f[78]) + "/" + std::to_string(f[79]) + " " +
                              MacText(f + 80));
  };
  const std::string probe = "to " + mac + " hop 255 len 32 dst " + ip + " target " + ip +
                            " option 1/1 " + NetnsLan::kBridgeMac + "\n";
  EXPECT_EQ(lan_->Capture(1, ETH_P_IPV6, 2, 10000, solicit).value_or("<child failed>"),
            probe + probe);
  EXPECT_TRUE(NeighborsAre(""));
  EXPECT_EQ(daemon_->Show(), kBridgeLine);
}

TEST_F(Nd6Test, BridgeMadeAtRunTimeListensLearnsAndGivesItsSocketBack) {
  ASSERT_NO_FATAL_FAILURE(StartDaemon({}));
  const pid_t pid = daemon_->Pid();
  ASSERT_EQ(ReadFile("/proc/" + std::to_string(pid) + "/comm"), "hostmon\n");
  EXPECT_EQ(Icmp6Listeners(pid), "br0");
  ASSERT_TRUE(NetnsLan::Ip(
      lan_->GatewayNs(), "link add br1 address 02:00:00:00:ff:01 type bridge\nlink set br1 up\n"));
  ASSERT_TRUE(lan_->AddHost(3, "br1"));
  ASSERT_TRUE(daemon_->Send("0xbb02"));
  ASSERT_TRUE(Shows("Bridge [br1]"));
  const std::string trace = daemon_->Trace();
  const size_t ulNew = trace.find("Newly detected bridges are [br1].\n");
  const size_t ulV4 = trace.find("Recreate ipv4 listening socket now ...\n", ulNew);
  EXPECT_LT(ulNew, ulV4);
  EXPECT_LT(ulV4, trace.find("Recreate ipv6 listening socket now ...\n", ulV4));
  EXPECT_EQ(Icmp6Listeners(pid), "br0 br1");

  const std::string ll3 = lan_->HostLinkLocal(3);
  Solicit(3, ll3);
  ASSERT_TRUE(NeighborsAre(NewNeighborLine(3, ll3, "br1"), "neighbors_new"));
  EXPECT_EQ(daemon_->Show(),
            std::string(kBridgeLine) +
                "Bridge [br1] [0.0.0.0] [02:00:**:**:**:01]====================\n" +
                HostLine(3, ll3));

  // Gone with its port and host, and its listener.
  ASSERT_TRUE(NetnsLan::Ip(lan_->GatewayNs(), "link del br1\n"));
  ASSERT_TRUE(daemon_->Send("0xbb02"));
  EXPECT_TRUE(ShowsOnly(kBridgeLine));
  EXPECT_EQ(Icmp6Listeners(pid), "br0");

  // A hundred times more; each step waits for the dump to show the bridge come or go.
  const size_t ulFds = FdCount(pid);
  const std::string show =
      daemon_->Tool("lumdebug") + " hostmon test show | grep -q '^Bridge \\[br1\\]'";
  const std::string refresh = daemon_->Tool("lumbus") + " send hostmon 0xbb02";
  CmdResult cycles = ShellIn(
      lan_->GatewayNs(),
      "for i in $(seq 100); do ip link add br1 type bridge && " + refresh +
          " || exit 1; n=0; until " + show +
          "; do n=$((n+1)); [ $n -lt 500 ] || exit 2; sleep 0.01; done; ip link del br1 && " +
          refresh + " || exit 1; n=0; while " + show +
          "; do n=$((n+1)); [ $n -lt 500 ] || exit 3; sleep 0.01; done; done",
      120);
  ASSERT_EQ(cycles.iExit, 0) << daemon_->Diagnostics();
  EXPECT_EQ(FdCount(pid), ulFds);
  EXPECT_EQ(Icmp6Listeners(pid), "br0");
  EXPECT_TRUE(daemon_->Running());
}

}  // namespace
}  // namespace systest
