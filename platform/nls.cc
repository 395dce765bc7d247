// Character sets: strict UTF-8 validation and conversion through iconv.
#include <iconv.h>
#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/lum.h"

#define NLS_TRACE(...)                                                                          \
  do {                                                                                          \
    if (g_bLumTraceOn) LUM_TRACE_PrintInfo(__FILE_NAME__, __LINE__, 0, "lum", 16, __VA_ARGS__); \
  } while (0)

namespace {

// Longer texts are refused: the platform converts names, not documents.
constexpr size_t kMaxInput = 65536;
// UTF-8 needs at most 3 bytes per 2-byte double-byte character, and no
// encoding iconv knows needs more than 4 bytes per input byte, plus a mark.
constexpr size_t kOutPerIn = 4;
constexpr size_t kOutExtra = 8;

// The platform's short names for glibc's.
std::string CodeName(const char *pcName) {
  if (strcasecmp(pcName, "utf8") == 0 || strcasecmp(pcName, "utf-8") == 0) return "UTF-8";
  if (strcasecmp(pcName, "cp936") == 0) return "CP936";
  if (strcasecmp(pcName, "gbk") == 0) return "GBK";
  return pcName;
}

class Iconv {
 public:
  Iconv(const std::string &to, const std::string &from)
      : m_cd(iconv_open(to.c_str(), from.c_str())) {}
  ~Iconv() {
    if (Ok()) iconv_close(m_cd);
  }
  Iconv(const Iconv &) = delete;
  Iconv &operator=(const Iconv &) = delete;
  bool Ok() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
  iconv_t Get() const { return m_cd; }

 private:
  iconv_t m_cd;
};

}  // namespace

uint32_t LUM_NLS_IsStringUtf8(const char *pcText) {
  if (pcText == nullptr) return 0;
  const auto *p = reinterpret_cast<const unsigned char *>(pcText);
  while (*p != 0) {
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    size_t len;
    uint32_t cp;
    uint32_t min;
    if ((c & 0xE0) == 0xC0) {
      len = 2, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4, cp = c & 0x07, min = 0x10000;
    } else {
      return 0;  // a continuation byte first, or 0xF8..0xFF
    }
    // The terminator fails the continuation test, so this never reads past it.
    for (size_t i = 1; i < len; ++i) {
      if ((p[i] & 0xC0) != 0x80) return 0;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    p += len;
  }
  return 1;
}

static char *IconvConvertImpl(const char *pcText, const char *pcToCode, const char *pcFromCode) {
  if (pcText == nullptr || pcToCode == nullptr || pcFromCode == nullptr) {
    NLS_TRACE("iconv: missing argument\n");
    return nullptr;
  }
  const size_t inLen = strnlen(pcText, kMaxInput + 1);
  if (inLen > kMaxInput) {
    NLS_TRACE("iconv: text too long\n");
    return nullptr;
  }
  Iconv cd(CodeName(pcToCode), CodeName(pcFromCode));
  if (!cd.Ok()) {
    NLS_TRACE("iconv: no conversion %s -> %s\n", pcFromCode, pcToCode);
    return nullptr;
  }
  const size_t outSize = inLen * kOutPerIn + kOutExtra;
  // Four terminating zeros, so that even a wide encoding ends in one.
  char *out = static_cast<char *>(calloc(outSize + 4, 1));
  if (out == nullptr) return nullptr;
  char *in = const_cast<char *>(pcText);
  size_t inLeft = inLen;
  char *dst = out;
  size_t outLeft = outSize;
  if (iconv(cd.Get(), &in, &inLeft, &dst, &outLeft) == static_cast<size_t>(-1) ||
      iconv(cd.Get(), nullptr, nullptr, &dst, &outLeft) == static_cast<size_t>(-1)) {
    // EILSEQ and EINVAL: not text of the source encoding; E2BIG: over the bound.
    NLS_TRACE("iconv: conversion failed, errno %d\n", errno);
    free(out);
    return nullptr;
  }
  return out;
}

// No exception leaves the platform: an allocation failure is a refusal.
char *LUM_NLS_IconvConvert(const char *pcText, const char *pcToCode, const char *pcFromCode) {
  try {
    return IconvConvertImpl(pcText, pcToCode, pcFromCode);
  } catch (...) {
    return nullptr;
  }
}
