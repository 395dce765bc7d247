// Timers on the manual clock: deadlines, periods, changes from inside
// callbacks, the pause, handles.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/clock.h"
#include "platform/lum.h"
#include "platform/testing.h"

namespace {

namespace lt = lum::testing;

struct Fired {
  std::string name;
  uint64_t ulAtMs;
  uint32_t ulUptime;
  bool operator==(const Fired &) const = default;
};

std::vector<Fired> g_fired;

// A timer's argument: its name in the log, and what its callback does next.
struct Probe {
  std::string name;
  std::function<void()> action = {};
};

void OnFire(void *pvArg) {
  auto *probe = static_cast<Probe *>(pvArg);
  g_fired.push_back({probe->name, lt::NowMs(), LUM_UTIL_GetSysUpTime()});
  if (probe->action) probe->action();
}

std::vector<std::string> Names() {
  std::vector<std::string> names;
  for (const Fired &f : g_fired) names.push_back(f.name);
  return names;
}

std::vector<uint64_t> Instants() {
  std::vector<uint64_t> at;
  for (const Fired &f : g_fired) at.push_back(f.ulAtMs);
  return at;
}

class TimersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lt::UseManualClock(1000);
    lt::ResetTimers();
    g_fired.clear();
  }
  void TearDown() override {
    lt::ResetTimers();
    lt::UseRealClock();
    g_fired.clear();
  }
  uint32_t Add(Probe &probe, uint32_t ulPeriodMs, uint32_t ulOnce) {
    uint32_t handle = LUM_UTIL_TimerAdd(ulPeriodMs, ulOnce, OnFire, &probe);
    EXPECT_NE(handle, 0u);
    return handle;
  }
};

// --- Order and instants ------------------------------------------------------

TEST_F(TimersTest, FiresInDeadlineOrderTiesInArmingOrder) {
  Probe c{"c"}, a{"a"}, b{"b"}, d{"d"};
  Add(c, 300, 1);
  Add(a, 100, 1);
  Add(b, 100, 1);
  Add(d, 200, 0);
  lt::AdvanceMs(450);
  EXPECT_EQ(g_fired, (std::vector<Fired>{{"a", 100, 1000},
                                         {"b", 100, 1000},
                                         {"d", 200, 1000},
                                         {"c", 300, 1000},
                                         {"d", 400, 1000}}));
  EXPECT_EQ(lt::NowMs(), 450u);
}

TEST_F(TimersTest, PeriodicReArmedAfterFiringQueuesBehindEarlierArmedTie) {
  // p is re-armed for 200 at instant 100, after q was armed for 200 at 0.
  Probe p{"p"}, q{"q"};
  Add(p, 100, 0);
  Add(q, 200, 1);
  lt::AdvanceMs(200);
  EXPECT_EQ(Names(), (std::vector<std::string>{"p", "q", "p"}));
}

TEST_F(TimersTest, PeriodicFiresAtEveryMultipleWithoutDrift) {
  Probe p{"p"};
  Add(p, 250, 0);
  lt::AdvanceMs(1000);
  EXPECT_EQ(Instants(), (std::vector<uint64_t>{250, 500, 750, 1000}));
  EXPECT_EQ(g_fired.back().ulUptime, 1001u);
  // Odd steps do not shift the phase.
  for (int i = 0; i < 10; ++i) lt::AdvanceMs(100);
  EXPECT_EQ(Instants(), (std::vector<uint64_t>{250, 500, 750, 1000, 1250, 1500, 1750, 2000}));
}

TEST_F(TimersTest, UptimeFollowsTheManualClock) {
  EXPECT_EQ(LUM_UTIL_GetSysUpTime(), 1000u);
  lt::AdvanceMs(999);
  EXPECT_EQ(LUM_UTIL_GetSysUpTime(), 1000u);
  lt::AdvanceMs(1);
  EXPECT_EQ(LUM_UTIL_GetSysUpTime(), 1001u);
  lt::AdvanceMs(3600 * 1000);
  EXPECT_EQ(LUM_UTIL_GetSysUpTime(), 4601u);
  lt::UseManualClock(5);
  EXPECT_EQ(lt::NowMs(), 0u);
  EXPECT_EQ(LUM_UTIL_GetSysUpTime(), 5u);
}

