// The conflict-MAC log: a device that uses or probes for a bridge's own IPv4
// address gets one event-log entry per (address, MAC) pair every five minutes.
#include <arpa/inet.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "diag/diag.h"
#include "main/hostmon.h"
#include "topology/topology.h"

namespace {

constexpr uint32_t kConflictEventId = 0x70000000;
constexpr uint32_t kConflictExpireMs = 300000;
// An add is refused once the list counts more than this: 100 entries at most.
constexpr uint32_t kConflictMaxCountBeforeAdd = 99;
constexpr size_t kMacTextLen = 18;

ConflictMac *g_pstConflictList = nullptr;

int HostmonConflictMacCmp(void *pvItem, void *pvKey) noexcept {
  const auto *pstItem = static_cast<const ConflictMac *>(pvItem);
  const auto *pstKey = static_cast<const ConflictMac *>(pvKey);
  if (pstItem == nullptr || pstKey == nullptr) return 0;
  return (strcmp(pstItem->acMac, pstKey->acMac) == 0 && pstItem->ulIp == pstKey->ulIp) ? 1 : 0;
}

}  // namespace

ConflictMac *HostmonGetConflictList() { return g_pstConflictList; }

ConflictMac *LUM_HOSTMON_FindConflictMac(uint32_t ulIp, const char *pcMac) {
  if (pcMac == nullptr) return nullptr;
  ConflictMac stKey{};
  (void)HOSTMON_COPY_TEXT(stKey.acMac, pcMac);
  stKey.ulIp = ulIp;
  return static_cast<ConflictMac *>(
      LUM_UTIL_ListFindItem(g_pstConflictList, &stKey, HostmonConflictMacCmp));
}

ConflictMac *LUM_HOSTMON_AddConflictMac(uint32_t ulIp, const char *pcMac) {
  if (pcMac == nullptr || LUM_UTIL_ListGetCount(g_pstConflictList) > kConflictMaxCountBeforeAdd) {
    return nullptr;
  }
  auto *pstEntry = static_cast<ConflictMac *>(
      HostmonMalloc(sizeof(ConflictMac), __FILE__, "LUM_HOSTMON_AddConflictMac", __LINE__));
  if (pstEntry == nullptr) return nullptr;
  (void)memset_s(pstEntry, sizeof(*pstEntry), 0, sizeof(*pstEntry));
  (void)HOSTMON_COPY_TEXT(pstEntry->acMac, pcMac);
  pstEntry->ulIp = ulIp;
  if (LUM_UTIL_ListAppend(&g_pstConflictList, pstEntry) != 0) {
    free(pstEntry);
    return nullptr;
  }
  // The handle is not kept: the entry goes when its timer fires, never earlier.
  if (LUM_UTIL_TimerAdd(kConflictExpireMs, 1, HostmonConflictMacExpire, pstEntry) == 0) {
    // Without a timer the pair would stay silenced for good.
    (void)LUM_UTIL_ListDeleteItem(&g_pstConflictList, pstEntry, nullptr);
    return nullptr;
  }
  return pstEntry;
}

void HostmonConflictMacExpire(void *pvEntry) {
  if (pvEntry == nullptr) return;
  (void)LUM_UTIL_ListDeleteItem(&g_pstConflictList, pvEntry, nullptr);
}

void HostmonCheckGatewayIpConflict(uint32_t ulSenderIp, uint32_t ulTargetIp,
                                   const char *pcSenderMac) {
  if (pcSenderMac == nullptr) return;
  // An address probe (sender 0.0.0.0) claims the address it asks about.
  const uint32_t ulConflictIp = ulSenderIp != 0 ? ulSenderIp : ulTargetIp;
  // A bridge without an address holds 0, which no device can claim.
  if (ulConflictIp == 0) return;
  const Bridge *pstBridge = LUM_HOSTMON_BridgeFindByIp(ulConflictIp);
  if (pstBridge == nullptr) return;

  char acBridgeMac[kMacTextLen] = {0};
  (void)new_snprintf_s(__FILE__, __LINE__, acBridgeMac, sizeof(acBridgeMac),
                       sizeof(acBridgeMac) - 1, "%02x:%02x:%02x:%02x:%02x:%02x",
                       pstBridge->aucMac[0], pstBridge->aucMac[1], pstBridge->aucMac[2],
                       pstBridge->aucMac[3], pstBridge->aucMac[4], pstBridge->aucMac[5]);
  if (strcasecmp(acBridgeMac, pcSenderMac) == 0) return;  // the gateway's own packet

  if (LUM_HOSTMON_FindConflictMac(ulConflictIp, pcSenderMac) != nullptr) return;
  if (LUM_HOSTMON_AddConflictMac(ulConflictIp, pcSenderMac) == nullptr) return;

  // The entry stays even when the conversion fails: the pair waits for expiry.
  char acSecureMac[kMacTextLen] = {0};
  if (LUM_UTIL_GetSecureMacAddress(pcSenderMac, acSecureMac, sizeof(acSecureMac)) != 0) return;

  char acIp[INET_ADDRSTRLEN] = {0};
  in_addr stAddr{};
  stAddr.s_addr = ulConflictIp;
  (void)inet_ntop(AF_INET, &stAddr, acIp, sizeof(acIp));
  (void)LUM_LOG_API_Record_Log(kConflictEventId, acIp, acSecureMac,
                               static_cast<const char *>(nullptr));
}
