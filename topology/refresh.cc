// The bridge change refresh, and what a port's link going down or up means for
// its hosts.
#include <arpa/inet.h>

#include <cstring>

#include "arp/arp.h"
#include "dbsync/dbsync.h"
#include "hosts/hosts.h"
#include "nd6/nd6.h"
#include "platform/lumdb.h"
#include "topology/topology.h"

namespace {

constexpr size_t kNamesBufLen = 256;
// "brN" and its terminator: keys of 10 and above do not fit (see docs/topology.md).
constexpr uint32_t kRefreshNameLen = 4;

// Host objects: slot 0 the IPv4 address text, slot 7 the layer-2 interface path.
constexpr uint32_t kHostSlotIpAddr = 0;
constexpr uint32_t kHostSlotLayer2If = 7;

// Gives every port the bridge the platform now places it in.
bool HostmonRehomePorts() {
  bool bChanged = false;
  for (Port *pstPort = LUM_HOSTMON_GetPortList(); pstPort != nullptr; pstPort = pstPort->pstNext) {
    char acName[kRefreshNameLen] = {};
    if (HostmonGetBridgeNameOfPort(pstPort->pcName, acName, sizeof(acName)) != 0) {
      HOSTMON_TRACE("Fatal: Port [%s] can't find it's bridge.\n", pstPort->pcName);
      continue;
    }
    const char *pcOld = pstPort->pstBridge != nullptr ? pstPort->pstBridge->pcName : "";
    HOSTMON_TRACE("Refreshed bridge name is [%s] for port [%s], old bridge name is [%s].\n", acName,
                  pstPort->pcName, pcOld);
    if (strcmp(acName, pcOld) == 0) {
      HOSTMON_TRACE("Nothing changed for port [%s], continue.\n", pstPort->pcName);
      continue;
    }
    bChanged = true;
    Bridge *pstBridge = LUM_HOSTMON_BridgeFind(acName);
    if (pstBridge == nullptr) pstBridge = LUM_HOSTMON_BridgeAdd(acName);
    if (pstBridge == nullptr) {
      // A port is never left without a bridge: it keeps the old one.
      HOSTMON_TRACE("Fatal: create bridge [%s] failed.\n", acName);
      continue;
    }
    pstPort->pstBridge = pstBridge;
  }
  return bChanged;
}

// Where a name stands as a whole item of the comma list, or null. pcPrefix
// receives the first item that merely starts with the name ("br1" in "br10").
char *HostmonFindListName(char *pcList, const char *pcName, char **ppcPrefix) {
  *ppcPrefix = nullptr;
  const size_t ulLen = strlen(pcName);
  if (ulLen == 0) return nullptr;
  for (char *pcAt = strstr(pcList, pcName); pcAt != nullptr; pcAt = strstr(pcAt + 1, pcName)) {
    // Only the start of an item counts: "br1" inside "xbr1" is no occurrence.
    if (pcAt != pcList && pcAt[-1] != ',') continue;
    const char cAfter = pcAt[ulLen];
    if (cAfter == ',' || cAfter == '\0') return pcAt;
    if (*ppcPrefix == nullptr) *ppcPrefix = pcAt;
  }
  return nullptr;
}

// Strikes every known bridge out of the platform's list and deletes the
// bridges the list no longer names. What is left names bridges not yet known.
bool HostmonStrikeKnownBridges(char *pcList) {
  bool bChanged = false;
  Bridge *pstBridge = LUM_HOSTMON_GetBridgeList();
  while (pstBridge != nullptr) {
    Bridge *pstNext = pstBridge->pstNext;
    char *pcPrefix = nullptr;
    char *pcAt = HostmonFindListName(pcList, pstBridge->pcName, &pcPrefix);
    if (pcAt != nullptr) {
      char *pcEnd = pcAt + strlen(pstBridge->pcName);
      if (*pcEnd == ',') {
        memmove(pcAt, pcEnd + 1, strlen(pcEnd + 1) + 1);
      } else {
        *pcAt = '\0';  // the comma before it, if any, stays
      }
      HOSTMON_TRACE("New bridge name buffer [%s].\n", pcList);
    } else {
      if (pcPrefix != nullptr) {
        HOSTMON_TRACE("pcEnd is [%s], end char is [%c]\n", pcPrefix,
                      pcPrefix[strlen(pstBridge->pcName)]);
      }
      bChanged = true;
      HOSTMON_TRACE("Delete bridge [%s] now pcEnd [%p] ...\n", pstBridge->pcName,
                    static_cast<void *>(pcPrefix));
      LUM_HOSTMON_BridgeDel(pstBridge);
    }
    pstBridge = pstNext;
  }
  return bChanged;
}

}  // namespace

