// Routing and tracing of bus messages.
#include "main/dispatch.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "main/hostmon.h"
#include "main/msgcatalog.h"
#include "platform/testing.h"

namespace {

using lum::testing::TraceLines;

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    (void)LUM_MSG_RegisterMsgProc(HostmonMsgProc);
    HostmonSetOvanetWanIp(0);
  }
  void TearDown() override { HostmonSetOvanetWanIp(0); }
  static std::vector<uint8_t> Text(const std::string &text) {
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
  }
  lum::testing::Sandbox m_sandbox;
};

TEST_F(DispatchTest, NamedButUnhandledTypeIsTracedTwice) {
  lum::testing::DeliverMessage(0xBB05, 0, {}, "cms");
  EXPECT_EQ(TraceLines(),
            (std::vector<std::string>{"msg_type[bb05, LUM_HOSTMON_MSG_UPDATEHOSTIP_THROUGH_SSDP] "
                                      "aucSendApp[cms]\n",
                                      "unexpected message type bb05\n"}));
}

TEST_F(DispatchTest, IgnoredTypeLeavesOnlyTheFirstTrace) {
  lum::testing::DeliverMessage(0xB911, 0, {}, "wifi");
  EXPECT_EQ(TraceLines(), (std::vector<std::string>{"msg_type[b911, unknown] aucSendApp[wifi]\n"}));
}

TEST_F(DispatchTest, UnknownTypeIsRefusedAndStateKept) {
  HostmonSetOvanetWanIp(0x0100a8c0);
  lum::testing::DeliverMessage(0x1234, 7, Text("192.168.0.9"), "x");
  ASSERT_EQ(TraceLines().size(), 2u);
  EXPECT_EQ(TraceLines()[1], "unexpected message type 1234\n");
  EXPECT_EQ(HostmonGetOvanetWanIp(), 0x0100a8c0u);
  EXPECT_TRUE(lum::testing::SentMessages().empty());
}

TEST_F(DispatchTest, MissingMessageIsDroppedSilently) {
  HostmonMsgProc(nullptr);
  EXPECT_TRUE(TraceLines().empty());
}

TEST_F(DispatchTest, SenderLongerThanItsFieldIsBounded) {
  lum::testing::DeliverMessage(0xBB05, 0, {}, std::string(40, 'a'));
  ASSERT_FALSE(TraceLines().empty());
  EXPECT_NE(TraceLines()[0].find("aucSendApp[" + std::string(23, 'a') + "]\n"), std::string::npos);
}

TEST_F(DispatchTest, OvanetAddIsTracedThenHandledAsDhcpsAdd) {
  std::vector<uint8_t> payload = {0x02, 0, 0, 0, 0, 1, 'b', 'r', '0', 0};
  lum::testing::DeliverMessage(0xB914, 0x0b01a8c0, payload, "ovanet");
  ASSERT_GE(TraceLines().size(), 2u);
  EXPECT_EQ(TraceLines()[0], "msg_type[b914, unknown] aucSendApp[ovanet]\n");
  EXPECT_EQ(TraceLines()[1], "ovanet notify, fall through, detect ARP again\n");
}

TEST_F(DispatchTest, CompanionWanFollowsUpAndDownByPayloadText) {
  lum::testing::DeliverMessage(LUM_MSG_HOSTMON_OVANET_WAN_UP, 0, Text("192.168.8.100"));
  EXPECT_EQ(HostmonGetOvanetWanIp(), inet_addr("192.168.8.100"));
  EXPECT_EQ(TraceLines().back(), "pcIpAddr is 192.168.8.100...\n");
  // Another address, or one that does not parse, changes nothing.
  lum::testing::DeliverMessage(LUM_MSG_HOSTMON_OVANET_WAN_DOWN, 0, Text("192.168.8.1"));
  lum::testing::DeliverMessage(LUM_MSG_HOSTMON_OVANET_WAN_UP, 0, Text("not-an-address"));
  EXPECT_EQ(HostmonGetOvanetWanIp(), inet_addr("192.168.8.100"));
  lum::testing::DeliverMessage(LUM_MSG_HOSTMON_OVANET_WAN_DOWN, 0, Text("192.168.8.100"));
  EXPECT_EQ(HostmonGetOvanetWanIp(), 0u);
}

TEST(MsgTypeName, NamesEveryReceivedTypeAndNothingElse) {
  const uint32_t named[] = {0x3008, 0x3011, 0x3012, 0x3013, 0x3015, 0x3404, 0x5015, 0x5016,
                            0x5022, 0xB907, 0xB908, 0xB909, 0xB90A, 0xB90B, 0xB90C, 0xB90D,
                            0xBB02, 0xBB03, 0xBB04, 0xBB05, 0xBB06, 0xBB07, 0xBB08};
  for (uint32_t ulType : named) EXPECT_STRNE(HostmonMsgTypeName(ulType), "unknown") << ulType;
  EXPECT_STREQ(HostmonMsgTypeName(0xBB04), "LUM_MSG_HOSTMON_UPDATA_ALL_NODES");
  EXPECT_STREQ(HostmonMsgTypeName(0x3404), "LUM_MSG_DHCP6S_CLIENT_RELEASE");
  for (uint32_t ulType : {0xB911u, 0xB914u, 0xB903u, 0xBB01u, 0x702u, 0u}) {
    EXPECT_STREQ(HostmonMsgTypeName(ulType), "unknown") << ulType;
  }
}

}  // namespace
