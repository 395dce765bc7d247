// Host learning: what one sighting (bridge, port, MAC, address) means for the
// host table, and the host objects that still claim the same address.
#include <arpa/inet.h>
#include <strings.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

#include "arp/arp.h"
#include "arp/arptext.h"
#include "dbsync/dbsync.h"
#include "hosts/hosts.h"
#include "platform/lumdb.h"

namespace {

constexpr uint32_t kSlotIpAddr = 0;
constexpr uint32_t kSlotWireMac = 6;
constexpr uint32_t kSlotIfType = 12;
constexpr uint32_t kSlotIpv6Addr = 0;
constexpr size_t kAddrTextLen = 64;

// The address as inet_ntop writes it; false for a family it refuses.
bool AddrText(uint32_t ulFamily, const uint8_t *pucAddr, char (&acOut)[kAddrTextLen]) {
  if (ulFamily == HOSTMON_AF_INET) {
    uint32_t ulAddr;
    memcpy(&ulAddr, pucAddr, sizeof(ulAddr));
    char acText[HOSTMON_IPV4_TEXT_LEN];
    HostmonIpv4Text(ulAddr, acText);
    memcpy(acOut, acText, sizeof(acText));
    return true;
  }
  if (ulFamily == HOSTMON_AF_INET6) {
    return inet_ntop(AF_INET6, pucAddr, acOut, sizeof(acOut)) != nullptr;
  }
  acOut[0] = '\0';
  return false;
}

const char *PortName(const Port *pstPort) {
  return (pstPort != nullptr && pstPort->pcName != nullptr) ? pstPort->pcName : "";
}

const char *BridgeName(const Bridge *pstBridge) {
  return (pstBridge != nullptr && pstBridge->pcName != nullptr) ? pstBridge->pcName : "";
}

// The port's interface type against a host object's, over the length of the
// port's name (not of either type text).
bool TypesDiffer(const char *pcPortType, const char *pcObjType, size_t ulPortNameLen) {
  return strncmp(pcPortType, pcObjType, ulPortNameLen) != 0;
}

// Family 10: the host object goes when one of its address sub-objects holds the
// address and it sits on another kind of interface. True when it went.
bool DeleteSameIpv6Host(uint32_t *pulKeys, const char *pcAddr, const char *pcPortType,
                        const char *pcObjType, size_t ulPortNameLen) {
  uint32_t ulCount = 0;
  uint32_t *pulInsts = nullptr;
  uint32_t ulRet = LUM_DBGetNumOfObjs(pulKeys, LUM_DB_KIND_HOST_IPV6, &ulCount, &pulInsts);
  if (ulRet != 0) {
    HOSTMON_TRACE(" LUM_DBGetNumOfObjs fail ulRetVal =0x%x\n", ulRet);
    free(pulInsts);
    return false;
  }
  bool bDeleted = false;
  for (uint32_t i = 0; i < ulCount && pulInsts != nullptr; ++i) {
    pulKeys[2] = pulInsts[i];
    LUM_DB_SLOT *pstValue = nullptr;
    if (LUM_DBGetObj(pulKeys, LUM_DB_KIND_HOST_IPV6, &pstValue, 0) != 0) continue;
    const bool bSame = strcmp(HostmonSlotText(pstValue, kSlotIpv6Addr), pcAddr) == 0 &&
                       TypesDiffer(pcPortType, pcObjType, ulPortNameLen);
    LUM_KEM_FreeObj(LUM_DB_KIND_HOST_IPV6, pstValue);
    if (!bSame) continue;
    HOSTMON_TRACE("delete same ipv6 addr\n");
    pulKeys[2] = 0;
    if (LUM_DBDelObj(pulKeys, LUM_DB_KIND_HOST) == 0) {
      bDeleted = true;
      break;
    }
    HOSTMON_TRACE("delete same ip obj failed for ipv6\n");
  }
  free(pulInsts);
  return bDeleted;
}

// What a walk over the host objects learnt besides its deletions: whether a
// host object that is left holds the address text and the wire MAC, as
// HostmonIsHostInDb would answer right after the walk.
enum class InDb { kUnknown, kNo, kYes };

InDb DeleteSameIpWalk(const char *pcPortName, uint32_t ulFamily, const uint8_t *pucAddr,
                      const uint8_t *pucMac);

}  // namespace

