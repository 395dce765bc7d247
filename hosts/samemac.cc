// The same-MAC rule: one device, one item, once the leases have named its real MAC.
#include <strings.h>

#include "hosts/hosts.h"

void LUM_HOSTMON_CheckSameMac(MacAddressItem *pstCurrent, uint32_t *pbNeedSync) {
  if (pbNeedSync == nullptr) {
    HOSTMON_TRACE("bNeedSync is null\n");
    return;
  }
  if (pstCurrent == nullptr) return;

  MacAddressItem *pstOther = LUM_HOSTMON_GetMacList();
  for (; pstOther != nullptr; pstOther = pstOther->pstNext) {
    if (pstOther != pstCurrent &&
        strncasecmp(pstOther->acRealMac, pstCurrent->acRealMac, sizeof(pstOther->acRealMac)) == 0) {
      break;
    }
  }
  if (pstOther == nullptr) return;

  char acVm[18] = {};
  char acRm[18] = {};
  char acFm[18] = {};
  (void)LUM_UTIL_Disguise_MacAddress(pstOther->aucMac, nullptr, acVm, sizeof(acVm));
  (void)LUM_UTIL_Disguise_MacAddress(nullptr, pstOther->acRealMac, acRm, sizeof(acRm));
  (void)LUM_UTIL_Disguise_MacAddress(pstCurrent->aucMac, nullptr, acFm, sizeof(acFm));
  const char *pcPort = "";
  if (pstOther->pstPort != nullptr && pstOther->pstPort->pcName != nullptr) {
    pcPort = pstOther->pstPort->pcName;
  }
  HOSTMON_MLOG("same MAC VM[%s]RM[%s]FM[%s]IP[%x]DHCP[%d]Pt[%s]\n", acVm, acRm, acFm,
               pstOther->ulLeasedAddr, static_cast<int>(pstOther->ulDhcp), pcPort);

  LUM_HOSTMON_MACAddressDel(pstOther);
  *pbNeedSync = 1;
}
