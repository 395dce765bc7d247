// The event loop on the real clock (each case ends within a few ms), and the
// arithmetic of the scaled clock.
#include "platform/eventloop.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <functional>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/lum.h"
#include "platform/testing.h"

namespace {

namespace lt = lum::testing;

struct Seen {
  uint32_t ulHandle = 0;
  int iCalls = 0;
  uintptr_t ulWord3 = 0;  // the context, as the daemon reads it
  uintptr_t ulWord4 = 0;  // the descriptor
  std::function<void(LUM_SOCK_REG *)> action;
};

void OnReadable(LUM_SOCK_REG *pstReg) {
  auto *seen = static_cast<Seen *>(pstReg->pvContext);
  ++seen->iCalls;
  memcpy(&seen->ulWord3, reinterpret_cast<const char *>(pstReg) + 3 * sizeof(uintptr_t),
         sizeof(uintptr_t));
  memcpy(&seen->ulWord4, reinterpret_cast<const char *>(pstReg) + 4 * sizeof(uintptr_t),
         sizeof(uintptr_t));
  if (seen->action) seen->action(pstReg);
}

void Drain(LUM_SOCK_REG *pstReg) {
  char buf[64];
  ssize_t got = recv(static_cast<int>(pstReg->lFd), buf, sizeof(buf), MSG_DONTWAIT);
  (void)got;
}

void StopLoop(void *) { LUM_UTIL_SockBaseStop(); }

void SleepRealMs(long lMs) {
  struct timespec req {
    0, lMs * 1000000L
  };
  nanosleep(&req, nullptr);
}

class EventLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lt::UseRealClock();
    lt::ResetTimers();
    lum::loop::DeleteAllRegistrations();
    // A broken loop ends the case instead of hanging the run.
    LUM_UTIL_TimerAdd(
        2000, 1,
        [](void *pv) {
          *static_cast<bool *>(pv) = true;
          LUM_UTIL_SockBaseStop();
        },
        &m_bTimedOut);
  }
  void TearDown() override {
    EXPECT_FALSE(m_bTimedOut) << "the loop did not stop";
    lt::ResetTimers();
    lum::loop::DeleteAllRegistrations();
    for (int fd : m_fds) close(fd);
  }
  std::array<int, 2> Pair() {
    int fds[2] = {-1, -1};
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds), 0);
    m_fds.push_back(fds[0]);
    m_fds.push_back(fds[1]);
    return {fds[0], fds[1]};
  }
  uint32_t Register(int iFd, Seen &seen) {
    EXPECT_EQ(LUM_UTIL_SockBaseReg(iFd, LUM_SOCK_KIND_ICMP6, OnReadable, 1, &seen, &seen.ulHandle),
              0u);
    EXPECT_NE(seen.ulHandle, 0u);
    return seen.ulHandle;
  }
  static void Send(int iFd) { ASSERT_EQ(send(iFd, "x", 1, 0), 1); }
  void Forget(int iFd) { std::erase(m_fds, iFd); }

  bool m_bTimedOut = false;
  std::vector<int> m_fds;
};

// --- Sockets -----------------------------------------------------------------

TEST_F(EventLoopTest, ReadableSocketCallsBackWithItsContextAndDescriptor) {
  auto [mine, peer] = Pair();
  Seen seen;
  seen.action = [](LUM_SOCK_REG *pstReg) {
    Drain(pstReg);
    LUM_UTIL_SockBaseStop();
  };
  Register(mine, seen);
  Send(peer);
  EXPECT_EQ(LUM_UTIL_SockBaseStart(0), 0u);
  EXPECT_EQ(seen.iCalls, 1);
  EXPECT_EQ(seen.ulWord3, reinterpret_cast<uintptr_t>(&seen));
  EXPECT_EQ(seen.ulWord4, static_cast<uintptr_t>(mine));
}

