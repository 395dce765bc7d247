// The hosts table sync pass: after every change of the host table, bring the
// host objects in line with it, tell "cms" of each host's change of state and
// save the database once the burst of changes is over.
#include <arpa/inet.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dbsync/addrtext.h"
#include "dbsync/dbsync.h"
#include "hosts/hosts.h"
#include "main/msgcatalog.h"
#include "platform/lumdb.h"

namespace {

int g_iDbSaveNeeded = 0;
uint32_t g_ulDbSaveTimer = 0;
int g_iHostStatusChanged = 0;
MoveHostItem *g_pstMoveHostList = nullptr;

// The pass's record of the host-change notices.
HostInfo g_stSyncInfo;

// The host table by MAC text, built once per pass: the walk looks up every
// object's MAC and marks every item of the same real MAC, which would
// otherwise take a walk of the table each. The table does not change during
// the walk. A key holds up to the 18 characters the table's own look-up
// compares, folded to lower case as that comparison folds them; items of one
// key are chained in table order.
using MacKey = std::array<char, sizeof(MacAddressItem::acRealMac)>;

struct MacIndexEntry {
  MacKey acKey;
  MacAddressItem *pstItem;
  int32_t lNext;  // next item of the same key, -1 at the end
  int32_t lLast;  // on a key's first entry: its last one
};

std::vector<MacIndexEntry> g_vecMacEntries;
std::vector<int32_t> g_vecMacBuckets;  // a key's first entry, -1 when free; a power of two

MacKey HostmonMacKey(const char *pcMac) {
  MacKey acKey{};
  for (size_t i = 0; i < acKey.size() && pcMac[i] != '\0'; ++i) {
    const char c = pcMac[i];
    acKey[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return acKey;
}

// The bucket holding the key's first entry, or the free one where it would go.
int32_t &HostmonMacSlot(const MacKey &acKey) {
  uint32_t ulHash = 2166136261u;
  for (const char c : acKey) ulHash = (ulHash ^ static_cast<uint8_t>(c)) * 16777619u;
  const size_t ulMask = g_vecMacBuckets.size() - 1;
  for (size_t i = ulHash & ulMask;; i = (i + 1) & ulMask) {
    int32_t &lFirst = g_vecMacBuckets[i];
    if (lFirst < 0 || g_vecMacEntries[static_cast<size_t>(lFirst)].acKey == acKey) return lFirst;
  }
}

void HostmonBuildMacIndex() {
  g_vecMacEntries.clear();
  for (MacAddressItem *pstItem = LUM_HOSTMON_GetMacList(); pstItem != nullptr;
       pstItem = pstItem->pstNext) {
    g_vecMacEntries.push_back({HostmonMacKey(pstItem->acRealMac), pstItem, -1, -1});
  }
  // At most half full, so that a probe ends soon at a free bucket.
  size_t ulBuckets = 64;
  while (ulBuckets < 2 * g_vecMacEntries.size()) ulBuckets *= 2;
  g_vecMacBuckets.assign(ulBuckets, -1);
  for (size_t i = 0; i < g_vecMacEntries.size(); ++i) {
    const int32_t lEntry = static_cast<int32_t>(i);
    int32_t &lFirst = HostmonMacSlot(g_vecMacEntries[i].acKey);
    if (lFirst < 0) {
      lFirst = lEntry;
    } else {
      MacIndexEntry &stFirst = g_vecMacEntries[static_cast<size_t>(lFirst)];
      g_vecMacEntries[static_cast<size_t>(stFirst.lLast)].lNext = lEntry;
    }
    g_vecMacEntries[static_cast<size_t>(lFirst)].lLast = lEntry;
  }
}

// The first item, in table order, whose real MAC matches the text; -1 for none.
int32_t HostmonIndexFind(const char *pcMac) { return HostmonMacSlot(HostmonMacKey(pcMac)); }

uint32_t HostmonCountIpv6(const MacAddressItem *pstItem) {
  uint32_t ulCount = 0;
  for (const IpAddressItem *pstIp = pstItem->pstIpList; pstIp != nullptr; pstIp = pstIp->pstNext) {
    if (pstIp->ucFamily == HOSTMON_AF_INET6) ++ulCount;
  }
  return ulCount;
}

// Whether the sub-objects below the host object hold other addresses than the
// item, in another order: the pass re-adds them either way, but only a
// difference is worth a save.
bool HostmonIpv6ObjectsDiffer(const MacAddressItem *pstItem, const uint32_t *pulKeys,
                              const uint32_t *pulInsts, uint32_t ulCount) {
  bool bDiffer = ulCount != HostmonCountIpv6(pstItem);
  uint32_t aulKeys[LUM_DB_KEYS] = {pulKeys[0], pulKeys[1]};
  for (uint32_t i = 0; !bDiffer && i < ulCount && pulInsts != nullptr; ++i) {
    uint8_t aucAddr[16];
    char acText[HOSTMON_IPV6_TEXT_LEN] = {};
    if (LUM_HOSTMON_GetIPv6ByIndex(pstItem, aucAddr, i) == 0) {
      (void)HostmonIpv6Text(aucAddr, acText);
    }
    aulKeys[2] = pulInsts[i];
    LUM_DB_SLOT *pstValue = nullptr;
    if (LUM_DBGetObj(aulKeys, LUM_DB_KIND_HOST_IPV6, &pstValue, 0) != 0) {
      bDiffer = true;
      break;
    }
    bDiffer = strcmp(HostmonSlotText(pstValue, HOSTMON_IPV6_SLOT_ADDR), acText) != 0;
    LUM_KEM_FreeObj(LUM_DB_KIND_HOST_IPV6, pstValue);
  }
  return bDiffer;
}

// The item's IPv6 addresses replace the sub-objects, in the item's order. One
// list of the sub-objects serves the comparison and the deletion.
void HostmonRewriteIpv6(const MacAddressItem *pstItem, uint32_t *pulKeys) {
  uint32_t ulCount = 0;
  uint32_t *pulInsts = nullptr;
  const bool bListed = LUM_DBGetNumOfObjs(pulKeys, LUM_DB_KIND_HOST_IPV6, &ulCount, &pulInsts) == 0;
  if (!bListed || HostmonIpv6ObjectsDiffer(pstItem, pulKeys, pulInsts, ulCount)) {
    g_iDbSaveNeeded = 1;
  }
  HOSTMON_TRACE("Entering HostmonDelIpv6AddressOfHost\n");
  if (bListed) HostmonDelIpv6Objects(pulKeys, pulInsts, ulCount);
  free(pulInsts);
  (void)HostmonAddIpv6AddressOfHost(pstItem, pulKeys);
}

// The host object's device is still in the host table.
// Returns false when the object could not be written, which ends the walk.
bool HostmonSyncPresentHost(int32_t lEntry, LUM_DB_SLOT *pstValue, uint32_t *pulKeys) {
  MacAddressItem *pstItem = g_vecMacEntries[static_cast<size_t>(lEntry)].pstItem;
  for (int32_t l = lEntry; l >= 0; l = g_vecMacEntries[static_cast<size_t>(l)].lNext) {
    g_vecMacEntries[static_cast<size_t>(l)].pstItem->ucInDb = 1;
  }
  HostmonFillHostObject(pstItem, pstValue);
  const uint32_t ulRet = LUM_DBSetObj(pulKeys, LUM_DB_KIND_HOST, pstValue);
  if (ulRet != 0) {
    HOSTMON_TRACE("Set hosts value to DB failed with %x.\n", ulRet);
    LUM_KEM_FreeObj(LUM_DB_KIND_HOST, pstValue);
    return false;
  }
  if (g_iHostStatusChanged == 1) {
    HOSTMON_TRACE("Host on the line again!\n");
    memset(&g_stSyncInfo, 0, sizeof(g_stSyncInfo));
    HOSTMON_COPY_TEXT(g_stSyncInfo.acChAddr, pstItem->acRealMac);
    (void)HostmonNotifyCmsAfterPause(LUM_MSG_HOSTMON_HOST_CHANGE, &g_stSyncInfo);
    g_iHostStatusChanged = 0;
  }
  LUM_KEM_FreeObj(LUM_DB_KIND_HOST, pstValue);

  HostmonRewriteIpv6(pstItem, pulKeys);

  // An item whose bridge has no LAN device has nowhere to go: it stays.
  const uint32_t ulTarget = HostmonItemLanDevice(pstItem);
  if (ulTarget != 0 && pulKeys[0] != ulTarget) {
    HOSTMON_TRACE("Host entry with keylist [%d:%d] in DB should be moved to [%d].\n",
                  static_cast<int>(pulKeys[0]), static_cast<int>(pulKeys[1]),
                  static_cast<int>(ulTarget));
    (void)LUM_HOSTMON_MoveHostAdd(pulKeys[0], pulKeys[1], ulTarget);
    g_iDbSaveNeeded = 1;
  }
  return true;
}

// The device has left the host table; its object stays, off-line.
void HostmonSyncAbsentHost(LUM_DB_SLOT *pstValue, const uint32_t *pulKeys) {
  memset(&g_stSyncInfo, 0, sizeof(g_stSyncInfo));
  const char *pcIp = HostmonSlotText(pstValue, HOSTMON_HOST_SLOT_IP);
  if (inet_pton(AF_INET, pcIp, &g_stSyncInfo.ulYiaddr) < 1) {
    HOSTMON_TRACE("translate IPv4 address failed\n");
    g_stSyncInfo.ulYiaddr = 0;
  }
  HOSTMON_TRACE("IP is:%s , stHostInfo.ulYiaddr is %x\n.\n", pcIp, g_stSyncInfo.ulYiaddr);
  if (pstValue[HOSTMON_HOST_SLOT_IPV4_ACTIVE].ulNum == 1) {
    HOSTMON_COPY_TEXT(g_stSyncInfo.acChAddr, HostmonSlotText(pstValue, HOSTMON_HOST_SLOT_MAC));
    g_stSyncInfo.ulIpv4Active = 0;
    g_iHostStatusChanged = 1;
    g_iDbSaveNeeded = 1;
  }
  (void)LUM_DBSetPara(pulKeys, LUM_DB_PARA_HOST_IPV4_ACTIVE, 0);
  if (g_iHostStatusChanged == 1) {
    HOSTMON_TRACE("Host off the line!");
    (void)HostmonNotifyCmsAfterPause(LUM_MSG_HOSTMON_HOST_CHANGE, &g_stSyncInfo);
    g_iHostStatusChanged = 0;
  }
  if (pstValue[HOSTMON_HOST_SLOT_IPV6_ACTIVE].ulNum == 1) g_iDbSaveNeeded = 1;
  (void)LUM_DBSetPara(pulKeys, LUM_DB_PARA_HOST_IPV6_ACTIVE, 0);
}

}  // namespace

uint32_t HostmonRestartTimer(uint32_t ulHandle, uint32_t ulPeriodMs, LUM_TIMER_CB pfnProc) {
  // A handle the platform no longer knows (only after a test's reset) is
  // replaced rather than trusted.
  if (ulHandle != 0 && LUM_UTIL_TimerChgPeriod(ulHandle, ulPeriodMs) == 0) return ulHandle;
  return LUM_UTIL_TimerAdd(ulPeriodMs, 1, pfnProc, nullptr);
}

uint32_t HostmonSyncWithDb(uint32_t ulFamily) {
  memset(&g_stSyncInfo, 0, sizeof(g_stSyncInfo));
  HostmonWriteNeighbors(ulFamily);
  HOSTMON_TRACE("Sync with database now ...\n");

  HostmonRefreshLanDeviceIds();
  HostmonRefreshPortDomains();
  HostmonSetAllInDbMarks(0);
  HostmonBuildMacIndex();

  uint32_t aulKeys[LUM_DB_KEYS] = {};
  for (uint32_t ulSeq = 0;;) {
    HOSTMON_TRACE("Sync %dth Host in DB now ...\n", static_cast<int>(ulSeq));
    LUM_DB_SLOT *pstValue = nullptr;
    const uint32_t ulRet =
        LUM_DBGetObjectBySeqNum(nullptr, LUM_DB_KIND_HOST, ulSeq, &pstValue, 0, 0, aulKeys);
    if (ulRet != 0) {
      HOSTMON_TRACE("Get %dth object failed with number %x.\n", static_cast<int>(ulSeq), ulRet);
      break;
    }
    const int32_t lEntry = HostmonIndexFind(HostmonSlotText(pstValue, HOSTMON_HOST_SLOT_MAC));
    ++ulSeq;
    if (lEntry >= 0) {
      if (!HostmonSyncPresentHost(lEntry, pstValue, aulKeys)) break;
    } else {
      HostmonSyncAbsentHost(pstValue, aulKeys);
      LUM_KEM_FreeObj(LUM_DB_KIND_HOST, pstValue);
    }
  }

  HOSTMON_TRACE("Move Hosts.{i}. now ...\n");
  HostmonMoveHosts();
  HOSTMON_TRACE("Add new Hosts.{i}. now ...\n");
  HostmonAddNewHosts();
  HostmonScheduleSave();
  return HOSTMON_OK;
}

void HostmonSetAllInDbMarks(uint8_t ucValue) {
  for (MacAddressItem *pstItem = LUM_HOSTMON_GetMacList(); pstItem != nullptr;
       pstItem = pstItem->pstNext) {
    pstItem->ucInDb = ucValue;
  }
}

void HostmonSetInDbMark(const char *pcMac, uint8_t ucValue) {
  if (pcMac == nullptr) return;
  for (MacAddressItem *pstItem = LUM_HOSTMON_GetMacList(); pstItem != nullptr;
       pstItem = pstItem->pstNext) {
    if (strcasecmp(pstItem->acRealMac, pcMac) == 0) pstItem->ucInDb = ucValue;
  }
}

uint32_t LUM_HOSTMON_MoveHostAdd(uint32_t ulFromLanDevice, uint32_t ulFromHost,
                                 uint32_t ulToLanDevice) {
  auto *pstMove = static_cast<MoveHostItem *>(
      HostmonMalloc(sizeof(MoveHostItem), "hostmonsync_098", "LUM_HOSTMON_MoveHostAdd", __LINE__));
  if (pstMove == nullptr) return HOSTMON_ERR_NO_MEM;
  memset(pstMove, 0, sizeof(*pstMove));
  pstMove->ulFromLanDevice = ulFromLanDevice;
  pstMove->ulFromHost = ulFromHost;
  pstMove->ulToLanDevice = ulToLanDevice;
  (void)LUM_UTIL_ListAppend(&g_pstMoveHostList, pstMove);
  return HOSTMON_OK;
}

void HostmonMoveHosts() {
  for (MoveHostItem *pstMove = g_pstMoveHostList; pstMove != nullptr; pstMove = pstMove->pstNext) {
    const uint32_t aulFrom[LUM_DB_KEYS] = {pstMove->ulFromLanDevice, pstMove->ulFromHost};
    const uint32_t aulTo[LUM_DB_KEYS] = {pstMove->ulToLanDevice};
    uint32_t ulNewInst = 0;
    (void)LUM_DBObjMove(aulFrom, LUM_DB_KIND_HOST, aulTo, &ulNewInst);
  }
  (void)LUM_UTIL_ListDeleteAll(&g_pstMoveHostList, nullptr);
}

MoveHostItem *HostmonGetMoveHostList() { return g_pstMoveHostList; }

void HostmonScheduleSave() {
  if (g_iDbSaveNeeded == 0) {
    HOSTMON_TRACE("No need to save DB");
    return;
  }
  g_iDbSaveNeeded = 0;
  g_ulDbSaveTimer = HostmonRestartTimer(g_ulDbSaveTimer, HOSTMON_SAVE_DELAY_MS, HostmonSaveDb);
}

void HostmonSaveDb(void *) {
  const uint32_t ulRet = LUM_DBSaveToAppFunc("hostmonsync_098", __LINE__, "HostmonSaveDb");
  g_ulDbSaveTimer = 0;
  if (ulRet != 0) {
    // Kept in memory; the next pass tries again.
    HOSTMON_TRACE("Save DB failed with %x, to be tried again after the next change.\n", ulRet);
    g_iDbSaveNeeded = 1;
  }
}

void HostmonSetDbSaveNeeded() { g_iDbSaveNeeded = 1; }
int HostmonDbSaveNeeded() { return g_iDbSaveNeeded; }
void HostmonSetHostStatusChanged(int iValue) { g_iHostStatusChanged = iValue; }
int HostmonHostStatusChanged() { return g_iHostStatusChanged; }
uint32_t HostmonDbSaveTimer() { return g_ulDbSaveTimer; }

void HostmonSyncResetForTest() {
  g_iDbSaveNeeded = 0;
  g_ulDbSaveTimer = 0;
  g_iHostStatusChanged = 0;
  (void)LUM_UTIL_ListDeleteAll(&g_pstMoveHostList, nullptr);
  HostmonNeighborsResetForTest();
}

uint32_t HostmonNotifyCmsAfterPause(uint32_t ulType, const HostInfo *pstInfo) {
  LUM_UTIL_SleepMs(HOSTMON_NOTICE_PAUSE_MS);
  return LUM_MSG_SendMsgData(HOSTMON_APP_CMS, ulType, pstInfo, sizeof(*pstInfo));
}
