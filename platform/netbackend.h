// The one seam between the network utilities (netutil.cc) and whatever answers
// them: the Linux kernel (netlinux.cc) or the test double (netfake.cc). Every
// bridge, port, forwarding-table and station query goes through Backend().
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lum::net {

using MacBytes = std::array<uint8_t, 6>;

// "aa:bb:cc:dd:ee:ff" or "AA-BB-CC-DD-EE-FF": either case, one separator
// (':' or '-') used throughout, exactly 17 characters.
std::optional<MacBytes> ParseMac(std::string_view text);
// Lower case with ':', the form the forwarding-table queries use.
std::string MacToLower(const MacBytes &mac);

// One forwarding-table answer.
struct FdbHit {
  std::string port;         // interface behind which the MAC was learnt
  uint32_t ulAgeingMs = 0;  // time since the entry was last refreshed
  uint16_t usPortNo = 0;    // the port's number on its bridge, 0 when unknown
};

class NetBackend {
 public:
  virtual ~NetBackend() = default;
  // brN bridges (the kernel: ascending N; the fake: as configured).
  virtual std::vector<std::string> BridgeNames() = 0;
  // Member interfaces of a bridge, sorted by name.
  virtual std::vector<std::string> BridgePorts(const std::string &bridge) = 0;
  // See netquery.h.
  virtual std::optional<uint32_t> BridgeKeyOf(const std::string &ifname) = 0;
  // The non-local entry for the MAC on the named bridge, or on any bridge when
  // bridge is empty.
  virtual std::optional<FdbHit> FdbLookup(const MacBytes &mac, const std::string &bridge) = 0;
  // Some bridge holds the MAC behind a wireless port.
  virtual bool StaAssociated(const MacBytes &mac) = 0;
};

// The backend in force: the kernel unless a test installed another.
NetBackend &Backend();
// nullptr restores the kernel backend. The caller keeps ownership.
void SetBackend(NetBackend *pBackend);
// The kernel backend itself (netlinux.cc).
NetBackend &LinuxBackend();

// A name the kernel could give an interface: 1 to 15 characters, no '/', not
// "." or "..". Checked before a name becomes part of a sysfs path.
bool IsValidIfName(std::string_view name);
// N when name is "brN" with N a decimal number without leading zeros that is
// not LUM_BRIDGE_KEY_NONE.
std::optional<uint32_t> BridgeNumber(std::string_view name);
// A port name that stands for a radio: "wl..." or "ath...".
bool IsWirelessPort(std::string_view port);

}  // namespace lum::net
