// The publishing tests' LAN: br0 (LAN device 1) with ports eth0, eth1 and
// wlan0, br1 (LAN device 2) with port eth2, their objects in the database, a
// manual clock, a captured bus and the daemon's fixed paths under a temporary
// root.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "dbsync/dbsync.h"
#include "hosts/hosts.h"
#include "main/hostmon.h"
#include "main/msgcatalog.h"
#include "platform/lumdb.h"
#include "platform/testing.h"
#include "tests/common/leases_writer.h"
#include "tests/unit/common/fakesys.h"
#include "topology/topology.h"

namespace synctest {

using Mac = std::array<uint8_t, 6>;
using Addr = std::array<uint8_t, 16>;

inline constexpr uint32_t kHostSlots = 17;

// aa:bb:cc:dd:ee:<last>, as the records hold it: "AA:BB:CC:DD:EE:<LAST>".
inline Mac HostMac(uint8_t ucLast) { return Mac{0xAA, 0xBB, 0xCC, 0xDD, 0xEE, ucLast}; }
inline std::string MacText(uint8_t ucLast) {
  char acText[18];
  snprintf(acText, sizeof(acText), "AA:BB:CC:DD:EE:%02X", ucLast);
  return acText;
}

inline Addr A4(const char *pcText) {
  Addr addr{};
  EXPECT_EQ(inet_pton(AF_INET, pcText, addr.data()), 1) << pcText;
  return addr;
}
inline Addr A6(const char *pcText) {
  Addr addr{};
  EXPECT_EQ(inet_pton(AF_INET6, pcText, addr.data()), 1) << pcText;
  return addr;
}

// A host object as read back: keys, texts and numbers by slot.
struct HostObject {
  uint32_t aulKeys[LUM_DB_KEYS] = {};
  std::array<std::string, kHostSlots> text;
  std::array<uint32_t, kHostSlots> num{};
};

class SyncTest : public ::testing::Test {
 protected:
  static constexpr const char *kEth0Domain =
      "InternetGatewayDevice.LANDevice.1.LANEthernetInterfaceConfig.1";
  static constexpr const char *kEth1Domain =
      "InternetGatewayDevice.LANDevice.1.LANEthernetInterfaceConfig.2";
  static constexpr const char *kWlan0Domain =
      "InternetGatewayDevice.LANDevice.1.WLANConfiguration.1";
  static constexpr const char *kEth2Domain =
      "InternetGatewayDevice.LANDevice.2.LANEthernetInterfaceConfig.1";

  void SetUp() override {
    ASSERT_TRUE(m_root.Ok());
    ASSERT_EQ(system(("mkdir -p " + m_root.Root() + "/var/dhcp/dhcps").c_str()), 0);
    lum::testing::UseFakeNet(&m_net);
    HostmonSetOvanetWanIp(0);
    HostmonSyncResetForTest();
    AddInterface("br0", 1, "192.168.1.1");
    AddInterface("br1", 2, "192.168.2.1");
    m_pstBr0 = LUM_HOSTMON_BridgeAdd("br0");
    m_pstBr1 = LUM_HOSTMON_BridgeAdd("br1");
    ASSERT_NE(m_pstBr0, nullptr);
    ASSERT_NE(m_pstBr1, nullptr);
    m_pstEth0 = LUM_HOSTMON_PortAdd(m_pstBr0, "eth0");
    m_pstEth1 = LUM_HOSTMON_PortAdd(m_pstBr0, "eth1");
    m_pstWlan0 = LUM_HOSTMON_PortAdd(m_pstBr0, "wlan0");
    m_pstEth2 = LUM_HOSTMON_PortAdd(m_pstBr1, "eth2");
    ASSERT_NE(m_pstEth2, nullptr);

    // LAN devices 1 and 2 with their bridge numbers and interface objects.
    for (uint32_t ulBr = 0; ulBr < 2; ++ulBr) {
      const uint32_t ulLd = AddObject(nullptr, LUM_DB_KIND_LANDEVICE, {});
      const uint32_t aulLd[LUM_DB_KEYS] = {ulLd};
      (void)AddObject(aulLd, LUM_DB_KIND_BRIDGE_NUM, {}, {{0, ulBr}});
    }
    const uint32_t aulLd1[LUM_DB_KEYS] = {1};
    const uint32_t aulLd2[LUM_DB_KEYS] = {2};
    (void)AddObject(aulLd1, LUM_DB_KIND_LAN_ETH_IF, {{2, "eth0"}}, {{0, 1}});
    (void)AddObject(aulLd1, LUM_DB_KIND_LAN_ETH_IF, {{2, "eth1"}}, {{0, 1}});
    (void)AddObject(aulLd1, LUM_DB_KIND_WLAN_CFG, {{2, "wlan0"}}, {{0, 1}});
    (void)AddObject(aulLd2, LUM_DB_KIND_LAN_ETH_IF, {{2, "eth2"}}, {{0, 1}});
    ClearRecords();
  }

