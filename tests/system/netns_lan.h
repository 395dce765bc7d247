// A throwaway LAN of network namespaces for the system tests.
//
// The gateway namespace holds bridge br0 (192.168.1.1/24, MAC kBridgeMac, up)
// and one veth port per host, eth1 and eth2 (MACs 02:00:00:00:01:0i), enslaved
// to br0 and up. Host i lives in its own namespace, where its end of the pair
// is eth0 with the MAC 02:00:00:00:00:0i, the address 192.168.1.1i/24 and a
// default route via the bridge; the host's kernel answers ARP itself.
//
// By default no link has an IPv6 address, so no Neighbor Discovery is on the
// wire and the tables hold only what IPv4 traffic taught. With bIpv6 the
// gateway forwards IPv6 (so br0 is in the all-routers group and hears Router
// Solicitations), br0 has 2001:db8:1::1/64 and the link-local address of its
// MAC (fe80::ff:fe00:ff00), and host i has fe80::ff:fe00:i and
// 2001:db8:1::1i/64. Nobody runs duplicate address detection, the hosts send
// no Router Solicitations of their own (tests send them), and they put their
// link-layer address into every Neighbor Advertisement (force_tllao), as many
// embedded stacks do; a stock kernel leaves it out of answers to unicast
// solicitations, which then teach the daemon nothing.
//
// Names carry a tag and the process id. The destructor kills every process in
// the namespaces and deletes them, also when a test fails; a later run removes
// what a crashed run left behind.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/system/proc.h"

namespace systest {

using Bytes = std::vector<uint8_t>;

class NetnsLan {
 public:
  static constexpr int kHosts = 2;
  static constexpr const char *kBridgeMac = "02:00:00:00:ff:00";

  struct Options {
    bool bIpv6 = false;
  };

  NetnsLan();
  explicit NetnsLan(const Options &options);
  ~NetnsLan();
  NetnsLan(const NetnsLan &) = delete;
  NetnsLan &operator=(const NetnsLan &) = delete;
  // *pbSkip when the machine cannot make namespaces at all.
  bool Build(std::string *pWhy, bool *pbSkip);

  const std::string &GatewayNs() const { return m_gatewayNs; }
  std::string HostNs(int iHost) const { return m_prefix + "h" + std::to_string(iHost); }
  static std::string PortOf(int iHost) { return "eth" + std::to_string(iHost); }
  static std::string HostMac(int iHost) { return "02:00:00:00:00:0" + std::to_string(iHost); }
  static std::string HostIp(int iHost) { return "192.168.1.1" + std::to_string(iHost); }
  static std::string BridgeIp() { return "192.168.1.1"; }
  static std::string HostIp6(int iHost) { return "2001:db8:1::1" + std::to_string(iHost); }
  static std::string HostLinkLocal(int iHost) { return "fe80::ff:fe00:" + std::to_string(iHost); }
  static std::string BridgeIp6() { return "2001:db8:1::1"; }

  // Host i (above kHosts) behind port eth<i> of a bridge of the gateway, set
  // up like the others; its namespace goes with the LAN.
  bool AddHost(int iHost, const std::string &bridge);

  // Runs `ip` commands, one a line, in a namespace (the current one when empty).
  static bool Ip(const std::string &ns, const std::string &batch);
  // Carrier of a host's gateway-side port: what the bridge sees.
  bool SetLinkUp(int iHost, bool bUp) const;

  // Runs fn in a child that entered the namespace, with a fresh /sys of its
  // own so that sysfs shows that namespace; what fn returned, or nothing when
  // the child failed or timed out.
  static std::optional<std::string> CallIn(const std::string &ns,
                                           const std::function<std::string()> &fn,
                                           int iTimeoutMs = 10000);
  // Each frame out of host i's eth0 as it is: "sent", or what failed.
  std::string SendFrames(int iHost, const std::vector<Bytes> &frames) const;
  // The frames of protocol usProto that reach host i's eth0 within iMaxMs, a
  // line each as line() makes it of the frame and its receive time (wall
  // clock, ns), none when it makes "". Ends 500 ms after the iCount-th line,
  // so that one more shows too; once it listens, writes a byte to iReadyFd.
  using FrameLine = std::function<std::string(const uint8_t *pucFrame, size_t ulLen, int64_t lNs)>;
  std::optional<std::string> Capture(int iHost, uint16_t usProto, int iCount, int iMaxMs,
                                     const FrameLine &line, int iReadyFd = -1) const;

 private:
  std::vector<std::string> Namespaces() const;
  bool SetUpHost(int iHost, const std::string &bridge) const;

  Options m_options;
  std::string m_prefix;  // "hml-<pid>-<n>-"
  std::string m_gatewayNs;
  std::vector<int> m_addedHosts;
};

// Builds the LAN before each test, skipping where it cannot; the LAN goes with
// the fixture, after the members of derived fixtures (a daemon in it).
class NetnsLanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    bool skip = geteuid() != 0;
    if (skip) GTEST_SKIP() << "network namespaces need root";
    lan_ = std::make_unique<NetnsLan>(lanOptions_);
    if (!lan_->Build(&why, &skip) && skip) GTEST_SKIP() << why;
    ASSERT_TRUE(why.empty()) << why;
  }

  NetnsLan::Options lanOptions_;  // set by a derived fixture's constructor
  std::unique_ptr<NetnsLan> lan_;
};

}  // namespace systest
