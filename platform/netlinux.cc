// The kernel behind the network utilities. Bridges and ports come from sysfs;
// the forwarding table from rtnetlink: the kernel's own lookup of (bridge, MAC)
// first, a dump of the bridge neighbour table (AF_BRIDGE) where that cannot
// answer. An entry names its port by ifindex and tells local entries apart by
// their state; one link request turns the ifindex into name and port number.
// A process that runs the event loop asks its mirror of the table instead
// (fdbmirror.h): no system call per question.
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <utility>

#include "platform/clock.h"
#include "platform/fdbmirror.h"
#include "platform/fsutil.h"
#include "platform/lum.h"
#include "platform/netbackend.h"
#include "platform/rtnl.h"

#define NET_TRACE(...)                                                                          \
  do {                                                                                          \
    if (g_bLumTraceOn) LUM_TRACE_PrintInfo(__FILE_NAME__, __LINE__, 0, "lum", 16, __VA_ARGS__); \
  } while (0)

namespace lum::net {

namespace {

constexpr const char kSysNet[] = "/sys/class/net/";

bool PathExists(const std::string &path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// ---------------------------------------------------------------------------
// rtnetlink

// A request: header, family header, then attributes.
template <typename FamilyHeader>
struct Request {
  struct nlmsghdr nh;
  FamilyHeader fam;
  char attrs[64];

  Request(uint16_t usType, uint16_t usFlags) : nh{}, fam{}, attrs{} {
    nh.nlmsg_len = NLMSG_LENGTH(sizeof(FamilyHeader));
    nh.nlmsg_type = usType;
    nh.nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | usFlags);
  }
  void Add(uint16_t usType, const void *pvData, size_t ulLen) {
    auto *rta = reinterpret_cast<struct rtattr *>(reinterpret_cast<char *>(&nh) +
                                                  NLMSG_ALIGN(nh.nlmsg_len));
    rta->rta_type = usType;
    rta->rta_len = static_cast<uint16_t>(RTA_LENGTH(ulLen));
    memcpy(RTA_DATA(rta), pvData, ulLen);
    nh.nlmsg_len = static_cast<uint32_t>(NLMSG_ALIGN(nh.nlmsg_len) + RTA_ALIGN(rta->rta_len));
  }
};

// The process's rtnetlink socket, opened on first use and kept: a query then
// costs two system calls a request. It answers for the network namespace it
// was opened in; a child after fork() opens its own (a test child may enter
// another namespace). Serialised by a mutex that fork() leaves unlocked.
class RouteSocket {
 public:
  static RouteSocket &Get() {
    static RouteSocket sock;
    return sock;
  }

  std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(m_mutex); }

  // With the lock held. Sends a request and hands every message of the answer
  // to visit until visit returns true or the answer ends. False when the
  // request failed or the kernel refused it (a get that finds nothing is
  // refused too).
  bool Ask(struct nlmsghdr *req, const std::function<bool(const struct nlmsghdr *)> &visit) {
    if (!Open()) return false;
    req->nlmsg_seq = ++m_ulSeq;
    struct sockaddr_nl kernel {};
    kernel.nl_family = AF_NETLINK;
    if (sendto(m_iFd, req, req->nlmsg_len, 0, reinterpret_cast<struct sockaddr *>(&kernel),
               sizeof(kernel)) < 0) {
      NET_TRACE("netlink request failed, errno %d\n", errno);
      Close();
      return false;
    }
    const bool bDump = (req->nlmsg_flags & NLM_F_DUMP) != 0;
    for (;;) {
      ssize_t len = recv(m_iFd, m_buf, sizeof(m_buf), 0);
      if (len < 0) {
        if (errno == EINTR) continue;
        NET_TRACE("netlink receive failed, errno %d\n", errno);
        // A late answer must not be taken for the next one: start afresh.
        Close();
        return false;
      }
      std::optional<bool> result;  // set when the answer ends
      ForEachMessage(m_buf, static_cast<size_t>(len), [&](const struct nlmsghdr *nh) {
        if (nh->nlmsg_seq != m_ulSeq) return false;  // the tail of an abandoned answer
        if (nh->nlmsg_type == NLMSG_DONE) {
          result = true;
        } else if (nh->nlmsg_type == NLMSG_ERROR) {
          const auto *err = static_cast<const struct nlmsgerr *>(NLMSG_DATA(nh));
          result = nh->nlmsg_len >= NLMSG_LENGTH(sizeof(*err)) && err->error == 0;
        } else if (visit(nh)) {
          // The rest of a dump would be read as stale later; drop it now.
          if (bDump) Close();
          result = true;
        } else if (!bDump) {
          result = true;
        }
        return result.has_value();
      });
      if (result) return *result;
    }
  }

