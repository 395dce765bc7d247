// A host object's parameters as the host table describes the device, its IPv6
// address sub-objects, and the notices "cms" gets when its address changes.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "arp/arp.h"
#include "arp/arptext.h"
#include "dbsync/addrtext.h"
#include "dbsync/dbsync.h"
#include "hosts/hosts.h"
#include "main/msgcatalog.h"
#include "platform/lumdb.h"

namespace {

// Parameters are written only when they change, so that an unchanged host
// costs no copy and asks for no save.
void HostmonSetTextSlot(LUM_DB_SLOT *pstValue, uint32_t ulSlot, const char *pcText) {
  if (strcmp(HostmonSlotText(pstValue, ulSlot), pcText) == 0) return;
  (void)LUM_KEM_SetObjStrValue(ulSlot, pstValue, pcText);
  HostmonSetDbSaveNeeded();
}

void HostmonSetNumSlot(LUM_DB_SLOT *pstValue, uint32_t ulSlot, uint32_t ulNum) {
  if (pstValue[ulSlot].ulNum == ulNum) return;
  pstValue[ulSlot].ulNum = ulNum;
  HostmonSetDbSaveNeeded();
}

// A present host's IPv4 address changed: "cms" hears of the old one and of a
// conflict with another object.
void HostmonNoticeIpChange(HostInfo *pstInfo, const char *pcOld, const char *pcNew,
                           const char *pcMac) {
  if (pcOld[0] == '\0') return;
  if (inet_pton(AF_INET, pcOld, &pstInfo->ulOldIpAddr) == 1) {
    (void)LUM_MSG_SendMsgData(HOSTMON_APP_CMS, LUM_MSG_HOSTMON_HOST_IP_CHANGE, pstInfo,
                              sizeof(*pstInfo));
  }
  if (HostmonFindIpConflict(pcNew, pcMac, pstInfo->acConflictMac, sizeof(pstInfo->acConflictMac)) ==
      1) {
    char acMasked[18] = {};
    (void)LUM_UTIL_Disguise_MacAddress(nullptr, pstInfo->acConflictMac, acMasked, sizeof(acMasked));
    HOSTMON_TRACE("Found IP conflict with dev MAC[%s], IP[%s]\n", acMasked, pcNew);
    (void)LUM_MSG_SendMsgData(HOSTMON_APP_CMS, LUM_MSG_HOSTMON_IP_CONFLICT, pstInfo,
                              sizeof(*pstInfo));
  }
}

}  // namespace

uint32_t HostmonItemLanDevice(const MacAddressItem *pstItem) {
  if (pstItem == nullptr || pstItem->pstPort == nullptr || pstItem->pstPort->pstBridge == nullptr) {
    return 0;
  }
  return pstItem->pstPort->pstBridge->ulLanDeviceInst;
}

