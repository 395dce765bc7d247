// The host table: one MacAddressItem per device, each owning its IP address list.
#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "arp/arptext.h"
#include "hosts/hosts.h"

namespace {

MacAddressItem *g_pstMacList = nullptr;

// Every address of an item is released with the item.
void HostmonMacItemFree(void *pvItem) {
  auto *pstItem = static_cast<MacAddressItem *>(pvItem);
  (void)LUM_UTIL_ListDeleteAll(&pstItem->pstIpList, nullptr);
}

uint32_t HostmonFirstWord(const uint8_t *pucAddr) {
  uint32_t ulAddr = 0;
  memcpy(&ulAddr, pucAddr, sizeof(ulAddr));
  return ulAddr;
}

// The real MAC field is bounded by construction; the compare stays inside it anyway.
bool HostmonMacTextEqual(const char *pcField, const char *pcText) {
  return strncasecmp(pcField, pcText, sizeof(MacAddressItem::acRealMac)) == 0;
}

// Front of the list for the bridge's own /24, or the companion WAN's /24 while it is up.
bool HostmonGoesFirst(const MacAddressItem *pstItem, const uint8_t *pucAddr) {
  const uint32_t ulNew = HostmonFirstWord(pucAddr);
  const uint32_t ulWan = HostmonGetOvanetWanIp();
  if (ulWan != 0) return HostmonIsSameSubnet(ulNew, ulWan) == 1;
  if (pstItem->pstPort == nullptr || pstItem->pstPort->pstBridge == nullptr) return false;
  return HostmonIsSameSubnet(pstItem->pstPort->pstBridge->ulIpAddr, ulNew) == 1;
}

bool HostmonIsLinkLocal6(const IpAddressItem *pstIp) {
  return pstIp->ucFamily == HOSTMON_AF_INET6 && pstIp->aucAddr[0] == 0xFE &&
         (pstIp->aucAddr[1] & 0xC0) == 0x80;
}

}  // namespace

void HostmonFormatMac(const uint8_t *pucMac, char *pcOut, size_t ulSize) {
  if (pcOut == nullptr || ulSize == 0) return;
  if (pucMac == nullptr) {
    pcOut[0] = '\0';
    return;
  }
  // Without the formatter: the sync pass makes this text for every host.
  char acText[HOSTMON_MAC_TEXT_LEN];
  HostmonMacText(pucMac, acText, true);
  const size_t ulCopy = std::min(ulSize - 1, sizeof(acText) - 1);
  memcpy(pcOut, acText, ulCopy);
  pcOut[ulCopy] = '\0';
}

uint32_t HostmonIsSameSubnet(uint32_t ulA, uint32_t ulB) {
  uint8_t aucA[4];
  uint8_t aucB[4];
  memcpy(aucA, &ulA, sizeof(aucA));
  memcpy(aucB, &ulB, sizeof(aucB));
  return (memcmp(aucA, aucB, 3) == 0 && aucB[3] != 255) ? 1 : 0;
}

MacAddressItem *LUM_HOSTMON_GetMacList() { return g_pstMacList; }

MacAddressItem *LUM_HOSTMON_MACAddressNew(Port *pstPort, const uint8_t *pucMac) {
  if (pucMac == nullptr) return nullptr;
  if (LUM_UTIL_ListGetCount(g_pstMacList) > HOSTMON_MAX_MAC_ITEMS - 1) return nullptr;
  auto *pstItem = static_cast<MacAddressItem *>(HostmonMalloc(
      sizeof(MacAddressItem), HostmonBaseName(__FILE__), "LUM_HOSTMON_MACAddressNew", __LINE__));
  if (pstItem == nullptr) return nullptr;
  memset(pstItem, 0, sizeof(*pstItem));
  pstItem->pstPort = pstPort;
  memcpy(pstItem->aucMac, pucMac, sizeof(pstItem->aucMac));
  HostmonFormatMac(pucMac, pstItem->acRealMac, sizeof(pstItem->acRealMac));
  if (LUM_UTIL_ListAppend(&g_pstMacList, pstItem) != 0) {
    free(pstItem);
    return nullptr;
  }
  return pstItem;
}