TEST_F(EventLoopTest, CallbackDeletingItsOwnRegistration) {
  auto [mine, peer] = Pair();
  Seen seen;
  seen.action = [&seen](LUM_SOCK_REG *pstReg) {
    EXPECT_EQ(LUM_UTIL_SockBaseDelete(seen.ulHandle), 0u);
    // The record stays readable until the callback returns.
    EXPECT_EQ(pstReg->pvContext, &seen);
    EXPECT_EQ(static_cast<uintptr_t>(pstReg->lFd), seen.ulWord4);
    // Not drained: a registration still watched would be called again at once.
  };
  Register(mine, seen);
  Send(peer);
  LUM_UTIL_TimerAdd(10, 1, StopLoop, nullptr);
  EXPECT_EQ(LUM_UTIL_SockBaseStart(0), 0u);
  EXPECT_EQ(seen.iCalls, 1);
  EXPECT_NE(LUM_UTIL_SockBaseDelete(seen.ulHandle), 0u);
  EXPECT_EQ(lum::loop::RegistrationCount(), 0u);
  // The descriptor is the owner's: still open.
  EXPECT_EQ(send(peer, "y", 1, 0), 1);
  char buf[4];
  EXPECT_EQ(recv(mine, buf, sizeof(buf), MSG_DONTWAIT), 1);
}

TEST_F(EventLoopTest, ReadyRegistrationDeletedByAnEarlierCallbackIsNotCalled) {
  auto [a, aPeer] = Pair();
  auto [b, bPeer] = Pair();
  Seen seenA, seenB;
  seenA.action = [&seenB](LUM_SOCK_REG *pstReg) {
    Drain(pstReg);
    EXPECT_EQ(LUM_UTIL_SockBaseDelete(seenB.ulHandle), 0u);
  };
  seenB.action = [&seenA](LUM_SOCK_REG *pstReg) {
    Drain(pstReg);
    EXPECT_EQ(LUM_UTIL_SockBaseDelete(seenA.ulHandle), 0u);
  };
  Register(a, seenA);
  Register(b, seenB);
  Send(aPeer);  // both readable before the loop's first wait
  Send(bPeer);
  LUM_UTIL_TimerAdd(10, 1, StopLoop, nullptr);
  EXPECT_EQ(LUM_UTIL_SockBaseStart(0), 0u);
  EXPECT_EQ(seenA.iCalls + seenB.iCalls, 1);
  EXPECT_EQ(lum::loop::RegistrationCount(), 1u);
}

TEST_F(EventLoopTest, RefusesBadDescriptorsMissingCallbackAndUnknownHandles) {
  Seen seen;
  uint32_t handle = 0;
  EXPECT_NE(LUM_UTIL_SockBaseReg(-1, 1, OnReadable, 1, &seen, &handle), 0u);
  auto [mine, peer] = Pair();
  EXPECT_NE(LUM_UTIL_SockBaseReg(mine, 1, nullptr, 1, &seen, &handle), 0u);
  int closed = dup(peer);
  close(closed);
  EXPECT_NE(LUM_UTIL_SockBaseReg(closed, 1, OnReadable, 1, &seen, &handle), 0u);
  EXPECT_EQ(handle, 0u);
  EXPECT_EQ(lum::loop::RegistrationCount(), 0u);
  Register(mine, seen);
  EXPECT_NE(LUM_UTIL_SockBaseReg(mine, 1, OnReadable, 1, &seen, &handle), 0u);
  EXPECT_EQ(lum::loop::RegistrationCount(), 1u);
  EXPECT_NE(LUM_UTIL_SockBaseDelete(0), 0u);
  EXPECT_NE(LUM_UTIL_SockBaseDelete(seen.ulHandle + 1000), 0u);
}