void HostmonFillHostObject(MacAddressItem *pstItem, LUM_DB_SLOT *pstValue) {
  if (pstItem == nullptr || pstValue == nullptr) return;
  char acIfType[16] = {};
  char acLayer2[256] = {};
  char acSource[8] = {};
  HostInfo stInfo;
  memset(&stInfo, 0, sizeof(stInfo));
  const uint32_t ulDhcp = HostmonGetHostInfo(pstItem, &stInfo);

  const Port *pstPort = pstItem->pstPort;
  if (pstPort != nullptr) {
    (void)HostmonGetInterfaceType(pstPort->pcName, acIfType, sizeof(acIfType));
    if (pstPort->pcDomainName != nullptr) HostmonCopyText(acLayer2, pstPort->pcDomainName);
  }
  HostmonFixHostName(&stInfo);
  HOSTMON_TRACE("Host entry values:\n");

  HostmonSetTextSlot(pstValue, HOSTMON_HOST_SLOT_IF_TYPE, acIfType);
  HOSTMON_TRACE("Interface Type:\t%s\n", acIfType);
  HostmonSetTextSlot(pstValue, HOSTMON_HOST_SLOT_MAC, stInfo.acChAddr);
  HostmonSetTextSlot(pstValue, HOSTMON_HOST_SLOT_WIRE_MAC, stInfo.acMacAddr);

  // The leased address comes first; else the first usable one the device used.
  uint32_t ulAddr = 0;  // network byte order
  if (stInfo.ulYiaddr != 0) {
    ulAddr = htonl(stInfo.ulYiaddr);
  } else {
    ulAddr = LUM_HOSTMON_GetIPv4(pstItem);
    stInfo.ulIpv4Active = ulAddr != 0 ? 1 : 0;
  }
  char acNew[HOSTMON_IPV4_TEXT_LEN];
  HostmonIpv4Text(ulAddr, acNew);
  if (stInfo.ulIpv4Active == 1) {
    const char *pcOld = HostmonSlotText(pstValue, HOSTMON_HOST_SLOT_IP);
    if (strcmp(acNew, pcOld) != 0) {
      HOSTMON_TRACE("Host Ip changed!, old=[%s], new=[%s]", pcOld, acNew);
      HostmonSetDbSaveNeeded();
      HostmonSetHostStatusChanged(1);
      HostmonNoticeIpChange(&stInfo, pcOld, acNew,
                            HostmonSlotText(pstValue, HOSTMON_HOST_SLOT_MAC));
    }
    HostmonSetTextSlot(pstValue, HOSTMON_HOST_SLOT_IP, acNew);
  }
  HOSTMON_TRACE("IP Address:\t%s\n", acNew);

  uint8_t aucLinkLocal[16];
  char acIpv6[HOSTMON_IPV6_TEXT_LEN] = {};
  if (LUM_HOSTMON_GetIPv6LinkLocal(pstItem, aucLinkLocal) == HOSTMON_OK) {
    (void)HostmonIpv6Text(aucLinkLocal, acIpv6);
    stInfo.ulIpv6Active = 1;
  } else {
    stInfo.ulIpv6Active = 0;
  }
  HostmonSetTextSlot(pstValue, HOSTMON_HOST_SLOT_IPV6_LL, acIpv6);
  HOSTMON_TRACE("IPv6 Address:\t%s\n", acIpv6);

  if (stInfo.ulIpv4Active == 1) {
    HostmonCopyText(acSource, ulDhcp != 0 ? "DHCP" : "Static");
    HOSTMON_TRACE("Addr source:\t%s\n", acSource);
    HostmonSetTextSlot(pstValue, HOSTMON_HOST_SLOT_ADDR_SOURCE, acSource);
  }

  HostmonSetNumSlot(pstValue, HOSTMON_HOST_SLOT_LEASE, stInfo.ulLease);
  HOSTMON_TRACE("Lease:\t\t%d\n", static_cast<int>(stInfo.ulLease));
  if (stInfo.ulIpv4Active == 1) {
    // A name the user gave a static host is kept; "Static-..." is ours to
    // replace, and so is no name at all (a new object's).
    const char *pcName = HostmonSlotText(pstValue, HOSTMON_HOST_SLOT_HOST_NAME);
    if (ulDhcp != 0 || pcName[0] == '\0' || strstr(pcName, "Static") != nullptr) {
      HostmonSetTextSlot(pstValue, HOSTMON_HOST_SLOT_HOST_NAME, stInfo.acHostName);
    }
    if (ulDhcp != 0) HostmonSetTextSlot(pstValue, HOSTMON_HOST_SLOT_VENDOR, stInfo.acVendorClass);
    HOSTMON_TRACE("Vendor Class:\t%s\n", stInfo.acVendorClass);
  }

  HostmonSetTextSlot(pstValue, HOSTMON_HOST_SLOT_CLIENT_ID, stInfo.acClientId);
  HOSTMON_TRACE("Client ID:\t\t%s\n", stInfo.acClientId);
  HostmonSetTextSlot(pstValue, HOSTMON_HOST_SLOT_USER_CLASS, stInfo.acUserClass);
  HOSTMON_TRACE("User Class:\t%s\n", stInfo.acUserClass);

  if (stInfo.ulIpv4Active != pstValue[HOSTMON_HOST_SLOT_IPV4_ACTIVE].ulNum ||
      strcmp(acLayer2, HostmonSlotText(pstValue, HOSTMON_HOST_SLOT_LAYER2)) != 0) {
    HOSTMON_TRACE("Host on the line again!");
    HostmonSetHostStatusChanged(1);
    HostmonSetNumSlot(pstValue, HOSTMON_HOST_SLOT_LAST_CHANGE, LUM_UTIL_GetSysUpTime());
  }
  HostmonSetTextSlot(pstValue, HOSTMON_HOST_SLOT_LAYER2, acLayer2);
  HOSTMON_TRACE("Layer2 Intf:\t%s\n", acLayer2);
  HostmonSetNumSlot(pstValue, HOSTMON_HOST_SLOT_IPV4_ACTIVE, stInfo.ulIpv4Active);
  HostmonSetNumSlot(pstValue, HOSTMON_HOST_SLOT_IPV6_ACTIVE, stInfo.ulIpv6Active);
}

void HostmonFixHostName(HostInfo *pstInfo) {
  if (pstInfo == nullptr) return;
  if (pstInfo->acHostName[0] == '\0') {
    // A MAC text's 17 characters at most.
    HostmonCopyText(pstInfo->acHostName, std::min<size_t>(sizeof(pstInfo->acHostName), 18),
                    pstInfo->acChAddr);
  }
  for (char &c : pstInfo->acHostName) {
    if (c == '\0') break;
    if (c == ':') c = '-';
  }
}

uint32_t HostmonIsHostActive(const LUM_DB_SLOT *pstValue) {
  if (pstValue == nullptr) return 0;
  return pstValue[HOSTMON_HOST_SLOT_IPV4_ACTIVE].ulNum == 1 ||
                 pstValue[HOSTMON_HOST_SLOT_IPV6_ACTIVE].ulNum == 1
             ? 1
             : 0;
}

