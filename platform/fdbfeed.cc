// The rtnetlink socket behind the forwarding-table mirror, and its place in the
// event loop. Socket calls go through lum::sys so that a test can play the
// kernel.
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "platform/eventloop.h"
#include "platform/fdbmirror.h"
#include "platform/rtnl.h"
#include "platform/sys.h"

namespace lum::net {

namespace {

// Notices arrive in bursts (a bridge flushed, a host storm); a large buffer
// makes a lost notice, and the dump that repairs it, rare.
constexpr int kRcvBuf = 1 << 20;
// A dump that stalls must not hang the loop.
constexpr struct timeval kDumpTimeout = {1, 0};
constexpr int kDumpAttempts = 3;

// Large enough for any dump part the kernel builds.
alignas(struct nlmsghdr) char g_acBuf[65536];

}  // namespace

FdbFeed::~FdbFeed() { Close(); }

void FdbFeed::Close() {
  if (m_iFd >= 0) (void)lum::sys::Close(m_iFd);
  m_iFd = -1;
}

bool FdbFeed::Start() {
  Close();
  m_iFd = lum::sys::Socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (m_iFd < 0) {
    LUM_CORE_TRACE("fdb mirror: socket failed: %s", strerror(errno));
    return false;
  }
  if (lum::sys::SetSockOpt(m_iFd, SOL_SOCKET, SO_RCVBUFFORCE, &kRcvBuf, sizeof(kRcvBuf)) != 0) {
    (void)lum::sys::SetSockOpt(m_iFd, SOL_SOCKET, SO_RCVBUF, &kRcvBuf, sizeof(kRcvBuf));
  }
  (void)lum::sys::SetSockOpt(m_iFd, SOL_SOCKET, SO_RCVTIMEO, &kDumpTimeout, sizeof(kDumpTimeout));
  // Subscribed before the dump, so that no change falls between the two. The
  // dump's request binds the socket, which notices need.
  for (int group : {RTNLGRP_LINK, RTNLGRP_NEIGH}) {
    if (lum::sys::SetSockOpt(m_iFd, SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof(group)) !=
        0) {
      LUM_CORE_TRACE("fdb mirror: cannot join group %d: %s", group, strerror(errno));
      Close();
      return false;
    }
  }
  if (!Dump()) {
    Close();
    return false;
  }
  return true;
}

bool FdbFeed::Dump() {
  for (int attempt = 0; attempt < kDumpAttempts; ++attempt) {
    m_mirror.Clear();
    bool bInterrupted = false;
    if (!DumpOne(RTM_GETLINK, AF_UNSPEC, &bInterrupted) ||
        !DumpOne(RTM_GETNEIGH, AF_BRIDGE, &bInterrupted)) {
      return false;
    }
    if (!bInterrupted) return true;
    LUM_CORE_TRACE("fdb mirror: tables changed during the dump, dumping again");
  }
  LUM_CORE_TRACE("fdb mirror: no consistent dump in %d attempts", kDumpAttempts);
  return false;
}

// One dump request and its answer. Notices that arrive meanwhile are applied
// in their place: the dump parts are built when read, so the order holds.
bool FdbFeed::DumpOne(uint16_t usType, uint8_t ucFamily, bool *pbInterrupted) {
  struct {
    struct nlmsghdr nh;
    struct ifinfomsg ifi;  // a neighbour request reads only its leading family byte
  } req{};
  req.nh.nlmsg_len =
      NLMSG_LENGTH(usType == RTM_GETLINK ? sizeof(struct ifinfomsg) : sizeof(struct ndmsg));
  req.nh.nlmsg_type = usType;
  req.nh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  req.nh.nlmsg_seq = ++m_ulSeq;
  req.ifi.ifi_family = ucFamily;
  struct sockaddr_nl kernel {};
  kernel.nl_family = AF_NETLINK;
  if (lum::sys::SendTo(m_iFd, &req, req.nh.nlmsg_len, 0,
                       reinterpret_cast<const struct sockaddr *>(&kernel), sizeof(kernel)) < 0) {
    LUM_CORE_TRACE("fdb mirror: dump request failed: %s", strerror(errno));
    return false;
  }
  for (;;) {
    struct sockaddr_nl from {};
    unsigned int ulFromLen = sizeof(from);
    const ssize_t len = lum::sys::RecvFrom(m_iFd, g_acBuf, sizeof(g_acBuf), 0,
                                           reinterpret_cast<struct sockaddr *>(&from), &ulFromLen);
    if (len < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOBUFS) {  // notices lost: this dump may still finish, but again
        *pbInterrupted = true;
        continue;
      }
      LUM_CORE_TRACE("fdb mirror: dump answer failed: %s", strerror(errno));
      return false;
    }
    if (from.nl_pid != 0) continue;
    const uint64_t ulNow = lum::clock::NowMs();
    enum { kMore, kDone, kRefused } eEnd = kMore;
    ForEachMessage(g_acBuf, static_cast<size_t>(len), [&](const struct nlmsghdr *nh) {
      const bool bOurs = nh->nlmsg_seq == m_ulSeq;
      if (bOurs && (nh->nlmsg_flags & NLM_F_DUMP_INTR) != 0) *pbInterrupted = true;
      if (bOurs && nh->nlmsg_type == NLMSG_DONE) eEnd = kDone;
      if (bOurs && nh->nlmsg_type == NLMSG_ERROR) eEnd = kRefused;
      if (eEnd != kMore) return true;
      if (bOurs || nh->nlmsg_seq == 0) m_mirror.Apply(nh, ulNow);
      return false;
    });
    if (eEnd == kDone) return true;
    if (eEnd == kRefused) {
      LUM_CORE_TRACE("fdb mirror: dump of type %u refused", usType);
      return false;
    }
  }
}

