// The Neighbor Discovery listeners: one raw ICMPv6 socket per bridge. Hosts are
// learnt from the Target Link-Layer Address option of the advertisements they
// send; a Router Solicitation is answered with a solicitation of our own, whose
// answer then teaches.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "arp/arp.h"
#include "nd6/nd6.h"
#include "platform/sys.h"
#include "topology/topology.h"

namespace {

constexpr const char *kUser = "hostmon";
constexpr int kIcmp6Proto = 58;
constexpr int kSolRaw = 255;
constexpr int kIcmp6Filter = 1;  // ICMP6_FILTER at level IPPROTO_ICMPV6

constexpr uint8_t kTypeRouterSolicit = 133;
constexpr uint8_t kTypeNeighborSolicit = 135;
constexpr uint8_t kTypeNeighborAdvert = 136;
constexpr uint8_t kOptTargetLinkAddr = 2;

constexpr uint32_t kIcmp6HdrLen = 8;
constexpr uint32_t kNdHdrLen = 24;  // header and Target Address, then options
constexpr size_t kRecvBufLen = 1024;

static_assert(IPV6_RECVPKTINFO == 49 && IPV6_RECVHOPLIMIT == 51 && IPV6_CHECKSUM == 7 &&
              IPV6_UNICAST_HOPS == 16 && IPV6_MULTICAST_HOPS == 18 && IPPROTO_ICMPV6 == 58);
static_assert(sizeof(struct sockaddr_in6) == 28);

// The kernel's type filter: bit T % 32 of word T / 32 set blocks type T.
struct TypeFilter {
  uint32_t aulWords[8];
};

constexpr TypeFilter MakeFilter() {
  TypeFilter stFilter{};
  for (uint32_t &ulWord : stFilter.aulWords) ulWord = 0xFFFFFFFFu;
  for (uint8_t ucType : {kTypeRouterSolicit, kTypeNeighborSolicit, kTypeNeighborAdvert}) {
    stFilter.aulWords[ucType / 32] &= ~(1u << (ucType % 32));
  }
  return stFilter;
}

constexpr TypeFilter kFilter = MakeFilter();

struct ListenOption {
  int iLevel;
  int iName;
  int iValue;          // ignored for the filter
  const char *pcName;  // in the trace of a refusal
};

// In this order; the checksum offset goes at the raw level here.
constexpr ListenOption kListenOptions[] = {
    {IPPROTO_IPV6, IPV6_RECVPKTINFO, 1, "IPV6_RECVPKTINFO"},
    {kSolRaw, IPV6_CHECKSUM, 2, "IPV6_CHECKSUM"},
    {IPPROTO_IPV6, IPV6_UNICAST_HOPS, 255, "IPV6_UNICAST_HOPS"},
    {IPPROTO_IPV6, IPV6_MULTICAST_HOPS, 255, "IPV6_MULTICAST_HOPS"},
    {IPPROTO_IPV6, IPV6_RECVHOPLIMIT, 1, "IPV6_RECVHOPLIMIT"},
    {IPPROTO_ICMPV6, kIcmp6Filter, 0, "ICMPV6_FILTER"},
};

int FailListenSocket(int iFd) {
  if (iFd >= 0) (void)lum::sys::Close(iFd);
  (void)LUM_UTIL_DropRootPrivileges(kUser);
  return -1;
}

}  // namespace