TEST_F(TimersTest, OnceTimerFiresOnceThenItsHandleIsUnknown) {
  Probe o{"o"};
  uint32_t handle = Add(o, 500, 1);
  EXPECT_EQ(lt::ActiveTimerCount(), 1u);
  lt::AdvanceMs(499);
  EXPECT_TRUE(g_fired.empty());
  uint64_t due = 0;
  ASSERT_TRUE(lt::TimerDueInMs(handle, &due));
  EXPECT_EQ(due, 1u);
  lt::AdvanceMs(1);
  lt::AdvanceMs(10000);
  EXPECT_EQ(Instants(), (std::vector<uint64_t>{500}));
  EXPECT_EQ(lt::ActiveTimerCount(), 0u);
  EXPECT_FALSE(lt::TimerDueInMs(handle, &due));
  EXPECT_NE(LUM_UTIL_TimerChgPeriod(handle, 100), 0u);
  EXPECT_NE(LUM_UTIL_TimerDelete(handle), 0u);
}

TEST_F(TimersTest, ManyTimersFireSortedEachAtItsDeadline) {
  constexpr int kCount = 500;
  std::vector<Probe> probes(kCount);
  std::vector<std::tuple<uint64_t, int>> expected;
  for (int i = 0; i < kCount; ++i) {
    uint32_t period = static_cast<uint32_t>((i * 7919) % 997 + 1);  // many ties
    probes[static_cast<size_t>(i)].name = std::to_string(i);
    Add(probes[static_cast<size_t>(i)], period, 1);
    expected.emplace_back(period, i);
  }
  EXPECT_EQ(lt::ActiveTimerCount(), static_cast<size_t>(kCount));
  std::sort(expected.begin(), expected.end());
  lt::AdvanceMs(1000);
  ASSERT_EQ(g_fired.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(g_fired[i].name, std::to_string(std::get<1>(expected[i]))) << i;
    EXPECT_EQ(g_fired[i].ulAtMs, std::get<0>(expected[i])) << i;
  }
  EXPECT_EQ(lt::ActiveTimerCount(), 0u);
}

// --- Period changes ----------------------------------------------------------

TEST_F(TimersTest, ChgPeriodRestartsTheCountdownFromNow) {
  Probe p{"p"}, o{"o"};
  uint32_t periodic = Add(p, 1000, 0);
  uint32_t once = Add(o, 1000, 1);
  lt::AdvanceMs(600);
  EXPECT_EQ(LUM_UTIL_TimerChgPeriod(periodic, 1000), 0u);
  EXPECT_EQ(LUM_UTIL_TimerChgPeriod(once, 1000), 0u);
  uint64_t due = 0;
  ASSERT_TRUE(lt::TimerDueInMs(periodic, &due));
  EXPECT_EQ(due, 1000u);
  lt::AdvanceMs(999);
  EXPECT_TRUE(g_fired.empty());
  lt::AdvanceMs(1001);
  EXPECT_EQ(g_fired, (std::vector<Fired>{{"p", 1600, 1001}, {"o", 1600, 1001}, {"p", 2600, 1002}}));
}

TEST_F(TimersTest, RepeatedRestartsGiveOneFiringAfterTheLast) {
  // The deferred-work pattern: a burst of requests, one action.
  Probe o{"save"};
  uint32_t handle = Add(o, 1000, 1);
  for (int i = 0; i < 3; ++i) {
    lt::AdvanceMs(300);
    ASSERT_EQ(LUM_UTIL_TimerChgPeriod(handle, 1000), 0u);
  }
  lt::AdvanceMs(5000);
  EXPECT_EQ(Instants(), (std::vector<uint64_t>{1900}));
}

TEST_F(TimersTest, PeriodZeroIsIdleUntilGivenAPeriod) {
  Probe p{"p"};
  uint32_t handle = Add(p, 0, 0);
  EXPECT_EQ(lt::ActiveTimerCount(), 1u);
  uint64_t due = 0;
  EXPECT_FALSE(lt::TimerDueInMs(handle, &due));
  lt::AdvanceMs(1000000);
  EXPECT_TRUE(g_fired.empty());
  EXPECT_EQ(LUM_UTIL_TimerChgPeriod(handle, 50), 0u);
  lt::AdvanceMs(100);
  EXPECT_EQ(Instants(), (std::vector<uint64_t>{1000050, 1000100}));
}

TEST_F(TimersTest, ChgPeriodZeroStopsButKeepsTheHandle) {
  Probe p{"p"};
  uint32_t handle = Add(p, 100, 0);
  lt::AdvanceMs(150);
  EXPECT_EQ(LUM_UTIL_TimerChgPeriod(handle, 0), 0u);
  uint64_t due = 0;
  EXPECT_FALSE(lt::TimerDueInMs(handle, &due));
  lt::AdvanceMs(1000);
  EXPECT_EQ(Instants(), (std::vector<uint64_t>{100}));
  EXPECT_EQ(lt::ActiveTimerCount(), 1u);
  EXPECT_EQ(LUM_UTIL_TimerChgPeriod(handle, 10), 0u);
  lt::AdvanceMs(10);
  EXPECT_EQ(Instants(), (std::vector<uint64_t>{100, 1160}));
}

