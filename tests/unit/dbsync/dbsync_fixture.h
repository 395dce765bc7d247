// The publishing tests' LAN: br0 (LAN device 1) with ports eth0, eth1 and
// wlan0, br1 (LAN device 2) with port eth2, their objects in the database, a
// manual clock, a captured bus and the daemon's fixed paths under a temporary
// root. Host objects are written by slot number (see dbsync/dbsync.h).
#pragma once

#include <fstream>
#include <iterator>

#include "dbsync/dbsync.h"
#include "main/msgcatalog.h"
#include "tests/unit/common/lan.h"

namespace synctest {

using dbfill::Nums;
using dbfill::Texts;
using lantest::AddObject;
using lantest::Traced;
using lum::testing::AdvanceMs;
using lum::testing::SentMessages;
using Slots = std::array<std::string, 17>;
using SlotNums = std::array<uint32_t, 17>;
using Strings = std::vector<std::string>;
using Types = std::vector<uint32_t>;

constexpr uint32_t kAdd = LUM_MSG_HOSTMON_HOST_ADD, kChange = LUM_MSG_HOSTMON_HOST_CHANGE,
                   kDel = LUM_MSG_HOSTMON_HOST_DEL, kIpChange = LUM_MSG_HOSTMON_HOST_IP_CHANGE,
                   kConflict = LUM_MSG_HOSTMON_IP_CONFLICT,
                   kName = LUM_MSG_HOSTMON_DEVICE_NAME_UPDATE;

// aa:bb:cc:dd:ee:<last> as the records hold it.
inline std::string MacText(uint8_t ucLast) {
  char acText[18];
  snprintf(acText, sizeof(acText), "AA:BB:CC:DD:EE:%02X", ucLast);
  return acText;
}

// A host object as read back: keys, texts and numbers by slot.
struct HostObject {
  uint32_t aulKeys[LUM_DB_KEYS] = {};
  Slots text;
  SlotNums num{};
};

inline const std::string kLd1 = "InternetGatewayDevice.LANDevice.1.";
inline const std::string kEth0Domain = kLd1 + "LANEthernetInterfaceConfig.1";
inline const std::string kEth1Domain = kLd1 + "LANEthernetInterfaceConfig.2";
inline const std::string kWlan0Domain = kLd1 + "WLANConfiguration.1";
inline const std::string kEth2Domain =
    "InternetGatewayDevice.LANDevice.2.LANEthernetInterfaceConfig.1";

class SyncTest : public lantest::NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    ASSERT_EQ(system(("mkdir -p " + m_root.Root() + "/var/dhcp/dhcps").c_str()), 0);
    HostmonSyncResetForTest();
    for (uint8_t n = 1; n <= 2; ++n) {  // br0 192.168.1.1 and br1 192.168.2.1
      m_sys.interfaces["br" + std::to_string(n - 1)] = {{0x02, 0, 0, 0, n, n},
                                                        htonl(0xC0A80001 | n << 8)};
      // LAN device n, its bridge number n - 1.
      (void)AddObject(lantest::AddLanDevice(), LUM_DB_KIND_BRIDGE_NUM, {}, {{0, n - 1u}});
    }
    Bridge *pstBr0 = LUM_HOSTMON_BridgeAdd("br0");
    Bridge *pstBr1 = LUM_HOSTMON_BridgeAdd("br1");
    ASSERT_TRUE(pstBr0 != nullptr && pstBr1 != nullptr);
    m_pstEth0 = LUM_HOSTMON_PortAdd(pstBr0, "eth0");
    m_pstEth1 = LUM_HOSTMON_PortAdd(pstBr0, "eth1");
    m_pstWlan0 = LUM_HOSTMON_PortAdd(pstBr0, "wlan0");
    ASSERT_NE(m_pstEth2 = LUM_HOSTMON_PortAdd(pstBr1, "eth2"), nullptr);
    (void)AddObject(1, LUM_DB_KIND_LAN_ETH_IF, {{2, "eth0"}}, {{0, 1}});
    (void)AddObject(1, LUM_DB_KIND_LAN_ETH_IF, {{2, "eth1"}}, {{0, 1}});
    (void)AddObject(1, LUM_DB_KIND_WLAN_CFG, {{2, "wlan0"}}, {{0, 1}});
    (void)AddObject(2, LUM_DB_KIND_LAN_ETH_IF, {{2, "eth2"}}, {{0, 1}});
    ClearRecords();
  }
  void TearDown() override {
    NetTest::TearDown();
    HostmonSyncResetForTest();
  }
  static void ClearRecords() {
    lum::testing::TraceLines().clear();
    SentMessages().clear();
    lum::testing::EventRecords().clear();
  }

  // A device as learning leaves it: MAC aa:bb:cc:dd:ee:<last> on the port.
  static MacAddressItem *Host(uint8_t ucLast, Port *pstPort, const lantest::Texts &addrs) {
    return lantest::Host(lantest::HostMac(ucLast), pstPort, addrs);
  }
  static uint32_t AddHostObject(uint32_t ulLanDev, const Texts &texts, const Nums &numbers = {}) {
    return AddObject(ulLanDev, LUM_DB_KIND_HOST, texts, numbers);
  }

  // Every host object in database order.
  static std::vector<HostObject> HostObjects() {
    std::vector<HostObject> objs;
    HostObject obj;
    LUM_DB_SLOT *pstValue = nullptr;
    while (LUM_DBGetObjectBySeqNum(nullptr, LUM_DB_KIND_HOST, objs.size(), &pstValue, 0, 0,
                                   obj.aulKeys) == 0) {
      for (uint32_t i = 0; i < obj.text.size(); ++i) {
        const bool bNumber = i == 3 || i == 4 || i == 14 || i == 15;
        obj.num[i] = bNumber ? pstValue[i].ulNum : 0;
        obj.text[i] = bNumber ? "" : HostmonSlotText(pstValue, i);
      }
      LUM_KEM_FreeObj(LUM_DB_KIND_HOST, pstValue);
      objs.push_back(obj);
    }
    return objs;
  }
  // The host object whose MAC text is mac, exactly; an empty one when none.
  static HostObject Object(const std::string &mac) {
    for (const HostObject &obj : HostObjects()) {
      if (obj.text[HOSTMON_HOST_SLOT_MAC] == mac) return obj;
    }
    return {};
  }
  // The IPv6 sub-objects' address texts below a host object, in database order.
  static Strings Ipv6Objects(uint32_t ulLanDev, uint32_t ulHost) {
    Strings texts;
    const uint32_t aulParent[LUM_DB_KEYS] = {ulLanDev, ulHost};
    LUM_DB_SLOT *pstValue = nullptr;
    while (LUM_DBGetObjectBySeqNum(aulParent, LUM_DB_KIND_HOST_IPV6, texts.size(), &pstValue, 0, 0,
                                   nullptr) == 0) {
      texts.emplace_back(HostmonSlotText(pstValue, 0));
      LUM_KEM_FreeObj(LUM_DB_KIND_HOST_IPV6, pstValue);
    }
    return texts;
  }

  static Types SentTypes() {
    Types types;
    for (const auto &msg : SentMessages()) types.push_back(msg.ulType);
    return types;
  }
  static std::string MacOf(size_t i) {
    const std::vector<uint8_t> &payload = SentMessages().at(i).payload;
    return payload.size() == sizeof(HostInfo)
               ? reinterpret_cast<const HostInfo *>(payload.data())->acChAddr
               : "";
  }
  // A HostInfo with only the MAC and the layer-2 path set.
  static HostInfo Info(const std::string &mac, const std::string &layer2 = "") {
    HostInfo stInfo;
    memset(&stInfo, 0, sizeof(stInfo));
    leasestest::SetField(stInfo.acChAddr, mac);
    leasestest::SetField(stInfo.acLayer2If, layer2);
    return stInfo;
  }
  // The first offset at which the i-th message's payload differs from the
  // record, -1 when none: a wrong offset shows as its number, not as bytes.
  static long FirstDifference(size_t i, const HostInfo &stExpected) {
    const std::vector<uint8_t> &payload = SentMessages().at(i).payload;
    if (payload.size() != sizeof(HostInfo)) return static_cast<long>(payload.size());
    const auto *pucExpected = reinterpret_cast<const uint8_t *>(&stExpected);
    for (size_t ul = 0; ul < sizeof(HostInfo); ++ul) {
      if (payload[ul] != pucExpected[ul]) return static_cast<long>(ul);
    }
    return -1;
  }
  static uint64_t DueInMs(uint32_t ulHandle) {
    uint64_t ulDue = 0;
    EXPECT_TRUE(lum::testing::TimerDueInMs(ulHandle, &ulDue)) << "timer " << ulHandle;
    return ulDue;
  }
  // A file under the daemon's fixed paths, whole; "-" when there is none.
  std::string ReadFixed(const char *pcPath) const {
    std::ifstream in(m_root.Root() + pcPath, std::ios::binary);
    if (!in) return "-";
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  Port *m_pstEth0 = nullptr, *m_pstEth1 = nullptr, *m_pstWlan0 = nullptr, *m_pstEth2 = nullptr;
};

}  // namespace synctest
