// Every bus message delivered to "hostmon" is traced and routed here by type.
#include <cstring>

#include "dbsync/dbsync.h"
#include "hosts/hosts.h"
#include "main/dispatch.h"
#include "main/hostmon.h"
#include "main/msgcatalog.h"
#include "msgproc/msgproc.h"
#include "topology/topology.h"

const char *HostmonMsgTypeName(uint32_t ulType) {
  // Only what the daemon is told has a name in its trace.
  const MsgCatalogueEntry *pstEntry = HostmonFindMsg(ulType);
  if (pstEntry == nullptr ||
      (pstEntry->eDirection != MsgDirection::kIn && pstEntry->eDirection != MsgDirection::kInOut)) {
    return "unknown";
  }
  return pstEntry->pcName;
}

void HostmonMsgProc(void *pvMsg) {
  if (pvMsg == nullptr) return;
  const auto *pstMsg = static_cast<const MessageHeader *>(pvMsg);
  // The bus terminates texts inside the buffer; bound the sender anyway.
  char acSender[sizeof(pstMsg->acSendApp) + 1] = {};
  memcpy(acSender, pstMsg->acSendApp, sizeof(pstMsg->acSendApp));
  HOSTMON_TRACE("msg_type[%x, %s] aucSendApp[%s]\n", pstMsg->ulMsgType,
                HostmonMsgTypeName(pstMsg->ulMsgType), acSender);

  const char *pcText = reinterpret_cast<const char *>(HostmonMsgPayload(pstMsg));
  switch (pstMsg->ulMsgType) {
    case LUM_MSG_DHCPSCMS_ADD_OTHER_PORT_TO_HOSTMON:
      (void)HostmonProcAddOtherPort();
      break;
    case LUM_MSG_DHCPS_UPDATE_LEASE:
      (void)HostmonSyncWithDb(HOSTMON_AF_INET);
      break;
    case LUM_MSG_DHCPS_ADD_IPMAC:
      HostmonProcDhcpsAddIpMac(pstMsg);
      break;
    case LUM_MSG_DHCPS_DEL_IPMAC:
      HostmonProcDhcpsDelIpMac(pstMsg);
      break;
    case LUM_MSG_DHCPS_DEL_SINGLEIPMAC:
      HostmonProcDhcpsDelSingleIpMac(pstMsg);
      break;
    case LUM_MSG_DHCP6S_CLIENT_RELEASE:
      HostmonProcDhcp6sClientRelease(pstMsg);
      break;
    case LUM_MSG_LAN_STATUS_DOWN:
    case LUM_MSG_WLAN_STATUS_DOWN:
      HostmonProcLanStatusDown(pcText);
      break;
    case LUM_MSG_LAN_STATUS_UP:
      HostmonProcLanStatusUp(pcText);
      break;
    case LUM_MSG_HOSTMON_DAD_ADD_IPV6_ITEM:
      HostmonProcDadAddIpv6Item(pstMsg);
      break;
    case LUM_MSG_HOSTMON_DEVICE_ON_LINE:
    case LUM_MSG_HOSTMON_DEVICE_ON_LINE_FDB:
      HostmonProcDeviceOnLine(pstMsg);
      break;
    case LUM_MSG_HOSTMON_DEVICE_OFF_LINE:
      HostmonProcDeviceOffLine(pcText);
      break;
    case LUM_MSG_HOSTMON_LOW_LEVEL_DEVICE_OFF_LINE:
      HostmonProcLowLevelDeviceOffLine(pcText);
      break;
    case LUM_MSG_HOSTMON_OVANET_WAN_UP:
      HostmonProcOvanetWanUp(pcText);
      break;
    case LUM_MSG_HOSTMON_OVANET_WAN_DOWN:
      HostmonProcOvanetWanDown(pcText);
      break;
    case LUM_MSG_HOSTMON_IGNORED_B911:
      break;
    case LUM_MSG_HOSTMON_OVANET_ADD_IPMAC:
      HOSTMON_TRACE("ovanet notify, fall through, detect ARP again\n");
      HostmonProcDhcpsAddIpMac(pstMsg);
      break;
    case LUM_HOSTMON_MSG_TEST_BRIDGECHG:
      HostmonBridgeRefresh();
      break;
    case LUM_HOSTMON_MSG_RELOAD_BR_ADDR:
      LUM_HOSTMON_BridgeReloadAll();
      break;
    case LUM_MSG_HOSTMON_UPDATA_ALL_NODES:
      LUM_HOSTMON_ProbeAllNodes();
      break;
    case LUM_HOSTMON_MSG_WLAN_DEL_LEASE:
      HostmonProcWlanDelLease(pstMsg);
      break;
    case LUM_HOSTMON_MSG_UPDATE_TIMEQUOTA_DEV:
      LUM_HOSTMON_SetTimeQuotaList(pcText);
      break;
    case LUM_HOSTMON_MSG_UPDATE_DEVICE_WHEN_TOPO_REFRESH:
      HostmonProcTopoRefresh(pstMsg);
      break;
    default:
      HOSTMON_TRACE("unexpected message type %x\n", pstMsg->ulMsgType);
      break;
  }
}
