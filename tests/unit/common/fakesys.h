// A kernel stand-in for the daemon's own socket calls (platform/sys.h):
// interface queries answered from a table, frames and packets sent recorded,
// frames to receive queued. Installed for the life of the object.
#pragma once

#include <net/if.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/sys.h"

namespace faketest {

struct FakeInterface {
  uint8_t aucMac[6];
  uint32_t ulIpAddr;  // network byte order; 0: SIOCGIFADDR fails
};

struct SentPacket {
  int iFd;
  std::string ifname;  // bound with SO_BINDTODEVICE
  std::vector<uint8_t> bytes;
  std::vector<uint8_t> dest;  // the destination socket address as passed
};

struct SocketInfo {
  int iDomain, iType, iProtocol;
  std::string boundTo;                       // SO_BINDTODEVICE
  std::vector<std::pair<int, int>> options;  // (level, name) in the order set
  bool bClosed = false;
};

struct QueuedFrame {
  std::vector<uint8_t> bytes;
  std::string ifname;         // reported in the source address after the family
  std::vector<uint8_t> from;  // when set: the whole source address instead
  int iErrno = 0;             // when set: recvfrom fails with it instead
};

class FakeSys {
 public:
  FakeSys() {
    s_pstSys = this;
    lum::sys::Ops &ops = lum::sys::Current();
    // Real descriptors, so that the event loop can watch them.
    ops.socket = [](int d, int t, int p) {
      const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
      if (fd >= 0) s_pstSys->sockets[fd] = SocketInfo{d, t, p, {}, {}, false};
      return fd;
    };
    ops.setsockopt = [](int fd, int level, int name, const void *value, unsigned int len) {
      SocketInfo *info = Open(fd);
      if (info == nullptr) return Fail(EBADF);
      auto fail = s_pstSys->failOption.find({level, name});
      if (fail != s_pstSys->failOption.end()) return Fail(fail->second);
      info->options.emplace_back(level, name);
      if (level != SOL_SOCKET || name != SO_BINDTODEVICE) return 0;
      info->boundTo.assign(static_cast<const char *>(value),
                           strnlen(static_cast<const char *>(value), len));
      return s_pstSys->interfaces.count(info->boundTo) != 0 ? 0 : Fail(ENODEV);
    };
    ops.ioctl = [](int fd, unsigned long request, void *arg) {
      auto *ifr = static_cast<struct ifreq *>(arg);
      auto it =
          s_pstSys->interfaces.find(std::string(ifr->ifr_name, strnlen(ifr->ifr_name, IFNAMSIZ)));
      if (Open(fd) == nullptr) return Fail(EBADF);
      if (it == s_pstSys->interfaces.end()) return Fail(ENODEV);
      if (request == SIOCGIFHWADDR) {
        memcpy(ifr->ifr_hwaddr.sa_data, it->second.aucMac, 6);
        return 0;
      }
      if (request != SIOCGIFADDR) return Fail(EINVAL);
      if (it->second.ulIpAddr == 0) return Fail(EADDRNOTAVAIL);
      const struct sockaddr_in sin = {AF_INET, 0, {it->second.ulIpAddr}, {}};
      memcpy(&ifr->ifr_addr, &sin, sizeof(sin));
      return 0;
    };
    ops.recvfrom = [](int fd, void *buf, size_t len, int, struct sockaddr *from,
                      unsigned int *fromlen) -> ssize_t {
      if (Open(fd) == nullptr || s_pstSys->toReceive.empty()) return Fail(EAGAIN);
      const QueuedFrame frame = std::move(s_pstSys->toReceive.front());
      s_pstSys->toReceive.pop_front();
      if (frame.iErrno != 0) return Fail(frame.iErrno);
      const size_t n = std::min(frame.bytes.size(), len);
      std::copy_n(frame.bytes.begin(), n, static_cast<uint8_t *>(buf));
      memset(from, 0, *fromlen);
      if (!frame.from.empty()) {
        memcpy(from, frame.from.data(), std::min<size_t>(frame.from.size(), *fromlen));
      } else {  // the family, then the interface name
        memcpy(reinterpret_cast<char *>(from) + 2, frame.ifname.data(),
               std::min<size_t>(frame.ifname.size(), *fromlen - 2));
      }
      return static_cast<ssize_t>(n);
    };
    ops.sendto = [](int fd, const void *buf, size_t len, int, const struct sockaddr *to,
                    unsigned int tolen) { return Record(fd, buf, len, to, tolen); };
    ops.sendmsg = [](int fd, const struct msghdr *msg, int) {
      std::vector<uint8_t> bytes;
      for (size_t i = 0; i < msg->msg_iovlen; ++i) {
        const auto *base = static_cast<const uint8_t *>(msg->msg_iov[i].iov_base);
        bytes.insert(bytes.end(), base, base + msg->msg_iov[i].iov_len);
      }
      return Record(fd, bytes.data(), bytes.size(), msg->msg_name, msg->msg_namelen);
    };
    ops.close = [](int fd) {
      SocketInfo *info = Open(fd);
      if (info == nullptr) return Fail(EBADF);
      info->bClosed = true;  // really closed at the end: numbers stay unique
      return 0;
    };
  }
  ~FakeSys() {
    for (const auto &entry : sockets) ::close(entry.first);
    lum::sys::Reset();
    s_pstSys = nullptr;
  }
  FakeSys(const FakeSys &) = delete;
  FakeSys &operator=(const FakeSys &) = delete;

  std::map<std::string, FakeInterface> interfaces;
  std::vector<SentPacket> sent;                    // sendto and sendmsg, in order
  std::map<int, SocketInfo> sockets;               // every socket opened
  std::deque<QueuedFrame> toReceive;               // answered by recvfrom in order
  std::map<std::pair<int, int>, int> failOption;   // (level, name) -> errno to fail with
  std::function<void(const SentPacket &)> onSend;  // a test playing the other side

  int OpenCount() const {  // sockets not closed
    return static_cast<int>(std::count_if(sockets.begin(), sockets.end(),
                                          [](const auto &entry) { return !entry.second.bClosed; }));
  }

 private:
  static int Fail(int iErrno) {
    errno = iErrno;
    return -1;
  }
  static SocketInfo *Open(int fd) {
    auto it = s_pstSys->sockets.find(fd);
    return it == s_pstSys->sockets.end() || it->second.bClosed ? nullptr : &it->second;
  }
  static ssize_t Record(int fd, const void *buf, size_t len, const void *to, unsigned int tolen) {
    SocketInfo *info = Open(fd);
    if (info == nullptr) return Fail(EBADF);
    const auto *pucBuf = static_cast<const uint8_t *>(buf);
    const auto *pucTo = static_cast<const uint8_t *>(to);
    s_pstSys->sent.push_back({fd, info->boundTo, {pucBuf, pucBuf + len}, {}});
    if (pucTo != nullptr) s_pstSys->sent.back().dest.assign(pucTo, pucTo + tolen);
    if (s_pstSys->onSend) s_pstSys->onSend(s_pstSys->sent.back());
    return static_cast<ssize_t>(len);
  }

  static inline FakeSys *s_pstSys = nullptr;
};

}  // namespace faketest
