// The sync pass against whatever the configuration database holds: the
// database is outside input (a file anyone can edit), the host table is what
// learning could make of it. Input: one byte N, N bytes of host table, then
// the database file's text. A text that does not parse is not a database.
//
// Host table bytes, one record per host: flags, the MAC's last byte, then one
// byte per IPv4 address and one per IPv6 address.
//   flags bits 0-1: port eth0, eth1, wlan0 (br0) or eth2 (br1); bits 2-3:
//   IPv4 count; bits 4-5: IPv6 count; bit 6: real MAC text in lower case;
//   bit 7: no port at all.
//   IPv4 byte b: 169.254.1.b from 0xF0 on, else 192.168.<bridge>.b.
//   IPv6 byte b: fe80::b with bit 7 set, else 2001:db8::b.
//
// Two passes run on the manual clock with the bus captured; after each, what
// must hold whatever the database said is checked, and a broken rule aborts.
#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "dbsync/dbsync.h"
#include "hosts/hosts.h"
#include "main/hostmon.h"
#include "main/msgcatalog.h"
#include "platform/dbstore.h"
#include "platform/lumdb.h"
#include "platform/testing.h"
#include "tests/common/leases_writer.h"
#include "tests/common/nullsockets.h"
#include "topology/topology.h"

namespace {

namespace lt = lum::testing;

constexpr size_t kMaxItems = 80;  // past the 64 objects, so that room-making runs

void Require(bool bHolds, const char *pcWhat) {
  if (bHolds) return;
  fprintf(stderr, "sync_fuzz: %s\n", pcWhat);
  abort();
}

struct World {
  lt::Sandbox sandbox;
  lt::FakeNet net;
  leasestest::ScopedFixedRoot root;

  World() {
    nullsockets::Install();
    net.bridges = {"br0", "br1"};
    lt::UseFakeNet(&net);
    Require(root.Ok() && leasestest::MakeParents(root.Root() + HOSTMON_NEIGHBORS_FILE),
            "no temporary root");
  }
};

World &TheWorld() {
  static World world;
  return world;
}

// Nothing of one input is left for the next.
void Reset() {
  while (LUM_HOSTMON_GetMacList() != nullptr) LUM_HOSTMON_MACAddressDel(LUM_HOSTMON_GetMacList());
  while (LUM_HOSTMON_GetBridgeList() != nullptr) LUM_HOSTMON_BridgeDel(LUM_HOSTMON_GetBridgeList());
  HostmonSyncResetForTest();
  lt::ResetTimers();
  lt::ResetDb();
  lt::SentMessages().clear();
  lt::TraceLines().clear();
  lt::MlogLines().clear();
  lt::EventRecords().clear();
  lt::PrivilegeCalls().clear();
}

void AddAddr(MacAddressItem *pstItem, uint32_t ulFamily, const uint8_t *pucAddr) {
  if (LUM_HOSTMON_IPAddressFind(pstItem, ulFamily, pucAddr) == nullptr) {
    (void)LUM_HOSTMON_MACAddressAddIP(pstItem, ulFamily, pucAddr);
  }
}

void BuildHosts(const uint8_t *pucData, size_t ulSize) {
  Bridge *pstBr0 = LUM_HOSTMON_BridgeAdd("br0");
  Bridge *pstBr1 = LUM_HOSTMON_BridgeAdd("br1");
  Require(pstBr0 != nullptr && pstBr1 != nullptr, "bridges not created");
  Port *apstPorts[4] = {LUM_HOSTMON_PortAdd(pstBr0, "eth0"), LUM_HOSTMON_PortAdd(pstBr0, "eth1"),
                        LUM_HOSTMON_PortAdd(pstBr0, "wlan0"), LUM_HOSTMON_PortAdd(pstBr1, "eth2")};
  size_t i = 0;
  while (i + 2 <= ulSize && LUM_UTIL_ListGetCount(LUM_HOSTMON_GetMacList()) < kMaxItems) {
    const uint8_t ucFlags = pucData[i];
    const uint8_t aucMac[6] = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, pucData[i + 1]};
    i += 2;
    Port *pstPort = (ucFlags & 0x80) != 0 ? nullptr : apstPorts[ucFlags & 3];
    MacAddressItem *pstItem = LUM_HOSTMON_MACAddressGet(aucMac);
    if (pstItem == nullptr) pstItem = LUM_HOSTMON_MACAddressNew(pstPort, aucMac);
    if (pstItem == nullptr) break;
    if ((ucFlags & 0x40) != 0) {
      for (char &c : pstItem->acRealMac) c = static_cast<char>(tolower(static_cast<uint8_t>(c)));
    }
    const uint8_t ucSubnet = (ucFlags & 3) == 3 ? 2 : 1;
    for (size_t n = (ucFlags >> 2) & 3; n > 0 && i < ulSize; --n, ++i) {
      const uint8_t b = pucData[i];
      uint8_t aucAddr[16] = {192, 168, ucSubnet, b};
      if (b >= 0xF0) aucAddr[0] = 169, aucAddr[1] = 254, aucAddr[2] = 1;
      AddAddr(pstItem, HOSTMON_AF_INET, aucAddr);
    }
    for (size_t n = (ucFlags >> 4) & 3; n > 0 && i < ulSize; --n, ++i) {
      const uint8_t b = pucData[i];
      uint8_t aucAddr[16] = {0x20, 0x01, 0x0D, 0xB8};
      if ((b & 0x80) != 0) aucAddr[0] = 0xFE, aucAddr[1] = 0x80, aucAddr[2] = 0, aucAddr[3] = 0;
      aucAddr[15] = b;
      AddAddr(pstItem, HOSTMON_AF_INET6, aucAddr);
    }
  }
}

