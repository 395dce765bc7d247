// IPv6 learning end to end, in the LAN of netns_lan.h with IPv6: hosts that
// solicit routers are asked for their addresses and learnt on their ports; a
// silent address gets two unicast solicitations and goes; a bridge made at run
// time gets its own listener, and a deleted one gives its socket back.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/system/daemon.h"
#include "tests/system/netns_lan.h"

namespace systest {
namespace {

using Bytes = std::vector<uint8_t>;

void PutMac(Bytes *pMsg, const std::string &mac) {
  unsigned int b[6];
  sscanf(mac.c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]);
  pMsg->insert(pMsg->end(), b, b + 6);
}

// A Router Solicitation as a host's kernel sends it: with its link-layer
// address (option 1), from which the gateway's kernel makes a neighbour entry.
Bytes RouterSolicit(const std::string &mac) {
  Bytes msg = {133, 0, 0, 0, 0, 0, 0, 0, 1, 1};
  PutMac(&msg, mac);
  return msg;
}

// An unsolicited Neighbor Advertisement (override) with the target's
// link-layer address (option 2).
Bytes NeighborAdvert(const std::string &target, const std::string &mac) {
  Bytes msg(24 + 2);
  msg[0] = 136;
  msg[4] = 0x20;
  inet_pton(AF_INET6, target.c_str(), &msg[8]);
  msg[24] = 2;
  msg[25] = 1;
  PutMac(&msg, mac);
  return msg;
}

// In a host namespace: sends msg out of eth0 from src to dst with hop limit
// 255 (the kernel fills in the checksum). "sent" or what failed.
std::string SendIcmp6(const std::string &src, const std::string &dst, const Bytes &msg) {
  const int fd = socket(AF_INET6, SOCK_RAW, IPPROTO_ICMPV6);
  const unsigned int uiIf = if_nametoindex("eth0");
  const int iHops = 255;
  sockaddr_in6 from{}, to{};
  from.sin6_family = to.sin6_family = AF_INET6;
  from.sin6_scope_id = to.sin6_scope_id = uiIf;  // used only where the scope is the link
  if (fd < 0 || inet_pton(AF_INET6, src.c_str(), &from.sin6_addr) != 1 ||
      inet_pton(AF_INET6, dst.c_str(), &to.sin6_addr) != 1 ||
      setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &iHops, sizeof(iHops)) != 0 ||
      setsockopt(fd, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &iHops, sizeof(iHops)) != 0 ||
      setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &uiIf, sizeof(uiIf)) != 0 ||
      bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof(from)) != 0 ||
      sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof(to)) !=
          static_cast<ssize_t>(msg.size())) {
    return std::string("send failed: ") + strerror(errno);
  }
  close(fd);
  return "sent";
}

