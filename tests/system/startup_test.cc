// The real daemon started in a throwaway LAN: it joins the bus, subscribes,
// answers a message, serves the debug shell, and seeds a missing database.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/system/netns_lan.h"
#include "tests/system/proc.h"

namespace {

class StartupTest : public systest::NetnsLanTest {
 protected:
  void SetUp() override {
    NetnsLanTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    struct stat st {};
    m_bMadeOnline = stat("/online", &st) != 0;
    m_env = "LUM_BUS_DIR=" + (m_dir / "bus") + " LUM_DB_FILE=" + (m_dir / "cfg.db") + " ";
  }
  void TearDown() override {
    m_daemon.reset();
    NetnsLanTest::TearDown();
    if (m_bMadeOnline) rmdir("/online");
  }
  void StartDaemon() {
    std::string cmd = systest::Source("scripts/hostmon-in-netns.sh") + " " + lan_->GatewayNs() +
                      " " + m_dir.Path() + " " + systest::Bin("hostmon");
    m_daemon = std::make_unique<systest::Background>(cmd, m_dir / "stdout.log");
    ASSERT_TRUE(systest::WaitFor(m_dir / "bus/hostmon", 5000))
        << systest::ReadFile(m_dir / "stdout.log");
  }
  std::string Tool(const std::string &args) { return m_env + systest::Bin(args); }

  systest::TempDir m_dir;
  std::unique_ptr<systest::Background> m_daemon;
  std::string m_env;
  bool m_bMadeOnline = false;
};

TEST_F(StartupTest, JoinsSubscribesAnswersAndServesTheDebugShell) {
  StartDaemon();
  for (const char *type : {"5016", "5015", "5022"}) {
    EXPECT_TRUE(
        systest::WaitFor(m_dir / ("bus/subscriptions/" + std::string(type) + "/hostmon"), 2000))
        << type;
  }

  EXPECT_EQ(systest::Run(Tool("lumbus") + " send hostmon 0xbb05").iStatus, 0);
  EXPECT_TRUE(systest::WaitForText(m_dir / "trace.log", "unexpected message type bb05\n", 3000));
  std::string trace = systest::ReadFile(m_dir / "trace.log");
  size_t named =
      trace.find("msg_type[bb05, LUM_HOSTMON_MSG_UPDATEHOSTIP_THROUGH_SSDP] aucSendApp[]\n");
  ASSERT_NE(named, std::string::npos) << trace;
  EXPECT_LT(named, trace.find("unexpected message type bb05\n"));

  systest::CommandResult show = systest::Run(Tool("lumdebug") + " hostmon test show");
  EXPECT_EQ(show.iStatus, 0) << show.output;
  // The daemon is still there after all of it.
  EXPECT_TRUE(m_daemon->Running());
}

TEST_F(StartupTest, MissingDatabaseIsSeededFromTheKernel) {
  StartDaemon();
  EXPECT_TRUE(systest::WaitForText(m_dir / "trace.log", "seeded", 3000));
  // No save happened yet, so lumdb shows what the daemon seeded, from the same kernel.
  systest::CmdResult dump = lan_->Run(lan_->GatewayNs(), "LUM_DB_FILE=" + (m_dir / "cfg.db") + " " +
                                                             systest::Bin("lumdb") + " dump");
  ASSERT_EQ(dump.iExit, 0) << dump.err;
  const std::string &db = dump.out;
  EXPECT_NE(db.find("InternetGatewayDevice.LANDevice.1.\n"), std::string::npos) << db;
  EXPECT_NE(db.find("InternetGatewayDevice.LANDevice.1.X_Bridge.BridgeNumber=0\n"),
            std::string::npos);
  for (const char *port : {"eth1", "eth2"}) {
    EXPECT_NE(db.find("X_InterfaceName=" + std::string(port) + "\n"), std::string::npos) << port;
    EXPECT_NE(db.find("X_Name=" + std::string(port) + "\n"), std::string::npos) << port;
  }
  EXPECT_NE(db.find("AvailableInterface.2.InterfaceType=LANInterface\n"), std::string::npos);
  EXPECT_NE(db.find("LANEthernetInterfaceConfig.2.Enable=1\n"), std::string::npos);
}

TEST_F(StartupTest, CorruptDatabaseIsKeptAsideAndTheDaemonGoesOn) {
  ASSERT_EQ(systest::Run("printf 'not a database line\\n' > " + (m_dir / "cfg.db")).iStatus, 0);
  StartDaemon();
  EXPECT_TRUE(systest::WaitFor(m_dir / "cfg.db.bad", 3000));
  EXPECT_EQ(systest::Run(Tool("lumbus") + " send hostmon 0x1234").iStatus, 0);
  EXPECT_TRUE(systest::WaitForText(m_dir / "trace.log", "unexpected message type 1234\n", 3000));
  EXPECT_TRUE(m_daemon->Running());
}

}  // namespace
