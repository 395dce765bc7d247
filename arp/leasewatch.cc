// The leases file's watch: an inotify watch on its folder tells whether the
// copy the reader keeps in memory is still the file's content, so that a
// sighting costs no system call while the file stands still.
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "arp/arp.h"

namespace {

// Every way the file's content or presence changes through its folder. The
// attributes count: a changed mode can make the file unreadable.
constexpr uint32_t kFileEvents =
    IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
// The folder itself going away or moving ends what the watch can see.
constexpr uint32_t kLostEvents = IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT;

struct LeasesWatch {
  int iFd;
  uint32_t ulHandle;
  // An event for the file came since the reader last took it.
  bool bChanged;
  bool bTried;
  // Uptime of the last attempt: at most one a second while the folder is missing.
  uint32_t ulLastTry;
  char acPath[256];
  size_t ulNameAt;  // the file's name within acPath
};

LeasesWatch g_stWatch = {-1, 0, true, false, 0, {}, 0};

bool Watching() { return g_stWatch.iFd >= 0; }

bool Start(const char *pcPath) {
  const size_t ulLen = strnlen(pcPath, sizeof(g_stWatch.acPath));
  const char *pcSlash = strrchr(pcPath, '/');
  if (ulLen >= sizeof(g_stWatch.acPath) || pcSlash == nullptr || pcSlash[1] == '\0') return false;
  memcpy(g_stWatch.acPath, pcPath, ulLen + 1);
  g_stWatch.ulNameAt = static_cast<size_t>(pcSlash - pcPath) + 1;
  char acDir[sizeof(g_stWatch.acPath)];
  const size_t ulDirLen = pcSlash == pcPath ? 1 : g_stWatch.ulNameAt - 1;
  memcpy(acDir, pcPath, ulDirLen);
  acDir[ulDirLen] = '\0';

  const int iFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (iFd < 0) {
    HOSTMON_TRACE("leases watch: inotify failed with errno %d\n", errno);
    return false;
  }
  // Flag 0: the watch closes its descriptor itself, also when someone else
  // has dropped the registration.
  if (inotify_add_watch(iFd, acDir, kFileEvents | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR) < 0 ||
      LUM_UTIL_SockBaseReg(iFd, HOSTMON_SOCK_KIND_LEASES, HostmonLeasesWatchProc, 0, nullptr,
                           &g_stWatch.ulHandle) != 0) {
    HOSTMON_TRACE("leases watch: cannot watch %s (errno %d)\n", acDir, errno);
    (void)close(iFd);
    return false;
  }
  g_stWatch.iFd = iFd;
  // The watch exists before the reader's next read: no change can fall between.
  g_stWatch.bChanged = true;
  return true;
}

}  // namespace

LeasesCopyState HostmonLeasesWatchCheck(const char *pcPath, uint32_t ulNow) {
  if (Watching() && strcmp(pcPath, g_stWatch.acPath) != 0) HostmonLeasesWatchReset();
  if (!Watching()) {
    if (g_stWatch.bTried && g_stWatch.ulLastTry == ulNow) return LeasesCopyState::kUnwatched;
    g_stWatch.bTried = true;
    g_stWatch.ulLastTry = ulNow;
    if (!Start(pcPath)) return LeasesCopyState::kUnwatched;
  }
  if (!g_stWatch.bChanged) return LeasesCopyState::kCurrent;
  // Cleared before the reader reads: a change during the read comes as an
  // event and makes the copy stale again.
  g_stWatch.bChanged = false;
  return LeasesCopyState::kReadNow;
}

void HostmonLeasesWatchDrain() {
  if (!Watching()) return;
  const char *pcName = g_stWatch.acPath + g_stWatch.ulNameAt;
  bool bLost = false;
  alignas(inotify_event) char acBuf[4096];
  for (;;) {
    const ssize_t lGot = read(g_stWatch.iFd, acBuf, sizeof(acBuf));
    if (lGot < 0 && errno == EINTR) continue;
    if (lGot <= 0) break;  // EAGAIN: nothing more queued
    for (size_t ulAt = 0; ulAt + sizeof(inotify_event) <= static_cast<size_t>(lGot);) {
      inotify_event stEv;
      memcpy(&stEv, acBuf + ulAt, sizeof(stEv));
      const char *pcEvName = acBuf + ulAt + sizeof(stEv);
      if ((stEv.mask & (IN_Q_OVERFLOW | kLostEvents)) != 0 ||
          (stEv.len > 0 && strcmp(pcEvName, pcName) == 0)) {
        g_stWatch.bChanged = true;
      }
      if ((stEv.mask & kLostEvents) != 0) bLost = true;
      ulAt += sizeof(stEv) + stEv.len;
    }
  }
  // The folder went away or moved: the file is read at each look-up until the
  // folder can be watched again.
  if (bLost) HostmonLeasesWatchReset();
}

void HostmonLeasesWatchProc(LUM_SOCK_REG *) noexcept { HostmonLeasesWatchDrain(); }

void HostmonLeasesWatchReset() {
  if (Watching()) {
    (void)LUM_UTIL_SockBaseDelete(g_stWatch.ulHandle);
    (void)close(g_stWatch.iFd);
  }
  g_stWatch.iFd = -1;
  g_stWatch.ulHandle = 0;
  g_stWatch.bChanged = true;
  g_stWatch.bTried = false;
}
