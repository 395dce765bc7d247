// Bounds-checked memory and text. A refused call writes nothing (apart from
// the empty text new_snprintf_s leaves behind), so a caller with a wrong count
// never finds its record half changed.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/lum.h"

namespace {

// Larger sizes are negative numbers gone through size_t.
constexpr size_t kMaxSize = SIZE_MAX >> 1;

const char *BaseName(const char *pcPath) {
  if (pcPath == nullptr) return "?";
  const char *slash = strrchr(pcPath, '/');
  return slash != nullptr ? slash + 1 : pcPath;
}

#define SAFE_TRACE(file, line, ...)                                                \
  do {                                                                             \
    if (g_bLumTraceOn) LUM_TRACE_PrintInfo(file, line, 0, "lum", 16, __VA_ARGS__); \
  } while (0)

bool Overlaps(const void *pvA, const void *pvB, size_t ulCount) {
  const auto a = reinterpret_cast<uintptr_t>(pvA);
  const auto b = reinterpret_cast<uintptr_t>(pvB);
  return a < b ? b - a < ulCount : a - b < ulCount;
}

// The checks the three memory functions share; 0 when the call may proceed.
int CheckMem(const char *pcWhat, const void *pvDest, size_t ulDestSize, size_t ulCount, int iLine) {
  if (pvDest == nullptr || ulDestSize > kMaxSize || ulCount > ulDestSize) {
    SAFE_TRACE(__FILE_NAME__, static_cast<uint32_t>(iLine),
               "%s refused: dest %s, size %zu, count %zu\n", pcWhat,
               pvDest == nullptr ? "null" : "set", ulDestSize, ulCount);
    return 1;
  }
  return 0;
}

}  // namespace

int memset_s(void *pvDest, size_t ulDestSize, int iByte, size_t ulCount) {
  if (CheckMem("memset_s", pvDest, ulDestSize, ulCount, __LINE__) != 0) return 1;
  memset(pvDest, iByte, ulCount);
  return 0;
}

int memcpy_s(void *pvDest, size_t ulDestSize, const void *pvSrc, size_t ulCount) {
  if (CheckMem("memcpy_s", pvDest, ulDestSize, ulCount, __LINE__) != 0) return 1;
  if (ulCount == 0) return 0;
  if (pvSrc == nullptr || Overlaps(pvDest, pvSrc, ulCount)) {
    SAFE_TRACE(__FILE_NAME__, __LINE__, "memcpy_s refused: %s source\n",
               pvSrc == nullptr ? "null" : "overlapping");
    return 1;
  }
  memcpy(pvDest, pvSrc, ulCount);
  return 0;
}

int memmove_s(void *pvDest, size_t ulDestSize, const void *pvSrc, size_t ulCount) {
  if (CheckMem("memmove_s", pvDest, ulDestSize, ulCount, __LINE__) != 0) return 1;
  if (ulCount == 0) return 0;
  if (pvSrc == nullptr) {
    SAFE_TRACE(__FILE_NAME__, __LINE__, "memmove_s refused: null source\n");
    return 1;
  }
  memmove(pvDest, pvSrc, ulCount);
  return 0;
}

int new_snprintf_s(const char *pcFile, int iLine, char *pcDest, size_t ulDestSize, size_t ulMax,
                   const char *pcFmt, ...) {
  const uint32_t ulLine = static_cast<uint32_t>(iLine);
  if (pcDest == nullptr || ulDestSize == 0 || ulDestSize > kMaxSize) {
    SAFE_TRACE(BaseName(pcFile), ulLine, "new_snprintf_s refused: dest %s, size %zu\n",
               pcDest == nullptr ? "null" : "set", ulDestSize);
    return -1;
  }
  pcDest[0] = '\0';
  if (pcFmt == nullptr) {
    SAFE_TRACE(BaseName(pcFile), ulLine, "new_snprintf_s refused: no format\n");
    return -1;
  }
  const size_t ulLimit = ulMax < ulDestSize - 1 ? ulMax : ulDestSize - 1;
  va_list args;
  va_start(args, pcFmt);
  const int n = vsnprintf(pcDest, ulLimit + 1, pcFmt, args);
  va_end(args);
  if (n < 0) {
    pcDest[0] = '\0';
    SAFE_TRACE(BaseName(pcFile), ulLine, "new_snprintf_s: format failed\n");
    return -1;
  }
  // A cut is the usual way of filling a fixed field: reported, not traced.
  return static_cast<size_t>(n) > ulLimit ? -1 : n;
}
