// Learning and publishing end to end: the real hostmon in the LAN of
// netns_lan.h learns hosts from their own kernels' ARP, ages out a host whose
// link went down, and turns what it learns into host objects in its saved
// database (seeded from the kernel), the DHCP server's two neighbours files and
// notices to "cms" and "dhcps"; it keeps working when it can write neither its
// database nor the neighbours files.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/system/daemon.h"

namespace systest {
namespace {

using Clock = std::chrono::steady_clock;

// The line lumbus prints for a HostInfo notice with these fields and the rest 0.
std::string HostInfoLine(const std::string &typeAndName, const std::string &mac,
                         const std::string &ipNet, const std::string &keys,
                         const std::string &layer2) {
  const uint32_t ulRaw = inet_addr(ipNet.c_str());
  char acNum[64];
  snprintf(acNum, sizeof(acNum), "ulYiaddr=0x%08x ulYiaddr.num=%u.%u.%u.%u", ulRaw, ulRaw >> 24,
           (ulRaw >> 16) & 0xFF, (ulRaw >> 8) & 0xFF, ulRaw & 0xFF);
  return "type=" + typeAndName + " from=\"hostmon\" data=0x00000000 len=660 HostInfo " + acNum +
         " ulYiaddr.net=" + ipNet + " ulLease=0 acChAddr=\"" + mac +
         "\" acMacAddr=\"\" acHostName=\"\" acVendorClass=\"\" ulIpv4Active=0 ulIpv6Active=0 "
         "acInterface=\"\" aulKeyList=" +
         keys + " acLayer2If=\"" + layer2 + "\" ulOldIpAddr=0.0.0.0 acConflictMac=\"\"";
}

using PublishingTest = DaemonLanTest;

TEST_F(PublishingTest, HostsPingingTheGatewayAreLearntSavedWrittenAndAnnounced) {
  ASSERT_NO_FATAL_FAILURE(StartDaemon({.listenAs = {"cms", "dhcps"}}));
  EXPECT_EQ(daemon_->Show(), kBridgeLine);
  ASSERT_NO_FATAL_FAILURE(PingGateway(1));
  ASSERT_NO_FATAL_FAILURE(PingGateway(2));
  // The notice to "dhcps" is timed from the rewrite that took the last host in.
  ASSERT_TRUE(NeighborsAre(NewNeighborLine(1) + NewNeighborLine(2), "neighbors_new"));
  const Clock::time_point learnt = Clock::now();
  EXPECT_TRUE(daemon_->Received("dhcps").empty());
  EXPECT_EQ(daemon_->Neighbors(), NeighborLine(1) + NeighborLine(2));
  // Each host on its own port, with one address.
  EXPECT_EQ(daemon_->Show(), kBridgeLine + HostLine(1) + HostLine(2));
  for (int i = 1; i <= 2; ++i) {
    const std::string mac = "02:00:**:**:**:0" + std::to_string(i);
    // The leases lookup of the new host names the port it was learnt on.
    EXPECT_TRUE(Traced("hostmon update dhcpsinfo VMAC [" + mac + "] RMAC[" + mac +
                       "] IP[0] DHCP [0] Port [" + lan_->PortOf(i) + "]\n"));
  }
  ASSERT_TRUE(Eventually([&] { return !daemon_->Received("dhcps").empty(); }, 8000));
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - learnt).count(),
            2500);
  EXPECT_EQ(daemon_->Received("dhcps"),
            std::vector<std::string>{"type=0xbb01 name=LUM_HOSTMON_MSG_NEIGHBORS_UPDATE "
                                     "from=\"hostmon\" data=0x00000000 len=0 payload="});

