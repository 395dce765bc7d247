// Faults the daemon lives through without a restart, in the LAN of netns_lan.h:
// bridges and ports changed under it, peers that do not listen, a bad leases
// file, garbage on every socket. Each time it stays up, answers the debug shell
// within a second, traces what happened, and learns again afterwards.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "main/msgcatalog.h"
#include "tests/system/daemon.h"
#include "tests/system/netns_lan.h"

namespace systest {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr const char *kBridge1 =
    "link add br1 address 02:00:00:00:ff:01 type bridge\n"
    "addr add 192.168.2.1/24 dev br1\nlink set br1 up\n";
constexpr const char *kBridge1Line =
    "Bridge [br1] [192.168.2.1] [02:00:**:**:**:01]====================\n";

// Hosts that exist only as the frames host 1 sends for them.
std::string FakeMac(int k) {
  return "02:00:00:00:10:" + std::string(k < 10 ? "0" : "") + std::to_string(k % 100);
}
std::string FakeIp(int k) { return "192.168.1." + std::to_string(100 + k); }

// The debug dump's line of one address (MACs of decimal digits only).
std::string DumpLine(const std::string &port, const std::string &mac, const std::string &ip) {
  const std::string masked = mac.substr(0, 6) + "**:**:**:" + mac.substr(15);
  return "\t[" + port + "] virtualmac[" + masked + "]  realmac[" + masked + "] [" + ip + "]\n";
}

void PutMac(Bytes *pOut, const std::string &mac) {
  unsigned int b[6] = {};
  sscanf(mac.c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]);
  pOut->insert(pOut->end(), b, b + 6);
}
void PutIp(Bytes *pOut, int iFamily, const std::string &ip) {
  uint8_t auc[16] = {};
  inet_pton(iFamily, ip.c_str(), auc);
  pOut->insert(pOut->end(), auc, auc + (iFamily == AF_INET ? 4 : 16));
}

Bytes Frame(const std::string &dst, const std::string &src, uint16_t usType, const Bytes &body) {
  Bytes frame;
  PutMac(&frame, dst);
  PutMac(&frame, src);
  frame.insert(frame.end(), {static_cast<uint8_t>(usType >> 8), static_cast<uint8_t>(usType)});
  frame.insert(frame.end(), body.begin(), body.end());
  return frame;
}

// A broadcast ARP request with these header fields.
Bytes Arp(uint8_t ucHwType, uint8_t ucHwLen, uint8_t ucProtoLen, const std::string &mac,
          const std::string &ip, const std::string &target = NetnsLan::BridgeIp()) {
  Bytes arp = {0, ucHwType, 8, 0, ucHwLen, ucProtoLen, 0, 1};
  PutMac(&arp, mac);
  PutIp(&arp, AF_INET, ip);
  arp.resize(arp.size() + 6);
  PutIp(&arp, AF_INET, target);
  return Frame("ff:ff:ff:ff:ff:ff", mac, 0x0806, arp);
}

// What a host's kernel asks before it talks to the gateway.
Bytes AskGateway(const std::string &mac, const std::string &ip) { return Arp(1, 6, 4, mac, ip); }

