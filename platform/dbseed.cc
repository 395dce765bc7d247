// A first database from the live kernel's bridges, for a gateway without a
// file: what the daemon needs to find its LAN devices and ports.
#include <charconv>

#include "platform/dbstore.h"
#include "platform/netquery.h"

namespace lum::db {

namespace {

bool BridgeNumber(std::string_view name, uint32_t *pulNum) {
  if (!name.starts_with("br") || name.size() == 2) return false;
  const char *first = name.data() + 2;
  const char *last = name.data() + name.size();
  auto [end, ec] = std::from_chars(first, last, *pulNum);
  return ec == std::errc() && end == last && *pulNum != UINT32_MAX;
}

bool IsWireless(std::string_view port) { return port.starts_with("wl") || port.starts_with("ath"); }

void SeedPort(Store &store, const Keys &lan, const std::string &port) {
  size_t ifKind = IsWireless(port) ? kWlanCfg : kLanEthIf;
  std::vector<Slot> ifSlots = DefaultSlots(ifKind);
  ifSlots[0].ulNum = 1;
  ifSlots[1].text = "Up";  // the port is the bridge's member: enough for the daemon
  ifSlots[2].text = port;
  Keys ifKeys{};
  if (store.Add(ifKind, lan, std::move(ifSlots), &ifKeys) != 0) return;

  std::string reference = PathOf(ifKind, ifKeys);
  reference.pop_back();
  std::vector<Slot> availSlots = DefaultSlots(kAvailIf);
  availSlots[1].text = "LANInterface";
  availSlots[2].text = std::move(reference);
  availSlots[3].text = port;
  Keys availKeys{};
  if (store.Add(kAvailIf, Keys{}, std::move(availSlots), &availKeys) != 0) return;
  store.Find(kAvailIf, availKeys)->SetNum(0, availKeys[0]);
}

}  // namespace

Store SeedFromKernel() {
  Store store;
  for (const std::string &bridge : net::BridgeNames()) {
    uint32_t ulNum = 0;
    if (!BridgeNumber(bridge, &ulNum)) {
      LUM_DB_TRACE("seed: bridge [%s] is not brN, skipped\n", bridge.c_str());
      continue;
    }
    Keys lan{ulNum + 1};
    if (store.Insert(kLanDevice, lan, {}) != 0) {
      LUM_DB_TRACE("seed: LAN device %u of [%s] exists already\n", ulNum + 1, bridge.c_str());
      continue;
    }
    std::vector<Slot> bridgeSlots = DefaultSlots(kBridgeNum);
    bridgeSlots[0].ulNum = ulNum;
    store.Insert(kBridgeNum, lan, std::move(bridgeSlots));
    for (const std::string &port : net::BridgePorts(bridge)) {
      if (port.empty() || port.size() > kMaxText) continue;
      SeedPort(store, lan, port);
    }
  }
  return store;
}

}  // namespace lum::db