struct HostObject {
  uint32_t aulKeys[LUM_DB_KEYS] = {};
  std::string mac;
  uint32_t ulV4Active = 0, ulV6Active = 0;
};

std::vector<HostObject> HostObjects() {
  std::vector<HostObject> objs;
  HostObject obj;
  LUM_DB_SLOT *pstValue = nullptr;
  while (LUM_DBGetObjectBySeqNum(nullptr, LUM_DB_KIND_HOST, objs.size(), &pstValue, 0, 0,
                                 obj.aulKeys) == 0) {
    obj.mac = HostmonSlotText(pstValue, HOSTMON_HOST_SLOT_MAC);
    obj.ulV4Active = pstValue[HOSTMON_HOST_SLOT_IPV4_ACTIVE].ulNum;
    obj.ulV6Active = pstValue[HOSTMON_HOST_SLOT_IPV6_ACTIVE].ulNum;
    LUM_KEM_FreeObj(LUM_DB_KIND_HOST, pstValue);
    objs.push_back(obj);
  }
  return objs;
}

std::vector<std::string> Ipv6Objects(const uint32_t *pulHostKeys) {
  std::vector<std::string> texts;
  const uint32_t aulParent[LUM_DB_KEYS] = {pulHostKeys[0], pulHostKeys[1]};
  LUM_DB_SLOT *pstValue = nullptr;
  while (LUM_DBGetObjectBySeqNum(aulParent, LUM_DB_KIND_HOST_IPV6, texts.size(), &pstValue, 0, 0,
                                 nullptr) == 0) {
    texts.emplace_back(HostmonSlotText(pstValue, HOSTMON_IPV6_SLOT_ADDR));
    LUM_KEM_FreeObj(LUM_DB_KIND_HOST_IPV6, pstValue);
  }
  return texts;
}

std::vector<std::string> ItemIpv6(const MacAddressItem *pstItem) {
  std::vector<std::string> texts;
  for (const IpAddressItem *pstIp = pstItem->pstIpList; pstIp != nullptr; pstIp = pstIp->pstNext) {
    char acText[INET6_ADDRSTRLEN] = {};
    if (pstIp->ucFamily == HOSTMON_AF_INET6) {
      texts.emplace_back(inet_ntop(AF_INET6, pstIp->aucAddr, acText, sizeof(acText)));
    }
  }
  return texts;
}

