// The debug "show" command: exact lines, masking, and which hosts are hidden.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "diag/diag.h"
#include "platform/lumdb.h"
#include "platform/testing.h"
#include "tests/unit/diag/diagtestutil.h"

namespace {

using diagtest::Mac;
using diagtest::TopologyFixture;
using lum::testing::DebugOutput;
using lum::testing::RunDebugCommand;

constexpr Mac kBridgeMac = {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};
constexpr Mac kHostMac = {0x02, 0xAB, 0x00, 0x00, 0x00, 0x01};
constexpr const char *kBridgeLine =
    "Bridge [br0] [192.168.1.1] [0A:1B:**:**:**:5F]====================\n";

class DebugDumpTest : public ::testing::Test {
 protected:
  void SetUp() override { lum::testing::UseFakeNet(&m_net); }

  // Runs the command as the debug shell would, expecting its result 0.
  std::string Show() {
    EXPECT_EQ(RunDebugCommand("test", "show"), 0);
    return DebugOutput();
  }

  // A LAN device with one host object (MACAddress and InterfaceType set).
  void AddHostObject(const char *pcMac, const char *pcType) {
    uint32_t aulKeys[LUM_DB_KEYS] = {0};
    if (m_ulLanDevice == 0) {
      LUM_DB_SLOT *pstDev = nullptr;
      ASSERT_EQ(LUM_DBGetDftObject(LUM_DB_KIND_LANDEVICE, &pstDev, 0), 0u);
      ASSERT_EQ(LUM_DBAddObj(aulKeys, LUM_DB_KIND_LANDEVICE, pstDev, &m_ulLanDevice), 0u);
      LUM_KEM_FreeObj(LUM_DB_KIND_LANDEVICE, pstDev);
    }
    aulKeys[0] = m_ulLanDevice;
    LUM_DB_SLOT *pstHost = nullptr;
    ASSERT_EQ(LUM_DBGetDftObject(LUM_DB_KIND_HOST, &pstHost, 0), 0u);
    ASSERT_EQ(LUM_KEM_SetObjStrValue(5, pstHost, pcMac), 0u);
    ASSERT_EQ(LUM_KEM_SetObjStrValue(12, pstHost, pcType), 0u);
    uint32_t ulInst = 0;
    ASSERT_EQ(LUM_DBAddObj(aulKeys, LUM_DB_KIND_HOST, pstHost, &ulInst), 0u);
    LUM_KEM_FreeObj(LUM_DB_KIND_HOST, pstHost);
  }

