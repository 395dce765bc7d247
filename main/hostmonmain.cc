// Start-up, the command line, and the small process-wide utilities.
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "arp/arp.h"
#include "main/dispatch.h"
#include "main/hostmon.h"
#include "main/msgcatalog.h"
#include "nd6/nd6.h"
#include "platform/lumdb.h"
#include "topology/topology.h"

namespace {

constexpr size_t kMallocReportAbove = 0x200000;
#define HOSTMON_MALLOC_REPORT "too large malloc, len=%d, file=%s, func=%s, line=%d, pid=%d!\n"

uint32_t g_ulOvanetWanIp = 0;
char g_acPathRoot[256] =
    "";  // empty on a gateway  // network byte order; 0 while the companion WAN is down

// Link-status events every daemon of the LAN side follows.
constexpr uint32_t kLinkSubscriptions[] = {LUM_MSG_LAN_STATUS_UP, LUM_MSG_LAN_STATUS_DOWN,
                                           LUM_MSG_WLAN_STATUS_DOWN};

int HostmonClientMode(const char *pcCommand) {
  (void)LUM_MSG_Init(nullptr);
  uint32_t ulType = 0;
  if (strcmp(pcCommand, "addport") == 0) {
    ulType = LUM_MSG_DHCPSCMS_ADD_OTHER_PORT_TO_HOSTMON;
  } else if (strcmp(pcCommand, "bridgeip") == 0) {
    ulType = LUM_HOSTMON_MSG_RELOAD_BR_ADDR;
  } else if (strcmp(pcCommand, "update") == 0) {
    ulType = LUM_MSG_HOSTMON_UPDATA_ALL_NODES;
  }
  if (ulType != 0) {
    (void)LUM_MSG_SendSimpleMsg(HOSTMON_APP, ulType, 0);
  } else {
    // Still exit 0: scripts call it blindly, as they always have.
    fprintf(stderr, "hostmon: test %s: unknown, nothing sent (known: addport, bridgeip, update)\n",
            pcCommand);
  }
  return 0;
}

int HostmonDaemonMode() {
  const char *pcVersion = HostmonGetVersion();
  HOSTMON_TRACE("hostmon %s%sstarting\n", pcVersion, *pcVersion != '\0' ? " " : "");
  (void)LUM_UTIL_ChangeFileGrp("ntwklan", "/var/dhcp/dhcps/");
  (void)LUM_UTIL_ForceSetPrivileges(HOSTMON_APP);

  uint32_t ulRet = LUM_MSG_Init(HOSTMON_APP);
  if (ulRet != 0) {
    printf("ERROR: msg init failure, return %x.\n", ulRet);
    fflush(stdout);
  }
  (void)LUM_TRACE_RegModule(HOSTMON_APP);
  (void)LUM_MSG_RegisterMsgProc(HostmonMsgProc);
  (void)LUM_UTIL_SockBaseRegEvtProc();

  if (LUM_DBInit(0x8000, 0) != 0) HOSTMON_TRACE("LUM_DBInit failure\n");

  for (uint32_t ulEvent : kLinkSubscriptions) {
    (void)LUM_MSG_SendSimpleMsg(nullptr, LUM_MSG_SUBSCRIBE_REQUEST, ulEvent);
  }

  (void)LUM_HOSTMON_BridgeInitAll();
  HostmonBridgeRefresh();
  // Both create only what the refresh has not created already.
  (void)HostmonArpListen();
  (void)HostmonIcmp6ListenAll();

  (void)LUM_UTIL_SockBaseStart(0);
  return 0;
}

}  // namespace

int HostmonMain(int argc, char **argv) {
  if (argc == 2 && argv[1] != nullptr && strcmp(argv[1], "lumv") == 0) {
    HOSTMON_TRACE("\r\n%s.\n", HostmonGetVersion());
    return 0;
  }
  if (argc > 2 && argv[1] != nullptr && strcmp(argv[1], "test") == 0 && argv[2] != nullptr) {
    return HostmonClientMode(argv[2]);
  }
  return HostmonDaemonMode();
}

void *HostmonMalloc(size_t ulSize, const char *pcFile, const char *pcFunc, int iLine) {
  if (ulSize > kMallocReportAbove) {
    int iLen = static_cast<int>(ulSize);
    int iPid = static_cast<int>(getpid());
    const char *pcF = pcFile != nullptr ? pcFile : "";
    const char *pcFn = pcFunc != nullptr ? pcFunc : "";
    printf(HOSTMON_MALLOC_REPORT, iLen, pcF, pcFn, iLine, iPid);
    fflush(stdout);
    char acPath[512];
    (void)HostmonFilePrintf(HostmonFixedPath(HOSTMON_MEMLEAK_LOG, acPath, sizeof(acPath)), 1,
                            HOSTMON_MALLOC_REPORT, iLen, pcF, pcFn, iLine, iPid);
  }
  return malloc(ulSize);
}

int HostmonFilePrintf(const char *pcPath, int iAppend, const char *pcFmt, ...) {
  if (pcPath == nullptr || pcFmt == nullptr) return -1;
  FILE *pstFile = fopen(pcPath, iAppend != 0 ? "a+" : "wb");
  if (pstFile == nullptr) return -1;
  va_list args;
  va_start(args, pcFmt);
  int iWritten = vfprintf(pstFile, pcFmt, args);
  va_end(args);
  if (fclose(pstFile) != 0) return -1;
  return iWritten;
}

const char *HostmonBaseName(const char *pcPath) {
  if (pcPath == nullptr) return "";
  const char *pcSlash = strrchr(pcPath, '/');
  return pcSlash != nullptr ? pcSlash + 1 : pcPath;
}

// The executables link main/version.cc, whose definition replaces this one; the
// core library alone (unit tests, benchmarks) has no version.
[[gnu::weak]] const char *HostmonGetVersion() { return ""; }

uint32_t HostmonGetOvanetWanIp() { return g_ulOvanetWanIp; }

void HostmonSetOvanetWanIp(uint32_t ulAddr) { g_ulOvanetWanIp = ulAddr; }

const char *HostmonFixedPath(const char *pcPath, char *pcBuf, size_t ulSize) {
  if (g_acPathRoot[0] == '\0' || pcPath == nullptr) return pcPath;
  (void)new_snprintf_s(__FILE__, __LINE__, pcBuf, ulSize, ulSize - 1, "%s%s", g_acPathRoot, pcPath);
  return pcBuf;
}

void HostmonSetPathRootForTest(const char *pcRoot) {
  (void)new_snprintf_s(__FILE__, __LINE__, g_acPathRoot, sizeof(g_acPathRoot),
                       sizeof(g_acPathRoot) - 1, "%s", pcRoot != nullptr ? pcRoot : "");
}
