// The Neighbor Discovery listeners. Built with IPv6 detection.
#include "nd6/nd6.h"

uint32_t HostmonIcmp6ListenAll() { return HOSTMON_OK; }
