// Devices on-line and off-line, the companion WAN, topology refreshes.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <cctype>
#include <cstring>

#include "arp/arp.h"
#include "dbsync/dbsync.h"
#include "hosts/hosts.h"
#include "main/msgcatalog.h"
#include "msgproc/msgproc.h"
#include "platform/sys.h"
#include "topology/topology.h"

namespace {

constexpr uint32_t kDeviceTimerMs = 10000;
constexpr uint32_t kSweepPauseMs = 12;
constexpr const char *kSweepBridge = "br0";
constexpr size_t kMacTextLen = 18;  // "XX:XX:XX:XX:XX:XX" and its end
// The longest dotted quad and its end; an announcer writes nothing longer.
constexpr size_t kIpv4TextLen = 16;
constexpr size_t kLayer2Len = 260;
// A packet socket's destination: cleared, the interface name from byte 2.
constexpr size_t kPktAddrLen = 16;
constexpr size_t kPktAddrName = 14;

// A device the database did not hold when it came on-line, waiting for its
// ten-second second look. The timer's argument; the callback frees it.
struct DeviceTimer {
  DeviceTimer *pstNext;
  char acMac[kMacTextLen];
};

DeviceTimer *g_pstDeviceTimers = nullptr;

// One ARP sweep from the companion WAN address out of "br0", on one socket.
struct Sweep {
  int iFd;
  uint32_t ulFrom;
  const uint8_t *pucMac;
  uint8_t aucTo[kPktAddrLen];
};

// "hh:hh:hh:hh:hh:hh" in either case, within the first ulMax bytes.
bool HostmonIsMacText(const char *pcText, size_t ulMax) {
  if (strnlen(pcText, ulMax) != kMacTextLen - 1) return false;
  for (size_t i = 0; i < kMacTextLen - 1; ++i) {
    const bool bColon = i % 3 == 2;
    const unsigned char ucChar = static_cast<unsigned char>(pcText[i]);
    if (bColon ? ucChar != ':' : isxdigit(ucChar) == 0) return false;
  }
  return true;
}

// The texts of the notices that pass only a pointer are cut here; the bus
// terminates every text inside its buffer, this keeps the read short anyway.
bool HostmonCopyText(const char *pcText, char *pcOut, size_t ulSize) {
  const size_t ulLen = strnlen(pcText, ulSize);
  const size_t ulKeep = ulLen < ulSize ? ulLen : ulSize - 1;
  memcpy(pcOut, pcText, ulKeep);
  pcOut[ulKeep] = '\0';
  return ulLen < ulSize;
}

// The companion WAN notices' address text, traced as it came (cut if long).
bool HostmonParseWanAddr(const char *pcText, uint32_t *pulAddr) {
  char acAddr[kIpv4TextLen];
  const bool bWhole = HostmonCopyText(pcText, acAddr, sizeof(acAddr));
  HOSTMON_TRACE("pcIpAddr is %s...\n", acAddr);
  if (!bWhole) {
    HOSTMON_TRACE("companion WAN address text too long, ignored\n");
    return false;
  }
  struct in_addr stAddr {};
  if (inet_aton(acAddr, &stAddr) == 0) return false;
  *pulAddr = stAddr.s_addr;
  return true;
}

bool HostmonOpenSweep(Sweep *pstSweep) {
  Bridge *pstBridge = LUM_HOSTMON_BridgeFind(kSweepBridge);
  pstSweep->ulFrom = HostmonGetOvanetWanIp();
  if (pstBridge == nullptr || pstSweep->ulFrom == 0) return false;
  pstSweep->iFd = HostmonOpenArpSocket(pstBridge->pcName);
  if (pstSweep->iFd < 0) return false;
  pstSweep->pucMac = pstBridge->aucMac;
  memset(pstSweep->aucTo, 0, sizeof(pstSweep->aucTo));
  (void)new_snprintf_s(__FILE__, __LINE__, reinterpret_cast<char *>(pstSweep->aucTo + 2),
                       kPktAddrName, kPktAddrName - 1, "%s", pstBridge->pcName);
  return true;
}

void HostmonSendSweepArp(const Sweep *pstSweep, uint32_t ulTarget) {
  uint8_t aucFrame[HOSTMON_ARP_FRAME_LEN];
  HostmonBuildArpRequest(ulTarget, pstSweep->ulFrom, pstSweep->pucMac, aucFrame);
  // Paced so that a burst of answers does not flood the receive path.
  LUM_UTIL_SleepMs(kSweepPauseMs);
  if (lum::sys::SendTo(pstSweep->iFd, aucFrame, sizeof(aucFrame), 0,
                       reinterpret_cast<const struct sockaddr *>(pstSweep->aucTo),
                       sizeof(pstSweep->aucTo)) < 0) {
    HOSTMON_TRACE("hostmon sendto fail\n");
  }
}

void HostmonCloseSweep(const Sweep *pstSweep) { (void)lum::sys::Close(pstSweep->iFd); }

void HostmonLogItemOffLine(const char *pcWhat, const MacAddressItem *pstItem) {
  char acVmac[kMacTextLen] = {};
  char acRmac[kMacTextLen] = {};
  (void)LUM_UTIL_Disguise_MacAddress(pstItem->aucMac, nullptr, acVmac, sizeof(acVmac));
  (void)LUM_UTIL_Disguise_MacAddress(nullptr, pstItem->acRealMac, acRmac, sizeof(acRmac));
  const char *pcPort = pstItem->pstPort != nullptr && pstItem->pstPort->pcName != nullptr
                           ? pstItem->pstPort->pcName
                           : "";
  HOSTMON_MLOG("hostmon %s VMAC [%s] RMAC[%s] IP[%x] DHCP [%d] Port [%s]\n", pcWhat, acVmac, acRmac,
               pstItem->ulLeasedAddr, static_cast<int>(pstItem->ulDhcp), pcPort);
}

// Both off-line notices end alike: the IPv4 addresses go (the item too when
// nothing is left), and the database follows.
void HostmonDropIpv4(MacAddressItem *pstItem) {
  LUM_HOSTMON_IPAddressDelFamily(pstItem, HOSTMON_AF_INET);
  (void)HostmonSyncWithDb(HOSTMON_AF_INET);
}

}  // namespace

