// Internals of the message bus and the debug service shared by platform/bus.cc,
// platform/debugsvc.cc, the tools lumbus and lumdebug, and their tests. The
// daemon never includes this header.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <cstdint>
#include <string>

#include "platform/lum.h"

namespace lum::bus {

constexpr const char *TraceBase(const char *pcPath) {
  const char *base = pcPath;
  for (const char *p = pcPath; *p != '\0'; ++p) {
    if (*p == '/') base = p + 1;
  }
  return base;
}

}  // namespace lum::bus

#define LUM_BUS_TRACE(...)                                                                        \
  do {                                                                                            \
    if (g_bLumTraceOn)                                                                            \
      LUM_TRACE_PrintInfo(lum::bus::TraceBase(__FILE__), __LINE__, 0, "lumbus", 16, __VA_ARGS__); \
  } while (0)

namespace lum::bus {

// Receive buffer: the largest datagram plus the zero-filled margin.
inline constexpr size_t kZeroMargin = 256;
inline constexpr size_t kRecvBufSize = LUM_MSG_MAX_SIZE + kZeroMargin;
// Sender names are cut to this many characters (the field holds 24 with its NUL).
inline constexpr size_t kMaxSenderChars = 23;

// Event-loop registration kinds of the bus socket and of the debug listener.
inline constexpr uint32_t kSockKindBus = 100;
inline constexpr uint32_t kSockKindDebug = 101;

// The bus folder: $LUM_BUS_DIR, else /var/run/lumbus.
std::string DirFromEnv();
// The folder read at the last LUM_MSG_Init (empty before the first).
const std::string &Dir();
// The application name given to the last LUM_MSG_Init (empty in client mode).
const std::string &App();

// Creates every missing folder of path with mode 0770 exactly (umask aside);
// true when the folder exists afterwards.
bool MakeSharedDir(const std::string &path);
// An application name usable as a file name: 1..255 characters, no '/', not
// starting with '.'.
bool ValidAppName(const std::string &name);
// Fills a Unix socket address; false when the path does not fit.
bool MakeUnixAddr(const std::string &path, sockaddr_un *pstAddr, socklen_t *pulLen);
// Makes path free for bind: absent, or a stale socket (nobody answers) that is
// removed. False when a live socket or another kind of file holds it.
bool ClaimSocketPath(const std::string &path, int iSockType);
// Removes the socket file we bound, unless someone has replaced it since.
void UnlinkIfSame(const std::string &path, ino_t ulIno);

// What one receive did.
enum class RecvResult { kNothing, kDelivered, kDropped };
// The bus socket, or -1 (capture mode, before Init, after Shutdown).
int Fd();
// Reads one datagram from the bus socket without waiting, checks it and hands
// it to the registered procedure. The loop's callback does exactly this.
RecvResult ReceiveOne();
// Closes the bus socket and the debug service and removes their loop
// registrations; the next LUM_MSG_Init starts afresh. Tests and tools.
void Shutdown();

// The debug service (platform/debugsvc.cc): listens on DIR/debug/APP and
// registers the listener with the event loop. A second open closes the first.
uint32_t DebugServiceOpen(const std::string &dir, const std::string &app);
void DebugServiceClose();

// Debug shell protocol, shared by the service and lumdebug.
inline constexpr size_t kDebugMaxRequest = 256;  // bytes, newline included
inline constexpr char kDebugTrailerMark = '\0';
inline constexpr const char *kDebugResultWord = "result";
inline constexpr const char *kDebugErrorWord = "error";

}  // namespace lum::bus