// A Neighbor Advertisement (override) of host i's link-local address to all
// nodes, with these options, cut to ulLen bytes; hop limit 255 and a right
// checksum, or the kernel would not pass it on.
Bytes Advert(int iHost, uint8_t ucCode, const Bytes &options, size_t ulLen = 1500) {
  Bytes msg = {136, ucCode, 0, 0, 0x20, 0, 0, 0};
  PutIp(&msg, AF_INET6, NetnsLan::HostLinkLocal(iHost));
  msg.insert(msg.end(), options.begin(), options.end());
  msg.resize(std::min(msg.size(), ulLen));
  const uint8_t ucLenHi = static_cast<uint8_t>(msg.size() >> 8);
  Bytes ip6 = {0x60, 0, 0, 0, ucLenHi, static_cast<uint8_t>(msg.size()), 58, 255};
  PutIp(&ip6, AF_INET6, NetnsLan::HostLinkLocal(iHost));
  PutIp(&ip6, AF_INET6, "ff02::1");
  // Pseudo-header: the addresses, the length and the next header.
  Bytes sum(ip6.begin() + 8, ip6.end());
  sum.insert(sum.end(), {0, 0, ip6[4], ip6[5], 0, 0, 0, 58});
  sum.insert(sum.end(), msg.begin(), msg.end());
  uint32_t ulSum = 0;
  for (size_t i = 0; i < sum.size(); i += 2) {
    ulSum += sum[i] << 8 | (i + 1 < sum.size() ? sum[i + 1] : 0);
  }
  while (ulSum >> 16) ulSum = (ulSum & 0xFFFF) + (ulSum >> 16);
  msg[2] = static_cast<uint8_t>(~ulSum >> 8);
  msg[3] = static_cast<uint8_t>(~ulSum);
  ip6.insert(ip6.end(), msg.begin(), msg.end());
  return Frame("33:33:00:00:00:01", NetnsLan::HostMac(iHost), 0x86DD, ip6);
}

// A Unix socket of ours at path: bound (and open to the bus group, as a
// peer's is) or connected; -1 when that failed.
int UnixSocket(const std::string &path, int iType, bool bBind) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
  const auto *pAddr = reinterpret_cast<const sockaddr *>(&addr);
  const int fd = socket(AF_UNIX, iType | SOCK_CLOEXEC, 0);
  if (bBind ? bind(fd, pAddr, sizeof(addr)) == 0 && chmod(path.c_str(), 0660) == 0
            : connect(fd, pAddr, sizeof(addr)) == 0) {
    return fd;
  }
  close(fd);
  return -1;
}

// A client of the debug shell that sends request, and ends its stream when
// bEnd; what it was answered within 3 s.
std::string AskDebug(const std::string &path, const std::string &request, bool bEnd) {
  const int fd = UnixSocket(path, SOCK_STREAM, false);
  std::string answer = "<no connection>";
  if (fd >= 0 &&
      write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
    if (bEnd) shutdown(fd, SHUT_WR);
    answer.clear();
    char buf[4096];
    pollfd pfd = {fd, POLLIN, 0};
    for (ssize_t n; poll(&pfd, 1, 3000) == 1 && (n = read(fd, buf, sizeof(buf))) > 0;) {
      answer.append(buf, static_cast<size_t>(n));
    }
  }
  close(fd);
  return answer;
}

class FaultTest : public DaemonLanTest {
 protected:
  FaultTest() { lanOptions_.bIpv6 = true; }  // for the Neighbor Discovery faults

