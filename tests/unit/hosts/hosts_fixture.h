// A LAN for the host table tests: bridge br0 (192.168.1.1) with ports eth0 and
// eth1, built as plain records, the kernel faked, the clock manual.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "hosts/hosts.h"
#include "main/hostmon.h"
#include "platform/testing.h"
#include "tests/unit/common/fakesys.h"

namespace hoststest {

using Addr = std::array<uint8_t, 16>;
using Mac = std::array<uint8_t, 6>;

inline Addr Ip4(const char *pcText) {
  Addr addr{};
  EXPECT_EQ(inet_pton(AF_INET, pcText, addr.data()), 1) << pcText;
  return addr;
}

inline Addr Ip6(const char *pcText) {
  Addr addr{};
  EXPECT_EQ(inet_pton(AF_INET6, pcText, addr.data()), 1) << pcText;
  return addr;
}

inline uint32_t Word(const char *pcText) {
  uint32_t ulAddr = 0;
  EXPECT_EQ(inet_pton(AF_INET, pcText, &ulAddr), 1) << pcText;
  return ulAddr;
}

// aa:bb:cc:dd:ee:<last>
inline Mac MacOf(uint8_t ucLast, uint8_t ucFifth = 0xEE) {
  return Mac{0xAA, 0xBB, 0xCC, 0xDD, ucFifth, ucLast};
}

inline constexpr Mac kBridgeMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

class HostTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HostmonSetOvanetWanIp(0);
    m_stBridge.pcName = m_acBr0;
    memcpy(m_stBridge.aucMac, kBridgeMac.data(), 6);
    m_stBridge.ulIpAddr = Word("192.168.1.1");
    m_stPort = {nullptr, m_acEth0, nullptr, &m_stBridge};
    m_stPort2 = {nullptr, m_acEth1, nullptr, &m_stBridge};
    faketest::FakeInterface stIf{};
    memcpy(stIf.aucMac, kBridgeMac.data(), 6);
    stIf.ulIpAddr = m_stBridge.ulIpAddr;
    m_sys.interfaces["br0"] = stIf;
    // The timer handle may belong to an earlier sandbox: settle it on an empty table.
    ClearTable();
    LUM_HOSTMON_SetTimeQuotaList("");
    LUM_HOSTMON_TimerUpdate();
    lum::testing::TraceLines().clear();
    lum::testing::MlogLines().clear();
  }

  void TearDown() override {
    ClearTable();
    LUM_HOSTMON_SetTimeQuotaList("");
    HostmonSetOvanetWanIp(0);
  }

  static void ClearTable() {
    while (LUM_HOSTMON_GetMacList() != nullptr) LUM_HOSTMON_MACAddressDel(LUM_HOSTMON_GetMacList());
  }

  // An item with one address, as learning makes it.
  MacAddressItem *Host(const Mac &mac, const Addr &addr, uint32_t ulFamily = HOSTMON_AF_INET,
                       Port *pstPort = nullptr) {
    MacAddressItem *pstItem =
        LUM_HOSTMON_MACAddressNew(pstPort != nullptr ? pstPort : m_pstPort, mac.data());
    EXPECT_NE(pstItem, nullptr);
    if (pstItem != nullptr) {
      EXPECT_NE(LUM_HOSTMON_MACAddressAddIP(pstItem, ulFamily, addr.data()), nullptr);
    }
    return pstItem;
  }

  static uint32_t Now() { return LUM_UTIL_GetSysUpTime(); }

  static size_t CountItems() { return LUM_UTIL_ListGetCount(LUM_HOSTMON_GetMacList()); }

  static size_t CountLines(const std::string &text) {
    size_t n = 0;
    for (const std::string &line : lum::testing::TraceLines()) n += line == text ? 1 : 0;
    return n;
  }

  lum::testing::Sandbox m_sandbox;
  faketest::FakeSys m_sys;  // after the sandbox, which restores the real calls
  char m_acBr0[4] = "br0", m_acEth0[5] = "eth0", m_acEth1[5] = "eth1";
  Bridge m_stBridge{};
  Port m_stPort{}, m_stPort2{};
  Port *m_pstPort = &m_stPort;
  Port *m_pstPort2 = &m_stPort2;
};

}  // namespace hoststest
