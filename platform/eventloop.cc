// The event loop: one epoll set, level-triggered, and the timer queue. Every
// callback runs on the thread that called LUM_UTIL_SockBaseStart.
#include "platform/eventloop.h"

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <unordered_map>

#include "platform/clock.h"
#include "platform/lum.h"
#include "platform/sys.h"

namespace {

constexpr int kMaxEvents = 64;
// The epoll token of the wake-up descriptor; registration handles are never 0.
constexpr uint64_t kWakeToken = 0;

struct Registration {
  LUM_SOCK_REG stRec;  // what the callback sees; the address lives as long as the registration
  uint32_t ulHandle;
  int iFd;
  LUM_SOCK_CB pfnProc;
  Registration *pNextRetired;
  bool bFirst;  // served before the others in a round
};

struct Loop {
  int iEpollFd = -1;
  std::unordered_map<uint32_t, std::unique_ptr<Registration>> regs;
  // The registration watching each descriptor number: a handle deleted after
  // its descriptor was closed and reused must not unwatch the new owner.
  std::unordered_map<int, uint32_t> byFd;
  // Deleted while socket callbacks run (a callback may delete itself and still
  // read its record); freed when the round of callbacks ends. Intrusive, so
  // that deleting never allocates.
  Registration *pRetired = nullptr;
  uint32_t ulNextHandle = 1;
  bool bRunning = false;
  bool bDispatching = false;
  pthread_t thread{};  // the running loop's
};

// Touched by LUM_UTIL_SockBaseStop, which may run on another thread or in a
// signal handler: plain atomics, no lazily built object.
std::atomic<bool> g_bStop{false};
std::atomic<int> g_iWakeFd{-1};

Loop &TheLoop() {
  static Loop loop;
  return loop;
}

bool CreateEpoll(Loop &l) {
  if (l.iEpollFd >= 0) return true;
  int wakeFd = g_iWakeFd.load();
  if (wakeFd < 0) {
    wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) {
      LUM_CORE_TRACE("loop: eventfd failed: %s", strerror(errno));
      return false;
    }
    g_iWakeFd.store(wakeFd);
  }
  int epollFd = epoll_create1(EPOLL_CLOEXEC);
  if (epollFd < 0) {
    LUM_CORE_TRACE("loop: epoll_create1 failed: %s", strerror(errno));
    return false;
  }
  struct epoll_event ev {};
  ev.events = EPOLLIN;
  ev.data.u64 = kWakeToken;
  if (epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &ev) != 0) {
    LUM_CORE_TRACE("loop: cannot watch the wake-up descriptor: %s", strerror(errno));
  }
  l.iEpollFd = epollFd;
  return true;
}

uint32_t AllocHandle(Loop &l) {
  for (;;) {
    uint32_t handle = l.ulNextHandle++;
    if (l.ulNextHandle == 0) l.ulNextHandle = 1;
    if (handle != 0 && !l.regs.contains(handle)) return handle;
  }
}

// Unwatches and frees (or retires, during callbacks) one registration. True
// when it still owned its descriptor number: the number was not reused by a
// later registration after a close without a delete.
bool Drop(Loop &l, std::unique_ptr<Registration> reg) {
  bool bOwner = false;
  auto owner = l.byFd.find(reg->iFd);
  if (owner != l.byFd.end() && owner->second == reg->ulHandle) {
    // Fails harmlessly when the owner already closed the descriptor.
    if (l.iEpollFd >= 0) epoll_ctl(l.iEpollFd, EPOLL_CTL_DEL, reg->iFd, nullptr);
    l.byFd.erase(owner);
    bOwner = true;
  }
  if (l.bDispatching) {
    Registration *retired = reg.release();
    retired->pNextRetired = l.pRetired;
    l.pRetired = retired;
  }
  return bOwner;
}

void FreeRetired(Loop &l) {
  while (l.pRetired != nullptr) {
    Registration *next = l.pRetired->pNextRetired;
    delete l.pRetired;
    l.pRetired = next;
  }
}