  // The 400 ms pause before each notice to "cms" takes 20 ms: many new hosts
  // hold the loop no longer than a debug command may wait.
  void StartFast() {
    DaemonRunner::Options options;
    options.ulTimeScale = 20;
    StartDaemon(options);
  }
  ::testing::AssertionResult Answers() {
    const Clock::time_point start = Clock::now();
    const bool bShown = !daemon_->Show().empty() && Clock::now() - start < std::chrono::seconds(1);
    if (daemon_->Running() && bShown) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no answer in time\n" << daemon_->Diagnostics();
  }
  bool Traced(const std::string &text) { return daemon_->WaitForTrace(text, kLearnMs); }
  bool Shows(const std::string &text) {
    return PollUntil(kLearnMs, [&] { return daemon_->Show().find(text) != std::string::npos; });
  }
  // A ping that asks for the address first, so that the daemon hears it.
  int Ping(int iHost, const std::string &ip) {
    return ShellIn(lan_->HostNs(iHost), "ip neigh flush dev eth0; ping -c 1 -W 1 " + ip).iExit;
  }
  // Each frame out of host i's eth0 as it is.
  void SendFrom(int iHost, const std::vector<Bytes> &frames) {
    const auto send = [&]() -> std::string {
      const int fd = socket(AF_PACKET, SOCK_RAW, 0);
      sockaddr_ll ll{};
      ll.sll_family = AF_PACKET;
      ll.sll_ifindex = static_cast<int>(if_nametoindex("eth0"));
      for (const Bytes &frame : frames) {
        ll.sll_protocol = htons(static_cast<uint16_t>(frame[12] << 8 | frame[13]));
        if (sendto(fd, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr *>(&ll),
                   sizeof(ll)) != static_cast<ssize_t>(frame.size())) {
          return strerror(errno);
        }
      }
      return "sent";
    };
    EXPECT_EQ(NetnsLan::CallIn(lan_->HostNs(iHost), send).value_or("<child failed>"), "sent");
  }
  // The host name of mac's saved host object, once it is on-line.
  std::string SavedName(const std::string &mac) {
    std::optional<HostObject> host;
    PollUntil(kLearnMs, [&] {
      host = FindHost(daemon_->DbDump(), mac);
      return host && host->params["Active"] == "1";
    });
    return host ? host->params["HostName"] : "<no host object>";
  }
  // br1 (192.168.2.1/24) with host 3 (192.168.2.13) behind eth3, made before
  // the start so that the seeded database holds eth3 as a LAN port.
  void MakeBridge1WithHost3() {
    ASSERT_TRUE(NetnsLan::Ip(lan_->GatewayNs(), kBridge1));
    ASSERT_TRUE(lan_->AddHost(3, "br1"));
    ASSERT_TRUE(
        NetnsLan::Ip(lan_->HostNs(3), "addr flush dev eth0\naddr add 192.168.2.13/24 dev eth0\n"));
  }
  // Deletes br1 and makes it again with eth3, telling the daemon each time.
  void RemakeBridge1() {
    ASSERT_TRUE(NetnsLan::Ip(lan_->GatewayNs(), "link del br1\n"));
    ASSERT_TRUE(daemon_->Send("0xbb02"));
    ASSERT_TRUE(Traced("Delete bridge [br1] now pcEnd [(nil)] ...\n")) << daemon_->Diagnostics();
    EXPECT_NE(Ping(3, "192.168.2.1"), 0);  // heard on a port of no bridge
    EXPECT_TRUE(Traced("can not get port info for eth3\n")) << daemon_->Diagnostics();
    EXPECT_TRUE(Answers());
    EXPECT_EQ(daemon_->Show().find("br1"), std::string::npos);
    ASSERT_TRUE(
        NetnsLan::Ip(lan_->GatewayNs(), kBridge1 + std::string("link set eth3 master br1\n")));
    ASSERT_TRUE(daemon_->Send("0xbb02"));
    EXPECT_TRUE(Traced("add port [eth3] to bridge [br1]\n")) << daemon_->Diagnostics();
    ASSERT_TRUE(Shows(kBridge1Line)) << daemon_->Diagnostics();
  }
};

TEST_F(FaultTest, BridgeDeletedAndMadeAgainAndPortMovedAreFollowedWithoutRestart) {
  ASSERT_NO_FATAL_FAILURE(MakeBridge1WithHost3());
  ASSERT_NO_FATAL_FAILURE(StartDaemon({}));
  const std::string host3 = DumpLine("eth3", lan_->HostMac(3), "192.168.2.13");
  ASSERT_EQ(Ping(3, "192.168.2.1"), 0);
  ASSERT_TRUE(Shows(kBridge1Line + host3)) << daemon_->Diagnostics();
  ASSERT_NO_FATAL_FAILURE(RemakeBridge1());
  EXPECT_EQ(Ping(3, "192.168.2.1"), 0);
  EXPECT_TRUE(Shows(kBridge1Line + host3)) << daemon_->Diagnostics();

  // Host 2's port joins br1, and the host br1's subnet.
  ASSERT_NO_FATAL_FAILURE(PingGateway(2));
  ASSERT_TRUE(NetnsLan::Ip(lan_->GatewayNs(), "link set eth2 master br1\n"));
  ASSERT_TRUE(
      NetnsLan::Ip(lan_->HostNs(2), "addr flush dev eth0\naddr add 192.168.2.12/24 dev eth0\n"));
  ASSERT_TRUE(daemon_->Send("0xbb02"));
  EXPECT_TRUE(Traced("Refreshed bridge name is [br1] for port [eth2], old bridge name is [br0].\n"))
      << daemon_->Diagnostics();
  EXPECT_EQ(Ping(2, "192.168.2.1"), 0);
  const std::string mac2 = lan_->HostMac(2);
  EXPECT_TRUE(PollUntil(kLearnMs, [&] {
    return ReadFile(daemon_->Path("dhcps/neighbors_new"))
               .find(mac2 + " " + mac2 + " 192.168.2.12 eth2 br1\n") != std::string::npos;
  })) << daemon_->Diagnostics();
}

