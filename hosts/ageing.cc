// Ageing of the host table: one timer set to the earliest timeout of every
// address; silent addresses are probed, then deleted.
#include <arpa/inet.h>
#include <strings.h>

#include <cstring>

#include "arp/arp.h"
#include "dbsync/dbsync.h"
#include "hosts/hosts.h"
#include "nd6/nd6.h"

namespace {

// Seconds from last seen (or last probed) to the timeout instant.
constexpr uint32_t kFirstTimeout = 290;
constexpr uint32_t kQuotaTimeout = 30;
constexpr uint32_t kProbedTimeout = 3;
// Overdue instants are handled almost at once, never with period 0 (which stops).
constexpr uint32_t kOverdueMs = 10;
constexpr uint32_t kMaxPeriodSec = 0xFFFFFFFFu / 1000;

char g_acTimeQuotaList[600] = "";
uint32_t g_ulAgeingTimer = 0;

// The probe and the deletion test reach the bridge through the item's port.
const Bridge *HostmonItemBridge(const MacAddressItem *pstItem) {
  return pstItem->pstPort != nullptr ? pstItem->pstPort->pstBridge : nullptr;
}

void HostmonFormatIp(const IpAddressItem *pstIp, char *pcOut, size_t ulSize) {
  pcOut[0] = '\0';
  const int iFamily = pstIp->ucFamily == HOSTMON_AF_INET6 ? AF_INET6 : AF_INET;
  if (inet_ntop(iFamily, pstIp->aucAddr, pcOut, static_cast<socklen_t>(ulSize)) == nullptr) {
    pcOut[0] = '\0';
  }
}

// Without a bridge the test counts as not met: the address gets its second probe.
bool HostmonInBridgeSubnet(const MacAddressItem *pstItem, const IpAddressItem *pstIp) {
  const Bridge *pstBridge = HostmonItemBridge(pstItem);
  if (pstBridge == nullptr) return false;
  uint32_t ulAddr = 0;
  memcpy(&ulAddr, pstIp->aucAddr, sizeof(ulAddr));
  return HostmonIsSameSubnet(pstBridge->ulIpAddr, ulAddr) == 1;
}

// Re-arms the timer; a handle the platform no longer knows is made anew.
void HostmonArmAgeingTimer(uint32_t ulPeriodMs) {
  if (LUM_UTIL_TimerChgPeriod(g_ulAgeingTimer, ulPeriodMs) == 0) return;
  g_ulAgeingTimer = LUM_UTIL_TimerAdd(0, 0, LUM_HOSTMON_TimeoutProc, nullptr);
  (void)LUM_UTIL_TimerChgPeriod(g_ulAgeingTimer, ulPeriodMs);
}

void HostmonDeleteTimedOut(MacAddressItem *pstItem, IpAddressItem *pstIp, const char *pcAddr) {
  HOSTMON_TRACE("IP address [%s] can not be detected, delete it.\n", pcAddr);
  char acVm[18] = {};
  char acRm[18] = {};
  (void)LUM_UTIL_Disguise_MacAddress(pstItem->aucMac, nullptr, acVm, sizeof(acVm));
  (void)LUM_UTIL_Disguise_MacAddress(nullptr, pstItem->acRealMac, acRm, sizeof(acRm));
  mlog_print("hostmon", 8, "<ipaddress time out VMAC[%s] RMAC [%s] IP [%s]\n", acVm, acRm, pcAddr);
  HOSTMON_TRACE("<hostmon ipaddress time out VMAC[%s] RMAC [%s] IP [%s]\n", acVm, acRm, pcAddr);
  (void)LUM_UTIL_ListDeleteItem(&pstItem->pstIpList, pstIp, nullptr);
}

}  // namespace

uint32_t HostmonAgeingTimer() { return g_ulAgeingTimer; }

uint32_t LUM_HOSTMON_IPAddressTimeout(const IpAddressItem *pstIp, const char *pcMac) {
  if (pstIp == nullptr) return 0;
  const bool bQuota =
      pcMac != nullptr && pcMac[0] != '\0' && strcasestr(g_acTimeQuotaList, pcMac) != nullptr;
  if (bQuota) {
    return pstIp->ulLastSeen + (pstIp->ucProbeCount < 2 ? kQuotaTimeout : kProbedTimeout);
  }
  return pstIp->ulLastSeen + (pstIp->ucProbeCount == 0 ? kFirstTimeout : kProbedTimeout);
}

