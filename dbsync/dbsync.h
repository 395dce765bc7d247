// Publishing the host table: host objects, neighbours files, notices.
#pragma once

#include <cstdint>

#include "main/hostmon.h"

// One sync pass; family 2, 10, or 0 for both.
uint32_t HostmonSyncWithDb(uint32_t ulFamily);

// LAN device instances and port domains, refreshed at every pass (and by link up).
void HostmonRefreshLanDeviceIds();
void HostmonRefreshPortDomains();
uint32_t HostmonGetPortDomain(char *pcBuf, uint32_t ulLen, const char *pcIfName);
