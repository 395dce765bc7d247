// lumbus's payloads from named fields, laid out as the message catalogue says,
// so that an operator can replay what a peer sent. Header-only so that the unit
// tests check it.
#pragma once

#include <arpa/inet.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "main/msgcatalog.h"

namespace lumtools {

struct MsgFields {
  std::optional<std::array<uint8_t, 6>> mac;
  std::optional<std::array<uint8_t, 4>> ip;  // network byte order
  std::optional<std::array<uint8_t, 16>> ip6;
  std::optional<std::string> bridge;
};

inline std::optional<std::array<uint8_t, 6>> ParseMacField(const std::string &text) {
  std::array<uint8_t, 6> mac{};
  unsigned int b[6];
  char end;
  if (sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5],
             &end) != 6) {
    return std::nullopt;
  }
  for (int i = 0; i < 6; ++i) mac[i] = static_cast<uint8_t>(b[i]);
  return mac;
}

// Builds the payload (and, for an address lease, the data word) of a message
// type from the fields; an error text when the type takes other fields.
inline std::string BuildPayload(uint32_t ulType, const MsgFields &fields,
                                std::vector<uint8_t> *pPayload, std::optional<uint32_t> *pData) {
  const MsgCatalogueEntry *entry = HostmonFindMsg(ulType);
  const MsgPayload kind = entry != nullptr ? entry->ePayload : MsgPayload::kNone;
  const bool bMac = kind == MsgPayload::kAddIpMac || kind == MsgPayload::kMac ||
                    kind == MsgPayload::kMacIpv4 || kind == MsgPayload::kDad ||
                    kind == MsgPayload::kMacText;
  const bool bIp = kind == MsgPayload::kAddIpMac || kind == MsgPayload::kMacIpv4;
  const bool bIp6 = kind == MsgPayload::kIpv6 || kind == MsgPayload::kDad;
  const bool bBridge = kind == MsgPayload::kAddIpMac || kind == MsgPayload::kDad;
  if (!bMac && !bIp && !bIp6) return "this type takes no named fields";
  if (bMac != fields.mac.has_value() || bIp != fields.ip.has_value() ||
      bIp6 != fields.ip6.has_value() || bBridge != fields.bridge.has_value()) {
    return std::string("this type takes exactly") + (bMac ? " --mac" : "") + (bIp ? " --ip" : "") +
           (bIp6 ? " --ip6" : "") + (bBridge ? " --bridge" : "");
  }
  std::vector<uint8_t> &out = *pPayload;
  out.clear();
  const auto put = [&out](const auto &bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); };
  switch (kind) {
    case MsgPayload::kMacText: {
      const auto &m = *fields.mac;
      char text[18];
      snprintf(text, sizeof(text), "%02X:%02X:%02X:%02X:%02X:%02X", m[0], m[1], m[2], m[3], m[4],
               m[5]);
      out.assign(text, text + sizeof(text));  // with its NUL
      break;
    }
    case MsgPayload::kAddIpMac: {
      put(*fields.mac);
      put(*fields.bridge);
      out.push_back(0);
      uint32_t ulData;
      memcpy(&ulData, fields.ip->data(), 4);  // the address's bytes, as on the wire
      *pData = ulData;
      break;
    }
    case MsgPayload::kMac:
      put(*fields.mac);
      break;
    case MsgPayload::kMacIpv4:
      put(*fields.mac);
      out.insert(out.end(), 2, 0);  // alignment
      put(*fields.ip);
      break;
    case MsgPayload::kIpv6:
      put(*fields.ip6);
      break;
    case MsgPayload::kDad:
      put(*fields.ip6);
      put(*fields.mac);
      put(*fields.bridge);
      out.push_back(0);
      break;
    default:
      break;
  }
  return {};
}

}  // namespace lumtools
