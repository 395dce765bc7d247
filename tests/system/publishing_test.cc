// Publishing end to end: the real hostmon in a throwaway LAN (bridge br0,
// 192.168.1.1/24, one host namespace per port) turns what it learns into host
// objects in its saved database, the DHCP server's two neighbours files and
// notices to "cms" and "dhcps"; it marks a silent host off-line, and it keeps
// working when it can write neither its database nor the neighbours files.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/system/daemon.h"
#include "tests/system/netns_lan.h"

namespace systest {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLearnMs = 5000;

// One host object of a database dump: its path ("...Hosts.Host.N.") and its
// parameters by name.
struct HostObject {
  std::string path;
  std::string lanDevice;
  std::string instance;
  std::map<std::string, std::string> params;
};

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  for (size_t pos = 0, end; (end = text.find('\n', pos)) != std::string::npos; pos = end + 1) {
    lines.push_back(text.substr(pos, end - pos));
  }
  return lines;
}

// The host object whose MACAddress is mac.
std::optional<HostObject> FindHost(const std::string &dump, const std::string &mac) {
  const std::string kHosts = ".Hosts.Host.";
  const std::string kMac = ".MACAddress=" + mac;  // the dot: not X_WireMACAddress
  std::optional<HostObject> host;
  for (const std::string &line : Lines(dump)) {
    const size_t ulHosts = line.find(kHosts);
    if (ulHosts == std::string::npos || line.size() < kMac.size() ||
        line.compare(line.size() - kMac.size(), kMac.size(), kMac) != 0) {
      continue;
    }
    host = HostObject{line.substr(0, line.size() - kMac.size() + 1), {}, {}, {}};
    const size_t ulDevice = std::string("InternetGatewayDevice.LANDevice.").size();
    host->lanDevice = line.substr(ulDevice, ulHosts - ulDevice);
    const size_t ulInstance = ulHosts + kHosts.size();
    host->instance = line.substr(ulInstance, host->path.size() - 1 - ulInstance);
  }
  if (!host) return host;
  for (const std::string &line : Lines(dump)) {
    if (line.compare(0, host->path.size(), host->path) != 0) continue;
    const std::string rest = line.substr(host->path.size());
    const size_t ulEq = rest.find('=');
    // Parameters of the object itself, not of its IPv6 sub-objects.
    if (ulEq != std::string::npos && rest.find('.') > ulEq) {
      host->params[rest.substr(0, ulEq)] = rest.substr(ulEq + 1);
    }
  }
  return host;
}

// The path of the Ethernet interface object of a port, as host objects and
// notices name it (no trailing dot).
std::string PortPath(const std::string &dump, const std::string &port) {
  const std::string kName = ".X_Name=" + port;
  for (const std::string &line : Lines(dump)) {
    if (line.find(".LANEthernetInterfaceConfig.") != std::string::npos &&
        line.size() > kName.size() &&
        line.compare(line.size() - kName.size(), kName.size(), kName) == 0) {
      return line.substr(0, line.size() - kName.size());
    }
  }
  return "";
}

// The line lumbus prints for a HostInfo notice with these fields and the rest 0.
std::string HostInfoLine(const std::string &typeAndName, const std::string &mac,
                         const std::string &ipNet, const std::string &keys,
                         const std::string &layer2) {
  char acNum[64] = "ulYiaddr=0x00000000 ulYiaddr.num=0.0.0.0";
  if (!ipNet.empty()) {
    const uint32_t ulRaw = inet_addr(ipNet.c_str());
    snprintf(acNum, sizeof(acNum), "ulYiaddr=0x%08x ulYiaddr.num=%u.%u.%u.%u", ulRaw, ulRaw >> 24,
             (ulRaw >> 16) & 0xFF, (ulRaw >> 8) & 0xFF, ulRaw & 0xFF);
  }
  return "type=" + typeAndName + " from=\"hostmon\" data=0x00000000 len=660 HostInfo " + acNum +
         " ulYiaddr.net=" + (ipNet.empty() ? "0.0.0.0" : ipNet) + " ulLease=0 acChAddr=\"" + mac +
         "\" acMacAddr=\"\" acHostName=\"\" acVendorClass=\"\" ulIpv4Active=0 ulIpv6Active=0 "
         "acInterface=\"\" aulKeyList=" +
         keys + " acLayer2If=\"" + layer2 + "\" ulOldIpAddr=0.0.0.0 acConflictMac=\"\"";
}