  // Declared in this order so that the bridges go before the sandbox does.
  lum::testing::FakeNet m_net;
  lum::testing::Sandbox m_sandbox;
  TopologyFixture m_topo;
  uint32_t m_ulLanDevice = 0;
};

TEST_F(DebugDumpTest, HostsAppearUnderTheirOwnBridgeOnly) {
  Bridge *pstBr0 = m_topo.AddBridge("br0", kBridgeMac, "192.168.1.1");
  Bridge *pstBr1 = m_topo.AddBridge("br1", {0x02, 0, 0, 0, 0x10, 0x01}, "10.0.0.1");
  ASSERT_NE(pstBr0, nullptr);
  ASSERT_NE(pstBr1, nullptr);
  Port *pstEth1 = LUM_HOSTMON_PortAdd(pstBr0, "eth1");
  Port *pstEth9 = LUM_HOSTMON_PortAdd(pstBr1, "eth9");
  Port *pstEth2 = LUM_HOSTMON_PortAdd(pstBr0, "eth2");
  // Table order: br1's host first, then br0's hosts on eth2 and eth1.
  TopologyFixture::AddIpv4(TopologyFixture::AddHost(pstEth9, {0x02, 0, 0, 0, 0, 0x09}), "10.0.0.9");
  TopologyFixture::AddIpv4(TopologyFixture::AddHost(pstEth2, {0x02, 0, 0, 0, 0, 0x02}),
                           "192.168.1.12");
  MacAddressItem *pstItem = TopologyFixture::AddHost(pstEth1, {0x02, 0, 0, 0, 0, 0x01});
  TopologyFixture::AddIpv4(pstItem, "192.168.1.11");
  TopologyFixture::AddIpv6(pstItem, "fe80::2ab:ff:fe00:1");
  // The real MAC (from a lease) is masked from its own text, not the wire MAC.
  (void)HOSTMON_COPY_TEXT(pstItem->acRealMac, "C4:D5:E6:F7:08:19");
  // A host without addresses prints nothing at all.
  ASSERT_NE(TopologyFixture::AddHost(pstEth1, {0x02, 0, 0, 0, 0, 0x0F}), nullptr);

  // Bridge by bridge, port by port in port-list order.
  EXPECT_EQ(Show(), std::string(kBridgeLine) +
                        "\t[eth1] virtualmac[02:00:**:**:**:01]  realmac[C4:D5:**:**:**:19] "
                        "[192.168.1.11]\n"
                        "\t[eth1] virtualmac[02:00:**:**:**:01]  realmac[C4:D5:**:**:**:19] "
                        "[fe80::2ab:ff:fe00:1]\n"
                        "\t[eth2] virtualmac[02:00:**:**:**:02]  realmac[02:00:**:**:**:02] "
                        "[192.168.1.12]\n"
                        "Bridge [br1] [10.0.0.1] [02:00:**:**:**:01]====================\n"
                        "\t[eth9] virtualmac[02:00:**:**:**:09]  realmac[02:00:**:**:**:09] "
                        "[10.0.0.9]\n");
}

// Visibility: a host is hidden only when the database lists it as "Wireless"
// under exactly its MAC text and the station is not associated.
struct VisibilityCase {
  const char *pcName;
  std::vector<std::pair<const char *, const char *>> objects;  // (MACAddress, InterfaceType)
  bool bAssociated;
  bool bVisible;
};

class DumpVisibilityTest : public DebugDumpTest,
                           public ::testing::WithParamInterface<VisibilityCase> {};

TEST_P(DumpVisibilityTest, HiddenOnlyWhenWirelessAndGone) {
  const VisibilityCase &c = GetParam();
  Bridge *pstBridge = m_topo.AddBridge("br0", kBridgeMac, "192.168.1.1");
  ASSERT_NE(pstBridge, nullptr);
  Port *pstPort = LUM_HOSTMON_PortAdd(pstBridge, "wlan0");
  MacAddressItem *pstItem = TopologyFixture::AddHost(pstPort, kHostMac);
  ASSERT_NE(pstItem, nullptr);
  ASSERT_NE(TopologyFixture::AddIpv4(pstItem, "192.168.1.20"), nullptr);
  ASSERT_NE(TopologyFixture::AddIpv4(pstItem, "192.168.1.21"), nullptr);
  for (const auto &[pcMac, pcType] : c.objects) AddHostObject(pcMac, pcType);
  if (c.bAssociated) m_net.associated.insert("02:ab:00:00:00:01");

  EXPECT_EQ(HostmonDumpHostVisible(pstItem), c.bVisible ? 1u : 0u);
  const std::string out = Show();
  // Hidden means every address goes; visible means both lines are there.
  const size_t lines = std::count(out.begin(), out.end(), '\n');
  EXPECT_EQ(lines, c.bVisible ? 3u : 1u) << out;
}

INSTANTIATE_TEST_SUITE_P(
    Table, DumpVisibilityTest,
    ::testing::Values(
        VisibilityCase{"EmptyDatabase", {}, false, true},
        VisibilityCase{"WirelessNotAssociated", {{"02:AB:00:00:00:01", "Wireless"}}, false, false},
        VisibilityCase{"WirelessAssociated", {{"02:AB:00:00:00:01", "Wireless"}}, true, true},
        VisibilityCase{"EthernetNotAssociated", {{"02:AB:00:00:00:01", "Ethernet"}}, false, true},
        VisibilityCase{
            "LowerCaseMacIsAnotherText", {{"02:ab:00:00:00:01", "Wireless"}}, false, true},
        VisibilityCase{"TypeComparedExactly", {{"02:AB:00:00:00:01", "wireless"}}, false, true},
        VisibilityCase{
            "FoundAfterOtherObjects",
            {{"02:AB:00:00:00:02", "Ethernet"}, {"", ""}, {"02:AB:00:00:00:01", "Wireless"}},
            false,
            false}),
    [](const ::testing::TestParamInfo<VisibilityCase> &stInfo) { return stInfo.param.pcName; });

}  // namespace
