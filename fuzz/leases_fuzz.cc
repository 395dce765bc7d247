// The leases file reader over any file content and length: the input is the
// file. The host looked up has the wire MAC AA:BB:CC:DD:EE:01 and the addresses
// 192.168.1.20 and 10.0.0.1; afterwards every text of the item and of its
// HostInfo must still end inside its field.
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "arp/arp.h"
#include "hosts/hosts.h"
#include "main/hostmon.h"
#include "platform/testing.h"

namespace {

std::string *g_pRoot = nullptr;

void RemoveRoot() {
  if (g_pRoot == nullptr) return;
  (void)nftw(
      g_pRoot->c_str(),
      [](const char *path, const struct stat *, int, struct FTW *) { return remove(path); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

template <size_t N>
void CheckTerminated(const char (&field)[N]) {
  if (strnlen(field, N) >= N) abort();
}

struct World {
  lum::testing::Sandbox sandbox;
  Bridge stBridge{};
  Port stPort{};
  char acBridgeName[4] = "br0";
  char acPortName[5] = "eth0";
  MacAddressItem *pstItem = nullptr;
  std::string leasesPath;

  World() {
    const char *pcTmp = getenv("TMPDIR");
    std::string pattern = std::string(pcTmp != nullptr && *pcTmp != '\0' ? pcTmp : "/tmp") +
                          "/hostmon-leasefuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) abort();
    g_pRoot = new std::string(pattern);
    (void)atexit(RemoveRoot);
    HostmonSetPathRootForTest(g_pRoot->c_str());
    std::string dir = *g_pRoot;
    for (const char *part : {"/var", "/dhcp", "/dhcps"}) {
      dir += part;
      (void)mkdir(dir.c_str(), 0755);
    }
    leasesPath = dir + "/leases";

    stBridge.pcName = acBridgeName;
    stPort.pcName = acPortName;
    stPort.pstBridge = &stBridge;
    const uint8_t aucMac[6] = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x01};
    pstItem = LUM_HOSTMON_MACAddressNew(&stPort, aucMac);
    if (pstItem == nullptr) abort();
    for (uint32_t ulAddr : {0x1401A8C0u, 0x0100000Au}) {  // network byte order
      uint8_t aucAddr[16] = {};
      memcpy(aucAddr, &ulAddr, sizeof(ulAddr));
      (void)LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET, aucAddr);
    }
  }
};

World &TheWorld() {
  static World *pWorld = new World();
  return *pWorld;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  World &world = TheWorld();
  // A new file each time: rewriting one in place makes ext4 flush it on close.
  (void)unlink(world.leasesPath.c_str());
  FILE *file = fopen(world.leasesPath.c_str(), "wb");
  if (file == nullptr) return 0;
  if (size > 0) (void)fwrite(data, 1, size, file);
  (void)fclose(file);

  // The same host every time, so that an input replays alike.
  MacAddressItem *pstItem = world.pstItem;
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
