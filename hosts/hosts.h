// The host table: devices, their addresses, the same-MAC rule, ageing and probes.
#pragma once

#include <cstdint>

#include "main/hostmon.h"

// Items and their addresses.
MacAddressItem *LUM_HOSTMON_GetMacList();
MacAddressItem *LUM_HOSTMON_MACAddressNew(Port *pstPort, const uint8_t *pucMac);
MacAddressItem *LUM_HOSTMON_MACAddressGet(const uint8_t *pucMac);
MacAddressItem *LUM_HOSTMON_MACAddressFind(const char *pcMac);
MacAddressItem *LUM_HOSTMON_MACAddressFindReal(const uint8_t *pucMac);
MacAddressItem *LUM_HOSTMON_MACAddressFindVirtual(const char *pcMac);
void LUM_HOSTMON_MACAddressDel(MacAddressItem *pstItem);
void LUM_HOSTMON_MACAddressDelByPort(Port *pstPort);
IpAddressItem *LUM_HOSTMON_MACAddressAddIP(MacAddressItem *pstItem, uint32_t ulFamily,
                                           const uint8_t *pucAddr);
uint32_t LUM_HOSTMON_IPAddressMatch(const IpAddressItem *pstIp, uint32_t ulFamily,
                                    const uint8_t *pucAddr);
IpAddressItem *LUM_HOSTMON_IPAddressFind(MacAddressItem *pstItem, uint32_t ulFamily,
                                         const uint8_t *pucAddr);
void LUM_HOSTMON_IPAddressRefresh(IpAddressItem *pstIp);
void LUM_HOSTMON_IPAddressDel(MacAddressItem *pstItem, uint32_t ulFamily, const uint8_t *pucAddr);
void LUM_HOSTMON_IPAddressDelFamily(MacAddressItem *pstItem, uint32_t ulFamily);
uint32_t LUM_HOSTMON_GetIPv4(const MacAddressItem *pstItem);
uint32_t LUM_HOSTMON_GetIPv6LinkLocal(const MacAddressItem *pstItem, uint8_t *pucOut);
uint32_t LUM_HOSTMON_GetIPv6ByIndex(const MacAddressItem *pstItem, uint8_t *pucOut,
                                    uint32_t ulIndex);
// The /24 test; not symmetric (B's last octet must not be 255).
uint32_t HostmonIsSameSubnet(uint32_t ulA, uint32_t ulB);
// "%02X:%02X:%02X:%02X:%02X:%02X" into an 18-byte buffer.
void HostmonFormatMac(const uint8_t *pucMac, char *pcOut, size_t ulSize);

// The same-MAC rule.
void LUM_HOSTMON_CheckSameMac(MacAddressItem *pstCurrent, uint32_t *pbNeedSync);

// Ageing and probes.
uint32_t LUM_HOSTMON_IPAddressTimeout(const IpAddressItem *pstIp, const char *pcMac);
uint32_t LUM_HOSTMON_MACAddressTimeout(const MacAddressItem *pstItem);
void LUM_HOSTMON_TimerUpdate();
void LUM_HOSTMON_TimeoutProc(void *pvArg);
uint32_t LUM_HOSTMON_IPAddressProbe(MacAddressItem *pstItem, IpAddressItem *pstIp);
uint32_t LUM_HOSTMON_MACAddressProbe(MacAddressItem *pstItem);
// Message 0xBB04.
void LUM_HOSTMON_ProbeAllNodes();
void LUM_HOSTMON_ProbePortNodes(Port *pstPort);
// Message 0xBB07.
void LUM_HOSTMON_SetTimeQuotaList(const char *pcText);
// The ageing timer's handle (0 until first armed), for tests and the dump.
uint32_t HostmonAgeingTimer();
