// Host information: interface types, the DHCP server's leases file and the
// HostInfo record of a host.
#include <arpa/inet.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <span>
#include <string_view>

#include "arp/arp.h"
#include "arp/arptext.h"
#include "hosts/hosts.h"

namespace {

struct InterfaceType {
  char cLetter;
  const char *pcText;
};

// The first letter of a port's name, case-sensitive; the first equal row wins.
constexpr InterfaceType kInterfaceTypeTable[] = {
    {'e', "Ethernet"}, {'w', "Wireless"}, {'W', "Wireless"}, {'u', "Usb"}, {'\0', nullptr},
};

constexpr size_t kRecordLen = sizeof(HostInfo);
// Records read per system call: a whole gateway's leases in a few reads, and
// the reading stops at the chunk of the first match.
constexpr size_t kChunkRecords = 64;
constexpr size_t kMacField = sizeof(HostInfo::acChAddr);
constexpr const char *kUser = "hostmon";

// One buffer for the process: the loop's thread is the only reader, and
// nothing in it outlives a call.
alignas(8) uint8_t g_aucChunk[kRecordLen * kChunkRecords];

// A text field of a record, which the writer need not have terminated.
std::string_view FieldText(const char *pcField, size_t ulSize) {
  return std::string_view(pcField, strnlen(pcField, ulSize));
}

// Copies a record's text field into one of the item's, cut to ulMax
// characters. A refresh mostly finds the same text there already.
void CopyField(char *pcDest, size_t ulDestSize, size_t ulMax, std::string_view text) {
  const size_t ulLen = text.size() < ulMax ? text.size() : ulMax;
  if (strnlen(pcDest, ulDestSize) == ulLen && memcmp(pcDest, text.data(), ulLen) == 0) return;
  (void)new_snprintf_s(__FILE__, __LINE__, pcDest, ulDestSize, ulMax, "%.*s",
                       static_cast<int>(text.size()), text.data());
}

// Length of the longest prefix of text, at most ulMax bytes, that does not end
// inside a UTF-8 sequence.
size_t Utf8Cut(const char *pcText, size_t ulMax) {
  size_t ulLen = strnlen(pcText, ulMax + 1);
  if (ulLen <= ulMax) return ulLen;
  ulLen = ulMax;
  while (ulLen > 0 && (static_cast<unsigned char>(pcText[ulLen]) & 0xC0) == 0x80) --ulLen;
  return ulLen;
}

const char *PortName(const MacAddressItem *pstItem) {
  return (pstItem->pstPort != nullptr && pstItem->pstPort->pcName != nullptr)
             ? pstItem->pstPort->pcName
             : "";
}

// Closes the descriptor whatever happens to the reading.
class LeasesFile {
 public:
  // A null path opens nothing.
  explicit LeasesFile(const char *pcPath)
      : m_iFd(pcPath != nullptr ? open(pcPath, O_RDONLY | O_CLOEXEC) : -1) {}
  ~LeasesFile() {
    if (m_iFd >= 0) (void)close(m_iFd);
  }
  LeasesFile(const LeasesFile &) = delete;
  LeasesFile &operator=(const LeasesFile &) = delete;
  bool Open() const { return m_iFd >= 0; }

  // Fills the buffer as far as the file goes; the bytes read. A failed read
  // ends the file, as a short one does.
  size_t Fill(std::span<uint8_t> buf) {
    size_t ulHave = 0;
    while (ulHave < buf.size()) {
      ssize_t lGot = read(m_iFd, buf.data() + ulHave, buf.size() - ulHave);
      if (lGot < 0 && errno == EINTR) continue;
      if (lGot <= 0) break;
      ulHave += static_cast<size_t>(lGot);
    }
    return ulHave;
  }

