// Host objects for devices that have none yet: room is made at 64 objects by
// deleting one that is off-line, and "cms" hears of every object added.
#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

#include "dbsync/dbsync.h"
#include "hosts/hosts.h"
#include "main/msgcatalog.h"
#include "platform/lumdb.h"

namespace {

// The record of the add and delete notices.
HostInfo g_stAddInfo;

enum class Room { kFree, kMade, kNone };

// Deletes the first inactive host object when the table is full.
Room HostmonMakeRoom() {
  uint32_t ulCount = 0;
  uint32_t *pulInsts = nullptr;
  if (LUM_DBGetNumOfObjs(nullptr, LUM_DB_KIND_HOST, &ulCount, &pulInsts) != 0) return Room::kNone;
  if (ulCount < HOSTMON_MAX_HOST_OBJECTS) {
    free(pulInsts);
    return Room::kFree;
  }
  Room eRoom = Room::kNone;
  for (uint32_t ulSeq = 0; ulSeq < ulCount; ++ulSeq) {
    LUM_DB_SLOT *pstValue = nullptr;
    uint32_t aulKeys[LUM_DB_KEYS] = {};
    if (LUM_DBGetObjectBySeqNum(nullptr, LUM_DB_KIND_HOST, ulSeq, &pstValue, 0, 0, aulKeys) != 0) {
      continue;
    }
    if (HostmonIsHostActive(pstValue) == 1) {
      LUM_KEM_FreeObj(LUM_DB_KIND_HOST, pstValue);
      continue;
    }
    (void)LUM_DBDelObj(aulKeys, LUM_DB_KIND_HOST);
    memset(&g_stAddInfo, 0, sizeof(g_stAddInfo));
    HOSTMON_COPY_TEXT(g_stAddInfo.acChAddr, HostmonSlotText(pstValue, HOSTMON_HOST_SLOT_MAC));
    HOSTMON_COPY_TEXT(g_stAddInfo.acLayer2If, HostmonSlotText(pstValue, HOSTMON_HOST_SLOT_LAYER2));
    const char *pcIp = HostmonSlotText(pstValue, HOSTMON_HOST_SLOT_IP);
    if (inet_pton(AF_INET, pcIp, &g_stAddInfo.ulYiaddr) < 1) {
      HOSTMON_TRACE("translate IPv4 address failed\n");
      g_stAddInfo.ulYiaddr = 0;
    }
    HOSTMON_TRACE("IP is:%s , stHostInfo.ulYiaddr is %x\n.\n", pcIp, g_stAddInfo.ulYiaddr);
    (void)HostmonNotifyCmsAfterPause(LUM_MSG_HOSTMON_HOST_DEL, &g_stAddInfo);
    HostmonSetDbSaveNeeded();
    LUM_KEM_FreeObj(LUM_DB_KIND_HOST, pstValue);
    eRoom = Room::kMade;
    break;
  }
  free(pulInsts);
  return eRoom;
}

void HostmonSendDeviceName(const LUM_DB_SLOT *pstValue) {
  DeviceNameUpdate stName;
  memset(&stName, 0, sizeof(stName));
  HOSTMON_COPY_TEXT(stName.acMac, HostmonSlotText(pstValue, HOSTMON_HOST_SLOT_MAC));
  HOSTMON_COPY_TEXT(stName.acIpAddr, HostmonSlotText(pstValue, HOSTMON_HOST_SLOT_IP));
  HOSTMON_COPY_TEXT(stName.acDevName, HostmonSlotText(pstValue, HOSTMON_HOST_SLOT_DEVICE_NAME));
  if (LUM_MSG_SendMsgData(HOSTMON_APP_CMS, LUM_MSG_HOSTMON_DEVICE_NAME_UPDATE, &stName,
                          sizeof(stName)) != 0) {
    HOSTMON_TRACE("sends msg device name update ERROR");
  }
}

}  // namespace

