// One world for a fuzz run: bridge br0 (192.168.1.1) with ports eth0 and
// wlan0, a forwarding table, a leases file under a temporary root, and socket
// calls that never reach a kernel. The host table is emptied now and then so
// that it stays small.
#pragma once

#include <ftw.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "arp/arp.h"
#include "hosts/hosts.h"
#include "main/hostmon.h"
#include "platform/testing.h"
#include "tests/common/nullsockets.h"
#include "topology/topology.h"

namespace fuzzworld {

inline constexpr const char *kInterfaces[] = {"eth0", "wlan0", "br0", "eth9", "nas0", "br1"};
inline constexpr size_t kMaxItems = 64;
inline constexpr uint32_t kInputsPerEpoch = 512;

inline void WriteLeases(const std::string &root) {
  std::string dir = root;
  for (const char *part : {"/var", "/dhcp", "/dhcps"}) {
    dir += part;
    (void)mkdir(dir.c_str(), 0755);
  }
  HostInfo rec[2];
  memset(rec, 0, sizeof(rec));
  rec[0].ulYiaddr = 0xC0A80114;
  rec[0].ulLease = 0xFFFFFFFF;
  memcpy(rec[0].acChAddr, "00:11:22:33:44:55", 17);
  memcpy(rec[0].acMacAddr, "AA:BB:CC:DD:EE:01", 17);
  memcpy(rec[0].acHostName, "\xC4\xE3\xBA\xC3", 4);
  rec[1] = rec[0];
  rec[1].ulYiaddr = 0xC0A80115;
  memcpy(rec[1].acMacAddr, "AA:BB:CC:DD:EE:02", 17);
  FILE *file = fopen((dir + "/leases").c_str(), "wb");
  if (file == nullptr) return;
  (void)fwrite(rec, sizeof(rec), 1, file);
  (void)fclose(file);
}

inline std::string *g_pRoot = nullptr;

inline void RemoveRoot() {
  if (g_pRoot == nullptr) return;
  (void)nftw(
      g_pRoot->c_str(),
      [](const char *path, const struct stat *, int, struct FTW *) { return remove(path); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

struct World {
  lum::testing::Sandbox sandbox;
  lum::testing::FakeNet net;
  Bridge *pstBridge = nullptr;
  uint32_t ulInputs = 0;

  World() {
    nullsockets::Install();
    net.bridges = {"br0"};
    net.fdb["br0/aa:bb:cc:dd:ee:01"] = "eth0";
    net.fdb["br0/aa:bb:cc:dd:ee:02"] = "wlan0";
    net.fdb["br0/aa:bb:cc:dd:ee:03"] = "eth5";
    net.fdb["br1/aa:bb:cc:dd:ee:04"] = "eth0";
    net.fdb["br0/aa:bb:cc:dd:ee:05"] = "nas0";
    lum::testing::UseFakeNet(&net);

    const char *pcTmp = getenv("TMPDIR");
    std::string pattern = std::string(pcTmp != nullptr && *pcTmp != '\0' ? pcTmp : "/tmp") +
                          "/hostmon-arpfuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) abort();
    g_pRoot = new std::string(pattern);
    (void)atexit(RemoveRoot);
    HostmonSetPathRootForTest(g_pRoot->c_str());
    WriteLeases(*g_pRoot);
    pstBridge = LUM_HOSTMON_BridgeAdd("br0");
    if (pstBridge != nullptr) {
      (void)LUM_HOSTMON_PortAdd(pstBridge, "eth0");
      (void)LUM_HOSTMON_PortAdd(pstBridge, "wlan0");
    }
  }

  // Keeps every record the run makes bounded.
  void Settle() {
    lum::testing::TraceLines().clear();
    lum::testing::MlogLines().clear();
    lum::testing::EventRecords().clear();
    lum::testing::SentMessages().clear();
    lum::testing::PrivilegeCalls().clear();
    if (++ulInputs % kInputsPerEpoch != 0 &&
        LUM_UTIL_ListGetCount(LUM_HOSTMON_GetMacList()) <= kMaxItems) {
      return;
    }
    // Let the ageing and the conflict log run their course, then start over.
    lum::testing::AdvanceMs(600000);
    while (LUM_HOSTMON_GetMacList() != nullptr) LUM_HOSTMON_MACAddressDel(LUM_HOSTMON_GetMacList());
    lum::testing::ResetDb();
    lum::testing::TraceLines().clear();
    lum::testing::MlogLines().clear();
    lum::testing::EventRecords().clear();
    lum::testing::SentMessages().clear();
    lum::testing::PrivilegeCalls().clear();
  }
};

inline World &TheWorld() {
  static World *pWorld = new World();
  return *pWorld;
}

}  // namespace fuzzworld
