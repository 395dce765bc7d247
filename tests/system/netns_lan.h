// A throwaway LAN of network namespaces for the system tests.
//
// The gateway namespace holds bridge br0 (192.168.1.1/24 by default, up) and
// one veth port per host, eth1..ethN, enslaved to br0 and up. Host i (1-based)
// lives in its own namespace, where its end of the pair is eth0 with the fixed
// MAC 02:00:00:00:00:0i, the address 192.168.1.(10+i)/24 and a default route
// via the bridge; the host's kernel answers ARP and Neighbor Discovery itself.
//
// Names carry a tag and the process id, so tests may run side by side. The
// destructor kills every process in the namespaces and deletes them, also when
// a test fails; a later run removes what a crashed run left behind.
//
//   std::string why;
//   bool skip = false;
//   auto lan = systest::NetnsLan::Create({}, &why, &skip);
//   if (!lan) { if (skip) GTEST_SKIP() << why; FAIL() << why; }
//   lan->Run(lan->GatewayNs(), "bridge fdb show");
//
// or derive the test fixture from NetnsLanTest, which does just that.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace systest {

struct CmdResult {
  int iExit = -1;   // exit status; 128 + signal when killed; -1 when it could not run
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs a program (no shell) with a watchdog: past the timeout its whole
// process group is killed and the result is that of a killed process.
CmdResult RunArgv(const std::vector<std::string> &argv, const std::string &stdinText = "",
                  int iTimeoutMs = 10000);

class NetnsLan {
 public:
  struct Options {
    int iHosts = 2;                             // 1..200
    std::string bridgeCidr = "192.168.1.1/24";  // of br0; hosts take .11, .12, ... of its /24
    std::vector<std::string> extraBridges;      // more bridges in the gateway, empty and up
    bool bIpv6LinkLocal = true;                 // false: no link-local addresses, so no DAD
                                                // or router solicitations on the wire
  };

  // Builds the LAN, or returns nullptr with the reason; *pbSkip is true when
  // the machine cannot host it at all (not root, no network namespaces).
  static std::unique_ptr<NetnsLan> Create(const Options &options, std::string *pWhy, bool *pbSkip);
  ~NetnsLan();
  NetnsLan(const NetnsLan &) = delete;
  NetnsLan &operator=(const NetnsLan &) = delete;

  // Names.
  const std::string &GatewayNs() const { return m_gatewayNs; }
  std::string HostNs(int iHost) const;
  int HostCount() const { return static_cast<int>(m_hosts.size()); }
  // The gateway-side port the host is plugged into now ("eth<i>" at first).
  std::string PortOf(int iHost) const;
  // "02:00:00:00:00:0i" (lower case) and "192.168.1.1i".
  std::string HostMac(int iHost) const;
  std::string HostIp(int iHost) const;
  // br0's address without prefix length, and its fixed MAC.
  std::string BridgeIp() const { return m_bridgeIp; }
  static constexpr const char *kBridgeMac = "02:00:00:00:ff:00";
  // The tag every namespace name of this helper starts with.
  static constexpr const char *kTag = "hml";

  // Runs a shell command inside a namespace (`ip netns exec NS sh -c ...`).
  CmdResult Run(const std::string &ns, const std::string &command, int iTimeoutMs = 10000) const;
  // Runs `ip` commands, one a line, inside a namespace with `ip -n NS -batch -`.
  bool Ip(const std::string &ns, const std::string &batch) const;
  // Starts a command in the background inside a namespace, output appended to
  // logPath (or discarded); it is killed at tear-down at the latest.
  pid_t Spawn(const std::string &ns, const std::string &command, const std::string &logPath = "");
  // Kills a spawned process (SIGTERM, then SIGKILL after the grace period)
  // and returns its wait status, or -1.
  int Stop(pid_t pid, int iGraceMs = 2000);

  // Carrier of a host's link, by its gateway-side port (what the bridge sees)
  // or by the host's own eth0.
  bool SetLinkUp(int iHost, bool bUp) const;
  bool SetHostLinkUp(int iHost, bool bUp) const;
  // Replugs a host into another gateway port: its old pair goes, a new one
  // named port (which must not exist yet) joins bridge; the host keeps its
  // MAC and address. A port named wl* or ath* stands for a radio.
  bool MoveHost(int iHost, const std::string &port, const std::string &bridge = "br0");
  // Another bridge in the gateway namespace, up, with an address when given.
  bool AddBridge(const std::string &name, const std::string &cidr = "");

  // Sends one UDP datagram from inside a namespace (IPv4 or IPv6 address):
  // the sender's kernel resolves the neighbour first, so this is also the way
  // to make a host send ARP or Neighbor Solicitation frames.
  static bool SendUdp(const std::string &ns, const std::string &ip, uint16_t usPort = 9,
                      const std::string &payload = "x");

  // Runs fn in a child process that entered the namespace, with its own mount
  // namespace and a fresh /sys (so sysfs shows that namespace), and returns
  // what fn returned; nothing when the child failed or timed out.
  static std::optional<std::string> CallIn(const std::string &ns,
                                           const std::function<std::string()> &fn,
                                           int iTimeoutMs = 10000);

  // Namespaces of this tag whose creating process is gone; removed.
  static void RemoveStale();

 private:
  struct Host {
    std::string ns;
    std::string port;
    std::string bridge;
    std::string mac;
    std::string ip;
  };

  NetnsLan() = default;
  bool Build(const Options &options, std::string *pWhy, bool *pbSkip);
  const Host &HostAt(int iHost) const;
  std::string NextPortMac();
  std::string BridgeLines(const std::string &name, const std::string &cidr);

  std::string m_prefix;  // "hml-<pid>-<n>-"
  std::string m_gatewayNs;
  std::string m_bridgeIp;
  std::string m_subnet;  // "192.168.1."
  int m_iPrefixLen = 24;
  bool m_bIpv6LinkLocal = true;
  int m_iNextPortMac = 0x80;
  std::vector<Host> m_hosts;
  std::vector<std::string> m_namespaces;
  std::vector<pid_t> m_spawned;
};

// Fixture: builds the LAN before each test (skipping where it cannot) and
// tears it down after. Override LanOptions to change the LAN.
class NetnsLanTest : public ::testing::Test {
 protected:
  virtual NetnsLan::Options LanOptions() const { return {}; }
  void SetUp() override;
  void TearDown() override { lan_.reset(); }

  std::unique_ptr<NetnsLan> lan_;
};

}  // namespace systest
