// The three modes of the command line and the process-wide utilities.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "main/hostmon.h"
#include "main/msgcatalog.h"
#include "platform/testing.h"

namespace {

using lum::testing::SentMessages;
using lum::testing::TraceLines;

class MainModeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = "/tmp/hostmon-main-test." + std::to_string(getpid());
    setenv("LUM_DB_FILE", (m_dir + "/cfg.db").c_str(), 1);
    lum::testing::UseFakeNet(&m_net);
  }
  void TearDown() override {
    unsetenv("LUM_DB_FILE");
    std::string cmd = "rm -rf " + m_dir;
    (void)system(cmd.c_str());
  }
  int Run(std::vector<std::string> args) {
    std::vector<char *> argv;
    for (std::string &arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    return HostmonMain(static_cast<int>(args.size()), argv.data());
  }

  lum::testing::Sandbox m_sandbox;
  lum::testing::FakeNet m_net;
  std::string m_dir;
};

TEST_F(MainModeTest, VersionModeTracesOneLineAndTouchesNothingElse) {
  EXPECT_EQ(Run({"hostmon", "lumv"}), 0);
  ASSERT_EQ(TraceLines().size(), 1u);
  EXPECT_EQ(TraceLines()[0], "\r\n.\n");
  EXPECT_TRUE(SentMessages().empty());
  EXPECT_TRUE(lum::testing::PrivilegeCalls().empty());
}

struct ClientCase {
  const char *pcCommand;
  uint32_t ulType;  // 0: nothing sent
};

class ClientModeTest : public MainModeTest, public ::testing::WithParamInterface<ClientCase> {};

TEST_P(ClientModeTest, SendsAtMostOneMessageToTheDaemon) {
  EXPECT_EQ(Run({"hostmon", "test", GetParam().pcCommand, "ignored-third-argument"}), 0);
  if (GetParam().ulType == 0) {
    EXPECT_TRUE(SentMessages().empty());
  } else {
    ASSERT_EQ(SentMessages().size(), 1u);
    const lum::testing::SentMsg &msg = SentMessages()[0];
    EXPECT_TRUE(msg.bHasDest);
    EXPECT_EQ(msg.dest, "hostmon");
    EXPECT_EQ(msg.ulType, GetParam().ulType);
    EXPECT_EQ(msg.ulData, 0u);
    EXPECT_TRUE(msg.payload.empty());
  }
  // The client never becomes the daemon.
  EXPECT_TRUE(lum::testing::PrivilegeCalls().empty());
}

INSTANTIATE_TEST_SUITE_P(Commands, ClientModeTest,
                         ::testing::Values(ClientCase{"addport", 0x3008},
                                           ClientCase{"bridgeip", 0xBB03},
                                           ClientCase{"update", 0xBB04}, ClientCase{"nothing", 0},
                                           ClientCase{"UPDATE", 0}));

void ExpectDaemonStarted() {
  const std::vector<std::string> &calls = lum::testing::PrivilegeCalls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[0], "ChangeFileGrp ntwklan /var/dhcp/dhcps/");
  EXPECT_EQ(calls[1], "ForceSet hostmon");
  // The three subscriptions, in this order, to the bus itself.
  std::vector<uint32_t> subscribed;
  for (const lum::testing::SentMsg &msg : SentMessages()) {
    EXPECT_FALSE(msg.bHasDest);
    EXPECT_EQ(msg.ulType, LUM_MSG_SUBSCRIBE_REQUEST);
    subscribed.push_back(msg.ulData);
  }
  EXPECT_EQ(subscribed, (std::vector<uint32_t>{0x5016, 0x5015, 0x5022}));
}

TEST_F(MainModeTest, DaemonModeForEveryOtherCommandLine) {
  EXPECT_EQ(Run({"hostmon"}), 0);
  ExpectDaemonStarted();
}

TEST_F(MainModeTest, LumvWithMoreArgumentsStartsTheDaemon) {
  EXPECT_EQ(Run({"hostmon", "lumv", "extra"}), 0);
  ExpectDaemonStarted();
}

TEST_F(MainModeTest, TestAloneStartsTheDaemon) {
  EXPECT_EQ(Run({"hostmon", "test"}), 0);
  ExpectDaemonStarted();
}

TEST(HostmonBaseName, TakesTheTextAfterTheLastSlash) {
  EXPECT_STREQ(HostmonBaseName("/a/b/hostmonmain.cc"), "hostmonmain.cc");
  EXPECT_STREQ(HostmonBaseName("hostmonmain.cc"), "hostmonmain.cc");
  EXPECT_STREQ(HostmonBaseName("dir/"), "");
  EXPECT_STREQ(HostmonBaseName(nullptr), "");
}

TEST(HostmonMalloc, ReportsOnlyAboveTwoMebibytesAndStillAllocates) {
  ::testing::internal::CaptureStdout();
  void *pvAtLimit = HostmonMalloc(0x200000, "f.cc", "Fn", 7);
  std::string quiet = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(quiet, "");
  ASSERT_NE(pvAtLimit, nullptr);
  free(pvAtLimit);

  ::testing::internal::CaptureStdout();
  void *pvAbove = HostmonMalloc(0x200001, "f.cc", "Fn", 7);
  std::string report = ::testing::internal::GetCapturedStdout();
  ASSERT_NE(pvAbove, nullptr);
  free(pvAbove);
  std::string expected =
      "too large malloc, len=2097153, file=f.cc, func=Fn, line=7, pid=" + std::to_string(getpid()) +
      "!\n";
  EXPECT_EQ(report, expected);
}

TEST(HostmonFilePrintf, TruncatesOrAppendsAndRefusesWhatItCannotOpen) {
  std::string path = "/tmp/hostmon-fileprintf." + std::to_string(getpid());
  EXPECT_EQ(HostmonFilePrintf(path.c_str(), 0, "%s-%d", "one", 1), 5);
  EXPECT_EQ(HostmonFilePrintf(path.c_str(), 1, "+%s", "two"), 4);
  std::ifstream in(path);
  std::string content((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(content, "one-1+two");
  EXPECT_EQ(HostmonFilePrintf(path.c_str(), 0, "x"), 1);
  std::ifstream again(path);
  std::string truncated((std::istreambuf_iterator<char>(again)), {});
  EXPECT_EQ(truncated, "x");
  unlink(path.c_str());

  EXPECT_EQ(HostmonFilePrintf(nullptr, 1, "x"), -1);
  EXPECT_EQ(HostmonFilePrintf("/nonexistent-dir/file", 1, "x"), -1);
}

}  // namespace