int HostmonCreateIcmp6ListenSocket(const char *pcName) {
  const int iFd = lum::sys::Socket(AF_INET6, SOCK_RAW, kIcmp6Proto);
  if (iFd < 0) {
    HOSTMON_TRACE("can't create socket(PF_PACKET): %s", strerror(errno));
    return FailListenSocket(-1);
  }
  if (!HostmonBindIcmp6Socket(iFd, pcName)) {
    (void)lum::sys::Close(iFd);
    HOSTMON_TRACE("setsockopt SO_BINDTODEVICE failed!\n");
    (void)LUM_UTIL_DropRootPrivileges(kUser);
    return -1;
  }
  for (const ListenOption &stOpt : kListenOptions) {
    const int iValue = stOpt.iValue;
    const bool bFilter = stOpt.iLevel == IPPROTO_ICMPV6;
    const void *pvValue = bFilter ? static_cast<const void *>(&kFilter) : &iValue;
    const unsigned int ulLen = bFilter ? sizeof(kFilter) : sizeof(iValue);
    if (lum::sys::SetSockOpt(iFd, stOpt.iLevel, stOpt.iName, pvValue, ulLen) < 0) {
      HOSTMON_TRACE("setsockopt(%s): %s", stOpt.pcName, strerror(errno));
      return FailListenSocket(iFd);
    }
  }
  HostmonSizeListenBuffer(iFd);
  (void)LUM_UTIL_DropRootPrivileges(kUser);
  return iFd;
}

uint32_t HostmonIcmp6ListenAll() {
  for (Bridge *pstBridge = LUM_HOSTMON_GetBridgeList(); pstBridge != nullptr;
       pstBridge = pstBridge->pstNext) {
    if (pstBridge->ulIcmp6SockHandle != 0) {
      HOSTMON_TRACE("Bridge [%s] is already listening ...\n", pstBridge->pcName);
      continue;
    }
    const int iFd = HostmonCreateIcmp6ListenSocket(pstBridge->pcName);
    if (iFd < 0) {
      // The rest wait for the next refresh, which tries again.
      HOSTMON_TRACE(
          "\r\n##########  HOSTMON Create ICMP6 Listen Socket Fail for bridge [%s]  #######\n",
          pstBridge->pcName);
      return 1;
    }
    // Flag 1: the loop closes the socket when the bridge's registration goes.
    const uint32_t ulRet = LUM_UTIL_SockBaseReg(iFd, LUM_SOCK_KIND_ICMP6, HostmonIcmp6SocketProc, 1,
                                                pstBridge, &pstBridge->ulIcmp6SockHandle);
    if (ulRet != 0) {
      (void)lum::sys::Close(iFd);
      return ulRet;
    }
  }
  return HOSTMON_OK;
}

void HostmonIcmp6SocketProc(LUM_SOCK_REG *pstReg) {
  if (pstReg == nullptr || pstReg->pvContext == nullptr) {
    HOSTMON_TRACE("ICMPv6 socket proc with invalid parameter %p.\n", static_cast<void *>(pstReg));
    return;
  }
  Bridge *pstBridge = static_cast<Bridge *>(pstReg->pvContext);
  uint8_t aucBuf[kRecvBufLen] = {};
  struct sockaddr_in6 stFrom {};
  unsigned int ulFromLen = sizeof(stFrom);
  // A longer message is cut to the buffer; its ancillary data is discarded.
  const ssize_t lLen = lum::sys::RecvFrom(static_cast<int>(pstReg->lFd), aucBuf, sizeof(aucBuf), 0,
                                          reinterpret_cast<struct sockaddr *>(&stFrom), &ulFromLen);
  if (lLen < 0) {
    HOSTMON_TRACE("recvmsg icmpv6 failed with errno %d\n", errno);
    return;
  }
  char acFrom[64];
  if (inet_ntop(stFrom.sin6_family, &stFrom.sin6_addr, acFrom, sizeof(acFrom)) != nullptr) {
    HOSTMON_TRACE("ICMPv6 packet with length [%d] from address [%s].\n", static_cast<int>(lLen),
                  acFrom);
  }
  uint8_t aucSource[16];
  memcpy(aucSource, &stFrom.sin6_addr, sizeof(aucSource));
  HostmonIcmp6Input(pstBridge, aucBuf, static_cast<uint32_t>(lLen), aucSource);
}

