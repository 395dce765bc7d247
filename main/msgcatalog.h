// Every bus message type the daemon handles or sends.
#pragma once

#include <cstdint>
#include <iterator>

// How a payload is laid out (offsets from the payload's start, addresses in
// network byte order). lumbus builds and decodes payloads by these.
enum class MsgPayload : uint8_t {
  kNone,              // nothing read
  kText,              // one text: an interface name, a path, a MAC or address text, a list
  kMacText,           // a MAC address text, "%02X:%02X:%02X:%02X:%02X:%02X"
  kAddIpMac,          // MAC (6 bytes), bridge name text at 6; the IPv4 address in the data word
  kMac,               // MAC (6 bytes)
  kMacIpv4,           // MAC (6 bytes), IPv4 address at 8
  kIpv6,              // IPv6 address (16 bytes)
  kDad,               // IPv6 address (16 bytes), MAC at 16, bridge name text at 22
  kHostInfo,          // HostInfo, 660 bytes
  kDeviceNameUpdate,  // DeviceNameUpdate, 99 bytes
};

enum class MsgDirection : uint8_t {
  kIn,         // handled (or at least named) by the daemon
  kInUnnamed,  // handled, but traced as "unknown"
  kOut,        // sent only: the daemon traces it as "unknown" should it arrive
  kInOut,      // sent by the client modes, handled by the daemon
};

// Every bus message type the daemon handles or sends, once: the constants, the
// names the dispatcher traces and lumbus prints, and the payload layouts.
//   X(constant, type, direction, payload)
#define HOSTMON_MSG_CATALOGUE(X)                                         \
  X(LUM_MSG_SUBSCRIBE_REQUEST, 0x0702, kOut, kNone)                      \
  X(LUM_MSG_DHCPSCMS_ADD_OTHER_PORT_TO_HOSTMON, 0x3008, kInOut, kNone)   \
  X(LUM_MSG_DHCPS_UPDATE_LEASE, 0x3011, kIn, kNone)                      \
  X(LUM_MSG_DHCPS_ADD_IPMAC, 0x3012, kIn, kAddIpMac)                     \
  X(LUM_MSG_DHCPS_DEL_IPMAC, 0x3013, kIn, kMac)                          \
  X(LUM_MSG_DHCPS_DEL_SINGLEIPMAC, 0x3015, kIn, kMacIpv4)                \
  X(LUM_MSG_DHCP6S_CLIENT_RELEASE, 0x3404, kIn, kIpv6)                   \
  X(LUM_MSG_LAN_STATUS_DOWN, 0x5015, kIn, kText)                         \
  X(LUM_MSG_LAN_STATUS_UP, 0x5016, kIn, kText)                           \
  X(LUM_MSG_WLAN_STATUS_DOWN, 0x5022, kIn, kText)                        \
  X(LUM_MSG_HOSTMON_HOST_ADD, 0xB903, kOut, kHostInfo)                   \
  X(LUM_MSG_HOSTMON_HOST_DEL, 0xB904, kOut, kHostInfo)                   \
  X(LUM_MSG_HOSTMON_HOST_CHANGE, 0xB905, kOut, kHostInfo)                \
  X(LUM_MSG_HOSTMON_DAD_ADD_IPV6_ITEM, 0xB907, kIn, kDad)                \
  X(LUM_MSG_HOSTMON_DEVICE_ON_LINE, 0xB908, kIn, kMacText)               \
  X(LUM_MSG_HOSTMON_DEVICE_ON_LINE_FDB, 0xB909, kIn, kMacText)           \
  X(LUM_MSG_HOSTMON_DEVICE_OFF_LINE, 0xB90A, kIn, kMacText)              \
  X(LUM_MSG_HOSTMON_LOW_LEVEL_DEVICE_OFF_LINE, 0xB90B, kIn, kMacText)    \
  X(LUM_MSG_HOSTMON_OVANET_WAN_UP, 0xB90C, kIn, kText)                   \
  X(LUM_MSG_HOSTMON_OVANET_WAN_DOWN, 0xB90D, kIn, kText)                 \
  X(LUM_MSG_HOSTMON_DEVICE_NAME_UPDATE, 0xB90F, kOut, kDeviceNameUpdate) \
  X(LUM_MSG_HOSTMON_IGNORED_B911, 0xB911, kInUnnamed, kNone)             \
  X(LUM_MSG_HOSTMON_HOST_IP_CHANGE, 0xB912, kOut, kHostInfo)             \
  X(LUM_MSG_HOSTMON_IP_CONFLICT, 0xB913, kOut, kHostInfo)                \
  X(LUM_MSG_HOSTMON_OVANET_ADD_IPMAC, 0xB914, kInUnnamed, kAddIpMac)     \
  X(LUM_HOSTMON_MSG_NEIGHBORS_UPDATE, 0xBB01, kOut, kNone)               \
  X(LUM_HOSTMON_MSG_TEST_BRIDGECHG, 0xBB02, kIn, kNone)                  \
  X(LUM_HOSTMON_MSG_RELOAD_BR_ADDR, 0xBB03, kInOut, kNone)               \
  X(LUM_MSG_HOSTMON_UPDATA_ALL_NODES, 0xBB04, kInOut, kNone)             \
  X(LUM_HOSTMON_MSG_UPDATEHOSTIP_THROUGH_SSDP, 0xBB05, kIn, kNone)       \
  X(LUM_HOSTMON_MSG_WLAN_DEL_LEASE, 0xBB06, kIn, kMacText)               \
  X(LUM_HOSTMON_MSG_UPDATE_TIMEQUOTA_DEV, 0xBB07, kIn, kText)            \
  X(LUM_HOSTMON_MSG_UPDATE_DEVICE_WHEN_TOPO_REFRESH, 0xBB08, kIn, kNone)

#define HOSTMON_MSG_CONSTANT(name, type, dir, payload) inline constexpr uint32_t name = type;
HOSTMON_MSG_CATALOGUE(HOSTMON_MSG_CONSTANT)
#undef HOSTMON_MSG_CONSTANT

struct MsgCatalogueEntry {
  uint32_t ulType;
  const char *pcName;
  MsgDirection eDirection;
  MsgPayload ePayload;
};

#define HOSTMON_MSG_ENTRY(name, type, dir, payload) \
  {type, #name, MsgDirection::dir, MsgPayload::payload},
inline constexpr MsgCatalogueEntry kMsgCatalogue[] = {HOSTMON_MSG_CATALOGUE(HOSTMON_MSG_ENTRY)};
#undef HOSTMON_MSG_ENTRY

// The entry of a type, or nullptr.
constexpr const MsgCatalogueEntry *HostmonFindMsg(uint32_t ulType) {
  for (const MsgCatalogueEntry &stEntry : kMsgCatalogue) {
    if (stEntry.ulType == ulType) return &stEntry;
  }
  return nullptr;
}

static_assert(std::size(kMsgCatalogue) == 33);
static_assert(HostmonFindMsg(0xB914)->ePayload == MsgPayload::kAddIpMac);

// Application names on the bus.
inline constexpr const char *HOSTMON_APP = "hostmon";
inline constexpr const char *HOSTMON_APP_CMS = "cms";
inline constexpr const char *HOSTMON_APP_DHCPS = "dhcps";

// The 99-byte device name notice.
struct DeviceNameUpdate {
  char acMac[18];
  char acIpAddr[16];
  char acDevName[65];
};
static_assert(sizeof(DeviceNameUpdate) == 99);
