// lumbus's one-line description of a bus message: the header, then a decoding
// of the payloads hostmon sends. Header-only so that the unit tests check it.
#pragma once

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "main/hostmon.h"
#include "main/msgcatalog.h"
#include "platform/lum.h"

namespace lumtools {

// A text field: up to its NUL or its end, quoted, with '"', '\' and
// non-printable bytes escaped.
inline std::string QuoteField(const void *pvField, size_t ulSize) {
  const auto *bytes = static_cast<const uint8_t *>(pvField);
  std::string out = "\"";
  for (size_t i = 0; i < ulSize && bytes[i] != 0; ++i) {
    uint8_t c = bytes[i];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char esc[8];
      snprintf(esc, sizeof(esc), "\\x%02x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
  return out;
}

// The number read with its first octet most significant, as in add and change
// notices.
inline std::string DottedNumber(uint32_t ulValue) {
  char buf[16];
  snprintf(buf, sizeof(buf), "%u.%u.%u.%u", ulValue >> 24, (ulValue >> 16) & 0xFF,
           (ulValue >> 8) & 0xFF, ulValue & 0xFF);
  return buf;
}

// The four bytes as they lie in memory (transmission order), as in delete and
// off-line notices and ulOldIpAddr.
inline std::string DottedBytes(const void *pvAddr) {
  const auto *b = static_cast<const uint8_t *>(pvAddr);
  char buf[16];
  snprintf(buf, sizeof(buf), "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return buf;
}

inline std::string DescribeHostInfo(const uint8_t *pucPayload) {
  HostInfo info;
  memcpy(&info, pucPayload, sizeof(info));
  char num[64];
  std::string out = "HostInfo";
  snprintf(num, sizeof(num), " ulYiaddr=0x%08x", info.ulYiaddr);
  out += num;
  out += " ulYiaddr.num=" + DottedNumber(info.ulYiaddr);
  out += " ulYiaddr.net=" + DottedBytes(pucPayload + offsetof(HostInfo, ulYiaddr));
  snprintf(num, sizeof(num), " ulLease=%u", info.ulLease);
  out += num;
  out += " acChAddr=" + QuoteField(info.acChAddr, sizeof(info.acChAddr));
  out += " acMacAddr=" + QuoteField(info.acMacAddr, sizeof(info.acMacAddr));
  out += " acHostName=" + QuoteField(info.acHostName, sizeof(info.acHostName));
  out += " acVendorClass=" + QuoteField(info.acVendorClass, sizeof(info.acVendorClass));
  snprintf(num, sizeof(num), " ulIpv4Active=%u ulIpv6Active=%u", info.ulIpv4Active,
           info.ulIpv6Active);
  out += num;
  out += " acInterface=" + QuoteField(info.acInterface, sizeof(info.acInterface));
  snprintf(num, sizeof(num), " aulKeyList=%u,%u", info.aulKeyList[0], info.aulKeyList[1]);
  out += num;
  out += " acLayer2If=" + QuoteField(info.acLayer2If, sizeof(info.acLayer2If));
  out += " ulOldIpAddr=" + DottedBytes(pucPayload + offsetof(HostInfo, ulOldIpAddr));
  out += " acConflictMac=" + QuoteField(info.acConflictMac, sizeof(info.acConflictMac));
  return out;
}

inline std::string DescribeDeviceNameUpdate(const uint8_t *pucPayload) {
  return "DeviceNameUpdate mac=" +
         QuoteField(pucPayload + offsetof(DeviceNameUpdate, acMac),
                    sizeof(DeviceNameUpdate::acMac)) +
         " ip=" +
         QuoteField(pucPayload + offsetof(DeviceNameUpdate, acIpAddr),
                    sizeof(DeviceNameUpdate::acIpAddr)) +
         " name=" +
         QuoteField(pucPayload + offsetof(DeviceNameUpdate, acDevName),
                    sizeof(DeviceNameUpdate::acDevName));
}

inline std::string MacField(const uint8_t *pucMac) {
  char buf[18];
  snprintf(buf, sizeof(buf), "%02x:%02x:%02x:%02x:%02x:%02x", pucMac[0], pucMac[1], pucMac[2],
           pucMac[3], pucMac[4], pucMac[5]);
  return buf;
}

inline std::string Ipv6Field(const uint8_t *pucAddr) {
  char buf[INET6_ADDRSTRLEN];
  return inet_ntop(AF_INET6, pucAddr, buf, sizeof(buf)) != nullptr ? buf : "?";
}

// The fields of the peers' binary payloads; empty when the payload is too
// short for its record (it is then shown raw).
inline std::string DescribeFields(MsgPayload ePayload, const uint8_t *pucPayload, size_t ulLen,
                                  const void *pvDataWord) {
  switch (ePayload) {
    case MsgPayload::kAddIpMac:
      if (ulLen < 7) return {};
      return "mac=" + MacField(pucPayload) + " bridge=" + QuoteField(pucPayload + 6, ulLen - 6) +
             " ip=" + DottedBytes(pvDataWord);
    case MsgPayload::kMac:
      return ulLen < 6 ? std::string() : "mac=" + MacField(pucPayload);
    case MsgPayload::kMacIpv4:
      if (ulLen < 12) return {};
      return "mac=" + MacField(pucPayload) + " ip=" + DottedBytes(pucPayload + 8);
    case MsgPayload::kIpv6:
      return ulLen < 16 ? std::string() : "ip6=" + Ipv6Field(pucPayload);
    case MsgPayload::kDad:
      if (ulLen < 23) return {};
      return "ip6=" + Ipv6Field(pucPayload) + " mac=" + MacField(pucPayload + 16) +
             " bridge=" + QuoteField(pucPayload + 22, ulLen - 22);
    default:
      return {};
  }
}

// The first 64 bytes in hex ("..." when there are more), and the text when the
// payload is one NUL-terminated printable text (MAC texts, interface names).
inline std::string DescribeRaw(const uint8_t *pucPayload, size_t ulLen) {
  constexpr size_t kShown = 64;
  std::string out = "payload=";
  char hex[4];
  for (size_t i = 0; i < ulLen && i < kShown; ++i) {
    snprintf(hex, sizeof(hex), "%02x", pucPayload[i]);
    out += hex;
  }
  if (ulLen > kShown) out += "...";
  const void *nul = ulLen > 0 ? memchr(pucPayload, 0, ulLen) : nullptr;
  if (nul != nullptr && nul != pucPayload) {
    size_t textLen = static_cast<size_t>(static_cast<const uint8_t *>(nul) - pucPayload);
    bool printable = true;
    for (size_t i = 0; i < textLen; ++i) {
      if (pucPayload[i] < 0x20 || pucPayload[i] >= 0x7F) printable = false;
    }
    if (printable) out += " text=" + QuoteField(pucPayload, textLen);
  }
  return out;
}

// One line without its newline. pucMsg holds ulSize bytes: the 40-byte header
// and the payload whose length the header gives (checked by the bus).
inline std::string DescribeMessage(const uint8_t *pucMsg, size_t ulSize) {
  if (ulSize < sizeof(LUM_MSG_HEADER)) return "short message";
  LUM_MSG_HEADER hdr;
  memcpy(&hdr, pucMsg, sizeof(hdr));
  const MsgCatalogueEntry *entry = HostmonFindMsg(hdr.ulMsgType);
  const bool bNamed = entry != nullptr && entry->eDirection != MsgDirection::kInUnnamed;
  size_t len = ulSize - sizeof(hdr);
  if (hdr.ulPayloadLen < len) len = hdr.ulPayloadLen;
  const uint8_t *payload = pucMsg + sizeof(hdr);
  char head[96];
  snprintf(head, sizeof(head), "type=0x%04x name=", hdr.ulMsgType);
  std::string out = head;
  out += bNamed ? entry->pcName : "unknown";
  out += " from=" + QuoteField(hdr.acSendApp, sizeof(hdr.acSendApp));
  snprintf(head, sizeof(head), " data=0x%08x len=%zu ", hdr.ulData, len);
  out += head;
  const MsgPayload kind = entry != nullptr ? entry->ePayload : MsgPayload::kNone;
  switch (kind) {
    case MsgPayload::kHostInfo:
      if (len == sizeof(HostInfo)) return out + DescribeHostInfo(payload);
      out += "bad-HostInfo-length ";
      break;
    case MsgPayload::kDeviceNameUpdate:
      if (len == sizeof(DeviceNameUpdate)) return out + DescribeDeviceNameUpdate(payload);
      out += "bad-DeviceNameUpdate-length ";
      break;
    case MsgPayload::kAddIpMac:
    case MsgPayload::kMac:
    case MsgPayload::kMacIpv4:
    case MsgPayload::kIpv6:
    case MsgPayload::kDad: {
      const std::string fields =
          DescribeFields(kind, payload, len, pucMsg + offsetof(LUM_MSG_HEADER, ulData));
      if (!fields.empty()) return out + fields;
      out += "short-payload ";
      break;
    }
    default:
      break;
  }
  return out + DescribeRaw(payload, len);
}

}  // namespace lumtools
