// IPv6 address text without the formatter: a pass writes every address of the
// table into the neighbours files and every address of a host into its object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "arp/arptext.h"

inline constexpr size_t HOSTMON_IPV6_TEXT_LEN = 46;  // INET6_ADDRSTRLEN

// The text inet_ntop writes: lower-case hex groups without leading zeros, the
// first longest run of two or more zero groups as "::", and the last four
// octets dotted when all before them are zero (but for a lone 0xffff group just
// before them). Returns the length.
inline size_t HostmonIpv6Text(const uint8_t *pucAddr, char (&acOut)[HOSTMON_IPV6_TEXT_LEN]) {
  uint16_t ausWords[8];
  for (size_t i = 0; i < 8; ++i) {
    ausWords[i] = static_cast<uint16_t>(pucAddr[2 * i] << 8 | pucAddr[2 * i + 1]);
  }
  int iBest = -1;
  int iBestLen = 0;
  for (int i = 0; i < 8;) {
    if (ausWords[i] != 0) {
      ++i;
      continue;
    }
    int iEnd = i;
    while (iEnd < 8 && ausWords[iEnd] == 0) ++iEnd;
    if (iEnd - i > iBestLen) {
      iBest = i;
      iBestLen = iEnd - i;
    }
    i = iEnd;
  }
  if (iBestLen < 2) iBest = -1;

  static constexpr char kDigits[] = "0123456789abcdef";
  char *pcAt = acOut;
  for (int i = 0; i < 8; ++i) {
    if (iBest != -1 && i >= iBest && i < iBest + iBestLen) {
      if (i == iBest) *pcAt++ = ':';
      continue;
    }
    if (i != 0) *pcAt++ = ':';
    if (i == 6 && iBest == 0 && (iBestLen == 6 || (iBestLen == 5 && ausWords[5] == 0xffff))) {
      uint32_t ulV4;
      memcpy(&ulV4, pucAddr + 12, sizeof(ulV4));
      char acV4[HOSTMON_IPV4_TEXT_LEN];
      HostmonIpv4Text(ulV4, acV4);
      for (const char *pc = acV4; *pc != '\0'; ++pc) *pcAt++ = *pc;
      *pcAt = '\0';
      return static_cast<size_t>(pcAt - acOut);
    }
    const unsigned uWord = ausWords[i];
    bool bStarted = false;
    for (int iShift = 12; iShift >= 0; iShift -= 4) {
      const unsigned uNibble = (uWord >> iShift) & 0x0F;
      if (uNibble == 0 && !bStarted && iShift != 0) continue;
      bStarted = true;
      *pcAt++ = kDigits[uNibble];
    }
  }
  if (iBest != -1 && iBest + iBestLen == 8) *pcAt++ = ':';
  *pcAt = '\0';
  return static_cast<size_t>(pcAt - acOut);
}
