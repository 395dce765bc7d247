// Reading rtnetlink messages about links and the bridge forwarding database:
// shared by the kernel queries (netlinux.cc) and the forwarding-table mirror
// (fdbmirror.cc). Every reader checks lengths against the message.
#pragma once

#include <linux/netlink.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/netbackend.h"

namespace lum::net {

// Hands each message of a buffer the socket filled to fn, until fn returns
// true; a message that does not lie whole inside the buffer ends the walk.
template <typename Fn>
void ForEachMessage(const void *pvBuf, size_t ulLen, Fn fn) {
  const auto *pcBase = static_cast<const char *>(pvBuf);
  size_t off = 0;
  while (ulLen - off >= sizeof(struct nlmsghdr)) {
    const auto *nh = reinterpret_cast<const struct nlmsghdr *>(pcBase + off);
    if (nh->nlmsg_len < sizeof(struct nlmsghdr) || nh->nlmsg_len > ulLen - off) return;
    if (fn(nh)) return;
    const size_t ulStep = NLMSG_ALIGN(nh->nlmsg_len);
    if (ulStep >= ulLen - off) return;
    off += ulStep;
  }
}

// One non-local entry of a bridge's forwarding database.
struct FdbEntry {
  MacBytes mac{};
  int iBridgeIndex = 0;
  int iPortIndex = 0;
  uint16_t usVlan = 0;
  uint32_t ulUpdatedTicks = 0;  // clock ticks since the kernel last refreshed it
};

// A new or deleted bridge neighbour as an entry; nothing for local entries
// (the bridge's own and its ports' own addresses, all permanent), for other
// families, for a device's own address lists (no bridge) and for entries on the
// bridge itself (no port).
std::optional<FdbEntry> ParseFdbEntry(const struct nlmsghdr *nh);

// A new or deleted link: its index, name, master (0: none) and bridge port
// number (0: unknown or not a port).
struct LinkInfo {
  int iIndex = 0;
  std::string name;
  int iMaster = 0;
  uint16_t usPortNo = 0;
};
std::optional<LinkInfo> ParseLink(const struct nlmsghdr *nh);

// Kernel clock ticks as milliseconds, capped to 32 bits.
uint32_t TicksToMs(uint32_t ulTicks);

}  // namespace lum::net
