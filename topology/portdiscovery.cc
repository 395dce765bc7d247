// LAN port discovery: the layer-2 interfaces of the database become ports of
// the bridges the platform places them in.
#include <cstdlib>
#include <cstring>

#include "platform/lumdb.h"
#include "topology/topology.h"

namespace {

// Layer-2 interface objects: slot 1 the type, slot 3 the interface name.
constexpr uint32_t kSlotType = 1;
constexpr uint32_t kSlotIfName = 3;
constexpr const char *kLanInterface = "LANInterface";
constexpr size_t kNameLen = 16;

}  // namespace

uint32_t HostmonGetBridgeNameOfPort(const char *pcIfName, char *pcBuf, uint32_t ulSize) {
  if (pcIfName == nullptr || pcBuf == nullptr || ulSize == 0) return 1;

  uint32_t ulCount = 0;
  uint32_t *pulInstances = nullptr;
  if (LUM_DBGetNumOfObjs(nullptr, LUM_DB_KIND_AVAIL_IF, &ulCount, &pulInstances) != 0) return 1;

  bool bFound = false;
  for (uint32_t i = 0; i < ulCount && !bFound; ++i) {
    uint32_t aulKeys[LUM_DB_KEYS] = {pulInstances[i]};
    LUM_DB_SLOT *pstValue = nullptr;
    if (LUM_DBGetObj(aulKeys, LUM_DB_KIND_AVAIL_IF, &pstValue, 0) != 0) {
      free(pulInstances);
      return 1;
    }
    if (strcmp(HostmonSlotText(pstValue, kSlotType), kLanInterface) == 0) {
      const char *pcName = HostmonSlotText(pstValue, kSlotIfName);
      uint32_t ulKey = 0;
      if (LUM_BRIDGE_GetBridgeKeyByInterfaceName(pcName, &ulKey) != 0) {
        HOSTMON_TRACE("Hostmon Get Bridge Key failed\n");
      } else {
        HOSTMON_TRACE("Hostmon ptempname %s\n", pcName);
        if (ulKey == LUM_BRIDGE_KEY_NONE) {
          HOSTMON_TRACE("Hostmon Get Bridge Key -1 failed\n");
        } else if (strcmp(pcName, pcIfName) == 0) {
          // A name cut by a short buffer would name another bridge (br1 for
          // br10): no name at all is the safer answer.
          bFound = new_snprintf_s(__FILE__, __LINE__, pcBuf, ulSize, ulSize - 1, "br%d",
                                  static_cast<int>(ulKey)) >= 0;
          LUM_KEM_FreeObj(LUM_DB_KIND_AVAIL_IF, pstValue);
          break;
        }
      }
    }
    LUM_KEM_FreeObj(LUM_DB_KIND_AVAIL_IF, pstValue);
  }
  free(pulInstances);
  return bFound ? 0 : 1;
}

uint32_t HostmonProcAddOtherPort() {
  for (uint32_t ulSeq = 0;; ++ulSeq) {
    LUM_DB_SLOT *pstValue = nullptr;
    const uint32_t ulRet =
        LUM_DBGetObjectBySeqNum(nullptr, LUM_DB_KIND_AVAIL_IF, ulSeq, &pstValue, 0, 0, nullptr);
    if (ulRet != 0) return ulRet;

    if (strstr(HostmonSlotText(pstValue, kSlotType), "LAN") != nullptr) {
      char acPort[kNameLen] = {};
      (void)HOSTMON_COPY_TEXT(acPort, HostmonSlotText(pstValue, kSlotIfName));
      if (LUM_HOSTMON_PortFind(acPort) != nullptr) {
        HOSTMON_TRACE("port [%s] is exist\n", acPort);
      } else {
        char acBridge[kNameLen] = {};
        if (HostmonGetBridgeNameOfPort(acPort, acBridge, sizeof(acBridge)) != 0) {
          HOSTMON_TRACE("Fatal: Port [%s] can't find it's bridge.\n", acPort);
        } else {
          Bridge *pstBridge = LUM_HOSTMON_BridgeFind(acBridge);
          if (pstBridge == nullptr) pstBridge = LUM_HOSTMON_BridgeAdd(acBridge);
          if (pstBridge == nullptr) {
            HOSTMON_TRACE("Fatal: create bridge [%s] failed.\n", acBridge);
          } else {
            (void)LUM_HOSTMON_PortGetOrAdd(pstBridge, acPort);
            HOSTMON_TRACE("add port [%s] to bridge [%s]\n", acPort, acBridge);
          }
        }
      }
    }
    LUM_KEM_FreeObj(LUM_DB_KIND_AVAIL_IF, pstValue);
  }
}