void HostmonBridgeRefresh() {
  (void)HostmonProcAddOtherPort();
  bool bChanged = HostmonRehomePorts();

  char acNames[kNamesBufLen] = {};
  (void)LUM_UTIL_GetBridgeAllNames(acNames, sizeof(acNames));
  HOSTMON_TRACE("Get all bridge name return names [%s].\n", acNames);

  if (HostmonStrikeKnownBridges(acNames)) bChanged = true;
  if (acNames[0] != '\0') bChanged = true;

  if (!bChanged) {
    HOSTMON_TRACE("Bridge change refreshed, nothing need to be done.\n");
    return;
  }
  if (acNames[0] != '\0') {
    HOSTMON_TRACE("Newly detected bridges are [%s].\n", acNames);
    HostmonAddListedBridges(acNames);
  }
  HOSTMON_TRACE("Recreate ipv4 listening socket now ...\n");
  (void)HostmonArpListen();
  HOSTMON_TRACE("Recreate ipv6 listening socket now ...\n");
  (void)HostmonIcmp6ListenAll();
  HOSTMON_TRACE("Bridge change refresh finished.\n");
}

void HostmonProcLanStatusDown(const char *pcIfName) {
  Port *pstPort = LUM_HOSTMON_PortFind(pcIfName);
  if (pstPort == nullptr) {
    HOSTMON_TRACE("Can't find the port for [%s].\n", pcIfName != nullptr ? pcIfName : "");
    return;
  }
  HOSTMON_TRACE("Interface [%s] down ...\n", pstPort->pcName);

  uint32_t ulDeleted = 0;
  MacAddressItem *pstItem = LUM_HOSTMON_GetMacList();
  while (pstItem != nullptr) {
    MacAddressItem *pstNext = pstItem->pstNext;
    if (pstItem->pstPort == pstPort) {
      LUM_HOSTMON_MACAddressDel(pstItem);
      ++ulDeleted;
    }
    pstItem = pstNext;
  }
  if (ulDeleted > 0) {
    (void)HostmonSyncWithDb(0);
  } else {
    HOSTMON_TRACE("No MAC address deleted, no need to sync.\n");
  }
}

void HostmonProcLanStatusUp(const char *pcLayer2Path) {
  HostmonRefreshPortDomains();
  if (pcLayer2Path == nullptr) return;

  for (uint32_t ulSeq = 0;; ++ulSeq) {
    LUM_DB_SLOT *pstValue = nullptr;
    if (LUM_DBGetObjectBySeqNum(nullptr, LUM_DB_KIND_HOST, ulSeq, &pstValue, 0, 0, nullptr) != 0) {
      break;
    }
    if (strcmp(HostmonSlotText(pstValue, kHostSlotLayer2If), pcLayer2Path) == 0) {
      Port *pstPort = LUM_HOSTMON_PortFindByDomain(pcLayer2Path);
      struct in_addr stAddr;
      if (pstPort != nullptr && pstPort->pstBridge != nullptr &&
          inet_pton(AF_INET, HostmonSlotText(pstValue, kHostSlotIpAddr), &stAddr) == 1) {
        // The answer, if any, comes back through learning.
        HostmonSendArpRequest(pstPort->pstBridge, stAddr.s_addr);
      }
    }
    LUM_KEM_FreeObj(LUM_DB_KIND_HOST, pstValue);
  }
}
