// The IPv4 detection tests' LAN: bridge br0 (02:00:00:00:00:01, 192.168.1.1)
// with ports eth0, eth1 and wlan0, built through the topology's own API on a
// faked kernel; a manual clock; a leases file under a temporary root.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "arp/arp.h"
#include "diag/diag.h"
#include "hosts/hosts.h"
#include "main/hostmon.h"
#include "platform/lumdb.h"
#include "platform/sys.h"
#include "platform/testing.h"
#include "tests/common/leases_writer.h"
#include "tests/unit/common/fakesys.h"
#include "topology/topology.h"

namespace arptest {

using Mac = std::array<uint8_t, 6>;
using Addr = std::array<uint8_t, 16>;
using Frame = std::array<uint8_t, HOSTMON_ARP_FRAME_LEN>;

inline constexpr Mac kBridgeMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
inline constexpr Mac kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
inline constexpr Mac kZeroMac = {};

// aa:bb:cc:dd:ee:<last>
inline Mac HostMac(uint8_t ucLast) { return Mac{0xAA, 0xBB, 0xCC, 0xDD, 0xEE, ucLast}; }

// Network byte order, as the frames and the records hold it.
inline uint32_t Ip(const char *pcText) {
  uint32_t ulAddr = 0;
  EXPECT_EQ(inet_pton(AF_INET, pcText, &ulAddr), 1) << pcText;
  return ulAddr;
}

// The same, as a constant: a.b.c.d as the wire holds it.
constexpr uint32_t IpOf(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  if constexpr (std::endian::native == std::endian::little) {
    return uint32_t{a} | uint32_t{b} << 8 | uint32_t{c} << 16 | uint32_t{d} << 24;
  } else {
    return uint32_t{a} << 24 | uint32_t{b} << 16 | uint32_t{c} << 8 | uint32_t{d};
  }
}

inline Addr Addr4(const char *pcText) {
  Addr addr{};
  EXPECT_EQ(inet_pton(AF_INET, pcText, addr.data()), 1) << pcText;
  return addr;
}

inline Addr Addr6(const char *pcText) {
  Addr addr{};
  EXPECT_EQ(inet_pton(AF_INET6, pcText, addr.data()), 1) << pcText;
  return addr;
}

// One ARP frame as a host sends it.
struct ArpFields {
  Mac ethDst = kBroadcast;
  Mac ethSrc{};
  Mac senderMac{};
  uint32_t ulSenderIp = 0;
  Mac targetMac{};
  uint32_t ulTargetIp = 0;
  uint16_t usOp = 1;
};

inline Frame BuildFrame(const ArpFields &fields) {
  Frame f{};
  memcpy(&f[0], fields.ethDst.data(), 6);
  memcpy(&f[6], fields.ethSrc.data(), 6);
  f[12] = 0x08, f[13] = 0x06;  // ARP
  f[14] = 0x00, f[15] = 0x01;  // Ethernet
  f[16] = 0x08, f[17] = 0x00;  // IPv4
  f[18] = 6, f[19] = 4;
  f[20] = static_cast<uint8_t>(fields.usOp >> 8), f[21] = static_cast<uint8_t>(fields.usOp);
  memcpy(&f[22], fields.senderMac.data(), 6);
  memcpy(&f[28], &fields.ulSenderIp, 4);
  memcpy(&f[32], fields.targetMac.data(), 6);
  memcpy(&f[38], &fields.ulTargetIp, 4);
  return f;
}

// A request from a host to the gateway's address.
inline Frame ToGateway(const Mac &mac, const char *pcSenderIp,
                       const char *pcGateway = "192.168.1.1") {
  return BuildFrame({kBroadcast, mac, mac, Ip(pcSenderIp), kZeroMac, Ip(pcGateway)});
}

// Names parameterised cases after their pcName.
struct CaseName {
  template <class T>
  std::string operator()(const ::testing::TestParamInfo<T> &stCase) const {
    return stCase.param.pcName;
  }
};

class ArpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_root.Ok());
    lum::testing::UseFakeNet(&m_net);
    HostmonSetOvanetWanIp(0);
    AddInterface("br0", kBridgeMac, Ip("192.168.1.1"));
    m_pstBr = LUM_HOSTMON_BridgeAdd("br0");
    ASSERT_NE(m_pstBr, nullptr);
    m_pstEth0 = LUM_HOSTMON_PortAdd(m_pstBr, "eth0");
    m_pstEth1 = LUM_HOSTMON_PortAdd(m_pstBr, "eth1");
    m_pstWlan0 = LUM_HOSTMON_PortAdd(m_pstBr, "wlan0");
    ASSERT_NE(m_pstWlan0, nullptr);
    m_pfnSavedHook = ArpConflictHook;
    ArpConflictHook = nullptr;  // the conflict log has its own tests
    ClearTable();
    // The ageing timer's handle may belong to an earlier sandbox: settle it.
    LUM_HOSTMON_SetTimeQuotaList("");
    LUM_HOSTMON_TimerUpdate();
    ClearRecords();
  }

  void TearDown() override {
    ArpConflictHook = m_pfnSavedHook;
    ClearTable();
    while (LUM_HOSTMON_GetBridgeList() != nullptr) {
      LUM_HOSTMON_BridgeDel(LUM_HOSTMON_GetBridgeList());
    }
    HostmonSetOvanetWanIp(0);
  }

  void ClearRecords() {
    lum::testing::TraceLines().clear();
    lum::testing::MlogLines().clear();
    lum::testing::PrivilegeCalls().clear();
    m_sys.sent.clear();
    std::erase_if(m_sys.sockets, [](const auto &entry) { return entry.second.bClosed; });
  }

  static void ClearTable() {
    while (LUM_HOSTMON_GetMacList() != nullptr) {
      LUM_HOSTMON_MACAddressDel(LUM_HOSTMON_GetMacList());
    }
  }

  void AddInterface(const std::string &name, const Mac &mac, uint32_t ulIp) {
    faketest::FakeInterface stIf{};
    memcpy(stIf.aucMac, mac.data(), 6);
    stIf.ulIpAddr = ulIp;
    m_sys.interfaces[name] = stIf;
  }

  // A device as learning leaves it: one item on the port with its addresses.
  static MacAddressItem *Host(const Mac &mac, Port *pstPort, std::vector<Addr> addrs,
                              uint32_t ulFamily = HOSTMON_AF_INET) {
    MacAddressItem *pstItem = LUM_HOSTMON_MACAddressNew(pstPort, mac.data());
    EXPECT_NE(pstItem, nullptr);
    if (pstItem == nullptr) return nullptr;
    for (const Addr &addr : addrs) {
      EXPECT_NE(LUM_HOSTMON_MACAddressAddIP(pstItem, ulFamily, addr.data()), nullptr);
    }
    return pstItem;
  }

  static size_t ItemCount() { return LUM_UTIL_ListGetCount(LUM_HOSTMON_GetMacList()); }
  static size_t AddrCount(const MacAddressItem *pstItem) {
    return LUM_UTIL_ListGetCount(pstItem->pstIpList);
  }

  // The receive callback as the loop calls it, with the frame (any length)
  // queued on the listening socket under the interface name.
  void Receive(const std::vector<uint8_t> &bytes, const std::string &ifname) {
    if (m_iListenFd < 0) m_iListenFd = lum::sys::Socket(AF_INET, 10, htons(0x0806));
    m_sys.toReceive.push_back({bytes, ifname});
    // Even an empty frame gets a buffer: the fake copies from it.
    m_sys.toReceive.back().bytes.reserve(1);
    LUM_SOCK_REG stReg{};
    stReg.lFd = m_iListenFd;
    HostmonArpSocketProc(&stReg);
  }
  void Receive(const Frame &frame, const std::string &ifname) {
    Receive(std::vector<uint8_t>(frame.begin(), frame.end()), ifname);
  }

  // Frames sent, as sender IP words (network order) in sending order.
  std::vector<uint32_t> SentTargets() const {
    std::vector<uint32_t> targets;
    for (const faketest::SentPacket &p : m_sys.sent) {
      uint32_t ulTarget = 0;
      if (p.bytes.size() >= 42) memcpy(&ulTarget, &p.bytes[38], 4);
      targets.push_back(ulTarget);
    }
    return targets;
  }

  static size_t TraceCount(const std::string &line) {
    const auto &lines = lum::testing::TraceLines();
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
  }

  // Database fillers; each returns the new instance number.
  static uint32_t AddObject(const uint32_t *pulParent, uint32_t ulKind,
                            const std::vector<std::pair<uint32_t, std::string>> &texts) {
    LUM_DB_SLOT *pstValue = nullptr;
    EXPECT_EQ(LUM_DBGetDftObject(ulKind, &pstValue, 0), 0u);
    if (pstValue == nullptr) return 0;
    for (const auto &[slot, text] : texts) {
      EXPECT_EQ(LUM_KEM_SetObjStrValue(slot, pstValue, text.c_str()), 0u);
    }
    uint32_t ulInst = 0;
    EXPECT_EQ(LUM_DBAddObj(pulParent, ulKind, pstValue, &ulInst), 0u);
    LUM_KEM_FreeObj(ulKind, pstValue);
    return ulInst;
  }
  static uint32_t AddLanDevice() { return AddObject(nullptr, LUM_DB_KIND_LANDEVICE, {}); }
  // A host object: address text, wire MAC text, interface type text.
  static uint32_t AddHostObject(uint32_t ulLanDev, const std::string &ip, const std::string &wire,
                                const std::string &type) {
    const uint32_t aulParent[LUM_DB_KEYS] = {ulLanDev};
    return AddObject(aulParent, LUM_DB_KIND_HOST, {{0, ip}, {6, wire}, {12, type}});
  }
  static bool HostObjectExists(uint32_t ulLanDev, uint32_t ulHost) {
    const uint32_t aulKeys[LUM_DB_KEYS] = {ulLanDev, ulHost};
    LUM_DB_SLOT *pstValue = nullptr;
    if (LUM_DBGetObj(aulKeys, LUM_DB_KIND_HOST, &pstValue, 0) != 0) return false;
    LUM_KEM_FreeObj(LUM_DB_KIND_HOST, pstValue);
    return true;
  }

  lum::testing::Sandbox m_sandbox;
  lum::testing::FakeNet m_net;
  faketest::FakeSys m_sys;  // after the sandbox, which restores the real calls
  leasestest::ScopedFixedRoot m_root;
  Bridge *m_pstBr = nullptr;
  Port *m_pstEth0 = nullptr;
  Port *m_pstEth1 = nullptr;
  Port *m_pstWlan0 = nullptr;
  int m_iListenFd = -1;
  HostmonArpConflictHookFn m_pfnSavedHook = nullptr;
};

}  // namespace arptest
