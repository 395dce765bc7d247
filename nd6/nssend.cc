// One Neighbor Solicitation, unicast to the address being probed, out of one
// bridge. Each call opens, uses and closes its own socket.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>

#include "nd6/nd6.h"
#include "platform/sys.h"

namespace {

constexpr int kIcmp6Proto = 58;
constexpr size_t kNsLen = 32;
constexpr uint8_t kNsType = 135;
constexpr size_t kNsTargetOffset = 8;
constexpr size_t kNsOptionOffset = 24;
constexpr uint8_t kOptSourceLinkAddr = 1;

struct SockOption {
  int iLevel;
  int iName;
  int iValue;
};

// In this order. The kernel computes the ICMPv6 checksum itself and may refuse
// the first one; the socket is still usable then. The socket is never read.
constexpr SockOption kSendOptions[] = {
    {IPPROTO_IPV6, IPV6_CHECKSUM, 2},         {SOL_SOCKET, SO_REUSEADDR, 1},
    {IPPROTO_IPV6, IPV6_UNICAST_HOPS, 255},  // receivers drop ND with any other hop limit
    {IPPROTO_IPV6, IPV6_MULTICAST_HOPS, 255}, {SOL_SOCKET, SO_RCVBUF, 0},
};

static_assert(IPPROTO_IPV6 == 41 && IPV6_CHECKSUM == 7 && IPV6_UNICAST_HOPS == 16 &&
              IPV6_MULTICAST_HOPS == 18);
static_assert(SOL_SOCKET == 1 && SO_REUSEADDR == 2 && SO_RCVBUF == 8 && SO_BINDTODEVICE == 25);

constexpr size_t kIfNameBufLen = 32;
constexpr size_t kIfNameMax = 15;  // 16 bytes with the terminator

}  // namespace

bool HostmonBindIcmp6Socket(int iFd, const char *pcName) {
  char acIfName[kIfNameBufLen] = {};
  (void)new_snprintf_s(__FILE__, __LINE__, acIfName, sizeof(acIfName), kIfNameMax, "%s",
                       pcName != nullptr ? pcName : "");
  // An empty name would unbind the socket: it would hear, or send, anywhere.
  return acIfName[0] != '\0' &&
         lum::sys::SetSockOpt(iFd, SOL_SOCKET, SO_BINDTODEVICE, acIfName, sizeof(acIfName)) == 0;
}

int HostmonCreateIcmp6SendSocket(const char *pcName) {
  (void)LUM_UTIL_UpRootPrivileges();
  const int iFd = lum::sys::Socket(AF_INET6, SOCK_RAW, kIcmp6Proto);
  if (iFd < 0) {
    HOSTMON_TRACE("create sockert error: %s\r\n", strerror(errno));
    (void)LUM_UTIL_DropRootPrivileges("hostmon");
    return -1;
  }
  for (const SockOption &stOpt : kSendOptions) {
    const int iValue = stOpt.iValue;
    if (lum::sys::SetSockOpt(iFd, stOpt.iLevel, stOpt.iName, &iValue, sizeof(iValue)) < 0) {
      HOSTMON_TRACE("setsockopt error: %s\r\n", strerror(errno));
    }
  }

  if (!HostmonBindIcmp6Socket(iFd, pcName)) {
    (void)lum::sys::Close(iFd);
    HOSTMON_TRACE("setsockopt SO_BINDTODEVICE failed!\n");
    (void)LUM_UTIL_DropRootPrivileges("hostmon");
    return -1;
  }
  (void)LUM_UTIL_DropRootPrivileges("hostmon");
  return iFd;
}

int HostmonSendNeighborSolicit(Bridge *pstBridge, const uint8_t *pucAddr) {
  if (pstBridge == nullptr || pucAddr == nullptr) {
    HOSTMON_TRACE("empty addr to send solicit packet\n");
    return -1;
  }

  uint8_t aucMsg[kNsLen] = {};
  aucMsg[0] = kNsType;  // code, checksum (the kernel's) and reserved stay 0
  memcpy(&aucMsg[kNsTargetOffset], pucAddr, 16);
  aucMsg[kNsOptionOffset] = kOptSourceLinkAddr;
  aucMsg[kNsOptionOffset + 1] = 1;  // in units of 8 bytes
  memcpy(&aucMsg[kNsOptionOffset + 2], pstBridge->aucMac, sizeof(pstBridge->aucMac));

  // Unicast to the target itself; the bound bridge picks the interface, so the
  // scope stays 0 also for link-local targets.
  struct sockaddr_in6 stDest {};
  stDest.sin6_family = AF_INET6;
  stDest.sin6_port = htons(kIcmp6Proto);
  memcpy(&stDest.sin6_addr, pucAddr, sizeof(stDest.sin6_addr));

  struct iovec stIov {};
  stIov.iov_base = aucMsg;
  stIov.iov_len = sizeof(aucMsg);
  struct msghdr stMsg {};
  stMsg.msg_name = &stDest;
  stMsg.msg_namelen = sizeof(stDest);
  stMsg.msg_iov = &stIov;
  stMsg.msg_iovlen = 1;

  const char *pcBridge = pstBridge->pcName != nullptr ? pstBridge->pcName : "";
  const int iFd = HostmonCreateIcmp6SendSocket(pcBridge);
  if (iFd < 0) {
    HOSTMON_TRACE(
        "\r\n##########  HOSTMON Create ICMP6 SEND Socket Fail for bridge [%s]  #######\n",
        pcBridge);
    return -1;
  }
  const ssize_t lSent = lum::sys::SendMsg(iFd, &stMsg, 0);
  if (lSent < 0) HOSTMON_TRACE("hostmon sendto fail, error [%s]\n", strerror(errno));
  (void)lum::sys::Close(iFd);
  return static_cast<int>(lSent);
}
