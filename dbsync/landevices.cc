// What the sync pass needs from the database about the topology: each
// bridge's LAN device and each port's interface object path.
#include <cstdlib>
#include <cstring>

#include "dbsync/dbsync.h"
#include "platform/lumdb.h"
#include "topology/topology.h"

namespace {

constexpr size_t kBridgeNameLen = 32;
constexpr uint32_t kDomainLen = 256;

// Interface objects (Ethernet and WLAN): slot 0 Enable, slot 2 the name.
constexpr uint32_t kIfSlotEnable = 0;
constexpr uint32_t kIfSlotName = 2;

// The object's dotted path without its trailing ".".
uint32_t HostmonDomainOf(const uint32_t *pulKeys, uint32_t ulKind, char *pcBuf, uint32_t ulLen) {
  const uint32_t ulRet = LUM_DBKeyListToDomain(pulKeys, ulKind, pcBuf, ulLen);
  if (ulRet != 0) {
    // Callers read the buffer as a text whatever the result.
    if (ulLen > 0) pcBuf[ulLen - 1] = '\0';
    return ulRet;
  }
  const size_t ulPathLen = strnlen(pcBuf, ulLen);
  if (ulPathLen > 0 && pcBuf[ulPathLen - 1] == '.') pcBuf[ulPathLen - 1] = '\0';
  return HOSTMON_OK;
}

}  // namespace

void HostmonRefreshLanDeviceIds() {
  for (Bridge *pstBridge = LUM_HOSTMON_GetBridgeList(); pstBridge != nullptr;
       pstBridge = pstBridge->pstNext) {
    for (uint32_t ulSeq = 0;; ++ulSeq) {
      LUM_DB_SLOT *pstValue = nullptr;
      uint32_t aulKeys[LUM_DB_KEYS] = {};
      if (LUM_DBGetObjectBySeqNum(nullptr, LUM_DB_KIND_BRIDGE_NUM, ulSeq, &pstValue, 0, 0,
                                  aulKeys) != 0) {
        break;
      }
      char acName[kBridgeNameLen] = {};
      (void)new_snprintf_s(__FILE__, __LINE__, acName, sizeof(acName), sizeof(acName) - 1, "br%d",
                           static_cast<int>(pstValue[0].ulNum));
      LUM_KEM_FreeObj(LUM_DB_KIND_BRIDGE_NUM, pstValue);
      if (strcmp(acName, pstBridge->pcName) == 0) {
        pstBridge->ulLanDeviceInst = aulKeys[0];
        HOSTMON_TRACE("LANDevice instance ID for [%s] is %d.\n", pstBridge->pcName,
                      static_cast<int>(aulKeys[0]));
        break;
      }
    }
  }
}

void HostmonRefreshPortDomains() {
  for (Port *pstPort = LUM_HOSTMON_GetPortList(); pstPort != nullptr; pstPort = pstPort->pstNext) {
    char acDomain[kDomainLen] = {};
    (void)HostmonGetPortDomain(acDomain, sizeof(acDomain), pstPort->pcName);
    HOSTMON_TRACE("Get domain name for port [%s] return [%s].\n", pstPort->pcName, acDomain);
    free(pstPort->pcDomainName);
    // Whatever the result: a port without an interface object gets the empty text.
    const size_t ulLen = strlen(acDomain) + 1;
    pstPort->pcDomainName = static_cast<char *>(
        HostmonMalloc(ulLen, HostmonBaseName(__FILE__), "HostmonRefreshPortDomains", __LINE__));
    if (pstPort->pcDomainName != nullptr) memcpy(pstPort->pcDomainName, acDomain, ulLen);
  }
}

uint32_t HostmonGetPortDomain(char *pcBuf, uint32_t ulLen, const char *pcIfName) {
  if (pcBuf == nullptr || pcIfName == nullptr) return 1;

  for (uint32_t ulSeq = 0;; ++ulSeq) {
    LUM_DB_SLOT *pstValue = nullptr;
    uint32_t aulKeys[LUM_DB_KEYS] = {};
    if (LUM_DBGetObjectBySeqNum(nullptr, LUM_DB_KIND_LAN_ETH_IF, ulSeq, &pstValue, 0, 0, aulKeys) !=
        0) {
      break;
    }
    const bool bMatch = strcmp(HostmonSlotText(pstValue, kIfSlotName), pcIfName) == 0;
    HOSTMON_TRACE("Try interface [%s] return %d.\n", HostmonSlotText(pstValue, kIfSlotName),
                  bMatch ? 1 : 0);
    LUM_KEM_FreeObj(LUM_DB_KIND_LAN_ETH_IF, pstValue);
    if (bMatch) return HostmonDomainOf(aulKeys, LUM_DB_KIND_LAN_ETH_IF, pcBuf, ulLen);
  }

  // A radio counts only while it is enabled.
  for (uint32_t ulSeq = 0;; ++ulSeq) {
    LUM_DB_SLOT *pstValue = nullptr;
    uint32_t aulKeys[LUM_DB_KEYS] = {};
    if (LUM_DBGetObjectBySeqNum(nullptr, LUM_DB_KIND_WLAN_CFG, ulSeq, &pstValue, 0, 0, aulKeys) !=
        0) {
      break;
    }
    const bool bNameMatch = strcmp(HostmonSlotText(pstValue, kIfSlotName), pcIfName) == 0;
    const uint32_t ulEnable = pstValue[kIfSlotEnable].ulNum;
    HOSTMON_TRACE("Try interface [%s] return %d, enable:%d\n",
                  HostmonSlotText(pstValue, kIfSlotName), bNameMatch ? 1 : 0,
                  static_cast<int>(ulEnable));
    LUM_KEM_FreeObj(LUM_DB_KIND_WLAN_CFG, pstValue);
    if (bNameMatch && ulEnable == 1) {
      return HostmonDomainOf(aulKeys, LUM_DB_KIND_WLAN_CFG, pcBuf, ulLen);
    }
  }
  return HOSTMON_ERR_NOT_FOUND;
}
