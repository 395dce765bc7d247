// Inside the platform: its clock, and what the event loop and the test hooks
// need from the timer table. Not part of the daemon's surface.
#pragma once

#include <cstdint>

#include "platform/lum.h"

// The core's trace: file base name and line, module "lum", level 16; costs a
// branch when tracing is off.
#define LUM_CORE_TRACE(...)                                                                     \
  do {                                                                                          \
    if (g_bLumTraceOn) LUM_TRACE_PrintInfo(__FILE_NAME__, __LINE__, 0, "lum", 16, __VA_ARGS__); \
  } while (0)

namespace lum::clock {

// Platform time T runs LUM_TIME_SCALE times faster than the kernel's monotonic
// clock (real mode) or moves only when a test says so (manual mode).

// The scale a LUM_TIME_SCALE text asks for: 1 unless it is a whole number >= 1;
// capped at kMaxScale.
inline constexpr uint32_t kMaxScale = 1000000;
uint32_t ParseTimeScale(const char *pcText);
// Platform ms after ulElapsedNs real nanoseconds.
uint64_t ScaledMs(uint64_t ulElapsedNs, uint32_t ulScale);
// Real ms to wait until ulPlatformMs platform ms have passed: rounded up, so
// that the loop never wakes before a deadline; capped to fit epoll_wait.
int RealWaitMs(uint64_t ulPlatformMs, uint32_t ulScale);
// Real nanoseconds of a pause of ulMs platform ms.
uint64_t RealSleepNs(uint64_t ulMs, uint32_t ulScale);

bool IsManual();
// The scale in force (read from the environment at first use).
uint32_t Scale();
// Platform ms, manual or real.
uint64_t NowMs();
// Manual clock only: moves T forward to ulMs (never back).
void SetManualNowMs(uint64_t ulMs);
// Zeroes the manual time counted by lum::testing::SleptMs.
void ResetSleptMs();

}  // namespace lum::clock

namespace lum::timers {

// The earliest deadline of an armed timer; false when none is armed.
bool NextDeadline(uint64_t *pulDeadline);
// Fires the earliest timer due at or before ulNowMs; false when none is due.
// The timer is re-armed (periodic) or forgotten (once) before its callback runs.
bool RunOneDue(uint64_t ulNowMs);
// The deadline after a periodic firing at ulPrevMs: one period later (no
// drift); without catch-up, a timer that fell a period or more behind is
// rescheduled a period from now instead of firing a burst.
uint64_t NextPeriodicDeadline(uint64_t ulPrevMs, uint32_t ulPeriodMs, uint64_t ulNowMs,
                              bool bCatchUp);
// The clock changed from ulOldNowMs to ulNewNowMs: armed timers keep the time
// they had left (overdue ones become due now).
void Rebase(uint64_t ulOldNowMs, uint64_t ulNewNowMs);
// Tests: the next handle the allocator tries (to exercise wrap-around).
void SetNextHandleForTest(uint32_t ulHandle);

}  // namespace lum::timers
