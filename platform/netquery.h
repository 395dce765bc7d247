// Kernel queries shared inside the platform (the database's seeding uses them
// too). Answered by the kernel, or by the fake of lum::testing::UseFakeNet.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lum::net {

// The brN bridges, ascending N.
std::vector<std::string> BridgeNames();
// Member interfaces of a bridge, sorted by name.
std::vector<std::string> BridgePorts(const std::string &bridge);
// N when the interface is a port of brN, LUM_BRIDGE_KEY_NONE when it is no
// bridge's port (or its bridge is not named brN); nothing when the query fails
// (no such interface).
std::optional<uint32_t> BridgeKeyOf(const std::string &ifname);
// The port behind which the bridge's forwarding table holds the MAC (lower-case
// text); any bridge when bridge is empty. Local entries do not count.
std::optional<std::string> FdbPortOf(const std::string &mac, const std::string &bridge);

}  // namespace lum::net