// --- Changes from inside callbacks -------------------------------------------

TEST_F(TimersTest, CallbackDeletingAnotherDueTimerAtTheSameInstant) {
  for (uint32_t victimOnce : {1u, 0u}) {
    SCOPED_TRACE(victimOnce != 0 ? "once victim" : "periodic victim");
    g_fired.clear();
    uint32_t victim = 0;
    Probe a{"a", [&] { EXPECT_EQ(LUM_UTIL_TimerDelete(victim), 0u); }};
    Probe b{"b"};
    Add(a, 100, 1);
    victim = Add(b, 100, victimOnce);
    lt::AdvanceMs(1000);
    EXPECT_EQ(Names(), (std::vector<std::string>{"a"}));
    EXPECT_EQ(lt::ActiveTimerCount(), 0u);
  }
}

TEST_F(TimersTest, PeriodicCallbackReArmsItself) {
  uint32_t self = 0;
  Probe p{"p", [&] {
            if (g_fired.size() == 1) {
              EXPECT_EQ(LUM_UTIL_TimerChgPeriod(self, 300), 0u);
            }
          }};
  self = Add(p, 100, 0);
  lt::AdvanceMs(1000);
  EXPECT_EQ(Instants(), (std::vector<uint64_t>{100, 400, 700, 1000}));
}

TEST_F(TimersTest, PeriodicCallbackDeletesItself) {
  uint32_t self = 0;
  Probe p{"p", [&] { EXPECT_EQ(LUM_UTIL_TimerDelete(self), 0u); }};
  self = Add(p, 100, 0);
  lt::AdvanceMs(1000);
  EXPECT_EQ(Instants(), (std::vector<uint64_t>{100}));
  EXPECT_EQ(lt::ActiveTimerCount(), 0u);
}

TEST_F(TimersTest, OnceCallbackClearsItsGlobalAndCreatesTheNext) {
  uint32_t global = 0;
  std::vector<uint32_t> handles;
  Probe o{"o"};
  o.action = [&] {
    // Already forgotten: it cannot be re-armed.
    EXPECT_NE(LUM_UTIL_TimerChgPeriod(global, 1000), 0u);
    global = 0;
    if (g_fired.size() < 3) {
      global = LUM_UTIL_TimerAdd(1000, 1, OnFire, &o);
      handles.push_back(global);
    }
  };
  global = Add(o, 1000, 1);
  handles.push_back(global);
  lt::AdvanceMs(10000);
  EXPECT_EQ(Instants(), (std::vector<uint64_t>{1000, 2000, 3000}));
  EXPECT_EQ(global, 0u);
  ASSERT_EQ(handles.size(), 3u);
  EXPECT_NE(handles[0], handles[1]);
  EXPECT_NE(handles[1], handles[2]);
  EXPECT_EQ(lt::ActiveTimerCount(), 0u);
}

TEST_F(TimersTest, ResetFromInsideACallback) {
  Probe b{"b"};
  Probe a{"a", [] { lt::ResetTimers(); }};
  Add(a, 100, 0);
  Add(b, 100, 0);
  lt::AdvanceMs(1000);
  EXPECT_EQ(Names(), (std::vector<std::string>{"a"}));
  EXPECT_EQ(lt::ActiveTimerCount(), 0u);
}

// --- The pause -----------------------------------------------------------------

TEST_F(TimersTest, SleepAdvancesTimeWithoutFiring) {
  Probe o{"o"};
  Add(o, 100, 1);
  LUM_UTIL_SleepMs(400);
  EXPECT_EQ(lt::NowMs(), 400u);
  EXPECT_EQ(lt::SleptMs(), 400u);
  EXPECT_TRUE(g_fired.empty());
  LUM_UTIL_SleepMs(700);
  EXPECT_EQ(LUM_UTIL_GetSysUpTime(), 1001u);
  // The loop runs again: the overdue timer fires late, time does not go back.
  lt::AdvanceMs(0);
  EXPECT_EQ(g_fired, (std::vector<Fired>{{"o", 1100, 1001}}));
  EXPECT_EQ(lt::SleptMs(), 1100u);
}

