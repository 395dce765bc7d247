// The DHCP server's two neighbours files, rewritten at the start of every
// sync pass, and the notice that tells "dhcps" once a burst of rewrites is over.
#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "dbsync/dbsync.h"
#include "hosts/hosts.h"
#include "main/msgcatalog.h"

namespace {

uint32_t g_ulNeighborsTimer = 0;

constexpr size_t kLineLen = 128;
constexpr size_t kAddrTextLen = 64;

void HostmonAddrText(const IpAddressItem *pstIp, char (&acOut)[kAddrTextLen]) {
  memset(acOut, 0, sizeof(acOut));
  (void)inet_ntop(pstIp->ucFamily == HOSTMON_AF_INET6 ? AF_INET6 : AF_INET, pstIp->aucAddr, acOut,
                  sizeof(acOut));
}

void HostmonWriteLine(FILE *pstFile, const char *pcLine) {
  const size_t ulLen = strlen(pcLine);
  if (fwrite(pcLine, ulLen, 1, pstFile) != 1) HOSTMON_TRACE("fwrite error!\n");
}

FILE *HostmonOpenNeighbors(const char *pcFixedPath) {
  char acPath[256];
  const char *pcPath = HostmonFixedPath(pcFixedPath, acPath, sizeof(acPath));
  FILE *pstFile = fopen(pcPath, "wb");
  if (pstFile == nullptr) {
    HOSTMON_TRACE("open file to write neighbors' info fail\n");
    return nullptr;
  }
  (void)LUM_UTIL_RemoveAndroidWPerm(pcPath, "660");
  return pstFile;
}

// Lines sit in the stream's buffer until here: a full disk shows at the close.
void HostmonCloseNeighbors(FILE *pstFile) {
  if (fclose(pstFile) != 0) HOSTMON_TRACE("fwrite error!\n");
}

}  // namespace

void HostmonWriteNeighbors(uint32_t ulFamily) {
  HOSTMON_TRACE("Write all MAC address info to neighbors file now ...\n");
  FILE *pstFile = HostmonOpenNeighbors(HOSTMON_NEIGHBORS_FILE);
  if (pstFile == nullptr) return;
  char acLine[kLineLen];
  char acAddr[kAddrTextLen];
  for (const MacAddressItem *pstItem = LUM_HOSTMON_GetMacList(); pstItem != nullptr;
       pstItem = pstItem->pstNext) {
    const uint8_t *m = pstItem->aucMac;
    for (const IpAddressItem *pstIp = pstItem->pstIpList; pstIp != nullptr;
         pstIp = pstIp->pstNext) {
      HostmonAddrText(pstIp, acAddr);
      (void)new_snprintf_s(__FILE__, __LINE__, acLine, sizeof(acLine), sizeof(acLine) - 1,
                           "%02X:%02X:%02X:%02X:%02X:%02X %s\n", m[0], m[1], m[2], m[3], m[4], m[5],
                           acAddr);
      HostmonWriteLine(pstFile, acLine);
    }
  }
  HostmonCloseNeighbors(pstFile);

  pstFile = HostmonOpenNeighbors(HOSTMON_NEIGHBORS_NEW_FILE);
  if (pstFile == nullptr) return;
  for (const MacAddressItem *pstItem = LUM_HOSTMON_GetMacList(); pstItem != nullptr;
       pstItem = pstItem->pstNext) {
    const uint8_t *m = pstItem->aucMac;
    // An item without a port or bridge shows empty names rather than none.
    const Port *pstPort = pstItem->pstPort;
    const char *pcPort = pstPort != nullptr && pstPort->pcName != nullptr ? pstPort->pcName : "";
    const char *pcBridge =
        pstPort != nullptr && pstPort->pstBridge != nullptr && pstPort->pstBridge->pcName != nullptr
            ? pstPort->pstBridge->pcName
            : "";
    for (const IpAddressItem *pstIp = pstItem->pstIpList; pstIp != nullptr;
         pstIp = pstIp->pstNext) {
      HostmonAddrText(pstIp, acAddr);
      memset(acLine, 0, sizeof(acLine));
      (void)new_snprintf_s(__FILE__, __LINE__, acLine, sizeof(acLine), sizeof(acLine) - 1,
                           "%02X:%02X:%02X:%02X:%02X:%02X %s %s %s %s\n", m[0], m[1], m[2], m[3],
                           m[4], m[5], pstItem->acRealMac, acAddr, pcPort, pcBridge);
      HostmonWriteLine(pstFile, acLine);
    }
  }
  HostmonCloseNeighbors(pstFile);
  if (ulFamily != HOSTMON_AF_INET6) HostmonStartNeighborsTimer();
}

void HostmonStartNeighborsTimer() {
  if (g_ulNeighborsTimer == 0) HOSTMON_TRACE("Start NeighBors Update msg timer now ...\n");
  g_ulNeighborsTimer = HostmonRestartTimer(g_ulNeighborsTimer, HOSTMON_NEIGHBORS_DELAY_MS,
                                           HostmonSendNeighborsUpdate);
}

void HostmonSendNeighborsUpdate(void *) {
  HOSTMON_TRACE("Send NeighBors Update msg now ...\n");
  (void)LUM_MSG_SendSimpleMsg(HOSTMON_APP_DHCPS, LUM_HOSTMON_MSG_NEIGHBORS_UPDATE, 0);
  g_ulNeighborsTimer = 0;
}

uint32_t HostmonNeighborsTimer() { return g_ulNeighborsTimer; }
void HostmonNeighborsResetForTest() { g_ulNeighborsTimer = 0; }
