// Network utilities of the platform: bridge names and keys, forwarding-table
// records, station association and MAC masking. Every kernel question goes
// through the backend of netbackend.h, so a test can answer it instead.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/lum.h"
#include "platform/netbackend.h"
#include "platform/netquery.h"

#define NET_TRACE(...)                                                                          \
  do {                                                                                          \
    if (g_bLumTraceOn) LUM_TRACE_PrintInfo(__FILE_NAME__, __LINE__, 0, "lum", 16, __VA_ARGS__); \
  } while (0)

namespace lum::net {

namespace {

std::atomic<NetBackend *> g_pBackend{nullptr};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<MacBytes> ParseMac(std::string_view text) {
  if (text.size() != 17) return std::nullopt;
  const char sep = text[2];
  if (sep != ':' && sep != '-') return std::nullopt;
  MacBytes mac{};
  for (size_t i = 0; i < mac.size(); ++i) {
    const size_t pos = i * 3;
    if (i > 0 && text[pos - 1] != sep) return std::nullopt;
    const int hi = HexDigit(text[pos]);
    const int lo = HexDigit(text[pos + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    mac[i] = static_cast<uint8_t>(hi * 16 + lo);
  }
  return mac;
}

std::string MacToLower(const MacBytes &mac) {
  char text[18];
  snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
           mac[4], mac[5]);
  return text;
}

bool IsValidIfName(std::string_view name) {
  if (name.empty() || name.size() > 15) return false;
  if (name == "." || name == "..") return false;
  return name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

std::optional<uint32_t> BridgeNumber(std::string_view name) {
  if (name.size() < 3 || name.substr(0, 2) != "br") return std::nullopt;
  std::string_view digits = name.substr(2);
  if (digits.size() > 1 && digits[0] == '0') return std::nullopt;
  uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value >= LUM_BRIDGE_KEY_NONE) return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

bool IsWirelessPort(std::string_view port) {
  return port.starts_with("wl") || port.starts_with("ath");
}

NetBackend &Backend() {
  NetBackend *backend = g_pBackend.load(std::memory_order_acquire);
  return backend != nullptr ? *backend : LinuxBackend();
}

void SetBackend(NetBackend *pBackend) { g_pBackend.store(pBackend, std::memory_order_release); }

std::vector<std::string> BridgeNames() { return Backend().BridgeNames(); }

std::vector<std::string> BridgePorts(const std::string &bridge) {
  return Backend().BridgePorts(bridge);
}

std::optional<uint32_t> BridgeKeyOf(const std::string &ifname) {
  return Backend().BridgeKeyOf(ifname);
}

std::optional<std::string> FdbPortOf(const std::string &mac, const std::string &bridge) {
  std::optional<MacBytes> bytes = ParseMac(mac);
  if (!bytes) return std::nullopt;
  std::optional<FdbHit> hit = Backend().FdbLookup(*bytes, bridge);
  if (!hit) return std::nullopt;
  return hit->port;
}

}  // namespace lum::net

namespace {

using lum::net::MacBytes;

// Copies text into a buffer of ulSize bytes, cut and terminated.
void CopyCut(char *pcOut, uint32_t ulSize, std::string_view text) {
  const size_t n = std::min<size_t>(text.size(), ulSize - 1);
  memcpy(pcOut, text.data(), n);
  pcOut[n] = '\0';
}

uint32_t FdbQuery(const char *pcMac, LUM_BR_FDB_INFO *pstInfo, const char *pcBridge) {
  if (pcMac == nullptr || pstInfo == nullptr) {
    NET_TRACE("fdb query without %s\n", pcMac == nullptr ? "MAC" : "record");
    return 1;
  }
  std::optional<MacBytes> mac = lum::net::ParseMac(std::string_view(pcMac, strnlen(pcMac, 18)));
  if (!mac) {
    NET_TRACE("fdb query: unparsable MAC text\n");
    return 1;
  }
  std::string bridge;
  if (pcBridge != nullptr) {
    bridge.assign(pcBridge, strnlen(pcBridge, 16));
    if (!lum::net::IsValidIfName(bridge)) {
      NET_TRACE("fdb query: bad bridge name\n");
      return 1;
    }
  }
  std::optional<lum::net::FdbHit> hit = lum::net::Backend().FdbLookup(*mac, bridge);
  if (!hit) return 1;
  LUM_BR_FDB_INFO info{};
  CopyCut(info.acMac, sizeof(info.acMac), lum::net::MacToLower(*mac));
  info.ucIsLocal = 0;
  CopyCut(info.acPortName, sizeof(info.acPortName), hit->port);
  for (int i = 0; i < 4; ++i)
    info.aucAgeingMs[i] = static_cast<uint8_t>(hit->ulAgeingMs >> (8 * i));
  info.aucPortNo[0] = static_cast<uint8_t>(hit->usPortNo);
  info.aucPortNo[1] = static_cast<uint8_t>(hit->usPortNo >> 8);
  memcpy(pstInfo, &info, sizeof(info));
  return 0;
}

// The masked or secured text of a MAC given as bytes or as text.
std::optional<MacBytes> MacFromArgs(const uint8_t *pucMac, const char *pcMac) {
  if (pucMac != nullptr) {
    MacBytes mac;
    memcpy(mac.data(), pucMac, mac.size());
    return mac;
  }
  if (pcMac == nullptr) return std::nullopt;
  return lum::net::ParseMac(std::string_view(pcMac, strnlen(pcMac, 18)));
}

constexpr const char kAllMasked[] = "**:**:**:**:**:**";

}  // namespace

static int32_t GetBridgeAllNamesImpl(char *pcBuf, uint32_t ulSize) {
  if (pcBuf == nullptr || ulSize == 0) {
    NET_TRACE("bridge names: no buffer\n");
    return 0;
  }
  std::string all;
  int32_t lHeld = 0;
  for (const std::string &name : lum::net::BridgeNames()) {
    if (!all.empty()) all += ',';
    all += name;
    // Only names that fit whole, with the terminator, are counted.
    if (all.size() <= ulSize - 1) ++lHeld;
  }
  CopyCut(pcBuf, ulSize, all);
  return lHeld;
}

static uint32_t GetBridgeKeyByInterfaceNameImpl(const char *pcIfName, uint32_t *pulKey) {
  if (pcIfName == nullptr || pulKey == nullptr) {
    NET_TRACE("bridge key: missing %s\n", pcIfName == nullptr ? "interface" : "key");
    return 1;
  }
  std::string name(pcIfName, strnlen(pcIfName, 16));
  if (!lum::net::IsValidIfName(name)) {
    NET_TRACE("bridge key: bad interface name\n");
    return 1;
  }
  std::optional<uint32_t> key = lum::net::BridgeKeyOf(name);
  if (!key) return 1;
  *pulKey = *key;
  return 0;
}

static uint32_t GetBrFdbInfoByMacImpl(const char *pcMac, LUM_BR_FDB_INFO *pstInfo) {
  return FdbQuery(pcMac, pstInfo, nullptr);
}

static uint32_t GetBrFdbInfoByMacSpecBrImpl(const char *pcMac, LUM_BR_FDB_INFO *pstInfo,
                                            const char *pcBridge) {
  if (pcBridge == nullptr || *pcBridge == '\0') {
    NET_TRACE("fdb query: no bridge named\n");
    return 1;
  }
  return FdbQuery(pcMac, pstInfo, pcBridge);
}

static uint32_t IsStaAssociatedImpl(const char *pcMac) {
  if (pcMac == nullptr) return 0;
  std::optional<MacBytes> mac = lum::net::ParseMac(std::string_view(pcMac, strnlen(pcMac, 18)));
  if (!mac) {
    NET_TRACE("station query: unparsable MAC text\n");
    return 0;
  }
  return lum::net::Backend().StaAssociated(*mac) ? 1 : 0;
}

uint32_t LUM_UTIL_Disguise_MacAddress(const uint8_t *pucMac, const char *pcMac, char *pcOut,
                                      uint32_t ulOutLen) {
  if (pcOut == nullptr || ulOutLen == 0) return 1;
  std::optional<MacBytes> mac = MacFromArgs(pucMac, pcMac);
  if (!mac) {
    CopyCut(pcOut, ulOutLen, kAllMasked);
    return 0;
  }
  char text[18];
  snprintf(text, sizeof(text), "%02X:%02X:**:**:**:%02X", (*mac)[0], (*mac)[1], (*mac)[5]);
  CopyCut(pcOut, ulOutLen, text);
  return 0;
}

uint32_t LUM_UTIL_GetSecureMacAddress(const char *pcMac, char *pcOut, uint32_t ulOutLen) {
  if (pcOut == nullptr || ulOutLen == 0) return 1;
  // A text that is no MAC (a leases record may carry anything) is masked
  // whole: its host is still logged and announced.
  std::optional<MacBytes> mac = MacFromArgs(nullptr, pcMac);
  char text[18];
  if (mac) {
    snprintf(text, sizeof(text), "%02X:%02X:%02X:**:**:%02X", (*mac)[0], (*mac)[1], (*mac)[2],
             (*mac)[5]);
  } else {
    memcpy(text, kAllMasked, sizeof(text));
  }
  CopyCut(pcOut, ulOutLen, text);
  // The event log wants the whole secured form or none.
  return ulOutLen >= sizeof(text) ? 0 : 1;
}

// No exception leaves the platform: an allocation failure is a refusal.
int32_t LUM_UTIL_GetBridgeAllNames(char *pcBuf, uint32_t ulSize) {
  try {
    return GetBridgeAllNamesImpl(pcBuf, ulSize);
  } catch (...) {
    return 0;
  }
}

uint32_t LUM_BRIDGE_GetBridgeKeyByInterfaceName(const char *pcIfName, uint32_t *pulKey) {
  try {
    return GetBridgeKeyByInterfaceNameImpl(pcIfName, pulKey);
  } catch (...) {
    return 1;
  }
}

uint32_t LUM_UTIL_GetBrFdbInfoByMac(const char *pcMac, LUM_BR_FDB_INFO *pstInfo) {
  try {
    return GetBrFdbInfoByMacImpl(pcMac, pstInfo);
  } catch (...) {
    return 1;
  }
}

uint32_t LUM_UTIL_GetBrFdbInfoByMacSpecBr(const char *pcMac, LUM_BR_FDB_INFO *pstInfo,
                                          const char *pcBridge) {
  try {
    return GetBrFdbInfoByMacSpecBrImpl(pcMac, pstInfo, pcBridge);
  } catch (...) {
    return 1;
  }
}

uint32_t LUM_UTIL_IsStaAssociated(const char *pcMac) {
  try {
    return IsStaAssociatedImpl(pcMac);
  } catch (...) {
    return 0;
  }
}
