// The database's kinds of object: where each sits, its path and its slots.
// The table's order is the file's order, parents before children.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "platform/lumdb.h"

namespace lum::db {

struct SlotDef {
  std::string_view name;
  bool bNumber;  // else a text
};

struct KindDef {
  uint32_t ulKind;
  std::string_view name;     // for traces
  int iParent;               // index in kKinds, -1 at the top
  std::string_view segment;  // path after the parent's, before the instance number
  bool bSingleton;           // no instance number of its own: one per parent
  std::span<const SlotDef> slots;
};

inline constexpr size_t kKindCount = 7;
inline constexpr size_t kLanDevice = 0;
inline constexpr size_t kHost = 1;
inline constexpr size_t kHostIpv6 = 2;
inline constexpr size_t kAvailIf = 3;
inline constexpr size_t kLanEthIf = 4;
inline constexpr size_t kWlanCfg = 5;
inline constexpr size_t kBridgeNum = 6;

inline constexpr SlotDef kHostSlots[] = {
    {"IPAddress", false},
    {"X_IPv6LinkLocalAddress", false},
    {"AddressSource", false},
    {"LeaseTimeRemaining", true},
    {"X_LastChangeTime", true},
    {"MACAddress", false},
    {"X_WireMACAddress", false},
    {"Layer2Interface", false},
    {"VendorClassID", false},
    {"ClientID", false},
    {"UserClassID", false},
    {"HostName", false},
    {"InterfaceType", false},
    {"X_Reserved", false},
    {"Active", true},
    {"X_IPv6Active", true},
    {"X_DeviceName", false},
};
inline constexpr SlotDef kHostIpv6Slots[] = {{"Address", false}};
inline constexpr SlotDef kAvailIfSlots[] = {
    {"AvailableInterfaceKey", true},
    {"InterfaceType", false},
    {"InterfaceReference", false},
    {"X_InterfaceName", false},
};
inline constexpr SlotDef kInterfaceSlots[] = {
    {"Enable", true}, {"Status", false}, {"X_Name", false}};
inline constexpr SlotDef kBridgeNumSlots[] = {{"BridgeNumber", true}};

inline constexpr std::array<KindDef, kKindCount> kKinds = {{
    {LUM_DB_KIND_LANDEVICE, "LANDevice", -1, "InternetGatewayDevice.LANDevice.", false, {}},
    {LUM_DB_KIND_HOST, "Host", kLanDevice, "Hosts.Host.", false, kHostSlots},
    {LUM_DB_KIND_HOST_IPV6, "IPv6Address", kHost, "X_IPv6Address.", false, kHostIpv6Slots},
    {LUM_DB_KIND_AVAIL_IF, "AvailableInterface", -1,
     "InternetGatewayDevice.Layer2Bridging.AvailableInterface.", false, kAvailIfSlots},
    {LUM_DB_KIND_LAN_ETH_IF, "LANEthernetInterfaceConfig", kLanDevice,
     "LANEthernetInterfaceConfig.", false, kInterfaceSlots},
    {LUM_DB_KIND_WLAN_CFG, "WLANConfiguration", kLanDevice, "WLANConfiguration.", false,
     kInterfaceSlots},
    {LUM_DB_KIND_BRIDGE_NUM, "X_Bridge", kLanDevice, "X_Bridge.", true, kBridgeNumSlots},
}};

// How many key entries count for the kind (its depth; a singleton adds none).
constexpr size_t KeyCount(size_t kind) {
  size_t n = 0;
  for (int k = static_cast<int>(kind); k >= 0; k = kKinds[static_cast<size_t>(k)].iParent) {
    if (!kKinds[static_cast<size_t>(k)].bSingleton) ++n;
  }
  return n;
}
// How many key entries its parent's key list has (0 at the top).
constexpr size_t ParentKeyCount(size_t kind) {
  int parent = kKinds[kind].iParent;
  return parent < 0 ? 0 : KeyCount(static_cast<size_t>(parent));
}
// True when kind d lies below kind a (not a itself).
constexpr bool IsBelow(size_t d, size_t a) {
  for (int k = kKinds[d].iParent; k >= 0; k = kKinds[static_cast<size_t>(k)].iParent) {
    if (static_cast<size_t>(k) == a) return true;
  }
  return false;
}

// Per kind, the slots that hold texts and those that hold numbers, so that
// building a value needs no test per slot.
struct SlotLists {
  std::array<uint8_t, 32> texts{};
  std::array<uint8_t, 32> numbers{};
  uint8_t ucTexts = 0;
  uint8_t ucNumbers = 0;
};
constexpr std::array<SlotLists, kKindCount> MakeSlotLists() {
  std::array<SlotLists, kKindCount> lists{};
  for (size_t kind = 0; kind < kKindCount; ++kind) {
    SlotLists &l = lists[kind];
    for (size_t i = 0; i < kKinds[kind].slots.size(); ++i) {
      if (kKinds[kind].slots[i].bNumber) {
        l.numbers[l.ucNumbers++] = static_cast<uint8_t>(i);
      } else {
        l.texts[l.ucTexts++] = static_cast<uint8_t>(i);
      }
    }
  }
  return lists;
}
inline constexpr std::array<SlotLists, kKindCount> kSlotLists = MakeSlotLists();

constexpr bool ParentsFirst() {
  for (size_t i = 0; i < kKindCount; ++i) {
    if (kKinds[i].iParent >= static_cast<int>(i)) return false;
    if (kKinds[i].bSingleton && kKinds[i].iParent < 0) return false;
    if (kKinds[i].slots.size() > 32) return false;  // the value header's bit mask
  }
  return true;
}
static_assert(ParentsFirst());

// Index in kKinds of a kind id.
constexpr std::optional<size_t> KindIndex(uint32_t ulKind) {
  for (size_t i = 0; i < kKindCount; ++i) {
    if (kKinds[i].ulKind == ulKind) return i;
  }
  return std::nullopt;
}
static_assert(KeyCount(kHostIpv6) == 3 && KeyCount(kBridgeNum) == 1 && KeyCount(kAvailIf) == 1);
static_assert(KeyCount(kHostIpv6) <= LUM_DB_KEYS);

// Longest text a slot may hold, in bytes; longer ones are refused everywhere,
// so that whatever is saved loads again.
inline constexpr size_t kMaxText = 1024;

// A parameter settable on its own (LUM_DBSetPara).
struct ParaDef {
  uint32_t ulId;
  size_t kind;
  size_t slot;
};
std::optional<ParaDef> FindPara(uint32_t ulParaId);

}  // namespace lum::db