void HostmonAddNewHosts() {
  memset(&g_stAddInfo, 0, sizeof(g_stAddInfo));
  for (MacAddressItem *pstItem = LUM_HOSTMON_GetMacList(); pstItem != nullptr;
       pstItem = pstItem->pstNext) {
    if (pstItem->ucInDb == 1) {
      pstItem->ucInDb = 0;
      continue;
    }
    // Without a LAN device the object could not be added, and "cms" would
    // hear of a host that is not there.
    const uint32_t ulLanDevice = HostmonItemLanDevice(pstItem);
    if (ulLanDevice == 0) {
      HOSTMON_TRACE("Host without LAN device is not added.\n");
      continue;
    }
    const Room eRoom = HostmonMakeRoom();
    if (eRoom == Room::kNone) return;

    LUM_DB_SLOT *pstValue = nullptr;
    const uint32_t ulDft = LUM_DBGetDftObject(LUM_DB_KIND_HOST, &pstValue, 0);
    if (ulDft != 0) {
      HOSTMON_TRACE("Get default obj for hosts failed with %x.\n", ulDft);
      continue;
    }
    memset(&g_stAddInfo, 0, sizeof(g_stAddInfo));
    HostmonFillHostObject(pstItem, pstValue);

    uint32_t aulKeys[LUM_DB_KEYS] = {ulLanDevice, 0};
    const uint32_t ulAdd = LUM_DBAddObj(aulKeys, LUM_DB_KIND_HOST, pstValue, &aulKeys[1]);
    if (ulAdd != 0) HOSTMON_TRACE("Add obj to DB failed\n");

    HOSTMON_COPY_TEXT(g_stAddInfo.acChAddr, HostmonSlotText(pstValue, HOSTMON_HOST_SLOT_MAC));
    HOSTMON_COPY_TEXT(g_stAddInfo.acLayer2If, HostmonSlotText(pstValue, HOSTMON_HOST_SLOT_LAYER2));
    char acSecure[18] = {};
    if (LUM_UTIL_GetSecureMacAddress(g_stAddInfo.acChAddr, acSecure, sizeof(acSecure)) != 0) {
      LUM_KEM_FreeObj(LUM_DB_KIND_HOST, pstValue);
      return;
    }
    g_stAddInfo.aulKeyList[0] = aulKeys[0];
    g_stAddInfo.aulKeyList[1] = aulKeys[1];
    (void)LUM_LOG_API_Record_Log(0x70000001, acSecure, nullptr);
    (void)HostmonNotifyCmsAfterPause(LUM_MSG_HOSTMON_HOST_ADD, &g_stAddInfo);

    const char *pcIp = HostmonSlotText(pstValue, HOSTMON_HOST_SLOT_IP);
    if (HostmonFindIpConflict(pcIp, HostmonSlotText(pstValue, HOSTMON_HOST_SLOT_MAC),
                              g_stAddInfo.acConflictMac, sizeof(g_stAddInfo.acConflictMac)) == 1) {
      char acMasked[18] = {};
      (void)LUM_UTIL_Disguise_MacAddress(nullptr, g_stAddInfo.acConflictMac, acMasked,
                                         sizeof(acMasked));
      HOSTMON_TRACE("Found IP conflict with dev MAC[%s], IP[%s]\n", acMasked, pcIp);
      (void)LUM_MSG_SendMsgData(HOSTMON_APP_CMS, LUM_MSG_HOSTMON_IP_CONFLICT, &g_stAddInfo,
                                sizeof(g_stAddInfo));
    }

    HostmonSetDbSaveNeeded();
    HostmonSetHostStatusChanged(0);
    memset(&g_stAddInfo, 0, sizeof(g_stAddInfo));
    HostmonSendDeviceName(pstValue);
    LUM_KEM_FreeObj(LUM_DB_KIND_HOST, pstValue);
    HOSTMON_TRACE("Add host[%d %d] to DB return %x.\n", static_cast<int>(aulKeys[0]),
                  static_cast<int>(aulKeys[1]), ulAdd);
    (void)HostmonAddIpv6AddressOfHost(pstItem, aulKeys);
  }
}
