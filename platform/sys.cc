// The socket-call table: the real system calls unless a test swapped some.
#include "platform/sys.h"

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int RealSocket(int iDomain, int iType, int iProtocol) {
  return ::socket(iDomain, iType, iProtocol);
}

int RealSetSockOpt(int iFd, int iLevel, int iName, const void *pvValue, unsigned int ulLen) {
  return ::setsockopt(iFd, iLevel, iName, pvValue, ulLen);
}

int RealIoctl(int iFd, unsigned long ulRequest, void *pvArg) {
  return ::ioctl(iFd, ulRequest, pvArg);
}

ssize_t RealRecvFrom(int iFd, void *pvBuf, size_t ulLen, int iFlags, struct sockaddr *pstFrom,
                     unsigned int *pulFromLen) {
  return ::recvfrom(iFd, pvBuf, ulLen, iFlags, pstFrom, pulFromLen);
}

ssize_t RealSendTo(int iFd, const void *pvBuf, size_t ulLen, int iFlags,
                   const struct sockaddr *pstTo, unsigned int ulToLen) {
  return ::sendto(iFd, pvBuf, ulLen, iFlags, pstTo, ulToLen);
}

ssize_t RealSendMsg(int iFd, const struct msghdr *pstMsg, int iFlags) {
  return ::sendmsg(iFd, pstMsg, iFlags);
}

int RealClose(int iFd) { return ::close(iFd); }

constexpr lum::sys::Ops kRealOps{RealSocket, RealSetSockOpt, RealIoctl, RealRecvFrom,
                                 RealSendTo, RealSendMsg,    RealClose};

// Constant-initialised: usable before main, no constructor runs.
constinit lum::sys::Ops g_stOps = kRealOps;

}  // namespace

namespace lum::sys {

Ops &Current() { return g_stOps; }

void Reset() { g_stOps = kRealOps; }

}  // namespace lum::sys
