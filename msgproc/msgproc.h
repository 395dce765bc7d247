// Handlers of what the DHCP servers, the wireless side, the device watchers and
// the topology service announce.
#pragma once

#include <cstdint>

#include "main/hostmon.h"

void HostmonProcDhcpsAddIpMac(const MessageHeader *pstMsg);
void HostmonProcDhcpsDelIpMac(const MessageHeader *pstMsg);
void HostmonProcDhcpsDelSingleIpMac(const MessageHeader *pstMsg);
void HostmonProcDhcp6sClientRelease(const MessageHeader *pstMsg);
void HostmonProcWlanDelLease(const MessageHeader *pstMsg);
void HostmonProcDadAddIpv6Item(const MessageHeader *pstMsg);

void HostmonProcDeviceOnLine(const MessageHeader *pstMsg);
// Devices the database did not hold when they came on-line get a second look
// ten seconds later; at most this many wait at once.
inline constexpr uint32_t HOSTMON_MAX_DEVICE_TIMERS = 16;
// 1 when some host object carries the MAC (each such host is probed), else 0.
uint32_t HostmonProbeDeviceFromDb(const char *pcMac);
// The device timer's callback: the second look, then the sweep.
void HostmonSendArpToAll(void *pvArg);
// Forgets the waiting devices (tests: only once their sandbox dropped the timers).
void HostmonDeviceTimersResetForTest();
void HostmonProcDeviceOffLine(const char *pcMac);
void HostmonProcLowLevelDeviceOffLine(const char *pcMac);
void HostmonProcOvanetWanUp(const char *pcIpAddr);
void HostmonProcOvanetWanDown(const char *pcIpAddr);
void HostmonProcTopoRefresh(const MessageHeader *pstMsg);
