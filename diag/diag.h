// Diagnostics: the debug dump and the log of devices claiming a bridge's address.
#pragma once

#include <cstdint>

#include "main/hostmon.h"

// The ARP receive path calls this hook, when set, for every frame of a known bridge.
using HostmonArpConflictHookFn = void (*)(uint32_t ulSenderIp, uint32_t ulTargetIp,
                                          const char *pcSenderMac);
extern HostmonArpConflictHookFn ArpConflictHook;

// The debug dump.
uint32_t HostmonDebugShow(uintptr_t ulArg1, uintptr_t ulArg2);
void HostmonDumpAll();
void HostmonDumpBridge(const Bridge *pstBridge);
void HostmonDumpPort(const Port *pstPort);
void HostmonDumpMacItem(const MacAddressItem *pstItem);
uint32_t HostmonDumpHostVisible(const MacAddressItem *pstItem);

// The conflict-MAC log.
struct ConflictMac {
  ConflictMac *pstNext;
  char acMac[18];
  uint32_t ulIp;
};
void HostmonCheckGatewayIpConflict(uint32_t ulSenderIp, uint32_t ulTargetIp,
                                   const char *pcSenderMac);
ConflictMac *LUM_HOSTMON_FindConflictMac(uint32_t ulIp, const char *pcMac);
ConflictMac *LUM_HOSTMON_AddConflictMac(uint32_t ulIp, const char *pcMac);
void HostmonConflictMacExpire(void *pvEntry);
ConflictMac *HostmonGetConflictList();