  std::vector<std::string> cms;
  for (int i = 1; i <= 2; ++i) {
    SCOPED_TRACE("host " + std::to_string(i));
    const std::string mac = lan_->HostMac(i);
    std::optional<HostObject> host = SavedHost(mac);
    ASSERT_TRUE(host) << daemon_->DbDump() << daemon_->Diagnostics();
    const std::string layer2 = PortPath(daemon_->DbDump(), lan_->PortOf(i));
    ASSERT_NE(layer2, "");
    EXPECT_EQ(host->path, "InternetGatewayDevice.LANDevice.1.Hosts.Host." + host->instance + ".");
    EXPECT_THAT(host->params, ::testing::IsSupersetOf(std::map<std::string, std::string>{
                                  {"IPAddress", lan_->HostIp(i)},
                                  {"X_WireMACAddress", mac},
                                  {"Active", "1"},
                                  {"AddressSource", "Static"},
                                  {"LeaseTimeRemaining", "-1"},
                                  {"HostName", "Static-02-00-00-00-00-0" + std::to_string(i)},
                                  {"InterfaceType", "Ethernet"},
                                  {"Layer2Interface", layer2}}));
    cms.push_back(HostInfoLine("0xb903 name=LUM_MSG_HOSTMON_HOST_ADD", mac, "0.0.0.0",
                               "1," + host->instance, layer2));
    cms.push_back(
        "type=0xb90f name=LUM_MSG_HOSTMON_DEVICE_NAME_UPDATE from=\"hostmon\" "
        "data=0x00000000 len=99 DeviceNameUpdate mac=\"" +
        mac + "\" ip=\"" + lan_->HostIp(i) + "\" name=\"\"");
  }
  // Each added host: its add, then its name; nothing else (no change notices).
  EXPECT_EQ(daemon_->Received("cms"), cms);

  // All of it as the service user, with the two socket capabilities only, and
  // no way back to more.
  EXPECT_EQ(
      ServiceIdentityProblems(daemon_->Pid(), {"CapBnd:\t0000000000003000", "NoNewPrivs:\t1"}), "");
  EXPECT_NE(ReadFile(daemon_->Path("event.log")).find("\t0x70000001\t"), std::string::npos);
}

// The port comes from the daemon's mirror of the forwarding table: the bridge's
// notice of the move must be applied before the frame that caused it is read.
TEST_F(PublishingTest, HostMovedToAnotherPortIsAttributedThereFromItsFirstFrame) {
  ASSERT_NO_FATAL_FAILURE(StartDaemon({}));
  ASSERT_NO_FATAL_FAILURE(PingGateway(1));
  ASSERT_TRUE(Traced("Tell dhcps that new IP address [" + lan_->HostIp(1)));
  const size_t mark = daemon_->Trace().size();
  // Host 2 becomes host 1 behind eth2, its first frame the ARP request below
  // (no IPv6, so no Router Solicitation goes first).
  ASSERT_EQ(ShellIn(lan_->HostNs(1), "ip link set eth0 down").iExit, 0);
  const CmdResult moved = ShellIn(lan_->HostNs(2),
                                  "sysctl -q -w net.ipv6.conf.eth0.disable_ipv6=1 && "
                                  "ip link set eth0 down && ip addr flush dev eth0 && "
                                  "ip link set eth0 address " +
                                      lan_->HostMac(1) + " && ip addr add " + lan_->HostIp(1) +
                                      "/24 dev eth0 && ip link set eth0 up && ip neigh flush all");
  ASSERT_EQ(moved.iExit, 0) << moved.out;
  ASSERT_NO_FATAL_FAILURE(PingGateway(2));
  const std::string move =
      "MAC address [02-00-**-**-**-01] has been moved from port [eth1] to port [eth2] ...\n";
  ASSERT_TRUE(Traced(move));
  const std::string after = daemon_->Trace().substr(mark);
  const std::string frame = "source MAC [02-00-**-**-**-01]";
  const size_t first = after.find(frame);
  ASSERT_NE(first, std::string::npos);
  EXPECT_LT(after.find(move), after.find(frame, first + 1)) << after;
  EXPECT_NE(daemon_->Trace().find("fdb mirror: "), std::string::npos);
}

