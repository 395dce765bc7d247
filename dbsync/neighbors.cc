// The DHCP server's two neighbours files, rewritten at the start of every
// sync pass, and the notice that tells "dhcps" once a burst of rewrites is over.
#include <fcntl.h>
#include <sys/stat.h>
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
// rather than in pieces of a stream's buffer. A pass that finds the text the
// file already holds leaves the file alone.
constexpr size_t kLineMax = 127;

struct NeighborsFile {
  const char *pcFixedPath;
  std::vector<char> text;     // this pass's; room kept from pass to pass
  std::vector<char> written;  // what the last rewrite left in the file
  struct stat stWritten;      // the file as that rewrite left it
  bool bWritten;
};
NeighborsFile g_stNeighbors = {HOSTMON_NEIGHBORS_FILE, {}, {}, {}, false};
NeighborsFile g_stNeighborsNew = {HOSTMON_NEIGHBORS_NEW_FILE, {}, {}, {}, false};

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

// The file still holds what the last rewrite left: same text, and the same
// file (inode, size, times, mode), and a rewrite could still open it, so that
// skipping one changes nothing a reader or the trace could see.
bool HostmonNeighborsUnchanged(const NeighborsFile &file, const char *pcPath, size_t ulLen) {
  // Empty texts may have no storage at all: nothing to compare then.
  if (!file.bWritten || ulLen != file.written.size() ||
      (ulLen != 0 && memcmp(file.text.data(), file.written.data(), ulLen) != 0)) {
    return false;
  }
  struct stat st;
  if (stat(pcPath, &st) != 0 || faccessat(AT_FDCWD, pcPath, W_OK, AT_EACCESS) != 0) return false;
  const struct stat &was = file.stWritten;
  return st.st_ino == was.st_ino && st.st_dev == was.st_dev && st.st_size == was.st_size &&
         st.st_mode == was.st_mode && st.st_mtim.tv_sec == was.st_mtim.tv_sec &&
         st.st_mtim.tv_nsec == was.st_mtim.tv_nsec && st.st_ctim.tv_sec == was.st_ctim.tv_sec &&
         st.st_ctim.tv_nsec == was.st_ctim.tv_nsec;
}

// Truncated at the open, as the DHCP server expects its files rewritten in
// place; written and closed before the next file is opened. False when the
// file cannot be opened. A full disk shows as a short write or, on some file
// systems, only at the close.
bool HostmonPutNeighbors(NeighborsFile &file, size_t ulLen) {
  char acPath[256];
  const char *pcPath = HostmonFixedPath(file.pcFixedPath, acPath, sizeof(acPath));
  if (HostmonNeighborsUnchanged(file, pcPath, ulLen)) return true;
  file.bWritten = false;
  const int iFd = open(pcPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (iFd < 0) {
    HOSTMON_TRACE("open file to write neighbors' info fail\n");
    return false;
  }
  (void)LUM_UTIL_RemoveAndroidWPerm(pcPath, "660");
  bool bOk = true;
  for (size_t ulDone = 0; ulDone < ulLen;) {
    const ssize_t lWritten = write(iFd, file.text.data() + ulDone, ulLen - ulDone);
    if (lWritten < 0 && errno == EINTR) continue;
    if (lWritten <= 0) {
      bOk = false;
      break;
    }
    ulDone += static_cast<size_t>(lWritten);
  }
  if (bOk) bOk = fstat(iFd, &file.stWritten) == 0;
  if (close(iFd) != 0) bOk = false;
  if (!bOk) {
    HOSTMON_TRACE("fwrite error!\n");
    return true;
  }
  file.written.assign(file.text.begin(), file.text.begin() + static_cast<ptrdiff_t>(ulLen));
  file.bWritten = true;
  return true;
}

std::string_view NameOf(const char *pcName) { return pcName != nullptr ? pcName : ""; }

}  // namespace

void HostmonWriteNeighbors(uint32_t ulFamily) {
  HOSTMON_TRACE("Write all MAC address info to neighbors file now ...\n");
  // Room for every line at its longest, so that lines go straight in.
  size_t ulLines = 0;
  for (const MacAddressItem *pstItem = LUM_HOSTMON_GetMacList(); pstItem != nullptr;
       pstItem = pstItem->pstNext) {
    for (const IpAddressItem *pstIp = pstItem->pstIpList; pstIp != nullptr;
         pstIp = pstIp->pstNext) {
      ++ulLines;
    }
  }
  if (g_stNeighbors.text.size() < ulLines * kLineMax) {
    g_stNeighbors.text.resize(ulLines * kLineMax);
    g_stNeighborsNew.text.resize(ulLines * kLineMax);
  }
  // Both texts in one walk: the files then show the same moment of the table.
  char *pcEnd = g_stNeighbors.text.data();
  char *pcNewEnd = g_stNeighborsNew.text.data();
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
    // What every line of the item shares around its address, made once; a
    // line is still cut as a whole.
    char acHead[kLineMax + 1];
    char acTail[kLineMax + 1];
    const std::string_view head(acHead,
                                static_cast<size_t>(NeighborLine(acHead)
                                                        .Add(mac)
                                                        .Add(' ')
                                                        .Add(std::string_view(pstItem->acRealMac))
                                                        .Add(' ')
                                                        .End() -
                                                    acHead));
    const std::string_view tail(
        acTail,
        static_cast<size_t>(
            NeighborLine(acTail).Add(' ').Add(port).Add(' ').Add(bridge).Add('\n').End() - acTail));
    for (const IpAddressItem *pstIp = pstItem->pstIpList; pstIp != nullptr;
         pstIp = pstIp->pstNext) {
      char acAddr[HOSTMON_IPV6_TEXT_LEN];
      const std::string_view addr = HostmonAddrText(pstIp, acAddr);
      pcEnd = NeighborLine(pcEnd).Add(mac).Add(' ').Add(addr).Add('\n').End();
      pcNewEnd = NeighborLine(pcNewEnd).Add(head).Add(addr).Add(tail).End();
    }
  }
  // The second file stays untouched when the first cannot be opened.
  if (!HostmonPutNeighbors(g_stNeighbors, static_cast<size_t>(pcEnd - g_stNeighbors.text.data()))) {
    return;
  }
  if (!HostmonPutNeighbors(g_stNeighborsNew,
                           static_cast<size_t>(pcNewEnd - g_stNeighborsNew.text.data()))) {
    return;
  }
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
void HostmonNeighborsResetForTest() {
  g_ulNeighborsTimer = 0;
  g_stNeighbors.bWritten = false;
  g_stNeighborsNew.bWritten = false;
}
