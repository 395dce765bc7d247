// The bridge and port registry: the LAN bridges with their addresses, and the
// member ports every host hangs on.
#include <errno.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>

#include <cstdlib>
#include <cstring>

#include "hosts/hosts.h"
#include "platform/sys.h"
#include "topology/topology.h"

namespace {

Bridge *g_pstBridgeList = nullptr;
Port *g_pstPortList = nullptr;

constexpr size_t kNamesBufLen = 256;
constexpr const char *kUser = "hostmon";

// An owned copy of a name, freed with free() like the records.
char *HostmonCopyName(const char *pcName, const char *pcFunc) {
  const size_t ulLen = strlen(pcName) + 1;
  auto *pcCopy =
      static_cast<char *>(HostmonMalloc(ulLen, HostmonBaseName(__FILE__), pcFunc, __LINE__));
  if (pcCopy != nullptr) memcpy(pcCopy, pcName, ulLen);
  return pcCopy;
}

}  // namespace

Bridge *LUM_HOSTMON_GetBridgeList() { return g_pstBridgeList; }

Port *LUM_HOSTMON_GetPortList() { return g_pstPortList; }

uint32_t LUM_HOSTMON_BridgeInitAll() {
  char acNames[kNamesBufLen] = {};
  const int32_t lCount = LUM_UTIL_GetBridgeAllNames(acNames, sizeof(acNames));
  HOSTMON_TRACE("Get all bridge name return %d br with names [%s].\n", lCount, acNames);
  if (lCount <= 0) return HOSTMON_OK;

  HostmonAddListedBridges(acNames);
  return HOSTMON_OK;
}

void HostmonAddListedBridges(char *pcList) {
  // Cut at each comma; an empty piece is tried like any other and fails its query.
  char *pcStart = pcList;
  while (*pcStart != '\0') {
    char *pcComma = strchr(pcStart, ',');
    if (pcComma != nullptr) *pcComma = '\0';
    HOSTMON_TRACE("Got bridge name [%s].\n", pcStart);
    (void)LUM_HOSTMON_BridgeAdd(pcStart);
    if (pcComma == nullptr) break;
    pcStart = pcComma + 1;
  }
}

Bridge *LUM_HOSTMON_BridgeAdd(const char *pcName) {
  if (pcName == nullptr) return nullptr;
  auto *pstBridge = static_cast<Bridge *>(
      HostmonMalloc(sizeof(Bridge), HostmonBaseName(__FILE__), "LUM_HOSTMON_BridgeAdd", __LINE__));
  if (pstBridge == nullptr) return nullptr;
  memset(pstBridge, 0, sizeof(*pstBridge));
  pstBridge->pcName = HostmonCopyName(pcName, "LUM_HOSTMON_BridgeAdd");
  if (pstBridge->pcName == nullptr) {
    free(pstBridge);
    return nullptr;
  }
  const uint32_t ulRet = LUM_HOSTMON_BridgeReadAddr(pstBridge);
  if (ulRet != HOSTMON_OK) {
    free(pstBridge->pcName);
    free(pstBridge);
    HOSTMON_TRACE("Got bridge interface info for [%s] failed with [%x].\n", pcName, ulRet);
    return nullptr;
  }
  HOSTMON_TRACE("Got bridge mac [%02X:%02X:**:**:**:%02X].\n", pstBridge->aucMac[0],
                pstBridge->aucMac[1], pstBridge->aucMac[5]);
  (void)LUM_UTIL_ListAppend(&g_pstBridgeList, pstBridge);
  return pstBridge;
}

uint32_t LUM_HOSTMON_BridgeReadAddr(Bridge *pstBridge) {
  if (pstBridge == nullptr || pstBridge->pcName == nullptr) {
    (void)LUM_UTIL_DropRootPrivileges(kUser);
    return HOSTMON_ERR_NOT_FOUND;
  }
  const int iFd = lum::sys::Socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
  if (iFd < 0) {
    HOSTMON_TRACE("socket failed with errno %d!.\n", errno);
    (void)LUM_UTIL_DropRootPrivileges(kUser);
    return HOSTMON_ERR_SOCKET;
  }

  struct ifreq stReq;
  memset(&stReq, 0, sizeof(stReq));
  (void)new_snprintf_s(__FILE__, __LINE__, stReq.ifr_name, sizeof(stReq.ifr_name),
                       sizeof(stReq.ifr_name) - 1, "%s", pstBridge->pcName);
  stReq.ifr_addr.sa_family = AF_INET;

  if (lum::sys::Ioctl(iFd, SIOCGIFHWADDR, &stReq) < 0) {
    HOSTMON_TRACE("Get MAC address(SIOCGIFHWADDR) for bridge [%s] failed with errno %d!",
                  pstBridge->pcName, errno);
    (void)lum::sys::Close(iFd);
    (void)LUM_UTIL_DropRootPrivileges(kUser);
    return HOSTMON_ERR_IFQUERY;
  }
  memcpy(pstBridge->aucMac, stReq.ifr_hwaddr.sa_data, sizeof(pstBridge->aucMac));

  // The same request: a bridge without an address keeps what it had.
  if (lum::sys::Ioctl(iFd, SIOCGIFADDR, &stReq) < 0) {
    HOSTMON_TRACE("Get IP address(SIOCGIFADDR) for bridge [%s] failed with errno %d!",
                  pstBridge->pcName, errno);
  } else {
    struct sockaddr_in stAddr;
    memcpy(&stAddr, &stReq.ifr_addr, sizeof(stAddr));
    pstBridge->ulIpAddr = stAddr.sin_addr.s_addr;
  }

  (void)lum::sys::Close(iFd);
  (void)LUM_UTIL_DropRootPrivileges(kUser);
  return HOSTMON_OK;
}

