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
void HostmonProcDeviceOffLine(const char *pcMac);
void HostmonProcLowLevelDeviceOffLine(const char *pcMac);
void HostmonProcOvanetWanUp(const char *pcIpAddr);
void HostmonProcOvanetWanDown(const char *pcIpAddr);
void HostmonProcTopoRefresh(const MessageHeader *pstMsg);
