// The test double of the kernel queries: answers from a FakeNet the test owns.
#include <algorithm>

#include "platform/lum.h"
#include "platform/netbackend.h"
#include "platform/testing.h"

namespace {

class FakeNetBackend final : public lum::net::NetBackend {
 public:
  explicit FakeNetBackend(lum::testing::FakeNet *pNet) : m_pNet(pNet) {}

  std::vector<std::string> BridgeNames() override { return m_pNet->bridges; }

  // The interfaces whose key is the bridge's N, in name order (the map's).
  std::vector<std::string> BridgePorts(const std::string &bridge) override {
    std::vector<std::string> ports;
    std::optional<uint32_t> number = lum::net::BridgeNumber(bridge);
    if (!number) return ports;
    for (const auto &[ifname, key] : m_pNet->bridgeKeys) {
      if (key == *number) ports.push_back(ifname);
    }
    return ports;
  }

  std::optional<uint32_t> BridgeKeyOf(const std::string &ifname) override {
    auto it = m_pNet->bridgeKeys.find(ifname);
    if (it == m_pNet->bridgeKeys.end()) return std::nullopt;
    return it->second;
  }

  // "bridge/mac" keys; with no bridge named, the first key (in map order) for
  // the MAC on any bridge answers.
  std::optional<lum::net::FdbHit> FdbLookup(const lum::net::MacBytes &mac,
                                            const std::string &bridge) override {
    ++m_pNet->ulFdbQueries;
    const std::string text = lum::net::MacToLower(mac);
    // Keys written in the canonical form are found at once; the scan below
    // tolerates hand-written ones.
    if (!bridge.empty()) {
      auto exact = m_pNet->fdb.find(bridge + "/" + text);
      if (exact != m_pNet->fdb.end()) {
        lum::net::FdbHit hit;
        hit.port = exact->second;
        return hit;
      }
    }
    for (const auto &[key, port] : m_pNet->fdb) {
      const size_t slash = key.rfind('/');
      if (slash == std::string::npos || !SameMac(key.substr(slash + 1), text)) continue;
      if (!bridge.empty() && key.compare(0, slash, bridge) != 0) continue;
      lum::net::FdbHit hit;
      hit.port = port;
      return hit;
    }
    return std::nullopt;
  }

  bool StaAssociated(const lum::net::MacBytes &mac) override {
    const std::string text = lum::net::MacToLower(mac);
    return std::any_of(m_pNet->associated.begin(), m_pNet->associated.end(),
                       [&](const std::string &entry) { return SameMac(entry, text); });
  }

 private:
  // Tests write MAC texts by hand; tolerate upper case there too.
  static bool SameMac(const std::string &written, const std::string &lower) {
    std::optional<lum::net::MacBytes> mac = lum::net::ParseMac(written);
    return mac && lum::net::MacToLower(*mac) == lower;
  }

  lum::testing::FakeNet *m_pNet;
};

FakeNetBackend *g_pFake = nullptr;

}  // namespace

namespace lum::testing {

void UseFakeNet(FakeNet *pstNet) {
  if (pstNet == nullptr) {
    UseRealNet();
    return;
  }
  FakeNetBackend *previous = g_pFake;
  g_pFake = new FakeNetBackend(pstNet);
  lum::net::SetBackend(g_pFake);
  delete previous;
}

void UseRealNet() {
  lum::net::SetBackend(nullptr);
  delete g_pFake;
  g_pFake = nullptr;
}

}  // namespace lum::testing
