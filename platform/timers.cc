// Timers: a table by handle and a queue ordered by (deadline, arming order).
// The loop asks for the next deadline and fires what is due; under the manual
// clock AdvanceMs walks time from deadline to deadline.
#include <compare>
#include <cstdint>
#include <set>
#include <unordered_map>

#include "platform/clock.h"
#include "platform/lum.h"
#include "platform/testing.h"

namespace {

// A bound against a leak of timers; the daemon keeps a few hundred at most.
constexpr size_t kMaxTimers = 65536;

struct Key {
  uint64_t ulDeadline;
  uint64_t ulSeq;  // arming order breaks ties
  uint32_t ulHandle;
  auto operator<=>(const Key &) const = default;
};

struct Timer {
  uint32_t ulPeriodMs;
  bool bOnce;
  bool bArmed;
  LUM_TIMER_CB pfnProc;
  void *pvArg;
  Key key;  // its place in the queue while armed
};

struct Table {
  std::unordered_map<uint32_t, Timer> timers;
  std::set<Key> queue;
  uint32_t ulNextHandle = 1;
  uint64_t ulNextSeq = 0;
};

Table &Timers() {
  static Table table;
  return table;
}

// Counts up, skipping 0 and live handles, so a handle is not handed out again
// until the counter has gone round all 2^32 values.
uint32_t AllocHandle(Table &t) {
  for (;;) {
    uint32_t handle = t.ulNextHandle++;
    if (t.ulNextHandle == 0) t.ulNextHandle = 1;
    if (handle != 0 && !t.timers.contains(handle)) return handle;
  }
}

void Disarm(Table &t, Timer &timer) {
  if (!timer.bArmed) return;
  t.queue.erase(timer.key);
  timer.bArmed = false;
}

}  // namespace

namespace lum::timers {

uint64_t NextPeriodicDeadline(uint64_t ulPrevMs, uint32_t ulPeriodMs, uint64_t ulNowMs,
                              bool bCatchUp) {
  uint64_t next = ulPrevMs + ulPeriodMs;
  if (!bCatchUp && next <= ulNowMs) next = ulNowMs + ulPeriodMs;
  return next;
}

bool NextDeadline(uint64_t *pulDeadline) {
  const Table &t = Timers();
  if (t.queue.empty()) return false;
  if (pulDeadline != nullptr) *pulDeadline = t.queue.begin()->ulDeadline;
  return true;
}

bool RunOneDue(uint64_t ulNowMs) {
  Table &t = Timers();
  if (t.queue.empty() || t.queue.begin()->ulDeadline > ulNowMs) return false;
  auto first = t.queue.begin();
  Key key = *first;
  auto found = t.timers.find(key.ulHandle);
  if (found == t.timers.end()) {  // cannot happen: the two stay in step
    t.queue.erase(first);
    return true;
  }
  Timer &timer = found->second;
  LUM_TIMER_CB pfnProc = timer.pfnProc;
  void *pvArg = timer.pvArg;
  if (timer.bOnce) {
    // Forgotten before the callback, which may clear its global or add timers.
    t.queue.erase(first);
    t.timers.erase(found);
  } else {
    // Re-armed before the callback, which may change or delete it. The node is
    // reused: firing never allocates.
    auto node = t.queue.extract(first);
    node.value() =
        Key{NextPeriodicDeadline(key.ulDeadline, timer.ulPeriodMs, ulNowMs, lum::clock::IsManual()),
            ++t.ulNextSeq, key.ulHandle};
    timer.key = node.value();
    t.queue.insert(std::move(node));
  }
  pfnProc(pvArg);
  return true;
}

void Rebase(uint64_t ulOldNowMs, uint64_t ulNewNowMs) {
  Table &t = Timers();
  std::set<Key> rebased;
  while (!t.queue.empty()) {
    auto node = t.queue.extract(t.queue.begin());
    Key &key = node.value();
    uint64_t left = key.ulDeadline > ulOldNowMs ? key.ulDeadline - ulOldNowMs : 0;
    key.ulDeadline = ulNewNowMs + left;
    auto found = t.timers.find(key.ulHandle);
    if (found != t.timers.end()) found->second.key = key;
    rebased.insert(std::move(node));
  }
  t.queue = std::move(rebased);
}

void SetNextHandleForTest(uint32_t ulHandle) { Timers().ulNextHandle = ulHandle; }

}  // namespace lum::timers

