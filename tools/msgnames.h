// The tools' catalogue of the bus message types that hostmon handles or sends:
// the name lumbus prints and how it decodes the payload.
#pragma once

#include <cstdint>
#include <string_view>

namespace lumtools {

enum class PayloadKind { kRaw, kHostInfo, kDeviceNameUpdate };

struct MsgName {
  uint32_t ulType;
  std::string_view name;
  PayloadKind kind;
};

inline constexpr MsgName kMsgNames[] = {
    {0x0702, "LUM_MSG_SUBSCRIBE", PayloadKind::kRaw},
    {0x3008, "LUM_MSG_DHCPSCMS_ADD_OTHER_PORT_TO_HOSTMON", PayloadKind::kRaw},
    {0x3011, "LUM_MSG_DHCPS_UPDATE_LEASE", PayloadKind::kRaw},
    {0x3012, "LUM_MSG_DHCPS_ADD_IPMAC", PayloadKind::kRaw},
    {0x3013, "LUM_MSG_DHCPS_DEL_IPMAC", PayloadKind::kRaw},
    {0x3015, "LUM_MSG_DHCPS_DEL_SINGLEIPMAC", PayloadKind::kRaw},
    {0x3404, "LUM_MSG_DHCP6S_CLIENT_RELEASE", PayloadKind::kRaw},
    {0x5015, "LUM_MSG_LAN_STATUS_DOWN", PayloadKind::kRaw},
    {0x5016, "LUM_MSG_LAN_STATUS_UP", PayloadKind::kRaw},
    {0x5022, "LUM_MSG_WLAN_STATUS_DOWN", PayloadKind::kRaw},
    {0xB903, "LUM_MSG_HOSTMON_HOST_ADD", PayloadKind::kHostInfo},
    {0xB904, "LUM_MSG_HOSTMON_HOST_DEL", PayloadKind::kHostInfo},
    {0xB905, "LUM_MSG_HOSTMON_HOST_CHANGE", PayloadKind::kHostInfo},
    {0xB907, "LUM_MSG_HOSTMON_DAD_ADD_IPV6_ITEM", PayloadKind::kRaw},
    {0xB908, "LUM_MSG_HOSTMON_DEVICE_ON_LINE", PayloadKind::kRaw},
    {0xB909, "LUM_MSG_HOSTMON_DEVICE_ON_LINE_FDB", PayloadKind::kRaw},
    {0xB90A, "LUM_MSG_HOSTMON_DEVICE_OFF_LINE", PayloadKind::kRaw},
    {0xB90B, "LUM_MSG_HOSTMON_LOW_LEVEL_DEVICE_OFF_LINE", PayloadKind::kRaw},
    {0xB90C, "LUM_MSG_HOSTMON_OVANET_WAN_UP", PayloadKind::kRaw},
    {0xB90D, "LUM_MSG_HOSTMON_OVANET_WAN_DOWN", PayloadKind::kRaw},
    {0xB90F, "LUM_MSG_HOSTMON_DEVICE_NAME_UPDATE", PayloadKind::kDeviceNameUpdate},
    {0xB912, "LUM_MSG_HOSTMON_HOST_IP_CHANGE", PayloadKind::kHostInfo},
    {0xB913, "LUM_MSG_HOSTMON_IP_CONFLICT", PayloadKind::kHostInfo},
    {0xBB01, "LUM_HOSTMON_MSG_NEIGHBORS_UPDATE", PayloadKind::kRaw},
    {0xBB02, "LUM_HOSTMON_MSG_TEST_BRIDGECHG", PayloadKind::kRaw},
    {0xBB03, "LUM_HOSTMON_MSG_RELOAD_BR_ADDR", PayloadKind::kRaw},
    {0xBB04, "LUM_MSG_HOSTMON_UPDATA_ALL_NODES", PayloadKind::kRaw},
    {0xBB05, "LUM_HOSTMON_MSG_UPDATEHOSTIP_THROUGH_SSDP", PayloadKind::kRaw},
    {0xBB06, "LUM_HOSTMON_MSG_WLAN_DEL_LEASE", PayloadKind::kRaw},
    {0xBB07, "LUM_HOSTMON_MSG_UPDATE_TIMEQUOTA_DEV", PayloadKind::kRaw},
    {0xBB08, "LUM_HOSTMON_MSG_UPDATE_DEVICE_WHEN_TOPO_REFRESH", PayloadKind::kRaw},
};

// The catalogue entry of a type, or nullptr.
constexpr const MsgName *FindMsgName(uint32_t ulType) {
  for (const MsgName &entry : kMsgNames) {
    if (entry.ulType == ulType) return &entry;
  }
  return nullptr;
}

static_assert(FindMsgName(0xB90F)->kind == PayloadKind::kDeviceNameUpdate);
static_assert(FindMsgName(0xB911) == nullptr);

// The device name notice: three NUL-terminated texts at fixed offsets.
inline constexpr size_t kDeviceNameUpdateSize = 99;
inline constexpr size_t kDnuMacOffset = 0, kDnuMacSize = 18;
inline constexpr size_t kDnuIpOffset = 18, kDnuIpSize = 16;
inline constexpr size_t kDnuNameOffset = 34, kDnuNameSize = 65;
static_assert(kDnuNameOffset + kDnuNameSize == kDeviceNameUpdateSize);

}  // namespace lumtools