TEST_F(FaultTest, PeersAbsentOrNeverReadingHoldNothingUpAndHearLaterNoticesOnceListening) {
  ASSERT_NO_FATAL_FAILURE(StartFast());
  ASSERT_NO_FATAL_FAILURE(PingGateway(1));
  EXPECT_TRUE(Traced("send type b903 to cms failed: No such file or directory\n"));
  EXPECT_TRUE(Traced("send type bb01 to dhcps failed: No such file or directory\n"));

  // Peers that never read: their queues fill while 30 hosts are learnt.
  const int cms = UnixSocket(daemon_->Path("bus/cms"), SOCK_DGRAM, true);
  const int dhcps = UnixSocket(daemon_->Path("bus/dhcps"), SOCK_DGRAM, true);
  ASSERT_TRUE(cms >= 0 && dhcps >= 0);
  std::vector<Bytes> frames;
  for (int k = 1; k <= 30; ++k) frames.push_back(AskGateway(FakeMac(k), FakeIp(k)));
  SendFrom(1, frames);
  int iSlow = 0;
  EXPECT_TRUE(PollUntil(8000, [&] {
    iSlow += !Answers();
    return daemon_->Show().find(DumpLine("eth1", FakeMac(30), FakeIp(30))) != std::string::npos;
  })) << daemon_->Diagnostics();
  EXPECT_EQ(iSlow, 0) << daemon_->Diagnostics();
  EXPECT_TRUE(Traced("send type b903 to cms failed: Resource temporarily unavailable\n"));
  close(cms);
  close(dhcps);

  // Real listeners at last, on the stale socket files: later notices arrive.
  std::vector<std::unique_ptr<Background>> listeners;
  for (const std::string app : {"cms", "dhcps"}) {
    const std::string log = daemon_->Path("bus-" + app + ".log");
    listeners.push_back(std::make_unique<Background>(
        "LUM_BUS_DIR=" + Quote(daemon_->Path("bus")) + " exec ip netns exec " +
            Quote(lan_->GatewayNs()) + " " + Quote(Bin("lumbus")) + " listen " + app,
        log));
    ASSERT_TRUE(PollUntil(10000, [&] {
      return ReadFile(log).find("lumbus: listening as") != std::string::npos;
    })) << ReadFile(log);
  }
  ASSERT_NO_FATAL_FAILURE(PingGateway(2));
  const std::string added = "type=0xb903 name=LUM_MSG_HOSTMON_HOST_ADD from=\"hostmon\"";
  EXPECT_TRUE(PollUntil(kLearnMs, [&] {
    const std::vector<std::string> lines = daemon_->Received("cms");
    return std::any_of(lines.begin(), lines.end(), [&](const std::string &line) {
      return line.rfind(added, 0) == 0 && line.find("\"" + lan_->HostMac(2) + "\"") != line.npos;
    });
  })) << daemon_->Diagnostics();
  EXPECT_TRUE(PollUntil(kLearnMs, [&] { return !daemon_->Received("dhcps").empty(); }));
  EXPECT_EQ(daemon_->Received("dhcps").at(0).rfind("type=0xbb01 ", 0), 0u);
}

