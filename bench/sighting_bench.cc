// Sightings of known hosts per second through the whole ARP receive path after
// recvfrom: attribution, the conflict hook, learning with its database walks
// and its leases-file read. The picture is a full one: 254 hosts on br0, 64 of
// them with a host object in the database, a 254-record leases file in random
// order. Tracing is off. Variants: with and without the leases file; frames
// reported under the port's name or under "br0" (forwarding-table attribution).
//
// Neighbor Advertisements from the same known hosts (each also holds an IPv6
// address) go through the ICMPv6 receive path after recvfrom, always through
// the forwarding table: either the test double or, as root, the kernel's, in a
// network namespace of the benchmark's own (a bridge with two veth ports and a
// static entry per host) that ends with the process.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <ftw.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "arp/arp.h"
#include "hosts/hosts.h"
#include "main/hostmon.h"
#include "nd6/nd6.h"
#include "platform/lumdb.h"
#include "platform/sys.h"
#include "platform/testing.h"
#include "tests/common/dbfill.h"
#include "tests/common/leases_writer.h"
#include "tests/common/nullsockets.h"
#include "topology/topology.h"

namespace {

constexpr size_t kHosts = 254;
constexpr size_t kHostObjects = 64;
constexpr size_t kSightings = 4096;

std::array<uint8_t, 6> HostMac(size_t i) {
  return {0x00, 0x16, 0x3E, 0x10, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
}
// Host i: 192.168.1.(i + 2); the last one sits outside the bridge's /24.
uint32_t HostAddrHostOrder(size_t i) {
  return i + 2 < 255 ? 0xC0A80100 + static_cast<uint32_t>(i + 2) : 0x0A000001;
}
std::string MacText(const std::array<uint8_t, 6> &mac) {
  char acText[18];
  snprintf(acText, sizeof(acText), "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3],
           mac[4], mac[5]);
  return acText;
}
std::array<uint8_t, 16> HostAddr6(size_t i) {
  return {0x20,
          0x01,
          0x0D,
          0xB8,
          0,
          1,
          0,
          0,
          0,
          0,
          0,
          0,
          0,
          0,
          static_cast<uint8_t>(i >> 8),
          static_cast<uint8_t>(i + 2)};
}
std::string AddrText(uint32_t ulHostOrder) {
  const uint32_t ulNet = htonl(ulHostOrder);
  char acText[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &ulNet, acText, sizeof(acText));
  return acText;
}

struct Sighting {
  std::array<uint8_t, HOSTMON_ARP_FRAME_LEN> frame;
  const char *pcPort;
};

// An advertisement with a Target Link-Layer Address option, and its source.
struct Advert {
  std::array<uint8_t, 32> msg;
  std::array<uint8_t, 16> source;
};

class World {
 public:
  World() {
    nullsockets::Install();
    m_net.bridges = {"br0"};
    lum::testing::UseFakeNet(&m_net);
    g_bLumTraceOn = false;

    Bridge *pstBr = LUM_HOSTMON_BridgeAdd("br0");
    Port *apstPorts[2] = {LUM_HOSTMON_PortAdd(pstBr, "eth0"), LUM_HOSTMON_PortAdd(pstBr, "eth1")};
    if (pstBr == nullptr || apstPorts[0] == nullptr || apstPorts[1] == nullptr) abort();

    std::mt19937 rng(20240);
    std::vector<HostInfo> records;
    for (size_t i = 0; i < kHosts; ++i) {
      const std::array<uint8_t, 6> mac = HostMac(i);
      Port *pstPort = apstPorts[i % 2];
      MacAddressItem *pstItem = LUM_HOSTMON_MACAddressNew(pstPort, mac.data());
      uint8_t aucAddr[16] = {};
      const uint32_t ulNet = htonl(HostAddrHostOrder(i));
      memcpy(aucAddr, &ulNet, 4);
      if (pstItem == nullptr ||
          LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET, aucAddr) == nullptr ||
          LUM_HOSTMON_MACAddressAddIP(pstItem, HOSTMON_AF_INET6, HostAddr6(i).data()) == nullptr) {
        abort();
      }
      records.push_back(
          leasestest::MakeRecord({HostAddrHostOrder(i), 0xFFFFFFFF, MacText(mac), MacText(mac),
                                  "vendor", "host-" + std::to_string(i), "br0"}));
    }
    std::shuffle(records.begin(), records.end(), rng);
    m_leases = records;

    const uint32_t ulDev = AddObject(nullptr, LUM_DB_KIND_LANDEVICE, {});
    const uint32_t aulParent[LUM_DB_KEYS] = {ulDev};
    std::vector<size_t> known(kHosts - 1);
    for (size_t i = 0; i < known.size(); ++i) known[i] = i;
    std::shuffle(known.begin(), known.end(), rng);
    known.resize(kHostObjects);
    for (size_t i : known) {
      (void)AddObject(aulParent, LUM_DB_KIND_HOST,
                      {{0, AddrText(HostAddrHostOrder(i))},
                       {5, MacText(HostMac(i))},
                       {6, MacText(HostMac(i))},
                       {12, "Ethernet"}});
      m_net.fdb["br0/" + MacText(HostMac(i))] = i % 2 == 0 ? "eth0" : "eth1";
    }
    m_known = known;

    for (size_t n = 0; n < kSightings; ++n) {
      const size_t i = known[rng() % known.size()];
      const std::array<uint8_t, 6> mac = HostMac(i);
      Sighting s{};
      memset(&s.frame[0], 0xFF, 6);
      memcpy(&s.frame[6], mac.data(), 6);
      const uint8_t aucHead[] = {0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x01};
      memcpy(&s.frame[12], aucHead, sizeof(aucHead));
      memcpy(&s.frame[22], mac.data(), 6);
      const uint32_t ulSender = htonl(HostAddrHostOrder(i));
      const uint32_t ulTarget = htonl(0xC0A80101);
      memcpy(&s.frame[28], &ulSender, 4);
      memcpy(&s.frame[38], &ulTarget, 4);
      s.pcPort = i % 2 == 0 ? "eth0" : "eth1";
      m_sightings.push_back(s);

      Advert a{};
      a.msg[0] = 136;
      a.msg[4] = 0x60;  // solicited, override
      a.source = HostAddr6(i);
      memcpy(&a.msg[8], a.source.data(), 16);
      a.msg[24] = 2;
      a.msg[25] = 1;
      memcpy(&a.msg[26], mac.data(), 6);
      m_adverts.push_back(a);
    }
  }

  // The kernel's forwarding table instead of the double's: a namespace of
  // this process's own, so nothing outlives it. False when it cannot be made.
  bool UseKernelFdb() {
    if (m_bKernel) return true;
    if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0) return false;
    std::string batch =
        "link add br0 type bridge\nlink set br0 up\n"
        "link add eth0 type veth peer name p0\nlink add eth1 type veth peer name p1\n"
        "link set eth0 master br0\nlink set eth1 master br0\n"
        "link set eth0 up\nlink set eth1 up\nlink set p0 up\nlink set p1 up\n";
    FILE *ip = popen("ip -batch - >/dev/null 2>&1", "w");
    if (ip == nullptr) return false;
    (void)fputs(batch.c_str(), ip);
    if (pclose(ip) != 0) return false;
    FILE *fdb = popen("bridge -batch - >/dev/null 2>&1", "w");
    if (fdb == nullptr) return false;
    for (size_t i : m_known) {
      (void)fprintf(fdb, "fdb add %s dev %s master static\n", MacText(HostMac(i)).c_str(),
                    i % 2 == 0 ? "eth0" : "eth1");
    }
    if (pclose(fdb) != 0) return false;
    lum::testing::UseRealNet();
    m_bKernel = true;
    return true;
  }

