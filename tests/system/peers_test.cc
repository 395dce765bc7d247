// The other daemons' notices end to end, in the LAN of netns_lan.h: a DHCP
// lease makes the daemon forget a host and learn it back from its answer to a
// probe; a device gone off-line leaves the neighbours files; an on-line device
// nobody knows ends, ten seconds later, in a paced ARP sweep of the companion
// WAN's subnet, which holds the event loop without losing what arrives.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/ethernet.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/system/daemon.h"

namespace systest {
namespace {

// The first text that is missing or comes before the one listed ahead of it.
std::string FirstOutOfOrder(const std::string &trace, const std::vector<std::string> &texts) {
  size_t ulAt = 0;
  for (const std::string &text : texts) {
    ulAt = trace.find(text, ulAt);
    if (ulAt == std::string::npos) return text;
    ulAt += text.size();
  }
  return "";
}

int64_t WallNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

using PeersTest = DaemonLanTest;

TEST_F(PeersTest, DhcpAddForgetsTheHostAndLearnsItBackFromItsAnswerToTheProbe) {
  ASSERT_NO_FATAL_FAILURE(StartDaemon({}));
  ASSERT_NO_FATAL_FAILURE(PingGateway(1));
  ASSERT_TRUE(NeighborsAre(NeighborLine(1)));
  const size_t ulBefore = daemon_->Trace().size();

  const std::string ip = lan_->HostIp(1);
  ASSERT_TRUE(daemon_->Send("0x3012 --mac " + lan_->HostMac(1) + " --ip " + ip + " --bridge br0"));
  // Nothing but the probe makes the host speak: learning it anew after the
  // probe means it was forgotten and its answer was heard.
  const std::string relearnt = "Tell dhcps that new IP address [" + ip + "] is added.\n";
  ASSERT_TRUE(
      Eventually([&] { return daemon_->Trace().find(relearnt, ulBefore) != std::string::npos; }));
  const std::string trace = daemon_->Trace().substr(ulBefore);

  EXPECT_EQ(FirstOutOfOrder(trace, {"Dhcps Add MAC[02:00:**:**:**:01] and IP[" + RawHex(ip) +
                                        "] address from bridge [br0]\n",
                                    "Notify add ip [" + ip + "], br ip [192.168.1.1]\n",
                                    "begin to send ARP to ulYiaddr " + RawHex(ip) + "\n",
                                    "Send ARP to detect finished.\n",
                                    " Got ARP packet, source IP  [" + ip + "]",
                                    "Add a new MAC address now ...\n", relearnt}),
            "")
      << trace;
  EXPECT_TRUE(ShowsOnly(kBridgeLine + HostLine(1)));
  EXPECT_TRUE(NeighborsAre(NeighborLine(1)));
}

TEST_F(PeersTest, DeviceOffLineDropsTheHostFromTheNeighborsFiles) {
  ASSERT_NO_FATAL_FAILURE(StartDaemon({}));
  ASSERT_NO_FATAL_FAILURE(PingGateway(1));
  ASSERT_NO_FATAL_FAILURE(PingGateway(2));
  ASSERT_TRUE(NeighborsAre(NeighborLine(1) + NeighborLine(2)));
  ASSERT_TRUE(daemon_->Send("0xb90a --mac " + lan_->HostMac(1)));
  EXPECT_TRUE(NeighborsAre(NeighborLine(2)));
  EXPECT_TRUE(NeighborsAre(NewNeighborLine(2), "neighbors_new"));
  EXPECT_EQ(daemon_->Show(), kBridgeLine + HostLine(2));
}

TEST_F(PeersTest, UnknownDeviceOnLineSweepsTheCompanionSubnetPacedAndLosesNoFrame) {
  ASSERT_NO_FATAL_FAILURE(StartDaemon({}));  // real time: the pauses are measured
  // Host 1 answers no ARP, so only the request of its own ping can teach the
  // daemon about it; host 2 watches the sweep.
  ASSERT_EQ(ShellIn(lan_->HostNs(1), "sysctl -q -w net.ipv4.conf.all.arp_ignore=8").iExit, 0);
  constexpr int kSweep = 253;  // .1 to .254 but the companion address
  // A child forked while a command's pipe is open would hold that pipe: no
  // command runs until the capture has forked and listens.
  int aiReady[2];
  ASSERT_EQ(pipe2(aiReady, O_CLOEXEC), 0);
  std::optional<std::string> captured;
  // Ethernet 14; ARP: op at 6, sender MAC at 8, sender IP at 14, target IP at 24.
  const auto arp = [](const uint8_t *f, size_t n, int64_t lNs) -> std::string {
    if (n < 42 || MacText(f + 6) != NetnsLan::kBridgeMac) return "";
    return std::to_string(lNs) + " " + MacText(f) + " op " + std::to_string(f[20] << 8 | f[21]) +
           " " + MacText(f + 22) + " " + IpText(AF_INET, f + 28) + " ask " +
           IpText(AF_INET, f + 38);
  };
  std::jthread capture(
      [&] { captured = lan_->Capture(2, ETH_P_ARP, kSweep, 20000, arp, aiReady[1]); });
  pollfd pfd = {aiReady[0], POLLIN, 0};
  const bool bListening = poll(&pfd, 1, 10000) == 1;
  close(aiReady[0]);
  close(aiReady[1]);
  ASSERT_TRUE(bListening);

  const std::string companion = "192.168.1.100";
  ASSERT_TRUE(daemon_->Send("0xb90c --payload-text " + companion));
  ASSERT_TRUE(Traced("pcIpAddr is " + companion + "...\n"));
  const int64_t lNotice = WallNs();
  ASSERT_TRUE(daemon_->Send("0xb908 --mac 02:00:00:00:00:42"));
  ASSERT_TRUE(
      Traced("hostmon HostmonSendArpToAll ovanetwan ip [" + RawHex(companion) + "]\n", 15000));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_NO_FATAL_FAILURE(PingGateway(1));
  const int64_t lPinged = WallNs();
  int64_t lLearnt = 0;
  EXPECT_TRUE(Eventually(
      [&] {
        lLearnt = WallNs();
        return daemon_->Neighbors().find(NeighborLine(1)) != std::string::npos;
      },
      kLearnMs + 5000));
  capture.join();

  std::vector<int64_t> times;
  std::string frames, expected;
  std::istringstream in(captured.value_or("<child failed>"));
  for (std::string line; std::getline(in, line);) {
    const size_t ulSp = line.find(' ');
    times.push_back(strtoll(line.c_str(), nullptr, 10));
    frames += line.substr(ulSp + 1) + "\n";
  }
  ASSERT_EQ(times.size(), static_cast<size_t>(kSweep)) << frames.substr(0, 2000);
  for (int i = 1; i <= 254; ++i) {
    const std::string target = "192.168.1." + std::to_string(i);
    if (target == companion) continue;
    expected += "ff:ff:ff:ff:ff:ff op 1 " + std::string(NetnsLan::kBridgeMac) + " " + companion +
                " ask " + target + "\n";
  }
  EXPECT_EQ(frames, expected);
  std::vector<int64_t> gaps;
  for (size_t i = 1; i < times.size(); ++i) gaps.push_back(times[i] - times[i - 1]);
  std::sort(gaps.begin(), gaps.end());
  const auto ms = [](int64_t lNs) { return static_cast<double>(lNs) / 1e6; };
  const double dMedianMs = ms(gaps[gaps.size() / 2]), dTotalMs = ms(times.back() - times.front());
  const std::string figures = "sweep " + std::to_string(dTotalMs) + " ms, median gap " +
                              std::to_string(dMedianMs) + " ms, from notice " +
                              std::to_string(ms(times.front() - lNotice)) + " ms, learnt " +
                              std::to_string(ms(lLearnt - times.back())) + " ms after it";
  // 252 pauses of at least 12 ms; a busy machine stretches them.
  EXPECT_GE(dTotalMs, 3000.0) << figures;
  EXPECT_LE(dTotalMs, 6000.0) << figures;
  EXPECT_GE(dMedianMs, 11.5) << figures;
  EXPECT_LE(dMedianMs, 20.0) << figures;
  EXPECT_GE(times.front() - lNotice, 10000000000LL) << figures;
  // Pinged while the loop was held by the sweep, and heard once it let go:
  // from its own request, the only ARP it sends.
  EXPECT_LT(lPinged, times.back()) << figures;
  EXPECT_GT(lLearnt, times.back()) << figures;
  EXPECT_TRUE(Traced("SIP[" + RawHex(lan_->HostIp(1)) + "]DIP[" + RawHex(lan_->BridgeIp()) + "]"));
}

}  // namespace
}  // namespace systest