template <typename Pred>
bool PollUntil(int iTimeoutMs, Pred pred) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(iTimeoutMs);
  for (;;) {
    if (pred()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

class PublishingTest : public NetnsLanTest {
 protected:
  // IPv4 only: no Neighbor Discovery, so the files hold exactly what ARP taught.
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

  void StartDaemon(const DaemonRunner::Options &options) {
    std::string why;
    daemon_ = DaemonRunner::Start(*lan_, options, &why);
    ASSERT_TRUE(daemon_) << why;
  }

  void PingGateway(int iHost) {
    CmdResult result = lan_->Run(lan_->HostNs(iHost), "ping -c 1 -W 2 " + lan_->BridgeIp());
    ASSERT_EQ(result.iExit, 0) << result.out << result.err;
  }

  // The saved host object of host i, once the file has one with that value.
  std::optional<HostObject> SavedHost(int iHost, const std::string &param,
                                      const std::string &value) {
    std::optional<HostObject> host;
    PollUntil(kLearnMs, [&] {
      host = FindHost(daemon_->DbDump(), lan_->HostMac(iHost));
      return host && host->params[param] == value;
    });
    return host;
  }

  std::string HostLine(int iHost) const {
    const std::string mac = "02:00:**:**:**:0" + std::to_string(iHost);
    return "\t[" + lan_->PortOf(iHost) + "] virtualmac[" + mac + "]  realmac[" + mac + "] [" +
           lan_->HostIp(iHost) + "]\n";
  }

  std::unique_ptr<DaemonRunner> daemon_;
};

TEST_F(PublishingTest, HostsPingingTheGatewayAreSavedWrittenAndAnnounced) {
  DaemonRunner::Options options;
  options.listenAs = {"cms", "dhcps"};
  ASSERT_NO_FATAL_FAILURE(StartDaemon(options));
  ASSERT_NO_FATAL_FAILURE(PingGateway(1));
  ASSERT_NO_FATAL_FAILURE(PingGateway(2));
  std::string neighbors, neighborsNew;
  for (int i = 1; i <= 2; ++i) {
    const std::string mac = lan_->HostMac(i);
    neighbors += mac + " " + lan_->HostIp(i) + "\n";
    neighborsNew += mac + " " + mac + " " + lan_->HostIp(i) + " " + lan_->PortOf(i) + " br0\n";
  }
  // The notice to "dhcps" is timed from the rewrite that took the last host in.
  ASSERT_TRUE(PollUntil(kLearnMs, [&] { return daemon_->NeighborsNew() == neighborsNew; }))
      << daemon_->NeighborsNew() << daemon_->Diagnostics();
  const Clock::time_point learnt = Clock::now();
  EXPECT_EQ(daemon_->Neighbors(), neighbors);
  EXPECT_TRUE(daemon_->Received("dhcps").empty());
  ASSERT_TRUE(PollUntil(8000, [&] { return !daemon_->Received("dhcps").empty(); }))
      << daemon_->Diagnostics();
  const auto waitedMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - learnt).count();
  EXPECT_GE(waitedMs, 2500);
  EXPECT_EQ(daemon_->Received("dhcps"),
            std::vector<std::string>{"type=0xbb01 name=LUM_HOSTMON_MSG_NEIGHBORS_UPDATE "
                                     "from=\"hostmon\" data=0x00000000 len=0 payload="});

  std::vector<std::string> cms;
  for (int i = 1; i <= 2; ++i) {
    SCOPED_TRACE("host " + std::to_string(i));
    std::optional<HostObject> host = SavedHost(i, "Active", "1");
    ASSERT_TRUE(host) << daemon_->DbDump() << daemon_->Diagnostics();
    const std::string mac = lan_->HostMac(i);
    const std::string layer2 = PortPath(daemon_->DbDump(), lan_->PortOf(i));
    ASSERT_NE(layer2, "");
    std::map<std::string, std::string> expected = host->params;
    expected["IPAddress"] = lan_->HostIp(i);
    expected["X_WireMACAddress"] = mac;
    expected["Active"] = "1";
    expected["AddressSource"] = "Static";
    expected["LeaseTimeRemaining"] = "-1";
    expected["HostName"] = "Static-02-00-00-00-00-0" + std::to_string(i);
    expected["InterfaceType"] = "Ethernet";
    expected["Layer2Interface"] = layer2;
    EXPECT_EQ(host->params, expected);
    EXPECT_EQ(host->lanDevice, "1");
    cms.push_back(HostInfoLine("0xb903 name=LUM_MSG_HOSTMON_HOST_ADD", mac, "",
                               "1," + host->instance, layer2));
    cms.push_back(
        "type=0xb90f name=LUM_MSG_HOSTMON_DEVICE_NAME_UPDATE from=\"hostmon\" "
        "data=0x00000000 len=99 DeviceNameUpdate mac=\"" +
        mac + "\" ip=\"" + lan_->HostIp(i) + "\" name=\"\"");
  }
  // Each added host: its add, then its name; nothing else (no change notices).
  EXPECT_EQ(daemon_->Received("cms"), cms);
}

TEST_F(PublishingTest, LeaseGivesTheHostObjectItsNameVendorAndSource) {
  leasestest::Lease lease;
  lease.ulYiaddr = ntohl(inet_addr(lan_->HostIp(1).c_str()));
  lease.ulLease = 2000000000;  // uptime seconds: decades ahead
  lease.chAddr = lan_->HostMac(1);
  lease.macAddr = lan_->HostMac(1);
  lease.vendorClass = "MSFT 5.0";
  lease.hostName = "laptop";
  lease.interface = "br0";
  ASSERT_NO_FATAL_FAILURE(StartDaemon({}));
  ASSERT_TRUE(daemon_->WriteLeases(std::vector<leasestest::Lease>{lease}));
  ASSERT_NO_FATAL_FAILURE(PingGateway(1));
  std::optional<HostObject> host = SavedHost(1, "Active", "1");
  ASSERT_TRUE(host) << daemon_->DbDump() << daemon_->Diagnostics();
  EXPECT_EQ(host->params["IPAddress"], lan_->HostIp(1));
  EXPECT_EQ(host->params["AddressSource"], "DHCP");
  EXPECT_EQ(host->params["HostName"], "laptop");
  EXPECT_EQ(host->params["VendorClassID"], "MSFT 5.0");
  EXPECT_EQ(host->params["LeaseTimeRemaining"], "2000000000");
}

TEST_F(PublishingTest, SilentHostIsMarkedOffLineOnce) {
  DaemonRunner::Options options;
  options.ulTimeScale = 100;  // 290 s of ageing in about 3 s
  options.listenAs = {"cms"};
  ASSERT_NO_FATAL_FAILURE(StartDaemon(options));
  ASSERT_NO_FATAL_FAILURE(PingGateway(1));
  std::optional<HostObject> host = SavedHost(1, "Active", "1");
  ASSERT_TRUE(host) << daemon_->DbDump() << daemon_->Diagnostics();
  ASSERT_TRUE(lan_->SetLinkUp(1, false));
  ASSERT_TRUE(daemon_->WaitForShowWithout("[" + lan_->HostIp(1) + "]", 15000))
      << daemon_->Diagnostics();
  ASSERT_TRUE(daemon_->WaitForDb(host->path + "Active=0\n", kLearnMs)) << daemon_->DbDump();
  // The object stays, off-line, with its address.
  std::optional<HostObject> offline = FindHost(daemon_->DbDump(), lan_->HostMac(1));
  ASSERT_TRUE(offline);
  EXPECT_EQ(offline->path, host->path);
  EXPECT_EQ(offline->params["IPAddress"], lan_->HostIp(1));
  // A later pass walks the off-line object again and must not announce it again.
  ASSERT_NO_FATAL_FAILURE(PingGateway(2));
  ASSERT_TRUE(SavedHost(2, "Active", "1")) << daemon_->DbDump();

  // The off-line notice carries the address as the object's text parses.
  const std::string offLine = HostInfoLine("0xb905 name=LUM_MSG_HOSTMON_HOST_CHANGE",
                                           lan_->HostMac(1), lan_->HostIp(1), "0,0", "");
  std::vector<std::string> changes;
  for (const std::string &line : daemon_->Received("cms")) {
    if (line.rfind("type=0xb905 ", 0) == 0) changes.push_back(line);
  }
  EXPECT_EQ(changes, std::vector<std::string>{offLine});
}

TEST_F(PublishingTest, UnwritableDatabaseAndNeighborsFolderAreSurvived) {
  // A host object from an earlier life, in a database the daemon cannot save.
  const std::string seeded = "InternetGatewayDevice.LANDevice.1.Hosts.Host.7.";
  DaemonRunner::Options options;
  options.bReadOnlyDb = true;
  options.bReadOnlyDhcps = true;
  options.dbExtraLines = seeded + "IPAddress=192.168.1.99\n" + seeded +
                         "MACAddress=02:00:00:00:00:99\n" + seeded + "HostName=printer\n" + seeded +
                         "Active=1\n";
  ASSERT_NO_FATAL_FAILURE(StartDaemon(options));
  const std::string before = ReadFile(daemon_->DbFile());
  ASSERT_NE(before.find(seeded + "HostName=printer\n"), std::string::npos) << before;

  ASSERT_NO_FATAL_FAILURE(PingGateway(1));
  EXPECT_TRUE(daemon_->WaitForShow(HostLine(1), kLearnMs)) << daemon_->Diagnostics();
  EXPECT_TRUE(daemon_->WaitForTrace("open file to write neighbors' info fail\n", kLearnMs))
      << daemon_->Diagnostics();
  // The save comes a second after the pass, and fails.
  EXPECT_TRUE(daemon_->WaitForTrace("HostmonSaveDb failed", kLearnMs)) << daemon_->Diagnostics();
  // The seeded object was loaded and walked: its owner is gone, so it goes off-line.
  EXPECT_NE(daemon_->Trace().find("IP is:192.168.1.99 ,"), std::string::npos);
  EXPECT_TRUE(daemon_->Running()) << daemon_->Diagnostics();
  EXPECT_NE(daemon_->Show().find(HostLine(1)), std::string::npos) << daemon_->Diagnostics();
  EXPECT_EQ(ReadFile(daemon_->DbFile()), before);
  EXPECT_EQ(daemon_->Neighbors(), "");
}

}  // namespace
}  // namespace systest
