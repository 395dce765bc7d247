// LAN topology: the bridges, their member ports, refreshes and link status.
#pragma once

#include <cstdint>

#include "main/hostmon.h"

// The registry.
Bridge *LUM_HOSTMON_GetBridgeList();
Port *LUM_HOSTMON_GetPortList();
uint32_t LUM_HOSTMON_BridgeInitAll();
Bridge *LUM_HOSTMON_BridgeAdd(const char *pcName);
// Creates a bridge for every item of a comma list (the buffer is cut in place).
void HostmonAddListedBridges(char *pcList);
uint32_t LUM_HOSTMON_BridgeReadAddr(Bridge *pstBridge);
// Message 0xBB03.
void LUM_HOSTMON_BridgeReloadAll();
Bridge *LUM_HOSTMON_BridgeFind(const char *pcName);
Bridge *LUM_HOSTMON_BridgeFindByIp(uint32_t ulIpAddr);
void LUM_HOSTMON_BridgeDel(Bridge *pstBridge);
Port *LUM_HOSTMON_PortFind(const char *pcName);
Port *LUM_HOSTMON_PortFindByDomain(const char *pcDomain);
Port *LUM_HOSTMON_PortAdd(Bridge *pstBridge, const char *pcName);
Port *LUM_HOSTMON_PortGetOrAdd(Bridge *pstBridge, const char *pcName);
// Release callbacks of the list deletions.
void HostmonBridgeFree(void *pvBridge);
void HostmonPortFree(void *pvPort);

// Port discovery from the database.
uint32_t HostmonGetBridgeNameOfPort(const char *pcIfName, char *pcBuf, uint32_t ulSize);
// Message 0x3008 and the first step of every refresh.
uint32_t HostmonProcAddOtherPort();

// Message 0xBB02 and start-up.
void HostmonBridgeRefresh();
// Messages 0x5015 and 0x5022 (interface name), 0x5016 (layer-2 interface path).
void HostmonProcLanStatusDown(const char *pcIfName);
void HostmonProcLanStatusUp(const char *pcLayer2Path);
