// The message bus: one Unix datagram socket per application, a folder of
// subscription files for broadcasts, and the capture double used by tests.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/businternal.h"
#include "platform/fsutil.h"
#include "platform/lum.h"
#include "platform/testing.h"

namespace {

constexpr uint32_t kBusFail = 1;

struct BusState {
  std::string dir;
  std::string app;
  int iFd = -1;
  std::string boundPath;
  ino_t ulBoundIno = 0;
  uint32_t ulLoopHandle = 0;
  bool bRegistered = false;
  LUM_MSG_PROC pfnProc = nullptr;
  bool bCapture = false;
  std::vector<lum::testing::SentMsg> sent;
  // End of the part of the receive buffer that may be non-zero: the last
  // datagram and the margin past it, which a handler could have written to.
  size_t ulDirty = 0;
  alignas(16) uint8_t aucRecv[lum::bus::kRecvBufSize] = {};
};

BusState &State() {
  static BusState state;
  return state;
}

void CloseBusSocket(BusState &st) {
  if (st.bRegistered) {
    LUM_UTIL_SockBaseDelete(st.ulLoopHandle);
    st.bRegistered = false;
    st.ulLoopHandle = 0;
  }
  if (st.iFd >= 0) {
    close(st.iFd);
    st.iFd = -1;
  }
  if (!st.boundPath.empty()) {
    lum::bus::UnlinkIfSame(st.boundPath, st.ulBoundIno);
    st.boundPath.clear();
  }
}

void FillHeader(LUM_MSG_HEADER *pstHdr, uint32_t ulType, uint32_t ulData, uint32_t ulLen,
                const std::string &sender) {
  memset(pstHdr, 0, sizeof(*pstHdr));
  pstHdr->ulMsgType = ulType;
  pstHdr->ulPayloadLen = ulLen;
  memcpy(pstHdr->acSendApp, sender.data(), std::min(sender.size(), lum::bus::kMaxSenderChars));
  pstHdr->ulData = ulData;
}

// One datagram to one application; 0 when the kernel took it.
uint32_t SendTo(const BusState &st, const std::string &dest, const void *pvDgram, size_t ulSize,
                uint32_t ulType) {
  if (!lum::bus::ValidAppName(dest)) {
    LUM_BUS_TRACE("send type %x: bad destination name \"%.64s\"\n", ulType, dest.c_str());
    return kBusFail;
  }
  sockaddr_un addr{};
  socklen_t addrLen = 0;
  if (!lum::bus::MakeUnixAddr(st.dir + "/" + dest, &addr, &addrLen)) {
    LUM_BUS_TRACE("send type %x to %s: path too long\n", ulType, dest.c_str());
    return kBusFail;
  }
  ssize_t n = sendto(st.iFd, pvDgram, ulSize, MSG_DONTWAIT | MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr *>(&addr), addrLen);
  if (n < 0 || static_cast<size_t>(n) != ulSize) {
    LUM_BUS_TRACE("send type %x to %s failed: %s\n", ulType, dest.c_str(), strerror(errno));
    return kBusFail;
  }
  return 0;
}

uint32_t Subscribe(const BusState &st, uint32_t ulType) {
  if (st.app.empty() || st.iFd < 0) {
    LUM_BUS_TRACE("subscribe to %x refused: not joined under a name\n", ulType);
    return kBusFail;
  }
  char hex[16];
  snprintf(hex, sizeof(hex), "%04x", ulType);
  std::string folder = st.dir + "/subscriptions/" + hex;
  if (!lum::bus::MakeSharedDir(folder)) {
    LUM_BUS_TRACE("subscribe to %x: cannot create %s: %s\n", ulType, folder.c_str(),
                  strerror(errno));
    return kBusFail;
  }
  std::string file = folder + "/" + st.app;
  int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0660);
  if (fd < 0) {
    LUM_BUS_TRACE("subscribe to %x: cannot create %s: %s\n", ulType, file.c_str(), strerror(errno));
    return kBusFail;
  }
  close(fd);
  return 0;
}