size_t Lines(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return static_cast<size_t>(
      std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
}

template <size_t N>
bool Ends(const char (&acField)[N]) {
  return memchr(acField, 0, N) != nullptr;
}

void CheckNotices(uint64_t ulSleptMs) {
  size_t ulPaused = 0;
  for (const lt::SentMsg &msg : lt::SentMessages()) {
    Require(msg.bHasDest && msg.dest == HOSTMON_APP_CMS, "a notice not for cms");
    HostInfo h;
    DeviceNameUpdate d;
    switch (msg.ulType) {
      case LUM_MSG_HOSTMON_HOST_ADD:
      case LUM_MSG_HOSTMON_HOST_DEL:
      case LUM_MSG_HOSTMON_HOST_CHANGE:
        ++ulPaused;
        [[fallthrough]];
      case LUM_MSG_HOSTMON_HOST_IP_CHANGE:
      case LUM_MSG_HOSTMON_IP_CONFLICT:
        Require(msg.payload.size() == sizeof(h), "a HostInfo notice not of 660 bytes");
        memcpy(&h, msg.payload.data(), sizeof(h));
        Require(Ends(h.acChAddr) && Ends(h.acMacAddr) && Ends(h.acVendorClass) &&
                    Ends(h.acClientId) && Ends(h.acUserClass) && Ends(h.acHostName) &&
                    Ends(h.acInterface) && Ends(h.acLayer2If) && Ends(h.acConflictMac),
                "a HostInfo text without its NUL");
        break;
      case LUM_MSG_HOSTMON_DEVICE_NAME_UPDATE:
        Require(msg.payload.size() == sizeof(d), "a device name notice not of 99 bytes");
        memcpy(&d, msg.payload.data(), sizeof(d));
        Require(Ends(d.acMac) && Ends(d.acIpAddr) && Ends(d.acDevName),
                "a device name text without its NUL");
        break;
      default:
        Require(false, "a notice of an unknown type");
    }
  }
  Require(ulSleptMs == ulPaused * HOSTMON_NOTICE_PAUSE_MS,
          "not one 400 ms pause per added, deleted or changed host");
}

// What holds after any pass, whatever the database held before it.
void CheckPass(size_t ulObjectsBefore, uint64_t ulSleptMs, bool bLastInstanceUsed) {
  Require(HostmonGetMoveHostList() == nullptr, "moves left queued");
  CheckNotices(ulSleptMs);

  const std::vector<HostObject> objs = HostObjects();
  Require(objs.size() <= std::max<size_t>(ulObjectsBefore, HOSTMON_MAX_HOST_OBJECTS),
          "the pass grew the table past 64 objects");
  const bool bFullAndActive = objs.size() >= HOSTMON_MAX_HOST_OBJECTS &&
                              std::all_of(objs.begin(), objs.end(), [](const HostObject &o) {
                                return o.ulV4Active == 1 || o.ulV6Active == 1;
                              });
  size_t ulAddrs = 0;
  for (const MacAddressItem *pstItem = LUM_HOSTMON_GetMacList(); pstItem != nullptr;
       pstItem = pstItem->pstNext) {
    // Only a full table of active objects stops the add step before the end.
    Require(bFullAndActive || pstItem->ucInDb == 0, "an in-database mark left set");
    ulAddrs += LUM_UTIL_ListGetCount(pstItem->pstIpList);
  }
  const std::string &root = TheWorld().root.Root();
  Require(Lines(root + HOSTMON_NEIGHBORS_FILE) == ulAddrs &&
              Lines(root + HOSTMON_NEIGHBORS_NEW_FILE) == ulAddrs,
          "not one neighbours line per address");

  bool bWalkEnded = false;
  for (const std::string &line : lt::TraceLines()) {
    Require(line.find("Found IP conflict") == std::string::npos ||
                line.find("IP[]") == std::string::npos,
            "a conflict found on an empty address");
    bWalkEnded = bWalkEnded || line.rfind("Set hosts value to DB failed", 0) == 0;
  }
  // Objects after a failed write are not refreshed; a database that used the
  // last instance number refuses adds and moves there.
  if (bWalkEnded || bLastInstanceUsed) return;

  for (const HostObject &obj : objs) {
    const MacAddressItem *pstItem = LUM_HOSTMON_MACAddressFind(obj.mac.c_str());
    if (pstItem == nullptr) {
      Require(obj.ulV4Active == 0 && obj.ulV6Active == 0, "an absent host left active");
      continue;
    }
    Require(obj.mac == pstItem->acRealMac, "a present host's MAC text not the item's");
    const uint32_t ulLanDevice = HostmonItemLanDevice(pstItem);
    Require(ulLanDevice == 0 || obj.aulKeys[0] == ulLanDevice,
            "a present host under the wrong LAN device");
    Require(obj.ulV4Active == (LUM_HOSTMON_GetIPv4(pstItem) != 0 ? 1u : 0u),
            "IPv4-active not as the item's addresses");
    uint8_t aucLinkLocal[16];
    Require(obj.ulV6Active == (LUM_HOSTMON_GetIPv6LinkLocal(pstItem, aucLinkLocal) == 0 ? 1u : 0u),
            "IPv6-active not as the item's addresses");
    Require(Ipv6Objects(obj.aulKeys) == ItemIpv6(pstItem),
            "IPv6 address objects not the item's addresses");
  }
}

bool LastInstanceUsed(const lum::db::Store &store) {
  for (size_t kind = 0; kind < lum::db::kKindCount; ++kind) {
    for (const lum::db::Object &obj : store.Objects(kind)) {
      if (std::find(obj.keys.begin(), obj.keys.end(), 0xFFFFFFFFu) != obj.keys.end()) return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const size_t ulHostBytes = std::min<size_t>(data[0], size - 1);
  const std::string_view text(reinterpret_cast<const char *>(data) + 1 + ulHostBytes,
                              size - 1 - ulHostBytes);
  lum::db::Store store;
  std::string why;
  if (!lum::db::ParseFile(text, &store, &why)) return 0;

  const std::string dbPath = TheWorld().root.Root() + "/cfg.db";
  Reset();
  Require(leasestest::WriteBytes(dbPath, text), "database file not written");
  lt::SetDbFile(dbPath);
  Require(LUM_DBInit(0x8000, 0) == 0, "database file not loaded");
  BuildHosts(data + 1, ulHostBytes);

  for (int iPass = 0; iPass < 2; ++iPass) {
    const size_t ulObjects = HostObjects().size();
    const uint64_t ulSlept = lt::SleptMs();
    lt::SentMessages().clear();
    lt::TraceLines().clear();
    (void)HostmonSyncWithDb(0);
    CheckPass(ulObjects, lt::SleptMs() - ulSlept, LastInstanceUsed(store));
  }
  Reset();
  return 0;
}