uint32_t HostmonFindIpConflict(const char *pcIp, const char *pcMac, char *pcOut, uint32_t ulLen) {
  // Hosts without an IPv4 address all hold the empty text: that is no conflict.
  if (pcIp == nullptr || pcIp[0] == '\0' || pcMac == nullptr || pcOut == nullptr || ulLen == 0) {
    return 0;
  }
  uint32_t ulCount = 0;
  if (LUM_DBGetNumOfObjs(nullptr, LUM_DB_KIND_HOST, &ulCount, nullptr) != 0) {
    HOSTMON_TRACE("LUM_DBGetNumOfObjs host error.\n");
    return 0;
  }
  for (uint32_t ulSeq = 0; ulSeq < ulCount; ++ulSeq) {
    LUM_DB_SLOT *pstValue = nullptr;
    const uint32_t ulRet =
        LUM_DBGetObjectBySeqNum(nullptr, LUM_DB_KIND_HOST, ulSeq, &pstValue, 0, 0, nullptr);
    if (ulRet != 0) {
      HOSTMON_TRACE("LUM_DBGetObjectBySeqNum: ulRetVal is %x\r\n", ulRet);
      continue;
    }
    const char *pcObjMac = HostmonSlotText(pstValue, HOSTMON_HOST_SLOT_MAC);
    if (strcmp(HostmonSlotText(pstValue, HOSTMON_HOST_SLOT_IP), pcIp) == 0 && pcObjMac[0] != '\0' &&
        strcasecmp(pcObjMac, pcMac) != 0) {
      (void)new_snprintf_s(__FILE__, __LINE__, pcOut, ulLen, ulLen - 1, "%s", pcObjMac);
      LUM_KEM_FreeObj(LUM_DB_KIND_HOST, pstValue);
      return 1;
    }
    LUM_KEM_FreeObj(LUM_DB_KIND_HOST, pstValue);
  }
  return 0;
}

uint32_t HostmonDelIpv6AddressOfHost(uint32_t *pulKeys) {
  if (pulKeys == nullptr) return 1;
  HOSTMON_TRACE("Entering HostmonDelIpv6AddressOfHost\n");
  uint32_t ulCount = 0;
  uint32_t *pulInsts = nullptr;
  if (LUM_DBGetNumOfObjs(pulKeys, LUM_DB_KIND_HOST_IPV6, &ulCount, &pulInsts) != 0) return 1;
  HostmonDelIpv6Objects(pulKeys, pulInsts, ulCount);
  free(pulInsts);
  return 0;
}

void HostmonDelIpv6Objects(uint32_t *pulKeys, const uint32_t *pulInsts, uint32_t ulCount) {
  for (uint32_t i = 0; i < ulCount && pulInsts != nullptr; ++i) {
    pulKeys[2] = pulInsts[i];
    (void)LUM_DBDelObj(pulKeys, LUM_DB_KIND_HOST_IPV6);
    HOSTMON_TRACE("Ipv6 address [%d %d %d] is deleted\n", static_cast<int>(pulKeys[0]),
                  static_cast<int>(pulKeys[1]), static_cast<int>(pulKeys[2]));
  }
  HOSTMON_TRACE("Leaving HostmonDelIpv6AddressOfHost\n");
}

uint32_t HostmonAddIpv6AddressOfHost(const MacAddressItem *pstItem, const uint32_t *pulKeys) {
  HOSTMON_TRACE("Entering HostmonAddIpv6AddressOfHost\n");
  // One default value serves every address: the add copies it, and each
  // address replaces the one text it holds.
  LUM_DB_SLOT *pstValue = nullptr;
  uint32_t ulDft = 1;
  uint8_t aucAddr[16];
  for (uint32_t i = 0; pulKeys != nullptr && LUM_HOSTMON_GetIPv6ByIndex(pstItem, aucAddr, i) == 0;
       ++i) {
    if (pstValue == nullptr) ulDft = LUM_DBGetDftObject(LUM_DB_KIND_HOST_IPV6, &pstValue, 0);
    if (ulDft != 0) {
      HOSTMON_TRACE("Get default obj for Ipv6 address failed with %x.\n", ulDft);
      pstValue = nullptr;
      continue;
    }
    char acText[HOSTMON_IPV6_TEXT_LEN];
    (void)HostmonIpv6Text(aucAddr, acText);
    (void)LUM_KEM_SetObjStrValue(HOSTMON_IPV6_SLOT_ADDR, pstValue, acText);
    const uint32_t ulRet = LUM_DBAddObj(pulKeys, LUM_DB_KIND_HOST_IPV6, pstValue, nullptr);
    HOSTMON_TRACE("Add IPv6 address[%s] to DB return %x.\n", acText, ulRet);
  }
  if (pstValue != nullptr) LUM_KEM_FreeObj(LUM_DB_KIND_HOST_IPV6, pstValue);
  HOSTMON_TRACE("Leaving HostmonAddIpv6AddressOfHost\n");
  return 0;
}