void HostmonHostSeen(Bridge *pstBridge, Port *pstPort, const uint8_t *pucMac, uint32_t ulFamily,
                     const uint8_t *pucAddr) {
  if (HostmonLearnHost(pstBridge, pstPort, pucMac, ulFamily, pucAddr) == 0) return;
  HOSTMON_TRACE("Update timer now ...\n");
  LUM_HOSTMON_TimerUpdate();
  (void)HostmonSyncWithDb(ulFamily);
}

uint32_t HostmonLearnHost(Bridge *pstBridge, Port *pstPort, const uint8_t *pucMac,
                          uint32_t ulFamily, const uint8_t *pucAddr) {
  if (pstBridge == nullptr || pstPort == nullptr || pucMac == nullptr || pucAddr == nullptr) {
    return 0;
  }
  uint32_t bNeedSync = 0;

  if (pstPort->pstBridge != pstBridge) {
    HOSTMON_TRACE("Port [%s] has been moved from [%s] to [%s] ...\n", PortName(pstPort),
                  BridgeName(pstPort->pstBridge), BridgeName(pstBridge));
    pstPort->pstBridge = pstBridge;
    bNeedSync = 1;
  }

  MacAddressItem *pstMac = LUM_HOSTMON_MACAddressGet(pucMac);
  if (pstMac == nullptr) {
    pstMac = LUM_HOSTMON_MACAddressFindReal(pucMac);
    if (pstMac != nullptr) {
      // Back under its real MAC (the one its DHCP lease names).
      char acVm[18] = {};
      char acRm[18] = {};
      (void)LUM_UTIL_Disguise_MacAddress(pstMac->aucMac, nullptr, acVm, sizeof(acVm));
      (void)LUM_UTIL_Disguise_MacAddress(nullptr, pstMac->acRealMac, acRm, sizeof(acRm));
      HOSTMON_MLOG("recome VM[%s]RM[%s]IP[%x]DHCP[%d]Pt[%s]\n", acVm, acRm, pstMac->ulLeasedAddr,
                   pstMac->ulDhcp, PortName(pstMac->pstPort));
      memcpy(pstMac->aucMac, pucMac, sizeof(pstMac->aucMac));
      bNeedSync = 1;
    }
  }

  if (pstMac == nullptr) {
    HOSTMON_TRACE("Add a new MAC address now ...\n");
    char acAddr[kAddrTextLen] = {};
    (void)AddrText(ulFamily, pucAddr, acAddr);
    char acMasked[18] = {};
    (void)LUM_UTIL_Disguise_MacAddress(pucMac, nullptr, acMasked, sizeof(acMasked));
    mlog_print("hostmon", 8, "rcv new device arp, ip[%s], mac[%s]\n", acAddr, acMasked);

    pstMac = LUM_HOSTMON_MACAddressNew(pstPort, pucMac);
    if (pstMac == nullptr) {
      HOSTMON_TRACE("Too many MAC addresses detected, just ignore.\n");
      return bNeedSync;
    }
    if (LUM_HOSTMON_MACAddressAddIP(pstMac, ulFamily, pucAddr) == nullptr) {
      HOSTMON_TRACE("Add New IP Failed, not sync DB\n");
      LUM_HOSTMON_MACAddressDel(pstMac);
      return 0;
    }
    HostmonReadLease(pstMac, &bNeedSync);
    if (ulFamily == HOSTMON_AF_INET) {
      // The DHCP server hears of it from the neighbours-file notice of the sync.
      HOSTMON_TRACE("Tell dhcps that new IP address [%s] is added.\n", acAddr);
    }
    return 1;
  }

  if (pstMac->pstPort == nullptr) {
    HOSTMON_TRACE("pstMac->pstPort is NULL\n");
    return 1;
  }

  // One walk over the host objects serves the deletion and, for a known
  // address below, the question whether its host object exists: nothing
  // touches the database in between.
  const InDb eInDb = DeleteSameIpWalk(pstPort->pcName, ulFamily, pucAddr, pucMac);

  if (pstMac->pstPort != pstPort) {
    HOSTMON_TRACE(
        "MAC address [%02x-%02x-**-**-**-%02x] has been moved from port [%s] to port "
        "[%s] ...\n",
        pucMac[0], pucMac[1], pucMac[5], PortName(pstMac->pstPort), PortName(pstPort));
    // The hosts left behind are confirmed or aged out; the item is still
    // counted on the old port here, so it is probed with them.
    LUM_HOSTMON_ProbePortNodes(pstMac->pstPort);
    HostmonReadLease(pstMac, &bNeedSync);
    LUM_HOSTMON_CheckSameMac(pstMac, &bNeedSync);
    pstMac->pstPort = pstPort;
    return 1;
  }

  IpAddressItem *pstIp = LUM_HOSTMON_IPAddressFind(pstMac, ulFamily, pucAddr);
  if (pstIp != nullptr) {
    LUM_HOSTMON_IPAddressRefresh(pstIp);
    char acAddr[kAddrTextLen] = {};
    (void)AddrText(ulFamily, pucAddr, acAddr);
    const bool bInDb =
        eInDb == InDb::kUnknown ? HostmonIsHostInDb(acAddr, pucMac) != 0 : eInDb == InDb::kYes;
    if (!bInDb) bNeedSync = 1;
    HOSTMON_TRACE("The IP address [%s] exists in hostmon, in DB status: [%d].\n", acAddr,
                  bNeedSync);
    HostmonReadLease(pstMac, &bNeedSync);
    LUM_HOSTMON_CheckSameMac(pstMac, &bNeedSync);
    return bNeedSync;
  }

  HOSTMON_TRACE("Add new IP address for this MAC address now ...\n");
  if (LUM_HOSTMON_MACAddressAddIP(pstMac, ulFamily, pucAddr) == nullptr) {
    HOSTMON_TRACE(
        "Too many IP addresses for MAC address [%02x-%02x-**-**-**-%02x] detected, need to "
        "refresh.",
        pucMac[0], pucMac[1], pucMac[5]);
    // Dead addresses age out and make room.
    (void)LUM_HOSTMON_MACAddressProbe(pstMac);
    return bNeedSync;
  }
  HOSTMON_TRACE("detected new address for exist mac, do check now ...\n");
  (void)LUM_HOSTMON_MACAddressProbe(pstMac);
  HostmonReadLease(pstMac, &bNeedSync);
  LUM_HOSTMON_CheckSameMac(pstMac, &bNeedSync);
  return 1;
}

