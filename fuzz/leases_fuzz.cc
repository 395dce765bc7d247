// The leases file reader over any file content and length: the input is the
// file. The host looked up has the wire MAC AA:BB:CC:DD:EE:01 and the addresses
// 192.168.1.20 and 10.0.0.1; afterwards every text of the item and of its
// HostInfo must still end inside its field.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzzworld.h"

namespace {

template <size_t N>
void CheckTerminated(const char (&field)[N]) {
  if (strnlen(field, N) >= N) abort();
}

MacAddressItem *TheItem() {
  static MacAddressItem *pstItem = [] {
    fuzzworld::TheWorld();
    const uint8_t aucMac[6] = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x01};
    MacAddressItem *pstNew = LUM_HOSTMON_MACAddressNew(LUM_HOSTMON_PortFind("eth0"), aucMac);
    if (pstNew == nullptr) abort();
    for (uint32_t ulAddr : {0x1401A8C0u, 0x0100000Au}) {  // network byte order
      uint8_t aucAddr[16] = {};
      memcpy(aucAddr, &ulAddr, sizeof(ulAddr));
      (void)LUM_HOSTMON_MACAddressAddIP(pstNew, HOSTMON_AF_INET, aucAddr);
    }
    return pstNew;
  }();
  return pstItem;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  MacAddressItem *pstItem = TheItem();
  // A new file each time: rewriting one in place makes ext4 flush it on close.
  const std::string path = *fuzzworld::g_pRoot + "/var/dhcp/dhcps/leases";
  (void)unlink(path.c_str());
  FILE *file = fopen(path.c_str(), "wb");
  if (file == nullptr) return 0;
  if (size > 0) (void)fwrite(data, 1, size, file);
  (void)fclose(file);
  HostmonLeasesWatchDrain();

  // The same host every time, so that an input replays alike.
  HostmonFormatMac(pstItem->aucMac, pstItem->acRealMac, sizeof(pstItem->acRealMac));
  pstItem->ulDhcp = 0;
  pstItem->ulLeaseValid = 0;
  uint32_t bNeedSync = 0;
  HostmonReadLease(pstItem, &bNeedSync);
  CheckTerminated(pstItem->acRealMac);
  CheckTerminated(pstItem->acVendorClass);
  CheckTerminated(pstItem->acHostName);
  CheckTerminated(pstItem->acLeaseInterface);
  if (bNeedSync > 1 || pstItem->ulDhcp > 1) abort();

  HostInfo stInfo;
  memset(&stInfo, 0, sizeof(stInfo));
  if (HostmonGetHostInfo(pstItem, &stInfo) != pstItem->ulDhcp) abort();
  CheckTerminated(stInfo.acChAddr);
  CheckTerminated(stInfo.acMacAddr);
  CheckTerminated(stInfo.acVendorClass);
  CheckTerminated(stInfo.acHostName);
  CheckTerminated(stInfo.acInterface);

  lum::testing::TraceLines().clear();
  lum::testing::MlogLines().clear();
  lum::testing::PrivilegeCalls().clear();
  return 0;
}
