// What the DHCP servers and the wireless side announce. A leased address is
// never entered here: the host is forgotten and probed, and learning takes it
// back from the answer.
#include <cstring>

#include "arp/arp.h"
#include "dbsync/dbsync.h"
#include "hosts/hosts.h"
#include "msgproc/msgproc.h"
#include "nd6/nd6.h"
#include "topology/topology.h"

namespace {

constexpr uint32_t kMacLen = 6;
constexpr uint32_t kIpv6Len = 16;
constexpr uint32_t kAddBridgeOffset = 6;
constexpr uint32_t kSingleIpOffset = 8;
constexpr uint32_t kDadBridgeOffset = 22;
constexpr size_t kMaskedLen = 18;
// Interface names are at most 15 characters; MAC texts 17.
constexpr size_t kBridgeNameLen = 16;
constexpr size_t kMacTextLen = 18;

// The bus leaves zeros past a payload, but only its length is the sender's:
// every field must lie inside it.
bool HostmonRefuse(const MessageHeader *pstMsg) {
  HOSTMON_TRACE("Message [%x] with a payload of %u bytes is malformed, ignore.\n",
                pstMsg->ulMsgType, pstMsg->ulPayloadLen);
  return false;
}

bool HostmonPayloadHas(const MessageHeader *pstMsg, uint32_t ulNeed) {
  return pstMsg->ulPayloadLen >= ulNeed || HostmonRefuse(pstMsg);
}

// A text field runs to its NUL or to the payload's end. One too long for the
// buffer could not name anything we hold, so it is refused rather than cut.
bool HostmonPayloadText(const MessageHeader *pstMsg, uint32_t ulOffset, char *pcBuf,
                        size_t ulSize) {
  if (!HostmonPayloadHas(pstMsg, ulOffset + 1)) return false;
  const char *pcText = reinterpret_cast<const char *>(HostmonMsgPayload(pstMsg)) + ulOffset;
  const size_t ulTextLen = strnlen(pcText, pstMsg->ulPayloadLen - ulOffset);
  if (ulTextLen >= ulSize) return HostmonRefuse(pstMsg);
  memcpy(pcBuf, pcText, ulTextLen);
  pcBuf[ulTextLen] = '\0';
  return true;
}

const char *HostmonItemPortName(const MacAddressItem *pstItem) {
  if (pstItem->pstPort == nullptr || pstItem->pstPort->pcName == nullptr) return "";
  return pstItem->pstPort->pcName;
}

void HostmonTraceDeleteMac(const uint8_t *pucMac) {
  HOSTMON_TRACE("Delete MAC[%02X:%02X:**:**:**:%02X] address now ...\n", pucMac[0], pucMac[1],
                pucMac[5]);
}

}  // namespace

void HostmonProcDhcpsAddIpMac(const MessageHeader *pstMsg) {
  char acBridge[kBridgeNameLen];
  if (pstMsg == nullptr ||
      !HostmonPayloadText(pstMsg, kAddBridgeOffset, acBridge, sizeof(acBridge))) {
    return;
  }
  const uint8_t *pucMac = HostmonMsgPayload(pstMsg);
  const uint32_t ulLeased = pstMsg->ulData;

  char acMasked[kMaskedLen] = {};
  (void)LUM_UTIL_Disguise_MacAddress(pucMac, nullptr, acMasked, sizeof(acMasked));
  HOSTMON_MLOG("Dhcps Add MAC[%s] and IP[%x] address from bridge [%s]\n", acMasked, ulLeased,
               acBridge);

  Bridge *pstBridge = LUM_HOSTMON_BridgeFind(acBridge);
  if (pstBridge == nullptr) {
    HOSTMON_TRACE("Can't find bridge [%s].\n", acBridge);
    return;
  }

  // The lease names the device's real MAC, which may differ from the one on the wire.
  char acMac[kMacTextLen];
  HostmonFormatMac(pucMac, acMac, sizeof(acMac));
  MacAddressItem *pstItem = LUM_HOSTMON_MACAddressFind(acMac);

  uint8_t aucLeased[4];
  uint8_t aucBrIp[4];
  memcpy(aucLeased, &ulLeased, sizeof(aucLeased));
  memcpy(aucBrIp, &pstBridge->ulIpAddr, sizeof(aucBrIp));
  HOSTMON_TRACE("Notify add ip [%u.%u.%u.%u], br ip [%u.%u.%u.%u]\n", aucLeased[0], aucLeased[1],
                aucLeased[2], aucLeased[3], aucBrIp[0], aucBrIp[1], aucBrIp[2], aucBrIp[3]);

  // Forget what we knew of its IPv4 side; its answer to the probe is learnt afresh.
  LUM_HOSTMON_IPAddressDelFamily(pstItem, HOSTMON_AF_INET);
  HostmonSendArpRequest(pstBridge, ulLeased);
  HOSTMON_TRACE("Send ARP to detect finished.\n");
}

