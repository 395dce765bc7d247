// Text forms of MAC and IPv4 addresses for the receive path. Every sighting
// formats several; these cost a fraction of the formatter and give the same text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

inline constexpr size_t HOSTMON_MAC_TEXT_LEN = 18;   // "xx:xx:xx:xx:xx:xx" and its end
inline constexpr size_t HOSTMON_IPV4_TEXT_LEN = 16;  // "255.255.255.255" and its end

// "%02X:%02X:%02X:%02X:%02X:%02X", or the same in lower case.
inline void HostmonMacText(const uint8_t *pucMac, char (&acOut)[HOSTMON_MAC_TEXT_LEN],
                           bool bUpper) {
  const char *pcDigits = bUpper ? "0123456789ABCDEF" : "0123456789abcdef";
  for (size_t i = 0; i < 6; ++i) {
    acOut[i * 3] = pcDigits[pucMac[i] >> 4];
    acOut[i * 3 + 1] = pcDigits[pucMac[i] & 0x0F];
    acOut[i * 3 + 2] = i < 5 ? ':' : '\0';
  }
}

// Dotted decimal of an address held in network byte order, as inet_ntop writes it.
inline void HostmonIpv4Text(uint32_t ulAddr, char (&acOut)[HOSTMON_IPV4_TEXT_LEN]) {
  uint8_t aucOctets[4];
  memcpy(aucOctets, &ulAddr, sizeof(aucOctets));
  char *pcAt = acOut;
  for (size_t i = 0; i < 4; ++i) {
    const unsigned uOctet = aucOctets[i];
    if (uOctet >= 100) *pcAt++ = static_cast<char>('0' + uOctet / 100);
    if (uOctet >= 10) *pcAt++ = static_cast<char>('0' + uOctet / 10 % 10);
    *pcAt++ = static_cast<char>('0' + uOctet % 10);
    *pcAt++ = i < 3 ? '.' : '\0';
  }
}
