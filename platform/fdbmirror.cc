#include "platform/fdbmirror.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <algorithm>

#include "platform/rtnl.h"

namespace lum::net {

uint64_t FdbMirror::Key(const MacBytes &mac) {
  uint64_t key = 0;
  for (uint8_t byte : mac) key = key << 8 | byte;
  return key;
}

void FdbMirror::Apply(const struct nlmsghdr *nh, uint64_t ulNowMs) {
  switch (nh->nlmsg_type) {
    case RTM_NEWLINK:
    case RTM_DELLINK:
      ApplyLink(nh);
      break;
    case RTM_NEWNEIGH:
    case RTM_DELNEIGH:
      ApplyFdb(nh, ulNowMs);
      break;
    default:
      break;
  }
}

void FdbMirror::ApplyAll(const void *pvBuf, size_t ulLen, uint64_t ulNowMs) {
  ForEachMessage(pvBuf, ulLen, [&](const struct nlmsghdr *nh) {
    Apply(nh, ulNowMs);
    return false;
  });
}

void FdbMirror::Clear() {
  m_links.clear();
  m_indexByName.clear();
  m_fdb.clear();
}

void FdbMirror::ApplyLink(const struct nlmsghdr *nh) {
  std::optional<LinkInfo> info = ParseLink(nh);
  if (!info) return;
  if (nh->nlmsg_type == RTM_DELLINK) {
    DropLink(info->iIndex);
    return;
  }
  auto [it, bNew] = m_links.try_emplace(info->iIndex);
  if (!bNew && it->second.name != info->name) m_indexByName.erase(it->second.name);
  it->second.usPortNo = info->usPortNo;
  it->second.name = info->name;
  m_indexByName[std::move(info->name)] = info->iIndex;
}

// A link gone takes the entries behind it, and a bridge gone its whole table.
// The kernel sends a notice for each of them too; this keeps the mirror right
// when those were lost.
void FdbMirror::DropLink(int iIndex) {
  auto link = m_links.find(iIndex);
  if (link != m_links.end()) {
    auto named = m_indexByName.find(link->second.name);
    if (named != m_indexByName.end() && named->second == iIndex) m_indexByName.erase(named);
    m_links.erase(link);
  }
  for (auto it = m_fdb.begin(); it != m_fdb.end();) {
    std::erase_if(it->second,
                  [&](const Entry &e) { return e.iBridge == iIndex || e.iPort == iIndex; });
    it = it->second.empty() ? m_fdb.erase(it) : std::next(it);
  }
}

void FdbMirror::ApplyFdb(const struct nlmsghdr *nh, uint64_t ulNowMs) {
  std::optional<FdbEntry> parsed = ParseFdbEntry(nh);
  if (!parsed) return;
  const uint64_t key = Key(parsed->mac);
  std::vector<Entry> &entries = m_fdb[key];
  auto same = std::find_if(entries.begin(), entries.end(), [&](const Entry &e) {
    return e.iBridge == parsed->iBridgeIndex && e.usVlan == parsed->usVlan;
  });
  if (nh->nlmsg_type == RTM_DELNEIGH) {
    if (same != entries.end()) entries.erase(same);
    if (entries.empty()) m_fdb.erase(key);
    return;
  }
  const Entry entry{parsed->iBridgeIndex, parsed->iPortIndex, parsed->usVlan,
                    TicksToMs(parsed->ulUpdatedTicks), ulNowMs};
  if (same != entries.end()) {
    *same = entry;
  } else {
    entries.push_back(entry);
  }
}

std::optional<FdbHit> FdbMirror::Lookup(const MacBytes &mac, std::string_view bridge,
                                        uint64_t ulNowMs) const {
  int iBridge = 0;
  if (!bridge.empty()) {
    auto named = m_indexByName.find(std::string(bridge));
    if (named == m_indexByName.end()) return std::nullopt;
    iBridge = named->second;
  }
  auto found = m_fdb.find(Key(mac));
  if (found == m_fdb.end()) return std::nullopt;
  const Entry *pick = nullptr;
  for (const Entry &e : found->second) {
    if (iBridge != 0 && e.iBridge != iBridge) continue;
    if (pick == nullptr || (e.usVlan == 0 && pick->usVlan != 0)) pick = &e;
  }
  if (pick == nullptr) return std::nullopt;
  auto port = m_links.find(pick->iPort);
  if (port == m_links.end()) return std::nullopt;
  FdbHit hit;
  hit.port = port->second.name;
  hit.usPortNo = port->second.usPortNo;
  const uint64_t ageMs = pick->ulAgeMs + (ulNowMs > pick->ulToldMs ? ulNowMs - pick->ulToldMs : 0);
  hit.ulAgeingMs = static_cast<uint32_t>(std::min<uint64_t>(ageMs, UINT32_MAX));
  return hit;
}

bool FdbMirror::StaAssociated(const MacBytes &mac) const {
  auto found = m_fdb.find(Key(mac));
  if (found == m_fdb.end()) return false;
  return std::any_of(found->second.begin(), found->second.end(), [&](const Entry &e) {
    auto port = m_links.find(e.iPort);
    return port != m_links.end() && IsWirelessPort(port->second.name);
  });
}

size_t FdbMirror::EntryCount() const {
  size_t count = 0;
  for (const auto &[key, entries] : m_fdb) count += entries.size();
  return count;
}

}  // namespace lum::net
