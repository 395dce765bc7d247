// The one door of bus messages into the daemon.
#pragma once

#include <cstdint>

// Registered with the bus; pvMsg points to a MessageHeader and its payload.
void HostmonMsgProc(void *pvMsg);
// The catalogue name of a received type, "unknown" for others.
const char *HostmonMsgTypeName(uint32_t ulType);