TEST_F(FaultTest, LeasesFileCutReplacedWhileReadOrEnormousIsSurvivedAndItsLeasesTaken) {
  ASSERT_NO_FATAL_FAILURE(StartFast());
  const auto lease = [](int k) {
    return leasestest::MakeRecord({ntohl(inet_addr(FakeIp(k).c_str())), 2000000000, FakeMac(k),
                                   FakeMac(k), "vendor", "lease-" + std::to_string(k), "br0"});
  };
  const auto learn = [&](int k) { SendFrom(1, {AskGateway(FakeMac(k), FakeIp(k))}); };
  const std::string path = daemon_->Path("dhcps/leases");
  const auto replace = [&](const std::string &bytes) {
    return leasestest::WriteBytes(path + ".new", bytes) &&
           rename((path + ".new").c_str(), path.c_str()) == 0;
  };
  const auto text = [](const std::vector<HostInfo> &records) {
    return std::string(reinterpret_cast<const char *>(records.data()),
                       records.size() * sizeof(HostInfo));
  };

  // Cut inside its second record: the whole first one still counts.
  ASSERT_TRUE(replace(text({lease(1), lease(2)}).substr(0, sizeof(HostInfo) * 3 / 2)));
  learn(1);
  learn(2);
  EXPECT_EQ(SavedName(FakeMac(1)), "lease-1") << daemon_->Diagnostics();
  EXPECT_EQ(SavedName(FakeMac(2)), "Static-02-00-00-00-10-02");

  // Replaced over and over while hosts are learnt: 3,000 records, with and
  // without the lease at their end.
  std::vector<HostInfo> records(3000, lease(99));
  const std::string without = text(records);
  records.push_back(lease(3));
  const std::string with = text(records);
  std::atomic<int> iRenames{0};
  std::jthread churn([&](std::stop_token stop) {
    for (bool bWith = false; !stop.stop_requested(); bWith = !bWith) {
      iRenames += replace(bWith ? with : without);
    }
  });
  for (int k = 10; k < 40; ++k) learn(k);
  EXPECT_TRUE(Shows(DumpLine("eth1", FakeMac(39), FakeIp(39)))) << daemon_->Diagnostics();
  EXPECT_TRUE(Answers());
  churn.request_stop();
  churn.join();
  EXPECT_GT(iRenames, 10);
  ASSERT_TRUE(replace(with));
  learn(3);
  EXPECT_EQ(SavedName(FakeMac(3)), "lease-3") << daemon_->Diagnostics();

  // 50 MB of garbage records (current, texts without end), then the lease:
  // too large to keep, read at every look-up.
  ASSERT_TRUE(replace(std::string((50 << 20) / sizeof(HostInfo) * sizeof(HostInfo), '\x5A') +
                      text({lease(4)})));
  learn(4);
  EXPECT_EQ(SavedName(FakeMac(4)), "lease-4") << daemon_->Diagnostics();
  EXPECT_TRUE(Answers());
}