void LUM_HOSTMON_BridgeReloadAll() {
  for (Bridge *pstBridge = g_pstBridgeList; pstBridge != nullptr; pstBridge = pstBridge->pstNext) {
    (void)LUM_HOSTMON_BridgeReadAddr(pstBridge);
  }
}

Bridge *LUM_HOSTMON_BridgeFind(const char *pcName) {
  if (pcName == nullptr) return nullptr;
  for (Bridge *pstBridge = g_pstBridgeList; pstBridge != nullptr; pstBridge = pstBridge->pstNext) {
    if (strcmp(pstBridge->pcName, pcName) == 0) return pstBridge;
  }
  return nullptr;
}

Bridge *LUM_HOSTMON_BridgeFindByIp(uint32_t ulIpAddr) {
  for (Bridge *pstBridge = g_pstBridgeList; pstBridge != nullptr; pstBridge = pstBridge->pstNext) {
    if (pstBridge->ulIpAddr == ulIpAddr) return pstBridge;
  }
  return nullptr;
}

void LUM_HOSTMON_BridgeDel(Bridge *pstBridge) {
  if (pstBridge == nullptr) return;
  Port *pstPort = g_pstPortList;
  while (pstPort != nullptr) {
    Port *pstNext = pstPort->pstNext;
    if (pstPort->pstBridge == pstBridge) {
      (void)LUM_UTIL_ListDeleteItem(&g_pstPortList, pstPort, HostmonPortFree);
    }
    pstPort = pstNext;
  }
  (void)LUM_UTIL_ListDeleteItem(&g_pstBridgeList, pstBridge, HostmonBridgeFree);
}

void HostmonBridgeFree(void *pvBridge) {
  auto *pstBridge = static_cast<Bridge *>(pvBridge);
  if (pstBridge == nullptr) return;
  free(pstBridge->pcName);
  pstBridge->pcName = nullptr;
  // The ARP registration is shared by every bridge and stays.
  if (pstBridge->ulIcmp6SockHandle != 0) {
    (void)LUM_UTIL_SockBaseDelete(pstBridge->ulIcmp6SockHandle);
    pstBridge->ulIcmp6SockHandle = 0;
  }
}

void HostmonPortFree(void *pvPort) {
  auto *pstPort = static_cast<Port *>(pvPort);
  if (pstPort == nullptr) return;
  LUM_HOSTMON_MACAddressDelByPort(pstPort);
  free(pstPort->pcName);
  free(pstPort->pcDomainName);
  pstPort->pcName = nullptr;
  pstPort->pcDomainName = nullptr;
}

Port *LUM_HOSTMON_PortFind(const char *pcName) {
  if (pcName == nullptr || *pcName == '\0') return nullptr;
  for (Port *pstPort = g_pstPortList; pstPort != nullptr; pstPort = pstPort->pstNext) {
    if (strcmp(pstPort->pcName, pcName) == 0) return pstPort;
  }
  return nullptr;
}

Port *LUM_HOSTMON_PortFindByDomain(const char *pcDomain) {
  if (pcDomain == nullptr || *pcDomain == '\0') return nullptr;
  for (Port *pstPort = g_pstPortList; pstPort != nullptr; pstPort = pstPort->pstNext) {
    if (pstPort->pcDomainName != nullptr && strcmp(pstPort->pcDomainName, pcDomain) == 0) {
      return pstPort;
    }
  }
  return nullptr;
}

Port *LUM_HOSTMON_PortAdd(Bridge *pstBridge, const char *pcName) {
  if (pcName == nullptr || *pcName == '\0' || pstBridge == nullptr) return nullptr;
  auto *pstPort = static_cast<Port *>(
      HostmonMalloc(sizeof(Port), HostmonBaseName(__FILE__), "LUM_HOSTMON_PortAdd", __LINE__));
  if (pstPort == nullptr) return nullptr;
  memset(pstPort, 0, sizeof(*pstPort));
  pstPort->pcName = HostmonCopyName(pcName, "LUM_HOSTMON_PortAdd");
  if (pstPort->pcName == nullptr) {
    free(pstPort);
    return nullptr;
  }
  pstPort->pstBridge = pstBridge;
  (void)LUM_UTIL_ListAppend(&g_pstPortList, pstPort);
  return pstPort;
}

Port *LUM_HOSTMON_PortGetOrAdd(Bridge *pstBridge, const char *pcName) {
  // A known port stays where it is; moving it is the refresh's work.
  Port *pstPort = LUM_HOSTMON_PortFind(pcName);
  if (pstPort != nullptr) return pstPort;
  return LUM_HOSTMON_PortAdd(pstBridge, pcName);
}