// epoll_wait failed for a reason other than a signal: our descriptor is gone
// (a stray close elsewhere). Its number is forgotten, not closed (it may now
// be someone else's), and a new set is built from the registrations.
void RebuildEpoll(Loop &l, int iTimeoutMs) {
  LUM_CORE_TRACE("loop: epoll_wait failed: %s; rebuilding the watch set", strerror(errno));
  l.iEpollFd = -1;
  if (!CreateEpoll(l)) {
    // Timers keep running; retry after a pause rather than spin.
    int pauseMs = (iTimeoutMs < 0 || iTimeoutMs > 100) ? 100 : iTimeoutMs;
    struct timespec req {
      0, static_cast<long>(pauseMs) * 1000000L
    };
    nanosleep(&req, nullptr);
    return;
  }
  for (const auto &[fd, handle] : l.byFd) {
    struct epoll_event ev {};
    ev.events = EPOLLIN;
    ev.data.u64 = handle;
    if (epoll_ctl(l.iEpollFd, EPOLL_CTL_ADD, fd, &ev) != 0) {
      LUM_CORE_TRACE("loop: registration 0x%x (fd %d) lost: %s", handle, fd, strerror(errno));
    }
  }
}

void DrainWake() {
  uint64_t count = 0;
  int wakeFd = g_iWakeFd.load();
  if (wakeFd >= 0) {
    ssize_t got = read(wakeFd, &count, sizeof(count));
    (void)got;
  }
}

bool StopRequested() { return g_bStop.load(std::memory_order_relaxed); }

void ServeReady(Loop &l, const struct epoll_event *pstEvents, int iCount) {
  l.bDispatching = true;
  for (bool bFirstPass : {true, false}) {
    for (int i = 0; i < iCount && !StopRequested(); ++i) {
      uint64_t token = pstEvents[i].data.u64;
      if (token == kWakeToken) {
        if (!bFirstPass) DrainWake();
        continue;
      }
      // Gone when deleted by an earlier callback of this round.
      auto found = l.regs.find(static_cast<uint32_t>(token));
      if (found == l.regs.end() || found->second->bFirst != bFirstPass) continue;
      Registration *reg = found->second.get();
      try {
        reg->pfnProc(&reg->stRec);
      } catch (...) {
        LUM_CORE_TRACE("loop: socket callback of 0x%x threw", static_cast<uint32_t>(token));
      }
    }
  }
  l.bDispatching = false;
  FreeRetired(l);
}

void RunDueTimers() {
  uint64_t now = lum::clock::NowMs();
  try {
    while (!StopRequested() && lum::timers::RunOneDue(now)) {
    }
  } catch (...) {
    LUM_CORE_TRACE("loop: a timer callback threw");
  }
}

}  // namespace

uint32_t LUM_UTIL_SockBaseReg(int iFd, uint32_t ulKind, LUM_SOCK_CB pfnProc, uint32_t ulFlag,
                              void *pvContext, uint32_t *pulHandle) {
  if (iFd < 0 || pfnProc == nullptr) {
    LUM_CORE_TRACE("loop: registration refused: fd %d, callback %s", iFd,
                   pfnProc == nullptr ? "missing" : "given");
    return 1;
  }
  Loop &l = TheLoop();
  if (!CreateEpoll(l)) return 1;
  uint32_t handle = AllocHandle(l);
  Registration *reg = nullptr;
  try {
    auto owned = std::make_unique<Registration>();
    reg = owned.get();
    l.regs.emplace(handle, std::move(owned));
    l.byFd.try_emplace(iFd, 0);  // the node exists before the kernel is told
  } catch (...) {
    if (reg != nullptr) l.regs.erase(handle);
    LUM_CORE_TRACE("loop: registration of fd %d refused: out of memory", iFd);
    return 1;
  }
  reg->stRec.aulPlatform[0] = handle;
  reg->stRec.aulPlatform[1] = ulKind;
  reg->stRec.aulPlatform[2] = ulFlag;
  reg->stRec.pvContext = pvContext;
  reg->stRec.lFd = iFd;
  reg->ulHandle = handle;
  reg->iFd = iFd;
  reg->pfnProc = pfnProc;
  reg->pNextRetired = nullptr;
  reg->bFirst = false;

  struct epoll_event ev {};
  ev.events = EPOLLIN;
  ev.data.u64 = handle;
  uint32_t &owner = l.byFd[iFd];
  if (epoll_ctl(l.iEpollFd, EPOLL_CTL_ADD, iFd, &ev) != 0) {
    int err = errno;
    if (owner == 0) l.byFd.erase(iFd);
    l.regs.erase(handle);
    LUM_CORE_TRACE("loop: fd %d not registered: %s", iFd,
                   err == EEXIST ? "already registered" : strerror(err));
    return 1;
  }
  if (owner != 0) {
    // The kernel accepted the number, so the earlier owner's descriptor was
    // closed without a delete: that registration is dead.
    auto stale = l.regs.find(owner);
    owner = handle;
    if (stale != l.regs.end()) {
      LUM_CORE_TRACE("loop: fd %d reused: registration 0x%x dropped", iFd, stale->first);
      std::unique_ptr<Registration> dead = std::move(stale->second);
      l.regs.erase(stale);
      (void)Drop(l, std::move(dead));
    }
  }
  owner = handle;
  if (pulHandle != nullptr) *pulHandle = handle;
  return 0;
}