 private:
  int m_iFd;
};

// The item's IPv4 addresses, network byte order, in list order.
struct ItemAddrs {
  uint32_t aulAddr[HOSTMON_MAX_IP_ITEMS + 1];
  size_t ulCount = 0;
};

void CollectIpv4(const MacAddressItem *pstItem, ItemAddrs *pstOut) {
  for (const IpAddressItem *pstIp = pstItem->pstIpList;
       pstIp != nullptr && pstOut->ulCount < std::size(pstOut->aulAddr); pstIp = pstIp->pstNext) {
    if (pstIp->ucFamily != HOSTMON_AF_INET) continue;
    memcpy(&pstOut->aulAddr[pstOut->ulCount++], pstIp->aucAddr, sizeof(uint32_t));
  }
}

uint32_t RecordU32(const uint8_t *pucRec, size_t ulOffset) {
  uint32_t ulValue;
  memcpy(&ulValue, pucRec + ulOffset, sizeof(ulValue));
  return ulValue;
}

// The record holds a current lease of one of the item's IPv4 addresses under
// the item's wire or real MAC. A current lease of its address under another
// MAC still marks the item's lease valid.
bool RecordMatches(MacAddressItem *pstItem, const ItemAddrs &stAddrs, const uint8_t *pucRec,
                   const char *pcWire, uint32_t ulNow) {
  const uint32_t ulAddr = htonl(RecordU32(pucRec, offsetof(HostInfo, ulYiaddr)));
  for (size_t i = 0; i < stAddrs.ulCount; ++i) {
    if (stAddrs.aulAddr[i] != ulAddr) continue;
    if (RecordU32(pucRec, offsetof(HostInfo, ulLease)) < ulNow) continue;
    pstItem->ulLeaseValid = 1;
    const auto *pcMacAddr = reinterpret_cast<const char *>(pucRec + offsetof(HostInfo, acMacAddr));
    const auto *pcChAddr = reinterpret_cast<const char *>(pucRec + offsetof(HostInfo, acChAddr));
    if (strncasecmp(pcWire, pcMacAddr, kMacField) == 0 ||
        strncasecmp(pstItem->acRealMac, pcChAddr, kMacField) == 0) {
      return true;
    }
  }
  return false;
}

void TakeLease(MacAddressItem *pstItem, const HostInfo &stRec, uint32_t *pbNeedSync) {
  const bool bNewRealMac = strncasecmp(pstItem->acRealMac, stRec.acChAddr, kMacField) != 0;
  if (bNewRealMac || g_bLumTraceOn) {
    char acVm[18] = {};
    char acRm[18] = {};
    char acTo[18] = {};
    (void)LUM_UTIL_Disguise_MacAddress(nullptr, pstItem->acRealMac, acRm, sizeof(acRm));
    // The platform reads at most 18 characters of a MAC text.
    (void)LUM_UTIL_Disguise_MacAddress(nullptr, stRec.acChAddr, acTo, sizeof(acTo));
    (void)LUM_UTIL_Disguise_MacAddress(pstItem->aucMac, nullptr, acVm, sizeof(acVm));
    if (bNewRealMac) {
      *pbNeedSync = 1;
      mlog_print("hostmon", 8, "update VMAC[%s]RMAC[%s]TO[%s]IP[%x]DHCP[%d]Port[%s]\n", acVm, acRm,
                 acTo, pstItem->ulLeasedAddr, pstItem->ulDhcp, PortName(pstItem));
    }
    HOSTMON_TRACE("hostmon update dhcpsinfo VMAC [%s] RMAC[%s]TO[%s] IP[%x] DHCP [%d] Port [%s]\n",
                  acVm, acRm, acTo, pstItem->ulLeasedAddr, pstItem->ulDhcp, PortName(pstItem));
  }

  pstItem->ulDhcp = 1;
  pstItem->ulLeasedAddr = stRec.ulYiaddr;
  CopyField(pstItem->acRealMac, sizeof(pstItem->acRealMac), 17,
            FieldText(stRec.acChAddr, sizeof(stRec.acChAddr)));
  pstItem->ulLeaseExpire = stRec.ulLease;
  CopyField(pstItem->acVendorClass, sizeof(pstItem->acVendorClass), 63,
            FieldText(stRec.acVendorClass, sizeof(stRec.acVendorClass)));

  // The record's name, terminated, for the character-set checks.
  char acName[sizeof(stRec.acHostName) + 1] = {};
  memcpy(acName, stRec.acHostName, sizeof(stRec.acHostName));
  CopyField(pstItem->acHostName, sizeof(pstItem->acHostName), 64, acName);
  if (LUM_NLS_IsStringUtf8(acName) == 0) {
    char *pcUtf8 = LUM_NLS_IconvConvert(acName, "utf8", "cp936");
    (void)LUM_UTIL_DropRootPrivileges(kUser);
    if (pcUtf8 != nullptr) {
      memset(pstItem->acHostName, 0, sizeof(pstItem->acHostName));
      // Cut at a character boundary: the database wants valid UTF-8.
      CopyField(pstItem->acHostName, sizeof(pstItem->acHostName), 64,
                std::string_view(pcUtf8, Utf8Cut(pcUtf8, 64)));
      free(pcUtf8);
    }
  }
  CopyField(pstItem->acLeaseInterface, sizeof(pstItem->acLeaseInterface), 15,
            FieldText(stRec.acInterface, sizeof(stRec.acInterface)));
}

void MakeStatic(MacAddressItem *pstItem) {
  if (pstItem->ulDhcp == 1 || g_bLumTraceOn) {
    char acVm[18] = {};
    char acRm[18] = {};
    (void)LUM_UTIL_Disguise_MacAddress(pstItem->aucMac, nullptr, acVm, sizeof(acVm));
    (void)LUM_UTIL_Disguise_MacAddress(nullptr, pstItem->acRealMac, acRm, sizeof(acRm));
    if (pstItem->ulDhcp == 1) {
      mlog_print("hostmon", 8, "updatetostatic VMAC[%s]RMAC[%s]IP[%x]DHCP[%d]Port[%s]\n", acVm,
                 acRm, pstItem->ulLeasedAddr, pstItem->ulDhcp, PortName(pstItem));
    }
    HOSTMON_TRACE("hostmon update dhcpsinfo VMAC [%s] RMAC[%s] IP[%x] DHCP [%d] Port [%s]\n", acVm,
                  acRm, pstItem->ulLeasedAddr, pstItem->ulDhcp, PortName(pstItem));
  }
  pstItem->ulDhcp = 0;
  pstItem->ulLeasedAddr = 0;
  pstItem->ulLeaseExpire = 0;
  memset(pstItem->acVendorClass, 0, sizeof(pstItem->acVendorClass));
  memset(pstItem->acHostName, 0, sizeof(pstItem->acHostName));
  memset(pstItem->acLeaseInterface, 0, sizeof(pstItem->acLeaseInterface));
}

// The first record of pucBytes (whole records only) that RecordMatches.
const uint8_t *FirstMatch(const uint8_t *pucBytes, size_t ulLen, MacAddressItem *pstItem,
                          const ItemAddrs &stAddrs, const char *pcWire, uint32_t ulNow) {
  for (size_t ulAt = 0; ulAt + kRecordLen <= ulLen; ulAt += kRecordLen) {
    if (RecordMatches(pstItem, stAddrs, pucBytes + ulAt, pcWire, ulNow)) return pucBytes + ulAt;
  }
  return nullptr;
}

// The file's bytes as last read, used while the watch reports no change.
struct LeasesCopy {
  uint8_t *pucBytes;
  size_t ulLen;
  size_t ulCap;
  bool bPresent;
  bool bWhole;  // false: too large to keep, read at each look-up until it changes
};
LeasesCopy g_stCopy = {nullptr, 0, 0, false, false};
// Grown by doubling from one chunk, the copy keeps at most 4,096 records.
constexpr size_t kMaxCopy = 4 * 1024 * 1024;
uint32_t g_ulOpens = 0;

// Reads the whole file into the copy; a missing file is a copy too.
void LoadCopy(const char *pcPath) {
  ++g_ulOpens;
  LeasesFile file(pcPath);
  g_stCopy.ulLen = 0;
  g_stCopy.bPresent = file.Open();
  g_stCopy.bWhole = true;
  if (!g_stCopy.bPresent) return;
  for (;;) {
    if (g_stCopy.ulLen == g_stCopy.ulCap) {
      const size_t ulCap = g_stCopy.ulCap == 0 ? sizeof(g_aucChunk) : 2 * g_stCopy.ulCap;
      if (ulCap > kMaxCopy) {
        // Full: whole only if nothing follows.
        uint8_t ucMore;
        g_stCopy.bWhole = file.Fill(std::span(&ucMore, 1)) == 0;
        return;
      }
      auto *pucBytes = static_cast<uint8_t *>(realloc(g_stCopy.pucBytes, ulCap));
      if (pucBytes == nullptr) {
        g_stCopy.bWhole = false;
        return;
      }
      g_stCopy.pucBytes = pucBytes;
      g_stCopy.ulCap = ulCap;
    }
    const size_t ulWant = g_stCopy.ulCap - g_stCopy.ulLen;
    const size_t ulGot = file.Fill(std::span(g_stCopy.pucBytes + g_stCopy.ulLen, ulWant));
    g_stCopy.ulLen += ulGot;
    if (ulGot < ulWant) return;
  }
}

// The first current record, in file order, that belongs to the item; false
// when the file is missing or holds none.
bool FindLease(MacAddressItem *pstItem, HostInfo *pstRec) {
  char acPath[256];
  const char *pcPath = HostmonFixedPath(HOSTMON_LEASES_FILE, acPath, sizeof(acPath));
  const uint32_t ulNow = LUM_UTIL_GetSysUpTime();
  const LeasesCopyState eState = HostmonLeasesWatchCheck(pcPath, ulNow);
  if (eState == LeasesCopyState::kReadNow) LoadCopy(pcPath);
  // Unwatched or too large to keep: read afresh, up to the chunk of the match.
  const bool bStream = eState == LeasesCopyState::kUnwatched || !g_stCopy.bWhole;
  LeasesFile file(bStream ? pcPath : nullptr);
  if (bStream) ++g_ulOpens;
  if (bStream ? !file.Open() : !g_stCopy.bPresent) {
    HOSTMON_TRACE("Leases file not exist\n");
    return false;
  }
  HOSTMON_TRACE("Open the leases file\n");
  char acWire[HOSTMON_MAC_TEXT_LEN];
  HostmonMacText(pstItem->aucMac, acWire, true);
  ItemAddrs stAddrs;
  CollectIpv4(pstItem, &stAddrs);
  // No record can belong to an item without IPv4 addresses.
  if (stAddrs.ulCount == 0) return false;
  if (!bStream) {
    const uint8_t *pucRec =
        FirstMatch(g_stCopy.pucBytes, g_stCopy.ulLen, pstItem, stAddrs, acWire, ulNow);
    if (pucRec != nullptr) memcpy(pstRec, pucRec, kRecordLen);
    return pucRec != nullptr;
  }
  for (;;) {
    const size_t ulHave = file.Fill(g_aucChunk);
    // A short tail is the end of the file.
    const uint8_t *pucRec = FirstMatch(g_aucChunk, ulHave, pstItem, stAddrs, acWire, ulNow);
    if (pucRec != nullptr) {
      memcpy(pstRec, pucRec, kRecordLen);
      return true;
    }
    if (ulHave < sizeof(g_aucChunk)) return false;
  }
}

}  // namespace

