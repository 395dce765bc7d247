#include "tests/system/netns_lan.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace systest {

namespace {

constexpr const char kNetnsDir[] = "/run/netns/";
int g_iInstance = 0;

// Kills every process in the namespaces (a few rounds catch what a dying one
// forks), then deletes them.
void DeleteNamespaces(const std::vector<std::string> &namespaces) {
  std::string list;
  for (const std::string &ns : namespaces) list += " " + Quote(ns);
  Shell("for ns in" + list +
            "; do for i in $(seq 50); do p=$(ip netns pids \"$ns\" 2>/dev/null); "
            "[ -n \"$p\" ] || break; kill -9 $p; sleep 0.01; done; "
            "ip netns del \"$ns\" 2>/dev/null; done",
        60);
}

// Namespaces of this tag whose creating process is gone.
void RemoveStale() {
  std::vector<std::string> stale;
  std::error_code ec;
  for (const auto &entry : std::filesystem::directory_iterator(kNetnsDir, ec)) {
    const std::string name = entry.path().filename();
    int pid = 0;
    if (sscanf(name.c_str(), "hml-%d-", &pid) == 1 && pid > 0 && kill(pid, 0) != 0 &&
        errno == ESRCH) {
      stale.push_back(name);
    }
  }
  if (!stale.empty()) DeleteNamespaces(stale);
}

}  // namespace

NetnsLan::NetnsLan() : NetnsLan(Options()) {}

NetnsLan::NetnsLan(const Options &options)
    : m_options(options),
      m_prefix("hml-" + std::to_string(getpid()) + "-" + std::to_string(g_iInstance++) + "-"),
      m_gatewayNs(m_prefix + "gw") {}

NetnsLan::~NetnsLan() { DeleteNamespaces(Namespaces()); }

std::vector<std::string> NetnsLan::Namespaces() const {
  std::vector<std::string> namespaces{m_gatewayNs};
  for (int i = 1; i <= kHosts; ++i) namespaces.push_back(HostNs(i));
  for (int i : m_addedHosts) namespaces.push_back(HostNs(i));
  return namespaces;
}

bool NetnsLan::Build(std::string *pWhy, bool *pbSkip) {
  RemoveStale();
  std::string batch;
  for (const std::string &ns : Namespaces()) batch += "netns add " + ns + "\n";
  if (!Ip("", batch)) {
    *pbSkip = true;
    *pWhy = "ip netns add failed";
    return false;
  }
  // Bridges made later inherit the defaults: no duplicate address detection.
  if (m_options.bIpv6 &&
      ShellIn(m_gatewayNs,
              "sysctl -q -w net.ipv6.conf.all.forwarding=1 net.ipv6.conf.all.accept_dad=0 "
              "net.ipv6.conf.default.accept_dad=0")
              .iExit != 0) {
    *pWhy = "gateway sysctl failed";
    return false;
  }
  std::string gw =
      std::string("link set lo up\nlink add br0 address ") + kBridgeMac + " type bridge\n";
  if (m_options.bIpv6) {
    gw += "addr add " + BridgeIp6() + "/64 dev br0 nodad\n";
  } else {
    gw += "link set br0 addrgenmode none\n";
  }
  gw += "addr add " + BridgeIp() + "/24 dev br0\nlink set br0 up\n";
  if (!Ip(m_gatewayNs, gw)) *pWhy = "gateway set-up failed";
  for (int i = 1; pWhy->empty() && i <= kHosts; ++i) {
    if (!SetUpHost(i, "br0")) *pWhy = "set-up failed in " + HostNs(i);
  }
  return pWhy->empty();
}

bool NetnsLan::AddHost(int iHost, const std::string &bridge) {
  m_addedHosts.push_back(iHost);
  return Ip("", "netns add " + HostNs(iHost) + "\n") && SetUpHost(iHost, bridge);
}

bool NetnsLan::SetUpHost(int iHost, const std::string &bridge) const {
  const std::string port = PortOf(iHost);
  if (!Ip(m_gatewayNs, "link add " + port + " address 02:00:00:00:01:0" + std::to_string(iHost) +
                           " type veth peer name eth0 address " + HostMac(iHost) + " netns " +
                           HostNs(iHost) + "\nlink set " + port + " addrgenmode none\nlink set " +
                           port + " master " + bridge + " up\n")) {
    return false;
  }
  std::string host = "link set lo up\n";
  std::string sysctl;
  if (m_options.bIpv6) {
    // Read when the link comes up, so set before.
    sysctl =
        "sysctl -q -w net.ipv6.conf.all.accept_dad=0 net.ipv6.conf.eth0.accept_dad=0 "
        "net.ipv6.conf.eth0.router_solicitations=0 net.ipv6.conf.eth0.force_tllao=1 && ";
    host += "addr add " + HostIp6(iHost) + "/64 dev eth0 nodad\n";
  } else {
    host += "link set eth0 addrgenmode none\n";
  }
  host += "addr add " + HostIp(iHost) + "/24 dev eth0\nlink set eth0 up\nroute add default via " +
          BridgeIp() + "\n";
  return ShellIn(HostNs(iHost), sysctl + "ip -batch - <<'EOF'\n" + host + "EOF\n").iExit == 0;
}