void HostmonIcmp6Input(Bridge *pstBridge, const uint8_t *pucMsg, uint32_t ulLen,
                       const uint8_t *pucSource) {
  if (pstBridge == nullptr || pucMsg == nullptr || pucSource == nullptr) return;
  if (ulLen < kIcmp6HdrLen) {
    HOSTMON_TRACE(" received icmpv6 packet with invalid length: %d < sizeof(struct icmp6_hdr) %d",
                  static_cast<int>(ulLen), static_cast<int>(kIcmp6HdrLen));
    return;
  }
  const uint8_t ucType = pucMsg[0];
  const uint8_t ucCode = pucMsg[1];
  if (ucType != kTypeNeighborSolicit && ucType != kTypeNeighborAdvert &&
      ucType != kTypeRouterSolicit) {
    HOSTMON_TRACE("icmpv6 recev filter failed for type [%d].\n", ucType);
    return;
  }
  if (ucType == kTypeNeighborSolicit && ulLen < kNdHdrLen) {
    HOSTMON_TRACE(
        "received icmp6 ND SOLICIT packet with invalid length [%d] < sizeof(struct "
        "nd_neighbor_solicit) %d\n",
        static_cast<int>(ulLen), static_cast<int>(kNdHdrLen));
    return;
  }
  if (ucType == kTypeNeighborAdvert && ulLen < kNdHdrLen) {
    HOSTMON_TRACE(
        "received icmp6 ND ADVERT packet with invalid length [%d] < sizeof(struct "
        "nd_neighbor_advert) %d",
        static_cast<int>(ulLen), static_cast<int>(kNdHdrLen));
    return;
  }
  if (ucType == kTypeRouterSolicit) {
    // Teaches nothing itself: the answer to our solicitation will.
    const int iSent = HostmonSendNeighborSolicit(pstBridge, pucSource);
    HOSTMON_TRACE("Recvd ROUTER_SOLICIT packet, send solicit packet return %d.\n", iSent);
    return;
  }
  if (ucCode != 0) {
    HOSTMON_TRACE("invalid ICMP6 code [%d]", ucCode);
    return;
  }
  HostmonProcessNdPacket(pstBridge, pucMsg + kNdHdrLen, ulLen - kNdHdrLen, pucSource);
}

void HostmonProcessNdPacket(Bridge *pstBridge, const uint8_t *pucOpts, uint32_t ulLen,
                            const uint8_t *pucSource) {
  HOSTMON_TRACE("Process ICMPv6 packet with length %d.\n", static_cast<int>(ulLen));
  while (ulLen != 0) {
    if (ulLen == 1) {
      HOSTMON_TRACE("invalid ND packet length\n");
      return;
    }
    const uint32_t ulOptLen = pucOpts[1] * 8u;
    if (ulOptLen == 0) {
      HOSTMON_TRACE("zero length option in ND packet!\n");
      return;
    }
    if (ulOptLen > ulLen) {
      HOSTMON_TRACE("option length greater than total length in ND packet\n");
      return;
    }
    if (pucOpts[0] != kOptTargetLinkAddr) {
      ulLen -= ulOptLen;
      pucOpts += ulOptLen;
      continue;
    }
    const uint8_t *pucMac = pucOpts + 2;
    HOSTMON_TRACE("ND packet, MAC address is %x:%x:**:**:**:%x\n", pucMac[0], pucMac[1], pucMac[5]);
    Port *pstPort = HostmonGetPortByFdb(pstBridge, pucMac);
    (void)LUM_UTIL_DropRootPrivileges(kUser);
    if (pstPort == nullptr) {
      HOSTMON_TRACE("ND packet, cant not find which port it is from.\n");
      return;
    }
    if (pstPort->pstBridge != pstBridge) {
      HOSTMON_TRACE("Port [%s] has been moved from [%s] to [%s] ...\n", pstPort->pcName,
                    pstPort->pstBridge != nullptr ? pstPort->pstBridge->pcName : "",
                    pstBridge->pcName);
      pstPort->pstBridge = pstBridge;
    }
    HostmonHostSeen(pstBridge, pstPort, pucMac, AF_INET6, pucSource);
    return;  // only the first Target Link-Layer Address counts
  }
}