// In a host namespace: one line per Neighbor Solicitation that reaches eth0
// within iMaxMs, read from the frame itself; ends 500 ms after the iCount-th,
// so that one more shows too.
std::string CaptureSolicits(int iCount, int iMaxMs) {
  const int fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_IPV6));
  sockaddr_ll ll{};
  ll.sll_family = AF_PACKET;
  ll.sll_protocol = htons(ETH_P_IPV6);
  ll.sll_ifindex = static_cast<int>(if_nametoindex("eth0"));
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&ll), sizeof(ll)) != 0) return "no capture";
  std::string lines;
  int iSeen = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(iMaxMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd pfd = {fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) break;
    uint8_t f[1600];
    socklen_t len = sizeof(ll);
    const ssize_t n = recvfrom(fd, f, sizeof(f), 0, reinterpret_cast<sockaddr *>(&ll), &len);
    // Ethernet 14, IPv6 40 (next header at 6, hop limit at 7, destination at
    // 24), ICMPv6 type at 0, target at 8, first option at 24.
    if (n < 54 + 24 || ll.sll_pkttype == PACKET_OUTGOING || f[14 + 6] != IPPROTO_ICMPV6 ||
        f[54] != 135) {
      continue;
    }
    lines += "to " + MacText(f) + " hop " + std::to_string(f[14 + 7]) + " len " +
             std::to_string(f[18] << 8 | f[19]) + " dst " + IpText(AF_INET6, f + 14 + 24) +
             " target " + IpText(AF_INET6, f + 54 + 8);
    if (n >= 54 + 32) {
      lines +=
          " option " + std::to_string(f[78]) + "/" + std::to_string(f[79]) + " " + MacText(f + 80);
    }
    lines += "\n";
    if (++iSeen == iCount) {
      deadline =
          std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(500));
    }
  }
  close(fd);
  return lines;
}

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
    int iDomain = 0, iType = 0, iProto = 0;
    socklen_t len = sizeof(int);
    char acDev[IFNAMSIZ] = {};
    socklen_t devLen = sizeof(acDev);
    if (fd >= 0 && getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &iDomain, &len) == 0 &&
        getsockopt(fd, SOL_SOCKET, SO_TYPE, &iType, &len) == 0 &&
        getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &iProto, &len) == 0 && iDomain == AF_INET6 &&
        iType == SOCK_RAW && iProto == IPPROTO_ICMPV6) {
      getsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, acDev, &devLen);
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

  void SendFrom(int iHost, const std::string &src, const std::string &dst, const Bytes &msg) {
    EXPECT_EQ(NetnsLan::CallIn(lan_->HostNs(iHost), [&] { return SendIcmp6(src, dst, msg); })
                  .value_or("<child failed>"),
              "sent");
  }

  bool WaitForNeighbors(const std::string &file, const std::string &text) {
    return PollUntil(kLearnMs, [&] { return ReadFile(daemon_->Path("dhcps/" + file)) == text; });
  }
};

TEST_F(Nd6Test, SolicitingHostsAreAskedAndLearntOnTheirPortsWithTheirLinkLocalSlot) {
  ASSERT_NO_FATAL_FAILURE(StartDaemon({}));
  const std::string mac1 = lan_->HostMac(1), mac2 = lan_->HostMac(2);
  // The global address first: the link-local slot must not take the first one.
  SendFrom(1, lan_->HostIp6(1), "ff02::2", RouterSolicit(mac1));
  ASSERT_TRUE(WaitForNeighbors("neighbors", mac1 + " " + lan_->HostIp6(1) + "\n"))
      << daemon_->Diagnostics();
  SendFrom(1, lan_->HostLinkLocal(1), "ff02::2", RouterSolicit(mac1));
  SendFrom(2, lan_->HostLinkLocal(2), "ff02::2", RouterSolicit(mac2));
  const std::string line1 = mac1 + " " + mac1 + " " + lan_->HostIp6(1) + " eth1 br0\n";
  const std::string line2 = mac1 + " " + mac1 + " " + lan_->HostLinkLocal(1) + " eth1 br0\n";
  const std::string line3 = mac2 + " " + mac2 + " " + lan_->HostLinkLocal(2) + " eth2 br0\n";
  ASSERT_TRUE(WaitForNeighbors("neighbors_new", line1 + line2 + line3)) << daemon_->Diagnostics();
  EXPECT_EQ(ReadFile(daemon_->Path("dhcps/neighbors")),
            mac1 + " " + lan_->HostIp6(1) + "\n" + mac1 + " " + lan_->HostLinkLocal(1) + "\n" +
                mac2 + " " + lan_->HostLinkLocal(2) + "\n");
  EXPECT_EQ(daemon_->Show(), kBridgeLine + HostLine(1, lan_->HostIp6(1)) +
                                 HostLine(1, lan_->HostLinkLocal(1)) +
                                 HostLine(2, lan_->HostLinkLocal(2)));
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

  std::optional<HostObject> host;
  ASSERT_TRUE(PollUntil(kLearnMs, [&] {
    host = FindHost(daemon_->DbDump(), mac1);
    return host && host->ipv6.size() == 2;
  })) << daemon_->DbDump();
  EXPECT_EQ(host->ipv6, (std::vector<std::string>{lan_->HostIp6(1), lan_->HostLinkLocal(1)}));
  EXPECT_EQ(host->params["X_IPv6LinkLocalAddress"], lan_->HostLinkLocal(1));
  EXPECT_EQ(host->params["X_IPv6Active"], "1");
  EXPECT_EQ(host->params["Active"], "0");
  EXPECT_EQ(host->params["IPAddress"], "");
  EXPECT_EQ(host->params["Layer2Interface"], PortPath(daemon_->DbDump(), "eth1"));
}