uint32_t HostmonProbeDeviceFromDb(const char *pcMac) {
  if (pcMac == nullptr) {
    HOSTMON_TRACE("Input parameter error\n");
    return 0;
  }
  uint32_t ulFound = 0;
  for (uint32_t ulSeq = 0;; ++ulSeq) {
    LUM_DB_SLOT *pstValue = nullptr;
    uint32_t aulKeys[LUM_DB_KEYS] = {};
    if (LUM_DBGetObjectBySeqNum(nullptr, LUM_DB_KIND_HOST, ulSeq, &pstValue, 0, 0, aulKeys) != 0) {
      break;
    }
    if (strcasecmp(HostmonSlotText(pstValue, HOSTMON_HOST_SLOT_WIRE_MAC), pcMac) == 0) {
      ulFound = 1;
      char acLayer2[kLayer2Len] = {};
      HOSTMON_COPY_TEXT(acLayer2, HostmonSlotText(pstValue, HOSTMON_HOST_SLOT_LAYER2));
      (void)LUM_DBSetPara(aulKeys, LUM_DB_PARA_HOST_LAST_CHANGE, LUM_UTIL_GetSysUpTime());
      Port *pstPort = LUM_HOSTMON_PortFindByDomain(acLayer2);
      struct in_addr stAddr {};
      if (pstPort != nullptr &&
          inet_pton(AF_INET, HostmonSlotText(pstValue, HOSTMON_HOST_SLOT_IP), &stAddr) == 1) {
        HostmonSendArpRequest(pstPort->pstBridge, stAddr.s_addr);
      }
    }
    LUM_KEM_FreeObj(LUM_DB_KIND_HOST, pstValue);
  }
  return ulFound;
}

void HostmonProcDeviceOnLine(const MessageHeader *pstMsg) {
  if (pstMsg == nullptr) return;
  const char *pcText = reinterpret_cast<const char *>(HostmonMsgPayload(pstMsg));
  if (!HostmonIsMacText(pcText, pstMsg->ulPayloadLen)) {
    HOSTMON_TRACE("on-line notice without a MAC address text (%u bytes), ignored\n",
                  pstMsg->ulPayloadLen);
    return;
  }
  char acMac[kMacTextLen];
  memcpy(acMac, pcText, kMacTextLen - 1);
  acMac[kMacTextLen - 1] = '\0';
  if (HostmonProbeDeviceFromDb(acMac) != 0 || pstMsg->ulMsgType != LUM_MSG_HOSTMON_DEVICE_ON_LINE) {
    return;
  }

  // One second look per device is enough; and a flood of notices for devices
  // nobody knows must neither exhaust memory nor queue hours of sweeps.
  uint32_t ulPending = 0;
  for (const DeviceTimer *pstTimer = g_pstDeviceTimers; pstTimer != nullptr;
       pstTimer = pstTimer->pstNext, ++ulPending) {
    if (strcasecmp(pstTimer->acMac, acMac) == 0) return;
  }
  if (ulPending >= HOSTMON_MAX_DEVICE_TIMERS) {
    HOSTMON_TRACE("%u device timers pending, on-line notice dropped\n", ulPending);
    return;
  }
  auto *pstTimer = static_cast<DeviceTimer *>(
      HostmonMalloc(sizeof(DeviceTimer), HostmonBaseName(__FILE__), __func__, __LINE__));
  if (pstTimer == nullptr) return;
  pstTimer->pstNext = nullptr;
  memcpy(pstTimer->acMac, acMac, sizeof(acMac));
  (void)LUM_UTIL_ListAppend(&g_pstDeviceTimers, pstTimer);
  if (LUM_UTIL_TimerAdd(kDeviceTimerMs, 1, HostmonSendArpToAll, pstTimer) == 0) {
    HOSTMON_TRACE("device timer not created\n");
    (void)LUM_UTIL_ListDeleteItem(&g_pstDeviceTimers, pstTimer, nullptr);
  }
}

