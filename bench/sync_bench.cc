// The sync pass on a full picture: 254 hosts on br0, each with an IPv4, a
// link-local and a global IPv6 address; 64 host objects, all active, match 64
// of them, so a steady pass refreshes 64 objects and the add step finds no
// room. Manual clock (the 400 ms pauses cost nothing), tracing off, the
// neighbours files under a temporary root (TMPDIR; a tmpfs there gives the
// gateway's cost, as its /var is one). Also: the neighbours files alone,
// and a new host's first ARP frame through learning and its pass.
//
// Allocations are counted by a malloc family that forwards to glibc's own
// entry points, so every allocation of the process (C++ new, stdio) counts.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "arp/arp.h"
#include "dbsync/dbsync.h"
#include "hosts/hosts.h"
#include "main/hostmon.h"
#include "platform/lumdb.h"
#include "platform/sys.h"
#include "platform/testing.h"
#include "tests/common/dbfill.h"
#include "tests/common/leases_writer.h"
#include "tests/common/nullsockets.h"
#include "topology/topology.h"

extern "C" {
void *__libc_malloc(size_t ulSize);
void *__libc_calloc(size_t ulCount, size_t ulSize);
void *__libc_realloc(void *pvOld, size_t ulSize);
void __libc_free(void *pvMem);
}

namespace {
// Constant-initialised: malloc may run before any constructor.
std::atomic<uint64_t> g_ulAllocs{0};
}  // namespace

extern "C" {
void *malloc(size_t ulSize) noexcept {
  g_ulAllocs.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(ulSize);
}
void *calloc(size_t ulCount, size_t ulSize) noexcept {
  g_ulAllocs.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(ulCount, ulSize);
}
void *realloc(void *pvOld, size_t ulSize) noexcept {
  g_ulAllocs.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(pvOld, ulSize);
}
void free(void *pvMem) noexcept { __libc_free(pvMem); }
}