MacAddressItem *LUM_HOSTMON_MACAddressGet(const uint8_t *pucMac) {
  if (pucMac == nullptr) return nullptr;
  for (MacAddressItem *pstItem = g_pstMacList; pstItem != nullptr; pstItem = pstItem->pstNext) {
    if (memcmp(pstItem->aucMac, pucMac, sizeof(pstItem->aucMac)) == 0) return pstItem;
  }
  return nullptr;
}

MacAddressItem *LUM_HOSTMON_MACAddressFind(const char *pcMac) {
  if (pcMac == nullptr) return nullptr;
  for (MacAddressItem *pstItem = g_pstMacList; pstItem != nullptr; pstItem = pstItem->pstNext) {
    if (HostmonMacTextEqual(pstItem->acRealMac, pcMac)) return pstItem;
  }
  return nullptr;
}

MacAddressItem *LUM_HOSTMON_MACAddressFindReal(const uint8_t *pucMac) {
  if (pucMac == nullptr) return nullptr;
  char acMac[18];
  HostmonFormatMac(pucMac, acMac, sizeof(acMac));
  return LUM_HOSTMON_MACAddressFind(acMac);
}

MacAddressItem *LUM_HOSTMON_MACAddressFindVirtual(const char *pcMac) {
  if (pcMac == nullptr) return nullptr;
  char acMac[18];
  for (MacAddressItem *pstItem = g_pstMacList; pstItem != nullptr; pstItem = pstItem->pstNext) {
    HostmonFormatMac(pstItem->aucMac, acMac, sizeof(acMac));
    if (HostmonMacTextEqual(acMac, pcMac)) return pstItem;
  }
  return nullptr;
}

void LUM_HOSTMON_MACAddressDel(MacAddressItem *pstItem) {
  if (pstItem == nullptr) return;
  (void)LUM_UTIL_ListDeleteItem(&g_pstMacList, pstItem, HostmonMacItemFree);
}

void LUM_HOSTMON_MACAddressDelByPort(Port *pstPort) {
  if (pstPort == nullptr) return;
  MacAddressItem *pstNext = nullptr;
  for (MacAddressItem *pstItem = g_pstMacList; pstItem != nullptr; pstItem = pstNext) {
    pstNext = pstItem->pstNext;
    if (pstItem->pstPort == pstPort) LUM_HOSTMON_MACAddressDel(pstItem);
  }
}

IpAddressItem *LUM_HOSTMON_MACAddressAddIP(MacAddressItem *pstItem, uint32_t ulFamily,
                                           const uint8_t *pucAddr) {
  if (pstItem == nullptr || pucAddr == nullptr) return nullptr;
  if (LUM_UTIL_ListGetCount(pstItem->pstIpList) > HOSTMON_MAX_IP_ITEMS - 1) return nullptr;
  auto *pstIp = static_cast<IpAddressItem *>(HostmonMalloc(
      sizeof(IpAddressItem), HostmonBaseName(__FILE__), "LUM_HOSTMON_MACAddressAddIP", __LINE__));
  if (pstIp == nullptr) return nullptr;
  memset(pstIp, 0, sizeof(*pstIp));
  pstIp->ulLastSeen = LUM_UTIL_GetSysUpTime();
  pstIp->ucFamily = static_cast<uint8_t>(ulFamily & 0xFF);
  memcpy(pstIp->aucAddr, pucAddr, sizeof(pstIp->aucAddr));
  if (HostmonGoesFirst(pstItem, pucAddr)) {
    pstIp->pstNext = pstItem->pstIpList;
    pstItem->pstIpList = pstIp;
  } else if (LUM_UTIL_ListAppend(&pstItem->pstIpList, pstIp) != 0) {
    free(pstIp);
    return nullptr;
  }
  return pstIp;
}

uint32_t LUM_HOSTMON_IPAddressMatch(const IpAddressItem *pstIp, uint32_t ulFamily,
                                    const uint8_t *pucAddr) {
  if (pstIp == nullptr || pucAddr == nullptr || pstIp->ucFamily != ulFamily) return 0;
  if (ulFamily == HOSTMON_AF_INET) return memcmp(pstIp->aucAddr, pucAddr, 4) == 0 ? 1 : 0;
  if (ulFamily == HOSTMON_AF_INET6) return memcmp(pstIp->aucAddr, pucAddr, 16) == 0 ? 1 : 0;
  return 0;
}