void HostmonProcDhcpsDelIpMac(const MessageHeader *pstMsg) {
  if (pstMsg == nullptr || !HostmonPayloadHas(pstMsg, kMacLen)) return;
  const uint8_t *pucMac = HostmonMsgPayload(pstMsg);
  HostmonTraceDeleteMac(pucMac);

  MacAddressItem *pstItem = LUM_HOSTMON_MACAddressGet(pucMac);
  if (pstItem == nullptr) {
    HOSTMON_TRACE("Can't find MAC address item.\n");
    return;
  }
  char acVm[kMaskedLen] = {};
  char acRm[kMaskedLen] = {};
  (void)LUM_UTIL_Disguise_MacAddress(pstItem->aucMac, nullptr, acVm, sizeof(acVm));
  (void)LUM_UTIL_Disguise_MacAddress(nullptr, pstItem->acRealMac, acRm, sizeof(acRm));
  HOSTMON_MLOG("hostmon delitem VMAC [%s] RMAC[%s] IP[%x] DHCP [%d] Port [%s]\n", acVm, acRm,
               pstItem->ulLeasedAddr, pstItem->ulDhcp, HostmonItemPortName(pstItem));

  LUM_HOSTMON_IPAddressDelFamily(pstItem, HOSTMON_AF_INET);
  (void)HostmonSyncWithDb(HOSTMON_AF_INET);
}

void HostmonProcDhcpsDelSingleIpMac(const MessageHeader *pstMsg) {
  if (pstMsg == nullptr || !HostmonPayloadHas(pstMsg, kSingleIpOffset + 4)) return;
  const uint8_t *pucPayload = HostmonMsgPayload(pstMsg);
  HostmonTraceDeleteMac(pucPayload);

  MacAddressItem *pstItem = LUM_HOSTMON_MACAddressGet(pucPayload);
  if (pstItem == nullptr) {
    HOSTMON_TRACE("Can't find MAC address item.\n");
    return;
  }
  uint8_t aucAddr[kIpv6Len] = {};
  memcpy(aucAddr, pucPayload + kSingleIpOffset, 4);
  // The database catches up at the next pass.
  LUM_HOSTMON_IPAddressDel(pstItem, HOSTMON_AF_INET, aucAddr);
}

void HostmonProcWlanDelLease(const MessageHeader *pstMsg) {
  char acMac[kMacTextLen];
  if (pstMsg == nullptr || !HostmonPayloadText(pstMsg, 0, acMac, sizeof(acMac))) return;
  // Masked like every MAC in the trace.
  char acMasked[kMaskedLen] = {};
  (void)LUM_UTIL_Disguise_MacAddress(nullptr, acMac, acMasked, sizeof(acMasked));
  HOSTMON_TRACE("%s\n", acMasked);

  MacAddressItem *pstItem = LUM_HOSTMON_MACAddressFind(acMac);
  if (pstItem != nullptr) {
    HOSTMON_TRACE("find MAC address item.\n");
    char acVm[kMaskedLen] = {};
    char acRm[kMaskedLen] = {};
    (void)LUM_UTIL_Disguise_MacAddress(pstItem->aucMac, nullptr, acVm, sizeof(acVm));
    (void)LUM_UTIL_Disguise_MacAddress(nullptr, pstItem->acRealMac, acRm, sizeof(acRm));
    HOSTMON_MLOG("hostmon del wlan lease VMAC [%s] RMAC[%s] IP[%x] DHCP [%d] Port [%s]\n", acVm,
                 acRm, pstItem->ulLeasedAddr, pstItem->ulDhcp, HostmonItemPortName(pstItem));
    LUM_HOSTMON_MACAddressDel(pstItem);
  }
  for (const MacAddressItem *pstLeft = LUM_HOSTMON_GetMacList(); pstLeft != nullptr;
       pstLeft = pstLeft->pstNext) {
    HOSTMON_TRACE("%02X:%02X:**:**:**:%02X", pstLeft->aucMac[0], pstLeft->aucMac[1],
                  pstLeft->aucMac[5]);
  }
}

void HostmonProcDhcp6sClientRelease(const MessageHeader *pstMsg) {
  if (pstMsg == nullptr || !HostmonPayloadHas(pstMsg, kIpv6Len)) return;
  const uint8_t *pucAddr = HostmonMsgPayload(pstMsg);
  for (MacAddressItem *pstItem = LUM_HOSTMON_GetMacList(); pstItem != nullptr;
       pstItem = pstItem->pstNext) {
    if (LUM_HOSTMON_IPAddressFind(pstItem, HOSTMON_AF_INET6, pucAddr) != nullptr) {
      // May free the item: the walk ends here.
      LUM_HOSTMON_IPAddressDel(pstItem, HOSTMON_AF_INET6, pucAddr);
      break;
    }
  }
  // Also when nobody held it: the database may still list it.
  (void)HostmonSyncWithDb(HOSTMON_AF_INET6);
}

void HostmonProcDadAddIpv6Item(const MessageHeader *pstMsg) {
  char acBridge[kBridgeNameLen];
  if (pstMsg == nullptr ||
      !HostmonPayloadText(pstMsg, kDadBridgeOffset, acBridge, sizeof(acBridge))) {
    return;
  }
  Bridge *pstBridge = LUM_HOSTMON_BridgeFind(acBridge);
  if (pstBridge == nullptr) {
    HOSTMON_TRACE("Can't find bridge [%s].\n", acBridge);
    return;
  }
  (void)HostmonSendNeighborSolicit(pstBridge, HostmonMsgPayload(pstMsg));
  HOSTMON_TRACE("Send NS to detect finished.\n");
}
