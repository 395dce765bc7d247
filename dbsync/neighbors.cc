// The DHCP server's two neighbours files, rewritten at the start of every
// sync pass, and the notice that tells "dhcps" once a burst of rewrites is over.
#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "arp/arptext.h"
#include "dbsync/dbsync.h"
#include "hosts/hosts.h"
#include "main/msgcatalog.h"

namespace {

uint32_t g_ulNeighborsTimer = 0;

constexpr size_t kAddrTextLen = 64;

// One line, cut at 127 characters as the bounded formatter into a 128-byte
// buffer would cut it. Every address goes into both files, so its texts are
// made once and the lines are put together without the formatter: this runs
// before any other step of a pass, for every address of the table.
class NeighborLine {
 public:
  NeighborLine &Add(std::string_view text) {
    const size_t ulRoom = sizeof(m_acText) - 1 - m_ulLen;
    const size_t ulCopy = text.size() < ulRoom ? text.size() : ulRoom;
    memcpy(m_acText + m_ulLen, text.data(), ulCopy);
    m_ulLen += ulCopy;
    return *this;
  }
  NeighborLine &Add(char c) { return Add(std::string_view(&c, 1)); }
  void Write(FILE *pstFile) const {
    if (fwrite(m_acText, m_ulLen, 1, pstFile) != 1) HOSTMON_TRACE("fwrite error!\n");
  }

 private:
  char m_acText[128];
  size_t m_ulLen = 0;
};

std::string_view HostmonAddrText(const IpAddressItem *pstIp, char (&acOut)[kAddrTextLen]) {
  memset(acOut, 0, sizeof(acOut));
  if (pstIp->ucFamily == HOSTMON_AF_INET6) {
    (void)inet_ntop(AF_INET6, pstIp->aucAddr, acOut, sizeof(acOut));
  } else {
    uint32_t ulAddr;
    memcpy(&ulAddr, pstIp->aucAddr, sizeof(ulAddr));
    char acV4[HOSTMON_IPV4_TEXT_LEN];
    HostmonIpv4Text(ulAddr, acV4);
    memcpy(acOut, acV4, sizeof(acV4));
  }
  return acOut;
}

FILE *HostmonOpenNeighbors(const char *pcFixedPath) {
  char acPath[256];
  const char *pcPath = HostmonFixedPath(pcFixedPath, acPath, sizeof(acPath));
  FILE *pstFile = fopen(pcPath, "wb");
  if (pstFile == nullptr) {
    HOSTMON_TRACE("open file to write neighbors' info fail\n");
    return nullptr;
  }
  (void)LUM_UTIL_RemoveAndroidWPerm(pcPath, "660");
  return pstFile;
}

// Lines sit in the stream's buffer until here: a full disk shows at the close.
void HostmonCloseNeighbors(FILE *pstFile) {
  if (fclose(pstFile) != 0) HOSTMON_TRACE("fwrite error!\n");
}

std::string_view NameOf(const char *pcName) { return pcName != nullptr ? pcName : ""; }

}  // namespace

void HostmonWriteNeighbors(uint32_t ulFamily) {
  HOSTMON_TRACE("Write all MAC address info to neighbors file now ...\n");
  FILE *pstFile = HostmonOpenNeighbors(HOSTMON_NEIGHBORS_FILE);
  if (pstFile == nullptr) return;
  // Both files are filled in one walk; the second one stays untouched when the
  // first cannot be opened.
  FILE *pstNewFile = HostmonOpenNeighbors(HOSTMON_NEIGHBORS_NEW_FILE);

  for (const MacAddressItem *pstItem = LUM_HOSTMON_GetMacList(); pstItem != nullptr;
       pstItem = pstItem->pstNext) {
    char acMac[HOSTMON_MAC_TEXT_LEN];
    HostmonMacText(pstItem->aucMac, acMac, true);
    // An item without a port or bridge shows empty names rather than none.
    const Port *pstPort = pstItem->pstPort;
    const std::string_view port = pstPort != nullptr ? NameOf(pstPort->pcName) : "";
    const std::string_view bridge = pstPort != nullptr && pstPort->pstBridge != nullptr
                                        ? NameOf(pstPort->pstBridge->pcName)
                                        : "";
    for (const IpAddressItem *pstIp = pstItem->pstIpList; pstIp != nullptr;
         pstIp = pstIp->pstNext) {
      char acAddr[kAddrTextLen];
      const std::string_view addr = HostmonAddrText(pstIp, acAddr);
      NeighborLine().Add(acMac).Add(' ').Add(addr).Add('\n').Write(pstFile);
      if (pstNewFile == nullptr) continue;
      NeighborLine()
          .Add(acMac)
          .Add(' ')
          .Add(pstItem->acRealMac)
          .Add(' ')
          .Add(addr)
          .Add(' ')
          .Add(port)
          .Add(' ')
          .Add(bridge)
          .Add('\n')
          .Write(pstNewFile);
    }
  }
  HostmonCloseNeighbors(pstFile);
  if (pstNewFile == nullptr) return;
  HostmonCloseNeighbors(pstNewFile);
  if (ulFamily != HOSTMON_AF_INET6) HostmonStartNeighborsTimer();
}

void HostmonStartNeighborsTimer() {
  if (g_ulNeighborsTimer == 0) HOSTMON_TRACE("Start NeighBors Update msg timer now ...\n");
  g_ulNeighborsTimer = HostmonRestartTimer(g_ulNeighborsTimer, HOSTMON_NEIGHBORS_DELAY_MS,
                                           HostmonSendNeighborsUpdate);
}

void HostmonSendNeighborsUpdate(void *) {
  HOSTMON_TRACE("Send NeighBors Update msg now ...\n");
  (void)LUM_MSG_SendSimpleMsg(HOSTMON_APP_DHCPS, LUM_HOSTMON_MSG_NEIGHBORS_UPDATE, 0);
  g_ulNeighborsTimer = 0;
}

uint32_t HostmonNeighborsTimer() { return g_ulNeighborsTimer; }
void HostmonNeighborsResetForTest() { g_ulNeighborsTimer = 0; }