TEST_F(TimersTest, PauseInsideACallbackDelaysLaterTimers) {
  Probe a{"a", [] { LUM_UTIL_SleepMs(400); }};
  Probe b{"b"}, c{"c"};
  Add(a, 100, 1);
  Add(b, 200, 1);
  Add(c, 600, 1);
  lt::AdvanceMs(1000);
  EXPECT_EQ(g_fired, (std::vector<Fired>{{"a", 100, 1000}, {"b", 500, 1000}, {"c", 600, 1000}}));
  EXPECT_EQ(lt::NowMs(), 1000u);
  EXPECT_EQ(lt::SleptMs(), 400u);
}

TEST_F(TimersTest, PausePastTheEndOfAnAdvanceLeavesLaterTimersForTheNext) {
  Probe a{"a", [] { LUM_UTIL_SleepMs(1000); }};
  Probe b{"b"};
  Add(a, 100, 1);
  Add(b, 400, 1);
  lt::AdvanceMs(300);
  EXPECT_EQ(Names(), (std::vector<std::string>{"a"}));
  EXPECT_EQ(lt::NowMs(), 1100u);
  lt::AdvanceMs(0);
  EXPECT_EQ(g_fired.back(), (Fired{"b", 1100, 1001}));
}

TEST_F(TimersTest, PeriodicCatchUpPolicy) {
  using lum::timers::NextPeriodicDeadline;
  EXPECT_EQ(NextPeriodicDeadline(100, 12, 105, false), 112u);
  EXPECT_EQ(NextPeriodicDeadline(100, 12, 111, false), 112u);
  // A full period behind in real mode: no burst, one period from now.
  EXPECT_EQ(NextPeriodicDeadline(100, 12, 112, false), 124u);
  EXPECT_EQ(NextPeriodicDeadline(100, 12, 500, false), 512u);
  // The manual clock fires every instant.
  EXPECT_EQ(NextPeriodicDeadline(100, 12, 500, true), 112u);
}

// --- Handles and refusals ------------------------------------------------------

TEST_F(TimersTest, HandlesAreNonZeroUniqueAndNotReusedSoon) {
  Probe p{"p"};
  uint32_t first = Add(p, 100, 0);
  ASSERT_EQ(LUM_UTIL_TimerDelete(first), 0u);
  uint32_t second = Add(p, 100, 0);
  EXPECT_NE(second, first);
}

TEST_F(TimersTest, HandleCounterWrapsSkippingZeroAndLiveHandles) {
  Probe p{"p"};
  lum::timers::SetNextHandleForTest(2);
  EXPECT_EQ(Add(p, 0, 0), 2u);
  lum::timers::SetNextHandleForTest(0xFFFFFFFE);
  EXPECT_EQ(Add(p, 0, 0), 0xFFFFFFFEu);
  EXPECT_EQ(Add(p, 0, 0), 0xFFFFFFFFu);
  EXPECT_EQ(Add(p, 0, 0), 1u);
  EXPECT_EQ(Add(p, 0, 0), 3u);  // 2 is live
  EXPECT_EQ(lt::ActiveTimerCount(), 5u);
}

TEST_F(TimersTest, RefusesMissingCallbackAndUnknownHandles) {
  EXPECT_EQ(LUM_UTIL_TimerAdd(100, 1, nullptr, nullptr), 0u);
  EXPECT_NE(LUM_UTIL_TimerChgPeriod(0, 100), 0u);
  EXPECT_NE(LUM_UTIL_TimerDelete(0), 0u);
  EXPECT_NE(LUM_UTIL_TimerDelete(0x12345678), 0u);
  EXPECT_EQ(lt::ActiveTimerCount(), 0u);
  Probe p{"p"};
  uint32_t handle = Add(p, 100, 0);
  lt::ResetTimers();
  EXPECT_EQ(lt::ActiveTimerCount(), 0u);
  EXPECT_NE(LUM_UTIL_TimerDelete(handle), 0u);
  lt::AdvanceMs(1000);
  EXPECT_TRUE(g_fired.empty());
}

TEST_F(TimersTest, SwitchingClocksKeepsTheTimeLeft) {
  Probe o{"o"}, p{"p"};
  lt::UseRealClock();
  uint32_t armedReal = Add(o, 5000, 1);
  lt::UseManualClock(1000);
  uint64_t due = 0;
  ASSERT_TRUE(lt::TimerDueInMs(armedReal, &due));
  EXPECT_LE(due, 5000u);
  EXPECT_GE(due, 4000u);
  uint32_t armedManual = Add(p, 3000, 1);
  lt::AdvanceMs(1000);
  lt::UseRealClock();
  ASSERT_TRUE(lt::TimerDueInMs(armedManual, &due));
  EXPECT_LE(due, 2000u);
  EXPECT_GE(due, 1000u);
}

}  // namespace
