// Publishing the host table: host objects, neighbours files, notices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "main/hostmon.h"

// The text, cut to fit the field, as HOSTMON_COPY_TEXT copies it; without the
// formatter, for copies made for every host of every pass.
inline void HostmonCopyText(char *pcField, size_t ulSize, const char *pcText) {
  const size_t ulLen = strnlen(pcText, ulSize - 1);
  memcpy(pcField, pcText, ulLen);
  pcField[ulLen] = '\0';
}
template <size_t N>
inline void HostmonCopyText(char (&acField)[N], const char *pcText) {
  HostmonCopyText(acField, N, pcText);
}

// Host object slots (kind LUM_DB_KIND_HOST).
inline constexpr uint32_t HOSTMON_HOST_SLOT_IP = 0;
inline constexpr uint32_t HOSTMON_HOST_SLOT_IPV6_LL = 1;
inline constexpr uint32_t HOSTMON_HOST_SLOT_ADDR_SOURCE = 2;
inline constexpr uint32_t HOSTMON_HOST_SLOT_LEASE = 3;
inline constexpr uint32_t HOSTMON_HOST_SLOT_LAST_CHANGE = 4;
inline constexpr uint32_t HOSTMON_HOST_SLOT_MAC = 5;
inline constexpr uint32_t HOSTMON_HOST_SLOT_WIRE_MAC = 6;
inline constexpr uint32_t HOSTMON_HOST_SLOT_LAYER2 = 7;
inline constexpr uint32_t HOSTMON_HOST_SLOT_VENDOR = 8;
inline constexpr uint32_t HOSTMON_HOST_SLOT_CLIENT_ID = 9;
inline constexpr uint32_t HOSTMON_HOST_SLOT_USER_CLASS = 10;
inline constexpr uint32_t HOSTMON_HOST_SLOT_HOST_NAME = 11;
inline constexpr uint32_t HOSTMON_HOST_SLOT_IF_TYPE = 12;
inline constexpr uint32_t HOSTMON_HOST_SLOT_IPV4_ACTIVE = 14;
inline constexpr uint32_t HOSTMON_HOST_SLOT_IPV6_ACTIVE = 15;
inline constexpr uint32_t HOSTMON_HOST_SLOT_DEVICE_NAME = 16;
// IPv6 address sub-object (kind LUM_DB_KIND_HOST_IPV6).
inline constexpr uint32_t HOSTMON_IPV6_SLOT_ADDR = 0;

// Room for this many host objects before an inactive one is deleted.
inline constexpr uint32_t HOSTMON_MAX_HOST_OBJECTS = 64;
inline constexpr uint32_t HOSTMON_SAVE_DELAY_MS = 1000;
inline constexpr uint32_t HOSTMON_NEIGHBORS_DELAY_MS = 3000;
inline constexpr uint32_t HOSTMON_NOTICE_PAUSE_MS = 400;

inline constexpr const char *HOSTMON_NEIGHBORS_FILE = "/var/dhcp/dhcps/neighbors";
inline constexpr const char *HOSTMON_NEIGHBORS_NEW_FILE = "/var/dhcp/dhcps/neighbors_new";

// A host object to move to another LAN device once the walk is over.
struct MoveHostItem {
  MoveHostItem *pstNext;
  uint32_t ulFromLanDevice;
  uint32_t ulFromHost;
  uint32_t ulToLanDevice;
};

// The pass.
// One sync pass; family 2, 10, or 0 for both.
uint32_t HostmonSyncWithDb(uint32_t ulFamily);
void HostmonSetAllInDbMarks(uint8_t ucValue);
void HostmonSetInDbMark(const char *pcMac, uint8_t ucValue);
uint32_t LUM_HOSTMON_MoveHostAdd(uint32_t ulFromLanDevice, uint32_t ulFromHost,
                                 uint32_t ulToLanDevice);
void HostmonMoveHosts();
MoveHostItem *HostmonGetMoveHostList();
void HostmonScheduleSave();
void HostmonSaveDb(void *pvArg);

// Flags shared by the pass and the host object operations; loop thread only.
void HostmonSetDbSaveNeeded();
int HostmonDbSaveNeeded();
void HostmonSetHostStatusChanged(int iValue);
int HostmonHostStatusChanged();
// Pending timers' handles, 0 when idle.
uint32_t HostmonDbSaveTimer();
uint32_t HostmonNeighborsTimer();
// Back to idle (tests: their sandbox drops every timer).
void HostmonSyncResetForTest();
void HostmonNeighborsResetForTest();
// Arms a once-timer, or restarts it with its full period while it is pending;
// returns the handle to keep (0 when it cannot be created).
uint32_t HostmonRestartTimer(uint32_t ulHandle, uint32_t ulPeriodMs, LUM_TIMER_CB pfnProc);

// The 400 ms pause, then a HostInfo notice to "cms".
uint32_t HostmonNotifyCmsAfterPause(uint32_t ulType, const HostInfo *pstInfo);

// LAN device instances and port domains, refreshed at every pass (and by link up).
void HostmonRefreshLanDeviceIds();
void HostmonRefreshPortDomains();
uint32_t HostmonGetPortDomain(char *pcBuf, uint32_t ulLen, const char *pcIfName);

// Host objects.
void HostmonFillHostObject(MacAddressItem *pstItem, LUM_DB_SLOT *pstValue);
void HostmonAddNewHosts();
uint32_t HostmonDelIpv6AddressOfHost(uint32_t *pulKeys);
// The same, for sub-objects whose instances the caller already holds.
void HostmonDelIpv6Objects(uint32_t *pulKeys, const uint32_t *pulInsts, uint32_t ulCount);
uint32_t HostmonAddIpv6AddressOfHost(const MacAddressItem *pstItem, const uint32_t *pulKeys);
uint32_t HostmonIsHostActive(const LUM_DB_SLOT *pstValue);
void HostmonFixHostName(HostInfo *pstInfo);
uint32_t HostmonFindIpConflict(const char *pcIp, const char *pcMac, char *pcOut, uint32_t ulLen);
// The LAN device instance of the item's bridge, 0 when the item has no port or bridge.
uint32_t HostmonItemLanDevice(const MacAddressItem *pstItem);

// Neighbours files and the notice to "dhcps".
void HostmonWriteNeighbors(uint32_t ulFamily);
void HostmonStartNeighborsTimer();
void HostmonSendNeighborsUpdate(void *pvArg);
