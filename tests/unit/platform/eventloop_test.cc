// The event loop on the real clock (each case ends within a few ms), and the
// arithmetic of the scaled clock.
#include "platform/eventloop.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "platform/clock.h"
#include "platform/lum.h"
#include "platform/testing.h"

namespace {

namespace lt = lum::testing;

struct Seen {
  uint32_t ulHandle = 0;
  int iCalls = 0;
  uintptr_t aulWords[5] = {};  // the record as the daemon reads it: context at 3, descriptor at 4
  std::function<void(LUM_SOCK_REG *)> action;
};

void OnReadable(LUM_SOCK_REG *pstReg) {
  auto *seen = static_cast<Seen *>(pstReg->pvContext);
  ++seen->iCalls;
  memcpy(seen->aulWords, pstReg, sizeof(seen->aulWords));
  if (seen->action) seen->action(pstReg);
}

void Drain(LUM_SOCK_REG *pstReg) {
  char buf[64];
  ssize_t got = recv(static_cast<int>(pstReg->lFd), buf, sizeof(buf), MSG_DONTWAIT);
  (void)got;
}

void StopLoop(void *) { LUM_UTIL_SockBaseStop(); }

class EventLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lt::UseRealClock();
    lt::ResetTimers();
    lum::loop::DeleteAllRegistrations();
    // A broken loop ends the case instead of hanging the run.
    m_watchdog = LUM_UTIL_TimerAdd(2000, 1, StopLoop, nullptr);
  }
  void TearDown() override {
    EXPECT_EQ(LUM_UTIL_TimerDelete(m_watchdog), 0u) << "the loop did not stop";
    lt::ResetTimers();
    lum::loop::DeleteAllRegistrations();
    for (int fd : m_fds) close(fd);
  }
  std::array<int, 2> Pair() {
    int fds[2] = {-1, -1};
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds), 0);
    m_fds.insert(m_fds.end(), {fds[0], fds[1]});
    return {fds[0], fds[1]};
  }
  void Register(int iFd, Seen &seen) {
    EXPECT_EQ(LUM_UTIL_SockBaseReg(iFd, LUM_SOCK_KIND_ICMP6, OnReadable, 1, &seen, &seen.ulHandle),
              0u);
    EXPECT_NE(seen.ulHandle, 0u);
  }
  static void Send(int iFd) { ASSERT_EQ(send(iFd, "x", 1, 0), 1); }
  // Runs the loop until a stop, or ulMs after the start.
  static void Run(uint32_t ulMs = 0) {
    if (ulMs != 0) LUM_UTIL_TimerAdd(ulMs, 1, StopLoop, nullptr);
    EXPECT_EQ(LUM_UTIL_SockBaseStart(0), 0u);
  }

  uint32_t m_watchdog = 0;
  std::vector<int> m_fds;
};

TEST_F(EventLoopTest, ReadableSocketCallsBackWithContextAndDescriptorAndMayDeleteItself) {
  auto [mine, peer] = Pair();
  Seen seen;
  seen.action = [&seen](LUM_SOCK_REG *pstReg) {
    EXPECT_EQ(LUM_UTIL_SockBaseDelete(seen.ulHandle), 0u);
    // The record stays readable until the callback returns.
    EXPECT_EQ(pstReg->pvContext, &seen);
    // Not drained: a registration still watched would be called again at once.
  };
  Register(mine, seen);
  Send(peer);
  Run(10);
  EXPECT_EQ(seen.iCalls, 1);
  EXPECT_EQ(seen.aulWords[3], reinterpret_cast<uintptr_t>(&seen));
  EXPECT_EQ(seen.aulWords[4], static_cast<uintptr_t>(mine));
  EXPECT_NE(LUM_UTIL_SockBaseDelete(seen.ulHandle), 0u);
  EXPECT_EQ(lum::loop::RegistrationCount(), 0u);
  // The descriptor is the owner's: still open.
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
  Run(10);
  EXPECT_EQ(seenA.iCalls + seenB.iCalls, 1);
  EXPECT_EQ(lum::loop::RegistrationCount(), 1u);
}

