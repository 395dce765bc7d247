// The socket calls the daemon makes itself (packet and raw sockets, interface
// ioctls). They go through this table so that a test can answer them without a
// kernel; the default entries are the real system calls.
#pragma once

#include <sys/types.h>

struct msghdr;
struct sockaddr;

namespace lum::sys {

struct Ops {
  int (*socket)(int iDomain, int iType, int iProtocol);
  int (*setsockopt)(int iFd, int iLevel, int iName, const void *pvValue, unsigned int ulLen);
  int (*ioctl)(int iFd, unsigned long ulRequest, void *pvArg);
  ssize_t (*recvfrom)(int iFd, void *pvBuf, size_t ulLen, int iFlags, struct sockaddr *pstFrom,
                      unsigned int *pulFromLen);
  ssize_t (*sendto)(int iFd, const void *pvBuf, size_t ulLen, int iFlags,
                    const struct sockaddr *pstTo, unsigned int ulToLen);
  ssize_t (*sendmsg)(int iFd, const struct msghdr *pstMsg, int iFlags);
  int (*close)(int iFd);
};

// The table in force. Tests replace entries and restore them with Reset().
Ops &Current();
void Reset();

inline int Socket(int d, int t, int p) { return Current().socket(d, t, p); }
inline int SetSockOpt(int fd, int level, int name, const void *value, unsigned int len) {
  return Current().setsockopt(fd, level, name, value, len);
}
inline int Ioctl(int fd, unsigned long request, void *arg) {
  return Current().ioctl(fd, request, arg);
}
inline ssize_t RecvFrom(int fd, void *buf, size_t len, int flags, struct sockaddr *from,
                        unsigned int *fromlen) {
  return Current().recvfrom(fd, buf, len, flags, from, fromlen);
}
inline ssize_t SendTo(int fd, const void *buf, size_t len, int flags, const struct sockaddr *to,
                      unsigned int tolen) {
  return Current().sendto(fd, buf, len, flags, to, tolen);
}
inline ssize_t SendMsg(int fd, const struct msghdr *msg, int flags) {
  return Current().sendmsg(fd, msg, flags);
}
inline int Close(int fd) { return Current().close(fd); }

}  // namespace lum::sys
