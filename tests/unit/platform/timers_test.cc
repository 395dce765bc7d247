// Timers on the manual clock: deadlines, periods, changes from inside
// callbacks, the pause, handles.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/lum.h"
#include "platform/testing.h"

namespace {

namespace lt = lum::testing;

// Every firing as "name@ms", and the uptime at the last one.
std::string g_log;
uint32_t g_ulUptimeAtFire = 0;

// A timer's argument: its name in the log, and what its callback does next.
struct Probe {
  std::string name;
  std::function<void()> action = {};
};

void OnFire(void *pvArg) {
  auto *probe = static_cast<Probe *>(pvArg);
  g_log += (g_log.empty() ? "" : " ") + probe->name + "@" + std::to_string(lt::NowMs());
  g_ulUptimeAtFire = LUM_UTIL_GetSysUpTime();
  if (probe->action) probe->action();
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
  uint32_t Add(Probe &probe, uint32_t ulPeriodMs, uint32_t ulOnce) {
    uint32_t handle = LUM_UTIL_TimerAdd(ulPeriodMs, ulOnce, OnFire, &probe);
    EXPECT_NE(handle, 0u);
    return handle;
  }
};

TEST_F(TimersTest, FiresInDeadlineOrderTiesInArmingOrder) {
  Probe c{"c"}, a{"a"}, b{"b"}, d{"d"}, p{"p"};
  Add(c, 300, 1);
  Add(a, 100, 1);
  Add(b, 100, 1);
  Add(d, 200, 0);
  // p is re-armed for 200 at instant 100, after d was armed for 200 at 0.
  Add(p, 100, 0);
  lt::AdvanceMs(450);
  EXPECT_EQ(g_log, "a@100 b@100 p@100 d@200 p@200 c@300 p@300 d@400 p@400");
  EXPECT_EQ(lt::NowMs(), 450u);
}

TEST_F(TimersTest, PeriodicFiresAtEveryMultipleWithoutDriftAndUptimeFollows) {
  Probe p{"p"};
  Add(p, 250, 0);
  lt::AdvanceMs(999);
  EXPECT_EQ(LUM_UTIL_GetSysUpTime(), 1000u);
  lt::AdvanceMs(1);
  EXPECT_EQ(g_ulUptimeAtFire, 1001u);
  for (int i = 0; i < 10; ++i) lt::AdvanceMs(100);  // odd steps do not shift the phase
  EXPECT_EQ(g_log, "p@250 p@500 p@750 p@1000 p@1250 p@1500 p@1750 p@2000");
  lt::AdvanceMs(3600 * 1000);
  EXPECT_EQ(LUM_UTIL_GetSysUpTime(), 4602u);
}

TEST_F(TimersTest, ChgPeriodRestartsTheCountdownFromNowAndPeriodZeroIsIdle) {
  Probe p{"p"}, o{"o"}, z{"z"};
  uint32_t periodic = Add(p, 1000, 0);
  uint32_t once = Add(o, 1000, 1);
  uint32_t idle = Add(z, 0, 0);
  uint64_t due = 0;
  EXPECT_FALSE(lt::TimerDueInMs(idle, &due));
  // The deferred-work pattern: a burst of requests, one action after the last.
  for (int i = 0; i < 3; ++i) {
    lt::AdvanceMs(200);
    EXPECT_EQ(LUM_UTIL_TimerChgPeriod(periodic, 1000), 0u);
    EXPECT_EQ(LUM_UTIL_TimerChgPeriod(once, 1000), 0u);
  }
  lt::AdvanceMs(999);
  EXPECT_EQ(g_log, "");
  lt::AdvanceMs(1001);
  EXPECT_EQ(g_log, "p@1600 o@1600 p@2600");
  // Period 0 stops a timer but keeps its handle; a period starts it again.
  g_log.clear();
  EXPECT_EQ(LUM_UTIL_TimerChgPeriod(idle, 50), 0u);
  lt::AdvanceMs(120);
  EXPECT_EQ(LUM_UTIL_TimerChgPeriod(idle, 0), 0u);
  EXPECT_EQ(LUM_UTIL_TimerChgPeriod(periodic, 0), 0u);
  lt::AdvanceMs(100000);
  EXPECT_EQ(lt::ActiveTimerCount(), 2u);
  EXPECT_EQ(LUM_UTIL_TimerChgPeriod(idle, 10), 0u);
  lt::AdvanceMs(10);
  EXPECT_EQ(g_log, "z@2650 z@2700 z@102730");
}

TEST_F(TimersTest, CallbacksDeleteThemselvesOrAnotherDueTimerOrReArmThemselves) {
  for (uint32_t victimOnce : {1u, 0u}) {
    g_log.clear();
    uint32_t self = 0, victim = 0;
    Probe a{"a", [&] {
              EXPECT_EQ(LUM_UTIL_TimerDelete(victim), 0u);
              EXPECT_EQ(LUM_UTIL_TimerDelete(self), 0u);
            }};
    Probe b{"b"};
    self = Add(a, 100, 0);
    victim = Add(b, 100, victimOnce);
    lt::AdvanceMs(1000);
    EXPECT_EQ(g_log, victimOnce != 0 ? "a@100" : "a@1100");
    EXPECT_EQ(lt::ActiveTimerCount(), 0u);
  }
  g_log.clear();
  uint32_t self = 0;
  Probe p{"p", [&] { EXPECT_EQ(LUM_UTIL_TimerChgPeriod(self, 300), 0u); }};
  self = Add(p, 100, 0);
  lt::AdvanceMs(1000);
  EXPECT_EQ(g_log, "p@2100 p@2400 p@2700 p@3000");
}

TEST_F(TimersTest, OnceTimerIsForgottenAfterFiringAndItsCallbackCreatesTheNext) {
  uint32_t global = 0;
  std::vector<uint32_t> handles;
  Probe o{"o"};
  o.action = [&] {
    EXPECT_NE(LUM_UTIL_TimerChgPeriod(global, 1000), 0u);  // already forgotten
    global = 0;
    if (handles.size() < 3) handles.push_back(global = LUM_UTIL_TimerAdd(1000, 1, OnFire, &o));
  };
  handles.push_back(global = Add(o, 1000, 1));
  lt::AdvanceMs(999);
  uint64_t due = 0;
  ASSERT_TRUE(lt::TimerDueInMs(global, &due));
  EXPECT_EQ(due, 1u);
  lt::AdvanceMs(9001);
  EXPECT_EQ(g_log, "o@1000 o@2000 o@3000");
  EXPECT_EQ(global, 0u);
  EXPECT_NE(handles[0], handles[1]);
  EXPECT_NE(handles[1], handles[2]);
  EXPECT_EQ(lt::ActiveTimerCount(), 0u);
  EXPECT_NE(LUM_UTIL_TimerDelete(handles[2]), 0u);
}

TEST_F(TimersTest, SleepAdvancesTimeWithoutFiringAndDelaysLaterTimers) {
  Probe o{"o"};
  Add(o, 100, 1);
  LUM_UTIL_SleepMs(1100);
  EXPECT_EQ(lt::NowMs(), 1100u);
  // The loop runs again: the overdue timer fires late, time does not go back.
  lt::AdvanceMs(0);
  EXPECT_EQ(g_ulUptimeAtFire, 1001u);
  // A pause inside a callback: later timers fire late, and past the end of the
  // advance they wait for the next.
  Probe a{"a", [] { LUM_UTIL_SleepMs(400); }}, b{"b"}, c{"c", [] { LUM_UTIL_SleepMs(1000); }};
  Probe d{"d"};
  Add(a, 100, 1);
  Add(b, 200, 1);
  Add(c, 600, 1);
  Add(d, 1000, 1);
  lt::AdvanceMs(950);
  EXPECT_EQ(g_log, "o@1100 a@1200 b@1600 c@1700");
  EXPECT_EQ(lt::NowMs(), 2700u);
  EXPECT_EQ(lt::SleptMs(), 2500u);
  lt::AdvanceMs(0);
  EXPECT_EQ(g_log, "o@1100 a@1200 b@1600 c@1700 d@2700");
}

TEST_F(TimersTest, PeriodicCatchUpPolicy) {
  using lum::timers::NextPeriodicDeadline;
  EXPECT_EQ(NextPeriodicDeadline(100, 12, 111, false), 112u);
  // A full period behind in real mode: no burst, one period from now.
  EXPECT_EQ(NextPeriodicDeadline(100, 12, 112, false), 124u);
  EXPECT_EQ(NextPeriodicDeadline(100, 12, 500, false), 512u);
  // The manual clock fires every instant.
  EXPECT_EQ(NextPeriodicDeadline(100, 12, 500, true), 112u);
}

TEST_F(TimersTest, HandlesWrapSkippingZeroAndLiveOnesAndUnknownAreRefused) {
  Probe p{"p"};
  lum::timers::SetNextHandleForTest(2);
  EXPECT_EQ(Add(p, 0, 0), 2u);
  lum::timers::SetNextHandleForTest(0xFFFFFFFE);
  EXPECT_EQ(Add(p, 0, 0), 0xFFFFFFFEu);
  EXPECT_EQ(Add(p, 0, 0), 0xFFFFFFFFu);
  EXPECT_EQ(Add(p, 0, 0), 1u);
  EXPECT_EQ(Add(p, 0, 0), 3u);  // 2 is live
  EXPECT_EQ(lt::ActiveTimerCount(), 5u);
  EXPECT_EQ(LUM_UTIL_TimerAdd(100, 1, nullptr, nullptr), 0u);
  EXPECT_NE(LUM_UTIL_TimerChgPeriod(0, 100), 0u);
  EXPECT_NE(LUM_UTIL_TimerDelete(0x12345678), 0u);
  lt::ResetTimers();
  EXPECT_NE(LUM_UTIL_TimerDelete(2), 0u);
}

}  // namespace
