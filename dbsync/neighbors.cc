// The DHCP server's two neighbours files, rewritten at the start of every
// sync pass, and the notice that tells "dhcps" once a burst of rewrites is over.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "arp/arptext.h"
#include "dbsync/addrtext.h"
#include "dbsync/dbsync.h"
#include "hosts/hosts.h"
#include "main/msgcatalog.h"

namespace {

uint32_t g_ulNeighborsTimer = 0;

// Each file's text is put together in memory and handed over in one write
// rather than in pieces of a stream's buffer. The buffers keep their room from
// pass to pass.
constexpr size_t kLineMax = 127;
std::vector<char> g_vecNeighbors;
std::vector<char> g_vecNeighborsNew;

// One line, cut at 127 characters as the bounded formatter into a 128-byte
// buffer would cut it, written where the text so far ends.
class NeighborLine {
 public:
  explicit NeighborLine(char *pcAt) : m_pcAt(pcAt) {}
  NeighborLine &Add(std::string_view text) {
    const size_t ulCopy = text.size() < m_ulRoom ? text.size() : m_ulRoom;
    memcpy(m_pcAt, text.data(), ulCopy);
    m_pcAt += ulCopy;
    m_ulRoom -= ulCopy;
    return *this;
  }
  NeighborLine &Add(char c) {
    if (m_ulRoom == 0) return *this;
    *m_pcAt++ = c;
    --m_ulRoom;
    return *this;
  }
  char *End() const { return m_pcAt; }

 private:
  char *m_pcAt;
  size_t m_ulRoom = kLineMax;
};

std::string_view HostmonAddrText(const IpAddressItem *pstIp, char (&acOut)[HOSTMON_IPV6_TEXT_LEN]) {
  if (pstIp->ucFamily == HOSTMON_AF_INET6) return {acOut, HostmonIpv6Text(pstIp->aucAddr, acOut)};
  uint32_t ulAddr;
  memcpy(&ulAddr, pstIp->aucAddr, sizeof(ulAddr));
  char acV4[HOSTMON_IPV4_TEXT_LEN];
  HostmonIpv4Text(ulAddr, acV4);
  memcpy(acOut, acV4, sizeof(acV4));
  return acOut;
}

// Truncated at the open, as the DHCP server expects its files rewritten in place.
int HostmonOpenNeighbors(const char *pcFixedPath) {
  char acPath[256];
  const char *pcPath = HostmonFixedPath(pcFixedPath, acPath, sizeof(acPath));
  const int iFd = open(pcPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (iFd < 0) {
    HOSTMON_TRACE("open file to write neighbors' info fail\n");
    return -1;
  }
  (void)LUM_UTIL_RemoveAndroidWPerm(pcPath, "660");
  return iFd;
}

// A full disk shows as a short write or, on some file systems, only at the close.
void HostmonWriteAndCloseNeighbors(int iFd, const char *pcText, size_t ulLen) {
  bool bOk = true;
  for (size_t ulDone = 0; ulDone < ulLen;) {
    const ssize_t lWritten = write(iFd, pcText + ulDone, ulLen - ulDone);
    if (lWritten < 0 && errno == EINTR) continue;
    if (lWritten <= 0) {
      bOk = false;
      break;
    }
    ulDone += static_cast<size_t>(lWritten);
  }
  if (close(iFd) != 0) bOk = false;
  if (!bOk) HOSTMON_TRACE("fwrite error!\n");
}

std::string_view NameOf(const char *pcName) { return pcName != nullptr ? pcName : ""; }

}  // namespace

void HostmonWriteNeighbors(uint32_t ulFamily) {
  HOSTMON_TRACE("Write all MAC address info to neighbors file now ...\n");
  const int iFd = HostmonOpenNeighbors(HOSTMON_NEIGHBORS_FILE);
  if (iFd < 0) return;
  // Both files are filled in one walk; the second one stays untouched when the
  // first cannot be opened.
  const int iNewFd = HostmonOpenNeighbors(HOSTMON_NEIGHBORS_NEW_FILE);

  // Room for every line at its longest, so that lines go straight in.
  size_t ulLines = 0;
  for (const MacAddressItem *pstItem = LUM_HOSTMON_GetMacList(); pstItem != nullptr;
       pstItem = pstItem->pstNext) {
    for (const IpAddressItem *pstIp = pstItem->pstIpList; pstIp != nullptr;
         pstIp = pstIp->pstNext) {
      ++ulLines;
    }
  }
  if (g_vecNeighbors.size() < ulLines * kLineMax) {
    g_vecNeighbors.resize(ulLines * kLineMax);
    g_vecNeighborsNew.resize(ulLines * kLineMax);
  }
  char *pcEnd = g_vecNeighbors.data();
  char *pcNewEnd = g_vecNeighborsNew.data();
  for (const MacAddressItem *pstItem = LUM_HOSTMON_GetMacList(); pstItem != nullptr;
       pstItem = pstItem->pstNext) {
    char acMac[HOSTMON_MAC_TEXT_LEN];
    HostmonMacText(pstItem->aucMac, acMac, true);
    const std::string_view mac(acMac, HOSTMON_MAC_TEXT_LEN - 1);
    // An item without a port or bridge shows empty names rather than none.
    const Port *pstPort = pstItem->pstPort;
    const std::string_view port = pstPort != nullptr ? NameOf(pstPort->pcName) : "";
    const std::string_view bridge = pstPort != nullptr && pstPort->pstBridge != nullptr
                                        ? NameOf(pstPort->pstBridge->pcName)
                                        : "";
    const std::string_view realMac = pstItem->acRealMac;
    for (const IpAddressItem *pstIp = pstItem->pstIpList; pstIp != nullptr;
         pstIp = pstIp->pstNext) {
      char acAddr[HOSTMON_IPV6_TEXT_LEN];
      const std::string_view addr = HostmonAddrText(pstIp, acAddr);
      pcEnd = NeighborLine(pcEnd).Add(mac).Add(' ').Add(addr).Add('\n').End();
      if (iNewFd < 0) continue;
      pcNewEnd = NeighborLine(pcNewEnd)
                     .Add(mac)
                     .Add(' ')
                     .Add(realMac)
                     .Add(' ')
                     .Add(addr)
                     .Add(' ')
                     .Add(port)
                     .Add(' ')
                     .Add(bridge)
                     .Add('\n')
                     .End();
    }
  }
  HostmonWriteAndCloseNeighbors(iFd, g_vecNeighbors.data(),
                                static_cast<size_t>(pcEnd - g_vecNeighbors.data()));
  if (iNewFd < 0) return;
  HostmonWriteAndCloseNeighbors(iNewFd, g_vecNeighborsNew.data(),
                                static_cast<size_t>(pcNewEnd - g_vecNeighborsNew.data()));
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
