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
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/common/leases_writer.h"
#include "tests/system/netns_lan.h"
#include "tests/system/proc.h"

namespace systest {

class DaemonRunner {
 public:
  struct Options {
    uint32_t ulTimeScale = 0;  // LUM_TIME_SCALE; 0 leaves it unset (real time)
    // Bus applications listened as (lumbus listen) from before the daemon
    // starts, so that nothing it sends them is missed; see Received().
    std::vector<std::string> listenAs;
    // Lines added to the database the gateway's kernel seeds, written as the
    // database file before the start; empty: no file, the daemon seeds itself.
    std::string dbExtraLines;
    // The folder of its database file and /var/dhcp/dhcps read-only for the
    // daemon (bind mounts in its own mount namespace).
    bool bReadOnly = false;
    // Started from the install under this prefix as its systemd unit would
    // start it (scripts/service/run-unit.sh), not as root from the build.
    std::string unitPrefix;
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
  bool WaitForTrace(const std::string &text, int iTimeoutMs) const;
  // Replaces the leases file the daemon reads (/var/dhcp/dhcps/leases in its
  // mount namespace) in one rename, so it never reads half a file.
  bool WriteLeases(const std::vector<leasestest::Lease> &leases) const;
  // Its database file, and `lumdb dump` of it (empty while there is no file).
  const std::string &DbFile() const { return m_dbFile; }
  std::string DbDump() const;
  // One line per message the listener of app received so far.
  std::vector<std::string> Received(const std::string &app) const {
    return MessageLines(Path("bus-" + app + ".log"));
  }
  bool Running() { return m_proc && m_proc->Running(); }
  // The daemon's process: the start script's commands all exec into it.
  pid_t Pid() const { return m_proc ? m_proc->Pid() : -1; }
  // `lumbus send hostmon ARGS` (type and options); whether it was sent.
  bool Send(const std::string &args) const;
  // In the work folder: dhcps/ is the daemon's /var/dhcp/dhcps.
  std::string Path(const std::string &name) const { return m_dir / name; }
  // The tail of the trace and the daemon's own output, for failure messages.
  std::string Diagnostics() const;

 private:
  DaemonRunner() = default;

  TempDir m_dir;
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

// Texts of the bytes of a captured frame.
std::string MacText(const uint8_t *pucMac);
std::string IpText(int iFamily, const uint8_t *pucAddr);  // "?" when not an address

// How long a test waits for the daemon to learn a host.
inline constexpr int kLearnMs = 5000;
// The debug dump's line of br0 in the LAN, and of host i's address on its port.
inline constexpr const char *kBridgeLine =
    "Bridge [br0] [192.168.1.1] [02:00:**:**:**:00]====================\n";
std::string HostLine(int iHost, const std::string &ip);
inline std::string HostLine(int iHost) { return HostLine(iHost, NetnsLan::HostIp(iHost)); }

// Lines of /proc/PID/status that show the daemon running as the user
// "hostmon" with only CAP_NET_RAW and CAP_NET_ADMIN, and which of them are
// wrong or missing (empty: all as they should be). extraLines are checked too.
std::string ServiceIdentityProblems(pid_t pid, const std::vector<std::string> &extraLines = {});

// A LAN with the daemon a test starts in it; the daemon goes before the LAN.
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

  std::unique_ptr<DaemonRunner> daemon_;
};

}  // namespace systest
