// Every bus message type the daemon handles or sends.
#pragma once

#include <cstdint>

// Received.
inline constexpr uint32_t LUM_MSG_DHCPSCMS_ADD_OTHER_PORT_TO_HOSTMON = 0x3008;
inline constexpr uint32_t LUM_MSG_DHCPS_UPDATE_LEASE = 0x3011;
inline constexpr uint32_t LUM_MSG_DHCPS_ADD_IPMAC = 0x3012;
inline constexpr uint32_t LUM_MSG_DHCPS_DEL_IPMAC = 0x3013;
inline constexpr uint32_t LUM_MSG_DHCPS_DEL_SINGLEIPMAC = 0x3015;
inline constexpr uint32_t LUM_MSG_DHCP6S_CLIENT_RELEASE = 0x3404;
inline constexpr uint32_t LUM_MSG_LAN_STATUS_DOWN = 0x5015;
inline constexpr uint32_t LUM_MSG_LAN_STATUS_UP = 0x5016;
inline constexpr uint32_t LUM_MSG_WLAN_STATUS_DOWN = 0x5022;
inline constexpr uint32_t LUM_MSG_HOSTMON_DAD_ADD_IPV6_ITEM = 0xB907;
inline constexpr uint32_t LUM_MSG_HOSTMON_DEVICE_ON_LINE = 0xB908;
inline constexpr uint32_t LUM_MSG_HOSTMON_DEVICE_ON_LINE_FDB = 0xB909;
inline constexpr uint32_t LUM_MSG_HOSTMON_DEVICE_OFF_LINE = 0xB90A;
inline constexpr uint32_t LUM_MSG_HOSTMON_LOW_LEVEL_DEVICE_OFF_LINE = 0xB90B;
inline constexpr uint32_t LUM_MSG_HOSTMON_OVANET_WAN_UP = 0xB90C;
inline constexpr uint32_t LUM_MSG_HOSTMON_OVANET_WAN_DOWN = 0xB90D;
inline constexpr uint32_t LUM_MSG_HOSTMON_IGNORED_B911 = 0xB911;      // no name, no handler
inline constexpr uint32_t LUM_MSG_HOSTMON_OVANET_ADD_IPMAC = 0xB914;  // no name; as 0x3012
inline constexpr uint32_t LUM_HOSTMON_MSG_TEST_BRIDGECHG = 0xBB02;
inline constexpr uint32_t LUM_HOSTMON_MSG_RELOAD_BR_ADDR = 0xBB03;
inline constexpr uint32_t LUM_MSG_HOSTMON_UPDATA_ALL_NODES = 0xBB04;
inline constexpr uint32_t LUM_HOSTMON_MSG_UPDATEHOSTIP_THROUGH_SSDP = 0xBB05;  // named, not handled
inline constexpr uint32_t LUM_HOSTMON_MSG_WLAN_DEL_LEASE = 0xBB06;
inline constexpr uint32_t LUM_HOSTMON_MSG_UPDATE_TIMEQUOTA_DEV = 0xBB07;
inline constexpr uint32_t LUM_HOSTMON_MSG_UPDATE_DEVICE_WHEN_TOPO_REFRESH = 0xBB08;

// Sent.
inline constexpr uint32_t LUM_MSG_SUBSCRIBE_REQUEST = 0x702;
inline constexpr uint32_t LUM_HOSTMON_MSG_NEIGHBORS_UPDATE = 0xBB01;
inline constexpr uint32_t LUM_MSG_HOSTMON_HOST_ADD = 0xB903;
inline constexpr uint32_t LUM_MSG_HOSTMON_HOST_DEL = 0xB904;
inline constexpr uint32_t LUM_MSG_HOSTMON_HOST_CHANGE = 0xB905;
inline constexpr uint32_t LUM_MSG_HOSTMON_DEVICE_NAME_UPDATE = 0xB90F;
inline constexpr uint32_t LUM_MSG_HOSTMON_HOST_IP_CHANGE = 0xB912;
inline constexpr uint32_t LUM_MSG_HOSTMON_IP_CONFLICT = 0xB913;

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