  void TearDown() override {
    while (LUM_HOSTMON_GetMacList() != nullptr) {
      LUM_HOSTMON_MACAddressDel(LUM_HOSTMON_GetMacList());
    }
    while (LUM_HOSTMON_GetBridgeList() != nullptr) {
      LUM_HOSTMON_BridgeDel(LUM_HOSTMON_GetBridgeList());
    }
    HostmonSyncResetForTest();
  }

  static void ClearRecords() {
    lum::testing::TraceLines().clear();
    lum::testing::SentMessages().clear();
    lum::testing::EventRecords().clear();
  }

  void AddInterface(const std::string &name, uint8_t n, const char *pcIp) {
    faketest::FakeInterface stIf{};
    const uint8_t aucMac[6] = {0x02, 0x00, 0x00, 0x00, n, n};
    memcpy(stIf.aucMac, aucMac, 6);
    stIf.ulIpAddr = inet_addr(pcIp);
    m_sys.interfaces[name] = stIf;
  }

  // A device as learning leaves it: one item on the port with its addresses
  // (IPv4 and IPv6 told apart by their text).
  static MacAddressItem *Host(uint8_t ucLast, Port *pstPort,
                              const std::vector<const char *> &addrs) {
    const Mac mac = HostMac(ucLast);
    MacAddressItem *pstItem = LUM_HOSTMON_MACAddressNew(pstPort, mac.data());
    EXPECT_NE(pstItem, nullptr);
    if (pstItem == nullptr) return nullptr;
    for (const char *pcAddr : addrs) {
      const bool bV6 = strchr(pcAddr, ':') != nullptr;
      const Addr addr = bV6 ? A6(pcAddr) : A4(pcAddr);
      EXPECT_NE(LUM_HOSTMON_MACAddressAddIP(pstItem, bV6 ? HOSTMON_AF_INET6 : HOSTMON_AF_INET,
                                            addr.data()),
                nullptr);
    }
    return pstItem;
  }

  // Database fillers; each returns the new instance number.
  static uint32_t AddObject(const uint32_t *pulParent, uint32_t ulKind,
                            const std::vector<std::pair<uint32_t, std::string>> &texts,
                            const std::vector<std::pair<uint32_t, uint32_t>> &numbers = {}) {
    LUM_DB_SLOT *pstValue = nullptr;
    EXPECT_EQ(LUM_DBGetDftObject(ulKind, &pstValue, 0), 0u);
    if (pstValue == nullptr) return 0;
    for (const auto &[slot, text] : texts) {
      EXPECT_EQ(LUM_KEM_SetObjStrValue(slot, pstValue, text.c_str()), 0u);
    }
    for (const auto &[slot, number] : numbers) pstValue[slot].ulNum = number;
    uint32_t ulInst = 0;
    EXPECT_EQ(LUM_DBAddObj(pulParent, ulKind, pstValue, &ulInst), 0u);
    LUM_KEM_FreeObj(ulKind, pstValue);
    return ulInst;
  }
  static uint32_t AddHostObject(uint32_t ulLanDev,
                                const std::vector<std::pair<uint32_t, std::string>> &texts,
                                const std::vector<std::pair<uint32_t, uint32_t>> &numbers = {}) {
    const uint32_t aulParent[LUM_DB_KEYS] = {ulLanDev};
    return AddObject(aulParent, LUM_DB_KIND_HOST, texts, numbers);
  }