// Every subscriber of the type; 0 when at least one of them took the message.
uint32_t Broadcast(const BusState &st, const void *pvDgram, size_t ulSize, uint32_t ulType) {
  char hex[16];
  snprintf(hex, sizeof(hex), "%04x", ulType);
  std::string folder = st.dir + "/subscriptions/" + hex;
  std::vector<std::string> subscribers;
  for (std::string &name : lum::ListDir(folder)) {
    if (name[0] != '.') subscribers.push_back(std::move(name));
  }
  std::sort(subscribers.begin(), subscribers.end());
  size_t reached = 0;
  for (const std::string &name : subscribers) {
    if (SendTo(st, name, pvDgram, ulSize, ulType) == 0) ++reached;
  }
  if (reached == 0) {
    LUM_BUS_TRACE("broadcast of %x reached none of %zu subscribers\n", ulType, subscribers.size());
    return kBusFail;
  }
  return 0;
}

uint32_t SendImpl(const char *pcDest, uint32_t ulType, uint32_t ulData, const void *pvPayload,
                  uint32_t ulLen) {
  BusState &st = State();
  if (ulLen > 0 && pvPayload == nullptr) {
    LUM_BUS_TRACE("send type %x: %u payload bytes but no payload\n", ulType, ulLen);
    return kBusFail;
  }
  if (ulLen > LUM_MSG_MAX_SIZE - sizeof(LUM_MSG_HEADER)) {
    LUM_BUS_TRACE("send type %x: %u payload bytes exceed the %zu-byte message limit\n", ulType,
                  ulLen, LUM_MSG_MAX_SIZE);
    return kBusFail;
  }
  if (st.bCapture) {
    lum::testing::SentMsg msg{
        pcDest != nullptr, pcDest != nullptr ? pcDest : "", ulType, ulData, {}};
    if (ulLen > 0) {
      const auto *bytes = static_cast<const uint8_t *>(pvPayload);
      msg.payload.assign(bytes, bytes + ulLen);
    }
    st.sent.push_back(std::move(msg));
    return 0;
  }
  if (pcDest == nullptr && ulType == LUM_MSG_SUBSCRIBE) return Subscribe(st, ulData);
  if (st.iFd < 0) {
    LUM_BUS_TRACE("send type %x: bus not initialised\n", ulType);
    return kBusFail;
  }
  std::vector<uint8_t> dgram(sizeof(LUM_MSG_HEADER) + ulLen);
  LUM_MSG_HEADER hdr;
  FillHeader(&hdr, ulType, ulData, ulLen, st.app);
  memcpy(dgram.data(), &hdr, sizeof(hdr));
  if (ulLen > 0) memcpy(dgram.data() + sizeof(hdr), pvPayload, ulLen);
  if (pcDest == nullptr) return Broadcast(st, dgram.data(), dgram.size(), ulType);
  return SendTo(st, pcDest, dgram.data(), dgram.size(), ulType);
}

void BusSockProc(LUM_SOCK_REG *) noexcept {
  try {
    lum::bus::ReceiveOne();
  } catch (...) {
    LUM_BUS_TRACE("bus: a message procedure threw\n");
  }
}

}  // namespace

