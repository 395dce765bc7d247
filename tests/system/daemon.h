// The real hostmon for system tests: started in a LAN's gateway namespace with
// its fixed paths and the platform's files in a temporary work folder, asked
// through the debug shell, read through its trace, and stopped (SIGTERM, then
// SIGKILL) when the runner goes, also when the test fails.
//
//   std::string why;
//   auto daemon = DaemonRunner::Start(*lan_, {.ulTimeScale = 100}, &why);
//   ASSERT_TRUE(daemon) << why;
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/common/leases_writer.h"
#include "tests/system/netns_lan.h"
#include "tests/system/proc.h"

namespace systest {

// How long a test waits for the daemon to learn a host.
inline constexpr int kLearnMs = 5000;

class DaemonRunner {
 public:
  struct Options {
    uint32_t ulTimeScale = 0;  // LUM_TIME_SCALE; 0 leaves it unset (real time)
    // Bus applications listened as from before the daemon starts, so that
    // nothing it sends them is missed; see Listen().
    std::vector<std::string> listenAs{};
    // Lines added to the database the gateway's kernel seeds, written as the
    // database file before the start; empty: no file, the daemon seeds itself.
    std::string dbExtraLines{};
    // The folder of its database file and /var/dhcp/dhcps read-only for the
    // daemon (bind mounts in its own mount namespace).
    bool bReadOnly = false;
    // Started from the install under this prefix as its systemd unit would
    // start it (scripts/service/run-unit.sh), not as root from the build.
    std::string unitPrefix{};
  };

  // Starts hostmon and waits until its event loop answers the debug shell;
  // nullptr with the reason otherwise.
  static std::unique_ptr<DaemonRunner> Start(const NetnsLan &lan, const Options &options,
                                             std::string *pWhy);
  ~DaemonRunner();
  DaemonRunner(const DaemonRunner &) = delete;
  DaemonRunner &operator=(const DaemonRunner &) = delete;

  // `lumdebug hostmon test show`, or the empty text when it failed.
  std::string Show() const;
  // The whole trace so far (the rotated generation first).
  std::string Trace() const;
  // Replaces the leases file the daemon reads (/var/dhcp/dhcps/leases in its
  // mount namespace) in one rename, so it never reads half a file.
  bool WriteLeases(std::string_view bytes) const;
  // Its database file, and `lumdb dump` of it (empty while there is no file).
  const std::string &DbFile() const { return m_dbFile; }
  std::string DbDump() const;
  // A neighbours file the daemon writes for the DHCP server.
  std::string Neighbors(const std::string &file = "neighbors") const {
    return ReadFile(Path("dhcps/" + file));
  }
  // Listens on the bus as app (lumbus listen) until the runner goes; once it
  // is bound, the empty text, else what went wrong. See Received().
  std::string Listen(const std::string &app);
  // One line per message the listener of app received so far.
  std::vector<std::string> Received(const std::string &app) const {
    return MessageLines(Path("bus-" + app + ".log"));
  }
  bool Running() { return m_proc && m_proc->Running(); }
  // The daemon's process: the start script's commands all exec into it.
  pid_t Pid() const { return m_proc ? m_proc->Pid() : -1; }
  // A command line of one of the built tools, on the daemon's bus.
  std::string Tool(const std::string &name) const;
  // `lumbus send hostmon ARGS` (type and options); whether it was sent.
  bool Send(const std::string &args) const;
  // In the work folder: dhcps/ is the daemon's /var/dhcp/dhcps.
  std::string Path(const std::string &name) const { return m_dir / name; }
  // The tail of the trace and the daemon's own output, for failure messages.
  std::string Diagnostics() const;

 private:
  DaemonRunner() = default;

