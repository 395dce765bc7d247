// The loop. Timers on the manual clock: firing order, periods restarted from
// inside callbacks, once-timers, handles, the clock's arithmetic. Descriptors
// on the real clock, each case within a few ms: callbacks that delete
// registrations, and descriptors closed without a delete.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <deque>
#include <functional>
#include <string>

#include "platform/clock.h"
#include "platform/eventloop.h"
#include "platform/lum.h"
#include "platform/testing.h"

namespace {

namespace lt = lum::testing;

std::string g_log;                                            // every firing as "name@ms"
using Probe = std::pair<std::string, std::function<void()>>;  // name, what it does next

void OnFire(void *pvArg) {
  auto *probe = static_cast<Probe *>(pvArg);
  g_log += (g_log.empty() ? "" : " ") + probe->first + "@" + std::to_string(lt::NowMs());
  if (probe->second) probe->second();
}

class TimersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lt::UseManualClock(1000);
    lt::ResetTimers();
    g_log.clear();
  }
  void TearDown() override {
    lt::ResetTimers();
    lt::UseRealClock();
  }
  uint32_t Add(const char *pcName, uint32_t ulPeriodMs, uint32_t ulOnce,
               std::function<void()> action = {}) {
    return LUM_UTIL_TimerAdd(ulPeriodMs, ulOnce, OnFire, &m_probes.emplace_back(pcName, action));
  }
  std::deque<Probe> m_probes;  // stable addresses
};

TEST_F(TimersTest, FiresInDeadlineOrderTiesInArmingOrderWithoutDrift) {
  Add("c", 300, 1);
  Add("a", 100, 1);
  Add("b", 100, 1);
  Add("d", 200, 0);
  Add("p", 100, 0);  // re-armed for 200 at 100, after d was armed for 200
  for (int i = 0; i < 9; ++i) lt::AdvanceMs(50);  // steps do not shift the phase
  EXPECT_EQ(g_log, "a@100 b@100 p@100 d@200 p@200 c@300 p@300 d@400 p@400");
  EXPECT_EQ(LUM_UTIL_GetSysUpTime(), 1000u);
  lt::AdvanceMs(550);
  EXPECT_EQ(LUM_UTIL_GetSysUpTime(), 1001u);
}

TEST_F(TimersTest, ChgPeriodRestartsAFullPeriodFromNowAndPeriodZeroIsIdle) {
  uint32_t periodic = Add("p", 1000, 0), once = Add("o", 1000, 1);
  // Deferred work: a burst of requests, one action a full period after the last.
  for (int i = 0; i < 3; ++i) {
    lt::AdvanceMs(200);
    EXPECT_EQ(LUM_UTIL_TimerChgPeriod(periodic, 1000) + LUM_UTIL_TimerChgPeriod(once, 1000), 0u);
  }
  lt::AdvanceMs(999);
  EXPECT_EQ(g_log, "");
  lt::AdvanceMs(1001);
  EXPECT_EQ(g_log, "p@1600 o@1600 p@2600");
  // Period 0 stops a timer but keeps its handle for a later start.
  EXPECT_EQ(LUM_UTIL_TimerChgPeriod(periodic, 0), 0u);
  lt::AdvanceMs(100000);
  EXPECT_EQ(LUM_UTIL_TimerChgPeriod(periodic, 10), 0u);
  lt::AdvanceMs(10);
  EXPECT_EQ(g_log, "p@1600 o@1600 p@2600 p@102610");
}

TEST_F(TimersTest, CallbacksDeleteThemselvesOrAnotherDueTimerOrReArmThemselves) {
  for (uint32_t victimOnce : {1u, 0u}) {
    g_log.clear();
    uint32_t self = 0, victim = 0;
    self = Add("a", 100, 0,
               [&] { EXPECT_EQ(LUM_UTIL_TimerDelete(victim) + LUM_UTIL_TimerDelete(self), 0u); });
    victim = Add("b", 100, victimOnce);
    lt::AdvanceMs(1000);
    EXPECT_EQ(g_log, victimOnce != 0 ? "a@100" : "a@1100");
    EXPECT_EQ(lt::ActiveTimerCount(), 0u);
  }
  g_log.clear();
  uint32_t self = Add("p", 100, 0, [&] { EXPECT_EQ(LUM_UTIL_TimerChgPeriod(self, 300), 0u); });
  lt::AdvanceMs(1000);
  EXPECT_EQ(g_log, "p@2100 p@2400 p@2700 p@3000");
}

TEST_F(TimersTest, OnceTimerIsForgottenBeforeItsCallbackWhichMayCreateTheNext) {
  uint32_t global = 0, first = 0;
  std::function<void()> again = [&] {
    EXPECT_NE(LUM_UTIL_TimerChgPeriod(global, 1000), 0u);  // already forgotten
    global = m_probes.size() < 3 ? Add("o", 1000, 1, again) : 0;
    EXPECT_NE(global, first);
  };
  first = global = Add("o", 1000, 1, again);
  lt::AdvanceMs(10000);
  EXPECT_EQ(g_log, "o@1000 o@2000 o@3000");
  EXPECT_EQ(lt::ActiveTimerCount(), 0u);
}

