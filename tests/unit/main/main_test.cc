// The command line's three modes, the start-up order, the routing and tracing
// of bus messages.
#include "main/dispatch.h"
#include "main/msgcatalog.h"
#include "tests/unit/common/lan.h"

namespace lantest {
namespace {

using lum::testing::DeliverMessage;
using lum::testing::SentMessages;

class MainTest : public NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    setenv("LUM_DB_FILE", (m_root.Root() + "/cfg.db").c_str(), 1);
    (void)LUM_MSG_RegisterMsgProc(HostmonMsgProc);
    TraceLines().clear();
  }
  void TearDown() override {
    unsetenv("LUM_DB_FILE");
    NetTest::TearDown();
  }
  static int Run(Texts args) {
    std::vector<char *> argv;
    for (std::string &arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    return HostmonMain(static_cast<int>(args.size()), argv.data());
  }
};

// The system tests run the version mode.
TEST_F(MainTest, ClientModeSendsAtMostOneMessageAndNeverBecomesTheDaemon) {
  for (const auto &[pcCommand, ulType] : {std::pair{"addport", 0x3008u},
                                          {"bridgeip", 0xBB03u},
                                          {"update", 0xBB04u},
                                          {"UPDATE", 0u}}) {
    SentMessages().clear();
    EXPECT_EQ(Run({"hostmon", "test", pcCommand, "ignored-third-argument"}), 0);
    ASSERT_EQ(SentMessages().size(), ulType != 0 ? 1u : 0u) << pcCommand;
    if (ulType != 0) {
      EXPECT_EQ(SentMessages()[0].dest + " " + std::to_string(SentMessages()[0].ulType),
                "hostmon " + std::to_string(ulType));
    }
  }
  EXPECT_TRUE(PrivilegeCalls().empty());
}

TEST_F(MainTest, DaemonStartsInOrderForEveryOtherCommandLine) {
  for (const Texts &args :
       {Texts{"hostmon"}, Texts{"hostmon", "lumv", "x"}, Texts{"hostmon", "test"}}) {
    PrivilegeCalls().clear();
    SentMessages().clear();
    EXPECT_EQ(Run(args), 0);
    ASSERT_GE(PrivilegeCalls().size(), 2u);
    EXPECT_EQ(PrivilegeCalls()[0], "ChangeFileGrp ntwklan /var/dhcp/dhcps/");
    EXPECT_EQ(PrivilegeCalls()[1], "ForceSet hostmon");
    // The three subscriptions, in this order, to the bus itself.
    std::vector<uint32_t> subscribed;
    for (const lum::testing::SentMsg &msg : SentMessages()) {
      EXPECT_TRUE(!msg.bHasDest && msg.ulType == LUM_MSG_SUBSCRIBE_REQUEST);
      subscribed.push_back(msg.ulData);
    }
    EXPECT_EQ(subscribed, (std::vector<uint32_t>{0x5016, 0x5015, 0x5022}));
  }
}

TEST_F(MainTest, EveryMessageIsTracedWithItsBoundedSenderAndUnknownTypesRefused) {
  DeliverMessage(0xBB05, 0, {}, "cms");   // named, not handled
  DeliverMessage(0xB911, 0, {}, "wifi");  // ignored
  HostmonSetOvanetWanIp(0x0100a8c0);
  DeliverMessage(0x1234, 7, Text("192.168.0.9"), std::string(40, 'a'));
  EXPECT_EQ(TraceLines(),
            (Texts{"msg_type[bb05, LUM_HOSTMON_MSG_UPDATEHOSTIP_THROUGH_SSDP] aucSendApp[cms]\n",
                   "unexpected message type bb05\n", "msg_type[b911, unknown] aucSendApp[wifi]\n",
                   "msg_type[1234, unknown] aucSendApp[" + std::string(23, 'a') + "]\n",
                   "unexpected message type 1234\n"}));
  EXPECT_EQ(HostmonGetOvanetWanIp(), 0x0100a8c0u);
}

// Every handled type leaves a mark beyond the dispatcher's own trace, even for
// an empty payload: no type reaches an empty function. The system tests follow
// the peers' notices to their effects.
TEST_F(MainTest, EveryHandledTypeReachesAHandlerThatActs) {
  for (const MsgCatalogueEntry &stEntry : kMsgCatalogue) {
    if (stEntry.eDirection == MsgDirection::kOut) continue;
    // Named but not handled, and ignored: the dispatcher's traces only.
    const size_t ulOwnTraces = stEntry.ulType == 0xBB05 ? 2 : 1;
    const bool bHandled = stEntry.ulType != 0xBB05 && stEntry.ulType != 0xB911;
    NetTest::Clear();  // a refresh drops the bridge the platform does not list
    Bridge *pstBr = AddBridge("br0", kBrMac, "192.168.1.1");
    Host(HostMac(1), LUM_HOSTMON_PortAdd(pstBr, "eth0"), {"192.168.1.20"});
    HostmonSetOvanetWanIp(Ip("10.0.0.2"));  // the topology refresh asks from it
    AddObject(0, LUM_DB_KIND_AVAIL_IF, {{1, "LANInterface"}, {3, "eth7"}});  // a port to add
    m_net.bridgeKeys["eth7"] = 0;
    TraceLines().clear();
    MlogLines().clear();
    m_sys.sent.clear();
    const size_t ulSockets = m_sys.sockets.size();
    // The time-quota list acts only on a new text.
    DeliverMessage(stEntry.ulType, 0,
                   stEntry.ulType == 0xBB07 ? Text("aa:bb:cc:dd:ee:01") : Bytes{});
    const size_t ulMarks = TraceLines().size() - ulOwnTraces + MlogLines().size() +
                           m_sys.sent.size() + m_sys.sockets.size() - ulSockets;
    EXPECT_EQ(ulMarks != 0, bHandled) << std::hex << stEntry.ulType;
  }
}

}  // namespace
}  // namespace lantest