  TempDir m_dir;
  std::string m_gatewayNs;
  std::string m_dbFile;
  bool m_bMadeOnline = false;
  std::vector<std::unique_ptr<Background>> m_listeners;  // go before the folder
  std::unique_ptr<Background> m_proc;
};

// One host object of a database dump: its path ("...Hosts.Host.N."), its
// instance N, its own parameters by name and the addresses of its IPv6
// sub-objects in instance order.
struct HostObject {
  std::string path;
  std::string instance;
  std::map<std::string, std::string> params;
  std::vector<std::string> ipv6;
};

// The host object whose MACAddress (not X_WireMACAddress) is mac.
std::optional<HostObject> FindHost(const std::string &dump, const std::string &mac);
// The path of the Ethernet interface object of a port, as host objects and
// notices name it (no trailing dot).
std::string PortPath(const std::string &dump, const std::string &port);

// Frames byte by byte, and texts of the bytes of captured ones.
void PutMac(Bytes *pOut, const std::string &mac);
void PutIp(Bytes *pOut, int iFamily, const std::string &ip);
Bytes Frame(const std::string &dst, const std::string &src, uint16_t usType, const Bytes &body);
// An ICMPv6 message with hop limit 255 and its checksum, from host i's MAC to dstMac.
Bytes Icmp6Frame(int iHost, const std::string &dstMac, const std::string &src,
                 const std::string &dst, Bytes msg);
// A Neighbor Advertisement (override) of ip by host i, from ip to all nodes,
// with these options, cut to ulLen bytes.
Bytes NeighborAdvert(int iHost, const std::string &ip, const Bytes &options, uint8_t ucCode = 0,
                     size_t ulLen = 1500);
// A link-layer address option: 1 the source's, 2 the target's.
Bytes MacOption(uint8_t ucType, const std::string &mac);
std::string MacText(const uint8_t *pucMac);
std::string IpText(int iFamily, const uint8_t *pucAddr);  // "?" when not an address
// An IPv4 address as the trace prints a raw 32-bit value.
std::string RawHex(const std::string &ip);

// The debug dump's line of br0 in the LAN, and of an address on a port (the
// MAC masked as the dump masks it).
inline constexpr const char *kBridgeLine =
    "Bridge [br0] [192.168.1.1] [02:00:**:**:**:00]====================\n";
std::string HostLine(const std::string &port, const std::string &mac, const std::string &ip);
inline std::string HostLine(int iHost, const std::string &ip = "") {
  return HostLine(NetnsLan::PortOf(iHost), NetnsLan::HostMac(iHost),
                  ip.empty() ? NetnsLan::HostIp(iHost) : ip);
}
// Host i's lines in the neighbours files "neighbors" and "neighbors_new".
inline std::string NeighborLine(int iHost, const std::string &ip = "") {
  return NetnsLan::HostMac(iHost) + " " + (ip.empty() ? NetnsLan::HostIp(iHost) : ip) + "\n";
}
inline std::string NewNeighborLine(int iHost, const std::string &ip = "",
                                   const std::string &bridge = "br0") {
  const std::string line = NeighborLine(iHost, ip);
  return NetnsLan::HostMac(iHost) + " " + line.substr(0, line.size() - 1) + " " +
         NetnsLan::PortOf(iHost) + " " + bridge + "\n";
}

// Lines of /proc/PID/status that show the daemon running as the user
// "hostmon" with only CAP_NET_RAW and CAP_NET_ADMIN, and which of them are
// wrong or missing (empty: all as they should be). extraLines are checked too.
std::string ServiceIdentityProblems(pid_t pid, const std::vector<std::string> &extraLines = {});

// A LAN with the daemon a test starts in it; the daemon goes before the LAN.
// The waits fail with the daemon's trace and output.
class DaemonLanTest : public NetnsLanTest {
 protected:
  void StartDaemon(const DaemonRunner::Options &options) {
    std::string why;
    daemon_ = DaemonRunner::Start(*lan_, options, &why);
    ASSERT_TRUE(daemon_) << why;
  }
  void PingGateway(int iHost) {
    CmdResult result = ShellIn(lan_->HostNs(iHost), "ping -c 1 -W 2 " + lan_->BridgeIp());
    ASSERT_EQ(result.iExit, 0) << result.out;
  }

  template <typename Pred>
  ::testing::AssertionResult Eventually(Pred pred, int iTimeoutMs = kLearnMs) {
    if (PollUntil(iTimeoutMs, pred)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << daemon_->Diagnostics();
  }
  ::testing::AssertionResult Traced(const std::string &text, int iTimeoutMs = kLearnMs) {
    return Eventually([&] { return daemon_->Trace().find(text) != std::string::npos; }, iTimeoutMs)
           << "not traced: " << text;
  }
  // The debug dump holds text, or is text.
  ::testing::AssertionResult Shows(const std::string &text) {
    return Eventually([&] { return daemon_->Show().find(text) != std::string::npos; })
           << "not shown: " << text;
  }
  ::testing::AssertionResult ShowsOnly(const std::string &text) {
    std::string shown;
    return Eventually([&] { return (shown = daemon_->Show()) == text; }) << "shown: " << shown;
  }
  // Each file is rewritten in place, one after the other.
  ::testing::AssertionResult NeighborsAre(const std::string &text,
                                          const std::string &file = "neighbors") {
    std::string now;
    return Eventually([&] { return (now = daemon_->Neighbors(file)) == text; })
           << file << ": " << now;
  }
  // mac's saved host object once ready says so (by default, once it is on-line).
  std::optional<HostObject> SavedHost(const std::string &mac,
                                      const std::function<bool(const HostObject &)> &ready = {}) {
    std::optional<HostObject> host;
    const bool bSaved = PollUntil(kLearnMs, [&] {
      host = FindHost(daemon_->DbDump(), mac);
      return host && (ready ? ready(*host) : host->params["Active"] == "1");
    });
    return bSaved ? host : std::nullopt;
  }

  std::unique_ptr<DaemonRunner> daemon_;
};

}  // namespace systest
