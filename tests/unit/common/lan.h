// The detection tests' common ground: the platform's sandbox, faked kernel
// queries and sockets, fixed paths under a temporary root, the registry and the
// host table emptied through their own API, and small builders.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "arp/arp.h"
#include "diag/diag.h"
#include "hosts/hosts.h"
#include "platform/testing.h"
#include "tests/common/dbfill.h"
#include "tests/common/leases_writer.h"
#include "tests/unit/common/fakesys.h"
#include "topology/topology.h"

namespace lantest {

using Mac = std::array<uint8_t, 6>;
using Addr = std::array<uint8_t, 16>;
using Bytes = std::vector<uint8_t>;
using Texts = std::vector<std::string>;
using lum::testing::AdvanceMs;
using lum::testing::MlogLines;
using lum::testing::PrivilegeCalls;
using lum::testing::TraceLines;

inline constexpr Mac kBrMac = {0x02, 0, 0, 0, 0, 0x01};
inline Mac HostMac(uint8_t ucLast) { return {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, ucLast}; }
inline uint32_t Ip(const std::string &text) { return inet_addr(text.c_str()); }
inline bool IsV6(const std::string &text) { return text.find(':') != std::string::npos; }
// As the table holds it: IPv4 in the first four bytes.
inline Addr A(const std::string &text) {
  Addr addr{};
  EXPECT_EQ(inet_pton(IsV6(text) ? AF_INET6 : AF_INET, text.c_str(), addr.data()), 1) << text;
  return addr;
}
inline IpAddressItem *AddIp(MacAddressItem *pstItem, const std::string &text) {
  return LUM_HOSTMON_MACAddressAddIP(pstItem, IsV6(text) ? HOSTMON_AF_INET6 : HOSTMON_AF_INET,
                                     A(text).data());
}
// An item as learning leaves it: on the port, with its addresses in order.
inline MacAddressItem *Host(const Mac &mac, Port *pstPort, const Texts &addrs = {}) {
  MacAddressItem *pstItem = LUM_HOSTMON_MACAddressNew(pstPort, mac.data());
  EXPECT_NE(pstItem, nullptr);
  for (const std::string &addr : addrs) EXPECT_NE(AddIp(pstItem, addr), nullptr) << addr;
  return pstItem;
}
inline Bytes operator+(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
inline Bytes Text(const std::string &text) {
  return Bytes(text.c_str(), text.c_str() + text.size() + 1);
}
// How often line was traced.
inline size_t Traced(const std::string &line) {
  return static_cast<size_t>(std::count(TraceLines().begin(), TraceLines().end(), line));
}
inline size_t ItemCount() { return LUM_UTIL_ListGetCount(LUM_HOSTMON_GetMacList()); }
inline Texts Addresses(const MacAddressItem *pstItem) {
  Texts out;
  for (const IpAddressItem *pstIp = pstItem->pstIpList; pstIp; pstIp = pstIp->pstNext) {
    char acText[64];
    inet_ntop(pstIp->ucFamily == HOSTMON_AF_INET6 ? AF_INET6 : AF_INET, pstIp->aucAddr, acText,
              sizeof(acText));
    out.emplace_back(acText);
  }
  return out;
}
// "mac@port address" for every address of the table, in table order; an item
// without addresses as "mac@port".
inline Texts Learnt() {
  Texts out;
  for (const MacAddressItem *p = LUM_HOSTMON_GetMacList(); p; p = p->pstNext) {
    char acMac[18];
    const uint8_t *m = p->aucMac;
    snprintf(acMac, sizeof(acMac), "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4],
             m[5]);
    const std::string where = std::string(acMac) + "@" + (p->pstPort ? p->pstPort->pcName : "-");
    for (const std::string &addr : Addresses(p)) out.push_back(where + " " + addr);
    if (p->pstIpList == nullptr) out.push_back(where);
  }
  return out;
}
// A message as the bus hands it to a handler: header, payload, then junk that
// a read past ulLen (the payload's size unless given) would take in.
inline void Deliver(void (*pfnHandler)(const MessageHeader *), uint32_t ulType,
                    const Bytes &payload, uint32_t ulData = 0, size_t ulLen = SIZE_MAX) {
  Bytes buf(sizeof(MessageHeader) + payload.size() + 64, 0xEE);
  const MessageHeader stHdr = {ulType, static_cast<uint32_t>(std::min(ulLen, payload.size())),
                               "dhcps", ulData, 0};
  memcpy(buf.data(), &stHdr, sizeof(stHdr));
  std::copy(payload.begin(), payload.end(), buf.begin() + sizeof(stHdr));
  pfnHandler(reinterpret_cast<const MessageHeader *>(buf.data()));
}
// A database object under the parent instance (0: none), with text and number
// slots; the new instance.
inline uint32_t AddObject(uint32_t ulParent, uint32_t ulKind,
                          const std::vector<std::pair<uint32_t, std::string>> &texts,
                          const std::vector<std::pair<uint32_t, uint32_t>> &numbers = {}) {
  const uint32_t aulParent[LUM_DB_KEYS] = {ulParent};
  uint32_t ulInst = 0;
  EXPECT_EQ(dbfill::AddObject(aulParent, ulKind, texts, numbers, &ulInst), 0u);
  return ulInst;
}
inline uint32_t AddLanDevice() { return AddObject(0, LUM_DB_KIND_LANDEVICE, {}); }

class NetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_root.Ok());
    lum::testing::UseFakeNet(&m_net);
    Clear();
    // The ageing timer's handle may belong to an earlier sandbox: settle it.
    LUM_HOSTMON_TimerUpdate();
  }
  void TearDown() override { Clear(); }
  static void Clear() {
    while (MacAddressItem *pstItem = LUM_HOSTMON_GetMacList()) LUM_HOSTMON_MACAddressDel(pstItem);
    while (Bridge *pstBridge = LUM_HOSTMON_GetBridgeList()) LUM_HOSTMON_BridgeDel(pstBridge);
    // The entries outlive the sandbox's timers: release them through the expiry.
    while (ConflictMac *pstEntry = HostmonGetConflictList()) HostmonConflictMacExpire(pstEntry);
    LUM_HOSTMON_SetTimeQuotaList("");
    HostmonSetOvanetWanIp(0);
    HostmonArpResetForTest();  // the sandbox drops every registration
    HostmonLeasesWatchReset();
  }
  void AddInterface(const std::string &name, const Mac &mac, uint32_t ulIp) {
    faketest::FakeInterface &stIf = m_sys.interfaces[name];
    memcpy(stIf.aucMac, mac.data(), 6);
    stIf.ulIpAddr = ulIp;
  }
  Bridge *AddBridge(const std::string &name, const Mac &mac, const std::string &ip) {
    AddInterface(name, mac, Ip(ip));
    return LUM_HOSTMON_BridgeAdd(name.c_str());
  }
  // The ARP requests sent, as "sender>target".
  Texts Arps() const {
    Texts out;
    char acSender[16], acTarget[16];
    for (const faketest::SentPacket &p : m_sys.sent) {
      if (p.bytes.size() != HOSTMON_ARP_FRAME_LEN) continue;
      inet_ntop(AF_INET, &p.bytes[28], acSender, sizeof(acSender));
      out.push_back(std::string(acSender) + ">" + inet_ntop(AF_INET, &p.bytes[38], acTarget, 16));
    }
    return out;
  }

  lum::testing::Sandbox m_sandbox;
  lum::testing::FakeNet m_net;
  faketest::FakeSys m_sys;  // after the sandbox, which restores the real calls
  leasestest::ScopedFixedRoot m_root;
};

// Bridge br0 (02:00:00:00:00:01, 192.168.1.1) with ports eth0, eth1 and wlan0.
class LanTest : public NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    ASSERT_NE(m_pstBr = AddBridge("br0", kBrMac, "192.168.1.1"), nullptr);
    m_pstEth0 = LUM_HOSTMON_PortAdd(m_pstBr, "eth0");
    m_pstEth1 = LUM_HOSTMON_PortAdd(m_pstBr, "eth1");
    m_pstWlan0 = LUM_HOSTMON_PortAdd(m_pstBr, "wlan0");
    PrivilegeCalls().clear();
    TraceLines().clear();
  }
  Bridge *m_pstBr = nullptr;
  Port *m_pstEth0 = nullptr, *m_pstEth1 = nullptr, *m_pstWlan0 = nullptr;
};

}  // namespace lantest
