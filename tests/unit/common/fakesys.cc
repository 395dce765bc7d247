#include "tests/unit/common/fakesys.h"

#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "platform/sys.h"

namespace faketest {

namespace {

FakeSys *g_pstCurrent = nullptr;
int g_iNextFd = 1000;

int FakeSocket(int d, int t, int p) {
  FakeSys *sys = g_pstCurrent;
  if (sys->iFailSocket > 0) {
    --sys->iFailSocket;
    errno = EPERM;
    return -1;
  }
  int fd = g_iNextFd++;
  sys->sockets[fd] = SocketInfo{d, t, p, {}, {}, false};
  return fd;
}

int FakeSetSockOpt(int fd, int level, int name, const void *value, unsigned int len) {
  FakeSys *sys = g_pstCurrent;
  auto it = sys->sockets.find(fd);
  if (it == sys->sockets.end()) {
    errno = EBADF;
    return -1;
  }
  auto fail = sys->failOption.find({level, name});
  if (fail != sys->failOption.end()) {
    errno = fail->second;
    return -1;
  }
  it->second.options.emplace_back(level, name);
  if (level == SOL_SOCKET && name == SO_BINDTODEVICE) {
    std::string ifname(static_cast<const char *>(value),
                       strnlen(static_cast<const char *>(value), len));
    if (sys->interfaces.count(ifname) == 0) {
      errno = ENODEV;
      return -1;
    }
    it->second.boundTo = ifname;
  }
  return 0;
}

int FakeIoctl(int fd, unsigned long request, void *arg) {
  FakeSys *sys = g_pstCurrent;
  if (sys->sockets.count(fd) == 0) {
    errno = EBADF;
    return -1;
  }
  auto *ifr = static_cast<struct ifreq *>(arg);
  std::string name(ifr->ifr_name, strnlen(ifr->ifr_name, IFNAMSIZ));
  auto it = sys->interfaces.find(name);
  if (it == sys->interfaces.end()) {
    errno = ENODEV;
    return -1;
  }
  if (request == SIOCGIFHWADDR) {
    ifr->ifr_hwaddr.sa_family = 1;
    memcpy(ifr->ifr_hwaddr.sa_data, it->second.aucMac, 6);
    return 0;
  }
  if (request == SIOCGIFADDR) {
    if (it->second.ulIpAddr == 0) {
      errno = EADDRNOTAVAIL;
      return -1;
    }
    auto *sin = reinterpret_cast<struct sockaddr_in *>(&ifr->ifr_addr);
    sin->sin_family = AF_INET;
    sin->sin_addr.s_addr = it->second.ulIpAddr;
    return 0;
  }
  errno = EINVAL;
  return -1;
}

ssize_t FakeRecvFrom(int fd, void *buf, size_t len, int, struct sockaddr *from,
                     unsigned int *fromlen) {
  FakeSys *sys = g_pstCurrent;
  if (sys->sockets.count(fd) == 0 || sys->toReceive.empty()) {
    errno = EAGAIN;
    return -1;
  }
  QueuedFrame frame = std::move(sys->toReceive.front());
  sys->toReceive.pop_front();
  size_t n = frame.bytes.size() < len ? frame.bytes.size() : len;
  if (n > 0) memcpy(buf, frame.bytes.data(), n);
  if (from != nullptr && fromlen != nullptr && *fromlen >= 2) {
    std::vector<uint8_t> addr(*fromlen, 0);
    size_t room = *fromlen - 2;
    memcpy(addr.data() + 2, frame.ifname.data(),
           frame.ifname.size() < room ? frame.ifname.size() : room);
    memcpy(from, addr.data(), addr.size());
  }
  return static_cast<ssize_t>(n);
}

ssize_t Record(int fd, const void *buf, size_t len, const struct sockaddr *to, unsigned int tolen) {
  FakeSys *sys = g_pstCurrent;
  auto it = sys->sockets.find(fd);
  if (it == sys->sockets.end()) {
    errno = EBADF;
    return -1;
  }
  if (sys->iFailSend != 0) {
    errno = sys->iFailSend;
    return -1;
  }
  SentPacket packet{fd, it->second.boundTo, {}, {}};
  packet.bytes.assign(static_cast<const uint8_t *>(buf), static_cast<const uint8_t *>(buf) + len);
  if (to != nullptr) {
    packet.dest.assign(reinterpret_cast<const uint8_t *>(to),
                       reinterpret_cast<const uint8_t *>(to) + tolen);
  }
  sys->sent.push_back(std::move(packet));
  return static_cast<ssize_t>(len);
}

ssize_t FakeSendTo(int fd, const void *buf, size_t len, int, const struct sockaddr *to,
                   unsigned int tolen) {
  return Record(fd, buf, len, to, tolen);
}

ssize_t FakeSendMsg(int fd, const struct msghdr *msg, int) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < msg->msg_iovlen; ++i) {
    const auto *base = static_cast<const uint8_t *>(msg->msg_iov[i].iov_base);
    bytes.insert(bytes.end(), base, base + msg->msg_iov[i].iov_len);
  }
  return Record(fd, bytes.data(), bytes.size(), static_cast<const struct sockaddr *>(msg->msg_name),
                msg->msg_namelen);
}

int FakeClose(int fd) {
  auto it = g_pstCurrent->sockets.find(fd);
  if (it == g_pstCurrent->sockets.end() || it->second.bClosed) {
    errno = EBADF;
    return -1;
  }
  it->second.bClosed = true;
  return 0;
}

}  // namespace

FakeSys::FakeSys() {
  g_pstCurrent = this;
  lum::sys::Ops &ops = lum::sys::Current();
  ops.socket = FakeSocket;
  ops.setsockopt = FakeSetSockOpt;
  ops.ioctl = FakeIoctl;
  ops.recvfrom = FakeRecvFrom;
  ops.sendto = FakeSendTo;
  ops.sendmsg = FakeSendMsg;
  ops.close = FakeClose;
}

FakeSys::~FakeSys() {
  lum::sys::Reset();
  g_pstCurrent = nullptr;
}

int FakeSys::OpenCount() const {
  int count = 0;
  for (const auto &entry : sockets) count += entry.second.bClosed ? 0 : 1;
  return count;
}

FakeSys *FakeSys::Current() { return g_pstCurrent; }

}  // namespace faketest
