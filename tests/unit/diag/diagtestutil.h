// Topology and host-table set-up shared by the diagnostics tests: bridges read
// through the fake interface table, ports and items through the public API, and
// a tear-down that deletes every bridge (and with it its ports and hosts).
#pragma once

#include <arpa/inet.h>

#include <array>
#include <cstdint>
#include <string>

#include "hosts/hosts.h"
#include "main/hostmon.h"
#include "platform/testing.h"
#include "tests/unit/common/fakesys.h"
#include "topology/topology.h"

namespace diagtest {

using Mac = std::array<uint8_t, 6>;

inline uint32_t Ip(const char *pcText) { return inet_addr(pcText); }

class TopologyFixture {
 public:
  ~TopologyFixture() { DeleteAllBridges(); }

  Bridge *AddBridge(const std::string &name, const Mac &mac, const char *pcIp) {
    faketest::FakeInterface stIf{};
    for (size_t i = 0; i < mac.size(); ++i) stIf.aucMac[i] = mac[i];
    stIf.ulIpAddr = pcIp != nullptr ? Ip(pcIp) : 0;
    m_sys.interfaces[name] = stIf;
    return LUM_HOSTMON_BridgeAdd(name.c_str());
  }

  static MacAddressItem *AddHost(Port *pstPort, const Mac &mac) {
    return LUM_HOSTMON_MACAddressNew(pstPort, mac.data());
  }

  static IpAddressItem *AddIpv4(MacAddressItem *pstItem, const char *pcIp) {
    uint8_t aucAddr[16] = {0};
    (void)inet_pton(AF_INET, pcIp, aucAddr);
    return LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET, aucAddr);
  }

  static IpAddressItem *AddIpv6(MacAddressItem *pstItem, const char *pcIp) {
    uint8_t aucAddr[16] = {0};
    (void)inet_pton(AF_INET6, pcIp, aucAddr);
    return LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET6, aucAddr);
  }

  static void DeleteAllBridges() {
    while (Bridge *pstBridge = LUM_HOSTMON_GetBridgeList()) LUM_HOSTMON_BridgeDel(pstBridge);
  }

  faketest::FakeSys &Sys() { return m_sys; }

 private:
  faketest::FakeSys m_sys;
};

}  // namespace diagtest