  // Every host object in database order.
  static std::vector<HostObject> HostObjects() {
    std::vector<HostObject> objs;
    for (uint32_t ulSeq = 0;; ++ulSeq) {
      HostObject obj;
      LUM_DB_SLOT *pstValue = nullptr;
      if (LUM_DBGetObjectBySeqNum(nullptr, LUM_DB_KIND_HOST, ulSeq, &pstValue, 0, 0, obj.aulKeys) !=
          0) {
        break;
      }
      for (uint32_t i = 0; i < kHostSlots; ++i) {
        if (IsNumberSlot(i)) {
          obj.num[i] = pstValue[i].ulNum;
        } else {
          obj.text[i] = HostmonSlotText(pstValue, i);
        }
      }
      LUM_KEM_FreeObj(LUM_DB_KIND_HOST, pstValue);
      objs.push_back(obj);
    }
    return objs;
  }
  static bool IsNumberSlot(uint32_t ulSlot) {
    return ulSlot == HOSTMON_HOST_SLOT_LEASE || ulSlot == HOSTMON_HOST_SLOT_LAST_CHANGE ||
           ulSlot == HOSTMON_HOST_SLOT_IPV4_ACTIVE || ulSlot == HOSTMON_HOST_SLOT_IPV6_ACTIVE;
  }
  // The IPv6 sub-objects' address texts below a host object, in database order.
  static std::vector<std::string> Ipv6Objects(uint32_t ulLanDev, uint32_t ulHost) {
    std::vector<std::string> texts;
    const uint32_t aulParent[LUM_DB_KEYS] = {ulLanDev, ulHost};
    for (uint32_t ulSeq = 0;; ++ulSeq) {
      LUM_DB_SLOT *pstValue = nullptr;
      if (LUM_DBGetObjectBySeqNum(aulParent, LUM_DB_KIND_HOST_IPV6, ulSeq, &pstValue, 0, 0,
                                  nullptr) != 0) {
        break;
      }
      texts.emplace_back(HostmonSlotText(pstValue, 0));
      LUM_KEM_FreeObj(LUM_DB_KIND_HOST_IPV6, pstValue);
    }
    return texts;
  }

  // Messages sent, of one type.
  static std::vector<lum::testing::SentMsg> Sent(uint32_t ulType) {
    std::vector<lum::testing::SentMsg> out;
    for (const auto &msg : lum::testing::SentMessages()) {
      if (msg.ulType == ulType) out.push_back(msg);
    }
    return out;
  }
  static HostInfo InfoOf(const lum::testing::SentMsg &msg) {
    HostInfo stInfo;
    memset(&stInfo, 0, sizeof(stInfo));
    EXPECT_EQ(msg.payload.size(), sizeof(HostInfo));
    memcpy(&stInfo, msg.payload.data(), std::min(msg.payload.size(), sizeof(stInfo)));
    return stInfo;
  }

  static size_t TraceCount(const std::string &line) {
    size_t n = 0;
    for (const std::string &l : lum::testing::TraceLines()) n += l == line ? 1 : 0;
    return n;
  }

  // A file under the daemon's fixed paths, whole.
  std::string ReadFixed(const char *pcPath) const {
    std::ifstream in(m_root.Root() + pcPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  bool FixedExists(const char *pcPath) const {
    struct stat st {};
    return stat((m_root.Root() + pcPath).c_str(), &st) == 0;
  }

  // The host object whose MAC text (slot 5) is mac, exactly; false when none.
  static bool FindHostObject(const std::string &mac, HostObject *pstOut) {
    for (const HostObject &obj : HostObjects()) {
      if (obj.text[HOSTMON_HOST_SLOT_MAC] == mac) {
        *pstOut = obj;
        return true;
      }
    }
    return false;
  }
  // The types of every message sent, in order.
  static std::vector<uint32_t> SentTypes() {
    std::vector<uint32_t> types;
    for (const auto &msg : lum::testing::SentMessages()) types.push_back(msg.ulType);
    return types;
  }

  // The first offset at which payload differs from the record, -1 when none:
  // a wrong offset shows as its number rather than as a wall of bytes.
  template <typename Record>
  static long FirstDifference(const std::vector<uint8_t> &payload, const Record &stExpected) {
    if (payload.size() != sizeof(Record)) return static_cast<long>(payload.size());
    const auto *pucExpected = reinterpret_cast<const uint8_t *>(&stExpected);
    for (size_t i = 0; i < sizeof(Record); ++i) {
      if (payload[i] != pucExpected[i]) return static_cast<long>(i);
    }
    return -1;
  }

  lum::testing::Sandbox m_sandbox;
  lum::testing::FakeNet m_net;
  faketest::FakeSys m_sys;  // after the sandbox, which restores the real calls
  leasestest::ScopedFixedRoot m_root;
  Bridge *m_pstBr0 = nullptr;
  Bridge *m_pstBr1 = nullptr;
  Port *m_pstEth0 = nullptr;
  Port *m_pstEth1 = nullptr;
  Port *m_pstWlan0 = nullptr;
  Port *m_pstEth2 = nullptr;
};

}  // namespace synctest
