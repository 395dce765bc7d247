// Devices on-line and off-line, the companion WAN, topology refreshes.
#include <arpa/inet.h>

#include "msgproc/msgproc.h"

// The device watchers' notices: until they are built the dispatcher's trace is
// all a message leaves behind.
void HostmonProcDeviceOnLine(const MessageHeader *) {}
void HostmonProcDeviceOffLine(const char *) {}
void HostmonProcLowLevelDeviceOffLine(const char *) {}
void HostmonProcTopoRefresh(const MessageHeader *) {}

void HostmonProcOvanetWanUp(const char *pcIpAddr) {
  if (pcIpAddr == nullptr) return;
  HOSTMON_TRACE("pcIpAddr is %s...\n", pcIpAddr);
  struct in_addr stAddr {};
  if (inet_aton(pcIpAddr, &stAddr) != 0) HostmonSetOvanetWanIp(stAddr.s_addr);
}

void HostmonProcOvanetWanDown(const char *pcIpAddr) {
  if (pcIpAddr == nullptr) return;
  HOSTMON_TRACE("pcIpAddr is %s...\n", pcIpAddr);
  struct in_addr stAddr {};
  if (inet_aton(pcIpAddr, &stAddr) != 0 && stAddr.s_addr == HostmonGetOvanetWanIp()) {
    HostmonSetOvanetWanIp(0);
  }
}