TEST_F(EventLoopTest, RefusesClosedOrTwiceRegisteredDescriptorsAndUnknownHandles) {
  Seen seen;
  uint32_t handle = 0;
  auto [mine, peer] = Pair();
  EXPECT_NE(LUM_UTIL_SockBaseReg(-1, 1, OnReadable, 1, &seen, &handle), 0u);
  Register(mine, seen);
  EXPECT_NE(LUM_UTIL_SockBaseReg(mine, 1, OnReadable, 1, &seen, &handle), 0u);
  EXPECT_EQ(handle, 0u);
  EXPECT_EQ(lum::loop::RegistrationCount(), 1u);
  EXPECT_NE(LUM_UTIL_SockBaseDelete(seen.ulHandle + 1000), 0u);
}

TEST_F(EventLoopTest, DescriptorClosedWithoutDeleteThenReused) {
  auto [old, oldPeer] = Pair();
  Seen stale, fresh;
  Register(old, stale);
  close(old);
  std::erase(m_fds, old);
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
  Run();
  EXPECT_EQ(fresh.iCalls, 1);
  EXPECT_EQ(stale.iCalls, 0);
}

TEST_F(EventLoopTest, RealTimersFireInsideTheLoopNeverEarly) {
  static std::vector<uint64_t> s_at;
  static uint32_t s_ulNested;
  s_at.clear();
  uint64_t start = lt::NowMs();
  LUM_UTIL_TimerAdd(
      5, 0,
      [](void *) {
        s_at.push_back(lt::NowMs());
        s_ulNested = LUM_UTIL_SockBaseStart(0);  // refused: the loop runs already
        if (s_at.size() == 3) LUM_UTIL_SockBaseStop();
      },
      nullptr);
  Run();
  ASSERT_EQ(s_at.size(), 3u);
  // Deadlines at start + 5, 10, 15 (a late firing does not push the next one).
  for (size_t k = 0; k < s_at.size(); ++k) EXPECT_GE(s_at[k], start + 5 * (k + 1)) << k;
  EXPECT_LT(s_at[2], start + 1000);
  EXPECT_NE(s_ulNested, 0u);
}

TEST(TimeScaleTest, ParsesWholeNumbersAtLeastOneCappedAtTheMaximum) {
  using lum::clock::ParseTimeScale;
  for (const char *bad : {"", "0", "-3", "4x", " 4", "2.5", static_cast<const char *>(nullptr)}) {
    EXPECT_EQ(ParseTimeScale(bad), 1u) << (bad != nullptr ? bad : "null");
  }
  EXPECT_EQ(ParseTimeScale("4"), 4u);
  EXPECT_EQ(ParseTimeScale("99999999999999999999"), lum::clock::kMaxScale);
}

TEST(TimeScaleTest, TimeRunsScaleTimesFasterAndTheLoopNeverWakesEarly) {
  using lum::clock::RealWaitMs;
  using lum::clock::ScaledMs;
  EXPECT_EQ(ScaledMs(1500000, 4), 6u);
  // A year of real time at a large scale does not overflow.
  constexpr uint64_t kYearNs = 365ULL * 24 * 3600 * 1000000000ULL;
  EXPECT_EQ(ScaledMs(kYearNs, 1000), 365ULL * 24 * 3600 * 1000 * 1000);
  EXPECT_EQ(RealWaitMs(UINT64_MAX, 1), INT_MAX);
  EXPECT_EQ(RealWaitMs(0, 4), 0);
  EXPECT_EQ(lum::clock::RealSleepNs(12, 1000), 12000u);
  // After waiting RealWaitMs real ms (rounded up), at least the asked platform ms have passed.
  for (uint32_t scale : {1u, 3u, 4u, 1000u}) {
    for (uint64_t ms : {1ULL, 2ULL, 11ULL, 1001ULL, 300001ULL}) {
      uint64_t waitedNs = static_cast<uint64_t>(RealWaitMs(ms, scale)) * 1000000ULL;
      EXPECT_GE(ScaledMs(waitedNs, scale), ms) << ms << " ms at scale " << scale;
      EXPECT_LE(RealWaitMs(ms, scale), static_cast<int>(ms / scale + 1));
    }
  }
}

}  // namespace
