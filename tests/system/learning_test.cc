// Host learning end to end: the real hostmon in a throwaway LAN (bridge br0,
// 192.168.1.1/24, one host namespace per port) learns hosts from their own
// kernels' ARP, asks back after a gratuitous ARP, ages out a host whose link is
// gone, follows a host to another port, and logs a probe for its own address.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "tests/system/daemon.h"
#include "tests/system/netns_lan.h"

namespace systest {
namespace {

constexpr const char *kBridgeLine =
    "Bridge [br0] [192.168.1.1] [02:00:**:**:**:00]====================\n";
constexpr int kLearnMs = 5000;

// One line of the dump for host i (MAC 02:00:00:00:00:0i) on a port.
std::string HostLine(const std::string &port, int iHost, const std::string &ip) {
  const std::string mac = "02:00:**:**:**:0" + std::to_string(iHost);
  return "\t[" + port + "] virtualmac[" + mac + "]  realmac[" + mac + "] [" + ip + "]\n";
}

// The two numbers of a match of pattern in the trace, and where it starts.
struct PairMatch {
  long lFirst = 0;
  long lSecond = 0;
  size_t ulPos = std::string::npos;
};

// The last match that starts before ulEnd, or the first one at or after ulFrom.
std::optional<PairMatch> FindPair(const std::string &trace, const std::string &pattern,
                                  size_t ulFrom, size_t ulEnd, bool bLast) {
  const std::regex re(pattern);
  std::optional<PairMatch> found;
  const auto first = trace.begin() + static_cast<std::ptrdiff_t>(std::min(ulFrom, trace.size()));
  const auto last = trace.begin() + static_cast<std::ptrdiff_t>(std::min(ulEnd, trace.size()));
  for (auto it = std::sregex_iterator(first, last, re); it != std::sregex_iterator(); ++it) {
    found = PairMatch{std::stol((*it)[1]), std::stol((*it)[2]),
                      static_cast<size_t>((*it)[0].first - trace.begin())};
    if (!bLast) break;
  }
  return found;
}

std::string RawHex(const std::string &ip) {
  char acRaw[16];
  snprintf(acRaw, sizeof(acRaw), "%x", inet_addr(ip.c_str()));
  return acRaw;
}

class LearningTest : public NetnsLanTest {
 protected:
  // IPv4 only: no link-local addresses, so no Neighbor Discovery on the wire
  // and the dump shows exactly what ARP taught.
  NetnsLan::Options LanOptions() const override {
    NetnsLan::Options options;
    options.iHosts = 2;
    options.bIpv6LinkLocal = false;
    return options;
  }
  void TearDown() override {
    daemon_.reset();
    NetnsLanTest::TearDown();
  }

  void StartDaemon(uint32_t ulTimeScale = 0) {
    std::string why;
    DaemonRunner::Options options;
    options.ulTimeScale = ulTimeScale;
    daemon_ = DaemonRunner::Start(*lan_, options, &why);
    ASSERT_TRUE(daemon_) << why;
    // Nothing learnt yet: only the bridge.
    EXPECT_EQ(daemon_->Show(), kBridgeLine);
  }

  // Runs a command in host i's namespace, expecting success.
  void InHost(int iHost, const std::string &command) {
    CmdResult result = lan_->Run(lan_->HostNs(iHost), command);
    ASSERT_EQ(result.iExit, 0) << command << "\n" << result.out << result.err;
  }

  void PingGateway(int iHost) { InHost(iHost, "ping -c 1 -W 2 " + lan_->BridgeIp()); }