  static void Input(const Advert &a) {
    HostmonIcmp6Input(LUM_HOSTMON_GetBridgeList(), a.msg.data(), a.msg.size(), a.source.data());
  }
  const std::vector<Advert> &Adverts() const { return m_adverts; }

  void UseLeases(bool bOn) {
    if (bOn) {
      if (!leasestest::WriteLeases(m_root.LeasesPath(), m_leases)) abort();
    } else {
      m_root.RemoveLeases();
    }
    HostmonLeasesWatchDrain();
    // Settle every item once, then check that a sighting changes nothing.
    for (const Sighting &s : m_sightings) Input(s, false);
    for (size_t n = 0; n < 64; ++n) {
      const Sighting &s = m_sightings[n];
      Port *pstPort = LUM_HOSTMON_PortFind(s.pcPort);
      uint8_t aucAddr[16] = {};
      memcpy(aucAddr, &s.frame[28], 4);
      if (HostmonLearnHost(pstPort->pstBridge, pstPort, &s.frame[22], HOSTMON_AF_INET, aucAddr) !=
          0) {
        fprintf(stderr, "a sighting of a known host still asks for a sync\n");
        abort();
      }
    }
  }

  static void Input(const Sighting &s, bool bBridgeName) {
    HostmonArpInput(s.frame.data(), bBridgeName ? "br0" : s.pcPort);
  }

