// The bridge and port registry. The registry is filled with host learning; until
// then the daemon knows no bridge.
#include "topology/topology.h"

uint32_t LUM_HOSTMON_BridgeInitAll() { return HOSTMON_OK; }
void LUM_HOSTMON_BridgeReloadAll() {}
uint32_t HostmonProcAddOtherPort() { return HOSTMON_OK; }
void HostmonBridgeRefresh() {}
void HostmonProcLanStatusDown(const char *) {}
void HostmonProcLanStatusUp(const char *) {}