void HostmonSendArpToAll(void *pvArg) {
  if (pvArg == nullptr) return;
  // Only a pending record is ours to read and free.
  const DeviceTimer *pstTimer = g_pstDeviceTimers;
  while (pstTimer != nullptr && pstTimer != pvArg) pstTimer = pstTimer->pstNext;
  if (pstTimer == nullptr) return;
  char acMac[kMacTextLen];
  memcpy(acMac, pstTimer->acMac, sizeof(acMac));
  (void)LUM_UTIL_ListDeleteItem(&g_pstDeviceTimers, pvArg, nullptr);

  // In the database by now: it has just been probed, and learning does the rest.
  if (HostmonProbeDeviceFromDb(acMac) != 0) return;

  if (LUM_HOSTMON_BridgeFind(kSweepBridge) == nullptr || HostmonGetOvanetWanIp() == 0) return;
  HOSTMON_TRACE("hostmon HostmonSendArpToAll ovanetwan ip [%x]\n", HostmonGetOvanetWanIp());
  Sweep stSweep{};
  if (!HostmonOpenSweep(&stSweep)) return;
  const uint32_t ulBase = ntohl(stSweep.ulFrom) & 0xFFFFFF00U;
  for (uint32_t n = 1; n <= 254; ++n) {
    const uint32_t ulTarget = htonl(ulBase | n);
    if (ulTarget == stSweep.ulFrom) continue;
    HostmonSendSweepArp(&stSweep, ulTarget);
  }
  HostmonCloseSweep(&stSweep);
}

void HostmonDeviceTimersResetForTest() {
  (void)LUM_UTIL_ListDeleteAll(&g_pstDeviceTimers, nullptr);
}

void HostmonProcDeviceOffLine(const char *pcMac) {
  if (pcMac == nullptr) return;
  MacAddressItem *pstItem = LUM_HOSTMON_MACAddressFindVirtual(pcMac);
  if (pstItem == nullptr) {
    HOSTMON_TRACE("Can't find MAC address item.\n");
    return;
  }
  HostmonLogItemOffLine("wifiitemoffline", pstItem);
  HostmonDropIpv4(pstItem);
}

void HostmonProcLowLevelDeviceOffLine(const char *pcMac) {
  if (pcMac == nullptr) return;
  char acMac[kMacTextLen];
  (void)HostmonCopyText(pcMac, acMac, sizeof(acMac));
  char acMasked[kMacTextLen] = {};
  (void)LUM_UTIL_Disguise_MacAddress(nullptr, acMac, acMasked, sizeof(acMasked));
  MacAddressItem *pstItem = LUM_HOSTMON_MACAddressFind(pcMac);
  if (pstItem == nullptr) {
    HOSTMON_TRACE("Can't find MAC address item.\n");
    HOSTMON_MLOG("LOW_LEVEL_DEVICE_OFF_LINE RMAC[%s] not find\n", acMasked);
    return;
  }
  HostmonLogItemOffLine("lowlevelitemoffline", pstItem);
  HostmonDropIpv4(pstItem);
}

void HostmonProcOvanetWanUp(const char *pcIpAddr) {
  if (pcIpAddr == nullptr) return;
  uint32_t ulAddr = 0;
  if (HostmonParseWanAddr(pcIpAddr, &ulAddr)) HostmonSetOvanetWanIp(ulAddr);
}

void HostmonProcOvanetWanDown(const char *pcIpAddr) {
  if (pcIpAddr == nullptr) return;
  uint32_t ulAddr = 0;
  if (HostmonParseWanAddr(pcIpAddr, &ulAddr) && ulAddr == HostmonGetOvanetWanIp()) {
    HostmonSetOvanetWanIp(0);
  }
}

void HostmonProcTopoRefresh(const MessageHeader *pstMsg) {
  if (pstMsg == nullptr) return;
  Sweep stSweep{};
  if (!HostmonOpenSweep(&stSweep)) return;
  for (uint32_t ulSeq = 0;; ++ulSeq) {
    LUM_DB_SLOT *pstValue = nullptr;
    if (LUM_DBGetObjectBySeqNum(nullptr, LUM_DB_KIND_HOST, ulSeq, &pstValue, 0, 0, nullptr) != 0) {
      break;
    }
    struct in_addr stAddr {};
    if (inet_pton(AF_INET, HostmonSlotText(pstValue, HOSTMON_HOST_SLOT_IP), &stAddr) != 1) {
      stAddr.s_addr = 0;
    }
    if (stAddr.s_addr != 0 && pstValue[HOSTMON_HOST_SLOT_IPV4_ACTIVE].ulNum == 0) {
      HostmonSendSweepArp(&stSweep, stAddr.s_addr);
    }
    LUM_KEM_FreeObj(LUM_DB_KIND_HOST, pstValue);
  }
  HostmonCloseSweep(&stSweep);
}