TEST_F(Nd6Test, SilentAddressGetsTwoUnicastSolicitationsAndGoesOnSchedule) {
  DaemonRunner::Options options;
  options.ulTimeScale = 100;  // 290 s + 3 s + 3 s of daemon time in about 3 s
  ASSERT_NO_FATAL_FAILURE(StartDaemon(options));
  const std::string ip = lan_->HostIp6(1), mac = lan_->HostMac(1);
  // The gateway's kernel neither asks for the address itself nor needs to:
  // every solicitation on the wire is the daemon's, straight to the host's MAC.
  ASSERT_TRUE(NetnsLan::Ip(lan_->GatewayNs(),
                           "neigh replace " + ip + " lladdr " + mac + " nud permanent dev br0\n"));
  SendFrom(1, ip, "ff02::1", NeighborAdvert(ip, mac));
  ASSERT_TRUE(WaitForNeighbors("neighbors", mac + " " + ip + "\n")) << daemon_->Diagnostics();
  ASSERT_TRUE(NetnsLan::Ip(lan_->HostNs(1), "addr del " + ip + "/64 dev eth0\n"));

  std::optional<std::string> probes = NetnsLan::CallIn(
      lan_->HostNs(1), [] { return CaptureSolicits(2, 10000); }, 15000);
  const std::string probe = "to " + mac + " hop 255 len 32 dst " + ip + " target " + ip +
                            " option 1/1 " + NetnsLan::kBridgeMac + "\n";
  EXPECT_EQ(probes.value_or("<child failed>"), probe + probe);
  EXPECT_TRUE(WaitForNeighbors("neighbors", "")) << daemon_->Diagnostics();
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
  ASSERT_TRUE(PollUntil(kLearnMs, [&] {
    return daemon_->Show().find("Bridge [br1]") != std::string::npos;
  })) << daemon_->Diagnostics();
  const std::string trace = daemon_->Trace();
  const size_t ulNew = trace.find("Newly detected bridges are [br1].\n");
  const size_t ulV4 = trace.find("Recreate ipv4 listening socket now ...\n", ulNew);
  EXPECT_LT(ulNew, ulV4);
  EXPECT_LT(ulV4, trace.find("Recreate ipv6 listening socket now ...\n", ulV4));
  EXPECT_EQ(Icmp6Listeners(pid), "br0 br1");

  const std::string mac3 = lan_->HostMac(3);
  SendFrom(3, lan_->HostLinkLocal(3), "ff02::2", RouterSolicit(mac3));
  ASSERT_TRUE(WaitForNeighbors("neighbors_new",
                               mac3 + " " + mac3 + " " + lan_->HostLinkLocal(3) + " eth3 br1\n"))
      << daemon_->Diagnostics();
  const std::string bridge1 = "Bridge [br1] [0.0.0.0] [02:00:**:**:**:01]====================\n";
  EXPECT_EQ(daemon_->Show(), kBridgeLine + bridge1 + HostLine(3, lan_->HostLinkLocal(3)));

  // Gone with its port and host, and its listener.
  ASSERT_TRUE(NetnsLan::Ip(lan_->GatewayNs(), "link del br1\n"));
  ASSERT_TRUE(daemon_->Send("0xbb02"));
  EXPECT_TRUE(PollUntil(kLearnMs, [&] { return daemon_->Show() == kBridgeLine; }))
      << daemon_->Show();
  EXPECT_EQ(Icmp6Listeners(pid), "br0");

  // Each step waits for the dump to show the bridge come or go.
  const size_t ulFds = FdCount(pid);
  const std::string env = "LUM_BUS_DIR=" + Quote(daemon_->Path("bus")) + " ";
  const std::string show =
      env + Quote(Bin("lumdebug")) + " hostmon test show | grep -q '^Bridge \\[br1\\]'";
  const std::string refresh = env + Quote(Bin("lumbus")) + " send hostmon 0xbb02";
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
