// Inside the platform: what the test sandbox needs from the event loop.
#pragma once

#include <cstddef>

namespace lum::loop {

// Stops watching every registered descriptor (the owners keep and close them).
void DeleteAllRegistrations();
// How many registrations are live.
size_t RegistrationCount();

}  // namespace lum::loop