uint32_t HostmonGetInterfaceType(const char *pcPortName, char *pcOut, uint32_t ulSize) {
  if (pcPortName == nullptr || pcOut == nullptr || ulSize == 0) return HOSTMON_ERR_NOT_FOUND;
  for (const InterfaceType &stRow : kInterfaceTypeTable) {
    if (stRow.cLetter == '\0') break;
    if (stRow.cLetter == pcPortName[0]) {
      // What the bounded formatter makes of "%s", without it: every frame asks.
      const size_t ulLen = strnlen(stRow.pcText, ulSize - 1);
      memcpy(pcOut, stRow.pcText, ulLen);
      pcOut[ulLen] = '\0';
      return HOSTMON_OK;
    }
  }
  return HOSTMON_ERR_NOT_FOUND;
}

void HostmonReadLease(MacAddressItem *pstItem, uint32_t *pbNeedSync) {
  if (pbNeedSync == nullptr) {
    HOSTMON_TRACE("bNeedSync is null\n");
    return;
  }
  if (pstItem == nullptr) return;
  HostInfo stRec;
  if (FindLease(pstItem, &stRec)) {
    TakeLease(pstItem, stRec, pbNeedSync);
  } else {
    MakeStatic(pstItem);
  }
}

uint32_t HostmonLeasesOpensForTest() { return g_ulOpens; }