TEST_F(PublishingTest, SilentHostIsProbedForgottenOnScheduleAndMarkedOffLineOnce) {
  // 290 s + 3 s of daemon time in about 3 s.
  ASSERT_NO_FATAL_FAILURE(StartDaemon({.ulTimeScale = 100, .listenAs = {"cms"}}));
  ASSERT_NO_FATAL_FAILURE(PingGateway(1));
  const std::string ip = lan_->HostIp(1);
  std::optional<HostObject> host = SavedHost(lan_->HostMac(1));
  ASSERT_TRUE(host) << daemon_->DbDump() << daemon_->Diagnostics();
  ASSERT_TRUE(lan_->SetLinkUp(1, false));

  const std::string probeText =
      "IP address [" + ip + "] inactive for a long time, send 1th packet to detect  now .\n";
  const std::string deleteText = "IP address [" + ip + "] can not be detected, delete it.\n";
  ASSERT_TRUE(Traced(deleteText, 15000));
  EXPECT_TRUE(ShowsOnly(kBridgeLine));
  const std::string trace = daemon_->Trace();
  const size_t ulProbe = trace.find(probeText);
  const size_t ulDelete = trace.find(deleteText);
  ASSERT_LT(ulProbe, ulDelete) << daemon_->Diagnostics();

  // Learnt at T: the ageing timer aimed at T + 290 (the unit tests time the
  // rest on their clock). The probe is an ARP request sent before its trace.
  const size_t ulArmed = trace.rfind("Next timeout time ", ulProbe);
  ASSERT_NE(ulArmed, std::string::npos) << daemon_->Diagnostics();
  long lDue = 0, lNow = 0;
  ASSERT_EQ(sscanf(trace.c_str() + ulArmed, "Next timeout time %ld, now is %ld", &lDue, &lNow), 2);
  EXPECT_EQ(lDue - lNow, 290);
  EXPECT_LT(trace.find("begin to send ARP to ulYiaddr " + RawHex(ip)), ulProbe);
  EXPECT_NE(trace.find("All IP addresses addresses are timeout.\n", ulDelete), std::string::npos);

  // The object stays, off-line, with its address.
  EXPECT_TRUE(SavedHost(lan_->HostMac(1), [&](HostObject h) {
    return h.path == host->path && h.params["Active"] == "0" && h.params["IPAddress"] == ip;
  })) << daemon_->DbDump();
  // A later pass walks the off-line object again and must not announce it again.
  ASSERT_NO_FATAL_FAILURE(PingGateway(2));
  ASSERT_TRUE(SavedHost(lan_->HostMac(2))) << daemon_->DbDump();
  // The off-line notice carries the address as the object's text parses.
  std::vector<std::string> changes;
  for (const std::string &line : daemon_->Received("cms")) {
    if (line.rfind("type=0xb905 ", 0) == 0) changes.push_back(line);
  }
  EXPECT_EQ(changes,
            std::vector<std::string>{HostInfoLine("0xb905 name=LUM_MSG_HOSTMON_HOST_CHANGE",
                                                  lan_->HostMac(1), ip, "0,0", "")});
}

TEST_F(PublishingTest, UnwritableDatabaseAndNeighborsFolderAreSurvived) {
  // A host object from an earlier life, in a database the daemon cannot save.
  const std::string seeded = "InternetGatewayDevice.LANDevice.1.Hosts.Host.7.";
  ASSERT_NO_FATAL_FAILURE(
      StartDaemon({.dbExtraLines = seeded + "IPAddress=192.168.1.99\n" + seeded +
                                   "MACAddress=02:00:00:00:00:99\n" + seeded +
                                   "HostName=printer\n" + seeded + "Active=1\n",
                   .bReadOnly = true}));
  const std::string before = ReadFile(daemon_->DbFile());
  ASSERT_NE(before.find(seeded + "HostName=printer\n"), std::string::npos) << before;

  ASSERT_NO_FATAL_FAILURE(PingGateway(1));
  EXPECT_TRUE(Shows(HostLine(1)));
  EXPECT_TRUE(Traced("open file to write neighbors' info fail\n"));
  // The save comes a second after the pass, and fails.
  EXPECT_TRUE(Traced("HostmonSaveDb failed"));
  // The seeded object was loaded and walked: its owner is gone, so it goes off-line.
  EXPECT_NE(daemon_->Trace().find("IP is:192.168.1.99 ,"), std::string::npos);
  EXPECT_TRUE(Shows(HostLine(1)));  // still up after the failed save
  EXPECT_EQ(ReadFile(daemon_->DbFile()), before);
  EXPECT_EQ(daemon_->Neighbors(), "");
}

}  // namespace
}  // namespace systest
