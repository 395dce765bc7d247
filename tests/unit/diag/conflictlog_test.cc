// The conflict-MAC log: which ARP packets are logged, under which address, and
// how the five-minute memory of 100 pairs limits the log.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "diag/diag.h"
#include "platform/testing.h"
#include "tests/unit/diag/diagtestutil.h"

namespace {

using diagtest::Ip;
using diagtest::TopologyFixture;
using lum::testing::AdvanceMs;
using lum::testing::EventRecords;

constexpr uint32_t kConflictEvent = 0x70000000;
constexpr const char *kForeignMac = "02:00:00:00:00:07";

std::string Secured(const char *pcMac) {
  char acOut[18] = {0};
  EXPECT_EQ(LUM_UTIL_GetSecureMacAddress(pcMac, acOut, sizeof(acOut)), 0u);
  return acOut;
}

class ConflictLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(m_topo.AddBridge("br0", {0x02, 0, 0, 0, 0xFF, 0}, "192.168.1.1"), nullptr);
    ASSERT_NE(m_topo.AddBridge("br1", {0x02, 0, 0, 0, 0xFF, 1}, "10.0.0.1"), nullptr);
  }
  // The entries outlive the sandbox's timers: release them through the expiry.
  void TearDown() override {
    while (ConflictMac *pstEntry = HostmonGetConflictList()) HostmonConflictMacExpire(pstEntry);
  }

  static void Hook(const char *pcSender, const char *pcTarget, const char *pcMac) {
    ASSERT_NE(ArpConflictHook, nullptr);
    ArpConflictHook(Ip(pcSender), Ip(pcTarget), pcMac);
  }
  static uint32_t Count() { return LUM_UTIL_ListGetCount(HostmonGetConflictList()); }

  lum::testing::Sandbox m_sandbox;
  TopologyFixture m_topo;
};

TEST_F(ConflictLogTest, GatewaysOwnPacketsAndThoseClaimingNoBridgeAddressAreNotLogged) {
  Hook("192.168.1.1", "192.168.1.20", "02:00:00:00:FF:00");  // MAC case does not matter
  Hook("0.0.0.0", "10.0.0.1", "02:00:00:00:ff:01");
  Hook("192.168.1.20", "192.168.1.1", kForeignMac);  // a sender not a bridge's: target ignored
  Hook("0.0.0.0", "192.168.1.30", kForeignMac);
  ArpConflictHook(Ip("192.168.1.1"), 0, nullptr);
  EXPECT_TRUE(EventRecords().empty());
  EXPECT_EQ(Count(), 0u);
}

TEST_F(ConflictLogTest, ForeignSenderUsingBridgeAddressIsLogged) {
  Hook("192.168.1.1", "192.168.1.20", kForeignMac);
  ASSERT_EQ(EventRecords().size(), 1u);
  EXPECT_EQ(EventRecords()[0].ulId, kConflictEvent);
  EXPECT_EQ(EventRecords()[0].args,
            (std::vector<std::string>{"192.168.1.1", Secured(kForeignMac)}));
  // The gateway's other bridge is not the bridge claimed.
  Hook("192.168.1.1", "0.0.0.0", "02:00:00:00:ff:01");
  EXPECT_EQ(EventRecords().size(), 2u);
}

TEST_F(ConflictLogTest, ProbeIsLoggedUnderTheProbedBridgeAddress) {
  Hook("0.0.0.0", "192.168.1.1", kForeignMac);
  Hook("0.0.0.0", "10.0.0.1", kForeignMac);
  ASSERT_EQ(EventRecords().size(), 2u);
  EXPECT_EQ(EventRecords()[0].args[0], "192.168.1.1");
  EXPECT_EQ(EventRecords()[1].args[0], "10.0.0.1");
}

TEST_F(ConflictLogTest, SamePairIsLoggedOnceUntilItsEntryExpires) {
  Hook("192.168.1.1", "192.168.1.20", kForeignMac);
  Hook("0.0.0.0", "192.168.1.1", kForeignMac);  // same pair through a probe
  AdvanceMs(299999);
  Hook("192.168.1.1", "192.168.1.21", kForeignMac);
  EXPECT_EQ(EventRecords().size(), 1u);
  EXPECT_EQ(Count(), 1u);

  AdvanceMs(1);
  EXPECT_EQ(Count(), 0u);
  Hook("192.168.1.1", "192.168.1.21", kForeignMac);
  EXPECT_EQ(EventRecords().size(), 2u);
}

TEST_F(ConflictLogTest, EachEntryExpiresOnItsOwnTimer) {
  Hook("192.168.1.1", "0.0.0.0", "02:00:00:00:00:0a");
  AdvanceMs(100000);
  Hook("192.168.1.1", "0.0.0.0", "02:00:00:00:00:0b");
  AdvanceMs(200000);
  EXPECT_EQ(LUM_HOSTMON_FindConflictMac(Ip("192.168.1.1"), "02:00:00:00:00:0a"), nullptr);
  EXPECT_NE(LUM_HOSTMON_FindConflictMac(Ip("192.168.1.1"), "02:00:00:00:00:0b"), nullptr);
  AdvanceMs(100000);
  EXPECT_EQ(Count(), 0u);
}

TEST_F(ConflictLogTest, HundredPairsAreRememberedAndTheNextIsNotLogged) {
  char acMac[18];
  for (int i = 0; i < 100; ++i) {
    snprintf(acMac, sizeof(acMac), "02:00:00:00:%02x:%02x", i / 256, i % 256);
    Hook("192.168.1.1", "0.0.0.0", acMac);
  }
  EXPECT_EQ(EventRecords().size(), 100u);
  EXPECT_EQ(Count(), 100u);
  Hook("192.168.1.1", "0.0.0.0", "02:00:00:00:01:00");
  EXPECT_EQ(EventRecords().size(), 100u);
  EXPECT_EQ(Count(), 100u);
  EXPECT_EQ(LUM_HOSTMON_AddConflictMac(Ip("10.0.0.1"), kForeignMac), nullptr);

  // Room again once the first hundred have expired.
  AdvanceMs(300000);
  EXPECT_EQ(Count(), 0u);
  Hook("192.168.1.1", "0.0.0.0", "02:00:00:00:01:00");
  EXPECT_EQ(EventRecords().size(), 101u);
}

}  // namespace