namespace {

// What the bounded formatter makes of prefix and text ("%s" or "Static-%s"):
// at most ulMax characters, and the field's size less one. Without the
// formatter, as the sync pass fills a record for every host.
template <size_t N>
void FillField(char (&acField)[N], size_t ulMax, std::string_view prefix, const char *pcText) {
  const size_t ulLimit = std::min(ulMax, N - 1);
  const size_t ulPrefix = std::min(prefix.size(), ulLimit);
  memcpy(acField, prefix.data(), ulPrefix);
  const size_t ulText = strnlen(pcText, ulLimit - ulPrefix);
  memmove(acField + ulPrefix, pcText, ulText);
  acField[ulPrefix + ulText] = '\0';
}

}  // namespace

uint32_t HostmonGetHostInfo(const MacAddressItem *pstItem, HostInfo *pstInfo) {
  if (pstItem == nullptr || pstInfo == nullptr) return 0;
  FillField(pstInfo->acChAddr, 17, "", pstItem->acRealMac);
  HostmonFormatMac(pstItem->aucMac, pstInfo->acMacAddr, sizeof(pstInfo->acMacAddr));
  if (pstItem->ulDhcp != 0) {
    pstInfo->ulYiaddr = pstItem->ulLeasedAddr;
    pstInfo->ulLease = pstItem->ulLeaseExpire;
    FillField(pstInfo->acVendorClass, 63, "", pstItem->acVendorClass);
    FillField(pstInfo->acHostName, 64, "", pstItem->acHostName);
    FillField(pstInfo->acInterface, 15, "", pstItem->acLeaseInterface);
    pstInfo->ulIpv4Active = 1;
  } else {
    FillField(pstInfo->acHostName, 64, "Static-", pstInfo->acChAddr);
    if (pstItem->pstPort != nullptr && pstItem->pstPort->pstBridge != nullptr &&
        pstItem->pstPort->pstBridge->pcName != nullptr) {
      FillField(pstInfo->acInterface, 15, "", pstItem->pstPort->pstBridge->pcName);
    }
    pstInfo->ulLease = 0xFFFFFFFF;
    pstInfo->ulIpv4Active = 1;
  }
  return pstItem->ulDhcp;
}