bool FdbFeed::Serve() {
  if (m_iFd < 0) return false;
  for (;;) {
    struct sockaddr_nl from {};
    unsigned int ulFromLen = sizeof(from);
    const ssize_t len = lum::sys::RecvFrom(m_iFd, g_acBuf, sizeof(g_acBuf), MSG_DONTWAIT,
                                           reinterpret_cast<struct sockaddr *>(&from), &ulFromLen);
    if (len < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      if (errno == EINTR) continue;
      if (errno == ENOBUFS) {
        LUM_CORE_TRACE("fdb mirror: notices lost, dumping again");
        if (Dump()) continue;
      } else {
        LUM_CORE_TRACE("fdb mirror: receive failed: %s", strerror(errno));
      }
      Close();
      return false;
    }
    if (len == 0) return true;
    // Only the kernel speaks for the tables.
    if (from.nl_pid == 0) m_mirror.ApplyAll(g_acBuf, static_cast<size_t>(len), lum::clock::NowMs());
  }
}

// ---------------------------------------------------------------------------
// The loop's mirror

namespace {

struct LoopFeed {
  FdbFeed feed;
  uint32_t ulHandle = 0;
  bool bLive = false;
  bool bForked = false;  // a child shares the parent's socket: it asks the kernel
  uint64_t ulRetryAtMs = 0;

  LoopFeed() {
    pthread_atfork(nullptr, nullptr, [] {
      Get().bLive = false;
      Get().bForked = true;
    });
  }
  static LoopFeed &Get() {
    static LoopFeed s;
    return s;
  }
};

constexpr uint64_t kRetryMs = 1000;

void ServeProc(LUM_SOCK_REG *) {
  LoopFeed &s = LoopFeed::Get();
  if (s.feed.Serve()) return;
  (void)LUM_UTIL_SockBaseDelete(s.ulHandle);
  s.ulHandle = 0;
  s.bLive = false;
  s.ulRetryAtMs = lum::clock::NowMs() + kRetryMs;
}

}  // namespace

const FdbMirror *LoopMirror() {
  if (!lum::loop::OnLoopThread()) return nullptr;
  LoopFeed &s = LoopFeed::Get();
  if (s.bLive) return &s.feed.Mirror();
  const uint64_t ulNow = lum::clock::NowMs();
  if (s.bForked || ulNow < s.ulRetryAtMs) return nullptr;
  s.ulRetryAtMs = ulNow + kRetryMs;
  if (!s.feed.Start()) return nullptr;
  if (lum::loop::RegisterFirst(s.feed.Fd(), ServeProc, &s.ulHandle) != 0) {
    s.feed.Stop();
    return nullptr;
  }
  s.bLive = true;
  LUM_CORE_TRACE("fdb mirror: %zu entries", s.feed.Mirror().EntryCount());
  return &s.feed.Mirror();
}

}  // namespace lum::net
