// Inside the platform: what the test sandbox needs from the event loop.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/lum.h"

namespace lum::loop {

// Stops watching every registered descriptor (the owners keep and close them).
void DeleteAllRegistrations();
// How many registrations are live.
size_t RegistrationCount();

// Registers a platform descriptor that is served before every other one in
// each round (the owner closes it). 0 on success, as LUM_UTIL_SockBaseReg.
uint32_t RegisterFirst(int iFd, LUM_SOCK_CB pfnProc, uint32_t *pulHandle);
// The caller runs on the thread of a running loop (its callbacks and timers).
bool OnLoopThread();

}  // namespace lum::loop