bool NetnsLan::Ip(const std::string &ns, const std::string &batch) {
  const std::string where = ns.empty() ? "" : "-n " + Quote(ns) + " ";
  return Shell("ip " + where + "-batch - <<'EOF'\n" + batch + "EOF\n").iExit == 0;
}

bool NetnsLan::SetLinkUp(int iHost, bool bUp) const {
  return Ip(m_gatewayNs, "link set " + PortOf(iHost) + (bUp ? " up\n" : " down\n"));
}

std::optional<std::string> NetnsLan::CallIn(const std::string &ns,
                                            const std::function<std::string()> &fn,
                                            int iTimeoutMs) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    // sysfs shows the namespace of whoever mounts it: mount a fresh one in a
    // private mount namespace, as `ip netns exec` does; both go with the child.
    const int nsFd = open((kNetnsDir + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (nsFd < 0 || setns(nsFd, CLONE_NEWNET) != 0 || unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_SLAVE | MS_REC, nullptr) != 0) {
      _exit(3);
    }
    umount2("/sys", MNT_DETACH);
    if (mount(ns.c_str(), "/sys", "sysfs", 0, nullptr) != 0) _exit(4);
    // Nothing may unwind into the test framework's copy in this child.
    try {
      const std::string out = fn();
      _exit(write(fds[1], out.data(), out.size()) == static_cast<ssize_t>(out.size()) ? 0 : 5);
    } catch (...) {
      _exit(6);
    }
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return std::nullopt;
  }
  std::string out;
  char buf[4096];
  struct pollfd pfd = {fds[0], POLLIN, 0};
  int ready;
  ssize_t n = 0;
  while ((ready = poll(&pfd, 1, iTimeoutMs)) > 0 && (n = read(fds[0], buf, sizeof(buf))) > 0) {
    out.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  if (ready <= 0) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "netns_lan: child in %s ended with status %d\n", ns.c_str(), status);
    return std::nullopt;
  }
  return out;
}

std::string NetnsLan::SendFrames(int iHost, const std::vector<Bytes> &frames) const {
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
  return CallIn(HostNs(iHost), send).value_or("<child failed>");
}

std::optional<std::string> NetnsLan::Capture(int iHost, uint16_t usProto, int iCount, int iMaxMs,
                                             const FrameLine &line, int iReadyFd) const {
  const auto capture = [&]() -> std::string {
    const int fd = socket(AF_PACKET, SOCK_RAW, htons(usProto));
    sockaddr_ll ll{};
    ll.sll_family = AF_PACKET;
    ll.sll_protocol = htons(usProto);
    ll.sll_ifindex = static_cast<int>(if_nametoindex("eth0"));
    const int iOn = 1, iBuf = 1 << 20;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&ll), sizeof(ll)) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &iOn, sizeof(iOn)) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &iBuf, sizeof(iBuf)) != 0) {
      return "no capture";
    }
    if (iReadyFd >= 0 && write(iReadyFd, "r", 1) != 1) return "no ready signal";
    std::string lines;
    int iSeen = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(iMaxMs);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd pfd = {fd, POLLIN, 0};
      if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) break;
      uint8_t f[1600];
      char acCtl[128];
      iovec iov = {f, sizeof(f)};
      msghdr msg = {&ll, sizeof(ll), &iov, 1, acCtl, sizeof(acCtl), 0};
      const ssize_t n = recvmsg(fd, &msg, 0);
      if (n <= 0 || ll.sll_pkttype == PACKET_OUTGOING) continue;
      int64_t lNs = 0;
      for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
          timespec ts;
          memcpy(&ts, CMSG_DATA(c), sizeof(ts));
          lNs = ts.tv_sec * 1000000000LL + ts.tv_nsec;
        }
      }
      const std::string text = line(f, static_cast<size_t>(n), lNs);
      if (text.empty()) continue;
      lines += text + "\n";
      if (++iSeen == iCount) {
        deadline =
            std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(500));
      }
    }
    close(fd);
    return lines;
  };
  return CallIn(HostNs(iHost), capture, iMaxMs + 5000);
}

}  // namespace systest