TEST_F(EventLoopTest, DescriptorClosedWithoutDeleteThenReused) {
  auto [old, oldPeer] = Pair();
  Seen stale, fresh;
  Register(old, stale);
  close(old);
  Forget(old);
  auto [reused, peer] = Pair();
  if (reused != old) GTEST_SKIP() << "descriptor number not reused";
  fresh.action = [](LUM_SOCK_REG *pstReg) {
    Drain(pstReg);
    LUM_UTIL_SockBaseStop();
  };
  Register(reused, fresh);
  // The dead registration is gone; deleting its handle cannot unwatch the new owner.
  EXPECT_NE(LUM_UTIL_SockBaseDelete(stale.ulHandle), 0u);
  Send(peer);
  EXPECT_EQ(LUM_UTIL_SockBaseStart(0), 0u);
  EXPECT_EQ(fresh.iCalls, 1);
  EXPECT_EQ(stale.iCalls, 0);
}

TEST_F(EventLoopTest, DeleteAllUnwatchesWithoutClosing) {
  auto [a, aPeer] = Pair();
  auto [b, bPeer] = Pair();
  Seen seenA, seenB;
  Register(a, seenA);
  Register(b, seenB);
  lum::loop::DeleteAllRegistrations();
  EXPECT_EQ(lum::loop::RegistrationCount(), 0u);
  Send(aPeer);
  LUM_UTIL_TimerAdd(5, 1, StopLoop, nullptr);
  EXPECT_EQ(LUM_UTIL_SockBaseStart(0), 0u);
  EXPECT_EQ(seenA.iCalls + seenB.iCalls, 0);
  // Both still open, and registrable again.
  Register(a, seenA);
  Register(b, seenB);
}

// --- Timers in the loop and stopping -----------------------------------------

TEST_F(EventLoopTest, RealTimerFiresInsideTheLoop) {
  static uint64_t s_ulFiredAt;
  s_ulFiredAt = 0;
  uint64_t start = lt::NowMs();
  uint32_t handle = LUM_UTIL_TimerAdd(
      20, 1,
      [](void *) {
        s_ulFiredAt = lt::NowMs();
        LUM_UTIL_SockBaseStop();
      },
      nullptr);
  ASSERT_NE(handle, 0u);
  EXPECT_EQ(LUM_UTIL_SockBaseStart(0), 0u);
  EXPECT_GE(s_ulFiredAt, start + 20);
  EXPECT_LT(s_ulFiredAt, start + 1000);
  uint64_t due = 0;
  EXPECT_FALSE(lt::TimerDueInMs(handle, &due));
}

TEST_F(EventLoopTest, PeriodicRealTimerNeverFiresEarly) {
  static std::vector<uint64_t> s_at;
  s_at.clear();
  uint64_t start = lt::NowMs();
  LUM_UTIL_TimerAdd(
      5, 0,
      [](void *) {
        s_at.push_back(lt::NowMs());
        if (s_at.size() == 3) LUM_UTIL_SockBaseStop();
      },
      nullptr);
  EXPECT_EQ(LUM_UTIL_SockBaseStart(0), 0u);
  ASSERT_EQ(s_at.size(), 3u);
  // Deadlines at start + 5, 10, 15 (a late firing does not push the next one).
  for (size_t k = 0; k < s_at.size(); ++k) EXPECT_GE(s_at[k], start + 5 * (k + 1)) << k;
  EXPECT_LT(s_at[2], start + 1000);
}

TEST_F(EventLoopTest, NestedStartIsRefused) {
  static uint32_t s_ulNested;
  s_ulNested = 0;
  LUM_UTIL_TimerAdd(
      1, 1,
      [](void *) {
        s_ulNested = LUM_UTIL_SockBaseStart(0);
        LUM_UTIL_SockBaseStop();
      },
      nullptr);
  EXPECT_EQ(LUM_UTIL_SockBaseStart(0), 0u);
  EXPECT_NE(s_ulNested, 0u);
}

TEST_F(EventLoopTest, StopFromAnotherThreadWakesTheLoop) {
  // Start forgets earlier stops, so the thread waits until the loop runs; the
  // loop then sleeps in epoll_wait (the watchdog is its only timer).
  static std::atomic<bool> s_bRunning;
  s_bRunning = false;
  LUM_UTIL_TimerAdd(
      1, 1, [](void *) { s_bRunning = true; }, nullptr);
  std::thread stopper([] {
    while (!s_bRunning) SleepRealMs(1);
    SleepRealMs(5);
    LUM_UTIL_SockBaseStop();
  });
  EXPECT_EQ(LUM_UTIL_SockBaseStart(0), 0u);
  stopper.join();
}