void LUM_HOSTMON_DeleteSameIpInfo(const char *pcPortName, uint32_t ulFamily,
                                  const uint8_t *pucAddr) {
  (void)DeleteSameIpWalk(pcPortName, ulFamily, pucAddr, nullptr);
}

namespace {

InDb DeleteSameIpWalk(const char *pcPortName, uint32_t ulFamily, const uint8_t *pucAddr,
                      const uint8_t *pucMac) {
  if (pcPortName == nullptr || pucAddr == nullptr) {
    HOSTMON_TRACE(" pcPortName || pstAddr is NULL\n");
    return InDb::kUnknown;
  }
  uint32_t ulDevCount = 0;
  uint32_t *pulDevInsts = nullptr;
  uint32_t ulRet = LUM_DBGetNumOfObjs(nullptr, LUM_DB_KIND_LANDEVICE, &ulDevCount, &pulDevInsts);
  if (ulRet != 0) {
    HOSTMON_TRACE(" LUM_DBGetNumOfObjs fail ulRetVal =0x%x\n", ulRet);
    free(pulDevInsts);
    return InDb::kUnknown;
  }
  char acAddr[kAddrTextLen] = {};
  if (!AddrText(ulFamily, pucAddr, acAddr)) {
    HOSTMON_TRACE(" inet_ntop fail\n");
    free(pulDevInsts);
    return InDb::kUnknown;
  }
  HOSTMON_TRACE("LUM_HOSTMON_DeleteSameIpInfo  ip addr %s\n", acAddr);
  char acPortType[16] = {};
  (void)HostmonGetInterfaceType(pcPortName, acPortType, sizeof(acPortType));
  const size_t ulPortNameLen = strlen(pcPortName);
  char acMac[HOSTMON_MAC_TEXT_LEN] = {};
  if (pucMac != nullptr) HostmonMacText(pucMac, acMac, false);
  // Every host object has its LAN device, so this walk sees them all; a read
  // that fails leaves the answer to HostmonIsHostInDb.
  InDb eInDb = pucMac != nullptr ? InDb::kNo : InDb::kUnknown;
  bool bComplete = true;

  uint32_t aulKeys[LUM_DB_KEYS] = {};
  for (uint32_t d = 0; d < ulDevCount && pulDevInsts != nullptr; ++d) {
    aulKeys[0] = pulDevInsts[d];
    uint32_t ulHostCount = 0;
    uint32_t *pulHostInsts = nullptr;
    ulRet = LUM_DBGetNumOfObjs(aulKeys, LUM_DB_KIND_HOST, &ulHostCount, &pulHostInsts);
    if (ulRet != 0) {
      HOSTMON_TRACE(" LUM_KEMA_GetObjInstNum of ssid fail ulRetVal =0x%x\n", ulRet);
      free(pulHostInsts);
      bComplete = false;
      continue;
    }
    for (uint32_t h = 0; h < ulHostCount && pulHostInsts != nullptr; ++h) {
      aulKeys[1] = pulHostInsts[h];
      LUM_DB_SLOT *pstHost = nullptr;
      if (LUM_DBGetObj(aulKeys, LUM_DB_KIND_HOST, &pstHost, 0) != 0) {
        bComplete = false;
        continue;
      }
      const char *pcObjType = HostmonSlotText(pstHost, kSlotIfType);
      HOSTMON_TRACE("====web get access type [%s] ========\n", pcObjType);
      HOSTMON_TRACE("====pcPortName type [%s] ========\n", pcPortName);
      const bool bSameAddr = strcmp(HostmonSlotText(pstHost, kSlotIpAddr), acAddr) == 0;
      bool bDeleted = false;
      if (ulFamily == HOSTMON_AF_INET) {
        if (bSameAddr && TypesDiffer(acPortType, pcObjType, ulPortNameLen)) {
          HOSTMON_TRACE("delete same ip\n");
          bDeleted = LUM_DBDelObj(aulKeys, LUM_DB_KIND_HOST) == 0;
          if (!bDeleted) HOSTMON_TRACE("delete same ip obj failed\n");
        }
      } else if (ulFamily == HOSTMON_AF_INET6) {
        bDeleted = DeleteSameIpv6Host(aulKeys, acAddr, acPortType, pcObjType, ulPortNameLen);
      }
      if (pucMac != nullptr && !bDeleted && bSameAddr &&
          strcasecmp(HostmonSlotText(pstHost, kSlotWireMac), acMac) == 0) {
        eInDb = InDb::kYes;
      }
      LUM_KEM_FreeObj(LUM_DB_KIND_HOST, pstHost);
    }
    free(pulHostInsts);
  }
  free(pulDevInsts);
  return (eInDb == InDb::kNo && !bComplete) ? InDb::kUnknown : eInDb;
}

}  // namespace