uint32_t LUM_HOSTMON_MACAddressTimeout(const MacAddressItem *pstItem) {
  if (pstItem == nullptr) return 0;
  char acMac[18];
  HostmonFormatMac(pstItem->aucMac, acMac, sizeof(acMac));
  uint32_t ulMin = 0;
  for (const IpAddressItem *pstIp = pstItem->pstIpList; pstIp != nullptr; pstIp = pstIp->pstNext) {
    const uint32_t ulTimeout = LUM_HOSTMON_IPAddressTimeout(pstIp, acMac);
    if (ulTimeout != 0 && (ulMin == 0 || ulTimeout < ulMin)) ulMin = ulTimeout;
  }
  return ulMin;
}

void LUM_HOSTMON_TimerUpdate() {
  uint32_t ulMin = 0;
  for (const MacAddressItem *pstItem = LUM_HOSTMON_GetMacList(); pstItem != nullptr;
       pstItem = pstItem->pstNext) {
    const uint32_t ulTimeout = LUM_HOSTMON_MACAddressTimeout(pstItem);
    if (ulTimeout != 0 && (ulMin == 0 || ulTimeout < ulMin)) ulMin = ulTimeout;
  }
  HOSTMON_TRACE("Got minimum timeout value for all IP addresses is [%d].\n",
                static_cast<int>(ulMin));

  if (ulMin == 0) {
    HOSTMON_TRACE("Stop timeout timer now ...\n");
    // Never created: nothing to stop. A handle the platform forgot is dropped.
    if (g_ulAgeingTimer != 0 && LUM_UTIL_TimerChgPeriod(g_ulAgeingTimer, 0) != 0) {
      g_ulAgeingTimer = 0;
    }
    return;
  }

  const uint32_t ulNow = LUM_UTIL_GetSysUpTime();
  if (g_ulAgeingTimer == 0) {
    g_ulAgeingTimer = LUM_UTIL_TimerAdd(0, 0, LUM_HOSTMON_TimeoutProc, nullptr);
  }
  HOSTMON_TRACE("Next timeout time %d, now is %d.\n", static_cast<int>(ulMin),
                static_cast<int>(ulNow));
  uint32_t ulPeriodMs = kOverdueMs;
  if (ulMin > ulNow) {
    const uint32_t ulWait = ulMin - ulNow;
    ulPeriodMs = 1000 * (ulWait < kMaxPeriodSec ? ulWait : kMaxPeriodSec);
  }
  HOSTMON_TRACE("Setup timeout timer in %d miniseconds now ...\n", static_cast<int>(ulPeriodMs));
  HostmonArmAgeingTimer(ulPeriodMs);
}

void LUM_HOSTMON_TimeoutProc(void * /*pvArg*/) {
  const uint32_t ulNow = LUM_UTIL_GetSysUpTime();
  HOSTMON_TRACE("Check timeout now at [%d] ...\n", static_cast<int>(ulNow));
  bool bChanged = false;
  bool bDeleted4 = false;
  bool bDeleted6 = false;

  MacAddressItem *pstNextItem = nullptr;
  for (MacAddressItem *pstItem = LUM_HOSTMON_GetMacList(); pstItem != nullptr;
       pstItem = pstNextItem) {
    pstNextItem = pstItem->pstNext;
    char acMac[18];
    HostmonFormatMac(pstItem->aucMac, acMac, sizeof(acMac));

    IpAddressItem *pstNextIp = nullptr;
    for (IpAddressItem *pstIp = pstItem->pstIpList; pstIp != nullptr; pstIp = pstNextIp) {
      pstNextIp = pstIp->pstNext;
      char acAddr[INET6_ADDRSTRLEN];
      HostmonFormatIp(pstIp, acAddr, sizeof(acAddr));
      const uint32_t ulTimeout = LUM_HOSTMON_IPAddressTimeout(pstIp, acMac);
      HOSTMON_TRACE("IP address [%s] timeout value is [%d], now is [%d].\n", acAddr,
                    static_cast<int>(ulTimeout), static_cast<int>(ulNow));
      if (ulTimeout > ulNow) continue;

      const bool bDelete = pstIp->ucProbeCount >= 2 ||
                           (pstIp->ucProbeCount == 1 && HostmonInBridgeSubnet(pstItem, pstIp));
      if (!bDelete) {
        (void)LUM_HOSTMON_IPAddressProbe(pstItem, pstIp);
        HOSTMON_TRACE(
            "IP address [%s] inactive for a long time, send %dth packet to detect  now .\n", acAddr,
            static_cast<int>(pstIp->ucProbeCount));
        continue;
      }
      if (pstIp->ucFamily == HOSTMON_AF_INET6) {
        bDeleted6 = true;
      } else {
        bDeleted4 = true;
      }
      HostmonDeleteTimedOut(pstItem, pstIp, acAddr);
      bChanged = true;
    }

    if (pstItem->pstIpList == nullptr) {
      HOSTMON_TRACE("All IP addresses addresses are timeout.\n");
      LUM_HOSTMON_MACAddressDel(pstItem);
    }
  }

  if (bChanged) {
    HOSTMON_TRACE("Some of the hosts IP address are timeout, sync to DB now ...\n");
    uint32_t ulFamily = 0;
    if (!bDeleted6) ulFamily = HOSTMON_AF_INET;
    if (!bDeleted4) ulFamily = HOSTMON_AF_INET6;
    (void)HostmonSyncWithDb(ulFamily);
  }
  HOSTMON_TRACE("Setup next timer now ...\n");
  LUM_HOSTMON_TimerUpdate();
  HOSTMON_TRACE("Timeout proc finished.\n");
}

