// Socket calls that never reach a kernel, for the fuzz targets and benchmarks:
// every socket opens, nothing arrives, every send succeeds and nothing is kept
// (a recording fake would grow without end over millions of runs). Interface
// queries know brN for N 0 and 1: MAC 02:00:00:00:00:0<N+1>, 192.168.<N+1>.1.
#pragma once

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/sys.h"

namespace nullsockets {

inline constexpr uint8_t kBr0Mac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

inline int g_iNextFd = 100000;
inline int Socket(int, int, int) { return g_iNextFd++; }
inline int SetSockOpt(int, int, int, const void *, unsigned int) { return 0; }
inline int Close(int) { return 0; }
inline ssize_t RecvFrom(int, void *, size_t, int, struct sockaddr *, unsigned int *) {
  errno = EAGAIN;
  return -1;
}
inline ssize_t SendTo(int, const void *, size_t len, int, const struct sockaddr *, unsigned int) {
  return static_cast<ssize_t>(len);
}
inline ssize_t SendMsg(int, const struct msghdr *, int) { return 0; }

inline int Ioctl(int, unsigned long request, void *arg) {
  auto *ifr = static_cast<struct ifreq *>(arg);
  uint8_t n = 0;
  if (strncmp(ifr->ifr_name, "br0", IFNAMSIZ) == 0) n = 1;
  if (strncmp(ifr->ifr_name, "br1", IFNAMSIZ) == 0) n = 2;
  if (n == 0) {
    errno = ENODEV;
    return -1;
  }
  if (request == SIOCGIFHWADDR) {
    memcpy(ifr->ifr_hwaddr.sa_data, kBr0Mac, sizeof(kBr0Mac));
    ifr->ifr_hwaddr.sa_data[5] = static_cast<char>(n);
    return 0;
  }
  if (request == SIOCGIFADDR) {
    auto *sin = reinterpret_cast<struct sockaddr_in *>(&ifr->ifr_addr);
    sin->sin_family = AF_INET;
    sin->sin_addr.s_addr = htonl(0xC0A80001 | static_cast<uint32_t>(n) << 8);
    return 0;
  }
  errno = EINVAL;
  return -1;
}

inline void Install() {
  lum::sys::Ops &ops = lum::sys::Current();
  ops.socket = Socket;
  ops.setsockopt = SetSockOpt;
  ops.ioctl = Ioctl;
  ops.recvfrom = RecvFrom;
  ops.sendto = SendTo;
  ops.sendmsg = SendMsg;
  ops.close = Close;
}

}  // namespace nullsockets