IpAddressItem *LUM_HOSTMON_IPAddressFind(MacAddressItem *pstItem, uint32_t ulFamily,
                                         const uint8_t *pucAddr) {
  if (pstItem == nullptr) return nullptr;
  for (IpAddressItem *pstIp = pstItem->pstIpList; pstIp != nullptr; pstIp = pstIp->pstNext) {
    if (LUM_HOSTMON_IPAddressMatch(pstIp, ulFamily, pucAddr) == 1) return pstIp;
  }
  return nullptr;
}

void LUM_HOSTMON_IPAddressRefresh(IpAddressItem *pstIp) {
  if (pstIp == nullptr) return;
  pstIp->ulLastSeen = LUM_UTIL_GetSysUpTime();
  pstIp->ucProbeCount = 0;
}

void LUM_HOSTMON_IPAddressDel(MacAddressItem *pstItem, uint32_t ulFamily, const uint8_t *pucAddr) {
  IpAddressItem *pstIp = LUM_HOSTMON_IPAddressFind(pstItem, ulFamily, pucAddr);
  if (pstIp == nullptr) return;
  (void)LUM_UTIL_ListDeleteItem(&pstItem->pstIpList, pstIp, nullptr);
  if (pstItem->pstIpList == nullptr) LUM_HOSTMON_MACAddressDel(pstItem);
}

void LUM_HOSTMON_IPAddressDelFamily(MacAddressItem *pstItem, uint32_t ulFamily) {
  if (pstItem == nullptr) return;
  IpAddressItem *pstNext = nullptr;
  for (IpAddressItem *pstIp = pstItem->pstIpList; pstIp != nullptr; pstIp = pstNext) {
    pstNext = pstIp->pstNext;
    if (pstIp->ucFamily == ulFamily) {
      (void)LUM_UTIL_ListDeleteItem(&pstItem->pstIpList, pstIp, nullptr);
    }
  }
  if (pstItem->pstIpList == nullptr) LUM_HOSTMON_MACAddressDel(pstItem);
}

uint32_t LUM_HOSTMON_GetIPv4(const MacAddressItem *pstItem) {
  if (pstItem == nullptr) return 0;
  for (const IpAddressItem *pstIp = pstItem->pstIpList; pstIp != nullptr; pstIp = pstIp->pstNext) {
    if (pstIp->ucFamily != HOSTMON_AF_INET) continue;
    if (pstIp->aucAddr[0] == 169 && pstIp->aucAddr[1] == 254) continue;
    return HostmonFirstWord(pstIp->aucAddr);
  }
  return 0;
}

uint32_t LUM_HOSTMON_GetIPv6LinkLocal(const MacAddressItem *pstItem, uint8_t *pucOut) {
  if (pstItem == nullptr || pucOut == nullptr) return HOSTMON_ERR_NOT_FOUND;
  for (const IpAddressItem *pstIp = pstItem->pstIpList; pstIp != nullptr; pstIp = pstIp->pstNext) {
    if (!HostmonIsLinkLocal6(pstIp)) continue;
    memcpy(pucOut, pstIp->aucAddr, sizeof(pstIp->aucAddr));
    return HOSTMON_OK;
  }
  return HOSTMON_ERR_NOT_FOUND;
}

uint32_t LUM_HOSTMON_GetIPv6ByIndex(const MacAddressItem *pstItem, uint8_t *pucOut,
                                    uint32_t ulIndex) {
  if (pstItem == nullptr || pucOut == nullptr) return HOSTMON_ERR_NOT_FOUND;
  uint32_t ulSeen = 0;
  for (const IpAddressItem *pstIp = pstItem->pstIpList; pstIp != nullptr; pstIp = pstIp->pstNext) {
    if (pstIp->ucFamily != HOSTMON_AF_INET6) continue;
    if (ulSeen++ != ulIndex) continue;
    memcpy(pucOut, pstIp->aucAddr, sizeof(pstIp->aucAddr));
    return HOSTMON_OK;
  }
  return HOSTMON_ERR_NOT_FOUND;
}