TEST_F(EventLoopTest, StartReturnsAtOnceUnderTheManualClock) {
  lt::UseManualClock(1000);
  EXPECT_EQ(LUM_UTIL_SockBaseStart(0), 0u);
  lt::UseRealClock();
}

// --- The scaled clock --------------------------------------------------------

TEST(TimeScaleTest, ParsesWholeNumbersAtLeastOne) {
  using lum::clock::ParseTimeScale;
  EXPECT_EQ(ParseTimeScale(nullptr), 1u);
  EXPECT_EQ(ParseTimeScale(""), 1u);
  EXPECT_EQ(ParseTimeScale("1"), 1u);
  EXPECT_EQ(ParseTimeScale("4"), 4u);
  EXPECT_EQ(ParseTimeScale("100"), 100u);
  EXPECT_EQ(ParseTimeScale("0"), 1u);
  EXPECT_EQ(ParseTimeScale("-3"), 1u);
  EXPECT_EQ(ParseTimeScale("4x"), 1u);
  EXPECT_EQ(ParseTimeScale(" 4"), 1u);
  EXPECT_EQ(ParseTimeScale("2.5"), 1u);
  EXPECT_EQ(ParseTimeScale("1000000"), lum::clock::kMaxScale);
  EXPECT_EQ(ParseTimeScale("1000001"), lum::clock::kMaxScale);
  EXPECT_EQ(ParseTimeScale("99999999999999999999999"), lum::clock::kMaxScale);
}

TEST(TimeScaleTest, PlatformTimeRunsScaleTimesFaster) {
  using lum::clock::ScaledMs;
  EXPECT_EQ(ScaledMs(999999, 1), 0u);
  EXPECT_EQ(ScaledMs(1500000, 1), 1u);
  EXPECT_EQ(ScaledMs(1500000, 4), 6u);
  EXPECT_EQ(ScaledMs(250000000, 4), 1000u);
  // A year of real time at a large scale does not overflow.
  constexpr uint64_t kYearNs = 365ULL * 24 * 3600 * 1000000000ULL;
  EXPECT_EQ(ScaledMs(kYearNs, 1000), 365ULL * 24 * 3600 * 1000 * 1000);
}

TEST(TimeScaleTest, PeriodsAndPausesAreScaleTimesShorter) {
  using lum::clock::RealSleepNs;
  using lum::clock::RealWaitMs;
  EXPECT_EQ(RealWaitMs(1000, 1), 1000);
  EXPECT_EQ(RealWaitMs(1000, 4), 250);
  EXPECT_EQ(RealWaitMs(1001, 4), 251);  // rounded up
  EXPECT_EQ(RealWaitMs(1, 1000), 1);
  EXPECT_EQ(RealWaitMs(0, 4), 0);
  EXPECT_EQ(RealWaitMs(UINT64_MAX, 1), INT_MAX);
  EXPECT_EQ(RealSleepNs(400, 1), 400000000u);
  EXPECT_EQ(RealSleepNs(400, 4), 100000000u);
  EXPECT_EQ(RealSleepNs(12, 1000), 12000u);
}

TEST(TimeScaleTest, TheLoopNeverWakesBeforeADeadline) {
  // After waiting RealWaitMs real ms, at least the asked platform ms have passed.
  for (uint32_t scale : {1u, 2u, 3u, 7u, 10u, 1000u}) {
    for (uint64_t ms : {1ULL, 2ULL, 3ULL, 11ULL, 999ULL, 1000ULL, 300001ULL}) {
      uint64_t waitedNs = static_cast<uint64_t>(lum::clock::RealWaitMs(ms, scale)) * 1000000ULL;
      EXPECT_GE(lum::clock::ScaledMs(waitedNs, scale), ms) << ms << " ms at scale " << scale;
    }
  }
}

}  // namespace
