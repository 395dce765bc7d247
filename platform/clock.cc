// The platform's time: a scaled monotonic clock, or a manual one under test.
#include "platform/clock.h"

#include <sys/sysinfo.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>

#include "platform/testing.h"

namespace {

struct RealBase {
  uint64_t ulStartNs;
  uint32_t ulScale;
  uint32_t ulUptimeSec;  // the kernel's uptime when the clock was first read
  bool bBadScale;        // LUM_TIME_SCALE was set but unusable
};

uint64_t MonotonicNs() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

RealBase MakeRealBase() {
  RealBase base{};
  base.ulStartNs = MonotonicNs();
  const char *scale = getenv("LUM_TIME_SCALE");
  base.ulScale = lum::clock::ParseTimeScale(scale);
  base.bBadScale = scale != nullptr && *scale != '\0' && base.ulScale == 1 &&
                   (scale[0] != '1' || scale[1] != '\0');
  struct sysinfo info {};
  if (sysinfo(&info) == 0 && info.uptime > 0) base.ulUptimeSec = static_cast<uint32_t>(info.uptime);
  return base;
}

// Read once, at first use, and never again: the scale cannot change under
// armed timers.
const RealBase &Real() {
  static const RealBase base = MakeRealBase();
  // Traced only once the base exists: the trace itself reads the uptime.
  static std::atomic<bool> s_bReported{false};
  if (base.bBadScale && !s_bReported.exchange(true)) {
    const char *text = getenv("LUM_TIME_SCALE");
    LUM_CORE_TRACE("LUM_TIME_SCALE \"%s\" ignored: not a whole number >= 1",
                   text != nullptr ? text : "");
  }
  return base;
}

std::atomic<bool> g_bManual{false};
std::atomic<uint64_t> g_ulManualMs{0};
std::atomic<uint32_t> g_ulManualStartSec{0};
std::atomic<uint64_t> g_ulSleptMs{0};

uint64_t RealNowMs() {
  const RealBase &base = Real();
  return lum::clock::ScaledMs(MonotonicNs() - base.ulStartNs, base.ulScale);
}

}  // namespace

namespace lum::clock {

uint32_t ParseTimeScale(const char *pcText) {
  if (pcText == nullptr || *pcText == '\0') return 1;
  uint64_t value = 0;
  for (const char *p = pcText; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return 1;
    value = value * 10 + static_cast<uint64_t>(*p - '0');
    if (value > kMaxScale) value = kMaxScale + 1;  // saturate, no overflow on long texts
  }
  if (value < 1) return 1;
  return value > kMaxScale ? kMaxScale : static_cast<uint32_t>(value);
}

// Both split the dividend so that no product needs more than 64 bits: 32-bit
// targets have no 128-bit integer. Same results, wrap-around included.
uint64_t ScaledMs(uint64_t ulElapsedNs, uint32_t ulScale) {
  if (ulScale == 0) ulScale = 1;
  return ulElapsedNs / 1000000U * ulScale + ulElapsedNs % 1000000U * ulScale / 1000000U;
}

int RealWaitMs(uint64_t ulPlatformMs, uint32_t ulScale) {
  if (ulScale == 0) ulScale = 1;
  uint64_t wait = ulPlatformMs / ulScale + (ulPlatformMs % ulScale != 0 ? 1 : 0);
  return wait > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(wait);
}

uint64_t RealSleepNs(uint64_t ulMs, uint32_t ulScale) {
  if (ulScale == 0) ulScale = 1;
  return ulMs / ulScale * 1000000U + ulMs % ulScale * 1000000U / ulScale;
}

bool IsManual() { return g_bManual.load(std::memory_order_relaxed); }

uint32_t Scale() { return Real().ulScale; }

uint64_t NowMs() { return IsManual() ? g_ulManualMs.load(std::memory_order_relaxed) : RealNowMs(); }

void ResetSleptMs() { g_ulSleptMs.store(0, std::memory_order_relaxed); }

void SetManualNowMs(uint64_t ulMs) {
  if (!IsManual()) return;
  if (ulMs > g_ulManualMs.load(std::memory_order_relaxed)) {
    g_ulManualMs.store(ulMs, std::memory_order_relaxed);
  }
}

}  // namespace lum::clock

uint32_t LUM_UTIL_GetSysUpTime() {
  uint64_t base = lum::clock::IsManual() ? g_ulManualStartSec.load(std::memory_order_relaxed)
                                         : Real().ulUptimeSec;
  return static_cast<uint32_t>(base + lum::clock::NowMs() / 1000);
}

void LUM_UTIL_SleepMs(uint32_t ulMs) {
  if (lum::clock::IsManual()) {
    // A real pause holds the loop: time passes, nothing fires until the loop
    // (here: the test's next AdvanceMs) runs again.
    lum::clock::SetManualNowMs(lum::clock::NowMs() + ulMs);
    g_ulSleptMs.fetch_add(ulMs, std::memory_order_relaxed);
    return;
  }
  uint64_t ns = lum::clock::RealSleepNs(ulMs, lum::clock::Scale());
  struct timespec req {};
  req.tv_sec = static_cast<time_t>(ns / 1000000000ULL);
  req.tv_nsec = static_cast<long>(ns % 1000000000ULL);
  struct timespec rem {};
  while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

namespace lum::testing {

void UseManualClock(uint32_t ulStartUptimeSec) {
  uint64_t old = lum::clock::NowMs();
  g_ulManualMs.store(0, std::memory_order_relaxed);
  g_ulManualStartSec.store(ulStartUptimeSec, std::memory_order_relaxed);
  g_ulSleptMs.store(0, std::memory_order_relaxed);
  g_bManual.store(true, std::memory_order_relaxed);
  lum::timers::Rebase(old, 0);
}

void UseRealClock() {
  if (!lum::clock::IsManual()) return;
  uint64_t old = lum::clock::NowMs();
  g_bManual.store(false, std::memory_order_relaxed);
  lum::timers::Rebase(old, lum::clock::NowMs());
}

uint64_t NowMs() { return lum::clock::NowMs(); }

uint64_t SleptMs() { return g_ulSleptMs.load(std::memory_order_relaxed); }

}  // namespace lum::testing