  const std::vector<Sighting> &Sightings() const { return m_sightings; }
  size_t Items() const { return LUM_UTIL_ListGetCount(LUM_HOSTMON_GetMacList()); }

 private:
  static uint32_t AddObject(const uint32_t *pulParent, uint32_t ulKind,
                            const std::vector<std::pair<uint32_t, std::string>> &texts) {
    uint32_t ulInst = 0;
    if (dbfill::AddObject(pulParent, ulKind, texts, {}, &ulInst) != 0) abort();
    return ulInst;
  }

  lum::testing::Sandbox m_sandbox;
  lum::testing::FakeNet m_net;
  leasestest::ScopedFixedRoot m_root;
  std::vector<HostInfo> m_leases;
  std::vector<Sighting> m_sightings;
  std::vector<Advert> m_adverts;
  std::vector<size_t> m_known;
  bool m_bKernel = false;
};

World &TheWorld() {
  static World world;
  return world;
}

void BM_KnownHostSighting(benchmark::State &state) {
  World &world = TheWorld();
  const bool bLeases = state.range(0) != 0;
  const bool bBridgeName = state.range(1) != 0;
  world.UseLeases(bLeases);
  const std::vector<Sighting> &sightings = world.Sightings();
  size_t n = 0;
  for (auto _ : state) {
    World::Input(sightings[n], bBridgeName);
    n = (n + 1) % sightings.size();
  }
  if (world.Items() != kHosts) state.SkipWithError("the host table changed");
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_KnownHostSighting)
    ->ArgNames({"leases", "br0"})
    ->Args({1, 0})
    ->Args({0, 0})
    ->Args({1, 1})
    ->Args({0, 1})
    ->Unit(benchmark::kMicrosecond);

// Registered after the ARP benchmarks: the kernel variant leaves the process
// in its own namespace.
void BM_KnownHostAdvert(benchmark::State &state) {
  World &world = TheWorld();
  world.UseLeases(state.range(0) != 0);
  if (state.range(1) != 0 && !world.UseKernelFdb()) {
    state.SkipWithError("no namespace of our own (root needed)");
    return;
  }
  const std::vector<Advert> &adverts = world.Adverts();
  for (const Advert &a : adverts) World::Input(a);  // settle
  size_t n = 0;
  for (auto _ : state) {
    World::Input(adverts[n]);
    n = (n + 1) % adverts.size();
  }
  if (world.Items() != kHosts) state.SkipWithError("the host table changed");
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_KnownHostAdvert)
    ->ArgNames({"leases", "kernel"})
    ->Args({1, 0})
    ->Args({0, 0})
    ->Args({1, 1})
    ->Args({0, 1})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
