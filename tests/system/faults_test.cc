// Faults the daemon lives through without a restart, in the LAN of netns_lan.h:
// bridges and ports changed under it, peers that do not listen, a bad leases
// file, garbage on every socket. Each time it stays up, answers the debug shell
// within a second, traces what happened, and learns again afterwards.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
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
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "main/msgcatalog.h"
#include "tests/system/daemon.h"

namespace systest {
namespace {

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
std::string FakeLine(int k) { return HostLine("eth1", FakeMac(k), FakeIp(k)); }

// A broadcast ARP request with these header fields.
Bytes Arp(uint8_t ucHwType, uint8_t ucHwLen, uint8_t ucProtoLen, const std::string &mac,
          const std::string &ip) {
  Bytes arp = {0, ucHwType, 8, 0, ucHwLen, ucProtoLen, 0, 1};
  PutMac(&arp, mac);
  PutIp(&arp, AF_INET, ip);
  arp.resize(arp.size() + 6);
  PutIp(&arp, AF_INET, NetnsLan::BridgeIp());
  return Frame("ff:ff:ff:ff:ff:ff", mac, 0x0806, arp);
}

// What a host's kernel asks before it talks to the gateway.
Bytes AskGateway(const std::string &mac, const std::string &ip) { return Arp(1, 6, 4, mac, ip); }
Bytes AskGateway(int k) { return AskGateway(FakeMac(k), FakeIp(k)); }

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
  void StartFast() { StartDaemon({.ulTimeScale = 20}); }
  ::testing::AssertionResult Answers() {
    const Clock::time_point start = Clock::now();
    const bool bShown = !daemon_->Show().empty() && Clock::now() - start < std::chrono::seconds(1);
    if (daemon_->Running() && bShown) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no answer in time\n" << daemon_->Diagnostics();
  }
  // A ping that asks for the address first, so that the daemon hears it.
  int Ping(int iHost, const std::string &ip) {
    return ShellIn(lan_->HostNs(iHost), "ip neigh flush dev eth0; ping -c 1 -W 1 " + ip).iExit;
  }
  void SendFrom(int iHost, const std::vector<Bytes> &frames) {
    EXPECT_EQ(lan_->SendFrames(iHost, frames), "sent");
  }
  bool Readdress(int iHost, const std::string &ip) {
    return NetnsLan::Ip(lan_->HostNs(iHost),
                        "addr flush dev eth0\naddr add " + ip + "/24 dev eth0\n");
  }
};

TEST_F(FaultTest, BridgeDeletedAndMadeAgainAndPortMovedAreFollowedWithoutRestart) {
  // Made before the start, so that the seeded database holds eth3 as a LAN port.
  ASSERT_TRUE(NetnsLan::Ip(lan_->GatewayNs(), kBridge1));
  ASSERT_TRUE(lan_->AddHost(3, "br1"));
  ASSERT_TRUE(Readdress(3, "192.168.2.13"));
  ASSERT_NO_FATAL_FAILURE(StartDaemon({}));
  const std::string host3 = kBridge1Line + HostLine(3, "192.168.2.13");
  ASSERT_EQ(Ping(3, "192.168.2.1"), 0);
  ASSERT_TRUE(Shows(host3));

  ASSERT_TRUE(NetnsLan::Ip(lan_->GatewayNs(), "link del br1\n"));
  ASSERT_TRUE(daemon_->Send("0xbb02"));
  ASSERT_TRUE(Traced("Delete bridge [br1] now pcEnd [(nil)] ...\n"));
  EXPECT_NE(Ping(3, "192.168.2.1"), 0);  // heard on a port of no bridge
  EXPECT_TRUE(Traced("can not get port info for eth3\n"));
  EXPECT_TRUE(Answers());
  EXPECT_EQ(daemon_->Show().find("br1"), std::string::npos);
  ASSERT_TRUE(
      NetnsLan::Ip(lan_->GatewayNs(), kBridge1 + std::string("link set eth3 master br1\n")));
  ASSERT_TRUE(daemon_->Send("0xbb02"));
  EXPECT_TRUE(Traced("add port [eth3] to bridge [br1]\n"));
  ASSERT_TRUE(Shows(kBridge1Line));
  EXPECT_EQ(Ping(3, "192.168.2.1"), 0);
  EXPECT_TRUE(Shows(host3));

  // Host 2's port joins br1, and the host br1's subnet.
  ASSERT_NO_FATAL_FAILURE(PingGateway(2));
  ASSERT_TRUE(NetnsLan::Ip(lan_->GatewayNs(), "link set eth2 master br1\n"));
  ASSERT_TRUE(Readdress(2, "192.168.2.12"));
  ASSERT_TRUE(daemon_->Send("0xbb02"));
  EXPECT_TRUE(
      Traced("Refreshed bridge name is [br1] for port [eth2], old bridge name is [br0].\n"));
  EXPECT_EQ(Ping(2, "192.168.2.1"), 0);
  EXPECT_TRUE(Eventually([&] {
    return daemon_->Neighbors("neighbors_new").find(NewNeighborLine(2, "192.168.2.12", "br1")) !=
           std::string::npos;
  }));
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
  for (int k = 1; k <= 30; ++k) frames.push_back(AskGateway(k));
  SendFrom(1, frames);
  int iSlow = 0;
  EXPECT_TRUE(Eventually(
      [&] {
        iSlow += !Answers();
        return daemon_->Show().find(FakeLine(30)) != std::string::npos;
      },
      8000));
  EXPECT_EQ(iSlow, 0) << daemon_->Diagnostics();
  EXPECT_TRUE(Traced("send type b903 to cms failed: Resource temporarily unavailable\n"));
  close(cms);
  close(dhcps);

  // Real listeners at last, on the stale socket files: later notices arrive.
  ASSERT_EQ(daemon_->Listen("cms"), "");
  ASSERT_EQ(daemon_->Listen("dhcps"), "");
  ASSERT_NO_FATAL_FAILURE(PingGateway(2));
  const std::string added = "type=0xb903 name=LUM_MSG_HOSTMON_HOST_ADD from=\"hostmon\"";
  EXPECT_TRUE(Eventually([&] {
    const std::vector<std::string> lines = daemon_->Received("cms");
    return std::any_of(lines.begin(), lines.end(), [&](const std::string &line) {
      return line.rfind(added, 0) == 0 && line.find("\"" + lan_->HostMac(2) + "\"") != line.npos;
    });
  }));
  EXPECT_TRUE(Eventually([&] { return !daemon_->Received("dhcps").empty(); }));
  EXPECT_EQ(daemon_->Received("dhcps").at(0).rfind("type=0xbb01 ", 0), 0u);
}

TEST_F(FaultTest, LeasesFileCutReplacedWhileReadOrEnormousIsSurvivedAndItsLeasesTaken) {
  ASSERT_NO_FATAL_FAILURE(StartFast());
  // Expiry in uptime seconds: decades ahead.
  const auto lease = [](int k) {
    return leasestest::MakeRecord({ntohl(inet_addr(FakeIp(k).c_str())), 2000000000, FakeMac(k),
                                   FakeMac(k), "MSFT 5.0", "lease-" + std::to_string(k), "br0"});
  };
  const auto text = [](const std::vector<HostInfo> &records) {
    return std::string(reinterpret_cast<const char *>(records.data()),
                       records.size() * sizeof(HostInfo));
  };
  const auto learn = [&](int k) { SendFrom(1, {AskGateway(k)}); };
  const auto name = [&](int k) {
    return SavedHost(FakeMac(k)).value_or(HostObject{}).params["HostName"];
  };

  // Cut inside its second record: the whole first one still counts.
  ASSERT_TRUE(daemon_->WriteLeases(text({lease(1), lease(2)}).substr(0, sizeof(HostInfo) * 3 / 2)));
  learn(1);
  learn(2);
  std::optional<HostObject> host = SavedHost(FakeMac(1));
  ASSERT_TRUE(host) << daemon_->Diagnostics();
  EXPECT_THAT(host->params, ::testing::IsSupersetOf(std::map<std::string, std::string>{
                                {"IPAddress", FakeIp(1)},
                                {"AddressSource", "DHCP"},
                                {"HostName", "lease-1"},
                                {"VendorClassID", "MSFT 5.0"},
                                {"LeaseTimeRemaining", "2000000000"}}));
  EXPECT_EQ(name(2), "Static-02-00-00-00-10-02");

  // Replaced over and over while hosts are learnt: 3,000 records, with and
  // without the lease at their end.
  std::vector<HostInfo> records(3000, lease(99));
  const std::string without = text(records);
  records.push_back(lease(3));
  const std::string with = text(records);
  std::atomic<int> iRenames{0};
  std::jthread churn([&](std::stop_token stop) {
    for (bool bWith = false; !stop.stop_requested(); bWith = !bWith) {
      iRenames += daemon_->WriteLeases(bWith ? with : without);
    }
  });
  for (int k = 10; k < 40; ++k) learn(k);
  EXPECT_TRUE(Shows(FakeLine(39)));
  EXPECT_TRUE(Answers());
  churn.request_stop();
  churn.join();
  EXPECT_GT(iRenames, 10);
  ASSERT_TRUE(daemon_->WriteLeases(with));
  learn(3);
  EXPECT_EQ(name(3), "lease-3") << daemon_->Diagnostics();

  // 50 MB of garbage records (current, texts without end), then the lease:
  // too large to keep, read at every look-up.
  ASSERT_TRUE(daemon_->WriteLeases(
      std::string((50 << 20) / sizeof(HostInfo) * sizeof(HostInfo), '\x5A') + text({lease(4)})));
  learn(4);
  EXPECT_EQ(name(4), "lease-4") << daemon_->Diagnostics();
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
  const auto advert = [&](uint8_t ucCode, const Bytes &options, size_t ulLen = 1500) {
    return NeighborAdvert(1, lan_->HostLinkLocal(1), options, ucCode, ulLen);
  };
  Bytes oversized = AskGateway(1);
  oversized.resize(1500, 0xEE);
  SendFrom(1, {Frame("ff:ff:ff:ff:ff:ff", mac1, 0x0806, {0, 1}), Arp(6, 6, 4, mac1, ip1),
               Arp(1, 0, 0, mac1, ip1), Arp(1, 16, 16, mac1, ip1), AskGateway(mac1, "10.9.8.7"),
               oversized, advert(0, {}, 4), advert(0, {}, 12), advert(1, {}),
               advert(0, {2, 0, 1, 2, 3, 4, 5, 6}), advert(0, {2, 2, 2, 0, 0, 0, 0, 1}),
               advert(0, {1}), advert(0, Bytes(1400, 1))});
  EXPECT_TRUE(Traced("Src IP [10.9.8.7] not match with bridge [br0]\n"));
  EXPECT_TRUE(Traced("received icmp6 ND ADVERT packet with invalid length [12]"));
  EXPECT_TRUE(Traced("invalid ICMP6 code [1]"));
  EXPECT_TRUE(Traced("zero length option in ND packet!\n"));
  EXPECT_TRUE(Traced("option length greater than total length in ND packet\n"));
  EXPECT_TRUE(Traced("invalid ND packet length\n"));
  EXPECT_TRUE(Answers());

  // Well-formed after all that: host 2 over ARP and over Neighbor Discovery.
  ASSERT_NO_FATAL_FAILURE(PingGateway(2));
  const std::string ll2 = lan_->HostLinkLocal(2);
  SendFrom(2, {NeighborAdvert(2, ll2, MacOption(2, lan_->HostMac(2)))});
  EXPECT_TRUE(Shows(HostLine(2)));
  EXPECT_TRUE(Shows(HostLine(2, ll2)));
}

}  // namespace
}  // namespace systest