TEST(ClockArithmetic, PeriodsCatchUpWithoutABurst) {
  using lum::timers::NextPeriodicDeadline;
  EXPECT_EQ(NextPeriodicDeadline(100, 12, 111, false), 112u);
  EXPECT_EQ(NextPeriodicDeadline(100, 12, 500, false), 512u);  // periods behind: none missed
  EXPECT_EQ(NextPeriodicDeadline(100, 12, 500, true), 112u);   // the manual clock fires each
  // Scaling rounds down and never needs more than 64 bits (32-bit targets):
  // ten days at the largest scale overflow a plain product.
  EXPECT_EQ(lum::clock::ScaledMs(1999999, 3), 5u);
  EXPECT_EQ(lum::clock::ScaledMs(864000000000000, lum::clock::kMaxScale), 864000000000000u);
  EXPECT_EQ(lum::clock::RealSleepNs(7, 3), 2333333u);
}

TEST_F(TimersTest, HandlesWrapSkippingZeroAndLiveOnesAndACallbackIsRequired) {
  lum::timers::SetNextHandleForTest(0xFFFFFFFF);
  EXPECT_EQ(Add("x", 0, 0), 0xFFFFFFFFu);
  EXPECT_EQ(Add("x", 0, 0), 1u);
  lum::timers::SetNextHandleForTest(1);
  EXPECT_EQ(Add("x", 0, 0), 2u);                               // 1 is live
  EXPECT_EQ(LUM_UTIL_TimerAdd(100, 1, nullptr, nullptr), 0u);  // it would crash when due
}

struct Seen {
  uint32_t ulHandle = 0;
  int iCalls = 0;
  intptr_t lFd = -1;
  std::function<void()> action = [] {};
};

void OnReadable(LUM_SOCK_REG *pstReg) {
  auto *seen = static_cast<Seen *>(pstReg->pvContext);
  ++seen->iCalls;
  seen->lFd = pstReg->lFd;
  seen->action();
}

// Watches one end of a new socket pair, the other end having written a byte
// and closed; the watched end is the test's to close unless flag 1 gave it away.
int Watch(Seen &seen, uint32_t ulFlag = 0) {
  int fds[2] = {-1, -1};
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds), 0);
  EXPECT_EQ(LUM_UTIL_SockBaseReg(fds[0], 5, OnReadable, ulFlag, &seen, &seen.ulHandle), 0u);
  EXPECT_EQ(send(fds[1], "x", 1, 0), 1);
  close(fds[1]);
  return fds[0];
}

// Runs the loop for 10 ms or until a callback stops it, then forgets every
// registration and timer.
void RunLoop() {
  lt::UseRealClock();
  LUM_UTIL_TimerAdd(
      10, 1, [](void *) { LUM_UTIL_SockBaseStop(); }, nullptr);
  EXPECT_EQ(LUM_UTIL_SockBaseStart(0), 0u);
  lt::ResetTimers();
  lum::loop::DeleteAllRegistrations();
}

TEST(EventLoop, CallbacksGetContextAndDescriptorAndMayDeleteThemselvesOrAReadyOne) {
  Seen self, a, b;
  // Not drained: a registration still watched would be called again at once.
  self.action = [&] { EXPECT_EQ(LUM_UTIL_SockBaseDelete(self.ulHandle), 0u); };
  // Each deletes both: the first one called keeps the other from being called.
  a.action = b.action = [&] {
    EXPECT_EQ(LUM_UTIL_SockBaseDelete(a.ulHandle) + LUM_UTIL_SockBaseDelete(b.ulHandle), 0u);
  };
  int fds[] = {Watch(self), Watch(a), Watch(b)};  // all readable before the first wait
  RunLoop();
  EXPECT_EQ(self.iCalls, 1);
  EXPECT_EQ(self.lFd, fds[0]);
  EXPECT_EQ(a.iCalls + b.iCalls, 1);
  char buf[4];  // the descriptors are the owner's: still open
  for (int fd : fds) EXPECT_EQ(recv(fd, buf, sizeof(buf), MSG_DONTWAIT), 1);
  for (int fd : fds) close(fd);
}

// A descriptor closed without a delete and reused: even a registration that
// owned the old number neither unwatches nor closes the new owner's.
TEST(EventLoop, ReusedDescriptorBelongsToTheNewOwnerAndFlagOneClosesOnDelete) {
  Seen stale, fresh, given;
  int old = Watch(stale, LUM_SOCK_FLAG_CLOSE_ON_DELETE);
  EXPECT_NE(LUM_UTIL_SockBaseReg(old, 5, OnReadable, 0, &fresh, &fresh.ulHandle), 0u);  // twice
  close(old);
  fresh.action = [] { LUM_UTIL_SockBaseStop(); };
  int reused = Watch(fresh);
  ASSERT_EQ(reused, old);  // the kernel hands out the lowest free number
  EXPECT_NE(LUM_UTIL_SockBaseDelete(stale.ulHandle), 0u);
  EXPECT_NE(fcntl(reused, F_GETFD), -1);
  RunLoop();
  close(reused);
  EXPECT_EQ(fresh.iCalls, 1);
  EXPECT_EQ(stale.iCalls, 0);
  // Flag 1 hands the descriptor to the loop, which closes it on delete.
  const int iGiven = Watch(given, LUM_SOCK_FLAG_CLOSE_ON_DELETE);
  EXPECT_EQ(LUM_UTIL_SockBaseDelete(given.ulHandle), 0u);
  EXPECT_EQ(fcntl(iGiven, F_GETFD), -1);
}

}  // namespace