uint32_t LUM_UTIL_SockBaseDelete(uint32_t ulHandle) {
  Loop &l = TheLoop();
  auto found = l.regs.find(ulHandle);
  if (found == l.regs.end()) {
    LUM_CORE_TRACE("loop: registration 0x%x unknown: not deleted", ulHandle);
    return 1;
  }
  std::unique_ptr<Registration> reg = std::move(found->second);
  l.regs.erase(found);
  const int iFd = reg->iFd;
  const bool bClose = reg->stRec.aulPlatform[2] == LUM_SOCK_FLAG_CLOSE_ON_DELETE;
  if (Drop(l, std::move(reg)) && bClose) (void)lum::sys::Close(iFd);
  return 0;
}

uint32_t LUM_UTIL_SockBaseStart(uint32_t) {
  // Under the manual clock the test drives time itself.
  if (lum::clock::IsManual()) return 0;
  Loop &l = TheLoop();
  if (l.bRunning) {
    LUM_CORE_TRACE("loop: already running on this process");
    return 1;
  }
  if (!CreateEpoll(l)) return 1;
  g_bStop.store(false);
  l.bRunning = true;
  l.thread = pthread_self();
  struct epoll_event events[kMaxEvents];
  while (!StopRequested() && !lum::clock::IsManual()) {
    int timeoutMs = -1;
    uint64_t deadline = 0;
    if (lum::timers::NextDeadline(&deadline)) {
      uint64_t now = lum::clock::NowMs();
      timeoutMs = deadline <= now ? 0 : lum::clock::RealWaitMs(deadline - now, lum::clock::Scale());
    }
    int ready = l.iEpollFd >= 0 ? epoll_wait(l.iEpollFd, events, kMaxEvents, timeoutMs) : -1;
    if (ready < 0) {
      if (l.iEpollFd < 0 || errno != EINTR) RebuildEpoll(l, timeoutMs);
      ready = 0;
    }
    ServeReady(l, events, ready);
    RunDueTimers();
  }
  l.bRunning = false;
  return 0;
}

void LUM_UTIL_SockBaseStop() {
  g_bStop.store(true);
  int wakeFd = g_iWakeFd.load();
  if (wakeFd >= 0) {
    uint64_t one = 1;
    ssize_t put = write(wakeFd, &one, sizeof(one));
    (void)put;
  }
}

namespace lum::loop {

void DeleteAllRegistrations() {
  Loop &l = TheLoop();
  while (!l.regs.empty()) {
    auto first = l.regs.begin();
    std::unique_ptr<Registration> reg = std::move(first->second);
    l.regs.erase(first);
    (void)Drop(l, std::move(reg));  // tests' descriptors stay theirs
  }
  l.byFd.clear();
}

size_t RegistrationCount() { return TheLoop().regs.size(); }

uint32_t RegisterFirst(int iFd, LUM_SOCK_CB pfnProc, uint32_t *pulHandle) {
  uint32_t ulHandle = 0;
  if (LUM_UTIL_SockBaseReg(iFd, 0, pfnProc, 0, nullptr, &ulHandle) != 0) return 1;
  TheLoop().regs.at(ulHandle)->bFirst = true;
  if (pulHandle != nullptr) *pulHandle = ulHandle;
  return 0;
}

bool OnLoopThread() {
  const Loop &l = TheLoop();
  return l.bRunning && pthread_equal(l.thread, pthread_self()) != 0;
}

}  // namespace lum::loop
