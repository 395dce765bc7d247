// The gateway platform's services, as the daemon calls them. On a gateway these
// come from the platform's shared libraries; here platform/ implements them on
// Linux, with test doubles (platform/testing.h) that a test swaps in at run time.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#define LUM_PRINTF(fmt_index, arg_index) __attribute__((format(printf, fmt_index, arg_index)))

// ---------------------------------------------------------------------------
// Event loop and sockets

// The loop's registration record. The callback reads the fourth word (the
// context given at registration) and the fifth (the descriptor).
struct LUM_SOCK_REG {
  uintptr_t aulPlatform[3];
  void *pvContext;
  intptr_t lFd;
};
static_assert(offsetof(LUM_SOCK_REG, pvContext) == 3 * sizeof(uintptr_t));
static_assert(offsetof(LUM_SOCK_REG, lFd) == 4 * sizeof(uintptr_t));

using LUM_SOCK_CB = void (*)(LUM_SOCK_REG *pstReg);

// Kinds of registration (the daemon passes 1 for ARP, 5 for ICMPv6, 6 for the
// leases file's watch); the loop only keeps them.
inline constexpr uint32_t LUM_SOCK_KIND_ARP = 1;
inline constexpr uint32_t LUM_SOCK_KIND_ICMP6 = 5;
// Registration flag 1 (what the daemon passes) hands the descriptor to the
// loop: LUM_UTIL_SockBaseDelete closes it. With 0 the owner closes it.
inline constexpr uint32_t LUM_SOCK_FLAG_CLOSE_ON_DELETE = 1;

uint32_t LUM_UTIL_SockBaseRegEvtProc();
uint32_t LUM_UTIL_SockBaseReg(int iFd, uint32_t ulKind, LUM_SOCK_CB pfnProc, uint32_t ulFlag,
                              void *pvContext, uint32_t *pulHandle);
uint32_t LUM_UTIL_SockBaseDelete(uint32_t ulHandle);
// Runs the loop on the calling thread; returns when LUM_UTIL_SockBaseStop is called.
uint32_t LUM_UTIL_SockBaseStart(uint32_t ulArg);
// Platform extension: ends the loop after the current callback (tests, tools).
void LUM_UTIL_SockBaseStop();

// ---------------------------------------------------------------------------
// Timers. All callbacks run on the loop's thread.

using LUM_TIMER_CB = void (*)(void *pvArg);

// Returns a non-zero handle, or 0 when the timer cannot be created. A once-timer
// fires one time and is then forgotten by the platform. Period 0 means idle.
uint32_t LUM_UTIL_TimerAdd(uint32_t ulPeriodMs, uint32_t ulOnce, LUM_TIMER_CB pfnProc, void *pvArg);
// Restarts the countdown with the new period; 0 stops the timer. Non-zero for
// an unknown handle.
uint32_t LUM_UTIL_TimerChgPeriod(uint32_t ulHandle, uint32_t ulPeriodMs);
// Platform extension: removes a timer (tests and tools; the daemon never does).
uint32_t LUM_UTIL_TimerDelete(uint32_t ulHandle);

// Platform extension: a blocking pause of the calling thread (the daemon's
// 400 ms and 12 ms pauses). On the manual clock it advances time without
// firing timers, as a real pause holds the loop.
void LUM_UTIL_SleepMs(uint32_t ulMs);

// ---------------------------------------------------------------------------
// Lists over records whose first field is the next pointer. ppvHead is the
// address of the list's head pointer; pvHead is the head itself.

using LUM_LIST_FREE_CB = void (*)(void *pvItem);
using LUM_LIST_CMP_CB = int (*)(void *pvItem, void *pvKey);

uint32_t LUM_UTIL_ListAppend(void *ppvHead, void *pvItem);
// Unlinks the item, calls the release callback (when given), then frees the
// item with free().
uint32_t LUM_UTIL_ListDeleteItem(void *ppvHead, void *pvItem, LUM_LIST_FREE_CB pfnFree);
// Frees every item (release callback first) and leaves the head empty.
uint32_t LUM_UTIL_ListDeleteAll(void *ppvHead, LUM_LIST_FREE_CB pfnFree);
uint32_t LUM_UTIL_ListGetCount(const void *pvHead);
void *LUM_UTIL_ListFindItem(void *pvHead, void *pvKey, LUM_LIST_CMP_CB pfnCmp);

// ---------------------------------------------------------------------------
// Message bus

// The 40-byte header of every bus datagram; the payload follows.
struct LUM_MSG_HEADER {
  uint32_t ulMsgType;
  uint32_t ulPayloadLen;
  char acSendApp[24];
  uint32_t ulData;
  uint32_t ulReserved;
};
static_assert(sizeof(LUM_MSG_HEADER) == 40);

inline constexpr size_t LUM_MSG_MAX_SIZE = 16384;
inline constexpr uint32_t LUM_MSG_SUBSCRIBE = 0x702;

using LUM_MSG_PROC = void (*)(void *pvMsg);

uint32_t LUM_MSG_Init(const char *pcAppName);
uint32_t LUM_MSG_RegisterMsgProc(LUM_MSG_PROC pfnProc);
uint32_t LUM_MSG_SendSimpleMsg(const char *pcDest, uint32_t ulType, uint32_t ulData);
uint32_t LUM_MSG_SendMsgData(const char *pcDest, uint32_t ulType, const void *pvPayload,
                             uint32_t ulLen);