namespace lum::bus {

std::string DirFromEnv() { return lum::EnvOr("LUM_BUS_DIR", "/var/run/lumbus"); }
const std::string &Dir() { return State().dir; }
const std::string &App() { return State().app; }

bool MakeSharedDir(const std::string &path) {
  if (path.empty()) return false;
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    std::string part = path.substr(0, pos);
    if (mkdir(part.c_str(), 0770) == 0) {
      chmod(part.c_str(), 0770);  // the umask must not take the group's rights
    } else if (errno != EEXIST) {
      return false;
    }
  }
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ValidAppName(const std::string &name) {
  return !name.empty() && name.size() <= 255 && name[0] != '.' &&
         name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

bool MakeUnixAddr(const std::string &path, sockaddr_un *pstAddr, socklen_t *pulLen) {
  memset(pstAddr, 0, sizeof(*pstAddr));
  if (path.empty() || path.size() >= sizeof(pstAddr->sun_path)) return false;
  pstAddr->sun_family = AF_UNIX;
  memcpy(pstAddr->sun_path, path.data(), path.size());
  *pulLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  return true;
}

bool ClaimSocketPath(const std::string &path, int iSockType) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (!S_ISSOCK(st.st_mode)) return false;
  sockaddr_un addr{};
  socklen_t addrLen = 0;
  if (!MakeUnixAddr(path, &addr, &addrLen)) return false;
  int probe = socket(AF_UNIX, iSockType | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (probe < 0) return false;
  int rc = connect(probe, reinterpret_cast<const sockaddr *>(&addr), addrLen);
  int err = errno;
  close(probe);
  // A socket file whose owner is gone refuses connections: it is stale.
  if (rc == 0 || err != ECONNREFUSED) return false;
  return unlink(path.c_str()) == 0 || errno == ENOENT;
}

void UnlinkIfSame(const std::string &path, ino_t ulIno) {
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_ino == ulIno) {
    unlink(path.c_str());
  }
}

int Fd() { return State().iFd; }

RecvResult ReceiveOne() {
  BusState &st = State();
  if (st.iFd < 0) return RecvResult::kNothing;
  iovec iov{st.aucRecv, LUM_MSG_MAX_SIZE};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  ssize_t n = recvmsg(st.iFd, &msg, MSG_DONTWAIT | MSG_TRUNC);
  if (n < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      LUM_BUS_TRACE("bus receive failed: %s\n", strerror(errno));
    }
    return RecvResult::kNothing;
  }
  size_t size = static_cast<size_t>(n);
  size_t written = std::min(size, LUM_MSG_MAX_SIZE);
  // Clear what the previous message left behind, and a margin past this one in
  // case a handler wrote there; never the whole buffer per message.
  size_t clearEnd = std::min(std::max(st.ulDirty, written + kZeroMargin), kRecvBufSize);
  if (clearEnd > written) memset(st.aucRecv + written, 0, clearEnd - written);
  st.ulDirty = clearEnd;

  if (size > LUM_MSG_MAX_SIZE || (msg.msg_flags & MSG_TRUNC) != 0) {
    LUM_BUS_TRACE("bus: dropped a %zu-byte datagram, larger than %zu\n", size, LUM_MSG_MAX_SIZE);
    return RecvResult::kDropped;
  }
  if (size < sizeof(LUM_MSG_HEADER)) {
    LUM_BUS_TRACE("bus: dropped a %zu-byte datagram, shorter than the header\n", size);
    return RecvResult::kDropped;
  }
  LUM_MSG_HEADER hdr;
  memcpy(&hdr, st.aucRecv, sizeof(hdr));
  if (hdr.ulPayloadLen != size - sizeof(LUM_MSG_HEADER)) {
    LUM_BUS_TRACE("bus: dropped type %x: payload length %u but %zu bytes follow the header\n",
                  hdr.ulMsgType, hdr.ulPayloadLen, size - sizeof(LUM_MSG_HEADER));
    return RecvResult::kDropped;
  }
  // The sender's text is read with %s: keep it inside its field.
  st.aucRecv[offsetof(LUM_MSG_HEADER, acSendApp) + sizeof(hdr.acSendApp) - 1] = 0;
  if (st.pfnProc == nullptr) {
    LUM_BUS_TRACE("bus: dropped type %x: no message procedure\n", hdr.ulMsgType);
    return RecvResult::kDropped;
  }
  st.pfnProc(st.aucRecv);
  return RecvResult::kDelivered;
}

void Shutdown() {
  BusState &st = State();
  CloseBusSocket(st);
  DebugServiceClose();
  st.app.clear();
}

}  // namespace lum::bus

