// The topology tests' common ground: fake bridges (names and keys from
// FakeNet, addresses from FakeSys), database fillers, and a registry emptied
// through its own API after every test.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "hosts/hosts.h"
#include "platform/lumdb.h"
#include "platform/testing.h"
#include "tests/unit/common/fakesys.h"
#include "topology/topology.h"

namespace topotest {

class TopologyTest : public ::testing::Test {
 protected:
  void SetUp() override { lum::testing::UseFakeNet(&m_net); }

  void TearDown() override {
    while (LUM_HOSTMON_GetBridgeList() != nullptr) {
      LUM_HOSTMON_BridgeDel(LUM_HOSTMON_GetBridgeList());
    }
  }

  // An interface the fake kernel answers for: MAC 02:00:00:00:<n>:<n>, and
  // 192.168.<n>.1 unless told otherwise (0: no IPv4 address).
  void AddInterface(const std::string &name, uint8_t n, uint32_t ulIp) {
    faketest::FakeInterface stIf{};
    const uint8_t aucMac[6] = {0x02, 0x00, 0x00, 0x00, n, n};
    memcpy(stIf.aucMac, aucMac, 6);
    stIf.ulIpAddr = ulIp;
    m_sys.interfaces[name] = stIf;
  }
  // brN, named by the platform and answering its queries.
  void AddPlatformBridge(uint8_t n) {
    const std::string name = "br" + std::to_string(n);
    AddInterface(name, n, Ip("192.168." + std::to_string(n) + ".1"));
    m_net.bridges.push_back(name);
  }
  static uint32_t Ip(const std::string &text) { return inet_addr(text.c_str()); }

  // Database objects. Every filler returns the new instance number.
  static uint32_t AddObject(const uint32_t *pulParent, uint32_t ulKind,
                            const std::vector<std::pair<uint32_t, std::string>> &texts,
                            const std::vector<std::pair<uint32_t, uint32_t>> &numbers = {}) {
    LUM_DB_SLOT *pstValue = nullptr;
    EXPECT_EQ(LUM_DBGetDftObject(ulKind, &pstValue, 0), 0u);
    if (pstValue == nullptr) return 0;
    for (const auto &[slot, text] : texts) {
      EXPECT_EQ(LUM_KEM_SetObjStrValue(slot, pstValue, text.c_str()), 0u);
    }
    for (const auto &[slot, number] : numbers) pstValue[slot].ulNum = number;
    uint32_t ulInst = 0;
    EXPECT_EQ(LUM_DBAddObj(pulParent, ulKind, pstValue, &ulInst), 0u);
    LUM_KEM_FreeObj(ulKind, pstValue);
    return ulInst;
  }
  static uint32_t AddAvailableIf(const std::string &type, const std::string &name) {
    return AddObject(nullptr, LUM_DB_KIND_AVAIL_IF, {{1, type}, {3, name}});
  }
  static uint32_t AddLanDevice() { return AddObject(nullptr, LUM_DB_KIND_LANDEVICE, {}); }
  static void AddBridgeNumber(uint32_t ulLanDev, uint32_t ulNumber) {
    const uint32_t aulParent[LUM_DB_KEYS] = {ulLanDev};
    (void)AddObject(aulParent, LUM_DB_KIND_BRIDGE_NUM, {}, {{0, ulNumber}});
  }
  static uint32_t AddEthIf(uint32_t ulLanDev, const std::string &name, uint32_t ulEnable = 1) {
    const uint32_t aulParent[LUM_DB_KEYS] = {ulLanDev};
    return AddObject(aulParent, LUM_DB_KIND_LAN_ETH_IF, {{2, name}}, {{0, ulEnable}});
  }
  static uint32_t AddWlanIf(uint32_t ulLanDev, const std::string &name, uint32_t ulEnable) {
    const uint32_t aulParent[LUM_DB_KEYS] = {ulLanDev};
    return AddObject(aulParent, LUM_DB_KIND_WLAN_CFG, {{2, name}}, {{0, ulEnable}});
  }

  // A host on the port, with a MAC ending in n.
  static MacAddressItem *AddHost(Port *pstPort, uint8_t n) {
    const uint8_t aucMac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, n};
    return LUM_HOSTMON_MACAddressNew(pstPort, aucMac);
  }
  static size_t HostCount(const Port *pstPort) {
    size_t count = 0;
    for (MacAddressItem *p = LUM_HOSTMON_GetMacList(); p != nullptr; p = p->pstNext) {
      if (p->pstPort == pstPort) ++count;
    }
    return count;
  }
  static size_t HostCount() { return LUM_UTIL_ListGetCount(LUM_HOSTMON_GetMacList()); }

  static std::vector<std::string> BridgeNames() {
    std::vector<std::string> names;
    for (Bridge *p = LUM_HOSTMON_GetBridgeList(); p != nullptr; p = p->pstNext) {
      names.emplace_back(p->pcName);
    }
    return names;
  }
  // "port@bridge" for every port, in list order.
  static std::vector<std::string> PortPlaces() {
    std::vector<std::string> places;
    for (Port *p = LUM_HOSTMON_GetPortList(); p != nullptr; p = p->pstNext) {
      places.push_back(std::string(p->pcName) + "@" + p->pstBridge->pcName);
    }
    return places;
  }

  // The trace lines that start with prefix, in order (the platform traces too).
  static std::vector<std::string> TracesStartingWith(const std::string &prefix) {
    std::vector<std::string> lines;
    for (const std::string &line : lum::testing::TraceLines()) {
      if (line.starts_with(prefix)) lines.push_back(line);
    }
    return lines;
  }
  // Position of a trace line, or -1; for checking the order of steps.
  static long TraceIndex(const std::string &line) {
    const auto &lines = lum::testing::TraceLines();
    auto it = std::find(lines.begin(), lines.end(), line);
    return it == lines.end() ? -1 : static_cast<long>(it - lines.begin());
  }

  lum::testing::Sandbox m_sandbox;
  lum::testing::FakeNet m_net;
  faketest::FakeSys m_sys;
};

}  // namespace topotest
