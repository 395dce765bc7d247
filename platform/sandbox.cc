// The test sandbox: every test double in, and everything back out afterwards.
#include "platform/eventloop.h"
#include "platform/sys.h"
#include "platform/testing.h"

namespace lum::testing {

Sandbox::Sandbox(uint32_t ulStartUptimeSec) {
  UseManualClock(ulStartUptimeSec);
  ResetTimers();
  CaptureBus();
  CaptureLogs();
  FakePrivileges(true);
  ResetDb();
  sys::Reset();
}

Sandbox::~Sandbox() {
  ResetTimers();
  lum::loop::DeleteAllRegistrations();
  UseRealClock();
  ReleaseBus();
  ReleaseLogs();
  FakePrivileges(false);
  ResetDb();
  UseRealNet();
  sys::Reset();
}

}  // namespace lum::testing