uint32_t LUM_HOSTMON_IPAddressProbe(MacAddressItem *pstItem, IpAddressItem *pstIp) {
  if (pstItem == nullptr || pstIp == nullptr) return HOSTMON_ERR_NOT_FOUND;
  // Learning never leaves an item without a port; one that has none is counted
  // as probed without a packet, and so ages out on the normal schedule.
  Bridge *pstBridge = pstItem->pstPort != nullptr ? pstItem->pstPort->pstBridge : nullptr;
  if (pstBridge == nullptr) {
    HOSTMON_TRACE("pstMac->pstPort is NULL\n");
  } else if (pstIp->ucFamily == HOSTMON_AF_INET6) {
    (void)HostmonSendNeighborSolicit(pstBridge, pstIp->aucAddr);
  } else if (pstIp->ucFamily == HOSTMON_AF_INET) {
    uint32_t ulAddr = 0;
    memcpy(&ulAddr, pstIp->aucAddr, sizeof(ulAddr));
    if (pstIp->ucProbeCount == 0) {
      HostmonSendArpRequest(pstBridge, ulAddr);
    } else if (pstIp->ucProbeCount == 1) {
      HostmonSendArp(pstBridge, ulAddr, 1);
    }
  }
  pstIp->ulLastSeen = LUM_UTIL_GetSysUpTime();
  pstIp->ucProbeCount = static_cast<uint8_t>(pstIp->ucProbeCount + 1);
  return HOSTMON_OK;
}

uint32_t LUM_HOSTMON_MACAddressProbe(MacAddressItem *pstItem) {
  if (pstItem == nullptr) return HOSTMON_ERR_NOT_FOUND;
  for (IpAddressItem *pstIp = pstItem->pstIpList; pstIp != nullptr; pstIp = pstIp->pstNext) {
    (void)LUM_HOSTMON_IPAddressProbe(pstItem, pstIp);
  }
  return HOSTMON_OK;
}

void LUM_HOSTMON_ProbeAllNodes() {
  for (MacAddressItem *pstItem = LUM_HOSTMON_GetMacList(); pstItem != nullptr;
       pstItem = pstItem->pstNext) {
    (void)LUM_HOSTMON_MACAddressProbe(pstItem);
  }
}

void LUM_HOSTMON_ProbePortNodes(Port *pstPort) {
  if (pstPort == nullptr) return;
  for (MacAddressItem *pstItem = LUM_HOSTMON_GetMacList(); pstItem != nullptr;
       pstItem = pstItem->pstNext) {
    if (pstItem->pstPort == pstPort) (void)LUM_HOSTMON_MACAddressProbe(pstItem);
  }
}

void LUM_HOSTMON_SetTimeQuotaList(const char *pcText) {
  if (pcText == nullptr || strcmp(pcText, g_acTimeQuotaList) == 0) return;
  (void)new_snprintf_s(__FILE__, __LINE__, g_acTimeQuotaList, sizeof(g_acTimeQuotaList),
                       sizeof(g_acTimeQuotaList) - 1, "%s", pcText);
  LUM_HOSTMON_TimerUpdate();
}
