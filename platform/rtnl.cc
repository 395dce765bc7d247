#include "platform/rtnl.h"

#include <linux/if_link.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace lum::net {

namespace {

// Attributes of a message or of a nested attribute, by type.
template <typename Fn>
void ForEachAttr(const void *pvFirst, int iLen, Fn fn) {
  for (const auto *rta = static_cast<const struct rtattr *>(pvFirst); RTA_OK(rta, iLen);
       rta = RTA_NEXT(rta, iLen)) {
    fn(rta->rta_type & NLA_TYPE_MASK, RTA_DATA(rta), RTA_PAYLOAD(rta));
  }
}

}  // namespace

std::optional<FdbEntry> ParseFdbEntry(const struct nlmsghdr *nh) {
  if ((nh->nlmsg_type != RTM_NEWNEIGH && nh->nlmsg_type != RTM_DELNEIGH) ||
      nh->nlmsg_len < NLMSG_LENGTH(sizeof(struct ndmsg))) {
    return std::nullopt;
  }
  const auto *ndm = static_cast<const struct ndmsg *>(NLMSG_DATA(nh));
  if (ndm->ndm_family != AF_BRIDGE || (ndm->ndm_state & NUD_PERMANENT) != 0) return std::nullopt;
  FdbEntry entry{};
  bool bHasMac = false;
  ForEachAttr(reinterpret_cast<const char *>(ndm) + NLMSG_ALIGN(sizeof(struct ndmsg)),
              static_cast<int>(nh->nlmsg_len - NLMSG_LENGTH(sizeof(struct ndmsg))),
              [&](int type, const void *data, size_t len) {
                if (type == NDA_LLADDR && len == entry.mac.size()) {
                  memcpy(entry.mac.data(), data, entry.mac.size());
                  bHasMac = true;
                } else if (type == NDA_MASTER && len >= sizeof(uint32_t)) {
                  uint32_t master;
                  memcpy(&master, data, sizeof(master));
                  entry.iBridgeIndex = static_cast<int>(master);
                } else if (type == NDA_VLAN && len >= sizeof(uint16_t)) {
                  memcpy(&entry.usVlan, data, sizeof(entry.usVlan));
                } else if (type == NDA_CACHEINFO && len >= sizeof(struct nda_cacheinfo)) {
                  struct nda_cacheinfo ci;
                  memcpy(&ci, data, sizeof(ci));
                  entry.ulUpdatedTicks = ci.ndm_updated;
                }
              });
  entry.iPortIndex = ndm->ndm_ifindex;
  if (!bHasMac || entry.iBridgeIndex <= 0 || entry.iPortIndex == entry.iBridgeIndex) {
    return std::nullopt;
  }
  return entry;
}

std::optional<LinkInfo> ParseLink(const struct nlmsghdr *nh) {
  if ((nh->nlmsg_type != RTM_NEWLINK && nh->nlmsg_type != RTM_DELLINK) ||
      nh->nlmsg_len < NLMSG_LENGTH(sizeof(struct ifinfomsg))) {
    return std::nullopt;
  }
  const auto *ifi = static_cast<const struct ifinfomsg *>(NLMSG_DATA(nh));
  LinkInfo link;
  link.iIndex = ifi->ifi_index;
  ForEachAttr(IFLA_RTA(ifi), static_cast<int>(IFLA_PAYLOAD(nh)),
              [&](int type, const void *data, size_t len) {
                if (type == IFLA_IFNAME && len > 0) {
                  link.name.assign(static_cast<const char *>(data),
                                   strnlen(static_cast<const char *>(data), len));
                } else if (type == IFLA_MASTER && len >= sizeof(uint32_t)) {
                  uint32_t master;
                  memcpy(&master, data, sizeof(master));
                  link.iMaster = static_cast<int>(master);
                } else if (type == IFLA_LINKINFO) {
                  ForEachAttr(
                      data, static_cast<int>(len), [&](int info, const void *idata, size_t ilen) {
                        if (info != IFLA_INFO_SLAVE_DATA) return;
                        ForEachAttr(idata, static_cast<int>(ilen),
                                    [&](int port, const void *pdata, size_t plen) {
                                      if (port == IFLA_BRPORT_NO && plen >= sizeof(uint16_t)) {
                                        memcpy(&link.usPortNo, pdata, sizeof(uint16_t));
                                      }
                                    });
                      });
                }
              });
  if (link.iIndex <= 0 || link.name.empty()) return std::nullopt;
  return link;
}

uint32_t TicksToMs(uint32_t ulTicks) {
  static const long ticksPerSec = sysconf(_SC_CLK_TCK);
  const uint64_t ms = static_cast<uint64_t>(ulTicks) * 1000u /
                      static_cast<uint64_t>(ticksPerSec > 0 ? ticksPerSec : 100);
  return static_cast<uint32_t>(std::min<uint64_t>(ms, UINT32_MAX));
}

}  // namespace lum::net