uint32_t LUM_MSG_Init(const char *pcAppName) {
  BusState &st = State();
  CloseBusSocket(st);
  lum::bus::DebugServiceClose();
  st.app.clear();
  st.dir = lum::bus::DirFromEnv();
  std::string app = pcAppName != nullptr ? pcAppName : "";
  if (pcAppName != nullptr && !lum::bus::ValidAppName(app)) {
    LUM_BUS_TRACE("bus init: bad application name \"%.64s\"\n", app.c_str());
    return kBusFail;
  }
  if (st.bCapture) {
    st.app = app;
    return 0;
  }
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    LUM_BUS_TRACE("bus init: socket: %s\n", strerror(errno));
    return kBusFail;
  }
  if (!app.empty()) {
    std::string path = st.dir + "/" + app;
    sockaddr_un addr{};
    socklen_t addrLen = 0;
    if (!lum::bus::MakeUnixAddr(path, &addr, &addrLen)) {
      LUM_BUS_TRACE("bus init: socket path too long: %s\n", path.c_str());
      close(fd);
      return kBusFail;
    }
    if (!lum::bus::MakeSharedDir(st.dir)) {
      LUM_BUS_TRACE("bus init: cannot create %s: %s\n", st.dir.c_str(), strerror(errno));
      close(fd);
      return kBusFail;
    }
    if (!lum::bus::ClaimSocketPath(path, SOCK_DGRAM)) {
      LUM_BUS_TRACE("bus init: %s is in use or not a socket\n", path.c_str());
      close(fd);
      return kBusFail;
    }
    if (bind(fd, reinterpret_cast<const sockaddr *>(&addr), addrLen) != 0) {
      LUM_BUS_TRACE("bus init: bind %s: %s\n", path.c_str(), strerror(errno));
      close(fd);
      return kBusFail;
    }
    chmod(path.c_str(), 0660);
    struct stat sockStat {};
    if (lstat(path.c_str(), &sockStat) == 0) {
      st.boundPath = path;
      st.ulBoundIno = sockStat.st_ino;
    }
  }
  st.iFd = fd;
  st.app = app;
  return 0;
}

uint32_t LUM_MSG_RegisterMsgProc(LUM_MSG_PROC pfnProc) {
  State().pfnProc = pfnProc;
  return 0;
}

uint32_t LUM_MSG_Send(const char *pcDest, uint32_t ulType, uint32_t ulData, const void *pvPayload,
                      uint32_t ulLen) {
  try {
    return SendImpl(pcDest, ulType, ulData, pvPayload, ulLen);
  } catch (...) {
    LUM_BUS_TRACE("send type %x: out of memory\n", ulType);
    return kBusFail;
  }
}

uint32_t LUM_MSG_SendSimpleMsg(const char *pcDest, uint32_t ulType, uint32_t ulData) {
  return LUM_MSG_Send(pcDest, ulType, ulData, nullptr, 0);
}

uint32_t LUM_MSG_SendMsgData(const char *pcDest, uint32_t ulType, const void *pvPayload,
                             uint32_t ulLen) {
  return LUM_MSG_Send(pcDest, ulType, 0, pvPayload, ulLen);
}

uint32_t LUM_UTIL_SockBaseRegEvtProc() {
  BusState &st = State();
  // Capture mode and client mode have nothing to serve.
  if (st.iFd < 0 || st.app.empty()) return 0;
  if (!st.bRegistered) {
    uint32_t handle = 0;
    if (LUM_UTIL_SockBaseReg(st.iFd, lum::bus::kSockKindBus, BusSockProc, 0, nullptr, &handle) !=
        0) {
      LUM_BUS_TRACE("bus: cannot register the bus socket with the loop\n");
      return kBusFail;
    }
    st.ulLoopHandle = handle;
    st.bRegistered = true;
  }
  return lum::bus::DebugServiceOpen(st.dir, st.app);
}

namespace lum::testing {

void CaptureBus() {
  BusState &st = State();
  st.bCapture = true;
  st.sent.clear();
}

void ReleaseBus() {
  BusState &st = State();
  st.bCapture = false;
  st.sent.clear();
}

std::vector<SentMsg> &SentMessages() { return State().sent; }

void DeliverMessage(uint32_t ulType, uint32_t ulData, const std::vector<uint8_t> &payload,
                    const std::string &sender) {
  BusState &st = State();
  if (st.pfnProc == nullptr) return;
  // Heap storage from operator new is aligned for the header's words.
  std::vector<uint8_t> buf(sizeof(LUM_MSG_HEADER) + payload.size() + lum::bus::kZeroMargin, 0);
  LUM_MSG_HEADER hdr;
  FillHeader(&hdr, ulType, ulData, static_cast<uint32_t>(payload.size()), sender);
  memcpy(buf.data(), &hdr, sizeof(hdr));
  if (!payload.empty()) memcpy(buf.data() + sizeof(hdr), payload.data(), payload.size());
  st.pfnProc(buf.data());
}

}  // namespace lum::testing
