// The debug "show" command: every bridge, and under it every host learnt on its
// ports with each of its addresses. Wireless hosts that have left are hidden.
#include <arpa/inet.h>

#include <cstring>

#include "diag/diag.h"
#include "hosts/hosts.h"
#include "main/hostmon.h"
#include "platform/lumdb.h"
#include "topology/topology.h"

namespace {

// Host object slots (MACAddress, InterfaceType).
constexpr uint32_t kHostSlotMac = 5;
constexpr uint32_t kHostSlotIfType = 12;
constexpr const char *kWirelessType = "Wireless";

constexpr size_t kMacTextLen = 18;
constexpr size_t kAddrTextLen = 64;

const char *TextOrEmpty(const char *pcText) { return pcText != nullptr ? pcText : ""; }

}  // namespace

uint32_t HostmonDebugShow(uintptr_t, uintptr_t) {
  HostmonDumpAll();
  return 0;
}

void HostmonDumpAll() {
  for (const Bridge *pstBridge = LUM_HOSTMON_GetBridgeList(); pstBridge != nullptr;
       pstBridge = pstBridge->pstNext) {
    HostmonDumpBridge(pstBridge);
  }
}

void HostmonDumpBridge(const Bridge *pstBridge) {
  if (pstBridge == nullptr) return;
  char acIp[INET_ADDRSTRLEN] = {0};
  in_addr stAddr{};
  stAddr.s_addr = pstBridge->ulIpAddr;
  (void)inet_ntop(AF_INET, &stAddr, acIp, sizeof(acIp));
  LUM_Debug_Print("Bridge [%s] [%s] [%02X:%02X:**:**:**:%02X]====================\n",
                  TextOrEmpty(pstBridge->pcName), acIp, pstBridge->aucMac[0], pstBridge->aucMac[1],
                  pstBridge->aucMac[5]);
  for (const Port *pstPort = LUM_HOSTMON_GetPortList(); pstPort != nullptr;
       pstPort = pstPort->pstNext) {
    if (pstPort->pstBridge == pstBridge) HostmonDumpPort(pstPort);
  }
}

void HostmonDumpPort(const Port *pstPort) {
  if (pstPort == nullptr) return;
  for (const MacAddressItem *pstItem = LUM_HOSTMON_GetMacList(); pstItem != nullptr;
       pstItem = pstItem->pstNext) {
    if (pstItem->pstPort != pstPort) continue;
    if (HostmonDumpHostVisible(pstItem) != 0) HostmonDumpMacItem(pstItem);
  }
}

void HostmonDumpMacItem(const MacAddressItem *pstItem) {
  if (pstItem == nullptr) return;
  const char *pcPortName = pstItem->pstPort != nullptr ? TextOrEmpty(pstItem->pstPort->pcName) : "";
  // The masks are the same for every address of the item.
  char acVirtual[kMacTextLen] = {0};
  char acReal[kMacTextLen] = {0};
  (void)LUM_UTIL_Disguise_MacAddress(pstItem->aucMac, nullptr, acVirtual, kMacTextLen);
  (void)LUM_UTIL_Disguise_MacAddress(nullptr, pstItem->acRealMac, acReal, kMacTextLen);
  for (const IpAddressItem *pstIp = pstItem->pstIpList; pstIp != nullptr; pstIp = pstIp->pstNext) {
    char acAddr[kAddrTextLen] = {0};
    // An unknown family leaves the text empty.
    if (inet_ntop(pstIp->ucFamily, pstIp->aucAddr, acAddr, sizeof(acAddr)) == nullptr) {
      acAddr[0] = '\0';
    }
    LUM_Debug_Print("\t[%s] virtualmac[%s]  realmac[%s] [%s]\n", pcPortName, acVirtual, acReal,
                    acAddr);
  }
}

uint32_t HostmonDumpHostVisible(const MacAddressItem *pstItem) {
  if (pstItem == nullptr) return 1;
  char acMac[kMacTextLen] = {0};
  (void)new_snprintf_s(__FILE__, __LINE__, acMac, sizeof(acMac), sizeof(acMac) - 1,
                       "%02X:%02X:%02X:%02X:%02X:%02X", pstItem->aucMac[0], pstItem->aucMac[1],
                       pstItem->aucMac[2], pstItem->aucMac[3], pstItem->aucMac[4],
                       pstItem->aucMac[5]);
  for (uint32_t ulSeq = 0;; ++ulSeq) {
    LUM_DB_SLOT *pstValue = nullptr;
    if (LUM_DBGetObjectBySeqNum(nullptr, LUM_DB_KIND_HOST, ulSeq, &pstValue, 0, 0, nullptr) != 0 ||
        pstValue == nullptr) {
      return 1;
    }
    const char *pcObjMac = pstValue[kHostSlotMac].pcStr;
    const char *pcObjType = pstValue[kHostSlotIfType].pcStr;
    // Exact text: the database holds upper case, as formatted above.
    if (pcObjMac != nullptr && pcObjType != nullptr && strcmp(pcObjMac, acMac) == 0 &&
        strcmp(pcObjType, kWirelessType) == 0 && LUM_UTIL_IsStaAssociated(pcObjMac) == 0) {
      LUM_KEM_FreeObj(LUM_DB_KIND_HOST, pstValue);
      return 0;
    }
    LUM_KEM_FreeObj(LUM_DB_KIND_HOST, pstValue);
  }
}