  // Strict checking lets the kernel filter a dump by bridge.
  bool Strict() {
    Open();
    return m_bStrict;
  }

 private:
  RouteSocket() {
    pthread_atfork([] { Get().m_mutex.lock(); }, [] { Get().m_mutex.unlock(); },
                   [] {
                     RouteSocket &sock = Get();
                     if (sock.m_iFd >= 0) close(sock.m_iFd);
                     sock.m_iFd = -1;
                     sock.m_mutex.unlock();
                   });
  }

  bool Open() {
    if (m_iFd >= 0) return true;
    m_iFd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (m_iFd < 0) {
      NET_TRACE("netlink socket failed, errno %d\n", errno);
      return false;
    }
    // A kernel that never answers must not hang the daemon.
    struct timeval timeout {
      1, 0
    };
    setsockopt(m_iFd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    int one = 1;
    m_bStrict = setsockopt(m_iFd, SOL_NETLINK, NETLINK_GET_STRICT_CHK, &one, sizeof(one)) == 0;
    return true;
  }

  void Close() {
    if (m_iFd >= 0) close(m_iFd);
    m_iFd = -1;
  }

  std::mutex m_mutex;
  int m_iFd = -1;
  bool m_bStrict = false;
  uint32_t m_ulSeq = 0;
  // A dump part is at most 32 KiB.
  alignas(struct nlmsghdr) char m_buf[32768];
};

// The kernel's own lookup of (bridge, MAC) in VLAN 0: one message each way.
std::optional<FdbEntry> GetFdb(RouteSocket &sock, int iBridgeIndex, const MacBytes &mac) {
  Request<struct ndmsg> req(RTM_GETNEIGH, 0);
  req.fam.ndm_family = AF_BRIDGE;
  req.fam.ndm_flags = NTF_MASTER;
  const uint32_t ulMaster = static_cast<uint32_t>(iBridgeIndex);
  req.Add(NDA_LLADDR, mac.data(), mac.size());
  req.Add(NDA_MASTER, &ulMaster, sizeof(ulMaster));
  std::optional<FdbEntry> found;
  sock.Ask(&req.nh, [&](const struct nlmsghdr *nh) {
    found = ParseFdbEntry(nh);
    return true;
  });
  if (found && (found->mac != mac || found->iBridgeIndex != iBridgeIndex)) found.reset();
  return found;
}

// Walks the forwarding database (of one bridge when iBridgeIndex is non-zero)
// until visit returns true.
void WalkFdb(RouteSocket &sock, int iBridgeIndex,
             const std::function<bool(const FdbEntry &)> &visit) {
  auto each = [&](const struct nlmsghdr *nh) {
    std::optional<FdbEntry> entry = ParseFdbEntry(nh);
    if (!entry || (iBridgeIndex > 0 && entry->iBridgeIndex != iBridgeIndex)) return false;
    return visit(*entry);
  };
  if (iBridgeIndex > 0 && sock.Strict()) {
    Request<struct ndmsg> req(RTM_GETNEIGH, NLM_F_DUMP);
    req.fam.ndm_family = AF_BRIDGE;
    const uint32_t ulMaster = static_cast<uint32_t>(iBridgeIndex);
    req.Add(NDA_MASTER, &ulMaster, sizeof(ulMaster));
    if (sock.Ask(&req.nh, each)) return;
  }
  // Unfiltered: the kernel knows no strict checking, or refused the filter.
  Request<struct ndmsg> req(RTM_GETNEIGH, NLM_F_DUMP);
  req.fam.ndm_family = AF_BRIDGE;
  sock.Ask(&req.nh, each);
}

// Name and bridge port number of an interface, in one link request.
bool LinkOf(RouteSocket &sock, int iIndex, std::string *pName, uint16_t *pusPortNo) {
  Request<struct ifinfomsg> req(RTM_GETLINK, 0);
  req.fam.ifi_family = AF_UNSPEC;
  req.fam.ifi_index = iIndex;
  const uint32_t ulMask = RTEXT_FILTER_SKIP_STATS;
  req.Add(IFLA_EXT_MASK, &ulMask, sizeof(ulMask));
  std::optional<LinkInfo> link;
  sock.Ask(&req.nh, [&](const struct nlmsghdr *nh) {
    link = ParseLink(nh);
    return true;
  });
  if (!link || link->iIndex != iIndex) return false;
  *pName = std::move(link->name);
  *pusPortNo = link->usPortNo;
  return true;
}

std::optional<FdbHit> HitOf(RouteSocket &sock, const FdbEntry &entry) {
  FdbHit hit;
  if (!LinkOf(sock, entry.iPortIndex, &hit.port, &hit.usPortNo)) return std::nullopt;
  hit.ulAgeingMs = TicksToMs(entry.ulUpdatedTicks);
  return hit;
}

// ---------------------------------------------------------------------------

class LinuxNet final : public NetBackend {
 public:
  std::vector<std::string> BridgeNames() override {
    std::vector<std::pair<uint32_t, std::string>> found;
    for (std::string &name : ListDir(kSysNet)) {
      std::optional<uint32_t> number = BridgeNumber(name);
      if (number && PathExists(kSysNet + name + "/bridge")) found.emplace_back(*number, name);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> names;
    for (auto &entry : found) names.push_back(std::move(entry.second));
    return names;
  }

  std::vector<std::string> BridgePorts(const std::string &bridge) override {
    if (!IsValidIfName(bridge)) return {};
    std::vector<std::string> ports = ListDir(kSysNet + bridge + "/brif");
    std::sort(ports.begin(), ports.end());
    return ports;
  }

  std::optional<uint32_t> BridgeKeyOf(const std::string &ifname) override {
    if (!IsValidIfName(ifname) || !PathExists(kSysNet + ifname)) return std::nullopt;
    char target[256];
    ssize_t n = readlink((kSysNet + ifname + "/brport/bridge").c_str(), target, sizeof(target) - 1);
    if (n <= 0) return LUM_BRIDGE_KEY_NONE;
    std::string_view link(target, static_cast<size_t>(n));
    size_t slash = link.rfind('/');
    std::string_view bridge = slash == std::string_view::npos ? link : link.substr(slash + 1);
    return BridgeNumber(bridge).value_or(LUM_BRIDGE_KEY_NONE);
  }

  std::optional<FdbHit> FdbLookup(const MacBytes &mac, const std::string &bridge) override {
    if (const FdbMirror *mirror = LoopMirror())
      return mirror->Lookup(mac, bridge, lum::clock::NowMs());
    int iBridgeIndex = 0;
    if (!bridge.empty()) {
      iBridgeIndex = static_cast<int>(if_nametoindex(bridge.c_str()));
      if (iBridgeIndex <= 0) return std::nullopt;
    }
    RouteSocket &sock = RouteSocket::Get();
    std::unique_lock<std::mutex> lock = sock.Lock();
    // The exact lookup answers the usual case; the walk finds what it cannot:
    // entries learnt in a VLAN, and the search over every bridge.
    if (iBridgeIndex > 0) {
      std::optional<FdbEntry> entry = GetFdb(sock, iBridgeIndex, mac);
      if (entry) return HitOf(sock, *entry);
    }
    std::optional<FdbEntry> found;
    WalkFdb(sock, iBridgeIndex, [&](const FdbEntry &entry) {
      if (entry.mac == mac) found = entry;
      return found.has_value();
    });
    if (!found) return std::nullopt;
    return HitOf(sock, *found);
  }

  bool StaAssociated(const MacBytes &mac) override {
    if (const FdbMirror *mirror = LoopMirror()) return mirror->StaAssociated(mac);
    RouteSocket &sock = RouteSocket::Get();
    std::unique_lock<std::mutex> lock = sock.Lock();
    std::vector<int> ports;
    WalkFdb(sock, 0, [&](const FdbEntry &entry) {
      if (entry.mac == mac) ports.push_back(entry.iPortIndex);
      return false;
    });
    for (int port : ports) {
      std::string name;
      uint16_t usPortNo = 0;
      if (LinkOf(sock, port, &name, &usPortNo) && IsWirelessPort(name)) return true;
    }
    return false;
  }
};

}  // namespace

NetBackend &LinuxBackend() {
  static LinuxNet backend;
  return backend;
}

}  // namespace lum::net