namespace {

constexpr uint32_t kBridgeAddr = 0xC0A80101;  // 192.168.1.1
constexpr size_t kHosts = 254;
constexpr size_t kHostObjects = 64;
// The host whose first frame the ARP benchmark feeds; it has no object.
constexpr size_t kNewHost = 252;

std::array<uint8_t, 6> HostMac(size_t i) {
  return {0x00, 0x16, 0x3E, 0x20, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
}
std::string MacText(size_t i) {
  const std::array<uint8_t, 6> mac = HostMac(i);
  char acText[18];
  snprintf(acText, sizeof(acText), "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3],
           mac[4], mac[5]);
  return acText;
}
// 192.168.1.2 to .254; the last host sits outside the bridge's /24.
uint32_t HostAddrHostOrder(size_t i) {
  return i < 253 ? 0xC0A80102 + static_cast<uint32_t>(i) : 0x0A000001;
}

// The key lists of every IPv6 address object: a pass that rewrites a host's
// addresses gives them new instance numbers.
std::set<std::array<uint32_t, 3>> Ipv6Keys() {
  std::set<std::array<uint32_t, 3>> keys;
  for (uint32_t ulSeq = 0;; ++ulSeq) {
    LUM_DB_SLOT *pstValue = nullptr;
    uint32_t aulKeys[LUM_DB_KEYS] = {};
    if (LUM_DBGetObjectBySeqNum(nullptr, LUM_DB_KIND_HOST_IPV6, ulSeq, &pstValue, 0, 0, aulKeys) !=
        0) {
      break;
    }
    LUM_KEM_FreeObj(LUM_DB_KIND_HOST_IPV6, pstValue);
    keys.insert({aulKeys[0], aulKeys[1], aulKeys[2]});
  }
  return keys;
}

class World {
 public:
  World() {
    nullsockets::Install();
    m_net.bridges = {"br0"};
    lum::testing::UseFakeNet(&m_net);
    g_bLumTraceOn = false;
    if (!m_root.Ok() || !leasestest::MakeParents(m_root.Root() + HOSTMON_NEIGHBORS_FILE)) abort();

    Bridge *pstBr = LUM_HOSTMON_BridgeAdd("br0");
    Port *apstPorts[2] = {LUM_HOSTMON_PortAdd(pstBr, "eth0"), LUM_HOSTMON_PortAdd(pstBr, "eth1")};
    if (pstBr == nullptr || apstPorts[0] == nullptr || apstPorts[1] == nullptr) abort();

    const uint32_t ulDev = AddObject(nullptr, LUM_DB_KIND_LANDEVICE, {}, {});
    const uint32_t aulDev[LUM_DB_KEYS] = {ulDev};
    (void)AddObject(aulDev, LUM_DB_KIND_BRIDGE_NUM, {}, {{0, 0}});
    (void)AddObject(aulDev, LUM_DB_KIND_LAN_ETH_IF, {{2, "eth0"}}, {{0, 1}});
    (void)AddObject(aulDev, LUM_DB_KIND_LAN_ETH_IF, {{2, "eth1"}}, {{0, 1}});

    for (size_t i = 0; i < kHosts; ++i) AddHost(i);

    // Objects for a random 64 of the hosts, so that the walk's look-ups reach
    // across the whole table.
    std::mt19937 rng(20240);
    std::vector<size_t> known;
    for (size_t i = 0; i < kHosts; ++i) {
      if (i != kNewHost) known.push_back(i);
    }
    std::shuffle(known.begin(), known.end(), rng);
    known.resize(kHostObjects);
    for (size_t i : known) (void)AddObject(aulDev, LUM_DB_KIND_HOST, {{5, MacText(i)}}, {});

    for (size_t i = 0; i < kHosts; ++i) {
      m_leases.push_back(
          leasestest::MakeRecord({HostAddrHostOrder(i), 0xFFFFFFFF, MacText(i), MacText(i),
                                  "vendor", "host-" + std::to_string(i), "br0"}));
    }
    std::shuffle(m_leases.begin(), m_leases.end(), rng);

    // The new host's request for the gateway's address, from eth0.
    const std::array<uint8_t, 6> mac = HostMac(kNewHost);
    memset(&m_frame[0], 0xFF, 6);
    memcpy(&m_frame[6], mac.data(), 6);
    const uint8_t aucHead[] = {0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x01};
    memcpy(&m_frame[12], aucHead, sizeof(aucHead));
    memcpy(&m_frame[22], mac.data(), 6);
    const uint32_t ulSender = htonl(HostAddrHostOrder(kNewHost));
    const uint32_t ulTarget = htonl(kBridgeAddr);
    memcpy(&m_frame[28], &ulSender, 4);
    memcpy(&m_frame[38], &ulTarget, 4);

    Settle();
  }

  // The first pass fills the 64 objects (with their notices); the second must
  // change nothing yet rewrite every object's IPv6 addresses.
  void Settle() {
    (void)HostmonSyncWithDb(0);
    Clear();
    const uint64_t ulSlept = lum::testing::SleptMs();
    const std::set<std::array<uint32_t, 3>> before = Ipv6Keys();
    (void)HostmonSyncWithDb(0);
    const std::set<std::array<uint32_t, 3>> after = Ipv6Keys();
    uint32_t ulObjects = 0;
    if (LUM_DBGetNumOfObjs(nullptr, LUM_DB_KIND_HOST, &ulObjects, nullptr) != 0) abort();
    bool bAllActive = true;
    for (uint32_t ulSeq = 0; ulSeq < ulObjects; ++ulSeq) {
      LUM_DB_SLOT *pstValue = nullptr;
      if (LUM_DBGetObjectBySeqNum(nullptr, LUM_DB_KIND_HOST, ulSeq, &pstValue, 0, 0, nullptr) !=
          0) {
        abort();
      }
      bAllActive = bAllActive && pstValue[HOSTMON_HOST_SLOT_IPV4_ACTIVE].ulNum == 1 &&
                   pstValue[HOSTMON_HOST_SLOT_IPV6_ACTIVE].ulNum == 1;
      LUM_KEM_FreeObj(LUM_DB_KIND_HOST, pstValue);
    }
    std::vector<std::array<uint32_t, 3>> common;
    std::set_intersection(before.begin(), before.end(), after.begin(), after.end(),
                          std::back_inserter(common));
    if (ulObjects != kHostObjects || !bAllActive || before.size() != 2 * kHostObjects ||
        after.size() != 2 * kHostObjects || !common.empty() ||
        !lum::testing::SentMessages().empty() || lum::testing::SleptMs() != ulSlept ||
        HostmonDbSaveNeeded() != 0) {
      fprintf(stderr, "the steady pass is not what it should be: %u objects, %zu/%zu addresses\n",
              ulObjects, before.size(), after.size());
      abort();
    }
  }

  void UseLeases(bool bOn) {
    if (bOn) {
      if (!leasestest::WriteLeases(m_root.LeasesPath(), m_leases)) abort();
    } else {
      m_root.RemoveLeases();
    }
    HostmonLeasesWatchDrain();
  }

  // The bus and the logs keep what a run sends; the benchmarks drop it.
  static void Clear() {
    lum::testing::SentMessages().clear();
    lum::testing::MlogLines().clear();
    lum::testing::EventRecords().clear();
    lum::testing::TraceLines().clear();
    lum::testing::PrivilegeCalls().clear();
  }

  const uint8_t *NewHostFrame() const { return m_frame.data(); }
  static MacAddressItem *NewHostItem() {
    const std::array<uint8_t, 6> mac = HostMac(kNewHost);
    return LUM_HOSTMON_MACAddressGet(mac.data());
  }
  // Back as the pass benchmarks want it, with its three addresses.
  static void RestoreNewHost() {
    if (NewHostItem() == nullptr) AddHost(kNewHost);
  }
  static size_t Items() { return LUM_UTIL_ListGetCount(LUM_HOSTMON_GetMacList()); }

 private:
  static void AddHost(size_t i) {
    const std::array<uint8_t, 6> mac = HostMac(i);
    MacAddressItem *pstItem =
        LUM_HOSTMON_MACAddressNew(LUM_HOSTMON_PortFind(i % 2 == 0 ? "eth0" : "eth1"), mac.data());
    if (pstItem == nullptr) abort();
    uint8_t aucV4[16] = {};
    const uint32_t ulNet = htonl(HostAddrHostOrder(i));
    memcpy(aucV4, &ulNet, 4);
    uint8_t aucLinkLocal[16] = {0xFE, 0x80};
    uint8_t aucGlobal[16] = {0x20, 0x01, 0x0D, 0xB8};
    for (uint8_t *pucAddr : {aucLinkLocal, aucGlobal}) {
      memcpy(&pucAddr[10], mac.data(), 6);
      pucAddr[8] = 0x02;
    }
    if (LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET, aucV4) == nullptr ||
        LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET6, aucLinkLocal) == nullptr ||
        LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET6, aucGlobal) == nullptr) {
      abort();
    }
  }

  static uint32_t AddObject(const uint32_t *pulParent, uint32_t ulKind,
                            const std::vector<std::pair<uint32_t, std::string>> &texts,
                            const std::vector<std::pair<uint32_t, uint32_t>> &numbers) {
    uint32_t ulInst = 0;
    if (dbfill::AddObject(pulParent, ulKind, texts, numbers, &ulInst) != 0) abort();
    return ulInst;
  }

  lum::testing::Sandbox m_sandbox;
  lum::testing::FakeNet m_net;
  leasestest::ScopedFixedRoot m_root;
  std::vector<HostInfo> m_leases;
  std::array<uint8_t, HOSTMON_ARP_FRAME_LEN> m_frame{};
};