  std::unique_ptr<DaemonRunner> daemon_;
};

TEST_F(LearningTest, HostPingingTheGatewayIsLearntOnItsOwnPort) {
  ASSERT_NO_FATAL_FAILURE(StartDaemon());
  ASSERT_NO_FATAL_FAILURE(PingGateway(1));
  ASSERT_NO_FATAL_FAILURE(PingGateway(2));
  const std::string line1 = HostLine(lan_->PortOf(1), 1, lan_->HostIp(1));
  const std::string line2 = HostLine(lan_->PortOf(2), 2, lan_->HostIp(2));
  ASSERT_TRUE(daemon_->WaitForShow(line2, kLearnMs)) << daemon_->Show() << daemon_->Diagnostics();
  const std::string show = daemon_->Show();
  EXPECT_EQ(show.rfind(kBridgeLine, 0), 0u) << show;
  EXPECT_NE(show.find(line1), std::string::npos) << show;
  // One address each: exactly the bridge line and two host lines.
  EXPECT_EQ(std::count(show.begin(), show.end(), '\n'), 3) << show;

  const std::string trace = daemon_->Trace();
  EXPECT_NE(trace.find("Add a new MAC address now ...\n"), std::string::npos);
  EXPECT_NE(trace.find("Tell dhcps that new IP address [" + lan_->HostIp(1) + "] is added.\n"),
            std::string::npos)
      << daemon_->Diagnostics();
  // The leases lookup of the new host names the port it was learnt on.
  EXPECT_NE(trace.find("hostmon update dhcpsinfo VMAC [02:00:**:**:**:01] RMAC[02:00:**:**:**:01] "
                       "IP[0] DHCP [0] Port [" +
                       lan_->PortOf(1) + "]\n"),
            std::string::npos)
      << daemon_->Diagnostics();
}

TEST_F(LearningTest, AddressProbeIsLearntWithTheProbedAddress) {
  ASSERT_NO_FATAL_FAILURE(StartDaemon());
  // Duplicate address detection: sender 0.0.0.0, target the wanted address.
  // Nobody owns .77, so arping reports no reply: its status is not checked.
  (void)lan_->Run(lan_->HostNs(2), "arping -D -c 1 -w 2 -I eth0 192.168.1.77");
  const std::string line = HostLine(lan_->PortOf(2), 2, "192.168.1.77");
  ASSERT_TRUE(daemon_->WaitForShow(line, kLearnMs)) << daemon_->Show() << daemon_->Diagnostics();
  EXPECT_TRUE(
      daemon_->WaitForTrace("Tell dhcps that new IP address [192.168.1.77] is added.\n", kLearnMs));
}

TEST_F(LearningTest, GratuitousArpMakesTheGatewayAskBack) {
  ASSERT_NO_FATAL_FAILURE(StartDaemon());
  (void)lan_->Run(lan_->HostNs(1), "arping -U -c 1 -I eth0 " + lan_->HostIp(1));
  ASSERT_TRUE(daemon_->WaitForTrace(
      "Recvd gratuitous ARP packet, send ARP request to ask for the response.\n", kLearnMs))
      << daemon_->Diagnostics();
  // The question goes out for the host's address (traced as a raw 32-bit value).
  EXPECT_TRUE(
      daemon_->WaitForTrace("begin to send ARP to ulYiaddr " + RawHex(lan_->HostIp(1)), kLearnMs))
      << daemon_->Diagnostics();
  // The host's kernel answers, and the answer teaches the gateway.
  EXPECT_TRUE(daemon_->WaitForShow(HostLine(lan_->PortOf(1), 1, lan_->HostIp(1)), kLearnMs))
      << daemon_->Show() << daemon_->Diagnostics();
}

TEST_F(LearningTest, HostWhoseLinkWentDownIsProbedAndForgottenOnSchedule) {
  // 290 s + 3 s of daemon time in about 3 s.
  ASSERT_NO_FATAL_FAILURE(StartDaemon(100));
  ASSERT_NO_FATAL_FAILURE(PingGateway(1));
  const std::string ip = lan_->HostIp(1);
  const std::string line = HostLine(lan_->PortOf(1), 1, ip);
  ASSERT_TRUE(daemon_->WaitForShow(line, kLearnMs)) << daemon_->Diagnostics();
  ASSERT_TRUE(lan_->SetLinkUp(1, false));

  const std::string probeText =
      "IP address [" + ip + "] inactive for a long time, send 1th packet to detect  now .\n";
  const std::string deleteText = "IP address [" + ip + "] can not be detected, delete it.\n";
  ASSERT_TRUE(daemon_->WaitForTrace(deleteText, 15000)) << daemon_->Diagnostics();
  EXPECT_TRUE(daemon_->WaitForShowWithout("[" + ip + "]", kLearnMs)) << daemon_->Show();
  EXPECT_EQ(daemon_->Show(), kBridgeLine);

  const std::string trace = daemon_->Trace();
  const size_t ulProbe = trace.find(probeText);
  const size_t ulDelete = trace.find(deleteText);
  ASSERT_NE(ulProbe, std::string::npos) << daemon_->Diagnostics();
  ASSERT_LT(ulProbe, ulDelete);

  const std::string armedRe = "Next timeout time (\\d+), now is (\\d+)\\.";
  const std::string timeoutRe = "IP address \\[" +
                                std::regex_replace(ip, std::regex("\\."), "\\.") +
                                "\\] timeout value is \\[(\\d+)\\], now is \\[(\\d+)\\]";
  // Learnt at T: the ageing timer aimed at T + 290.
  std::optional<PairMatch> learnt = FindPair(trace, armedRe, 0, ulProbe, true);
  ASSERT_TRUE(learnt) << daemon_->Diagnostics();
  EXPECT_EQ(learnt->lFirst - learnt->lSecond, 290);
  // Probed at its due instant, never earlier, late only by the loop's delay;
  // the probe is an ARP request sent between that check and its trace.
  std::optional<PairMatch> probed = FindPair(trace, timeoutRe, 0, ulProbe, true);
  ASSERT_TRUE(probed) << daemon_->Diagnostics();
  EXPECT_EQ(probed->lFirst, learnt->lFirst);
  EXPECT_GE(probed->lSecond, learnt->lFirst);
  EXPECT_LE(probed->lSecond, learnt->lFirst + 30);
  const size_t ulSend = trace.find("begin to send ARP to ulYiaddr " + RawHex(ip), probed->ulPos);
  EXPECT_LT(ulSend, ulProbe) << daemon_->Diagnostics();
  // The probe restarted the address's clock: 3 s from the probe, which lies
  // between the check and the re-arming that follows it.
  std::optional<PairMatch> rearmed = FindPair(trace, armedRe, ulProbe, ulDelete, false);
  ASSERT_TRUE(rearmed) << daemon_->Diagnostics();
  EXPECT_GE(rearmed->lFirst, probed->lSecond + 3);
  EXPECT_LE(rearmed->lFirst, rearmed->lSecond + 3);
  // Deleted at that instant, not before.
  std::optional<PairMatch> deleted = FindPair(trace, timeoutRe, ulProbe, ulDelete, true);
  ASSERT_TRUE(deleted) << daemon_->Diagnostics();
  EXPECT_EQ(deleted->lFirst, rearmed->lFirst);
  EXPECT_GE(deleted->lSecond, deleted->lFirst);
  EXPECT_LE(deleted->lSecond, deleted->lFirst + 30);
  EXPECT_NE(trace.find("All IP addresses addresses are timeout.\n", ulDelete), std::string::npos);
}

TEST_F(LearningTest, HostMovedToAnotherPortIsSeenThere) {
  // Host 1 gets a second, idle link behind a gateway port eth9, before the
  // daemon starts so that the port is in its database from the beginning.
  const std::string hostNs = lan_->HostNs(1);
  ASSERT_TRUE(lan_->Ip(
      lan_->GatewayNs(),
      "link add eth9 type veth peer name eth0b netns " + hostNs +
          "\nlink set eth9 addrgenmode none\nlink set eth9 master br0\nlink set eth9 up\n"));
  ASSERT_NO_FATAL_FAILURE(StartDaemon());
  ASSERT_NO_FATAL_FAILURE(PingGateway(1));
  ASSERT_TRUE(daemon_->WaitForShow(HostLine(lan_->PortOf(1), 1, lan_->HostIp(1)), kLearnMs))
      << daemon_->Diagnostics();

  // Unplug eth0, plug eth0b with the same MAC and address, and speak again
  // (a fresh neighbour cache, so the first ping asks for the gateway by ARP).
  std::string replug = "ip link set eth0 down && ip addr flush dev eth0";
  replug += " && ip link set eth0b address " + lan_->HostMac(1) + " addrgenmode none";
  replug += " && ip addr add " + lan_->HostIp(1) + "/24 dev eth0b";
  replug += " && ip link set eth0b up && ip neigh flush all";
  ASSERT_NO_FATAL_FAILURE(InHost(1, replug));
  // At least one answer of three.
  ASSERT_NO_FATAL_FAILURE(InHost(1, "ping -c 3 -i 0.3 -W 2 " + lan_->BridgeIp()));
  const std::string moved = "has been moved from port [" + lan_->PortOf(1) + "] to port [eth9]";
  EXPECT_TRUE(daemon_->WaitForTrace(moved, kLearnMs)) << daemon_->Diagnostics();
  // The move itself does not refresh the address; the item keeps it and shows
  // it under the new port.
  EXPECT_TRUE(daemon_->WaitForShow(HostLine("eth9", 1, lan_->HostIp(1)), kLearnMs))
      << daemon_->Show() << daemon_->Diagnostics();
  EXPECT_EQ(daemon_->Show().find("[" + lan_->PortOf(1) + "]"), std::string::npos);
}

TEST_F(LearningTest, ProbeForTheBridgeAddressIsLoggedOnce) {
  ASSERT_NO_FATAL_FAILURE(StartDaemon());
  for (int i = 0; i < 2; ++i) {
    (void)lan_->Run(lan_->HostNs(2), "arping -D -c 1 -w 1 -I eth0 " + lan_->BridgeIp());
  }
  ASSERT_TRUE(systest::WaitForText(daemon_->Path("event.log"), "0x70000000", kLearnMs))
      << daemon_->Diagnostics();
  // Both probes within five minutes: one entry, under the bridge's address.
  usleep(300000);
  const std::string log = daemon_->EventLog();
  const size_t ulFirst = log.find("0x70000000\t" + lan_->BridgeIp() + "\t");
  EXPECT_NE(ulFirst, std::string::npos) << log;
  EXPECT_EQ(log.find("0x70000000", ulFirst + 1), std::string::npos) << log;
}

TEST_F(LearningTest, LeaseGivesTheHostItsRealMac) {
  leasestest::Lease lease;
  lease.ulYiaddr = ntohl(inet_addr(lan_->HostIp(1).c_str()));
  lease.ulLease = 0xFFFFFFFF;
  lease.chAddr = "C4:D5:E6:F7:08:19";
  lease.macAddr = "02:00:00:00:00:01";
  lease.hostName = "laptop";
  lease.interface = "br0";
  ASSERT_NO_FATAL_FAILURE(StartDaemon());
  ASSERT_TRUE(daemon_->WriteLeases(std::vector<leasestest::Lease>{lease}));
  ASSERT_NO_FATAL_FAILURE(PingGateway(1));
  EXPECT_TRUE(daemon_->WaitForShow(
      "\t[" + lan_->PortOf(1) + "] virtualmac[02:00:**:**:**:01]  realmac[C4:D5:**:**:**:19] [" +
          lan_->HostIp(1) + "]\n",
      kLearnMs))
      << daemon_->Show() << daemon_->Diagnostics();
}

}  // namespace
}  // namespace systest