TEST_F(FaultTest, GarbageOnEverySocketIsDroppedAndWellFormedHostsAreStillLearnt) {
  ASSERT_NO_FATAL_FAILURE(StartDaemon({}));

  // The bus: too short, too long, a length that lies, a type nobody knows;
  // then every type the daemon takes with one byte and with a full-sized
  // payload of no terminator, and headers of random type and length.
  const int bus = UnixSocket(daemon_->Path("bus/hostmon"), SOCK_DGRAM, false);
  const timeval stWait = {2, 0};  // the daemon reads ten at a time
  ASSERT_EQ(setsockopt(bus, SOL_SOCKET, SO_SNDTIMEO, &stWait, sizeof(stWait)), 0);
  int iUnsent = 0;
  const auto put = [&](uint32_t ulType, uint32_t ulLen, size_t ulSize, uint8_t ucFill) {
    Bytes dgram(ulSize, ucFill);
    if (ulSize >= 40) {
      memset(dgram.data(), 0, 40);
      memcpy(&dgram[0], &ulType, 4);
      memcpy(&dgram[4], &ulLen, 4);
    }
    iUnsent += send(bus, dgram.data(), ulSize, 0) != static_cast<ssize_t>(ulSize);
  };
  put(0, 0, 0, 0);
  put(0x41414141, 0, 20000, 0x41);
  put(LUM_MSG_DHCPS_ADD_IPMAC, 4, 40, 0);
  put(0xDEAD, 0, 40, 0);
  EXPECT_TRUE(Traced("bus: dropped a 0-byte datagram, shorter than the header\n"));
  EXPECT_TRUE(Traced("bus: dropped a 20000-byte datagram, larger than 16384\n"));
  EXPECT_TRUE(Traced("bus: dropped type 3012: payload length 4 but 0 bytes follow the header\n"));
  EXPECT_TRUE(Traced("unexpected message type dead\n"));
  for (const MsgCatalogueEntry &entry : kMsgCatalogue) {
    if (entry.eDirection == MsgDirection::kOut) continue;
    put(entry.ulType, 1, 41, 0xFF);
    put(entry.ulType, LUM_MSG_MAX_SIZE - 40, LUM_MSG_MAX_SIZE, 0xA5);
  }
  std::mt19937 rng(5);
  for (int i = 0; i < 100; ++i)
    put(rng(), rng() % 32, 40 + rng() % 32, static_cast<uint8_t>(rng()));
  close(bus);
  EXPECT_EQ(iUnsent, 0);
  EXPECT_TRUE(Answers());

  // The debug shell: half a line left hanging, junk, a line too long, half a
  // line ended by its stream, and a client that hangs up at once.
  const std::string debug = daemon_->Path("bus/debug/hostmon");
  EXPECT_EQ(AskDebug(debug, "test sh", false), std::string("\0error no request in time\n", 26));
  for (const std::string &request : {std::string("\x01\xfe\x7f junk \x80\n"), std::string(300, 'x'),
                                     std::string("test sh"), std::string()}) {
    EXPECT_EQ(AskDebug(debug, request, true).find(std::string("\0result", 7)), std::string::npos);
  }
  EXPECT_TRUE(Traced("debug: request longer than 256 bytes\n"));
  EXPECT_TRUE(Traced("debug: request not read\n"));
  EXPECT_TRUE(Answers());

  // The wire: ARP cut short, of another hardware, of wrong lengths, from
  // outside the subnet, oversized; advertisements cut short, of another code,
  // with options of no length, too long, cut, or past the daemon's buffer.
  const std::string mac1 = lan_->HostMac(1), ip1 = lan_->HostIp(1);
  Bytes oversized = AskGateway(FakeMac(1), FakeIp(1));
  oversized.resize(1500, 0xEE);
  SendFrom(1, {Frame("ff:ff:ff:ff:ff:ff", mac1, 0x0806, {0, 1}), Arp(6, 6, 4, mac1, ip1),
               Arp(1, 0, 0, mac1, ip1), Arp(1, 16, 16, mac1, ip1), AskGateway(mac1, "10.9.8.7"),
               oversized, Advert(1, 0, {}, 4), Advert(1, 0, {}, 12), Advert(1, 1, {}),
               Advert(1, 0, {2, 0, 1, 2, 3, 4, 5, 6}), Advert(1, 0, {2, 2, 2, 0, 0, 0, 0, 1}),
               Advert(1, 0, {1}), Advert(1, 0, Bytes(1400, 1))});
  EXPECT_TRUE(Traced("Src IP [10.9.8.7] not match with bridge [br0]\n")) << daemon_->Diagnostics();
  EXPECT_TRUE(Traced("received icmp6 ND ADVERT packet with invalid length [12]"));
  EXPECT_TRUE(Traced("invalid ICMP6 code [1]"));
  EXPECT_TRUE(Traced("zero length option in ND packet!\n"));
  EXPECT_TRUE(Traced("option length greater than total length in ND packet\n"));
  EXPECT_TRUE(Traced("invalid ND packet length\n"));
  EXPECT_TRUE(Answers());

  // Well-formed after all that: host 2 over ARP and over Neighbor Discovery.
  ASSERT_NO_FATAL_FAILURE(PingGateway(2));
  Bytes tlla = {2, 1};
  PutMac(&tlla, lan_->HostMac(2));
  SendFrom(2, {Advert(2, 0, tlla)});
  EXPECT_TRUE(Shows(DumpLine("eth2", lan_->HostMac(2), lan_->HostIp(2))));
  EXPECT_TRUE(Shows(DumpLine("eth2", lan_->HostMac(2), lan_->HostLinkLocal(2))))
      << daemon_->Diagnostics();
}

}  // namespace
}  // namespace systest