uint32_t LUM_UTIL_TimerAdd(uint32_t ulPeriodMs, uint32_t ulOnce, LUM_TIMER_CB pfnProc,
                           void *pvArg) {
  if (pfnProc == nullptr) {
    LUM_CORE_TRACE("timer refused: no callback");
    return 0;
  }
  Table &t = Timers();
  if (t.timers.size() >= kMaxTimers) {
    LUM_CORE_TRACE("timer refused: %zu timers exist", t.timers.size());
    return 0;
  }
  uint32_t handle = AllocHandle(t);
  Timer timer{ulPeriodMs, ulOnce != 0, false, pfnProc, pvArg, Key{}};
  try {
    if (ulPeriodMs != 0) {
      timer.key = Key{lum::clock::NowMs() + ulPeriodMs, ++t.ulNextSeq, handle};
      t.queue.insert(timer.key);
      timer.bArmed = true;
    }
    try {
      t.timers.emplace(handle, timer);
    } catch (...) {
      if (timer.bArmed) t.queue.erase(timer.key);
      throw;
    }
  } catch (...) {
    LUM_CORE_TRACE("timer refused: out of memory");
    return 0;
  }
  return handle;
}

uint32_t LUM_UTIL_TimerChgPeriod(uint32_t ulHandle, uint32_t ulPeriodMs) {
  Table &t = Timers();
  auto found = t.timers.find(ulHandle);
  if (found == t.timers.end()) {
    LUM_CORE_TRACE("timer 0x%x unknown: period %u not set", ulHandle, ulPeriodMs);
    return 1;
  }
  Timer &timer = found->second;
  if (ulPeriodMs == 0) {
    Disarm(t, timer);
    timer.ulPeriodMs = 0;
    return 0;
  }
  Key key{lum::clock::NowMs() + ulPeriodMs, ++t.ulNextSeq, ulHandle};
  if (timer.bArmed) {
    auto node = t.queue.extract(timer.key);
    node.value() = key;
    t.queue.insert(std::move(node));
  } else {
    try {
      t.queue.insert(key);
    } catch (...) {
      LUM_CORE_TRACE("timer 0x%x not armed: out of memory", ulHandle);
      return 1;
    }
  }
  timer.key = key;
  timer.bArmed = true;
  timer.ulPeriodMs = ulPeriodMs;
  return 0;
}

uint32_t LUM_UTIL_TimerDelete(uint32_t ulHandle) {
  Table &t = Timers();
  auto found = t.timers.find(ulHandle);
  if (found == t.timers.end()) {
    LUM_CORE_TRACE("timer 0x%x unknown: not deleted", ulHandle);
    return 1;
  }
  Disarm(t, found->second);
  t.timers.erase(found);
  return 0;
}

namespace lum::testing {

void AdvanceMs(uint64_t ulMs) {
  if (!lum::clock::IsManual()) {
    LUM_CORE_TRACE("AdvanceMs(%llu) ignored: the clock is real",
                   static_cast<unsigned long long>(ulMs));
    return;
  }
  // The end is fixed on entry: a callback that pauses (SleepMs) moves time on
  // but does not extend this walk, which therefore always ends.
  uint64_t target = lum::clock::NowMs() + ulMs;
  uint64_t deadline = 0;
  while (lum::timers::NextDeadline(&deadline) && deadline <= target) {
    lum::clock::SetManualNowMs(deadline);  // never back: a pause may have passed it
    lum::timers::RunOneDue(lum::clock::NowMs());
  }
  lum::clock::SetManualNowMs(target);
}

void ResetTimers() {
  Table &t = Timers();
  t.queue.clear();
  t.timers.clear();
  lum::clock::ResetSleptMs();
}

size_t ActiveTimerCount() { return Timers().timers.size(); }

bool TimerDueInMs(uint32_t ulHandle, uint64_t *pulDueInMs) {
  const Table &t = Timers();
  auto found = t.timers.find(ulHandle);
  if (found == t.timers.end() || !found->second.bArmed) return false;
  uint64_t now = lum::clock::NowMs();
  uint64_t deadline = found->second.key.ulDeadline;
  if (pulDueInMs != nullptr) *pulDueInMs = deadline > now ? deadline - now : 0;
  return true;
}

}  // namespace lum::testing