uint32_t HostmonIsHostInDb(const char *pcAddr, const uint8_t *pucMac) {
  if (pcAddr == nullptr || pucMac == nullptr) return 0;
  char acMac[HOSTMON_MAC_TEXT_LEN];
  HostmonMacText(pucMac, acMac, false);
  const uint32_t aulParent[LUM_DB_KEYS] = {};
  uint32_t ulCount = 0;
  if (LUM_DBGetNumOfObjs(aulParent, LUM_DB_KIND_HOST, &ulCount, nullptr) != 0) {
    HOSTMON_TRACE("LUM_DBGetNumOfObjs host error.\n");
    return 0;
  }
  for (uint32_t ulSeq = 0; ulSeq < ulCount; ++ulSeq) {
    LUM_DB_SLOT *pstHost = nullptr;
    uint32_t aulKeys[LUM_DB_KEYS] = {};
    uint32_t ulRet =
        LUM_DBGetObjectBySeqNum(aulParent, LUM_DB_KIND_HOST, ulSeq, &pstHost, 0, 0, aulKeys);
    if (ulRet != 0) {
      HOSTMON_TRACE("LUM_DBGetObjectBySeqNum: ulRetVal is %x\r\n", ulRet);
      continue;
    }
    const bool bFound = strcmp(HostmonSlotText(pstHost, kSlotIpAddr), pcAddr) == 0 &&
                        strcasecmp(HostmonSlotText(pstHost, kSlotWireMac), acMac) == 0;
    LUM_KEM_FreeObj(LUM_DB_KIND_HOST, pstHost);
    if (bFound) return 1;
  }
  return 0;
}
