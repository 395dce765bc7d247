// The conflict-MAC log (which ARP packets are logged, and how the five-minute
// memory of 100 pairs limits it) and the debug "show" command's exact lines.
#include <algorithm>
#include <cstdio>
#include <tuple>
#include <utility>

#include "tests/unit/common/lan.h"

namespace lantest {
namespace {

using lum::testing::EventRecords;

constexpr const char *kForeignMac = "02:00:00:00:00:07";

class DiagTest : public LanTest {
 protected:
  void SetUp() override {
    LanTest::SetUp();
    ASSERT_NE(m_pstBr1 = AddBridge("br1", {0x02, 0, 0, 0, 0xFF, 0x01}, "10.0.0.1"), nullptr);
  }
  static void Hook(const char *pcSender, const char *pcTarget, const char *pcMac) {
    ASSERT_NE(ArpConflictHook, nullptr);
    ArpConflictHook(Ip(pcSender), Ip(pcTarget), pcMac);
  }
  static size_t Count() { return LUM_UTIL_ListGetCount(HostmonGetConflictList()); }
  static std::string Show() {
    EXPECT_EQ(lum::testing::RunDebugCommand("test", "show"), 0);
    return std::exchange(lum::testing::DebugOutput(), "");
  }
  Bridge *m_pstBr1 = nullptr;
};

TEST_F(DiagTest, ConflictIsAForeignMacUsingOrProbingForABridgeAddress) {
  Hook("192.168.1.1", "192.168.1.20", "02:00:00:00:00:01");  // the gateway's own packets
  Hook("0.0.0.0", "10.0.0.1", "02:00:00:00:FF:01");          // MAC in any case
  Hook("192.168.1.20", "192.168.1.1", kForeignMac);  // a sender not a bridge's: target ignored
  Hook("0.0.0.0", "192.168.1.30", kForeignMac);
  EXPECT_TRUE(EventRecords().empty());

  Hook("192.168.1.1", "192.168.1.20", kForeignMac);
  Hook("0.0.0.0", "10.0.0.1", kForeignMac);  // a probe: under the probed address
  ASSERT_EQ(EventRecords().size(), 2u);
  EXPECT_EQ(EventRecords()[0].ulId, 0x70000000u);
  EXPECT_EQ(EventRecords()[0].args, (Texts{"192.168.1.1", "02:00:00:**:**:07"}));
  EXPECT_EQ(EventRecords()[1].args[0], "10.0.0.1");
}

TEST_F(DiagTest, SamePairIsLoggedOnceUntilItsOwnEntryExpires) {
  Hook("192.168.1.1", "192.168.1.20", kForeignMac);
  Hook("0.0.0.0", "192.168.1.1", kForeignMac);  // same pair through a probe
  AdvanceMs(100000);
  Hook("192.168.1.1", "0.0.0.0", "02:00:00:00:00:0b");
  AdvanceMs(199999);
  Hook("192.168.1.1", "192.168.1.21", kForeignMac);
  EXPECT_EQ(EventRecords().size(), 2u);
  AdvanceMs(1);
  EXPECT_EQ(LUM_HOSTMON_FindConflictMac(Ip("192.168.1.1"), kForeignMac), nullptr);
  EXPECT_NE(LUM_HOSTMON_FindConflictMac(Ip("192.168.1.1"), "02:00:00:00:00:0b"), nullptr);
  Hook("192.168.1.1", "192.168.1.21", kForeignMac);
  EXPECT_EQ(EventRecords().size(), 3u);
  AdvanceMs(300000);
  EXPECT_EQ(Count(), 0u);
}

TEST_F(DiagTest, HundredPairsAreRememberedAndTheNextIsNotLogged) {
  char acMac[18];
  for (int i = 0; i <= 100; ++i) {
    snprintf(acMac, sizeof(acMac), "02:00:00:01:%02x:%02x", i / 256, i % 256);
    Hook("192.168.1.1", "0.0.0.0", acMac);
  }
  EXPECT_EQ(EventRecords().size(), 100u);
  EXPECT_EQ(Count(), 100u);
  AdvanceMs(300000);  // room again once the first hundred have expired
  Hook("192.168.1.1", "0.0.0.0", acMac);
  EXPECT_EQ(EventRecords().size(), 101u);
}

TEST_F(DiagTest, DumpListsHostsBridgeByBridgePortByPortWithMaskedMacs) {
  // Table order: br1's host, then wlan0's, then eth1's; the dump goes by port list.
  Host({0x02, 0, 0, 0, 0, 0x09}, LUM_HOSTMON_PortAdd(m_pstBr1, "eth9"), {"10.0.0.9"});
  Host({0x02, 0, 0, 0, 0, 0x02}, m_pstWlan0, {"192.168.1.12"});
  MacAddressItem *pstItem = Host({0x02, 0, 0, 0, 0, 0x01}, m_pstEth1, {"192.168.1.11", "fe80::1"});
  // The real MAC (from a lease) is masked from its own text, not the wire MAC.
  HOSTMON_COPY_TEXT(pstItem->acRealMac, "C4:D5:E6:F7:08:19");
  Host({0x02, 0, 0, 0, 0, 0x0F}, m_pstEth1);  // without addresses: no line at all
  EXPECT_EQ(Show(),
            "Bridge [br0] [192.168.1.1] [02:00:**:**:**:01]====================\n"
            "\t[eth1] virtualmac[02:00:**:**:**:01]  realmac[C4:D5:**:**:**:19] "
            "[192.168.1.11]\n"
            "\t[eth1] virtualmac[02:00:**:**:**:01]  realmac[C4:D5:**:**:**:19] "
            "[fe80::1]\n"
            "\t[wlan0] virtualmac[02:00:**:**:**:02]  realmac[02:00:**:**:**:02] "
            "[192.168.1.12]\n"
            "Bridge [br1] [10.0.0.1] [02:00:**:**:**:01]====================\n"
            "\t[eth9] virtualmac[02:00:**:**:**:09]  realmac[02:00:**:**:**:09] "
            "[10.0.0.9]\n");
}

TEST_F(DiagTest, DumpHidesAHostOnlyWhenListedWirelessUnderItsExactMacTextAndGone) {
  // Host objects as (MACAddress, InterfaceType).
  using Objects = std::vector<std::pair<const char *, const char *>>;
  const char *pcMac = "02:AB:00:00:00:01";
  const std::tuple<Objects, bool, bool> astCases[] = {
      // (objects, associated, visible)
      {{}, false, true},
      {{{"02:AB:00:00:00:02", "Ethernet"}, {"", ""}, {pcMac, "Wireless"}}, false, false},
      {{{pcMac, "Wireless"}}, true, true},
      {{{pcMac, "wireless"}, {pcMac, "Ethernet"}, {"02:ab:00:00:00:01", "Wireless"}}, false, true}};
  Host({0x02, 0xAB, 0, 0, 0, 0x01}, m_pstWlan0, {"192.168.1.20", "10.1.1.1"});
  LUM_HOSTMON_BridgeDel(m_pstBr1);
  for (const auto &[objects, bAssociated, bVisible] : astCases) {
    lum::testing::ResetDb();
    for (const auto &[pcObjMac, pcType] : objects) {
      AddObject(AddLanDevice(), LUM_DB_KIND_HOST, {{5, pcObjMac}, {12, pcType}});
    }
    m_net.associated.clear();
    if (bAssociated) m_net.associated.insert("02:ab:00:00:00:01");
    // Hidden means every address goes; visible means both lines are there.
    const std::string out = Show();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), bVisible ? 3 : 1) << out;
  }
}

}  // namespace
}  // namespace lantest