// Platform extension: the full form both sends above reduce to.
uint32_t LUM_MSG_Send(const char *pcDest, uint32_t ulType, uint32_t ulData, const void *pvPayload,
                      uint32_t ulLen);

// ---------------------------------------------------------------------------
// Trace, module log, event log, debug commands

// Tracing is off unless LUM_TRACE names a destination; callers test this first
// so that a trace costs a branch when it is off.
extern bool g_bLumTraceOn;

uint32_t LUM_TRACE_RegModule(const char *pcModule);
void LUM_TRACE_PrintInfo(const char *pcFile, uint32_t ulLine, uint32_t ulZero, const char *pcModule,
                         uint32_t ulLevel, const char *pcFmt, ...) LUM_PRINTF(6, 7);
void mlog_print(const char *pcModule, uint32_t ulLevel, const char *pcFmt, ...) LUM_PRINTF(3, 4);
// Text arguments end with nullptr.
uint32_t LUM_LOG_API_Record_Log(uint32_t ulEventId, ...);

using LUM_DEBUG_PROC = uint32_t (*)(uintptr_t ulArg1, uintptr_t ulArg2);
struct LUM_DEBUG_CMD {
  const char *pcName;
  LUM_DEBUG_PROC pfnProc;
};
// Safe to call before main: the registry is built on first use.
uint32_t LUM_Debug_RegModCmds(const char *pcModule, LUM_DEBUG_CMD *pstTable, uint32_t ulRows);
void LUM_Debug_Print(const char *pcFmt, ...) LUM_PRINTF(1, 2);

// ---------------------------------------------------------------------------
// Privileges and files

uint32_t LUM_UTIL_ForceSetPrivileges(const char *pcUser);
uint32_t LUM_UTIL_UpRootPrivileges();
uint32_t LUM_UTIL_DropRootPrivileges(const char *pcUser);
uint32_t LUM_UTIL_ChangeFileGrp(const char *pcGroup, const char *pcPath);
uint32_t LUM_UTIL_RemoveAndroidWPerm(const char *pcPath, const char *pcMode);

// ---------------------------------------------------------------------------
// Network utilities

// The forwarding-table record: 43 bytes, the port's name at byte 19.
#pragma pack(push, 1)
struct LUM_BR_FDB_INFO {
  char acMac[18];          // "%02x:%02x:%02x:%02x:%02x:%02x"
  uint8_t ucIsLocal;       // always 0: local entries are not answered
  char acPortName[16];     // the port behind which the MAC was learnt
  uint8_t aucAgeingMs[4];  // kernel ageing timer, little-endian
  uint8_t aucPortNo[2];    // bridge port number, little-endian
  uint8_t aucReserved[2];
};
#pragma pack(pop)
static_assert(sizeof(LUM_BR_FDB_INFO) == 43);
static_assert(offsetof(LUM_BR_FDB_INFO, acPortName) == 19);

inline constexpr uint32_t LUM_BRIDGE_KEY_NONE = 0xFFFFFFFF;

// Fills the buffer with the brN bridges, ascending N, comma separated and cut to
// the buffer; returns how many names it holds.
int32_t LUM_UTIL_GetBridgeAllNames(char *pcBuf, uint32_t ulSize);
// 0 and the key (N of brN, or LUM_BRIDGE_KEY_NONE); 1 when the query fails.
uint32_t LUM_BRIDGE_GetBridgeKeyByInterfaceName(const char *pcIfName, uint32_t *pulKey);
uint32_t LUM_UTIL_GetBrFdbInfoByMac(const char *pcMac, LUM_BR_FDB_INFO *pstInfo);
uint32_t LUM_UTIL_GetBrFdbInfoByMacSpecBr(const char *pcMac, LUM_BR_FDB_INFO *pstInfo,
                                          const char *pcBridge);
uint32_t LUM_UTIL_IsStaAssociated(const char *pcMac);
uint32_t LUM_UTIL_Disguise_MacAddress(const uint8_t *pucMac, const char *pcMac, char *pcOut,
                                      uint32_t ulOutLen);
uint32_t LUM_UTIL_GetSecureMacAddress(const char *pcMac, char *pcOut, uint32_t ulOutLen);
uint32_t LUM_UTIL_GetSysUpTime();
uint32_t LUM_NLS_IsStringUtf8(const char *pcText);
// Returns a malloc'ed text the caller frees, or nullptr.
char *LUM_NLS_IconvConvert(const char *pcText, const char *pcToCode, const char *pcFromCode);

// ---------------------------------------------------------------------------
// Bounds-checked memory and text. 0 on success, non-zero (and nothing written
// past the destination) otherwise.

int memset_s(void *pvDest, size_t ulDestSize, int iByte, size_t ulCount);
int memcpy_s(void *pvDest, size_t ulDestSize, const void *pvSrc, size_t ulCount);
int memmove_s(void *pvDest, size_t ulDestSize, const void *pvSrc, size_t ulCount);
// Formats at most min(ulMax, ulDestSize - 1) characters, always terminated.
// Returns the number written; -1 when the text was cut (the destination holds
// the cut text) or the arguments are unusable (an empty destination if any).
int new_snprintf_s(const char *pcFile, int iLine, char *pcDest, size_t ulDestSize, size_t ulMax,
                   const char *pcFmt, ...) LUM_PRINTF(6, 7);
