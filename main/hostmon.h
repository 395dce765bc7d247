// hostmon's shared records, status codes and process-wide helpers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/lum.h"
#include "platform/lumdb.h"

// Status codes.
inline constexpr uint32_t HOSTMON_OK = 0;
inline constexpr uint32_t HOSTMON_ERR_NOT_FOUND = 0xBB0000;  // missing argument or nothing found
inline constexpr uint32_t HOSTMON_ERR_NO_MEM = 0xBB0001;
inline constexpr uint32_t HOSTMON_ERR_SOCKET = 0xBB0003;
inline constexpr uint32_t HOSTMON_ERR_IFQUERY = 0xBB0006;

inline constexpr uint32_t HOSTMON_MAX_MAC_ITEMS = 254;
inline constexpr uint32_t HOSTMON_MAX_IP_ITEMS = 33;

inline constexpr uint8_t HOSTMON_AF_INET = 2;
inline constexpr uint8_t HOSTMON_AF_INET6 = 10;

// One LAN bridge.
struct Bridge {
  Bridge *pstNext;
  char *pcName;
  uint32_t ulLanDeviceInst;
  uint8_t aucMac[6];
  uint32_t ulIpAddr;  // network byte order; 0 when none
  uint32_t ulArpSockHandle;
  uint32_t ulIcmp6SockHandle;
};

// One member port of a bridge.
struct Port {
  Port *pstNext;
  char *pcName;
  char *pcDomainName;  // path of the port's interface object, or nullptr
  Bridge *pstBridge;
};

// One address of a device.
struct IpAddressItem {
  IpAddressItem *pstNext;
  uint32_t ulLastSeen;  // uptime seconds
  uint8_t ucFamily;     // 2 or 10
  uint8_t ucProbeCount;
  uint8_t aucAddr[16];  // IPv4 in the first 4 bytes, network byte order
};

// One device, by the MAC address seen in its packets.
struct MacAddressItem {
  MacAddressItem *pstNext;
  uint8_t aucMac[6];
  char acRealMac[18];
  uint8_t ucInDb;
  uint32_t ulLeaseValid;
  uint32_t ulDhcp;
  uint32_t ulLeasedAddr;  // byte order of the leases file
  uint32_t ulLeaseExpire;
  char acVendorClass[64];
  char acHostName[65];
  char acLeaseInterface[16];
  IpAddressItem *pstIpList;
  Port *pstPort;
};

// A bus message as the daemon reads it: the platform's header, then the payload.
using MessageHeader = LUM_MSG_HEADER;
inline constexpr size_t HOSTMON_MSG_PAYLOAD_OFFSET = 40;
static_assert(offsetof(MessageHeader, ulMsgType) == 0);
static_assert(offsetof(MessageHeader, acSendApp) == 8);
static_assert(offsetof(MessageHeader, ulData) == 32);
static_assert(sizeof(MessageHeader) == HOSTMON_MSG_PAYLOAD_OFFSET);

inline const uint8_t *HostmonMsgPayload(const MessageHeader *pstMsg) {
  return reinterpret_cast<const uint8_t *>(pstMsg) + HOSTMON_MSG_PAYLOAD_OFFSET;
}

// The 660-byte host record: the payload of the notices to "cms" and the record
// of the DHCP server's leases file.
struct HostInfo {
  uint32_t ulYiaddr;
  uint32_t ulLease;
  char acChAddr[18];
  char acMacAddr[18];
  char acVendorClass[64];
  char acClientId[32];
  char acUserClass[32];
  char acHostName[65];
  uint8_t aucPad1[3];
  uint32_t ulIpv4Active;
  uint32_t ulIpv6Active;
  char acInterface[16];
  uint8_t aucUnused1[12];
  uint32_t aulKeyList[2];
  uint8_t aucUnused2[96];
  char acLayer2If[256];
  uint32_t ulOldIpAddr;
  char acConflictMac[18];
  uint8_t aucPad2[2];
};
static_assert(sizeof(HostInfo) == 660);
static_assert(offsetof(HostInfo, acChAddr) == 8);
static_assert(offsetof(HostInfo, acMacAddr) == 26);
static_assert(offsetof(HostInfo, acVendorClass) == 44);
static_assert(offsetof(HostInfo, acClientId) == 108);
static_assert(offsetof(HostInfo, acUserClass) == 140);
static_assert(offsetof(HostInfo, acHostName) == 172);
static_assert(offsetof(HostInfo, ulIpv4Active) == 240);
static_assert(offsetof(HostInfo, ulIpv6Active) == 244);
static_assert(offsetof(HostInfo, acInterface) == 248);
static_assert(offsetof(HostInfo, aulKeyList) == 276);
static_assert(offsetof(HostInfo, acLayer2If) == 380);
static_assert(offsetof(HostInfo, ulOldIpAddr) == 636);
static_assert(offsetof(HostInfo, acConflictMac) == 640);

// A text slot of a database value, "" when the value holds none.
inline const char *HostmonSlotText(const LUM_DB_SLOT *pstValue, uint32_t ulSlot) {
  return pstValue[ulSlot].pcStr != nullptr ? pstValue[ulSlot].pcStr : "";
}

// The three modes of the command line: version, client, daemon.
int HostmonMain(int argc, char **argv);

// Process-wide helpers.
void *HostmonMalloc(size_t ulSize, const char *pcFile, const char *pcFunc, int iLine);
int HostmonFilePrintf(const char *pcPath, int iAppend, const char *pcFmt, ...) LUM_PRINTF(3, 4);
const char *HostmonBaseName(const char *pcPath);
const char *HostmonGetVersion();
uint32_t HostmonGetOvanetWanIp();
// Written only by the companion WAN handlers.
void HostmonSetOvanetWanIp(uint32_t ulAddr);

// The path of the leak report.
inline constexpr const char *HOSTMON_MEMLEAK_LOG = "/online/memleak.log";

// The daemon's fixed paths (/var/dhcp/dhcps/..., /online/...). Unit tests and
// benchmarks put them under a folder of their own; a gateway never does, and
// then the path is returned as it is.
const char *HostmonFixedPath(const char *pcPath, char *pcBuf, size_t ulSize);
void HostmonSetPathRootForTest(const char *pcRoot);

// Every diagnostic line: the file's base name and line, module "hostmon", level
// 16. With tracing off it costs the branch and formats nothing.
#define HOSTMON_TRACE(...)                                                                     \
  do {                                                                                         \
    if (g_bLumTraceOn)                                                                         \
      LUM_TRACE_PrintInfo(HostmonBaseName(__FILE__), __LINE__, 0, "hostmon", 16, __VA_ARGS__); \
  } while (0)

// Host changes that matter later: the module log and the same text in the trace.
#define HOSTMON_MLOG(...)                  \
  do {                                     \
    mlog_print("hostmon", 8, __VA_ARGS__); \
    HOSTMON_TRACE(__VA_ARGS__);            \
  } while (0)

// The bounded formatter with "%s" into a fixed field, cut to the field size - 1.
#define HOSTMON_COPY_TEXT(field, text) \
  new_snprintf_s(__FILE__, __LINE__, (field), sizeof(field), sizeof(field) - 1, "%s", (text))