World &TheWorld() {
  static World world;
  return world;
}

void Report(benchmark::State &state, uint64_t ulAllocs) {
  state.counters["allocs/pass"] =
      benchmark::Counter(static_cast<double>(ulAllocs), benchmark::Counter::kAvgIterations);
  state.counters["passes/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// One steady pass: 254 items, 64 objects refreshed, nothing added.
void BM_SyncPass(benchmark::State &state) {
  World &world = TheWorld();
  world.UseLeases(false);
  World::RestoreNewHost();
  const uint64_t ulStart = g_ulAllocs.load(std::memory_order_relaxed);
  for (auto _ : state) (void)HostmonSyncWithDb(0);
  Report(state, g_ulAllocs.load(std::memory_order_relaxed) - ulStart);
  if (!lum::testing::SentMessages().empty()) state.SkipWithError("a steady pass sent a notice");
  if (World::Items() != kHosts) state.SkipWithError("the host table changed");
}
BENCHMARK(BM_SyncPass)->Unit(benchmark::kMicrosecond);

// The first step of every pass: both neighbours files, 3 x 254 lines each.
void BM_WriteNeighbors(benchmark::State &state) {
  (void)TheWorld();
  World::RestoreNewHost();
  const uint64_t ulStart = g_ulAllocs.load(std::memory_order_relaxed);
  for (auto _ : state) HostmonWriteNeighbors(HOSTMON_AF_INET);
  Report(state, g_ulAllocs.load(std::memory_order_relaxed) - ulStart);
}
BENCHMARK(BM_WriteNeighbors)->Unit(benchmark::kMicrosecond);

// The world of the new-host benchmarks, with or without a leases file, and
// without the new host.
World &NewHostWorld(benchmark::State &state) {
  World &world = TheWorld();
  world.UseLeases(state.range(0) != 0);
  MacAddressItem *pstOld = World::NewHostItem();
  if (pstOld != nullptr) LUM_HOSTMON_MACAddressDel(pstOld);
  return world;
}

// Untimed: takes the new host out again; false (the benchmark failed) when the
// timed step did not add it as expected.
bool ForgetNewHost(benchmark::State &state, bool bAsExpected, const char *pcWhy) {
  state.PauseTiming();
  MacAddressItem *pstNew = World::NewHostItem();
  if (pstNew == nullptr || !bAsExpected) {
    state.SkipWithError(pcWhy);
    return false;
  }
  LUM_HOSTMON_MACAddressDel(pstNew);
  World::Clear();
  state.ResumeTiming();
  return true;
}

// A new host's first ARP request for the gateway, 253 hosts known: learning,
// the leases-file read, the ageing timer and the pass (files written, 64
// objects refreshed, no room for the new one). The item is removed untimed.
void BM_NewHostArp(benchmark::State &state) {
  World &world = NewHostWorld(state);
  uint64_t ulAllocs = 0;
  for (auto _ : state) {
    const uint64_t ulStart = g_ulAllocs.load(std::memory_order_relaxed);
    HostmonArpInput(world.NewHostFrame(), "eth0");
    ulAllocs += g_ulAllocs.load(std::memory_order_relaxed) - ulStart;
    if (!ForgetNewHost(state, World::Items() == kHosts, "the frame did not add the host")) break;
  }
  Report(state, ulAllocs);
  World::RestoreNewHost();
}
BENCHMARK(BM_NewHostArp)->ArgName("leases")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// What comes before the pass for the same frame: learning (with its
// leases-file read) and the ageing timer. With BM_WriteNeighbors, the time
// from the frame to both files.
void BM_NewHostLearn(benchmark::State &state) {
  World &world = NewHostWorld(state);
  Port *pstPort = LUM_HOSTMON_PortFind("eth0");
  const uint8_t *pucFrame = world.NewHostFrame();
  uint8_t aucAddr[16] = {};
  memcpy(aucAddr, &pucFrame[28], 4);
  uint64_t ulAllocs = 0;
  for (auto _ : state) {
    const uint64_t ulStart = g_ulAllocs.load(std::memory_order_relaxed);
    if (HostmonLearnHost(pstPort->pstBridge, pstPort, &pucFrame[22], HOSTMON_AF_INET, aucAddr) !=
        0) {
      LUM_HOSTMON_TimerUpdate();
    }
    ulAllocs += g_ulAllocs.load(std::memory_order_relaxed) - ulStart;
    if (!ForgetNewHost(state, true, "learning did not add the host")) break;
  }
  Report(state, ulAllocs);
  World::RestoreNewHost();
}
BENCHMARK(BM_NewHostLearn)->ArgName("leases")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
